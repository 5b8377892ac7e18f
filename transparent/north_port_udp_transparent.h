// The north UDP transparent port: raw datagrams from upstream peers on one
// local UDP port, each relayed unchanged as one block to a south
// transparent port.
//
// Each datagram's sender is matched against the port's address rules (the
// last matching rule in file order wins, else the "*" rule; a sender no
// rule admits is dropped); the block goes through the port's north send
// list to the mux with that rule's routing table. Its answer (answer mode)
// goes back to the exact address and port the datagram came from. What a
// bound south port broadcasts goes to the address of every single-address
// rule, at the source port of the last datagram that came in by such a
// rule (the last peer port); before any did, there is nowhere to send it.
//
// Threads:
// - "mbudp_svr_proc": receives one datagram per pass (its receive is the
//   pass's wait), makes the block and queues it, offering it at once. The
//   only producer of the send list and the only user of the receive buffer.
// - "send_proc": offers what the receive pass could not hand over (a busy
//   south port wakes it when its slot frees); sleeps until woken.
// - the south ports' threads: answers and broadcasts.
// Both threads' period (time_interval) is only an upper bound.
//
// Lifetime: the socket lives in a shared `udp_core` that every block's peer
// record refers to, so an answer that comes after the port has gone finds
// it intact and is dropped unsent.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "frame/mb_frame.h"
#include "north/north_send_list.h"
#include "platform/plat_socket.h"
#include "platform/plat_thread.h"
#include "route/northport_table.h"
#include "north/udp_server.h"
#include "route/port.h"

struct mux;
struct tw_conf_node;

namespace north_udp_transparent {

// What the answers of every block need from the port, kept alive by the
// blocks themselves. Broadcasts read `sock` under its lock: they may come
// before start() set it.
struct udp_core : udp_server_core {
  udp_core() { type = "tcp"; }
};

// The frame's context: who sent the block and by which rule it came in.
// Freed with the frame (its ctx_release), or by whoever made it when no
// frame was made.
struct peer {
  uint32_t address = 0;  // network byte order
  uint16_t port = 0;     // network byte order
  // The matched rule (owned by the port): read only by the port's own
  // threads while the frame waits in the send list.
  northport_table *npt = nullptr;
  std::shared_ptr<udp_core> core;
};

void peer_release(void *ctx);

class port final : public udp_server_port<udp_core> {
 public:
  port();
  // Stops the threads, then drops the queued blocks.
  ~port() override;

  int start() override;

  int32_t time_interval = 50;  // the threads' period, ms
  // The source port (network byte order) of the last datagram whose sender
  // matched a single-address rule; 0 before the first. Written by the
  // receive thread, read by broadcasts.
  std::atomic<uint16_t> last_peer_port{0};
  // Serialises broadcasts (each goes to every single-address rule).
  std::mutex lock;

  // Receive thread only: one datagram.
  std::vector<uint8_t> rx_buf;
};

// Null when the element has no "Table" child (nothing registered then).
std::unique_ptr<port> north_port_udp_transparent_create(tw_conf_node *element, struct mux *m);
// Opens and binds the socket, starts the threads: 0, or 1 when the bind
// fails (no thread is started then).
int north_port_udp_start(port *p);
// One pass of the receive and send threads.
void mbudp_svr_proc(port *p, struct mux *m);
void send_proc(port *p, struct mux *m);
// One datagram of `n` bytes from `address`:`from_port` (network byte
// order): the rule its sender comes in by, and the block as a new frame
// (the caller's reference) whose context is the sender's peer record.
// Null when no rule admits the sender or the datagram is empty. A sender
// matched by a single-address rule becomes the last peer port.
mb_frame *rx_udp_transparent(port *p, const uint8_t *bytes, int n, uint32_t address, uint16_t from_port);
// The response callback of every block; `ctx` is its peer record. Sends
// the answer to that sender and releases one reference.
int on_rsp_callback(mb_frame *frame, void *ctx, uint8_t req_id, uint16_t tid, uint16_t pid);
// The port's broadcast entry, registered with the mux: sends the block to
// every single-address rule's address at the last peer port (nothing
// before there is one). The frame stays with the caller. 0.
int north_port_send_all(north_port *np, mb_frame *frame, uint32_t south_port_id, int mode);

}  // namespace north_udp_transparent

using north_udp_transparent::north_port_udp_transparent_create;
