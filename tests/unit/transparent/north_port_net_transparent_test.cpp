// The north TCP and UDP transparent ports where timing and addresses must
// be exact: the TCP block's silence and size limits, the UDP rule a sender
// wins, and an answer for a removed TCP client (run under the sanitizers).
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <memory>
#include <vector>

#include "north/north_test_util.h"
#include "route/mux.h"
#include "route/table.h"
#include "transparent/north_port_tcp_transparent.h"
#include "transparent/north_port_udp_transparent.h"

namespace {

using north_test::bytes;

bytes data_of(mb_frame *f) {
  uint32_t len = 0;
  const uint8_t *d = mb_frame_get_data(f, &len);
  return bytes(d, d + len);
}

// --- TCP: frame delimiting ----------------------------------------------------------

class TcpTransparentFraming : public ::testing::Test {
 protected:
  std::shared_ptr<north_tcp_transparent::client> make(int32_t time_interval) {
    auto c = std::make_shared<north_tcp_transparent::client>();
    c->owner = &port_;
    c->time_interval = time_interval;
    north_tcp_transparent::rx_tcp_transparent_init(c.get());
    return c;
  }
  mb_frame *feed(north_tcp_transparent::client *c, const bytes &b, uint32_t now) {
    return north_tcp_transparent::rx_tcp_transparent_fsm(c, b.data(), static_cast<int>(b.size()), now);
  }
  // Takes the frame's bytes and releases it.
  bytes take(mb_frame *f) {
    EXPECT_NE(f, nullptr);
    if (!f) return {};
    bytes b = data_of(f);
    mb_frame_release(f);
    return b;
  }

