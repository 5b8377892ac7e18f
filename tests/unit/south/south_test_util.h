// Helpers for the south port tests: the field device played by the test (on
// the master end of a pseudo-terminal or behind a loopback TCP listener) and
// request frames whose answers and release the test can wait for.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "frame/mb_codec.h"
#include "frame/mb_frame.h"
#include "platform/plat_thread.h"
#include "platform/tw_conf.h"
#include "route/port.h"

namespace south_test {

using bytes = std::vector<uint8_t>;
using steady = std::chrono::steady_clock;

inline bytes with_crc(bytes b) {
  const uint16_t crc = mb_crc16(b.data(), static_cast<uint32_t>(b.size()));
  b.push_back(static_cast<uint8_t>(crc >> 8));
  b.push_back(static_cast<uint8_t>(crc & 0xFF));
  return b;
}

inline bytes read_req(uint8_t unit, uint8_t fc, uint16_t start, uint16_t count) {
  return {unit, fc, static_cast<uint8_t>(start >> 8), static_cast<uint8_t>(start), static_cast<uint8_t>(count >> 8),
          static_cast<uint8_t>(count)};
}

// A read answer carrying `data_len` bytes counting up from `first`.
inline bytes answer(uint8_t unit, uint8_t fc, size_t data_len, uint8_t first = 0) {
  bytes a{unit, fc, static_cast<uint8_t>(data_len)};
  for (size_t i = 0; i < data_len; ++i) a.push_back(static_cast<uint8_t>(first + i));
  return a;
}

// An MBAP frame: header with transaction and protocol id, then `pdu`.
inline bytes mbap(uint16_t tid, uint16_t pid, const bytes &pdu) {
  bytes b{uint8_t(tid >> 8), uint8_t(tid), uint8_t(pid >> 8), uint8_t(pid), 0, uint8_t(pdu.size())};
  b.insert(b.end(), pdu.begin(), pdu.end());
  return b;
}

// A loopback socket of `type` bound to `port` (0: a free one, stored back),
// listening when it is a stream; -1 on failure.
inline int loopback_socket(int type, uint16_t &port) {
  const int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
  const int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(port);
  socklen_t len = sizeof a;
  if (bind(fd, reinterpret_cast<sockaddr *>(&a), len) != 0 || (type == SOCK_STREAM && listen(fd, 4) != 0)) {
    close(fd);
    return -1;
  }
  getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
  port = ntohs(a.sin_port);
  return fd;
}

inline size_t count_of(const std::string &text, const std::string &what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

template <class Pred>
bool wait_until(Pred pred, int ms) {
  const auto until = steady::now() + std::chrono::milliseconds(ms);
  while (!pred()) {
    if (steady::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

// The port `create` makes from the first SouthPort element of `xml`.
template <class Create>
auto create_from(Create create, const char *xml) {
  tw_conf_node *doc = tw_conf_open_xml_string(xml, TW_CONF_ARRAY_NAMES);
  uint32_t it = 0;
  auto port = create(tw_conf_node_child_query(tw_conf_node_child_query(doc, "SouthPort", nullptr), nullptr, &it));
  tw_conf_node_close(doc);
  return port;
}

// Where the answers of the test's requests arrive, and when they are freed.
struct reply_box {
  std::mutex m;  // guards everything below
  std::condition_variable cv;
  std::vector<bytes> answers;
  int freed = 0;
  steady::time_point freed_at{};

  size_t answer_count() {
    std::scoped_lock lock(m);
    return answers.size();
  }
  int freed_count() {
    std::scoped_lock lock(m);
    return freed;
  }
  bool wait_freed(int n, int ms) {
    std::unique_lock lock(m);
    return cv.wait_for(lock, std::chrono::milliseconds(ms), [&] { return freed >= n; });
  }
};

inline int on_answer(mb_frame *f, void *ctx, uint8_t, uint16_t, uint16_t) {
  auto *box = static_cast<reply_box *>(ctx);
  uint32_t len = 0;
  const uint8_t *d = mb_frame_get_data(f, &len);
  {
    std::scoped_lock lock(box->m);
    box->answers.emplace_back(d, d + len);
  }
  box->cv.notify_all();
  mb_frame_release(f);
  return 0;
}

inline void on_free(void *ctx) {
  auto *box = static_cast<reply_box *>(ctx);
  {
    std::scoped_lock lock(box->m);
    ++box->freed;
    box->freed_at = steady::now();
  }
  box->cv.notify_all();
}

// A request as a north port makes it: the box gets the answer and learns when
// the frame is freed.
inline mb_frame *request(reply_box &box, const bytes &req, uint8_t cache = 0) {
  mb_frame *f = mb_frame_create(req.data(), static_cast<int>(req.size()), on_answer, &box, on_free, req[0], 0, 0, cache);
  mb_frame_set_phy_id(f, req[0]);
  return f;
}

// A platform thread that offers its frames in turn, one per pass, as a
// north port does, and waits only to be woken (its period is far longer
// than any test).
struct offerer {
  offerer(south_port *p, std::vector<mb_frame *> frames) : port(p), frames(std::move(frames)) {
    thread = plat_thread_start([this] { pass(); }, 60000, "offerer");
  }
  ~offerer() {
    plat_close_handle(thread);
    for (size_t i = taken.load(); i < frames.size(); ++i) mb_frame_release(frames[i]);
  }
  offerer(const offerer &) = delete;
  offerer &operator=(const offerer &) = delete;
  void pass() {
    const size_t i = taken.load();
    if (i >= frames.size()) return;
    if (port->push_request(frames[i]) == 0) {
      taken.store(i + 1);
      plat_thread_wake_self();
    } else {
      refusals.fetch_add(1);
    }
  }
  south_port *port;
  std::vector<mb_frame *> frames;
  std::atomic<size_t> taken{0};
  std::atomic<int> refusals{0};
  plat_thread_handle thread;
};

// A pty pair: the port opens `link` (the slave), the test plays the device
// on the master. The test keeps a slave descriptor open so that the master
// never sees a hang-up while the port has its line closed.
class pty_pair final {
 public:
  pty_pair() {
    char tmpl[] = "/tmp/trellis-south-XXXXXX";
    dir = mkdtemp(tmpl);
    prefix = dir + "/ttyT";
    if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) return;
    termios tio{};
    tcgetattr(slave, &tio);
    cfmakeraw(&tio);
    tcsetattr(slave, TCSANOW, &tio);
  }
  ~pty_pair() {
    if (master >= 0) close(master);
    if (slave >= 0) close(slave);
    std::filesystem::remove_all(dir);
  }
  pty_pair(const pty_pair &) = delete;
  pty_pair &operator=(const pty_pair &) = delete;

  // Makes "<prefix><n - 1>" point at the slave, so that port n opens it.
  void link_port(int n) {
    link = prefix + std::to_string(n - 1);
    std::filesystem::create_symlink(ttyname(slave), link);
  }

  std::string dir, prefix, link;
  int master = -1;
  int slave = -1;
};

// The field device: on a pty master, on the connections a TCP listener
// (owned) accepts, the latest replacing the one before, or on a UDP socket
// (owned, datagram()). Records each request (a datagram, or the bytes up to
// 5 ms of silence) and plays the script its handler returns: chunks sent
// after a pause each; an empty chunk hangs up (TCP only); a `foreign` chunk
// comes from a second UDP socket on another port.
class fake_device final {
 public:
  struct step {
    int delay_ms;
    bytes data;
    bool foreign = false;
  };
  using script = std::vector<step>;
  using handler_fn = std::function<script(const bytes &request)>;

  fake_device(int fd, bool listener, handler_fn h = {}) : fake_device(fd, listener, std::move(h), -1) {}
  // A UDP device on a free loopback port (`port`).
  static std::unique_ptr<fake_device> datagram(handler_fn h) {
    uint16_t port = 0, other = 0;
    const int fd = loopback_socket(SOCK_DGRAM, port);
    auto d = std::unique_ptr<fake_device>(new fake_device(fd, true, std::move(h), loopback_socket(SOCK_DGRAM, other)));
    d->port = port;
    return d;
  }
  ~fake_device() {
    stop_ = true;
    thread_.join();
    if (listener_) close(fd_);
    if (other_fd_ >= 0) close(other_fd_);
  }
  fake_device(const fake_device &) = delete;
  fake_device &operator=(const fake_device &) = delete;

  void set_handler(handler_fn h) {
    std::scoped_lock lock(m_);
    handler_ = std::move(h);
  }
  std::vector<bytes> seen() {
    std::scoped_lock lock(m_);
    return seen_;
  }
  steady::time_point last_write() {
    std::scoped_lock lock(m_);
    return last_write_;
  }
  int sent() const { return sent_.load(); }  // chunks sent so far

  uint16_t port = 0;  // a datagram device's

 private:
  fake_device(int fd, bool listener, handler_fn h, int other_fd)
      : fd_(fd), listener_(listener), other_fd_(other_fd), handler_(std::move(h)), thread_([this] { run(); }) {}

  void run() {
    const bool datagram = other_fd_ >= 0;
    int conn = listener_ && !datagram ? -1 : fd_;
    sockaddr_in from{};
    socklen_t from_len = sizeof from;
    bytes cur;
    auto hang_up = [&] {
      close(conn);
      conn = -1;
      cur.clear();
    };
    while (!stop_) {
      pollfd p[2] = {{conn, POLLIN, 0}, {listener_ && !datagram ? fd_ : -1, POLLIN, 0}};
      poll(p, 2, 5);
      if (datagram && (p[0].revents & POLLIN)) {
        uint8_t buf[2048];
        from_len = sizeof from;
        const ssize_t n = recvfrom(fd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr *>(&from), &from_len);
        if (n > 0) cur.assign(buf, buf + n);
      } else if (p[1].revents & POLLIN) {
        if (conn >= 0) hang_up();
        conn = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
        continue;
      }
      if (!datagram && p[0].revents) {
        uint8_t buf[1024];
        const ssize_t n = read(conn, buf, sizeof buf);
        if (n > 0) {
          cur.insert(cur.end(), buf, buf + n);
          continue;
        }
        if (listener_) hang_up();  // the port hung up (a pty master: nobody holds the line)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
      if (cur.empty()) continue;
      handler_fn h;
      {
        std::scoped_lock lock(m_);
        seen_.push_back(cur);
        h = handler_;
      }
      for (const step &st : h ? h(cur) : script{}) {
        const auto until = steady::now() + std::chrono::milliseconds(st.delay_ms);
        while (!stop_ && steady::now() < until) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (stop_) break;
        if (st.data.empty()) {
          hang_up();
          break;
        }
        ssize_t w = datagram ? sendto(st.foreign ? other_fd_ : fd_, st.data.data(), st.data.size(), 0,
                                      reinterpret_cast<sockaddr *>(&from), from_len)
                             : write(conn, st.data.data(), st.data.size());
        (void)w;
        ++sent_;
        std::scoped_lock lock(m_);
        last_write_ = steady::now();
      }
      cur.clear();
    }
    if (listener_ && !datagram && conn >= 0) close(conn);
  }

  const int fd_;
  const bool listener_;
  const int other_fd_ = -1;
  std::atomic<bool> stop_{false};
  std::atomic<int> sent_{0};
  std::mutex m_;  // guards handler_, seen_, last_write_
  handler_fn handler_;
  std::vector<bytes> seen_;
  steady::time_point last_write_{};
  std::thread thread_;
};

}  // namespace south_test
