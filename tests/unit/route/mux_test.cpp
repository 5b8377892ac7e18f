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
  int get_mode() override { return 2; }
  int answer = 0;
  std::vector<mb_frame *> pushed;
};

class fake_north final : public north_port {
 public:
  int start() override { return 0; }
};

std::vector<north_port *> g_sent_to;

int record_send(north_port *port, mb_frame *, uint32_t south_id, int mode) {
  EXPECT_EQ(south_id, 1u);
  EXPECT_EQ(mode, 2);
  g_sent_to.push_back(port);
  return 0;
}

struct frame_deleter {
  void operator()(mb_frame *f) const { mb_frame_destroy(f); }
};

class MuxTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_sent_to.clear();
    mux_register_southport(m_.get(), 1, &south1_, 1);
    mux_register_southport(m_.get(), 2, &south2_, 1);
  }

  // A routing table from <Item> elements, registered under `id`.
  table *add_table(int id, const std::string &items) {
    conf_doc d("<Table>" + items + "</Table>");
    int ignored = 0;
    tables_.emplace_back(table_cerate(d.root("Table"), &ignored));
    EXPECT_EQ(mux_register_table(m_.get(), id, tables_.back().get()), 0);
    return tables_.back().get();
  }

  // Pushes a request for req_id; returns the result, the frame in *out.
  int push(table *t, uint8_t req_id, mb_frame **out = nullptr) {
    const uint8_t bytes[] = {req_id, 0x03, 0x00, 0x00, 0x00, 0x01};
    frames_.emplace_back(mb_frame_create(bytes, 6, nullptr, nullptr, nullptr, req_id, 0, 0, 0));
    if (out) *out = frames_.back().get();
    return mux_push_request(m_.get(), t, frames_.back().get());
  }

  northport_table *rule(table *t) {
    rules_.push_back(std::make_unique<northport_table>());
    rules_.back()->table = t;
    return rules_.back().get();
  }

  std::unique_ptr<mux> m_{mux_create()};
  std::vector<std::unique_ptr<table>> tables_;
  std::vector<std::unique_ptr<mb_frame, frame_deleter>> frames_;
  std::vector<std::unique_ptr<northport_table>> rules_;
  fake_south south1_, south2_;
  fake_north north_a_, north_b_;
};

// Routing by unit id with phy ids and unroutable requests are proven end to
// end by the process tests; here the edges they do not reach.
TEST_F(MuxTest, RoutingEdges) {
  table *t = add_table(1, R"(<Item node_id_req="4" node_id_phy="0" south_port="1"/>
                             <Item node_id_req="5" south_port="300"/><Item node_id_req="6" south_port="4"/>)");
  mb_frame *f = nullptr;
  EXPECT_EQ(push(t, 4, &f), 0);
  EXPECT_TRUE(f->broadcast);  // a listed phy 0 is a broadcast
  south1_.answer = 1;
  EXPECT_EQ(push(t, 4), 1);  // a busy port's answer comes back
  logged(3, [&] {
    EXPECT_EQ(push(t, 3, &f), -1);  // no item, no "*"
    EXPECT_EQ(push(t, 5), -1);      // a south port id outside the slots
    EXPECT_EQ(push(t, 6), -1);      // no such south port
  });
  EXPECT_TRUE(f->broadcast);  // stamped with phy 0 until the next attempt
  EXPECT_EQ(south1_.pushed.size(), 2u);
  EXPECT_TRUE(south2_.pushed.empty());
}

TEST_F(MuxTest, IdsOutsideTheSlotsAreRefused) {
  logged(3, [&] {
    EXPECT_EQ(mux_register_southport(m_.get(), 256, &south1_, 1), -1);
    EXPECT_EQ(mux_register_northport(m_.get(), -1, &north_a_, record_send), -1);
    EXPECT_EQ(mux_register_table(m_.get(), 257, nullptr), -1);
    EXPECT_EQ(mux_get_table(m_.get(), 4), nullptr);
  });
  table *t = add_table(256, "");
  EXPECT_EQ(mux_get_table(m_.get(), 256), t);
}

// Transparent binding: once per pair, fan-out in attach order; it needs
// a "*" item and a north entry.
TEST_F(MuxTest, TransparentBindingAndFanOut) {
  table *t = add_table(1, R"(<Item south_port="1"/>)");
  table *no_star = add_table(2, R"(<Item node_id_req="1" south_port="1"/>)");
  mux_register_northport(m_.get(), 7, &north_b_, record_send);
  mux_register_northport(m_.get(), 3, &north_a_, record_send);
  for (int north_id : {7, 3, 7}) EXPECT_EQ(mux_register_transparent_northport_to_southport(m_.get(), north_id, rule(t)), 0);
  EXPECT_EQ(mux_send_to_northport(m_.get(), 1, nullptr), 0);
  EXPECT_EQ(g_sent_to, (std::vector<north_port *>{&north_b_, &north_a_}));
  g_sent_to.clear();
  EXPECT_EQ(mux_send_to_northport(m_.get(), 2, nullptr), 0);  // nothing attached there
  EXPECT_TRUE(g_sent_to.empty());

  logged(7, [&] {
    EXPECT_EQ(mux_register_transparent_northport_to_southport(m_.get(), 3, rule(no_star)), 1);
    EXPECT_EQ(mux_register_transparent_northport_to_southport(m_.get(), 256, rule(t)), 1);
  });
  EXPECT_EQ(m_->southport_list[1]->northports->size(), 2u);
}

}  // namespace
