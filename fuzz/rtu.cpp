// The RTU silence framer (south RTU answers, north RTU requests, RTU over
// TCP): bytes in arbitrary splits at arbitrary ticks, every option set.
// A frame is never longer than the form allows and, with the CRC checked,
// always carries a good one.
#include <memory>

#include "frame/mb_codec.h"
#include "frame/rtu_framer.h"
#include "fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static const bool quiet = (fuzz_quiet_logs(), true);
  (void)quiet;
  fuzz_input in(data, size);
  const uint8_t opts = in.byte();
  rtu_framer_options o;
  o.gap_ms = 1u + (opts & 0x3F);
  o.gap_inclusive = (opts & 0x40) != 0;
  o.check_crc = (opts & 0x80) == 0;
  const uint8_t more = in.byte();
  o.discard_until_silence = (more & 1) == 0;
  o.max_len = (more & 2) ? MB_RTU_ADU_MAX : 1u + in.byte();
  auto f = std::make_unique<rtu_framer>();
  rtu_framer_init(f.get(), o);
  // Near the wrap of the tick, sometimes.
  uint32_t now = (more & 4) ? 0xFFFFFF00u : 1000u;
  while (in.left() > 0) {
    now += in.byte();  // the time since the last read
    const uint8_t *chunk = nullptr;
    const size_t n = in.take(in.byte() % 64, &chunk);
    const rtu_framer_result r = rtu_framer_feed(f.get(), chunk, static_cast<int>(n), now);
    FUZZ_CHECK(f->count <= o.max_len);
    if (r.event != rtu_framer_event::frame) continue;
    FUZZ_CHECK(r.len <= o.max_len && r.raw_len <= o.max_len);
    FUZZ_CHECK(r.data >= f->buf.data() && r.data + r.len <= f->buf.data() + f->buf.size());
    if (o.check_crc) {
      FUZZ_CHECK(r.len + 2 == r.raw_len && r.len >= 1);
      FUZZ_CHECK(mb_crc16(r.data, r.len) == r.crc_recv);
    }
  }
  return 0;
}
