#include "platform/tagbus.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/plat_log.h"
#include "platform/plat_process.h"
#include "platform/plat_thread.h"

namespace {

constexpr size_t TAG_LINE_MAX = 1024;              // longest command line, newline excluded
constexpr size_t TAG_CLIENTS_MAX = 32;             // connections served at once; more are refused
constexpr uint32_t TAG_CLIENT_IDLE_MS = 5000;      // a client must finish a line within this
constexpr size_t TAG_OUTPUT_MAX = 256 * 1024;      // answers a client has not read yet
constexpr int TAG_POLL_MS = 100;                   // longest wait of one service pass
constexpr int TAG_LISTEN_BACKLOG = 64;
constexpr int TAG_ACCEPTS_PER_PASS = 64;

class fd_handle final {
 public:
  explicit fd_handle(int fd = -1) : fd_(fd) {}
  ~fd_handle() {
    if (fd_ >= 0) ::close(fd_);
  }
  fd_handle(const fd_handle &) = delete;
  fd_handle &operator=(const fd_handle &) = delete;
  int get() const { return fd_; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

// Every registered tag. Tags are registered by the ports' threads and looked
// up by the service thread. A tag stays registered until its owner removes
// it (only ports destroyed before the process ends do).
class tag_table final {
 public:
  // Held by the service while it serves one command, from the look-up to
  // the last use of the tag pointers it found, and by remove(): a removed
  // tag is then never in use. Taken before lock_, never inside it.
  std::mutex &serve_lock() { return serve_lock_; }

  uint32_t add(tag *t) {
    std::scoped_lock lock(lock_);
    for (entry &e : entries_) {
      if (e.t == t) return e.handle;
      if (std::strncmp(e.t->name, t->name, sizeof t->name) == 0) {
        // A later registration under the same name wins, as a later port id
        // does in the mux.
        PLAT_LOG(4, "tag %s registered again: the newer tag replaces the older", t->name);
        e = entry{t, next_handle_++};
        return e.handle;
      }
    }
    entries_.push_back(entry{t, next_handle_++});
    return entries_.back().handle;
  }

  tag *find(std::string_view name) {
    std::scoped_lock lock(lock_);
    for (const entry &e : entries_) {
      if (name == std::string_view(e.t->name, strnlen(e.t->name, sizeof e.t->name))) return e.t;
    }
    return nullptr;
  }

  std::vector<tag *> snapshot() {
    std::scoped_lock lock(lock_);
    std::vector<tag *> tags;
    tags.reserve(entries_.size());
    for (const entry &e : entries_) tags.push_back(e.t);
    return tags;
  }

  void reserve(size_t n) {
    std::scoped_lock lock(lock_);
    entries_.reserve(n);
  }

  void remove(tag *t) {
    std::scoped_lock serving(serve_lock_);
    std::scoped_lock lock(lock_);
    std::erase_if(entries_, [t](const entry &e) { return e.t == t; });
  }

 private:
  struct entry {
    tag *t;
    uint32_t handle;
  };
  std::mutex serve_lock_;  // see serve_lock()
  std::mutex lock_;        // guards entries_ and next_handle_
  std::vector<entry> entries_;
  uint32_t next_handle_ = 1;
};

struct tag_client {
  explicit tag_client(int fd, uint32_t now) : fd(fd), last_line_tick(now) {}
  fd_handle fd;
  std::string in;    // bytes of the line being received
  std::string out;   // answers not yet sent
  uint32_t last_line_tick;  // connect time or the end of the last complete line
  bool closing = false;     // answer what is queued, then close
  bool dead = false;        // close at the end of this pass
};

std::string format_value(double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.15g", v);
  return buf;
}

// Strict number: the whole word, finite, in decimal ("0x1", "inf" and
// "nan" are no values).
bool parse_value(std::string_view word, double *out) {
  std::string text(word);
  if (text.empty() || text.find_first_not_of("0123456789+-.eE") != std::string::npos) return false;
  char *end = nullptr;
  errno = 0;
  double v = std::strtod(text.c_str(), &end);
  if (end != text.c_str() + text.size() || errno == ERANGE || !std::isfinite(v)) return false;
  *out = v;
  return true;
}

std::vector<std::string_view> split_words(std::string_view line) {
  std::vector<std::string_view> words;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    size_t start = i;
    while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
    if (i > start) words.push_back(line.substr(start, i - start));
  }
  return words;
}

// Creates every missing directory of `dir` (mode 0755).
int make_directories(const std::string &dir) {
  for (size_t pos = 1; pos <= dir.size(); ++pos) {
    if (pos != dir.size() && dir[pos] != '/') continue;
    std::string part = dir.substr(0, pos);
    if (::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) return -errno;
  }
  return 0;
}

// The tag socket: a listening UNIX stream socket and the thread serving it.
class tag_service final {
 public:
  // Null with *error set (a negative errno) when the socket cannot be made.
  static std::unique_ptr<tag_service> open(tag_table *tags, const std::string &path, const tag_callbacks &callbacks,
                                           void *ctx, int *error);
  // One client's bytes through take_lines, without a socket.
  static std::string serve_bytes(tag_table *tags, std::string_view bytes, const tag_callbacks &callbacks, void *ctx);
  ~tag_service();
  tag_service(const tag_service &) = delete;
  tag_service &operator=(const tag_service &) = delete;

