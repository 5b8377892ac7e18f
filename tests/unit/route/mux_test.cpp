#include "route/mux.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "route/northport_table.h"
#include "route_test_util.h"

namespace {

class fake_south final : public south_port {
 public:
  int push_request(mb_frame *frame) override {
    pushed.push_back(frame);
    return answer;
  }
  int start(void *, void *) override { return 0; }
  int get_mode() override { return mode; }

  int answer = 0;
  int mode = 0;
  std::vector<mb_frame *> pushed;
};

class fake_north final : public north_port {
 public:
  int start() override { return 0; }
};

struct delivery {
  north_port *port;
  mb_frame *frame;
  uint32_t south_id;
  int mode;
};
std::vector<delivery> g_deliveries;

int record_send(north_port *port, mb_frame *frame, uint32_t south_id, int mode) {
  g_deliveries.push_back({port, frame, south_id, mode});
  return 0;
}

struct frame_deleter {
  void operator()(mb_frame *f) const { mb_frame_destroy(f); }
};

class MuxTest : public ::testing::Test {
 protected:
  void SetUp() override { g_deliveries.clear(); }

  // A routing table from <Item> elements, registered under `id`.
  table *add_table(int id, const std::string &items) {
    conf_doc d("<Table>" + items + "</Table>");
    int ignored = 0;
    tables_.emplace_back(table_cerate(d.root("Table"), &ignored));
    EXPECT_EQ(mux_register_table(m_.get(), id, tables_.back().get()), 0);
    return tables_.back().get();
  }

  mb_frame *frame(uint8_t req_id) {
    const uint8_t bytes[] = {req_id, 0x03, 0x00, 0x00, 0x00, 0x01};
    frames_.emplace_back(mb_frame_create(bytes, 6, nullptr, nullptr, nullptr, req_id, 0, 0, 0));
    return frames_.back().get();
  }

