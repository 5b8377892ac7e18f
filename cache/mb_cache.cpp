#include "cache/mb_cache.h"

#include <algorithm>
#include <cstring>

#include "platform/plat_log.h"
#include "platform/plat_thread.h"

// A few messages keep their established wording, which prints unit ids with
// "% 02x". The blank flag has no effect on %x but GCC warns about it, so
// those calls switch the format warning off locally.

namespace {

// What a refresh request frame carries to its callback: which request of
// which entry it is. Freed with the frame.
struct refresh_ctx final {
  mb_cache *cache;
  uint32_t seq;
  uint32_t entry_id;
  int list_index;
};

void refresh_ctx_release(void *ctx) { delete static_cast<refresh_ctx *>(ctx); }

// The first entry of the list with an id above `after`, or null. Walking by
// id rather than by position stays correct while the other thread appends
// or removes entries between two steps. REQUIRES: cache->lock held.
cache_data *next_entry(cache_list &list, uint32_t after) {
  auto it = std::upper_bound(list.entries.begin(), list.entries.end(), after,
                             [](uint32_t id, const std::unique_ptr<cache_data> &e) { return id < e->id; });
  return it == list.entries.end() ? nullptr : it->get();
}

// REQUIRES: cache->lock held.
cache_data *find_entry(cache_list &list, uint32_t id) {
  cache_data *e = next_entry(list, id - 1);
  return e && e->id == id ? e : nullptr;
}

bool valid_func_code(uint8_t func_code) { return func_code >= 1 && func_code <= MB_CACHE_LISTS; }

// The index key: function code, phy id, start register, register count in
// 48 bits, none overlapping another.
uint64_t cache_key(uint8_t func_code, uint8_t phy_id, uint16_t start_reg, uint16_t reg_count) {
  return (uint64_t{func_code} << 40) | (uint64_t{phy_id} << 32) | (uint64_t{start_reg} << 16) | reg_count;
}

// The byte count a well-formed answer to a read of `reg_count` items of
// this function code carries: one bit per coil or input, two bytes per
// register.
int expected_byte_count(uint8_t func_code, uint16_t reg_count) {
  return func_code <= 2 ? (reg_count + 7) / 8 : 2 * reg_count;
}

// Ends the outstanding refresh: a late answer for it changes nothing.
void finish_refresh(mb_cache *cache, bool *answered, bool *ok) {
  std::scoped_lock lock(cache->lock);
  *answered = cache->waiting == 0;
  *ok = cache->refresh_ok;
  cache->waiting = 0;
  cache->refresh_id = 0;
  cache->refresh_ok = false;
}

void abandon_pass(mb_cache *cache) {
  bool answered = false;
  bool ok = false;
  finish_refresh(cache, &answered, &ok);
  cache->delete_list.clear();
}

}  // namespace

std::unique_ptr<mb_cache> cache_create(south_port *port, uint32_t timeout) {
  PLAT_LOG(7, "cache:%s\n", "cache_create");
  auto cache = std::make_unique<mb_cache>(port, timeout);
  cache->delete_list.reserve(MB_CACHE_DELETE_CAPACITY);
  PLAT_LOG(7, "cache create done");
  return cache;
}

std::unique_ptr<cache_data> cache_data_create(uint8_t phy_id, uint16_t start_reg, uint16_t reg_count, mb_frame *req,
                                              const uint8_t *data, uint8_t byte_count) {
  PLAT_LOG(7, "cache:%s\n", "cache_data_create");
  auto e = std::make_unique<cache_data>();
  e->phy_id = phy_id;
  e->start_reg = start_reg;
  e->reg_count = reg_count;
  uint32_t req_len = 0;
  const uint8_t *req_data = mb_frame_get_data(req, &req_len);
  if (req_data) e->req.assign(req_data, req_data + req_len);
  e->req_len = static_cast<int32_t>(e->req.size());
  e->byte_count = byte_count;
  std::memcpy(e->data.data(), data, byte_count);
  return e;
}

