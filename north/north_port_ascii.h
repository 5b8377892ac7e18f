// The north ASCII serial port: the gateway as a Modbus ASCII slave on a
// serial line. A request is ':' hex text and LRC ended by CR or LF; the
// answer goes back in the same form. Everything else is the north serial
// base's, as for the RTU port.
#pragma once

#include <cstdint>
#include <memory>

#include "frame/ascii_framer.h"
#include "north/north_port_serial.h"

struct north_port_ascii_settings : north_serial_settings {
  north_port_ascii_settings() { type = "ascii"; }
};

class north_port_ascii final : public north_port_serial {
 public:
  north_port_ascii(const north_port_ascii_settings &settings, mux *m);
  ~north_port_ascii() override;

  // The receive routine (receive thread): n characters of one read; a
  // request frame (caller's), or null. The state stays across calls.
  mb_frame *rx_ascii_fsm(const uint8_t *bytes, int n);

 private:
  uint32_t rx_wait(uint32_t now) override;
  mb_frame *rx_feed(const uint8_t *bytes, int n, uint32_t) override { return rx_ascii_fsm(bytes, n); }
  void rx_reset() override { ascii_framer_reset(&framer_); }
  const uint8_t *convert_answer(mb_frame *frame, uint32_t *len) override;

  ascii_framer framer_;  // receive thread only
};

// The port of a NorthPort element of type "ascii", or null when the element
// has no "Table" child.
std::unique_ptr<north_port_ascii> north_port_ascii_create(tw_conf_node *element, mux *m);
