#include "platform/plat_socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/plat_log.h"
#include "platform/plat_thread.h"

namespace {

// A connect that has not completed by then fails.
constexpr uint32_t connect_limit_ms = 3000;
// A send that makes no progress for this long breaks the connection: the
// peer has stopped reading.
constexpr uint32_t send_stall_limit_ms = 3000;
// Long waits are cut into slices so that a closing thread or a terminating
// process is not held up.
constexpr int wait_slice_ms = 50;

// The calling thread's last failure of socket, bind, listen or accept.
thread_local int last_error = 0;

// Records `err` as the thread's last failure; returns `result`.
template <class T>
T failed(T result, int err) {
  last_error = err;
  return result;
}

plat_socket_handle make(int domain, int type) {
  last_error = 0;
  int fd = ::socket(domain, type | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    const int err = errno;
    PLAT_LOG(7, "socket(%s, %s) failed: %s", domain == AF_INET6 ? "AF_INET6" : "AF_INET",
             type == SOCK_STREAM ? "SOCK_STREAM" : "SOCK_DGRAM", std::strerror(err));
    return failed(plat_socket_handle{}, err);
  }
  if (domain == AF_INET6) {
    // Dual stack: IPv4 peers reach an IPv6 socket as ::ffff:a.b.c.d.
    int off = 0;
    if (setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof(off)) != 0) {
      PLAT_LOG(4, "IPV6_V6ONLY off failed: %s", std::strerror(errno));
    }
  }
  return std::make_unique<plat_socket>(fd);
}

void set_nodelay(int fd) {
  int on = 1;
  if (setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on)) != 0) {
    PLAT_LOG(7, "TCP_NODELAY failed: %s", std::strerror(errno));
  }
}

int socket_domain(int fd) {
  int domain = AF_INET;
  socklen_t len = sizeof(domain);
  if (getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &len) != 0) return AF_INET;
  return domain;
}

int socket_type(int fd) {
  int type = SOCK_STREAM;
  socklen_t len = sizeof(type);
  if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &len) != 0) return SOCK_STREAM;
  return type;
}

// Waits for `events` on fd for up to timeout_ms. Returns the revents
// (0 on time-out), -1 on error. EINTR restarts the wait with what is left.
int wait_fd(int fd, short events, uint32_t timeout_ms) {
  uint32_t start = plat_systick_get();
  for (;;) {
    uint32_t spent = plat_systick_get() - start;
    int left = spent >= timeout_ms ? 0 : static_cast<int>(timeout_ms - spent);
    pollfd p{fd, events, 0};
    int rc = ::poll(&p, 1, left);
    if (rc > 0) return p.revents;
    if (rc == 0) return 0;
    if (errno != EINTR) return -1;
  }
}

// Like wait_fd but gives up early when the calling thread must stop.
int wait_fd_stoppable(int fd, short events, uint32_t timeout_ms) {
  uint32_t start = plat_systick_get();
  for (;;) {
    uint32_t spent = plat_systick_get() - start;
    if (spent >= timeout_ms) return 0;
    uint32_t slice = std::min<uint32_t>(timeout_ms - spent, wait_slice_ms);
    int rc = wait_fd(fd, events, slice);
    if (rc != 0) return rc;
    if (plat_thread_wait_for_stop(0)) return 0;
  }
}

sockaddr_in6 v6_address(const uint8_t address[16], uint16_t port) {
  sockaddr_in6 a{};
  a.sin6_family = AF_INET6;
  a.sin6_port = port;
  if (address) std::memcpy(&a.sin6_addr, address, 16);
  return a;
}

sockaddr_in6 v4_mapped(uint32_t address, uint16_t port) {
  uint8_t bytes[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
  std::memcpy(bytes + 12, &address, 4);
  return v6_address(bytes, port);
}

sockaddr_in v4_address(uint32_t address, uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = port;
  a.sin_addr.s_addr = address;
  return a;
}

// A failed connect is only traced here: the caller reports it in its own
// terms (a south TCP port retries every second and speaks up at every tenth
// failure).
int do_connect(plat_socket *s, const sockaddr *a, socklen_t len, const char *what) {
  int rc;
  do {
    rc = ::connect(s->fd_, a, len);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0 && errno != EINPROGRESS) {
    PLAT_LOG(7, "connect to %s failed: %s", what, std::strerror(errno));
    return -1;
  }
  if (rc != 0) {
    int revents = wait_fd_stoppable(s->fd_, POLLOUT, connect_limit_ms);
    if (revents <= 0) {
      PLAT_LOG(7, "connect to %s: no answer within %u ms", what, connect_limit_ms);
      return -1;
    }
    int err = 0;
    socklen_t err_len = sizeof(err);
    if (getsockopt(s->fd_, SOL_SOCKET, SO_ERROR, &err, &err_len) != 0) err = errno;
    if (err != 0) {
      PLAT_LOG(7, "connect to %s failed: %s", what, std::strerror(err));
      return -1;
    }
  }
  if (socket_type(s->fd_) == SOCK_STREAM) set_nodelay(s->fd_);
  s->peer_gone_ = false;
  return 0;
}

}  // namespace

