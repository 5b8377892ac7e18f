#include "route/refused_offers.h"

#include <algorithm>

namespace {

bool same_thread(const plat_thread_ref &a, const plat_thread_ref &b) {
  return !a.owner_before(b) && !b.owner_before(a);
}

}  // namespace

bool refused_offers::held_for_other(const plat_thread_ref &caller, uint32_t now) const {
  return !kept_for_.expired() && !same_thread(kept_for_, caller) && now - kept_since_ < kept_for_ms;
}

void refused_offers::refused(const plat_thread_ref &caller) {
  if (caller.expired()) return;
  if (std::none_of(refused_.begin(), refused_.end(), [&](const plat_thread_ref &r) { return same_thread(r, caller); }))
    refused_.push_back(caller);
}

void refused_offers::taken_by(const plat_thread_ref &caller) {
  kept_for_.reset();
  std::erase_if(refused_, [&](const plat_thread_ref &r) { return r.expired() || same_thread(r, caller); });
}

void refused_offers::slot_freed(uint32_t now) {
  while (!refused_.empty()) {
    plat_thread_ref next = refused_.front();
    refused_.pop_front();
    if (next.expired()) continue;
    kept_for_ = next;
    kept_since_ = now;
    plat_thread_wake(next);
    return;
  }
}
