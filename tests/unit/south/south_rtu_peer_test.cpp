// The port against a real RTU implementation: pymodbus's serial RTU server
// (tests/peers/rtu_device.py) on the other end of a socat pty pair.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/plat_serial.h"
#include "south/south_port_rtu.h"
#include "south/south_test_util.h"

extern char **environ;

namespace {

using namespace south_test;

// A child process, stopped (SIGTERM, then SIGKILL) and reaped when the
// handle goes. With `capture`, its stdout comes through a pipe.
class child final {
 public:
  child(const std::vector<std::string> &argv, bool capture) {
    std::vector<char *> args;
    for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    int fds[2] = {-1, -1};
    if (capture && pipe2(fds, O_CLOEXEC) == 0) {
      posix_spawn_file_actions_adddup2(&fa, fds[1], STDOUT_FILENO);
      out_ = fds[0];
    }
    posix_spawn_file_actions_addopen(&fa, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    if (posix_spawn(&pid_, args[0], &fa, nullptr, args.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&fa);
    if (fds[1] >= 0) close(fds[1]);
  }
  ~child() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      for (int i = 0; i < 300 && waitpid(pid_, nullptr, WNOHANG) == 0; ++i) usleep(10000);
      if (kill(pid_, 0) == 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
      }
    }
    if (out_ >= 0) close(out_);
  }
  child(const child &) = delete;
  child &operator=(const child &) = delete;

  bool running() const { return pid_ > 0; }
  // Reads stdout until a line equal to `line` arrives; false after `ms`.
  bool wait_line(const std::string &line, int ms) {
    const auto until = steady::now() + std::chrono::milliseconds(ms);
    while (steady::now() < until) {
      size_t nl;
      while ((nl = buffer_.find('\n')) != std::string::npos) {
        std::string got = buffer_.substr(0, nl);
        buffer_.erase(0, nl + 1);
        lines_.push_back(got);
        if (got == line) return true;
      }
      pollfd p{out_, POLLIN, 0};
      if (poll(&p, 1, 20) > 0) {
        char buf[256];
        ssize_t n = read(out_, buf, sizeof buf);
        if (n <= 0) return false;
        buffer_.append(buf, static_cast<size_t>(n));
      }
    }
    return false;
  }
  const std::vector<std::string> &lines() const { return lines_; }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  std::string buffer_;
  std::vector<std::string> lines_;
};

std::string repo_root() {
  std::string here = __FILE__;
  return here.substr(0, here.rfind("/tests/unit/south/"));
}

TEST(SouthRtuPeerTest, ReadsHoldingRegistersFromPymodbusSerialServer) {
  const std::string python = "/usr/bin/python3";
  const std::string socat = "/usr/bin/socat";
  if (access(python.c_str(), X_OK) != 0 || access(socat.c_str(), X_OK) != 0) GTEST_SKIP() << "python3 or socat missing";

  char tmpl[] = "/tmp/trellis-peer-XXXXXX";
  const std::string dir = mkdtemp(tmpl);
  const std::string prefix = dir + "/ttyR";
  {
    child pair({socat, "pty,raw,echo=0,link=" + prefix + "0", "pty,raw,echo=0,link=" + dir + "/dev"}, false);
    ASSERT_TRUE(pair.running());
    ASSERT_TRUE(wait_until([&] { return std::filesystem::exists(prefix + "0") && std::filesystem::exists(dir + "/dev"); },
                           5000));
    child device({python, repo_root() + "/tests/peers/rtu_device.py", "--port", dir + "/dev", "--unit", "1"}, true);
    ASSERT_TRUE(device.wait_line("ready", 15000)) << "the pymodbus device did not start";

    plat_serial_set_prefix(prefix.c_str());
    south_port_rtu_settings s;
    s.timeout = 1000;
    auto port = std::make_unique<south_port_rtu>(s);
    reply_box box;
    port->start(nullptr, nullptr);
    ASSERT_TRUE(wait_until([&] { return port->line_open() && port->threads_running(); }, 3000));

    ASSERT_EQ(port->push_request(request(box, read_req(1, 3, 0, 10))), 0);
    ASSERT_TRUE(box.wait_freed(1, 5000));
    ASSERT_EQ(box.answer_count(), 1u);
    bytes expected = {0x01, 0x03, 20};
    for (uint8_t i = 0; i < 10; ++i) {
      expected.push_back(0);
      expected.push_back(static_cast<uint8_t>(100 + i));
    }
    EXPECT_EQ(box.answers[0], expected);
    EXPECT_TRUE(device.wait_line("read 3 0 10", 2000));

    // A unit id the device does not serve: no answer, released at the time-out.
    ASSERT_EQ(port->push_request(request(box, read_req(2, 3, 0, 1))), 0);
    ASSERT_TRUE(box.wait_freed(2, 5000));
    EXPECT_EQ(box.answer_count(), 1u);
    port.reset();
  }
  std::filesystem::remove_all(dir);
}

}  // namespace
