#include "frame/mb_frame.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/plat_thread.h"

namespace {

const std::vector<uint8_t> kReadOne = {0x01, 0x03, 0x00, 0x00, 0x00, 0x01};

struct frame_deleter {
  void operator()(mb_frame *f) const { mb_frame_destroy(f); }
};
using frame_ptr = std::unique_ptr<mb_frame, frame_deleter>;

frame_ptr make(const std::vector<uint8_t> &bytes, uint8_t req_id = 1) {
  return frame_ptr(mb_frame_create(bytes.data(), static_cast<int>(bytes.size()), nullptr, nullptr, nullptr, req_id,
                                   0, 0, 1));
}

frame_ptr make_len(size_t len) {
  std::vector<uint8_t> bytes(len, 0x11);
  return make(bytes);
}

TEST(MbFrame, CreateParsesTheRequestHeader) {
  auto f = make({0x01, 0x03, 0x00, 0x10, 0x00, 0x02}, 7);
  ASSERT_TRUE(f);
  EXPECT_EQ(f->func_code, 3);
  EXPECT_EQ(f->op_type, 1u);
  EXPECT_EQ(f->start_addr, 16);
  EXPECT_EQ(f->quantity, 2);
  EXPECT_EQ(f->req_id, 7);
  EXPECT_EQ(f->ref.load(), 1u);
  EXPECT_EQ(f->len, 6u);
  EXPECT_TRUE(mb_frame_is_read(f.get()));
  EXPECT_EQ(make({0x01, 0x06, 0x00, 0x01, 0x00, 0x03})->op_type, 2u);
  // A short request reads zeros beyond its end.
  auto shortf = make({0x09, 0x04, 0x12});
  EXPECT_EQ(shortf->start_addr, 0x1200);
  EXPECT_EQ(shortf->quantity, 0);
}

TEST(MbFrame, CreateRefusesLengthsOutsideTheBuffer) {
  const uint8_t b[1] = {1};
  EXPECT_EQ(mb_frame_create(b, 0, nullptr, nullptr, nullptr, 1, 0, 0, 0), nullptr);
  EXPECT_EQ(mb_frame_create(b, -5, nullptr, nullptr, nullptr, 1, 0, 0, 0), nullptr);
  EXPECT_EQ(mb_frame_create_raw(b, 0, nullptr, nullptr, nullptr), nullptr);
  EXPECT_TRUE(make_len(MB_FRAME_BUF_SIZE));
  EXPECT_FALSE(make_len(MB_FRAME_BUF_SIZE + 1));
}

TEST(MbFrame, RawCreateParsesNothing) {
  const std::vector<uint8_t> bytes = {0x01, 0x03, 0x00, 0x10, 0x00, 0x02};
  frame_ptr f(mb_frame_create_raw(bytes.data(), 6, nullptr, nullptr, nullptr));
  ASSERT_TRUE(f);
  EXPECT_EQ(f->func_code, 0);
  EXPECT_EQ(f->req_id, 0);
  EXPECT_EQ(f->tick, 0u);
  EXPECT_EQ(f->len, 6u);
  EXPECT_EQ(f->ref.load(), 1u);
}

TEST(MbFrame, BroadcastIsNeverCacheable) {
  auto f = make(kReadOne);
  EXPECT_TRUE(mb_frame_is_cacheable(f.get()));
  mb_frame_set_phy_id(f.get(), 0);
  EXPECT_TRUE(mb_frame_is_broadcast(f.get()));
  EXPECT_FALSE(mb_frame_is_cacheable(f.get()));
  mb_frame_set_phy_id(f.get(), 3);
  EXPECT_FALSE(mb_frame_is_broadcast(f.get()));
}

int g_ctx_releases = 0;
void count_release(void *) { ++g_ctx_releases; }

TEST(MbFrame, ReleaseFreesAtZeroAndReleasesTheContextOnce) {
  g_ctx_releases = 0;
  int ctx = 0;
  mb_frame *f = mb_frame_create(kReadOne.data(), 6, nullptr, &ctx, count_release, 1, 0, 0, 0);
  mb_frame_add_ref(f);
  EXPECT_EQ(mb_frame_release(f), 1);
  EXPECT_EQ(g_ctx_releases, 0);
  EXPECT_EQ(mb_frame_release(f), 0);
  EXPECT_EQ(g_ctx_releases, 1);
  EXPECT_EQ(mb_frame_release(nullptr), 1);
  EXPECT_EQ(mb_frame_destroy(nullptr), 1);
}

TEST(MbFrame, CallbackGetsTheIdsAndReleasesItsReference) {
  struct seen {
    uint8_t req;
    uint16_t tid, pid;
    void *ctx;
  } got{};
  auto cb = [](mb_frame *f, void *ctx, uint8_t req, uint16_t tid, uint16_t pid) {
    *static_cast<seen *>(ctx) = {req, tid, pid, ctx};
    return mb_frame_release(f);
  };
  mb_frame *f = mb_frame_create(kReadOne.data(), 6, cb, &got, nullptr, 9, 0x0304, 0x0102, 0);
  mb_frame_add_ref(f);
  EXPECT_EQ(do_call_back(f), 0);
  EXPECT_EQ(got.req, 9);
  EXPECT_EQ(got.tid, 0x0102);
  EXPECT_EQ(got.pid, 0x0304);
  EXPECT_EQ(got.ctx, &got);
  EXPECT_EQ(f->ref.load(), 1u);
  EXPECT_EQ(mb_frame_release(f), 0);
}

TEST(MbFrame, RenewalReplacesTheWholeBody) {
  auto f = make({0x01, 0x03, 0x00, 0x00, 0x00, 0x02});
  const uint8_t answer[] = {0x01, 0x83, 0x02};
  EXPECT_EQ(frame_renewal(f.get(), answer, 3), 0);
  uint32_t len = 0;
  const uint8_t *data = mb_frame_get_data(f.get(), &len);
  EXPECT_EQ(len, 3u);
  EXPECT_EQ(std::vector<uint8_t>(data, data + 6), (std::vector<uint8_t>{0x01, 0x83, 0x02, 0, 0, 0}));
  EXPECT_EQ(frame_renewal(nullptr, answer, 3), 1);
  EXPECT_EQ(frame_renewal(f.get(), nullptr, 3), 1);
  std::vector<uint8_t> too_long(MB_FRAME_BUF_SIZE + 1, 0x22);
  EXPECT_EQ(frame_renewal(f.get(), too_long.data(), static_cast<int>(too_long.size())), 1);
  EXPECT_EQ(mb_frame_get_len(f.get()), 3u);
}

TEST(MbFrame, TimeoutCountsOnlyAfterSendingAndIncludesTheLimit) {
  auto f = make(kReadOne);
  f->tick = 1000;
  EXPECT_EQ(check_frame_timeout_at(f.get(), 10, 0x7FFFFFFF), 0);  // never sent
  EXPECT_EQ(check_frame_timeout(f.get(), 0), 0);
  mb_frame_mark_sent(f.get());
  EXPECT_TRUE(mb_frame_is_sent(f.get()));
  EXPECT_EQ(check_frame_timeout(f.get(), 0), 1);  // 0 times out a sent frame at once
  f->tick = 1000;
  EXPECT_EQ(check_frame_timeout_at(f.get(), 500, 1499), 0);
  EXPECT_EQ(check_frame_timeout_at(f.get(), 500, 1500), 1);
  EXPECT_EQ(check_frame_timeout(nullptr, 0), 0);
}

TEST(MbFrame, TimeoutSurvivesTheTickWrap) {
  auto f = make(kReadOne);
  mb_frame_mark_sent(f.get());
  f->tick = 0xFFFFFFF0u;
  EXPECT_EQ(check_frame_timeout_at(f.get(), 0x21, 0x10), 0);  // 0x20 ms elapsed
  EXPECT_EQ(check_frame_timeout_at(f.get(), 0x20, 0x10), 1);
  // Against the live tick: 50 ms ago, whatever the counter's value.
  f->tick = plat_systick_get() - 50;
  EXPECT_EQ(check_frame_timeout(f.get(), 50), 1);
  EXPECT_EQ(check_frame_timeout(f.get(), 60000), 0);
}

TEST(MbFrame, RtuConversionReplacesTheUnitIdAndAppendsTheCrc) {
  auto f = make({0x05, 0x03, 0x00, 0x00, 0x00, 0x01});
  mb_frame_set_phy_id(f.get(), 1);
  uint32_t len = 0;
  const uint8_t *out = mb_frame_convert_to_rtu(f.get(), &len);
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(std::vector<uint8_t>(out, out + len),
            (std::vector<uint8_t>{0x01, 0x03, 0x00, 0x00, 0x00, 0x01, 0x84, 0x0A}));
  EXPECT_EQ(f->buf[0], 0x05);  // the request itself is untouched
}

TEST(MbFrame, TcpConversionBuildsTheMbapHeader) {
  auto f = make({0x05, 0x03, 0x00, 0x00, 0x00, 0x01});
  mb_frame_set_phy_id(f.get(), 0x11);
  uint32_t len = 0;
  const uint8_t *out = mb_frame_convert_to_tcp(f.get(), &len, 0x0102, 0);
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(std::vector<uint8_t>(out, out + len),
            (std::vector<uint8_t>{0x01, 0x02, 0x00, 0x00, 0x00, 0x06, 0x11, 0x03, 0x00, 0x00, 0x00, 0x01}));
}

TEST(MbFrame, AsciiConversionFramesHexWithLrc) {
  auto f = make({0x05, 0x03, 0x00, 0x00, 0x00, 0x01});
  mb_frame_set_phy_id(f.get(), 1);
  uint32_t len = 0;
  const uint8_t *out = mb_frame_convert_to_ascii(f.get(), &len);
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(std::string(reinterpret_cast<const char *>(out), len), ":010300000001FB\r\n");
}

// Output one byte past tx_buf is refused and writes nothing.
TEST(MbFrame, ConversionsRefuseOutputThatWouldNotFit) {
  struct limit {
    size_t fits;
    uint8_t *(*convert)(mb_frame *, uint32_t *);
    size_t out_len;
  };
  const limit limits[] = {
      {MB_FRAME_BUF_SIZE - 2, mb_frame_convert_to_rtu, MB_FRAME_BUF_SIZE},
      {(MB_FRAME_BUF_SIZE - 5) / 2, mb_frame_convert_to_ascii, MB_FRAME_BUF_SIZE - 1},
      {MB_FRAME_BUF_SIZE - 6, [](mb_frame *f, uint32_t *n) { return mb_frame_convert_to_tcp(f, n, 1, 0); },
       MB_FRAME_BUF_SIZE},
  };
  for (const limit &l : limits) {
    SCOPED_TRACE(l.fits);
    auto ok = make_len(l.fits);
    uint32_t len = 0;
    EXPECT_NE(l.convert(ok.get(), &len), nullptr);
    EXPECT_EQ(len, l.out_len);

    auto over = make_len(l.fits + 1);
    over->tx_buf[0] = 0xAA;
    len = 123;
    EXPECT_EQ(l.convert(over.get(), &len), nullptr);
    EXPECT_EQ(len, 123u);
    EXPECT_EQ(over->tx_buf[0], 0xAA);
  }
}

}  // namespace
