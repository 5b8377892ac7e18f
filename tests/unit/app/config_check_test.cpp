// trellis --check over files: each kind of problem with its line and message.
// Problems together in file order, unreadable files and the bundled examples
// are proven by the process tests.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "app/config_check.h"
#include "platform/plat_log.h"

namespace {

struct result {
  int rc = -1;
  std::vector<std::string> lines;  // "LINE: message", the path taken off
};

class ConfigCheck : public testing::Test {
 protected:
  void SetUp() override {
    saved_level_ = plat_log_get_level();
    plat_log_set_level(4);
    char pattern[] = "/tmp/config_check_test.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    plat_log_set_level(saved_level_);
    std::filesystem::remove_all(dir_);
  }

  result check_path(const std::string &path) {
    char *buf = nullptr;
    size_t size = 0;
    FILE *out = open_memstream(&buf, &size);
    result r;
    r.rc = config_check(path.c_str(), out);
    std::fclose(out);
    std::istringstream text(std::string(buf, size));
    std::free(buf);
    for (std::string line; std::getline(text, line);) {
      EXPECT_EQ(line.rfind(path + ":", 0), 0u) << line;
      r.lines.push_back(line.substr(path.size() + 1));
    }
    return r;
  }

  result check(const std::string &xml) {
    const std::string path = dir_ + "/trellis.acr";
    std::ofstream(path) << xml;
    return check_path(path);
  }

  // A clean configuration with one empty line per place a case fills in:
  // a south port (line 3), an item (6), a table (8), a north port (11).
  static std::string file(const std::string &south, const std::string &item, const std::string &table,
                          const std::string &north) {
    return "<tTrellisServer enable=\"true\">\n"
           "  <SouthPort type=\"tcp\" id=\"1\" host=\"127.0.0.1\"/>\n" +
           south + "\n" +
           "  <TableList><Table id=\"1\">\n"
           "    <Item node_id_req=\"*\" south_port=\"1\"/>\n" +
           item + "\n" +
           "  </Table>\n" + table + "\n" +
           "  </TableList>\n"
           "  <NorthPort type=\"tcp\" id=\"1\" tcp_port=\"1502\"><Table ip=\"*\" id=\"1\"/></NorthPort>\n" +
           north + "\n" + "</tTrellisServer>\n";
  }

