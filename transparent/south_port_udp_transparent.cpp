#include "transparent/south_port_udp_transparent.h"

#include "platform/plat_log.h"
#include "platform/tw_conf.h"

namespace south_udp_transparent {

namespace {

uint16_t checked_port(const settings &s) {
  if (s.udp_port < 1 || s.udp_port > 0xFFFF) {
    PLAT_LOG(4, "[south %s]: udp_port %d is not usable, system is setting as defaut val : 502\n", s.type.c_str(),
             s.udp_port);
    return 502;
  }
  return static_cast<uint16_t>(s.udp_port);
}

}  // namespace

port::port(const settings &s, struct mux *m)
    : port_base(s, m, "udp",
                " south port udp timeout has illegaled configuration, system is setting as defaut val : 1000 "),
      device_(s.type, s.host, checked_port(s)) {}

port::~port() {
  // The threads use the socket.
  close_threads();
}

int port::start(void *, void *) {
  if (threads_running()) return 0;
  if (!sock_) {
    sock_ = plat_socket_create_udp();
    if (!sock_) {
      PLAT_LOG(3, "[south %s]: no udp socket; every request is refused\n", config().type.c_str());
      return 0;
    }
  }
  start_threads("mbudp_send_proc", "mbudp_receive_proc", [this] { mbudp_receive_proc(); });
  set_open(true);
  PLAT_LOG(5, "south port udp transparent has been started.");
  return 0;
}

bool port::transmit(const uint8_t *bytes, uint32_t len) {
  PLAT_LOG(6, "SOUTH UDP TRANSPARENT -> IP:%s  port:%d", host().c_str(), udp_port());
  const bool sent = device_.send(sock_.get(), bytes, len) >= 0;
  PLAT_LOG_BUF(6, "SOUTH UDP TRANSPARENT ->", bytes, len);
  return sent;
}

void port::mbudp_receive_proc() {
  bool foreign = false;
  const int n = device_.receive(sock_.get(), rx_buf(), rx_buf_size(), receive_wait_ms(), stats, &foreign);
  expire_waiting();
  if (n > 0) {
    // Any datagram, even one dropped below, restarts the waiting request's clock.
    data_arrived();
    if (foreign) {
      PLAT_LOG(4,
               "[south %s] device IP or port is not registered in the configuration file, check the configuration "
               "or link\n ",
               config().type.c_str());
    } else {
      PLAT_LOG(6, "SOUTH UDP TRANSPARENT <- IP:%s  port:%d", host().c_str(), udp_port());
      handle_block(rx_buf(), static_cast<uint32_t>(n), "SOUTH UDP TRANSPARENT <-");
    }
  }
  // The wait is in the receive (cut short by a stop): straight back to it,
  // unless the socket failed, which a period keeps from spinning.
  if (n >= 0) plat_thread_wake_self();
}

std::unique_ptr<port> south_port_udp_transparent_create(tw_conf_node *element, struct mux *m) {
  RVON(element, nullptr);
  settings s;
  static_cast<south_net_transparent::settings &>(s) = south_net_transparent::read_common(element, "answer_mode");
  s.host = tw_conf_node_attr_get_string_dup(element, "host", "255.255.255.255");
  s.udp_port = tw_conf_node_attr_get_int(element, "udp_port", 502);
  return std::make_unique<port>(s, m);
}

}  // namespace south_udp_transparent
