#include "transparent/south_port_serial_transparent.h"

#include <cerrno>
#include <cstring>
#include <utility>

#include "platform/plat_log.h"
#include "platform/plat_thread_pair.h"
#include "platform/plat_process.h"
#include "platform/plat_serial.h"
#include "platform/tw_conf.h"
#include "route/mux.h"

namespace south_serial_transparent {

namespace {

constexpr uint32_t kThreadPeriodMs = 10;
// The longest a receive waits on a quiet line with no request out (it also
// bounds how long a close waits for the receive thread).
constexpr uint32_t kQuietWaitMs = 100;
constexpr const char *kBridgeAddress = "127.0.0.1";

void put_le32(uint8_t *out, uint32_t v) {
  out[0] = static_cast<uint8_t>(v);
  out[1] = static_cast<uint8_t>(v >> 8);
  out[2] = static_cast<uint8_t>(v >> 16);
  out[3] = static_cast<uint8_t>(v >> 24);
}

uint32_t get_le32(const uint8_t *in) {
  return static_cast<uint32_t>(in[0]) | static_cast<uint32_t>(in[1]) << 8 | static_cast<uint32_t>(in[2]) << 16 |
         static_cast<uint32_t>(in[3]) << 24;
}

settings check_settings(settings s) {
  if (s.timeout <= 0) {
    PLAT_LOG(4, " south port rtu timeout has illegaled configuration, system is setting as defaut val : 1000 ");
    s.timeout = 1000;
  }
  if (s.time_interval < 0) {
    // The silence that ends a block: a negative one would never end.
    PLAT_LOG(4, "[south %s]: time_interval %d is not usable, system is setting as defaut val : 50\n", s.type.c_str(),
             s.time_interval);
    s.time_interval = 50;
  }
  serial_params_check("south", &s);
  return s;
}

}  // namespace

int mode_from_text(const char *text) {
  const std::string t = text ? text : "";
  if (t == "transparent_mode") return TRANSPARENT_MODE;
  if (t == "listen_mode") return LISTEN_MODE;
  if (t == "answer_mode") return ANSWER_MODE;
  PLAT_LOG(3, "transmission_mode is not correct, please check the configuration file");
  return LISTEN_MODE;
}

uint32_t bridge_seq_no(uint32_t tick, uint8_t sequence) { return (tick << 8) + sequence; }

uint8_t bridge_next_sequence() {
  // One counter for the whole process: two ports sending in the same
  // millisecond still send different seq_no.
  static std::atomic<uint8_t> sequence{0};
  return sequence.fetch_add(1);
}

void bridge_header_encode(const bridge_header &h, uint8_t *out) {
  put_le32(out, h.magic);
  put_le32(out + 4, h.seq_no);
  put_le32(out + 8, h.buf_len);
  put_le32(out + 12, h.port_number);
}

bridge_header bridge_header_decode(const uint8_t *in) {
  return {get_le32(in), get_le32(in + 4), get_le32(in + 8), get_le32(in + 12)};
}

int bridge_reply_check(const uint8_t *datagram, size_t size, const bridge_header &last) {
  const bridge_header h = bridge_header_decode(datagram);
  int rc = 0;
  if (h.magic != BRIDGE_MAGIC) {
    PLAT_LOG(3, "incorrect magic code %x.\n", h.magic);
    rc = BRIDGE_BAD_MAGIC;
  }
  // Widened: a huge buf_len must not wrap round to the datagram's size.
  if (static_cast<uint64_t>(h.buf_len) + BRIDGE_HEADER_SIZE != size) {
    PLAT_LOG(3, "incorrect buf_len %u, total %u received.\n", h.buf_len, static_cast<unsigned>(size));
    rc = BRIDGE_BAD_LEN;
  }
  if (h.seq_no != last.seq_no) {
    PLAT_LOG(3, "incorrect seq_no %x, %x wanted.\n", h.seq_no, last.seq_no);
    rc = BRIDGE_BAD_SEQ;
  }
  if (h.port_number != last.port_number) {
    PLAT_LOG(3, "incorrect port_number %d, %d wanted.\n", static_cast<int>(h.port_number),
             static_cast<int>(last.port_number));
    rc = BRIDGE_BAD_PORT;
  }
  return rc;
}

port::port(const settings &s, struct mux *m) : port(checked{}, check_settings(s), m) {}

port::port(checked, const settings &s, struct mux *m)
    : settings_(s),
      mux_(m),
      bits_per_char_(s.byte_size + s.stop_bits + 1),
      refusal_(!s.bridge_mode),  // no line yet
      line_(this, this, serial_line_settings_of(s, "TRANSPARENT", 2)) {
  // Raw blocks: no CRC, up to a transparent frame, and an overlong block
  // costs only what was gathered (the device may never pause).
  rtu_framer_init(&framer_, {.gap_ms = static_cast<uint32_t>(s.time_interval),
                             .gap_inclusive = false,
                             .check_crc = false,
                             .max_len = static_cast<uint32_t>(MB_FRAME_BUF_SIZE),
                             .discard_until_silence = false});
  if (s.bridge_mode) {
    bridge_tx_.resize(BRIDGE_BUF_SIZE);
    bridge_rx_.resize(BRIDGE_BUF_SIZE);
  }
}

port::~port() {
  {
    std::scoped_lock guard(bridge_start_lock_);
    plat_close_handle(bridge_start_);
  }
  // Threads before the line, and both before the members they use.
  line_.shutdown();
  close_threads();
  mb_frame *left = nullptr;
  {
    std::scoped_lock guard(lock_);
    left = std::exchange(pending_, nullptr);
  }
  if (left) mb_frame_release(left);
}

uint32_t port::transmit_pause(uint32_t len) const {
  return static_cast<uint32_t>(static_cast<uint64_t>(len) * static_cast<uint64_t>(bits_per_char_) * 1000u /
                               static_cast<uint64_t>(settings_.baudrate));
}

int port::push_request(mb_frame *frame) {
  if (settings_.mode == LISTEN_MODE) {
    PLAT_LOG(5, "south port is in listen mode, do not push request");
    return -1;
  }
  const plat_thread_ref caller = plat_thread_self();
  std::unique_lock guard(lock_);
  if (refusal_.refusing()) {
    guard.unlock();
    port_stats::add(stats.dropped);
    refusal_.report(settings_.type);
    return -1;
  }
  if (pending_ || refused_.held_for_other(caller, plat_systick_get())) {
    refused_.refused(caller);
    return 1;
  }
  refused_.taken_by(caller);
  pending_ = frame;
  state_ = slot_state::pending;
  ++seq_;
  accepted_at_ = plat_systick_get();
  port_stats::add(stats.requests);
  plat_thread_wake(send_thread_);  // it sleeps until a request comes
  return 0;
}

mb_frame *port::free_slot_locked(uint64_t seq) {
  if (!pending_ || seq_ != seq) return nullptr;
  mb_frame *req = std::exchange(pending_, nullptr);
  state_ = slot_state::empty;
  refused_.slot_freed(plat_systick_get());
  return req;
}

void port::release_pending(uint64_t seq, const char *why) {
  mb_frame *req = nullptr;
  {
    std::scoped_lock guard(lock_);
    req = free_slot_locked(seq);
  }
  if (!req) return;
  if (why) port_stats::add(stats.dropped);
  if (why) PLAT_LOG(3, "[south %s]: request of %u bytes released unsent: %s\n", settings_.type.c_str(), req->len, why);
  mb_frame_release(req);  // outside the lock: freeing runs its owner's release hook
}

mb_frame *port::pending_request() {
  std::scoped_lock guard(lock_);
  return pending_;
}

bool port::threads_running() {
  std::scoped_lock guard(lock_);
  return receive_thread_ != nullptr;
}

bool port::bridge_ready() {
  std::scoped_lock guard(bridge_lock_);
  return bridge_sock_ != nullptr;
}

int port::change_state(tag *t) {
  if (settings_.bridge_mode) {
    PLAT_LOG(7, "RVOT(port->bridge_mode,0) failed");
    return 0;
  }
  return line_.change_state(t);
}

int port::start(void *, void *) {
  if (!settings_.bridge_mode) return line_.start();
  std::scoped_lock guard(bridge_start_lock_);
  if (bridge_start_) return 0;  // the socket is made once
  bridge_start_ = plat_thread_start_oneshot_thread([this] { bridge_start_thread(); }, "start_thread");
  return 0;
}

void port::bridge_start_thread() {
  while (!plat_process_is_terminated(0) && !plat_thread_wait_for_stop(0)) {
    PLAT_LOG(3, "The bridge port is about to be opened\n");
    plat_socket_handle s = plat_socket_create_udp();
    if (s) {
      PLAT_LOG(5, "create socket, return %p\n", static_cast<void *>(s.get()));
      {
        std::scoped_lock guard(bridge_lock_);
        bridge_sock_ = std::move(s);
      }
      tag *t = line_.get_tag();
      t->value = 0.0;
      t->quality = 0;
      if (t->handle == 0) {
        t->handle = tagbus_add(t);
        if (t->handle == 0) PLAT_LOG(4, "%s: tagbus_add failed on %s\n", "start_thread", t->name);
      }
      start_threads();
      return;
    }
    PLAT_LOG(3, "failed to create socket\n");
    plat_systick_sleep(10000);
  }
}

void port::serial_line_opened() {
  start_threads();
  refusal_.set(false);
}

void port::serial_line_closing() {
  // New requests are refused from here on (the requester drops them): a
  // line that hung up may stay away for good.
  refusal_.set(true);
  close_threads();
  // Bytes gathered before the close belong to no exchange after it.
  rtu_framer_reset(&framer_);
  // Nothing serves the line until it is open again: the request in flight
  // (or waiting) goes now instead of keeping the port busy.
  uint64_t seq = 0;
  {
    std::scoped_lock guard(lock_);
    seq = seq_;
  }
  release_pending(seq, nullptr);
}

void port::start_threads() {
  close_threads();
  plat_thread_handle send;
  if (settings_.mode != LISTEN_MODE) {
    send = plat_thread_start([this] { send_pass(); }, kThreadPeriodMs, "mbrtu_send_proc");
  }
  plat_thread_handle receive = plat_thread_start([this] { receive_pass(); }, kThreadPeriodMs, "mbserial_receive_proc");
  {
    std::scoped_lock guard(lock_);
    send_thread_ = std::move(send);
    receive_thread_ = std::move(receive);
    // A request that came while no thread ran is served now.
    if (pending_) plat_thread_wake(send_thread_);
  }
  PLAT_LOG(5, "south port serial transparent has been started.\n");
}

void port::close_threads() { plat_close_handles_under(lock_, send_thread_, receive_thread_); }

void port::send_pass() {
  mb_frame *req = nullptr;
  uint64_t seq = 0;
  {
    std::scoped_lock guard(lock_);
    if (pending_ && state_ == slot_state::pending) {
      req = pending_;
      seq = seq_;
    }
  }
  if (!req) {
    // Nothing to write (or the request waits for its answer): push_request
    // wakes this thread.
    plat_thread_idle_until_woken();
    return;
  }
  // The request is this thread's to read until it is marked written: no
  // answer is put into it before.
  uint32_t len = 0;
  const uint8_t *payload = mb_frame_get_data(req, &len);
  const bool sent = settings_.bridge_mode ? bridge_send(seq, payload, len) : serial_send(seq, payload, len);
  if (!sent) return;

  if (settings_.mode == TRANSPARENT_MODE) {
    release_pending(seq, nullptr);  // nobody waits for an answer
    return;
  }
  std::scoped_lock guard(lock_);
  // Unless the answer came (or the line closed) during the pause, the
  // time-out clock starts now.
  if (pending_ && seq_ == seq && state_ == slot_state::written) {
    state_ = slot_state::sent;
    mb_frame_mark_sent(pending_);
  }
}

bool port::serial_send(uint64_t seq, const uint8_t *payload, uint32_t len) {
  plat_serial *serial_h = line_.handle();
  if (!serial_h) {
    PLAT_LOG(7, "RON(south_port->serial_h) failed");
    return false;
  }
  if (settings_.mode == ANSWER_MODE) {
    // Whatever the device said before this request is no answer to it.
    plat_serial_purge(serial_h, 1, 0);
    write_epoch_.fetch_add(1);
  }
  PLAT_LOG_BUF(6, "SOUTH SERIAL TRANSPARENT ->", payload, len);
  const int rc = plat_serial_write(serial_h, payload, len);
  if (rc == 0) port_stats::add(stats.bytes_out, len);
  if (rc != 0) {
    // One level-3 report per line failure: not again when the line is
    // already closing or reopening, and the line's own report says the rest.
    const bool known = line_.starting() || plat_thread_wait_for_stop(0);
    PLAT_LOG(known ? 7 : 3, "send serial data failed, serial port is busy, send again, rc = [%d]\n", rc);
    port_stats::add(stats.dropped);
    release_pending(seq, nullptr);
    line_.fail("write", serial_h->last_error());
    return false;
  }
  {
    // An answer may now arrive, even before the pause is over.
    std::scoped_lock guard(lock_);
    if (pending_ && seq_ == seq) state_ = slot_state::written;
  }
  const uint32_t pause = transmit_pause(len);
  PLAT_LOG(7, "send serial data len = %d  sleep time = %d\n", static_cast<int>(len), static_cast<int>(pause));
  plat_systick_sleep(pause);
  PLAT_LOG(6, "send : [%s]", device().c_str());
  return true;
}

bool port::bridge_send(uint64_t seq, const uint8_t *payload, uint32_t len) {
  if (settings_.mode == TRANSPARENT_MODE) {
    PLAT_LOG(7, "ROT(south_port->transparent_mode == TRANSPARENT_MODE) failed");
    release_pending(seq, "the bridge serves listen and answer mode only");
    return false;
  }
  std::shared_ptr<plat_socket> sock;
  {
    std::scoped_lock guard(bridge_lock_);
    sock = bridge_sock_;
  }
  if (!sock) {
    PLAT_LOG(7, "RON(south_port->bridge_sock_h) failed");
    release_pending(seq, "no bridge socket");
    return false;
  }
  if (len > BRIDGE_PAYLOAD_MAX) {
    PLAT_LOG(4, "no valid frame interval, maybe frame interval too large!\n");
    release_pending(seq, "too long for the bridge");
    return false;
  }
  // Stale replies (to requests that timed out) are thrown away first; one
  // that slips past goes to the receive thread, whose checks drop it. The
  // send buffer serves as the sink: it is filled only afterwards.
  uint32_t from = 0;
  uint16_t from_port = 0;
  while (plat_socket_recvfrom(sock.get(), bridge_tx_.data(), bridge_tx_.size(), &from, &from_port, 1) > 0) {
  }
  bridge_header h;
  h.seq_no = bridge_seq_no(plat_systick_get(), bridge_next_sequence());
  h.buf_len = len;
  h.port_number = static_cast<uint32_t>(settings_.port);
  bridge_header_encode(h, bridge_tx_.data());
  std::memcpy(bridge_tx_.data() + BRIDGE_HEADER_SIZE, payload, len);
  {
    std::scoped_lock guard(bridge_lock_);
    last_header_ = h;
    have_last_header_ = true;
  }
  PLAT_LOG_BUF(6, "[M>]", payload, len);
  {
    // An answer may come as soon as the datagram is out.
    std::scoped_lock guard(lock_);
    if (pending_ && seq_ == seq) state_ = slot_state::written;
  }
  const int rc = plat_socket_sendto(sock.get(), bridge_tx_.data(), BRIDGE_HEADER_SIZE + len,
                                    plat_inet_addr(kBridgeAddress), plat_htons(settings_.bridge_udp_port));
  PLAT_LOG_BUF(6, "[>S]", payload, len);
  if (rc >= 0) port_stats::add(stats.bytes_out, len);
  if (rc < 0) {
    PLAT_LOG(3, "send socket data failed, error = %d \n", errno);
    {
      std::scoped_lock guard(bridge_lock_);
      bridge_sock_.reset();
    }
    release_pending(seq, "the bridge socket failed");
    return false;
  }
  PLAT_LOG_BUF(6, "SOUTH SERIAL TRANSPARENT ->", payload, len);
  return true;
}

port::block port::rx_fsm(const uint8_t *bytes, int n, uint32_t now) {
  const rtu_framer_result r = rtu_framer_feed(&framer_, bytes, n, now);
  if (r.event == rtu_framer_event::overflow) {
    PLAT_LOG(4, "SOUTH PORT SERIAL TRANSPARENT RX BUFFER OVERFLOW");
    port_stats::add(stats.framing_drops);
    return {};
  }
  if (r.event != rtu_framer_event::frame) return {};
  return {r.data, r.len};
}

port::block port::bridge_receive() {
  if (settings_.mode == TRANSPARENT_MODE) {
    PLAT_LOG(7, "ROT(south_port->transparent_mode == TRANSPARENT_MODE) failed");
    plat_thread_idle_until_woken();  // nothing is ever received in this mode
    return {};
  }
  std::shared_ptr<plat_socket> sock;
  {
    std::scoped_lock guard(bridge_lock_);
    sock = bridge_sock_;
  }
  if (!sock) {
    PLAT_LOG(7, "RON(south_port->bridge_sock_h) failed");
    plat_thread_idle_until_woken();  // the socket is not made again
    return {};
  }
  uint32_t from = 0;
  uint16_t from_port = 0;
  const int n = plat_socket_recvfrom(sock.get(), bridge_rx_.data(), bridge_rx_.size(), &from, &from_port,
                                     static_cast<uint32_t>(settings_.time_interval));
  if (n <= 0) return {};
  // More may be waiting: receive again at once.
  plat_thread_wake_self();
  const auto size = static_cast<size_t>(n);
  port_stats::add(stats.bytes_in, size);
  PLAT_LOG_BUF(6, "[R>]", bridge_rx_.data(), size);
  {
    std::scoped_lock guard(lock_);
    if (pending_ && state_ == slot_state::sent) mb_frame_mark_sent(pending_);
  }
  bridge_header last;
  {
    std::scoped_lock guard(bridge_lock_);
    if (!have_last_header_) {
      PLAT_LOG(3, "bridge datagram of %u bytes before any request, ignore it.\n", static_cast<unsigned>(size));
      return {};
    }
    last = last_header_;
  }
  const int rc = size < BRIDGE_HEADER_SIZE ? BRIDGE_BAD_LEN : bridge_reply_check(bridge_rx_.data(), size, last);
  if (rc != 0) {
    if (size < BRIDGE_HEADER_SIZE)
      PLAT_LOG(3, "incorrect buf_len %u, total %u received.\n", 0u, static_cast<unsigned>(size));
    PLAT_LOG(3, "incorrect frame received, ignore it. RC = [%d]", rc);
    port_stats::add(stats.framing_drops);
    return {};
  }
  return {bridge_rx_.data() + BRIDGE_HEADER_SIZE, static_cast<uint32_t>(size - BRIDGE_HEADER_SIZE)};
}

void port::receive_pass() {
  {
    mb_frame *expired = nullptr;
    {
      std::scoped_lock guard(lock_);
      if (pending_ && state_ == slot_state::sent && check_frame_timeout(pending_, settings_.timeout)) {
        expired = free_slot_locked(seq_);
      }
    }
    if (expired) {
      port_stats::add(stats.timeouts);
      mb_frame_release(expired);  // no callback: the requester learns by not getting an answer
      if (!settings_.bridge_mode) rtu_framer_reset(&framer_);  // late bytes of this exchange are not kept
      return;
    }
  }

  block b;
  if (settings_.bridge_mode) {
    // The receive waits up to the time interval; the period is the rest.
    b = bridge_receive();
  } else {
    plat_serial *serial_h = line_.handle();
    if (!serial_h) {
      PLAT_LOG(7, "RON(south_port->serial_h) failed");
      return;
    }
    bool request_out = false;
    {
      std::scoped_lock guard(lock_);
      request_out = pending_ != nullptr;
    }
    // With no request out a quiet line costs one wake-up per quiet wait, and
    // a block being gathered goes on as soon as its silence is complete;
    // while a request is out the short reads keep its time-out on time.
    const uint32_t wait_ms =
        request_out ? kThreadPeriodMs : rtu_framer_wait_ms(&framer_, plat_systick_get(), kQuietWaitMs);
    size_t n = 0;
    if (plat_serial_read_wait(serial_h, read_buf_, sizeof read_buf_, &n, wait_ms) != 0) {
      line_.fail("read", serial_h->last_error());  // closes this thread's line: the closing releases the request
      return;
    }
    // A request was written since the last look: what was gathered before
    // it is no answer to it. Looked at after the read, so that an answer
    // read together with the write is kept.
    const uint32_t epoch = write_epoch_.load();
    if (epoch != framer_epoch_) {
      framer_epoch_ = epoch;
      rtu_framer_reset(&framer_);
    }
    if (n > 0) {
      port_stats::add(stats.bytes_in, n);
      // The answer's time-out counts from its last byte.
      std::scoped_lock guard(lock_);
      if (pending_ && state_ == slot_state::sent) mb_frame_mark_sent(pending_);
    }
    b = rx_fsm(read_buf_, static_cast<int>(n), plat_systick_get());
    // The read is the pass's wait: look again at once.
    plat_thread_wake_self();
  }
  if (b.len > 0) handle_block(b);
}

void port::handle_block(const block &b) {
  PLAT_LOG(6, "receive : [%s]", device().c_str());
  PLAT_LOG_BUF(6, "SOUTH SERIAL TRANSPARENT <-", b.data, b.len);
  if (settings_.mode != ANSWER_MODE) {
    mb_frame *frame = mb_frame_create_raw(b.data, static_cast<int>(b.len), nullptr, nullptr, nullptr);
    if (!frame) return;
    mux_send_to_northport(mux_, static_cast<uint32_t>(settings_.id), frame);
    mb_frame_release(frame);  // the north ports only borrowed it
    return;
  }
  mb_frame *req = nullptr;
  uint32_t accepted_at = 0;
  {
    std::scoped_lock guard(lock_);
    accepted_at = accepted_at_;
    // Only a request that is on the wire can be answered. The slot frees
    // before the owner sees the answer, so that its next request finds the
    // port free; the slot's reference stays with this pass until then.
    if (pending_ && (state_ == slot_state::written || state_ == slot_state::sent)) req = free_slot_locked(seq_);
  }
  if (!req) {
    PLAT_LOG(6, "[south %s]: %u bytes with no request waiting for them, dropped\n", settings_.type.c_str(), b.len);
    return;
  }
  if (frame_renewal(req, b.data, static_cast<int>(b.len)) != 0) {
    // A Modbus request routed here cannot carry a longer block back.
    mb_frame_release(req);
    return;
  }
  stats.answer_time(plat_systick_get() - accepted_at);
  port_stats::add(stats.answers);
  if (req->callback) mb_frame_add_ref(req);  // the callback releases one
  do_call_back(req);
  mb_frame_release(req);
}

std::unique_ptr<port> south_port_serial_transparent_create(tw_conf_node *element, struct mux *m) {
  RVON(element, nullptr);
  settings s;
  serial_port_settings_read(element, "rtu", &s);
  s.timeout = tw_conf_node_attr_get_int(element, "timeout", 1000);
  s.time_interval = tw_conf_node_attr_get_int(element, "time_interval", 50);
  s.mode = mode_from_text(tw_conf_node_attr_get_string(element, "transmission_mode", "transparent_mode"));
  s.bridge_mode = std::strcmp(tw_conf_node_attr_get_string(element, "bridge_mode", "false"), "true") == 0;
  s.cache_polling_cycle = tw_conf_node_attr_get_int(element, "cache_polling_cycle", 5000);
  return std::make_unique<port>(s, m);
}

}  // namespace south_serial_transparent
