#include "south/south_port_rtu.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "platform/plat_log.h"
#include "platform/plat_serial.h"
#include "platform/tw_conf.h"
#include "south/south_test_util.h"

namespace {

using namespace south_test;
using std::chrono::milliseconds;

size_t count_of(const std::string &text, const std::string &what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

class SouthRtuTest : public ::testing::Test {
 protected:
  void SetUp() override {
    plat_log_set_level(5);
    ASSERT_GE(pty_.master, 0);
    plat_serial_set_prefix(pty_.prefix.c_str());
    pty_.link_port(1);
    device_ = std::make_unique<fake_device>(pty_.master);
  }
  void TearDown() override {
    port_.reset();
    device_.reset();
  }

  void make_port(uint32_t timeout = 300, uint32_t cycle = 60000) {
    south_port_rtu_settings s;
    s.timeout = timeout;
    s.cache_polling_cycle = cycle;
    s.retry_ms = 100;
    port_ = std::make_unique<south_port_rtu>(s);
  }
  void start_port() {
    port_->start(nullptr, nullptr);
    ASSERT_TRUE(wait_until([&] { return port_->line_open() && port_->threads_running(); }, 3000));
  }
  // Offers a request until the port takes it, as a north port does (the
  // cache's refresh requests share the slot).
  void offer(mb_frame *f) {
    ASSERT_TRUE(wait_until([&] { return port_->push_request(f) == 0; }, 3000)) << "port stayed busy";
  }
  // The device answers every request with `reply` (CRC added).
  void answer_with(const bytes &reply) {
    device_->set_handler([reply](const bytes &) { return fake_device::script{{0, with_crc(reply)}}; });
  }

  pty_pair pty_;
  std::unique_ptr<fake_device> device_;
  reply_box box_;
  std::unique_ptr<south_port_rtu> port_;  // declared last: destroyed first
};

TEST_F(SouthRtuTest, GoodAnswerIsDeliveredAndTheSlotFreed) {
  make_port();
  start_port();
  answer_with({0x01, 0x03, 0x04, 0x00, 0x0A, 0x00, 0x0B});
  ASSERT_EQ(port_->push_request(request(box_, read_req(1, 3, 0, 2))), 0);
  ASSERT_TRUE(box_.wait_freed(1, 2000));
  ASSERT_EQ(box_.answer_count(), 1u);
  EXPECT_EQ(box_.answers[0], (bytes{0x01, 0x03, 0x04, 0x00, 0x0A, 0x00, 0x0B}));
  EXPECT_EQ(port_->pending_request(), nullptr);
  ASSERT_EQ(device_->request_count(), 1u);
  EXPECT_EQ(device_->seen()[0], with_crc(read_req(1, 3, 0, 2)));

  // The routed unit id goes on the wire; an answer from another unit id
  // with a valid CRC is still the answer.
  answer_with({0x07, 0x03, 0x02, 0x12, 0x34});
  mb_frame *f = request(box_, read_req(9, 3, 0, 1));
  mb_frame_set_phy_id(f, 4);
  ASSERT_EQ(port_->push_request(f), 0);
  ASSERT_TRUE(box_.wait_freed(2, 2000));
  ASSERT_EQ(box_.answer_count(), 2u);
  EXPECT_EQ(box_.answers[1], (bytes{0x07, 0x03, 0x02, 0x12, 0x34}));
  EXPECT_EQ(device_->seen()[1], with_crc(read_req(4, 3, 0, 1)));
}

TEST_F(SouthRtuTest, BusyPortAnswersOneAndTheCallerKeepsItsFrame) {
  make_port();  // not started: nothing takes the slot's frame away
  mb_frame *first = request(box_, read_req(1, 3, 0, 1));
  mb_frame *second = request(box_, read_req(1, 3, 0, 2));
  EXPECT_EQ(port_->push_request(first), 0);
  EXPECT_EQ(port_->push_request(second), 1);
  EXPECT_EQ(port_->pending_request(), first);
  EXPECT_EQ(box_.freed_count(), 0);
  mb_frame_release(second);
  EXPECT_EQ(box_.freed_count(), 1);
  port_.reset();  // the slot's reference goes with the port
  EXPECT_EQ(box_.freed_count(), 2);
  EXPECT_EQ(box_.answer_count(), 0u);
}

TEST_F(SouthRtuTest, BadCrcIsLoggedAndTheExchangeWaitsOn) {
  make_port(400);
  start_port();
  bytes bad = with_crc({0x01, 0x03, 0x02, 0x00, 0x01});
  bad.back() ^= 0xFF;
  const bytes good = with_crc({0x01, 0x03, 0x02, 0x00, 0x02});

  // A bad frame, then (after a silence) a good one: the good one is the answer.
  device_->set_handler([bad, good](const bytes &) { return fake_device::script{{0, bad}, {100, good}}; });
  testing::internal::CaptureStderr();
  ASSERT_EQ(port_->push_request(request(box_, read_req(1, 3, 0, 1))), 0);
  ASSERT_TRUE(box_.wait_freed(1, 3000));
  std::string log = testing::internal::GetCapturedStderr();
  EXPECT_NE(log.find("CRC checksum fail"), std::string::npos) << log;
  ASSERT_EQ(box_.answer_count(), 1u);
  EXPECT_EQ(box_.answers[0], (bytes{0x01, 0x03, 0x02, 0x00, 0x02}));

  // Only a bad frame: no answer, released at the time-out.
  device_->set_handler([bad](const bytes &) { return fake_device::script{{0, bad}}; });
  testing::internal::CaptureStderr();
  const auto pushed = steady::now();
  ASSERT_EQ(port_->push_request(request(box_, read_req(1, 3, 0, 1))), 0);
  ASSERT_TRUE(box_.wait_freed(2, 3000));
  log = testing::internal::GetCapturedStderr();
  EXPECT_GE(box_.freed_at - pushed, milliseconds(400));
  EXPECT_EQ(box_.answer_count(), 1u);
  EXPECT_NE(log.find("Communication timed out"), std::string::npos) << log;
  EXPECT_EQ(port_->pending_request(), nullptr);
}

TEST_F(SouthRtuTest, DeviceTalkingWithShortGapsNeverAnswersAndTimesOutAfterItsLastByte) {
  make_port(300);
  start_port();
  const bytes good = with_crc({0x01, 0x03, 0x02, 0x00, 0x02});
  device_->set_handler([good](const bytes &) {
    fake_device::script s;
    for (int i = 0; i < 40; ++i) s.push_back({20, {good[static_cast<size_t>(i) % good.size()]}});  // 20 ms < 40 ms gap
    return s;
  });
  const auto pushed = steady::now();
  ASSERT_EQ(port_->push_request(request(box_, read_req(1, 3, 0, 1))), 0);
  ASSERT_TRUE(box_.wait_freed(1, 4000));
  EXPECT_EQ(box_.answer_count(), 0u);
  EXPECT_GE(box_.freed_at - pushed, milliseconds(40 * 20));
  // The time-out runs from the last data read, not from the request.
  EXPECT_GE(box_.freed_at - device_->last_write(), milliseconds(300 - 15));
}

TEST_F(SouthRtuTest, BroadcastIsWrittenAndReleasedWithoutWaiting) {
  make_port(2000);
  start_port();
  answer_with({0x00, 0x06, 0x00, 0x01, 0x00, 0x05});  // nobody should wait for this
  mb_frame *f = request(box_, {0x05, 0x06, 0x00, 0x01, 0x00, 0x05});
  mb_frame_set_phy_id(f, 0);
  const auto pushed = steady::now();
  ASSERT_EQ(port_->push_request(f), 0);
  ASSERT_TRUE(box_.wait_freed(1, 3000));
  EXPECT_LT(box_.freed_at - pushed, milliseconds(1000));
  ASSERT_TRUE(wait_until([&] { return device_->request_count() == 1; }, 1000));
  EXPECT_EQ(device_->seen()[0], with_crc({0x00, 0x06, 0x00, 0x01, 0x00, 0x05}));
  EXPECT_EQ(box_.answer_count(), 0u);
}

TEST_F(SouthRtuTest, CacheServesRepeatsAndKeepsOtherRequestsOnTheLine) {
  make_port();
  start_port();
  device_->set_handler([](const bytes &req) -> fake_device::script {
    const uint8_t fc = req[1];
    const uint16_t start = static_cast<uint16_t>(req[2] << 8 | req[3]);
    const uint16_t count = static_cast<uint16_t>(req[4] << 8 | req[5]);
    if (fc == 3 && start == 40) return {{0, with_crc({req[0], 0x83, 0x02})}};
    if (fc == 6) return {{0, bytes(req.begin(), req.end())}};  // a write echoes its request
    return {{0, with_crc(answer(req[0], fc, 2u * count, static_cast<uint8_t>(start)))}};
  });
  auto exchange = [&](const bytes &req, uint8_t cache = 1) {
    const int before = box_.freed_count();
    EXPECT_EQ(port_->push_request(request(box_, req, cache)), 0);
    EXPECT_TRUE(box_.wait_freed(before + 1, 3000));
  };

  exchange(read_req(1, 3, 0, 10));
  EXPECT_EQ(device_->request_count(), 1u);
  EXPECT_EQ(cache_count(port_->cache(), 3), 1);
  exchange(read_req(1, 3, 0, 10));
  EXPECT_EQ(device_->request_count(), 1u) << "a repeat never reaches the line";
  ASSERT_EQ(box_.answer_count(), 2u);
  EXPECT_EQ(box_.answers[1].size(), 23u);
  EXPECT_EQ(box_.answers[1], box_.answers[0]);

  exchange(read_req(1, 3, 0, 5));
  EXPECT_EQ(device_->request_count(), 2u) << "another count is another entry";
  EXPECT_EQ(cache_count(port_->cache(), 3), 2);

  testing::internal::CaptureStderr();
  exchange(read_req(1, 3, 40, 2));
  exchange(read_req(1, 3, 40, 2));
  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_EQ(device_->request_count(), 4u) << "exception answers are not kept";
  EXPECT_EQ(box_.answers.back(), (bytes{0x01, 0x83, 0x02}));
  EXPECT_NE(log.find("funcode does not match"), std::string::npos);

  exchange({0x01, 0x06, 0x00, 0x03, 0x00, 0x07});
  exchange({0x01, 0x06, 0x00, 0x03, 0x00, 0x07});
  EXPECT_EQ(device_->request_count(), 6u) << "writes are never cached";

  mb_frame *b = request(box_, read_req(1, 3, 0, 10), 1);
  mb_frame_set_phy_id(b, 0);
  const int before = box_.freed_count();
  ASSERT_EQ(port_->push_request(b), 0);
  ASSERT_TRUE(box_.wait_freed(before + 1, 3000));
  ASSERT_TRUE(wait_until([&] { return device_->request_count() == 7u; }, 1000)) << "a broadcast read is not looked up";
  EXPECT_EQ(cache_count(port_->cache(), 3), 2);
}

TEST_F(SouthRtuTest, RefreshKeepsEntriesWhileTheDeviceAnswersAndDropsThemWhenItGoesQuiet) {
  make_port(200, 300);
  start_port();
  // Shared with the device thread, which outlives this body.
  auto silent = std::make_shared<std::atomic<bool>>(false);
  device_->set_handler([silent](const bytes &req) -> fake_device::script {
    if (*silent) return {};
    return {{0, with_crc(answer(req[0], req[1], 4))}};
  });
  for (uint16_t start : {0, 10}) {
    const int before = box_.freed_count();
    offer(request(box_, read_req(1, 3, start, 2), 1));
    ASSERT_TRUE(box_.wait_freed(before + 1, 3000));
  }
  EXPECT_EQ(cache_count(port_->cache(), 3), 2);
  // Refresh passes send the stored requests again and keep the entries.
  ASSERT_TRUE(wait_until([&] { return device_->request_count() >= 6; }, 5000));
  EXPECT_EQ(cache_count(port_->cache(), 3), 2);
  EXPECT_EQ(device_->seen()[2], with_crc(read_req(1, 3, 0, 2)));

  *silent = true;
  ASSERT_TRUE(wait_until([&] { return cache_count(port_->cache(), 3) == 0; }, 6000));
  // The next identical read goes to the device again.
  *silent = false;
  const size_t seen = device_->request_count();
  const int before = box_.freed_count();
  offer(request(box_, read_req(1, 3, 0, 2), 1));
  ASSERT_TRUE(box_.wait_freed(before + 1, 3000));
  EXPECT_GT(device_->request_count(), seen);
  EXPECT_EQ(box_.answers.back(), answer(1, 3, 4));
}

TEST_F(SouthRtuTest, TagWritesCloseAndReopenTheLine) {
  make_port();
  testing::internal::CaptureStderr();
  start_port();
  tag *t = port_->get_tag();
  EXPECT_STREQ(t->name, "#TRELLIS_COM1");
  EXPECT_EQ(t->owner, port_.get());
  EXPECT_EQ(t->value.load(), 1.0);
  const uint32_t handle = t->handle;
  EXPECT_NE(handle, 0u);

  t->value = 1.0;  // 1 while open: nothing
  port_->change_state(t);
  t->value = 0.0;
  port_->change_state(t);
  EXPECT_FALSE(port_->line_open());
  EXPECT_FALSE(port_->threads_running());
  t->value = 0.0;  // 0 while closed: nothing
  port_->change_state(t);
  t->value = 0.5;  // neither 0 nor 1: nothing
  port_->change_state(t);
  EXPECT_FALSE(port_->line_open());

  // A request taken while closed waits for the line.
  answer_with({0x01, 0x03, 0x02, 0x00, 0x01});
  ASSERT_EQ(port_->push_request(request(box_, read_req(1, 3, 0, 1))), 0);
  EXPECT_FALSE(box_.wait_freed(1, 100));
  EXPECT_EQ(device_->request_count(), 0u);

  t->value = 1.0;
  port_->change_state(t);
  port_->change_state(t);  // a second 1.0 while the start runs starts nothing more
  ASSERT_TRUE(wait_until([&] { return port_->line_open() && port_->threads_running(); }, 3000));
  ASSERT_TRUE(box_.wait_freed(1, 3000));
  EXPECT_EQ(box_.answer_count(), 1u);
  EXPECT_EQ(t->handle, handle) << "registered once";
  EXPECT_EQ(t->value.load(), 1.0);
  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_EQ(count_of(log, "serial_port_change_state [" + pty_.link + "] has been closed"), 1u) << log;
  EXPECT_EQ(count_of(log, "south port serial has been started."), 2u) << log;
}

TEST_F(SouthRtuTest, FailedOpenRetriesAndTheTagFollows) {
  pty_.unlink_link();
  make_port();
  tag *t = port_->get_tag();
  t->value = 1.0;  // as left by a write of 1
  testing::internal::CaptureStderr();
  port_->start(nullptr, nullptr);
  ASSERT_TRUE(wait_until([&] { return t->value.load() == 0.0; }, 3000));
  EXPECT_FALSE(port_->line_open());
  pty_.link_port(1);
  ASSERT_TRUE(wait_until([&] { return port_->line_open() && port_->threads_running(); }, 3000));
  EXPECT_EQ(t->value.load(), 1.0);
  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_NE(log.find("failed to open seriial port [" + pty_.link + "]"), std::string::npos) << log;
}

TEST_F(SouthRtuTest, CreateReadsItsElementWithDefaults) {
  auto create = [](const char *xml) {
    tw_conf_node *doc = tw_conf_open_xml_string(xml, TW_CONF_ARRAY_NAMES);
    uint32_t it = 0;
    tw_conf_node *ports = tw_conf_node_child_query(doc, "SouthPort", nullptr);
    auto p = south_port_rtu_create(tw_conf_node_child_query(ports, nullptr, &it));
    tw_conf_node_close(doc);
    return p;
  };
  testing::internal::CaptureStderr();
  auto p = create(R"(<SouthPort type="rtu"/>)");
  ASSERT_TRUE(p);
  EXPECT_EQ(p->id(), 255);
  EXPECT_EQ(p->type(), "rtu");
  EXPECT_EQ(p->timeout(), 1000u);
  EXPECT_EQ(p->cache_polling_cycle(), 5000u);
  EXPECT_EQ(p->device(), pty_.prefix + "0");
  EXPECT_STREQ(p->get_tag()->name, "#TRELLIS_COM1");
  EXPECT_EQ(p->get_tag()->state.load(), 1u);
  EXPECT_EQ(p->frame_gap(), 40u);
  EXPECT_EQ(p->transmit_pause(8), 8u);  // 8 bytes x 10 bits at 9600 baud
  EXPECT_FALSE(p->line_open());

  p = create(R"(<SouthPort type="rtu" id="3" port="3" timeout="0" baudrate="0" cache_polling_cycle="0"/>)");
  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_NE(log.find(" south port rtu timeout has illegaled configuration, system is setting as defaut val : 1000 "),
            std::string::npos);
  EXPECT_EQ(p->id(), 3);
  EXPECT_EQ(p->timeout(), 1000u);
  EXPECT_EQ(p->frame_gap(), 40u) << "baudrate 0 is replaced, not divided by";
  EXPECT_EQ(p->cache_polling_cycle(), 5000u);
  EXPECT_EQ(p->device(), pty_.prefix + "2");
  EXPECT_STREQ(p->get_tag()->name, "#TRELLIS_COM3");

  // The gap divides before multiplying: 40 baud with 10-bit characters.
  p = create(R"(<SouthPort type="rtu" baudrate="40"/>)");
  EXPECT_EQ(p->frame_gap(), 1040u);
  p = create(R"(<SouthPort type="rtu" baudrate="19200" byte_size="7" stop_bits="2"/>)");
  EXPECT_EQ(p->frame_gap(), 40u);
  EXPECT_EQ(p->transmit_pause(20), 10u);  // 20 x 10 x 1000 / 19200 = 10.4
}

}  // namespace
