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
