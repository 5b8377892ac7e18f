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

TEST_F(SouthRtuTest, GoodAnswersAndBroadcastsAreDeliveredAndTheSlotFreed) {
  make_port(2000);
  answer_with({0x01, 0x03, 0x04, 0x00, 0x0A, 0x00, 0x0B});
  exchange(request(box_, read_req(1, 3, 0, 2)));
  ASSERT_EQ(box_.answer_count(), 1u);
  EXPECT_EQ(box_.answers[0], (bytes{0x01, 0x03, 0x04, 0x00, 0x0A, 0x00, 0x0B}));
  EXPECT_EQ(port_->pending_request(), nullptr);
  EXPECT_EQ(device_->seen(), std::vector<bytes>{with_crc(read_req(1, 3, 0, 2))});

  // The routed unit id goes on the wire. Frames with a valid CRC from
  // another unit id or with another function code answer some other
  // request: dropped, and the wait goes on for this one's (an exception
  // answer, code | 0x80, is this one's).
  device_->set_handler([](const bytes &) {
    return fake_device::script{{0, with_crc({0x07, 0x03, 0x02, 0x12, 0x34})},
                               {120, with_crc({0x04, 0x04, 0x02, 0x12, 0x34})},
                               {120, with_crc({0x04, 0x83, 0x02})}};
  });
  mb_frame *f = request(box_, read_req(9, 3, 0, 1));
  mb_frame_set_phy_id(f, 4);
  exchange(f);
  ASSERT_EQ(box_.answer_count(), 2u);
  EXPECT_EQ(box_.answers[1], (bytes{0x04, 0x83, 0x02}));
  EXPECT_EQ(device_->seen()[1], with_crc(read_req(4, 3, 0, 1)));

  // A broadcast is written and released without waiting for the answer.
  answer_with({0x00, 0x06, 0x00, 0x01, 0x00, 0x05});
  f = request(box_, {0x05, 0x06, 0x00, 0x01, 0x00, 0x05});
  mb_frame_set_phy_id(f, 0);
  const auto pushed = steady::now();
  exchange(f);
  EXPECT_LT(box_.freed_at - pushed, milliseconds(1000));
  ASSERT_TRUE(wait_until([&] { return device_->seen().size() == 3; }, 1000));
  EXPECT_EQ(device_->seen()[2], with_crc({0x00, 0x06, 0x00, 0x01, 0x00, 0x05}));
  EXPECT_EQ(box_.answer_count(), 2u);
}

TEST_F(SouthRtuTest, BusyPortAnswersOneAndAClosedLineRefuses) {
  testing::internal::CaptureStderr();
  make_port(300, false);
  // No line yet: refused at once, the caller keeps (and drops) its frame.
  mb_frame *early = request(box_, read_req(1, 3, 0, 1));
  EXPECT_EQ(port_->push_request(early), -1);
  EXPECT_EQ(port_->push_request(early), -1);
  EXPECT_EQ(port_->pending_request(), nullptr);
  mb_frame_release(early);
  EXPECT_EQ(box_.freed_count(), 1);

  port_->start(nullptr, nullptr);
  ASSERT_TRUE(wait_until([&] { return port_->line_open() && port_->threads_running(); }, 3000));
  // The device is silent: the first request holds the slot until its time-out.
  mb_frame *first = request(box_, read_req(1, 3, 0, 1));
  mb_frame *second = request(box_, read_req(1, 3, 0, 2));
  EXPECT_EQ(port_->push_request(first), 0);
  EXPECT_EQ(port_->push_request(second), 1);
  EXPECT_EQ(box_.freed_count(), 1);
  mb_frame_release(second);
  EXPECT_EQ(box_.freed_count(), 2);
  ASSERT_TRUE(box_.wait_freed(3, 3000));
  EXPECT_EQ(box_.answer_count(), 0u);
  const std::string log = testing::internal::GetCapturedStderr();
  // One warning for the closed spell, not one per refusal.
  EXPECT_EQ(count_of(log, "requests are refused until it is open again"), 1u) << log;
}

