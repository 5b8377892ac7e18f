#include "frame/mb_frame.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/plat_thread.h"

namespace {

struct frame_deleter {
  void operator()(mb_frame *f) const { mb_frame_destroy(f); }
};
using frame_ptr = std::unique_ptr<mb_frame, frame_deleter>;

frame_ptr make(const std::vector<uint8_t> &bytes, uint8_t phy_id = 1) {
  frame_ptr f(mb_frame_create(bytes.data(), static_cast<int>(bytes.size()), nullptr, nullptr, nullptr, 7, 0, 0, 1));
  if (f) mb_frame_set_phy_id(f.get(), phy_id);
  return f;
}
frame_ptr make_len(size_t len) { return make(std::vector<uint8_t>(len, 0x11)); }

TEST(MbFrame, CreateParsesTheHeaderAndChecksTheLengthBroadcastIsNotCached) {
  auto f = make({0x01, 0x03, 0x00, 0x10, 0x00, 0x02});
  EXPECT_EQ(f->quantity, 2);
  EXPECT_TRUE(mb_frame_is_cacheable(f.get()));
  mb_frame_set_phy_id(f.get(), 0);
  EXPECT_TRUE(mb_frame_is_broadcast(f.get()));
  EXPECT_FALSE(mb_frame_is_cacheable(f.get()));
  EXPECT_EQ(make({0x09, 0x04, 0x12})->start_addr, 0x1200);  // zeros beyond a short request
  EXPECT_FALSE(make({}));
  // A Modbus frame holds what any Modbus transport can carry, a raw one a
  // transparent block.
  EXPECT_TRUE(make_len(MB_MODBUS_BUF_SIZE));
  EXPECT_FALSE(make_len(MB_MODBUS_BUF_SIZE + 1));
  const uint8_t b[] = {1, 3, 0, 1};
  frame_ptr raw(mb_frame_create_raw(b, 4, nullptr, nullptr, nullptr));
  EXPECT_EQ(raw->func_code, 0);  // raw frames are not parsed
  EXPECT_EQ(raw->tick, 0u);
  std::vector<uint8_t> block(MB_FRAME_BUF_SIZE + 1, 0x55);
  EXPECT_TRUE(frame_ptr(mb_frame_create_raw(block.data(), MB_FRAME_BUF_SIZE, nullptr, nullptr, nullptr)));
  EXPECT_FALSE(frame_ptr(mb_frame_create_raw(block.data(), MB_FRAME_BUF_SIZE + 1, nullptr, nullptr, nullptr)));
}

int g_ctx_releases = 0;

TEST(MbFrame, CallbackAndReleasesFreeOnceAtZero) {
  g_ctx_releases = 0;
  uint16_t seen_tid = 0;
  auto cb = [](mb_frame *f, void *ctx, uint8_t, uint16_t tid, uint16_t) {
    *static_cast<uint16_t *>(ctx) = tid;
    return mb_frame_release(f);
  };
  const uint8_t b[] = {1, 3, 0, 0, 0, 1};
  mb_frame *f = mb_frame_create(b, 6, cb, &seen_tid, [](void *) { ++g_ctx_releases; }, 1, 0, 0x0102, 0);
  mb_frame_add_ref(f);
  mb_frame_add_ref(f);
  do_call_back(f);
  EXPECT_EQ(seen_tid, 0x0102);
  EXPECT_EQ(mb_frame_release(f), 1);
  EXPECT_EQ(g_ctx_releases, 0);
  EXPECT_EQ(mb_frame_release(f), 0);
  EXPECT_EQ(g_ctx_releases, 1);
  EXPECT_EQ(mb_frame_release(nullptr), 1);
}

TEST(MbFrame, TimeoutCountsFromSendingIncludesTheLimitAndSurvivesTheWrap) {
  auto f = make({0x01, 0x03, 0x00, 0x00, 0x00, 0x01});
  f->tick = 1000;
  EXPECT_EQ(check_frame_timeout_at(f.get(), 10, 0x7FFFFFFF), 0);  // never sent
  mb_frame_mark_sent(f.get());
  EXPECT_EQ(check_frame_timeout(f.get(), 0), 1);
  f->tick = 1000;
  EXPECT_EQ(check_frame_timeout_at(f.get(), 500, 1499), 0);
  EXPECT_EQ(check_frame_timeout_at(f.get(), 500, 1500), 1);
  f->tick = 0xFFFFFFF0u;  // 0x20 ms before now = 0x10
  EXPECT_EQ(check_frame_timeout_at(f.get(), 0x21, 0x10), 0);
  EXPECT_EQ(check_frame_timeout_at(f.get(), 0x20, 0x10), 1);
  f->tick = plat_systick_get() - 50;
  EXPECT_EQ(check_frame_timeout(f.get(), 50), 1);
  EXPECT_EQ(check_frame_timeout(f.get(), 60000), 0);
}

// Output one byte past tx_buf is refused and writes nothing.
TEST(MbFrame, ConversionsRefuseOutputLongerThanTheirForm) {
  // The longest body of each form converts to exactly the form's limit; one
  // byte more is refused whole (no length is cut to fit a field).
  struct limit {
    size_t adu_max;
    size_t overhead;
    size_t per_byte;
    uint8_t *(*convert)(mb_frame *, uint32_t *);
  };
  const limit limits[] = {
      {MB_RTU_ADU_MAX, 2, 1, mb_frame_convert_to_rtu},
      {MB_ASCII_ADU_MAX, 5, 2, mb_frame_convert_to_ascii},
      {MB_MBAP_ADU_MAX, 6, 1, [](mb_frame *f, uint32_t *n) { return mb_frame_convert_to_tcp(f, n, 1, 0); }},
  };
  for (const limit &l : limits) {
    SCOPED_TRACE(l.adu_max);
    const size_t fits = (l.adu_max - l.overhead) / l.per_byte;
    uint32_t len = 0;
    EXPECT_NE(l.convert(make_len(fits).get(), &len), nullptr);
    EXPECT_EQ(len, l.adu_max);
    // A body renewed past the form's limit (only a raw-sized buffer can
    // hold one) is refused.
    std::vector<uint8_t> body(fits + 1, 0x11);
    frame_ptr over(mb_frame_create_raw(body.data(), static_cast<int>(body.size()), nullptr, nullptr, nullptr));
    over->tx_buf[0] = 0xAA;
    len = 123;
    EXPECT_EQ(l.convert(over.get(), &len), nullptr);
    EXPECT_EQ(len, 123u);
    EXPECT_EQ(over->tx_buf[0], 0xAA);
  }
  // An answer longer than a Modbus frame's buffer leaves the frame as it was.
  auto f = make({0x01, 0x03, 0x00, 0x00, 0x00, 0x01});
  std::vector<uint8_t> answer(MB_MODBUS_BUF_SIZE + 1, 0x22);
  EXPECT_EQ(frame_renewal(f.get(), answer.data(), static_cast<int>(answer.size())), 1);
  EXPECT_EQ(f->len, 6u);
  EXPECT_EQ(frame_renewal(f.get(), answer.data(), 3), 0);
  EXPECT_EQ(f->buf[3], 0);  // zero past the shorter answer
}

}  // namespace
