#include "north/north_port_udp.h"

#include <cstring>

#include "north/udp_sender.h"
#include "platform/plat_log.h"
#include "platform/tw_conf.h"
#include "route/mux.h"

namespace north_udp {

namespace {

constexpr uint32_t kPeriodMs = 10;
constexpr uint32_t kReceiveWaitMs = 1000;

}  // namespace

void reply_addr_release(void *ctx) { delete static_cast<reply_addr *>(ctx); }

// --- partial requests per sender ----------------------------------------------------

partial_requests::partial_requests(size_t capacity)
    : capacity_(capacity < 1 ? 1 : capacity), slots_(capacity_ + 1) {
  for (slot &s : slots_) mbap_framer_init(&s.framer, mbap_side::north_udp);
}

mbap_framer *partial_requests::framer_for(uint32_t address, uint16_t port) {
  ++clock_;
  slot *free_slot = nullptr;
  for (slot &s : slots_) {
    if (s.used && s.address == address && s.port == port) {
      s.stamp = clock_;
      return &s.framer;
    }
    if (!s.used && !free_slot) free_slot = &s;
  }
  // settle() keeps at most capacity_ of the capacity_ + 1 slots in use, so
  // a new sender always finds one and never costs another its request
  // unless its own datagram ends inside one.
  free_slot->used = true;
  free_slot->address = address;
  free_slot->port = port;
  free_slot->stamp = clock_;
  mbap_framer_reset(&free_slot->framer);
  return &free_slot->framer;
}

void partial_requests::settle(mbap_framer *framer) {
  slot *fed = nullptr;
  slot *oldest = nullptr;
  size_t used = 0;
  for (slot &s : slots_) {
    if (&s.framer == framer) fed = &s;
    if (!s.used) continue;
    ++used;
    if (&s.framer != framer && (!oldest || s.stamp < oldest->stamp)) oldest = &s;
  }
  if (!fed) return;
  // State 1: nothing of a request is pending for this sender.
  if (framer->state == 1) {
    fed->used = false;
    return;
  }
  if (used > capacity_ && oldest) {
    PLAT_LOG(6, "partial request of %s:%u dropped: %zu other senders are waiting to complete theirs",
             plat_inet_ntoa(oldest->address).c_str(), plat_ntohs(oldest->port), capacity_);
    oldest->used = false;
  }
}

size_t partial_requests::size() const {
  size_t n = 0;
  for (const slot &s : slots_) n += s.used ? 1 : 0;
  return n;
}

// --- the port --------------------------------------------------------------------------

north_port_udp::north_port_udp() {
  rtu_framer_init(&rtu_buf, {.gap_ms = 0,
                             .gap_inclusive = true,  // every datagram is cut as it comes
                             .check_crc = true,
                             .max_len = MB_RTU_ADU_MAX,
                             .discard_until_silence = true});
}

north_port_udp::~north_port_udp() { stop(); }

int north_port_udp::start() { return north_port_udp_start(this); }

namespace {

// Settings that cannot work are replaced with a level-4 line.
void read_settings(north_port_udp *port, tw_conf_node *element) {
  port->id = tw_conf_node_attr_get_int(element, "id", 255);
  port->core->type = tw_conf_node_attr_get_string_dup(element, "type", "udp");
  const char *type = port->core->type.c_str();
  port->udp_port = tw_conf_node_attr_get_int(element, "udp_port", 502);
  if (port->udp_port < 1 || port->udp_port > 0xFFFF) {
    PLAT_LOG(4, "[north %s] udp_port %d is not usable, using 502", type, port->udp_port);
    port->udp_port = 502;
  }
  port->core->time_interval = tw_conf_node_attr_get_int(element, "time_interval", 50);
  if (port->core->time_interval < 0) {
    // It is slept after every answer; a negative pause would be an endless one.
    PLAT_LOG(4, "[north %s] time_interval %d is negative, using 0", type, port->core->time_interval);
    port->core->time_interval = 0;
  }
  port->north_list_size = tw_conf_node_attr_get_int(element, "north_list_size", 1);
  if (port->north_list_size < 1) {
    PLAT_LOG(4, "[north %s] north_list_size %d is below 1, using 1", type, port->north_list_size);
    port->north_list_size = 1;
  }
  port->cache = std::strcmp(tw_conf_node_attr_get_string(element, "cache", "true"), "true") == 0 ? 1 : 0;
  port->exceptions = std::strcmp(tw_conf_node_attr_get_string(element, "exceptions", "false"), "true") == 0 ? 1 : 0;
}

}  // namespace

std::unique_ptr<north_port_udp> north_port_udp_create(tw_conf_node *element, struct mux *m) {
  RVON(element, nullptr);
  auto port = std::make_unique<north_port_udp>();
  port->mux = m;
  read_settings(port.get(), element);
  port->send_list = std::make_unique<north_send_list>(port->north_list_size, north_send_list_kind::modbus);
  port->send_list->set_stats(&port->stats);

  tw_conf_node *tables = tw_conf_node_child_query(element, "Table", nullptr);
  if (!tables) {
    PLAT_LOG(4, "no table config under northport ");
    return nullptr;
  }
  udp_server_read_rules(tables, m, port->core->type, &port->rules, &port->table_count, nullptr);
  return port;
}

int north_port_udp_start(north_port_udp *port) {
  RVON(port, -1);
  if (!udp_server_open(*port->core, port->udp_port, "[north %s]: fail to bind to port [%d]\n")) return 1;
  if (port->svr_thread) return 0;  // started before
  if (!port->send_list) {
    port->send_list = std::make_unique<north_send_list>(port->north_list_size, north_send_list_kind::modbus);
    port->send_list->set_stats(&port->stats);
  }
  udp_server_start_threads(
      port->svr_thread, port->send_thread, *port->send_list, [port] { mbudp_svr_proc(port, port->mux); },
      [port] { send_proc(port, port->mux); }, kPeriodMs);
  PLAT_LOG(5, "north port udp has been started.\n");
  return 0;
}

namespace {

mb_frame *make_request_frame(north_port_udp *port, const uint8_t *data, uint32_t len, uint16_t pid, uint16_t tid,
                             reply_addr *reply) {
  port->unit_id = data[0];
  mb_frame *frame = mb_frame_create(data, static_cast<int>(len), on_rsp_callback, reply, reply_addr_release,
                                    port->unit_id, pid, tid, port->cache);
  if (!frame) return nullptr;
  frame->exceptions = port->exceptions;
  port_stats::add(port->stats.requests);
  return frame;
}

}  // namespace

mb_frame *rx_udp_fsm(north_port_udp *port, const uint8_t *bytes, int n, reply_addr *reply) {
  RVON(port, nullptr);
  RVON(reply, nullptr);
  if (n <= 0) return nullptr;
  mbap_framer *f = port->mbap_buf.framer_for(reply->address, reply->port);
  const mbap_result r = mbap_framer_feed(f, bytes, n);
  if (r.oversize != 0) {
    // The whole datagram goes: whatever follows an impossible header in it
    // is no request anyone can vouch for. The sender's next datagram starts
    // afresh.
    port_stats::add(port->stats.framing_drops);
    PLAT_LOG(4, "[north %s] :request announcing %u bytes is longer than any Modbus request, dropped",
             port->core->type.c_str(), r.oversize);
    mbap_framer_reset(f);
    port->mbap_buf.settle(f);
    return nullptr;
  }
  port->mbap_buf.settle(f);
  if (r.event == mbap_event::bad_pid) {
    port_stats::add(port->stats.framing_drops);
    PLAT_LOG(7, "[north %s] :request with protocol id %04X dropped", port->core->type.c_str(), f->pid);
    return nullptr;
  }
  if (r.event != mbap_event::message || r.len == 0) return nullptr;
  mb_frame *frame = make_request_frame(port, r.data, r.len, r.pid, r.tid, reply);
  if (frame) PLAT_LOG(7, "north port udp created frame, node id is %02x", port->unit_id);
  return frame;
}

mb_frame *rx_rtu_fsm(north_port_udp *port, const uint8_t *bytes, int n, reply_addr *reply) {
  RVON(port, nullptr);
  RVON(reply, nullptr);
  if (n <= 0) return nullptr;
  const rtu_framer_result r = rtu_framer_feed(&port->rtu_buf, bytes, n, plat_systick_get());
  const char *type = port->core->type.c_str();
  switch (r.event) {
    case rtu_framer_event::frame:
      PLAT_LOG(7, "CRC CHECK DONE");
      return make_request_frame(port, r.data, r.len, 0, 0, reply);
    case rtu_framer_event::crc_error:
      port_stats::add(port->stats.framing_drops);
      PLAT_LOG(4,
               "[north %s] :Please check the rtu over udp communication protocol, CRC checksum fail, new CRC is  "
               "%02X old lrc is %02X ",
               type, r.crc_calc, r.crc_recv);
      break;
    case rtu_framer_event::overflow:
      port_stats::add(port->stats.framing_drops);
      PLAT_LOG(4, "[north %s] :rtu over udp request longer than %zu bytes, dropped", type, MB_RTU_ADU_MAX);
      break;
    case rtu_framer_event::too_short:
      port_stats::add(port->stats.framing_drops);
      PLAT_LOG(7, "[north %s] :%u bytes are no rtu request, dropped", type, r.raw_len);
      break;
    case rtu_framer_event::none:
      break;
  }
  return nullptr;
}

namespace {

// The offer of one request to the mux, through the table of the rule that
// admitted its sender: the mux's result.
int offer_to_mux(north_port_udp *port, struct mux *m, mb_frame *frame) {
  const auto *reply = static_cast<const reply_addr *>(mb_frame_get_ctx(frame));
  // Read before the hand-over: once a south port has the frame it may be
  // answered and freed on another thread.
  const uint16_t tid = mb_frame_get_tid(frame);
  const uint8_t req_id = mb_frame_get_req_id(frame);
  const int cacheable = mb_frame_is_cacheable(frame);
  int rc;
  {
    // The answer's check waits for this: it must see the id of a request
    // only once the mux has decided on it, and at once when it has. A busy
    // south port decided nothing (the request is offered again); a request
    // with no route was handed over and is answered, if at all, by the
    // exception the send list gives it.
    std::scoped_lock guard(port->core->tx_lock);
    rc = mux_push_request(m, reply && reply->npt ? reply->npt->table : nullptr, frame);
    if (rc <= 0) port->core->tx_id = tid;
  }
  if (rc == 0) {
    PLAT_LOG(6, "[north %s] :push request done, req is is %02x, if get ack from cache: %d ",
             port->core->type.c_str(), req_id, cacheable);
  }
  return rc;
}

}  // namespace

void mbudp_svr_proc(north_port_udp *port, struct mux *m) {
  if (plat_thread_wait_for_stop(0)) return;
  const std::shared_ptr<plat_socket> &sock = port->core->sock;
  uint32_t address = 0;
  uint16_t from_port = 0;
  const int n = plat_socket_recvfrom(sock.get(), port->rx_buf, north_port_udp::rx_size, &address, &from_port,
                                     kReceiveWaitMs);
  // The receive is this pass's wait: the next one starts at once (after a
  // failed receive, only after the period: a broken socket must not spin).
  if (n >= 0) plat_thread_wake_self();
  if (n <= 0) return;
  port_stats::add(port->stats.bytes_in, static_cast<uint64_t>(n));

  const std::string text = plat_inet_ntoa(address);
  northport_table *npt = udp_sender_match(&port->rules, text, &port->stats);
  if (!npt) return;
  PLAT_LOG(6, "northport udp north_port find table by addr : %s, table addr is : %p", text.c_str(),
           static_cast<void *>(npt->table));

  auto *reply = new reply_addr{address, from_port, npt->rtu_over, npt, port->core};
  mb_frame *frame = npt->rtu_over ? rx_rtu_fsm(port, port->rx_buf, n, reply) : rx_udp_fsm(port, port->rx_buf, n, reply);
  if (!frame) {
    delete reply;
    return;
  }
  const auto offer = [port, m](mb_frame *f) { return offer_to_mux(port, m, f); };
  if (port->send_list->push_and_offer(frame, "NORTH UDP <-", offer) != 0) return;
  PLAT_LOG(6, "[north %s] :push request done, req is is %02x, if get ack from cache: %d ", port->core->type.c_str(),
           port->unit_id, port->cache);
}

void send_proc(north_port_udp *port, struct mux *m) {
  port->send_list->send_pass([port, m](mb_frame *f) { return offer_to_mux(port, m, f); });
}

int on_rsp_callback(mb_frame *frame, void *ctx, uint8_t req_id, uint16_t tid, uint16_t pid) {
  const auto *reply = static_cast<const reply_addr *>(ctx);
  if (!reply || !reply->core) {
    mb_frame_release(frame);
    return 0;
  }
  // Our own references: releasing the frame frees the reply address.
  const std::shared_ptr<udp_core> core = reply->core;
  const uint32_t address = reply->address;
  const uint16_t port = reply->port;
  const bool rtu = reply->rtu != 0;
  std::scoped_lock guard(core->lock);
  if (!rtu) {
    uint16_t last = 0;
    {
      std::scoped_lock tx_guard(core->tx_lock);
      last = core->tx_id;
    }
    if (last != tid) {
      // A newer request has been handed over since: this answer is stale.
      if (core->stats) port_stats::add(core->stats->dropped);
      PLAT_LOG(6, "[north %s] :answer to transaction %04X dropped, the last request is %04X", core->type.c_str(), tid,
               last);
      mb_frame_release(frame);
      return 1;
    }
  }
  mb_frame_set_phy_id(frame, req_id);  // the master sees the unit id it used
  uint32_t len = 0;
  const uint8_t *out = rtu ? mb_frame_convert_to_rtu(frame, &len) : mb_frame_convert_to_tcp(frame, &len, tid, pid);
  if (out && core->sock && !core->closed) {
    PLAT_LOG(7, "ready to send to udp server");
    PLAT_LOG_BUF(6, "NORTH UDP ->", out, len);
    if (plat_socket_sendto(core->sock.get(), out, len, address, port) > 0 && core->stats) {
      port_stats::add(core->stats->answers);
      port_stats::add(core->stats->bytes_out, len);
    }
  }
  PLAT_LOG(7, "ready to release callback frame addr is %p", static_cast<void *>(frame));
  // Paces the answers of the port; the answering south port waits too.
  plat_systick_sleep(static_cast<uint32_t>(core->time_interval));
  mb_frame_release(frame);
  return 0;
}

}  // namespace north_udp
