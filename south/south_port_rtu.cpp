#include "south/south_port_rtu.h"

#include <algorithm>

#include "platform/plat_log.h"

namespace {

south_port_rtu_settings check_settings(south_port_rtu_settings s) {
  if (s.timeout <= 0) {
    PLAT_LOG(4, " south port rtu timeout has illegaled configuration, system is setting as defaut val : 1000 ");
    s.timeout = 1000;
  }
  // Every pause and gap of the port is computed from these.
  const serial_params line =
      serial_params_check("south " + s.type, {.baudrate = s.baudrate, .byte_size = s.byte_size,
                                              .stop_bits = s.stop_bits, .parity = s.parity});
  s.baudrate = line.baudrate;
  s.byte_size = line.byte_size;
  s.stop_bits = line.stop_bits;
  s.parity = line.parity;
  s.cache_polling_cycle = south_port_polling_cycle(s.type, s.cache_polling_cycle);
  return s;
}

serial_line_settings line_settings(const south_port_rtu_settings &s) {
  serial_line_settings l;
  l.port = s.port;
  l.baudrate = s.baudrate;
  // Handed to the line as one byte each.
  l.byte_size = static_cast<uint8_t>(s.byte_size);
  l.stop_bits = static_cast<uint8_t>(s.stop_bits);
  l.parity = s.parity;
  l.tag_word = "TRELLIS";
  l.tag_state = 1;
  l.retry_ms = s.retry_ms;
  return l;
}

}  // namespace

south_port_rtu::south_port_rtu(const south_port_rtu_settings &settings)
    : south_port_rtu(checked{}, check_settings(settings)) {}

south_port_rtu::south_port_rtu(checked, const south_port_rtu_settings &s)
    : south_port_base(s.type, static_cast<uint32_t>(s.timeout), s.cache_polling_cycle),
      settings_(s),
      bits_per_char_(s.byte_size + s.stop_bits + 1),
      // The division comes first: at every usual rate the gap is 40 ms.
      frame_gap_(static_cast<uint32_t>(1000 * ((4 * bits_per_char_) / s.baudrate) + 40)),
      line_(this, this, line_settings(s)) {
  rtu_framer_options rtu;
  rtu.gap_ms = frame_gap_;
  rtu.frame_end = s.frame_end;
  rtu_framer_init(&framer_, rtu);
  // No line yet: requests are refused until it opens.
  refuse_requests(true);
  idle_pass_ms_ = idle_check_ms;
}

south_port_rtu::~south_port_rtu() {
  // Threads before the line, and both before the members they use.
  line_.shutdown();
}

uint32_t south_port_rtu::transmit_pause(uint32_t len) const {
  return static_cast<uint32_t>(static_cast<uint64_t>(len) * static_cast<uint64_t>(bits_per_char_) * 1000u /
                               static_cast<uint64_t>(settings_.baudrate));
}

int south_port_rtu::change_state(tag *t) { return line_.change_state(t); }

int south_port_rtu::start(void *, void *) { return line_.start(); }

void south_port_rtu::serial_line_opened() {
  PLAT_LOG(5, "south port serial has been started.\n");
  start_threads("mbrtu_send_proc");
  refuse_requests(false);
}

void south_port_rtu::serial_line_closing() {
  // New requests are refused from here on; the one in the slot, if any, is
  // released once no pass can use it.
  refuse_requests(true);
  close_threads();
  drop_pending();
}

mb_frame *south_port_rtu::rx_fsm(const uint8_t *bytes, int n, uint32_t now) {
  const rtu_framer_result r = rtu_framer_feed(&framer_, bytes, n, now);
  switch (r.event) {
    case rtu_framer_event::frame:
      PLAT_LOG(7, "CRC CHECK DONE");
      return mb_frame_create(r.data, static_cast<int>(r.len), nullptr, nullptr, nullptr, 0, 0, 0, 0);
    case rtu_framer_event::crc_error:
      port_stats::add(stats.framing_drops);
      PLAT_LOG(4,
               "[south %s] :Please check the rtu communication protocol, CRC checksum fail, new CRC is  %02X old lrc "
               "is %02X ",
               type().c_str(), r.crc_calc, r.crc_recv);
      break;
    case rtu_framer_event::overflow:
      port_stats::add(stats.framing_drops);
      PLAT_LOG(4, "[south %s]: answer longer than %zu bytes, dropped up to the next silence\n", type().c_str(),
               MB_RTU_ADU_MAX);
      break;
    case rtu_framer_event::too_short:
      port_stats::add(stats.framing_drops);
      PLAT_LOG(7, "[south %s]: %u bytes are no frame, dropped\n", type().c_str(), r.raw_len);
      break;
    case rtu_framer_event::none:
      break;
  }
  return nullptr;
}

