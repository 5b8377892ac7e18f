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
// Items of one "Item" element: one for a plain or "*" req id, one per id of
// an "A-B" range, none for a rejected value (level-4 line).
std::vector<std::unique_ptr<item>> item_cerate(tw_conf_node *element);
