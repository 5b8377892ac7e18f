// The south TCP and UDP transparent ports against devices played in the
// test: the wait list's expiry, the release at a broken connection, the
// wake-up of a refused offerer and the UDP time-out clock.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "platform/plat_log.h"
#include "south/south_test_util.h"
#include "transparent/south_port_tcp_transparent.h"
#include "transparent/south_port_udp_transparent.h"

namespace {

using namespace south_test;
using south_net_transparent::ANSWER_MODE;

bytes text(const std::string &s) { return bytes(s.begin(), s.end()); }

mb_frame *raw_request(reply_box &box, const std::string &s) {
  return mb_frame_create_raw(reinterpret_cast<const uint8_t *>(s.data()), static_cast<int>(s.size()), on_answer, &box,
                             on_free);
}

// Answers "re:" + the request, except "hang" (hangs up 100 ms later) and
// requests starting with "silent" (no answer).
fake_device::script answer_or_hang(const bytes &req) {
  const std::string r(req.begin(), req.end());
  if (r == "hang") return {{100, {}}};
  if (r.rfind("silent", 0) == 0) return {};
  return {{0, text("re:" + r)}};
}

class SouthTcpTransparentTest : public ::testing::Test {
 protected:
  void SetUp() override { plat_log_set_level(4); }

  void make_port(int list_size, int timeout, int time_interval, bool start = true) {
    const int fd = loopback_socket(SOCK_STREAM, dev_port_);
    ASSERT_GE(fd, 0);
    dev_ = std::make_unique<fake_device>(fd, true, answer_or_hang);
    south_tcp_transparent::settings s;
    s.host = "127.0.0.1";
    s.tcp_port = dev_port_;
    s.mode = ANSWER_MODE;
    s.south_list_size = list_size;
    s.timeout = timeout;
    s.time_interval = time_interval;
    port_ = std::make_unique<south_tcp_transparent::port>(s, nullptr);
    if (start) start_port();
  }
  void start_port() {
    port_->start(nullptr, nullptr);
    ASSERT_TRUE(wait_until([&] { return port_->connected() && port_->threads_running(); }, 3000));
  }

  uint16_t dev_port_ = 0;
  // Where the requests' answers go: they outlive the port, whose threads
  // may still be telling them a frame was freed when a test body ends.
  reply_box first, second, third, fourth;
  std::unique_ptr<fake_device> dev_;
  std::unique_ptr<south_tcp_transparent::port> port_;  // declared last: destroyed first
};

TEST_F(SouthTcpTransparentTest, WaitingRequestsExpireOldestFirstAndTheNextIsAnsweredByItsOwnAnswer) {
  make_port(2, 300, 20);
  ASSERT_EQ(port_->push_request(raw_request(first, "silent 1")), 0);
  ASSERT_EQ(port_->push_request(raw_request(second, "silent 2")), 0);
  ASSERT_TRUE(wait_until([&] { return port_->waiting() == 2; }, 2000));
  // Both lists hold two: a third offer is refused as busy.
  mb_frame *extra = raw_request(third, "refused");
  EXPECT_EQ(port_->push_request(extra), 1);
  mb_frame_release(extra);
  ASSERT_EQ(third.freed_count(), 1);

  ASSERT_TRUE(first.wait_freed(1, 2000));
  ASSERT_TRUE(second.wait_freed(1, 2000));
  EXPECT_LE(first.freed_at, second.freed_at) << "the older request expires first";
  EXPECT_EQ(first.answer_count() + second.answer_count(), 0u);
  EXPECT_EQ(port_->stats.timeouts.load(), 2u);
  EXPECT_EQ(port_->waiting(), 0u);

  ASSERT_EQ(port_->push_request(raw_request(fourth, "four")), 0);
  ASSERT_TRUE(fourth.wait_freed(1, 2000));
  ASSERT_EQ(fourth.answer_count(), 1u);
  EXPECT_EQ(fourth.answers[0], text("re:four"));
  const auto seen = dev_->seen();
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0], text("silent 1"));
  EXPECT_EQ(seen[2], text("four"));
}

TEST_F(SouthTcpTransparentTest, ABrokenConnectionReleasesQueuedAndWaitingRequestsOnceAndTheNextIsServedAfresh) {
  // A long pause after each send keeps the second request queued while the
  // device hangs up on the first.
  make_port(2, 5000, 1000);
  reply_box &waiting_box = first;
  reply_box &queued_box = second;
  ASSERT_EQ(port_->push_request(raw_request(waiting_box, "hang")), 0);
  ASSERT_EQ(port_->push_request(raw_request(queued_box, "queued")), 0);
  ASSERT_TRUE(waiting_box.wait_freed(1, 3000));
  ASSERT_TRUE(queued_box.wait_freed(1, 3000));
  EXPECT_EQ(waiting_box.answer_count() + queued_box.answer_count(), 0u);
  EXPECT_EQ(port_->stats.dropped.load(), 2u);
  EXPECT_EQ(port_->queued() + port_->waiting(), 0u);

  ASSERT_TRUE(wait_until([&] { return port_->connected() && port_->threads_running(); }, 3000));
  reply_box &next = third;
  mb_frame *f = raw_request(next, "after");
  ASSERT_TRUE(wait_until([&] { return port_->push_request(f) == 0; }, 3000));
  ASSERT_TRUE(next.wait_freed(1, 3000));
  ASSERT_EQ(next.answer_count(), 1u);
  EXPECT_EQ(next.answers[0], text("re:after"));
  EXPECT_EQ(waiting_box.freed_count(), 1) << "released once, not again at the reconnect";
  EXPECT_EQ(queued_box.freed_count(), 1);
  for (const bytes &r : dev_->seen()) EXPECT_NE(r, text("queued")) << "a released request was sent";
  EXPECT_EQ(port_->stats.connects.load(), 2u);
}

