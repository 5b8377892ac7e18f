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
  return rtu_answer_frame(rtu_framer_feed(&framer_, bytes, n, now), "rtu", "dropped up to the next silence");
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
