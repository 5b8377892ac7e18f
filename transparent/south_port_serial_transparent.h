// The south serial transparent port: raw bytes between the gateway and one
// device on a serial line, or a local datagram bridge in its place. No
// Modbus parsing: what the device sends is cut into blocks by silence on
// the line (the bridge's replies are blocks already).
//
// Modes (who gets what the device says):
// - listen: no requests are taken; every block goes to every north port
//   bound to this south port (mux_send_to_northport).
// - answer: one request at a time, written and then waiting for its answer;
//   the next block goes to that request's owner only; a block that finds no
//   written request waiting is dropped.
// - transparent: one request at a time, released once written; every block
//   is broadcast as in listen mode.
//
// The single slot: a request taken by push_request is pending; the send
// thread writes it (state `written`, during the transmit pause) and then,
// in answer mode, starts its time-out clock (state `sent`). The time-out
// counts from the last byte received. A freed slot wakes the oldest thread
// refused while it was taken (refused_offers).
//
// Threads: the one-shot start thread (opens the line or creates the bridge
// socket, retrying every 10 s), "mbrtu_send_proc" (not in listen mode:
// writes the pending request; sleeps until push_request wakes it) and
// "mbserial_receive_proc" (reads the line or the bridge socket, times the
// pending request out, delivers or broadcasts blocks), the tag service's
// thread (change_state) and every thread that offers requests.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "frame/mb_frame.h"
#include "frame/rtu_framer.h"
#include "platform/plat_socket.h"
#include "platform/plat_thread.h"
#include "route/port.h"
#include "route/refused_offers.h"
#include "route/serial_line.h"

struct mux;
struct tw_conf_node;

namespace south_serial_transparent {

constexpr int LISTEN_MODE = 0;
constexpr int ANSWER_MODE = 1;
constexpr int TRANSPARENT_MODE = 2;

// The mode of a `transmission_mode` text: "listen_mode" 0, "answer_mode"
// 1, "transparent_mode" 2; anything else is reported at level 3 and gives
// listen mode, the one that writes nothing to the line.
int mode_from_text(const char *text);

// The bridge frame: a 16-byte header of four little-endian 32-bit words
// (magic, seq_no, buf_len, port_number) and buf_len payload bytes.
constexpr uint32_t BRIDGE_MAGIC = 0x99991234;
constexpr size_t BRIDGE_HEADER_SIZE = 16;
// The longest request datagram: the largest UDP payload over IPv4 (65535
// less the IP and UDP headers). A longer one could never be sent, and a
// failed send would take the bridge socket with it.
constexpr size_t BRIDGE_DATAGRAM_MAX = 65507;
constexpr size_t BRIDGE_PAYLOAD_MAX = BRIDGE_DATAGRAM_MAX - BRIDGE_HEADER_SIZE;  // 65491
constexpr size_t BRIDGE_BUF_SIZE = 65536;  // each of the port's two bridge buffers
constexpr uint16_t BRIDGE_UDP_PORT = 9999;

// The reply checks' result codes (0: the reply fits the request).
constexpr int BRIDGE_BAD_MAGIC = 342;
constexpr int BRIDGE_BAD_LEN = 351;
constexpr int BRIDGE_BAD_SEQ = 360;
constexpr int BRIDGE_BAD_PORT = 369;

struct bridge_header {
  uint32_t magic = BRIDGE_MAGIC;
  uint32_t seq_no = 0;
  uint32_t buf_len = 0;
  uint32_t port_number = 0;
};

// seq_no of a request sent at `tick` with the process-wide sequence byte
// `sequence`: the tick shifted left by 8 bits (its top byte lost) plus it.
uint32_t bridge_seq_no(uint32_t tick, uint8_t sequence);
// The process-wide sequence byte: returns the current value and moves it
// on (255 wraps to 0). Shared by every port of this type; any thread.
uint8_t bridge_next_sequence();
// Writes the 16 header bytes. REQUIRES: out has 16 bytes.
void bridge_header_encode(const bridge_header &h, uint8_t *out);
// Reads a header. REQUIRES: in has 16 bytes.
bridge_header bridge_header_decode(const uint8_t *in);
// Checks a reply datagram of `size` bytes (>= 16) against the header of the
// request last sent: every check runs and logs its level-3 line; the result
// is the code of the last that failed, or 0.
int bridge_reply_check(const uint8_t *datagram, size_t size, const bridge_header &last);

struct settings : serial_port_settings {
  settings() { type = "rtu"; }  // stored only
  int timeout = 1000;      // ms; <= 0 is replaced by 1000
  int time_interval = 50;  // ms of silence that ends a block; the bridge reply wait
  int mode = TRANSPARENT_MODE;
  bool bridge_mode = false;
  int cache_polling_cycle = 5000;              // stored only
  uint16_t bridge_udp_port = BRIDGE_UDP_PORT;  // where the bridge listens on 127.0.0.1 (tests move it)
};

class port final : public south_port, private serial_line_user {
 public:
  // Settings out of range are replaced with a level-4 line.
  port(const settings &s, struct mux *m);
  ~port() override;
  port(const port &) = delete;
  port &operator=(const port &) = delete;

