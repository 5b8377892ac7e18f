// What the north serial Modbus ports (RTU and ASCII) share: the gateway as a
// Modbus slave on one serial line toward an upstream master.
//
// Requests cut from the line by the port type's receive machine go through
// the port's north send list to the mux, routed with the port's one
// north-port table (a line has no client address). Answers come back on a
// south port's thread, are converted to the port's wire form with the
// request's unit id and written to the line, followed by a pause of
// `interval` ms. The line, its tag "#TRELLIS_COM<n>" and its close and
// reopen through tag writes are the serial line's.
//
// Answers and requests are matched: each request taken gets a number, and
// only the answer to the newest one is written. A master that gave up on a
// request and sent another never reads the first one's answer as the
// second's.
//
// Threads: the one-shot start thread (opens the line, then starts the
// others); the receive thread (the only reader of the line and the only
// producer of the send list); the send thread ("mb send_proc", the
// consumer, asleep until woken); south port threads (answers); the tag
// service's thread (change_state).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "frame/mb_frame.h"
#include "north/north_send_list.h"
#include "platform/plat_thread.h"
#include "route/northport_table.h"
#include "route/port.h"
#include "route/serial_line.h"

struct mux;
struct tw_conf_node;

struct north_serial_settings : serial_port_settings {
  int north_list_size = 1;
  uint8_t cache = 1;       // given to every request frame
  uint8_t exceptions = 0;  // "exceptions" exactly "true": unroutable and unanswered requests get exception answers
};

// The attributes of a NorthPort element, with their defaults (`type`
// defaulting to `default_type`).
north_serial_settings north_serial_settings_read(tw_conf_node *element, const char *default_type);

// What differs between the port types' threads and log lines.
struct north_serial_texts {
  const char *rx_thread;  // the receive thread's name
  const char *rx_dump;    // "NORTH RTU <-"
  const char *tx_dump;    // "NORTH RTU ->"
  const char *no_table;   // the element has no "Table" child
  const char *bad_table;  // a "Table" child made no north-port table
};

class north_port_serial : public north_port, private serial_line_user {
 public:
  ~north_port_serial() override;
  north_port_serial(const north_port_serial &) = delete;
  north_port_serial &operator=(const north_port_serial &) = delete;

  // Opens the line on a one-shot thread; 0 at once.
  int start() override;
  // serial_port_change_state: 0.0 closes the threads then the line, 1.0
  // reopens it (the tag is not registered again); anything else nothing.
  int change_state(tag *t) override;

  // Reads the element's "Table" children: the last one that makes a
  // north-port table routes every request. False (with the port type's
  // level-4 line) when there is no "Table" child.
  bool read_tables(tw_conf_node *element, mux *m);
  // Routes with `npt` (owned from now on); for ports built without an element.
  void set_table(northport_table *npt);

  // The response to a request of this port (on a south port's thread):
  // `seq` is the number the request was given. Releases the frame. 0, or 1
  // when the line is closed.
  int on_response(mb_frame *frame, uint8_t req_id, uint16_t seq);

  int id() const { return settings_.id; }
  const std::string &type() const { return settings_.type; }
  const std::string &device() const { return line_.device(); }
  tag *get_tag() { return line_.get_tag(); }
  bool line_open() { return line_.is_open(); }
  bool threads_running();
  uint32_t interval() const { return interval_; }
  size_t queued() const { return send_list_.size(); }

 protected:
  // Settings out of range are replaced with a level-4 line (the line's
  // attributes as serial_params_check() says, `north_list_size` < 1 by 1).
  // `texts` must outlive the port.
  north_port_serial(const north_serial_settings &settings, const north_serial_texts &texts, mux *m);

  // Closes the threads and the line. The derived port's destructor calls
  // it first: the receive pass uses the derived port's machine.
  void shutdown() { line_.shutdown(); }

  // Receive thread: how long this pass's read may wait for data.
  virtual uint32_t rx_wait(uint32_t now) = 0;
  // Receive thread: the n bytes of one read at tick `now` (n may be 0); a
  // request frame made with make_request(), or null.
  virtual mb_frame *rx_feed(const uint8_t *bytes, int n, uint32_t now) = 0;
  // Answering thread, under the response lock: the answer's wire form.
  virtual const uint8_t *convert_answer(mb_frame *frame, uint32_t *len) = 0;
  // With the receive thread closed (the line is closing): forgets whatever
  // the receive machine has gathered.
  virtual void rx_reset() = 0;

  // Receive thread: a request frame for the bytes of one request (unit id
  // first, no checksum), numbered as the newest request taken.
  mb_frame *make_request(const uint8_t *data, uint32_t len);

 private:
  struct checked {};
  north_port_serial(checked, const north_serial_settings &settings, const north_serial_texts &texts, mux *m);
  void serial_line_opened() override;
  void serial_line_closing() override;
  // The receive pass (mbserial_proc) and the send pass (send_proc).
  void mbserial_proc();
  void send_proc();
  // Offers one request to the mux: the mux's result.
  int offer(mb_frame *frame);

  const north_serial_settings settings_;
  const north_serial_texts &texts_;
  mux *const mux_;
  const uint32_t interval_;  // the silence that ends an RTU request, and the pause after each answer
  std::unique_ptr<northport_table> npt_;  // set before start, read-only afterwards
  north_send_list send_list_;

  // Guards the writing of an answer and the pause after it: one answer on
  // the line at a time, each followed by its pause.
  std::mutex lock_;
  uint16_t next_seq_ = 0;              // receive thread only
  std::atomic<uint16_t> taken_seq_{0};  // the newest request's number (written by the receive thread)

  uint8_t read_buf_[512] = {};  // receive thread only; the machines gather across reads

  std::mutex threads_lock_;  // guards the two handles (the line's transitions start and close them)
  plat_thread_handle rx_thread_;
  plat_thread_handle send_thread_;

  serial_line line_;
};
