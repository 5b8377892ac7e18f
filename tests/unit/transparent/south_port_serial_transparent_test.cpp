// The south serial transparent port: the bridge frame's checks, silence
// framing, the line closed under a request and the bridge's size limit.
#include "transparent/south_port_serial_transparent.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/plat_log.h"
#include "platform/plat_serial.h"
#include "route/mux.h"
#include "south/south_test_util.h"

namespace {

using namespace south_test;
using namespace south_serial_transparent;

// --- the bridge frame -------------------------------------------------------------

TEST(BridgeFrame, EveryReplyCheckRunsAndTheLastFailureGivesTheCode) {
  plat_log_set_level(3);
  const bridge_header last{BRIDGE_MAGIC, 0x1234, 3, 2};
  auto reply = [](bridge_header h, size_t payload) {
    bytes d(16 + payload, 0xAB);
    bridge_header_encode(h, d.data());
    return d;
  };
  auto check = [&](const bytes &d) { return bridge_reply_check(d.data(), d.size(), last); };
  EXPECT_EQ(check(reply({BRIDGE_MAGIC, 0x1234, 4, 2}, 4)), 0);  // the reply's length is its own
  EXPECT_EQ(check(reply({BRIDGE_MAGIC + 1, 0x1234, 4, 2}, 4)), BRIDGE_BAD_MAGIC);
  EXPECT_EQ(check(reply({BRIDGE_MAGIC, 0x1234, 5, 2}, 4)), BRIDGE_BAD_LEN);
  // A length that wraps round to the datagram's size is still wrong.
  EXPECT_EQ(check(reply({BRIDGE_MAGIC, 0x1234, 0xFFFFFFF4u, 2}, 4)), BRIDGE_BAD_LEN);
  EXPECT_EQ(check(reply({BRIDGE_MAGIC, 0x1235, 4, 2}, 4)), BRIDGE_BAD_SEQ);
  EXPECT_EQ(check(reply({BRIDGE_MAGIC, 0x1234, 4, 3}, 4)), BRIDGE_BAD_PORT);
  EXPECT_EQ(check(reply({0, 0x1235, 9, 2}, 4)), BRIDGE_BAD_SEQ);
  EXPECT_EQ(check(reply({0, 0, 0, 0}, 4)), BRIDGE_BAD_PORT);
}

// --- settings and framing ---------------------------------------------------------

TEST(SouthSerialTransparentSettings, UnknownModesListenAndLongBlocksPauseWithoutOverflow) {
  plat_log_set_level(3);
  EXPECT_EQ(mode_from_text("answer_mode"), ANSWER_MODE);
  EXPECT_EQ(mode_from_text("Answer_mode"), LISTEN_MODE);  // unknown: writes nothing to the line
  EXPECT_EQ(mode_from_text(nullptr), LISTEN_MODE);
  port p(settings{}, nullptr);  // 9600 baud, 10-bit characters
  EXPECT_EQ(p.transmit_pause(10), 10u);
  EXPECT_EQ(p.transmit_pause(69632), 72533u);
}

TEST(SouthSerialTransparentFraming, SilenceEndsABlockOnlyWhenLongerThanTheInterval) {
  plat_log_set_level(3);
  settings s;
  s.time_interval = 50;
  port p(s, nullptr);
  const bytes msg{1, 2, 3, 4, 5, 6, 7};
  // Byte by byte and in odd splits, 10 ms apart: one block.
  for (size_t split : {1u, 2u, 3u, 7u}) {
    uint32_t now = 1000;
    for (size_t at = 0; at < msg.size(); at += split, now += 10) {
      const int n = static_cast<int>(std::min(split, msg.size() - at));
      EXPECT_EQ(p.rx_fsm(msg.data() + at, n, now).len, 0u);
    }
    const uint32_t last = now - 10;
    EXPECT_EQ(p.rx_fsm(nullptr, 0, last + 50).len, 0u) << "a silence equal to the interval ends nothing";
    const port::block b = p.rx_fsm(nullptr, 0, last + 51);
    EXPECT_EQ(bytes(b.data, b.data + b.len), msg) << "split " << split;
    EXPECT_EQ(p.rx_fsm(nullptr, 0, last + 200).len, 0u);
  }
  // Across the tick's wrap.
  EXPECT_EQ(p.rx_fsm(msg.data(), 2, 0xFFFFFFF0u).len, 0u);
  EXPECT_EQ(p.rx_fsm(nullptr, 0, 0x30).len, 2u);
}

TEST(SouthSerialTransparentFraming, ABlockAsLongAsAFrameIsDroppedWithOneWarning) {
  plat_log_set_level(4);
  testing::internal::CaptureStderr();
  port p(settings{}, nullptr);
  bytes chunk(4096, 0x55);
  uint32_t now = 0;
  for (size_t sent = 0; sent < MB_FRAME_BUF_SIZE; sent += chunk.size()) {
    EXPECT_EQ(p.rx_fsm(chunk.data(), static_cast<int>(chunk.size()), ++now).len, 0u);
  }
  EXPECT_EQ(p.rx_fsm(nullptr, 0, now + 100).len, 0u);  // nothing left to cut
  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_EQ(count_of(log, "SOUTH PORT SERIAL TRANSPARENT RX BUFFER OVERFLOW"), 1u);
  // The next block is whole again.
  const port::block b = p.rx_fsm(chunk.data(), 3, now + 200);
  EXPECT_EQ(b.len, 0u);
  EXPECT_EQ(p.rx_fsm(nullptr, 0, now + 300).len, 3u);
}

// --- the line on a pty --------------------------------------------------------------

mb_frame *raw_request(reply_box &box, const bytes &b) {
  return mb_frame_create_raw(b.data(), static_cast<int>(b.size()), on_answer, &box, on_free);
}

class SouthSerialTransparentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    plat_log_set_level(3);
    ASSERT_GE(pty_.master, 0);
    plat_serial_set_prefix(pty_.prefix.c_str());
    pty_.link_port(1);
    device_ = std::make_unique<fake_device>(pty_.master, false);
    mux_.reset(mux_create());
  }
  void make_port(uint32_t timeout, int interval = 30) {
    settings s;
    s.id = 1;
    s.mode = ANSWER_MODE;
    s.timeout = static_cast<int>(timeout);
    s.time_interval = interval;
    s.retry_ms = 100;
    port_ = std::make_unique<port>(s, mux_.get());
    mux_register_southport(mux_.get(), 1, port_.get(), 2);
    port_->start(nullptr, nullptr);
    ASSERT_TRUE(wait_until([&] { return port_->line_open() && port_->threads_running(); }, 3000));
  }
  void offer(mb_frame *f) {
    ASSERT_TRUE(wait_until([&] { return port_->push_request(f) == 0; }, 3000)) << "port stayed busy";
  }

  pty_pair pty_;
  reply_box box_;
  std::unique_ptr<fake_device> device_;
  std::unique_ptr<mux> mux_;
  std::unique_ptr<port> port_;  // declared last: destroyed first
};

