// Configuration loading over documents in memory: root layouts, "enable",
// element order, serial counting, id checks and bad input.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>

#include "app/load_config.h"
#include "platform/plat_log.h"
#include "platform/tw_conf.h"
#include "route/mux.h"

namespace {

struct loaded {
  std::unique_ptr<mux> m;
  std::unique_ptr<server> srv;
  std::string log;
};

// Loads `xml` into a fresh mux at log level 7 and keeps what was logged.
loaded load(const std::string &xml) {
  loaded out;
  out.m.reset(mux_create());
  const int saved = plat_log_get_level();
  plat_log_set_level(7);
  testing::internal::CaptureStderr();
  tw_conf_node *doc = tw_conf_open_xml_string(xml.c_str(), TW_CONF_ARRAY_NAMES);
  if (doc) {
    out.srv = load_config_document(doc, out.m.get());
    tw_conf_node_close(doc);
  }
  out.log = testing::internal::GetCapturedStderr();
  plat_log_set_level(saved);
  EXPECT_NE(doc, nullptr) << "test document did not parse";
  return out;
}

bool has(const std::string &log, const std::string &text) { return log.find(text) != std::string::npos; }

const char *TABLE = R"(<TableList><Table id="1"><Item node_id_req="*" south_port="1"/></Table></TableList>)";

}  // namespace

TEST(LoadConfigRoot, CurrentAndOlderLayoutsBothGiveAServer) {
  loaded current = load(R"(<tTrellisServer enable="true"><SouthPort type="ascii"/></tTrellisServer>)");
  ASSERT_NE(current.srv, nullptr);
  EXPECT_EQ(current.srv->serial_num, 1u);
  EXPECT_FALSE(has(current.log, "match old version"));

  loaded old = load(R"(<tTrellis><Server enable="true"><SouthPort type="ascii"/></Server></tTrellis>)");
  ASSERT_NE(old.srv, nullptr);
  EXPECT_EQ(old.srv->serial_num, 1u);
  EXPECT_TRUE(has(old.log, "match old version"));
}

TEST(LoadConfigRoot, MissingServerElementGivesNoServer) {
  loaded no_root = load(R"(<Other enable="true"/>)");
  EXPECT_EQ(no_root.srv, nullptr);
  EXPECT_TRUE(has(no_root.log, "no \"tTrellis\""));
  EXPECT_TRUE(has(no_root.log, "config file has been paresed."));

  loaded no_server = load(R"(<tTrellis><Srv enable="true"/></tTrellis>)");
  EXPECT_EQ(no_server.srv, nullptr);
  EXPECT_TRUE(has(no_server.log, "no \"Server\""));
}

TEST(LoadConfigEnable, OnlyTheTextFalseOrAbsenceDisables) {
  for (const char *root : {R"(<tTrellisServer><SouthPort type="ascii"/></tTrellisServer>)",
                           R"(<tTrellisServer enable="false"><SouthPort type="ascii"/></tTrellisServer>)"}) {
    loaded l = load(root);
    EXPECT_EQ(l.srv, nullptr) << root;
    EXPECT_TRUE(has(l.log, "NOT ENABLE SERVER")) << root;
    EXPECT_FALSE(has(l.log, "config file has been paresed.")) << root;
  }
  for (const char *value : {"true", "yes", "", "FALSE"}) {
    loaded l = load(std::string("<tTrellisServer enable=\"") + value + "\"/>");
    EXPECT_NE(l.srv, nullptr) << "enable=\"" << value << "\"";
  }
}

TEST(LoadConfigOrder, NoSouthPortMeansNothingElseIsRead) {
  loaded l = load(std::string(R"(<tTrellisServer enable="true">)") + TABLE +
                  R"(<NorthPort type="rtu" id="1"/></tTrellisServer>)");
  ASSERT_NE(l.srv, nullptr);
  EXPECT_EQ(l.srv->serial_num, 0u);  // the north "rtu" port was never looked at
  EXPECT_TRUE(plat_list_is_empty(l.srv->south_ports.get()));
  EXPECT_TRUE(plat_list_is_empty(l.srv->north_ports.get()));
  EXPECT_EQ(mux_get_table(l.m.get(), 1), nullptr);
  EXPECT_TRUE(has(l.log, "no \"SouthPort\""));
  EXPECT_EQ(l.srv->south_ports->capacity(), 128u);
  EXPECT_EQ(l.srv->north_ports->capacity(), 128u);
}

