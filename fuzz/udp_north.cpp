// The north UDP port's receive machines: datagrams from a few senders, each
// cut as the port's receive cuts it, read as MBAP (a partial request kept
// per sender, in a bounded set) or as RTU over UDP. Every request stays
// within the Modbus limits, an RTU one carries a good CRC, the senders
// remembered never exceed the bound, and every reply address is freed with
// its frame or at once (the leak checker sees the rest).
#include <algorithm>
#include <memory>

#include "frame/mb_codec.h"
#include "fuzz_input.h"
#include "north/north_port_udp.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static const bool quiet = (fuzz_quiet_logs(), true);
  (void)quiet;
  fuzz_input in(data, size);
  auto port = std::make_unique<north_udp::north_port_udp>();
  while (in.left() > 0) {
    // Which sender: few addresses and ports, so partial requests meet
    // their own sender's next datagram as well as others'.
    const uint8_t who = in.byte();
    const bool rtu = (who & 0x80) != 0;
    const uint8_t *chunk = nullptr;
    // A datagram as the port's receive gives it: at most rx_size bytes.
    const size_t n = in.take(std::min<size_t>(in.byte() * 2u, north_udp::north_port_udp::rx_size), &chunk);
    auto *reply = new north_udp::reply_addr{static_cast<uint32_t>(who & 0x07), static_cast<uint16_t>((who >> 3) & 0x0F),
                                            static_cast<uint8_t>(rtu), nullptr, port->core};
    mb_frame *frame = rtu ? north_udp::rx_rtu_fsm(port.get(), chunk, static_cast<int>(n), reply)
                          : north_udp::rx_udp_fsm(port.get(), chunk, static_cast<int>(n), reply);
    FUZZ_CHECK(port->mbap_buf.size() <= port->mbap_buf.capacity());
    if (!frame) {
      delete reply;
      continue;
    }
    FUZZ_CHECK(mb_frame_get_ctx(frame) == reply);
    uint32_t len = 0;
    const uint8_t *body = mb_frame_get_data(frame, &len);
    FUZZ_CHECK(len >= 1 && len <= MB_BODY_MAX);
    if (rtu) {
      FUZZ_CHECK(n == len + 2);
      FUZZ_CHECK(mb_crc16(chunk, static_cast<uint32_t>(len)) == (chunk[len] << 8 | chunk[len + 1]));
      FUZZ_CHECK(std::equal(body, body + len, chunk));
    }
    uint32_t out_len = 0;
    FUZZ_CHECK(mb_frame_convert_to_tcp(frame, &out_len, 1, 0) != nullptr && out_len <= MB_MBAP_ADU_MAX);
    mb_frame_release(frame);  // frees the reply address
  }
  return 0;
}