 private:
  tag_service(tag_table *tags, std::string path, const tag_callbacks &callbacks, void *ctx, int listen_fd,
              int wake_fd)
      : tags_(tags), path_(std::move(path)), callbacks_(callbacks), ctx_(ctx), listen_(listen_fd),
        wake_(wake_fd) {}

  void pass();
  void accept_clients();
  void read_client(tag_client &c);
  void take_lines(tag_client &c);
  void execute(std::string_view line, std::string &out);
  void flush(tag_client &c);
  void expire_idle(uint32_t now);

  tag_table *tags_;
  std::string path_;
  tag_callbacks callbacks_;
  void *ctx_;
  fd_handle listen_;
  fd_handle wake_;  // eventfd: makes the pass in progress return at once on stop
  dev_t socket_dev_ = 0;
  ino_t socket_ino_ = 0;
  std::vector<std::unique_ptr<tag_client>> clients_;  // touched only by the service thread
  uint32_t accept_failures_ = 0;                      // service thread only
  plat_thread_handle thread_;
};

std::unique_ptr<tag_service> tag_service::open(tag_table *tags, const std::string &path,
                                               const tag_callbacks &callbacks, void *ctx, int *error) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof addr.sun_path) {
    PLAT_LOG(3, "tag socket path \"%s\" is empty or longer than %zu bytes", path.c_str(),
             sizeof addr.sun_path - 1);
    *error = -ENAMETOOLONG;
    return nullptr;
  }
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);

  size_t slash = path.rfind('/');
  if (slash != std::string::npos && slash > 0) {
    int rc = make_directories(path.substr(0, slash));
    if (rc != 0) {
      PLAT_LOG(3, "cannot create the directory of tag socket %s: %s", path.c_str(), std::strerror(-rc));
      *error = rc;
      return nullptr;
    }
  }

  // A socket file left by a process that is gone is removed; one that still
  // answers belongs to a running gateway and is left alone.
  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0) {
    if (!S_ISSOCK(st.st_mode)) {
      PLAT_LOG(3, "tag socket path %s exists and is not a socket", path.c_str());
      *error = -EEXIST;
      return nullptr;
    }
    fd_handle probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (probe.get() >= 0) {
      int rc = ::connect(probe.get(), reinterpret_cast<const sockaddr *>(&addr), sizeof addr);
      if (rc == 0 || (errno != ECONNREFUSED && errno != ENOENT)) {
        PLAT_LOG(3, "tag socket %s is in use by another process", path.c_str());
        *error = -EADDRINUSE;
        return nullptr;
      }
    }
    PLAT_LOG(5, "removing stale tag socket %s", path.c_str());
    ::unlink(path.c_str());
  }

  // The socket is made under a temporary name and renamed into place once
  // it listens with its final mode: whoever sees the path can connect at
  // once, and nobody ever sees it with the umask's mode.
  const std::string temp_path = path + ".new";
  sockaddr_un temp_addr{};
  temp_addr.sun_family = AF_UNIX;
  if (temp_path.size() >= sizeof temp_addr.sun_path) {
    PLAT_LOG(3, "tag socket path \"%s\" is longer than %zu bytes", path.c_str(), sizeof temp_addr.sun_path - 6);
    *error = -ENAMETOOLONG;
    return nullptr;
  }
  std::memcpy(temp_addr.sun_path, temp_path.c_str(), temp_path.size() + 1);
  ::unlink(temp_path.c_str());  // left by a start that died half-way

  fd_handle fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (fd.get() < 0) {
    *error = -errno;
    PLAT_LOG(3, "tag socket: socket() failed: %s", std::strerror(errno));
    return nullptr;
  }
  if (::bind(fd.get(), reinterpret_cast<const sockaddr *>(&temp_addr), sizeof temp_addr) != 0) {
    *error = -errno;
    PLAT_LOG(3, "tag socket: bind(%s) failed: %s", temp_path.c_str(), std::strerror(errno));
    return nullptr;
  }
  if (::chmod(temp_path.c_str(), 0600) != 0 || ::listen(fd.get(), TAG_LISTEN_BACKLOG) != 0 ||
      ::rename(temp_path.c_str(), path.c_str()) != 0 || ::lstat(path.c_str(), &st) != 0) {
    *error = -errno;
    PLAT_LOG(3, "tag socket: cannot set up %s: %s", path.c_str(), std::strerror(errno));
    ::unlink(temp_path.c_str());
    return nullptr;
  }
  int wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wake < 0) {
    *error = -errno;
    PLAT_LOG(3, "tag socket: eventfd failed: %s", std::strerror(errno));
    ::unlink(path.c_str());
    return nullptr;
  }

  // Ownership of both descriptors moves into the service.
  std::unique_ptr<tag_service> service(new tag_service(tags, path, callbacks, ctx, fd.release(), wake));
  service->socket_dev_ = st.st_dev;
  service->socket_ino_ = st.st_ino;
  tag_service *raw = service.get();
  service->thread_ = plat_thread_start([raw] { raw->pass(); }, 1, "tagbus");
  if (!service->thread_) {
    *error = -EAGAIN;
    return nullptr;  // the destructor removes the socket file
  }
  PLAT_LOG(5, "tag service listening on %s", path.c_str());
  return service;
}

