// What every Modbus south port (RTU, ASCII, TCP, UDP) shares: the single
// pending-request slot, push_request, the delivery of an answer to the
// request's owner, the release of a request that gets no answer, the
// response cache with its refresh thread, and the port's send and cache
// threads.
//
// Frame ownership: an accepted frame's reference passes to the slot. Before
// a callback the port adds a reference (the callback releases one), and
// afterwards it releases the slot's. Every completed send pass leaves the
// slot empty.
//
// A derived port implements send_pass() (one pass of its send thread) and
// decides when to start and close the threads (serial ports when the line
// opens and closes, TCP ports when the connection comes and goes).
//
// Hand-over: the send thread sleeps until push_request wakes it. A thread
// whose offer finds the slot taken is remembered, in the order of the
// refusals; when the slot frees, the oldest one is woken and the slot is
// held for it for a moment (kept_for_ms), so that it is served before
// anyone who offered later. A refused thread that is never woken (the
// port went away) still offers again after its own period.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "cache/mb_cache.h"
#include "frame/mb_frame.h"
#include "frame/mbap_framer.h"
#include "frame/rtu_framer.h"
#include "platform/plat_thread.h"
#include "route/port.h"
#include "route/refused_offers.h"
#include "route/serial_line.h"

// The ports' settings check for `cache_polling_cycle`: a value below 1 ms
// would run refresh passes back to back, so it becomes 5000 with a level-4
// line naming the port type.
uint32_t south_port_polling_cycle(const std::string &type, long value);

class south_port_base : public south_port {
 public:
  ~south_port_base() override;
  south_port_base(const south_port_base &) = delete;
  south_port_base &operator=(const south_port_base &) = delete;

  // 0 accepted (the slot takes the caller's reference and the send thread
  // is woken), 1 busy (the calling thread, if it is a platform thread, is
  // woken when its turn comes), -1 refused while the port does not take
  // requests (a serial port whose line is closed): the caller drops the
  // frame at once rather than holding it for a line that may never return.
  // Any thread.
  int push_request(mb_frame *frame) override;

  // How long a freed slot is held for the oldest refused thread.
  static constexpr uint32_t kept_for_ms = refused_offers::kept_for_ms;

  const std::string &type() const { return type_; }
  uint32_t timeout() const { return timeout_; }
  uint32_t cache_polling_cycle() const { return cache_polling_cycle_; }
  mb_cache *cache() { return cache_.get(); }
  // The frame in the slot, or null.
  mb_frame *pending_request();
  // True while the send thread runs.
  bool threads_running();

  // One refresh pass of the cache (the cache thread's body).
  void update_cache_proc();

 protected:
  south_port_base(std::string type, uint32_t timeout, uint32_t cache_polling_cycle);

  // One pass of the send thread.
  virtual void send_pass() = 0;

  // Starts the send thread (period 10 ms, named `send_name`) and the cache
  // thread ("update_cache_proc", period cache_polling_cycle). Threads still
  // running from an earlier start are closed first, so a port never runs two
  // of either.
  void start_threads(const char *send_name);
  // Closes the send thread, then the cache thread. Not from those threads.
  void close_threads();

  // Serial ports: while refusing, push_request answers -1 (the first refusal
  // of a closed spell is logged at level 4, later ones at level 7). Ports
  // start out taking requests.
  void refuse_requests(bool refuse);
  // Releases the request left in the slot, if any, as unanswered (after
  // close_threads: no pass uses it any more).
  void drop_pending();
  // When non-zero, an idle send thread still runs a pass this often instead
  // of sleeping until woken: serial ports look for a line that hung up
  // while no request used it. Set before start_threads.
  uint32_t idle_pass_ms_ = 0;

  // Send thread: the cached answer for a cacheable request, or null (also
  // for a request that is not cacheable). The answer belongs to the caller.
  mb_frame *cache_lookup(mb_frame *req);
  // Send thread: the answer `bytes` goes into the request and to its owner
  // (add_ref, frame_renewal, slot emptied, do_call_back, release), so the
  // port takes a new request while the callback still runs.
  void deliver_answer(mb_frame *req, const uint8_t *bytes, uint32_t len);
  // Send thread: an answer from the device: offered to the cache, then
  // delivered as above; the answer frame is released.
  void deliver_device_answer(mb_frame *req, mb_frame *answer);
  // Send thread: the request ends without an answer (time-out, broadcast,
  // unsendable): the slot's reference is released and the slot emptied.
  void release_pending(mb_frame *req);
  // The device did not answer (time-out, line or connection failed during
  // the exchange), or cannot be reached: as release_pending, but a
  // requester that asked for exception answers gets one, by default
  // "target device failed to respond".
  void release_unanswered(mb_frame *req, uint8_t code = MB_EX_GATEWAY_TARGET_NO_RESPONSE);

