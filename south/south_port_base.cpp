#include "south/south_port_base.h"

#include <utility>

#include "platform/plat_log.h"
#include "platform/plat_thread_pair.h"

uint32_t south_port_polling_cycle(const std::string &type, long value) {
  if (value >= 1) return static_cast<uint32_t>(value);
  PLAT_LOG(4, "[south %s]: cache_polling_cycle %ld is not usable, system is setting as defaut val : 5000\n",
           type.c_str(), value);
  return 5000;
}

south_port_base::south_port_base(std::string type, uint32_t timeout, uint32_t cache_polling_cycle)
    : type_(std::move(type)),
      timeout_(timeout),
      cache_polling_cycle_(cache_polling_cycle),
      cache_(cache_create(this, timeout)) {}

south_port_base::~south_port_base() {
  // The derived port has closed the threads; what is left in the slot was
  // never answered.
  close_threads();
  mb_frame *left = nullptr;
  {
    std::scoped_lock lock(lock_);
    left = std::exchange(pending_, nullptr);
  }
  if (left) mb_frame_release(left);
}

int south_port_base::push_request(mb_frame *frame) {
  const plat_thread_ref caller = plat_thread_self();
  std::unique_lock lock(lock_);
  if (refusal_.refusing()) {
    lock.unlock();
    port_stats::add(stats.dropped);
    refusal_.report(type_);
    return -1;
  }
  if (pending_ || refused_.held_for_other(caller, plat_systick_get())) {
    refused_.refused(caller);
    return 1;
  }
  refused_.taken_by(caller);
  pending_ = frame;
  accepted_at_ = plat_systick_get();
  plat_thread_ref send_thread;
  if (send_thread_) send_thread = send_thread_->state_;
  lock.unlock();
  port_stats::add(stats.requests);
  // The send thread takes it at once: it sleeps until woken. Woken after the
  // lock is left, so that its first look at the slot does not wait for us.
  plat_thread_wake(send_thread);
  return 0;
}

void south_port_base::free_slot_locked(const mb_frame *req) {
  if (pending_ != req) return;
  pending_ = nullptr;
  // The oldest refused thread that still exists gets the slot next.
  refused_.slot_freed(plat_systick_get());
}

mb_frame *south_port_base::pending_request() {
  std::scoped_lock lock(lock_);
  return pending_;
}

bool south_port_base::threads_running() {
  std::scoped_lock lock(lock_);
  return send_thread_ != nullptr;
}

void south_port_base::update_cache_proc() { cache_update_all(cache_.get(), timeout_); }

void south_port_base::start_threads(const char *send_name) {
  close_threads();
  plat_thread_handle send = plat_thread_start(
      [this] {
        send_pass();
        // Nothing waiting: sleep until push_request hands over a request
        // (or until the next idle pass is due).
        if (!pending_request()) {
          plat_thread_idle_until_woken();
          if (idle_pass_ms_ != 0) plat_thread_next_pass_in(idle_pass_ms_);
        }
      },
      10, send_name);
  plat_thread_handle cache = plat_thread_start([this] { update_cache_proc(); }, cache_polling_cycle_, "update_cache_proc");
  std::scoped_lock lock(lock_);
  send_thread_ = std::move(send);
  cache_thread_ = std::move(cache);
  // A request that came while no thread ran is served now.
  if (pending_) plat_thread_wake(send_thread_);
}

void south_port_base::refuse_requests(bool refuse) {
  std::scoped_lock lock(lock_);
  refusal_.set(refuse);
}

void south_port_base::drop_pending() {
  // As if unanswered: the requester gets the exception it asked for, if any.
  if (mb_frame *left = pending_request()) release_unanswered(left);
}

void south_port_base::close_threads() { plat_close_handles_under(lock_, send_thread_, cache_thread_); }

