#include "frame/rtu_framer.h"

#include "frame/mb_codec.h"

void rtu_framer_init(rtu_framer *f, const rtu_framer_options &options) {
  f->options = options;
  rtu_framer_reset(f);
}

void rtu_framer_reset(rtu_framer *f) {
  f->count = 0;
  f->last_tick = 0;
}

rtu_framer_result rtu_framer_feed(rtu_framer *f, const uint8_t *bytes, int n, uint32_t now) {
  rtu_framer_result r;
  for (int i = 0; i < n; ++i) {
    f->buf[f->count++] = bytes[i];
    f->last_tick = now;
    if (f->count >= MB_FRAME_BUF_SIZE) {
      // No silence within a whole buffer: this is no message of ours.
      f->count = 0;
      r.event = rtu_framer_event::overflow;
      return r;
    }
  }

  if (f->count == 0) return r;
  const uint32_t silence = now - f->last_tick;  // unsigned: survives the tick wrap
  const bool cut = f->options.gap_inclusive ? silence >= f->options.gap_ms : silence > f->options.gap_ms;
  if (!cut) return r;

  const uint32_t total = f->count;
  f->count = 0;  // emptied whatever the outcome; the bytes stay readable until the next feed
  r.raw_len = total;
  r.silence = silence;

  if (!f->options.check_crc) {
    r.event = rtu_framer_event::frame;
    r.data = f->buf;
    r.len = total;
    return r;
  }
  if (total < 3) {
    r.event = rtu_framer_event::too_short;
    return r;
  }
  const uint32_t len = total - 2;
  r.crc_calc = mb_crc16(f->buf, len);
  r.crc_recv = static_cast<uint16_t>((f->buf[len] << 8) | f->buf[len + 1]);
  if (r.crc_calc != r.crc_recv) {
    r.event = rtu_framer_event::crc_error;
    return r;
  }
  r.event = rtu_framer_event::frame;
  r.data = f->buf;
  r.len = len;
  return r;
}
