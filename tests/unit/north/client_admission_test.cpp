#include "north/client_admission.h"

#include <gtest/gtest.h>

#include "platform/tw_conf.h"

namespace {

admission_client_view view(uint32_t blank, bool idle, const char *addr) {
  admission_client_view v;
  v.blank_count = blank;
  v.idle = idle;
  v.address_text = addr;
  return v;
}

TEST(ClientAdmission, MethodTextsAreExact) {
  EXPECT_EQ(max_conn_method_from_text("reject"), MAX_CONN_REJECT);
  EXPECT_EQ(max_conn_method_from_text("drop_oldest_connect"), MAX_CONN_DROP_OLDEST);
  EXPECT_EQ(max_conn_method_from_text("drop_most_lazy"), MAX_CONN_DROP_MOST_LAZY);
  EXPECT_EQ(max_conn_method_from_text("wait_timeout"), MAX_CONN_WAIT_TIMEOUT);
  EXPECT_EQ(max_conn_method_from_text("drop_same_ip"), MAX_CONN_DROP_SAME_IP);
  EXPECT_EQ(max_conn_method_from_text("Reject"), MAX_CONN_METHOD_UNKNOWN);
  EXPECT_EQ(max_conn_method_from_text("drop_oldest"), MAX_CONN_METHOD_UNKNOWN);
  EXPECT_EQ(max_conn_method_from_text(nullptr), MAX_CONN_METHOD_UNKNOWN);
}

TEST(ClientAdmission, SettingsDefaultsAndGuards) {
  tw_conf_node *doc = tw_conf_open_xml_string(
      R"(<r><NorthPort type="tcp"/><NorthPort type="tcp" max_conn="0" north_list_size="-3" time_interval="-5" max_conn_method="bogus" idle_time="0"/></r>)",
      TW_CONF_ARRAY_NAMES);
  ASSERT_NE(doc, nullptr);
  tw_conf_node *root = tw_conf_node_child_query(doc, "r", nullptr);
  ASSERT_NE(root, nullptr);
  tw_conf_node *ports = tw_conf_node_child_query(root, "NorthPort", nullptr);
  ASSERT_NE(ports, nullptr);
  uint32_t it = 0;
  tcp_server_settings a = tcp_server_settings_read(tw_conf_node_child_query(ports, nullptr, &it));
  tcp_server_settings b = tcp_server_settings_read(tw_conf_node_child_query(ports, nullptr, &it));
  tw_conf_node_close(doc);

  EXPECT_EQ(a.max_conn, 16);
  EXPECT_EQ(a.max_conn_method, MAX_CONN_REJECT);
  EXPECT_EQ(a.idle_time, 1000);
  EXPECT_EQ(a.tcp_port, 502);
  EXPECT_EQ(a.time_interval, 50);
  EXPECT_EQ(a.north_list_size, 1);
  EXPECT_EQ(a.id, 255);

  EXPECT_EQ(b.max_conn, 1);
  EXPECT_EQ(b.north_list_size, 1);
  EXPECT_EQ(b.time_interval, 0);
  EXPECT_EQ(b.max_conn_method, MAX_CONN_METHOD_UNKNOWN);
  EXPECT_EQ(b.idle_time, 0);
}

TEST(ClientAdmission, MappedIpv4IsMatchedByItsDottedText) {
  EXPECT_EQ(client_admission_address_text("::ffff:192.168.1.10"), "192.168.1.10");
  EXPECT_EQ(client_admission_address_text("::ffff:10.0.0.255"), "10.0.0.255");
  EXPECT_EQ(client_admission_address_text("::ffff:127.0.0.1"), "127.0.0.1");
  EXPECT_EQ(client_admission_address_text("::1"), "::1");
  EXPECT_EQ(client_admission_address_text("2001:db8::5"), "2001:db8::5");
}

TEST(ClientAdmission, RejectAndUnknownMethod) {
  std::vector<admission_client_view> clients = {view(0, false, "a"), view(4, true, "b")};
  EXPECT_EQ(client_admission_at_limit(MAX_CONN_REJECT, clients, client_list_order::newest_first, "c", 2).action,
            admission_action::reject);
  EXPECT_EQ(client_admission_at_limit(0, clients, client_list_order::newest_first, "c", 2).action,
            admission_action::admit);
  EXPECT_EQ(client_admission_at_limit(17, clients, client_list_order::newest_first, "c", 2).action,
            admission_action::admit);
}

TEST(ClientAdmission, DropOldestDependsOnListOrder) {
  std::vector<admission_client_view> clients = {view(0, false, "a"), view(0, false, "b"), view(0, false, "c")};
  admission_decision d =
      client_admission_at_limit(MAX_CONN_DROP_OLDEST, clients, client_list_order::newest_first, "x", 3);
  EXPECT_EQ(d.action, admission_action::remove_then_admit);
  EXPECT_EQ(d.victim, 2u);
  d = client_admission_at_limit(MAX_CONN_DROP_OLDEST, clients, client_list_order::oldest_first, "x", 3);
  EXPECT_EQ(d.victim, 0u);
}

TEST(ClientAdmission, MostLazyTakesTheHighestCountFirstWalkedAmongEquals) {
  // Newest first: among equal counts the newest (first walked) goes.
  std::vector<admission_client_view> clients = {view(2, false, "n"), view(4, false, "m"), view(4, false, "o")};
  admission_decision d =
      client_admission_at_limit(MAX_CONN_DROP_MOST_LAZY, clients, client_list_order::newest_first, "x", 3);
  EXPECT_EQ(d.action, admission_action::remove_then_admit);
  EXPECT_EQ(d.victim, 1u);
  std::vector<admission_client_view> zeros = {view(0, false, "n"), view(0, false, "o")};
  d = client_admission_at_limit(MAX_CONN_DROP_MOST_LAZY, zeros, client_list_order::newest_first, "x", 2);
  EXPECT_EQ(d.victim, 0u);
  d = client_admission_at_limit(MAX_CONN_DROP_MOST_LAZY, {}, client_list_order::newest_first, "x", 1);
  EXPECT_EQ(d.action, admission_action::refuse);
}

TEST(ClientAdmission, WaitTimeoutNeedsAnIdleClient) {
  std::vector<admission_client_view> busy = {view(4, false, "a"), view(4, false, "b")};
  EXPECT_EQ(client_admission_at_limit(MAX_CONN_WAIT_TIMEOUT, busy, client_list_order::newest_first, "x", 2).action,
            admission_action::refuse);
  std::vector<admission_client_view> some = {view(0, false, "a"), view(4, true, "b"), view(4, true, "c")};
  admission_decision d =
      client_admission_at_limit(MAX_CONN_WAIT_TIMEOUT, some, client_list_order::newest_first, "x", 3);
  EXPECT_EQ(d.action, admission_action::remove_then_admit);
  EXPECT_EQ(d.victim, 1u);
}

TEST(ClientAdmission, SameIpComparesTheFullAddressText) {
  std::vector<admission_client_view> clients = {view(0, false, "::ffff:127.0.0.2"),
                                                view(0, false, "::ffff:127.0.0.1")};
  admission_decision d = client_admission_at_limit(MAX_CONN_DROP_SAME_IP, clients, client_list_order::newest_first,
                                                   "::ffff:127.0.0.1", 2);
  EXPECT_EQ(d.action, admission_action::remove_then_admit);
  EXPECT_EQ(d.victim, 1u);
  d = client_admission_at_limit(MAX_CONN_DROP_SAME_IP, clients, client_list_order::newest_first,
                                "::ffff:127.0.0.11", 2);
  EXPECT_EQ(d.action, admission_action::refuse);
}

TEST(ClientActivity, BlankCountSaturatesAndDataResetsIt) {
  client_activity a;
  a.last_rx_tick = 1000;
  for (int i = 0; i < 7; ++i) EXPECT_EQ(client_activity_update(&a, 0, 0, 1000 + i), receive_outcome::quiet);
  EXPECT_EQ(a.blank_count.load(), 4u);
  EXPECT_EQ(client_activity_update(&a, 5, 0, 2000), receive_outcome::data);
  EXPECT_EQ(a.blank_count.load(), 0u);
  EXPECT_EQ(a.last_rx_tick.load(), 2000u);
  EXPECT_EQ(client_activity_update(&a, -1, 0, 2001), receive_outcome::gone);
}

TEST(ClientActivity, IdleOnlyAfterMoreThanIdleTime) {
  client_activity a;
  a.last_rx_tick = 0xFFFFFF00u;  // across the tick wrap
  EXPECT_EQ(client_activity_update(&a, 0, 1000, 0xFFFFFF00u + 1000), receive_outcome::quiet);
  EXPECT_EQ(a.idle.load(), 0);
  EXPECT_EQ(client_activity_update(&a, 0, 1000, 0xFFFFFF00u + 1001), receive_outcome::idle);
  EXPECT_EQ(a.idle.load(), 1);
  EXPECT_EQ(client_activity_update(&a, 3, 1000, 5), receive_outcome::data);
  EXPECT_EQ(a.idle.load(), 0);
  // idle_time 0 never times out.
  client_activity b;
  EXPECT_EQ(client_activity_update(&b, 0, 0, 0x7FFFFFFFu), receive_outcome::quiet);
}

}  // namespace
