#include "route/table.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "platform/plat_log.h"
#include "platform/tw_conf.h"

namespace {

constexpr int kMaxUnitId = 255;

// "A-B" with 1 <= A <= B <= 255, digits only.
bool parse_range(const char *text, int *first, int *last) {
  const char *dash = std::strchr(text, '-');
  const std::string a(text, dash);
  const std::string b(dash + 1);
  auto number = [](const std::string &s, int *out) {
    if (s.empty() || s.size() > 3) return false;
    int v = 0;
    for (char c : s) {
      if (c < '0' || c > '9') return false;
      v = v * 10 + (c - '0');
    }
    *out = v;
    return true;
  };
  return number(a, first) && number(b, last) && *first >= 1 && *first <= *last && *last <= kMaxUnitId;
}

// The phy id of an item whose req id is a number (or a range): "*" keeps
// the req id, so the item carries the req id itself and the mux sends it
// unchanged; a number keeps its low 8 bits (0 is a broadcast).
uint32_t numeric_item_phy(tw_conf_node *element, uint32_t req_id) {
  const char *phy_text = tw_conf_node_attr_get_string(element, "node_id_phy", nullptr);
  if (phy_text && std::strcmp(phy_text, "*") == 0) return req_id;
  return static_cast<uint32_t>(tw_conf_node_attr_get_int(element, "node_id_phy", 1)) & 0xFFU;
}

// False, with a level-4 line, when an item's id attribute `name` is present
// (`text`) and neither a number (`is_number`) nor, where `star_ok`, "*":
// such an item is not made, rather than routing with a default id nobody
// wrote.
bool id_attribute_ok(const char *name, const char *text, bool is_number, bool star_ok) {
  if (!text || is_number || (star_ok && std::strcmp(text, "*") == 0)) return true;
  PLAT_LOG(4, "Item %s \"%s\" is not a number; item ignored\n", name, text);
  return false;
}

std::unique_ptr<item> new_item(uint32_t south_port) {
  auto it = std::make_unique<item>();
  it->reserved = 0;
  it->south_port = south_port;
  return it;
}

}  // namespace

bool table_id_valid(int id) {
  if (id >= 0 && id <= 256) return true;
  PLAT_LOG(3, "Table id %d is outside 0-256; table ignored\n", id);
  return false;
}

