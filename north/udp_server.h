// What both north UDP ports are built on: the core their frames keep alive
// (socket, counters, whether the port has gone), the rules read from the
// "Table" element, and the life of the two threads around one send list.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "north/north_send_list.h"
#include "north/udp_sender.h"
#include "platform/plat_socket.h"
#include "platform/plat_thread.h"
#include "route/northport_table.h"
#include "route/port.h"
#include "route/port_stats.h"

struct mux;
struct tw_conf_node;

// What the answers of every frame a north UDP port makes need from it,
// kept alive by the frames themselves, so an answer that comes after the
// port has gone finds it intact and is dropped unsent.
struct udp_server_core {
  std::string type;
  // Guards setting `sock` (broadcasts may come before start() set it),
  // `closed`, `stats`, and sending an answer (on the answering south port's
  // thread).
  std::mutex lock;
  // Set once by start() before the port's own threads run: they read it
  // without the lock.
  std::shared_ptr<plat_socket> sock;
  bool closed = false;          // the port has gone: answers are dropped unsent
  port_stats *stats = nullptr;  // the port's counters; null once it has gone
};

// Reads a north UDP port's rules: every child of its "Table" element that
// makes one is handed to `on_rule` (may be empty), then added to `rules`;
// `table_count` counts those for given addresses.
void udp_server_read_rules(tw_conf_node *tables, struct mux *m, const std::string &type, northport_rules *rules,
                           int32_t *table_count, const std::function<void(northport_table *)> &on_rule);

// Binds `core.sock` at `udp_port` unless it is open: false after the
// level-3 line `bind_failed` (%s the type, %d the port).
bool udp_server_open(udp_server_core &core, int udp_port, const char *bind_failed);

// Starts the port's receive ("mbudp_svr_proc") and send ("send_proc")
// threads with period `period_ms` and makes the send thread the consumer of
// the port's send list.
void udp_server_start_threads(plat_thread_handle &svr_thread, plat_thread_handle &send_thread, north_send_list &list,
                              std::function<void()> receive_pass, std::function<void()> send_pass,
                              uint32_t period_ms);
// Stops them: receive first (it is the one that queues and wakes the send
// thread), then send; then `core` is marked gone and the frames `list`
// still queues are dropped (never taken by the mux, so ours).
void udp_server_stop(plat_thread_handle &svr_thread, plat_thread_handle &send_thread,
                     std::unique_ptr<north_send_list> &list, udp_server_core &core);

// What a north UDP port is around its socket: the shared core, the one
// send list, the two threads, the rules and the settings both ports read.
template <class Core>
class udp_server_port : public north_port {
 public:
  udp_server_port(const udp_server_port &) = delete;
  udp_server_port &operator=(const udp_server_port &) = delete;

  std::shared_ptr<Core> core = std::make_shared<Core>();
  std::unique_ptr<north_send_list> send_list;
  plat_thread_handle svr_thread;
  plat_thread_handle send_thread;
  northport_rules rules;  // any_table and tables (last configured first)
  struct mux *mux = nullptr;
  int32_t id = 255;
  int32_t udp_port = 502;
  int32_t table_count = 0;
  int32_t north_list_size = 1;

 protected:
  udp_server_port() { core->stats = &stats; }
  ~udp_server_port() override = default;
  // Stops the threads, then drops the queued frames: for the derived
  // port's destructor, before any member the threads use goes.
  void stop() { udp_server_stop(svr_thread, send_thread, send_list, *core); }
};
