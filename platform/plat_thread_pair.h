// Closing the two threads a port keeps behind one lock.
#pragma once

#include <mutex>

#include "platform/plat_thread.h"

// Takes two thread handles out under `lock` (the lock that guards them),
// then stops and joins both outside it, first `first`: a pass that waits
// for the lock can end while it is being joined.
inline void plat_close_handles_under(std::mutex &lock, plat_thread_handle &first, plat_thread_handle &second) {
  plat_thread_handle a;
  plat_thread_handle b;
  {
    std::scoped_lock guard(lock);
    a = std::move(first);
    b = std::move(second);
  }
  plat_close_handle(a);
  plat_close_handle(b);
}
