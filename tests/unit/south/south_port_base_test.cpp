// The hand-over between offering threads and a south port's single slot:
// the send thread sleeps until a request comes, and a thread refused by a
// busy slot is woken when the slot frees, oldest refusal first, instead of
// trying again after its period.
#include "south/south_port_base.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/plat_thread.h"

namespace {

template <class Pred>
bool wait_until(Pred pred, uint32_t limit_ms = 3000) {
  const uint32_t start = plat_systick_get();
  while (!pred()) {
    if (plat_systick_get() - start > limit_ms) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

mb_frame *request(uint8_t unit) {
  const uint8_t bytes[] = {unit, 0x03, 0x00, 0x00, 0x00, 0x01};
  mb_frame *f = mb_frame_create(bytes, sizeof bytes, nullptr, nullptr, nullptr, unit, 0, 0, 0);
  mb_frame_set_phy_id(f, unit);
  return f;
}

// A port whose send pass takes the request and holds it until the test
// says it is done; the pass counts show when the send thread ran.
class held_port final : public south_port_base {
 public:
  held_port() : south_port_base("held", 1000, 600000) { start_threads("held_send"); }
  ~held_port() override { close_threads(); }
  int start(void *, void *) override { return 0; }

  void finish() { done_ = true; }
  std::atomic<int> passes{0};
  std::atomic<int> served{0};
  std::mutex order_lock;  // guards order
  std::vector<uint8_t> order;

 private:
  void send_pass() override {
    ++passes;
    mb_frame *req = pending_request();
    if (!req) return;
    while (!done_ && !plat_thread_wait_for_stop(1)) {
    }
    done_ = false;
    {
      std::scoped_lock guard(order_lock);
      order.push_back(mb_frame_get_phy_id(req));
    }
    ++served;
    release_pending(req);
  }
  std::atomic<bool> done_{false};
};

TEST(SouthPortHandOver, SendThreadSleepsUntilARequestComes) {
  held_port port;
  ASSERT_TRUE(wait_until([&] { return port.passes >= 1; }));
  // With nothing in the slot the thread does not poll: no pass in a window
  // of many periods.
  plat_systick_sleep(200);
  EXPECT_EQ(port.passes, 1);
  const uint32_t pushed = plat_systick_get();
  ASSERT_EQ(port.push_request(request(1)), 0);
  ASSERT_TRUE(wait_until([&] { return port.passes >= 2; }));
  EXPECT_LT(plat_systick_get() - pushed, 50u);
  port.finish();
  ASSERT_TRUE(wait_until([&] { return port.served == 1; }));
}

TEST(SouthPortHandOver, RefusedOfferersAreWokenWhenTheSlotFreesOldestFirst) {
  held_port port;
  ASSERT_EQ(port.push_request(request(1)), 0);  // the slot is taken by the test's own request

  // Offering threads with a period far too long to get in by retrying:
  // only the port's wake-up brings them back in time.
  std::atomic<int> accepted_at[3] = {};
  std::atomic<bool> offered[3] = {};
  std::vector<plat_thread_handle> offerers;
  const uint32_t t0 = plat_systick_get();
  for (uint8_t unit = 2; unit <= 4; ++unit) {
    offerers.push_back(plat_thread_start(
        [&, unit, f = request(unit), mine = true]() mutable {
          if (!mine) return;
          if (port.push_request(f) == 0) {
            mine = false;
            accepted_at[unit - 2] = static_cast<int>(plat_systick_get() - t0);
            return;
          }
          offered[unit - 2] = true;
        },
        60000, "offerer"));
    // Refusals in a known order: 2, then 3, then 4.
    ASSERT_TRUE(wait_until([&] { return offered[unit - 2].load(); }));
  }
  for (int i = 0; i < 3; ++i) {
    port.finish();
    ASSERT_TRUE(wait_until([&] { return port.served == i + 1; }, 1000));
  }
  port.finish();
  ASSERT_TRUE(wait_until([&] { return port.served == 4; }, 1000)) << "a refused offer was not retried";
  EXPECT_EQ(port.order, (std::vector<uint8_t>{1, 2, 3, 4}));
  for (auto &at : accepted_at) EXPECT_LT(at.load(), 2000);  // far from the 60 s period
  offerers.clear();
}

TEST(SouthPortHandOver, AFreedSlotIsHeldForTheOldestRefusalNotForALateComer) {
  held_port port;
  ASSERT_EQ(port.push_request(request(1)), 0);
  std::atomic<bool> refused{false}, accepted{false};
  mb_frame *waiting = request(2);
  plat_thread_handle waiter = plat_thread_start(
      [&] {
        if (accepted) return;
        if (port.push_request(waiting) == 0) {
          accepted = true;
        } else {
          refused = true;
        }
      },
      60000, "waiter");
  ASSERT_TRUE(wait_until([&] { return refused.load(); }));
  port.finish();
  ASSERT_TRUE(wait_until([&] { return port.served == 1; }));
  // A request from a thread that never queued is refused while the slot is
  // held for the waiter...
  mb_frame *late = request(3);
  EXPECT_EQ(port.push_request(late), 1);
  ASSERT_TRUE(wait_until([&] { return accepted.load(); }, 1000));
  port.finish();
  ASSERT_TRUE(wait_until([&] { return port.served == 2; }));
  // ...and taken once the waiter has had its turn.
  EXPECT_EQ(port.push_request(late), 0);
  port.finish();
  ASSERT_TRUE(wait_until([&] { return port.served == 3; }));
  EXPECT_EQ(port.order, (std::vector<uint8_t>{1, 2, 3}));
  waiter.reset();
}

}  // namespace
