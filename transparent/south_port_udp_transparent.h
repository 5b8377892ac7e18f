// The south UDP transparent port: raw bytes between the gateway and one
// remote UDP endpoint. Each request goes out as one datagram to `host`:
// `udp_port`; each datagram from exactly that address and port is one block.
// A datagram from anywhere else is dropped with a level-4 line, though it
// still restarts the waiting request's clock. Unlike the other transparent
// ports it answers requests (answer mode) unless told otherwise. Modes,
// lists and hand-over: port_base.
//
// One unbound socket, made by start() and kept for the life of the port;
// when it cannot be made nothing retries and every offer is refused as
// busy.
//
// Threads: "mbudp_receive_proc" (waits in its receive until a datagram
// comes or the oldest waiting request falls due; expires, answers,
// broadcasts) and "mbudp_send_proc" (every mode; in listen mode it never
// gets work), plus every thread that offers requests.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/plat_socket.h"
#include "route/udp_device.h"
#include "transparent/south_port_net_transparent.h"

namespace south_udp_transparent {

struct settings : south_net_transparent::settings {
  settings() { mode = south_net_transparent::ANSWER_MODE; }
  std::string host = "255.255.255.255";  // the endpoint's IPv4 address
  int udp_port = 502;
};

class port final : public south_net_transparent::port_base {
 public:
  // `udp_port` outside 1-65535 is replaced by 502 (level 4); the others as
  // port_base says. A host that is no IPv4 address is logged at level 3;
  // every request is then released unsent.
  port(const settings &s, struct mux *m);
  ~port() override;

  // south_port_udp_start: makes the socket (once) and starts both threads;
  // 0. A second call does nothing.
  int start(void *a, void *b) override;

  const std::string &host() const { return device_.host(); }
  uint16_t udp_port() const { return device_.port(); }

 private:
  bool transmit(const uint8_t *bytes, uint32_t len) override;
  void mbudp_receive_proc();

  const udp_device device_;
  // Made by start() before the threads run; never replaced.
  plat_socket_handle sock_;
};

// Creates the port from its SouthPort element. No socket is made here.
std::unique_ptr<port> south_port_udp_transparent_create(tw_conf_node *element, struct mux *m);

}  // namespace south_udp_transparent

using south_udp_transparent::south_port_udp_transparent_create;
