// The operations every port provides, called without knowing its type.
#pragma once

#include <cstdint>

#include <string>

#include "frame/mb_frame.h"
#include "platform/tagbus.h"
#include "route/port_stats.h"

// What every port shows of itself in the statistics: its counters and, set
// by the configuration loader, the type text and id it was created under.
struct port_identity {
  std::string type;
  int id = 255;
};

// A south port: the gateway as a Modbus master (or transparent relay) toward
// field devices.
class south_port : public tag_owner {
 public:
  ~south_port() override = default;
  // 0 accepted (the frame's reference passes to the port), 1 busy (a request
  // is already pending; the caller keeps the frame), -1 refused.
  virtual int push_request(mb_frame *frame) = 0;
  // Serial ports reopen or close their line; others do nothing.
  int change_state(tag *) override { return 0; }
  virtual int start(void *a, void *b) = 0;
  // Transparent south ports: their mode value.
  virtual int get_mode() { return 0; }

  port_stats stats;
  port_identity identity;
};

// A north port: the gateway as a Modbus slave (or transparent relay) toward
// upstream masters.
class north_port : public tag_owner {
 public:
  ~north_port() override = default;
  virtual int start() = 0;
  int change_state(tag *) override { return 0; }

  port_stats stats;
  port_identity identity;
};

// Transparent fan-out entry of a north port (registered with the mux):
// north port, frame, south port id, the south port's mode.
using mux_on_send = int (*)(north_port *port, mb_frame *frame, uint32_t south_port_id, int mode);
