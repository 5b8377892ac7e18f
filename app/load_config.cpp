#include "app/load_config.h"

#include <array>
#include <cstring>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "north/north_port_ascii.h"
#include "north/north_port_rtu.h"
#include "north/north_port_tcp.h"
#include "north/north_port_udp.h"
#include "platform/plat_log.h"
#include "platform/tw_conf.h"
#include "route/mux.h"
#include "route/table.h"
#include "south/south_port_ascii.h"
#include "south/south_port_rtu.h"
#include "south/south_port_tcp.h"
#include "south/south_port_udp.h"
#include "transparent/north_port_serial_transparent.h"
#include "transparent/north_port_tcp_transparent.h"
#include "transparent/north_port_udp_transparent.h"
#include "transparent/south_port_serial_transparent.h"
#include "transparent/south_port_tcp_transparent.h"
#include "transparent/south_port_udp_transparent.h"

namespace {

using south_create_fn = std::unique_ptr<south_port> (*)(tw_conf_node *element, mux *m);
using north_create_fn = std::unique_ptr<north_port> (*)(tw_conf_node *element, mux *m);

// Port create functions take the element, or the element and the mux, and
// hand back a raw record or a unique_ptr to their own type. These adapters
// turn any of those shapes into the dispatch table's one signature, so a
// port type becomes available by naming its create function in its row.
template <auto Create>
auto call_create(tw_conf_node *element, mux *m) {
  if constexpr (std::is_invocable_v<decltype(Create), tw_conf_node *, mux *>) {
    return Create(element, m);
  } else {
    (void)m;
    return Create(element);
  }
}

template <class Base, class Result>
std::unique_ptr<Base> adopt(Result result) {
  if constexpr (std::is_pointer_v<Result>) {
    return std::unique_ptr<Base>(result);
  } else {
    return std::unique_ptr<Base>(std::move(result));
  }
}

template <auto Create>
std::unique_ptr<south_port> south_create(tw_conf_node *element, mux *m) {
  return adopt<south_port>(call_create<Create>(element, m));
}

template <auto Create>
std::unique_ptr<north_port> north_create(tw_conf_node *element, mux *m) {
  return adopt<north_port>(call_create<Create>(element, m));
}

// The port dispatch: one row per "type" value, with the create function of
// each side (`south_create<south_port_xxx_create>` /
// `north_create<north_port_xxx_create>`) and whether the type holds a serial
// line (counted in server::serial_num).
struct port_type_row {
  const char *type;
  uint32_t kind;
  bool serial_line;  // counts in server::serial_num
  const char *south_message;
  south_create_fn south;
  const char *north_message;
  north_create_fn north;
};

constexpr port_type_row port_types[] = {
    {"tcp", PORT_KIND_MODBUS, false,  //
     "create south_port_tcp done. addr is %p\n", south_create<south_port_tcp_create>,  //
     "create north port tcp.\n", north_create<north_port_tcp_create>},
    {"udp", PORT_KIND_MODBUS, false,  //
     "create south_port_udp done. addr is %p\n", south_create<south_udp::south_port_udp_create>,  //
     "create north port udp.\n", north_create<north_udp::north_port_udp_create>},
    {"rtu", PORT_KIND_MODBUS, true,  //
     "create south_port_rtu done. addr is %p\n", south_create<south_port_rtu_create>,  //
     "create north port rtu.\n", north_create<north_port_rtu_create>},
    {"ascii", PORT_KIND_MODBUS, true,  //
     "create south_port_ascii done. addr is %p\n", south_create<south_port_ascii_create>,  //
     "create north port rtu.\n", north_create<north_port_ascii_create>},
    {"serial_transparent_transmission", PORT_KIND_TRANSPARENT, true,  //
     "create south_port_serial done. addr is %p\n", south_create<south_port_serial_transparent_create>,
     "create north_port_serial done. addr is %p\n", north_create<north_port_serial_transparent_create>},
    {"tcp_transparent_transmission", PORT_KIND_TRANSPARENT, false,  //
     "create south_port_tcp done. addr is %p\n", south_create<south_port_tcp_transparent_create>,  //
     "create north_port_tcp done. addr is %p\n", north_create<north_port_tcp_transparent_create>},
    {"udp_transparent_transmission", PORT_KIND_TRANSPARENT, false,  //
     "create south_port_udp done. addr is %p\n", south_create<south_port_udp_transparent_create>,  //
     "create north_port_udp done. addr is %p\n", north_create<north_port_udp_transparent_create>},
};

// "tcp, udp, ..." for the line about an unknown type.
std::string port_type_names() {
  std::string names;
  for (const port_type_row &row : port_types) {
    if (!names.empty()) names += ", ";
    names += row.type;
  }
  return names;
}

const port_type_row *find_port_type(const std::string &type) {
  for (const port_type_row &row : port_types) {
    if (type == row.type) return &row;
  }
  return nullptr;
}

constexpr int PORT_ID_MAX = 255;
constexpr int TABLE_ID_MAX = 256;

// What one load has seen so far, for the problems no single create
// function can see: ids used twice, names of ports and tables that do not
// exist, ports and tables nothing refers to. Lines are source lines of the
// elements (0: not seen).
struct load_report {
  std::array<int, PORT_ID_MAX + 1> south_line{};
  std::array<int, PORT_ID_MAX + 1> north_line{};
  std::array<int, TABLE_ID_MAX + 1> table_line{};
  std::array<bool, PORT_ID_MAX + 1> south_named{};   // by an Item of a registered table
  std::array<bool, TABLE_ID_MAX + 1> table_named{};  // by a NorthPort rule
};

// The elements of an array child (`name`) of `element`, in file order.
std::vector<tw_conf_node *> children_of(tw_conf_node *element, const char *name) {
  std::vector<tw_conf_node *> out;
  tw_conf_node *array = tw_conf_node_child_query(element, name, nullptr);
  uint32_t it = 0;
  while (tw_conf_node *child = array ? tw_conf_node_child_query(array, nullptr, &it) : nullptr) out.push_back(child);
  return out;
}

// Closes the document however loading ends.
class conf_document final {
 public:
  explicit conf_document(tw_conf_node *doc) : doc_(doc) {}
  ~conf_document() {
    if (doc_) tw_conf_node_close(doc_);
  }
  conf_document(const conf_document &) = delete;
  conf_document &operator=(const conf_document &) = delete;
  tw_conf_node *get() const { return doc_; }

