#include "frame/mb_frame.h"

#include <cstring>
#include <new>

#include "frame/mb_codec.h"
#include "platform/plat_log.h"
#include "platform/plat_thread.h"

namespace {

// One allocation per frame: the record followed by its two buffers, sized
// for what the frame's kind can carry. Only a Modbus frame's `buf` is
// cleared (its readers rely on zeroes past `len`); nothing is cleared at
// the transparent size.
mb_frame *frame_alloc(uint32_t buf_size, uint32_t tx_size, bool clear_buf) {
  void *mem = ::operator new(sizeof(mb_frame) + buf_size + tx_size);
  auto *frame = new (mem) mb_frame();  // value-initialised: every field 0
  frame->buf = reinterpret_cast<uint8_t *>(frame + 1);
  frame->tx_buf = frame->buf + buf_size;
  frame->buf_size = buf_size;
  frame->tx_size = tx_size;
  if (clear_buf) std::memset(frame->buf, 0, buf_size);
  return frame;
}

void frame_free(mb_frame *frame) {
  if (frame->ctx_release && frame->ctx) frame->ctx_release(frame->ctx);
  frame->~mb_frame();
  ::operator delete(static_cast<void *>(frame));
}

bool length_fits(const char *what, int len, size_t limit) {
  if (len < 1) return false;
  if (static_cast<size_t>(len) > limit) {
    PLAT_LOG(3, "%s: %d bytes do not fit a frame buffer of %zu bytes\n", what, len, limit);
    return false;
  }
  return true;
}

// The wire form must fit its form's limit and tx_buf; nothing is written
// otherwise.
bool output_fits(const char *what, const mb_frame *frame, size_t out_len, size_t form_limit) {
  const size_t limit = form_limit < frame->tx_size ? form_limit : frame->tx_size;
  if (out_len <= limit) return true;
  PLAT_LOG(3, "%s: frame of %u bytes would need %zu bytes, more than the %zu bytes allowed; not converted\n", what,
           frame->len, out_len, limit);
  return false;
}

}  // namespace

mb_frame *mb_frame_create(const uint8_t *bytes, int len, mb_frame_callback callback, void *ctx,
                          mb_frame_ctx_release ctx_release, uint8_t req_id, uint16_t pid, uint16_t tid,
                          uint8_t cache) {
  if (!length_fits("mb_frame_create", len, MB_MODBUS_BUF_SIZE)) return nullptr;
  RVON(bytes, nullptr);
  mb_frame *frame = frame_alloc(MB_MODBUS_BUF_SIZE, MB_MODBUS_TX_SIZE, true);
  std::memcpy(frame->buf, bytes, static_cast<size_t>(len));
  frame->len = static_cast<uint32_t>(len);
  // A request shorter than 6 bytes reads the zeroes of the cleared buffer.
  frame->func_code = frame->buf[1];
  frame->op_type = frame->func_code <= 4 ? 1 : 2;
  frame->start_addr = static_cast<uint16_t>(frame->buf[2] * 256 + frame->buf[3]);
  frame->quantity = static_cast<uint16_t>(frame->buf[4] * 256 + frame->buf[5]);
  frame->ctx = ctx;
  frame->req_id = req_id;
  frame->tid = tid;
  frame->pid = pid;
  frame->callback = callback;
  frame->ctx_release = ctx_release;
  frame->cache = cache;
  frame->south_tid = 0;
  frame->tick = plat_systick_get();
  frame->sent = 0;
  frame->ref.store(1);
  frame->broadcast = 0;
  PLAT_LOG(7, "%s: MBframe cerate success, addr is %p.\n", "mb_frame_create", static_cast<void *>(frame));
  return frame;
}

mb_frame *mb_frame_create_raw(const uint8_t *bytes, int len, mb_frame_callback callback, void *ctx,
                              mb_frame_ctx_release ctx_release) {
  if (!length_fits("mb_frame_create_raw", len, MB_FRAME_BUF_SIZE)) return nullptr;
  RVON(bytes, nullptr);
  mb_frame *frame = frame_alloc(MB_FRAME_BUF_SIZE, MB_FRAME_BUF_SIZE, false);
  std::memcpy(frame->buf, bytes, static_cast<size_t>(len));
  frame->len = static_cast<uint32_t>(len);
  frame->callback = callback;
  frame->ctx = ctx;
  frame->ctx_release = ctx_release;
  frame->ref.store(1);
  frame->sent = 0;
  frame->broadcast = 0;
  return frame;
}

