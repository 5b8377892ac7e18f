#include "north/client_admission.h"

#include <gtest/gtest.h>

namespace {

admission_client_view view(uint32_t blank, bool idle, const char *addr = "a") {
  admission_client_view v;
  v.blank_count = blank;
  v.idle = idle;
  v.address_text = addr;
  return v;
}

admission_decision at_limit(int32_t method, const std::vector<admission_client_view> &clients,
                            client_list_order order = client_list_order::newest_first, const char *addr = "x") {
  return client_admission_at_limit(method, clients, order, addr, static_cast<int32_t>(clients.size()));
}

// Each policy in both list orders is proven end to end by the process tests;
// here the edges they do not reach.
TEST(ClientAdmission, AddressTextAndPolicyEdges) {
  EXPECT_EQ(client_admission_address_text("::ffff:10.0.0.255"), "10.0.0.255");
  EXPECT_EQ(client_admission_address_text("2001:db8::5"), "2001:db8::5");

  // Among equally lazy clients the first walked goes, whatever the order.
  EXPECT_EQ(at_limit(MAX_CONN_DROP_MOST_LAZY, {view(0, false), view(0, false)}).victim, 0u);
  EXPECT_EQ(at_limit(MAX_CONN_DROP_OLDEST, {view(0, false), view(0, false)}, client_list_order::oldest_first).victim,
            0u);
  // The whole address text must be equal: 127.0.0.11 is not 127.0.0.1.
  const std::vector<admission_client_view> ips = {view(0, false, "::ffff:127.0.0.1")};
  EXPECT_EQ(at_limit(MAX_CONN_DROP_SAME_IP, ips, client_list_order::newest_first, "::ffff:127.0.0.11").action,
            admission_action::refuse);
  // With no client to drop, every dropping policy refuses.
  for (int32_t m : {MAX_CONN_DROP_OLDEST, MAX_CONN_DROP_MOST_LAZY, MAX_CONN_WAIT_TIMEOUT, MAX_CONN_DROP_SAME_IP})
    EXPECT_EQ(at_limit(m, {}).action, admission_action::refuse) << m;
}

TEST(ClientActivity, BlankCountSaturatesAndIdleNeedsMoreThanIdleTime) {
  client_activity a;
  a.last_rx_tick = 0xFFFFFF00u;  // across the tick wrap
  for (uint32_t i = 0; i < 6; ++i) client_activity_update(&a, 0, 1000, 0xFFFFFF00u + i);
  EXPECT_EQ(a.blank_count.load(), 4u);
  EXPECT_EQ(client_activity_update(&a, 0, 1000, 0xFFFFFF00u + 1000), receive_outcome::quiet);
  EXPECT_EQ(client_activity_update(&a, 0, 1000, 0xFFFFFF00u + 1001), receive_outcome::idle);
  EXPECT_EQ(a.idle.load(), 1);
  EXPECT_EQ(client_activity_update(&a, 3, 1000, 5), receive_outcome::data);
  EXPECT_EQ(a.idle.load(), 0);
  EXPECT_EQ(a.blank_count.load(), 0u);
  EXPECT_EQ(client_activity_update(&a, -1, 1000, 6), receive_outcome::gone);
  // idle_time 0 never times out.
  EXPECT_EQ(client_activity_update(&a, 0, 0, 0x7FFFFFFFu), receive_outcome::quiet);
}

}  // namespace
