// Configuration loading over documents in memory: what ends up in the mux
// and the server (the process tests cover lookup, layouts and serial counts).
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "../route/route_test_util.h"
#include "app/load_config.h"
#include "route/mux.h"

namespace {

struct loaded {
  std::unique_ptr<mux> m{mux_create()};
  std::unique_ptr<server> srv;
  std::string log;
  bool has(const std::string &text) const { return log.find(text) != std::string::npos; }
};

// Loads `body` inside an enabled server element (or `xml` as given) into a
// fresh mux at log level 7 and keeps what was logged.
loaded load(const std::string &body, bool wrap = true) {
  conf_doc d(wrap ? R"(<tTrellisServer enable="true">)" + body + "</tTrellisServer>" : body);
  EXPECT_NE(d.doc(), nullptr) << "test document did not parse";
  loaded out;
  out.log = logged(7, [&] { out.srv = load_config_document(d.doc(), out.m.get()); });
  return out;
}


}  // namespace

// "false" and absence disabling the server are proven by the process tests.
TEST(LoadConfig, AnyTextButFalseEnablesTheServer) {
  for (const char *value : {"true", "yes", "", "FALSE"})
    EXPECT_NE(load(std::string("<tTrellisServer enable=\"") + value + "\"/>", false).srv, nullptr) << value;
}

TEST(LoadConfig, TableListWithoutTableStopsTablesButNotNorthPorts) {
  loaded l = load(R"(<SouthPort type="udp"/><TableList><Nothing/></TableList><TableList><Table id="7"/></TableList>
                     <NorthPort type="ascii" id="1"/>)");
  ASSERT_NE(l.srv, nullptr);
  EXPECT_TRUE(l.has("no \"Table\""));
  EXPECT_EQ(l.m->table_list[7], nullptr);  // the second list is not read
  EXPECT_EQ(l.srv->serial_num, 1u);        // the north "ascii" port is

  loaded no_list = load(R"(<SouthPort type="udp"/><NorthPort type="ascii"/>)");
  EXPECT_TRUE(no_list.has("no \"TableList\""));
  EXPECT_EQ(no_list.srv->serial_num, 0u);  // no table list: north ports are not read
}

TEST(LoadConfig, TablesAreRegisteredByIdFrom0To256AndLaterDuplicatesWin) {
  loaded l = load(R"(<SouthPort type="udp"/><TableList>
      <Table id="0"/><Table id="256"/><Table/>
      <Table id="5"><Item node_id_req="*" south_port="1"/></Table>
      <Table id="5"><Item node_id_req="*" south_port="2"/></Table>
      <Table id="257"/><Table id="-1"/></TableList>)");
  ASSERT_NE(l.srv, nullptr);
  EXPECT_NE(l.m->table_list[0], nullptr);
  EXPECT_NE(l.m->table_list[256], nullptr);
  EXPECT_NE(l.m->table_list[255], nullptr);  // missing id
  ASSERT_NE(l.m->table_list[5], nullptr);
  ASSERT_NE(l.m->table_list[5]->item_any, nullptr);
  EXPECT_EQ(l.m->table_list[5]->item_any->south_port, 2u);
  EXPECT_EQ(l.srv->owned_tables.size(), 5u);  // the out-of-range ones were never built
  EXPECT_TRUE(l.has("Table id 257"));
  EXPECT_TRUE(l.has("Table id -1"));
}

TEST(LoadConfig, SouthPortsAreRegisteredByIdLaterDuplicatesWinAndTheListHolds128) {
  std::string body;
  for (int i = 0; i < 129; ++i) body += R"(<SouthPort type="tcp" id=")" + std::to_string(i) + R"("/>)";
  loaded l = load(body + R"(<SouthPort type="tcp" id="4"/>)");
  ASSERT_NE(l.srv, nullptr);
  ASSERT_EQ(l.srv->owned_south_ports.size(), 130u);
  EXPECT_EQ(l.srv->south_ports->size(), 128u);
  EXPECT_EQ(l.srv->south_ports->items_[0], l.srv->owned_south_ports[0].get());
  EXPECT_TRUE(l.has("south port list is full"));
  // The 129th is registered although it will not be started.
  EXPECT_EQ(l.m->southport_list[128]->port, l.srv->owned_south_ports[128].get());
  EXPECT_EQ(l.m->southport_list[128]->port_kind, PORT_KIND_MODBUS);
  EXPECT_EQ(l.m->southport_list[4]->port, l.srv->owned_south_ports[129].get());
  EXPECT_EQ(l.m->southport_list[3]->port, l.srv->owned_south_ports[3].get());
}

// Nothing is created for a bad type or id (not even as the default 255), and
// the rest of the file goes on.
TEST(LoadConfig, BadTypesAndIdsCreateNothingAndTheRestOfTheFileGoesOn) {
  loaded l = load(R"(<SouthPort id="1"/><SouthPort type="bogus" id="2"/><SouthPort type="RTU" id="3"/>
      <SouthPort type="tcp" id="256"/><SouthPort type="tcp" id="-1"/><SouthPort type="tcp" id="abc"/>
      <SouthPort type="tcp" id="0x2"/><SouthPort type="tcp" id="3"/>
      <TableList><Table id="one"><Item south_port="3"/></Table><Table id="2"/></TableList>
      <NorthPort type="bogus"/><NorthPort type="rtu" id="300"/>
      <NorthPort type="tcp" id="n1" tcp_port="1"><Table ip="*" id="2"/></NorthPort>)");
  ASSERT_NE(l.srv, nullptr);
  ASSERT_EQ(l.srv->owned_south_ports.size(), 1u);
  for (int id = 0; id <= 255; ++id)
    EXPECT_EQ(l.m->southport_list[id]->port, id == 3 ? l.srv->owned_south_ports[0].get() : nullptr) << id;
  EXPECT_EQ(mux_get_table(l.m.get(), 255), nullptr);  // the table "one" is not table 255
  EXPECT_NE(mux_get_table(l.m.get(), 2), nullptr);    // tables still loaded after the bad ports
  EXPECT_TRUE(l.srv->owned_north_ports.empty());
  EXPECT_EQ(l.srv->serial_num, 1u);  // the rejected north "rtu" was still recognised
}
