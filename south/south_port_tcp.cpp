#include "south/south_port_tcp.h"

#include <utility>

#include "platform/plat_log.h"

namespace {

// Ms the send thread waits in one receive before it looks at the time-out
// and at a stop request again.
constexpr uint32_t recv_wait_ms = 10;

south_port_tcp_settings check_settings(south_port_tcp_settings s) {
  if (s.timeout <= 0) {
    PLAT_LOG(4, " south port tcp timeout has illegaled configuration, system is setting as defaut val : 1000 ");
    s.timeout = 1000;
  }
  if (s.tcp_port < 1 || s.tcp_port > 0xFFFF) {
    PLAT_LOG(4, "[south %s]: tcp_port %d is not usable, system is setting as defaut val : 502\n", s.type.c_str(),
             s.tcp_port);
    s.tcp_port = 502;
  }
  if (s.time_interval < 0) {
    PLAT_LOG(4, "[south %s]: time_interval %d is not usable, system is setting as defaut val : 50\n", s.type.c_str(),
             s.time_interval);
    s.time_interval = 50;
  }
  s.cache_polling_cycle = south_port_polling_cycle(s.type, s.cache_polling_cycle);
  return s;
}

}  // namespace

south_port_tcp::south_port_tcp(const south_port_tcp_settings &settings)
    : south_port_tcp(checked{}, check_settings(settings)) {}

south_port_tcp::south_port_tcp(checked, const south_port_tcp_settings &s)
    : south_port_base(s.type, static_cast<uint32_t>(s.timeout), static_cast<uint32_t>(s.cache_polling_cycle)),
      settings_(s),
      connector_({.type = s.type,
                  .label = s.type,
                  .host = s.host,
                  .port = static_cast<uint16_t>(s.tcp_port),
                  .reconnect_ms = s.reconnect_ms},
                 stats) {
  mbap_framer_init(&mbap_, mbap_side::south);
  rtu_framer_options rtu;
  rtu.gap_ms = static_cast<uint32_t>(s.time_interval);
  rtu.frame_end = s.frame_end;
  rtu_framer_init(&rtu_, rtu);
}

south_port_tcp::~south_port_tcp() {
  // The manager first, so that it starts nothing more; then the threads it
  // started; both before the members they use go.
  plat_thread_handle cli;
  {
    std::scoped_lock lock(conn_lock_);
    cli = std::move(cli_thread_);
  }
  plat_close_handle(cli);
  close_threads();
  std::scoped_lock lock(conn_lock_);
  sock_.reset();
}

int south_port_tcp::start(void *, void *) {
  std::scoped_lock lock(conn_lock_);
  if (cli_thread_) return 0;
  PLAT_LOG(5, "start south tcp single mode\n");
  cli_thread_ = plat_thread_start([this] { mbtcp_cli_proc(); }, 1000, "mbtcp_cli_proc");
  return 0;
}

bool south_port_tcp::connected() {
  std::shared_ptr<plat_socket> s = current_socket();
  return s && plat_socket_is_connected(s.get());
}

std::shared_ptr<plat_socket> south_port_tcp::current_socket() {
  std::scoped_lock lock(conn_lock_);
  return sock_;
}

bool south_port_tcp::drop_socket(const std::shared_ptr<plat_socket> &s) {
  std::scoped_lock lock(conn_lock_);
  if (!s || sock_ != s) return false;
  sock_.reset();
  return true;
}

void south_port_tcp::wake_manager() {
  std::scoped_lock lock(conn_lock_);
  plat_thread_wake(cli_thread_);
}

