// The north TCP port's server side: creation, the server pass, admission,
// the connection policies and the removal of clients. The clients' own
// passes and the responses are in north_tcp_client.cpp.
#include "north/north_port_tcp.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "north/tcp_server.h"
#include "platform/plat_log.h"
#include "platform/tw_conf.h"
#include "route/mux.h"

namespace {

constexpr uint32_t kAcceptWaitMs = 1000;
constexpr uint32_t kServerPeriodMs = 5;
constexpr uint32_t kClientPeriodMs = 10;
// The constant the "FIND NORTH PORT TABLE" line has always carried.
constexpr int kFindTableLine = 692;

std::string peer_text(const uint8_t addr[16]) {
  char buf[46] = {};
  plat_inet6_ntoa(addr, buf, sizeof buf);
  return buf;
}

tcp_client_list<mbtcp_client> client_list(north_port_tcp *port) {
  return {port->lock, port->clients, port->client_num, client_list_order::newest_first,
          std::numeric_limits<size_t>::max(), port->stats};
}

tcp_server_hooks<mbtcp_client> server_hooks(north_port_tcp *port, struct mux *m) {
  tcp_server_hooks<mbtcp_client> h;
  h.create = [port, m](std::shared_ptr<plat_socket> conn) {
    return north_tcp::mbtcp_client_create(port, m, std::move(conn), port->peer_addr, port->peer_port);
  };
  h.destroy = north_tcp::client_destroy;
  h.admitted = [](int32_t num) { PLAT_LOG(5, "[modbus tcp]add a new client to tcp server, client num is [%d]", num); };
  h.removed = [port](int32_t num) {
    PLAT_LOG(5, "[north %s : %d] :exit a client. num is [%d] !\n", port->type.c_str(), port->tcp_port, num);
  };
  return h;
}

}  // namespace

north_port_tcp::~north_port_tcp() {
  svr_thread.reset();  // nothing creates or removes clients after this
  std::vector<std::shared_ptr<mbtcp_client>> all;
  {
    std::scoped_lock guard(lock);
    all.swap(clients);
  }
  for (const auto &c : all) north_tcp::client_destroy(c.get());
}

int north_port_tcp::start() { return north_port_tcp_start(this); }

std::unique_ptr<north_port_tcp> north_port_tcp_create(tw_conf_node *element, struct mux *m) {
  auto port = std::make_unique<north_port_tcp>();
  port->mux = m;

  const tcp_server_settings s = tcp_server_settings_read(element);
  port->id = s.id;
  port->type = s.type;
  port->idle_time = s.idle_time;
  port->max_conn = s.max_conn;
  port->max_conn_method = s.max_conn_method;
  port->tcp_port = s.tcp_port;
  port->time_interval = s.time_interval;
  port->north_list_size = s.north_list_size;
  port->cache = std::strcmp(tw_conf_node_attr_get_string(element, "cache", "true"), "true") == 0 ? 1 : 0;
  port->exceptions = std::strcmp(tw_conf_node_attr_get_string(element, "exceptions", "false"), "true") == 0 ? 1 : 0;

  tw_conf_node *tables = tw_conf_node_child_query(element, "Table", nullptr);
  if (!tables) {
    PLAT_LOG(4,
             "The table configuration cannot be found in the north port TCP connection, please check the "
             "configuration file !");
    return nullptr;
  }
  uint32_t it = 0;
  while (tw_conf_node *child = tw_conf_node_child_query(tables, nullptr, &it)) {
    PLAT_LOG(7, "start to creat northport table .\n");
    std::string ip;
    northport_table *npt = northport_table_create(child, m, &ip, port->type.c_str());
    PLAT_LOG(7, "paresd ip is : %s,  northport table addr is %p", ip.c_str(), static_cast<void *>(npt));
    if (!npt) {
      PLAT_LOG(4, "Unable to create table in north port TCP, please check the configuration file");
      continue;
    }
    if (npt->ip_type != IP_ANY) ++port->table_count;
    northport_rules_add(&port->rules, npt);
    PLAT_LOG(6, "add north port table to list done.\n");
  }
  PLAT_LOG(5, "north port tcp created success.\n");
  return port;
}

int north_port_tcp_start(north_port_tcp *port) {
  RVON(port, -1);
  port->svr_thread =
      plat_thread_start([port] { north_tcp::mbtcp_svr_ipv6_proc(port, port->mux); }, kServerPeriodMs, "mbtcp_svr_ipv6_proc");
  PLAT_LOG(5, "north port tcp has been started.\n");
  return 0;
}

