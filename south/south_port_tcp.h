// The south TCP port: the gateway as Modbus master toward one field device
// (or one serial-to-Ethernet converter) reached as a TCP client, speaking
// Modbus TCP (MBAP) or, with `rtu_over_tcp`, RTU frames carried unchanged
// over the stream.
//
// One request at a time, like every Modbus south port (south_port_base):
// answered from the cache when possible, otherwise sent and answered by the
// first answer to it before the time-out (which counts from the last data
// received). An answer must be the request's own: an MBAP answer carries
// its transaction id (protocol id 0), an RTU answer the unit id and function
// code sent; anything else is dropped and the wait goes on. Bytes that
// arrive between exchanges are discarded before the next request goes out.
// An MBAP answer announcing more than the largest Modbus ADU means the
// stream cannot be trusted: the connection is dropped and made again.
//
// Threads:
// - "mbtcp_cli_proc", every 1000 ms from start(): the connection manager.
//   It is the only thread that creates and connects sockets and the only one
//   that starts and closes the send and cache threads. It connects with no
//   send or cache thread running (they are closed first), and starts them
//   once per established connection, so two of either never run.
// - "mbtcp_send_proc", every 10 ms while connected, woken at once by
//   push_request: the only user of the framers, the transaction counter and
//   the read buffer; it reads and writes the socket.
// - "update_cache_proc", every cache_polling_cycle ms while connected.
// - every thread that offers requests (push_request).
//
// The socket is shared between the manager and the send thread. The port
// holds the current connection in `sock_`; each user takes its own reference
// for the duration of its work, so dropping a connection only empties the
// member, and the descriptor is closed when the last user lets go of it.
// No thread ever has the descriptor closed under a blocked receive.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "frame/mbap_framer.h"
#include "frame/rtu_framer.h"
#include "platform/plat_socket.h"
#include "platform/plat_thread.h"
#include "platform/tw_conf.h"
#include "route/tcp_connector.h"
#include "south/south_port_base.h"

struct south_port_tcp_settings {
  int id = 255;
  std::string type = "tcp";
  int timeout = 1000;                  // ms; <= 0 is replaced by 1000
  std::string host = "255.255.255.255";  // a text with ':' is IPv6
  bool rtu_over_tcp = false;
  int tcp_port = 502;
  int time_interval = 50;         // ms of silence that ends an RTU-over-TCP answer
  int cache_polling_cycle = 5000;  // ms
  rtu_frame_end frame_end = rtu_frame_end::silence;  // RTU over TCP: how an answer ends
  uint32_t reconnect_ms = 1000;    // the least time between two connects
};

class south_port_tcp final : public south_port_base {
 public:
  // Settings out of range are replaced with a level-4 line: `timeout` <= 0
  // by 1000, `tcp_port` outside 1-65535 by 502, `time_interval` < 0 by 50,
  // `cache_polling_cycle` < 1 by 5000. A host that is no address is logged
  // at level 3; the port then never connects (each attempt counts as failed).
  explicit south_port_tcp(const south_port_tcp_settings &settings);
  ~south_port_tcp() override;

  // south_port_tcp_start: starts the connection manager; returns 0. A second
  // call does nothing.
  int start(void *a, void *b) override;

  // One pass of the connection manager (its thread's body).
  void mbtcp_cli_proc();

  // The receive state machines (send thread): the bytes of one receive
  // (n <= 0: none came); an answer frame (the caller's) or null.
  mb_frame *rx_tcp_fsm(const uint8_t *bytes, int n);
  mb_frame *rx_rtu_fsm(const uint8_t *bytes, int n, uint32_t now);

  int id() const { return settings_.id; }
  const std::string &host() const { return settings_.host; }
  uint16_t tcp_port() const { return static_cast<uint16_t>(settings_.tcp_port); }
  bool rtu_over_tcp() const { return settings_.rtu_over_tcp; }
  uint32_t time_interval() const { return static_cast<uint32_t>(settings_.time_interval); }
  // 16 for an IPv6 host, 4 for IPv4.
  uint8_t address_family() const { return connector_.family(); }
  // True while the port holds an established connection.
  bool connected();
  // Failed attempts since the last pair of failure messages (0-9).
  int32_t connect_failures() const { return connector_.failures(); }

 private:
  struct checked {};
  south_port_tcp(checked, const south_port_tcp_settings &settings);

  // mbtcp_send_proc: one request at most.
  void send_pass() override;
  // The connection of the moment (a reference of the caller's), or null.
  std::shared_ptr<plat_socket> current_socket();
  // Forgets `s` if it is still the port's connection; true when it was.
  bool drop_socket(const std::shared_ptr<plat_socket> &s);
  // Manager: a fresh socket, connected; null on failure.
  std::shared_ptr<plat_socket> connect_socket();
  // Makes the manager run its next pass at once.
  void wake_manager();
  // Send thread: empties the socket of bytes no request is waiting for.
  // False when the connection failed meanwhile.
  bool discard_late_bytes(plat_socket *sock);

  const south_port_tcp_settings settings_;
  // Manager thread only (the failure count is read by tests): the device's
  // address, the attempts and their pacing. A device that accepts and drops
  // at once wakes the manager at every request; it still connects at most
  // once a second.
  tcp_connector connector_;

  // Guards `sock_` (which connection is current, not the I/O on it) and
  // `cli_thread_`. Held only to read or swap them, never across I/O or a
  // thread join.
  std::mutex conn_lock_;
  std::shared_ptr<plat_socket> sock_;
  plat_thread_handle cli_thread_;

  // Send thread only, reset by the manager while no send thread runs.
  uint16_t transaction_counter_ = 0;
  bool stream_broken_ = false;  // an oversized MBAP answer came: drop the connection
  mbap_framer mbap_;
  rtu_framer rtu_;
};

// Creates the port from its SouthPort element (attributes with their
// defaults, then checked as above). Nothing is connected here.
std::unique_ptr<south_port_tcp> south_port_tcp_create(tw_conf_node *element);
