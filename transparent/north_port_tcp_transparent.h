// The north TCP transparent port: a TCP server for upstream peers that
// exchange raw bytes, without Modbus framing, with a south transparent port.
//
// Connections are admitted like those of the north TCP port (address
// rules, max_conn and its connection policies, idle time-out), with the
// clients kept oldest first. Each client cuts what it receives into blocks
// by silence (time_interval, a silence of exactly that long ends a block),
// queues them on its north send list and offers them to the mux with the
// routing table of the rule that admitted it. The answer (answer mode)
// comes back through on_rsp_callback to the client that sent the request;
// what a bound south port broadcasts (listen and transparent mode) goes to
// every client whose rule leads to that south port (`south_id`).
//
// Threads: the server thread ("mbtcp_svr_ipv6_proc", every 5 ms: listens,
// admits, sweeps closed clients), per client a receive thread
// ("mbtcp_cli_proc": receives, cuts and queues, offering each block at once)
// and a send thread ("send_thread": offers what the receive could not hand
// over; sleeps until woken), and the south ports' threads (answers and
// broadcasts).
//
// Lifetime: the port lives until the process ends. A client is created and
// destroyed by the server thread only; its record is shared, and every
// block it queued holds a reference to it (the frame's context), so an
// answer that comes after the client was removed finds the record intact,
// sees the socket closed and is released unsent.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "frame/mb_frame.h"
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

namespace north_tcp_transparent {

class port;

class client final : public tcp_server_client, public std::enable_shared_from_this<client> {
 public:
  client() = default;
  // Stops the threads before any member they use goes (client_destroy has
  // normally done so already).
  ~client() { stop_threads(); }

  port *owner = nullptr;           // lives until exit
  northport_table *npt = nullptr;  // the rule that admitted the client
  // The south port the admitting rule's routing table leads to (its "*"
  // item); -1 when it has none: such a client gets no broadcasts.
  int32_t south_id = -1;

  // Receive state, receive thread only; freed by client_destroy. The
  // framer gathers a block of up to MB_FRAME_BUF_SIZE bytes across receives.
  std::unique_ptr<rtu_framer> rx_buf;
  static constexpr size_t rx_chunk = 4096;  // the scratch's size
};

class port final : public tcp_server_port<client> {
 public:
  port() = default;
  // Stops the server thread, then destroys every client.
  ~port() override;

  int start() override;
  // `clients` are kept oldest first, at most max_conn.
};

// Null when the element has no "Table" child (nothing registered then).
std::unique_ptr<port> north_port_tcp_transparent_create(tw_conf_node *element, struct mux *m);
// Starts the server thread; 0.
int north_port_tcp_start(port *p);

// One pass of the server thread.
void mbtcp_svr_ipv6_proc(port *p, struct mux *m);
// Null when no rule admits the peer (the connection closes with it).
std::shared_ptr<client> mbtcp_client_create(port *p, std::shared_ptr<plat_socket> sock, const uint8_t peer_addr[16],
                                            uint16_t peer_port);
// Takes one client out of the list and destroys it. Server thread only.
void remove_client(port *p, const std::shared_ptr<client> &c);
// Closes the socket, stops both threads, releases every queued block and
// the receive buffer. The record itself goes with its last reference.
void client_destroy(client *c);

// One pass of a client's receive and send threads.
void mbtcp_cli_proc(client *c, northport_table *npt);
void mbtcp_cli_send_proc(client *c, northport_table *npt);
// Sizes and empties the client's receive state for its time_interval.
void rx_tcp_transparent_init(client *c);
// Takes the bytes of one receive (n may be 0 or negative) at tick `now`; a
// block is complete once `time_interval` ms or more have passed since its
// last byte. Returns the block as a new frame (the caller's reference) or
// null. A block reaching MB_FRAME_BUF_SIZE bytes is dropped.
mb_frame *rx_tcp_transparent_fsm(client *c, const uint8_t *bytes, int n, uint32_t now);
// The response callback of every block a client queues; `ctx` is the
// frame's shared reference to the client. Releases one reference.
int on_rsp_callback(mb_frame *frame, void *ctx, uint8_t req_id, uint16_t tid, uint16_t pid);
// The port's broadcast entry, registered with the mux: sends the block to
// every client whose south_id is `south_port_id`. Nothing is sent when the
// south port is in transparent mode and max_conn is 2 or more. The frame
// stays with the caller. 0.
int north_port_send_all(north_port *np, mb_frame *frame, uint32_t south_port_id, int mode);

}  // namespace north_tcp_transparent

using north_tcp_transparent::north_port_tcp_transparent_create;
