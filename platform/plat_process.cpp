#include "platform/plat_process.h"

#include <fcntl.h>
#include <malloc.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/plat_internal.h"
#include "platform/plat_log.h"
#include "platform/plat_serial.h"
#include "platform/plat_thread.h"

namespace {

// Set by the signal handlers and plat_process_terminate; lock-free, so the
// handlers may write it.
std::atomic<bool> terminating{false};
// True once the thread layer has been told about termination.
std::atomic<bool> threads_told{false};

// SIGHUPs not yet reported (the handler only counts; the waiter logs).
std::atomic<int> hangups{0};

// Self-pipe: the signal handler writes one byte so that a waiter in poll()
// wakes at once. Once terminating the bytes are never read back: every later
// wait returns at once anyway. Before that a waiter drains them (they came
// from a SIGHUP) so that the next wait blocks again.
int pipe_fds[2] = {-1, -1};
std::atomic<int> pipe_write_fd{-1};
std::once_flag pipe_once;

void make_pipe() {
  std::call_once(pipe_once, [] {
    if (pipe2(pipe_fds, O_CLOEXEC | O_NONBLOCK) != 0) {
      PLAT_LOG(3, "pipe2 failed: %s", std::strerror(errno));
      pipe_fds[0] = pipe_fds[1] = -1;
      return;
    }
    pipe_write_fd.store(pipe_fds[1]);
  });
}

void poke_pipe() {
  int fd = pipe_write_fd.load();
  if (fd < 0) return;
  char byte = 't';
  // Non-blocking: a full pipe already says what this byte would.
  ssize_t n = ::write(fd, &byte, 1);
  (void)n;
}

extern "C" void on_stop_signal(int) {
  int saved_errno = errno;
  terminating.store(true);
  poke_pipe();
  errno = saved_errno;
}

// Ignored, as a daemon without a controlling terminal should: the session's
// hang-up must not end the gateway (and leave its tag socket behind).
extern "C" void on_hangup_signal(int) {
  int saved_errno = errno;
  hangups.fetch_add(1);
  poke_pipe();
  errno = saved_errno;
}

void drain_pipe() {
  char buf[64];
  while (::read(pipe_fds[0], buf, sizeof buf) > 0) {
  }
}

void report_hangups() {
  if (hangups.exchange(0) > 0) PLAT_LOG(5, "SIGHUP received and ignored\n");
}

void tell_threads() {
  if (!threads_told.exchange(true)) plat_thread_notify_all();
}

std::string &tag_socket_path() {
  // Written by the command-line parser before any thread starts; never
  // destroyed, as the tag service may still read it while the process exits.
  static auto *path = new std::string;
  return *path;
}

// Written by the command-line parser before any thread starts.
plat_process_mode g_mode = plat_process_mode::run;
bool g_level_given = false;

void print_usage(FILE *out, const char *name) {
  std::fprintf(out,
               "usage: %s [-c FILE] [-l LEVEL] [--serial-prefix PREFIX] [--tag-socket PATH] [--check | --stats] "
               "[-h] [-V]\n",
               name);
  std::fprintf(out,
               "  -c FILE                 configuration file\n"
               "  -l LEVEL                log level 0-7 (default 5)\n"
               "  --serial-prefix PREFIX  serial device prefix (default /dev/ttyAP)\n"
               "  --tag-socket PATH       tag service socket (default /run/trellis/%s.tags)\n"
               "  --check                 report the configuration's problems as FILE:LINE: message and exit\n"
               "                          (0 none, 1 problems, 2 unreadable); opens no port\n"
               "  --stats                 print the port statistics of the gateway on the tag socket and exit\n",
               name);
  std::fprintf(out,
               "  -h                      this help\n"
               "  -V                      version\n");
}

// "0".."7" only.
bool parse_level(const char *text, int *level) {
  if (!text || text[0] < '0' || text[0] > '7' || text[1] != '\0') return false;
  *level = text[0] - '0';
  return true;
}

}  // namespace

bool plat_process_terminating() { return terminating.load(); }

