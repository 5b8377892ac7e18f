// The north send list: request frames a north port (one per TCP client)
// has received and not yet handed to the mux.
//
// One receiving thread pushes, one sending thread hands over. The list
// holds one reference to every frame in it (the creator's); a frame the mux
// accepted leaves the list and its reference goes with it to the south
// port. When a new request finds the list full, every queued frame is
// dropped and released first: a master that did not wait for its answers
// gets its newest request served, not its oldest.
//
// Thread contract:
// - push() only from the receiving thread; hand_over() from the sending
//   thread, and from the receiving thread right after its own push (which
//   saves a thread hop when the south port is free); they may run at the
//   same time.
// - Looking at the front frame, offering it to the mux and taking it out of
//   the list happen as one step under the list's lock, so the flush in
//   push() never releases a frame the mux has already taken.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

#include "frame/mb_frame.h"
#include "platform/plat_list.h"
#include "platform/plat_thread.h"
#include "route/port_stats.h"

// The two families of north ports keep the same list and differ only in how
// loudly a flush is reported and what a refused hand-over means.
// Either way a negative result (no route: no table, no item for the unit,
// no such south port) drops and releases the frame at once, so it neither
// blocks the requests behind it nor is offered again; a busy south port (1)
// leaves it at the front for the next offer.
enum class north_send_list_kind {
  modbus,       // flush at level 5
  transparent,  // flush at level 4 with a pause per dropped frame
};

class north_send_list final {
 public:
  // A capacity below 1 is taken as 1 (the caller reports the configuration).
  north_send_list(int32_t capacity, north_send_list_kind kind);
  // Releases every frame still in the list.
  ~north_send_list();
  north_send_list(const north_send_list &) = delete;
  north_send_list &operator=(const north_send_list &) = delete;

  // The thread whose passes call hand_over(); push() wakes it so that a new
  // request is offered at once, not at the end of the sender's period.
  // Null stops the waking (before that thread is stopped).
  void set_consumer(plat_thread *thread);
  // Where flushed and unroutable requests are counted (the port's); null: nowhere.
  void set_stats(port_stats *stats) { stats_ = stats; }

  // Queues `frame`, taking over its reference. A full list is flushed first
  // (dumps titled "Old packets pushed from northbound ports are updated:",
  // then the flush message). The new frame's bytes are dumped at level 6
  // under `title`. Returns 0, or -1 when the list refused the frame (it is
  // released then). With `wake_consumer` false the caller offers the frame
  // itself and wakes the consumer only if that does not settle it.
  int push(mb_frame *frame, const char *title, bool wake_consumer = true);
  // Wakes the consumer thread (see set_consumer).
  void wake_consumer();
  plat_thread *consumer() const { return consumer_.load(); }

  // Offers the front frame: calls offer(frame) -> the mux's result, under
  // the list's lock. 0: the frame leaves the list (its reference now
  // belongs to the south port). Negative: it is dropped and released.
  // Otherwise it stays at the front for the next pass. Returns the offer's
  // result, or nothing for an empty list.
  template <class Offer>
  std::optional<int> hand_over(Offer &&offer) {
    std::scoped_lock guard(lock_);
    mb_frame *front = plat_list_front(list_.get());
    if (!front) return std::nullopt;
    const int rc = offer(front);
    if (rc == 0) {
      plat_list_pop_front(list_.get());
    } else if (rc < 0) {
      plat_list_pop_front(list_.get());
      if (stats_) port_stats::add(stats_->dropped);
      // No route: an exception answer where the port asked for them.
      if (mb_frame_answer_exception(front, MB_EX_GATEWAY_PATH_UNAVAILABLE) != 0) {
        mb_frame_release(front);
      } else if (stats_) {
        port_stats::add(stats_->exceptions);
      }
    }
    return rc;
  }

  // The send thread's pass of any north port: offers the front request
  // (hand_over with `offer`), then decides the thread's wait: a busy south
  // port wakes it when its slot frees (the period is only the fallback);
  // with more queued it runs again at once; with none it sleeps until the
  // next push wakes it. Call from the consumer thread's pass only.
  template <class Offer>
  void send_pass(Offer &&offer) {
    const std::optional<int> rc = hand_over(offer);
    if (rc && *rc > 0) return;
    if (size() > 0) {
      plat_thread_wake_self();
    } else {
      plat_thread_idle_until_woken();
    }
  }

  // Queues `frame` (as push) and offers it at once from the receiving
  // thread, on behalf of the consumer: the request usually finds its south
  // port free, and a thread hop is saved. A busy port, or more queued behind
  // it, is left to the consumer, which is woken (the port wakes the
  // consumer, not the receiving thread, when its slot frees). Returns as push.
  template <class Offer>
  int push_and_offer(mb_frame *frame, const char *title, Offer &&offer) {
    const int pushed = push(frame, title, false);
    if (pushed != 0) return pushed;
    plat_thread *sender = consumer();
    std::optional<int> rc;
    if (sender) {
      plat_thread_acting_for as_sender(sender);
      rc = hand_over(offer);
    }
    if (!rc || *rc > 0 || size() > 0) wake_consumer();
    return 0;
  }

  size_t size() const;
  size_t capacity() const;

 private:
  void flush_locked();

  const north_send_list_kind kind_;
  mutable std::mutex lock_;  // guards list_ (push/flush against hand_over)
  std::unique_ptr<plat_list<mb_frame>> list_;
  std::atomic<plat_thread *> consumer_{nullptr};
  port_stats *stats_ = nullptr;  // set before the list is used
};
