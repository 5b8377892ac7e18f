// The routing hub: south ports, north ports and routing tables by id.
//
// Written only on the main thread while the configuration is loaded, before
// any port starts; afterwards only read, from many threads, without a lock.
#pragma once

#include <array>
#include <cstdint>
#include <memory>

#include "frame/mb_frame.h"
#include "platform/plat_list.h"
#include "route/port.h"
#include "route/table.h"

struct northport_table;

struct mux_northport {
  north_port *port = nullptr;
  void *reserved = nullptr;
  mux_on_send on_send = nullptr;
};

struct mux_southport {
  south_port *port = nullptr;
  uint32_t port_kind = 0;  // 1 Modbus, 2 transparent
  std::unique_ptr<plat_list<mux_northport>> northports;  // capacity 256
  uint32_t id = 0;
  std::array<uint8_t, 257> registered{};
};

struct mux {
  std::array<std::unique_ptr<mux_southport>, 257> southport_list;  // 0-255 made, 256 null
  std::array<std::unique_ptr<mux_northport>, 257> northport_list;  // 0-255 made, 256 null
  std::array<table *, 257> table_list{};
};

mux *mux_create();
// Ids outside 0-255 (ports) or 0-256 (tables) are refused with a level-3
// line and return -1.
int mux_register_southport(mux *m, int id, south_port *port, uint32_t kind);
int mux_register_northport(mux *m, int id, north_port *port, mux_on_send on_send);
int mux_register_table(mux *m, int id, table *t);
table *mux_get_table(mux *m, int id);
int mux_register_transparent_northport_to_southport(mux *m, int north_port_id, northport_table *npt);
south_port *pick_south_port(mux *m, table *t, uint8_t req_id, uint8_t *out_phy_id);
int mux_push_request(mux *m, table *t, mb_frame *frame);
int mux_send_to_northport(mux *m, uint32_t south_port_id, mb_frame *frame);