 private:
  int saved_level_ = 5;
  std::string dir_;
};

struct problem_case {
  const char *what;
  std::string south, item, table, north;
  std::vector<std::string> expected;
};

const std::string TYPES =
    "(tcp, udp, rtu, ascii, serial_transparent_transmission, tcp_transparent_transmission, "
    "udp_transparent_transmission)";

const std::vector<problem_case> &cases() {
  static const std::vector<problem_case> all = {
      {"unknown type", R"(<SouthPort type="serial" id="2"/>)", "", "", "",
       {"3: SouthPort type \"serial\" is not a port type " + TYPES + ": no port is created"}},
      {"missing type", "", "", "", R"(<NorthPort id="2"/>)",
       {"11: NorthPort has no type attribute: no port is created"}},
      {"id out of range", R"(<SouthPort type="tcp" id="256"/>)", "", "", "",
       {"3: SouthPort id 256 is outside 0-255; port not created"}},
      {"id not a number", R"(<SouthPort type="tcp" id="two" host="127.0.0.1"/>)", "", "", "",
       {"3: SouthPort id \"two\" is not a number; port not created"}},
      {"later south port", R"(<SouthPort type="tcp" id="1" host="127.0.0.2"/>)", "", "", "",
       {"3: SouthPort id 1 is already used at line 2: requests for id 1 go to this port, the earlier one still "
        "runs but gets none"}},
      {"setting replaced by its default", R"(<SouthPort type="tcp" id="2" host="127.0.0.1" timeout="-5"/>)",
       R"(<Item node_id_req="2" south_port="2"/>)", "", "",
       {"3: south port tcp timeout has illegaled configuration, system is setting as defaut val : 1000"}},
      {"item naming no south port", "", R"(<Item node_id_req="7" south_port="9"/>)", "", "",
       {"6: Item south_port 9 names no SouthPort: requests routed by this item are dropped"}},
      {"item replaced by a later one", "", R"(<Item node_id_req="*" south_port="1"/>)", "", "",
       {"6: Item node_id_req=\"*\" replaces the item at line 5 for the same unit id(s): that one never matches"}},
      {"item range that is none", "", R"(<Item node_id_req="9-3" south_port="1"/>)", "", "",
       {"6: Item node_id_req \"9-3\" is not a range A-B with 1 <= A <= B <= 255; item ignored"}},
      {"later table", "", "", R"(<Table id="1"><Item south_port="1"/></Table>)", "",
       {"8: Table id 1 is already used at line 4: this table replaces it"}},
      {"table no north port names", "", "", R"(<Table id="2"><Item south_port="1"/></Table>)", "",
       {"8: Table id 2 is not named by any NorthPort rule: its items never match"}},
      {"rule address", "", "", "", R"(<NorthPort type="tcp" id="2" tcp_port="1503"><Table ip="10.0.0.300" id="1"/></NorthPort>)",
       {"11: north port rule ip=\"10.0.0.300\" is not an address, an A-B range, an address/length network or \"*\": "
        "rule ignored"}},
      {"rule naming no table", "", "", "", R"(<NorthPort type="tcp" id="2" tcp_port="1503"><Table id="5"/></NorthPort>)",
       {"11: north port rule ip=\"*\" names table 5, which does not exist: rule ignored",
        "11: NorthPort id 2: none of its Table rules names an existing table: it admits no master"}},
      {"north port without a table", "", "", "", R"(<NorthPort type="tcp" id="2" tcp_port="1503"/>)",
       {"11: NorthPort id 2 has no Table rule: port not created"}},
      {"later north port", "", "", "", R"(<NorthPort type="tcp" id="1" tcp_port="1503"><Table id="1"/></NorthPort>)",
       {"11: NorthPort id 1 is already used at line 10: both ports run, the id now names this one"}},
  };
  return all;
}

TEST_F(ConfigCheck, EachProblemAloneGivesItsLineAndMessage) {
  const result clean = check(file("", "", "", ""));
  EXPECT_EQ(clean.rc, CONFIG_CHECK_CLEAN);
  EXPECT_TRUE(clean.lines.empty()) << clean.lines[0];
  for (const problem_case &c : cases()) {
    const result r = check(file(c.south, c.item, c.table, c.north));
    EXPECT_EQ(r.rc, CONFIG_CHECK_PROBLEMS) << c.what;
    EXPECT_EQ(r.lines, c.expected) << c.what;
  }
}

TEST_F(ConfigCheck, FilesThatSkipPartsOrEverything) {
  const std::string north = R"(<NorthPort type="tcp" id="1"><Table id="1"/></NorthPort>)";
  const struct {
    std::string xml;
    std::vector<std::string> expected;
  } files[] = {
      {"<tTrellisServer>\n<SouthPort type=\"tcp\"/>\n</tTrellisServer>",
       {"1: the server is not enabled (enable is \"false\" or absent): no port is created; enable=\"true\" runs them"}},
      {"<tTrellisServer enable=\"false\"/>", {}},
      {"<Trellis/>", {"0: no <tTrellisServer> element (nor <tTrellis> with <Server>): nothing is configured, no port "
                      "is created"}},
      {"<tTrellisServer enable=\"true\">\n" + north + "\n</tTrellisServer>",
       {"1: no SouthPort element: TableList and NorthPort elements are not read"}},
      {"<tTrellisServer enable=\"true\">\n<SouthPort type=\"tcp\" id=\"1\"/>\n" + north + "\n</tTrellisServer>",
       {"1: no TableList element: NorthPort elements are not read"}},
      {"<tTrellisServer enable=\"true\">\n<SouthPort type=\"tcp\" id=\"1\"/>\n<TableList/>\n" + north +
           "\n</tTrellisServer>",
       {"3: TableList has no Table element: it and any later TableList are not read",
        "4: north port rule ip=\"*\" names table 1, which does not exist: rule ignored",
        "4: NorthPort id 1: none of its Table rules names an existing table: it admits no master",
        "2: SouthPort id 1 is not named by any table Item: no request reaches it"}},
  };
  for (const auto &f : files) {
    const result r = check(f.xml);
    EXPECT_EQ(r.rc, f.expected.empty() ? CONFIG_CHECK_CLEAN : CONFIG_CHECK_PROBLEMS) << f.xml;
    std::vector<std::string> sorted_expected = f.expected;
    std::stable_sort(sorted_expected.begin(), sorted_expected.end(),
                     [](const std::string &a, const std::string &b) { return std::stoi(a) < std::stoi(b); });
    EXPECT_EQ(r.lines, sorted_expected) << f.xml;
  }
}

}  // namespace
