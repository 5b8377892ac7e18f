#include "north/north_send_list.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

// Counts frames freed through their context hook, so that a test sees
// every frame released exactly once.
std::atomic<int> freed{0};
void count_free(void *) { freed.fetch_add(1); }

mb_frame *request(uint16_t tid) {
  const uint8_t bytes[] = {0x01, 0x03, 0x00, 0x00, 0x00, 0x01};
  static int ctx_marker = 0;
  return mb_frame_create(bytes, sizeof bytes, nullptr, &ctx_marker, count_free, 1, 0, tid, 0);
}

class NorthSendList : public ::testing::Test {
 protected:
  void SetUp() override { freed = 0; }
};

// A list of one dropping its request is proven by the process tests; a
// longer list is flushed whole, and destruction frees what is left.
TEST_F(NorthSendList, FullListIsFlushedWholeBeforeThePushAndDestructionFreesTheRest) {
  {
    north_send_list three(3, north_send_list_kind::modbus);
    for (uint16_t t = 1; t <= 3; ++t) three.push(request(t), "T");
    EXPECT_EQ(freed, 0);
    three.push(request(4), "T");
    EXPECT_EQ(freed, 3);
    EXPECT_EQ(three.size(), 1u);
  }
  EXPECT_EQ(freed, 4);
}

TEST_F(NorthSendList, BusyKeepsTheFrameAtTheFrontNoRouteDropsIt) {
  for (north_send_list_kind kind : {north_send_list_kind::modbus, north_send_list_kind::transparent}) {
    freed = 0;
    north_send_list list(2, kind);
    list.push(request(7), "T");
    list.push(request(8), "T");
    for (int i = 0; i < 2; ++i) {
      auto rc = list.hand_over([&](mb_frame *f) {
        EXPECT_EQ(mb_frame_get_tid(f), 7);
        return 1;  // busy: offered again next time
      });
      EXPECT_EQ(*rc, 1);
    }
    EXPECT_EQ(list.size(), 2u);
    EXPECT_EQ(freed, 0);
    // No route: released at once, and the request behind it is next.
    EXPECT_EQ(*list.hand_over([](mb_frame *) { return -1; }), -1);
    EXPECT_EQ(freed, 1);
    EXPECT_EQ(list.size(), 1u);
    // Taken: the frame is the taker's now (released here as a port would, once done).
    EXPECT_EQ(*list.hand_over([](mb_frame *f) {
      if (mb_frame_get_tid(f) != 8) return 1;
      mb_frame_release(f);
      return 0;
    }),
              0);
    EXPECT_EQ(freed, 2);
    EXPECT_EQ(list.size(), 0u);
  }
}

TEST_F(NorthSendList, PushWakesTheConsumerAtOnce) {
  north_send_list list(1, north_send_list_kind::modbus);
  std::atomic<int> passes{0}, handed{0};
  // A long period: without the wake the frame would wait seconds.
  plat_thread_handle sender = plat_thread_start(
      [&] {
        list.hand_over([&](mb_frame *f) {
          mb_frame_release(f);
          handed.fetch_add(1);
          return 0;
        });
        passes.fetch_add(1);  // counted once the pass cannot take a frame any more
      },
      5000, "test_sender");
  list.set_consumer(sender.get());
  for (uint32_t start = plat_systick_get(); passes == 0 && plat_systick_get() - start < 2000;) plat_systick_sleep(1);
  ASSERT_EQ(passes, 1);  // the pass at start is over: only a wake brings the next
  const uint32_t pushed = plat_systick_get();
  list.push(request(1), "T");
  while (handed == 0 && plat_systick_get() - pushed < 2000) plat_systick_sleep(1);
  EXPECT_EQ(handed, 1);
  EXPECT_LT(plat_systick_get() - pushed, 1000u);
  list.set_consumer(nullptr);
  plat_close_handle(sender);
}

// The receive side flushing while the send side hands over: a frame the
// "mux" took (released here at once, as a fast south port would) must never
// be released by a flush too; the sanitizer builds catch a second release.
TEST_F(NorthSendList, HandOverIsOneStepAgainstTheFlush) {
  constexpr int kFrames = 3000;
  auto list = std::make_unique<north_send_list>(1, north_send_list_kind::modbus);
  std::atomic<bool> done{false};
  std::atomic<int> taken{0};
  std::thread sender([&] {
    while (!done.load()) {
      list->hand_over([&](mb_frame *f) {
        mb_frame_release(f);
        taken.fetch_add(1);
        return 0;
      });
    }
  });
  for (int i = 0; i < kFrames; ++i) list->push(request(static_cast<uint16_t>(i)), "T");
  done = true;
  sender.join();
  EXPECT_GT(taken.load(), 0);
  list.reset();
  EXPECT_EQ(freed.load(), kFrames);
}

}  // namespace