int plat_socket_last_error() { return last_error; }

std::string plat_socket_error_text(int error) { return std::strerror(error); }

bool plat_socket_error_is_exhaustion(int error) {
  return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

plat_socket::~plat_socket() {
  if (fd_ >= 0) ::close(fd_);
}

plat_socket_handle plat_socket_create_tcp() { return make(AF_INET, SOCK_STREAM); }
plat_socket_handle plat_socket_create_tcp_ipv6() { return make(AF_INET6, SOCK_STREAM); }
plat_socket_handle plat_socket_create_udp() { return make(AF_INET, SOCK_DGRAM); }
plat_socket_handle plat_socket_create_udp_ipv6() { return make(AF_INET6, SOCK_DGRAM); }

int plat_socket_setopt_reuse_addr(plat_socket *s, int on) {
  RVON(s, -1);
  int value = on ? 1 : 0;
  if (setsockopt(s->fd_, SOL_SOCKET, SO_REUSEADDR, &value, sizeof(value)) != 0) {
    PLAT_LOG(4, "SO_REUSEADDR failed: %s", std::strerror(errno));
    return -1;
  }
  return 0;
}

int plat_socket_bind(plat_socket *s, uint32_t address, uint16_t port) {
  RVON(s, -1);
  int rc;
  if (socket_domain(s->fd_) == AF_INET6) {
    // An IPv4 "any" address on a dual-stack socket means every address.
    sockaddr_in6 a = address == htonl(INADDR_ANY) ? v6_address(in6addr_any.s6_addr, port) : v4_mapped(address, port);
    rc = ::bind(s->fd_, reinterpret_cast<sockaddr *>(&a), sizeof(a));
  } else {
    sockaddr_in a = v4_address(address, port);
    rc = ::bind(s->fd_, reinterpret_cast<sockaddr *>(&a), sizeof(a));
  }
  if (rc != 0) {
    const int err = errno;
    PLAT_LOG(7, "bind to %s:%u failed: %s", plat_inet_ntoa(address).c_str(), ntohs(port), std::strerror(err));
    return failed(-1, err);
  }
  last_error = 0;
  return 0;
}

int plat_socket_bind_ipv6(plat_socket *s, const uint8_t address[16], uint16_t port) {
  RVON(s, -1);
  sockaddr_in6 a = v6_address(address, port);
  if (::bind(s->fd_, reinterpret_cast<sockaddr *>(&a), sizeof(a)) != 0) {
    char text[64];
    const int err = errno;
    PLAT_LOG(7, "bind to [%s]:%u failed: %s", plat_inet6_ntoa(a.sin6_addr.s6_addr, text, sizeof(text)), ntohs(port),
             std::strerror(err));
    return failed(-1, err);
  }
  last_error = 0;
  return 0;
}

int plat_socket_connect(plat_socket *s, uint32_t address, uint16_t port) {
  RVON(s, -1);
  std::string what = plat_inet_ntoa(address) + ":" + std::to_string(ntohs(port));
  if (socket_domain(s->fd_) == AF_INET6) {
    sockaddr_in6 a = v4_mapped(address, port);
    return do_connect(s, reinterpret_cast<sockaddr *>(&a), sizeof(a), what.c_str());
  }
  sockaddr_in a = v4_address(address, port);
  return do_connect(s, reinterpret_cast<sockaddr *>(&a), sizeof(a), what.c_str());
}

int plat_socket_connect_ipv6(plat_socket *s, const uint8_t address[16], uint16_t port) {
  RVON(s, -1);
  RVON(address, -1);
  char text[64];
  std::string what = std::string("[") + plat_inet6_ntoa(address, text, sizeof(text)) + "]:" + std::to_string(ntohs(port));
  sockaddr_in6 a = v6_address(address, port);
  return do_connect(s, reinterpret_cast<sockaddr *>(&a), sizeof(a), what.c_str());
}

int plat_socket_listen(plat_socket *s, int backlog) {
  RVON(s, -1);
  if (::listen(s->fd_, backlog) != 0) {
    const int err = errno;
    PLAT_LOG(7, "listen failed: %s", std::strerror(err));
    return failed(-1, err);
  }
  last_error = 0;
  return 0;
}

plat_socket_handle plat_socket_accept_ipv6(plat_socket *s, uint8_t address[16], uint16_t *port, uint32_t timeout_ms) {
  RVON(s, nullptr);
  last_error = 0;
  int revents = wait_fd(s->fd_, POLLIN, timeout_ms);
  if (revents <= 0) return nullptr;
  sockaddr_storage peer{};
  socklen_t len = sizeof(peer);
  int fd;
  do {
    fd = ::accept4(s->fd_, reinterpret_cast<sockaddr *>(&peer), &len, SOCK_CLOEXEC | SOCK_NONBLOCK);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    // EAGAIN: the peer went away between poll and accept.
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != ECONNABORTED) {
      const int err = errno;
      PLAT_LOG(7, "accept failed: %s", std::strerror(err));
      return failed(plat_socket_handle{}, err);
    }
    return nullptr;
  }
  sockaddr_in6 as_v6{};
  if (peer.ss_family == AF_INET) {
    const auto *v4 = reinterpret_cast<const sockaddr_in *>(&peer);
    as_v6 = v4_mapped(v4->sin_addr.s_addr, v4->sin_port);
  } else {
    std::memcpy(&as_v6, &peer, sizeof(as_v6));
  }
  if (address) std::memcpy(address, as_v6.sin6_addr.s6_addr, 16);
  if (port) *port = as_v6.sin6_port;
  set_nodelay(fd);
  return std::make_unique<plat_socket>(fd);
}

