// Cutting Modbus TCP requests and answers (MBAP header + unit id + PDU) out
// of a byte stream.
//
// A pure state machine: bytes in, at most one complete message out per call.
// It does no I/O, takes no lock and keeps all partial state (the header
// fields read so far, the data gathered so far) in its record, so one record
// belongs to one receiving thread. The north TCP clients, the north UDP port
// and the south TCP port all cut MBAP with it; what differs between them is
// the `mbap_side` given at init.
//
// States: 1 start -> 2 transaction id (2 bytes) -> 3 protocol id (2 bytes)
// -> 4 length (2 bytes) -> 5 data (length bytes) -> 1; 4 -> 6 skipping an
// oversized message -> 1.
// - A header or a data part split across calls continues in the next call.
// - When a message completes, the bytes of the same call after it are not
//   looked at (the caller's receive is used up).
// - A length of 0 completes at once, with no data.
// - No more data than the length announces is ever taken.
// - A length above MB_BODY_MAX (an ADU longer than MB_MBAP_ADU_MAX) is no
//   Modbus message: the call that reads such a header reports it in
//   `oversize`, and the machine skips the announced bytes (state 6) across
//   as many calls as they take, then reads on from the next header, so the
//   stream stays in step and the data area (MB_BODY_MAX bytes) is never
//   passed.
// - north_udp and south: a protocol id other than 0 sends the machine back
//   to state 1 and drops the rest of the call's bytes.
#pragma once

#include <cstdint>

#include "frame/mb_frame.h"

enum class mbap_side {
  north_tcp,  // any protocol id; traces name "TCP" data
  north_udp,  // protocol id must be 0; traces name "UDP" data
  south,      // protocol id must be 0; the south port's own traces
};

struct mbap_framer final {
  mbap_framer() = default;
  mbap_framer(const mbap_framer &) = delete;
  mbap_framer &operator=(const mbap_framer &) = delete;

  mbap_side side = mbap_side::north_tcp;
  int32_t state = 1;
  int32_t count = 0;  // bytes taken of the current 2-byte header field
  uint16_t tid = 0;
  uint16_t pid = 0;
  uint16_t length = 0;    // bytes announced after the length field
  uint32_t data_len = 0;  // data bytes gathered so far (state 5), or skipped (state 6)
  uint8_t data[MB_BODY_MAX] = {};
};

enum class mbap_event {
  none,      // nothing complete yet
  message,   // tid/pid/data/len: one complete message (len may be 0)
  bad_pid,   // protocol id not 0 (north_udp, south): dropped
};

struct mbap_result {
  mbap_event event = mbap_event::none;
  uint16_t tid = 0;
  uint16_t pid = 0;
  // The unit id and PDU. Points into the framer's record: valid until the
  // next mbap_framer_feed()/mbap_framer_reset().
  const uint8_t *data = nullptr;
  uint32_t len = 0;
  // Non-zero: the length of an oversized message whose header this call
  // read (dropped; any event above comes from bytes after it).
  uint32_t oversize = 0;
};

// Sets the side and returns the machine to state 1.
void mbap_framer_init(mbap_framer *f, mbap_side side);
// Back to state 1, forgetting any partial message.
void mbap_framer_reset(mbap_framer *f);
// Takes the `n` bytes of one receive (n <= 0: none came, nothing happens).
// REQUIRES: bytes points at n readable bytes when n > 0.
mbap_result mbap_framer_feed(mbap_framer *f, const uint8_t *bytes, int n);
