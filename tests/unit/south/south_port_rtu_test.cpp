#include "south/south_port_rtu.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "platform/plat_log.h"
#include "platform/plat_serial.h"
#include "south/south_test_util.h"

namespace {

using namespace south_test;
using std::chrono::milliseconds;

class SouthRtuTest : public ::testing::Test {
 protected:
  void SetUp() override {
    plat_log_set_level(5);
    ASSERT_GE(pty_.master, 0);
    plat_serial_set_prefix(pty_.prefix.c_str());
    pty_.link_port(1);
    device_ = std::make_unique<fake_device>(pty_.master, false);
  }

  void make_port(uint32_t timeout = 300, bool start = true) {
    south_port_rtu_settings s;
    s.timeout = timeout;
    s.cache_polling_cycle = 60000;
    s.retry_ms = 100;
    port_ = std::make_unique<south_port_rtu>(s);
    if (!start) return;
    port_->start(nullptr, nullptr);
    ASSERT_TRUE(wait_until([&] { return port_->line_open() && port_->threads_running(); }, 3000));
  }
  // Offers a request until the port takes it, as a north port does, and
  // waits for its release.
  void exchange(mb_frame *f) {
    const int before = box_.freed_count();
    ASSERT_TRUE(wait_until([&] { return port_->push_request(f) == 0; }, 3000)) << "port stayed busy";
    ASSERT_TRUE(box_.wait_freed(before + 1, 4000));
  }
  // The device answers every request with `reply` (CRC added).
  void answer_with(const bytes &reply) {
    device_->set_handler([reply](const bytes &) { return fake_device::script{{0, with_crc(reply)}}; });
  }

