// Routing tables: for each unit id a master addresses (req id), the south
// port that serves it and the unit id sent on the south side (phy id).
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

struct tw_conf_node;

struct item {
  uint32_t node_id_req = 0;  // 0 stands for "*"
  uint32_t node_id_phy = 0;  // 0 stands for "*" (keep the req id)
  uint32_t reserved = 0;
  uint32_t south_port = 255;
};

struct table {
  std::array<item *, 257> items{};  // indexed by req id; slot 0 never filled
  item *item_any = nullptr;
  std::vector<std::unique_ptr<item>> owned;  // every item created for this table
};

// Never null. Writes the "id" attribute (default 255) to *out_id.
table *table_cerate(tw_conf_node *element, int *out_id);
// Table ids index the mux's 257 table slots: 0 to 256. Returns true for an
// id in range; otherwise logs a level-3 line naming the "Table" element and
// the id and returns false. table_cerate() does not check the id (it only
// hands it back); the configuration loader calls this before registering
// the table and deletes the table when it fails (mux_register_table()
// refuses such ids as well).
bool table_id_valid(int id);
// Items of one "Item" element: one for a plain or "*" req id, one per id of
// an "A-B" range, none for a rejected value (level-4 line).
std::vector<std::unique_ptr<item>> item_cerate(tw_conf_node *element);
