#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <string>
#include <vector>

#include <unistd.h>

#include "platform/tw_conf.h"
#include "route_test_util.h"

namespace {

std::vector<std::string> iterate(tw_conf_node *array, const char *attribute) {
  std::vector<std::string> seen;
  uint32_t it = 0;
  while (tw_conf_node *e = tw_conf_node_child_query(array, nullptr, &it))
    seen.push_back(tw_conf_node_attr_get_string(e, attribute, "?"));
  EXPECT_EQ(tw_conf_node_child_query(array, nullptr, &it), nullptr);  // stays at the end
  return seen;
}

TEST(ConfReader, ArrayNamesCollectEveryElementInFileOrder) {
  conf_doc d(R"(<r><Item n="1"/><Other n="x"/><Item n="2"/><Item n="3"/><Plain n="a"/><Plain n="b"/></r>)");
  tw_conf_node *r = d.root("r");
  ASSERT_NE(r, nullptr);
  tw_conf_node *items = tw_conf_node_child_query(r, "Item", nullptr);
  ASSERT_NE(items, nullptr);
  EXPECT_STREQ(tw_conf_node_name(items), "Item");
  EXPECT_EQ(iterate(items, "n"), (std::vector<std::string>{"1", "2", "3"}));
  // A second query gives the same array, iterable again from 0.
  EXPECT_EQ(tw_conf_node_child_query(r, "Item", nullptr), items);
  EXPECT_EQ(iterate(items, "n").size(), 3u);
  // Not an array name: the first element of that name.
  tw_conf_node *plain = tw_conf_node_child_query(r, "Plain", nullptr);
  ASSERT_NE(plain, nullptr);
  EXPECT_STREQ(tw_conf_node_attr_get_string(plain, "n", ""), "a");
  EXPECT_EQ(tw_conf_node_child_query(r, "Table", nullptr), nullptr);
  EXPECT_EQ(tw_conf_node_child_query(r, "Missing", nullptr), nullptr);
  uint32_t it = 0;
  EXPECT_EQ(tw_conf_node_child_query(plain, nullptr, &it), nullptr);  // only arrays iterate
}

TEST(ConfReader, NestedArraysBelongToTheirOwnParent) {
  conf_doc d(R"(<s><TableList><Table id="1"><Item n="a"/></Table><Table id="2"><Item n="b"/><Item n="c"/></Table>
               </TableList></s>)");
  tw_conf_node *lists = tw_conf_node_child_query(d.root("s"), "TableList", nullptr);
  uint32_t it = 0;
  tw_conf_node *list = tw_conf_node_child_query(lists, nullptr, &it);
  tw_conf_node *tables = tw_conf_node_child_query(list, "Table", nullptr);
  uint32_t t = 0;
  tw_conf_node *first = tw_conf_node_child_query(tables, nullptr, &t);
  tw_conf_node *second = tw_conf_node_child_query(tables, nullptr, &t);
  EXPECT_EQ(iterate(tw_conf_node_child_query(first, "Item", nullptr), "n"), (std::vector<std::string>{"a"}));
  EXPECT_EQ(iterate(tw_conf_node_child_query(second, "Item", nullptr), "n"), (std::vector<std::string>{"b", "c"}));
}

TEST(ConfReader, IntegersAreDecimalWithOptionalSignAndBlanks) {
  conf_doc d(R"(<e a="12" b=" -7 " c="+5" min="-2147483648" max="2147483647" star="*" tail="12abc" empty=""
                 hex="0x10" big="2147483648" huge="99999999999999999999" sign="-"/>)");
  tw_conf_node *e = d.root("e");
  EXPECT_EQ(tw_conf_node_attr_get_int(e, "a", 0), 12);
  EXPECT_EQ(tw_conf_node_attr_get_int(e, "b", 0), -7);
  EXPECT_EQ(tw_conf_node_attr_get_int(e, "c", 0), 5);
  EXPECT_EQ(tw_conf_node_attr_get_int(e, "min", 0), INT_MIN);
  EXPECT_EQ(tw_conf_node_attr_get_int(e, "max", 0), INT_MAX);
  EXPECT_EQ(tw_conf_node_attr_get_int(e, "absent", 42), 42);
  for (const char *bad : {"star", "tail", "empty", "hex", "big", "huge", "sign"}) {
    SCOPED_TRACE(bad);
    int value = 0;
    const std::string log = logged(4, [&] { value = tw_conf_node_attr_get_int(e, bad, 255); });
    EXPECT_EQ(value, 255);
    EXPECT_NE(log.find(std::string("attribute ") + bad + "=\""), std::string::npos) << log;
  }
  EXPECT_EQ(logged(4, [&] { tw_conf_node_attr_get_int(e, "absent", 1); }), "");
}

TEST(ConfReader, StringsDefaultsAndCopies) {
  conf_doc d(R"(<e type="tcp" blank=""/>)");
  tw_conf_node *e = d.root("e");
  EXPECT_STREQ(tw_conf_node_attr_get_string(e, "type", "x"), "tcp");
  EXPECT_STREQ(tw_conf_node_attr_get_string(e, "blank", "x"), "");
  EXPECT_STREQ(tw_conf_node_attr_get_string(e, "none", "x"), "x");
  EXPECT_EQ(tw_conf_node_attr_get_string(e, "none", nullptr), nullptr);
  EXPECT_EQ(tw_conf_node_attr_get_string_dup(e, "type", nullptr), "tcp");
  EXPECT_EQ(tw_conf_node_attr_get_string_dup(e, "none", nullptr), "");
  EXPECT_TRUE(tw_conf_node_attr_exists(e, "blank"));
  EXPECT_FALSE(tw_conf_node_attr_exists(e, "none"));
}

TEST(ConfReader, UnusableInputGivesNull) {
  std::string log = logged(3, [] {
    EXPECT_EQ(tw_conf_open_xml_string("<a><b></a>", TW_CONF_ARRAY_NAMES), nullptr);
    EXPECT_EQ(tw_conf_open_xml_string("", TW_CONF_ARRAY_NAMES), nullptr);
    EXPECT_EQ(tw_conf_open_xml_file("/nonexistent/trellis.acr", TW_CONF_ARRAY_NAMES), nullptr);
    EXPECT_EQ(tw_conf_open_xml_string("<a/>", "[\"A\",]"), nullptr);
    EXPECT_EQ(tw_conf_open_xml_string("<a/>", "\"A\""), nullptr);
  });
  EXPECT_NE(log.find("not usable XML"), std::string::npos) << log;
}

TEST(ConfReader, ReadsAFile) {
  char path[] = "/tmp/conf_reader_testXXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  const std::string xml = R"(<?xml version="1.0"?><tTrellisServer enable="true"><SouthPort id="3"/></tTrellisServer>)";
  ASSERT_EQ(write(fd, xml.data(), xml.size()), static_cast<ssize_t>(xml.size()));
  close(fd);
  tw_conf_node *doc = tw_conf_open_xml_file(path, TW_CONF_ARRAY_NAMES);
  std::remove(path);
  ASSERT_NE(doc, nullptr);
  tw_conf_node *server = tw_conf_node_child_query(doc, "tTrellisServer", nullptr);
  uint32_t it = 0;
  tw_conf_node *south = tw_conf_node_child_query(tw_conf_node_child_query(server, "SouthPort", nullptr), nullptr, &it);
  EXPECT_EQ(tw_conf_node_attr_get_int(south, "id", 255), 3);
  tw_conf_node_close(doc);
}

}  // namespace
