// Serial lines over a real pseudo-terminal pair: the test holds the master,
// the line under test is the slave.
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "platform/plat_serial.h"
#include "platform/plat_thread.h"

namespace {

struct pty {
  int master = -1, slave = -1;
  char path[128] = {};
  pty() {
    if (openpty(&master, &slave, path, nullptr, nullptr) != 0) master = slave = -1;
  }
  ~pty() {
    if (master >= 0) close(master);
    if (slave >= 0) close(slave);
  }
};

// Reads until `want` bytes arrived or limit_ms passed.
std::string read_line(plat_serial *h, size_t want, uint32_t limit_ms = 2000) {
  std::string got;
  uint32_t start = plat_systick_get();
  while (got.size() < want && plat_systick_get() - start < limit_ms) {
    char buf[64];
    size_t n = 0;
    if (plat_serial_read(h, buf, sizeof(buf), &n) != 0) break;
    got.append(buf, n);
  }
  return got;
}

// Exchanges over a line are proven by the serial process tests.
TEST(PlatSerial, QuietReadPurgeAndHangUp) {
  pty p;
  ASSERT_GE(p.master, 0);
  auto h = plat_serial_open(p.path, 9600, 8, 1, 0);
  ASSERT_TRUE(h);
  char buf[16];

  // A quiet line gives nothing after a wait of about ten milliseconds.
  size_t n = 99;
  uint32_t start = plat_systick_get();
  EXPECT_EQ(plat_serial_read(h.get(), buf, sizeof(buf), &n), 0);
  const uint32_t waited = plat_systick_get() - start;
  EXPECT_EQ(n, 0u);
  EXPECT_GE(waited, 8u);
  EXPECT_LT(waited, 500u);

  ASSERT_EQ(write(p.master, "stale", 5), 5);
  int pending = 0;
  start = plat_systick_get();
  while (pending < 5 && plat_systick_get() - start < 2000) ioctl(h->fd(), FIONREAD, &pending);
  ASSERT_EQ(pending, 5);
  ASSERT_EQ(plat_serial_purge(h.get(), 1, 1), 0);
  EXPECT_EQ(read_line(h.get(), 1, 100), "");

  close(p.master);  // the other end hangs up
  p.master = -1;
  EXPECT_EQ(plat_serial_read(h.get(), buf, sizeof(buf), &n), -1);
  EXPECT_EQ(n, 0u);
}

TEST(PlatSerial, LineSettingsReachTheDriver) {
  // The pty driver forces CS8 and clears PARENB whatever is asked, so only
  // the stop bits and the odd/mark/space bits can be seen on it.
  pty p;
  struct expected {
    int data_bits, stop_bits, parity;
    tcflag_t set;
  } cases[] = {
      {8, 1, 0, 0}, {7, 2, 1, CSTOPB | PARODD}, {8, 1, 2, 0}, {8, 1, 3, PARODD | CMSPAR}, {5, 1, 4, CMSPAR},
  };
  for (const expected &e : cases) {
    SCOPED_TRACE(e.parity);
    auto h = plat_serial_open(p.path, 19200, e.data_bits, e.stop_bits, e.parity);
    ASSERT_TRUE(h);
    termios t{};
    ASSERT_EQ(tcgetattr(h->fd(), &t), 0);
    EXPECT_EQ(t.c_cflag & (CSTOPB | PARODD | CMSPAR), e.set);
    EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD | CRTSCTS), static_cast<tcflag_t>(CLOCAL | CREAD));
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B19200));
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF | ICRNL), 0u);
  }
}

TEST(PlatSerial, UnsupportedSettingsAndMissingDeviceFail) {
  pty p;
  const struct {
    const char *path;
    int baud, data_bits, stop_bits, parity;
    bool opens;
  } cases[] = {{p.path, 12345, 8, 1, 0, false}, {p.path, 9600, 9, 1, 0, false}, {p.path, 9600, 4, 1, 0, false},
               {p.path, 9600, 8, 3, 0, false},  {p.path, 9600, 8, 1, 5, false}, {"/dev/nonexistent-line", 9600, 8, 1, 0, false},
               {"/dev/null", 9600, 8, 1, 0, false},  // not a tty
               {p.path, 300, 8, 1, 0, true},    {p.path, 4000000, 8, 1, 0, true}};
  for (const auto &c : cases)
    EXPECT_EQ(static_cast<bool>(plat_serial_open(c.path, c.baud, c.data_bits, c.stop_bits, c.parity)), c.opens)
        << c.path << " " << c.baud << " " << c.data_bits << c.stop_bits << c.parity;
}

}  // namespace
