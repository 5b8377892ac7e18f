#include "route/northport_table.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "route/mux.h"
#include "route_test_util.h"

namespace {

class NorthportTableTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (table &t : tables_) mux_register_table(m_.get(), static_cast<int>(&t - tables_) + 1, &t);
  }

  // One rule from a <Table> element's attributes; null when refused.
  std::unique_ptr<northport_table> create(const std::string &attrs, const char *port_type = "tcp",
                                          std::string *out_ip = nullptr, std::string *log = nullptr) {
    conf_doc d("<Table " + attrs + "/>");
    northport_table *npt = nullptr;
    const std::string text =
        logged(7, [&] { npt = northport_table_create(d.root("Table"), m_.get(), out_ip, port_type); });
    if (log) *log = text;
    return std::unique_ptr<northport_table>(npt);
  }

  // Rules built like a network north port builds them, in file order.
  northport_rules rules(const std::vector<std::string> &attrs) {
    northport_rules r;
    for (const std::string &a : attrs) northport_rules_add(&r, create(a).release());
    return r;
  }
  bool tcp_admits(const northport_rules &r, const char *client) {
    return northport_rules_match_tcp(&r, client) != nullptr;
  }

  std::unique_ptr<mux> m_{mux_create()};
  table tables_[2];  // ids 1 and 2
};

TEST_F(NorthportTableTest, EachRuleFormAdmitsItsClients) {
  const struct {
    const char *ip, *client;
    bool admitted;
  } cases[] = {
      {"192.168.1.0/24", "192.168.1.77", true}, {"192.168.1.0/24", "192.168.2.1", false},
      {"1.2.3.4/32", "1.2.3.4", true},          {"1.2.3.4/32", "1.2.3.5", false},
      {"10.0.0.5-10.0.0.9", "10.0.0.5", true},  {"10.0.0.5-10.0.0.9", "10.0.0.9", true},
      {"10.0.0.5-10.0.0.9", "10.0.0.4", false}, {"10.0.0.5-10.0.0.9", "10.0.0.10", false},  // numeric, not text
      {"10.0.0.5-10.0.0.100", "10.0.0.10", true}, {"192.168.1.5", "192.168.1.5", true},
      {"192.168.1.5", "192.168.1.6", false},    {"192.168.1.5", "192.168.001.005", false},  // exact text only
      // Client texts that are no IPv4 address (an IPv6 peer that is not
      // IPv4-mapped) are inside no range and no network.
      {"255.255.255.0-255.255.255.255", "2001:db8::1", false}, {"0.0.0.0/1", "2001:db8::1", false},
      {"128.0.0.0/1", "fe80::1", false}, {"1.1.1.1-255.255.255.255", "not an address", false},
      {"1.1.1.1-255.255.255.255", "255.255.255.255", true},
  };
  for (const auto &c : cases) {
    northport_rules r = rules({std::string("ip=\"") + c.ip + "\" id=\"1\""});
    EXPECT_EQ(tcp_admits(r, c.client), c.admitted) << c.ip << " " << c.client;
    EXPECT_EQ(northport_rules_match_udp(&r, c.client) != nullptr, c.admitted) << c.ip << " " << c.client;
  }
}

// Malformed addresses, leading zeros (which no client text would ever match,
// and a lenient parser reads as octal) and table ids that are no numbers or
// name no table.
TEST_F(NorthportTableTest, MalformedRulesAreRefused) {
  for (const char *ip : {"1.2.3.4/0", "1.2.3.4/33", "1.2.3.4/01", "1.2.3.4/", "1.2.3/24", "**", "*.*", "256.1.1.1",
                         "1.2.3", "1.2.3.4-1.2.3", "a.b.c.d", "1.2.3.4 ", " *", "", "192.168.001.006",
                         "10.0.0.010-10.0.0.20", "10.0.0.1-10.0.0.020", "010.0.0.0/8", "00.1.2.3"})
    EXPECT_EQ(create(std::string("ip=\"") + ip + "\" id=\"1\""), nullptr) << ip;
  for (const char *ip : {"1.2.3.4/1", "1.2.3.4/19", "1.2.3.4/30", "255.255.255.255", "249.200.199.99"})
    EXPECT_NE(create(std::string("ip=\"") + ip + "\" id=\"1\""), nullptr) << ip;
  for (const char *id : {"abc", "1x", "", "0x1", "*", "9"})
    EXPECT_EQ(create(std::string(R"(ip="*" id=")") + id + "\""), nullptr) << id;
  EXPECT_EQ(create(R"(ip="*")"), nullptr);  // default id 255 has no table either
  EXPECT_NE(create(R"(ip="10.0.0.0/8" id=" 1 ")"), nullptr);
}

TEST_F(NorthportTableTest, RtuFlagFollowsThePortType) {
  const std::string both = R"(ip="*" id="1" rtu_over_tcp="true" rtu_over_udp="false")";
  EXPECT_EQ(create(both, "tcp")->rtu_over, 1);
  EXPECT_EQ(create(both, "udp")->rtu_over, 0);
  EXPECT_EQ(create(R"(ip="*" id="1" rtu_over_udp="true")", "udp_transparent_transmission")->rtu_over, 1);
  EXPECT_EQ(create(R"(ip="*" id="1" rtu_over_tcp="TRUE")", "tcp")->rtu_over, 0);
}

TEST_F(NorthportTableTest, StarCatchesTheRestTcpTakesTheFirstMatchUdpTheLast) {
  std::string out;
  EXPECT_EQ(create(R"(ip="*" id="2")", "tcp", &out)->table, &tables_[1]);
  EXPECT_EQ(out, "*");
  northport_rules r =
      rules({R"(ip="*" id="1")", R"(ip="10.0.0.0/8" id="1")", R"(ip="10.1.0.0/16" id="2")", R"(ip="*" id="2")"});
  EXPECT_EQ(r.any_table->table, &tables_[1]);  // a later "*" rule replaces the earlier one
  EXPECT_EQ(northport_rules_match_tcp(&r, "172.16.0.1"), r.any_table);
  EXPECT_EQ(northport_rules_match_udp(&r, "172.16.0.1"), r.any_table);
  EXPECT_EQ(northport_rules_match_tcp(&r, "10.1.2.3")->table, &tables_[0]);
  EXPECT_EQ(northport_rules_match_udp(&r, "10.1.2.3")->table, &tables_[1]);
  EXPECT_EQ(northport_rules_match_udp(&r, "10.2.0.1")->table, &tables_[0]);
}

}  // namespace