void south_port_tcp::mbtcp_cli_proc() {
  if (std::shared_ptr<plat_socket> s = current_socket()) {
    if (plat_socket_is_connected(s.get())) return;
    // The device went away between exchanges (or the send thread has not
    // yet noticed). Connecting again on the same socket cannot work, so it
    // is replaced now, with the send and cache threads closed first.
    if (drop_socket(s)) {
      PLAT_LOG(5, "[%s] ip:[%s] port:[%d] disconnected.\n", type().c_str(), host().c_str(), settings_.tcp_port);
    }
  }

  // No connection: nothing may be using the old one any more, and a request
  // waiting in the slot belongs to it.
  close_threads();
  if (mb_frame *left = pending_request()) release_unanswered(left, MB_EX_GATEWAY_PATH_UNAVAILABLE);

  // Woken early (the send thread found the connection gone): the slot is
  // free now, but the next connect waits for its second.
  if (!connector_.attempt_due()) return;
  std::shared_ptr<plat_socket> s = connect_socket();
  if (!s) return;

  // A new stream: nothing half-received from the old one counts.
  mbap_framer_reset(&mbap_);
  rtu_framer_reset(&rtu_);
  stream_broken_ = false;
  {
    std::scoped_lock lock(conn_lock_);
    sock_ = s;
  }
  port_stats::add(stats.connects);
  PLAT_LOG(5, "[%s] has ip:[%s] port:[%d] been connected.\n", type().c_str(), host().c_str(), settings_.tcp_port);
  start_threads("mbtcp_send_proc");
  if (!threads_running()) {
    // Without a send thread the connection would hold requests forever.
    PLAT_LOG(3, "[%s]: the send thread could not be started; the connection is dropped\n", type().c_str());
    drop_socket(s);
  }
}

std::shared_ptr<plat_socket> south_port_tcp::connect_socket() {
  tcp_connector::result r = connector_.connect();
  if (r.what == tcp_connector::outcome::no_socket) PLAT_LOG(7, "ROF(port->sock != PLAT_INVALID_HANDLE) failed");
  return std::move(r.sock);
}

mb_frame *south_port_tcp::rx_tcp_fsm(const uint8_t *bytes, int n) {
  const mbap_result r = mbap_framer_feed(&mbap_, bytes, n);
  if (r.oversize != 0) {
    PLAT_LOG(4, "[south %s]: answer announcing %u bytes is longer than any Modbus answer; the connection is dropped\n",
             type().c_str(), r.oversize);
    stream_broken_ = true;
    port_stats::add(stats.framing_drops);
    return nullptr;
  }
  return mbap_answer_frame(r, mbap_);
}

mb_frame *south_port_tcp::rx_rtu_fsm(const uint8_t *bytes, int n, uint32_t now) {
  const rtu_framer_result r = rtu_framer_feed(&rtu_, bytes, n, now);
  if (r.event == rtu_framer_event::none) return nullptr;
  if (r.event != rtu_framer_event::overflow) PLAT_LOG(7, " GET MSG LEN IS %d\n ", static_cast<int>(r.raw_len));
  if (r.event == rtu_framer_event::frame || r.event == rtu_framer_event::crc_error) {
    PLAT_LOG(7, "NEW CRC  =  %02X    old CRC is %02X \n", r.crc_calc, r.crc_recv);
  }
  return rtu_answer_frame(r, "rtu over tcp", "dropped up to the next silence");
}

bool south_port_tcp::discard_late_bytes(plat_socket *sock) {
  mbap_framer_reset(&mbap_);
  rtu_framer_reset(&rtu_);
  // Bounded: a device that streams without pause cannot hold the pass here.
  for (int i = 0; i < 64; ++i) {
    const int n = plat_socket_recv(sock, read_buf_, sizeof(read_buf_), 0);
    if (n < 0) return false;
    if (n == 0) return true;
    PLAT_LOG_BUF(6, "[south] late bytes discarded:", read_buf_, static_cast<uint32_t>(n));
  }
  return true;
}

