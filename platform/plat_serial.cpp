#include "platform/plat_serial.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <mutex>

#include "platform/plat_log.h"
#include "platform/plat_thread.h"

namespace {

// One read waits this long for the first byte.
constexpr int read_wait_ms = 10;
// A write that cannot hand any byte to the driver for this long fails (at
// 300 baud the driver's buffer takes several seconds to drain).
constexpr uint32_t write_stall_limit_ms = 10000;
constexpr uint32_t write_slice_ms = 50;

struct baud_entry {
  int rate;
  speed_t code;
};

constexpr baud_entry baud_table[] = {
    {300, B300},         {600, B600},         {1200, B1200},       {1800, B1800},       {2400, B2400},
    {4800, B4800},       {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},   {576000, B576000},
    {921600, B921600},   {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000}, {2000000, B2000000},
    {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
};

bool baud_code(int rate, speed_t *code) {
  for (const baud_entry &e : baud_table) {
    if (e.rate == rate) {
      *code = e.code;
      return true;
    }
  }
  return false;
}

std::mutex prefix_mutex;  // guards device_prefix()

// Never destroyed: a serial thread still ending during exit may ask for it.
std::string &device_prefix() {
  static auto *prefix = new std::string("/dev/ttyAP");
  return *prefix;
}

}  // namespace

plat_serial::~plat_serial() {
  if (fd_ >= 0) ::close(fd_);
}

namespace {

plat_serial_handle open_failed(std::string *why, std::string reason) {
  PLAT_LOG(7, "serial open: %s", reason.c_str());
  if (why) *why = std::move(reason);
  return nullptr;
}

std::string errno_text(const char *what, const char *device, int err) {
  return std::string(what) + " " + device + ": " + std::strerror(err);
}

}  // namespace

plat_serial_handle plat_serial_open(const char *device, int baudrate, int data_bits, int stop_bits, int parity,
                                    std::string *why) {
  RVON(device, nullptr);
  speed_t speed = 0;
  if (!baud_code(baudrate, &speed))
    return open_failed(why, std::string(device) + ": unsupported baud rate " + std::to_string(baudrate));
  if (data_bits < 5 || data_bits > 8)
    return open_failed(why, std::string(device) + ": unsupported data bits " + std::to_string(data_bits) + " (5-8)");
  if (stop_bits < 1 || stop_bits > 2)
    return open_failed(why, std::string(device) + ": unsupported stop bits " + std::to_string(stop_bits) + " (1-2)");
  if (parity < 0 || parity > 4)
    return open_failed(why, std::string(device) + ": unsupported parity " + std::to_string(parity) +
                                " (0 none, 1 odd, 2 even, 3 mark, 4 space)");

  int fd;
  do {
    fd = ::open(device, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return open_failed(why, errno_text("cannot open", device, errno));
  auto handle = std::make_unique<plat_serial>(fd, device);

  termios tio{};
  if (tcgetattr(fd, &tio) != 0) return open_failed(why, errno_text("not a serial line:", device, errno));
  cfmakeraw(&tio);
  tio.c_cflag &= ~(CSIZE | CSTOPB | PARENB | PARODD | CMSPAR | CRTSCTS);
  tio.c_cflag |= CLOCAL | CREAD;
  static const tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
  tio.c_cflag |= sizes[data_bits - 5];
  if (stop_bits == 2) tio.c_cflag |= CSTOPB;
  switch (parity) {
    case 1: tio.c_cflag |= PARENB | PARODD; break;
    case 2: tio.c_cflag |= PARENB; break;
    case 3: tio.c_cflag |= PARENB | CMSPAR | PARODD; break;
    case 4: tio.c_cflag |= PARENB | CMSPAR; break;
    default: break;
  }
  tio.c_iflag &= ~(IXON | IXOFF | IXANY | INPCK);
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  if (cfsetispeed(&tio, speed) != 0 || cfsetospeed(&tio, speed) != 0)
    return open_failed(why, errno_text("cannot set the baud rate of", device, errno));
  if (tcsetattr(fd, TCSANOW, &tio) != 0) return open_failed(why, errno_text("cannot configure", device, errno));
  tcflush(fd, TCIOFLUSH);
  PLAT_LOG(7, "%s open: %d %d%c%d", device, baudrate, data_bits, "NOEMS"[parity], stop_bits);
  return handle;
}

int plat_serial_read(plat_serial *h, void *buf, size_t size, size_t *out_len) {
  return plat_serial_read_wait(h, buf, size, out_len, read_wait_ms);
}

int plat_serial_read_wait(plat_serial *h, void *buf, size_t size, size_t *out_len, uint32_t wait_ms) {
  if (out_len) *out_len = 0;
  RVON(h, -1);
  RVON(buf, -1);
  RVON(out_len, -1);
  if (size == 0) return 0;
  pollfd p{h->fd_, POLLIN, 0};
  int rc = ::poll(&p, 1, static_cast<int>(std::min<uint32_t>(wait_ms, INT32_MAX)));
  if (rc == 0) return 0;
  if (rc < 0) {
    if (errno == EINTR) return 0;
    h->error_ = std::string("poll failed: ") + std::strerror(errno);
    return -1;
  }
  if (p.revents & POLLNVAL) {
    h->error_ = "line closed";
    return -1;
  }
  ssize_t n = ::read(h->fd_, buf, size);
  if (n > 0) {
    *out_len = static_cast<size_t>(n);
    return 0;
  }
  int err = n < 0 ? errno : 0;
  // A hang-up that still reads nothing is a line that has gone; a readable
  // line that gives nothing (or EAGAIN) is only quiet.
  bool hung_up = (p.revents & (POLLHUP | POLLERR)) != 0;
  if (n < 0 && err != EAGAIN && err != EWOULDBLOCK && err != EINTR) {
    h->error_ = std::string("read failed: ") + std::strerror(err);
    return -1;
  }
  if (hung_up) {
    h->error_ = "line hung up";
    return -1;
  }
  return 0;
}

bool plat_serial_hung_up(plat_serial *h) {
  RVON(h, false);
  pollfd p{h->fd_, 0, 0};  // POLLHUP, POLLERR and POLLNVAL are reported unasked
  if (::poll(&p, 1, 0) <= 0) return false;
  if (p.revents & POLLNVAL) {
    h->error_ = "line closed";
  } else if (p.revents & POLLHUP) {
    h->error_ = "line hung up";
  } else if (p.revents & POLLERR) {
    h->error_ = "line error";
  } else {
    return false;
  }
  return true;
}

int plat_serial_write(plat_serial *h, const void *bytes, size_t n) {
  RVON(h, -1);
  if (n == 0) return 0;
  RVON(bytes, -1);
  const auto *p = static_cast<const uint8_t *>(bytes);
  size_t done = 0;
  uint32_t last_progress = plat_systick_get();
  while (done < n) {
    ssize_t rc = ::write(h->fd_, p + done, n - done);
    if (rc > 0) {
      done += static_cast<size_t>(rc);
      last_progress = plat_systick_get();
      continue;
    }
    if (rc < 0 && errno == EINTR) continue;
    if (rc < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
      h->error_ = std::string("write failed: ") + std::strerror(errno);
      return -1;
    }
    // The driver's buffer is full: wait for room, a slice at a time so that
    // a closing thread is not held up.
    if (plat_systick_get() - last_progress >= write_stall_limit_ms) {
      h->error_ = "write stalled, " + std::to_string(done) + " of " + std::to_string(n) + " bytes written";
      return -1;
    }
    if (plat_thread_wait_for_stop(0)) {
      h->error_ = "stopped";
      return -1;
    }
    pollfd pf{h->fd_, POLLOUT, 0};
    if (::poll(&pf, 1, write_slice_ms) < 0 && errno != EINTR) {
      h->error_ = std::string("poll failed: ") + std::strerror(errno);
      return -1;
    }
  }
  return 0;
}

int plat_serial_purge(plat_serial *h, int rx, int tx) {
  RVON(h, -1);
  int which;
  if (rx && tx) {
    which = TCIOFLUSH;
  } else if (rx) {
    which = TCIFLUSH;
  } else if (tx) {
    which = TCOFLUSH;
  } else {
    return 0;
  }
  if (tcflush(h->fd_, which) != 0) {
    PLAT_LOG(7, "%s: tcflush failed: %s", h->device_.c_str(), std::strerror(errno));
    return -1;
  }
  return 0;
}

std::string plat_serial_device_path(int port) {
  std::scoped_lock lock(prefix_mutex);
  return device_prefix() + std::to_string(port - 1);
}

void plat_serial_set_prefix(const char *prefix) {
  if (!prefix) return;
  std::scoped_lock lock(prefix_mutex);
  device_prefix() = prefix;
}