TEST(LoadConfigOrder, NoTableListMeansNoNorthPorts) {
  loaded l = load(R"(<tTrellisServer enable="true"><SouthPort type="udp"/><NorthPort type="ascii"/></tTrellisServer>)");
  ASSERT_NE(l.srv, nullptr);
  EXPECT_EQ(l.srv->serial_num, 0u);
  EXPECT_TRUE(has(l.log, "no \"TableList\""));
}

TEST(LoadConfigOrder, TableListWithoutTableStopsTablesButNorthPortsAreRead) {
  loaded l = load(R"(<tTrellisServer enable="true"><SouthPort type="udp"/>
      <TableList><Nothing/></TableList>
      <TableList><Table id="7"/></TableList>
      <NorthPort type="ascii" id="1"/></tTrellisServer>)");
  ASSERT_NE(l.srv, nullptr);
  EXPECT_TRUE(has(l.log, "no \"Table\""));
  EXPECT_EQ(mux_get_table(l.m.get(), 7), nullptr);  // the second list is not read
  EXPECT_EQ(l.srv->serial_num, 1u);                 // the north "ascii" port is
}

TEST(LoadConfigTables, RegisteredByIdWithTheEdgesOfTheRangeAndLaterDuplicatesWinning) {
  loaded l = load(R"(<tTrellisServer enable="true"><SouthPort type="udp"/><TableList>
      <Table id="0"/><Table id="256"/><Table/>
      <Table id="5"><Item node_id_req="*" south_port="1"/></Table>
      <Table id="5"><Item node_id_req="*" south_port="2"/></Table>
      <Table id="257"/><Table id="-1"/>
    </TableList></tTrellisServer>)");
  ASSERT_NE(l.srv, nullptr);
  EXPECT_NE(mux_get_table(l.m.get(), 0), nullptr);
  EXPECT_NE(mux_get_table(l.m.get(), 256), nullptr);
  EXPECT_NE(mux_get_table(l.m.get(), 255), nullptr);  // missing id
  table *five = mux_get_table(l.m.get(), 5);
  ASSERT_NE(five, nullptr);
  ASSERT_NE(five->item_any, nullptr);
  EXPECT_EQ(five->item_any->south_port, 2u);
  // Only the five accepted tables were built.
  EXPECT_EQ(l.srv->owned_tables.size(), 5u);
  EXPECT_TRUE(has(l.log, "Table id 257"));
  EXPECT_TRUE(has(l.log, "Table id -1"));
}

TEST(LoadConfigPorts, SerialCountFollowsTheRecognisedTypes) {
  struct {
    const char *element;
    uint32_t serial;
  } cases[] = {
      {R"(<SouthPort type="ascii"/>)", 1},
      {R"(<SouthPort type="rtu"/>)", 1},
      {R"(<SouthPort type="serial_transparent_transmission"/>)", 1},
      {R"(<SouthPort type="udp"/>)", 0},
      {R"(<SouthPort type="tcp_transparent_transmission"/>)", 0},
      {R"(<SouthPort type="RTU"/>)", 0},  // case matters
      {R"(<SouthPort type="bogus"/>)", 0},
      {R"(<SouthPort id="3"/>)", 0},
  };
  for (const auto &c : cases) {
    loaded l = load(std::string(R"(<tTrellisServer enable="true">)") + c.element + "</tTrellisServer>");
    ASSERT_NE(l.srv, nullptr) << c.element;
    EXPECT_EQ(l.srv->serial_num, c.serial) << c.element;
  }
}

