// The north UDP port: its receive machines fed datagram by datagram from
// several senders, and the whole port on loopback against fake south ports
// that hold requests until the test answers them. Meant to run under the
// thread and address sanitizers too.
#include "north/north_port_udp.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <string>
#include <vector>

#include "frame/mb_codec.h"
#include "north/north_test_util.h"
#include "platform/plat_log.h"
#include "platform/plat_socket.h"
#include "platform/tw_conf.h"
#include "route/mux.h"
#include "route/table.h"

namespace {

using namespace north_udp;
using bytes = std::vector<uint8_t>;

bytes mbap(uint16_t tid, uint16_t pid, const bytes &body) {
  bytes b{uint8_t(tid >> 8), uint8_t(tid), uint8_t(pid >> 8), uint8_t(pid), uint8_t(body.size() >> 8),
          uint8_t(body.size())};
  b.resize(6 + body.size());
  std::copy(body.begin(), body.end(), b.begin() + 6);
  return b;
}

bytes with_crc(bytes b) {
  const uint16_t crc = mb_crc16(b.data(), static_cast<uint32_t>(b.size()));
  b.push_back(static_cast<uint8_t>(crc >> 8));
  b.push_back(static_cast<uint8_t>(crc & 0xFF));
  return b;
}

bytes cat(bytes a, const bytes &b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

const bytes kRead = {0x11, 0x03, 0x00, 0x6B, 0x00, 0x03};

bytes frame_bytes(mb_frame *f) {
  uint32_t len = 0;
  const uint8_t *d = mb_frame_get_data(f, &len);
  return bytes(d, d + len);
}

// --- the receive machines -------------------------------------------------------------

class NorthUdpReceive : public ::testing::Test {
 protected:
  // One datagram from sender (10.0.0.<host>, port): its frame or null.
  mb_frame *datagram(uint8_t host, uint16_t port, const bytes &b, bool rtu = false) {
    auto *reply =
        new reply_addr{plat_inet_addr(("10.0.0." + std::to_string(host)).c_str()), port, rtu, nullptr, port_->core};
    mb_frame *f = rtu ? rx_rtu_fsm(port_.get(), b.data(), static_cast<int>(b.size()), reply)
                      : rx_udp_fsm(port_.get(), b.data(), static_cast<int>(b.size()), reply);
    if (!f) delete reply;
    if (f) frames_.push_back(f);
    return f;
  }
  void TearDown() override {
    for (mb_frame *f : frames_) mb_frame_release(f);
  }

  std::unique_ptr<north_port_udp> port_ = std::make_unique<north_port_udp>();
  std::vector<mb_frame *> frames_;
};

TEST_F(NorthUdpReceive, APartialRequestIsCompletedOnlyByItsOwnSendersNextDatagram) {
  const bytes a = mbap(0x0102, 0, kRead);
  EXPECT_EQ(datagram(1, 5000, bytes(a.begin(), a.begin() + 9)), nullptr);
  // Another sender, and the same address from another port, start afresh.
  mb_frame *other = datagram(2, 5000, mbap(7, 0, {0x05, 0x04, 0x00, 0x00, 0x00, 0x01}));
  ASSERT_NE(other, nullptr);
  EXPECT_EQ(mb_frame_get_tid(other), 7);
  EXPECT_EQ(datagram(1, 5001, bytes(a.begin() + 9, a.end())), nullptr);
  EXPECT_EQ(port_->mbap_buf.size(), 2u);  // 10.0.0.1:5001 is now inside a header of its own

  mb_frame *own = datagram(1, 5000, bytes(a.begin() + 9, a.end()));
  ASSERT_NE(own, nullptr);
  EXPECT_EQ(mb_frame_get_tid(own), 0x0102);
  EXPECT_EQ(mb_frame_get_req_id(own), 0x11);
  EXPECT_EQ(frame_bytes(own), kRead);
  EXPECT_EQ(static_cast<reply_addr *>(mb_frame_get_ctx(own))->port, 5000);
  EXPECT_EQ(port_->mbap_buf.size(), 1u);
}

TEST_F(NorthUdpReceive, AFloodOfSendersKeepsOnlyTheNewestPartialRequests) {
  const size_t cap = partial_requests::default_capacity;
  const bytes a = mbap(0x0900, 0, kRead);
  for (uint16_t p = 0; p < cap + 36; ++p) {
    EXPECT_EQ(datagram(1, static_cast<uint16_t>(6000 + p), bytes(a.begin(), a.begin() + 3)), nullptr);
  }
  EXPECT_EQ(port_->mbap_buf.size(), cap);
  // The newest complete their requests; the oldest were forgotten, so their
  // rest is read as the start of a new header.
  EXPECT_NE(datagram(1, static_cast<uint16_t>(6000 + cap + 35), bytes(a.begin() + 3, a.end())), nullptr);
  EXPECT_NE(datagram(1, 6036, bytes(a.begin() + 3, a.end())), nullptr);
  EXPECT_EQ(datagram(1, 6035, bytes(a.begin() + 3, a.end())), nullptr);
  EXPECT_EQ(datagram(1, 6000, bytes(a.begin() + 3, a.end())), nullptr);
  // A complete request from a new sender costs nobody a slot.
  EXPECT_NE(datagram(3, 1, a), nullptr);
  EXPECT_NE(datagram(1, 6037, bytes(a.begin() + 3, a.end())), nullptr);
}

TEST_F(NorthUdpReceive, OneRequestPerDatagramAndNothingOversized) {
  // Two requests in one datagram: the first is taken, nothing of the second stays.
  mb_frame *first = datagram(1, 1, cat(mbap(1, 0, kRead), mbap(2, 0, kRead)));
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(mb_frame_get_tid(first), 1);
  EXPECT_EQ(port_->mbap_buf.size(), 0u);
  // More data than announced: the request, without the extra bytes.
  mb_frame *extra = datagram(1, 1, cat(mbap(3, 0, kRead), {0xAA, 0xBB}));
  ASSERT_NE(extra, nullptr);
  EXPECT_EQ(frame_bytes(extra), kRead);

  EXPECT_EQ(datagram(1, 1, mbap(5, 0, {})), nullptr);

  // A header announcing more than any request: the whole datagram goes,
  // even a good request behind it, and the sender's next datagram is read
  // from its start.
  std::string log;
  {
    plat_log_set_level(5);
    testing::internal::CaptureStderr();
    EXPECT_EQ(datagram(1, 1, cat(mbap(6, 0, bytes(255, 0x11)), mbap(7, 0, kRead))), nullptr);
    log = testing::internal::GetCapturedStderr();
  }
  EXPECT_NE(log.find("request announcing 255 bytes is longer than any Modbus request"), std::string::npos) << log;
  EXPECT_EQ(port_->mbap_buf.size(), 0u);
  mb_frame *after = datagram(1, 1, mbap(8, 0, kRead));
  ASSERT_NE(after, nullptr);
  EXPECT_EQ(mb_frame_get_tid(after), 8);
  // The largest request is still one.
  EXPECT_NE(datagram(1, 1, mbap(9, 0, bytes(254, 0x11))), nullptr);
}

TEST_F(NorthUdpReceive, RtuOverUdpIsOneMessagePerDatagramUpToTheLargestFrame) {
  mb_frame *good = datagram(1, 1, with_crc(kRead), true);
  ASSERT_NE(good, nullptr);
  EXPECT_EQ(frame_bytes(good), kRead);
  EXPECT_EQ(mb_frame_get_tid(good), 0);
  EXPECT_EQ(mb_frame_get_req_id(good), 0x11);

  // Too short, one byte over the largest frame, the largest frame.
  EXPECT_EQ(datagram(1, 1, {0x11, 0x03}, true), nullptr);
  EXPECT_EQ(datagram(1, 1, with_crc(bytes(255, 0x11)), true), nullptr);  // 257 bytes
  EXPECT_NE(datagram(1, 1, with_crc(bytes(254, 0x11)), true), nullptr);  // 256 bytes
}

// --- the port on loopback ------------------------------------------------------------------

using north_test::fake_south;
using north_test::wait_until;

uint16_t local_port(plat_socket *s) {
  sockaddr_in a{};
  socklen_t len = sizeof a;
  ::getsockname(s->fd(), reinterpret_cast<sockaddr *>(&a), &len);
  return ntohs(a.sin_port);
}

// A master: a datagram socket on loopback with a port of its own.
struct master {
  master() {
    sock = plat_socket_create_udp();
    plat_socket_bind(sock.get(), plat_inet_addr("127.0.0.1"), 0);
    port = local_port(sock.get());
  }
  void send(int to, const bytes &b) {
    ASSERT_EQ(plat_socket_sendto(sock.get(), b.data(), b.size(), plat_inet_addr("127.0.0.1"),
                                 plat_htons(static_cast<uint16_t>(to))),
              static_cast<int>(b.size()));
  }
  // The next datagram within `ms`, or nothing.
  bytes receive(uint32_t ms = 1000) {
    uint8_t buf[512];
    uint32_t from = 0;
    uint16_t from_port = 0;
    const int n = plat_socket_recvfrom(sock.get(), buf, sizeof buf, &from, &from_port, ms);
    return n > 0 ? bytes(buf, buf + n) : bytes{};
  }
  plat_socket_handle sock;
  uint16_t port = 0;
};

int free_udp_port() {
  master probe;
  return probe.port;
}

class NorthUdpPort : public ::testing::Test {
 protected:
  void SetUp() override {
    plat_log_set_level(5);
    // Table 1 leads to the fake south port 1.
    any_item_.south_port = 1;
    table_.item_any = &any_item_;
    ASSERT_EQ(mux_register_table(m_.get(), 1, &table_), 0);
    ASSERT_EQ(mux_register_southport(m_.get(), 1, &south1_, 1), 0);
  }

  void make_port(const std::string &tables, const std::string &extra = "") {
    const std::string xml = "<NorthPort type=\"udp\" udp_port=\"" + std::to_string(udp_port_) +
                            "\" time_interval=\"0\" north_list_size=\"4\" " + extra + ">" + tables + "</NorthPort>";
    tw_conf_node *doc = tw_conf_open_xml_string(xml.c_str(), TW_CONF_ARRAY_NAMES);
    uint32_t it = 0;
    tw_conf_node *element = tw_conf_node_child_query(tw_conf_node_child_query(doc, "NorthPort", nullptr), nullptr, &it);
    port_ = north_port_udp_create(element, m_.get());
    tw_conf_node_close(doc);
    ASSERT_NE(port_, nullptr);
    ASSERT_EQ(port_->start(), 0);
  }

  // Declared in the order they must outlive each other.
  std::unique_ptr<mux> m_{mux_create()};
  item any_item_;
  table table_;
  fake_south south1_;
  int udp_port_ = free_udp_port();
  std::unique_ptr<north_port_udp> port_;
};

TEST_F(NorthUdpPort, AStaleAnswerIsDroppedOnceANewerRequestIsHandedOver) {
  make_port(R"(<Table ip="*" id="1"/>)");
  master a;
  // A stale answer: a newer request has been handed over since.
  a.send(udp_port_, mbap(0x0A02, 0, kRead));
  ASSERT_TRUE(wait_until([&] { return south1_.taken() == 1; }));
  a.send(udp_port_, mbap(0x0A03, 0, kRead));
  ASSERT_TRUE(wait_until([&] { return south1_.taken() == 2; }));
  south1_.answer(0, {0x11, 0x03, 0x02, 0x00, 0x03});
  south1_.answer(1, {0x11, 0x03, 0x02, 0x00, 0x04});
  EXPECT_EQ(a.receive(), mbap(0x0A03, 0, {0x11, 0x03, 0x02, 0x00, 0x04}));
}

TEST_F(NorthUdpPort, AnAnswerAfterThePortHasGoneTouchesNothingFreed) {
  make_port(R"(<Table ip="*" id="1"/>)");
  master a;
  a.send(udp_port_, mbap(3, 0, kRead));
  ASSERT_TRUE(wait_until([&] { return south1_.taken() == 1; }));
  port_.reset();
  south1_.answer(0, {0x11, 0x03, 0x02, 0x00, 0x01});
  EXPECT_EQ(a.receive(100), bytes{});
}

TEST(NorthUdpCreate, WithoutTableNoPortAndABusyPortFailsToStart) {
  std::unique_ptr<mux> m(mux_create());
  tw_conf_node *doc = tw_conf_open_xml_string(R"(<NorthPort type="udp"/>)", TW_CONF_ARRAY_NAMES);
  uint32_t it = 0;
  tw_conf_node *element = tw_conf_node_child_query(tw_conf_node_child_query(doc, "NorthPort", nullptr), nullptr, &it);
  plat_log_set_level(5);
  testing::internal::CaptureStderr();
  EXPECT_EQ(north_port_udp_create(element, m.get()), nullptr);
  tw_conf_node_close(doc);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("no table config under northport"), std::string::npos);

  // Another socket holds the port without sharing it.
  master holder;
  north_port_udp port;
  port.udp_port = holder.port;
  testing::internal::CaptureStderr();
  EXPECT_EQ(port.start(), 1);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("[north udp]: fail to bind to port [" +
                                                        std::to_string(holder.port) + "]"),
            std::string::npos);
  EXPECT_EQ(port.svr_thread, nullptr);
}

}  // namespace
