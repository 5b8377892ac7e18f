// The north TCP port on loopback against a fake south port that holds
// requests until the test answers them: stale and late answers are dropped
// without touching freed memory. Meant to run under the sanitizers too.
#include "north/north_port_tcp.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "north/north_test_util.h"
#include "platform/plat_socket.h"
#include "platform/tw_conf.h"
#include "route/mux.h"

namespace {

using namespace north_test;

// A master on loopback, connected once the port's server thread listens.
plat_socket_handle connect_master(int port) {
  plat_socket_handle s;
  EXPECT_TRUE(wait_until([&] {
    s = plat_socket_create_tcp();
    return plat_socket_connect(s.get(), plat_inet_addr("127.0.0.1"), plat_htons(static_cast<uint16_t>(port))) == 0;
  }));
  return s;
}
void send(plat_socket *s, const bytes &b) { ASSERT_EQ(plat_socket_send(s, b.data(), b.size()), static_cast<int>(b.size())); }
// The first `want` bytes that arrive within two seconds.
bytes receive(plat_socket *s, size_t want) {
  bytes out(want);
  size_t got = 0;
  for (uint32_t start = plat_systick_get(); got < want && plat_systick_get() - start < 2000;) {
    const int n = plat_socket_recv(s, out.data() + got, want - got, 50);
    if (n < 0) break;
    got += static_cast<size_t>(n);
  }
  out.resize(got);
  return out;
}

// A port with one "*" rule leading to the fake south port.
class NorthPortTcp : public ::testing::Test {
 protected:
  void SetUp() override {
    any_item_.south_port = 1;
    table_.item_any = &any_item_;
    ASSERT_EQ(mux_register_table(m_.get(), 1, &table_), 0);
    ASSERT_EQ(mux_register_southport(m_.get(), 1, &south_, 1), 0);
    const std::string xml = "<NorthPort type=\"tcp\" tcp_port=\"" + std::to_string(tcp_port_) +
                            "\" max_conn=\"4\" idle_time=\"0\" time_interval=\"0\" north_list_size=\"4\">"
                            "<Table ip=\"*\" id=\"1\"/></NorthPort>";
    tw_conf_node *doc = tw_conf_open_xml_string(xml.c_str(), TW_CONF_ARRAY_NAMES);
    uint32_t it = 0;
    port_ = north_port_tcp_create(
        tw_conf_node_child_query(tw_conf_node_child_query(doc, "NorthPort", nullptr), nullptr, &it), m_.get());
    tw_conf_node_close(doc);
    ASSERT_NE(port_, nullptr);
    ASSERT_EQ(port_->start(), 0);
  }

  bool client_count_is(uint64_t n) { return port_->stats.clients.load() == n; }

  // Declared in the order they must outlive each other.
  std::unique_ptr<mux> m_{mux_create()};
  item any_item_;
  table table_;
  fake_south south_;
  int tcp_port_ = free_tcp_port();
  std::unique_ptr<north_port_tcp> port_;
};

// The stale answer goes first: had it gone out, it would lead what the master reads.
TEST_F(NorthPortTcp, StaleAnswerIsDroppedOnceANewerRequestWasHandedOver) {
  plat_socket_handle mb = connect_master(tcp_port_);
  send(mb.get(), {0x00, 0x01, 0x00, 0x00, 0x00, 0x06, 0x01, 0x03, 0x00, 0x00, 0x00, 0x01});
  ASSERT_TRUE(wait_until([&] { return south_.taken() == 1; }));
  send(mb.get(), {0x00, 0x02, 0x00, 0x00, 0x00, 0x06, 0x01, 0x03, 0x00, 0x01, 0x00, 0x01});
  ASSERT_TRUE(wait_until([&] { return south_.taken() == 2; }));
  south_.answer(0, {0x01, 0x03, 0x02, 0x00, 0x01});
  south_.answer(1, {0x01, 0x03, 0x02, 0x00, 0x02});
  EXPECT_EQ(receive(mb.get(), 11), (bytes{0x00, 0x02, 0x00, 0x00, 0x00, 0x05, 0x01, 0x03, 0x02, 0x00, 0x02}));
}

TEST_F(NorthPortTcp, AnswerForARemovedClientTouchesNothingFreed) {
  plat_socket_handle mb = connect_master(tcp_port_);
  send(mb.get(), {0x00, 0x09, 0x00, 0x00, 0x00, 0x06, 0x01, 0x03, 0x00, 0x00, 0x00, 0x01});
  ASSERT_TRUE(wait_until([&] { return south_.taken() == 1; }));
  // The request may be handed over before the server thread has linked
  // the client.
  ASSERT_TRUE(wait_until([&] { return client_count_is(1); }));
  // The master goes: the client is closed and swept while the south side
  // still holds its request.
  mb.reset();
  ASSERT_TRUE(wait_until([&] { return client_count_is(0); }, 5000));
  south_.answer(0, {0x01, 0x03, 0x02, 0x00, 0x01});
  // The port goes on serving.
  plat_socket_handle next = connect_master(tcp_port_);
  send(next.get(), {0x00, 0x0A, 0x00, 0x00, 0x00, 0x06, 0x01, 0x03, 0x00, 0x00, 0x00, 0x01});
  ASSERT_TRUE(wait_until([&] { return south_.taken() == 2; }));
  south_.answer(1, {0x01, 0x03, 0x02, 0x00, 0x07});
  EXPECT_EQ(receive(next.get(), 11), (bytes{0x00, 0x0A, 0x00, 0x00, 0x00, 0x05, 0x01, 0x03, 0x02, 0x00, 0x07}));
}

}  // namespace