  north_tcp_transparent::port port_;
};

TEST_F(TcpTransparentFraming, PiecesWithinTheIntervalAreOneBlockCutAtExactlyTheInterval) {
  // Across the tick's wrap: byte by byte, then in odd pieces.
  for (const std::vector<bytes> &pieces : {std::vector<bytes>{{1}, {2}, {3}, {4}, {5}, {6}, {7}},
                                           std::vector<bytes>{{1}, {2, 3}, {4, 5, 6, 7}}}) {
    auto c = make(50);
    uint32_t now = 0xFFFFFFF0u;
    for (const bytes &p : pieces) {
      EXPECT_EQ(feed(c.get(), p, now), nullptr);
      now += 49;  // each piece just within the interval of the last
    }
    const uint32_t last = now - 49;
    EXPECT_EQ(feed(c.get(), {}, last + 49), nullptr);
    EXPECT_EQ(take(feed(c.get(), {}, last + 50)), (bytes{1, 2, 3, 4, 5, 6, 7}));
    // Emptied: the next silence makes nothing, the next bytes a new block.
    EXPECT_EQ(feed(c.get(), {}, last + 500), nullptr);
    EXPECT_EQ(feed(c.get(), {9}, last + 600), nullptr);
    EXPECT_EQ(take(feed(c.get(), {}, last + 650)), (bytes{9}));
  }
}

TEST_F(TcpTransparentFraming, IntervalZeroMakesEveryReceiveOneBlock) {
  auto c = make(0);
  EXPECT_EQ(take(feed(c.get(), {1, 2}, 100)), (bytes{1, 2}));
  EXPECT_EQ(take(feed(c.get(), {3}, 100)), (bytes{3}));
  EXPECT_EQ(feed(c.get(), {}, 100), nullptr);
}

TEST_F(TcpTransparentFraming, ABlockReachingTheBufferSizeIsDroppedOneByteLessPasses) {
  auto c = make(10);
  const bytes most(MB_FRAME_BUF_SIZE - 1, 0x5A);
  EXPECT_EQ(feed(c.get(), most, 0), nullptr);
  EXPECT_EQ(take(feed(c.get(), {}, 10)), most);

  // One byte more: dropped with whatever follows in the same receive.
  EXPECT_EQ(feed(c.get(), most, 100), nullptr);
  EXPECT_EQ(feed(c.get(), {0x01, 0x02, 0x03}, 100), nullptr);
  EXPECT_EQ(feed(c.get(), {}, 200), nullptr);
  EXPECT_EQ(port_.stats.framing_drops.load(), 1u);
  // Collection starts again at the next receive.
  EXPECT_EQ(feed(c.get(), {0x07}, 300), nullptr);
  EXPECT_EQ(take(feed(c.get(), {}, 310)), (bytes{0x07}));
}

// --- TCP: an answer for a removed client --------------------------------------------

TEST(TcpTransparentPort, AnswerForARemovedClientIsReleasedUnsent) {
  using namespace north_test;
  std::unique_ptr<mux> m{mux_create()};
  item any;
  any.south_port = 1;
  table t;
  t.item_any = &any;
  fake_south south;
  ASSERT_EQ(mux_register_southport(m.get(), 1, &south, 2), 0);
  auto port = std::make_unique<north_tcp_transparent::port>();
  port->mux = m.get();
  port->idle_time = 0;
  port->time_interval = 0;
  auto *npt = new northport_table();
  npt->table = &t;
  northport_rules_add(&port->rules, npt);
  // A free port: bound and let go.
  {
    auto probe = plat_socket_create_tcp();
    ASSERT_EQ(plat_socket_bind(probe.get(), plat_inet_addr("127.0.0.1"), 0), 0);
    sockaddr_in a{};
    socklen_t len = sizeof a;
    ::getsockname(probe->fd(), reinterpret_cast<sockaddr *>(&a), &len);
    port->tcp_port = ntohs(a.sin_port);
  }
  ASSERT_EQ(port->start(), 0);

  plat_socket_handle peer;
  ASSERT_TRUE(wait_until([&] {
    peer = plat_socket_create_tcp();
    return plat_socket_connect(peer.get(), plat_inet_addr("127.0.0.1"),
                               plat_htons(static_cast<uint16_t>(port->tcp_port))) == 0;
  }));
  const bytes request{'a', 'b', 'c'};
  ASSERT_EQ(plat_socket_send(peer.get(), request.data(), request.size()), 3);
  ASSERT_TRUE(wait_until([&] { return south.taken() == 1; }));
  auto count = [&] {
    std::scoped_lock g(port->lock);
    return port->clients.size();
  };
  ASSERT_TRUE(wait_until([&] { return count() == 1; }));
  peer.reset();
  ASSERT_TRUE(wait_until([&] { return count() == 0; }, 5000));
  south.answer(0, {'x'});
  EXPECT_EQ(port->stats.answers.load(), 0u);
  port.reset();
}

// --- UDP: senders, rules and the last peer port ---------------------------------------

northport_table *rule(uint32_t kind, const char *ip, table *t) {
  auto *r = new northport_table();
  r->ip_type = kind;
  if (kind == IP_RANGE) {
    const std::string text = ip;
    r->ip_start = text.substr(0, text.find('-'));
    r->ip_end = text.substr(text.find('-') + 1);
  } else {
    r->ip = ip;
  }
  r->table = t;
  return r;
}

TEST(UdpTransparentDatagrams, OnlySendersWinningBySingleAddressMoveTheLastPeerPort) {
  north_udp_transparent::port p;
  table ranged, single;
  // In file order: a range, then a single address inside it.
  northport_rules_add(&p.rules, rule(IP_RANGE, "10.0.0.1-10.0.0.9", &ranged));
  northport_rules_add(&p.rules, rule(IP_SINGLE, "10.0.0.5", &single));
  const bytes d{0xDE, 0xAD};
  auto arrive = [&](const char *from, uint16_t port) {
    return north_udp_transparent::rx_udp_transparent(&p, d.data(), static_cast<int>(d.size()), plat_inet_addr(from),
                                                     plat_htons(port));
  };

  mb_frame *f = arrive("10.0.0.5", 4001);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(static_cast<const north_udp_transparent::peer *>(mb_frame_get_ctx(f))->npt->table, &single);
  EXPECT_EQ(p.last_peer_port.load(), plat_htons(4001));  // the later rule wins
  mb_frame_release(f);

  f = arrive("10.0.0.6", 4002);  // the range only
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(static_cast<const north_udp_transparent::peer *>(mb_frame_get_ctx(f))->npt->table, &ranged);
  EXPECT_EQ(p.last_peer_port.load(), plat_htons(4001));
  mb_frame_release(f);
}

}  // namespace
