// The north TCP port's client threads against a fake south port that holds
// requests until the test answers them, on loopback: answers go back with
// the master's ids, stale and late answers are dropped without touching
// freed memory. Meant to run under the thread and address sanitizers too.
#include "north/north_port_tcp.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "route/mux.h"

namespace {

using bytes = std::vector<uint8_t>;

// Takes every request and keeps it until the test answers it, the way a
// south port holds its pending slot.
class fake_south final : public south_port {
 public:
  int push_request(mb_frame *frame) override {
    std::scoped_lock g(lock_);
    held_.push_back(frame);
    ++taken_;
    return 0;
  }
  int start(void *, void *) override { return 0; }

  size_t taken() {
    std::scoped_lock g(lock_);
    return taken_;
  }
  // Answers the i-th held request as a south port does, from another thread.
  void answer(size_t i, const bytes &answer) {
    mb_frame *f;
    {
      std::scoped_lock g(lock_);
      f = held_[i];
      held_[i] = nullptr;
    }
    std::thread t([f, answer] {
      mb_frame_add_ref(f);
      frame_renewal(f, answer.data(), static_cast<int>(answer.size()));
      do_call_back(f);
      mb_frame_release(f);
    });
    t.join();
  }
  ~fake_south() override {
    for (mb_frame *f : held_)
      if (f) mb_frame_release(f);
  }

 private:
  std::mutex lock_;  // guards held_ and taken_
  std::deque<mb_frame *> held_;
  size_t taken_ = 0;
};

template <class Pred>
bool wait_until(Pred p, int ms = 3000) {
  for (int i = 0; i < ms / 5; ++i) {
    if (p()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return p();
}

int free_tcp_port() {
  int s = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a);
  socklen_t len = sizeof a;
  ::getsockname(s, reinterpret_cast<sockaddr *>(&a), &len);
  ::close(s);
  return ntohs(a.sin_port);
}

class master final {
 public:
  explicit master(int port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (int i = 0; i < 200; ++i) {
      if (::connect(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ADD_FAILURE() << "cannot connect";
  }
  ~master() { close(); }
  master(const master &) = delete;
  master &operator=(const master &) = delete;
  void close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  void send(const bytes &b) { ASSERT_EQ(::send(fd_, b.data(), b.size(), MSG_NOSIGNAL), static_cast<ssize_t>(b.size())); }
  // Whatever arrives within `ms`.
  bytes receive(int ms) {
    bytes out;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 10) > 0) {
        uint8_t buf[512];
        ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
        if (n <= 0) break;
        out.insert(out.end(), buf, buf + n);
      }
    }
    return out;
  }

 private:
  int fd_ = -1;
};

class NorthPortTcp : public ::testing::Test {
 protected:
  void SetUp() override {
    m_ = mux_create();
    any_item_.south_port = 1;
    table_.item_any = &any_item_;
    ASSERT_EQ(mux_register_southport(m_, 1, &south_, 1), 0);
  }
  void TearDown() override {
    port_.reset();
    delete m_;
  }

  // A port with one "*" rule leading to the fake south port.
  void start_port() {
    port_ = std::make_unique<north_port_tcp>();
    port_->mux = m_;
    tcp_port_ = free_tcp_port();
    port_->tcp_port = tcp_port_;
    port_->max_conn = 4;
    port_->idle_time = 0;
    port_->time_interval = 0;
    port_->north_list_size = 4;
    auto *npt = new northport_table();
    npt->ip_type = IP_ANY;
    npt->ip = "*";
    npt->table = &table_;
    northport_rules_add(&port_->rules, npt);
    ASSERT_EQ(port_->start(), 0);
  }

  bool client_count_is(int n) {
    std::scoped_lock g(port_->lock);
    return static_cast<int>(port_->clients.size()) == n;
  }

  mux *m_ = nullptr;
  item any_item_;
  table table_;
  fake_south south_;
  std::unique_ptr<north_port_tcp> port_;
  int tcp_port_ = 0;
};

TEST_F(NorthPortTcp, StaleAnswerIsDroppedOnceANewerRequestWasHandedOver) {
  start_port();
  master mb(tcp_port_);
  mb.send({0x00, 0x01, 0x00, 0x00, 0x00, 0x06, 0x01, 0x03, 0x00, 0x00, 0x00, 0x01});
  ASSERT_TRUE(wait_until([&] { return south_.taken() == 1; }));
  mb.send({0x00, 0x02, 0x00, 0x00, 0x00, 0x06, 0x01, 0x03, 0x00, 0x01, 0x00, 0x01});
  ASSERT_TRUE(wait_until([&] { return south_.taken() == 2; }));
  south_.answer(0, {0x01, 0x03, 0x02, 0x00, 0x01});
  south_.answer(1, {0x01, 0x03, 0x02, 0x00, 0x02});
  const bytes rsp = mb.receive(300);
  EXPECT_EQ(rsp, (bytes{0x00, 0x02, 0x00, 0x00, 0x00, 0x05, 0x01, 0x03, 0x02, 0x00, 0x02}));
}

TEST_F(NorthPortTcp, AnswerForARemovedClientTouchesNothingFreed) {
  start_port();
  {
    master mb(tcp_port_);
    mb.send({0x00, 0x09, 0x00, 0x00, 0x00, 0x06, 0x01, 0x03, 0x00, 0x00, 0x00, 0x01});
    ASSERT_TRUE(wait_until([&] { return south_.taken() == 1; }));
    ASSERT_TRUE(client_count_is(1));
  }
  // The master is gone: the client is closed and swept while the south
  // side still holds its request.
  ASSERT_TRUE(wait_until([&] { return client_count_is(0); }, 5000));
  south_.answer(0, {0x01, 0x03, 0x02, 0x00, 0x01});
  // The port goes on serving.
  master next(tcp_port_);
  next.send({0x00, 0x0A, 0x00, 0x00, 0x00, 0x06, 0x01, 0x03, 0x00, 0x00, 0x00, 0x01});
  ASSERT_TRUE(wait_until([&] { return south_.taken() == 2; }));
  south_.answer(1, {0x01, 0x03, 0x02, 0x00, 0x07});
  EXPECT_EQ(next.receive(300), (bytes{0x00, 0x0A, 0x00, 0x00, 0x00, 0x05, 0x01, 0x03, 0x02, 0x00, 0x07}));
}

}  // namespace
