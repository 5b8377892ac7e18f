// The south UDP port's receive machines: datagrams from a device (or anyone
// on the network), read as MBAP answers (which may span datagrams) or as one
// RTU frame each. Every answer stays within the Modbus limits and an RTU
// answer is exactly a datagram with a good CRC.
#include <algorithm>
#include <memory>

#include "frame/mb_codec.h"
#include "fuzz_input.h"
#include "south/south_port_udp.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static const bool quiet = (fuzz_quiet_logs(), true);
  (void)quiet;
  fuzz_input in(data, size);
  south_udp::south_port_udp_settings s;
  s.rtu_over_udp = (in.byte() & 1) != 0;
  // Never started: no socket, no threads; only its machines are used.
  auto port = std::make_unique<south_udp::south_port_udp>(s);
  while (in.left() > 0) {
    const uint8_t *chunk = nullptr;
    // At most what the port's read buffer holds.
    const size_t n = in.take(std::min<size_t>(in.byte() * 4u, 1024), &chunk);
    mb_frame *answer = s.rtu_over_udp ? port->rx_rtu_fsm(chunk, static_cast<int>(n))
                                      : port->rx_udp_fsm(chunk, static_cast<int>(n));
    if (!answer) continue;
    uint32_t len = 0;
    const uint8_t *body = mb_frame_get_data(answer, &len);
    FUZZ_CHECK(len >= 1 && len <= MB_BODY_MAX);
    if (s.rtu_over_udp) {
      FUZZ_CHECK(n == len + 2);
      FUZZ_CHECK(mb_crc16(chunk, static_cast<uint32_t>(len)) == (chunk[len] << 8 | chunk[len + 1]));
      FUZZ_CHECK(std::equal(body, body + len, chunk));
    } else {
      FUZZ_CHECK(answer->pid == 0);  // an answer under another protocol id never surfaces
    }
    mb_frame_release(answer);
  }
  return 0;
}
