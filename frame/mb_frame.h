// The frame: one Modbus request on its way through the gateway and, later,
// its answer.
//
// `buf` holds the request from its unit id byte on (unit id, function code,
// data; no MBAP header, no CRC/LRC, no ASCII framing); after frame_renewal()
// it holds the answer in the same form. `tx_buf` receives the wire form
// built by the convert functions.
//
// Sizes: a frame costs what its kind can carry. A Modbus frame
// (mb_frame_create) has a `buf` of MB_MODBUS_BUF_SIZE bytes, zero past
// `len`, and a `tx_buf` large enough for the longest wire form of any
// Modbus transport (an ASCII message of MB_ASCII_ADU_MAX characters). A raw
// frame (mb_frame_create_raw, the transparent ports) has two buffers of
// MB_FRAME_BUF_SIZE bytes, not cleared. Both live in the frame's own
// allocation.
//
// Reference rule: the creator's reference (ref 1) travels with the request.
// A south port that accepts the frame keeps that reference in its slot.
// Before calling the response callback the south port adds a reference;
// every response callback releases exactly one; then the south port
// releases the slot's reference. A request that times out is released by
// the south port without a callback. The count is atomic: callbacks and
// south ports run on different threads.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

// The largest block a transparent port carries in one frame.
constexpr size_t MB_FRAME_BUF_SIZE = 69632;

// The Modbus limits of each form. Framers drop longer input; conversions
// refuse to build longer output.
constexpr size_t MB_PDU_MAX = 253;                   // function code + data
constexpr size_t MB_BODY_MAX = MB_PDU_MAX + 1;       // unit id + PDU: what `buf` holds
constexpr size_t MB_MBAP_ADU_MAX = 6 + MB_BODY_MAX;  // 260: MBAP header + unit id + PDU
constexpr size_t MB_RTU_ADU_MAX = MB_BODY_MAX + 2;   // 256: unit id + PDU + CRC
constexpr size_t MB_ASCII_ADU_MAX = 2 * (MB_BODY_MAX + 1) + 3;  // 513: ':' + hex of body and LRC + CR LF

constexpr size_t MB_MODBUS_BUF_SIZE = MB_RTU_ADU_MAX;  // `buf` of a Modbus frame
constexpr size_t MB_MODBUS_TX_SIZE = 520;             // `tx_buf` of a Modbus frame (>= MB_ASCII_ADU_MAX)

struct mb_frame;

// Response callback: frame, ctx, req_id, tid, pid. Releases one reference.
using mb_frame_callback = int (*)(mb_frame *frame, void *ctx, uint8_t req_id, uint16_t tid, uint16_t pid);
// Called with ctx when the frame is freed.
using mb_frame_ctx_release = void (*)(void *ctx);

struct mb_frame {
  uint32_t op_type;  // 1 read (function code 1-4), 2 anything else
  uint8_t *buf;     // buf_size bytes, in the frame's own allocation
  uint8_t *tx_buf;  // tx_size bytes, likewise
  uint32_t buf_size;
  uint32_t tx_size;
  uint8_t func_code;
  uint8_t req_id;
  uint8_t phy_id;
  uint16_t start_addr;
  uint16_t quantity;
  uint16_t tid;
  uint16_t pid;
  uint16_t south_tid;
  uint32_t tick;
  uint32_t len;
  std::atomic<uint32_t> ref;
  mb_frame_callback callback;
  mb_frame_ctx_release ctx_release;
  void *ctx;
  uint8_t sent;
  uint8_t cache;
  uint8_t broadcast;
  // 1 when the creating north port answers a request it cannot route, or
  // whose device does not answer, with a Modbus exception (its "exceptions"
  // attribute); 0 leaves such a request unanswered.
  uint8_t exceptions;
};

// Exception codes a gateway answers with.
constexpr uint8_t MB_EX_GATEWAY_PATH_UNAVAILABLE = 0x0A;
constexpr uint8_t MB_EX_GATEWAY_TARGET_NO_RESPONSE = 0x0B;