 private:
  tw_conf_node *doc_;
};

// The "tTrellisServer" element, or the "Server" child of the older
// "tTrellis" root; null (with a trace) when neither is there.
tw_conf_node *find_server_element(tw_conf_node *document) {
  tw_conf_node *server_element = tw_conf_node_child_query(document, "tTrellisServer", nullptr);
  if (server_element) return server_element;
  PLAT_LOG(5, "match old version\n");
  tw_conf_node *root = tw_conf_node_child_query(document, "tTrellis", nullptr);
  if (!root) {
    PLAT_LOG(7, "no \"%s\"", "tTrellis");
    PLAT_LOG(3, "no <tTrellisServer> element (nor <tTrellis> with <Server>): nothing is configured, no port is created");
    return nullptr;
  }
  server_element = tw_conf_node_child_query(root, "Server", nullptr);
  if (!server_element) {
    PLAT_LOG(7, "no \"%s\"", "Server");
    plat_log_source_line at(tw_conf_node_line(root));
    PLAT_LOG(3, "<tTrellis> has no <Server> element: nothing is configured, no port is created");
  }
  return server_element;
}

void load_south_ports(server *srv, tw_conf_node *array, mux *m, load_report *report) {
  uint32_t it = 0;
  while (tw_conf_node *element = tw_conf_node_child_query(array, nullptr, &it)) {
    const int line = tw_conf_node_line(element);
    plat_log_source_line at(line);
    int id = 255;
    uint32_t kind = 0;
    std::unique_ptr<south_port> port = south_port_create(srv, element, &id, &kind, m);
    if (!port) continue;
    if (int &first = report->south_line[static_cast<size_t>(id)]; first != 0) {
      PLAT_LOG(4, "SouthPort id %d is already used at line %d: requests for id %d go to this port, the earlier one "
               "still runs but gets none", id, first, id);
    }
    report->south_line[static_cast<size_t>(id)] = line;
    south_port *p = port.get();
    srv->owned_south_ports.push_back(std::move(port));
    mux_register_southport(m, id, p, kind);
    if (!plat_list_push_back(srv->south_ports.get(), p)) {
      PLAT_LOG(4, "south port list is full (%zu ports): south port %d is registered but will not be started",
               srv->south_ports->capacity(), id);
      continue;
    }
    PLAT_LOG(7, "add south port to list done.\n");
  }
}

// A "TableList" element without "Table" stops table reading there; north
// ports are still read.
// Items that name a south port no SouthPort created are reported (their
// requests are dropped); the ones that do are marked as named.
void check_item_south_ports(tw_conf_node *table_element, mux *m, load_report *report) {
  for (tw_conf_node *item_element : children_of(table_element, "Item")) {
    int south = 255;  // as the item reads it: absent or not a number is 255
    tw_conf_node_attr_to_int(item_element, "south_port", &south);
    if (south < 0 || south > PORT_ID_MAX) continue;  // reported when the item was made
    if (m->southport_list[static_cast<size_t>(south)]->port) {
      report->south_named[static_cast<size_t>(south)] = true;
      continue;
    }
    plat_log_source_line at(tw_conf_node_line(item_element));
    PLAT_LOG(4, "Item south_port %d names no SouthPort: requests routed by this item are dropped", south);
  }
}

void load_tables(server *srv, tw_conf_node *table_lists, mux *m, load_report *report) {
  uint32_t list_it = 0;
  while (tw_conf_node *table_list = tw_conf_node_child_query(table_lists, nullptr, &list_it)) {
    tw_conf_node *tables = tw_conf_node_child_query(table_list, "Table", nullptr);
    if (!tables) {
      PLAT_LOG(7, "no \"%s\"", "Table");
      plat_log_source_line at(tw_conf_node_line(table_list));
      PLAT_LOG(4, "TableList has no Table element: it and any later TableList are not read");
      return;
    }
    uint32_t it = 0;
    while (tw_conf_node *element = tw_conf_node_child_query(tables, nullptr, &it)) {
      const int line = tw_conf_node_line(element);
      plat_log_source_line at(line);
      // Checked before anything is built, so a rejected table leaves no
      // trace (not even its items' messages).
      int checked_id = 255;
      if (!tw_conf_node_attr_read_int(element, "id", 255, &checked_id)) {
        PLAT_LOG(4, "Table id \"%s\" is not a number; table ignored\n", tw_conf_node_attr_get_string(element, "id", ""));
        continue;
      }
      if (!table_id_valid(checked_id)) continue;
      int id = 255;
      std::unique_ptr<table> t(table_cerate(element, &id));
      PLAT_LOG(7, " table id is = %d, table addr is %p", id, static_cast<void *>(t.get()));
      if (!t) continue;
      if (int &first = report->table_line[static_cast<size_t>(id)]; first != 0) {
        PLAT_LOG(4, "Table id %d is already used at line %d: this table replaces it", id, first);
      }
      report->table_line[static_cast<size_t>(id)] = line;
      check_item_south_ports(element, m, report);
      table *raw = t.get();
      srv->owned_tables.push_back(std::move(t));
      mux_register_table(m, id, raw);
    }
  }
}

// A north port's rules name their routing tables by id; a port none of
// whose rules names an existing table admits nobody.
void check_north_port_tables(tw_conf_node *element, int id, bool created, mux *m, load_report *report) {
  const std::vector<tw_conf_node *> rules = children_of(element, "Table");
  bool any_table = false;
  for (tw_conf_node *rule : rules) {
    int table_id = 255;  // as the rule reads it
    tw_conf_node_attr_to_int(rule, "id", &table_id);
    if (table_id < 0 || table_id > TABLE_ID_MAX) continue;
    report->table_named[static_cast<size_t>(table_id)] = true;
    if (m->table_list[static_cast<size_t>(table_id)]) any_table = true;
  }
  if (rules.empty()) {
    PLAT_LOG(4, "NorthPort id %d has no Table rule: %s", id, created ? "it admits no master" : "port not created");
  } else if (!any_table) {
    PLAT_LOG(4, "NorthPort id %d: none of its Table rules names an existing table: %s", id,
             created ? "it admits no master" : "port not created");
  }
}

void load_north_ports(server *srv, tw_conf_node *array, mux *m, load_report *report) {
  uint32_t it = 0;
  while (tw_conf_node *element = tw_conf_node_child_query(array, nullptr, &it)) {
    const int line = tw_conf_node_line(element);
    plat_log_source_line at(line);
    PLAT_LOG(7, "start to creat north port.\n");
    int id = 255;
    uint32_t kind = 0;
    std::unique_ptr<north_port> port = north_port_create(srv, element, &id, m, &kind);
    // Only elements of a known type with a usable id are looked at further.
    if (kind != 0 && id >= 0 && id <= PORT_ID_MAX) {
      check_north_port_tables(element, id, port != nullptr, m, report);
      if (int &first = report->north_line[static_cast<size_t>(id)]; port && first != 0) {
        PLAT_LOG(4, "NorthPort id %d is already used at line %d: both ports run, the id now names this one", id,
                 first);
      }
      if (port) report->north_line[static_cast<size_t>(id)] = line;
    }
    if (!port) continue;
    north_port *p = port.get();
    // Kept even when the list is full: the port registered itself with the
    // mux inside its create function.
    srv->owned_north_ports.push_back(std::move(port));
    if (!plat_list_push_back(srv->north_ports.get(), p)) {
      PLAT_LOG(4, "north port list is full (%zu ports): north port %d will not be started",
               srv->north_ports->capacity(), id);
      continue;
    }
    PLAT_LOG(7, "add north port to list done.\n");
  }
}

// Reads "id" for a port whose type was recognised; false (with a level-3
// line naming the element) when it cannot be a mux index.
bool read_port_id(tw_conf_node *element, const char *element_name, int *out_id) {
  int id = 255;
  if (!tw_conf_node_attr_read_int(element, "id", 255, &id)) {
    PLAT_LOG(4, "%s id \"%s\" is not a number; port not created\n", element_name,
             tw_conf_node_attr_get_string(element, "id", ""));
    return false;
  }
  *out_id = id;
  if (id < 0 || id > PORT_ID_MAX) {
    PLAT_LOG(3, "%s id %d is outside 0-%d; port not created\n", element_name, id, PORT_ID_MAX);
    return false;
  }
  return true;
}

// Every way through the file but a disabled server ends here.
std::unique_ptr<server> finish(std::unique_ptr<server> srv) {
  PLAT_LOG(5, "config file has been paresed.\n");
  return srv;
}

}  // namespace

