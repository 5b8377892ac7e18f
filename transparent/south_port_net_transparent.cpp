#include "transparent/south_port_net_transparent.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "platform/plat_log.h"
#include "platform/plat_thread_pair.h"
#include "platform/tw_conf.h"
#include "route/mux.h"

namespace south_net_transparent {

namespace {

constexpr uint32_t kThreadPeriodMs = 10;
// The longest a receive waits with no request due: how long closing the
// receive thread may take (a TCP receive is not cut short by a stop).
constexpr uint32_t kIdleReceiveWaitMs = 500;

settings check_settings(settings s, const char *timeout_warning) {
  if (s.timeout <= 0) {
    PLAT_LOG(4, "%s", timeout_warning);
    s.timeout = 1000;
  }
  if (s.time_interval < 0) {
    PLAT_LOG(4, "[south %s]: time_interval %d is not usable, system is setting as defaut val : 50\n", s.type.c_str(),
             s.time_interval);
    s.time_interval = 50;
  }
  if (s.south_list_size < 1) {
    PLAT_LOG(4, "[south %s]: south_list_size %d is not usable, system is setting as defaut val : 1\n",
             s.type.c_str(), s.south_list_size);
    s.south_list_size = 1;
  }
  return s;
}

}  // namespace

port_base::port_base(const settings &s, struct mux *m, const char *proto, const char *timeout_warning)
    : settings_(check_settings(s, timeout_warning)), mux_(m), proto_(proto), rx_buf_(MB_FRAME_BUF_SIZE) {}

port_base::~port_base() {
  close_threads();
  release_all();
}

size_t port_base::free_places_locked() const {
  const size_t used = std::max(send_list_.size(), wait_list_.size());
  const auto capacity = static_cast<size_t>(settings_.south_list_size);
  return used >= capacity ? 0 : capacity - used;
}

void port_base::room_appeared_locked(size_t free_before) {
  if (!open_) return;  // nobody can be served before the port opens
  const uint32_t now = plat_systick_get();
  for (size_t free = free_places_locked(); free > free_before; --free) refused_.slot_freed(now);
}

int port_base::push_request(mb_frame *frame) {
  const plat_thread_ref caller = plat_thread_self();
  std::scoped_lock guard(lock_);
  if (!open_) {
    PLAT_LOG(7, "RVOF(south_port->sock != PLAT_INVALID_HANDLE,1) failed");
    refused_.refused(caller);
    return 1;
  }
  if (settings_.mode == LISTEN_MODE) {
    PLAT_LOG(5, "south port is in listen mode, do not push request");
    return -1;
  }
  // The last free place is kept a moment for the thread woken for it.
  const size_t free = free_places_locked();
  if (free == 0 || (free == 1 && refused_.held_for_other(caller, plat_systick_get()))) {
    refused_.refused(caller);
    return 1;
  }
  refused_.taken_by(caller);
  send_list_.push_back({frame, plat_systick_get()});
  port_stats::add(stats.requests);
  plat_thread_wake(send_thread_);  // it sleeps until a request comes
  return 0;
}

void port_base::set_open(bool open) {
  std::scoped_lock guard(lock_);
  if (open_ == open) return;
  open_ = open;
  room_appeared_locked(0);
}

size_t port_base::queued() {
  std::scoped_lock guard(lock_);
  return send_list_.size();
}

size_t port_base::waiting() {
  std::scoped_lock guard(lock_);
  return wait_list_.size();
}

bool port_base::threads_running() {
  std::scoped_lock guard(lock_);
  return receive_thread_ != nullptr;
}

void port_base::start_threads(const char *send_name, const char *receive_name, std::function<void()> receive_body) {
  close_threads();
  plat_thread_handle send;
  if (send_name) send = plat_thread_start([this] { send_pass(); }, kThreadPeriodMs, send_name);
  plat_thread_handle receive = plat_thread_start(std::move(receive_body), kThreadPeriodMs, receive_name);
  std::scoped_lock guard(lock_);
  send_thread_ = std::move(send);
  receive_thread_ = std::move(receive);
  // Requests taken while no send thread ran are sent now.
  if (!send_list_.empty()) plat_thread_wake(send_thread_);
}

void port_base::close_threads() { plat_close_handles_under(lock_, send_thread_, receive_thread_); }

void port_base::release_all() {
  std::deque<entry> queued;
  std::deque<entry> waiting;
  {
    std::scoped_lock guard(lock_);
    const size_t free_before = free_places_locked();
    queued.swap(send_list_);
    waiting.swap(wait_list_);
    room_appeared_locked(free_before);
  }
  if (queued.empty() && waiting.empty()) return;
  PLAT_LOG(5, "[south %s]: %u queued and %u waiting requests released\n", settings_.type.c_str(),
           static_cast<unsigned>(queued.size()), static_cast<unsigned>(waiting.size()));
  // Outside the lock: freeing a frame runs its owner's release hook.
  for (const entry &e : queued) {
    port_stats::add(stats.dropped);
    mb_frame_release(e.frame);
  }
  for (const entry &e : waiting) {
    port_stats::add(stats.dropped);
    mb_frame_release(e.frame);
  }
}

bool port_base::take_waiting(const mb_frame *f) {
  std::scoped_lock guard(lock_);
  const auto it = std::find_if(wait_list_.begin(), wait_list_.end(), [f](const entry &e) { return e.frame == f; });
  if (it == wait_list_.end()) return false;
  const size_t free_before = free_places_locked();
  wait_list_.erase(it);
  room_appeared_locked(free_before);
  return true;
}

void port_base::send_pass() {
  mb_frame *req = nullptr;
  {
    std::scoped_lock guard(lock_);
    if (!send_list_.empty()) req = send_list_.front().frame;
  }
  if (!req) {
    plat_thread_idle_until_woken();  // push_request wakes this thread
    return;
  }
  PLAT_LOG(7, "%s get frame from send list", proto_);
  // Until it leaves the send list the request is this thread's alone. Its
  // bytes go out from the frame's wire buffer: once the request waits for
  // its answer, the receive thread may put the answer into `buf` at any
  // moment, even while the send is still under way.
  uint32_t len = 0;
  const uint8_t *payload = mb_frame_get_data(req, &len);
  const bool fits = len <= req->tx_size;
  if (fits) {
    std::memcpy(req->tx_buf, payload, len);
  } else {
    PLAT_LOG(3, "[south %s]: request of %u bytes does not fit its frame, dropped\n", settings_.type.c_str(), len);
  }

  bool dropped = !fits;
  {
    std::scoped_lock guard(lock_);
    const size_t free_before = free_places_locked();
    const uint32_t accepted_at = send_list_.front().accepted_at;
    send_list_.pop_front();  // its reference is this pass's now
    if (fits && settings_.mode == ANSWER_MODE) {
      if (wait_list_.size() >= static_cast<size_t>(settings_.south_list_size)) {
        dropped = true;
      } else {
        PLAT_LOG(7, "PUSH TO RECEIVE LIST");
        mb_frame_add_ref(req);  // the wait list's own
        mb_frame_mark_sent(req);  // its time-out clock starts
        wait_list_.push_back({req, accepted_at});
        PLAT_LOG(7, "push done");
      }
    }
    room_appeared_locked(free_before);
  }
  if (dropped) {
    // Nothing was sent, so no pause is owed.
    if (fits) PLAT_LOG(7, "release frame\n");
    PLAT_LOG(7, "RON(req_frame) failed");
    port_stats::add(stats.dropped);
    mb_frame_release(req);
  } else {
    if (transmit(req->tx_buf, len)) {
      port_stats::add(stats.bytes_out, len);
    } else {
      // Nothing went out, so nothing can answer it: it does not wait.
      PLAT_LOG(3, "[south %s]: request of %u bytes released unsent\n", settings_.type.c_str(), len);
      port_stats::add(stats.dropped);
      if (take_waiting(req)) mb_frame_release(req);
    }
    mb_frame_release(req);  // the send list's; in answer mode the wait list keeps its own
    // The pause between two requests.
    plat_systick_sleep(static_cast<uint32_t>(settings_.time_interval));
  }
  // The next pass runs at once if more wait.
  std::scoped_lock guard(lock_);
  if (!send_list_.empty()) plat_thread_wake_self();
}

uint32_t port_base::receive_wait_ms() {
  std::scoped_lock guard(lock_);
  if (wait_list_.empty()) return kIdleReceiveWaitMs;
  const mb_frame *oldest = wait_list_.front().frame;
  const uint32_t elapsed = plat_systick_get() - oldest->tick;
  const auto timeout = static_cast<uint32_t>(settings_.timeout);
  if (elapsed >= timeout) return 1;
  return std::clamp<uint32_t>(timeout - elapsed, 1, kIdleReceiveWaitMs);
}

void port_base::expire_waiting() {
  for (;;) {
    mb_frame *expired = nullptr;
    {
      std::scoped_lock guard(lock_);
      if (wait_list_.empty() || !check_frame_timeout(wait_list_.front().frame, settings_.timeout)) return;
      const size_t free_before = free_places_locked();
      expired = wait_list_.front().frame;
      wait_list_.pop_front();
      room_appeared_locked(free_before);
    }
    port_stats::add(stats.timeouts);
    mb_frame_release(expired);  // no callback: the requester learns by not getting an answer
  }
}

void port_base::data_arrived() {
  std::scoped_lock guard(lock_);
  // The time-out counts from the last data received.
  if (!wait_list_.empty()) mb_frame_mark_sent(wait_list_.front().frame);
}

void port_base::handle_block(const uint8_t *bytes, uint32_t len, const char *title) {
  PLAT_LOG_BUF(6, title, bytes, len);
  if (settings_.mode != ANSWER_MODE) {
    mb_frame *frame = mb_frame_create_raw(bytes, static_cast<int>(len), nullptr, nullptr, nullptr);
    if (!frame) return;
    mux_send_to_northport(mux_, static_cast<uint32_t>(settings_.id), frame);
    mb_frame_release(frame);  // the north ports only borrowed it
    return;
  }
  mb_frame *req = nullptr;
  uint32_t accepted_at = 0;
  {
    std::scoped_lock guard(lock_);
    if (!wait_list_.empty()) {
      // The list entry leaves first, so that the owner's next request finds
      // room while its callback still runs; the entry's reference stays with
      // this pass until then.
      const size_t free_before = free_places_locked();
      req = wait_list_.front().frame;
      accepted_at = wait_list_.front().accepted_at;
      wait_list_.pop_front();
      room_appeared_locked(free_before);
    }
  }
  if (!req) {
    PLAT_LOG(6, "[south %s]: %u bytes with no request waiting for them, dropped\n", settings_.type.c_str(), len);
    return;
  }
  if (frame_renewal(req, bytes, static_cast<int>(len)) != 0) {
    // A Modbus request routed here cannot carry a longer block back.
    port_stats::add(stats.dropped);
    mb_frame_release(req);
    return;
  }
  stats.answer_time(plat_systick_get() - accepted_at);
  port_stats::add(stats.answers);
  if (req->callback) mb_frame_add_ref(req);  // the callback releases one
  do_call_back(req);
  mb_frame_release(req);
}

settings read_common(tw_conf_node *element, const char *default_mode) {
  settings s;
  s.id = tw_conf_node_attr_get_int(element, "id", 255);
  s.type = tw_conf_node_attr_get_string_dup(element, "type", "tcp");
  s.timeout = tw_conf_node_attr_get_int(element, "timeout", 1000);
  s.mode = south_serial_transparent::mode_from_text(
      tw_conf_node_attr_get_string(element, "transmission_mode", default_mode));
  s.time_interval = tw_conf_node_attr_get_int(element, "time_interval", 50);
  s.south_list_size = tw_conf_node_attr_get_int(element, "south_list_size", 1);
  return s;
}

}  // namespace south_net_transparent
