#include "south/south_port_tcp.h"

#include <gtest/gtest.h>

#include "platform/plat_log.h"
#include "south/south_test_util.h"

namespace {

using namespace south_test;

// Answers every MBAP request with `pdu`, echoing its transaction id.
fake_device::handler_fn mbap_echo(bytes pdu, uint16_t pid = 0) {
  return [pdu, pid](const bytes &req) {
    return fake_device::script{{0, mbap(static_cast<uint16_t>(req[0] << 8 | req[1]), pid, pdu)}};
  };
}

class SouthTcpTest : public ::testing::Test {
 protected:
  void SetUp() override { plat_log_set_level(5); }

  // The device (listening again on the same port after a restart).
  void start_device(fake_device::handler_fn h) {
    const int fd = loopback_socket(SOCK_STREAM, dev_port_);
    ASSERT_GE(fd, 0);
    dev_ = std::make_unique<fake_device>(fd, true, std::move(h));
  }
  // The device answering with `h`, and a port connected to it.
  void make_port(fake_device::handler_fn h, bool rtu = false, int timeout = 300) {
    start_device(std::move(h));
    south_port_tcp_settings s;
    s.host = "127.0.0.1";
    s.tcp_port = dev_port_;
    s.rtu_over_tcp = rtu;
    s.timeout = timeout;
    s.cache_polling_cycle = 60000;
    port_ = std::make_unique<south_port_tcp>(s);
    port_->start(nullptr, nullptr);
    ASSERT_TRUE(wait_until([&] { return port_->connected() && port_->threads_running(); }, 3000));
  }
  void offer(mb_frame *f) {
    ASSERT_TRUE(wait_until([&] { return port_->push_request(f) == 0; }, 3000)) << "port stayed busy";
  }

  uint16_t dev_port_ = 0;
  reply_box box_;
  std::unique_ptr<fake_device> dev_;
  std::unique_ptr<south_port_tcp> port_;  // declared last: destroyed first
};

TEST_F(SouthTcpTest, ProtocolIdOneIsNoAnswerAndSplitAnswersAreJoined) {
  make_port(mbap_echo(answer(1, 3, 2), 1), false, 400);

  // An answer with protocol id 1 is never delivered: the request times out.
  testing::internal::CaptureStderr();
  offer(request(box_, read_req(1, 3, 0, 1)));
  ASSERT_TRUE(box_.wait_freed(1, 3000));
  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_EQ(box_.answer_count(), 0u);
  EXPECT_NE(log.find("Communication timed out"), std::string::npos) << log;

  // Cut inside the transaction id, inside the length and inside the data;
  // 150 ms apart, together longer than the 400 ms time-out, which counts
  // from the last data: delivered once.
  dev_->set_handler([](const bytes &req) {
    const bytes a = mbap(static_cast<uint16_t>(req[0] << 8 | req[1]), 0, answer(1, 4, 6, 0x20));
    return fake_device::script{{0, bytes(a.begin(), a.begin() + 1)},
                               {150, bytes(a.begin() + 1, a.begin() + 5)},
                               {150, bytes(a.begin() + 5, a.begin() + 10)},
                               {150, bytes(a.begin() + 10, a.end())}};
  });
  offer(request(box_, read_req(1, 4, 0, 3)));
  ASSERT_TRUE(box_.wait_freed(2, 3000));
  ASSERT_EQ(box_.answer_count(), 1u);
  EXPECT_EQ(box_.answers[0], answer(1, 4, 6, 0x20));
}

TEST_F(SouthTcpTest, RtuOverTcpAnswerWithABadCrcIsNoAnswer) {
  bytes bad = with_crc(answer(2, 3, 2));
  bad.back() ^= 0xFF;
  make_port([bad](const bytes &) { return fake_device::script{{0, bad}}; }, true);
  // Reported and not delivered; the exchange waits on to its time-out.
  testing::internal::CaptureStderr();
  offer(request(box_, read_req(2, 3, 1, 1)));
  ASSERT_TRUE(box_.wait_freed(1, 3000));
  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_EQ(dev_->seen().at(0), with_crc(read_req(2, 3, 1, 1)));
  EXPECT_EQ(box_.answer_count(), 0u);
  EXPECT_NE(log.find(":Please check the rtu over tcp communication protocol, CRC checksum fail"), std::string::npos)
      << log;
}

// A new socket empties the slot; the failure count restarts after each
// tenth failure, so its log pair comes every ten attempts.
TEST_F(SouthTcpTest, EveryTenthFailedConnectLogsThePairAndARequestWaitingIsDropped) {
  uint16_t closed_port = 0;
  close(loopback_socket(SOCK_STREAM, closed_port));
  south_port_tcp_settings s;
  s.host = "127.0.0.1";
  s.tcp_port = closed_port;
  s.reconnect_ms = 0;  // the passes are called here back to back
  port_ = std::make_unique<south_port_tcp>(s);
  ASSERT_EQ(port_->push_request(request(box_, read_req(1, 3, 0, 1))), 0);
  testing::internal::CaptureStderr();
  for (int i = 0; i < 9; ++i) port_->mbtcp_cli_proc();
  EXPECT_EQ(port_->connect_failures(), 9);
  EXPECT_EQ(box_.freed_count(), 1) << "the manager empties the slot when it makes a new socket";
  for (int i = 0; i < 11; ++i) port_->mbtcp_cli_proc();
  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_EQ(port_->connect_failures(), 0);
  const std::string where = "ip:[127.0.0.1] port:[" + std::to_string(closed_port) + "]";
  EXPECT_EQ(count_of(log, "[tcp] " + where + " connect fail."), 2u) << log;
  EXPECT_EQ(count_of(log, "[tcp] reconnecting..."), 2u) << log;
  EXPECT_FALSE(port_->threads_running());
}

}  // namespace
