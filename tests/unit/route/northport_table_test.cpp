#include "route/northport_table.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/plat_socket.h"
#include "route/mux.h"
#include "route_test_util.h"

namespace {

class NorthportTableTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (int id : {1, 2}) {
      tables_.push_back(std::make_unique<table>());
      mux_register_table(m_.get(), id, tables_.back().get());
    }
  }
  table *table_id(int id) { return m_->table_list[id]; }

  // One rule from a <Table> element's attributes; null when refused.
  northport_table *create(const std::string &attrs, const char *port_type = "tcp", std::string *out_ip = nullptr,
                          std::string *log = nullptr) {
    conf_doc d("<Table " + attrs + "/>");
    northport_table *npt = nullptr;
    std::string text = logged(7, [&] { npt = northport_table_create(d.root("Table"), m_.get(), out_ip, port_type); });
    if (log) *log = text;
    if (npt) owned_.emplace_back(npt);
    return npt;
  }

  // Rules built like a network north port does, in configuration order.
  northport_rules rules(const std::vector<std::string> &attrs) {
    northport_rules r;
    for (const std::string &a : attrs) {
      northport_table *npt = create(a);
      EXPECT_NE(npt, nullptr) << a;
      if (!npt) continue;
      owned_.back().release();  // the rules own it now
      owned_.pop_back();
      northport_rules_add(&r, npt);
    }
    return r;
  }

  std::unique_ptr<mux> m_{mux_create()};
  std::vector<std::unique_ptr<table>> tables_;
  std::vector<std::unique_ptr<northport_table>> owned_;
};

TEST_F(NorthportTableTest, NetMaskAdmitsItsNetworkOnly) {
  northport_rules r = rules({R"(ip="192.168.1.0/24" id="1")"});
  EXPECT_EQ(r.tables->ip, "192.168.1.0");
  EXPECT_EQ(r.tables->mask_len, "24");
  EXPECT_NE(northport_rules_match_tcp(&r, "192.168.1.77"), nullptr);
  EXPECT_EQ(northport_rules_match_tcp(&r, "192.168.2.1"), nullptr);
  northport_rules one = rules({R"(ip="1.2.3.4/32" id="1")"});
  EXPECT_NE(northport_rules_match_udp(&one, "1.2.3.4"), nullptr);
  EXPECT_EQ(northport_rules_match_udp(&one, "1.2.3.5"), nullptr);
}

TEST_F(NorthportTableTest, RangeComparesNumerically) {
  northport_rules r = rules({R"(ip="10.0.0.5-10.0.0.9" id="1")"});
  EXPECT_EQ(r.tables->ip_type, IP_RANGE);
  EXPECT_EQ(r.tables->ip_start, "10.0.0.5");
  EXPECT_EQ(r.tables->ip_end, "10.0.0.9");
  EXPECT_NE(northport_rules_match_tcp(&r, "10.0.0.5"), nullptr);
  EXPECT_NE(northport_rules_match_tcp(&r, "10.0.0.9"), nullptr);
  EXPECT_EQ(northport_rules_match_tcp(&r, "10.0.0.10"), nullptr);  // textually between, numerically not
  EXPECT_EQ(northport_rules_match_tcp(&r, "10.0.0.4"), nullptr);
  northport_rules wide = rules({R"(ip="10.0.0.5-10.0.0.100" id="1")"});
  EXPECT_NE(northport_rules_match_tcp(&wide, "10.0.0.10"), nullptr);
}

TEST_F(NorthportTableTest, SingleAddressIsAnExactTextMatch) {
  northport_rules r = rules({R"(ip="192.168.1.5" id="1")", R"(ip="192.168.001.006" id="2")"});
  EXPECT_NE(northport_rules_match_tcp(&r, "192.168.1.5"), nullptr);
  EXPECT_EQ(northport_rules_match_tcp(&r, "192.168.001.005"), nullptr);
  EXPECT_EQ(northport_rules_match_tcp(&r, "192.168.1.6"), nullptr);
  EXPECT_NE(northport_rules_match_tcp(&r, "192.168.001.006"), nullptr);
}

TEST_F(NorthportTableTest, MalformedRulesAreRefused) {
  for (const char *ip : {"1.2.3.4/0", "1.2.3.4/33", "1.2.3.4/01", "1.2.3.4/", "1.2.3/24", "**", "*.*", "256.1.1.1",
                         "1.2.3", "1.2.3.4-1.2.3", "1.2.3.4-", "a.b.c.d", "1.2.3.4 ", " *", ""}) {
    SCOPED_TRACE(ip);
    std::string log;
    EXPECT_EQ(create(std::string("ip=\"") + ip + "\" id=\"1\"", "tcp", nullptr, &log), nullptr);
    EXPECT_NE(log.find("The IP parameter is invalid"), std::string::npos) << log;
  }
  std::string log;
  create(R"(ip="10.0.0.1 " id="1")", "tcp", nullptr, &log);
  EXPECT_NE(log.find("The IP parameter is invalid\n"), std::string::npos);
}