namespace {

// What differs between creating a south port and a north port.
template <class Port>
struct port_side {
  const char *element_name;  // names the element in the id check's line
  bool log_missing_type;     // only a south port without "type" is reported
  std::unique_ptr<Port> (*port_type_row::*create)(tw_conf_node *element, mux *m);
  const char *port_type_row::*message;  // the row's "create ... done" line
};

const port_side<south_port> south_side{"SouthPort", true, &port_type_row::south,
                                       &port_type_row::south_message};
const port_side<north_port> north_side{"NorthPort", false, &port_type_row::north,
                                       &port_type_row::north_message};

template <class Port>
std::unique_ptr<Port> create_port(const port_side<Port> &side, server *srv, tw_conf_node *element, int *out_id,
                                  uint32_t *out_kind, mux *m) {
  RVON(srv, nullptr);
  RVON(element, nullptr);
  const char *type_text = tw_conf_node_attr_get_string(element, "type", nullptr);
  if (!type_text) {
    if (side.log_missing_type) PLAT_LOG(3, "Not Found Type.\n");
    PLAT_LOG(4, "%s has no type attribute: no port is created", side.element_name);
    return nullptr;
  }
  const std::string type(type_text);
  const port_type_row *row = find_port_type(type);
  if (!row) {
    PLAT_LOG(3, "Not Found Right Type.\n");
    PLAT_LOG(4, "%s type \"%s\" is not a port type (%s): no port is created", side.element_name, type.c_str(),
             port_type_names().c_str());
    *out_id = tw_conf_node_attr_get_int(element, "id", 255);
    return nullptr;
  }
  *out_kind = row->kind;
  if (row->serial_line) srv->serial_num++;
  // The id is checked before anything is built, so a rejected element
  // leaves no port behind (not even one holding a serial line or socket).
  if (!read_port_id(element, side.element_name, out_id)) return nullptr;
  std::unique_ptr<Port> port = (row->*side.create)(element, m);
  PLAT_LOG(7, row->*side.message, static_cast<void *>(port.get()));
  if (port) port->identity = {type, *out_id};  // what the statistics call it
  return port;
}

}  // namespace