tag_service::~tag_service() {
  uint64_t one = 1;
  ssize_t n = ::write(wake_.get(), &one, sizeof one);
  (void)n;
  plat_close_handle(thread_);
  clients_.clear();
  // Only our own socket file: another process may have taken the path since.
  struct stat st {};
  if (::lstat(path_.c_str(), &st) == 0 && st.st_dev == socket_dev_ && st.st_ino == socket_ino_) {
    ::unlink(path_.c_str());
  }
}

void tag_service::pass() {
  std::vector<pollfd> fds;
  fds.reserve(clients_.size() + 2);
  fds.push_back(pollfd{wake_.get(), POLLIN, 0});
  fds.push_back(pollfd{listen_.get(), POLLIN, 0});
  for (const auto &c : clients_) {
    short events = c->closing ? 0 : POLLIN;
    if (!c->out.empty()) events |= POLLOUT;
    fds.push_back(pollfd{c->fd.get(), events, 0});
  }
  int n = ::poll(fds.data(), fds.size(), TAG_POLL_MS);
  if (n < 0) {
    if (errno != EINTR) PLAT_LOG(3, "tag service: poll failed: %s", std::strerror(errno));
    return;
  }
  if (fds[0].revents) return;  // stopping

  for (size_t i = 0; i < clients_.size(); ++i) {
    tag_client &c = *clients_[i];
    short revents = fds[i + 2].revents;
    if (revents & (POLLIN | POLLHUP | POLLERR)) read_client(c);
    if (!c.dead) flush(c);
  }
  if (fds[1].revents & POLLIN) accept_clients();
  expire_idle(plat_systick_get());
  std::erase_if(clients_, [](const std::unique_ptr<tag_client> &c) { return c->dead; });
}

void tag_service::accept_clients() {
  for (int i = 0; i < TAG_ACCEPTS_PER_PASS; ++i) {
    int fd = ::accept4(listen_.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK && errno != ECONNABORTED) {
        // Out of descriptors, say: the listener stays readable and every pass
        // fails again, so only the first failure and every 1000th are logged.
        if (accept_failures_++ % 1000 == 0) {
          PLAT_LOG(3, "tag service: accept failed (%u times): %s", accept_failures_, std::strerror(errno));
        }
      }
      return;
    }
    if (clients_.size() >= TAG_CLIENTS_MAX) {
      fd_handle refused(fd);
      static const char answer[] = "ERR too many clients\n";
      ssize_t sent = ::send(fd, answer, sizeof answer - 1, MSG_NOSIGNAL | MSG_DONTWAIT);
      (void)sent;
      PLAT_LOG(4, "tag service: %zu clients connected, connection refused", clients_.size());
      continue;
    }
    clients_.push_back(std::make_unique<tag_client>(fd, plat_systick_get()));
    PLAT_LOG(7, "tag service: client connected (%zu)", clients_.size());
  }
}

