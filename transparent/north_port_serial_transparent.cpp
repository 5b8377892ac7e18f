#include "transparent/north_port_serial_transparent.h"

#include <utility>

#include "platform/plat_log.h"
#include "platform/plat_serial.h"
#include "platform/tw_conf.h"
#include "route/mux.h"

namespace north_serial_transparent {

namespace {

constexpr uint32_t kThreadPeriodMs = 10;
// The longest a receive waits on a quiet line (it also bounds how long a
// close waits for the receive thread).
constexpr uint32_t kQuietWaitMs = 100;

settings check_settings(settings s) {
  if (s.north_list_size < 1) {
    PLAT_LOG(4, "[north %s] north_list_size %d is below 1, using 1", s.type.c_str(), s.north_list_size);
    s.north_list_size = 1;
  }
  if (s.time_interval < 0) {
    // The silence that ends a block and the pause after each write.
    PLAT_LOG(4, "[north %s]: time_interval %d is not usable, system is setting as defaut val : 50\n", s.type.c_str(),
             s.time_interval);
    s.time_interval = 50;
  }
  serial_params_check("north", &s);
  return s;
}

}  // namespace

port::port(const settings &s, struct mux *m) : port(checked{}, check_settings(s), m) {}

port::port(checked, const settings &s, struct mux *m)
    : settings_(s),
      mux_(m),
      bits_per_char_(s.byte_size + s.stop_bits + 1),
      send_list_(s.north_list_size, north_send_list_kind::transparent),
      line_(this, this, serial_line_settings_of(s, "TRANSPARENT", 2)) {
  rtu_framer_init(&framer_, {.gap_ms = static_cast<uint32_t>(s.time_interval),
                             .gap_inclusive = false,
                             .check_crc = false,
                             .max_len = static_cast<uint32_t>(MB_FRAME_BUF_SIZE),
                             .discard_until_silence = false});
}

port::~port() {
  // Threads before the line, and both before the members they use.
  line_.shutdown();
  close_threads();
}

void port::add_table(northport_table *npt) {
  if (!npt) return;
  tables_.emplace_back(npt);
  table_ = npt->table;
  mux_register_transparent_northport_to_southport(mux_, settings_.id, npt);
  PLAT_LOG(7, "table addr is %p", static_cast<void *>(npt));
}

uint32_t port::transmit_pause(uint32_t len) const {
  return static_cast<uint32_t>(static_cast<uint64_t>(len) * static_cast<uint64_t>(bits_per_char_) * 1000u /
                               static_cast<uint64_t>(settings_.baudrate));
}

int port::start() { return line_.start(); }

int port::change_state(tag *t) { return line_.change_state(t); }

bool port::threads_running() {
  std::scoped_lock guard(thread_lock_);
  return receive_thread_ != nullptr;
}

void port::serial_line_opened() {
  close_threads();
  plat_thread_handle receive = plat_thread_start([this] { receive_pass(); }, kThreadPeriodMs, "mb rtu_proc");
  plat_thread_handle send = plat_thread_start([this] { send_pass(); }, kThreadPeriodMs, "mb send_proc");
  send_list_.set_consumer(send.get());
  {
    std::scoped_lock guard(thread_lock_);
    receive_thread_ = std::move(receive);
    send_thread_ = std::move(send);
  }
  // Blocks queued before the line closed are offered now.
  send_list_.wake_consumer();
  PLAT_LOG(5, "north port serial has been started.\n");
}

void port::serial_line_closing() {
  close_threads();
  // A block torn by the close is not sent on as one after the line reopens.
  rtu_framer_reset(&framer_);
}

void port::close_threads() {
  plat_thread_handle receive;
  plat_thread_handle send;
  {
    std::scoped_lock guard(thread_lock_);
    receive = std::move(receive_thread_);
    send = std::move(send_thread_);
  }
  // Receive first: it is the one that queues and wakes the sender.
  plat_close_handle(receive);
  send_list_.set_consumer(nullptr);
  plat_close_handle(send);
}

mb_frame *port::rx_fsm(const uint8_t *bytes, int n, uint32_t now) {
  const rtu_framer_result r = rtu_framer_feed(&framer_, bytes, n, now);
  if (r.event == rtu_framer_event::overflow) port_stats::add(stats.framing_drops);  // dropped silently
  if (r.event != rtu_framer_event::frame) return nullptr;
  PLAT_LOG(7, " gap time is %d  interval time is %f \n ", static_cast<int>(r.silence),
           static_cast<double>(settings_.time_interval));
  PLAT_LOG(7, "CRC CHECK DONE");
  return mb_frame_create_raw(r.data, static_cast<int>(r.len), on_rsp_callback, this, nullptr);
}

int port::offer(mb_frame *frame) {
  // Read before the hand-over: once a south port has the frame it may be
  // answered and freed on another thread before the push returns.
  const uint8_t req_id = mb_frame_get_req_id(frame);
  const int cacheable = mb_frame_is_cacheable(frame);
  if (!table_) {
    PLAT_LOG(3, "[north %s] :no table to push with; %u bytes dropped", settings_.type.c_str(), frame->len);
    port_stats::add(stats.dropped);
    return -1;
  }
  const int rc = mux_push_request(mux_, table_, frame);
  if (rc < 0) port_stats::add(stats.dropped);
  if (rc == 0) {
    PLAT_LOG(7, "[north %s] :push request done, req is is %02x, if get ack from cache: %d ", settings_.type.c_str(),
             req_id, cacheable);
  } else if (rc > 0) {
    PLAT_LOG(6, "[north %s] :push request busy, resend now ", settings_.type.c_str());
  }
  return rc;
}

void port::receive_pass() {
  plat_serial *serial_h = line_.handle();
  if (!serial_h) {
    PLAT_LOG(7, "[north %s] :fail to open port %s\n", settings_.type.c_str(), device().c_str());
    return;
  }
  size_t n = 0;
  // A quiet line costs one wake-up per quiet wait; a block being gathered
  // goes on as soon as its silence is complete.
  const uint32_t wait_ms = rtu_framer_wait_ms(&framer_, plat_systick_get(), kQuietWaitMs);
  if (plat_serial_read_wait(serial_h, read_buf_, sizeof read_buf_, &n, wait_ms) != 0) {
    line_.fail("read", serial_h->last_error());
    return;
  }
  if (n > 0) port_stats::add(stats.bytes_in, n);
  // The read is the pass's wait: look again at once.
  plat_thread_wake_self();
  mb_frame *frame = rx_fsm(read_buf_, static_cast<int>(n), plat_systick_get());
  if (!frame) return;
  PLAT_LOG(6, "receive : [%s] ", device().c_str());
  port_stats::add(stats.requests);
  send_list_.push_and_offer(frame, "NORTH SERIAL TRANSPARENT <-", [this](mb_frame *f) { return offer(f); });
}

void port::send_pass() {
  send_list_.send_pass([this](mb_frame *f) { return offer(f); });
}

bool port::write_line(const uint8_t *bytes, uint32_t len) {
  std::scoped_lock guard(write_lock_);
  bool open = false;
  bool written = false;
  // The line stays open while it is written; the pauses come after, with
  // the line free for the port's own reads.
  line_.with_line([&](plat_serial *serial_h) {
    if (!serial_h) return;
    open = true;
    PLAT_LOG(6, "send : [%s] ", device().c_str());
    PLAT_LOG_BUF(6, "NORTH SERIAL TRANSPARENT ->", bytes, len);
    written = plat_serial_write(serial_h, bytes, len) == 0;
  });
  if (!open) {
    PLAT_LOG(7, "RVON(np_serial->serial_h,1) failed");
    return false;
  }
  if (!written) {
    line_.fail("write", "the write to the line failed");
    return false;
  }
  port_stats::add(stats.bytes_out, len);
  const uint32_t pause = transmit_pause(len);
  PLAT_LOG(7, "send serial data len = %d  sleep time = %d\n", static_cast<int>(len), static_cast<int>(pause));
  plat_systick_sleep(pause);
  plat_systick_sleep(static_cast<uint32_t>(settings_.time_interval));
  return true;
}

int on_rsp_callback(mb_frame *frame, void *ctx, uint8_t, uint16_t, uint16_t) {
  auto *np = static_cast<port *>(ctx);
  if (np) {
    uint32_t len = 0;
    const uint8_t *bytes = mb_frame_get_data(frame, &len);
    if (np->write_line(bytes, len)) port_stats::add(np->stats.answers);
  }
  // Released whether written or not: a closed line does not keep it.
  mb_frame_release(frame);
  return 0;
}

int north_port_send_all(north_port *np, mb_frame *frame, uint32_t, int) {
  auto *p = static_cast<port *>(np);
  RVON(p, 1);
  RVON(frame, 1);
  uint32_t len = 0;
  const uint8_t *bytes = mb_frame_get_data(frame, &len);
  return p->write_line(bytes, len) ? 0 : 1;
}

std::unique_ptr<port> north_port_serial_transparent_create(tw_conf_node *element, struct mux *m) {
  RVON(element, nullptr);
  settings s;
  serial_port_settings_read(element, "rtu", &s);
  s.north_list_size = tw_conf_node_attr_get_int(element, "north_list_size", 1);
  s.time_interval = tw_conf_node_attr_get_int(element, "time_interval", 50);

  // Looked for before the port registers: a port that is not created must
  // leave nothing in the mux.
  tw_conf_node *tables = tw_conf_node_child_query(element, "Table", nullptr);
  if (!tables) {
    PLAT_LOG(4, "no table config under northport ");
    return nullptr;
  }
  auto p = std::make_unique<port>(s, m);
  mux_register_northport(m, p->config().id, p.get(), north_port_send_all);
  uint32_t it = 0;
  while (tw_conf_node *child = tw_conf_node_child_query(tables, nullptr, &it)) {
    PLAT_LOG(7, "start to creat northport table .\n");
    std::string ip;
    northport_table *npt = northport_table_create(child, m, &ip, p->config().type.c_str());
    if (!npt) {
      PLAT_LOG(4, "Unable to create table in north port RTU, please check the configuration file");
      continue;
    }
    p->add_table(npt);
  }
  PLAT_LOG(5, "north port serial created success.\n");
  return p;
}

}  // namespace north_serial_transparent
