// The north UDP port: the gateway's Modbus server toward upstream masters
// over Modbus UDP (MBAP in datagrams) or RTU over UDP (one RTU message with
// its CRC per datagram), on one IPv4 socket bound on every address.
//
// There are no connections: each datagram is matched by its sender's
// address against the port's address rules (the last configured matching
// rule wins, else the "*" rule), and the request it carries goes through the
// port's one north send list to the mux. Each request frame owns a
// reply_addr (its context): the sender's address and port, the rule that
// admitted it and the port's shared state, so its answer goes back to
// exactly that sender whenever it comes.
//
// Threads:
// - "mbudp_svr_proc", every 10 ms from start(): receives one datagram per
//   pass (its receive is the pass's wait), cuts the request and queues it,
//   offering it to the mux at once. The only producer of the send list and
//   the only user of the receive state.
// - "send_proc", every 10 ms, woken when a request is queued: offers
//   whatever the receive pass could not hand over (a busy south port wakes
//   it when its slot frees). The only consumer of the send list.
// - the south ports' threads, which call on_rsp_callback.
//
// Lifetime: the port's socket, lock and last transaction id live in a
// shared `udp_core` that every reply_addr refers to, so an answer that comes
// after the port has gone finds them intact and is dropped unsent.
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
#include "north/north_send_list.h"
#include "north/udp_server.h"
#include "platform/plat_socket.h"
#include "platform/plat_thread.h"
#include "route/northport_table.h"
#include "route/port.h"

struct mux;
struct tw_conf_node;

namespace north_udp {

// What the answers of every request need from the port, kept alive by the
// requests themselves. An answer is sent and paced under `lock`, which may
// be held while taking tx_lock, never the other way round.
struct udp_core : udp_server_core {
  udp_core() { type = "udp"; }
  int32_t time_interval = 50;  // ms paused after each answer

  // Guards tx_id: the send pass holds it across the mux's hand-over and the
  // update after it, so an answer never compares against a tx_id that a
  // hand-over still in progress is about to replace. Short holds only, and
  // no other lock is taken under it.
  std::mutex tx_lock;
  uint16_t tx_id = 0;  // transaction id of the request last handed to the mux
};

// The frame's context: who sent the request, by which rule it came in.
// Freed by the frame's ctx_release (or at once when no frame is made).
struct reply_addr {
  uint32_t address = 0;  // the sender, network byte order
  uint16_t port = 0;     // network byte order
  uint8_t rtu = 0;       // the matched rule's RTU-over-UDP flag
  // The matched rule (owned by the port): read only by the port's own
  // threads, while the frame waits in its send list.
  northport_table *npt = nullptr;
  std::shared_ptr<udp_core> core;
};

void reply_addr_release(void *ctx);

// Senders whose last datagram ended inside an MBAP request, with the state
// of that request: the next datagram of the same sender (address and port)
// completes it; every other sender starts afresh. At most `capacity`
// senders are remembered: one more drops the sender whose partial request
// was fed longest ago, so a flood of senders costs no more memory than that.
// Receive thread only.
class partial_requests final {
 public:
  static constexpr size_t default_capacity = 64;
  explicit partial_requests(size_t capacity = default_capacity);
  partial_requests(const partial_requests &) = delete;
  partial_requests &operator=(const partial_requests &) = delete;

  // The state to feed this sender's datagram into: its partial request, or
  // a fresh machine (taking a free slot or the oldest one).
  mbap_framer *framer_for(uint32_t address, uint16_t port);
  // After the feed: keeps the sender's slot while its machine is inside a
  // request, frees it otherwise.
  void settle(mbap_framer *framer);
  // Senders with a partial request.
  size_t size() const;
  size_t capacity() const { return capacity_; }

 private:
  struct slot {
    bool used = false;
    uint32_t address = 0;
    uint16_t port = 0;
    uint64_t stamp = 0;  // when the slot was last fed
    mbap_framer framer;
  };
  const size_t capacity_;
  std::vector<slot> slots_;  // capacity_ + 1: one is always free for a new sender
  uint64_t clock_ = 0;
};

class north_port_udp final : public udp_server_port<udp_core> {
 public:
  north_port_udp();
  // Stops the threads, then drops the queued requests.
  ~north_port_udp() override;

  int start() override;

  uint8_t cache = 1;
  uint8_t exceptions = 0;  // "exceptions" exactly "true": routing failures and time-outs get exception answers

  // Receive thread only.
  partial_requests mbap_buf;
  rtu_framer rtu_buf;  // one datagram is one message: every feed cuts
  uint8_t unit_id = 0;  // of the last request taken
  // One datagram: one byte more than the longest Modbus datagram, so that
  // a longer one shows as longer (the kernel cuts it to the buffer).
  static constexpr size_t rx_size = MB_MBAP_ADU_MAX + 1;
  uint8_t rx_buf[rx_size] = {};
};

// Null when the element has no "Table" child.
std::unique_ptr<north_port_udp> north_port_udp_create(tw_conf_node *element, struct mux *m);
// Opens and binds the socket, starts the threads: 0, or 1 when the bind
// fails (no thread is started then).
int north_port_udp_start(north_port_udp *port);
// One pass of the receive thread.
void mbudp_svr_proc(north_port_udp *port, struct mux *m);
// One pass of the send thread.
void send_proc(north_port_udp *port, struct mux *m);
// A request frame from one datagram (`reply` becomes its context), or null
// (the caller still owns `reply` then).
mb_frame *rx_udp_fsm(north_port_udp *port, const uint8_t *bytes, int n, reply_addr *reply);
mb_frame *rx_rtu_fsm(north_port_udp *port, const uint8_t *bytes, int n, reply_addr *reply);
// The response callback of every request frame; `ctx` is its reply_addr.
// Releases one reference. 1 when a stale MBAP answer was dropped.
int on_rsp_callback(mb_frame *frame, void *ctx, uint8_t req_id, uint16_t tid, uint16_t pid);

}  // namespace north_udp
