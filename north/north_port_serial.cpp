#include "north/north_port_serial.h"

#include <cstring>

#include "platform/plat_log.h"
#include "platform/tw_conf.h"
#include "route/mux.h"

namespace north_serial {

// The response callback of every request a north serial port makes: the
// context is the port, which lives until the process ends.
int on_rsp_callback(mb_frame *frame, void *ctx, uint8_t req_id, uint16_t tid, uint16_t) {
  auto *port = static_cast<north_port_serial *>(ctx);
  if (!port) {
    mb_frame_release(frame);
    return 0;
  }
  return port->on_response(frame, req_id, tid);
}

}  // namespace north_serial

namespace {

constexpr uint32_t kPassPeriodMs = 10;

north_serial_settings check_settings(north_serial_settings s) {
  serial_params_check("north", &s);
  if (s.north_list_size < 1) {
    PLAT_LOG(4, "[north %s] north_list_size %d is below 1, using 1", s.type.c_str(), s.north_list_size);
    s.north_list_size = 1;
  }
  return s;
}

}  // namespace

north_serial_settings north_serial_settings_read(tw_conf_node *element, const char *default_type) {
  north_serial_settings s;
  serial_port_settings_read(element, default_type, &s);
  s.north_list_size = tw_conf_node_attr_get_int(element, "north_list_size", 1);
  s.cache = std::strcmp(tw_conf_node_attr_get_string(element, "cache", "true"), "true") == 0 ? 1 : 0;
  s.exceptions = std::strcmp(tw_conf_node_attr_get_string(element, "exceptions", "false"), "true") == 0 ? 1 : 0;
  return s;
}

north_port_serial::north_port_serial(const north_serial_settings &settings, const north_serial_texts &texts, mux *m)
    : north_port_serial(checked{}, check_settings(settings), texts, m) {}

north_port_serial::north_port_serial(checked, const north_serial_settings &s, const north_serial_texts &texts,
                                     mux *m)
    : settings_(s),
      texts_(texts),
      mux_(m),
      // The division comes first: at every usual rate the interval is 40 ms.
      interval_(static_cast<uint32_t>(1000 * ((4 * (s.byte_size + s.stop_bits + 1)) / s.baudrate) + 40)),
      send_list_(s.north_list_size, north_send_list_kind::modbus),
      line_(this, this, serial_line_settings_of(s, "TRELLIS", 2)) {
  send_list_.set_stats(&stats);
}

north_port_serial::~north_port_serial() { line_.shutdown(); }

bool north_port_serial::read_tables(tw_conf_node *element, mux *m) {
  tw_conf_node *tables = tw_conf_node_child_query(element, "Table", nullptr);
  if (!tables) {
    PLAT_LOG(4, "%s", texts_.no_table);
    return false;
  }
  uint32_t it = 0;
  while (tw_conf_node *child = tw_conf_node_child_query(tables, nullptr, &it)) {
    PLAT_LOG(7, "start to creat northport table .\n");
    std::string ip;
    northport_table *npt = northport_table_create(child, m, &ip, settings_.type.c_str());
    if (!npt) {
      PLAT_LOG(4, "%s", texts_.bad_table);
      continue;
    }
    // The address rule means nothing on a line: the last table wins.
    PLAT_LOG(7, "table addr is %p", static_cast<void *>(npt));
    set_table(npt);
  }
  return true;
}

void north_port_serial::set_table(northport_table *npt) { npt_.reset(npt); }

int north_port_serial::start() { return line_.start(); }

int north_port_serial::change_state(tag *t) { return line_.change_state(t); }

bool north_port_serial::threads_running() {
  std::scoped_lock guard(threads_lock_);
  return rx_thread_ && send_thread_;
}

void north_port_serial::serial_line_opened() {
  plat_thread_handle rx = plat_thread_start([this] { mbserial_proc(); }, kPassPeriodMs, texts_.rx_thread);
  plat_thread_handle send = plat_thread_start([this] { send_proc(); }, kPassPeriodMs, "mb send_proc");
  send_list_.set_consumer(send.get());
  {
    std::scoped_lock guard(threads_lock_);
    rx_thread_ = std::move(rx);
    send_thread_ = std::move(send);
  }
  // Requests kept across a close are offered now.
  send_list_.wake_consumer();
  PLAT_LOG(5, "north port serial has been started.\n");
}

