// What every north TCP server's client is, whatever it frames: the
// connection and the lock around it, the north send list, the receive and
// send threads, the activity bookkeeping and one receive's scratch. A port's
// own client derives from it and adds its receive machines and what it
// routes by; the receive pass's shape (receive, cut, close on a gone or idle
// peer) and the client's teardown are written here once.
//
// A derived client stops the threads in its own destructor
// (stop_threads()) so that none of them outlives a member it uses.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "frame/mb_frame.h"
#include "north/client_admission.h"
#include "north/north_send_list.h"
#include "platform/plat_log.h"
#include "platform/plat_socket.h"
#include "platform/plat_thread.h"
#include "route/port_stats.h"

class tcp_server_client {
 public:
  tcp_server_client(const tcp_server_client &) = delete;
  tcp_server_client &operator=(const tcp_server_client &) = delete;

  // Guards closing the socket and the sending of an answer (with the pause
  // after it); a port's broadcasts, where it has them, send without it.
  // The receive pass reads the socket through its own reference
  // (socket()), so a close only drops the member and the descriptor goes
  // when its last user lets go of it.
  std::mutex lock;

  // The connection; null once closed.
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
  uint8_t unit_id = 0;  // receive thread only

  // One receive's bytes (the derived client's rx_chunk of them); receive
  // thread only, freed by tcp_server_client_destroy. The framers gather
  // across receives, so it need not hold a whole message.
  std::unique_ptr<uint8_t[]> rx_scratch;

 protected:
  tcp_server_client() = default;
  ~tcp_server_client() { stop_threads(); }
  void stop_threads() {
    plat_close_handle(rx_thread);
    plat_close_handle(send_thread);
  }

 private:
  // Guards the `sock_` pointer itself, only while copying or resetting it:
  // never held across I/O, so reading it never waits for an answer's pause.
  mutable std::mutex sock_ref_lock_;
  std::shared_ptr<plat_socket> sock_;
};

// Closes the socket, stops both threads (receive first: it is the only one
// that queues, so once it is gone nothing wakes the send thread any more)
// and drops what the send list still queues (never taken by the mux, so
// ours to drop) and the scratch. The port frees its own receive machines.
void tcp_server_client_destroy(tcp_server_client *c);

// Closes the connection; the record stays until the server's sweep.
void tcp_server_client_close(tcp_server_client *c);

// Starts the client's receive ("mbtcp_cli_proc") and send ("send_thread")
// threads and makes the send thread the send list's consumer. False, with
// a level-3 line for port `type`, when a thread cannot start: the caller
// destroys the client.
bool tcp_server_client_start(tcp_server_client *c, std::function<void()> rx_pass, std::function<void()> send_pass,
                             uint32_t period_ms, const char *type);

// The frame context every request a client makes carries: one shared
// reference to the client, dropped when the frame is freed, so the record
// outlives every request it made.
template <class Client>
using tcp_client_ref = std::shared_ptr<Client>;

template <class Client>
void tcp_client_ref_release(void *ctx) {
  delete static_cast<tcp_client_ref<Client> *>(ctx);
}

// The client an answer's frame was made by, as the answer callback's own
// reference (releasing the frame drops the frame's); null, the frame
// released, when the frame has none.
template <class Client>
tcp_client_ref<Client> tcp_client_of_answer(mb_frame *frame, void *ctx) {
  auto *ref = static_cast<tcp_client_ref<Client> *>(ctx);
  if (!ref || !*ref) {
    mb_frame_release(frame);
    return nullptr;
  }
  return *ref;
}

// One receive of a client's receive pass, the pass's wait: receives for at
// most `wait(now)` ms into the scratch, counts the bytes, hands them to
// `cut(bytes, n, now)` (n may be 0 or negative) and keeps the activity
// bookkeeping. A gone peer or an idle one closes the connection (a level-5,
// or `idle_level`, line) and drops what was cut. Otherwise the pass runs
// again at once (after data a master sends its next request as soon as it
// has the answer; after a quiet receive another wait would only cost a
// sleep and wake-up) and what was cut, null or a frame, is the caller's.
template <class Client, class Wait, class Cut>
mb_frame *tcp_server_client_receive(Client *c, port_stats &stats, const char *type, int idle_level, Wait wait,
                                    Cut cut) {
  const std::shared_ptr<plat_socket> s = c->socket();
  if (!s) {
    PLAT_LOG(7, "RON(cli->sock) failed");
    return nullptr;
  }
  const int n = plat_socket_recv(s.get(), c->rx_scratch.get(), Client::rx_chunk, wait(plat_systick_get()));
  if (n > 0) port_stats::add(stats.bytes_in, static_cast<uint64_t>(n));
  const uint32_t now = plat_systick_get();
  mb_frame *frame = cut(c->rx_scratch.get(), n, now);

  switch (client_activity_update(&c->activity, n, c->idle_time, now)) {
    case receive_outcome::gone:
      PLAT_LOG(5, "the north tcp device disconnect \n");
      if (frame) mb_frame_release(frame);
      tcp_server_client_close(c);
      return nullptr;
    case receive_outcome::idle:
      PLAT_LOG(idle_level, "[north %s] CLIENT GET IDLE", type);
      if (frame) mb_frame_release(frame);
      tcp_server_client_close(c);
      return nullptr;
    case receive_outcome::data:
    case receive_outcome::quiet:
      break;
  }
  plat_thread_wake_self();
  return frame;
}
