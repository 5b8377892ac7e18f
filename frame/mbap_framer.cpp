#include "frame/mbap_framer.h"

#include <cstring>

#include "platform/plat_log.h"

namespace {

// The traces each user of the machine has always printed; kept per side so
// that the logs of one port read the same whatever framer is behind them.
void trace_tid(const mbap_framer *f) {
  if (f->side == mbap_side::south) {
    PLAT_LOG(7, "TRAN ID");
  } else {
    PLAT_LOG(7, "TRAN ID =  %04X", f->tid);
  }
}

void trace_pid(const mbap_framer *f) {
  if (f->side == mbap_side::south) {
    PLAT_LOG(7, "PROT ID");
  } else {
    PLAT_LOG(7, "PROTOCOL ID =  %04X", f->pid);
  }
}

void trace_len(const mbap_framer *f) {
  switch (f->side) {
    case mbap_side::north_tcp:
      PLAT_LOG(7, "LEN  =  %04X", f->length);
      PLAT_LOG(7, "READY TO CLEAN TCP PROTOCOL DATA");
      break;
    case mbap_side::north_udp:
      PLAT_LOG(7, "LEN  =  %04X", f->length);
      PLAT_LOG(7, "READY TO CLEAN UDP PROTOCOL DATA");
      break;
    case mbap_side::south:
      PLAT_LOG(7, "LEN = %d", f->length);
      break;
  }
}

void trace_complete(const mbap_framer *f) {
  if (f->side == mbap_side::south) {
    PLAT_LOG(7, "data receive done");
  } else {
    PLAT_LOG(7, "READY TO CREATE FRAME");
    PLAT_LOG(7, "FRAME LEN = %d", static_cast<int>(f->data_len));
  }
}

// Adds one byte to a 2-byte big-endian header field; true when the field
// is complete.
bool take_field_byte(mbap_framer *f, uint16_t *field, uint8_t byte) {
  *field = static_cast<uint16_t>(*field * 256 + byte);
  ++f->count;
  return f->count > 1;
}

// State 6: drops what is left of an oversized message from bytes[*i..total).
void skip(mbap_framer *f, uint32_t total, uint32_t *i) {
  const uint32_t want = static_cast<uint32_t>(f->length) - f->data_len;
  const uint32_t k = want < total - *i ? want : total - *i;
  *i += k;
  f->data_len += k;
  if (f->data_len == f->length) {
    f->state = 1;
    f->count = 0;
    f->data_len = 0;
  }
}

mbap_result complete(mbap_framer *f, uint32_t oversize) {
  trace_complete(f);
  mbap_result r;
  r.oversize = oversize;
  r.event = mbap_event::message;
  r.tid = f->tid;
  r.pid = f->pid;
  r.data = f->data;
  r.len = f->data_len;
  f->state = 1;
  f->count = 0;
  return r;
}

}  // namespace

void mbap_framer_init(mbap_framer *f, mbap_side side) {
  f->side = side;
  mbap_framer_reset(f);
}

void mbap_framer_reset(mbap_framer *f) {
  f->state = 1;
  f->count = 0;
  f->tid = 0;
  f->pid = 0;
  f->length = 0;
  f->data_len = 0;
}

mbap_result mbap_framer_feed(mbap_framer *f, const uint8_t *bytes, int n) {
  mbap_result r;
  if (n <= 0 || !bytes) return r;
  const uint32_t total = static_cast<uint32_t>(n);
  uint32_t i = 0;
  while (i < total) {
    switch (f->state) {
      case 1:
        f->tid = 0;
        f->state = 2;
        f->count = 0;
        break;
      case 2:
        if (take_field_byte(f, &f->tid, bytes[i++])) {
          f->pid = 0;
          trace_tid(f);
          f->state = 3;
          f->count = 0;
        }
        break;
      case 3:
        if (take_field_byte(f, &f->pid, bytes[i++])) {
          trace_pid(f);
          f->count = 0;
          if (f->pid != 0 && f->side != mbap_side::north_tcp) {
            f->state = 1;
            r.event = mbap_event::bad_pid;
            return r;
          }
          f->length = 0;
          f->state = 4;
        }
        break;
      case 4:
        if (take_field_byte(f, &f->length, bytes[i++])) {
          trace_len(f);
          f->data_len = 0;
          f->count = 0;
          if (f->length > MB_BODY_MAX) {
            // No Modbus message is this long: skip it whole so that the
            // next header is read where it starts.
            f->state = 6;
            r.oversize = f->length;
            break;
          }
          std::memset(f->data, 0, sizeof f->data);
          if (f->side != mbap_side::south) PLAT_LOG(7, "CLEAN DONE");
          f->state = 5;
          // Nothing to wait for: a zero-length message is complete now,
          // not at the next receive.
          if (f->length == 0) return complete(f, r.oversize);
        }
        break;
      case 5: {
        // Take no more than announced: bytes beyond the message belong to
        // no request of ours and are dropped with the rest of the receive.
        // length <= MB_BODY_MAX == sizeof data, so data_len never passes the end.
        const uint32_t want = static_cast<uint32_t>(f->length) - f->data_len;
        const uint32_t k = want < total - i ? want : total - i;
        std::memcpy(f->data + f->data_len, bytes + i, k);
        i += k;
        f->data_len += k;
        if (f->data_len == f->length) return complete(f, r.oversize);
        // The receive ended inside the data part: the next one continues it.
        return r;
      }
      case 6:
        skip(f, total, &i);
        break;
      default:
        // Unknown state (never set by this code): start over.
        f->state = 1;
        f->count = 0;
        break;
    }
  }
  return r;
}
