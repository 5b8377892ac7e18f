// A north TCP client's passes: receiving and cutting requests, handing them
// to the mux, and sending the answers back.
#include <algorithm>
#include <cstring>

#include "north/north_port_tcp.h"
#include "platform/plat_log.h"
#include "route/mux.h"

namespace north_tcp {

namespace {

// How long this pass's receive may wait: only the rest of the frame gap
// while an RTU request is being gathered, otherwise as long as the client's
// bookkeeping allows.
uint32_t receive_wait(const mbtcp_client *c, uint32_t now) {
  if (c->rtu_over_tcp && c->rtu_buf->count > 0) {
    return std::min<uint32_t>(client_receive_wait_ms, static_cast<uint32_t>(c->time_interval) + 1);
  }
  return client_receive_wait(&c->activity, c->idle_time, now);
}

using client_ref = tcp_client_ref<mbtcp_client>;

mb_frame *make_request_frame(mbtcp_client *c, const uint8_t *data, uint32_t len, uint16_t pid, uint16_t tid) {
  auto *ref = new client_ref(c->shared_from_this());
  mb_frame *frame = mb_frame_create(data, static_cast<int>(len), on_rsp_callback, ref, tcp_client_ref_release<mbtcp_client>,
                                    c->unit_id, pid, tid, c->cache);
  if (!frame) {
    delete ref;  // a zero-length request makes no frame
    return nullptr;
  }
  frame->exceptions = c->exceptions;
  port_stats::add(c->port->stats.requests);
  return frame;
}

}  // namespace

mb_frame *rx_fsm_tcp(mbtcp_client *client, const uint8_t *bytes, int n) {
  const mbap_result r = mbap_framer_feed(client->mbap_buf.get(), bytes, n);
  if (r.oversize != 0) {
    port_stats::add(client->port->stats.framing_drops);
    PLAT_LOG(4, "[north %s] :request announcing %u bytes is longer than any Modbus request, dropped",
             client->port->type.c_str(), r.oversize);
  }
  if (r.event != mbap_event::message) return nullptr;
  // A zero-length request leaves the cleared data area: unit id 0.
  client->unit_id = r.data[0];
  mb_frame *frame = make_request_frame(client, r.data, r.len, r.pid, r.tid);
  if (frame) PLAT_LOG(7, "north port tcp created frame, node id is %02x", client->unit_id);
  return frame;
}

mb_frame *rx_fsm_rtu(mbtcp_client *client, const uint8_t *bytes, int n) {
  const rtu_framer_result r = rtu_framer_feed(client->rtu_buf.get(), bytes, n, plat_systick_get());
  const char *type = client->port->type.c_str();
  switch (r.event) {
    case rtu_framer_event::none:
      return nullptr;
    case rtu_framer_event::overflow:
      port_stats::add(client->port->stats.framing_drops);
      PLAT_LOG(4, "[north %s] :rtu over tcp request longer than %u bytes, dropped up to the next silence", type,
               static_cast<unsigned>(MB_RTU_ADU_MAX));
      return nullptr;
    case rtu_framer_event::too_short:
      PLAT_LOG(7, " NORTH RTU GET MSG LEN IS %d\n ", static_cast<int>(r.raw_len));
      return nullptr;
    case rtu_framer_event::crc_error:
      port_stats::add(client->port->stats.framing_drops);
      PLAT_LOG(7, " NORTH RTU GET MSG LEN IS %d\n ", static_cast<int>(r.raw_len));
      PLAT_LOG(4,
               "[north %s] :Please check the rtu over tcp communication protocol, CRC checksum fail, new CRC is  "
               "%02X old lrc is %02X ",
               type, r.crc_calc, r.crc_recv);
      return nullptr;
    case rtu_framer_event::frame:
      PLAT_LOG(7, " NORTH RTU GET MSG LEN IS %d\n ", static_cast<int>(r.raw_len));
      PLAT_LOG(7, "CRC CHECK DONE");
      client->unit_id = r.data[0];
      return make_request_frame(client, r.data, r.len, 0, 0);
  }
  return nullptr;
}

namespace {

// The offer of one request of the client's to the mux: the mux's result.
int offer_to_mux(mbtcp_client *client, northport_table *npt, mb_frame *frame) {
  if (!client->rtu_over_tcp) client->tx_id.store(mb_frame_get_tid(frame));
  // Read before the hand-over: once a south port has the frame it may be
  // answered and freed on another thread before the push returns.
  const uint8_t req_id = mb_frame_get_req_id(frame);
  const int cacheable = frame->cache && mb_frame_is_read(frame);
  const int rc = mux_push_request(client->mux, npt->table, frame);
  if (rc == 0) {
    PLAT_LOG(7, "[north %s] :push request done, req is is %02x, if get ack from cache: %d ",
             client->port->type.c_str(), req_id, cacheable);
  }
  return rc;
}

}  // namespace

void mbtcp_cli_proc(mbtcp_client *client, northport_table *npt) {
  const char *type = client->port->type.c_str();
  mb_frame *frame = tcp_server_client_receive(
      client, client->port->stats, type, 5, [client](uint32_t now) { return receive_wait(client, now); },
      [client](const uint8_t *bytes, int n, uint32_t) {
        return client->rtu_over_tcp ? rx_fsm_rtu(client, bytes, n) : rx_fsm_tcp(client, bytes, n);
      });
  if (!frame) return;
  const auto offer = [client, npt](mb_frame *f) { return offer_to_mux(client, npt, f); };
  if (client->send_list->push_and_offer(frame, "NORTH TCP <-", offer) != 0) return;
  PLAT_LOG(7, "[north %s] :push request done, req is is %02x, if get ack from cache: %d ", type, client->unit_id,
           client->cache);
}

void mbtcp_cli_send_proc(mbtcp_client *client, northport_table *npt) {
  RON(npt);
  client->send_list->send_pass([client, npt](mb_frame *f) { return offer_to_mux(client, npt, f); });
}

int on_rsp_callback(mb_frame *frame, void *ctx, uint8_t req_id, uint16_t tid, uint16_t pid) {
  const client_ref c = tcp_client_of_answer<mbtcp_client>(frame, ctx);
  if (!c) return 0;
  std::scoped_lock guard(c->lock);
  mb_frame_set_phy_id(frame, req_id);  // the master sees the unit id it used
  uint32_t len = 0;
  const uint8_t *out = nullptr;
  if (c->rtu_over_tcp) {
    out = mb_frame_convert_to_rtu(frame, &len);
  } else {
    const uint16_t expected = c->tx_id.load();
    if (expected != tid) {
      // The master has sent a newer request since: this answer is stale.
      port_stats::add(c->port->stats.dropped);
      PLAT_LOG(6, "[north %s] :answer to transaction %04X dropped, the last request is %04X", c->port->type.c_str(),
               tid, expected);
      mb_frame_release(frame);
      return 0;
    }
    out = mb_frame_convert_to_tcp(frame, &len, tid, pid);
  }
  const std::shared_ptr<plat_socket> s = c->socket();
  if (s && out) {
    if (plat_socket_send(s.get(), out, len) > 0) {
      port_stats::add(c->port->stats.answers);
      port_stats::add(c->port->stats.bytes_out, len);
    }
    PLAT_LOG_BUF(6, "NORTH TCP ->", out, len);
  }
  mb_frame_release(frame);
  // Paces the answers to this client; the answering south port waits too.
  plat_systick_sleep(static_cast<uint32_t>(c->time_interval));
  return 0;
}

}  // namespace north_tcp