void north_port_serial::serial_line_closing() {
  plat_thread_handle rx;
  plat_thread_handle send;
  {
    std::scoped_lock guard(threads_lock_);
    rx = std::move(rx_thread_);
    send = std::move(send_thread_);
  }
  // Receive first: it is the only one that queues and offers on the send
  // thread's behalf, so once it is gone nobody refers to the send thread.
  // Joined outside the lock.
  const bool was_receiving = rx != nullptr;
  plat_close_handle(rx);
  send_list_.set_consumer(nullptr);
  plat_close_handle(send);
  // Bytes gathered before a hang-up would otherwise end as a request at the
  // first silence after the line reopens, seconds after its master gave up.
  // (Without a receive thread there is nothing to forget, and the base's
  // destructor must not reach the derived port's machine.)
  if (was_receiving) rx_reset();
}

mb_frame *north_port_serial::make_request(const uint8_t *data, uint32_t len) {
  const uint16_t seq = ++next_seq_;
  mb_frame *frame = mb_frame_create(data, static_cast<int>(len), north_serial::on_rsp_callback, this, nullptr,
                                    data[0], 0, seq, settings_.cache);
  if (!frame) return nullptr;
  frame->exceptions = settings_.exceptions;
  taken_seq_.store(seq);
  port_stats::add(stats.requests);
  return frame;
}

int north_port_serial::offer(mb_frame *frame) {
  // Read before the hand-over: once a south port has the frame it may be
  // answered and freed on another thread before the push returns.
  const uint8_t req_id = mb_frame_get_req_id(frame);
  const int cacheable = mb_frame_is_cacheable(frame);
  const int rc = mux_push_request(mux_, npt_ ? npt_->table : nullptr, frame);
  if (rc == 0) {
    PLAT_LOG(7, "[north %s] :push request done, req is is %02x, if get ack from cache: %d ", settings_.type.c_str(),
             req_id, cacheable);
  }
  return rc;
}

void north_port_serial::mbserial_proc() {
  plat_serial *serial_h = line_.handle();
  if (!serial_h) {
    PLAT_LOG(7, "[north %s] :fail to open port %s\n", settings_.type.c_str(), device().c_str());
    return;
  }
  size_t n = 0;
  if (plat_serial_read_wait(serial_h, read_buf_, sizeof read_buf_, &n, rx_wait(plat_systick_get())) != 0) {
    line_.fail("read", serial_h->last_error());
    return;
  }
  port_stats::add(stats.bytes_in, n);
  mb_frame *frame = rx_feed(read_buf_, static_cast<int>(n), plat_systick_get());
  // The read is the pass's wait: look again at once.
  plat_thread_wake_self();
  if (!frame) return;
  PLAT_LOG(6, "receive : [%s] ", device().c_str());
  send_list_.push_and_offer(frame, texts_.rx_dump, [this](mb_frame *f) { return offer(f); });
}

void north_port_serial::send_proc() {
  send_list_.send_pass([this](mb_frame *f) { return offer(f); });
}

int north_port_serial::on_response(mb_frame *frame, uint8_t req_id, uint16_t seq) {
  std::scoped_lock guard(lock_);
  const uint16_t newest = taken_seq_.load();
  if (seq != newest) {
    // The master has sent a newer request since: this answer is not its.
    port_stats::add(stats.dropped);
    PLAT_LOG(6, "[north %s] :answer to request %u dropped, the last request taken is %u", settings_.type.c_str(),
             seq, newest);
    mb_frame_release(frame);
    return 0;
  }
  mb_frame_set_phy_id(frame, req_id);  // the master sees the unit id it used
  uint32_t len = 0;
  const uint8_t *out = convert_answer(frame, &len);
  bool open = false;
  bool failed = false;
  // Answers come on south port threads: the line is held open while written.
  line_.with_line([&](plat_serial *serial_h) {
    open = serial_h != nullptr;
    if (!open || !out) return;
    PLAT_LOG(6, "send : [%s] ", device().c_str());
    PLAT_LOG_BUF(6, texts_.tx_dump, out, len);
    failed = plat_serial_write(serial_h, out, len) != 0;
    if (!failed) {
      port_stats::add(stats.answers);
      port_stats::add(stats.bytes_out, len);
    }
  });
  mb_frame_release(frame);
  if (!open) {
    PLAT_LOG(7, "RVON(np_serial->serial_h,1) failed");
    return 1;
  }
  if (failed) {
    line_.fail("write", "the write to the line failed");
    return 0;
  }
  // Paces the answers on the line; the answering south port waits too.
  plat_systick_sleep(interval_);
  return 0;
}
