#include "transparent/north_port_tcp_transparent.h"

#include <algorithm>
#include <cstring>

#include "north/tcp_server.h"
#include "platform/plat_log.h"
#include "platform/tw_conf.h"
#include "route/mux.h"
#include "route/table.h"
#include "transparent/south_port_serial_transparent.h"

namespace north_tcp_transparent {

namespace {

constexpr uint32_t kAcceptWaitMs = 1000;
constexpr uint32_t kServerPeriodMs = 5;
constexpr uint32_t kClientPeriodMs = 10;
// The constant the "FIND NORTH PORT TABLE" line has always carried here.
constexpr int kFindTableLine = 584;

using client_ref = tcp_client_ref<client>;

// The south port a rule's routing table leads to: its "*" item's.
int32_t south_id_of(const northport_table *npt) {
  if (!npt || !npt->table || !npt->table->item_any) return -1;
  return static_cast<int32_t>(npt->table->item_any->south_port);
}

tcp_client_list<client> client_list(port *p) {
  return {p->lock, p->clients, p->client_num, client_list_order::oldest_first, static_cast<size_t>(p->max_conn),
          p->stats};
}

tcp_server_hooks<client> server_hooks(port *p) {
  tcp_server_hooks<client> h;
  h.create = [p](std::shared_ptr<plat_socket> conn) {
    return mbtcp_client_create(p, std::move(conn), p->peer_addr, p->peer_port);
  };
  h.destroy = client_destroy;
  h.admitted = [](int32_t num) {
    PLAT_LOG(5, "[tcp transparent] add a new client to tcp server, client count :[%d]", num);
  };
  h.removed = [p](int32_t num) {
    PLAT_LOG(5, "[north %s : %d] :exit a client. num is [%d] !\n", p->type.c_str(), p->tcp_port, num);
  };
  return h;
}

// How long this pass's receive may wait: while a block is being gathered
// only until its silence is complete, so that the block goes on at once;
// otherwise as long as the client's bookkeeping allows.
uint32_t receive_wait(const client *c, uint32_t now) {
  if (c->rx_buf->count > 0) return rtu_framer_wait_ms(c->rx_buf.get(), now, client_receive_wait_ms);
  return client_receive_wait(&c->activity, c->idle_time, now);
}

// The offer of one block of the client's to the mux: the mux's result.
int offer_to_mux(client *c, northport_table *npt, mb_frame *frame) {
  // Read before the hand-over: once a south port has the frame it may be
  // answered and freed on another thread before the push returns.
  const uint8_t req_id = mb_frame_get_req_id(frame);
  const int cacheable = mb_frame_is_cacheable(frame);
  const int rc = mux_push_request(c->owner->mux, npt->table, frame);
  if (rc == 0) {
    PLAT_LOG(7, "[north %s] :push request done, req is is %02x, if get ack from cache: %d ", c->owner->type.c_str(),
             req_id, cacheable);
  } else if (rc > 0) {
    PLAT_LOG(6, "[north %s] :push request busy, resend now ", c->owner->type.c_str());
  }
  return rc;
}

void send_all_client(client *c, mb_frame *frame, uint32_t south_port_id) {
  PLAT_LOG(7, "cli SOUTH ID = %d  south incomming id = %d\n", c->south_id, static_cast<int>(south_port_id));
  if (c->south_id < 0 || static_cast<uint32_t>(c->south_id) != south_port_id) {
    PLAT_LOG(7, "SOUTH ID DO NOT MATCH\n");
    return;
  }
  const std::shared_ptr<plat_socket> s = c->socket();
  if (!s) {
    PLAT_LOG(7, "RON(client->sock) failed");
    return;
  }
  uint32_t len = 0;
  const uint8_t *bytes = mb_frame_get_data(frame, &len);
  PLAT_LOG_BUF(6, "NORTH TCP TRANSPARENT ->", bytes, len);
  client_activity_reset(&c->activity, plat_systick_get());
  if (plat_socket_send(s.get(), bytes, len) > 0) port_stats::add(c->owner->stats.bytes_out, len);
}

}  // namespace

port::~port() { destroy_clients(client_destroy); }

int port::start() { return north_port_tcp_start(this); }

std::unique_ptr<port> north_port_tcp_transparent_create(tw_conf_node *element, struct mux *m) {
  RVON(element, nullptr);
  const tcp_server_settings s = tcp_server_settings_read(element);
  // Looked for before the port registers: a port that is not created must
  // leave nothing in the mux.
  tw_conf_node *tables = tw_conf_node_child_query(element, "Table", nullptr);
  if (!tables) {
    PLAT_LOG(4,
             "The table configuration cannot be found in the north port TCP connection, please check the "
             "configuration file !");
    return nullptr;
  }
  auto p = std::make_unique<port>();
  p->mux = m;
  p->apply(s);
  mux_register_northport(m, p->id, p.get(), north_port_send_all);

  port *raw = p.get();
  tcp_server_read_rules(tables, m, p->type.c_str(), &p->rules, &p->table_count,
                        [m, raw](northport_table *npt) {
                          mux_register_transparent_northport_to_southport(m, raw->id, npt);
                        });
  return p;
}

int north_port_tcp_start(port *p) {
  RVON(p, -1);
  p->svr_thread = plat_thread_start([p] { mbtcp_svr_ipv6_proc(p, p->mux); }, kServerPeriodMs, "mbtcp_svr_ipv6_proc");
  PLAT_LOG(5, "north port tcp has been started.\n");
  return 0;
}

void mbtcp_svr_ipv6_proc(port *p, struct mux *) {
  if (!p->listen_sock.ensure_listening(p->tcp_port, p->max_conn, 5, p->type.c_str())) return;
  const tcp_client_list<client> list = client_list(p);
  const tcp_server_hooks<client> hooks = server_hooks(p);
  tcp_server_take_connection(list, hooks, p->max_conn, p->max_conn_method,
                             p->listen_sock.accept(p->peer_addr, &p->peer_port, kAcceptWaitMs, p->type.c_str()),
                             p->peer_addr);
  tcp_server_sweep(list, hooks);
}

void client_destroy(client *c) {
  RON(c);
  tcp_server_client_destroy(c);
  c->rx_buf.reset();
}

void remove_client(port *p, const std::shared_ptr<client> &c) {
  RON(p);
  RON(c);
  tcp_server_remove_client(client_list(p), server_hooks(p), c);
}

std::shared_ptr<client> mbtcp_client_create(port *p, std::shared_ptr<plat_socket> sock, const uint8_t peer_addr[16],
                                            uint16_t peer_port) {
  RVON(p, nullptr);
  RVON(sock, nullptr);
  auto c = std::make_shared<client>();
  c->owner = p;
  tcp_server_client_init(c.get(), *p, std::move(sock), peer_addr, peer_port, north_send_list_kind::transparent);
  rx_tcp_transparent_init(c.get());

  northport_table *npt = tcp_server_match_peer(&p->rules, peer_addr, p->type.c_str(), kFindTableLine);
  if (!npt) return nullptr;
  c->npt = npt;
  c->south_id = south_id_of(npt);
  c->activity.last_rx_tick.store(plat_systick_get());

  client *raw = c.get();
  if (!tcp_server_client_start(
          raw, [raw, npt] { mbtcp_cli_proc(raw, npt); }, [raw, npt] { mbtcp_cli_send_proc(raw, npt); },
          kClientPeriodMs, p->type.c_str())) {
    client_destroy(raw);
    return nullptr;
  }
  return c;
}

void rx_tcp_transparent_init(client *c) {
  c->rx_buf = std::make_unique<rtu_framer>();
  rtu_framer_init(c->rx_buf.get(), {.gap_ms = static_cast<uint32_t>(c->time_interval),
                                    .gap_inclusive = true,  // a silence of exactly time_interval ends a block
                                    .check_crc = false,
                                    .max_len = static_cast<uint32_t>(MB_FRAME_BUF_SIZE),
                                    .discard_until_silence = false});
  c->rx_scratch = std::make_unique<uint8_t[]>(client::rx_chunk);
}

mb_frame *rx_tcp_transparent_fsm(client *c, const uint8_t *bytes, int n, uint32_t now) {
  const rtu_framer_result r = rtu_framer_feed(c->rx_buf.get(), bytes, n, now);
  if (r.event == rtu_framer_event::overflow) {
    PLAT_LOG(4, "NORTH PORT TCP TRANSPARENT RX BUFFER OVERFLOW");
    port_stats::add(c->owner->stats.framing_drops);
    return nullptr;
  }
  if (r.event != rtu_framer_event::frame) return nullptr;
  auto *ref = new client_ref(c->shared_from_this());
  mb_frame *frame = mb_frame_create_raw(r.data, static_cast<int>(r.len), on_rsp_callback, ref, tcp_client_ref_release<client>);
  if (!frame) delete ref;
  return frame;
}

void mbtcp_cli_proc(client *c, northport_table *npt) {
  const char *type = c->owner->type.c_str();
  mb_frame *frame = tcp_server_client_receive(
      c, c->owner->stats, type, 4, [c](uint32_t now) { return receive_wait(c, now); },
      [c](const uint8_t *bytes, int n, uint32_t now) { return rx_tcp_transparent_fsm(c, bytes, n, now); });
  if (!frame) return;
  port_stats::add(c->owner->stats.requests);
  const auto offer = [c, npt](mb_frame *f) { return offer_to_mux(c, npt, f); };
  if (c->send_list->push_and_offer(frame, "NORTH TCP TRANSPARENT <-", offer) != 0) {
    PLAT_LOG(4, "[north %s] :push request failed, req is is %02x", type, c->unit_id);
    return;
  }
  PLAT_LOG(7, "[north %s] :push request done, req is is %02x", type, c->unit_id);
}

void mbtcp_cli_send_proc(client *c, northport_table *npt) {
  RON(npt);
  c->send_list->send_pass([c, npt](mb_frame *f) { return offer_to_mux(c, npt, f); });
}

int on_rsp_callback(mb_frame *frame, void *ctx, uint8_t, uint16_t, uint16_t) {
  const client_ref c = tcp_client_of_answer<client>(frame, ctx);
  if (!c) return 0;
  std::scoped_lock guard(c->lock);
  uint32_t len = 0;
  const uint8_t *bytes = mb_frame_get_data(frame, &len);
  const std::shared_ptr<plat_socket> s = c->socket();
  PLAT_LOG(7, "frame addr is %p  buf addr is %p  SOCKET ADDR IS %p", static_cast<void *>(frame),
           static_cast<const void *>(bytes), static_cast<void *>(s.get()));
  if (s) {
    if (plat_socket_send(s.get(), bytes, len) > 0) {
      port_stats::add(c->owner->stats.answers);
      port_stats::add(c->owner->stats.bytes_out, len);
    }
    PLAT_LOG_BUF(6, "NORTH TCP TRANSPARENT ->", bytes, len);
    client_activity_reset(&c->activity, plat_systick_get());
  }
  mb_frame_release(frame);
  // Paces the answers to this client; the answering south port waits too.
  plat_systick_sleep(static_cast<uint32_t>(c->time_interval));
  return 0;
}

int north_port_send_all(north_port *np, mb_frame *frame, uint32_t south_port_id, int mode) {
  auto *p = static_cast<port *>(np);
  RVON(p, 0);
  RVON(frame, 0);
  std::scoped_lock guard(p->lock);
  if (mode == south_serial_transparent::TRANSPARENT_MODE && p->max_conn >= 2) {
    // A south port that takes requests from anyone and tells everyone what
    // comes back would hand one peer's answers to the others.
    PLAT_LOG(4, "NORTH PORT TCP TRANSPARENT MODE CALLBACK WARNING, MAX CONNECTION IS %d", p->max_conn);
    return 0;
  }
  for (const auto &c : p->clients) send_all_client(c.get(), frame, south_port_id);
  return 0;
}

}  // namespace north_tcp_transparent