mb_frame *south_port_base::cache_lookup(mb_frame *req) {
  if (!mb_frame_is_cacheable(req)) return nullptr;
  mb_frame *ack = cache_get_ack(cache_.get(), mb_frame_get_phy_id(req), mb_frame_get_func_code(req),
                                mb_frame_get_start_addr(req), mb_frame_get_quantity(req));
  port_stats::add(ack ? stats.cache_hits : stats.cache_misses);
  return ack;
}

void south_port_base::deliver_answer(mb_frame *req, const uint8_t *bytes, uint32_t len) {
  // The callback's reference; a frame without a callback would keep it forever.
  uint32_t accepted_at = 0;
  {
    std::scoped_lock lock(lock_);
    accepted_at = accepted_at_;
  }
  stats.answer_time(plat_systick_get() - accepted_at);
  port_stats::add(stats.answers);
  if (frame_renewal(req, bytes, static_cast<int>(len)) != 0) {
    // Cannot happen with the framers' limits; if it did, the request would
    // carry its own bytes back as an answer.
    release_pending(req);
    return;
  }
  if (req->callback) mb_frame_add_ref(req);
  // The slot is emptied before the owner sees the answer: a master may send
  // its next request as soon as the callback has answered it, and that
  // request must find the port free rather than wait for its north port's
  // next pass. The slot's reference stays with this pass until the callback
  // is done.
  {
    std::scoped_lock lock(lock_);
    free_slot_locked(req);
  }
  do_call_back(req);
  mb_frame_release(req);
}

void south_port_base::deliver_device_answer(mb_frame *req, mb_frame *answer) {
  cache_register_ack(cache_.get(), req, answer, mb_frame_is_cacheable(req));
  uint32_t len = 0;
  const uint8_t *bytes = mb_frame_get_data(answer, &len);
  deliver_answer(req, bytes, len);
  mb_frame_release(answer);
}

void south_port_base::release_pending(mb_frame *req) {
  {
    std::scoped_lock lock(lock_);
    free_slot_locked(req);
  }
  // Outside the lock: freeing the frame runs its owner's context release.
  mb_frame_release(req);
}

bool south_port_base::answer_fits_request(const mb_frame *req, const mb_frame *answer) {
  const uint8_t unit = answer->len > 0 ? answer->buf[0] : 0;
  const uint8_t fc = answer->len > 1 ? answer->buf[1] : 0;
  const uint8_t want_unit = mb_frame_get_phy_id(req);
  const uint8_t want_fc = mb_frame_get_func_code(req);
  if (answer->len >= 2 && unit == want_unit && (fc == want_fc || fc == (want_fc | 0x80))) return true;
  port_stats::add(stats.framing_drops);
  PLAT_LOG(4,
           "[south %s]: answer from unit %d with function %02X does not answer the request to unit %d with function "
           "%02X; dropped\n",
           type_.c_str(), unit, fc, want_unit, want_fc);
  return false;
}

mb_frame *south_port_base::answer_or_null(mb_frame *req, mb_frame *a, bool mbap) {
  if (!a) return nullptr;
  if (!mbap) {
    if (answer_fits_request(req, a)) return a;
  } else if (mb_frame_get_tid(a) == mb_frame_get_south_tid(req)) {
    return a;
  } else {
    port_stats::add(stats.framing_drops);
    PLAT_LOG(4, "[south %s]: answer to transaction %u while waiting for %u; dropped\n", type_.c_str(),
             mb_frame_get_tid(a), mb_frame_get_south_tid(req));
  }
  mb_frame_release(a);
  return nullptr;
}

bool south_port_base::finish_exchange(wait_result r, mb_frame *req, mb_frame *answer) {
  switch (r) {
    case wait_result::answered: {
      uint32_t len = 0;
      const uint8_t *bytes = mb_frame_get_data(answer, &len);
      PLAT_LOG(7, "[south %s]: south port rtu receive req done\n", type_.c_str());
      PLAT_LOG_BUF(6, "SOUTH RTU <-", bytes, len);
      deliver_device_answer(req, answer);
      return true;
    }
    case wait_result::timed_out:
      release_unanswered(req);  // the requester learns by getting no answer (or the exception it asked for)
      return true;
    case wait_result::failed:
    case wait_result::stopped:
      break;
  }
  return false;
}

