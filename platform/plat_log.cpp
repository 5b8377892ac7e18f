#include "platform/plat_log.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

std::atomic<int> plat_log_level_value{PLAT_LOG_NOTICE};

void plat_log_set_level(int level) {
  plat_log_level_value.store(std::clamp(level, 0, 7), std::memory_order_relaxed);
}

int plat_log_get_level() { return plat_log_level_value.load(std::memory_order_relaxed); }

namespace {

// The calling thread's capture and source line (see plat_log_capture).
thread_local plat_log_capture *t_capture = nullptr;
thread_local int t_source_line = 0;
// Journal prefix instead of the timestamp; written before any thread starts.
std::atomic<bool> g_journal{false};

// One line at most; longer messages are cut (the newline is always kept).
constexpr size_t line_capacity = 4096;
// A hex dump shows this many bytes and then only the total count.
constexpr size_t dump_limit = 256;

// Base name of `file` without its extension: "north/north_port_tcp.cpp"
// becomes "north_port_tcp".
void module_name(const char *file, char *out, size_t size) {
  const char *base = file ? std::strrchr(file, '/') : nullptr;
  base = base ? base + 1 : (file ? file : "?");
  const char *dot = std::strrchr(base, '.');
  size_t len = dot && dot != base ? static_cast<size_t>(dot - base) : std::strlen(base);
  len = std::min(len, size - 1);
  std::memcpy(out, base, len);
  out[len] = '\0';
}

// Writes the line prefix into buf; returns its length.
size_t line_prefix(char *buf, size_t size, int level, const char *file, int line, const char *function) {
  char module[64];
  module_name(file, module, sizeof(module));
  if (g_journal.load(std::memory_order_relaxed)) {
    // The journal stamps the time itself; "<n>" is the syslog priority,
    // and our levels are syslog's.
    int n = std::snprintf(buf, size, "<%d>%s:%d %s: ", level, module, line, function ? function : "?");
    if (n < 0) return 0;
    return std::min(static_cast<size_t>(n), size - 1);
  }
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm local{};
  localtime_r(&now.tv_sec, &local);
  int n = std::snprintf(buf, size, "%04d-%02d-%02d %02d:%02d:%02d.%03ld %d %s:%d %s: ", local.tm_year + 1900,
                        local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                        now.tv_nsec / 1000000, level, module, line, function ? function : "?");
  if (n < 0) return 0;
  return std::min(static_cast<size_t>(n), size - 1);
}

// Ends the line with a newline and writes it with one call, so lines of
// different threads never interleave.
void emit(char *buf, size_t len) {
  if (len > line_capacity - 2) len = line_capacity - 2;
  buf[len++] = '\n';
  size_t done = 0;
  while (done < len) {
    ssize_t n = ::write(STDERR_FILENO, buf + done, len - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

}  // namespace

plat_log_capture::plat_log_capture(int max_level) : max_level_(max_level), outer_(t_capture) { t_capture = this; }

plat_log_capture::~plat_log_capture() { t_capture = outer_; }

bool plat_log_capture::take(int level, const char *message) {
  if (level > max_level_) return false;
  std::string text(message);
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ' || text.back() == '\r')) text.pop_back();
  size_t first = text.find_first_not_of(' ');
  text.erase(0, first == std::string::npos ? text.size() : first);
  records_.push_back(plat_log_record{level, t_source_line, std::move(text)});
  return true;
}

plat_log_source_line::plat_log_source_line(int line) : outer_(t_source_line) {
  if (line > 0) t_source_line = line;
}

plat_log_source_line::~plat_log_source_line() { t_source_line = outer_; }

void plat_log_set_journal(bool journal) { g_journal.store(journal, std::memory_order_relaxed); }

bool plat_log_stderr_is_journal() {
  const char *stream = std::getenv("JOURNAL_STREAM");
  if (!stream || !*stream) return false;
  unsigned long long dev = 0;
  unsigned long long ino = 0;
  if (std::sscanf(stream, "%llu:%llu", &dev, &ino) != 2) return false;
  struct stat st {};
  if (::fstat(STDERR_FILENO, &st) != 0) return false;
  return static_cast<unsigned long long>(st.st_dev) == dev && static_cast<unsigned long long>(st.st_ino) == ino;
}

void plat_log(int level, const char *file, int line, const char *function, const char *format, ...) {
  if (!plat_log_enabled(level)) return;
  int saved_errno = errno;  // callers often log right before reading errno
  if (t_capture) {
    char message[line_capacity];
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, sizeof(message), format, args);
    va_end(args);
    const bool taken = t_capture->take(level, message);
    errno = saved_errno;
    if (taken) return;
  }
  char buf[line_capacity];
  size_t len = line_prefix(buf, sizeof(buf) - 1, level, file, line, function);
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(buf + len, sizeof(buf) - 1 - len, format, args);
  va_end(args);
  if (n > 0) len = std::min(len + static_cast<size_t>(n), sizeof(buf) - 2);
  // Messages often carry their own "\n"; the line gets exactly one.
  while (len > 0 && buf[len - 1] == '\n') --len;
  emit(buf, len);
  errno = saved_errno;
}

void plat_log_buf(int level, const char *file, int line, const char *function, const char *title,
                  const void *bytes, size_t len) {
  if (!plat_log_enabled(level)) return;
  int saved_errno = errno;
  char buf[line_capacity];
  size_t pos = line_prefix(buf, sizeof(buf) - 1, level, file, line, function);
  int n = std::snprintf(buf + pos, sizeof(buf) - pos, "%s", title ? title : "");
  if (n > 0) pos = std::min(pos + static_cast<size_t>(n), sizeof(buf) - 1);
  static const char hex[] = "0123456789ABCDEF";
  const auto *p = static_cast<const uint8_t *>(bytes);
  size_t shown = p ? std::min(len, dump_limit) : 0;
  for (size_t i = 0; i < shown && pos + 4 < sizeof(buf); ++i) {
    buf[pos++] = ' ';
    buf[pos++] = hex[p[i] >> 4];
    buf[pos++] = hex[p[i] & 0x0F];
  }
  if (shown < len) {
    n = std::snprintf(buf + pos, sizeof(buf) - pos, " ... (%zu bytes)", len);
    if (n > 0) pos = std::min(pos + static_cast<size_t>(n), sizeof(buf) - 1);
  }
  emit(buf, pos);
  errno = saved_errno;
}
