#include "cache/mb_cache.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <numeric>
#include <thread>
#include <vector>

#include "platform/plat_thread.h"

namespace {

using bytes = std::vector<uint8_t>;
using steady = std::chrono::steady_clock;
using std::chrono::milliseconds;

bytes read_req(uint8_t phy, uint8_t fc, uint16_t start, uint16_t count) {
  return {phy, fc, static_cast<uint8_t>(start >> 8), static_cast<uint8_t>(start), static_cast<uint8_t>(count >> 8),
          static_cast<uint8_t>(count)};
}

bytes answer(uint8_t phy, uint8_t fc, bytes data) {
  data.insert(data.begin(), {phy, fc, static_cast<uint8_t>(data.size())});
  return data;
}

mb_frame *make_frame(const bytes &b, uint8_t cache = 1) {
  return mb_frame_create(b.data(), static_cast<int>(b.size()), nullptr, nullptr, nullptr, b[0], 0, 0, cache);
}

// A request as the mux hands it to the port: byte 0 is the unit id the
// master sent, `phy` the unit id stamped for the wire.
mb_frame *make_req(const bytes &b, uint8_t phy, uint8_t cache = 1) {
  mb_frame *f = make_frame(b, cache);
  mb_frame_set_phy_id(f, phy);
  return f;
}

bytes frame_bytes(mb_frame *f) {
  uint32_t len = 0;
  const uint8_t *d = mb_frame_get_data(f, &len);
  return bytes(d, d + len);
}

// Stores `ack` as the device's answer to `req` sent to unit `phy`, as the
// port does after an exchange.
int store_as(mb_cache *c, const bytes &req, uint8_t phy, const bytes &ack, uint8_t cacheable = 1) {
  mb_frame *r = make_req(req, phy, cacheable);
  mb_frame *a = make_frame(ack, 0);
  int rc = cache_register_ack(c, r, a, mb_frame_is_cacheable(r));
  mb_frame_release(r);
  mb_frame_release(a);
  return rc;
}

// The same for a request routed to the unit id it arrived with.
int store(mb_cache *c, const bytes &req, const bytes &ack, uint8_t cacheable = 1) {
  return store_as(c, req, req[0], ack, cacheable);
}

// The cached answer for a key, or empty on a miss.
bytes lookup(mb_cache *c, uint8_t phy, uint8_t fc, uint16_t start, uint16_t count) {
  mb_frame *f = cache_get_ack(c, phy, fc, start, count);
  if (!f) return {};
  bytes b = frame_bytes(f);
  mb_frame_release(f);
  return b;
}

int total(mb_cache *c) {
  int n = 0;
  for (uint8_t fc = 1; fc <= 4; ++fc) n += cache_count(c, fc);
  return n;
}

// A south port stand-in: every accepted request goes at once to `handler` on
// the offering thread, which answers it as a port does (answer_with()), drops
// it (drop()) or keeps it to answer later, from any thread.
class fake_port final : public south_port {
 public:
  using handler_fn = std::function<void(mb_frame *)>;
  explicit fake_port(handler_fn handler) : handler_(std::move(handler)) {}

  int push_request(mb_frame *frame) override {
    if (busy) return 1;
    ++pushes;
    handler_(frame);
    return 0;
  }
  int start(void *, void *) override { return 0; }

  static void answer_with(mb_frame *f, const bytes &b) {
    mb_frame_add_ref(f);
    frame_renewal(f, b.data(), static_cast<int>(b.size()));
    do_call_back(f);
    mb_frame_release(f);
  }
  static void drop(mb_frame *f) { mb_frame_release(f); }

  std::atomic<bool> busy{false};
  std::atomic<int> pushes{0};