mb_frame *cache_get_ack(mb_cache *cache, uint8_t phy_id, uint8_t func_code, uint16_t start_reg, uint16_t reg_count) {
  RVON(cache, nullptr);
  if (!valid_func_code(func_code)) return nullptr;

  // A lookup runs on the port's send thread in front of every cacheable
  // read, so it goes through the key index instead of walking the function
  // code's list: one hash probe, no pause, the same cost with 1 entry or
  // thousands. The lists stay, in insertion order, for the refresh pass,
  // whose 1 ms pacing protects the line; the index only finds entries.
  uint8_t answer[3 + 255];
  int answer_len = 0;
  uint8_t e_phy = 0;  // the hit's key, for the trace
  uint16_t e_start = 0;
  uint16_t e_count = 0;
  {
    std::scoped_lock lock(cache->lock);
    auto it = cache->index.find(cache_key(func_code, phy_id, start_reg, reg_count));
    if (it != cache->index.end()) {
      const cache_data *e = it->second;
      e_phy = e->phy_id;
      e_start = e->start_reg;
      e_count = e->reg_count;
      answer[0] = phy_id;
      answer[1] = func_code;
      answer[2] = e->byte_count;
      std::memcpy(answer + 3, e->data.data(), e->byte_count);
      answer_len = 3 + e->byte_count;
    }
  }
  if (answer_len == 0) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat"
    PLAT_LOG(6, "%s: can not find the ack in cache, phy id is % 02x, start reg is %04x, reg num is %04x.\n",
             "cache_get_ack", phy_id, start_reg, reg_count);
#pragma GCC diagnostic pop
    return nullptr;
  }
  PLAT_LOG(6,
           " SET PHY ID IS %d  CACHE ID IS %d  set start reg is %04x  cache set reg is %04x  get reg num is %04x  "
           "cache reg num is %04x ",
           phy_id, e_phy, start_reg, e_start, reg_count, e_count);
  return mb_frame_create(answer, answer_len, nullptr, nullptr, nullptr, 0, 0, 0, 0);
}

int cache_register_ack(mb_cache *cache, mb_frame *req, mb_frame *ack, int cacheable) {
  if (cacheable != 1) return 0;
  PLAT_LOG(7, "cache:%s\n", "cache_register_ack");
  RVON(cache, 0);
  uint32_t req_len = 0;
  uint32_t ack_len = 0;
  const uint8_t *r = mb_frame_get_data(req, &req_len);
  const uint8_t *a = mb_frame_get_data(ack, &ack_len);
  RVON(r, 0);
  RVON(a, 0);
  RVOT(req_len < 6, 0);
  RVOT(ack_len < 2, 0);
  // The key is the request's: the unit id it carried on the wire, not the
  // one the answer claims, so a device that answers with another unit's id
  // cannot plant data under that unit.
  const uint8_t phy_id = mb_frame_get_phy_id(req);
  const uint8_t req_fc = mb_frame_get_func_code(req);
  const uint16_t start_reg = mb_frame_get_start_addr(req);
  const uint16_t reg_count = mb_frame_get_quantity(req);
  const uint8_t ack_fc = a[1];
  if (!valid_func_code(req_fc)) return 0;
  const uint64_t key = cache_key(req_fc, phy_id, start_reg, reg_count);
  cache_list &list = cache->lists[req_fc - 1];
  PLAT_LOG(7, "regist cache list addr is %p  funcode is %02x", static_cast<void *>(&list), req_fc);

  {
    std::scoped_lock lock(cache->lock);
    if (cache->index.count(key)) return 1;  // stored data is replaced only by a refresh
  }
  if (req_fc != ack_fc) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat"
    PLAT_LOG(4, "%s: funcode does not match, phy id is % 02x, req fun code is %02x, ack fun code is %02x.\n",
             "cache_register_ack", phy_id, req_fc, ack_fc);
#pragma GCC diagnostic pop
    return 0;
  }
  // Only an answer of exactly the shape its request asks for is kept: it
  // would otherwise be served, for a whole polling cycle at least, to reads
  // it does not answer.
  const int byte_count = ack_len >= 3 ? a[2] : -1;
  if (byte_count < 0 || ack_len != 3u + static_cast<uint32_t>(byte_count) ||
      byte_count != expected_byte_count(req_fc, reg_count)) {
    PLAT_LOG(4,
             "%s: answer does not fit its request, not cached, phy id is %02x, funcode is %02x, reg num is %04x, "
             "byte count is %d, length is %u.\n",
             "cache_register_ack", phy_id, req_fc, reg_count, byte_count, ack_len);
    return 0;
  }
  auto entry = cache_data_create(phy_id, start_reg, reg_count, req, a + 3, static_cast<uint8_t>(byte_count));
  int count = 0;
  {
    std::scoped_lock lock(cache->lock);
    // The refresh pass may have changed the lists since the check above.
    if (!cache->index.emplace(key, entry.get()).second) return 1;
    entry->id = cache->next_id++;
    list.entries.push_back(std::move(entry));
    count = static_cast<int>(list.entries.size());
  }
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat"
  PLAT_LOG(6, "%s: add new cache success, number of data is %d, phy id is % 02x, funcode is %02x.\n",
           "cache_register_ack", count, phy_id, ack_fc);