  // -1 in listen mode or while the line is closed (not taken), 1 while a
  // request is pending (the caller keeps the frame; a platform thread is
  // woken when its turn comes), 0 taken (the slot owns the caller's
  // reference). Any thread.
  int push_request(mb_frame *frame) override;
  // serial_port_change_state: closes or reopens the line; ignored in bridge
  // mode. Returns 0.
  int change_state(tag *t) override;
  // Opens the line (or creates the bridge socket) on a one-shot thread.
  int start(void *a, void *b) override;
  int get_mode() override { return settings_.mode; }

  // Receive thread: the `n` bytes of one read at tick `now` through the
  // silence framer. A completed block (valid until the next call), or an
  // empty one.
  struct block {
    const uint8_t *data = nullptr;
    uint32_t len = 0;
  };
  block rx_fsm(const uint8_t *bytes, int n, uint32_t now);

  // The pause after writing `len` bytes: len * (data + stop + start bits)
  // * 1000 / baudrate ms, parity not counted.
  uint32_t transmit_pause(uint32_t len) const;

  const settings &config() const { return settings_; }
  const std::string &device() const { return line_.device(); }
  tag *get_tag() { return line_.get_tag(); }
  bool line_open() { return line_.is_open(); }
  bool bridge_ready();
  bool threads_running();
  // The frame in the slot, or null.
  mb_frame *pending_request();

 private:
  struct checked {};
  port(checked, const settings &s, struct mux *m);

  enum class slot_state { empty, pending, written, sent };

  void serial_line_opened() override;
  void serial_line_closing() override;
  void start_threads();
  void close_threads();
  void bridge_start_thread();

  void send_pass();
  void receive_pass();
  // Send thread: writes `len` bytes of the request to the line. False when
  // the write failed (the request is released and the line reopened).
  bool serial_send(uint64_t seq, const uint8_t *payload, uint32_t len);
  // Send thread: wraps and sends the request to the bridge. False when it
  // was not sent (the request is released).
  bool bridge_send(uint64_t seq, const uint8_t *payload, uint32_t len);
  // Receive thread: one datagram from the bridge, checked; the payload
  // block or an empty one.
  block bridge_receive();
  // Receive thread: what the device said goes where the mode says.
  void handle_block(const block &b);

  // Empties the slot if it still holds request number `seq` and wakes the
  // oldest refused thread. Returns the request (the caller releases the
  // slot's reference) or null. REQUIRES: lock_ held.
  mb_frame *free_slot_locked(uint64_t seq);
  // Releases request number `seq` without an answer, if still pending.
  void release_pending(uint64_t seq, const char *why);

  const settings settings_;
  struct mux *const mux_;
  const int bits_per_char_;  // data bits + stop bits + 1 start bit

  // Guards the slot (pending_, state_, seq_, refused_), the frame's sent
  // flag and tick while it is in the slot, and the two thread handles.
  // Threads are joined outside it.
  std::mutex lock_;
  mb_frame *pending_ = nullptr;  // owns one reference
  slot_state state_ = slot_state::empty;
  uint64_t seq_ = 0;  // numbers the requests taken, so a late look at the slot finds its own
  uint32_t accepted_at_ = 0;  // tick when the slot's request was taken
  refused_offers refused_;
  plat_thread_handle send_thread_;
  plat_thread_handle receive_thread_;
  // Serial mode: refusing while the line is closed (checked under lock_).
  closed_line_refusal refusal_;

  // Receive thread only.
  rtu_framer framer_;
  uint8_t read_buf_[4096] = {};
  uint32_t framer_epoch_ = 0;
  // Bumped by the send thread before each answer-mode write: the receive
  // thread then drops what it gathered before (nothing from before the
  // request may be taken for its answer).
  std::atomic<uint32_t> write_epoch_{0};

  // Bridge mode. The socket is made once; a failed send drops it for good.
  // Guards bridge_sock_ (the pointer: each user copies it and does its I/O
  // outside the lock) and last_header_.
  std::mutex bridge_lock_;
  std::shared_ptr<plat_socket> bridge_sock_;
  bool have_last_header_ = false;  // no reply is taken before a request went out
  bridge_header last_header_;
  std::vector<uint8_t> bridge_tx_;  // send thread only
  std::vector<uint8_t> bridge_rx_;  // receive thread only
  std::mutex bridge_start_lock_;    // guards bridge_start_
  plat_thread_handle bridge_start_;

  serial_line line_;  // last: closed (with the threads) before the members above go
};

// Creates the port from its SouthPort element (attributes with their
// defaults, then checked). Nothing is opened here.
std::unique_ptr<port> south_port_serial_transparent_create(tw_conf_node *element, struct mux *m);

}  // namespace south_serial_transparent

using south_serial_transparent::south_port_serial_transparent_create;
