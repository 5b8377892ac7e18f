// The listening socket of a north TCP server: IPv6, dual-stack, so IPv4
// masters connect too and appear as IPv4-mapped addresses.
//
// Owned and used by the server thread only. A bind that fails (port taken,
// no permission) is retried on a later pass, at most once a second, so the
// server starts serving as soon as the port becomes free.
#pragma once

#include <cstdint>

#include "platform/plat_socket.h"

class tcp_listener final {
 public:
  tcp_listener() = default;
  tcp_listener(const tcp_listener &) = delete;
  tcp_listener &operator=(const tcp_listener &) = delete;

  // True once the socket listens on `tcp_port` on "::" with `backlog`
  // (taken as 16 bits). While it does not, each call at least a second
  // after the last failure tries again; the failure is logged at level 3
  // the first time and every 10th time after. `bound_level` is the level
  // of the "tcp ipv6 bind finish !" line.
  bool ensure_listening(int32_t tcp_port, int32_t backlog, int bound_level, const char *type);

  // Waits up to `timeout_ms` for a connection; null when none came. A
  // failed accept is logged at level 3 the first time and every 10th time
  // after; one that failed for lack of descriptors (or socket memory) waits
  // before the next try, 100 ms doubling up to 1.6 s, instead of finding
  // the same queued connection again at once.
  plat_socket_handle accept(uint8_t peer_addr[16], uint16_t *peer_port, uint32_t timeout_ms, const char *type);

  bool listening() const { return sock_ != nullptr; }

 private:
  plat_socket_handle sock_;
  uint32_t bind_failures_ = 0;
  uint32_t last_failure_tick_ = 0;
  uint32_t accept_failures_ = 0;  // in a row
  uint32_t accept_backoff_ms_ = 0;  // the wait after the last exhausted accept, 0 after a good one
};
