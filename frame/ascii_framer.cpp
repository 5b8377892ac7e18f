#include "frame/ascii_framer.h"

#include "frame/mb_codec.h"

namespace {

bool is_hex_digit(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f'); }

// The message in f->text is complete: judge it.
ascii_framer_result judge(ascii_framer *f, ascii_framer_result r) {
  r.hex_len = f->hex_len;
  bool hex = f->hex_len % 2 == 0;
  for (uint32_t i = 0; hex && i < f->hex_len; ++i) hex = is_hex_digit(f->text[i]);
  if (!hex) {
    r.event = ascii_framer_event::invalid;
    return r;
  }
  r.decoded = mb_hex_to_bin(f->bin, f->text, f->hex_len);
  if (r.decoded < 2) {
    r.event = ascii_framer_event::too_short;
    return r;
  }
  const uint32_t len = r.decoded - 1;
  r.lrc_recv = f->bin[len];
  r.lrc_calc = mb_lrc(f->bin, len);
  if (r.lrc_calc != r.lrc_recv) {
    r.event = ascii_framer_event::lrc_error;
    return r;
  }
  r.event = ascii_framer_event::frame;
  r.data = f->bin;
  r.len = len;
  return r;
}

}  // namespace

void ascii_framer_reset(ascii_framer *f) {
  f->state = ASCII_IDLE;
  f->hex_len = 0;
}

ascii_framer_result ascii_framer_feed(ascii_framer *f, const uint8_t *bytes, int n) {
  ascii_framer_result r;
  for (int i = 0; i < n; ++i) {
    const char c = static_cast<char>(bytes[i]);
    if (f->state == ASCII_IDLE) {
      if (c == ':') {
        f->state = ASCII_COLLECTING;
        f->hex_len = 0;
      }
      continue;
    }
    if (c == '\r' || c == '\n') {
      r = judge(f, r);
      ascii_framer_reset(f);
      return r;  // the rest of the chunk is not looked at
    }
    if (f->hex_len >= ascii_framer::text_max) {
      // Longer than any Modbus message: not ours. Wait for the next ':'.
      ascii_framer_reset(f);
      r.overflow = true;
      continue;
    }
    f->text[f->hex_len++] = c;
  }
  return r;
}
