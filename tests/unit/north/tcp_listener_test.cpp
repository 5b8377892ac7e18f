#include "north/tcp_listener.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <sstream>
#include <string>
#include <vector>

#include "north/north_test_util.h"
#include "platform/plat_log.h"
#include "platform/plat_socket.h"
#include "platform/plat_thread.h"

#if defined(__SANITIZE_ADDRESS__)
#define TRELLIS_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TRELLIS_ASAN 1
#endif
#endif

namespace {

// Log lines at exactly `level` ("<date> <time> <level> ...").
std::vector<std::string> at_level(const std::string &log, int level) {
  std::vector<std::string> out;
  std::istringstream in(log);
  for (std::string line; std::getline(in, line);) {
    std::istringstream fields(line);
    std::string date, time, lvl;
    if (fields >> date >> time >> lvl && lvl == std::to_string(level)) out.push_back(line);
  }
  return out;
}

int connect_to(uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof(a)) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}


// Accept failing for want of descriptors is retried with a growing pause and
// reported once; a busy port at bind is proven end to end by the process tests.
TEST(TcpListener, AcceptOutOfDescriptorsBacksOffAndRecovers) {
#ifdef TRELLIS_ASAN
  // AddressSanitizer's own runtime needs descriptors while every one is
  // taken; the plain and thread-sanitizer builds run this.
  GTEST_SKIP();
#endif
  plat_log_set_level(5);
  const uint16_t port = north_test::free_tcp_port();
  tcp_listener l;
  ASSERT_TRUE(l.ensure_listening(port, 4, 7, "tcp"));
  const int client = connect_to(port);
  ASSERT_GE(client, 0);

  testing::internal::CaptureStderr();
  // Every descriptor taken (under a small limit, so that this is quick):
  // the queued connection cannot be accepted.
  rlimit old{};
  getrlimit(RLIMIT_NOFILE, &old);
  rlimit low = old;
  low.rlim_cur = 256;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
  std::vector<int> hog;
  for (int fd; (fd = ::dup(0)) >= 0;) hog.push_back(fd);

  uint8_t peer[16] = {};
  uint16_t peer_port = 0;
  // On a thread of the platform layer, as the server pass runs.
  std::atomic<int> calls{0};
  std::atomic<int> accepted{0};
  std::atomic<bool> done{false};
  plat_thread_handle server = plat_thread_start_oneshot_thread([&] {
    const uint32_t start = plat_systick_get();
    while (plat_systick_get() - start < 1500) {
      if (l.accept(peer, &peer_port, 50, "tcp")) ++accepted;
      ++calls;
    }
    done = true;
  });
  ASSERT_TRUE(north_test::wait_until([&] { return done.load(); }, 5000));
  server.reset();
  for (int fd : hog) ::close(fd);
  setrlimit(RLIMIT_NOFILE, &old);

  // 100, 200, 400, 800 ms apart: a handful of tries, not one per poll.
  EXPECT_LE(calls.load(), 6);
  EXPECT_GE(calls.load(), 3);
  EXPECT_EQ(accepted.load(), 0);
  plat_socket_handle conn;
  EXPECT_TRUE(north_test::wait_until([&] { return (conn = l.accept(peer, &peer_port, 50, "tcp")) != nullptr; }));
  const std::string log = testing::internal::GetCapturedStderr();
  const std::vector<std::string> errors = at_level(log, 3);
  ASSERT_EQ(errors.size(), 1u) << log;  // the first failure; the tenth never came
  EXPECT_NE(errors[0].find("accept failed: Too many open files"), std::string::npos) << log;
  EXPECT_NE(log.find("accepting again after"), std::string::npos) << log;
  ::close(client);
}

}  // namespace
