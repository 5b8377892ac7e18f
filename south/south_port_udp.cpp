#include "south/south_port_udp.h"

#include "platform/plat_log.h"

namespace south_udp {

namespace {

// Ms the send thread waits in one receive before it looks at the time-out
// and at a stop request again.
constexpr uint32_t recv_wait_ms = 10;
// Late datagrams dropped before a request, at most: a device that streams
// without pause cannot hold the pass there.
constexpr int late_datagrams_max = 64;

south_port_udp_settings check_settings(south_port_udp_settings s) {
  if (s.timeout <= 0) {
    PLAT_LOG(4, " south port udp timeout has illegaled configuration, system is setting as defaut val : 1000 ");
    s.timeout = 1000;
  }
  if (s.udp_port < 1 || s.udp_port > 0xFFFF) {
    PLAT_LOG(4, "[south %s]: udp_port %d is not usable, system is setting as defaut val : 502\n", s.type.c_str(),
             s.udp_port);
    s.udp_port = 502;
  }
  s.cache_polling_cycle = static_cast<int>(south_port_polling_cycle(s.type, s.cache_polling_cycle));
  return s;
}

}  // namespace

south_port_udp::south_port_udp(const south_port_udp_settings &settings)
    : south_port_udp(checked{}, check_settings(settings)) {}

south_port_udp::south_port_udp(checked, const south_port_udp_settings &s)
    : south_port_base(s.type, static_cast<uint32_t>(s.timeout), static_cast<uint32_t>(s.cache_polling_cycle)),
      settings_(s),
      device_(s.type, s.host, static_cast<uint16_t>(s.udp_port)) {
  mbap_framer_init(&mbap_, mbap_side::south);
  // One datagram is one frame: every feed is cut at once, and a datagram
  // longer than any RTU frame is dropped whole.
  rtu_framer_init(&rtu_, {.gap_ms = 0,
                          .gap_inclusive = true,
                          .check_crc = true,
                          .max_len = MB_RTU_ADU_MAX,
                          .discard_until_silence = true});
}

south_port_udp::~south_port_udp() {
  // The threads use the socket and the framers.
  close_threads();
}

int south_port_udp::start(void *, void *) {
  if (threads_running()) return 0;
  if (!sock_) {
    sock_ = plat_socket_create_udp();
    if (!sock_) {
      // Nothing could ever be sent: requests stay pending, as with no device.
      PLAT_LOG(3, "[south %s]: no udp socket; the port does not start\n", type().c_str());
      return 0;
    }
  }
  start_threads("mbudp_send_proc");
  PLAT_LOG(5, "south port udp has been started.");
  return 0;
}

mb_frame *south_port_udp::rx_udp_fsm(const uint8_t *bytes, int n) {
  const mbap_result r = mbap_framer_feed(&mbap_, bytes, n);
  if (r.oversize != 0) {
    // The datagram is dropped whole; the next one starts with a header.
    port_stats::add(stats.framing_drops);
    PLAT_LOG(4, "[south %s]: answer announcing %u bytes is longer than any Modbus answer, dropped\n", type().c_str(),
             r.oversize);
    mbap_framer_reset(&mbap_);
    return nullptr;
  }
  return mbap_answer_frame(r, mbap_);
}

mb_frame *south_port_udp::rx_rtu_fsm(const uint8_t *bytes, int n) {
  if (n <= 0) return nullptr;
  const rtu_framer_result r = rtu_framer_feed(&rtu_, bytes, n, plat_systick_get());
  if (r.event == rtu_framer_event::frame || r.event == rtu_framer_event::crc_error) {
    PLAT_LOG(7, "HCRC IS %02X \n", r.crc_recv >> 8);
    PLAT_LOG(7, "LCRC IS %02X \n", r.crc_recv & 0xFF);
    PLAT_LOG(7, " GET MSG LEN IS %d\n ", static_cast<int>(r.raw_len - 2));
    PLAT_LOG(7, "NEW CRC  =  %02X    old CRC is %02X \n", r.crc_calc, r.crc_recv);
  }
  return rtu_answer_frame(r, "rtu over udp", "dropped");
}

int south_port_udp::receive(uint8_t *buf, size_t size, uint32_t wait_ms, bool *foreign) {
  // A failed receive is no datagram: the exchange waits on for the time-out.
  const int n = device_.receive(sock_.get(), buf, size, wait_ms, stats, foreign);
  if (n < 0) return 0;
  if (*foreign) {
    PLAT_LOG(4,
             "The north port UDP device IP or port is not registered in the configuration file, check the "
             "configuration or link\n");
  }
  return n;
}

void south_port_udp::discard_late_datagrams() {
  mbap_framer_reset(&mbap_);
  rtu_framer_reset(&rtu_);
  for (int i = 0; i < late_datagrams_max; ++i) {
    bool foreign = false;
    const int n = receive(read_buf_, sizeof(read_buf_), 0, &foreign);
    if (n == 0) return;
    if (!foreign) PLAT_LOG_BUF(6, "[south] late datagram discarded:", read_buf_, static_cast<uint32_t>(n));
  }
}

void south_port_udp::send_pass() {
  if (!sock_) return;
  mb_frame *req = pending_request();
  if (!req) return;
  PLAT_LOG(7, "udp get frame from send list");

  if (answered_from_cache(req, "south " + type(), "SOUTH UDP CACHE <-")) return;

  uint32_t tx_len = 0;
  const uint8_t *tx = network_request(req, settings_.rtu_over_udp, &transaction_counter_, &tx_len);
  if (!tx) {
    // Too long for the wire buffer (logged by the conversion): as if timed out.
    release_pending(req);
    return;
  }
  discard_late_datagrams();
  PLAT_LOG_BUF(6, "SOUTH UDP ->", tx, tx_len);
  if (device_.send(sock_.get(), tx, tx_len) < 0) {
    // Nothing went out, so nothing can answer (the send's failure is logged):
    // the device cannot be reached.
    release_unanswered(req, MB_EX_GATEWAY_PATH_UNAVAILABLE);
    return;
  }
  port_stats::add(stats.bytes_out, tx_len);

  if (mb_frame_is_broadcast(req)) {
    release_pending(req);  // nobody answers a broadcast
    return;
  }

  // Set by each receive for the parse that follows it: a datagram from
  // elsewhere restarts the time-out like any other, but is not read.
  bool foreign = false;
  const auto read = [this, &foreign](uint8_t *buf, size_t size) {
    return receive(buf, size, recv_wait_ms, &foreign);
  };
  mb_frame *answer = nullptr;
  const bool mbap = !settings_.rtu_over_udp;
  const wait_result r = wait_for_answer(
      req, read,
      [this, req, mbap, &foreign](const uint8_t *bytes, int n) {
        if (foreign) return static_cast<mb_frame *>(nullptr);
        return answer_or_null(req, mbap ? rx_udp_fsm(bytes, n) : rx_rtu_fsm(bytes, n), mbap);
      },
      &answer);
  // A failed receive counts as no datagram, so the wait never fails; a
  // stopped one is the port being closed, and the slot's request goes with it.
  finish_exchange(r, req, answer);
}

std::unique_ptr<south_port_udp> south_port_udp_create(tw_conf_node *element) {
  RVON(element, nullptr);
  south_port_udp_settings s;
  s.id = tw_conf_node_attr_get_int(element, "id", 255);
  s.type = tw_conf_node_attr_get_string_dup(element, "type", "udp");
  s.timeout = tw_conf_node_attr_get_int(element, "timeout", 1000);
  s.host = tw_conf_node_attr_get_string_dup(element, "host", "255.255.255.255");
  s.rtu_over_udp = tw_conf_node_attr_get_string_dup(element, "rtu_over_udp", "0") == "true";
  // `list_size` sized queues a port with one pending request has no use
  // for, and `time_interval` has no meaning when a datagram is a frame:
  // both are accepted and have no effect.
  s.udp_port = tw_conf_node_attr_get_int(element, "udp_port", 502);
  s.cache_polling_cycle = tw_conf_node_attr_get_int(element, "cache_polling_cycle", 5000);
  return std::make_unique<south_port_udp>(s);
}

}  // namespace south_udp
