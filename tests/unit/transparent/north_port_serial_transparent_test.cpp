// The north serial transparent port: answers and broadcasts for a closed
// line, and blocks kept for a busy south port.
#include "transparent/north_port_serial_transparent.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>
#include <mutex>
#include <vector>

#include "platform/plat_log.h"
#include "platform/plat_serial.h"
#include "route/mux.h"
#include "route/table.h"
#include "south/south_test_util.h"

namespace {

using namespace south_test;
using namespace north_serial_transparent;

// A south port that keeps what it is offered (or answers busy).
class fake_south final : public south_port {
 public:
  int push_request(mb_frame *frame) override {
    std::scoped_lock lock(m);
    if (busy) return 1;
    taken.push_back(frame);
    return 0;
  }
  int start(void *, void *) override { return 0; }
  mb_frame *take(size_t i) {
    std::scoped_lock lock(m);
    return i < taken.size() ? taken[i] : nullptr;
  }
  size_t count() {
    std::scoped_lock lock(m);
    return taken.size();
  }
  std::mutex m;  // guards busy and taken
  bool busy = false;
  std::vector<mb_frame *> taken;
};

constexpr const char *kTables = R"(<TableList>
  <Table id="1"><Item node_id_req="*" south_port="1"/></Table>
  <Table id="2"><Item node_id_req="*" south_port="1"/></Table>
</TableList>)";

class NorthSerialTransparentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    plat_log_set_level(3);
    m_.reset(mux_create());
    tw_conf_node *doc = tw_conf_open_xml_string(kTables, TW_CONF_ARRAY_NAMES);
    tw_conf_node *lists = tw_conf_node_child_query(doc, "TableList", nullptr);
    uint32_t lit = 0;
    tw_conf_node *tables = tw_conf_node_child_query(tw_conf_node_child_query(lists, nullptr, &lit), "Table", nullptr);
    uint32_t it = 0;
    while (tw_conf_node *e = tw_conf_node_child_query(tables, nullptr, &it)) {
      int id = 0;
      tables_.emplace_back(table_cerate(e, &id));
      mux_register_table(m_.get(), id, tables_.back().get());
    }
    tw_conf_node_close(doc);
    mux_register_southport(m_.get(), 1, &south1_, 2);
  }
  std::unique_ptr<port> create(const std::string &north_xml) {
    tw_conf_node *doc = tw_conf_open_xml_string(north_xml.c_str(), TW_CONF_ARRAY_NAMES);
    uint32_t it = 0;
    tw_conf_node *e = tw_conf_node_child_query(tw_conf_node_child_query(doc, "NorthPort", nullptr), nullptr, &it);
    auto p = north_port_serial_transparent_create(e, m_.get());
    tw_conf_node_close(doc);
    return p;
  }
  std::unique_ptr<mux> m_;
  std::vector<std::unique_ptr<table>> tables_;
  fake_south south1_;
};

// Binding itself is the mux's (tests/unit/route); the port pushes with its
// last table and stays out of the mux when it is not created.
TEST_F(NorthSerialTransparentTest, TheLastTableIsPushedWith) {
  EXPECT_EQ(create(R"(<NorthPort type="serial_transparent_transmission" id="3"/>)"), nullptr);
  EXPECT_EQ(m_->northport_list[3]->port, nullptr);
  auto p = create(R"(<NorthPort type="serial_transparent_transmission" id="4" port="2">
      <Table ip="*" id="2"/><Table ip="*" id="9"/><Table ip="*" id="1"/></NorthPort>)");
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->push_table(), tables_[0].get());
}

TEST_F(NorthSerialTransparentTest, AnAnswerOrBroadcastForAClosedLineIsNotWrittenAndTheAnswerIsReleased) {
  auto p = create(R"(<NorthPort type="serial_transparent_transmission" id="1"><Table ip="*" id="1"/></NorthPort>)");
  ASSERT_NE(p, nullptr);
  const bytes b{1, 2, 3};
  mb_frame *f = mb_frame_create_raw(b.data(), 3, on_rsp_callback, p.get(), nullptr);
  mb_frame_add_ref(f);
  EXPECT_EQ(north_port_send_all(p.get(), f, 1, 2), 1);
  EXPECT_EQ(f->ref.load(), 2u) << "a broadcast frame is only borrowed";
  do_call_back(f);
  EXPECT_EQ(f->ref.load(), 1u) << "the answer's reference is released even with the line closed";
  mb_frame_release(f);
}

class NorthSerialTransparentLineTest : public NorthSerialTransparentTest {
 protected:
  void SetUp() override {
    NorthSerialTransparentTest::SetUp();
    ASSERT_GE(pty_.master, 0);
    plat_serial_set_prefix(pty_.prefix.c_str());
    pty_.link_port(1);
    p_ = create(R"(<NorthPort type="serial_transparent_transmission" id="1" time_interval="30" north_list_size="2">
        <Table ip="*" id="1"/></NorthPort>)");
    ASSERT_NE(p_, nullptr);
    p_->start();
    ASSERT_TRUE(wait_until([&] { return p_->line_open() && p_->threads_running(); }, 3000));
  }
  void TearDown() override {
    p_.reset();
    for (mb_frame *f : south1_.taken) mb_frame_release(f);
  }
  pty_pair pty_;
  std::unique_ptr<port> p_;
};

TEST_F(NorthSerialTransparentLineTest, ABusySouthPortKeepsTheBlockAndAFullListKeepsTheNewest) {
  {
    std::scoped_lock lock(south1_.m);
    south1_.busy = true;
  }
  for (const char *block : {"\x01", "\x02", "\x03"}) {
    ASSERT_EQ(write(pty_.master, block, 1), 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(80));  // a silence: one block each
  }
  ASSERT_TRUE(wait_until([&] { return p_->queued() == 1; }, 2000));  // the full list of 2 was flushed
  {
    std::scoped_lock lock(south1_.m);
    south1_.busy = false;
  }
  // A refused offer is made again (here by the sender's period: the fake
  // port wakes nobody).
  ASSERT_TRUE(wait_until([&] { return south1_.count() == 1; }, 2000));
  uint32_t len = 0;
  const uint8_t *d = mb_frame_get_data(south1_.take(0), &len);
  EXPECT_EQ(bytes(d, d + len), bytes{3});
}

}  // namespace
