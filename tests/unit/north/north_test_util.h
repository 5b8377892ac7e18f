// Helpers for the north port tests: a south port that holds the requests
// it takes until the test answers them.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>

#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "frame/mb_frame.h"
#include "platform/plat_socket.h"
#include "platform/plat_thread.h"
#include "route/port.h"

namespace north_test {

using bytes = std::vector<uint8_t>;

// Takes every request and keeps it until the test answers it, the way a
// south port holds its pending slot.
class fake_south final : public south_port {
 public:
  int push_request(mb_frame *frame) override {
    std::scoped_lock g(lock_);
    held_.push_back(frame);
    return 0;
  }
  int start(void *, void *) override { return 0; }

  size_t taken() {
    std::scoped_lock g(lock_);
    return held_.size();
  }
  // Answers the i-th held request as a south port does, from another thread.
  void answer(size_t i, const bytes &answer) {
    mb_frame *f;
    {
      std::scoped_lock g(lock_);
      f = held_[i];
      held_[i] = nullptr;
    }
    std::thread t([f, answer] {
      mb_frame_add_ref(f);
      frame_renewal(f, answer.data(), static_cast<int>(answer.size()));
      do_call_back(f);
      mb_frame_release(f);
    });
    t.join();
  }
  ~fake_south() override {
    for (mb_frame *f : held_)
      if (f) mb_frame_release(f);
  }

 private:
  std::mutex lock_;  // guards held_
  std::deque<mb_frame *> held_;  // every request taken; null once answered
};

template <class Pred>
bool wait_until(Pred p, uint32_t ms = 3000) {
  for (uint32_t start = plat_systick_get(); !p(); plat_systick_sleep(5))
    if (plat_systick_get() - start > ms) return false;
  return true;
}

// A loopback port free at the time of the call.
inline uint16_t free_tcp_port() {
  auto s = plat_socket_create_tcp();
  plat_socket_bind(s.get(), plat_inet_addr("127.0.0.1"), 0);
  sockaddr_in a{};
  socklen_t len = sizeof a;
  ::getsockname(s->fd(), reinterpret_cast<sockaddr *>(&a), &len);
  return ntohs(a.sin_port);
}

}  // namespace north_test