void south_port_tcp::send_pass() {
  // Our own reference: the manager may drop the connection meanwhile, but
  // the descriptor stays open until this pass lets go of it.
  std::shared_ptr<plat_socket> sock = current_socket();
  if (!sock) {
    PLAT_LOG(7, "ROF(south_port->sock != PLAT_INVALID_HANDLE) failed");
    return;
  }
  mb_frame *req = pending_request();
  if (!req) return;
  if (!plat_socket_is_connected(sock.get())) {
    // The device went away: the manager replaces the connection (and drops
    // this request) now rather than at the end of its period.
    wake_manager();
    return;
  }
  PLAT_LOG(6, "tcp get frame from send list");

  if (answered_from_cache(req, type(), "SOUTH TCP CACHE <-")) return;

  uint32_t tx_len = 0;
  const uint8_t *tx = network_request(req, settings_.rtu_over_tcp, &transaction_counter_, &tx_len);
  if (!tx) {
    // Too long for the wire buffer (logged by the conversion): as if timed out.
    release_pending(req);
    return;
  }
  if (!discard_late_bytes(sock.get())) {
    release_unanswered(req);
    if (drop_socket(sock)) {
      PLAT_LOG(5, "[%s] ip:[%s] port:[%d] disconnected.\n", type().c_str(), host().c_str(), settings_.tcp_port);
    }
    wake_manager();
    return;
  }
  PLAT_LOG_BUF(6, "SOUTH TCP ->", tx, tx_len);
  // A failed send shows up as a failed receive below.
  if (plat_socket_send(sock.get(), tx, tx_len) > 0) port_stats::add(stats.bytes_out, tx_len);

  if (mb_frame_is_broadcast(req)) {
    release_pending(req);  // nobody answers a broadcast
    return;
  }

  mb_frame *answer = nullptr;
  const auto read = [this, &sock](uint8_t *buf, size_t size) {
    if (stream_broken_) return -1;
    const int n = plat_socket_recv(sock.get(), buf, size, recv_wait_ms);
    if (n > 0) port_stats::add(stats.bytes_in, static_cast<uint64_t>(n));
    return n;
  };
  const bool mbap = !settings_.rtu_over_tcp;
  const wait_result r = wait_for_answer(
      req, read,
      [this, req, mbap](const uint8_t *bytes, int n) {
        return answer_or_null(req, mbap ? rx_tcp_fsm(bytes, n) : rx_rtu_fsm(bytes, n, plat_systick_get()), mbap);
      },
      &answer);
  // Stopped: being closed by the manager, which also empties the slot.
  if (finish_exchange(r, req, answer) || r == wait_result::stopped) return;
  // The connection failed during the exchange.
  release_unanswered(req);
  if (drop_socket(sock)) {
    PLAT_LOG(5, "[%s] ip:[%s] port:[%d] disconnected.\n", type().c_str(), host().c_str(), settings_.tcp_port);
  }
  // The manager replaces the connection now rather than at the end of its
  // period.
  wake_manager();
}

std::unique_ptr<south_port_tcp> south_port_tcp_create(tw_conf_node *element) {
  RVON(element, nullptr);
  south_port_tcp_settings s;
  s.id = tw_conf_node_attr_get_int(element, "id", 255);
  s.type = tw_conf_node_attr_get_string_dup(element, "type", "tcp");
  s.timeout = tw_conf_node_attr_get_int(element, "timeout", 1000);
  s.host = tw_conf_node_attr_get_string_dup(element, "host", "255.255.255.255");
  s.rtu_over_tcp = tw_conf_node_attr_get_string_dup(element, "rtu_over_tcp", "false") == "true";
  // `list_size` sizes queues a port with one pending request has no use
  // for; it is accepted and has no effect.
  s.tcp_port = tw_conf_node_attr_get_int(element, "tcp_port", 502);
  s.time_interval = tw_conf_node_attr_get_int(element, "time_interval", 50);
  s.cache_polling_cycle = tw_conf_node_attr_get_int(element, "cache_polling_cycle", 5000);
  s.frame_end = rtu_frame_end_from_text(("south " + s.type).c_str(),
                                        tw_conf_node_attr_get_string(element, "frame_end", nullptr), true);
  return std::make_unique<south_port_tcp>(s);
}