namespace north_tcp {

void client_destroy(mbtcp_client *client) {
  RON(client);
  {
    std::scoped_lock guard(client->lock);
    // A receive waiting on the connection returns now, not at its wait's end.
    if (std::shared_ptr<plat_socket> s = client->socket()) plat_socket_shutdown(s.get());
    client->set_socket(nullptr);
  }
  // Receive first: it is the only one that queues, so once it is gone
  // nothing wakes the send thread any more.
  plat_close_handle(client->rx_thread);
  if (client->send_list) client->send_list->set_consumer(nullptr);
  plat_close_handle(client->send_thread);
  // Frames still queued were never taken by the mux: they are ours to drop.
  client->send_list.reset();
  client->mbap_buf.reset();
  client->rtu_buf.reset();
  client->rx_scratch.reset();
}

void remove_client(north_port_tcp *port, const std::shared_ptr<mbtcp_client> &client) {
  RON(port);
  RON(client);
  tcp_server_remove_client(client_list(port), server_hooks(port, port->mux), client);
}

std::shared_ptr<mbtcp_client> mbtcp_client_create(north_port_tcp *port, struct mux *m,
                                                  std::shared_ptr<plat_socket> sock, const uint8_t peer_addr[16],
                                                  uint16_t peer_port) {
  RVON(port, nullptr);
  RVON(sock, nullptr);
  auto c = std::make_shared<mbtcp_client>();
  c->port = port;
  c->mux = m;
  c->set_socket(std::move(sock));
  std::memcpy(c->peer_addr, peer_addr, sizeof c->peer_addr);
  c->peer_port = peer_port;
  c->idle_time = port->idle_time;
  c->time_interval = port->time_interval;
  c->cache = port->cache;
  c->exceptions = port->exceptions;
  c->mbap_buf = std::make_unique<mbap_framer>();
  mbap_framer_init(c->mbap_buf.get(), mbap_side::north_tcp);
  c->rtu_buf = std::make_unique<rtu_framer>();
  rtu_framer_options rtu;
  rtu.gap_ms = static_cast<uint32_t>(port->time_interval);
  rtu.gap_inclusive = true;  // a silence of exactly time_interval ends a request
  rtu.check_crc = true;
  rtu_framer_init(c->rtu_buf.get(), rtu);
  c->rx_scratch = std::make_unique<uint8_t[]>(mbtcp_client::rx_chunk);
  c->send_list = std::make_unique<north_send_list>(port->north_list_size, north_send_list_kind::modbus);
  c->send_list->set_stats(&port->stats);

  PLAT_LOG(5, "the socket is ipv6");
  const std::string text6 = peer_text(peer_addr);
  PLAT_LOG(5, "[north %s] create new client, IPv6 address: [%s]\n", port->type.c_str(), text6.c_str());
  const std::string text = client_admission_address_text(text6.c_str());
  PLAT_LOG(6, "create new client, IP addr : %s", text.c_str());

  northport_table *npt = northport_rules_match_tcp(&port->rules, text.c_str());
  if (!npt) {
    PLAT_LOG(4,
             "The north port TCP device IP is not registered in the configuration file, please check the "
             "configuration or link");
    return nullptr;
  }
  if (npt->ip_type == IP_ANY) {
    PLAT_LOG(7, "IN ANY IP");
  } else {
    PLAT_LOG(7, "[north %s] :FIND NORTH PORT TABLE, IP IS %s  line: %d \n", port->type.c_str(), text.c_str(),
             kFindTableLine);
  }
  c->npt = npt;
  c->rtu_over_tcp = npt->rtu_over;
  c->activity.last_rx_tick.store(plat_systick_get());

  mbtcp_client *raw = c.get();
  c->rx_thread = plat_thread_start([raw, npt] { mbtcp_cli_proc(raw, npt); }, kClientPeriodMs, "mbtcp_cli_proc");
  c->send_thread = plat_thread_start([raw, npt] { mbtcp_cli_send_proc(raw, npt); }, kClientPeriodMs, "send_thread");
  if (!c->rx_thread || !c->send_thread) {
    PLAT_LOG(3, "[north %s] cannot start the threads of a new client", port->type.c_str());
    client_destroy(raw);
    return nullptr;
  }
  c->send_list->set_consumer(c->send_thread.get());
  // A request queued before the consumer was set woke nobody: look again.
  plat_thread_wake(c->send_thread);
  return c;
}

void mbtcp_svr_ipv6_proc(north_port_tcp *port, struct mux *m) {
  if (!port->listen_sock.ensure_listening(port->tcp_port, port->max_conn, 7, port->type.c_str())) return;

  const tcp_client_list<mbtcp_client> list = client_list(port);
  const tcp_server_hooks<mbtcp_client> hooks = server_hooks(port, m);
  tcp_server_take_connection(list, hooks, port->max_conn, port->max_conn_method,
                             port->listen_sock.accept(port->peer_addr, &port->peer_port, kAcceptWaitMs,
                                                      port->type.c_str()),
                             port->peer_addr);
  // Every pass, whatever happened to a new connection: closed clients
  // would otherwise hold the slots that policies count.
  tcp_server_sweep(list, hooks);
}

}  // namespace north_tcp