 private:
  handler_fn handler_;
};

const bytes kData20 = [] {
  bytes d(20);
  std::iota(d.begin(), d.end(), uint8_t{0xA0});
  return d;
}();

class CacheTest : public ::testing::Test {
 protected:
  void with_port(fake_port::handler_fn h, uint32_t timeout = 100) {
    port_ = std::make_unique<fake_port>(std::move(h));
    cache_ = cache_create(port_.get(), timeout);
  }
  std::unique_ptr<fake_port> port_;
  std::unique_ptr<mb_cache> cache_;  // declared last: destroyed first
};

// Stored under the unit id the request went to on the wire, never the
// master's or the answer's; only a refresh replaces stored data.
TEST_F(CacheTest, AnswerIsKeptUnderTheRequestsWireUnitAndOnlyTheFirstIsStored) {
  with_port(fake_port::drop);
  mb_cache *c = cache_.get();
  // The master asked unit 10, routed to unit 1; the device answers as unit 2.
  ASSERT_EQ(store_as(c, read_req(10, 3, 0, 2), 1, answer(2, 3, {1, 2, 3, 4})), 1);
  EXPECT_EQ(lookup(c, 2, 3, 0, 2), bytes{});
  EXPECT_EQ(lookup(c, 10, 3, 0, 2), bytes{});
  EXPECT_EQ(lookup(c, 1, 3, 0, 2), answer(1, 3, {1, 2, 3, 4}));
  EXPECT_EQ(store(c, read_req(1, 3, 0, 2), answer(1, 3, {5, 5, 5, 5})), 1);
  EXPECT_EQ(lookup(c, 1, 3, 0, 2), answer(1, 3, {1, 2, 3, 4}));
  EXPECT_EQ(cache_count(c, 3), 1);
}

// Only a whole, non-exception answer of the size its request asks for
// (two bytes per register, one bit per coil rounded up) is stored.
TEST_F(CacheTest, OnlyAnswersShapedForTheirRequestAreStored) {
  with_port(fake_port::drop);
  bytes trailing = answer(1, 3, kData20);
  trailing.push_back(0);
  const struct {
    const char *what;
    bytes req, ack;
    uint8_t cacheable;
    int stored;
  } cases[] = {
      {"registers", read_req(1, 3, 0, 10), answer(1, 3, kData20), 1, 1},
      {"a register short", read_req(1, 3, 0, 10), answer(1, 3, bytes(18, 1)), 1, 0},
      {"a register over", read_req(1, 3, 0, 10), answer(1, 3, bytes(22, 1)), 1, 0},
      {"odd input bytes", read_req(1, 4, 0, 1), answer(1, 4, {1}), 1, 0},
      {"bytes past the count", read_req(1, 3, 0, 10), trailing, 1, 0},
      {"count past the bytes", read_req(1, 3, 0, 10), bytes{1, 3, 20, 0xAA, 0xBB}, 1, 0},
      {"no byte count", read_req(1, 3, 0, 10), bytes{1, 3}, 1, 0},
      {"exception", read_req(1, 3, 0, 10), bytes{1, 0x83, 2}, 1, 0},
      {"request too short", bytes{1, 3, 0, 0, 0}, answer(1, 3, {}), 1, 0},
      {"not cacheable", read_req(1, 3, 0, 10), answer(1, 3, kData20), 0, 0},
      {"9 coils", read_req(1, 1, 0, 9), answer(1, 1, {0xFF, 0x01}), 1, 1},
      {"9 coils in 1 byte", read_req(1, 1, 0, 9), answer(1, 1, {0xFF}), 1, 0},
      {"8 inputs", read_req(1, 2, 0, 8), answer(1, 2, {0xA5}), 1, 1},
      {"8 inputs in 2 bytes", read_req(1, 2, 0, 8), answer(1, 2, {1, 2}), 1, 0},
      {"16 coils", read_req(1, 1, 0, 16), answer(1, 1, {1, 2}), 1, 1},
      {"16 coils in 3 bytes", read_req(1, 1, 0, 16), answer(1, 1, {1, 2, 3}), 1, 0},
      {"17 coils", read_req(1, 1, 0, 17), answer(1, 1, {1, 2, 3}), 1, 1},
  };
  for (const auto &k : cases) {
    SCOPED_TRACE(k.what);
    auto cache = std::unique_ptr<mb_cache>(cache_create(port_.get(), 100));
    EXPECT_EQ(store(cache.get(), k.req, k.ack, k.cacheable), k.stored);
    EXPECT_EQ(total(cache.get()), k.stored);
    if (k.stored) {
      EXPECT_EQ(lookup(cache.get(), k.req[0], k.req[1], 0, k.req[5]), k.ack);
    }
  }
}

TEST_F(CacheTest, EntriesDifferingInAnyOneKeyFieldNeverCollide) {
  with_port(fake_port::drop);
  mb_cache *c = cache_.get();
  // Values at the edges of each field; the data's first byte names the entry.
  const uint8_t phys[] = {1, 0x80, 0xFF};
  const uint16_t starts[] = {0, 1, 0x100, 0xFFFF};
  const uint16_t counts[] = {1, 9, 125};
  struct key {
    uint8_t fc, phy;
    uint16_t start, count;
    bytes ack;
  };
  std::vector<key> keys;
  for (uint8_t fc = 1; fc <= 4; ++fc)
    for (uint8_t phy : phys)
      for (uint16_t start : starts)
        for (uint16_t count : counts) {
          const size_t bc = fc <= 2 ? (count + 7u) / 8u : 2u * count;
          bytes data(bc, 0xC3);
          data[0] = static_cast<uint8_t>(keys.size());
          keys.push_back({fc, phy, start, count, answer(phy, fc, data)});
        }
  for (const key &k : keys) ASSERT_EQ(store(c, read_req(k.phy, k.fc, k.start, k.count), k.ack), 1);
  for (uint8_t fc = 1; fc <= 4; ++fc) EXPECT_EQ(cache_count(c, fc), 36);
  for (const key &k : keys) EXPECT_EQ(lookup(c, k.phy, k.fc, k.start, k.count), k.ack);
  EXPECT_EQ(lookup(c, 2, 3, 0, 1), bytes{});
  EXPECT_EQ(lookup(c, 1, 3, 2, 1), bytes{});
  EXPECT_EQ(lookup(c, 1, 3, 0, 2), bytes{});
  EXPECT_EQ(lookup(c, 0x81, 3, 0, 1), bytes{});
  EXPECT_EQ(lookup(c, 1, 6, 0, 1), bytes{}) << "no list for writes";
}

TEST_F(CacheTest, LookupAmongTwoHundredEntriesTakesWellUnderAMillisecond) {
  with_port(fake_port::drop);
  mb_cache *c = cache_.get();
  constexpr int n = 200;
  auto ack_of = [](int i) {
    return answer(static_cast<uint8_t>(1 + i % 4), 3, {static_cast<uint8_t>(i), static_cast<uint8_t>(i >> 8), 0, 0});
  };
  auto req_of = [](int i) { return read_req(static_cast<uint8_t>(1 + i % 4), 3, static_cast<uint16_t>(i * 7), 2); };
  for (int i = 0; i < n; ++i) ASSERT_EQ(store(c, req_of(i), ack_of(i)), 1);
  ASSERT_EQ(cache_count(c, 3), n);

  // A hit is measured against the answer frame's own allocation (slow in a
  // sanitizer build), timed next to it.
  auto micros = [](steady::time_point t0) {
    return std::chrono::duration<double, std::micro>(steady::now() - t0).count();
  };
  auto median = [](std::vector<double> v) {
    std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
    return v[v.size() / 2];
  };
  std::vector<double> hit_us, miss_us, frame_us;
  for (int i = n - 1; i >= 0; --i) {  // the last entries inserted are the farthest down their list
    const uint8_t phy = static_cast<uint8_t>(1 + i % 4);
    const uint16_t start = static_cast<uint16_t>(i * 7);
    const bytes ack = ack_of(i);

    auto t0 = steady::now();
    mb_frame *f = cache_get_ack(c, phy, 3, start, 2);
    hit_us.push_back(micros(t0));
    ASSERT_NE(f, nullptr) << "entry " << i;
    EXPECT_EQ(frame_bytes(f), ack);
    mb_frame_release(f);

    t0 = steady::now();
    f = make_frame(ack, 0);
    frame_us.push_back(micros(t0));
    mb_frame_release(f);

    t0 = steady::now();
    f = cache_get_ack(c, phy, 3, static_cast<uint16_t>(start + 1), 2);
    miss_us.push_back(micros(t0));
    EXPECT_EQ(f, nullptr) << "entry " << i;
  }
  EXPECT_LT(median(miss_us), 250.0) << "median miss, microseconds";
  EXPECT_LT(median(hit_us), median(frame_us) + 250.0) << "median hit, microseconds, against the answer frame's cost";
}

TEST_F(CacheTest, RefreshReplacesDataWithAnyByteCountAndAnExceptionOrAnotherFunctionCodeDeletes) {
  std::vector<bytes> seen;  // handler and test body run on this thread
  with_port([&](mb_frame *f) {
    seen.push_back(frame_bytes(f));
    EXPECT_EQ(mb_frame_get_phy_id(f), 1);
    EXPECT_EQ(mb_frame_is_cacheable(f), 0) << "refresh requests are not looked up again";
    const uint16_t start = mb_frame_get_start_addr(f);
    fake_port::answer_with(f, start == 0   ? answer(1, 3, bytes(250, 0x77))
                              : start == 8 ? bytes{1, 0x83, 4}
                                           : answer(1, 4, {1, 2}));
  });
  mb_cache *c = cache_.get();
  ASSERT_EQ(store(c, read_req(1, 3, 0, 2), answer(1, 3, {1, 2, 3, 4})), 1);
  ASSERT_EQ(store(c, read_req(1, 3, 8, 2), answer(1, 3, {1, 2, 3, 4})), 1);
  ASSERT_EQ(store(c, read_req(1, 3, 16, 1), answer(1, 3, {1, 2})), 1);
  cache_update_all(c, 100);
  EXPECT_EQ(port_->pushes.load(), 3);
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0], read_req(1, 3, 0, 2));
  EXPECT_EQ(lookup(c, 1, 3, 0, 2), answer(1, 3, bytes(250, 0x77)));
  EXPECT_EQ(total(c), 1);
}

