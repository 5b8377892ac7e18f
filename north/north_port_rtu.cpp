#include "north/north_port_rtu.h"

#include <algorithm>

#include "platform/plat_log.h"
#include "platform/tw_conf.h"

namespace {

// A quiet line is looked at this often (the longest a close waits for the
// receive pass).
constexpr uint32_t kQuietWaitMs = 100;

const north_serial_texts rtu_texts{
    .rx_thread = "mb rtu_proc",
    .rx_dump = "NORTH RTU <-",
    .tx_dump = "NORTH RTU ->",
    .no_table = "no table config under northport ",
    .bad_table = "Unable to create table in north port RTU, please check the configuration file",
};

}  // namespace

north_port_rtu::north_port_rtu(const north_port_rtu_settings &settings, mux *m)
    : north_port_serial(settings, rtu_texts, m) {
  rtu_framer_options o;
  o.gap_ms = interval();
  o.gap_inclusive = false;  // a silence of more than the interval ends a request
  o.check_crc = true;
  o.max_len = MB_RTU_ADU_MAX;
  o.discard_until_silence = true;
  o.frame_end = settings.frame_end;
  rtu_framer_init(&framer_, o);
}

north_port_rtu::~north_port_rtu() {
  // The receive pass uses the framer: its thread goes first.
  shutdown();
}

uint32_t north_port_rtu::rx_wait(uint32_t now) { return rtu_framer_wait_ms(&framer_, now, kQuietWaitMs); }

mb_frame *north_port_rtu::rx_fsm(const uint8_t *bytes, int n, uint32_t now) {
  const rtu_framer_result r = rtu_framer_feed(&framer_, bytes, n, now);
  switch (r.event) {
    case rtu_framer_event::none:
      return nullptr;
    case rtu_framer_event::overflow:
      port_stats::add(stats.framing_drops);
      PLAT_LOG(4, "[north %s %s ] :request longer than %zu bytes, dropped up to the next silence", type().c_str(),
               device().c_str(), MB_RTU_ADU_MAX);
      return nullptr;
    case rtu_framer_event::too_short:
      port_stats::add(stats.framing_drops);
      PLAT_LOG(7, "[north %s %s ] :%u bytes are no request, dropped", type().c_str(), device().c_str(), r.raw_len);
      return nullptr;
    case rtu_framer_event::crc_error:
    case rtu_framer_event::frame:
      break;
  }
  PLAT_LOG(7, " gap time is %d   interval time is %f \n ", static_cast<int>(r.silence),
           static_cast<double>(interval()));
  if (r.event == rtu_framer_event::crc_error) {
    port_stats::add(stats.framing_drops);
    PLAT_LOG(4,
             "[north %s %s ] :Please check the rtu communication protocol, CRC checksum fail, new CRC is  %02X old "
             "lrc is %02X ",
             type().c_str(), device().c_str(), r.crc_calc, r.crc_recv);
    return nullptr;
  }
  PLAT_LOG(7, "CRC CHECK DONE");
  return make_request(r.data, r.len);
}

const uint8_t *north_port_rtu::convert_answer(mb_frame *frame, uint32_t *len) {
  return mb_frame_convert_to_rtu(frame, len);
}

std::unique_ptr<north_port_rtu> north_port_rtu_create(tw_conf_node *element, mux *m) {
  RVON(element, nullptr);
  north_port_rtu_settings s;
  static_cast<north_serial_settings &>(s) = north_serial_settings_read(element, "rtu");
  s.frame_end = rtu_frame_end_from_text(("north " + s.type).c_str(),
                                        tw_conf_node_attr_get_string(element, "frame_end", nullptr), false);
  auto port = std::make_unique<north_port_rtu>(s, m);
  if (!port->read_tables(element, m)) return nullptr;
  PLAT_LOG(5, "north port tcp created success.\n");
  return port;
}