std::vector<std::unique_ptr<item>> item_cerate(tw_conf_node *element) {
  std::vector<std::unique_ptr<item>> made;
  int number = 0;
  if (!id_attribute_ok("south_port", tw_conf_node_attr_get_string(element, "south_port", nullptr),
                       tw_conf_node_attr_read_int(element, "south_port", 0, &number), false) ||
      !id_attribute_ok("node_id_phy", tw_conf_node_attr_get_string(element, "node_id_phy", nullptr),
                       tw_conf_node_attr_read_int(element, "node_id_phy", 0, &number), true))
    return made;
  const char *req_text = tw_conf_node_attr_get_string(element, "node_id_req", "*");
  // A range is checked by its own parser below.
  if (!std::strchr(req_text, '-') &&
      !id_attribute_ok("node_id_req", req_text, tw_conf_node_attr_read_int(element, "node_id_req", 0, &number), true))
    return made;
  const int south_port = tw_conf_node_attr_get_int(element, "south_port", 255);
  if (south_port < 0 || south_port > 255)
    PLAT_LOG(4, "Item south_port %d is not a port id (0-255); requests routed by it will fail\n", south_port);

  if (std::strcmp(req_text, "*") == 0) {
    auto it = new_item(static_cast<uint32_t>(south_port));
    it->node_id_req = 0;
    PLAT_LOG(7, "*node id is %s.  \n", req_text);
    const char *phy_text = tw_conf_node_attr_get_string(element, "node_id_phy", "*");
    if (std::strcmp(phy_text, "*") == 0) {
      it->node_id_phy = 0;
      PLAT_LOG(7, "* phy node id is %s.  \n", phy_text);
    } else {
      it->node_id_phy = static_cast<uint32_t>(tw_conf_node_attr_get_int(element, "node_id_phy", 1)) & 0xFFU;
      PLAT_LOG(7, "num phy node id is %02x.   num node id is %02X\n", it->node_id_phy, it->node_id_req);
    }
    made.push_back(std::move(it));
    return made;
  }

  if (!std::strchr(req_text, '-')) {
    const int req = tw_conf_node_attr_get_int(element, "node_id_req", 1);
    if (req < 0 || req > kMaxUnitId) {
      PLAT_LOG(4, "Item node_id_req %d is outside 1-255; item ignored\n", req);
      return made;
    }
    auto it = new_item(static_cast<uint32_t>(south_port));
    it->node_id_req = static_cast<uint32_t>(req);  // 0 counts as "*"
    it->node_id_phy = numeric_item_phy(element, it->node_id_req);
    PLAT_LOG(7, " num node id is %02x\n", it->node_id_req);
    made.push_back(std::move(it));
    return made;
  }

  int first = 0;
  int last = 0;
  if (!parse_range(req_text, &first, &last)) {
    PLAT_LOG(4, "Item node_id_req \"%s\" is not a range A-B with 1 <= A <= B <= 255; item ignored\n", req_text);
    return made;
  }
  PLAT_LOG(7, "range node id is %02x-%02x\n", first, last);
  for (int id = first; id <= last; ++id) {
    auto it = new_item(static_cast<uint32_t>(south_port));
    it->node_id_req = static_cast<uint32_t>(id);
    it->node_id_phy = numeric_item_phy(element, it->node_id_req);
    made.push_back(std::move(it));
  }
  return made;
}

table *table_cerate(tw_conf_node *element, int *out_id) {
  auto *t = new table();
  const int id = tw_conf_node_attr_get_int(element, "id", 255);
  if (out_id) *out_id = id;

  tw_conf_node *items = tw_conf_node_child_query(element, "Item", nullptr);
  if (!items) {
    PLAT_LOG(4, "no item config under table ");
    PLAT_LOG(4, "Table id %d has no Item element: no request routed through it reaches a south port", id);
  } else {
    // Source line of the item in each slot (0 for "*"): a later item for the
    // same unit id replaces the earlier one, which then never matches.
    std::array<int, 257> slot_line{};
    uint32_t iterator = 0;
    while (tw_conf_node *e = tw_conf_node_child_query(items, nullptr, &iterator)) {
      const int line = tw_conf_node_line(e);
      plat_log_source_line at(line);
      std::vector<int> replaced;  // lines of the items this element replaces
      for (auto &made : item_cerate(e)) {
        item *it = made.get();
        int &slot = slot_line[it->node_id_req];
        if (slot != 0 && std::find(replaced.begin(), replaced.end(), slot) == replaced.end()) replaced.push_back(slot);
        slot = line;
        if (it->node_id_req != 0) {
          PLAT_LOG(7, "node id is num");
          t->items[it->node_id_req] = it;  // a later item for the same req id replaces it
        } else {
          PLAT_LOG(7, "node id is *");
          t->item_any = it;
          PLAT_LOG(7, "item any addr is %p , table addr is %p", static_cast<void *>(it), static_cast<void *>(t));
        }
        PLAT_LOG(7, "node id is %02x. item list addr is %p. item addr is %p\n", it->node_id_req,
                 static_cast<void *>(t), static_cast<void *>(it));
        t->owned.push_back(std::move(made));
      }
      for (int earlier : replaced) {
        PLAT_LOG(4, "Item node_id_req=\"%s\" replaces the item at line %d for the same unit id(s): that one never "
                 "matches", tw_conf_node_attr_get_string(e, "node_id_req", "*"), earlier);
      }
    }
  }
  PLAT_LOG(5, "table create done.\n");
  return t;
}
