// Serial lines over termios.
//
// The line is put in raw mode (no echo, no line discipline, no flow
// control). Parity codes: 0 none, 1 odd, 2 even, 3 mark, 4 space.
// Modem and RS-485 ioctls are optional (pseudo-terminals refuse them).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

class plat_serial final {
 public:
  explicit plat_serial(int fd, std::string device) : fd_(fd), device_(std::move(device)) {}
  ~plat_serial();
  plat_serial(const plat_serial &) = delete;
  plat_serial &operator=(const plat_serial &) = delete;
  int fd() const { return fd_; }
  const std::string &device() const { return device_; }
  // Why the last read or write failed ("line hung up", an errno text).
  // Only the thread doing the I/O writes and reads it.
  const std::string &last_error() const { return error_; }

  int fd_;
  std::string device_;
  std::string error_;
};

using plat_serial_handle = std::unique_ptr<plat_serial>;

// Failures are reported, not logged: callers that retry decide how often a
// failure is worth a line.

// Opens and configures the line. Null on failure, with the reason in
// `*why` when given (device missing, not a serial line, unsupported baud
// rate, data bits 5-8 only, stop bits 1-2 only, parity code above 4).
plat_serial_handle plat_serial_open(const char *device, int baudrate, int data_bits, int stop_bits, int parity,
                                    std::string *why = nullptr);

// Waits at most 10 ms for data. Returns 0 and writes the count (0 when the
// line was quiet) to `*out_len`; returns -1 when the line failed (hang-up,
// device gone), with *out_len 0 and the reason in h->last_error().
int plat_serial_read(plat_serial *h, void *buf, size_t size, size_t *out_len);
// The same with a wait of `wait_ms` for the first byte: for a thread whose
// only work is what arrives on the line (a slave listening for requests),
// so that a quiet line costs a wake-up per wait, not one per 10 ms.
int plat_serial_read_wait(plat_serial *h, void *buf, size_t size, size_t *out_len, uint32_t wait_ms);

// Writes all bytes. 0 on success, -1 on failure (reason in h->last_error()).
int plat_serial_write(plat_serial *h, const void *bytes, size_t n);

// True when the line has hung up or failed without anyone reading it (an
// adapter unplugged, the far end of a pseudo-terminal closed); the reason
// goes to h->last_error(). Does not wait.
bool plat_serial_hung_up(plat_serial *h);

// Drops pending input (rx != 0) and/or output (tx != 0).
int plat_serial_purge(plat_serial *h, int rx, int tx);

inline void plat_close_handle(plat_serial_handle &h) { h.reset(); }

// Device path for a configured port number: "<prefix><port - 1>", where the
// prefix is "/dev/ttyAP" unless the command line replaced it.
std::string plat_serial_device_path(int port);
void plat_serial_set_prefix(const char *prefix);