TEST_F(CacheTest, SilentDeviceCostsOneTimeoutPerEntryAndEntriesGoAtTheEndOfThePass) {
  std::vector<int> fc3_count_at_push;  // handler and test body run on this thread
  with_port(
      [&](mb_frame *f) {
        fc3_count_at_push.push_back(cache_count(cache_.get(), 3));
        fake_port::drop(f);
      },
      150);
  mb_cache *c = cache_.get();
  store(c, read_req(1, 3, 0, 2), answer(1, 3, {1, 2, 3, 4}));
  store(c, read_req(2, 3, 0, 2), answer(2, 3, {1, 2, 3, 4}));
  store(c, read_req(1, 4, 0, 1), answer(1, 4, {5, 6}));

  const auto t0 = steady::now();
  cache_update_all(c, 150);
  const auto took = steady::now() - t0;
  EXPECT_GE(took, milliseconds(3 * 150));
  EXPECT_LT(took, milliseconds(3 * 150 + 1500));
  EXPECT_EQ(total(c), 0);
  EXPECT_EQ(lookup(c, 1, 3, 0, 2), bytes{}) << "a deleted entry is not found any more";
  EXPECT_EQ(fc3_count_at_push, (std::vector<int>{2, 2, 2})) << "nothing is deleted before the pass ends";
}