TEST(LoadConfigPorts, BadTypesAndIdsAreLoggedAndTheRestOfTheFileGoesOn) {
  loaded l = load(std::string(R"(<tTrellisServer enable="true">
      <SouthPort id="1"/>
      <SouthPort type="bogus" id="2"/>
      <SouthPort type="tcp" id="256"/>
      <SouthPort type="tcp" id="-1"/>)") +
                  TABLE + R"(<NorthPort type="bogus"/><NorthPort type="rtu" id="300"/></tTrellisServer>)");
  ASSERT_NE(l.srv, nullptr);
  EXPECT_TRUE(has(l.log, "Not Found Type."));
  EXPECT_TRUE(has(l.log, "Not Found Right Type."));
  EXPECT_TRUE(has(l.log, "SouthPort id 256"));
  EXPECT_TRUE(has(l.log, "SouthPort id -1"));
  EXPECT_TRUE(has(l.log, "NorthPort id 300"));
  EXPECT_TRUE(plat_list_is_empty(l.srv->south_ports.get()));
  EXPECT_TRUE(plat_list_is_empty(l.srv->north_ports.get()));
  for (int id = 0; id <= 255; ++id) EXPECT_EQ(l.m->southport_list[id]->port, nullptr) << id;
  EXPECT_NE(mux_get_table(l.m.get(), 1), nullptr);  // tables still loaded after the bad ports
  EXPECT_EQ(l.srv->serial_num, 1u);                 // the rejected north "rtu" was still recognised
}

TEST(LoadConfigFile, UnreadableOrMalformedFilesGiveNoServer) {
  std::unique_ptr<mux> m(mux_create());
  EXPECT_EQ(load_config("/nonexistent/dir/trellis.acr", m.get()), nullptr);

  char path[] = "/tmp/load_config_testXXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  FILE *f = fdopen(fd, "w");
  std::fputs("<tTrellisServer enable=\"true\"><SouthPort type=", f);  // cut short
  std::fclose(f);
  EXPECT_EQ(load_config(path, m.get()), nullptr);

  f = std::fopen(path, "w");
  std::fputs(R"(<tTrellisServer enable="true"><SouthPort type="ascii"/></tTrellisServer>)", f);
  std::fclose(f);
  std::unique_ptr<server> srv = load_config(path, m.get());
  std::remove(path);
  ASSERT_NE(srv, nullptr);
  EXPECT_EQ(srv->serial_num, 1u);
}

TEST(LoadConfigPorts, NorthPortListHolds128InFileOrderAndFailedCreatesAreSkipped) {
  std::string xml = std::string(R"(<tTrellisServer enable="true"><SouthPort type="udp"/>)") + TABLE +
                    R"(<NorthPort type="tcp" id="9" tcp_port="1"/>)";  // no "Table": create fails
  for (int i = 0; i < 130; ++i) {
    xml += R"(<NorthPort type="tcp" id=")" + std::to_string(i) + R"(" tcp_port=")" + std::to_string(20000 + i) +
           R"("><Table ip="*" id="1"/></NorthPort>)";
  }
  xml += "</tTrellisServer>";
  loaded l = load(xml);
  ASSERT_NE(l.srv, nullptr);
  EXPECT_EQ(l.srv->owned_north_ports.size(), 130u);  // all kept alive
  ASSERT_EQ(l.srv->north_ports->size(), 128u);       // the first 128 are started
  for (size_t i = 0; i < 128; ++i) EXPECT_EQ(l.srv->north_ports->items_[i], l.srv->owned_north_ports[i].get()) << i;
  EXPECT_TRUE(has(l.log, "north port list is full"));
  EXPECT_EQ(l.srv->serial_num, 0u);
}

TEST(LoadConfigPorts, SouthPortsAreRegisteredByIdLaterDuplicatesWinAndTheListHolds128) {
  std::string xml = R"(<tTrellisServer enable="true">)";
  for (int i = 0; i < 129; ++i) xml += R"(<SouthPort type="tcp" id=")" + std::to_string(i) + R"("/>)";
  xml += R"(<SouthPort type="tcp" id="4"/></tTrellisServer>)";
  loaded l = load(xml);
  ASSERT_NE(l.srv, nullptr);
  ASSERT_EQ(l.srv->owned_south_ports.size(), 130u);
  EXPECT_EQ(l.srv->south_ports->size(), 128u);
  EXPECT_TRUE(has(l.log, "south port list is full"));
  // The 129th was registered although it will not be started.
  EXPECT_EQ(l.m->southport_list[128]->port, l.srv->owned_south_ports[128].get());
  EXPECT_EQ(l.m->southport_list[128]->port_kind, PORT_KIND_MODBUS);
  // A later port under the same id replaces the earlier one in the mux.
  EXPECT_EQ(l.m->southport_list[4]->port, l.srv->owned_south_ports[129].get());
  EXPECT_EQ(l.m->southport_list[3]->port, l.srv->owned_south_ports[3].get());
  EXPECT_EQ(l.srv->south_ports->items_[0], l.srv->owned_south_ports[0].get());
}