void tag_service::read_client(tag_client &c) {
  char buf[4096];
  // Bounded per pass so that one busy client cannot starve the others.
  for (int round = 0; round < 4 && !c.closing && !c.dead; ++round) {
    ssize_t n = ::recv(c.fd.get(), buf, sizeof buf, MSG_DONTWAIT);
    if (n > 0) {
      c.in.append(buf, static_cast<size_t>(n));
      take_lines(c);
      continue;
    }
    if (n == 0) {
      // The client has said all it will: answer what came, then close.
      c.closing = true;
      return;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) c.dead = true;
    return;
  }
}

std::string tag_service::serve_bytes(tag_table *tags, std::string_view bytes, const tag_callbacks &callbacks,
                                     void *ctx) {
  tag_service lines_only(tags, std::string(), callbacks, ctx, -1, -1);
  tag_client c(-1, plat_systick_get());
  c.in.assign(bytes.data(), bytes.size());
  lines_only.take_lines(c);
  return c.out;
}

void tag_service::take_lines(tag_client &c) {
  size_t start = 0;
  for (;;) {
    size_t newline = c.in.find('\n', start);
    if (newline == std::string::npos) break;
    if (newline - start > TAG_LINE_MAX) break;  // too long: handled below
    std::string_view line(c.in.data() + start, newline - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    execute(line, c.out);
    c.last_line_tick = plat_systick_get();
    start = newline + 1;
  }
  c.in.erase(0, start);
  if (c.in.size() > TAG_LINE_MAX) {
    PLAT_LOG(4, "tag service: command line longer than %zu bytes, client dropped", TAG_LINE_MAX);
    c.out += "ERR line too long\n";
    c.in.clear();
    c.closing = true;
  }
  if (c.out.size() > TAG_OUTPUT_MAX) {
    PLAT_LOG(4, "tag service: client does not read its answers, dropped");
    c.dead = true;
  }
}

void tag_service::execute(std::string_view line, std::string &out) {
  std::scoped_lock serving(tags_->serve_lock());
  std::vector<std::string_view> words = split_words(line);
  if (words.empty()) {
    out += "ERR empty command\n";
    return;
  }
  const std::string_view command = words[0];
  if (command == "list") {
    if (words.size() != 1) {
      out += "ERR usage: list\n";
      return;
    }
    for (tag *t : tags_->snapshot()) {
      out += std::string(t->name, strnlen(t->name, sizeof t->name));
      out += ' ';
      out += format_value(t->value.load());
      out += ' ';
      out += std::to_string(t->quality.load());
      out += '\n';
    }
    out += "OK\n";
    return;
  }
  if (command == "stats") {
    if (words.size() != 1) {
      out += "ERR usage: stats\n";
      return;
    }
    if (callbacks_.on_stats) callbacks_.on_stats(ctx_, &out);
    out += "OK\n";
    return;
  }
  if (command == "read") {
    if (words.size() != 2) {
      out += "ERR usage: read NAME\n";
      return;
    }
    tag *t = tags_->find(words[1]);
    if (!t) {
      out += "ERR unknown tag\n";
      return;
    }
    tag_value value{};
    tag *one[1] = {t};
    callbacks_.on_read_tag(ctx_, one, &value, 1);
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, "%llu.%06u", static_cast<unsigned long long>(value.seconds),
                  value.microseconds);
    out += std::string(words[1]) + ' ' + format_value(value.value) + ' ' + std::to_string(value.quality) + ' ' +
           stamp + "\nOK\n";
    return;
  }
  if (command == "write") {
    if (words.size() != 3) {
      out += "ERR usage: write NAME VALUE\n";
      return;
    }
    // The command's form is checked before the tag is looked up.
    double v = 0.0;
    if (!parse_value(words[2], &v)) {
      out += "ERR bad value\n";
      return;
    }
    tag *t = tags_->find(words[1]);
    if (!t) {
      out += "ERR unknown tag\n";
      return;
    }
    // A tag with an owner is a line's state: open (1) or closed (0).
    if (t->owner && v != 0.0 && v != 1.0) {
      out += "ERR value must be 0 or 1\n";
      return;
    }
    tag *one[1] = {t};
    callbacks_.on_write_tag(ctx_, one, &v, 1);
    out += "OK\n";
    return;
  }
  out += "ERR unknown command\n";
}

