// What the south serial Modbus ports (RTU and ASCII) share: their settings
// and checks, the serial line with its tag, the transmit-time pause, and the
// send pass (cache, write, wait for the answer, deliver or release). A port
// type supplies its wire form, its receive machine and the words and titles
// of its log lines.
//
// Threads: the one-shot start thread (opens the line, retrying every 10 s,
// then starts the others), the send thread every 10 ms (the only user of the
// line, the receive machine and the read buffer), "update_cache_proc" every
// cache_polling_cycle ms, the tag service's thread (change_state) and every
// thread that offers requests (push_request).
#pragma once

#include <cstdint>
#include <string>

#include "route/serial_line.h"
#include "south/south_port_base.h"

struct tw_conf_node;

struct south_serial_settings : serial_port_settings {
  int timeout = 1000;  // ms; <= 0 is replaced by 1000
  uint32_t cache_polling_cycle = 5000;
};

// The attributes of a SouthPort element, with their defaults (`type`
// defaulting to `default_type`).
south_serial_settings south_serial_settings_read(tw_conf_node *element, const char *default_type);

// What differs in the log lines of two serial port types.
struct south_serial_texts {
  const char *timeout_word;  // "rtu": " south port rtu timeout has illegaled ..."
  const char *send_thread;   // the send thread's name
  int cache_hit_level;
  const char *cache_hit;   // format with the type
  const char *cache_miss;  // format with the type and the phy id
  const char *cache_dump;
  const char *send_dump;
  const char *answer_done;  // format with the type
  const char *answer_dump;
  bool mark_sent_before_lookup;  // the request's clock starts before the cache is asked
  bool started_after_threads;    // "south port serial has been started." once the threads run
};

class south_port_serial : public south_port_base, private serial_line_user {
 public:
  ~south_port_serial() override;

  // serial_port_change_state: 0.0 closes the threads then the line, 1.0
  // reopens it through a new start; anything else does nothing.
  int change_state(tag *t) override;
  // Opens the line on a one-shot thread; returns 0 at once.
  int start(void *a, void *b) override;

  // How often an idle send thread looks for a line that hung up.
  static constexpr uint32_t idle_check_ms = 1000;

  int id() const { return settings_.id; }
  const std::string &device() const { return line_.device(); }
  tag *get_tag() { return line_.get_tag(); }
  bool line_open() { return line_.is_open(); }
  // The pause after writing `len` bytes (or characters), in ms.
  uint32_t transmit_pause(uint32_t len) const;

 protected:
  // Settings out of range are replaced with a level-4 line (`timeout` <= 0
  // by 1000, `cache_polling_cycle` < 1 by 5000, the line's attributes as
  // serial_params_check() says). `texts` must outlive the port.
  south_port_serial(const south_serial_settings &settings, const south_serial_texts &texts);

  int bits_per_char() const { return bits_per_char_; }
  const south_serial_settings &settings() const { return settings_; }
  // Closes the threads and the line. The derived port's destructor calls
  // it first: the send pass uses the derived port's receive machine.
  void shutdown() { line_.shutdown(); }

  // Send thread: the request's wire form in its tx_buf, or null when it
  // does not fit (logged by the conversion).
  virtual const uint8_t *convert_request(mb_frame *req, uint32_t *len) = 0;
  // Send thread: forgets whatever the receive machine has gathered.
  virtual void rx_reset() = 0;
  // Send thread: the n bytes of one read; an answer frame (caller's) or null.
  virtual mb_frame *rx_feed(const uint8_t *bytes, int n) = 0;

 private:
  struct checked {};
  south_port_serial(checked, const south_serial_settings &settings, const south_serial_texts &texts);
  void send_pass() override;
  void serial_line_opened() override;
  void serial_line_closing() override;

  const south_serial_settings settings_;
  const south_serial_texts &texts_;
  const int bits_per_char_;  // data bits + stop bits + 1 start bit (parity not counted)
  serial_line line_;
};