TEST_F(SouthSerialTransparentTest, ClosingTheLineReleasesTheWaitingRequestAndRefusesNewOnes) {
  make_port(5000);
  offer(raw_request(box_, {1}));
  ASSERT_TRUE(wait_until([&] { return device_->seen().size() == 1; }, 2000));
  port_->get_tag()->value = 0.0;
  port_->change_state(port_->get_tag());
  EXPECT_FALSE(port_->line_open());
  EXPECT_FALSE(port_->threads_running());
  EXPECT_EQ(box_.freed_count(), 1);  // not left to its 5 s time-out
  EXPECT_EQ(port_->pending_request(), nullptr);
  // Closed: refused outright (the caller drops it), not kept in the slot.
  mb_frame *while_closed = raw_request(box_, {3});
  EXPECT_EQ(port_->push_request(while_closed), -1);
  mb_frame_release(while_closed);
  EXPECT_EQ(box_.freed_count(), 2);

}

// --- the bridge on loopback ---------------------------------------------------------

class SouthBridgeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    plat_log_set_level(3);
    bridge_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(bridge_, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    socklen_t len = sizeof a;
    getsockname(bridge_, reinterpret_cast<sockaddr *>(&a), &len);
    timeval tv{2, 0};
    setsockopt(bridge_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    settings s;
    s.mode = ANSWER_MODE;
    s.bridge_mode = true;
    s.port = 6;
    s.timeout = 300;
    s.bridge_udp_port = ntohs(a.sin_port);
    port_ = std::make_unique<port>(s, nullptr);
    port_->start(nullptr, nullptr);
    ASSERT_TRUE(wait_until([&] { return port_->bridge_ready() && port_->threads_running(); }, 3000));
  }
  void TearDown() override {
    port_.reset();
    close(bridge_);
  }
  // The next request datagram and where it came from.
  bytes receive(sockaddr_in *from) {
    bytes d(70000);
    socklen_t len = sizeof *from;
    const ssize_t n = recvfrom(bridge_, d.data(), d.size(), 0, reinterpret_cast<sockaddr *>(from), &len);
    d.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return d;
  }

  int bridge_ = -1;
  reply_box box_;
  std::unique_ptr<port> port_;
};

TEST_F(SouthBridgeTest, ARequestTooLongForTheBridgeIsReleasedAtOnce) {
  const bytes big(BRIDGE_PAYLOAD_MAX + 1, 0x33);
  ASSERT_EQ(port_->push_request(raw_request(box_, big)), 0);
  ASSERT_TRUE(box_.wait_freed(1, 200)) << "the port stayed busy with a request it cannot send";
  // The longest one that fits goes out whole.
  const bytes fits(BRIDGE_PAYLOAD_MAX, 0x44);
  mb_frame *f = raw_request(box_, fits);
  ASSERT_TRUE(wait_until([&] { return port_->push_request(f) == 0; }, 1000));
  sockaddr_in from{};
  EXPECT_EQ(receive(&from).size(), BRIDGE_DATAGRAM_MAX);
}

}  // namespace
