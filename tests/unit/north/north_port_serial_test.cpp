// The north serial ports on a pty: the pause after an answer, stale answers,
// and the silence boundary that cuts requests.
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "north/north_port_rtu.h"
#include "north/north_test_util.h"
#include "platform/plat_log.h"
#include "platform/plat_serial.h"
#include "route/mux.h"
#include "route/table.h"
#include "south/south_test_util.h"

namespace {

using north_test::fake_south;
using south_test::bytes;
using south_test::pty_pair;
using south_test::read_req;
using south_test::with_crc;

class NorthSerialTest : public ::testing::Test {
 protected:
  void SetUp() override {
    plat_log_set_level(5);
    ASSERT_GE(pty_.master, 0);
    plat_serial_set_prefix(pty_.prefix.c_str());
    pty_.link_port(1);
    any_item_.south_port = 1;
    table_.item_any = &any_item_;
    ASSERT_EQ(mux_register_southport(m_.get(), 1, &south_, 1), 0);
  }

  template <class Port, class Settings>
  void make_port() {
    Settings s;
    s.retry_ms = 100;
    s.north_list_size = 2;
    auto port = std::make_unique<Port>(s, m_.get());
    auto *npt = new northport_table();
    npt->table = &table_;
    port->set_table(npt);
    port->start();
    ASSERT_TRUE(north_test::wait_until([&] { return port->line_open() && port->threads_running(); }));
    port_ = std::move(port);
  }

  void master_write(const bytes &b) { ASSERT_EQ(write(pty_.master, b.data(), b.size()), static_cast<ssize_t>(b.size())); }
  // What the port writes within `ms`.
  bytes master_read(int ms) {
    bytes out;
    const uint32_t start = plat_systick_get();
    for (uint32_t now = start; now - start < static_cast<uint32_t>(ms); now = plat_systick_get()) {
      pollfd p{pty_.master, POLLIN, 0};
      if (poll(&p, 1, 5) != 1) continue;
      uint8_t buf[600];
      const ssize_t n = read(pty_.master, buf, sizeof buf);
      if (n > 0) out.insert(out.end(), buf, buf + n);
    }
    return out;
  }

  pty_pair pty_;
  std::unique_ptr<mux> m_{mux_create()};
  item any_item_;
  table table_;
  fake_south south_;
  std::unique_ptr<north_port_serial> port_;  // declared last: destroyed first
};

// The stale answer goes first: had it gone out, it would lead what the master reads.
TEST_F(NorthSerialTest, AnAnswerToARequestTheMasterHasReplacedIsDroppedAndAnswersWaitThePause) {
  make_port<north_port_rtu, north_port_rtu_settings>();
  master_write(with_crc(read_req(1, 3, 0, 1)));
  ASSERT_TRUE(north_test::wait_until([&] { return south_.taken() == 1; }));
  plat_systick_sleep(60);  // past the interval: a second request
  master_write(with_crc(read_req(2, 3, 5, 1)));
  ASSERT_TRUE(north_test::wait_until([&] { return south_.taken() == 2; }));
  south_.answer(0, {0x01, 0x03, 0x02, 0x00, 0x01});
  const uint32_t before = plat_systick_get();
  south_.answer(1, {0x01, 0x03, 0x02, 0x00, 0x02});  // the mux stamped another unit id
  EXPECT_GE(plat_systick_get() - before, port_->interval()) << "the answering thread waits the pause";
  EXPECT_EQ(master_read(150), with_crc({0x02, 0x03, 0x02, 0x00, 0x02}));
}

TEST_F(NorthSerialTest, RtuRequestsAreCutBySilencesLongerThanTheInterval) {
  north_port_rtu port(north_port_rtu_settings{}, m_.get());
  ASSERT_EQ(port.interval(), 40u);
  const bytes a = with_crc(read_req(1, 3, 0, 1));
  const bytes b = with_crc(read_req(1, 3, 9, 1));
  testing::internal::CaptureStderr();
  // Two requests 30 ms apart are one message, which fails its check.
  EXPECT_EQ(port.rx_fsm(a.data(), static_cast<int>(a.size()), 1000), nullptr);
  EXPECT_EQ(port.rx_fsm(b.data(), static_cast<int>(b.size()), 1030), nullptr);
  EXPECT_EQ(port.rx_fsm(nullptr, 0, 1070), nullptr) << "a silence of exactly the interval ends nothing";
  EXPECT_EQ(port.rx_fsm(nullptr, 0, 1071), nullptr);
  testing::internal::GetCapturedStderr();
  // Split in odd places, each piece within the interval of the one before.
  EXPECT_EQ(port.rx_fsm(a.data(), 3, 2000), nullptr);
  EXPECT_EQ(port.rx_fsm(a.data() + 3, 5, 2039), nullptr);
  mb_frame *f = port.rx_fsm(nullptr, 0, 2080);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(bytes(f->buf, f->buf + f->len), read_req(1, 3, 0, 1));
  mb_frame_release(f);

  // The interval divides before it multiplies: 1040 ms at 40 baud.
  north_port_rtu_settings slow;
  slow.baudrate = 40;
  EXPECT_EQ(north_port_rtu(slow, m_.get()).interval(), 1040u);
}

}  // namespace
