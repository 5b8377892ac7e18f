// The local tag service: named data points of the gateway.
//
// Tags live in this process and are served on a local UNIX stream socket
// (mode 0600). One command per line:
//   list               every tag as "NAME VALUE QUALITY", then "OK"
//   stats              one line per port ("PORT <direction> <type> <id> name=value ..."), then "OK"
//   read NAME          through on_read_tag: "NAME VALUE QUALITY SECONDS.MICROS", then "OK"
//   write NAME VALUE   through on_write_tag, then "OK"
// Errors are answered "ERR <reason>".
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

struct tag;

// Anything that owns a tag and reacts to writes of it (the serial ports).
class tag_owner {
 public:
  virtual ~tag_owner() = default;
  // Called on the tag service's thread after a write stored the new value.
  virtual int change_state(tag *t) = 0;
};

// The status tag of one serial port. The owner fills name, value, quality,
// owner and state; handle comes from tagbus_add. value and state are written
// by the owner's threads and the tag service's thread, quality by the
// owner's start thread while the service lists it: all atomic.
struct tag {
  char name[100] = {};
  uint32_t handle = 0;
  std::atomic<double> value{0.0};
  std::atomic<uint16_t> quality{0};
  tag_owner *owner = nullptr;
  std::atomic<uint32_t> state{0};
};

// Filled by on_read_tag, one per tag.
struct tag_value {
  double value;
  uint16_t quality;
  uint64_t seconds;
  uint32_t microseconds;
};

using tagbus_read_cb = int (*)(void *ctx, tag **tags, tag_value *values, uint32_t count);
using tagbus_write_cb = int (*)(void *ctx, tag **tags, const double *values, uint32_t count);

// Appends the statistics lines (each ending in a newline) for "stats".
using tagbus_stats_cb = void (*)(void *ctx, std::string *out);

struct tag_callbacks {
  uint32_t size;
  tagbus_read_cb on_read_tag;
  tagbus_write_cb on_write_tag;
  uint32_t reserved;
  tagbus_stats_cb on_stats = nullptr;  // null: "stats" answers with OK only
};

// Starts the service on the socket path (plat_process_tag_socket_path(), or
// "/run/trellis/<program>.tags"). `serial_num` sizes the tag table.
// 0 on success.
int tagbus_init(uint32_t serial_num, const tag_callbacks *callbacks, void *ctx);
// Registers a tag; returns its handle (non-zero), or 0 on failure (a name
// that is empty, unterminated or holds a blank). The same tag again gets its
// handle back; another tag under a registered name replaces the older one.
// Any thread; may be called before tagbus_init.
uint32_t tagbus_add(tag *t);
// Forgets a tag whose owner is going away (ports destroyed before the
// process ends, as in tests). Waits for a command being served to finish;
// afterwards the service no longer touches the tag. Must not be called from
// inside a tag callback or change_state.
void tagbus_remove(tag *t);
// Stops the service (at exit).
void tagbus_uninit();

// Client side: sends one command line to the tag socket at `path` and
// collects the answer up to and including its final "OK" or "ERR ..." line
// into *answer. 0 for OK, 1 for ERR, a negative errno when the socket
// cannot be reached or the answer does not come within 5 s.
int tagbus_command(const char *path, const char *command, std::string *answer);

// The service's handling of one client's bytes without a socket (tests and
// fuzzing): lines cut and executed as for a connected client, against the
// registered tags, through `callbacks`. Returns what that client would be
// sent. Independent of tagbus_init.
std::string tagbus_serve_bytes(std::string_view bytes, const tag_callbacks *callbacks, void *ctx);
