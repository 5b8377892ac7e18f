// The south UDP port: the gateway as Modbus master toward one field device
// reached over UDP (IPv4), speaking MBAP in datagrams or, with
// `rtu_over_udp`, one RTU frame with its CRC per datagram.
//
// The south TCP port without a connection: one unbound socket, created at
// start and kept for the life of the port; each request is sent with
// sendto() to `host`:`udp_port`, and only datagrams from that address and
// port are read as answers. Any other datagram is dropped with a level-4
// line, though it still counts as activity for the time-out (which counts
// from the last datagram received).
//
// One request at a time (south_port_base): answered from the cache when
// possible, otherwise sent and answered by the first answer to it before the
// time-out. An answer must be the request's own: an MBAP answer carries its
// transaction id (protocol id 0), an RTU answer the unit id and function
// code sent; anything else is dropped and the wait goes on. Datagrams that
// arrive between exchanges are discarded before the next request goes out.
//
// Threads: "mbudp_send_proc" (every 10 ms, woken by push_request: the only
// user of the socket, the framers and the transaction counter),
// "update_cache_proc" (every cache_polling_cycle ms) and every thread that
// offers requests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "frame/mbap_framer.h"
#include "frame/rtu_framer.h"
#include "platform/plat_socket.h"
#include "platform/tw_conf.h"
#include "route/udp_device.h"
#include "south/south_port_base.h"

namespace south_udp {

struct south_port_udp_settings {
  int id = 255;
  std::string type = "udp";
  int timeout = 1000;                    // ms; <= 0 is replaced by 1000
  std::string host = "255.255.255.255";  // the device's IPv4 address
  bool rtu_over_udp = false;
  int udp_port = 502;
  int cache_polling_cycle = 5000;  // ms
};

class south_port_udp final : public south_port_base {
 public:
  // Settings out of range are replaced with a level-4 line: `timeout` <= 0
  // by 1000, `udp_port` outside 1-65535 by 502, `cache_polling_cycle` < 1 by
  // 5000. A host that is no IPv4 address is logged at level 3; nothing is
  // then sent and every request times out.
  explicit south_port_udp(const south_port_udp_settings &settings);
  ~south_port_udp() override;

  // south_port_udp_start: creates the socket (once) and starts the send and
  // cache threads; 0. A second call does nothing.
  int start(void *a, void *b) override;

  // The receive state machines (send thread): one datagram (n <= 0: none
  // came); an answer frame (the caller's) or null. An MBAP answer split
  // over datagrams is joined; an RTU datagram is one frame or nothing.
  mb_frame *rx_udp_fsm(const uint8_t *bytes, int n);
  mb_frame *rx_rtu_fsm(const uint8_t *bytes, int n);

  int id() const { return settings_.id; }
  const std::string &host() const { return settings_.host; }
  uint16_t udp_port() const { return static_cast<uint16_t>(settings_.udp_port); }
  bool rtu_over_udp() const { return settings_.rtu_over_udp; }

 private:
  struct checked {};
  south_port_udp(checked, const south_port_udp_settings &settings);

  // mbudp_send_proc: one request at most.
  void send_pass() override;
  // Send thread: drops every datagram no request is waiting for.
  void discard_late_datagrams();
  // Send thread: one datagram into `buf` within `wait_ms` (its size, or 0
  // for none or a failed receive). A datagram from anywhere but the device
  // is logged and reported as `foreign`.
  int receive(uint8_t *buf, size_t size, uint32_t wait_ms, bool *foreign);

  const south_port_udp_settings settings_;
  const udp_device device_;
  // Created by start() before the threads run; never replaced.
  plat_socket_handle sock_;

  // Send thread only.
  uint16_t transaction_counter_ = 0;
  mbap_framer mbap_;
  rtu_framer rtu_;
};

// Creates the port from its SouthPort element (attributes with their
// defaults, then checked as above). No socket is made here.
std::unique_ptr<south_port_udp> south_port_udp_create(tw_conf_node *element);

}  // namespace south_udp
