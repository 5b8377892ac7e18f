// The fair hand-over of a single slot: refused threads are woken oldest
// first when it frees, and the freed slot is held for the one woken.
#include "route/refused_offers.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

// A platform thread that sleeps until woken and counts its passes.
struct sleeper {
  sleeper()
      : thread(plat_thread_start(
            [this] {
              if (passes.fetch_add(1) == 0) self_ref = plat_thread_self();
              ready = true;
              plat_thread_idle_until_woken();
            },
            10, "sleeper")) {
    while (!ready) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  bool woken_within(int ms) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (passes.load() < 2) {
      if (std::chrono::steady_clock::now() > until) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
  }
  std::atomic<int> passes{0};
  std::atomic<bool> ready{false};
  plat_thread_ref self_ref;  // written by the thread's first pass, before `ready`
  plat_thread_handle thread;
};

TEST(RefusedOffers, OldestRefusalIsWokenFirstAndTheSlotHeldForIt) {
  sleeper a, b;
  refused_offers r;
  r.refused(a.self_ref);
  r.refused(b.self_ref);
  r.refused(a.self_ref);  // remembered once
  r.refused({});          // no platform thread: nobody to wake
  EXPECT_EQ(r.waiting(), 2u);

  r.slot_freed(1000);
  EXPECT_TRUE(a.woken_within(1000));
  EXPECT_FALSE(b.woken_within(30));
  EXPECT_TRUE(r.held_for_other(b.self_ref, 1000 + refused_offers::kept_for_ms - 1));
  EXPECT_FALSE(r.held_for_other(a.self_ref, 1001));
  EXPECT_FALSE(r.held_for_other(b.self_ref, 1000 + refused_offers::kept_for_ms)) << "the hold is short";

  r.taken_by(a.self_ref);
  EXPECT_FALSE(r.held_for_other(b.self_ref, 1001));
  r.slot_freed(2000);
  EXPECT_TRUE(b.woken_within(1000));
  EXPECT_EQ(r.waiting(), 0u);
}

TEST(RefusedOffers, AThreadThatWentAwayIsSkipped) {
  refused_offers r;
  sleeper kept;
  {
    sleeper gone;
    r.refused(gone.self_ref);
    r.refused(kept.self_ref);
    gone.thread.reset();
    // The thread lets go of its state just after its handle is closed.
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (!gone.self_ref.expired() && std::chrono::steady_clock::now() < until)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_TRUE(gone.self_ref.expired());
  }
  r.slot_freed(5);
  EXPECT_TRUE(kept.woken_within(1000));
  EXPECT_TRUE(r.held_for_other({}, 6));
}

}  // namespace
