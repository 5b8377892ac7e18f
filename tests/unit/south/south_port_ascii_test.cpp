// The south ASCII port against a device on a pty: answers cut from noise and
// odd pieces, checked, and nothing of one exchange taken for the next.
#include "south/south_port_ascii.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "platform/plat_log.h"
#include "platform/plat_serial.h"
#include "south/south_test_util.h"

namespace {

using namespace south_test;
using std::chrono::milliseconds;

bytes ascii(const bytes &body) {
  bytes all = body;
  all.push_back(mb_lrc(body.data(), static_cast<uint32_t>(body.size())));
  std::string text(2 * all.size(), '\0');
  mb_bin_to_hex(text.data(), all.data(), static_cast<uint32_t>(all.size()));
  text = ":" + text + "\r\n";
  return {text.begin(), text.end()};
}

bytes text(const std::string &s) { return {s.begin(), s.end()}; }

class SouthAsciiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    plat_log_set_level(5);
    ASSERT_GE(pty_.master, 0);
    plat_serial_set_prefix(pty_.prefix.c_str());
    pty_.link_port(1);
    device_ = std::make_unique<fake_device>(pty_.master, false);
  }

  void make_port(uint32_t timeout = 300) {
    south_port_ascii_settings s;
    s.timeout = static_cast<int>(timeout);
    s.cache_polling_cycle = 60000;
    s.retry_ms = 100;
    port_ = std::make_unique<south_port_ascii>(s);
    port_->start(nullptr, nullptr);
    ASSERT_TRUE(wait_until([&] { return port_->line_open() && port_->threads_running(); }, 3000));
  }
  void exchange(mb_frame *f) {
    const int before = box_.freed_count();
    ASSERT_TRUE(wait_until([&] { return port_->push_request(f) == 0; }, 3000)) << "port stayed busy";
    ASSERT_TRUE(box_.wait_freed(before + 1, 4000));
  }

  pty_pair pty_;
  reply_box box_;
  std::unique_ptr<fake_device> device_;
  std::unique_ptr<south_port_ascii> port_;  // declared last: destroyed first
};

TEST_F(SouthAsciiTest, RequestsGoOutAsAsciiAndAnswersAreCollectedAcrossReads) {
  make_port(1000);
  const bytes reply = {0x04, 0x03, 0x04, 0x00, 0x0A, 0x00, 0x0B};
  const bytes wire = ascii(reply);
  // Noise and a stray LF first, the answer in three pieces, lower case.
  bytes lower = wire;
  for (uint8_t &c : lower) c = static_cast<uint8_t>(std::tolower(c));
  device_->set_handler([lower](const bytes &) {
    return fake_device::script{{0, text("\n#!")},
                               {10, bytes(lower.begin(), lower.begin() + 5)},
                               {20, bytes(lower.begin() + 5, lower.begin() + 12)},
                               {20, bytes(lower.begin() + 12, lower.end())}};
  });
  mb_frame *f = request(box_, read_req(9, 3, 0, 2));
  mb_frame_set_phy_id(f, 4);  // the routed unit id goes on the wire
  exchange(f);
  ASSERT_EQ(box_.answer_count(), 1u);
  EXPECT_EQ(box_.answers[0], reply);
  EXPECT_EQ(device_->seen(), std::vector<bytes>{ascii(read_req(4, 3, 0, 2))});
  EXPECT_EQ(port_->rx_state(), ASCII_IDLE);

  // Wrong unit, wrong function, bad LRC, then the answer with CR LF as two
  // writes: only the last is this request's.
  bytes bad = ascii({0x04, 0x03, 0x02, 0x00, 0x05});
  bad[bad.size() - 4] = '0';
  bad[bad.size() - 3] = '0';
  device_->set_handler([bad](const bytes &) {
    const bytes good = ascii({0x04, 0x03, 0x02, 0x00, 0x06});
    return fake_device::script{{0, ascii({0x07, 0x03, 0x02, 0x00, 0x01})},
                               {30, ascii({0x04, 0x04, 0x02, 0x00, 0x02})},
                               {30, bad},
                               {30, bytes(good.begin(), good.end() - 1)},
                               {10, bytes{'\n'}}};
  });
  exchange(request(box_, read_req(4, 3, 0, 1)));
  ASSERT_EQ(box_.answer_count(), 2u);
  EXPECT_EQ(box_.answers[1], (bytes{0x04, 0x03, 0x02, 0x00, 0x06}));
}

TEST_F(SouthAsciiTest, NothingOfATimedOutExchangeIsTakenForTheNext) {
  make_port(300);
  // The first answer starts before the time-out and ends after it; had the
  // receive state been kept, its end would complete a valid answer (value 7)
  // during the next exchange.
  device_->set_handler([&](const bytes &) {
    device_->set_handler([](const bytes &) { return fake_device::script{{50, ascii({0x01, 0x03, 0x02, 0x00, 0x09})}}; });
    const bytes late = ascii({0x01, 0x03, 0x02, 0x00, 0x07});
    return fake_device::script{{100, bytes(late.begin(), late.begin() + 9)}, {450, bytes(late.begin() + 9, late.end())}};
  });
  testing::internal::CaptureStderr();
  exchange(request(box_, read_req(1, 3, 0, 1)));
  EXPECT_EQ(box_.answer_count(), 0u);
  EXPECT_EQ(port_->rx_state(), ASCII_IDLE);
  exchange(request(box_, read_req(1, 3, 0, 1)));
  const std::string log = testing::internal::GetCapturedStderr();
  ASSERT_EQ(box_.answer_count(), 1u) << log;
  EXPECT_EQ(box_.answers[0], (bytes{0x01, 0x03, 0x02, 0x00, 0x09}));
  EXPECT_NE(log.find("Communication timed out"), std::string::npos) << log;
}

}  // namespace
