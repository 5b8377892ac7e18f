// The north TCP port: the gateway's Modbus server toward upstream masters,
// over Modbus TCP (MBAP) or RTU over TCP.
//
// One server thread ("mbtcp_svr_ipv6_proc", every 5 ms) listens, admits
// connections by the port's address rules and connection policy, and
// removes closed clients. Each client has a receive thread
// ("mbtcp_cli_proc") that cuts requests out of its byte stream and queues
// them on its north send list, and a send thread ("send_thread") that hands
// them to the mux one per pass; both every 10 ms, the send thread woken at
// once when a request is queued. Answers come back on a south port's thread
// through on_rsp_callback.
//
// Lifetime: the port lives until the process ends. A client is created and
// destroyed by the server thread only. Its record is shared: every request
// frame it made holds a reference (the frame's context, dropped by
// ctx_release), so an answer that arrives after the client was removed
// finds the record intact, sees the socket closed and is released unsent.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "frame/mb_frame.h"
#include "frame/mbap_framer.h"
#include "frame/rtu_framer.h"
#include "north/client_admission.h"
#include "north/north_send_list.h"
#include "north/tcp_listener.h"
#include "north/tcp_server.h"
#include "north/tcp_server_client.h"
#include "platform/plat_socket.h"
#include "platform/plat_thread.h"
#include "route/northport_table.h"
#include "route/port.h"

struct mux;
struct tw_conf_node;
class north_port_tcp;

class mbtcp_client final : public tcp_server_client, public std::enable_shared_from_this<mbtcp_client> {
 public:
  mbtcp_client() = default;
  // Stops the threads before any member they use goes (client_destroy has
  // normally done so already).
  ~mbtcp_client() { stop_threads(); }

  north_port_tcp *port = nullptr;  // the owning port (lives until exit)
  struct mux *mux = nullptr;
  northport_table *npt = nullptr;  // the rule that admitted the client

  std::atomic<uint16_t> tx_id{0};  // tid of the request last offered to the mux
  uint8_t rtu_over_tcp = 0;
  uint8_t cache = 0;
  uint8_t exceptions = 0;  // the port's "exceptions" attribute, given to every request frame

  // Receive state, receive thread only; freed by client_destroy.
  std::unique_ptr<mbap_framer> mbap_buf;
  std::unique_ptr<rtu_framer> rtu_buf;
  static constexpr size_t rx_chunk = 1024;  // the scratch's size
};

class north_port_tcp final : public tcp_server_port<mbtcp_client> {
 public:
  north_port_tcp() = default;
  ~north_port_tcp() override;

  int start() override;

  // `clients` are kept newest first.
  uint8_t cache = 1;
  uint8_t exceptions = 0;  // "exceptions" exactly "true": routing failures and time-outs get exception answers
};

// Null when the element has no "Table" child.
std::unique_ptr<north_port_tcp> north_port_tcp_create(tw_conf_node *element, struct mux *m);
// Starts the server thread; 0.
int north_port_tcp_start(north_port_tcp *port);
// The port's own passes and callbacks. Other north ports have functions
// of the same names in their own namespaces.
namespace north_tcp {

// One pass of the server thread.
void mbtcp_svr_ipv6_proc(north_port_tcp *port, struct mux *m);
// Null when no rule admits the peer (the caller closes the socket).
std::shared_ptr<mbtcp_client> mbtcp_client_create(north_port_tcp *port, struct mux *m,
                                                  std::shared_ptr<plat_socket> sock, const uint8_t peer_addr[16],
                                                  uint16_t peer_port);
// Unlinks and destroys one client. Server thread only.
void remove_client(north_port_tcp *port, const std::shared_ptr<mbtcp_client> &client);
// Closes the socket, stops both threads, releases every queued frame and the
// receive buffers. The record itself goes with its last reference.
void client_destroy(mbtcp_client *client);

// One pass of a client's receive and send threads.
void mbtcp_cli_proc(mbtcp_client *client, northport_table *npt);
void mbtcp_cli_send_proc(mbtcp_client *client, northport_table *npt);
// Cut one receive's bytes (n may be 0 or negative) into a request frame.
mb_frame *rx_fsm_tcp(mbtcp_client *client, const uint8_t *bytes, int n);
mb_frame *rx_fsm_rtu(mbtcp_client *client, const uint8_t *bytes, int n);
// The response callback of every request frame a client makes; `ctx` is
// the frame's shared reference to the client. Releases one reference.
int on_rsp_callback(mb_frame *frame, void *ctx, uint8_t req_id, uint16_t tid, uint16_t pid);

}  // namespace north_tcp
