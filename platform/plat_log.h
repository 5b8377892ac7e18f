// Process-wide logging.
//
// Levels: 3 errors, 4 warnings and protocol faults, 5 notable events,
// 6 traffic (hex dumps), 7 traces. A line is formatted only when the
// process level is at least the line's level, so a disabled trace costs one
// integer comparison. Lines go to stderr as
//   YYYY-MM-DD HH:MM:SS.mmm <level> <module>:<line> <function>: <message>
// Any thread may log; each line is written with one write() call.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

enum plat_log_level : int {
  PLAT_LOG_ERROR = 3,
  PLAT_LOG_WARNING = 4,
  PLAT_LOG_NOTICE = 5,
  PLAT_LOG_TRAFFIC = 6,
  PLAT_LOG_TRACE = 7,
};

// The process-wide level, 0-7 (default 5). Values outside are clamped.
void plat_log_set_level(int level);
int plat_log_get_level();

// Written at start-up, read by every thread before formatting a line.
extern std::atomic<int> plat_log_level_value;

inline bool plat_log_enabled(int level) {
  return plat_log_level_value.load(std::memory_order_relaxed) >= level;
}

// `file` may be a full path; only its base name is printed.
void plat_log(int level, const char *file, int line, const char *function, const char *format, ...)
    __attribute__((format(printf, 5, 6)));

// Hex dump of `len` bytes under `title`, e.g. "NORTH TCP <-", as one line:
// the title, then each byte as two upper-case hex digits after a space
// ("NORTH TCP <- 01 03 00 00"); beyond 256 bytes the rest is summed up as
// " ... (<len> bytes)".
void plat_log_buf(int level, const char *file, int line, const char *function, const char *title,
                  const void *bytes, size_t len);

// One line kept by a capture: its level, the source line in effect when it
// was logged (0: none) and the message without the prefix or trailing
// newlines.
struct plat_log_record {
  int level = 0;
  int source_line = 0;
  std::string message;
};

// Scoped capture of the calling thread's lines: while it lives, every line
// the thread logs at `max_level` or below is kept here instead of being
// written; other threads and higher levels log as usual. The process level
// still decides what is formatted at all, so it must be at least
// `max_level` for everything to be seen. Captures nest (the innermost
// wins). Used to report configuration problems with their source lines.
class plat_log_capture final {
 public:
  explicit plat_log_capture(int max_level);
  ~plat_log_capture();
  plat_log_capture(const plat_log_capture &) = delete;
  plat_log_capture &operator=(const plat_log_capture &) = delete;

  const std::vector<plat_log_record> &records() const { return records_; }
  // Called by the logger on the capturing thread.
  bool take(int level, const char *message);

 private:
  const int max_level_;
  plat_log_capture *const outer_;
  std::vector<plat_log_record> records_;  // this thread only
};

// Scoped source line of the calling thread: lines logged while it lives
// carry `line` in a capture (the element of a configuration file being
// read). Restores the previous line when it ends. A line of 0 keeps the
// enclosing one.
class plat_log_source_line final {
 public:
  explicit plat_log_source_line(int line);
  ~plat_log_source_line();
  plat_log_source_line(const plat_log_source_line &) = delete;
  plat_log_source_line &operator=(const plat_log_source_line &) = delete;

 private:
  const int outer_;
};

// Where lines go. With `journal` set (the service manager's journal reads
// stderr), a line starts with "<level>" instead of the timestamp, so the
// journal files it under that syslog priority. Set once at start-up.
void plat_log_set_journal(bool journal);
// True when stderr is the journal's stream: JOURNAL_STREAM ("dev:inode")
// names the very file stderr is (a child that inherited the variable but
// not the stream does not count).
bool plat_log_stderr_is_journal();

#define PLAT_LOG(level, ...)                                                  \
  do {                                                                        \
    if (plat_log_enabled(level)) plat_log((level), __FILE__, __LINE__, __func__, __VA_ARGS__); \
  } while (0)

#define PLAT_LOG_BUF(level, title, bytes, len)                                \
  do {                                                                        \
    if (plat_log_enabled(level))                                              \
      plat_log_buf((level), __FILE__, __LINE__, __func__, (title), (bytes), (len)); \
  } while (0)

// Argument and state checks: log "<MACRO>(<expression>) failed" at level 7
// and return or break at once.
//   RON/RVON: return (value) on null      ROF/RVOF: return (value) on false
//   ROT/RVOT: return (value) on true      BOF/BON:  break on false / on null
#define RON(x)                                                                \
  do {                                                                        \
    if (!(x)) { PLAT_LOG(7, "RON(" #x ") failed"); return; }                  \
  } while (0)
#define RVON(x, v)                                                            \
  do {                                                                        \
    if (!(x)) { PLAT_LOG(7, "RVON(" #x "," #v ") failed"); return (v); }      \
  } while (0)
#define ROF(x)                                                                \
  do {                                                                        \
    if (!(x)) { PLAT_LOG(7, "ROF(" #x ") failed"); return; }                  \
  } while (0)
#define RVOF(x, v)                                                            \
  do {                                                                        \
    if (!(x)) { PLAT_LOG(7, "RVOF(" #x "," #v ") failed"); return (v); }      \
  } while (0)
#define ROT(x)                                                                \
  do {                                                                        \
    if ((x)) { PLAT_LOG(7, "ROT(" #x ") failed"); return; }                   \
  } while (0)
#define RVOT(x, v)                                                            \
  do {                                                                        \
    if ((x)) { PLAT_LOG(7, "RVOT(" #x "," #v ") failed"); return (v); }       \
  } while (0)
// BOF/BON are used inside loops or a do { ... } while (0) block; they are
// written as an if-statement so that `break` leaves the caller's loop.
#define BOF(x)                                                                \
  if (!(x)) { PLAT_LOG(7, "BOF(" #x ") failed"); break; } else (void)0
#define BON(x)                                                                \
  if (!(x)) { PLAT_LOG(7, "BON(" #x ") failed"); break; } else (void)0
