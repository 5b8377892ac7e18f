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
#include "platform/plat_socket.h"
#include "platform/plat_thread.h"
#include "route/northport_table.h"
#include "route/port.h"

struct mux;
struct tw_conf_node;

namespace north_tcp_transparent {

class port;

class client final : public std::enable_shared_from_this<client> {
 public:
  client() = default;
  // Stops the threads before any member they use goes (client_destroy has
  // normally done so already).
  ~client() {
    plat_close_handle(rx_thread);
    plat_close_handle(send_thread);
  }
  client(const client &) = delete;
  client &operator=(const client &) = delete;

  port *owner = nullptr;           // lives until exit
  northport_table *npt = nullptr;  // the rule that admitted the client

  // Guards closing the socket and the sending of an answer (with the pause
  // after it). Broadcasts send without it. The receive pass reads the
  // socket through its own reference (socket()), so a close only drops
  // the member and the descriptor goes with its last user.
  std::mutex lock;

  std::shared_ptr<plat_socket> socket() const {
    std::scoped_lock guard(sock_ref_lock_);
    return sock_;
  }
  // REQUIRES: `lock` held, except while the client is being created.
  void set_socket(std::shared_ptr<plat_socket> s) {
    std::scoped_lock guard(sock_ref_lock_);
    sock_ = std::move(s);
  }

  std::unique_ptr<north_send_list> send_list;
  plat_thread_handle rx_thread;    // server thread only
  plat_thread_handle send_thread;  // server thread only

  int32_t idle_time = 0;
  int32_t time_interval = 0;
  client_activity activity;  // last_rx_tick, blank_count, idle
  uint8_t peer_addr[16] = {};
  uint16_t peer_port = 0;
  uint8_t unit_id = 0;  // always 0: raw blocks have none; shown in the push lines
  // The south port the admitting rule's routing table leads to (its "*"
  // item); -1 when it has none: such a client gets no broadcasts.
  int32_t south_id = -1;

  // Receive state, receive thread only; freed by client_destroy. The
  // framer gathers a block of up to MB_FRAME_BUF_SIZE bytes across receives.
  std::unique_ptr<rtu_framer> rx_buf;
  static constexpr size_t rx_chunk = 4096;  // one receive's bytes
  std::unique_ptr<uint8_t[]> rx_scratch;

 private:
  // Guards the `sock_` pointer itself, only while copying or resetting it:
  // never held across I/O.
  mutable std::mutex sock_ref_lock_;
  std::shared_ptr<plat_socket> sock_;
};

class port final : public north_port {
 public:
  port() = default;
  // Stops the server thread, then destroys every client.
  ~port() override;
  port(const port &) = delete;
  port &operator=(const port &) = delete;

  int start() override;

  tcp_listener listen_sock;  // server thread only
  // Guards `clients`: changed by the server thread, walked by broadcasts
  // (on the south ports' threads), so no client is destroyed during one.
  // Never held together with a client's lock.
  std::mutex lock;
  northport_rules rules;  // any_table and tables (last configured first)
  struct mux *mux = nullptr;
  std::vector<std::shared_ptr<client>> clients;  // oldest first, at most max_conn
  int32_t client_num = 0;                        // server thread only
  int32_t table_count = 0;
  plat_thread_handle svr_thread;
  int32_t max_conn_method = MAX_CONN_REJECT;
  int32_t id = 255;
  int32_t tcp_port = 502;
  int32_t max_conn = 16;
  int32_t time_interval = 50;
  int32_t north_list_size = 1;
  std::string type = "tcp";
  int32_t idle_time = 1000;
  uint8_t peer_addr[16] = {};  // the last accepted peer
  uint16_t peer_port = 0;
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
