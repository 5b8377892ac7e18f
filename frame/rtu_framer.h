// Cutting RTU frames out of a byte stream by inter-character silence.
//
// A pure state machine: the caller feeds it what each read returned together
// with the current millisecond tick, and it answers with at most one event
// per call. It does no I/O, takes no lock and keeps all partial state in its
// record, so one record belongs to one receiving thread (the thread that
// reads the line or socket). Used by every port that reads RTU frames
// (serial lines and RTU over TCP/UDP); the differences between those users
// are the options below, and the messages each user logs for the events.
//
// Rules:
// - Bytes are appended one by one and each sets the last-byte tick to `now`.
// - A message longer than `max_len` is no message of ours (event `overflow`,
//   once). With `discard_until_silence` (Modbus framing) everything gathered
//   and every byte up to the next silence is dropped, so the frame after the
//   silence is cut where it starts. Without it (raw blocks) the buffer is
//   emptied and the rest of the chunk dropped, and collection starts again.
// - Then, whether or not bytes came, the buffered bytes are one message when
//   the silence since the last byte exceeds the gap (or reaches it, with
//   `gap_inclusive`) and the buffer is not empty. The buffer is emptied
//   whatever the outcome: a message of fewer than 3 bytes gives `too_short`
//   (no CRC check), a bad CRC gives `crc_error`, a good one `frame`.
//   Without `check_crc` any non-empty message is a `frame` with all its bytes.
// - The CRC is the last two bytes, high byte of mb_crc16() first.
// - Optionally (frame_end) a frame ends as soon as its layout is complete
//   with a valid CRC, which spares the gap on every exchange.
#pragma once

#include <cstdint>
#include <vector>

#include "frame/mb_frame.h"

// How a Modbus RTU frame ends.
enum class rtu_frame_end {
  silence,         // after the gap, whatever came
  answer_length,   // also as soon as an answer's layout is complete with a valid CRC
  request_length,  // also as soon as a request's layout is complete with a valid CRC
};

// The length, CRC included, of the RTU frame whose first `n` bytes are `b`,
// from its function code's layout: 0 while more bytes are needed to tell,
// UINT32_MAX for a layout not known here (silence must end it). `answer`
// picks answer layouts (read answers by their byte count, write echoes and
// exceptions by their fixed lengths), otherwise request layouts.
uint32_t rtu_expected_length(const uint8_t *b, uint32_t n, bool answer);

// The "frame_end" attribute of an RTU port: absent (null) or "silence" is
// silence framing, "length" ends frames by their layout (answers on the
// south side, requests on the north side: `answers`); any other text is
// silence with a level-4 line naming the port type.
rtu_frame_end rtu_frame_end_from_text(const char *port_type, const char *text, bool answers);

struct rtu_framer_options {
  uint32_t gap_ms = 40;        // the silence that ends a message
  bool gap_inclusive = false;  // true: silence >= gap ends it; false: silence > gap
  bool check_crc = true;       // false: raw messages, no CRC and no minimum length
  uint32_t max_len = MB_RTU_ADU_MAX;  // the longest message, CRC included
  bool discard_until_silence = true;  // what an overlong message costs (see above)
  // With answer_length or request_length (and check_crc) a frame whose
  // layout is complete with a valid CRC is cut at once, without waiting for
  // the silence; the rest of that read is dropped. Anything else falls back
  // to the silence.
  rtu_frame_end frame_end = rtu_frame_end::silence;
};

enum class rtu_framer_event {
  none,       // nothing complete yet (or nothing buffered)
  frame,      // data/len: the message without its CRC
  crc_error,  // crc_calc/crc_recv set; message dropped
  too_short,  // fewer than 3 bytes at the silence; dropped without a check
  overflow,   // longer than max_len: dropped (see the rules above)
};

struct rtu_framer_result {
  rtu_framer_event event = rtu_framer_event::none;
  // For `frame`: the message without its CRC. Points into the framer's
  // buffer: valid until the next rtu_framer_feed()/rtu_framer_reset().
  const uint8_t *data = nullptr;
  uint32_t len = 0;
  uint32_t raw_len = 0;   // bytes at the cut, CRC included (frame, crc_error, too_short)
  uint32_t silence = 0;   // ms between the last byte and the cut
  uint16_t crc_calc = 0;  // mb_crc16() of the message (frame, crc_error)
  uint16_t crc_recv = 0;  // the received CRC, high byte first (frame, crc_error)
};

struct rtu_framer final {
  rtu_framer() = default;
  rtu_framer(const rtu_framer &) = delete;
  rtu_framer &operator=(const rtu_framer &) = delete;

  rtu_framer_options options;
  uint32_t count = 0;       // bytes of the message being collected
  uint32_t last_tick = 0;   // tick of the last byte appended (or discarded)
  bool discarding = false;  // dropping bytes until the next silence
  std::vector<uint8_t> buf;  // max_len bytes, sized by rtu_framer_init()
};

// Sets the options, sizes the buffer to max_len and empties it.
void rtu_framer_init(rtu_framer *f, const rtu_framer_options &options);
// Empties the buffer (keeps the options).
void rtu_framer_reset(rtu_framer *f);
// How long a reader may wait at tick `now` for the next byte without
// holding up the message being gathered: `idle_ms` while nothing is
// gathered (nor discarded), 0 once the silence has ended it, otherwise the
// rest of the gap (the gap ends it one tick later when it is exclusive),
// never more than `idle_ms`. A quiet line then costs one wake-up per
// `idle_ms`, and a message goes on as soon as its silence is complete.
uint32_t rtu_framer_wait_ms(const rtu_framer *f, uint32_t now, uint32_t idle_ms);
// Takes the `n` bytes of one read (n <= 0: none came) at tick `now`.
// REQUIRES: bytes points at n readable bytes when n > 0.
rtu_framer_result rtu_framer_feed(rtu_framer *f, const uint8_t *bytes, int n, uint32_t now);
