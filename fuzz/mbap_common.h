// The MBAP harnesses' body, shared by the north and south sides.
#pragma once

#include <memory>

#include "frame/mb_frame.h"
#include "frame/mbap_framer.h"
#include "fuzz_input.h"

// Feeds the rest of `in` in chunks whose sizes the input chooses (a size
// byte before each chunk, 0 a read that brought nothing), checking every
// event against the limits of the form.
inline void fuzz_mbap(fuzz_input &in, mbap_side side) {
  auto f = std::make_unique<mbap_framer>();
  mbap_framer_init(f.get(), side);
  while (in.left() > 0) {
    const uint8_t choice = in.byte();
    if (choice == 0xFF) {  // a time-out between reads
      mbap_framer_reset(f.get());
      continue;
    }
    const uint8_t *chunk = nullptr;
    const size_t n = in.take(choice, &chunk);
    const mbap_result r = mbap_framer_feed(f.get(), chunk, static_cast<int>(n));
    FUZZ_CHECK(r.oversize == 0 || r.oversize > MB_BODY_MAX);
    if (side != mbap_side::north_tcp && r.event == mbap_event::message) FUZZ_CHECK(r.pid == 0);
    if (r.event != mbap_event::message) continue;
    FUZZ_CHECK(r.len <= MB_BODY_MAX);
    FUZZ_CHECK(r.len == 0 || (r.data >= f->data && r.data + r.len <= f->data + sizeof(f->data)));
    if (r.len == 0) continue;
    mb_frame *frame = mb_frame_create(r.data, static_cast<int>(r.len), nullptr, nullptr, nullptr, r.data[0], r.pid,
                                      r.tid, 0);
    FUZZ_CHECK(frame != nullptr);
    uint32_t out_len = 0;
    const uint8_t *tcp = mb_frame_convert_to_tcp(frame, &out_len, r.tid, r.pid);
    FUZZ_CHECK(tcp != nullptr && out_len == r.len + 6 && out_len <= MB_MBAP_ADU_MAX);
    const uint8_t *rtu = mb_frame_convert_to_rtu(frame, &out_len);
    FUZZ_CHECK(rtu != nullptr && out_len == r.len + 2 && out_len <= MB_RTU_ADU_MAX);
    mb_frame_release(frame);
  }
}
