// The south RTU serial port: the gateway as Modbus RTU master on a serial
// line. One request at a time: answered from the cache when possible,
// otherwise written to the line in RTU form and answered by the first
// CRC-valid frame the device sends back before the time-out (which counts
// from the last data received).
//
// Threads: the one-shot start thread (opens the line, retrying every 10 s,
// then starts the others), "mbrtu_send_proc" every 10 ms (the only user of
// the line, the receive framer and the read buffer), "update_cache_proc"
// every cache_polling_cycle ms, the tag service's thread (change_state) and
// every thread that offers requests (push_request).
#pragma once

#include <cstdint>
#include <memory>

#include "frame/rtu_framer.h"
#include "platform/tw_conf.h"
#include "route/serial_line.h"
#include "south/south_port_base.h"

struct south_port_rtu_settings {
  int id = 255;
  std::string type = "rtu";
  int timeout = 1000;  // ms; <= 0 is replaced by 1000
  int baudrate = 9600;
  int byte_size = 8;
  int stop_bits = 1;
  int parity = 0;
  int port = 1;
  uint32_t cache_polling_cycle = 5000;
  uint32_t retry_ms = 10000;  // pause between two failed opens of the line
  rtu_frame_end frame_end = rtu_frame_end::silence;  // how an answer ends
};

class south_port_rtu final : public south_port_base, private serial_line_user {
 public:
  // Settings out of range are replaced with a level-4 line (`timeout` <= 0
  // by 1000, `cache_polling_cycle` < 1 by 5000, the line's attributes as
  // serial_params_check() says).
  explicit south_port_rtu(const south_port_rtu_settings &settings);
  ~south_port_rtu() override;

  // serial_port_change_state: 0.0 closes the threads then the line, 1.0
  // reopens it through a new start; anything else does nothing.
  int change_state(tag *t) override;
  // Opens the line on a one-shot thread; returns 0 at once.
  int start(void *a, void *b) override;

  // The receive routine (send thread): n bytes of one read at tick `now`;
  // an answer frame (caller's), or null.
  mb_frame *rx_fsm(const uint8_t *bytes, int n, uint32_t now);

  // How often an idle send thread looks for a line that hung up.
  static constexpr uint32_t idle_check_ms = 1000;

  int id() const { return settings_.id; }
  const std::string &device() const { return line_.device(); }
  tag *get_tag() { return line_.get_tag(); }
  bool line_open() { return line_.is_open(); }
  uint32_t frame_gap() const { return frame_gap_; }
  // The pause after writing `len` bytes, in ms.
  uint32_t transmit_pause(uint32_t len) const;

 private:
  struct checked {};
  south_port_rtu(checked, const south_port_rtu_settings &settings);
  void send_pass() override;
  void serial_line_opened() override;
  void serial_line_closing() override;

  const south_port_rtu_settings settings_;
  const int bits_per_char_;  // data bits + stop bits + 1 start bit (parity not counted)
  const uint32_t frame_gap_;
  rtu_framer framer_;  // send thread only
  serial_line line_;
};

// Creates the port from its SouthPort element (attributes with their
// defaults, then checked as above). The line is not opened here.
std::unique_ptr<south_port_rtu> south_port_rtu_create(tw_conf_node *element);