TEST_F(CacheTest, PortBusyForTheWholeTimeoutLeavesTheEntryAlone) {
  with_port(fake_port::drop);
  port_->busy = true;
  mb_cache *c = cache_.get();
  store(c, read_req(1, 3, 0, 2), answer(1, 3, {1, 2, 3, 4}));
  const auto t0 = steady::now();
  cache_update_all(c, 100);
  EXPECT_GE(steady::now() - t0, milliseconds(100));
  EXPECT_EQ(port_->pushes.load(), 0);
  EXPECT_EQ(lookup(c, 1, 3, 0, 2), answer(1, 3, {1, 2, 3, 4}));
}

TEST_F(CacheTest, LateRefreshAnswersChangeNothing) {
  // The device answers A only after the pass gave up on it, while B's
  // refresh is outstanding; B itself is never answered in time.
  std::vector<mb_frame *> held;  // handler and test body run on this thread
  auto answer_held = [&] {
    for (mb_frame *late : held) fake_port::answer_with(late, answer(1, 3, {0xEE, 0xEE, 0xEE, 0xEE}));
    held.clear();
  };
  with_port([&](mb_frame *f) {
    if (mb_frame_get_start_addr(f) == 20) answer_held();
    held.push_back(f);
  });
  mb_cache *c = cache_.get();
  store(c, read_req(1, 3, 0, 2), answer(1, 3, {1, 2, 3, 4}));   // A
  store(c, read_req(1, 3, 20, 2), answer(1, 3, {5, 6, 7, 8}));  // B
  cache_update_all(c, 100);
  EXPECT_EQ(port_->pushes.load(), 2);
  EXPECT_EQ(lookup(c, 1, 3, 20, 2), bytes{}) << "A's answer must not count as B's";
  EXPECT_EQ(total(c), 0);

  answer_held();  // B's answer after its entry is gone
  EXPECT_EQ(total(c), 0);
}

