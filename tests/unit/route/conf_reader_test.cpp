#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "platform/tw_conf.h"
#include "route_test_util.h"

namespace {

TEST(ConfReader, IntegersAreDecimalWithOptionalSignAndBlanks) {
  conf_doc d(R"(<e a="12" b=" -7 " c="+5" min="-2147483648" max="2147483647" star="*" tail="12abc" empty=""
                 hex="0x10" big="2147483648" huge="99999999999999999999" sign="-"/>)");
  tw_conf_node *e = d.root("e");
  EXPECT_EQ(tw_conf_node_attr_get_int(e, "a", 0), 12);
  EXPECT_EQ(tw_conf_node_attr_get_int(e, "b", 0), -7);
  EXPECT_EQ(tw_conf_node_attr_get_int(e, "c", 0), 5);
  EXPECT_EQ(tw_conf_node_attr_get_int(e, "min", 0), INT_MIN);
  EXPECT_EQ(tw_conf_node_attr_get_int(e, "max", 0), INT_MAX);
  EXPECT_EQ(logged(4, [&] { EXPECT_EQ(tw_conf_node_attr_get_int(e, "absent", 42), 42); }), "");
  logged(4, [&] {
    for (const char *bad : {"star", "tail", "empty", "hex", "big", "huge", "sign"})
      EXPECT_EQ(tw_conf_node_attr_get_int(e, bad, 255), 255) << bad;
  });
  EXPECT_TRUE(tw_conf_node_attr_exists(e, "empty"));
}

TEST(ConfReader, ElementsAndParseErrorsCarryTheirSourceLines) {
  conf_doc d(
      "<?xml version=\"1.0\"?>\n"
      "<!-- a comment\n spanning lines -->\n"
      "<tTrellisServer enable=\"true\">\n"
      "  <SouthPort id=\"1\"/><SouthPort\n"
      "     id=\"x\"/>\n"
      "</tTrellisServer>\n");
  ASSERT_NE(d.doc(), nullptr);
  tw_conf_node *server = tw_conf_node_child_query(d.doc(), "tTrellisServer", nullptr);
  EXPECT_EQ(tw_conf_node_line(server), 4);
  EXPECT_EQ(tw_conf_node_line(d.doc()), 0);
  tw_conf_node *ports = tw_conf_node_child_query(server, "SouthPort", nullptr);
  EXPECT_EQ(tw_conf_node_line(ports), 5);  // the array: its first element
  uint32_t it = 0;
  EXPECT_EQ(tw_conf_node_line(tw_conf_node_child_query(ports, nullptr, &it)), 5);
  tw_conf_node *second = tw_conf_node_child_query(ports, nullptr, &it);
  EXPECT_EQ(tw_conf_node_line(second), 5);  // where the element starts, not its attribute

  // A bad value is reported with the line of its element.
  std::vector<plat_log_record> kept;
  {
    const int saved = plat_log_get_level();
    plat_log_set_level(4);
    plat_log_capture capture(4);
    EXPECT_EQ(tw_conf_node_attr_get_int(second, "id", 255), 255);
    int silent = 0;
    EXPECT_FALSE(tw_conf_node_attr_to_int(second, "id", &silent));
    EXPECT_FALSE(tw_conf_node_attr_to_int(second, "none", &silent));
    kept = capture.records();
    plat_log_set_level(saved);
  }
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_EQ(kept[0].source_line, 5);
  EXPECT_EQ(kept[0].message, "attribute id=\"x\" of <SouthPort> is not a decimal integer; using 255");

  logged(3, [] {
    EXPECT_EQ(tw_conf_open_xml_string("", TW_CONF_ARRAY_NAMES), nullptr);
    EXPECT_EQ(tw_conf_open_xml_string("<a/>", "[\"A\",]"), nullptr);  // unusable array names
    tw_conf_error error;
    EXPECT_EQ(tw_conf_open_xml_string("<a>\n<b>\n\n</a>\n", TW_CONF_ARRAY_NAMES, &error), nullptr);
    EXPECT_EQ(error.line, 4);
    EXPECT_NE(error.message.find("mismatch"), std::string::npos) << error.message;
    EXPECT_EQ(tw_conf_open_xml_file("/nonexistent/trellis.acr", TW_CONF_ARRAY_NAMES, &error), nullptr);
    EXPECT_EQ(error.line, 0);
    EXPECT_EQ(error.message, "cannot be read: No such file or directory");
  });
}

}  // namespace
