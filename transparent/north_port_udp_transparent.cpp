#include "transparent/north_port_udp_transparent.h"

#include "north/udp_sender.h"
#include "platform/plat_log.h"
#include "platform/tw_conf.h"
#include "route/mux.h"

namespace north_udp_transparent {

namespace {

constexpr uint32_t kReceiveWaitMs = 1000;
// The pause after every answer: fixed, whatever time_interval says.
constexpr uint32_t kAnswerPauseMs = 50;
// The number the refused-push line has always carried.
constexpr int kPushErrorLine = 353;

// The threads' period; the receive waits itself, the send thread is woken.
uint32_t period_of(const port *p) { return static_cast<uint32_t>(p->time_interval > 0 ? p->time_interval : 1); }

// The list of a datagram port drops its waiting blocks quietly (level 5,
// no pause), as the Modbus ports' lists do.
std::unique_ptr<north_send_list> make_send_list(port *p) {
  auto list = std::make_unique<north_send_list>(p->north_list_size, north_send_list_kind::modbus);
  list->set_stats(&p->stats);
  return list;
}

void read_settings(port *p, tw_conf_node *element) {
  p->id = tw_conf_node_attr_get_int(element, "id", 255);
  p->core->type = tw_conf_node_attr_get_string_dup(element, "type", "tcp");
  const char *type = p->core->type.c_str();
  p->udp_port = tw_conf_node_attr_get_int(element, "udp_port", 502);
  if (p->udp_port < 1 || p->udp_port > 0xFFFF) {
    PLAT_LOG(4, "[north %s] udp_port %d is not usable, using 502", type, p->udp_port);
    p->udp_port = 502;
  }
  p->time_interval = tw_conf_node_attr_get_int(element, "time_interval", 50);
  if (p->time_interval < 0) {
    PLAT_LOG(4, "[north %s] time_interval %d is negative, using 50", type, p->time_interval);
    p->time_interval = 50;
  }
  p->north_list_size = tw_conf_node_attr_get_int(element, "north_list_size", 1);
  if (p->north_list_size < 1) {
    PLAT_LOG(4, "[north %s] north_list_size %d is below 1, using 1", type, p->north_list_size);
    p->north_list_size = 1;
  }
}

// The offer of one block to the mux, through the table of the rule that
// admitted its sender: the mux's result.
int offer_to_mux(port *p, struct mux *m, mb_frame *frame) {
  const auto *from = static_cast<const peer *>(mb_frame_get_ctx(frame));
  // Read before the hand-over: once a south port has the frame it may be
  // answered and freed on another thread.
  const uint8_t req_id = mb_frame_get_req_id(frame);
  const int cacheable = mb_frame_is_cacheable(frame);
  const int rc = mux_push_request(m, from && from->npt ? from->npt->table : nullptr, frame);
  if (rc == 0) {
    PLAT_LOG(7, "[north %s] :push request done, req is is %02x, if get ack from cache: %d ", p->core->type.c_str(),
             req_id, cacheable);
  } else if (rc > 0) {
    PLAT_LOG(6, "[north %s] :push request busy, resend now ", p->core->type.c_str());
  }
  return rc;
}

}  // namespace

void peer_release(void *ctx) { delete static_cast<peer *>(ctx); }

port::port() : rx_buf(MB_FRAME_BUF_SIZE) {}

port::~port() { stop(); }

int port::start() { return north_port_udp_start(this); }

std::unique_ptr<port> north_port_udp_transparent_create(tw_conf_node *element, struct mux *m) {
  RVON(element, nullptr);
  // Looked for before the port registers: a port that is not created must
  // leave nothing in the mux.
  tw_conf_node *tables = tw_conf_node_child_query(element, "Table", nullptr);
  if (!tables) {
    PLAT_LOG(4, "no table config under northport ");
    return nullptr;
  }
  auto p = std::make_unique<port>();
  p->mux = m;
  read_settings(p.get(), element);
  p->send_list = make_send_list(p.get());
  mux_register_northport(m, p->id, p.get(), north_port_send_all);

  port *raw = p.get();
  udp_server_read_rules(tables, m, p->core->type, &p->rules, &p->table_count, [m, raw](northport_table *npt) {
    mux_register_transparent_northport_to_southport(m, raw->id, npt);
  });
  return p;
}

int north_port_udp_start(port *p) {
  RVON(p, -1);
  // Broadcasts may already come: the south ports start first.
  if (!udp_server_open(*p->core, p->udp_port, "[north %s]: fail to bind to port %d\n")) return 1;
  if (p->svr_thread) return 0;  // started before
  if (!p->send_list) p->send_list = make_send_list(p);
  udp_server_start_threads(
      p->svr_thread, p->send_thread, *p->send_list, [p] { mbudp_svr_proc(p, p->mux); },
      [p] { send_proc(p, p->mux); }, period_of(p));
  PLAT_LOG(5, "north port udp has been started.\n");
  return 0;
}

mb_frame *rx_udp_transparent(port *p, const uint8_t *bytes, int n, uint32_t address, uint16_t from_port) {
  RVON(p, nullptr);
  if (n <= 0) return nullptr;
  const std::string text = plat_inet_ntoa(address);
  PLAT_LOG(6, "NORTH UDP TRANSPARENT <- IP: %s PORT:%d", text.c_str(), from_port);
  northport_table *npt = udp_sender_match(&p->rules, text, &p->stats);
  if (!npt) return nullptr;
  // Broadcasts go to the single-address rules at this port.
  if (npt->ip_type == IP_SINGLE) p->last_peer_port.store(from_port);
  auto *from = new peer{address, from_port, npt, p->core};
  mb_frame *frame = mb_frame_create_raw(bytes, n, on_rsp_callback, from, peer_release);
  if (!frame) {
    delete from;
    return nullptr;
  }
  port_stats::add(p->stats.requests);
  return frame;
}

void mbudp_svr_proc(port *p, struct mux *m) {
  if (plat_thread_wait_for_stop(0)) return;
  uint32_t address = 0;
  uint16_t from_port = 0;
  const int n = plat_socket_recvfrom(p->core->sock.get(), p->rx_buf.data(), p->rx_buf.size(), &address, &from_port,
                                     kReceiveWaitMs);
  // The receive is this pass's wait: the next one starts at once (after a
  // failed receive, only after the period: a broken socket must not spin).
  if (n >= 0) plat_thread_wake_self();
  if (n <= 0) return;
  port_stats::add(p->stats.bytes_in, static_cast<uint64_t>(n));
  mb_frame *frame = rx_udp_transparent(p, p->rx_buf.data(), n, address, from_port);
  if (!frame) return;
  const auto offer = [p, m](mb_frame *f) { return offer_to_mux(p, m, f); };
  if (p->send_list->push_and_offer(frame, "NORTH UDP TRANSPARENT <-", offer) != 0) {
    PLAT_LOG(3, "%d push error\n", kPushErrorLine);
    return;
  }
  PLAT_LOG(7, "[north %s] :push request done, req is is %02x, if get ack from cache: %d ", p->core->type.c_str(), 0,
           0);
}

void send_proc(port *p, struct mux *m) {
  p->send_list->send_pass([p, m](mb_frame *f) { return offer_to_mux(p, m, f); });
}

int on_rsp_callback(mb_frame *frame, void *ctx, uint8_t, uint16_t, uint16_t) {
  const auto *to = static_cast<const peer *>(ctx);
  if (!to || !to->core) {
    mb_frame_release(frame);
    return 0;
  }
  // Our own copies: releasing the frame frees the peer record.
  const std::shared_ptr<udp_core> core = to->core;
  const uint32_t address = to->address;
  const uint16_t to_port = to->port;
  PLAT_LOG(7, "ready to convert udp");
  uint32_t len = 0;
  const uint8_t *bytes = mb_frame_get_data(frame, &len);
  PLAT_LOG_BUF(6, "NORTH UDP TRANSPARENT ->", bytes, len);
  {
    std::scoped_lock guard(core->lock);
    if (core->sock && !core->closed && plat_socket_sendto(core->sock.get(), bytes, len, address, to_port) > 0 &&
        core->stats) {
      port_stats::add(core->stats->answers);
      port_stats::add(core->stats->bytes_out, len);
    }
  }
  PLAT_LOG(7, "ready to releas callback frame addr is %p", static_cast<void *>(frame));
  mb_frame_release(frame);
  // Paces the answers of the port; the answering south port waits too.
  plat_systick_sleep(kAnswerPauseMs);
  PLAT_LOG(7, "release done");
  return 0;
}

int north_port_send_all(north_port *np, mb_frame *frame, uint32_t, int) {
  auto *p = static_cast<port *>(np);
  RVON(p, 0);
  RVON(frame, 0);
  PLAT_LOG(7, "%s\n", "north_port_send_all");
  std::shared_ptr<plat_socket> sock;
  {
    std::scoped_lock guard(p->core->lock);
    sock = p->core->sock;
  }
  if (!sock) return 0;  // not started: there is no socket to send from
  std::scoped_lock guard(p->lock);
  PLAT_LOG(7, "ready to convert udp");
  const uint16_t to_port = p->last_peer_port.load();
  uint32_t len = 0;
  const uint8_t *bytes = mb_frame_get_data(frame, &len);
  for (const northport_table *npt = p->rules.tables; npt; npt = npt->next) {
    if (npt->ip_type != IP_SINGLE) continue;
    PLAT_LOG(6, "NORTH UDP -> ip is %s, port is %d", npt->ip.c_str(), to_port);
    if (to_port == 0) {
      // No single-address peer has sent yet: port 0 reaches no one.
      PLAT_LOG(7, "[north %s] :no peer port known yet, nothing sent to %s", p->core->type.c_str(), npt->ip.c_str());
      continue;
    }
    PLAT_LOG_BUF(6, "NORTH UDP TRANSPARENT ->", bytes, len);
    if (plat_socket_sendto(sock.get(), bytes, len, plat_inet_addr(npt->ip.c_str()), to_port) > 0) {
      port_stats::add(p->stats.bytes_out, len);
    }
  }
  return 0;
}

}  // namespace north_udp_transparent
