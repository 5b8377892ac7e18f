#include "platform/plat_thread.h"

#include <pthread.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <condition_variable>
#include <ctime>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/plat_internal.h"
#include "platform/plat_log.h"
#include "platform/plat_process.h"

// Threads run detached: their handle waits for `finished` instead of
// joining, so a thread that ends while its handle lives on (threads stopped
// at exit, handles closed from inside) leaves nothing to reap.
struct plat_thread_state {
  std::mutex mutex;  // guards stop, wake and finished
  // The wait after the current pass: the period, unless the pass asked for
  // less (plat_thread_next_pass_in) or to wait for a wake-up only. Thread
  // only: set by the pass, read by the loop around it.
  static constexpr uint32_t until_woken = UINT32_MAX;
  uint32_t next_wait_ms = 0;
  std::condition_variable cv;  // signalled on stop, wake, termination and finish
  bool stop = false;
  bool wake = false;
  bool finished = false;

  // Written before the thread starts, read-only afterwards.
  std::weak_ptr<plat_thread_state> weak_self;
  std::function<void()> body;
  uint32_t period_ms = 0;
  bool oneshot = false;
  std::string name;
};

namespace {

using clock_type = std::chrono::steady_clock;

// Every thread of this layer that has not finished yet.
struct registry {
  std::mutex mutex;  // guards threads
  std::condition_variable ended;  // signalled whenever a thread leaves `threads`
  std::vector<plat_thread_state *> threads;
};

registry &the_registry() {
  static registry *r = new registry;  // never destroyed: threads may outlive static destruction
  return *r;
}

thread_local plat_thread_state *current_thread = nullptr;
// The thread plat_thread_self() names, when not the current one.
thread_local plat_thread_state *acting_for = nullptr;

bool must_stop(const plat_thread_state &s) { return s.stop || plat_process_terminating(); }

void unregister(plat_thread_state *s) {
  registry &r = the_registry();
  {
    std::scoped_lock lock(r.mutex);
    std::erase(r.threads, s);
  }
  r.ended.notify_all();
}

void thread_main(const std::shared_ptr<plat_thread_state> &s) {
  current_thread = s.get();
  // The kernel keeps at most 15 characters of a thread name.
  std::string short_name = s->name.substr(0, 15);
  pthread_setname_np(pthread_self(), short_name.c_str());

  if (s->oneshot) {
    if (!plat_thread_wait_for_stop(0)) s->body();
  } else {
    for (;;) {
      {
        std::scoped_lock lock(s->mutex);
        if (must_stop(*s)) break;
      }
      s->next_wait_ms = s->period_ms;
      s->body();
      std::unique_lock lock(s->mutex);
      const auto ready = [&] { return s->wake || must_stop(*s); };
      if (s->next_wait_ms == plat_thread_state::until_woken) {
        s->cv.wait(lock, ready);
      } else {
        s->cv.wait_for(lock, std::chrono::milliseconds(s->next_wait_ms), ready);
      }
      s->wake = false;
    }
  }
  current_thread = nullptr;
  unregister(s.get());
  {
    std::scoped_lock lock(s->mutex);
    s->finished = true;
  }
  s->cv.notify_all();
}

plat_thread_handle start(std::function<void()> body, uint32_t period_ms, bool oneshot, const char *name) {
  RVON(body, nullptr);
  auto s = std::make_shared<plat_thread_state>();
  s->weak_self = s;
  s->body = std::move(body);
  s->period_ms = period_ms;
  s->oneshot = oneshot;
  s->name = name ? name : "thread";
  registry &r = the_registry();
  {
    std::scoped_lock lock(r.mutex);
    r.threads.push_back(s.get());
  }
  try {
    std::thread([s] { thread_main(s); }).detach();
  } catch (const std::system_error &e) {
    PLAT_LOG(3, "cannot start thread %s: %s", s->name.c_str(), e.what());
    unregister(s.get());
    return nullptr;
  }
  return std::make_unique<plat_thread>(std::move(s));
}

void request_stop(plat_thread_state *s) {
  {
    std::scoped_lock lock(s->mutex);
    s->stop = true;
  }
  s->cv.notify_all();
}

}  // namespace

plat_thread::plat_thread(std::shared_ptr<plat_thread_state> state) : state_(std::move(state)) {}

plat_thread::~plat_thread() {
  if (!state_) return;
  request_stop(state_.get());
  // Closed from inside its own pass: the pass ends normally and the thread,
  // which holds its own reference to the state, exits by itself.
  if (current_thread == state_.get()) return;
  std::unique_lock lock(state_->mutex);
  state_->cv.wait(lock, [&] { return state_->finished; });
}

