// What the TCP and UDP transparent south ports share: raw bytes between the
// gateway and one network endpoint, without Modbus parsing, with a send
// list and a wait list instead of a single slot.
//
// Modes (as the serial transparent port's):
// - listen: no requests are taken (-1); every block the endpoint sends goes
//   to every north port bound to this south port.
// - answer: requests are sent in the order taken and wait for their answers
//   in the wait list; each block received answers the oldest waiting
//   request, strictly in order of sending; a block with none waiting is
//   dropped.
// - transparent: requests are released once sent; every block is broadcast
//   as in listen mode.
//
// Lists: the send list holds requests taken and not yet sent; the wait list
// (answer mode) those sent and not yet answered, oldest first. Both have the
// capacity `south_list_size`; push_request refuses (1) while either is full
// or the port is not open (no connection, no socket). Each entry holds one
// reference to its frame. A request that finds the wait list full when its
// turn to be sent comes is dropped unsent. A waiting request that gets no
// data within `timeout` ms (counted from the last data received) is
// released without an answer.
//
// Hand-over: the send thread sleeps until push_request wakes it and paces
// requests by `time_interval` ms. A thread whose offer was refused is woken
// when room appears (an entry leaves a list, the port opens), oldest
// refusal first (refused_offers).
//
// Threads: the derived port's own (connection manager, socket), its receive
// thread (which calls the receive helpers below) and the send thread
// started here, plus every thread that offers requests.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "frame/mb_frame.h"
#include "platform/plat_thread.h"
#include "route/port.h"
#include "route/refused_offers.h"
#include "transparent/south_port_serial_transparent.h"

struct mux;
struct tw_conf_node;

namespace south_net_transparent {

using south_serial_transparent::ANSWER_MODE;
using south_serial_transparent::LISTEN_MODE;
using south_serial_transparent::TRANSPARENT_MODE;

struct settings {
  int id = 255;
  std::string type = "tcp";  // the %s of "[south %s]" lines
  int timeout = 1000;        // ms a sent request waits for data; <= 0 is replaced by 1000
  int time_interval = 50;    // ms between two requests sent
  int mode = TRANSPARENT_MODE;
  int south_list_size = 1;  // capacity of the send list and of the wait list
};

class port_base : public south_port {
 public:
  ~port_base() override;
  port_base(const port_base &) = delete;
  port_base &operator=(const port_base &) = delete;

  // 1 while the port is not open (level 7), -1 in listen mode (level 5), 1
  // while either list is full (the calling platform thread is woken when
  // room appears), 0 taken: the send list holds the caller's reference and
  // the send thread is woken. Any thread.
  int push_request(mb_frame *frame) override;
  int get_mode() override { return settings_.mode; }

  const settings &config() const { return settings_; }
  size_t queued();   // requests in the send list
  size_t waiting();  // requests in the wait list
  bool threads_running();

 protected:
  // `proto` names the transport in the send thread's trace ("tcp", "udp").
  // `timeout_warning` is the level-4 line for a timeout of 0 or less.
  port_base(const settings &s, struct mux *m, const char *proto, const char *timeout_warning);

  // Whether push_request takes requests. Opening wakes as many refused
  // threads as there is room for.
  void set_open(bool open);

  // Starts the receive thread (`receive_body`, every 10 ms, named
  // `receive_name`) and, unless `send_name` is null, the send thread. Threads
  // of an earlier start are closed first.
  void start_threads(const char *send_name, const char *receive_name, std::function<void()> receive_body);
  // Closes both threads. Not from either of them.
  void close_threads();

  // Send thread: sends `len` bytes as one request (and logs them); false
  // when nothing went out.
  virtual bool transmit(const uint8_t *bytes, uint32_t len) = 0;

  // Receive thread helpers, in the order a receive pass uses them:
  // how long the next receive may wait (until the oldest waiting request
  // falls due, at most an idle bound);
  uint32_t receive_wait_ms();
  // releases the waiting requests whose time is up, oldest first;
  void expire_waiting();
  // restarts the oldest waiting request's clock (data came);
  void data_arrived();
  // a block of `len` bytes from the endpoint, dumped under `title`: the
  // answer to the oldest waiting request (answer mode), else broadcast.
  void handle_block(const uint8_t *bytes, uint32_t len, const char *title);

  // With both threads closed: releases every queued and waiting request
  // (they belonged to a connection that is gone), counted as dropped.
  void release_all();

  // The receive buffer: one transparent frame's worth, made once.
  uint8_t *rx_buf() { return rx_buf_.data(); }
  size_t rx_buf_size() const { return rx_buf_.size(); }

  struct mux *mux_ptr() const { return mux_; }

 private:
  struct entry {
    mb_frame *frame;       // one reference
    uint32_t accepted_at;  // tick when push_request took it
  };

  void send_pass();
  // Room for requests: capacity less the fuller list. REQUIRES: lock_ held.
  size_t free_places_locked() const;
  // Wakes one refused thread per place freed since `free_before`.
  // REQUIRES: lock_ held.
  void room_appeared_locked(size_t free_before);
  // Takes request `f` out of the wait list if it is still there; the
  // list's reference goes to the caller (true) or stays unowned (false).
  bool take_waiting(const mb_frame *f);

  const settings settings_;
  struct mux *const mux_;
  const char *const proto_;

  // Guards open_, both lists, the refused threads, the frames' sent flag and
  // tick while they are in the wait list, and the two thread handles.
  // Threads are joined outside it; no I/O and no callback runs under it.
  std::mutex lock_;
  bool open_ = false;
  std::deque<entry> send_list_;
  std::deque<entry> wait_list_;
  refused_offers refused_;
  plat_thread_handle send_thread_;
  plat_thread_handle receive_thread_;

  std::vector<uint8_t> rx_buf_;  // receive thread only
};

// The attributes both port types read from their SouthPort element: id,
// type, timeout, transmission_mode (`default_mode` when absent; an
// unrecognised text gives listen mode, level 3), time_interval and
// south_list_size. The caller reads host and port.
settings read_common(tw_conf_node *element, const char *default_mode);

}  // namespace south_net_transparent
