// The port against a real RTU implementation: pymodbus's serial RTU server
// (tests/peers/rtu_device.py) on the other end of a socat pty pair.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "platform/plat_serial.h"
#include "south/south_port_rtu.h"
#include "south/south_test_util.h"

extern char **environ;

namespace {

using namespace south_test;

// A child process with its standard output in a file; killed and reaped
// when the handle goes.
class child final {
 public:
  child(std::vector<std::string> argv, const std::string &out) {
    std::vector<char *> args;
    for (auto &a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, STDOUT_FILENO, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&fa, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    if (posix_spawn(&pid_, args[0], &fa, nullptr, args.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&fa);
  }
  ~child() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  child(const child &) = delete;
  child &operator=(const child &) = delete;

 private:
  pid_t pid_ = -1;
};

bool has_line(const std::string &file, const std::string &line) {
  std::ifstream in(file);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return ("\n" + text).find("\n" + line + "\n") != std::string::npos;
}

TEST(SouthRtuPeerTest, ReadsHoldingRegistersFromPymodbusSerialServer) {
  const std::string root = std::string(__FILE__).substr(0, std::string(__FILE__).rfind("/tests/unit/south/"));
  if (access("/usr/bin/python3", X_OK) != 0 || access("/usr/bin/socat", X_OK) != 0) GTEST_SKIP() << "no python3/socat";
  pty_pair tmp;  // for its private directory
  const std::string prefix = tmp.dir + "/ttyR", dev = tmp.dir + "/dev", out = tmp.dir + "/device.out";
  child pair({"/usr/bin/socat", "pty,raw,echo=0,link=" + prefix + "0", "pty,raw,echo=0,link=" + dev}, "/dev/null");
  ASSERT_TRUE(wait_until([&] { return std::filesystem::exists(prefix + "0") && std::filesystem::exists(dev); }, 5000));
  child device({"/usr/bin/python3", root + "/tests/peers/rtu_device.py", "--port", dev, "--unit", "1"}, out);
  ASSERT_TRUE(wait_until([&] { return has_line(out, "ready"); }, 15000)) << "the pymodbus device did not start";

  plat_serial_set_prefix(prefix.c_str());
  reply_box box;
  auto port = std::make_unique<south_port_rtu>(south_port_rtu_settings{});
  port->start(nullptr, nullptr);
  ASSERT_TRUE(wait_until([&] { return port->line_open() && port->threads_running(); }, 3000));
  ASSERT_EQ(port->push_request(request(box, read_req(1, 3, 0, 10))), 0);
  ASSERT_TRUE(box.wait_freed(1, 5000));
  ASSERT_EQ(box.answer_count(), 1u);
  bytes expected = {0x01, 0x03, 20};
  for (uint8_t i = 0; i < 10; ++i) expected.insert(expected.end(), {0, static_cast<uint8_t>(100 + i)});
  EXPECT_EQ(box.answers[0], expected);
  EXPECT_TRUE(wait_until([&] { return has_line(out, "read 3 0 10"); }, 2000));

  // A unit id the device does not serve: no answer, released at the time-out.
  ASSERT_EQ(port->push_request(request(box, read_req(2, 3, 0, 1))), 0);
  ASSERT_TRUE(box.wait_freed(2, 5000));
  EXPECT_EQ(box.answer_count(), 1u);
}

}  // namespace