void south_port_rtu::send_pass() {
  plat_serial *serial_h = line_.handle();
  if (!serial_h) {
    PLAT_LOG(7, "RON(south_port->serial_h) failed");
    return;
  }
  mb_frame *req = pending_request();
  if (!req) {
    // Idle: a line that hung up meanwhile is noticed now, not at the next
    // request.
    if (plat_serial_hung_up(serial_h)) line_.fail("line check", serial_h->last_error());
    return;
  }

  if (mb_frame_is_cacheable(req)) {
    if (mb_frame *ack = cache_lookup(req)) {
      uint32_t len = 0;
      const uint8_t *bytes = mb_frame_get_data(ack, &len);
      PLAT_LOG(6, "[south %s]: get req from cache\n", type().c_str());
      PLAT_LOG(6, "receive : [%s] ", device().c_str());
      PLAT_LOG_BUF(6, "SOUTH RTU CACHE <-", bytes, len);
      deliver_answer(req, bytes, len);
      mb_frame_release(ack);
      return;
    }
    PLAT_LOG(5, "[south %s] : can not get ack from cache, phy id is [%02x], going to regist new cache",
             type().c_str(), mb_frame_get_phy_id(req));
  }

  uint32_t tx_len = 0;
  const uint8_t *tx = mb_frame_convert_to_rtu(req, &tx_len);
  if (!tx) {
    // Too long for the wire buffer (logged by the conversion): as if timed out.
    release_pending(req);
    return;
  }
  // Nothing from an earlier exchange may be taken for this one's answer.
  plat_serial_purge(serial_h, 1, 1);
  rtu_framer_reset(&framer_);
  PLAT_LOG(6, "send : [%s] ", device().c_str());
  PLAT_LOG_BUF(6, "SOUTH RTU ->", tx, tx_len);
  if (plat_serial_write(serial_h, tx, tx_len) != 0) {
    if (plat_thread_wait_for_stop(0)) return;  // the line is being closed: the close releases the request
    release_unanswered(req);
    line_.fail("write", serial_h->last_error());
    return;
  }
  port_stats::add(stats.bytes_out, tx_len);
  const uint32_t pause = transmit_pause(tx_len);
  PLAT_LOG(7, "send serial data len = %d  sleep time = %d\n", static_cast<int>(tx_len), static_cast<int>(pause));
  plat_systick_sleep(pause);

  if (mb_frame_is_broadcast(req)) {
    release_pending(req);  // nobody answers a broadcast
    return;
  }

  mb_frame *answer = nullptr;
  const wait_result r = wait_for_answer(
      req,
      [this, serial_h](uint8_t *buf, size_t size) {
        size_t n = 0;
        if (plat_serial_read(serial_h, buf, size, &n) != 0) return -1;  // the line has failed
        port_stats::add(stats.bytes_in, n);
        return static_cast<int>(n);
      },
      [this, req](const uint8_t *bytes, int n) {
        mb_frame *a = rx_fsm(bytes, n, plat_systick_get());
        if (a && !answer_fits_request(req, a)) {
          mb_frame_release(a);
          return static_cast<mb_frame *>(nullptr);
        }
        return a;
      },
      &answer);
  if (r != wait_result::answered) rtu_framer_reset(&framer_);  // late bytes of this exchange are not kept
  switch (r) {
    case wait_result::answered: {
      uint32_t len = 0;
      const uint8_t *bytes = mb_frame_get_data(answer, &len);
      PLAT_LOG(7, "[south %s]: south port rtu receive req done\n", type().c_str());
      PLAT_LOG(6, "receive : [%s] ", device().c_str());
      PLAT_LOG_BUF(6, "SOUTH RTU <-", bytes, len);
      deliver_device_answer(req, answer);
      return;
    }
    case wait_result::timed_out:
      release_unanswered(req);  // the requester learns by getting no answer (or the exception it asked for)
      return;
    case wait_result::failed:
      release_unanswered(req);
      line_.fail("read", serial_h->last_error());
      return;
    case wait_result::stopped:
      return;  // the line is being closed: the close releases the request
  }
}

std::unique_ptr<south_port_rtu> south_port_rtu_create(tw_conf_node *element) {
  RVON(element, nullptr);
  south_port_rtu_settings s;
  s.id = tw_conf_node_attr_get_int(element, "id", 255);
  s.type = tw_conf_node_attr_get_string_dup(element, "type", "rtu");
  s.timeout = tw_conf_node_attr_get_int(element, "timeout", 1000);
  s.baudrate = tw_conf_node_attr_get_int(element, "baudrate", 9600);
  s.byte_size = tw_conf_node_attr_get_int(element, "byte_size", 8);
  s.stop_bits = tw_conf_node_attr_get_int(element, "stop_bits", 1);
  s.parity = tw_conf_node_attr_get_int(element, "parity", 0);
  s.port = tw_conf_node_attr_get_int(element, "port", 1);
  const int cycle = tw_conf_node_attr_get_int(element, "cache_polling_cycle", 5000);
  s.frame_end = rtu_frame_end_from_text(("south " + s.type).c_str(),
                                        tw_conf_node_attr_get_string(element, "frame_end", nullptr), true);
  s.cache_polling_cycle = cycle < 1 ? 0 : static_cast<uint32_t>(cycle);
  return std::make_unique<south_port_rtu>(s);
}
