// The hand-over between offering threads and a south port's single slot:
// the send thread sleeps until a request comes, and a thread refused by a
// busy slot is woken when the slot frees, oldest refusal first, instead of
// trying again after its period.
#include "south/south_port_base.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "south/south_test_util.h"

namespace {

using south_test::offerer;

template <class Pred>
bool wait_until(Pred pred, int limit_ms = 3000) {
  return south_test::wait_until(pred, limit_ms);
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

// Offerers with a 60 s period: only the port's wake-up brings them back
// within the waits below.
TEST(SouthPortHandOver, RefusedOfferersAreWokenWhenTheSlotFreesOldestFirst) {
  held_port port;
  ASSERT_EQ(port.push_request(request(1)), 0);
  std::vector<std::unique_ptr<offerer>> offerers;
  for (uint8_t unit = 2; unit <= 4; ++unit) {
    offerers.push_back(std::make_unique<offerer>(&port, std::vector<mb_frame *>{request(unit)}));
    ASSERT_TRUE(wait_until([&] { return offerers.back()->refusals >= 1; }));  // refused in order 2, 3, 4
  }
  for (int i = 1; i <= 4; ++i) {
    port.finish();
    ASSERT_TRUE(wait_until([&] { return port.served == i; }, 1000)) << "a refused offer was not retried";
  }
  EXPECT_EQ(port.order, (std::vector<uint8_t>{1, 2, 3, 4}));
}

TEST(SouthPortHandOver, AFreedSlotIsHeldForTheOldestRefusalNotForALateComer) {
  held_port port;
  ASSERT_EQ(port.push_request(request(1)), 0);
  offerer waiter(&port, {request(2)});
  ASSERT_TRUE(wait_until([&] { return waiter.refusals >= 1; }));
  port.finish();
  ASSERT_TRUE(wait_until([&] { return port.served == 1; }));
  mb_frame *late = request(3);
  EXPECT_EQ(port.push_request(late), 1) << "the slot is held for the waiter";
  ASSERT_TRUE(wait_until([&] { return waiter.taken == 1; }, 1000));
  port.finish();
  ASSERT_TRUE(wait_until([&] { return port.served == 2; }));
  EXPECT_EQ(port.push_request(late), 0);
  port.finish();
  ASSERT_TRUE(wait_until([&] { return port.served == 3; }));
  EXPECT_EQ(port.order, (std::vector<uint8_t>{1, 2, 3}));
}

}  // namespace