void plat_socket_shutdown(plat_socket *s) {
  if (!s || s->fd_ < 0) return;
  ::shutdown(s->fd_, SHUT_RDWR);
}

bool plat_socket_is_connected(plat_socket *s) {
  if (!s || s->fd_ < 0 || s->peer_gone_) return false;
  char byte;
  ssize_t n = ::recv(s->fd_, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
  if (n > 0) return true;
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return true;
  // 0: orderly close; anything else: reset, not connected...
  s->peer_gone_ = true;
  return false;
}

int plat_socket_send(plat_socket *s, const void *bytes, size_t n) {
  RVON(s, -1);
  if (s->peer_gone_) return -1;
  if (n == 0) return 0;
  RVON(bytes, -1);
  const auto *p = static_cast<const uint8_t *>(bytes);
  size_t done = 0;
  while (done < n) {
    ssize_t rc = ::send(s->fd_, p + done, n - done, MSG_NOSIGNAL);
    if (rc > 0) {
      done += static_cast<size_t>(rc);
      continue;
    }
    if (rc < 0 && errno == EINTR) continue;
    if (rc < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      int revents = wait_fd_stoppable(s->fd_, POLLOUT, send_stall_limit_ms);
      if (revents > 0 && (revents & POLLOUT)) continue;
      if (revents == 0) {
        PLAT_LOG(4, "send stalled: %zu of %zu bytes sent", done, n);
      }
      s->peer_gone_ = true;
      return -1;
    }
    PLAT_LOG(5, "send failed: %s", rc < 0 ? std::strerror(errno) : "nothing sent");
    s->peer_gone_ = true;
    return -1;
  }
  return static_cast<int>(done);
}

int plat_socket_recv(plat_socket *s, void *buf, size_t size, uint32_t timeout_ms) {
  RVON(s, -1);
  if (s->peer_gone_) return -1;
  if (size == 0) return 0;
  RVON(buf, -1);
  int revents = wait_fd(s->fd_, POLLIN, timeout_ms);
  if (revents == 0) return 0;
  if (revents < 0) {
    PLAT_LOG(3, "poll failed: %s", std::strerror(errno));
    return -1;
  }
  for (;;) {
    ssize_t rc = ::recv(s->fd_, buf, size, 0);
    if (rc > 0) return static_cast<int>(rc);
    if (rc < 0 && errno == EINTR) continue;
    if (rc < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return 0;
    if (rc < 0) PLAT_LOG(5, "recv failed: %s", std::strerror(errno));
    s->peer_gone_ = true;
    return -1;
  }
}

int plat_socket_sendto(plat_socket *s, const void *bytes, size_t n, uint32_t address, uint16_t port) {
  RVON(s, -1);
  RVON(bytes || n == 0, -1);
  ssize_t rc;
  do {
    if (socket_domain(s->fd_) == AF_INET6) {
      sockaddr_in6 a = v4_mapped(address, port);
      rc = ::sendto(s->fd_, bytes, n, MSG_NOSIGNAL, reinterpret_cast<sockaddr *>(&a), sizeof(a));
    } else {
      sockaddr_in a = v4_address(address, port);
      rc = ::sendto(s->fd_, bytes, n, MSG_NOSIGNAL, reinterpret_cast<sockaddr *>(&a), sizeof(a));
    }
  } while (rc < 0 && errno == EINTR);
  if (rc < 0) {
    PLAT_LOG(4, "sendto %s:%u failed: %s", plat_inet_ntoa(address).c_str(), ntohs(port), std::strerror(errno));
    return -1;
  }
  return static_cast<int>(rc);
}

int plat_socket_recvfrom(plat_socket *s, void *buf, size_t size, uint32_t *address, uint16_t *port,
                         uint32_t timeout_ms) {
  RVON(s, -1);
  RVON(buf, -1);
  // A receive thread waiting for datagrams is stopped without waiting out
  // its receive; a look without a wait looks once.
  int revents = timeout_ms == 0 ? wait_fd(s->fd_, POLLIN, 0) : wait_fd_stoppable(s->fd_, POLLIN, timeout_ms);
  if (revents == 0) return 0;
  if (revents < 0) {
    PLAT_LOG(3, "poll failed: %s", std::strerror(errno));
    return -1;
  }
  for (;;) {
    sockaddr_storage from{};
    socklen_t len = sizeof(from);
    ssize_t rc = ::recvfrom(s->fd_, buf, size, 0, reinterpret_cast<sockaddr *>(&from), &len);
    if (rc < 0 && errno == EINTR) continue;
    if (rc < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return 0;
    if (rc < 0) {
      PLAT_LOG(4, "recvfrom failed: %s", std::strerror(errno));
      return -1;
    }
    uint32_t from_address = 0;
    uint16_t from_port = 0;
    if (from.ss_family == AF_INET) {
      const auto *v4 = reinterpret_cast<const sockaddr_in *>(&from);
      from_address = v4->sin_addr.s_addr;
      from_port = v4->sin_port;
    } else if (from.ss_family == AF_INET6) {
      const auto *v6 = reinterpret_cast<const sockaddr_in6 *>(&from);
      // Only IPv4-mapped senders have an IPv4 address to report.
      if (IN6_IS_ADDR_V4MAPPED(&v6->sin6_addr)) std::memcpy(&from_address, v6->sin6_addr.s6_addr + 12, 4);
      from_port = v6->sin6_port;
    }
    if (address) *address = from_address;
    if (port) *port = from_port;
    return static_cast<int>(rc);
  }
}

uint16_t plat_htons(uint16_t v) { return htons(v); }
uint16_t plat_ntohs(uint16_t v) { return ntohs(v); }
uint32_t plat_ntohl(uint32_t v) { return ntohl(v); }

bool plat_inet_addr_parse(const char *text, uint32_t *out) {
  if (!text || !out) return false;
  // inet_pton takes exactly four decimal parts and refuses leading zeros
  // (which inet_addr would read as octal).
  in_addr a{};
  if (inet_pton(AF_INET, text, &a) != 1) return false;
  *out = a.s_addr;
  return true;
}

uint32_t plat_inet_addr(const char *text) {
  in_addr a{};
  if (!text || inet_pton(AF_INET, text, &a) != 1) return INADDR_NONE;
  return a.s_addr;
}

std::string plat_inet_ntoa(uint32_t address) {
  in_addr a{};
  a.s_addr = address;
  char text[INET_ADDRSTRLEN];
  if (!inet_ntop(AF_INET, &a, text, sizeof(text))) return "?";
  return text;
}

int plat_inet6_addr(const char *text, uint8_t address[16]) {
  RVON(address, 0);
  in6_addr a{};
  if (!text || inet_pton(AF_INET6, text, &a) != 1) return 0;
  std::memcpy(address, a.s6_addr, 16);
  return 1;
}

const char *plat_inet6_ntoa(const uint8_t address[16], char *buf, size_t size) {
  if (!buf || size == 0) return "";
  buf[0] = '\0';
  if (!address) return buf;
  in6_addr a{};
  std::memcpy(a.s6_addr, address, 16);
  if (!inet_ntop(AF_INET6, &a, buf, static_cast<socklen_t>(size))) buf[0] = '\0';
  return buf;
}
