#include "route/table.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "route_test_util.h"

namespace {

struct built {
  std::unique_ptr<table> t;
  int id = -1;
  std::string log;
};

built build(const std::string &items, const std::string &table_attrs = "") {
  conf_doc d("<Table " + table_attrs + ">" + items + "</Table>");
  built b;
  b.log = logged(7, [&] { b.t.reset(table_cerate(d.root("Table"), &b.id)); });
  return b;
}

TEST(Table, ItemFormsAndStarItems) {
  auto b = build(R"(<Item node_id_req="5" node_id_phy="17" south_port="2"/>
                    <Item node_id_req="6" node_id_phy="300"/>
                    <Item node_id_req="7"/>
                    <Item node_id_req="9" node_id_phy="*" south_port="1"/>
                    <Item node_id_req="5" node_id_phy="18" south_port="3"/>)",
                 R"(id="12")");
  EXPECT_EQ(b.id, 12);
  EXPECT_EQ(b.t->items[5]->node_id_phy, 18u);  // the later item for 5 replaced the first
  EXPECT_EQ(b.t->items[5]->south_port, 3u);
  EXPECT_EQ(b.t->items[6]->node_id_phy, 44u);  // low 8 bits of 300
  EXPECT_EQ(b.t->items[6]->south_port, 255u);
  EXPECT_EQ(b.t->items[7]->node_id_phy, 1u);
  EXPECT_EQ(b.t->items[9]->node_id_phy, 9u);  // "*" keeps the req id
  EXPECT_EQ(b.t->item_any, nullptr);

  auto only_port = build(R"(<Item south_port="4"/>)");
  EXPECT_EQ(only_port.id, 255);
  EXPECT_EQ(only_port.t->item_any->node_id_phy, 0u);
  EXPECT_EQ(only_port.t->item_any->south_port, 4u);
  auto with_phy = build(R"(<Item node_id_req="*" node_id_phy="3" south_port="1"/>)");
  EXPECT_EQ(with_phy.t->item_any->node_id_phy, 3u);
  auto zero = build(R"(<Item node_id_req="0" south_port="1"/><Item node_id_req="0" south_port="2"/>)");
  EXPECT_EQ(zero.t->item_any->south_port, 2u);  // 0 counts as "*"; the later one wins
  EXPECT_EQ(zero.t->items[0], nullptr);
}

TEST(Table, RangeFillsOneSlotPerId) {
  auto b = build(R"(<Item node_id_req="3-5" node_id_phy="9" south_port="2"/>
                    <Item node_id_req="254-255" node_id_phy="*" south_port="1"/>)");
  EXPECT_EQ(b.t->items[2], nullptr);
  EXPECT_EQ(b.t->items[6], nullptr);
  for (int id = 3; id <= 5; ++id) {
    EXPECT_EQ(b.t->items[id]->node_id_phy, 9u);
    EXPECT_EQ(b.t->items[id]->south_port, 2u);
  }
  EXPECT_EQ(b.t->items[254]->node_id_phy, 254u);
  EXPECT_EQ(b.t->items[255]->node_id_phy, 255u);
}

// Each would otherwise route with a default nobody wrote (req 1, phy 1,
// south port 255) or a range that is none.
TEST(Table, BadItemsAreRejected) {
  for (const char *req : {"0-3", "5-3", "1-256", "a-b", "-5", "1-2-3", "3-", "256", "abc", "0x5", ""}) {
    auto b = build(std::string(R"(<Item node_id_req=")") + req + R"(" south_port="1"/>)");
    EXPECT_EQ(b.t->item_any, nullptr) << req;
    for (item *slot : b.t->items) EXPECT_EQ(slot, nullptr) << req;
  }
  for (const char *item : {R"(<Item node_id_req="5" node_id_phy="x" south_port="1"/>)",
                           R"(<Item node_id_req="*" node_id_phy="1e3" south_port="1"/>)",
                           R"(<Item node_id_req="5" south_port="two"/>)"}) {
    auto b = build(item);
    EXPECT_EQ(b.t->item_any, nullptr) << item;
    EXPECT_EQ(b.t->items[5], nullptr) << item;
  }
  // Blanks around a number and "*" stay what they were.
  auto b = build(R"(<Item node_id_req=" 5 " node_id_phy="*" south_port="1"/>)");
  ASSERT_NE(b.t->items[5], nullptr);
  EXPECT_EQ(b.t->items[5]->node_id_phy, 5u);
}

}  // namespace
