// What every north TCP server does with its clients on its server thread:
// taking an accepted connection in (the limit, the connection policy, the
// admission into the client list), removing clients, and the sweep of the
// closed ones. The ports differ only in their client records, the order of
// their lists and their own log lines, which come in as hooks.
//
// A port keeps its clients as shared records in a vector guarded by its
// lock. `Client` provides `activity` (client_activity), `peer_addr` (16
// bytes) and `socket()` (null once closed).
//
// Server thread only: it is the one thread that changes the list and the
// count. Other threads (broadcasts) may walk the list under the lock.
#pragma once

#include <algorithm>
#include <cstring>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "north/client_admission.h"
#include "north/north_send_list.h"
#include "north/tcp_listener.h"
#include "platform/plat_log.h"
#include "route/northport_table.h"
#include "route/port.h"
#include "platform/plat_socket.h"
#include "platform/plat_thread.h"
#include "route/port_stats.h"

struct mux;
struct tw_conf_node;

// A port's client list as the shared server code sees it.
template <class Client>
struct tcp_client_list {
  std::mutex &lock;  // the port's: guards `clients`
  std::vector<std::shared_ptr<Client>> &clients;
  int32_t &client_num;       // server thread only
  client_list_order order;   // where admitted clients go, what the policies walk
  size_t capacity = std::numeric_limits<size_t>::max();  // a longer list refuses
  port_stats &stats;
};

template <class Client>
struct tcp_server_hooks {
  // The client of an accepted connection, its threads running; null when
  // no rule admits the peer (the hook logs why; the connection closes with
  // its last reference).
  std::function<std::shared_ptr<Client>(std::shared_ptr<plat_socket> conn)> create;
  // Closes the connection, stops the threads, drops what the client still
  // queues. Called once the client is out of the list.
  std::function<void(Client *)> destroy;
  // The port's lines for a client admitted and for one removed.
  std::function<void(int32_t client_num)> admitted;
  std::function<void(int32_t client_num)> removed;
};

namespace tcp_server_detail {

inline std::string peer_text(const uint8_t addr[16]) {
  char buf[46] = {};
  plat_inet6_ntoa(addr, buf, sizeof buf);
  return buf;
}

}  // namespace tcp_server_detail

// Takes `client` out of the list, destroys it and counts it gone.
template <class Client>
void tcp_server_remove_client(const tcp_client_list<Client> &list, const tcp_server_hooks<Client> &hooks,
                              const std::shared_ptr<Client> &client) {
  if (!client) return;
  std::shared_ptr<Client> keep = client;  // `client` may be the list's own reference
  {
    std::scoped_lock guard(list.lock);
    auto pos = std::find(list.clients.begin(), list.clients.end(), keep);
    if (pos != list.clients.end()) list.clients.erase(pos);
  }
  --list.client_num;
  port_stats::sub(list.stats.clients);
  hooks.destroy(keep.get());
  hooks.removed(list.client_num);
}

// Every client whose connection is closed (idle time-out, or its receive
// pass saw the peer go) or gone, removed. All of them go in one pass: a
// slot held by a dead client is a slot a live peer is refused.
template <class Client>
void tcp_server_sweep(const tcp_client_list<Client> &list, const tcp_server_hooks<Client> &hooks) {
  std::vector<std::shared_ptr<Client>> closed;
  {
    std::scoped_lock guard(list.lock);
    for (const auto &c : list.clients) {
      std::shared_ptr<plat_socket> s = c->socket();
      if (!s || !plat_socket_is_connected(s.get())) closed.push_back(c);
    }
  }
  for (const auto &c : closed) tcp_server_remove_client(list, hooks, c);
}

