// Threads of the platform layer, run for real: periods, wake-ups, closing
// from outside and from inside, and one-shots. Termination by a signal is
// proven by the process tests.
#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/plat_thread.h"

namespace {

// Bounded polling for a condition set by another thread.
template <class Pred>
bool wait_until(Pred pred, uint32_t limit_ms = 3000) {
  uint32_t start = plat_systick_get();
  while (!pred()) {
    if (plat_systick_get() - start > limit_ms) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

TEST(PlatThread, PeriodSpacesThePassesCloseEndsIt) {
  std::atomic<int> passes{0};
  uint32_t start = plat_systick_get();
  auto t = plat_thread_start([&] { ++passes; }, 40, "period-test");
  ASSERT_TRUE(t);
  ASSERT_TRUE(wait_until([&] { return passes >= 6; }));
  EXPECT_GE(plat_systick_get() - start, 5u * 40u - 5u);  // five full periods separate six passes
  t.reset();
  int after_close = passes;
  start = plat_systick_get();
  plat_systick_sleep(100);  // nothing may come in a window far over two periods
  EXPECT_GE(plat_systick_get() - start, 100u);
  EXPECT_EQ(passes, after_close) << "a closed thread ran another pass";
  plat_thread_wake(nullptr);  // ignored
}

TEST(PlatThread, CloseInterruptsALongSleepInThePass) {
  std::atomic<bool> sleeping{false};
  std::atomic<int> stop_seen{0};
  auto t = plat_thread_start(
      [&] {
        sleeping = true;
        plat_systick_sleep(10000);
        stop_seen = plat_thread_wait_for_stop(0);
      },
      10, "sleep-test");
  ASSERT_TRUE(wait_until([&] { return sleeping.load(); }));
  uint32_t start = plat_systick_get();
  plat_close_handle(t);
  EXPECT_LT(plat_systick_get() - start, 1000u);
  EXPECT_NE(stop_seen, 0);
}

TEST(PlatThread, CloseFromInsideOnlyMarksTheThread) {
  int before = plat_thread_running_count();
  std::atomic<int> passes{0};
  std::atomic<bool> handed{false};
  plat_thread_handle t;
  t = plat_thread_start(
      [&] {
        if (!handed) return;
        ++passes;
        plat_close_handle(t);
      },
      5, "self-close");
  handed = true;
  ASSERT_TRUE(wait_until([&] { return passes >= 1; }));
  ASSERT_TRUE(wait_until([&] { return plat_thread_running_count() == before; }));
  EXPECT_EQ(passes, 1);
}

TEST(PlatThread, OneShotRunsOnceAndEntryGetsItsArgument) {
  std::atomic<int> runs{0};
  char name[32] = {};
  auto t = plat_thread_start_oneshot_thread(
      [&] {
        pthread_getname_np(pthread_self(), name, sizeof(name));
        ++runs;
      },
      "oneshot-with-a-long-name");
  ASSERT_TRUE(wait_until([&] { return runs == 1; }));
  t.reset();
  EXPECT_EQ(runs, 1);
  EXPECT_STREQ(name, "oneshot-with-a-");

  std::atomic<int> value{0};
  auto entry = [](void *arg, void *extra) { *static_cast<std::atomic<int> *>(arg) = extra ? -1 : 7; };
  auto t2 = plat_thread_start_oneshot_thread(entry, &value);
  ASSERT_TRUE(wait_until([&] { return value != 0; }));
  EXPECT_EQ(value, 7);
}

TEST(PlatThread, StopAllEndsEveryThread) {
  auto a = plat_thread_start([] { plat_systick_sleep(10000); }, 10, "stop-all-a");
  auto b = plat_thread_start([] {}, 10000, "stop-all-b");
  EXPECT_GE(plat_thread_running_count(), 2);
  EXPECT_TRUE(plat_thread_stop_all(1500));
  EXPECT_EQ(plat_thread_running_count(), 0);
  EXPECT_EQ(plat_thread_wait_for_stop(0), 0) << "the test's own thread is not a layer thread";
}

}  // namespace

namespace {

TEST(PlatThread, IdleThreadSleepsUntilWokenAndStopsPromptly) {
  std::atomic<int> passes{0};
  auto t = plat_thread_start(
      [&] {
        ++passes;
        plat_thread_idle_until_woken();
      },
      5, "idle-test");
  ASSERT_TRUE(wait_until([&] { return passes == 1; }));
  plat_systick_sleep(150);  // thirty periods: an idle thread runs none of them
  EXPECT_EQ(passes, 1);
  uint32_t start = plat_systick_get();
  plat_thread_wake(t);
  ASSERT_TRUE(wait_until([&] { return passes == 2; }));
  EXPECT_LT(plat_systick_get() - start, 50u);
  // A weak reference wakes it the same way, and stops doing so once it is gone.
  plat_thread_ref ref;
  std::atomic<bool> got{false};  // publishes `ref`
  auto probe = plat_thread_start(
      [&] {
        if (!got) {
          ref = plat_thread_self();
          got = true;
        }
        plat_thread_idle_until_woken();
      },
      5, "ref-test");
  ASSERT_TRUE(wait_until([&] { return got.load(); }));
  EXPECT_FALSE(ref.expired());
  plat_thread_wake(ref);
  probe.reset();
  start = plat_systick_get();
  t.reset();  // joins a thread that sleeps without a deadline
  EXPECT_LT(plat_systick_get() - start, 100u);
  plat_thread_wake(ref);  // the thread is gone: ignored
  // The detached thread drops its own reference just after the join returns.
  EXPECT_TRUE(wait_until([&] { return ref.expired(); }));
}

TEST(PlatThread, NextPassInShortensTheWaitAndWaitForWakeReportsTheWake) {
  std::atomic<int> passes{0};
  auto t = plat_thread_start(
      [&] {
        ++passes;
        plat_thread_next_pass_in(20);
        plat_thread_next_pass_in(1000);  // the shortest wins
      },
      60000, "next-test");
  ASSERT_TRUE(wait_until([&] { return passes >= 5; }, 2000));
  t.reset();

  std::atomic<int> woken{-1};
  std::atomic<bool> waiting{false};
  t = plat_thread_start(
      [&] {
        if (woken >= 0) return;
        waiting = true;
        woken = plat_thread_wait_for_wake(5000);
      },
      60000, "wfw-test");
  ASSERT_TRUE(wait_until([&] { return waiting.load(); }));
  const uint32_t start = plat_systick_get();
  plat_thread_wake(t);
  ASSERT_TRUE(wait_until([&] { return woken >= 0; }));
  EXPECT_EQ(woken, 1);
  EXPECT_LT(plat_systick_get() - start, 1000u);
}

}  // namespace
