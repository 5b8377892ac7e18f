// The south RTU serial port: the gateway as Modbus RTU master on a serial
// line. One request at a time: answered from the cache when possible,
// otherwise written to the line in RTU form and answered by the first
// CRC-valid frame from the request's unit with its function code that the
// device sends back before the time-out (which counts from the last data
// received). Answers are cut by the frame gap's silence.
#pragma once

#include <cstdint>
#include <memory>

#include "frame/rtu_framer.h"
#include "platform/tw_conf.h"
#include "south/south_port_serial.h"

struct south_port_rtu_settings : south_serial_settings {
  south_port_rtu_settings() { type = "rtu"; }
  rtu_frame_end frame_end = rtu_frame_end::silence;  // how an answer ends
};

class south_port_rtu final : public south_port_serial {
 public:
  explicit south_port_rtu(const south_port_rtu_settings &settings);
  ~south_port_rtu() override;

  // The receive routine (send thread): n bytes of one read at tick `now`;
  // an answer frame (caller's), or null.
  mb_frame *rx_fsm(const uint8_t *bytes, int n, uint32_t now);

  uint32_t frame_gap() const { return frame_gap_; }

 private:
  const uint8_t *convert_request(mb_frame *req, uint32_t *len) override;
  void rx_reset() override;
  mb_frame *rx_feed(const uint8_t *bytes, int n) override;

  const uint32_t frame_gap_;
  rtu_framer framer_;  // send thread only
};

// Creates the port from its SouthPort element (attributes with their
// defaults, then checked as above). The line is not opened here.
std::unique_ptr<south_port_rtu> south_port_rtu_create(tw_conf_node *element);
