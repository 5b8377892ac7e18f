// The fair hand-over of a single request slot: the threads whose offer
// found the slot taken, oldest refusal first, and the hold of a freed slot
// for the oldest of them.
//
// The slot's owner (a port) keeps one of these beside its slot and calls it
// only while holding the lock that guards the slot; the record has no lock
// of its own. Refused threads are remembered weakly: a thread that went
// away is skipped. A refused thread that is never woken still offers again
// after its own period.
#pragma once

#include <cstdint>
#include <deque>

#include "platform/plat_thread.h"

class refused_offers final {
 public:
  // How long a freed slot is held for the oldest refused thread.
  static constexpr uint32_t kept_for_ms = 20;

  // True when the empty slot is still held for a thread other than
  // `caller` (woken less than kept_for_ms before `now`).
  bool held_for_other(const plat_thread_ref &caller, uint32_t now) const;
  // `caller` was refused: remembered once, behind the earlier refusals.
  // A caller that is no thread of the platform layer cannot be woken and
  // is not remembered.
  void refused(const plat_thread_ref &caller);
  // `caller` took the slot: it is no longer waiting and the hold ends.
  void taken_by(const plat_thread_ref &caller);
  // The slot became free at `now`: the oldest refused thread that still
  // exists is woken and the slot held for it.
  void slot_freed(uint32_t now);
  size_t waiting() const { return refused_.size(); }

 private:
  std::deque<plat_thread_ref> refused_;  // oldest refusal first, each thread once
  plat_thread_ref kept_for_;             // the thread the free slot is held for
  uint32_t kept_since_ = 0;              // tick when it was woken
};
