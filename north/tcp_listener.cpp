#include "north/tcp_listener.h"

#include <algorithm>

#include "platform/plat_log.h"
#include "platform/plat_thread.h"

namespace {
constexpr uint32_t kBindRetryMs = 1000;
constexpr uint32_t kBindLogEvery = 10;
constexpr uint32_t kAcceptBackoffFirstMs = 100;
constexpr uint32_t kAcceptBackoffMaxMs = 1600;
}  // namespace

bool tcp_listener::ensure_listening(int32_t tcp_port, int32_t backlog, int bound_level, const char *type) {
  if (sock_) return true;
  if (bind_failures_ > 0 && plat_systick_get() - last_failure_tick_ < kBindRetryMs) return false;

  plat_socket_handle s = plat_socket_create_tcp_ipv6();
  if (!s) {
    // Tried again a second later, like a failed bind.
    if (bind_failures_ % kBindLogEvery == 0) {
      PLAT_LOG(3, "[north %s] cannot create the listening socket: %s (%u failures so far)", type,
               plat_socket_error_text(plat_socket_last_error()).c_str(), bind_failures_ + 1);
    }
    ++bind_failures_;
    last_failure_tick_ = plat_systick_get();
    return false;
  }
  PLAT_LOG(6, "SOCKET CREATE DONE");
  plat_socket_setopt_reuse_addr(s.get(), 1);
  const uint16_t port_n = plat_htons(static_cast<uint16_t>(tcp_port));
  PLAT_LOG(7, "PARSE ADDR IS %d   CONVERT PORT IS %04X", tcp_port, port_n);
  uint8_t any[16] = {};
  plat_inet6_addr("::", any);
  PLAT_LOG(6, "GOING TO BIND");
  const bool port_ok = tcp_port > 0 && tcp_port <= 0xFFFF;
  if (!port_ok || plat_socket_bind_ipv6(s.get(), any, port_n) != 0 ||
      plat_socket_listen(s.get(), static_cast<uint16_t>(backlog)) != 0) {
    if (bind_failures_ % kBindLogEvery == 0) {
      PLAT_LOG(3, "tcp bind fail !");
      PLAT_LOG(3, "[north %s] cannot listen on tcp port %d: %s (%u failures so far), retrying every second", type,
               tcp_port, port_ok ? plat_socket_error_text(plat_socket_last_error()).c_str() : "no such port",
               bind_failures_ + 1);
    }
    ++bind_failures_;
    last_failure_tick_ = plat_systick_get();
    return false;  // `s` closes here: the next try starts from a fresh socket
  }
  PLAT_LOG(bound_level, "tcp ipv6 bind finish !");
  if (bind_failures_ > 0) PLAT_LOG(5, "[north %s] listening on tcp port %d after %u failed binds", type, tcp_port,
                                   bind_failures_);
  bind_failures_ = 0;
  sock_ = std::move(s);
  return true;
}

plat_socket_handle tcp_listener::accept(uint8_t peer_addr[16], uint16_t *peer_port, uint32_t timeout_ms,
                                        const char *type) {
  if (!sock_) return nullptr;
  plat_socket_handle conn = plat_socket_accept_ipv6(sock_.get(), peer_addr, peer_port, timeout_ms);
  const int err = plat_socket_last_error();
  if (conn || err == 0) {
    if (conn && accept_failures_ > 0) {
      PLAT_LOG(5, "[north %s] accepting again after %u failed accepts", type, accept_failures_);
      accept_failures_ = 0;
      accept_backoff_ms_ = 0;
    }
    return conn;
  }
  if (accept_failures_ % kBindLogEvery == 0) {
    PLAT_LOG(3, "[north %s] accept failed: %s (%u failures so far)", type, plat_socket_error_text(err).c_str(),
             accept_failures_ + 1);
  }
  ++accept_failures_;
  if (plat_socket_error_is_exhaustion(err)) {
    // The connection stays queued and poll reports it at once: without a
    // pause the server would fail on it again and again. The caller's sweep
    // of closed clients, right after, may free descriptors meanwhile.
    accept_backoff_ms_ = accept_backoff_ms_ == 0 ? kAcceptBackoffFirstMs
                                                 : std::min(accept_backoff_ms_ * 2, kAcceptBackoffMaxMs);
    plat_thread_wait_for_stop(accept_backoff_ms_);
  }
  return nullptr;
}