  pty_pair pty_;
  reply_box box_;
  std::unique_ptr<fake_device> device_;
  std::unique_ptr<south_port_rtu> port_;  // declared last: destroyed first
};

TEST_F(SouthRtuTest, OnlyTheRequestsOwnAnswerIsDeliveredAndBroadcastsDoNotWait) {
  make_port(2000);
  // The routed unit id goes on the wire. Valid frames from another unit id
  // or with another function code are dropped and the wait goes on; an
  // exception (code | 0x80) is this request's answer.
  device_->set_handler([](const bytes &) {
    return fake_device::script{{0, with_crc({0x07, 0x03, 0x02, 0x12, 0x34})},
                               {120, with_crc({0x04, 0x04, 0x02, 0x12, 0x34})},
                               {120, with_crc({0x04, 0x83, 0x02})}};
  });
  mb_frame *f = request(box_, read_req(9, 3, 0, 1));
  mb_frame_set_phy_id(f, 4);
  exchange(f);
  ASSERT_EQ(box_.answer_count(), 1u);
  EXPECT_EQ(box_.answers[0], (bytes{0x04, 0x83, 0x02}));
  EXPECT_EQ(device_->seen()[0], with_crc(read_req(4, 3, 0, 1)));

  // A broadcast is written and released without waiting for the answer.
  answer_with({0x00, 0x06, 0x00, 0x01, 0x00, 0x05});
  f = request(box_, {0x05, 0x06, 0x00, 0x01, 0x00, 0x05});
  mb_frame_set_phy_id(f, 0);
  const auto pushed = steady::now();
  exchange(f);
  EXPECT_LT(box_.freed_at - pushed, milliseconds(1000));
  ASSERT_TRUE(wait_until([&] { return device_->seen().size() == 2; }, 1000));
  EXPECT_EQ(device_->seen()[1], with_crc({0x00, 0x06, 0x00, 0x01, 0x00, 0x05}));
  EXPECT_EQ(box_.answer_count(), 1u);
}

TEST_F(SouthRtuTest, BadCrcAndEndlessTalkAreNoAnswerAndTimeOutAfterTheLastByte) {
  make_port(600);  // well above a loaded machine's scheduling pauses
  bytes bad = with_crc({0x01, 0x03, 0x02, 0x00, 0x01});
  bad.back() ^= 0xFF;
  const bytes good = with_crc({0x01, 0x03, 0x02, 0x00, 0x02});

  // A bad frame, then (after a silence) a good one: the good one is the answer.
  device_->set_handler([bad, good](const bytes &) { return fake_device::script{{0, bad}, {100, good}}; });
  exchange(request(box_, read_req(1, 3, 0, 1)));
  ASSERT_EQ(box_.answer_count(), 1u);
  EXPECT_EQ(box_.answers[0], (bytes{0x01, 0x03, 0x02, 0x00, 0x02}));

  // A device that keeps talking with gaps under the 40 ms frame gap.
  device_->set_handler([good](const bytes &) {
    fake_device::script s;
    for (size_t i = 0; i < 50; ++i) s.push_back({20, {good[i % good.size()]}});
    return s;
  });
  const auto pushed = steady::now();
  exchange(request(box_, read_req(1, 3, 0, 1)));
  EXPECT_EQ(box_.answer_count(), 1u);
  EXPECT_GE(box_.freed_at - pushed, milliseconds(50 * 20));
  // The time-out runs from the last data read, not from the request.
  EXPECT_GE(box_.freed_at - device_->last_write(), milliseconds(600 - 15));
}

// Exception answers, writes and broadcast reads never come from the cache.
TEST_F(SouthRtuTest, CacheKeepsExceptionsWritesAndBroadcastsOnTheLine) {
  make_port();
  device_->set_handler([](const bytes &req) -> fake_device::script {
    if (req[1] == 6) return {{0, req}};  // a write echoes its request
    if (req[3] == 40) return {{0, with_crc({req[0], 0x83, 0x02})}};
    return {{0, with_crc(answer(req[0], req[1], 2u * req[5], req[3]))}};
  });
  for (int i = 0; i < 2; ++i) exchange(request(box_, read_req(1, 3, 40, 2), 1));
  EXPECT_EQ(device_->seen().size(), 2u) << "exception answers are not kept";
  EXPECT_EQ(box_.answers.back(), (bytes{0x01, 0x83, 0x02}));
  for (int i = 0; i < 2; ++i) exchange(request(box_, {0x01, 0x06, 0x00, 0x03, 0x00, 0x07}, 1));
  EXPECT_EQ(device_->seen().size(), 4u) << "writes are never cached";

  exchange(request(box_, read_req(1, 3, 0, 10), 1));
  EXPECT_EQ(cache_count(port_->cache(), 3), 1);
  mb_frame *b = request(box_, read_req(1, 3, 0, 10), 1);
  mb_frame_set_phy_id(b, 0);
  exchange(b);
  ASSERT_TRUE(wait_until([&] { return device_->seen().size() == 6u; }, 1000)) << "a broadcast read is not looked up";
}

// Only 0 while open and 1 while closed act; a second 1 during the start
// starts nothing more; a request offered while closed is refused (-1), not
// kept as for a busy port.
TEST_F(SouthRtuTest, TagWritesCloseAndReopenTheLineOnce) {
  testing::internal::CaptureStderr();
  make_port();
  tag *t = port_->get_tag();
  auto write = [&](double v) {
    t->value = v;
    port_->change_state(t);
  };
  for (double v : {1.0, 0.0, 0.0, 0.5}) write(v);
  EXPECT_FALSE(port_->line_open());
  EXPECT_FALSE(port_->threads_running());

  answer_with({0x01, 0x03, 0x02, 0x00, 0x01});
  mb_frame *refused = request(box_, read_req(1, 3, 0, 1));
  ASSERT_EQ(port_->push_request(refused), -1);
  mb_frame_release(refused);
  EXPECT_EQ(device_->seen().size(), 0u);

  write(1.0);
  port_->change_state(t);
  ASSERT_TRUE(wait_until([&] { return port_->line_open() && port_->threads_running(); }, 3000));
  exchange(request(box_, read_req(1, 3, 0, 1)));
  EXPECT_EQ(box_.answer_count(), 1u);
  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_EQ(count_of(log, "has been closed"), 1u) << log;
  EXPECT_EQ(count_of(log, "south port serial has been started."), 2u) << log;
}

// The character gap divides before it multiplies (no overflow at low
// rates); a rate of 0 is replaced, not divided by.
TEST(SouthRtuSettings, FrameGapAndTransmitPauseFollowTheLineSettings) {
  testing::internal::CaptureStderr();
  const struct {
    const char *attrs;
    uint32_t gap, pause_bytes, pause;
  } cases[] = {
      {"", 40, 8, 8},                                             // 8 bytes x 10 bits at 9600 baud
      {R"(baudrate="0")", 40, 8, 8},
      {R"(baudrate="40")", 1040, 1, 250},
      {R"(baudrate="19200" byte_size="7" stop_bits="2")", 40, 20, 10},  // 10.4 ms
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.attrs);
    auto p = create_from(south_port_rtu_create, (std::string(R"(<SouthPort type="rtu" )") + c.attrs + "/>").c_str());
    ASSERT_TRUE(p);
    EXPECT_EQ(p->frame_gap(), c.gap);
    EXPECT_EQ(p->transmit_pause(c.pause_bytes), c.pause);
  }
  testing::internal::GetCapturedStderr();
}

}  // namespace