plat_thread_handle plat_thread_start(std::function<void()> body, uint32_t period_ms, const char *name) {
  return start(std::move(body), period_ms, false, name);
}

plat_thread_handle plat_thread_start(plat_thread_entry entry, void *arg, void *extra, uint32_t period_ms,
                                     const char *name) {
  RVON(entry, nullptr);
  return start([entry, arg, extra] { entry(arg, extra); }, period_ms, false, name);
}

plat_thread_handle plat_thread_start_oneshot_thread(std::function<void()> body, const char *name) {
  return start(std::move(body), 0, true, name);
}

plat_thread_handle plat_thread_start_oneshot_thread(plat_thread_entry entry, void *arg) {
  RVON(entry, nullptr);
  return start([entry, arg] { entry(arg, nullptr); }, 0, true, "oneshot");
}

void plat_thread_wake(plat_thread *thread) {
  if (!thread || !thread->state_) return;
  plat_thread_state *s = thread->state_.get();
  {
    std::scoped_lock lock(s->mutex);
    s->wake = true;
  }
  s->cv.notify_all();
}

void plat_thread_wake_self() {
  plat_thread_state *s = current_thread;
  if (!s) return;
  std::scoped_lock lock(s->mutex);
  s->wake = true;
}

void plat_thread_idle_until_woken() {
  if (current_thread) current_thread->next_wait_ms = plat_thread_state::until_woken;
}

void plat_thread_next_pass_in(uint32_t ms) {
  plat_thread_state *s = current_thread;
  if (!s) return;
  if (s->next_wait_ms == plat_thread_state::until_woken || ms < s->next_wait_ms) s->next_wait_ms = ms;
}

plat_thread_acting_for::plat_thread_acting_for(plat_thread *other) : previous_(acting_for) {
  if (other && other->state_) acting_for = other->state_.get();
}

plat_thread_acting_for::~plat_thread_acting_for() { acting_for = previous_; }

plat_thread_ref plat_thread_self() {
  plat_thread_state *s = acting_for ? acting_for : current_thread;
  if (!s) return {};
  return s->weak_self;
}

void plat_thread_wake(const plat_thread_ref &thread) {
  std::shared_ptr<plat_thread_state> s = thread.lock();
  if (!s) return;
  {
    std::scoped_lock lock(s->mutex);
    s->wake = true;
  }
  s->cv.notify_all();
}

int plat_thread_wait_for_wake(uint32_t wait_ms) {
  plat_thread_state *s = current_thread;
  if (!s) {
    plat_systick_sleep(wait_ms);
    return 0;
  }
  std::unique_lock lock(s->mutex);
  s->cv.wait_for(lock, std::chrono::milliseconds(wait_ms), [&] { return s->wake || must_stop(*s); });
  const bool woken = s->wake;
  s->wake = false;
  return woken ? 1 : 0;
}

int plat_thread_wait_for_stop(uint32_t wait_ms) {
  plat_thread_state *s = current_thread;
  if (!s) return plat_process_is_terminated(static_cast<int>(std::min<uint32_t>(wait_ms, INT32_MAX))) ? 1 : 0;
  std::unique_lock lock(s->mutex);
  if (wait_ms > 0) s->cv.wait_for(lock, std::chrono::milliseconds(wait_ms), [&] { return must_stop(*s); });
  return must_stop(*s) ? 1 : 0;
}

uint32_t plat_systick_get() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  uint64_t ms = static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
  return static_cast<uint32_t>(ms);
}

void plat_systick_sleep(uint32_t ms) {
  if (current_thread) {
    plat_thread_wait_for_stop(ms);
    return;
  }
  timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

int plat_thread_running_count() {
  registry &r = the_registry();
  std::scoped_lock lock(r.mutex);
  return static_cast<int>(r.threads.size());
}

void plat_thread_notify_all() {
  registry &r = the_registry();
  std::scoped_lock lock(r.mutex);
  for (plat_thread_state *s : r.threads) {
    // Taking the thread's lock orders this notification after any waiter's
    // look at the flags, so the wake-up cannot be lost.
    { std::scoped_lock state_lock(s->mutex); }
    s->cv.notify_all();
  }
}

bool plat_thread_stop_all(uint32_t wait_ms) {
  registry &r = the_registry();
  std::unique_lock lock(r.mutex);
  for (plat_thread_state *s : r.threads) request_stop(s);
  // A thread calling this must not wait for itself.
  auto others_done = [&] {
    return std::all_of(r.threads.begin(), r.threads.end(), [](plat_thread_state *s) { return s == current_thread; });
  };
  return r.ended.wait_for(lock, std::chrono::milliseconds(wait_ms), others_done);
}
