#include "north/north_send_list.h"

#include "platform/plat_log.h"

north_send_list::north_send_list(int32_t capacity, north_send_list_kind kind)
    : kind_(kind), list_(plat_list_create<mb_frame>(static_cast<size_t>(capacity < 1 ? 1 : capacity))) {}

north_send_list::~north_send_list() {
  std::scoped_lock guard(lock_);
  while (mb_frame *frame = plat_list_pop_front(list_.get())) mb_frame_release(frame);
}

void north_send_list::set_consumer(plat_thread *thread) { consumer_.store(thread); }

void north_send_list::flush_locked() {
  const int level = kind_ == north_send_list_kind::modbus ? 5 : 4;
  while (mb_frame *old = plat_list_pop_front(list_.get())) {
    PLAT_LOG_BUF(level, "Old packets pushed from northbound ports are updated:", old->buf, old->len);
    mb_frame_release(old);
    if (stats_) port_stats::add(stats_->dropped);
    if (kind_ == north_send_list_kind::transparent) plat_systick_sleep(1);
  }
  plat_list_clear(list_.get());
  if (kind_ == north_send_list_kind::modbus) {
    PLAT_LOG(5, "NORTH SEND LIST IS FULL, CLEAN UP DONE ");
  } else {
    PLAT_LOG(4, "NORTH SEND LIST IS FULL, CLEAN UP DONE. ");
  }
}

int north_send_list::push(mb_frame *frame, const char *title, bool wake_consumer) {
  RVON(frame, -1);
  int rc = 0;
  {
    std::scoped_lock guard(lock_);
    if (plat_list_is_full(list_.get())) flush_locked();
    PLAT_LOG_BUF(6, title, frame->buf, frame->len);
    if (!plat_list_push_back(list_.get(), frame)) {
      mb_frame_release(frame);
      rc = -1;
    }
  }
  if (rc == 0 && wake_consumer) plat_thread_wake(consumer_.load());
  return rc;
}

void north_send_list::wake_consumer() { plat_thread_wake(consumer_.load()); }

size_t north_send_list::size() const {
  std::scoped_lock guard(lock_);
  return list_->size();
}

size_t north_send_list::capacity() const { return list_->capacity(); }