int plat_process_parse_cmdline_ex(int argc, char **argv, const char *name, const char *version,
                                  const char *build_date, int flags, std::string *config_path, int, int) {
  (void)flags;
  const char *program = name;
  if (!program || !*program) {
    program = argc > 0 && argv[0] ? std::strrchr(argv[0], '/') : nullptr;
    program = program ? program + 1 : (argc > 0 && argv[0] ? argv[0] : "trellis");
  }
  if (config_path) config_path->clear();
  g_mode = plat_process_mode::run;
  g_level_given = false;

  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i] ? argv[i] : "";
    std::string value;
    bool has_inline = false;
    // Long options also take "--name=value".
    if (arg.rfind("--", 0) == 0) {
      size_t eq = arg.find('=');
      if (eq != std::string::npos) {
        value = arg.substr(eq + 1);
        arg.resize(eq);
        has_inline = true;
      }
    }
    auto take_value = [&]() -> bool {
      if (has_inline) return true;
      if (i + 1 >= argc || !argv[i + 1]) return false;
      value = argv[++i];
      return true;
    };

    if (arg == "-h" || arg == "--help") {
      print_usage(stdout, program);
      std::fflush(stdout);
      return PLAT_CMDLINE_EXIT_OK;
    }
    if (arg == "-V" || arg == "--version") {
      std::printf("%s %s (built %s)\n", program, version ? version : "?", build_date ? build_date : "?");
      std::fflush(stdout);
      return PLAT_CMDLINE_EXIT_OK;
    }
    if (arg == "-c") {
      if (!take_value() || value.empty()) {
        std::fprintf(stderr, "%s: -c needs a file\n", program);
        print_usage(stderr, program);
        return PLAT_CMDLINE_EXIT_USAGE;
      }
      if (config_path) *config_path = value;
    } else if (arg == "-l") {
      int level = 0;
      if (!take_value() || !parse_level(value.c_str(), &level)) {
        std::fprintf(stderr, "%s: -l needs a level from 0 to 7\n", program);
        print_usage(stderr, program);
        return PLAT_CMDLINE_EXIT_USAGE;
      }
      plat_log_set_level(level);
      g_level_given = true;
    } else if (arg == "--check" || arg == "--stats") {
      const plat_process_mode mode = arg == "--check" ? plat_process_mode::check : plat_process_mode::stats;
      if (has_inline || (g_mode != plat_process_mode::run && g_mode != mode)) {
        std::fprintf(stderr, "%s: --check and --stats take no value and exclude each other\n", program);
        print_usage(stderr, program);
        return PLAT_CMDLINE_EXIT_USAGE;
      }
      g_mode = mode;
    } else if (arg == "--serial-prefix") {
      if (!take_value() || value.empty()) {
        std::fprintf(stderr, "%s: --serial-prefix needs a prefix\n", program);
        print_usage(stderr, program);
        return PLAT_CMDLINE_EXIT_USAGE;
      }
      plat_serial_set_prefix(value.c_str());
    } else if (arg == "--tag-socket") {
      if (!take_value() || value.empty()) {
        std::fprintf(stderr, "%s: --tag-socket needs a path\n", program);
        print_usage(stderr, program);
        return PLAT_CMDLINE_EXIT_USAGE;
      }
      tag_socket_path() = value;
    } else {
      std::fprintf(stderr, "%s: unknown option '%s'\n", program, argv[i] ? argv[i] : "");
      print_usage(stderr, program);
      return PLAT_CMDLINE_EXIT_USAGE;
    }
  }
  return 0;
}

bool plat_init() {
  // Most of the gateway's threads wait on a socket or a line and allocate a
  // frame now and then. With the allocator's default of one arena per busy
  // thread (up to eight per core), each arena keeps its own high-water mark
  // and resident memory creeps up for minutes as bursts land on different
  // arenas. Two arenas keep it low and level on a small box.
  mallopt(M_ARENA_MAX, 2);
  make_pipe();
  struct sigaction sa {};
  sa.sa_handler = on_stop_signal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  if (sigaction(SIGINT, &sa, nullptr) != 0 || sigaction(SIGTERM, &sa, nullptr) != 0) {
    PLAT_LOG(3, "sigaction failed: %s", std::strerror(errno));
    return false;
  }
  struct sigaction hup {};
  hup.sa_handler = on_hangup_signal;
  sigemptyset(&hup.sa_mask);
  hup.sa_flags = SA_RESTART;
  if (sigaction(SIGHUP, &hup, nullptr) != 0) {
    PLAT_LOG(3, "sigaction(SIGHUP) failed: %s", std::strerror(errno));
    return false;
  }
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  if (sigaction(SIGPIPE, &ignore, nullptr) != 0) {
    PLAT_LOG(3, "sigaction(SIGPIPE) failed: %s", std::strerror(errno));
    return false;
  }
  return pipe_fds[0] >= 0;
}

