#include "south/south_port_serial.h"

#include "platform/plat_log.h"
#include "platform/tw_conf.h"

namespace {

south_serial_settings check_settings(south_serial_settings s, const south_serial_texts &texts) {
  if (s.timeout <= 0) {
    PLAT_LOG(4, " south port %s timeout has illegaled configuration, system is setting as defaut val : 1000 ",
             texts.timeout_word);
    s.timeout = 1000;
  }
  // Every pause and gap of the port is computed from these.
  serial_params_check("south", &s);
  s.cache_polling_cycle = south_port_polling_cycle(s.type, s.cache_polling_cycle);
  return s;
}

}  // namespace

south_serial_settings south_serial_settings_read(tw_conf_node *element, const char *default_type) {
  south_serial_settings s;
  serial_port_settings_read(element, default_type, &s);
  s.timeout = tw_conf_node_attr_get_int(element, "timeout", 1000);
  const int cycle = tw_conf_node_attr_get_int(element, "cache_polling_cycle", 5000);
  s.cache_polling_cycle = cycle < 1 ? 0 : static_cast<uint32_t>(cycle);
  return s;
}

south_port_serial::south_port_serial(const south_serial_settings &settings, const south_serial_texts &texts)
    : south_port_serial(checked{}, check_settings(settings, texts), texts) {}

south_port_serial::south_port_serial(checked, const south_serial_settings &s, const south_serial_texts &texts)
    : south_port_base(s.type, static_cast<uint32_t>(s.timeout), s.cache_polling_cycle),
      settings_(s),
      texts_(texts),
      bits_per_char_(s.byte_size + s.stop_bits + 1),
      line_(this, this, serial_line_settings_of(s, "TRELLIS", 1)) {
  // No line yet: requests are refused until it opens.
  refuse_requests(true);
  idle_pass_ms_ = idle_check_ms;
}

south_port_serial::~south_port_serial() {
  // Threads before the line, and both before the members they use.
  line_.shutdown();
}

uint32_t south_port_serial::transmit_pause(uint32_t len) const {
  return static_cast<uint32_t>(static_cast<uint64_t>(len) * static_cast<uint64_t>(bits_per_char_) * 1000u /
                               static_cast<uint64_t>(settings_.baudrate));
}

int south_port_serial::change_state(tag *t) { return line_.change_state(t); }

int south_port_serial::start(void *, void *) { return line_.start(); }

void south_port_serial::serial_line_opened() {
  if (!texts_.started_after_threads) PLAT_LOG(5, "south port serial has been started.\n");
  start_threads(texts_.send_thread);
  refuse_requests(false);
  if (texts_.started_after_threads) PLAT_LOG(5, "south port serial has been started.\n");
}

void south_port_serial::serial_line_closing() {
  // New requests are refused from here on; the one in the slot, if any, is
  // released once no pass can use it.
  refuse_requests(true);
  close_threads();
  drop_pending();
}

void south_port_serial::send_pass() {
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
    if (texts_.mark_sent_before_lookup) mb_frame_mark_sent(req);
    if (mb_frame *ack = cache_lookup(req)) {
      uint32_t len = 0;
      const uint8_t *bytes = mb_frame_get_data(ack, &len);
      PLAT_LOG(texts_.cache_hit_level, texts_.cache_hit, type().c_str());
      PLAT_LOG(6, "receive : [%s] ", device().c_str());
      PLAT_LOG_BUF(6, texts_.cache_dump, bytes, len);
      deliver_answer(req, bytes, len);
      mb_frame_release(ack);
      return;
    }
    PLAT_LOG(5, texts_.cache_miss, type().c_str(), mb_frame_get_phy_id(req));
  }

  uint32_t tx_len = 0;
  const uint8_t *tx = convert_request(req, &tx_len);
  if (!tx) {
    // Too long for the wire buffer (logged by the conversion): as if timed out.
    release_pending(req);
    return;
  }
  // Nothing from an earlier exchange may be taken for this one's answer.
  plat_serial_purge(serial_h, 1, 1);
  rx_reset();
  PLAT_LOG(6, "send : [%s] ", device().c_str());
  PLAT_LOG_BUF(6, texts_.send_dump, tx, tx_len);
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
    rx_reset();
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
        mb_frame *a = rx_feed(bytes, n);
        if (a && !answer_fits_request(req, a)) {
          mb_frame_release(a);
          return static_cast<mb_frame *>(nullptr);
        }
        return a;
      },
      &answer);
  // Whatever is left of this exchange is not kept for the next one.
  rx_reset();
  switch (r) {
    case wait_result::answered: {
      uint32_t len = 0;
      const uint8_t *bytes = mb_frame_get_data(answer, &len);
      PLAT_LOG(7, texts_.answer_done, type().c_str());
      PLAT_LOG(6, "receive : [%s] ", device().c_str());
      PLAT_LOG_BUF(6, texts_.answer_dump, bytes, len);
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