// One accepted connection from `peer_addr`: below the limit it is admitted;
// at the limit the closed clients are swept first, then the policy decides
// whether it is turned away or which client makes room for it. An admitted
// client joins the list at its end for the list's order; one the full list
// refuses is closed and destroyed at once.
template <class Client>
void tcp_server_take_connection(const tcp_client_list<Client> &list, const tcp_server_hooks<Client> &hooks,
                                int32_t max_conn, int32_t method, plat_socket_handle conn,
                                const uint8_t peer_addr[16]) {
  if (!conn) return;
  // Dead clients first: a peer must not be refused a slot that only a
  // closed connection still holds.
  if (list.client_num >= max_conn) tcp_server_sweep(list, hooks);
  if (list.client_num >= max_conn) {
    // Only this thread changes the list: it may be read without the lock.
    std::vector<admission_client_view> views;
    views.reserve(list.clients.size());
    for (const auto &c : list.clients) {
      admission_client_view v;
      v.blank_count = c->activity.blank_count.load();
      v.idle = c->activity.idle.load() == 1;
      v.address_text = tcp_server_detail::peer_text(c->peer_addr);
      views.push_back(std::move(v));
    }
    const std::string new_text = tcp_server_detail::peer_text(peer_addr);
    const admission_decision d =
        client_admission_at_limit(method, views, list.order, new_text.c_str(), list.client_num);
    switch (d.action) {
      case admission_action::reject:
      case admission_action::refuse:
        port_stats::add(list.stats.refused);
        return;  // `conn` closes here
      case admission_action::remove_then_admit:
        if (d.victim < list.clients.size()) tcp_server_remove_client(list, hooks, list.clients[d.victim]);
        break;
      case admission_action::admit:
        break;
    }
  }
  std::shared_ptr<Client> c = hooks.create(std::shared_ptr<plat_socket>(std::move(conn)));
  if (!c) {
    port_stats::add(list.stats.refused);
    PLAT_LOG(4, "can not create client! ");
    return;
  }
  bool added = false;
  {
    std::scoped_lock guard(list.lock);
    if (list.clients.size() < list.capacity) {
      if (list.order == client_list_order::newest_first) {
        list.clients.insert(list.clients.begin(), c);
      } else {
        list.clients.push_back(c);
      }
      added = true;
    }
  }
  if (!added) {
    // Created with its threads but in no list: nothing would ever sweep it.
    PLAT_LOG(3, "new client fail to add into northport client list\n");
    port_stats::add(list.stats.refused);
    hooks.destroy(c.get());
    return;
  }
  ++list.client_num;
  port_stats::add(list.stats.clients);
  hooks.admitted(list.client_num);
}

// Reads the rules of a north TCP port of type `type`: every child of its
// "Table" element, each added to `rules` and handed to `on_rule` (may be
// empty) first; `table_count` counts those for given addresses. A child
// that makes no rule is skipped with a level-4 line.
void tcp_server_read_rules(tw_conf_node *tables, struct mux *m, const char *type, northport_rules *rules,
                           int32_t *table_count, const std::function<void(northport_table *)> &on_rule);

// The rule that admits the peer at `peer_addr` (the first matching rule in
// file order, else the "*" rule), logged for port `type` (the "FIND NORTH
// PORT TABLE" line carries `find_line`); null with a level-4 line when none
// does.
northport_table *tcp_server_match_peer(const northport_rules *rules, const uint8_t peer_addr[16], const char *type,
                                       int find_line);

// What a north TCP port is around its clients: the listener, the client
// list and its lock, the rules, the server thread and the settings. The
// port's own class adds what it routes by and its teardown.
template <class Client>
class tcp_server_port : public north_port {
 public:
  tcp_server_port(const tcp_server_port &) = delete;
  tcp_server_port &operator=(const tcp_server_port &) = delete;

  tcp_listener listen_sock;  // server thread only
  // Guards `clients`: changed by the server thread, walked by its sweep
  // (and by the port's broadcasts, where it has them, on the south ports'
  // threads, so no client is destroyed during one). Never held together
  // with a client's lock.
  std::mutex lock;
  northport_rules rules;  // any_table and tables (last configured first)
  struct mux *mux = nullptr;
  std::vector<std::shared_ptr<Client>> clients;
  int32_t client_num = 0;  // server thread only
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

  void apply(const tcp_server_settings &s) {
    id = s.id;
    type = s.type;
    idle_time = s.idle_time;
    max_conn = s.max_conn;
    max_conn_method = s.max_conn_method;
    tcp_port = s.tcp_port;
    time_interval = s.time_interval;
    north_list_size = s.north_list_size;
  }

 protected:
  tcp_server_port() = default;
  ~tcp_server_port() override = default;
  // Stops the server thread (nothing creates or removes clients after it),
  // then destroys every client. For the derived port's destructor.
  void destroy_clients(void (*destroy)(Client *)) {
    svr_thread.reset();
    std::vector<std::shared_ptr<Client>> all;
    {
      std::scoped_lock guard(lock);
      all.swap(clients);
    }
    for (const auto &c : all) destroy(c.get());
  }
};

// What every new client of `port` starts with: the connection, the peer,
// the port's idle time and frame gap, and a send list of `kind` counted in
// the port's statistics. The port adds its receive state.
template <class Client>
void tcp_server_client_init(Client *c, tcp_server_port<Client> &port, std::shared_ptr<plat_socket> sock,
                            const uint8_t peer_addr[16], uint16_t peer_port, north_send_list_kind kind) {
  c->set_socket(std::move(sock));
  std::memcpy(c->peer_addr, peer_addr, sizeof c->peer_addr);
  c->peer_port = peer_port;
  c->idle_time = port.idle_time;
  c->time_interval = port.time_interval;
  c->send_list = std::make_unique<north_send_list>(port.north_list_size, kind);
  c->send_list->set_stats(&port.stats);
}
