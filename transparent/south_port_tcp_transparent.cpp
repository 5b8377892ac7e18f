#include "transparent/south_port_tcp_transparent.h"

#include <utility>

#include "platform/plat_log.h"
#include "platform/tw_conf.h"

namespace south_tcp_transparent {

namespace {

constexpr uint32_t kConnectPeriodMs = 1000;

uint16_t checked_port(const settings &s) {
  if (s.tcp_port < 1 || s.tcp_port > 0xFFFF) {
    PLAT_LOG(4, "[south %s]: tcp_port %d is not usable, system is setting as defaut val : 502\n", s.type.c_str(),
             s.tcp_port);
    return 502;
  }
  return static_cast<uint16_t>(s.tcp_port);
}

}  // namespace

port::port(const settings &s, struct mux *m)
    : port_base(s, m, "tcp",
                " south port tcp timeout has illegaled configuration, system is setting as defaut val : 1000 "),
      connector_({.type = s.type,
                  .label = "south " + s.type,
                  .host = s.host,
                  .port = checked_port(s),
                  .reconnect_ms = s.reconnect_ms},
                 stats) {}

port::~port() {
  // The manager first, so that it starts nothing more; a blocked receive is
  // cut short; then the threads, before the members they use go.
  plat_thread_handle cli;
  std::shared_ptr<plat_socket> s;
  {
    std::scoped_lock guard(conn_lock_);
    cli = std::move(cli_thread_);
  }
  plat_close_handle(cli);
  {
    std::scoped_lock guard(conn_lock_);
    s = std::move(sock_);
  }
  set_open(false);
  if (s) plat_socket_shutdown(s.get());
  close_threads();
}

int port::start(void *, void *) {
  std::scoped_lock guard(conn_lock_);
  if (cli_thread_) return 0;
  cli_thread_ = plat_thread_start([this] { mbtcp_cli_proc(); }, kConnectPeriodMs, "mbtcp_cli_proc");
  return 0;
}

bool port::connected() {
  std::shared_ptr<plat_socket> s = current_socket();
  return s && plat_socket_is_connected(s.get());
}

std::shared_ptr<plat_socket> port::current_socket() {
  std::scoped_lock guard(conn_lock_);
  return sock_;
}

void port::connection_broken(const std::shared_ptr<plat_socket> &s) {
  bool was_current = false;
  {
    std::scoped_lock guard(conn_lock_);
    if (s && sock_ == s) {
      sock_.reset();
      was_current = true;
    }
    plat_thread_wake(cli_thread_);
  }
  if (!was_current) return;
  set_open(false);
  // A receive still waiting on it (the send thread saw the break first)
  // returns at once.
  plat_socket_shutdown(s.get());
  PLAT_LOG(5, "[south %s] ip:[%s] port:[%d] disconnected.\n", config().type.c_str(), host().c_str(), tcp_port());
}

void port::mbtcp_cli_proc() {
  if (std::shared_ptr<plat_socket> s = current_socket()) {
    if (plat_socket_is_connected(s.get())) {
      plat_thread_idle_until_woken();  // whoever sees the connection break wakes this thread
      return;
    }
    connection_broken(s);
  }

  // Not connected: the old connection's threads go first, then what they
  // left in the lists.
  close_threads();
  release_all();

  if (!connector_.attempt_due()) return;
  const std::string &type = config().type;
  PLAT_LOG(7, "[south %s] ip:[%s] port:[%d] create new socket.\n", type.c_str(), host().c_str(), tcp_port());
  tcp_connector::result r = connector_.connect();
  if (r.what == tcp_connector::outcome::no_socket) {
    PLAT_LOG(7, "south port tcp socket create fail");
    return;
  }
  if (!r.sock) return;  // counted by the connector; the next attempt in a second

  {
    std::scoped_lock guard(conn_lock_);
    sock_ = r.sock;
  }
  port_stats::add(stats.connects);
  PLAT_LOG(5, "[south %s] ip:[%s] port:[%d] has been connected.\n", type.c_str(), host().c_str(), tcp_port());
  start_threads(config().mode == south_net_transparent::LISTEN_MODE ? nullptr : "mbtcp_send_proc",
                "mbtcp_receive_proc", [this] { mbtcp_receive_proc(); });
  if (!threads_running()) {
    // Without a receive thread nothing would ever notice the connection go.
    PLAT_LOG(3, "[south %s]: the receive thread could not be started; the connection is dropped\n", type.c_str());
    std::scoped_lock guard(conn_lock_);
    sock_.reset();
    return;
  }
  set_open(true);
  plat_thread_idle_until_woken();
}

bool port::transmit(const uint8_t *bytes, uint32_t len) {
  std::shared_ptr<plat_socket> s = current_socket();
  if (!s) return false;
  PLAT_LOG_BUF(6, "SOUTH TCP TRANSPARENT ->", bytes, len);
  if (plat_socket_send(s.get(), bytes, len) < 0) {
    connection_broken(s);
    return false;
  }
  return true;
}

void port::mbtcp_receive_proc() {
  // Our own reference: the connection may be dropped meanwhile, but the
  // descriptor stays open until this pass lets go of it.
  std::shared_ptr<plat_socket> s = current_socket();
  if (!s) {
    PLAT_LOG(7, "ROF(port->sock != PLAT_INVALID_HANDLE) failed");
    plat_thread_idle_until_woken();  // the manager closes this thread before it connects again
    return;
  }
  const int n = plat_socket_recv(s.get(), rx_buf(), rx_buf_size(), receive_wait_ms());
  expire_waiting();
  if (n < 0) {
    connection_broken(s);
    plat_thread_idle_until_woken();
    return;
  }
  if (n > 0) {
    port_stats::add(stats.bytes_in, static_cast<uint64_t>(n));
    data_arrived();
    if (static_cast<size_t>(n) >= rx_buf_size()) {
      // As much as one frame can carry, and maybe more behind it: no block.
      PLAT_LOG(3, "south port tcp transparent receive error\n");
      port_stats::add(stats.framing_drops);
    } else {
      handle_block(rx_buf(), static_cast<uint32_t>(n), "SOUTH TCP TRANSPARENT <-");
    }
  }
  // The wait is in the receive: straight back to it.
  plat_thread_wake_self();
}

std::unique_ptr<port> south_port_tcp_transparent_create(tw_conf_node *element, struct mux *m) {
  RVON(element, nullptr);
  settings s;
  static_cast<south_net_transparent::settings &>(s) = south_net_transparent::read_common(element, "transparent_mode");
  s.host = tw_conf_node_attr_get_string_dup(element, "host", "255.255.255.255");
  s.tcp_port = tw_conf_node_attr_get_int(element, "tcp_port", 502);
  return std::make_unique<port>(s, m);
}

}  // namespace south_tcp_transparent
