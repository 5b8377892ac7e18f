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

TEST(Table, SouthPortOnlyItemIsTheStarItemKeepingTheReqId) {
  auto b = build(R"(<Item south_port="4"/>)");
  ASSERT_NE(b.t->item_any, nullptr);
  EXPECT_EQ(b.t->item_any->node_id_phy, 0u);
  EXPECT_EQ(b.t->item_any->south_port, 4u);
  for (item *slot : b.t->items) EXPECT_EQ(slot, nullptr);
  EXPECT_EQ(b.id, 255);
  EXPECT_NE(b.log.find("table create done."), std::string::npos);
}

TEST(Table, NumberedItemsMapReqToPhy) {
  auto b = build(R"(<Item node_id_req="5" node_id_phy="17" south_port="2"/>
                    <Item node_id_req="*" node_id_phy="3" south_port="1"/>
                    <Item node_id_req="6" node_id_phy="300"/>
                    <Item node_id_req="7"/>)",
                 R"(id="12")");
  EXPECT_EQ(b.id, 12);
  ASSERT_NE(b.t->items[5], nullptr);
  EXPECT_EQ(b.t->items[5]->node_id_phy, 17u);
  EXPECT_EQ(b.t->items[5]->south_port, 2u);
  EXPECT_EQ(b.t->item_any->node_id_phy, 3u);
  EXPECT_EQ(b.t->items[6]->node_id_phy, 44u);  // low 8 bits of 300
  EXPECT_EQ(b.t->items[6]->south_port, 255u);
  EXPECT_EQ(b.t->items[7]->node_id_phy, 1u);  // phy defaults to 1 for a numbered req
}

TEST(Table, LaterItemsReplaceEarlierOnes) {
  auto b = build(R"(<Item node_id_req="5" node_id_phy="1" south_port="1"/>
                    <Item node_id_req="5" node_id_phy="2" south_port="2"/>
                    <Item south_port="1"/><Item south_port="3"/>)");
  EXPECT_EQ(b.t->items[5]->node_id_phy, 2u);
  EXPECT_EQ(b.t->item_any->south_port, 3u);
}

TEST(Table, ReqZeroCountsAsStar) {
  auto b = build(R"(<Item node_id_req="0" south_port="2"/>)");
  ASSERT_NE(b.t->item_any, nullptr);
  EXPECT_EQ(b.t->item_any->south_port, 2u);
  EXPECT_EQ(b.t->items[0], nullptr);
}

TEST(Table, NumberedReqWithStarPhyKeepsTheReqId) {
  auto b = build(R"(<Item node_id_req="9" node_id_phy="*" south_port="1"/>)");
  EXPECT_EQ(b.t->items[9]->node_id_phy, 9u);
}

TEST(Table, RangeFillsOneSlotPerId) {
  auto b = build(R"(<Item node_id_req="3-5" node_id_phy="9" south_port="2"/>
                    <Item node_id_req="250-255" node_id_phy="*" south_port="1"/>
                    <Item node_id_req="7-7" node_id_phy="8" south_port="1"/>)");
  EXPECT_EQ(b.t->items[2], nullptr);
  for (int id = 3; id <= 5; ++id) {
    ASSERT_NE(b.t->items[id], nullptr) << id;
    EXPECT_EQ(b.t->items[id]->node_id_phy, 9u);
    EXPECT_EQ(b.t->items[id]->south_port, 2u);
  }
  EXPECT_EQ(b.t->items[6], nullptr);
  EXPECT_EQ(b.t->items[7]->node_id_phy, 8u);
  for (int id = 250; id <= 255; ++id) EXPECT_EQ(b.t->items[id]->node_id_phy, static_cast<uint32_t>(id));
  EXPECT_EQ(b.t->item_any, nullptr);
}

TEST(Table, BadReqIdsAreRejectedWithAWarning) {
  for (const char *req : {"0-3", "5-3", "1-256", "a-b", "-5", "1-2-3", "3-", "256", "-1"}) {
    SCOPED_TRACE(req);
    auto b = build(std::string(R"(<Item node_id_req=")") + req + R"(" south_port="1"/>)");
    EXPECT_EQ(b.t->item_any, nullptr);
    for (item *slot : b.t->items) EXPECT_EQ(slot, nullptr);
    EXPECT_NE(b.log.find(" 4 table:"), std::string::npos) << b.log;
    EXPECT_NE(b.log.find("item ignored"), std::string::npos) << b.log;
  }
}

TEST(Table, TableWithoutItemsRoutesNothing) {
  auto b = build("");
  EXPECT_EQ(b.t->item_any, nullptr);
  EXPECT_NE(b.log.find("no item config under table "), std::string::npos);
}

TEST(Table, TableIdsMustFitTheMuxSlots) {
  EXPECT_TRUE(table_id_valid(0));
  EXPECT_TRUE(table_id_valid(256));
  std::string log = logged(3, [] {
    EXPECT_FALSE(table_id_valid(-1));
    EXPECT_FALSE(table_id_valid(257));
  });
  EXPECT_NE(log.find("Table id 257"), std::string::npos) << log;
}

}  // namespace
