// The north UDP port on loopback against a fake south port that holds
// requests until the test answers them. Meant to run under the sanitizers too.
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
using north_test::fake_south;
using north_test::wait_until;

bytes mbap(uint16_t tid, const bytes &body) {
  bytes b{uint8_t(tid >> 8), uint8_t(tid), 0, 0, uint8_t(body.size() >> 8), uint8_t(body.size())};
  b.insert(b.end(), body.begin(), body.end());
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
const bytes kAnswer = {0x11, 0x03, 0x02, 0x00, 0x07};

// --- the port on loopback ------------------------------------------------------------------

uint16_t local_port(plat_socket *s) {
  sockaddr_in a{};
  socklen_t len = sizeof a;
  ::getsockname(s->fd(), reinterpret_cast<sockaddr *>(&a), &len);
  return ntohs(a.sin_port);
}

// A master: a datagram socket on loopback with a port of its own.
struct master {
  explicit master(const char *address = "127.0.0.1") {
    sock = plat_socket_create_udp();
    plat_socket_bind(sock.get(), plat_inet_addr(address), 0);
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

// Waits until the south side holds `n` requests; the answer a test then
// expects for the last one shows no other request came in between.
#define EXPECT_TAKEN(n) EXPECT_TRUE(wait_until([&] { return south1_.taken() >= (n); })) << "want " << (n)

// A request cut over datagrams is completed only by its own sender (address
// and port), and a flood of senders keeps only the newest partial requests.
TEST_F(NorthUdpPort, PartialRequestsArePerSenderAndOnlyTheNewestAreKept) {
  make_port(R"(<Table ip="*" id="1"/>)");
  const bytes a = mbap(0x0102, kRead);
  master first, other, third;
  first.send(udp_port_, bytes(a.begin(), a.begin() + 9));
  other.send(udp_port_, bytes(a.begin() + 9, a.end()));  // another port of the same address starts afresh
  third.send(udp_port_, mbap(7, kRead));
  EXPECT_TAKEN(1);
  south1_.answer(0, kAnswer);
  EXPECT_EQ(third.receive(), mbap(7, kAnswer));
  first.send(udp_port_, bytes(a.begin() + 9, a.end()));
  EXPECT_TAKEN(2);
  south1_.answer(1, kAnswer);
  EXPECT_EQ(first.receive(), mbap(0x0102, kAnswer));

  // One sender more than the partial requests kept: the oldest is forgotten,
  // so its rest is read as the start of a new header.
  const size_t cap = north_udp::partial_requests::default_capacity;
  std::vector<std::unique_ptr<master>> flood;
  for (size_t i = 0; i < cap + 1; ++i) {
    flood.push_back(std::make_unique<master>());
    flood.back()->send(udp_port_, bytes(a.begin(), a.begin() + 3));
  }
  const bytes tail(a.begin() + 3, a.end());
  flood.back()->send(udp_port_, tail);
  flood[1]->send(udp_port_, tail);
  flood.front()->send(udp_port_, tail);
  master late;
  late.send(udp_port_, a);  // read after all of the above
  EXPECT_TAKEN(5);
  south1_.answer(4, kAnswer);
  EXPECT_EQ(late.receive(), mbap(0x0102, kAnswer)) << "the fifth request taken was not the late one";
}

// One request per datagram, and the size limits: the largest MBAP body and
// RTU frame are taken, one byte more drops the whole datagram.
TEST_F(NorthUdpPort, OneRequestPerDatagramUpToTheLargestMessage) {
  make_port(R"(<Table ip="*" id="1"/><Table ip="127.0.0.3" id="1" rtu_over_udp="true"/>)");
  master m, rtu("127.0.0.3");
  m.send(udp_port_, cat(mbap(6, bytes(MB_BODY_MAX + 1, 0x11)), mbap(7, kRead)));
  m.send(udp_port_, mbap(8, bytes(MB_BODY_MAX, 0x11)));
  EXPECT_TAKEN(1);
  rtu.send(udp_port_, with_crc(bytes(MB_BODY_MAX + 1, 0x11)));
  rtu.send(udp_port_, with_crc(bytes(MB_BODY_MAX, 0x11)));
  EXPECT_TAKEN(2);
  m.send(udp_port_, cat(mbap(9, kRead), {0xAA, 0xBB}));  // more than announced: the extra bytes go
  EXPECT_TAKEN(3);
  south1_.answer(2, kAnswer);
  EXPECT_EQ(m.receive(), mbap(9, kAnswer));
}

TEST_F(NorthUdpPort, AStaleAnswerIsDroppedOnceANewerRequestIsHandedOver) {
  make_port(R"(<Table ip="*" id="1"/>)");
  master a;
  // A stale answer: a newer request has been handed over since.
  a.send(udp_port_, mbap(0x0A02, kRead));
  ASSERT_TRUE(wait_until([&] { return south1_.taken() == 1; }));
  a.send(udp_port_, mbap(0x0A03, kRead));
  ASSERT_TRUE(wait_until([&] { return south1_.taken() == 2; }));
  south1_.answer(0, {0x11, 0x03, 0x02, 0x00, 0x03});
  south1_.answer(1, {0x11, 0x03, 0x02, 0x00, 0x04});
  EXPECT_EQ(a.receive(), mbap(0x0A03, {0x11, 0x03, 0x02, 0x00, 0x04}));
}

TEST_F(NorthUdpPort, AnAnswerAfterThePortHasGoneTouchesNothingFreed) {
  make_port(R"(<Table ip="*" id="1"/>)");
  master a;
  a.send(udp_port_, mbap(3, kRead));
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

  // Another socket holds the port without sharing it.
  master holder;
  north_port_udp port;
  port.udp_port = holder.port;
  EXPECT_EQ(port.start(), 1);
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(port.svr_thread, nullptr);
}

}  // namespace