void plat_uninit() {
  terminating.store(true);
  tell_threads();
  if (!plat_thread_stop_all(1500)) {
    PLAT_LOG(4, "%d threads still running at exit", plat_thread_running_count());
  }
}

bool plat_process_is_terminated(int wait_ms) {
  if (terminating.load()) {
    tell_threads();
    return true;
  }
  if (wait_ms == 0) return false;
  make_pipe();
  if (pipe_fds[0] < 0) {
    PLAT_LOG(3, "no termination pipe");
    return terminating.load();
  }
  const bool forever = wait_ms < 0;
  uint32_t start = plat_systick_get();
  for (;;) {
    report_hangups();
    // A stop signal's byte may have been drained with a hang-up's.
    if (terminating.load()) break;
    int timeout = -1;
    if (!forever) {
      uint32_t spent = plat_systick_get() - start;
      if (spent >= static_cast<uint32_t>(wait_ms)) break;
      timeout = wait_ms - static_cast<int>(spent);
    }
    pollfd p{pipe_fds[0], POLLIN, 0};
    int rc = poll(&p, 1, timeout);
    if (terminating.load()) break;
    if (rc < 0 && errno != EINTR) {
      PLAT_LOG(3, "poll failed: %s", std::strerror(errno));
      break;
    }
    if (rc > 0) drain_pipe();
  }
  if (!terminating.load()) return false;
  tell_threads();
  return true;
}

void plat_process_terminate() {
  make_pipe();
  terminating.store(true);
  poke_pipe();
  tell_threads();
}

const char *plat_sys_get_project_directory() {
  const char *dir = std::getenv("TARNWICK_PROJECT_DIR");
  return dir && *dir ? dir : nullptr;
}

int plat_sys_get_process_directory(char *buf, size_t size) {
  RVON(buf, 0);
  char path[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
  if (n <= 0) {
    PLAT_LOG(3, "readlink(/proc/self/exe) failed: %s", std::strerror(errno));
    return 0;
  }
  path[n] = '\0';
  char *slash = std::strrchr(path, '/');
  if (!slash) return 0;
  size_t len = slash == path ? 1 : static_cast<size_t>(slash - path);  // "/" for a binary at the root
  if (len + 1 > size) return 0;
  std::memcpy(buf, path, len);
  buf[len] = '\0';
  return static_cast<int>(len);
}

int plat_file_access(const char *path, int mode) {
  RVON(path, -1);
  return access(path, mode) == 0 ? 0 : -1;
}

const std::string &plat_process_tag_socket_path() { return tag_socket_path(); }

std::string plat_process_tag_socket_path_for(const char *program) {
  if (!tag_socket_path().empty()) return tag_socket_path();
  return std::string("/run/trellis/") + (program && *program ? program : "trellis") + ".tags";
}

plat_process_mode plat_process_get_mode() { return g_mode; }

bool plat_process_log_level_given() { return g_level_given; }

bool plat_process_notify_ready() {
  const char *path = std::getenv("NOTIFY_SOCKET");
  if (!path || !*path) return false;
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  const size_t len = std::strlen(path);
  if (len >= sizeof addr.sun_path || (path[0] != '/' && path[0] != '@')) {
    PLAT_LOG(3, "NOTIFY_SOCKET \"%s\" is not a socket path; readiness not sent", path);
    return false;
  }
  std::memcpy(addr.sun_path, path, len);
  // "@name" is an abstract socket: a leading zero byte, no terminator.
  if (path[0] == '@') addr.sun_path[0] = '\0';
  const socklen_t addr_len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + len + (path[0] == '@' ? 0 : 1));
  const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    PLAT_LOG(3, "readiness: socket() failed: %s", std::strerror(errno));
    return false;
  }
  static const char ready[] = "READY=1";
  const ssize_t n = ::sendto(fd, ready, sizeof ready - 1, MSG_NOSIGNAL, reinterpret_cast<const sockaddr *>(&addr),
                             addr_len);
  const int error = errno;
  ::close(fd);
  if (n != static_cast<ssize_t>(sizeof ready - 1)) {
    PLAT_LOG(3, "readiness: sending to %s failed: %s", path, std::strerror(error));
    return false;
  }
  PLAT_LOG(5, "readiness sent to the service manager");
  return true;
}
