#include "south/south_port_ascii.h"

#include "platform/plat_log.h"

namespace {

const south_serial_texts ascii_texts{
    .timeout_word = "ascii",
    .send_thread = "mbascii_send_proc",
    .cache_hit_level = 7,
    .cache_hit = "[south %s]: south port rtu get req from cache",
    .cache_miss = "[south %s]: can not get ack from cache, phy id is [%02x], going to regist new cache",
    .cache_dump = "SOUTH ASCII CACHE <-",
    .send_dump = "SOUTH ASCII ->",
    .answer_done = "[south %s]: receive req done\n",
    .answer_dump = "SOUTH ASCII <-",
    .mark_sent_before_lookup = true,
    .started_after_threads = true,
};

}  // namespace

south_port_ascii::south_port_ascii(const south_port_ascii_settings &settings)
    : south_port_serial(settings, ascii_texts) {}

south_port_ascii::~south_port_ascii() {
  // The send pass uses the framer: its thread goes first.
  shutdown();
}

mb_frame *south_port_ascii::rx_ascii_fsm(const uint8_t *bytes, int n) {
  const ascii_framer_result r = ascii_framer_feed(&framer_, bytes, n);
  if (r.overflow) {
    port_stats::add(stats.framing_drops);
    PLAT_LOG(4, "[south %s]: answer longer than %zu characters, dropped up to the next ':'\n", type().c_str(),
             MB_ASCII_ADU_MAX);
  }
  switch (r.event) {
    case ascii_framer_event::none:
      return nullptr;
    case ascii_framer_event::invalid:
      port_stats::add(stats.framing_drops);
      PLAT_LOG(4, "[south %s]: answer of %u characters is no hex text, dropped\n", type().c_str(), r.hex_len);
      PLAT_LOG(7, "MASTER ASCII ERROR\n");
      return nullptr;
    case ascii_framer_event::too_short:
      port_stats::add(stats.framing_drops);
      PLAT_LOG(7, "[south %s]: answer of %u characters is no frame, dropped\n", type().c_str(), r.hex_len);
      return nullptr;
    case ascii_framer_event::lrc_error:
    case ascii_framer_event::frame:
      break;
  }
  PLAT_LOG(7, "SLAVE ID IS %02X\n", framer_.bin[0]);
  PLAT_LOG(7, "NEW LRC  =  %02X    old lrc is %02X  hex len is %d\n", r.lrc_calc, r.lrc_recv,
           static_cast<int>(r.decoded));
  if (r.event == ascii_framer_event::lrc_error) {
    port_stats::add(stats.framing_drops);
    PLAT_LOG(4,
             "[south %s] :Please check the ascii communication protocol, LRC checksum fail, new LRC is  %02X old lrc "
             "is %02X ",
             type().c_str(), r.lrc_calc, r.lrc_recv);
    PLAT_LOG(7, "MASTER ASCII ERROR\n");
    return nullptr;
  }
  return mb_frame_create(r.data, static_cast<int>(r.len), nullptr, nullptr, nullptr, 0, 0, 0, 0);
}

const uint8_t *south_port_ascii::convert_request(mb_frame *req, uint32_t *len) {
  const uint8_t *tx = mb_frame_convert_to_ascii(req, len);
  if (tx) PLAT_LOG(7, "ascii get frame from send list");
  return tx;
}

void south_port_ascii::rx_reset() { ascii_framer_reset(&framer_); }

std::unique_ptr<south_port_ascii> south_port_ascii_create(tw_conf_node *element) {
  RVON(element, nullptr);
  south_port_ascii_settings s;
  static_cast<south_serial_settings &>(s) = south_serial_settings_read(element, "ascii");
  return std::make_unique<south_port_ascii>(s);
}