#pragma GCC diagnostic pop
  return 1;
}

int check_cache_time_out(mb_cache *cache, uint32_t timeout) {
  if (static_cast<uint32_t>(plat_systick_get() - cache->last_push_tick) < timeout) return 0;
  PLAT_LOG(4, "%s: cache data update time out.\n", "check_cache_time_out");
  return 1;
}

void remove_cache_data(mb_cache *cache, uint32_t entry_id, int list_index) {
  if (list_index < 0 || list_index >= MB_CACHE_LISTS) return;
  int count = 0;
  uint8_t phy_id = 0;
  {
    std::scoped_lock lock(cache->lock);
    auto &v = cache->lists[list_index].entries;
    auto it = std::find_if(v.begin(), v.end(), [&](const std::unique_ptr<cache_data> &e) { return e->id == entry_id; });
    if (it == v.end()) return;
    const cache_data &e = **it;
    phy_id = e.phy_id;
    cache->index.erase(cache_key(static_cast<uint8_t>(list_index + 1), e.phy_id, e.start_reg, e.reg_count));
    v.erase(it);
    count = static_cast<int>(v.size());
  }
  PLAT_LOG(6, "%s: delete a cache data, number of data is %d, phy id is %02x.\n", "remove_cache_data", count, phy_id);
}

int cache_count(mb_cache *cache, uint8_t func_code) {
  if (!cache || !valid_func_code(func_code)) return 0;
  std::scoped_lock lock(cache->lock);
  return static_cast<int>(cache->lists[func_code - 1].entries.size());
}

