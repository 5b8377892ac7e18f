#include "south/south_port_rtu.h"

#include "platform/plat_log.h"

namespace {

const south_serial_texts rtu_texts{
    .timeout_word = "rtu",
    .send_thread = "mbrtu_send_proc",
    .cache_hit_level = 6,
    .cache_hit = "[south %s]: get req from cache\n",
    .cache_miss = "[south %s] : can not get ack from cache, phy id is [%02x], going to regist new cache",
    .cache_dump = "SOUTH RTU CACHE <-",
    .send_dump = "SOUTH RTU ->",
    .answer_done = "[south %s]: south port rtu receive req done\n",
    .answer_dump = "SOUTH RTU <-",
    .mark_sent_before_lookup = false,
    .started_after_threads = false,
};

}  // namespace

south_port_rtu::south_port_rtu(const south_port_rtu_settings &settings)
    : south_port_serial(settings, rtu_texts),
      // The division comes first: at every usual rate the gap is 40 ms.
      frame_gap_(static_cast<uint32_t>(1000 * ((4 * bits_per_char()) / this->settings().baudrate) + 40)) {
  rtu_framer_options rtu;
  rtu.gap_ms = frame_gap_;
  rtu.frame_end = settings.frame_end;
  rtu_framer_init(&framer_, rtu);
}

south_port_rtu::~south_port_rtu() {
  // The send pass uses the framer: its thread goes first.
  shutdown();
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

const uint8_t *south_port_rtu::convert_request(mb_frame *req, uint32_t *len) {
  return mb_frame_convert_to_rtu(req, len);
}

void south_port_rtu::rx_reset() { rtu_framer_reset(&framer_); }

mb_frame *south_port_rtu::rx_feed(const uint8_t *bytes, int n) { return rx_fsm(bytes, n, plat_systick_get()); }

std::unique_ptr<south_port_rtu> south_port_rtu_create(tw_conf_node *element) {
  RVON(element, nullptr);
  south_port_rtu_settings s;
  static_cast<south_serial_settings &>(s) = south_serial_settings_read(element, "rtu");
  s.frame_end = rtu_frame_end_from_text(("south " + s.type).c_str(),
                                        tw_conf_node_attr_get_string(element, "frame_end", nullptr), true);
  return std::make_unique<south_port_rtu>(s);
}