  std::unique_ptr<mux> m_{mux_create()};
  std::vector<std::unique_ptr<table>> tables_;
  std::vector<std::unique_ptr<mb_frame, frame_deleter>> frames_;
  fake_south south1_, south2_;
};

TEST_F(MuxTest, ListedItemWinsOverTheStarItem) {
  mux_register_southport(m_.get(), 1, &south1_, 1);
  mux_register_southport(m_.get(), 2, &south2_, 1);
  table *t = add_table(1, R"(<Item node_id_req="5" node_id_phy="17" south_port="2"/><Item south_port="1"/>)");
  mb_frame *listed = frame(5);
  EXPECT_EQ(mux_push_request(m_.get(), t, listed), 0);
  EXPECT_EQ(mb_frame_get_phy_id(listed), 17);
  ASSERT_EQ(south2_.pushed.size(), 1u);
  mb_frame *other = frame(7);
  EXPECT_EQ(mux_push_request(m_.get(), t, other), 0);
  EXPECT_EQ(mb_frame_get_phy_id(other), 7);  // "*" phy keeps the req id
  EXPECT_EQ(south1_.pushed, std::vector<mb_frame *>{other});
}

TEST_F(MuxTest, StarItemWithPhyIdReplacesTheUnitId) {
  mux_register_southport(m_.get(), 1, &south1_, 1);
  table *t = add_table(1, R"(<Item node_id_req="*" node_id_phy="9" south_port="1"/>)");
  mb_frame *f = frame(7);
  EXPECT_EQ(mux_push_request(m_.get(), t, f), 0);
  EXPECT_EQ(mb_frame_get_phy_id(f), 9);
}

TEST_F(MuxTest, ListedItemWithPhyZeroIsABroadcast) {
  mux_register_southport(m_.get(), 1, &south1_, 1);
  table *t = add_table(1, R"(<Item node_id_req="4" node_id_phy="0" south_port="1"/>)");
  mb_frame *f = frame(4);
  EXPECT_EQ(mux_push_request(m_.get(), t, f), 0);
  EXPECT_TRUE(mb_frame_is_broadcast(f));
}

TEST_F(MuxTest, RoutingFailuresReturnMinusOne) {
  mux_register_southport(m_.get(), 1, &south1_, 1);
  table *no_star = add_table(1, R"(<Item node_id_req="1" south_port="1"/><Item node_id_req="2" south_port="1"/>)");
  mb_frame *f = frame(3);
  std::string log = logged(3, [&] { EXPECT_EQ(mux_push_request(m_.get(), no_star, f), -1); });
  EXPECT_NE(log.find("fail to get item"), std::string::npos) << log;
  EXPECT_TRUE(mb_frame_is_broadcast(f));  // stamped with phy 0 until the next attempt

  table *to_missing = add_table(2, R"(<Item south_port="4"/>)");
  log = logged(3, [&] { EXPECT_EQ(mux_push_request(m_.get(), to_missing, frame(3)), -1); });
  EXPECT_NE(log.find("fail to get south port "), std::string::npos) << log;

  table *to_invalid = add_table(3, R"(<Item south_port="300"/>)");
  EXPECT_EQ(mux_push_request(m_.get(), to_invalid, frame(3)), -1);
  EXPECT_TRUE(south1_.pushed.empty());
}

TEST_F(MuxTest, BusySouthPortAnswerIsPassedBack) {
  south1_.answer = 1;
  mux_register_southport(m_.get(), 1, &south1_, 1);
  table *t = add_table(1, R"(<Item south_port="1"/>)");
  EXPECT_EQ(mux_push_request(m_.get(), t, frame(1)), 1);
  south1_.answer = -1;
  EXPECT_EQ(mux_push_request(m_.get(), t, frame(1)), -1);
}

TEST_F(MuxTest, IdsOutsideTheSlotsAreRefused) {
  std::string log = logged(3, [&] {
    EXPECT_EQ(mux_register_southport(m_.get(), 256, &south1_, 1), -1);
    EXPECT_EQ(mux_register_southport(m_.get(), -1, &south1_, 1), -1);
    EXPECT_EQ(mux_register_northport(m_.get(), 256, nullptr, record_send), -1);
    EXPECT_EQ(mux_register_table(m_.get(), 257, nullptr), -1);
    EXPECT_EQ(mux_get_table(m_.get(), 257), nullptr);
    EXPECT_EQ(mux_get_table(m_.get(), 4), nullptr);
  });
  EXPECT_NE(log.find("id 256"), std::string::npos) << log;
  EXPECT_NE(log.find("id -1"), std::string::npos) << log;
  EXPECT_NE(log.find("Table id 257"), std::string::npos) << log;
  EXPECT_NE(log.find("fail register directory, unable to find table "), std::string::npos) << log;
  EXPECT_EQ(mux_register_southport(m_.get(), 255, &south1_, 1), 0);
  table *t = add_table(256, R"(<Item south_port="255"/>)");
  EXPECT_EQ(mux_get_table(m_.get(), 256), t);
}

class MuxTransparentTest : public MuxTest {
 protected:
  northport_table *rule(table *t) {
    rules_.push_back(std::make_unique<northport_table>());
    rules_.back()->table = t;
    return rules_.back().get();
  }
  std::vector<std::unique_ptr<northport_table>> rules_;
  fake_north north_a_, north_b_;
};

TEST_F(MuxTransparentTest, FanOutFollowsAttachOrderAndPairsRegisterOnce) {
  south1_.mode = 2;
  mux_register_southport(m_.get(), 1, &south1_, 2);
  table *t = add_table(1, R"(<Item south_port="1"/>)");
  mux_register_northport(m_.get(), 7, &north_b_, record_send);
  mux_register_northport(m_.get(), 3, &north_a_, record_send);
  EXPECT_EQ(mux_register_transparent_northport_to_southport(m_.get(), 7, rule(t)), 0);
  EXPECT_EQ(mux_register_transparent_northport_to_southport(m_.get(), 3, rule(t)), 0);
  EXPECT_EQ(mux_register_transparent_northport_to_southport(m_.get(), 7, rule(t)), 0);
  EXPECT_EQ(m_->southport_list[1]->northports->size(), 2u);

  mb_frame *f = frame(1);
  EXPECT_EQ(mux_send_to_northport(m_.get(), 1, f), 0);
  ASSERT_EQ(g_deliveries.size(), 2u);
  EXPECT_EQ(g_deliveries[0].port, &north_b_);
  EXPECT_EQ(g_deliveries[1].port, &north_a_);
  for (const delivery &d : g_deliveries) {
    EXPECT_EQ(d.frame, f);
    EXPECT_EQ(d.south_id, 1u);
    EXPECT_EQ(d.mode, 2);
  }
  g_deliveries.clear();
  EXPECT_EQ(mux_send_to_northport(m_.get(), 2, f), 0);  // nothing attached there
  EXPECT_TRUE(g_deliveries.empty());
}

TEST_F(MuxTransparentTest, NothingIsBoundWithoutAStarItemOrNorthEntry) {
  mux_register_southport(m_.get(), 1, &south1_, 2);
  table *no_star = add_table(1, R"(<Item node_id_req="1" south_port="1"/>)");
  mux_register_northport(m_.get(), 3, &north_a_, record_send);
  std::string log =
      logged(4, [&] { EXPECT_EQ(mux_register_transparent_northport_to_southport(m_.get(), 3, rule(no_star)), 1); });
  EXPECT_NE(log.find("no \"*\" item"), std::string::npos) << log;
  for (const auto &south : m_->southport_list) {
    if (south) {
      EXPECT_EQ(south->northports->size(), 0u);
    }
  }

  table *t = add_table(2, R"(<Item south_port="1"/>)");
  log = logged(7, [&] { EXPECT_EQ(mux_register_transparent_northport_to_southport(m_.get(), 256, rule(t)), 1); });
  EXPECT_NE(log.find("RVON(mux->northport_list[ north_port_id ],1) failed"), std::string::npos) << log;
  EXPECT_EQ(m_->southport_list[1]->northports->size(), 0u);
}

}  // namespace