TEST_F(SouthRtuTest, BadCrcAndEndlessTalkAreNoAnswerAndTimeOutAfterTheLastByte) {
  // A time-out well above the pauses of a loaded machine: the device's
  // silences here must come from its script, not from the scheduler.
  make_port(600);
  bytes bad = with_crc({0x01, 0x03, 0x02, 0x00, 0x01});
  bad.back() ^= 0xFF;
  const bytes good = with_crc({0x01, 0x03, 0x02, 0x00, 0x02});

  // A bad frame, then (after a silence) a good one: the good one is the answer.
  device_->set_handler([bad, good](const bytes &) { return fake_device::script{{0, bad}, {100, good}}; });
  testing::internal::CaptureStderr();
  exchange(request(box_, read_req(1, 3, 0, 1)));
  std::string log = testing::internal::GetCapturedStderr();
  EXPECT_NE(log.find("CRC checksum fail"), std::string::npos) << log;
  ASSERT_EQ(box_.answer_count(), 1u);
  EXPECT_EQ(box_.answers[0], (bytes{0x01, 0x03, 0x02, 0x00, 0x02}));

  // Only a bad frame: no answer, released at the time-out.
  device_->set_handler([bad](const bytes &) { return fake_device::script{{0, bad}}; });
  testing::internal::CaptureStderr();
  auto pushed = steady::now();
  exchange(request(box_, read_req(1, 3, 0, 1)));
  log = testing::internal::GetCapturedStderr();
  EXPECT_GE(box_.freed_at - pushed, milliseconds(600));
  EXPECT_EQ(box_.answer_count(), 1u);
  EXPECT_NE(log.find("Communication timed out"), std::string::npos) << log;
  EXPECT_EQ(port_->pending_request(), nullptr);

  // A device that keeps talking with gaps under the 40 ms frame gap.
  device_->set_handler([good](const bytes &) {
    fake_device::script s;
    for (size_t i = 0; i < 50; ++i) s.push_back({20, {good[i % good.size()]}});
    return s;
  });
  pushed = steady::now();
  exchange(request(box_, read_req(1, 3, 0, 1)));
  EXPECT_EQ(box_.answer_count(), 1u);
  EXPECT_GE(box_.freed_at - pushed, milliseconds(50 * 20));
  // The time-out runs from the last data read, not from the request.
  EXPECT_GE(box_.freed_at - device_->last_write(), milliseconds(600 - 15));
}

TEST_F(SouthRtuTest, CacheServesRepeatsAndKeepsOtherRequestsOnTheLine) {
  make_port();
  device_->set_handler([](const bytes &req) -> fake_device::script {
    const uint8_t fc = req[1];
    const uint16_t start = static_cast<uint16_t>(req[2] << 8 | req[3]);
    const uint16_t count = static_cast<uint16_t>(req[4] << 8 | req[5]);
    if (fc == 3 && start == 40) return {{0, with_crc({req[0], 0x83, 0x02})}};
    if (fc == 6) return {{0, bytes(req.begin(), req.end())}};  // a write echoes its request
    return {{0, with_crc(answer(req[0], fc, 2u * count, static_cast<uint8_t>(start)))}};
  });

  for (int i = 0; i < 2; ++i) exchange(request(box_, read_req(1, 3, 0, 10), 1));
  EXPECT_EQ(device_->seen().size(), 1u) << "a repeat never reaches the line";
  EXPECT_EQ(cache_count(port_->cache(), 3), 1);
  ASSERT_EQ(box_.answer_count(), 2u);
  EXPECT_EQ(box_.answers[1].size(), 23u);
  EXPECT_EQ(box_.answers[1], box_.answers[0]);

  testing::internal::CaptureStderr();
  for (int i = 0; i < 2; ++i) exchange(request(box_, read_req(1, 3, 40, 2), 1));
  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_EQ(device_->seen().size(), 3u) << "exception answers are not kept";
  EXPECT_EQ(box_.answers.back(), (bytes{0x01, 0x83, 0x02}));
  EXPECT_NE(log.find("funcode does not match"), std::string::npos);

  for (int i = 0; i < 2; ++i) exchange(request(box_, {0x01, 0x06, 0x00, 0x03, 0x00, 0x07}, 1));
  EXPECT_EQ(device_->seen().size(), 5u) << "writes are never cached";

  mb_frame *b = request(box_, read_req(1, 3, 0, 10), 1);
  mb_frame_set_phy_id(b, 0);
  exchange(b);
  ASSERT_TRUE(wait_until([&] { return device_->seen().size() == 6u; }, 1000)) << "a broadcast read is not looked up";
  EXPECT_EQ(cache_count(port_->cache(), 3), 1);
}

