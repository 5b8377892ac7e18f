// TCP and UDP sockets over IPv4 and IPv6.
//
// Addresses and ports are in network byte order, like the values
// plat_inet_addr() and plat_htons() return. Every socket is close-on-exec;
// sends never raise SIGPIPE; TCP sockets get TCP_NODELAY once connected.
// errno is turned into the return conventions below here, once.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

class plat_socket final {
 public:
  explicit plat_socket(int fd) : fd_(fd) {}
  ~plat_socket();
  plat_socket(const plat_socket &) = delete;
  plat_socket &operator=(const plat_socket &) = delete;
  int fd() const { return fd_; }

  int fd_;
  // Set once a send or receive saw the connection end. Atomic: one thread
  // may ask plat_socket_is_connected() while another receives.
  std::atomic<bool> peer_gone_{false};
};

using plat_socket_handle = std::unique_ptr<plat_socket>;

// Creating, binding, listening and accepting report their failures instead
// of logging them: callers that retry decide how often a failure is worth a
// line. The reason of the calling thread's last failed call of these, or 0
// after one that succeeded or found nothing to do:
int plat_socket_last_error();
// Its text.
std::string plat_socket_error_text(int error);
// True for the errors of a process or system out of descriptors or socket
// memory: trying again at once would fail again.
bool plat_socket_error_is_exhaustion(int error);

// Null on failure (reason: plat_socket_last_error()).
plat_socket_handle plat_socket_create_tcp();
plat_socket_handle plat_socket_create_tcp_ipv6();  // dual-stack: also takes IPv4 peers, IPv4-mapped
plat_socket_handle plat_socket_create_udp();
plat_socket_handle plat_socket_create_udp_ipv6();

int plat_socket_setopt_reuse_addr(plat_socket *s, int on);

// 0 on success, -1 on failure.
int plat_socket_bind(plat_socket *s, uint32_t address, uint16_t port);
int plat_socket_bind_ipv6(plat_socket *s, const uint8_t address[16], uint16_t port);
// Connect with a bounded wait (3 s): 0 on success, -1 on failure.
int plat_socket_connect(plat_socket *s, uint32_t address, uint16_t port);
int plat_socket_connect_ipv6(plat_socket *s, const uint8_t address[16], uint16_t port);
int plat_socket_listen(plat_socket *s, int backlog);

// Waits up to `timeout_ms` for a connection. Returns the new socket, or null
// when none arrived (plat_socket_last_error() 0) or the accept failed (its
// reason; the connection stays queued). The peer address is written as 16 bytes (IPv4 peers of
// a dual-stack listener appear IPv4-mapped, ::ffff:a.b.c.d).
plat_socket_handle plat_socket_accept_ipv6(plat_socket *s, uint8_t address[16], uint16_t *port,
                                           uint32_t timeout_ms);

// Shuts both directions of a connection: a receive waiting on it (in
// another thread that holds the socket) returns at once as "peer gone".
void plat_socket_shutdown(plat_socket *s);

// False once the peer has gone (orderly close or error).
bool plat_socket_is_connected(plat_socket *s);

// Sends all bytes. Returns the count sent, or negative when the connection
// is broken.
int plat_socket_send(plat_socket *s, const void *bytes, size_t n);
// Waits up to `timeout_ms`. Returns the count received, 0 on time-out,
// negative when the peer is gone (an orderly close included).
int plat_socket_recv(plat_socket *s, void *buf, size_t size, uint32_t timeout_ms);

// Datagrams (IPv4). sendto: count sent or negative on failure.
int plat_socket_sendto(plat_socket *s, const void *bytes, size_t n, uint32_t address, uint16_t port);
// recvfrom: count received, 0 when nothing came within `timeout_ms` (or
// the calling thread was asked to stop meanwhile), negative on error. Writes
// the sender's address and port. A datagram longer than `size` is cut to it.
int plat_socket_recvfrom(plat_socket *s, void *buf, size_t size, uint32_t *address, uint16_t *port,
                         uint32_t timeout_ms);

inline void plat_close_handle(plat_socket_handle &h) { h.reset(); }

uint16_t plat_htons(uint16_t v);
uint16_t plat_ntohs(uint16_t v);
uint32_t plat_ntohl(uint32_t v);
// Dotted text to an address in network byte order; 0xFFFFFFFF (INADDR_NONE)
// when the text is not an address.
uint32_t plat_inet_addr(const char *text);
// Strict dotted-decimal IPv4 (four parts 0-255, no leading zeros, nothing
// else): true with the address (network order) in *out, false otherwise.
bool plat_inet_addr_parse(const char *text, uint32_t *out);
std::string plat_inet_ntoa(uint32_t address);
// Non-zero when the text parsed; writes 16 bytes.
int plat_inet6_addr(const char *text, uint8_t address[16]);
// Writes the text form into buf (size >= 46) and returns buf.
const char *plat_inet6_ntoa(const uint8_t address[16], char *buf, size_t size);
