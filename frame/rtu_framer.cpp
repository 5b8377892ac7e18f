#include "frame/rtu_framer.h"

#include "frame/mb_codec.h"

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