void south_port_base::release_unanswered(mb_frame *req, uint8_t code) {
  port_stats::add(stats.timeouts);
  {
    std::scoped_lock lock(lock_);
    free_slot_locked(req);
  }
  // The exception's callback releases the slot's reference; otherwise it is
  // released here.
  if (mb_frame_answer_exception(req, code) != 0) {
    mb_frame_release(req);
  } else {
    port_stats::add(stats.exceptions);
  }
}

mb_frame *south_port_base::mbap_answer_frame(const mbap_result &r, const mbap_framer &framer) {
  switch (r.event) {
    case mbap_event::message:
      // A zero length is a complete message with nothing to deliver.
      if (r.len == 0) return nullptr;
      return mb_frame_create(r.data, static_cast<int>(r.len), nullptr, nullptr, nullptr, 0, r.pid, r.tid, 0);
    case mbap_event::bad_pid:
      port_stats::add(stats.framing_drops);
      PLAT_LOG(7, "[south %s]: answer with protocol id %04X dropped\n", type().c_str(), framer.pid);
      break;
    case mbap_event::none:
      break;
  }
  return nullptr;
}

mb_frame *south_port_base::rtu_answer_frame(const rtu_framer_result &r, const char *link, const char *overflow_rest) {
  switch (r.event) {
    case rtu_framer_event::frame:
      PLAT_LOG(7, "CRC CHECK DONE");
      return mb_frame_create(r.data, static_cast<int>(r.len), nullptr, nullptr, nullptr, 0, 0, 0, 0);
    case rtu_framer_event::crc_error:
      port_stats::add(stats.framing_drops);
      PLAT_LOG(4,
               "[south %s] :Please check the %s communication protocol, CRC checksum fail, new CRC is  %02X old lrc "
               "is %02X ",
               type().c_str(), link, r.crc_calc, r.crc_recv);
      break;
    case rtu_framer_event::overflow:
      port_stats::add(stats.framing_drops);
      PLAT_LOG(4, "[south %s]: answer longer than %zu bytes, %s\n", type().c_str(), MB_RTU_ADU_MAX, overflow_rest);
      break;
    case rtu_framer_event::too_short:
      port_stats::add(stats.framing_drops);
      PLAT_LOG(7, "[south %s]: %u bytes are no frame, dropped\n", type().c_str(), r.raw_len);
      break;
    case rtu_framer_event::none:
      break;
  }
  return nullptr;
}

bool south_port_base::answered_from_cache(mb_frame *req, const std::string &who, const char *dump) {
  if (!mb_frame_is_cacheable(req)) return false;
  if (mb_frame *ack = cache_lookup(req)) {
    uint32_t len = 0;
    const uint8_t *bytes = mb_frame_get_data(ack, &len);
    PLAT_LOG(6, "[%s]: get req from cache\n", who.c_str());
    PLAT_LOG_BUF(6, dump, bytes, len);
    deliver_answer(req, bytes, len);
    mb_frame_release(ack);
    return true;
  }
  PLAT_LOG(5, "[%s] : can not get ack from cache, phy id is [%02x], going to regist new cache", who.c_str(),
           mb_frame_get_phy_id(req));
  return false;
}

const uint8_t *south_port_base::network_request(mb_frame *req, bool rtu, uint16_t *counter, uint32_t *len) {
  if (rtu) return mb_frame_convert_to_rtu(req, len);
  const uint16_t tid = *counter == 0xFFFF ? 0 : *counter;
  const uint8_t *tx = mb_frame_convert_to_tcp(req, len, tid, 0);
  if (tx) {
    mb_frame_set_south_tid(req, tid);
    *counter = static_cast<uint16_t>(tid + 1);
    PLAT_LOG(7, "SEND ID IS %d", tid);
  }
  return tx;
}
