// The south UDP port against a device on loopback datagram sockets.
#include "south/south_port_udp.h"

#include <gtest/gtest.h>

#include "platform/plat_log.h"
#include "south/south_test_util.h"

namespace {

using namespace south_test;
using south_udp::south_port_udp;
using south_udp::south_port_udp_settings;

uint16_t tid_of(const bytes &req) { return static_cast<uint16_t>(req[0] << 8 | req[1]); }

class SouthUdpTest : public ::testing::Test {
 protected:
  void SetUp() override { plat_log_set_level(5); }

  void make_port(fake_device::handler_fn h, bool rtu = false, int timeout = 300) {
    dev_ = fake_device::datagram(std::move(h));
    south_port_udp_settings s;
    s.host = "127.0.0.1";
    s.udp_port = dev_->port;
    s.rtu_over_udp = rtu;
    s.timeout = timeout;
    s.cache_polling_cycle = 60000;
    port_ = std::make_unique<south_port_udp>(s);
    ASSERT_EQ(port_->start(nullptr, nullptr), 0);
    ASSERT_TRUE(port_->threads_running());
  }
  void offer(mb_frame *f) {
    ASSERT_TRUE(wait_until([&] { return port_->push_request(f) == 0; }, 3000)) << "port stayed busy";
  }

  reply_box box_;
  std::unique_ptr<fake_device> dev_;
  std::unique_ptr<south_port_udp> port_;  // declared last: destroyed first
};

TEST_F(SouthUdpTest, OnlyTheRequestsOwnAnswerIsDelivered) {
  // An answer to another transaction, then one with protocol id 1, then the
  // request's own answer cut over two datagrams: only that one is delivered.
  make_port([](const bytes &req) {
    const bytes own = mbap(tid_of(req), 0, answer(7, 3, 2, 0x40));
    return fake_device::script{{0, mbap(static_cast<uint16_t>(tid_of(req) - 1), 0, answer(7, 3, 2, 0x77))},
                              {0, mbap(tid_of(req), 1, answer(7, 3, 2, 0x66))},
                              {20, bytes(own.begin(), own.begin() + 4)},
                              {20, bytes(own.begin() + 4, own.end())}};
  });
  offer(request(box_, read_req(7, 3, 0, 1)));
  ASSERT_TRUE(box_.wait_freed(1, 3000));
  ASSERT_EQ(box_.answer_count(), 1u);
  EXPECT_EQ(box_.answers[0], answer(7, 3, 2, 0x40));
}

TEST_F(SouthUdpTest, ForeignDatagramsAreNoAnswerYetRestartTheTimeOut) {
  // Four datagrams from the right address but another port, 100 ms apart,
  // then silence: with a 250 ms time-out the request ends 250 ms after the
  // last of them, not 250 ms after it was sent.
  make_port(
      [](const bytes &req) {
        const bytes a = mbap(tid_of(req), 0, answer(1, 3, 2));
        return fake_device::script{{100, a, true}, {100, a, true}, {100, a, true}, {100, a, true}};
      },
      false, 250);
  const auto sent = steady::now();
  offer(request(box_, read_req(1, 3, 0, 1)));
  ASSERT_TRUE(box_.wait_freed(1, 3000));
  const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(box_.freed_at - sent).count();
  EXPECT_EQ(box_.answer_count(), 0u);
  EXPECT_GE(took, 600) << "the foreign datagrams did not restart the time-out";
}
TEST_F(SouthUdpTest, RtuOverUdpTakesEachGoodDatagramAtOnceAndMatchesUnitAndFunction) {
  make_port([](const bytes &) { return fake_device::script{{0, with_crc(answer(2, 3, 2, 0x55))}}; }, true, 1000);
  const auto sent = steady::now();
  offer(request(box_, read_req(2, 3, 1, 1)));
  ASSERT_TRUE(box_.wait_freed(1, 3000));
  // No silence to wait for: the frame is the datagram.
  EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(box_.freed_at - sent).count(), 200);
  EXPECT_EQ(dev_->seen().at(0), with_crc(read_req(2, 3, 1, 1)));
  ASSERT_EQ(box_.answer_count(), 1u);
  EXPECT_EQ(box_.answers[0], answer(2, 3, 2, 0x55));

  // A bad CRC, another unit, a datagram too short, one too long: none is
  // an answer; the good one after them is.
  bytes bad = with_crc(answer(2, 3, 2));
  bad.back() ^= 0xFF;
  bytes too_long = with_crc(answer(2, 3, 252));  // 257 bytes
  dev_->set_handler([=](const bytes &) {
    return fake_device::script{{0, bad},      {0, with_crc(answer(3, 3, 2))}, {0, {0x02, 0x03}},
                              {0, too_long}, {10, with_crc(answer(2, 3, 2, 0x21))}};
  });
  testing::internal::CaptureStderr();
  offer(request(box_, read_req(2, 3, 1, 1)));
  ASSERT_TRUE(box_.wait_freed(2, 3000));
  const std::string log = testing::internal::GetCapturedStderr();
  ASSERT_EQ(box_.answer_count(), 2u);
  EXPECT_EQ(box_.answers[1], answer(2, 3, 2, 0x21));
  EXPECT_NE(log.find("[south udp] :Please check the rtu over udp communication protocol, CRC checksum fail"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("answer longer than 256 bytes"), std::string::npos) << log;

  // The largest RTU frame still is one.
  const bytes largest = answer(2, 3, 251, 0);  // 254 bytes + CRC = 256
  dev_->set_handler([=](const bytes &) { return fake_device::script{{0, with_crc(largest)}}; });
  offer(request(box_, read_req(2, 3, 0, 125)));
  ASSERT_TRUE(box_.wait_freed(3, 3000));
  ASSERT_EQ(box_.answer_count(), 3u);
  EXPECT_EQ(box_.answers[2], largest);
}

TEST_F(SouthUdpTest, SilentDeviceTimesOutAndLateDatagramsNeverAnswerTheNextRequest) {
  // The first request is answered twice (the second copy late), the second
  // not at all, the third properly: an RTU answer carries no id, so only
  // dropping what arrived between exchanges keeps the late copy from
  // passing for the third request's answer.
  int calls = 0;
  make_port(
      [&calls](const bytes &) {
        ++calls;
        if (calls == 1)
          return fake_device::script{{0, with_crc(answer(4, 3, 2, 0x01))}, {50, with_crc(answer(4, 3, 2, 0x01))}};
        if (calls == 2) return fake_device::script{};
        return fake_device::script{{100, with_crc(answer(4, 3, 2, 0x03))}};
      },
      true, 200);
  offer(request(box_, read_req(4, 3, 0, 1)));
  ASSERT_TRUE(box_.wait_freed(1, 3000));
  // The late copy is waiting in the port's socket when the next request goes.
  ASSERT_TRUE(wait_until([&] { return dev_->sent() == 2; }, 3000));
  offer(request(box_, read_req(4, 3, 0, 1)));
  ASSERT_TRUE(box_.wait_freed(2, 3000));
  EXPECT_EQ(box_.answer_count(), 1u) << "the late copy answered the silent request";
  offer(request(box_, read_req(4, 3, 0, 1)));
  ASSERT_TRUE(box_.wait_freed(3, 3000));
  ASSERT_EQ(box_.answer_count(), 2u);
  EXPECT_EQ(box_.answers[1], answer(4, 3, 2, 0x03));
}

}  // namespace
