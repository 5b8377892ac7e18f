// The north serial transparent port: raw bytes between an upstream master
// or device on a local serial line and a south transparent port, without
// Modbus parsing.
//
// What arrives on the line is cut into blocks by silence (time_interval),
// queued on the port's north send list and offered to the mux with the
// routing table of the port's last north-port table. The answer (answer
// mode) comes back through on_rsp_callback; blocks that a bound south port
// broadcasts (listen and transparent mode) come through north_port_send_all.
// Both are written to the line, each followed by its transmit pause and the
// time interval, which spaces successive writes.
//
// Every north-port table of the element is bound for broadcasts (to the
// south port of its routing table's "*" item); the last one is used for
// pushing.
//
// Threads: the one-shot start thread (opens the line, retrying every 10 s),
// "mb rtu_proc" (reads the line and queues blocks, offering each at once),
// "mb send_proc" (offers what is queued; sleeps until woken), the south
// ports' threads (answers and broadcasts) and the tag service's thread
// (change_state). The port lives until the process ends: the frames it
// makes refer to it.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "frame/mb_frame.h"
#include "frame/rtu_framer.h"
#include "north/north_send_list.h"
#include "platform/plat_thread.h"
#include "route/northport_table.h"
#include "route/port.h"
#include "route/serial_line.h"

struct mux;
struct tw_conf_node;

namespace north_serial_transparent {

struct settings : serial_port_settings {
  settings() { type = "rtu"; }  // shown in messages, passed to table creation
  int north_list_size = 1;
  int time_interval = 50;  // ms of silence that ends a block; pause after each write
};

class port final : public north_port, private serial_line_user {
 public:
  // Settings out of range are replaced with a level-4 line.
  port(const settings &s, struct mux *m);
  ~port() override;
  port(const port &) = delete;
  port &operator=(const port &) = delete;

  // Opens the line on a one-shot thread; returns 0.
  int start() override;
  // serial_port_change_state: 0.0 closes the threads and the line, 1.0
  // reopens it. Returns 0.
  int change_state(tag *t) override;

  // Takes a created north-port table: bound for broadcasts and, being the
  // latest, used for pushing. Main thread, before start.
  void add_table(northport_table *npt);
  table *push_table() const { return table_; }

  // Receive thread: the `n` bytes of one read at tick `now`. A completed
  // block becomes a request frame (the caller's reference), or null.
  mb_frame *rx_fsm(const uint8_t *bytes, int n, uint32_t now);
  // Writes `len` bytes to the line, sleeps the transmit pause and the time
  // interval. False when the line is closed or the write failed. Serialised
  // with every other write of the port.
  bool write_line(const uint8_t *bytes, uint32_t len);
  uint32_t transmit_pause(uint32_t len) const;

  const settings &config() const { return settings_; }
  const std::string &device() const { return line_.device(); }
  tag *get_tag() { return line_.get_tag(); }
  bool line_open() { return line_.is_open(); }
  bool threads_running();
  size_t queued() const { return send_list_.size(); }

 private:
  struct checked {};
  port(checked, const settings &s, struct mux *m);

  void serial_line_opened() override;
  void serial_line_closing() override;
  void close_threads();
  void receive_pass();
  void send_pass();
  int offer(mb_frame *frame);

  const settings settings_;
  struct mux *const mux_;
  const int bits_per_char_;  // data bits + stop bits + 1 start bit
  std::vector<std::unique_ptr<northport_table>> tables_;  // every table made from the element
  table *table_ = nullptr;  // the routing table requests are pushed with (the last one's)

  north_send_list send_list_;
  // Serialises writes to the line (answers and broadcasts come on the south
  // ports' threads), each with its pauses.
  std::mutex write_lock_;
  // Guards the two thread handles; threads are joined outside it.
  std::mutex thread_lock_;
  plat_thread_handle receive_thread_;
  plat_thread_handle send_thread_;

  // Receive thread only.
  rtu_framer framer_;
  uint8_t read_buf_[4096] = {};

  serial_line line_;  // last: closed (with the threads) before the members above go
};

// The response callback of every frame the port makes: writes the answer
// to the line and releases the frame (also when the line is closed).
int on_rsp_callback(mb_frame *frame, void *ctx, uint8_t req_id, uint16_t tid, uint16_t pid);
// The port's broadcast entry, registered with the mux: writes the frame to
// the line; the frame stays with the caller. 1 when the line is closed.
int north_port_send_all(north_port *np, mb_frame *frame, uint32_t south_port_id, int mode);

// Null when the element has no "Table" child (nothing is registered then).
std::unique_ptr<port> north_port_serial_transparent_create(tw_conf_node *element, struct mux *m);

}  // namespace north_serial_transparent

using north_serial_transparent::north_port_serial_transparent_create;
