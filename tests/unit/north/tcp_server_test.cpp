// The client bookkeeping every north TCP server shares, with a bare client
// record: where admitted clients go in each list order, which one the
// policies take, the sweep, and a client the full list refuses.
#include "north/tcp_server.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <memory>
#include <mutex>
#include <vector>

namespace {

struct bare_client {
  client_activity activity;
  uint8_t peer_addr[16] = {};
  std::shared_ptr<plat_socket> sock;
  int name = 0;
  bool destroyed = false;
  std::shared_ptr<plat_socket> socket() const { return sock; }
};

class TcpServer : public ::testing::Test {
 protected:
  tcp_client_list<bare_client> list(client_list_order order, size_t capacity = SIZE_MAX) {
    return {lock_, clients_, num_, order, capacity, stats_};
  }
  tcp_server_hooks<bare_client> hooks() {
    tcp_server_hooks<bare_client> h;
    h.create = [this](std::shared_ptr<plat_socket> conn) {
      auto c = std::make_shared<bare_client>();
      c->sock = std::move(conn);
      c->name = ++made_;
      return c;
    };
    h.destroy = [this](bare_client *c) {
      c->destroyed = true;
      destroyed_.push_back(c->name);
    };
    h.admitted = [](int32_t) {};
    h.removed = [](int32_t) {};
    return h;
  }
  // A new connection arriving (its far end kept open).
  void arrive(const tcp_client_list<bare_client> &l, int32_t max_conn, int32_t method) {
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    far_.push_back(std::make_unique<plat_socket>(fds[1]));
    const uint8_t addr[16] = {};
    tcp_server_take_connection(l, hooks(), max_conn, method, std::make_unique<plat_socket>(fds[0]), addr);
  }
  std::vector<int> names() {
    std::vector<int> n;
    for (const auto &c : clients_) n.push_back(c->name);
    return n;
  }

  std::mutex lock_;
  std::vector<std::shared_ptr<bare_client>> clients_;
  int32_t num_ = 0;
  port_stats stats_;
  int made_ = 0;
  std::vector<int> destroyed_;
  std::vector<std::unique_ptr<plat_socket>> far_;
};

TEST_F(TcpServer, DropOldestTakesTheEarliestAdmittedInEitherOrder) {
  for (client_list_order order : {client_list_order::oldest_first, client_list_order::newest_first}) {
    clients_.clear();
    num_ = 0;
    made_ = 0;
    destroyed_.clear();
    const auto l = list(order);
    for (int i = 0; i < 4; ++i) arrive(l, 3, MAX_CONN_DROP_OLDEST);
    EXPECT_EQ(destroyed_, (std::vector<int>{1}));
    EXPECT_EQ(names(), order == client_list_order::oldest_first ? (std::vector<int>{2, 3, 4})
                                                                 : (std::vector<int>{4, 3, 2}));
    EXPECT_EQ(num_, 3);
  }
  EXPECT_EQ(stats_.clients.load(), 6u);
}

TEST_F(TcpServer, EquallyLazyClientsLoseTheFirstInListOrder) {
  const auto l = list(client_list_order::oldest_first);
  arrive(l, 2, MAX_CONN_DROP_MOST_LAZY);
  arrive(l, 2, MAX_CONN_DROP_MOST_LAZY);
  clients_[0]->activity.blank_count = 4;
  clients_[1]->activity.blank_count = 4;
  arrive(l, 2, MAX_CONN_DROP_MOST_LAZY);
  EXPECT_EQ(destroyed_, (std::vector<int>{1}));
  clients_[0]->activity.blank_count = 1;  // client 2 talked lately
  clients_[1]->activity.blank_count = 3;
  arrive(l, 2, MAX_CONN_DROP_MOST_LAZY);
  EXPECT_EQ(destroyed_, (std::vector<int>{1, 3}));
  EXPECT_EQ(names(), (std::vector<int>{2, 4}));
}

TEST_F(TcpServer, ClosedClientsAreSweptBeforeAPolicyRuns) {
  const auto l = list(client_list_order::oldest_first);
  arrive(l, 2, MAX_CONN_REJECT);
  arrive(l, 2, MAX_CONN_REJECT);
  clients_[0]->sock.reset();  // closed by its receive pass
  arrive(l, 2, MAX_CONN_REJECT);
  EXPECT_EQ(names(), (std::vector<int>{2, 3}));
  EXPECT_EQ(stats_.refused.load(), 0u);
  arrive(l, 2, MAX_CONN_REJECT);
  EXPECT_EQ(names(), (std::vector<int>{2, 3}));
  EXPECT_EQ(stats_.refused.load(), 1u);
  // The peer of client 3 goes: the sweep of any pass removes it.
  far_[2].reset();
  tcp_server_sweep(l, hooks());
  EXPECT_EQ(names(), (std::vector<int>{2}));
  EXPECT_EQ(num_, 1);
  EXPECT_EQ(stats_.clients.load(), 1u);
}

TEST_F(TcpServer, AClientTheFullListRefusesIsDestroyedAtOnce) {
  // An unknown policy admits beyond the limit; the list holds no more.
  const auto l = list(client_list_order::oldest_first, 1);
  arrive(l, 1, MAX_CONN_METHOD_UNKNOWN);
  arrive(l, 1, MAX_CONN_METHOD_UNKNOWN);
  EXPECT_EQ(names(), (std::vector<int>{1}));
  EXPECT_EQ(destroyed_, (std::vector<int>{2}));
  EXPECT_EQ(num_, 1);
  EXPECT_EQ(stats_.refused.load(), 1u);
}

}  // namespace
