// Cutting Modbus ASCII messages out of a character stream.
//
// A pure state machine, the same for answers (south ports) and requests
// (north ports): the caller feeds it what each read returned and it answers
// with at most one message per call. No I/O, no lock, all partial state in
// its record; one record belongs to one receiving thread.
//
// Rules:
// - Idle (`ASCII_IDLE`): every character but ':' is skipped (noise, the LF
//   of a CR LF pair that came in a later read). ':' starts a message.
// - Collecting (`ASCII_COLLECTING`): every character but CR and LF is
//   collected, ':' included (a second ':' does not restart the message; its
//   check then fails). The text is bounded by the longest Modbus ASCII
//   message: more than `text_max` characters drops the message (`overflow`
//   set in the result) and the machine waits for the next ':', still within
//   the same chunk.
// - CR or LF ends the message. The rest of the chunk is not looked at (two
//   messages in one read: only the first; an LF right after the CR: gone
//   with the rest). The machine is idle again, whatever the outcome:
//   - a character that is no hex digit (either case), or an odd count:
//     `invalid`, nothing decoded, so damage never turns into bytes;
//   - fewer than 2 decoded bytes: `too_short`;
//   - the last decoded byte is the LRC of the bytes before it: `frame`
//     with the bytes before it, otherwise `lrc_error`.
#pragma once

#include <cstdint>

#include "frame/mb_frame.h"

constexpr int ASCII_IDLE = 2;         // waiting for ':'
constexpr int ASCII_COLLECTING = 12;  // between ':' and CR/LF

enum class ascii_framer_event {
  none,       // no message ended in this chunk
  frame,      // data/len: the message's bytes without the LRC
  lrc_error,  // lrc_calc/lrc_recv set; dropped
  invalid,    // a character that is no hex digit, or an odd count; dropped
  too_short,  // fewer than 2 bytes; dropped without a check
};

struct ascii_framer_result {
  ascii_framer_event event = ascii_framer_event::none;
  // For `frame`: points into the framer's record, valid until the next
  // ascii_framer_feed()/ascii_framer_reset().
  const uint8_t *data = nullptr;
  uint32_t len = 0;
  uint32_t hex_len = 0;  // characters between ':' and the end (every event but none)
  uint32_t decoded = 0;  // bytes decoded, LRC included (frame, lrc_error, too_short)
  uint8_t lrc_calc = 0;  // mb_lrc() of the bytes before the last (frame, lrc_error)
  uint8_t lrc_recv = 0;  // the last byte (frame, lrc_error)
  bool overflow = false;  // a message longer than text_max was dropped in this chunk
};

struct ascii_framer final {
  // The hex text of the longest message: unit id, PDU and LRC.
  static constexpr uint32_t text_max = 2 * (MB_BODY_MAX + 1);
  static_assert(text_max + 3 == MB_ASCII_ADU_MAX);

  int state = ASCII_IDLE;
  uint32_t hex_len = 0;  // characters collected
  char text[text_max] = {};
  uint8_t bin[text_max / 2] = {};
};

// Idle, nothing collected.
void ascii_framer_reset(ascii_framer *f);
// Takes the `n` characters of one read (n <= 0: none came).
// REQUIRES: bytes points at n readable bytes when n > 0.
ascii_framer_result ascii_framer_feed(ascii_framer *f, const uint8_t *bytes, int n);
