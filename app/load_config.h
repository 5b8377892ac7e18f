// Loading the configuration file: every south port, every routing table and
// every north port, in that order, registered with the mux.
//
// Runs on the main thread before any port starts; not thread-safe.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/plat_list.h"
#include "route/port.h"
#include "route/table.h"

struct mux;
struct tw_conf_node;

constexpr size_t SERVER_PORT_LIST_CAPACITY = 128;

// What start-up runs with. The lists hold the created ports in file order
// (at most 128 each) and do not own them; the owned_* members own every port
// and table made from the file, including a south port that was registered
// with the mux but found its list full. The mux and the ports' threads refer
// to all of them, so a server lives as long as the mux it was loaded into.
struct server {
  uint32_t serial_num = 0;  // serial-line ports whose type was recognised
  std::unique_ptr<plat_list<south_port>> south_ports;
  std::unique_ptr<plat_list<north_port>> north_ports;

  // Declared so that destruction runs north ports, then south ports, then
  // tables: a north port refers to tables and, through the mux, south ports.
  std::vector<std::unique_ptr<table>> owned_tables;
  std::vector<std::unique_ptr<south_port>> owned_south_ports;
  std::vector<std::unique_ptr<north_port>> owned_north_ports;
};

// Kind handed back by the port dispatch (and registered with the mux).
constexpr uint32_t PORT_KIND_MODBUS = 1;
constexpr uint32_t PORT_KIND_TRANSPARENT = 2;

// Reads the file at `path` and builds everything into `m`. Null when the
// file cannot be read or parsed, has no server element, or the server is
// disabled; a server without ports when it has no "SouthPort".
std::unique_ptr<server> load_config(const char *path, mux *m);

// The same over a document that is already open (load_config opens and
// closes it around this call). The caller closes the document.
std::unique_ptr<server> load_config_document(tw_conf_node *document, mux *m);

// One "SouthPort" element: the port, or null (unknown or missing "type",
// id out of range, create failure).
// *out_id receives "id" (default 255) and *out_kind the kind of a
// recognised type. A recognised serial type counts in srv->serial_num.
std::unique_ptr<south_port> south_port_create(server *srv, tw_conf_node *element, int *out_id,
                                              uint32_t *out_kind, mux *m);

// One "NorthPort" element; the port registers itself with the mux inside
// its create function.
std::unique_ptr<north_port> north_port_create(server *srv, tw_conf_node *element, int *out_id, mux *m,
                                              uint32_t *out_kind);
