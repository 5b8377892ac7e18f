// The north RTU serial port: the gateway as a Modbus RTU slave on a serial
// line. A request is what arrives between two silences longer than the
// port's interval (40 ms at every usual baud rate), checked by its CRC;
// two requests sent closer together run into one and fail the check.
// Everything else is the north serial base's.
#pragma once

#include <cstdint>
#include <memory>

#include "frame/rtu_framer.h"
#include "north/north_port_serial.h"

struct north_port_rtu_settings : north_serial_settings {
  north_port_rtu_settings() { type = "rtu"; }
  rtu_frame_end frame_end = rtu_frame_end::silence;  // how a request ends
};

class north_port_rtu final : public north_port_serial {
 public:
  north_port_rtu(const north_port_rtu_settings &settings, mux *m);
  ~north_port_rtu() override;

  // The receive routine (receive thread): n bytes of one read at tick
  // `now`; a request frame (caller's), or null.
  mb_frame *rx_fsm(const uint8_t *bytes, int n, uint32_t now);

 private:
  uint32_t rx_wait(uint32_t now) override;
  mb_frame *rx_feed(const uint8_t *bytes, int n, uint32_t now) override { return rx_fsm(bytes, n, now); }
  void rx_reset() override { rtu_framer_reset(&framer_); }
  const uint8_t *convert_answer(mb_frame *frame, uint32_t *len) override;

  rtu_framer framer_;  // receive thread only
};

// The port of a NorthPort element of type "rtu", or null when the element
// has no "Table" child.
std::unique_ptr<north_port_rtu> north_port_rtu_create(tw_conf_node *element, mux *m);
