// The serial line of a serial port (RTU, ASCII and transparent ports, south
// and north): the device path, the port's status tag, the one-shot start
// thread that opens the line (retrying every 10 s) and the reaction to tag
// writes that close and reopen it.
//
// The port owns one serial_line and implements serial_line_user: the line
// calls it to start the port's threads once the line is open, and to close
// them before the line closes, so that no thread of the port ever uses a
// closed line.
//
// Threads that touch the line: the one-shot start thread (opens it, starts
// the port's threads), the tag service's thread (change_state: closes it or
// launches a start) and the port's own threads (read/write through the
// handle). Starts never overlap: a start that finds another one running, or
// the line already open, ends at once.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "platform/plat_serial.h"
#include "platform/plat_thread.h"
#include "platform/tagbus.h"

struct tw_conf_node;

// What every serial port (south and north, Modbus and transparent) reads
// from its element for its line; each port type's settings extend it.
struct serial_port_settings {
  int id = 255;
  std::string type;
  int port = 1;  // 1-based: device "<prefix><port - 1>", tag "#<word>_COM<port>"
  int baudrate = 9600;
  int byte_size = 8;  // data bits, 5-8
  int stop_bits = 1;  // 1-2
  int parity = 0;     // 0 none, 1 odd, 2 even, 3 mark, 4 space
  uint32_t retry_ms = 10000;  // pause between two failed opens of the line (not configurable)
};

// Reads "id", "type" (`default_type` when absent), "port", "baudrate",
// "byte_size", "stop_bits" and "parity" of a port element into `s`, with
// their defaults; nothing else of `s` changes.
void serial_port_settings_read(tw_conf_node *element, const char *default_type, serial_port_settings *s);

// Values no serial line can have (`baudrate` <= 0, `byte_size` outside 5-8,
// `stop_bits` outside 1-2, `parity` outside 0-4) are replaced by their
// defaults, each with a level-4 line naming `side` and the port type
// ("[south rtu]"), the attribute, the value and the default. Every pause and
// gap a port computes from the result stays small.
void serial_params_check(const char *side, serial_port_settings *s);

// Requests offered to a south serial port while its line is closed are
// refused at once (the caller drops them) rather than held for a line that
// may never come back. The port refuses from the start of a close until its
// threads run again; the first refusal of a closed spell is logged at level
// 4, later ones at level 7. Any thread.
class closed_line_refusal final {
 public:
  explicit closed_line_refusal(bool refusing) : refusing_(refusing) {}
  closed_line_refusal(const closed_line_refusal &) = delete;
  closed_line_refusal &operator=(const closed_line_refusal &) = delete;

  // From the line's transitions (starts a new spell when refusing).
  void set(bool refusing);
  // A port that checks this under the lock guarding its slot never takes a
  // request after a close has set it and looked at the slot.
  bool refusing() const { return refusing_.load(); }
  // Logs one refusal by the south port of type `type`.
  void report(const std::string &type);

 private:
  std::atomic<bool> refusing_;
  std::atomic<bool> logged_{false};  // the current spell has been reported
};

class serial_line_user {
 public:
  virtual ~serial_line_user() = default;
  // On the start thread, after the line opened and the tag was registered:
  // start the port's threads (and log the port's "started" line).
  virtual void serial_line_opened() = 0;
  // Before the line closes (tag written to 0, or the port going away):
  // close every thread of the port that uses the line.
  virtual void serial_line_closing() = 0;
};

struct serial_line_settings {
  int port = 1;  // 1-based port number: device "<prefix><port - 1>", tag number
  int baudrate = 9600;
  int byte_size = 8;
  int stop_bits = 1;
  int parity = 0;
  const char *tag_word = "TRELLIS";  // the tag is "#<tag_word>_COM<port>"
  uint32_t tag_state = 1;            // first value of the tag's state
  uint32_t retry_ms = 10000;         // pause between two failed opens
};

// The line of a port with settings `s` (checked): its tag is
// "#<tag_word>_COM<port>" with first state `tag_state`.
serial_line_settings serial_line_settings_of(const serial_port_settings &s, const char *tag_word, uint32_t tag_state);

class serial_line final {
 public:
  // `user` and `owner` (usually the same port) must outlive the line.
  serial_line(serial_line_user *user, tag_owner *owner, const serial_line_settings &settings);
  // Stops a start in progress and closes the line. The port must have
  // called shutdown() (or closed its threads) before its own members go.
  ~serial_line();
  serial_line(const serial_line &) = delete;
  serial_line &operator=(const serial_line &) = delete;

  // Runs one start on a new one-shot thread; returns 0 at once.
  int start();
  // The reaction to a write of the port's tag (the port's change_state):
  // exactly 0.0 with the line open closes the port's threads then the line;
  // exactly 1.0 with the line closed launches a start (the tag is not
  // registered again); anything else does nothing. Returns 0.
  int change_state(tag *t);
  // For the port's destructor: stops a start in progress, closes the port's
  // threads (serial_line_closing) and the line. Idempotent.
  void shutdown();
  // From a port's own thread, after a read or write on the line failed
  // (adapter unplugged, far end gone) or the line was found hung up while
  // idle: logs once at level 3 (`what` failed, `reason`) and, on a start
  // thread, closes the port's threads and the line, sets the tag to 0 and
  // reopens the line with the start's retry, which sets the tag back to 1.
  // The caller releases its request and ends its pass. Calls while a start
  // is already under way do nothing.
  void fail(const char *what, const std::string &reason);

  // The open line, or null. For the port's own threads: the pointer stays
  // valid while the calling thread runs, because the line is closed only
  // after those threads have been closed.
  plat_serial *handle();
  // Runs fn(handle or null) with the line held open: for threads the port
  // does not own (response callbacks on south port threads).
  void with_line(const std::function<void(plat_serial *)> &fn);
  bool is_open();

  const std::string &device() const { return device_; }
  tag *get_tag() { return &tag_; }
  // True while a start thread is working on opening the line.
  bool starting() const { return starting_.load(); }

 private:
  // Runs start_thread() (after close_first, when set) on a new one-shot
  // thread unless a start is already running.
  void launch_start(bool close_first = false);
  void start_thread();
  void close_line(const char *function);

  serial_line_user *const user_;
  const serial_line_settings settings_;
  const std::string device_;
  tag tag_;

  // Serialises the transitions of the line: a start's "install the line and
  // start the port's threads" against a close's "close the threads and the
  // line". Never taken by the port's worker threads, never held while
  // sleeping.
  std::mutex transition_lock_;

  std::mutex handle_lock_;  // guards serial_h_ (the pointer; I/O runs outside it except in with_line)
  plat_serial_handle serial_h_;

  std::mutex start_lock_;  // guards start_thread_ and the launch decision
  plat_thread_handle start_thread_;
  std::atomic<bool> starting_{false};  // a start thread is running (set by the launcher, cleared by the thread)
  // Failed opens since the line was last open: the start logs the first and
  // every tenth. Start thread only (starts never overlap).
  uint32_t open_failures_ = 0;
};
