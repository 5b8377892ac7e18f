// The ASCII framer (south ASCII answers, north ASCII requests): characters
// in arbitrary splits. A message is never longer than the form allows and
// always carries a good LRC.
#include <memory>

#include "frame/ascii_framer.h"
#include "frame/mb_codec.h"
#include "fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static const bool quiet = (fuzz_quiet_logs(), true);
  (void)quiet;
  fuzz_input in(data, size);
  auto f = std::make_unique<ascii_framer>();
  ascii_framer_reset(f.get());
  while (in.left() > 0) {
    const uint8_t *chunk = nullptr;
    const size_t n = in.take(in.byte() % 64, &chunk);
    const ascii_framer_result r = ascii_framer_feed(f.get(), chunk, static_cast<int>(n));
    FUZZ_CHECK(f->hex_len <= ascii_framer::text_max);
    if (r.event != ascii_framer_event::frame) continue;
    FUZZ_CHECK(r.len >= 1 && r.len + 1 <= ascii_framer::text_max / 2);
    FUZZ_CHECK(r.data >= f->bin && r.data + r.len <= f->bin + sizeof f->bin);
    FUZZ_CHECK(mb_lrc(r.data, r.len) == r.lrc_recv);
  }
  return 0;
}