// A Modbus request. Null for a length below 1 or above MB_MODBUS_BUF_SIZE
// (level-3 line).
mb_frame *mb_frame_create(const uint8_t *bytes, int len, mb_frame_callback callback, void *ctx,
                          mb_frame_ctx_release ctx_release, uint8_t req_id, uint16_t pid, uint16_t tid,
                          uint8_t cache);
// A raw block (transparent ports). Null for a length below 1 or above
// MB_FRAME_BUF_SIZE.
mb_frame *mb_frame_create_raw(const uint8_t *bytes, int len, mb_frame_callback callback, void *ctx,
                              mb_frame_ctx_release ctx_release);
int mb_frame_add_ref(mb_frame *frame);
// Returns the remaining count (0 when freed), 1 for a null frame.
int mb_frame_release(mb_frame *frame);
int mb_frame_destroy(mb_frame *frame);
int do_call_back(mb_frame *frame);
// Replaces the frame's bytes by the answer's. 1 (level-3 line, frame
// unchanged) when the answer does not fit `buf`.
int frame_renewal(mb_frame *frame, const uint8_t *bytes, int len);
// For a request that will get no answer: when its north port asked for
// exception answers and it is no broadcast (unit id 0 as received), puts the
// exception answer (req id, function code | 0x80, `code`) into the frame and
// calls its callback, which releases one reference: the caller's. 0 then;
// 1 (nothing done, the caller still holds its reference) otherwise.
int mb_frame_answer_exception(mb_frame *frame, uint8_t code);
int mb_frame_mark_sent(mb_frame *frame);
int mb_frame_is_sent(const mb_frame *frame);
// 1 when the frame was sent and (now - tick) >= timeout, computed modulo
// 2^32 so that it survives the wrap of the tick; 0 otherwise (also before
// it was sent). Logs the time-out (level 4) and dumps the request (level 5).
int check_frame_timeout(const mb_frame *frame, uint32_t timeout);
// The same against a given tick value instead of plat_systick_get().
int check_frame_timeout_at(const mb_frame *frame, uint32_t timeout, uint32_t now);
int mb_frame_set_phy_id(mb_frame *frame, uint8_t id);
uint8_t mb_frame_get_phy_id(const mb_frame *frame);
uint8_t mb_frame_get_req_id(const mb_frame *frame);
uint8_t mb_frame_get_func_code(const mb_frame *frame);
uint16_t mb_frame_get_start_addr(const mb_frame *frame);
uint16_t mb_frame_get_quantity(const mb_frame *frame);
uint16_t mb_frame_get_tid(const mb_frame *frame);
uint32_t mb_frame_get_len(const mb_frame *frame);
void *mb_frame_get_ctx(const mb_frame *frame);
int mb_frame_is_broadcast(const mb_frame *frame);
int mb_frame_set_south_tid(mb_frame *frame, uint16_t id);
uint16_t mb_frame_get_south_tid(const mb_frame *frame);
uint8_t *mb_frame_get_data(mb_frame *frame, uint32_t *out_len);
int mb_frame_is_read(const mb_frame *frame);
int mb_frame_is_cacheable(const mb_frame *frame);

// The conversions write into the frame's tx_buf and return it, or return
// null (level-3 line, nothing written) when the output would be longer than
// the form allows (MB_RTU_ADU_MAX, MB_MBAP_ADU_MAX, MB_ASCII_ADU_MAX) or than
// tx_buf. No length is ever cut to fit a field.
uint8_t *mb_frame_convert_to_rtu(mb_frame *frame, uint32_t *out_len);
uint8_t *mb_frame_convert_to_tcp(mb_frame *frame, uint32_t *out_len, uint16_t tid, uint16_t pid);
uint8_t *mb_frame_convert_to_ascii(mb_frame *frame, uint32_t *out_len);