void cache_update_all(mb_cache *cache, uint32_t timeout) {
  PLAT_LOG(7, "cache:%s\n", "cache_update_all");
  RON(cache);
  {
    std::scoped_lock lock(cache->lock);
    cache->refresher = plat_thread_self();
  }
  for (int li = 0; li < MB_CACHE_LISTS; ++li) {
    PLAT_LOG(7, "FUN CODE CHOOSE IS %d", li + 1);
    uint32_t last_id = 0;
    for (;;) {
      if (plat_thread_wait_for_stop(0)) return abandon_pass(cache);
      std::vector<uint8_t> req;
      uint8_t phy_id = 0;
      uint32_t entry_id = 0;
      {
        std::scoped_lock lock(cache->lock);
        cache_data *e = next_entry(cache->lists[li], last_id);
        if (!e) break;
        last_id = entry_id = e->id;
        phy_id = e->phy_id;
        req = e->req;
      }
      PLAT_LOG(7, "cache:%s %d\n", __func__, __LINE__);

      auto *ctx = new refresh_ctx{cache, 0, entry_id, li};
      mb_frame *frame = mb_frame_create(req.data(), static_cast<int>(req.size()), cache_update_callback, ctx,
                                        refresh_ctx_release, phy_id, 0, 0, 0);
      if (!frame) {
        delete ctx;
        PLAT_LOG(3, "REQ FRAME IS NULL");
        continue;
      }
      mb_frame_set_phy_id(frame, phy_id);
      {
        std::scoped_lock lock(cache->lock);
        ctx->seq = ++cache->refresh_seq;
        cache->refresh_id = entry_id;
        cache->waiting = 1;
        cache->refresh_ok = false;
      }
      // Marked before the offer: once accepted, the frame is the port's and
      // may already be answered and freed by the time push_request returns.
      mb_frame_mark_sent(frame);

      const uint32_t first_offer = plat_systick_get();
      bool accepted = false;
      for (;;) {
        if (cache->port->push_request(frame) == 0) {
          accepted = true;
          break;
        }
        const uint32_t waited = plat_systick_get() - first_offer;
        if (waited >= timeout) break;
        // The port wakes this thread when its slot is ours.
        plat_thread_wait_for_wake(timeout - waited);
        if (plat_thread_wait_for_stop(0)) break;
      }
      if (!accepted) {
        // Busy for the whole time-out: neither refreshed nor deleted this pass.
        bool answered = false;
        bool ok = false;
        finish_refresh(cache, &answered, &ok);
        mb_frame_release(frame);
        if (plat_thread_wait_for_stop(0)) return abandon_pass(cache);
        plat_systick_sleep(1);
        continue;
      }
      cache->last_push_tick = plat_systick_get();

      for (;;) {
        if (check_cache_time_out(cache, cache->timeout)) break;
        bool cleared = false;
        {
          std::scoped_lock lock(cache->lock);
          cleared = cache->waiting == 0;
        }
        if (cleared) {
          PLAT_LOG(6, " %s %s :UPDATE GET RSP SUCCESS", "mb_cache.cpp", __func__);
          break;
        }
        // The answer's callback wakes this thread; the time-out bounds the wait.
        const uint32_t since = plat_systick_get() - cache->last_push_tick;
        plat_thread_wait_for_wake(since < cache->timeout ? cache->timeout - since : 1);
        if (plat_thread_wait_for_stop(0)) return abandon_pass(cache);
      }

      bool answered = false;
      bool ok = false;
      finish_refresh(cache, &answered, &ok);
      if (!answered) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat"
        PLAT_LOG(4, "%s: can not get ack from south device, phy id is % 02x, going to delete cache data.\n",
                 "cache_update_all", phy_id);
#pragma GCC diagnostic pop
      }
      if ((!answered || !ok) && cache->delete_list.size() < MB_CACHE_DELETE_CAPACITY)
        cache->delete_list.emplace_back(entry_id, li);
      plat_systick_sleep(1);
    }
  }

  for (const auto &[entry_id, li] : cache->delete_list) {
    remove_cache_data(cache, entry_id, li);
    plat_systick_sleep(1);
  }
  cache->delete_list.clear();
  PLAT_LOG(7, "cache:%s end\n", "cache_update_all");
}

int cache_update_callback(mb_frame *frame, void *ctx_ptr, uint8_t, uint16_t, uint16_t) {
  auto *ctx = static_cast<refresh_ctx *>(ctx_ptr);
  mb_cache *cache = ctx ? ctx->cache : nullptr;
  if (!cache) {
    mb_frame_release(frame);
    return 1;
  }
  uint32_t len = 0;
  const uint8_t *a = mb_frame_get_data(frame, &len);
  const uint8_t want_fc = static_cast<uint8_t>(ctx->list_index + 1);
  enum { ignored, stored, refused } outcome = ignored;
  plat_thread_ref refresher;
  {
    std::scoped_lock lock(cache->lock);
    if (cache->waiting == 1 && cache->refresh_seq == ctx->seq && cache->refresh_id == ctx->entry_id) {
      cache->waiting = 0;
      refresher = cache->refresher;
      cache_data *e = find_entry(cache->lists[ctx->list_index], ctx->entry_id);
      if (e && a && len >= 3 && a[1] == want_fc && len >= 3u + a[2]) {
        e->data.fill(0);
        e->byte_count = a[2];
        std::memcpy(e->data.data(), a + 3, e->byte_count);
        cache->refresh_ok = true;
        outcome = stored;
      } else {
        outcome = refused;
      }
    }
  }
  plat_thread_wake(refresher);  // the pass goes on to the next entry now
  if (outcome == ignored)
    PLAT_LOG(6, "%s: refresh answer no longer awaited, ignored, phy id is %02x.\n", "cache_update_callback",
             a ? a[0] : 0);
  else if (outcome == refused)
    PLAT_LOG(4, "%s: unusable refresh answer, phy id is %02x, req fun code is %02x, ack fun code is %02x, "
             "going to delete cache data.\n", "cache_update_callback", a ? a[0] : 0, want_fc, a ? a[1] : 0);
  mb_frame_release(frame);
  return 0;
}
