// The response cache of a Modbus south port.
//
// Keeps the last answer a field device gave to each distinct read (function
// codes 1-4), keyed by the request it answered: function code, the unit id
// the request carried on the wire (its phy id), start register and register
// count (exact range only). Nothing of the key is read from the answer, so an
// answer carrying another unit id is never served to that unit's reads. An
// answer is stored only when its shape fits its request. Identical reads are
// answered from the cache, and every entry is refreshed once per polling
// cycle by sending its request again through the port. An entry whose
// refresh gets no usable answer within the time-out is deleted at the end of
// the pass.
//
// Threads: lookups and insertions run on the port's send thread, refresh
// passes on the port's cache thread, the refresh callback on the send thread.
// The entry lists and the key index are guarded by the cache lock, held only
// while they are touched and never across a pause. Each refresh request
// carries the id of its entry; an answer for an entry that was removed or is
// no longer being refreshed changes nothing.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "frame/mb_frame.h"
#include "platform/plat_thread.h"
#include "route/port.h"

constexpr int MB_CACHE_LISTS = 4;                // function codes 1, 2, 3, 4
constexpr size_t MB_CACHE_DELETE_CAPACITY = 256;  // deletions recorded per pass

struct cache_data final {
  uint32_t id = 0;     // unique within the cache, increasing in insertion order
  uint8_t phy_id = 0;  // unit id the stored request carried on the wire
  uint16_t start_reg = 0;
  uint16_t reg_count = 0;
  std::vector<uint8_t> req;  // the request's data (unit id, function code, ...)
  int32_t req_len = 0;
  uint8_t byte_count = 0;
  std::array<uint8_t, 255> data{};  // room for any byte count
};

struct cache_list {
  std::vector<std::unique_ptr<cache_data>> entries;  // insertion order, so ids increase
};

class mb_cache final {
 public:
  mb_cache(south_port *port, uint32_t timeout) : port(port), timeout(timeout) {}
  mb_cache(const mb_cache &) = delete;
  mb_cache &operator=(const mb_cache &) = delete;

  south_port *const port;  // refresh requests go through its push_request
  const uint32_t timeout;  // ms

  // Guards lists, index, next_id, refresh_seq, refresh_id, waiting and refresh_ok.
  std::mutex lock;
  std::array<cache_list, MB_CACHE_LISTS> lists;  // own the entries; the refresh pass walks them
  // Every listed entry under its packed key (function code, phy id, start
  // register, register count); changed together with the lists.
  std::unordered_map<uint64_t, cache_data *> index;
  uint32_t next_id = 1;
  uint32_t refresh_seq = 0;  // number of the outstanding refresh request (each gets a new one)
  uint32_t refresh_id = 0;   // entry whose refresh is outstanding, 0 none
  uint8_t waiting = 0;       // 1 while that refresh has not been answered
  bool refresh_ok = false;   // the answer replaced the entry's data

  // The refresh thread, woken when its outstanding request is answered.
  // Guarded by lock.
  plat_thread_ref refresher;

  // Cache thread only.
  uint32_t last_push_tick = 0;
  std::vector<std::pair<uint32_t, int>> delete_list;  // (entry id, list index), oldest first
};

std::unique_ptr<mb_cache> cache_create(south_port *port, uint32_t timeout);

// Lookup (send thread). `phy_id` is the unit id the request carries on the
// wire. The answer frame (phy_id, function code, byte count, data; no
// callback, req id 0, not cacheable) belongs to the caller; null on a miss or
// for a function code outside 1-4. Does not sleep; its cost does not grow
// with the number of entries.
mb_frame *cache_get_ack(mb_cache *cache, uint8_t phy_id, uint8_t func_code, uint16_t start_reg, uint16_t reg_count);

// Insertion after an answer from the device (send thread). The key is taken
// from `req` only: its function code, its phy id (mb_frame_get_phy_id), its
// start register and register count; a request shorter than the 6 bytes of
// a read is not stored. `ack` is stored only when it fits `req`: same
// function code, length 3 + byte count, and byte count ceil(count / 8) for
// coils and discrete inputs or 2 * count for registers. 1 when stored or
// when the key is already present (its data is not replaced), else 0.
// Neither frame is released.
int cache_register_ack(mb_cache *cache, mb_frame *req, mb_frame *ack, int cacheable);

// A new entry (not linked into any list). REQUIRES: data holds byte_count bytes.
std::unique_ptr<cache_data> cache_data_create(uint8_t phy_id, uint16_t start_reg, uint16_t reg_count, mb_frame *req,
                                              const uint8_t *data, uint8_t byte_count);

// One refresh pass (cache thread): sends each entry's request through the
// port, one entry at a time and 1 ms apart, and deletes the entries left
// without a usable answer at the end of the pass. Ends early when the thread
// is asked to stop.
void cache_update_all(mb_cache *cache, uint32_t timeout);

// 1 when `timeout` ms have passed since the last accepted refresh request.
int check_cache_time_out(mb_cache *cache, uint32_t timeout);

// Unlinks the entry with this id from list `list_index` and from the index,
// and frees it; nothing when it is no longer there. Takes the cache lock.
void remove_cache_data(mb_cache *cache, uint32_t entry_id, int list_index);

// The callback of every refresh request frame (send thread). `ctx` is the
// frame's refresh context. Releases the frame.
int cache_update_callback(mb_frame *frame, void *ctx, uint8_t req_id, uint16_t tid, uint16_t pid);

// Number of entries of a function code (1-4), for tests and messages.
int cache_count(mb_cache *cache, uint8_t func_code);