int mb_frame_add_ref(mb_frame *frame) {
  RVON(frame, 1);
  frame->ref.fetch_add(1);
  return 0;
}

int mb_frame_release(mb_frame *frame) {
  RVON(frame, 1);
  const uint32_t remaining = frame->ref.fetch_sub(1) - 1;
  if (remaining != 0) {
    PLAT_LOG(7, " REF = %d, CAN NOT RELEAES FRAME\n ", static_cast<int>(remaining));
    return static_cast<int>(remaining);
  }
  frame_free(frame);
  return 0;
}

int mb_frame_destroy(mb_frame *frame) {
  if (!frame) return 1;
  frame_free(frame);
  return 0;
}

int do_call_back(mb_frame *frame) {
  RVON(frame, 1);
  // The callback releases a reference: the frame may be gone afterwards.
  if (frame->callback) frame->callback(frame, frame->ctx, frame->req_id, frame->tid, frame->pid);
  PLAT_LOG(7, "%s: do call back done\n", "do_call_back");
  return 0;
}

int frame_renewal(mb_frame *frame, const uint8_t *bytes, int len) {
  if (!frame || !bytes) return 1;
  PLAT_LOG(7, "%s:line:%d\n", __func__, __LINE__);
  if (len < 0 || static_cast<size_t>(len) > frame->buf_size) {
    PLAT_LOG(3, "answer of %d bytes does not fit a frame buffer of %u bytes\n", len, frame->buf_size);
    return 1;
  }
  std::memmove(frame->buf, bytes, static_cast<size_t>(len));
  // Keeps "zero past len" true for a shorter answer without clearing the
  // whole buffer.
  if (frame->len > static_cast<uint32_t>(len)) std::memset(frame->buf + len, 0, frame->len - static_cast<uint32_t>(len));
  frame->len = static_cast<uint32_t>(len);
  return 0;
}

int mb_frame_answer_exception(mb_frame *frame, uint8_t code) {
  if (!frame || !frame->exceptions || frame->req_id == 0 || !frame->callback) return 1;
  const uint8_t answer[3] = {frame->req_id, static_cast<uint8_t>(frame->func_code | 0x80), code};
  if (frame_renewal(frame, answer, sizeof answer) != 0) return 1;
  PLAT_LOG(6, "exception %02X answered to unit %d, function %02X\n", code, frame->req_id, frame->func_code);
  do_call_back(frame);
  return 0;
}

int mb_frame_mark_sent(mb_frame *frame) {
  if (!frame) return 0;
  frame->tick = plat_systick_get();
  frame->sent = 1;
  return 0;
}

int mb_frame_is_sent(const mb_frame *frame) { return frame ? frame->sent : 0; }

int check_frame_timeout(const mb_frame *frame, uint32_t timeout) {
  return check_frame_timeout_at(frame, timeout, plat_systick_get());
}

int check_frame_timeout_at(const mb_frame *frame, uint32_t timeout, uint32_t now) {
  if (!frame || !frame->sent) return 0;
  const uint32_t elapsed = now - frame->tick;  // unsigned: survives the tick wrap
  if (elapsed < timeout) return 0;
  PLAT_LOG(7, "tick:%d  last tick :%d  time out = %d", static_cast<int>(frame->tick), static_cast<int>(now),
           static_cast<int>(elapsed));
  PLAT_LOG(4,
           "Communication timed out, time out = %d, check the connection of the south port phy ID : %d , req ID : "
           "%d",
           static_cast<int>(timeout), frame->phy_id, frame->req_id);
  PLAT_LOG_BUF(5, "Time out request packets:", frame->buf, frame->len);
  return 1;
}

int mb_frame_set_phy_id(mb_frame *frame, uint8_t id) {
  if (!frame) return 0;
  frame->phy_id = id;
  frame->broadcast = id == 0 ? 1 : 0;
  return 0;
}

uint8_t mb_frame_get_phy_id(const mb_frame *frame) { return frame ? frame->phy_id : 0; }
uint8_t mb_frame_get_req_id(const mb_frame *frame) { return frame ? frame->req_id : 0; }
uint8_t mb_frame_get_func_code(const mb_frame *frame) { return frame ? frame->func_code : 0; }
uint16_t mb_frame_get_start_addr(const mb_frame *frame) { return frame ? frame->start_addr : 0; }
uint16_t mb_frame_get_quantity(const mb_frame *frame) { return frame ? frame->quantity : 0; }
uint16_t mb_frame_get_tid(const mb_frame *frame) { return frame ? frame->tid : 0; }
uint32_t mb_frame_get_len(const mb_frame *frame) { return frame ? frame->len : 0; }
void *mb_frame_get_ctx(const mb_frame *frame) { return frame ? frame->ctx : nullptr; }
int mb_frame_is_broadcast(const mb_frame *frame) { return frame ? frame->broadcast : 0; }

