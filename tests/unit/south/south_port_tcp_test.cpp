#include "south/south_port_tcp.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <fstream>

#include "platform/plat_log.h"
#include "south/south_test_util.h"

namespace {

using namespace south_test;

size_t count_of(const std::string &text, const std::string &what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// Threads of this process with the given name.
int threads_named(const std::string &name) {
  int n = 0;
  for (const auto &task : std::filesystem::directory_iterator("/proc/self/task")) {
    std::ifstream comm(task.path() / "comm");
    std::string got;
    if (std::getline(comm, got) && got == name) ++n;
  }
  return n;
}

bytes mbap(uint16_t tid, uint16_t pid, const bytes &pdu) {
  bytes b(6 + pdu.size());
  b[0] = static_cast<uint8_t>(tid >> 8);
  b[1] = static_cast<uint8_t>(tid);
  b[2] = static_cast<uint8_t>(pid >> 8);
  b[3] = static_cast<uint8_t>(pid);
  b[4] = static_cast<uint8_t>(pdu.size() >> 8);
  b[5] = static_cast<uint8_t>(pdu.size());
  std::copy(pdu.begin(), pdu.end(), b.begin() + 6);
  return b;
}

// The field device, played by the test on a loopback TCP listener: collects
// each request (ended by 5 ms of silence), records it and plays the script
// its handler returns. stop() closes the listener and the connection, like a
// device switched off; start() listens again on the same port.
class tcp_device final {
 public:
  using script = fake_device::script;
  using handler_fn = std::function<script(const bytes &request)>;

  explicit tcp_device(bool ipv6) : ipv6_(ipv6) { start(); }
  ~tcp_device() { stop(); }
  tcp_device(const tcp_device &) = delete;
  tcp_device &operator=(const tcp_device &) = delete;

  void start() {
    listener_ = socket(ipv6_ ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_storage a{};
    if (ipv6_) {
      auto *a6 = reinterpret_cast<sockaddr_in6 *>(&a);
      a6->sin6_family = AF_INET6;
      a6->sin6_addr = in6addr_loopback;
      a6->sin6_port = htons(port_);
    } else {
      auto *a4 = reinterpret_cast<sockaddr_in *>(&a);
      a4->sin_family = AF_INET;
      a4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      a4->sin_port = htons(port_);
    }
    socklen_t len = sizeof a;
    if (bind(listener_, reinterpret_cast<sockaddr *>(&a), len) != 0 || listen(listener_, 4) != 0) return;
    getsockname(listener_, reinterpret_cast<sockaddr *>(&a), &len);
    port_ = ntohs(ipv6_ ? reinterpret_cast<sockaddr_in6 *>(&a)->sin6_port : reinterpret_cast<sockaddr_in *>(&a)->sin_port);
    stop_ = false;
    thread_ = std::thread([this] { run(); });
  }
  void stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (listener_ >= 0) close(listener_);
    listener_ = -1;
  }

  uint16_t port() const { return port_; }
  void set_handler(handler_fn h) {
    std::scoped_lock lock(m_);
    handler_ = std::move(h);
  }
  std::vector<bytes> seen() {
    std::scoped_lock lock(m_);
    return seen_;
  }
  int accepted() {
    std::scoped_lock lock(m_);
    return accepted_;
  }

 private:
  void run() {
    int conn = -1;
    bytes cur;
    while (!stop_) {
      pollfd p[2] = {{listener_, POLLIN, 0}, {conn, POLLIN, 0}};
      if (poll(p, conn >= 0 ? 2 : 1, 5) > 0) {
        if (p[0].revents & POLLIN) {
          if (conn >= 0) close(conn);
          conn = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
          std::scoped_lock lock(m_);
          ++accepted_;
          continue;
        }
        uint8_t buf[1024];
        ssize_t n = read(conn, buf, sizeof buf);
        if (n > 0) {
          cur.insert(cur.end(), buf, buf + n);
        } else {
          close(conn);
          conn = -1;
        }
        continue;
      }
      if (cur.empty() || conn < 0) continue;
      handler_fn h;
      {
        std::scoped_lock lock(m_);
        seen_.push_back(cur);
        h = handler_;
      }
      for (const auto &step : h ? h(cur) : script{}) {
        std::this_thread::sleep_for(std::chrono::milliseconds(step.delay_ms));
        if (step.data.empty()) {  // an empty step hangs up
          close(conn);
          conn = -1;
          break;
        }
        ssize_t w = write(conn, step.data.data(), step.data.size());
        (void)w;
      }
      cur.clear();
    }
    if (conn >= 0) close(conn);
  }

  const bool ipv6_;
  uint16_t port_ = 0;
  int listener_ = -1;
  std::atomic<bool> stop_{false};
  std::mutex m_;  // guards handler_, seen_, accepted_
  handler_fn handler_;
  std::vector<bytes> seen_;
  int accepted_ = 0;
  std::thread thread_;
};

// Answers every MBAP request with `pdu`, echoing its transaction id.
tcp_device::handler_fn mbap_echo(bytes pdu, uint16_t pid = 0) {
  return [pdu, pid](const bytes &req) {
    return tcp_device::script{{0, mbap(static_cast<uint16_t>(req[0] << 8 | req[1]), pid, pdu)}};
  };
}

class SouthTcpTest : public ::testing::Test {
 protected:
  void SetUp() override { plat_log_set_level(5); }
  void TearDown() override { port_.reset(); }

  void make_port(tcp_device &dev, const char *host = "127.0.0.1", bool rtu = false, int timeout = 300) {
    south_port_tcp_settings s;
    s.host = host;
    s.tcp_port = dev.port();
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

  reply_box box_;
  std::unique_ptr<south_port_tcp> port_;
};

TEST_F(SouthTcpTest, TransactionIdsCountFromZeroAndAnswersReachTheOwner) {
  tcp_device dev(false);
  dev.set_handler(mbap_echo(answer(7, 3, 4, 0x10)));
  make_port(dev);
  for (int i = 0; i < 4; ++i) offer(request(box_, read_req(7, 3, 0x10, 2)));
  ASSERT_TRUE(box_.wait_freed(4, 3000));
  const auto seen = dev.seen();
  ASSERT_EQ(seen.size(), 4u);
  for (uint16_t i = 0; i < 4; ++i) EXPECT_EQ(seen[i], mbap(i, 0, read_req(7, 3, 0x10, 2))) << "request " << i;
  std::scoped_lock lock(box_.m);
  ASSERT_EQ(box_.answers.size(), 4u);
  EXPECT_EQ(box_.answers[3], answer(7, 3, 4, 0x10));
}

TEST_F(SouthTcpTest, AnswerWithProtocolIdOneIsNeverDeliveredAndTheNextAnswerIs) {
  tcp_device dev(false);
  dev.set_handler(mbap_echo(answer(1, 3, 2), 1));
  make_port(dev, "127.0.0.1", false, 200);
  testing::internal::CaptureStderr();
  offer(request(box_, read_req(1, 3, 0, 1)));
  ASSERT_TRUE(box_.wait_freed(1, 3000));
  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_EQ(box_.answer_count(), 0u);
  EXPECT_NE(log.find("Communication timed out"), std::string::npos) << log;

  dev.set_handler(mbap_echo(answer(1, 3, 2)));
  offer(request(box_, read_req(1, 3, 0, 1)));
  ASSERT_TRUE(box_.wait_freed(2, 3000));
  EXPECT_EQ(box_.answer_count(), 1u);
}

TEST_F(SouthTcpTest, AnswerSplitAcrossSegmentsIsDeliveredOnceAndTheTimeOutCountsFromTheLastData) {
  tcp_device dev(false);
  // Cut inside the transaction id, inside the length and inside the data;
  // 60 ms apart, together longer than the 150 ms time-out.
  dev.set_handler([](const bytes &req) {
    const bytes a = mbap(static_cast<uint16_t>(req[0] << 8 | req[1]), 0, answer(1, 4, 6, 0x20));
    return tcp_device::script{{0, bytes(a.begin(), a.begin() + 1)},
                              {60, bytes(a.begin() + 1, a.begin() + 5)},
                              {60, bytes(a.begin() + 5, a.begin() + 10)},
                              {60, bytes(a.begin() + 10, a.end())}};
  });
  make_port(dev, "127.0.0.1", false, 150);
  offer(request(box_, read_req(1, 4, 0, 3)));
  ASSERT_TRUE(box_.wait_freed(1, 3000));
  std::scoped_lock lock(box_.m);
  ASSERT_EQ(box_.answers.size(), 1u);
  EXPECT_EQ(box_.answers[0], answer(1, 4, 6, 0x20));
}

TEST_F(SouthTcpTest, RtuOverTcpSendsCrcAndCutsTheAnswerBySilence) {
  tcp_device dev(false);
  dev.set_handler([](const bytes &) {
    return tcp_device::script{{0, with_crc(answer(2, 3, 2, 0x55))}};
  });
  make_port(dev, "127.0.0.1", true);
  offer(request(box_, read_req(2, 3, 1, 1)));
  ASSERT_TRUE(box_.wait_freed(1, 3000));
  EXPECT_EQ(dev.seen().at(0), with_crc(read_req(2, 3, 1, 1)));
  {
    std::scoped_lock lock(box_.m);
    ASSERT_EQ(box_.answers.size(), 1u);
    EXPECT_EQ(box_.answers[0], answer(2, 3, 2, 0x55));
  }

  // A bad CRC is reported and not delivered; the exchange waits on.
  bytes bad = with_crc(answer(2, 3, 2));
  bad.back() ^= 0xFF;
  dev.set_handler([bad](const bytes &) { return tcp_device::script{{0, bad}}; });
  testing::internal::CaptureStderr();
  offer(request(box_, read_req(2, 3, 1, 1)));
  ASSERT_TRUE(box_.wait_freed(2, 3000));
  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_EQ(box_.answer_count(), 1u);
  EXPECT_NE(log.find(":Please check the rtu over tcp communication protocol, CRC checksum fail"), std::string::npos)
      << log;
}

TEST_F(SouthTcpTest, DeviceRestartReconnectsWithOneSendAndOneCacheThread) {
  tcp_device dev(false);
  dev.set_handler(mbap_echo(answer(1, 3, 2)));
  make_port(dev);
  EXPECT_EQ(threads_named("mbtcp_send_proc"), 1);
  EXPECT_EQ(threads_named("update_cache_pr"), 1);

  // The device hangs up in the middle of an exchange: the request is
  // released without an answer and the connection dropped.
  dev.set_handler([](const bytes &) { return tcp_device::script{{0, {}}}; });
  testing::internal::CaptureStderr();
  offer(request(box_, read_req(1, 3, 0, 1)));
  ASSERT_TRUE(box_.wait_freed(1, 3000));
  EXPECT_EQ(box_.answer_count(), 0u);

  dev.stop();
  ASSERT_TRUE(wait_until([&] { return !port_->connected(); }, 3000));
  dev.set_handler(mbap_echo(answer(1, 3, 2)));
  dev.start();
  ASSERT_TRUE(wait_until([&] { return port_->connected() && port_->threads_running(); }, 3000));
  offer(request(box_, read_req(1, 3, 0, 1)));
  ASSERT_TRUE(box_.wait_freed(2, 3000));
  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_EQ(box_.answer_count(), 1u);
  EXPECT_GE(count_of(log, "disconnected."), 1u) << log;
  EXPECT_EQ(threads_named("mbtcp_send_proc"), 1);
  EXPECT_EQ(threads_named("update_cache_pr"), 1);
}

TEST_F(SouthTcpTest, Ipv6DeviceOnLoopback) {
  tcp_device dev(true);
  dev.set_handler(mbap_echo(answer(9, 1, 1, 0x01)));
  make_port(dev, "::1");
  EXPECT_EQ(port_->address_family(), 16);
  offer(request(box_, read_req(9, 1, 0, 8)));
  ASSERT_TRUE(box_.wait_freed(1, 3000));
  EXPECT_EQ(box_.answer_count(), 1u);
}

TEST_F(SouthTcpTest, EveryTenthFailedConnectLogsThePairAndARequestWaitingIsDropped) {
  tcp_device dev(false);
  const uint16_t closed_port = dev.port();
  dev.stop();
  south_port_tcp_settings s;
  s.host = "127.0.0.1";
  s.tcp_port = closed_port;
  port_ = std::make_unique<south_port_tcp>(s);
  ASSERT_EQ(port_->push_request(request(box_, read_req(1, 3, 0, 1))), 0);
  testing::internal::CaptureStderr();
  for (int i = 0; i < 9; ++i) port_->mbtcp_cli_proc();
  EXPECT_EQ(port_->connect_failures(), 9);
  EXPECT_EQ(box_.freed_count(), 1) << "the manager empties the slot when it makes a new socket";
  port_->mbtcp_cli_proc();
  for (int i = 0; i < 10; ++i) port_->mbtcp_cli_proc();
  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_EQ(port_->connect_failures(), 0);
  const std::string where = "ip:[127.0.0.1] port:[" + std::to_string(closed_port) + "]";
  EXPECT_EQ(count_of(log, "[tcp] " + where + " connect fail."), 2u) << log;
  EXPECT_EQ(count_of(log, "[tcp] reconnecting..."), 2u) << log;
  EXPECT_FALSE(port_->threads_running());
}

TEST_F(SouthTcpTest, CreateReadsItsElement) {
  auto create = [](const char *xml) {
    tw_conf_node *doc = tw_conf_open_xml_string(xml, TW_CONF_ARRAY_NAMES);
    uint32_t it = 0;
    tw_conf_node *ports = tw_conf_node_child_query(doc, "SouthPort", nullptr);
    auto p = south_port_tcp_create(tw_conf_node_child_query(ports, nullptr, &it));
    tw_conf_node_close(doc);
    return p;
  };
  testing::internal::CaptureStderr();
  auto p = create(R"(<SouthPort type="tcp"/>)");
  EXPECT_EQ(p->id(), 255);
  EXPECT_EQ(p->host(), "255.255.255.255");
  EXPECT_EQ(p->tcp_port(), 502);
  EXPECT_EQ(p->timeout(), 1000u);
  EXPECT_EQ(p->time_interval(), 50u);
  EXPECT_EQ(p->cache_polling_cycle(), 5000u);
  EXPECT_FALSE(p->rtu_over_tcp());
  EXPECT_EQ(p->address_family(), 4);

  p = create(R"(<SouthPort type="tcp" id="4" host="fe80::1" tcp_port="1502" timeout="0" rtu_over_tcp="true"
                time_interval="20"/>)");
  EXPECT_EQ(p->address_family(), 16);
  EXPECT_EQ(p->timeout(), 1000u);
  EXPECT_TRUE(p->rtu_over_tcp());
  EXPECT_EQ(p->time_interval(), 20u);
  EXPECT_EQ(p->tcp_port(), 1502);
  p = create(R"(<SouthPort type="tcp" rtu_over_tcp="TRUE"/>)");
  EXPECT_FALSE(p->rtu_over_tcp()) << "only the exact text \"true\"";
  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_EQ(count_of(log, " south port tcp timeout has illegaled configuration, system is setting as defaut val : 1000 "),
            1u);
}

}  // namespace
