#include "route/mux.h"

#include "platform/plat_log.h"
#include "route/northport_table.h"

namespace {

constexpr int kPortSlots = 256;   // port ids 0-255
constexpr int kTableSlots = 257;  // table ids 0-256
constexpr size_t kNorthportsPerSouthport = 256;

bool port_id_ok(const char *what, int id) {
  if (id >= 0 && id < kPortSlots) return true;
  PLAT_LOG(3, "%s id %d is outside 0-255; not registered\n", what, id);
  return false;
}

bool table_id_ok(int id) {
  if (id >= 0 && id < kTableSlots) return true;
  PLAT_LOG(3, "Table id %d is outside 0-256\n", id);
  return false;
}

}  // namespace

mux *mux_create() {
  PLAT_LOG(5, "%s\n", "mux_create");
  auto *m = new mux();
  for (int id = 0; id < kPortSlots; ++id) {
    auto south = std::make_unique<mux_southport>();
    south->northports = plat_list_create<mux_northport>(kNorthportsPerSouthport);
    m->southport_list[id] = std::move(south);
    m->northport_list[id] = std::make_unique<mux_northport>();
  }
  PLAT_LOG(5, "mux has been created.\n");
  return m;
}

int mux_register_southport(mux *m, int id, south_port *port, uint32_t kind) {
  RVON(m, -1);
  if (!port_id_ok("SouthPort", id)) return -1;
  mux_southport *entry = m->southport_list[id].get();
  entry->port = port;
  entry->port_kind = kind;
  entry->id = static_cast<uint32_t>(id);
  PLAT_LOG(7, "register south port done.\n");
  return 0;
}

int mux_register_northport(mux *m, int id, north_port *port, mux_on_send on_send) {
  RVON(m, -1);
  if (!port_id_ok("NorthPort", id)) return -1;
  mux_northport *entry = m->northport_list[id].get();
  entry->port = port;
  entry->on_send = on_send;
  PLAT_LOG(5, "register north port done.\n");
  return 0;
}

int mux_register_table(mux *m, int id, table *t) {
  RVON(m, -1);
  if (!table_id_ok(id)) return -1;
  m->table_list[id] = t;
  PLAT_LOG(7, "register table done. id = %d  table addr = %p\n", id, static_cast<void *>(t));
  return 0;
}

table *mux_get_table(mux *m, int id) {
  RVON(m, nullptr);
  table *t = table_id_ok(id) ? m->table_list[id] : nullptr;
  if (!t) {
    PLAT_LOG(3, "fail register directory, unable to find table ");
    return nullptr;
  }
  PLAT_LOG(7, "get table from mux addr is %p", static_cast<void *>(t));
  return t;
}

int mux_register_transparent_northport_to_southport(mux *m, int north_port_id, northport_table *npt) {
  RVON(m, 1);
  RVON(npt, 1);
  RVON(npt->table, 1);
  // A transparent north port addresses exactly one south port: the one of
  // its routing table's "*" item.
  const item *any = npt->table->item_any;
  if (!any) {
    PLAT_LOG(4, "north port %d: its routing table has no \"*\" item; bound to no south port\n", north_port_id);
    return 1;
  }
  const int south_port_id = static_cast<int>(any->south_port);
  if (!port_id_ok("SouthPort", south_port_id)) return 1;
  if (north_port_id < 0 || north_port_id > kPortSlots) {
    PLAT_LOG(3, "NorthPort id %d is outside 0-255; not bound\n", north_port_id);
    return 1;
  }
  PLAT_LOG(7, "south port id = %d NORTH PORT ID = %d\n", south_port_id, north_port_id);
  mux_northport *north = m->northport_list[north_port_id].get();
  PLAT_LOG(7, "NORTH PORT MUX ADDR = %p\n", static_cast<void *>(north));
  if (!north) {
    PLAT_LOG(7, "RVON(mux->northport_list[ north_port_id ],1) failed");
    return 1;
  }
  mux_southport *south = m->southport_list[south_port_id].get();
  if (south->registered[north_port_id] != 1) {
    if (plat_list_push_back(south->northports.get(), north)) {
      south->registered[north_port_id] = 1;
      PLAT_LOG(5, "North port register to south mux done!\n");
    } else {
      PLAT_LOG(3, "%d\n", 150);
    }
  }
  return 0;
}

south_port *pick_south_port(mux *m, table *t, uint8_t req_id, uint8_t *out_phy_id) {
  RVON(m, nullptr);
  RVON(t, nullptr);
  RVON(out_phy_id, nullptr);
  const item *it = t->items[req_id % 256];
  if (it) {
    *out_phy_id = static_cast<uint8_t>(it->node_id_phy & 0xFFU);
  } else {
    PLAT_LOG(7, "table any addr is %p \n", static_cast<const void *>(t->item_any));
    it = t->item_any;
    if (!it) {
      PLAT_LOG(3, "fail to get item");
      return nullptr;
    }
    PLAT_LOG(7, "item phy addr is %p \n", static_cast<const void *>(it));
    if (it->node_id_phy == 0) {
      *out_phy_id = req_id;
      PLAT_LOG(7, "PHY ID IS %02x", *out_phy_id);
    } else {
      PLAT_LOG(7, "NOT *");
      *out_phy_id = static_cast<uint8_t>(it->node_id_phy & 0xFFU);
      PLAT_LOG(7, "PHY ID IS %02X", *out_phy_id);
    }
  }
  PLAT_LOG(7, "pick item done. south port id is %d  \n", static_cast<int>(it->south_port));
  south_port *port = it->south_port < static_cast<uint32_t>(kPortSlots) ? m->southport_list[it->south_port]->port
                                                                         : nullptr;
  if (!port) {
    PLAT_LOG(3, "fail to get south port ");
    return nullptr;
  }
  PLAT_LOG(7, "%s: pick south port success, south port id is %d, south port addr is %p.\n", "pick_south_port",
           static_cast<int>(it->south_port), static_cast<void *>(port));
  return port;
}

int mux_push_request(mux *m, table *t, mb_frame *frame) {
  RVON(frame, -1);
  PLAT_LOG(7, "start to pick right south port. table addr: %p frame addr: %p", static_cast<void *>(t),
           static_cast<void *>(frame));
  if (!t) {
    PLAT_LOG(3, "no routing table for the request to unit %d; dropped", frame->req_id);
    return -1;
  }
  uint8_t phy_id = 0;
  south_port *port = pick_south_port(m, t, frame->req_id, &phy_id);
  // Stamped even when no port was found: the frame is then a broadcast
  // until the next attempt stamps it again.
  mb_frame_set_phy_id(frame, phy_id);
  PLAT_LOG(7, "phy id is %02x\n", phy_id);
  if (!port) return -1;
  PLAT_LOG(7, "%s: going to send frame to south port send list, hex req_id = %02x, hex phy_id = %02x\n",
           "mux_push_request", frame->req_id, phy_id);
  return port->push_request(frame);
}

int mux_send_to_northport(mux *m, uint32_t south_port_id, mb_frame *frame) {
  RVON(m, -1);
  PLAT_LOG(6, "start to pick right north port.");
  if (south_port_id >= static_cast<uint32_t>(kPortSlots)) {
    PLAT_LOG(3, "SouthPort id %u is outside 0-255; nothing sent\n", south_port_id);
    return -1;
  }
  mux_southport *south = m->southport_list[south_port_id].get();
  for (mux_northport *north : south->northports->items_) {
    const int mode = south->port ? south->port->get_mode() : 0;
    if (north->on_send) north->on_send(north->port, frame, south->id, mode);
  }
  return 0;
}