int mb_frame_set_south_tid(mb_frame *frame, uint16_t id) {
  if (frame) frame->south_tid = id;
  return 0;
}

uint16_t mb_frame_get_south_tid(const mb_frame *frame) { return frame ? frame->south_tid : 0; }

uint8_t *mb_frame_get_data(mb_frame *frame, uint32_t *out_len) {
  if (!frame) return nullptr;
  if (out_len) *out_len = frame->len;
  return frame->buf;
}

int mb_frame_is_read(const mb_frame *frame) { return frame && frame->op_type == 1 ? 1 : 0; }

int mb_frame_is_cacheable(const mb_frame *frame) {
  return frame && frame->cache && frame->op_type == 1 && frame->broadcast != 1 ? 1 : 0;
}

uint8_t *mb_frame_convert_to_rtu(mb_frame *frame, uint32_t *out_len) {
  PLAT_LOG(7, "%s\n", "mb_frame_convert_to_rtu");
  RVON(frame, nullptr);
  RVON(out_len, nullptr);
  const size_t len = frame->len;
  if (!output_fits("mb_frame_convert_to_rtu", frame, len + 2, MB_RTU_ADU_MAX)) return nullptr;
  // tx_buf doubles as the work area: buf stays as received.
  uint8_t *out = frame->tx_buf;
  std::memcpy(out, frame->buf, len);
  if (len > 0) out[0] = frame->phy_id;
  const uint16_t crc = mb_crc16(out, static_cast<uint32_t>(len));
  out[len] = static_cast<uint8_t>(crc >> 8);
  out[len + 1] = static_cast<uint8_t>(crc & 0xFF);
  *out_len = static_cast<uint32_t>(len + 2);
  return out;
}

uint8_t *mb_frame_convert_to_tcp(mb_frame *frame, uint32_t *out_len, uint16_t tid, uint16_t pid) {
  RVON(frame, nullptr);
  RVON(out_len, nullptr);
  const size_t len = frame->len;
  if (!output_fits("mb_frame_convert_to_tcp", frame, len + 6, MB_MBAP_ADU_MAX)) return nullptr;
  uint8_t *out = frame->tx_buf;
  out[0] = static_cast<uint8_t>(tid >> 8);
  out[1] = static_cast<uint8_t>(tid & 0xFF);
  out[2] = static_cast<uint8_t>(pid >> 8);
  out[3] = static_cast<uint8_t>(pid & 0xFF);
  out[4] = static_cast<uint8_t>((len >> 8) & 0xFF);
  out[5] = static_cast<uint8_t>(len & 0xFF);
  if (len > 0) {
    out[6] = frame->phy_id;
    std::memcpy(out + 7, frame->buf + 1, len - 1);
  }
  *out_len = static_cast<uint32_t>(len + 6);
  return out;
}

uint8_t *mb_frame_convert_to_ascii(mb_frame *frame, uint32_t *out_len) {
  RVON(frame, nullptr);
  RVON(out_len, nullptr);
  const size_t len = frame->len;
  if (!output_fits("mb_frame_convert_to_ascii", frame, 2 * len + 5, MB_ASCII_ADU_MAX)) return nullptr;
  // Encoded byte by byte straight into tx_buf, the unit id replaced by
  // phy_id; the LRC of the replaced body is the sum of the two parts' LRCs.
  char *out = reinterpret_cast<char *>(frame->tx_buf);
  size_t pos = 0;
  out[pos++] = ':';
  uint8_t lrc = 0;
  if (len > 0) {
    const uint8_t unit = frame->phy_id;
    lrc = static_cast<uint8_t>(mb_lrc(&unit, 1) + mb_lrc(frame->buf + 1, static_cast<uint32_t>(len - 1)));
    pos += mb_bin_to_hex(out + pos, &unit, 1);
    pos += mb_bin_to_hex(out + pos, frame->buf + 1, static_cast<uint32_t>(len - 1));
  }
  pos += mb_bin_to_hex(out + pos, &lrc, 1);
  out[pos++] = '\r';
  out[pos++] = '\n';
  *out_len = static_cast<uint32_t>(pos);
  return frame->tx_buf;
}