std::unique_ptr<south_port> south_port_create(server *srv, tw_conf_node *element, int *out_id,
                                              uint32_t *out_kind, mux *m) {
  return create_port(south_side, srv, element, out_id, out_kind, m);
}

std::unique_ptr<north_port> north_port_create(server *srv, tw_conf_node *element, int *out_id, mux *m,
                                              uint32_t *out_kind) {
  return create_port(north_side, srv, element, out_id, out_kind, m);
}

std::unique_ptr<server> load_config_document(tw_conf_node *document, mux *m) {
  RVON(document, nullptr);
  RVON(m, nullptr);
  tw_conf_node *server_element = find_server_element(document);
  if (!server_element) return finish(nullptr);
  plat_log_source_line at(tw_conf_node_line(server_element));

  tw_conf_node *south = tw_conf_node_child_query(server_element, "SouthPort", nullptr);
  tw_conf_node *table_lists = tw_conf_node_child_query(server_element, "TableList", nullptr);
  tw_conf_node *north = tw_conf_node_child_query(server_element, "NorthPort", nullptr);

  const char *enable = tw_conf_node_attr_get_string(server_element, "enable", "false");
  if (std::strcmp(enable, "false") == 0) {
    PLAT_LOG(5, "NOT ENABLE SERVER");
    // A disabled server without ports is a deliberate empty configuration;
    // with ports it is usually a forgotten enable="true".
    if (south || north) {
      PLAT_LOG(4, "the server is not enabled (enable is \"false\" or absent): no port is created; "
               "enable=\"true\" runs them");
    }
    return nullptr;
  }

  auto srv = std::make_unique<server>();
  srv->north_ports = plat_list_create<north_port>(SERVER_PORT_LIST_CAPACITY);
  srv->south_ports = plat_list_create<south_port>(SERVER_PORT_LIST_CAPACITY);
  load_report report;

  // South ports first (tables name them), then tables, then north ports:
  // north ports look their tables up in the mux and transparent north ports
  // attach to south ports that are already registered.
  if (!south) {
    PLAT_LOG(7, "no \"%s\"", "SouthPort");
    if (table_lists || north) PLAT_LOG(4, "no SouthPort element: TableList and NorthPort elements are not read");
    return finish(std::move(srv));
  }
  load_south_ports(srv.get(), south, m, &report);

  if (!table_lists) {
    PLAT_LOG(7, "no \"%s\"", "TableList");
    PLAT_LOG(4, "no TableList element: %s", north ? "NorthPort elements are not read" : "no request can be routed");
    return finish(std::move(srv));
  }
  load_tables(srv.get(), table_lists, m, &report);

  if (!north) {
    PLAT_LOG(7, "no \"%s\"", "NorthPort");
    PLAT_LOG(4, "no NorthPort element: no master can reach the gateway");
    return finish(std::move(srv));
  }
  load_north_ports(srv.get(), north, m, &report);

  // What nothing refers to never carries a request.
  for (size_t id = 0; id < report.table_line.size(); ++id) {
    if (report.table_line[id] == 0 || report.table_named[id]) continue;
    plat_log_source_line table_at(report.table_line[id]);
    PLAT_LOG(4, "Table id %zu is not named by any NorthPort rule: its items never match", id);
  }
  for (size_t id = 0; id < report.south_line.size(); ++id) {
    if (report.south_line[id] == 0 || report.south_named[id]) continue;
    plat_log_source_line port_at(report.south_line[id]);
    PLAT_LOG(4, "SouthPort id %zu is not named by any table Item: no request reaches it", id);
  }
  return finish(std::move(srv));
}

std::unique_ptr<server> load_config(const char *path, mux *m) {
  RVON(path, nullptr);
  PLAT_LOG(5, "config_file = %s", path);
  conf_document document(tw_conf_open_xml_file(path, TW_CONF_ARRAY_NAMES));
  if (!document.get()) {
    PLAT_LOG(7, "fail to parse %s", path);
    return nullptr;
  }
  return load_config_document(document.get(), m);
}
