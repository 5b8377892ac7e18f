#include "frame/rtu_framer.h"

#include "frame/mb_codec.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "platform/plat_log.h"

namespace {

constexpr uint32_t kUnknown = UINT32_MAX;

// Layouts by function code: unit + fc + fixed part [+ byte count + data] + CRC.
uint32_t with_byte_count(const uint8_t *b, uint32_t n, uint32_t count_at) {
  if (n <= count_at) return 0;
  return count_at + 1 + b[count_at] + 2;
}

// The frame that would end here: true when `count` bytes make a complete
// frame by layout with a valid CRC.
bool complete_by_length(const rtu_framer *f) {
  const bool answer = f->options.frame_end == rtu_frame_end::answer_length;
  const uint32_t want = rtu_expected_length(f->buf.data(), f->count, answer);
  if (want == 0 || want == kUnknown || want != f->count || want < 4) return false;
  const uint16_t crc = mb_crc16(f->buf.data(), want - 2);
  return crc == static_cast<uint16_t>((f->buf[want - 2] << 8) | f->buf[want - 1]);
}

}  // namespace

uint32_t rtu_expected_length(const uint8_t *b, uint32_t n, bool answer) {
  if (n < 2) return 0;
  const uint8_t fc = b[1];
  if (answer) {
    if (fc & 0x80) return 5;  // unit, fc | 0x80, exception code, CRC
    switch (fc) {
      case 1: case 2: case 3: case 4: case 12: case 17: case 20: case 21: case 23:
        return with_byte_count(b, n, 2);
      case 5: case 6: case 8: case 11: case 15: case 16:
        return 8;
      case 7:
        return 5;
      case 22:
        return 10;
      default:
        return kUnknown;
    }
  }
  switch (fc) {
    case 1: case 2: case 3: case 4: case 5: case 6: case 8:
      return 8;
    case 7: case 11: case 12: case 17:
      return 4;
    case 15: case 16:
      return with_byte_count(b, n, 6);
    case 22:
      return 10;
    case 23:
      return with_byte_count(b, n, 10);
    default:
      return kUnknown;
  }
}

rtu_frame_end rtu_frame_end_from_text(const char *port_type, const char *text, bool answers) {
  if (!text || std::strcmp(text, "silence") == 0) return rtu_frame_end::silence;
  if (std::strcmp(text, "length") == 0) return answers ? rtu_frame_end::answer_length : rtu_frame_end::request_length;
  PLAT_LOG(4, "[%s]: frame_end \"%s\" is not \"silence\" or \"length\"; frames end by silence\n",
           port_type ? port_type : "", text);
  return rtu_frame_end::silence;
}

void rtu_framer_init(rtu_framer *f, const rtu_framer_options &options) {
  f->options = options;
  if (f->options.max_len < 1) f->options.max_len = 1;
  f->buf.assign(f->options.max_len, 0);
  rtu_framer_reset(f);
}

void rtu_framer_reset(rtu_framer *f) {
  f->count = 0;
  f->last_tick = 0;
  f->discarding = false;
}

uint32_t rtu_framer_wait_ms(const rtu_framer *f, uint32_t now, uint32_t idle_ms) {
  if (f->count == 0 && !f->discarding) return idle_ms;
  const uint32_t silence = now - f->last_tick;  // unsigned: survives the tick wrap
  const uint32_t ends_at = f->options.gap_inclusive ? f->options.gap_ms : f->options.gap_ms + 1;
  if (silence >= ends_at) return 0;
  return std::min(idle_ms, ends_at - silence);
}

rtu_framer_result rtu_framer_feed(rtu_framer *f, const uint8_t *bytes, int n, uint32_t now) {
  rtu_framer_result r;
  if (f->buf.empty()) rtu_framer_init(f, f->options);  // never initialised: the default options
  const uint32_t max_len = static_cast<uint32_t>(f->buf.size());
  for (int i = 0; i < n; ++i) {
    f->last_tick = now;
    if (f->discarding) continue;
    if (f->count >= max_len) {
      // No silence within the longest message: this is no message of ours.
      f->count = 0;
      f->discarding = true;
      r.event = rtu_framer_event::overflow;
      continue;
    }
    f->buf[f->count++] = bytes[i];
    if (!f->options.discard_until_silence && f->count >= max_len) {
      // Raw blocks: a full buffer is dropped with the rest of the chunk.
      f->count = 0;
      r.event = rtu_framer_event::overflow;
      return r;
    }
    if (f->options.frame_end != rtu_frame_end::silence && f->options.check_crc && complete_by_length(f)) {
      // Complete by its layout: cut now. What follows in this read belongs
      // to no frame we wait for.
      r.event = rtu_framer_event::frame;
      r.data = f->buf.data();
      r.raw_len = f->count;
      r.len = f->count - 2;
      r.silence = 0;
      r.crc_calc = r.crc_recv = static_cast<uint16_t>((f->buf[r.len] << 8) | f->buf[r.len + 1]);
      f->count = 0;
      return r;
    }
  }

  const uint32_t silence = now - f->last_tick;  // unsigned: survives the tick wrap
  const bool cut = f->options.gap_inclusive ? silence >= f->options.gap_ms : silence > f->options.gap_ms;
  if (f->discarding) {
    if (cut) f->discarding = false;  // in step again: the next byte starts a message
    return r;
  }
  if (r.event == rtu_framer_event::overflow || f->count == 0 || !cut) return r;

  const uint32_t total = f->count;
  f->count = 0;  // emptied whatever the outcome; the bytes stay readable until the next feed
  r.raw_len = total;
  r.silence = silence;

  if (!f->options.check_crc) {
    r.event = rtu_framer_event::frame;
    r.data = f->buf.data();
    r.len = total;
    return r;
  }
  if (total < 3) {
    r.event = rtu_framer_event::too_short;
    return r;
  }
  const uint32_t len = total - 2;
  r.crc_calc = mb_crc16(f->buf.data(), len);
  r.crc_recv = static_cast<uint16_t>((f->buf[len] << 8) | f->buf[len + 1]);
  if (r.crc_calc != r.crc_recv) {
    r.event = rtu_framer_event::crc_error;
    return r;
  }
  r.event = rtu_framer_event::frame;
  r.data = f->buf.data();
  r.len = len;
  return r;
}
