// The north TCP transparent port's block delimiting: receives of any size
// (long runs of one byte too, to reach the size limit) at ticks that move
// by any amount, the time interval chosen by the input. Every block is
// exactly the bytes received since the last cut, is never empty nor
// MB_FRAME_BUF_SIZE long, and is cut only after a silence of at least the
// interval; a block that reaches the limit is dropped with the rest of its
// receive. The leak checker sees every frame and its client reference go.
#include <algorithm>
#include <memory>
#include <vector>

#include "fuzz_input.h"
#include "transparent/north_port_tcp_transparent.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static const bool quiet = (fuzz_quiet_logs(), true);
  (void)quiet;
  fuzz_input in(data, size);
  north_tcp_transparent::port port;
  auto c = std::make_shared<north_tcp_transparent::client>();
  c->owner = &port;
  c->time_interval = in.byte();
  north_tcp_transparent::rx_tcp_transparent_init(c.get());

  std::vector<uint8_t> since_cut;  // what the block being gathered must hold
  std::vector<uint8_t> run;
  uint32_t now = 0xFFFFFF00u;  // the tick wraps within a run
  uint32_t last_byte = now;
  while (in.left() > 0) {
    now += in.byte();
    const uint8_t how = in.byte();
    const uint8_t *chunk = nullptr;
    size_t n = 0;
    if (how & 0x80) {
      run.assign(static_cast<size_t>(how & 0x7F) * 1024u, in.byte());
      chunk = run.data();
      n = run.size();
    } else {
      n = in.take(how, &chunk);
    }
    const uint64_t drops = port.stats.framing_drops.load();
    mb_frame *frame = north_tcp_transparent::rx_tcp_transparent_fsm(c.get(), chunk, static_cast<int>(n), now);
    if (port.stats.framing_drops.load() != drops) {
      // The block reached the limit inside this receive: it and the rest of
      // the receive are gone.
      FUZZ_CHECK(frame == nullptr);
      FUZZ_CHECK(since_cut.size() + n >= MB_FRAME_BUF_SIZE);
      since_cut.clear();
      last_byte = now;
      continue;
    }
    since_cut.insert(since_cut.end(), chunk, chunk + n);
    if (n > 0) last_byte = now;
    if (!frame) {
      FUZZ_CHECK(since_cut.empty() || now - last_byte < static_cast<uint32_t>(c->time_interval));
      continue;
    }
    FUZZ_CHECK(now - last_byte >= static_cast<uint32_t>(c->time_interval));
    uint32_t len = 0;
    const uint8_t *block = mb_frame_get_data(frame, &len);
    FUZZ_CHECK(len >= 1 && len < MB_FRAME_BUF_SIZE);
    FUZZ_CHECK(len == since_cut.size() && std::equal(since_cut.begin(), since_cut.end(), block));
    FUZZ_CHECK(mb_frame_get_ctx(frame) != nullptr);
    since_cut.clear();
    mb_frame_release(frame);
  }
  return 0;
}