TEST_F(NorthportTableTest, AcceptedForms) {
  for (const char *ip : {"1.2.3.4/1", "1.2.3.4/9", "1.2.3.4/19", "1.2.3.4/30", "255.255.255.255", "0.0.0.0",
                         "249.200.199.99", "1.2.3.4-5.6.7.8"}) {
    SCOPED_TRACE(ip);
    EXPECT_NE(create(std::string("ip=\"") + ip + "\" id=\"1\""), nullptr);
  }
}

TEST_F(NorthportTableTest, MissingRoutingTableRefusesTheRule) {
  std::string log;
  EXPECT_EQ(create(R"(ip="*" id="9")", "tcp", nullptr, &log), nullptr);
  EXPECT_NE(log.find("The table information contained in the north port TCP is inconsistent"), std::string::npos);
  EXPECT_EQ(create(R"(ip="*")"), nullptr);  // default id 255 has no table either
}

TEST_F(NorthportTableTest, RtuFlagFollowsThePortType) {
  const std::string both = R"(ip="*" id="1" rtu_over_tcp="true" rtu_over_udp="false")";
  EXPECT_EQ(create(both, "tcp")->rtu_over, 1);
  EXPECT_EQ(create(both, "udp")->rtu_over, 0);
  EXPECT_EQ(create(R"(ip="*" id="1" rtu_over_udp="true")", "udp")->rtu_over, 1);
  EXPECT_EQ(create(R"(ip="*" id="1" rtu_over_tcp="TRUE")", "tcp")->rtu_over, 0);
}

TEST_F(NorthportTableTest, StarRuleAdmitsEveryClient) {
  std::string out;
  northport_table *any = create(R"(ip="*" id="2")", "tcp", &out);
  ASSERT_NE(any, nullptr);
  EXPECT_EQ(out, "*");
  EXPECT_EQ(any->table, table_id(2));

  northport_rules r = rules({R"(ip="*" id="1")", R"(ip="10.0.0.1" id="1")", R"(ip="*" id="2")"});
  EXPECT_EQ(r.any_table->table, table_id(2));  // a later "*" rule replaces the earlier one
  EXPECT_EQ(northport_rules_match_tcp(&r, "172.16.0.1"), r.any_table);
  EXPECT_EQ(northport_rules_match_udp(&r, "172.16.0.1"), r.any_table);
  EXPECT_EQ(northport_rules_match_tcp(&r, "10.0.0.1")->table, table_id(1));
  northport_rules none = rules({R"(ip="10.0.0.1" id="1")"});
  EXPECT_EQ(northport_rules_match_tcp(&none, "10.0.0.2"), nullptr);
}

TEST_F(NorthportTableTest, TcpTakesTheFirstConfiguredMatchUdpTheLast) {
  northport_rules r = rules({R"(ip="10.0.0.0/8" id="1")", R"(ip="10.1.0.0/16" id="2")"});
  EXPECT_EQ(northport_rules_match_tcp(&r, "10.1.2.3")->table, table_id(1));
  EXPECT_EQ(northport_rules_match_udp(&r, "10.1.2.3")->table, table_id(2));
  EXPECT_EQ(northport_rules_match_udp(&r, "10.2.0.1")->table, table_id(1));
}

TEST(AddressRules, Len2MaskIsNetworkOrder) {
  uint32_t mask = 0x12345678;
  EXPECT_EQ(len2mask(33, &mask), -1);
  EXPECT_EQ(len2mask(-1, &mask), -1);
  EXPECT_EQ(mask, 0x12345678u);
  ASSERT_EQ(len2mask(0, &mask), 0);
  EXPECT_EQ(mask, 0u);
  ASSERT_EQ(len2mask(20, &mask), 0);
  const auto *bytes = reinterpret_cast<const uint8_t *>(&mask);
  EXPECT_EQ(bytes[0], 0xFF);
  EXPECT_EQ(bytes[1], 0xFF);
  EXPECT_EQ(bytes[2], 0xF0);
  EXPECT_EQ(bytes[3], 0x00);
  ASSERT_EQ(len2mask(32, &mask), 0);
  EXPECT_EQ(mask, 0xFFFFFFFFu);
}

TEST(AddressRules, SameSegmentNeedsNonZeroInputs) {
  const uint32_t a = plat_inet_addr("192.168.1.1");
  EXPECT_EQ(chack_same_network_segment(a, plat_inet_addr("192.168.1.200"), 24), 1);
  EXPECT_EQ(chack_same_network_segment(a, plat_inet_addr("192.168.2.1"), 24), 0);
  EXPECT_EQ(chack_same_network_segment(a, plat_inet_addr("192.168.2.1"), 16), 1);
  EXPECT_EQ(chack_same_network_segment(a, 0, 24), 0);
  EXPECT_EQ(chack_same_network_segment(a, a, 0), 0);
}

TEST(AddressRules, CheckIpTreatsABadPatternAsNoMatch) {
  EXPECT_EQ(check_ip("1.2.3.4", R"(^\d+\.)"), 1);
  std::string log = logged(7, [] { EXPECT_EQ(check_ip("1.2.3.4", "(("), 0); });
  EXPECT_NE(log.find("BOF(regex != PLAT_INVALID_HANDLE) failed"), std::string::npos) << log;
}

}  // namespace