void tag_service::flush(tag_client &c) {
  while (!c.out.empty()) {
    ssize_t n = ::send(c.fd.get(), c.out.data(), c.out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      c.out.erase(0, static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    c.dead = true;  // the client is gone
    return;
  }
  if (c.closing) c.dead = true;
}

void tag_service::expire_idle(uint32_t now) {
  for (auto &c : clients_) {
    if (c->dead) continue;
    if (static_cast<uint32_t>(now - c->last_line_tick) < TAG_CLIENT_IDLE_MS) continue;
    PLAT_LOG(5, "tag service: client idle for %u ms, dropped", TAG_CLIENT_IDLE_MS);
    static const char answer[] = "ERR idle\n";
    ssize_t sent = ::send(c->fd.get(), answer, sizeof answer - 1, MSG_NOSIGNAL | MSG_DONTWAIT);
    (void)sent;
    c->dead = true;
  }
}

// Never destroyed: a port thread still running at exit may register or
// remove a tag during static destruction.
tag_table &g_tags = *new tag_table;
// Constructed before main runs, so destroyed after every exit handler.
std::mutex g_service_lock;  // guards g_service: tagbus_init and tagbus_uninit may come from different threads
std::unique_ptr<tag_service> g_service;

}  // namespace

int tagbus_init(uint32_t serial_num, const tag_callbacks *callbacks, void *ctx) {
  RVON(callbacks, -EINVAL);
  RVON(callbacks->on_read_tag, -EINVAL);
  RVON(callbacks->on_write_tag, -EINVAL);
  std::scoped_lock lock(g_service_lock);
  if (g_service) {
    PLAT_LOG(3, "tag service already running");
    return -EALREADY;
  }
  g_tags.reserve(serial_num);
  const std::string path = plat_process_tag_socket_path_for(program_invocation_short_name);
  int error = -EINVAL;
  g_service = tag_service::open(&g_tags, path, *callbacks, ctx, &error);
  return g_service ? 0 : error;
}

uint32_t tagbus_add(tag *t) {
  RVON(t, 0);
  size_t len = strnlen(t->name, sizeof t->name);
  if (len == 0 || len == sizeof t->name) {
    PLAT_LOG(3, "tag name is empty or not terminated: tag not registered");
    return 0;
  }
  for (size_t i = 0; i < len; ++i) {
    if (t->name[i] == ' ' || t->name[i] == '\t' || t->name[i] == '\n' || t->name[i] == '\r') {
      PLAT_LOG(3, "tag name \"%s\" contains a blank: tag not registered", t->name);
      return 0;
    }
  }
  return g_tags.add(t);
}

void tagbus_remove(tag *t) {
  if (t) g_tags.remove(t);
}

std::string tagbus_serve_bytes(std::string_view bytes, const tag_callbacks *callbacks, void *ctx) {
  RVON(callbacks, std::string());
  RVON(callbacks->on_read_tag, std::string());
  RVON(callbacks->on_write_tag, std::string());
  return tag_service::serve_bytes(&g_tags, bytes, *callbacks, ctx);
}

void tagbus_uninit() {
  std::unique_ptr<tag_service> service;
  {
    std::scoped_lock lock(g_service_lock);
    service = std::move(g_service);
  }
  // Destroyed outside the lock: it joins the service thread.
}

int tagbus_command(const char *path, const char *command, std::string *answer) {
  RVON(path, -EINVAL);
  RVON(command, -EINVAL);
  RVON(answer, -EINVAL);
  answer->clear();
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (std::strlen(path) >= sizeof addr.sun_path) return -ENAMETOOLONG;
  std::strcpy(addr.sun_path, path);
  fd_handle fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (fd.get() < 0) return -errno;
  if (::connect(fd.get(), reinterpret_cast<const sockaddr *>(&addr), sizeof addr) != 0) return -errno;
  const std::string line = std::string(command) + "\n";
  if (::send(fd.get(), line.data(), line.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(line.size())) return -errno;

  const uint32_t start = plat_systick_get();
  constexpr uint32_t answer_wait_ms = 5000;
  for (;;) {
    // The answer ends with its first line that is "OK" or starts with "ERR".
    size_t line_start = 0;
    for (size_t nl = answer->find('\n'); nl != std::string::npos; nl = answer->find('\n', line_start)) {
      const std::string_view last(answer->data() + line_start, nl - line_start);
      if (last == "OK") return 0;
      if (last.substr(0, 3) == "ERR") return 1;
      line_start = nl + 1;
    }
    const uint32_t spent = plat_systick_get() - start;
    if (spent >= answer_wait_ms) return -ETIMEDOUT;
    pollfd p{fd.get(), POLLIN, 0};
    const int ready = ::poll(&p, 1, static_cast<int>(answer_wait_ms - spent));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return ready == 0 ? -ETIMEDOUT : -errno;
    char buf[4096];
    const ssize_t n = ::recv(fd.get(), buf, sizeof buf, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return n == 0 ? -ECONNRESET : -errno;
    answer->append(buf, static_cast<size_t>(n));
  }
}
