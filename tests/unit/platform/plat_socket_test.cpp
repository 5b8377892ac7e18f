// Sockets on the loopback interfaces, IPv4 and IPv6, TCP and UDP.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <cstring>
#include <string>

#include "platform/plat_socket.h"
#include "platform/plat_thread.h"

namespace {

uint16_t bound_port(plat_socket *s) {
  sockaddr_storage a{};
  socklen_t len = sizeof(a);
  getsockname(s->fd(), reinterpret_cast<sockaddr *>(&a), &len);
  return a.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6 *>(&a)->sin6_port
                                 : reinterpret_cast<sockaddr_in *>(&a)->sin_port;
}

std::string text6(const uint8_t a[16]) {
  char buf[64];
  return plat_inet6_ntoa(a, buf, sizeof(buf));
}

// A connected pair over loopback: `server` is the accepted end, `client`
// the connecting one. The listener is IPv4, dual-stack or IPv6 on ::1.
enum class listener_kind { v4, dual_stack, v6 };
struct tcp_pair {
  plat_socket_handle listener, client, server;
  uint8_t peer[16] = {};
  uint16_t peer_port = 0;
};

void connect_pair(tcp_pair &p, listener_kind kind) {
  uint8_t v6_loopback[16];
  ASSERT_TRUE(plat_inet6_addr("::1", v6_loopback));
  p.listener = kind == listener_kind::v4 ? plat_socket_create_tcp() : plat_socket_create_tcp_ipv6();
  ASSERT_TRUE(p.listener);
  ASSERT_EQ(plat_socket_setopt_reuse_addr(p.listener.get(), 1), 0);
  if (kind == listener_kind::v6) {
    if (plat_socket_bind_ipv6(p.listener.get(), v6_loopback, 0) != 0) GTEST_SKIP() << "no IPv6 loopback here";
  } else {
    ASSERT_EQ(plat_socket_bind(p.listener.get(), kind == listener_kind::v4 ? plat_inet_addr("127.0.0.1") : 0, 0), 0);
  }
  ASSERT_EQ(plat_socket_listen(p.listener.get(), 4), 0);
  const uint16_t port = bound_port(p.listener.get());
  p.client = kind == listener_kind::v6 ? plat_socket_create_tcp_ipv6() : plat_socket_create_tcp();
  ASSERT_TRUE(p.client);
  ASSERT_EQ(kind == listener_kind::v6 ? plat_socket_connect_ipv6(p.client.get(), v6_loopback, port)
                                      : plat_socket_connect(p.client.get(), plat_inet_addr("127.0.0.1"), port),
            0);
  p.server = plat_socket_accept_ipv6(p.listener.get(), p.peer, &p.peer_port, 2000);
  ASSERT_TRUE(p.server);
}

// Exchanges over IPv4 are proven by every process test; here the waits.
TEST(PlatSocket, ReceiveAcceptAndConnectEndInBoundedTime) {
  tcp_pair p;
  ASSERT_NO_FATAL_FAILURE(connect_pair(p, listener_kind::v4));
  char buf[64];
  uint32_t start = plat_systick_get();
  EXPECT_EQ(plat_socket_recv(p.server.get(), buf, sizeof(buf), 50), 0);
  const uint32_t waited = plat_systick_get() - start;
  EXPECT_GE(waited, 45u);
  EXPECT_LT(waited, 1000u);

  start = plat_systick_get();
  EXPECT_FALSE(plat_socket_accept_ipv6(p.listener.get(), nullptr, nullptr, 30));
  EXPECT_LT(plat_systick_get() - start, 1000u);
  const uint16_t closed_port = bound_port(p.listener.get());
  p.listener.reset();
  p.client = plat_socket_create_tcp();
  start = plat_systick_get();
  EXPECT_EQ(plat_socket_connect(p.client.get(), plat_inet_addr("127.0.0.1"), closed_port), -1);
  EXPECT_LT(plat_systick_get() - start, 3500u);
  EXPECT_FALSE(plat_socket_is_connected(p.client.get()));
}

// IPv6 on ::1, and IPv4 peers of a dual-stack listener seen IPv4-mapped.
// is_connected must notice the peer's close without a receive.
TEST(PlatSocket, Ipv6AndDualStackListeners) {
  for (listener_kind kind : {listener_kind::dual_stack, listener_kind::v6}) {
    tcp_pair p;
    ASSERT_NO_FATAL_FAILURE(connect_pair(p, kind));
    if (!p.server) continue;  // skipped: no IPv6 loopback
    EXPECT_EQ(text6(p.peer), kind == listener_kind::v6 ? "::1" : "::ffff:127.0.0.1");
    ASSERT_EQ(plat_socket_send(p.server.get(), "ok", 2), 2);
    char buf[4];
    EXPECT_EQ(plat_socket_recv(p.client.get(), buf, sizeof(buf), 1000), 2);
    p.client.reset();
    uint32_t start = plat_systick_get();
    while (plat_socket_is_connected(p.server.get()) && plat_systick_get() - start < 2000) plat_systick_sleep(1);
    EXPECT_FALSE(plat_socket_is_connected(p.server.get()));
  }
}

// An IPv6 socket reports IPv4 senders by their IPv4 address, and answers reach them.
TEST(PlatSocket, UdpIpv6SocketSeesIpv4Senders) {
  auto a = plat_socket_create_udp();
  const uint32_t loopback = plat_inet_addr("127.0.0.1");
  ASSERT_EQ(plat_socket_bind(a.get(), loopback, 0), 0);
  auto c = plat_socket_create_udp_ipv6();
  ASSERT_EQ(plat_socket_bind(c.get(), 0, 0), 0);
  char buf[16];
  uint32_t from = 0;
  uint16_t from_port = 0;
  ASSERT_EQ(plat_socket_sendto(a.get(), "v6", 2, loopback, bound_port(c.get())), 2);
  ASSERT_EQ(plat_socket_recvfrom(c.get(), buf, sizeof(buf), &from, &from_port, 1000), 2);
  EXPECT_EQ(from, loopback);
  EXPECT_EQ(from_port, bound_port(a.get()));
  ASSERT_EQ(plat_socket_sendto(c.get(), "back", 4, from, from_port), 4);
  EXPECT_EQ(plat_socket_recvfrom(a.get(), buf, sizeof(buf), &from, &from_port, 1000), 4);
}

// A look without a wait still finds a datagram that is there; a thread
// waiting long for one is stopped without waiting its wait out.
TEST(PlatSocket, UdpReceiveLooksOnceWithoutWaitAndEndsWhenItsThreadStops) {
  auto a = plat_socket_create_udp();
  auto b = plat_socket_create_udp();
  uint32_t loopback = plat_inet_addr("127.0.0.1");
  ASSERT_EQ(plat_socket_bind(a.get(), loopback, 0), 0);
  ASSERT_EQ(plat_socket_bind(b.get(), loopback, 0), 0);
  ASSERT_EQ(plat_socket_sendto(a.get(), "late", 4, loopback, bound_port(b.get())), 4);
  char buf[16];
  uint32_t from = 0;
  uint16_t from_port = 0;
  int n = 0;
  for (uint32_t start = plat_systick_get(); n == 0 && plat_systick_get() - start < 1000; plat_systick_sleep(1))
    n = plat_socket_recvfrom(b.get(), buf, sizeof(buf), &from, &from_port, 0);
  EXPECT_EQ(n, 4);

  std::atomic<int> got{-2};
  std::atomic<bool> entered{false};
  plat_thread_handle t = plat_thread_start(
      [&] {
        if (entered.exchange(true)) return;
        got = plat_socket_recvfrom(b.get(), buf, sizeof(buf), &from, &from_port, 10000);
      },
      10, "recv_test");
  for (uint32_t begun = plat_systick_get(); !entered.load() && plat_systick_get() - begun < 1000;) {
    plat_systick_sleep(1);
  }
  ASSERT_TRUE(entered.load());
  const uint32_t start = plat_systick_get();
  plat_close_handle(t);
  EXPECT_LT(plat_systick_get() - start, 1000u);
  EXPECT_EQ(got.load(), 0);
}

TEST(PlatSocket, AddressText) {
  EXPECT_EQ(plat_inet_addr("192.168.1.300"), 0xFFFFFFFFu);
  uint8_t a[16];
  EXPECT_FALSE(plat_inet6_addr("1.2.3.4.5", a));
}

}  // namespace