TEST_F(SouthRtuTest, TagWritesCloseAndReopenTheLineAndTheTagFollowsOpens) {
  testing::internal::CaptureStderr();
  make_port();
  tag *t = port_->get_tag();
  EXPECT_EQ(t->value.load(), 1.0);
  const uint32_t handle = t->handle;
  EXPECT_NE(handle, 0u);
  auto write = [&](double v) {
    t->value = v;
    port_->change_state(t);
  };

  for (double v : {1.0, 0.0, 0.0, 0.5}) write(v);  // only 0 while open and 1 while closed act
  EXPECT_FALSE(port_->line_open());
  EXPECT_FALSE(port_->threads_running());

  // A request offered while closed is refused, not held for the line.
  answer_with({0x01, 0x03, 0x02, 0x00, 0x01});
  mb_frame *refused = request(box_, read_req(1, 3, 0, 1));
  ASSERT_EQ(port_->push_request(refused), -1);
  mb_frame_release(refused);
  EXPECT_EQ(device_->seen().size(), 0u);

  write(1.0);
  port_->change_state(t);  // a second 1.0 while the start runs starts nothing more
  ASSERT_TRUE(wait_until([&] { return port_->line_open() && port_->threads_running(); }, 3000));
  exchange(request(box_, read_req(1, 3, 0, 1)));
  EXPECT_EQ(box_.answer_count(), 1u);
  EXPECT_EQ(t->handle, handle) << "registered once";
  EXPECT_EQ(t->value.load(), 1.0);

  // A failed open sets the tag to 0.0; the start thread retries the line.
  std::filesystem::remove(pty_.link);
  write(0.0);
  write(1.0);
  ASSERT_TRUE(wait_until([&] { return t->value.load() == 0.0; }, 3000));
  EXPECT_FALSE(port_->line_open());
  pty_.link_port(1);
  ASSERT_TRUE(wait_until([&] { return port_->line_open() && port_->threads_running(); }, 3000));
  EXPECT_EQ(t->value.load(), 1.0);
  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_EQ(count_of(log, "serial_port_change_state [" + pty_.link + "] has been closed"), 2u) << log;
  EXPECT_EQ(count_of(log, "south port serial has been started."), 3u) << log;
  EXPECT_NE(log.find("failed to open seriial port [" + pty_.link + "]"), std::string::npos) << log;
}

TEST_F(SouthRtuTest, CreateReadsItsElementWithDefaults) {
  testing::internal::CaptureStderr();
  auto p = create_from(south_port_rtu_create, R"(<SouthPort type="rtu"/>)");
  ASSERT_TRUE(p);
  EXPECT_EQ(p->timeout(), 1000u);
  EXPECT_EQ(p->cache_polling_cycle(), 5000u);
  EXPECT_EQ(p->device(), pty_.prefix + "0");
  EXPECT_STREQ(p->get_tag()->name, "#TRELLIS_COM1");
  EXPECT_EQ(p->get_tag()->state.load(), 1u);
  EXPECT_EQ(p->frame_gap(), 40u);
  EXPECT_EQ(p->transmit_pause(8), 8u);  // 8 bytes x 10 bits at 9600 baud

  p = create_from(south_port_rtu_create,
                  R"(<SouthPort type="rtu" id="3" port="3" timeout="0" baudrate="0" cache_polling_cycle="0"/>)");
  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_NE(log.find(" south port rtu timeout has illegaled configuration, system is setting as defaut val : 1000 "),
            std::string::npos);
  EXPECT_EQ(p->timeout(), 1000u);
  EXPECT_EQ(p->frame_gap(), 40u) << "baudrate 0 is replaced, not divided by";
  EXPECT_EQ(p->cache_polling_cycle(), 5000u);
  EXPECT_EQ(p->device(), pty_.prefix + "2");
  EXPECT_STREQ(p->get_tag()->name, "#TRELLIS_COM3");

  // A negative time-out would wait for 49 days.
  testing::internal::CaptureStderr();
  p = create_from(south_port_rtu_create, R"(<SouthPort type="rtu" timeout="-5"/>)");
  EXPECT_NE(testing::internal::GetCapturedStderr().find("south port rtu timeout has illegaled configuration"),
            std::string::npos);
  EXPECT_EQ(p->timeout(), 1000u);

  // The gap divides before multiplying: 40 baud with 10-bit characters.
  p = create_from(south_port_rtu_create, R"(<SouthPort type="rtu" baudrate="40"/>)");
  EXPECT_EQ(p->frame_gap(), 1040u);
  p = create_from(south_port_rtu_create, R"(<SouthPort type="rtu" baudrate="19200" byte_size="7" stop_bits="2"/>)");
  EXPECT_EQ(p->frame_gap(), 40u);
  EXPECT_EQ(p->transmit_pause(20), 10u);  // 20 x 10 x 1000 / 19200 = 10.4
}

}  // namespace