TEST_F(SouthTcpTransparentTest, ARequestWhoseTurnFindsTheWaitListFullIsDroppedUnsent) {
  // Offers are taken while neither list is full; sending is paced by 300 ms.
  make_port(2, 5000, 300);
  ASSERT_EQ(port_->push_request(raw_request(first, "silent 1")), 0);
  ASSERT_TRUE(wait_until([&] { return port_->waiting() == 1; }, 2000));
  ASSERT_EQ(port_->push_request(raw_request(second, "silent 2")), 0);
  ASSERT_EQ(port_->push_request(raw_request(third, "silent 3")), 0);
  ASSERT_TRUE(third.wait_freed(1, 3000));
  EXPECT_EQ(third.answer_count(), 0u);
  EXPECT_EQ(port_->stats.dropped.load(), 1u);
  EXPECT_EQ(port_->waiting(), 2u);
  EXPECT_EQ(first.freed_count() + second.freed_count(), 0);
  for (const bytes &r : dev_->seen()) EXPECT_NE(r, text("silent 3"));
  port_.reset();  // releases what still waits
  EXPECT_EQ(first.freed_count() + second.freed_count(), 2);
}

TEST_F(SouthTcpTransparentTest, ARefusedOffererIsWokenWhenThePortConnectsAndWhenRoomAppears) {
  make_port(1, 2000, 0, false);
  dev_->set_handler([](const bytes &req) { return fake_device::script{{300, text("re:" + std::string(req.begin(), req.end()))}}; });
  reply_box &a = first;
  reply_box &b = second;
  offerer o(port_.get(), {raw_request(a, "one"), raw_request(b, "two")});
  ASSERT_TRUE(wait_until([&] { return o.refusals.load() >= 1; }, 2000)) << "refused while not connected";
  EXPECT_EQ(o.taken.load(), 0u);

  start_port();
  // Taken once connected, then refused while "one" waits, then taken when
  // its answer frees the lists: each time woken, not after 60 s.
  ASSERT_TRUE(wait_until([&] { return o.taken.load() == 2; }, 3000)) << o.refusals.load() << " refusals";
  EXPECT_GE(o.refusals.load(), 2);
  ASSERT_TRUE(b.wait_freed(1, 3000));
  ASSERT_EQ(a.answer_count(), 1u);
  EXPECT_EQ(a.answers[0], text("re:one"));
  ASSERT_EQ(b.answer_count(), 1u);
  EXPECT_EQ(b.answers[0], text("re:two"));
  EXPECT_LE(a.freed_at, b.freed_at);
}

TEST(SouthUdpTransparent, AnyDatagramRestartsTheClockButOnlyTheDevicesOwnAnswers) {
  plat_log_set_level(3);
  uint16_t dev_port = 0;
  uint16_t stranger_port = 0;
  const int dev = loopback_socket(SOCK_DGRAM, dev_port);
  const int stranger = loopback_socket(SOCK_DGRAM, stranger_port);
  ASSERT_GE(dev, 0);
  ASSERT_GE(stranger, 0);
  south_udp_transparent::settings s;
  s.host = "127.0.0.1";
  s.udp_port = dev_port;
  s.timeout = 500;
  s.time_interval = 0;
  reply_box box;  // outlives the port
  auto port = std::make_unique<south_udp_transparent::port>(s, nullptr);
  EXPECT_EQ(port->get_mode(), ANSWER_MODE);
  port->start(nullptr, nullptr);

  ASSERT_EQ(port->push_request(raw_request(box, "ask")), 0);
  uint8_t buf[64];
  sockaddr_in gw{};
  socklen_t gw_len = sizeof gw;
  const ssize_t n = recvfrom(dev, buf, sizeof buf, 0, reinterpret_cast<sockaddr *>(&gw), &gw_len);
  ASSERT_EQ(bytes(buf, buf + std::max<ssize_t>(n, 0)), text("ask"));
  // Noise from another port for longer than the time-out, never more than
  // a fifth of it apart: the request keeps waiting and the noise is no answer.
  for (int i = 0; i < 8; ++i) {
    sendto(stranger, "noise", 5, 0, reinterpret_cast<sockaddr *>(&gw), gw_len);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_EQ(box.freed_count(), 0) << "timed out although datagrams kept coming";
  sendto(dev, "answer", 6, 0, reinterpret_cast<sockaddr *>(&gw), gw_len);
  ASSERT_TRUE(box.wait_freed(1, 2000));
  ASSERT_EQ(box.answer_count(), 1u);
  EXPECT_EQ(box.answers[0], text("answer"));
  EXPECT_EQ(port->stats.framing_drops.load(), 8u);
  port.reset();
  close(dev);
  close(stranger);
}

}  // namespace
