// Periodic and one-shot threads, the millisecond tick and sleeping.
//
// A periodic thread calls its body again and again; between two passes it
// waits `period` ms, or less when someone calls plat_thread_wake(), or stops
// when its handle is closed or the process terminates. Each call of the body
// is one pass. Closing a thread (destroying its handle) asks it to stop and
// waits for the pass in progress to end; a pass that waits long must look at
// plat_thread_wait_for_stop() in its loops. Closing a thread from inside
// itself only marks it to stop.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

struct plat_thread_state;

class plat_thread final {
 public:
  explicit plat_thread(std::shared_ptr<plat_thread_state> state);
  ~plat_thread();  // stop and join (mark only, when called on the thread itself)
  plat_thread(const plat_thread &) = delete;
  plat_thread &operator=(const plat_thread &) = delete;

  std::shared_ptr<plat_thread_state> state_;
};

using plat_thread_handle = std::unique_ptr<plat_thread>;
using plat_thread_entry = void (*)(void *arg, void *extra);

// Starts a named thread (name cut to 15 characters) running `body` once
// per period. Returns null when the thread cannot be created.
plat_thread_handle plat_thread_start(std::function<void()> body, uint32_t period_ms, const char *name);
plat_thread_handle plat_thread_start(plat_thread_entry entry, void *arg, void *extra, uint32_t period_ms,
                                     const char *name);

// Runs `body` once on a new thread. The handle may be kept to stop/join it.
plat_thread_handle plat_thread_start_oneshot_thread(std::function<void()> body, const char *name = "oneshot");
plat_thread_handle plat_thread_start_oneshot_thread(plat_thread_entry entry, void *arg);

// The period is an upper bound, not a polling rate: a pass may say how
// long the thread waits after it (see plat_thread_idle_until_woken and
// plat_thread_next_pass_in), so a thread with nothing to do costs nothing
// until someone hands it work.

// Makes the thread run its next pass at once instead of at the end of its
// period. Safe from any thread; a null handle is ignored.
void plat_thread_wake(plat_thread *thread);
inline void plat_thread_wake(const plat_thread_handle &thread) { plat_thread_wake(thread.get()); }
// From inside a pass: run the next pass at once (a receive pass that got
// data, so that the peer's next message is not left waiting a period).
// Does nothing on a thread not started by this layer.
void plat_thread_wake_self();

// From inside a pass: after this pass, wait until woken (or stopped)
// instead of one period. For a thread whose work is always handed to it.
void plat_thread_idle_until_woken();
// From inside a pass: after this pass, wait at most `ms` (or until woken)
// instead of one period. For a thread whose next duty falls due at a known
// time. The shortest of several calls in one pass wins.
void plat_thread_next_pass_in(uint32_t ms);

// A reference to a thread of this layer that does not keep it alive: what
// a port keeps of a thread it has promised to wake.
using plat_thread_ref = std::weak_ptr<plat_thread_state>;
// The calling thread (empty on a thread not started by this layer).
plat_thread_ref plat_thread_self();
// While one lives, plat_thread_self() on the constructing thread names
// `other` instead: a thread that offers work on another thread's behalf
// gets that one woken when the offer's turn comes. Null: no change.
class plat_thread_acting_for final {
 public:
  explicit plat_thread_acting_for(plat_thread *other);
  ~plat_thread_acting_for();
  plat_thread_acting_for(const plat_thread_acting_for &) = delete;
  plat_thread_acting_for &operator=(const plat_thread_acting_for &) = delete;

 private:
  plat_thread_state *previous_;
};
// Wakes the thread if it still exists (like plat_thread_wake).
void plat_thread_wake(const plat_thread_ref &thread);
// From inside a pass: waits up to `wait_ms` for a wake-up (which it uses
// up) or a stop. 1 when woken, 0 otherwise. On a thread not started by this
// layer it just sleeps.
int plat_thread_wait_for_wake(uint32_t wait_ms);

// Non-zero when the calling thread has been asked to stop (its handle was
// closed) or the process is terminating. The argument is a wait in ms
// (0: just look). On a thread not started by this layer it reports only
// process termination.
int plat_thread_wait_for_stop(uint32_t wait_ms);

// Stops and joins a thread (closing a handle). Safe on a null handle.
inline void plat_close_handle(plat_thread_handle &h) { h.reset(); }

// Unsigned 32-bit millisecond tick; take differences as uint32_t
// (now - then) so that they survive the wrap.
uint32_t plat_systick_get();

// Sleeps `ms` milliseconds. On a thread of this layer the sleep ends early
// when the thread is asked to stop or the process terminates.
void plat_systick_sleep(uint32_t ms);

// Number of threads of this layer still running (used at exit).
int plat_thread_running_count();
// Asks every thread of this layer to stop and waits up to `wait_ms` for them.
// Returns true when all have ended.
bool plat_thread_stop_all(uint32_t wait_ms);