  // Send thread: true when `answer` can only be the device's answer to
  // `req`: it carries the unit id the request carried on the wire and the
  // request's function code (or that code | 0x80, an exception). Anything
  // else is logged at level 4 and false: the caller drops it and waits on,
  // so a stray, repeated or late answer never reaches another request.
  bool answer_fits_request(const mb_frame *req, const mb_frame *answer);

  // Send thread, network ports: `a` when it answers `req`, else null (and
  // `a` released). An RTU answer must fit the request (answer_fits_request);
  // an MBAP answer must carry the transaction id the request went out with
  // (logged at level 4 otherwise), whatever unit id the device answers under.
  mb_frame *answer_or_null(mb_frame *req, mb_frame *a, bool mbap);

  // Send thread, network ports: true when `req` is cacheable and was
  // answered from the cache (the answer delivered). `who` names the port in
  // the hit and miss lines, `dump` titles the answer's bytes.
  bool answered_from_cache(mb_frame *req, const std::string &who, const char *dump);
  // Send thread, network ports: the request's RTU form when `rtu`, else its
  // MBAP form with the transaction id `*counter` (recorded in the request,
  // the counter moved on; 0xFFFF is never sent: after 0xFFFE the ids start
  // again at 0). Null when it is too long for the wire buffer (logged by the
  // conversion).
  const uint8_t *network_request(mb_frame *req, bool rtu, uint16_t *counter, uint32_t *len);
  // Send thread, network ports: the answer an MBAP receive event carries
  // (a message with data), or null; an answer with a protocol id other
  // than 0 (`framer`'s) is counted as a framing drop and logged at level 7.
  // Oversized answers are the caller's to handle.
  mb_frame *mbap_answer_frame(const mbap_result &r, const mbap_framer &framer);
  // Send thread, RTU answers: the frame an RTU receive event completes, or
  // null. A CRC error, an overflow or a frame too short is counted as a
  // framing drop and logged: the CRC line names the link `link` ("rtu",
  // "rtu over udp"), the overflow line ends in `overflow_rest`.
  mb_frame *rtu_answer_frame(const rtu_framer_result &r, const char *link, const char *overflow_rest);

  enum class wait_result { answered, timed_out, failed, stopped };
  // Send thread, network ports: ends an exchange that was answered (the
  // answer delivered, logged like the RTU port's) or timed out (released as
  // unanswered) and returns true; a failed or stopped wait is left to the
  // caller.
  bool finish_exchange(wait_result r, mb_frame *req, mb_frame *answer);
  // Send thread: the read loop of an exchange. Until the request times out
  // (`timeout` ms without data): read() returns a byte count (> 0 restarts
  // the time-out clock), 0 for nothing, < 0 when the line or connection
  // failed; every count goes to fsm(bytes, n), which returns an answer frame
  // or null. Sleeps 1 ms between reads; ends early when the thread is asked
  // to stop. On `answered`, *answer holds the frame from fsm.
  template <class Read, class Fsm>
  wait_result wait_for_answer(mb_frame *req, Read read, Fsm fsm, mb_frame **answer);

  // The send thread's read buffer (only the send thread uses it). The
  // framers gather across reads, so it need not hold a whole message.
  uint8_t read_buf_[1024] = {};

 private:
  const std::string type_;
  const uint32_t timeout_;
  const uint32_t cache_polling_cycle_;
  std::unique_ptr<mb_cache> cache_;

  // Empties the slot if it still holds `req` and wakes the oldest refused
  // thread, holding the slot for it. REQUIRES: lock_ held.
  void free_slot_locked(const mb_frame *req);

  // Guards pending_, the refused threads, the slot's holder and the two
  // thread handle slots. Threads are joined outside it (a joined pass may
  // need it to empty the slot).
  std::mutex lock_;
  mb_frame *pending_ = nullptr;  // owns one reference
  refused_offers refused_;
  uint32_t accepted_at_ = 0;  // tick when the slot's request was accepted
  closed_line_refusal refusal_{false};  // checked under lock_ before the slot is taken
  plat_thread_handle send_thread_;
  plat_thread_handle cache_thread_;
};

template <class Read, class Fsm>
south_port_base::wait_result south_port_base::wait_for_answer(mb_frame *req, Read read, Fsm fsm, mb_frame **answer) {
  mb_frame_mark_sent(req);
  while (!check_frame_timeout(req, timeout_)) {
    const int n = read(read_buf_, sizeof(read_buf_));
    if (n < 0) return wait_result::failed;
    if (n > 0) mb_frame_mark_sent(req);  // the time-out counts from the last data
    if (mb_frame *a = fsm(read_buf_, n)) {
      *answer = a;
      return wait_result::answered;
    }
    plat_systick_sleep(1);
    if (plat_thread_wait_for_stop(0)) return wait_result::stopped;
  }
  return wait_result::timed_out;
}
