// The south ASCII serial port: the gateway as Modbus ASCII master on a
// serial line. Built like the south RTU port (one request at a time, cache,
// time-out from the last data received, answers matched to their request by
// unit id and function code); requests go out as ':' hex text, LRC, CR LF,
// and answers are cut by their ':' and CR or LF and checked by their LRC.
// The receive machine starts idle before every request and after every
// exchange, so nothing of one exchange is taken for the next.
#pragma once

#include <cstdint>
#include <memory>

#include "frame/ascii_framer.h"
#include "platform/tw_conf.h"
#include "south/south_port_serial.h"

struct south_port_ascii_settings : south_serial_settings {
  south_port_ascii_settings() { type = "ascii"; }
};

class south_port_ascii final : public south_port_serial {
 public:
  explicit south_port_ascii(const south_port_ascii_settings &settings);
  ~south_port_ascii() override;

  // The receive routine (send thread): n characters of one read; an answer
  // frame (caller's), or null. The state stays across calls.
  mb_frame *rx_ascii_fsm(const uint8_t *bytes, int n);
  int rx_state() const { return framer_.state; }

 private:
  const uint8_t *convert_request(mb_frame *req, uint32_t *len) override;
  void rx_reset() override;
  mb_frame *rx_feed(const uint8_t *bytes, int n) override { return rx_ascii_fsm(bytes, n); }

  ascii_framer framer_;  // send thread only
};

// Creates the port from its SouthPort element. The line is not opened here.
std::unique_ptr<south_port_ascii> south_port_ascii_create(tw_conf_node *element);
