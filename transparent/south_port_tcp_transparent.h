// The south TCP transparent port: a TCP client relaying raw bytes between
// the gateway and one remote endpoint (a device server, a serial-to-Ethernet
// converter, another gateway). Every chunk one receive returns is one block:
// no silence is awaited. Modes, lists and hand-over: port_base.
//
// Threads:
// - "mbtcp_cli_proc", the connection manager, from start(): the only thread
//   that makes connections and starts and closes the other two. While not
//   connected it runs once a second (an attempt at most once a second,
//   however often it is woken); while connected it sleeps until a thread
//   that saw the connection break wakes it. Before each new connection it
//   closes the old connection's threads and releases every request still
//   queued or waiting: those were meant for a connection that is gone, and
//   nothing received on the new one may answer them.
// - "mbtcp_receive_proc" while connected: waits in its receive (until data
//   comes or the oldest waiting request falls due), expires requests,
//   answers or broadcasts what came; a broken connection is dropped and the
//   manager woken.
// - "mbtcp_send_proc" while connected, except in listen mode.
//
// The connection is shared like the south TCP port's: the port holds it in
// `sock_`; each user takes its own reference for its I/O, so dropping a
// connection only empties the member and no descriptor is closed under a
// blocked receive.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "platform/plat_socket.h"
#include "platform/plat_thread.h"
#include "route/tcp_connector.h"
#include "transparent/south_port_net_transparent.h"

namespace south_tcp_transparent {

struct settings : south_net_transparent::settings {
  std::string host = "255.255.255.255";  // a text with ':' is IPv6
  int tcp_port = 502;
  uint32_t reconnect_ms = 1000;  // the least time between two connects
};

class port final : public south_net_transparent::port_base {
 public:
  // `tcp_port` outside 1-65535 is replaced by 502 (level 4); the others as
  // port_base says. A host that is no address is logged at level 3; the port
  // then never connects.
  port(const settings &s, struct mux *m);
  ~port() override;

  // Starts the connection manager; 0. A second call does nothing.
  int start(void *a, void *b) override;

  // One pass of the connection manager (its thread's body).
  void mbtcp_cli_proc();

  const std::string &host() const { return connector_.host(); }
  uint16_t tcp_port() const { return connector_.port(); }
  uint8_t address_family() const { return connector_.family(); }
  bool connected();
  int32_t connect_failures() const { return connector_.failures(); }

 private:
  bool transmit(const uint8_t *bytes, uint32_t len) override;
  void mbtcp_receive_proc();
  std::shared_ptr<plat_socket> current_socket();
  // Forgets `s` if it is still the connection (logging "disconnected"),
  // stops taking requests and wakes the manager.
  void connection_broken(const std::shared_ptr<plat_socket> &s);

  tcp_connector connector_;  // manager thread only (its failure count: any)

  // Guards sock_ (which connection is current, not the I/O on it) and
  // cli_thread_. Never held across I/O, a join or the base's lock.
  std::mutex conn_lock_;
  std::shared_ptr<plat_socket> sock_;
  plat_thread_handle cli_thread_;
};

// Creates the port from its SouthPort element. Nothing is connected here.
std::unique_ptr<port> south_port_tcp_transparent_create(tw_conf_node *element, struct mux *m);

}  // namespace south_tcp_transparent

using south_tcp_transparent::south_port_tcp_transparent_create;