TEST_F(CacheTest, RefreshRacingLookupsAndInsertions) {
  // As in the port, the send thread takes the refresh request from the
  // port's one slot and answers it between its lookups and insertions.
  std::atomic<mb_frame *> slot{nullptr};
  with_port(
      [&](mb_frame *f) {
        if (mb_frame *old = slot.exchange(f)) fake_port::drop(old);  // given up on
      },
      100);
  mb_cache *c = cache_.get();
  for (uint16_t i = 0; i < 12; ++i) store(c, read_req(1, 3, static_cast<uint16_t>(i * 10), 4), answer(1, 3, bytes(8, 0)));

  std::atomic<bool> done{false};
  bool refreshed = false;  // send thread's until the join
  std::thread send_thread([&] {
    uint8_t generation = 1;
    for (uint16_t i = 0; !done; ++i) {
      if (mb_frame *f = slot.exchange(nullptr)) {
        if (mb_frame_get_start_addr(f) % 50 == 0)  // some entries die in every pass
          fake_port::drop(f);
        else
          fake_port::answer_with(f, answer(mb_frame_get_phy_id(f), 3, bytes(8, generation++)));
      }
      const uint16_t start = static_cast<uint16_t>((i % 16) * 10);
      bytes hit = lookup(c, 1, 3, start, 4);
      if (hit.empty()) {
        store(c, read_req(1, 3, start, 4), answer(1, 3, bytes(8, 0)));
        continue;
      }
      ASSERT_EQ(hit.size(), 11u);
      for (size_t k = 4; k < hit.size(); ++k) ASSERT_EQ(hit[k], hit[3]) << "a torn entry";
      refreshed = refreshed || hit[3] != 0;
    }
  });
  const auto until = steady::now() + milliseconds(1500);
  while (steady::now() < until) cache_update_all(c, 20);
  done = true;
  send_thread.join();
  if (mb_frame *f = slot.exchange(nullptr)) fake_port::drop(f);
  EXPECT_GT(port_->pushes.load(), 12);
  EXPECT_TRUE(refreshed) << "no refresh answer was stored while racing";
}

TEST_F(CacheTest, ClosingTheCacheThreadEndsAWaitingPassPromptly) {
  with_port(fake_port::drop, 5000);
  mb_cache *c = cache_.get();
  store(c, read_req(1, 3, 0, 2), answer(1, 3, {1, 2, 3, 4}));
  plat_thread_handle t = plat_thread_start([c] { cache_update_all(c, 5000); }, 10, "update_cache_proc");
  ASSERT_TRUE(t);
  for (int i = 0; i < 200 && port_->pushes.load() == 0; ++i) std::this_thread::sleep_for(milliseconds(10));
  ASSERT_EQ(port_->pushes.load(), 1);
  const auto t0 = steady::now();
  plat_close_handle(t);
  EXPECT_LT(steady::now() - t0, milliseconds(500));
}

}  // namespace
