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

north_port_tcp::~north_port_tcp() { destroy_clients(north_tcp::client_destroy); }

int north_port_tcp::start() { return north_port_tcp_start(this); }

std::unique_ptr<north_port_tcp> north_port_tcp_create(tw_conf_node *element, struct mux *m) {
  auto port = std::make_unique<north_port_tcp>();
  port->mux = m;

  const tcp_server_settings s = tcp_server_settings_read(element);
  port->apply(s);
  port->cache = std::strcmp(tw_conf_node_attr_get_string(element, "cache", "true"), "true") == 0 ? 1 : 0;
  port->exceptions = std::strcmp(tw_conf_node_attr_get_string(element, "exceptions", "false"), "true") == 0 ? 1 : 0;

  tw_conf_node *tables = tw_conf_node_child_query(element, "Table", nullptr);
  if (!tables) {
    PLAT_LOG(4,
             "The table configuration cannot be found in the north port TCP connection, please check the "
             "configuration file !");
    return nullptr;
  }
  tcp_server_read_rules(tables, m, port->type.c_str(), &port->rules, &port->table_count, nullptr);
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
  tcp_server_client_destroy(client);
  client->mbap_buf.reset();
  client->rtu_buf.reset();
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
  tcp_server_client_init(c.get(), *port, std::move(sock), peer_addr, peer_port, north_send_list_kind::modbus);
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

  northport_table *npt = tcp_server_match_peer(&port->rules, peer_addr, port->type.c_str(), kFindTableLine);
  if (!npt) return nullptr;
  c->npt = npt;
  c->rtu_over_tcp = npt->rtu_over;
  c->activity.last_rx_tick.store(plat_systick_get());

  mbtcp_client *raw = c.get();
  if (!tcp_server_client_start(
          raw, [raw, npt] { mbtcp_cli_proc(raw, npt); }, [raw, npt] { mbtcp_cli_send_proc(raw, npt); },
          kClientPeriodMs, port->type.c_str())) {
    client_destroy(raw);
    return nullptr;
  }
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
