#include "north/north_port_ascii.h"

#include "platform/plat_log.h"

namespace {

// Nothing in an ASCII message depends on time: a quiet line is looked at
// this often (the longest a close waits for the receive pass).
constexpr uint32_t kQuietWaitMs = 100;

const north_serial_texts ascii_texts{
    .rx_thread = "mb ascii_proc",
    .rx_dump = "NORTH ASCII <-",
    .tx_dump = "NORTH ASCII ->",
    .no_table =
        "The table configuration cannot be found in the north port ASCII connection, please check the configuration "
        "file !",
    .bad_table = "Unable to create table in north port ASCII, please check the configuration file",
};

}  // namespace

north_port_ascii::north_port_ascii(const north_port_ascii_settings &settings, mux *m)
    : north_port_serial(settings, ascii_texts, m) {}

north_port_ascii::~north_port_ascii() {
  // The receive pass uses the framer: its thread goes first.
  shutdown();
}

uint32_t north_port_ascii::rx_wait(uint32_t) { return kQuietWaitMs; }

mb_frame *north_port_ascii::rx_ascii_fsm(const uint8_t *bytes, int n) {
  const ascii_framer_result r = ascii_framer_feed(&framer_, bytes, n);
  if (r.overflow) {
    port_stats::add(stats.framing_drops);
    PLAT_LOG(4, "[north %s %s] :request longer than %zu characters, dropped up to the next ':'", type().c_str(),
             device().c_str(), MB_ASCII_ADU_MAX);
  }
  switch (r.event) {
    case ascii_framer_event::none:
      return nullptr;
    case ascii_framer_event::invalid:
      port_stats::add(stats.framing_drops);
      PLAT_LOG(4, "[north %s %s] :request of %u characters is no hex text, dropped", type().c_str(), device().c_str(),
               r.hex_len);
      return nullptr;
    case ascii_framer_event::too_short:
      port_stats::add(stats.framing_drops);
      PLAT_LOG(7, "[north %s %s] :request of %u characters is no frame, dropped", type().c_str(), device().c_str(),
               r.hex_len);
      return nullptr;
    case ascii_framer_event::lrc_error:
    case ascii_framer_event::frame:
      break;
  }
  PLAT_LOG(7, "NEW LRC  =  %02X    old lrc is %02X  hex len is %d\n", r.lrc_calc, r.lrc_recv,
           static_cast<int>(r.decoded));
  if (r.event == ascii_framer_event::lrc_error) {
    port_stats::add(stats.framing_drops);
    PLAT_LOG(4,
             "[north %s %s] :Please check the ascii communication protocol, LRC checksum fail, new LRC is  %02X old "
             "lrc is %02X ",
             type().c_str(), device().c_str(), r.lrc_calc, r.lrc_recv);
    return nullptr;
  }
  return make_request(r.data, r.len);
}

const uint8_t *north_port_ascii::convert_answer(mb_frame *frame, uint32_t *len) {
  return mb_frame_convert_to_ascii(frame, len);
}

std::unique_ptr<north_port_ascii> north_port_ascii_create(tw_conf_node *element, mux *m) {
  RVON(element, nullptr);
  north_port_ascii_settings s;
  static_cast<north_serial_settings &>(s) = north_serial_settings_read(element, "ascii");
  auto port = std::make_unique<north_port_ascii>(s, m);
  if (!port->read_tables(element, m)) return nullptr;
  PLAT_LOG(5, "north port tcp created success.\n");
  return port;
}
