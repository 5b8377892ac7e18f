#include "frame/mb_codec.h"

#include <array>

namespace {

// The two byte tables of the table-driven Modbus CRC-16 (reflected
// polynomial 0xA001). Entry i of the 16-bit table is split in two: its low
// byte goes to `crc_hi` (the register that ends up as the first byte on the
// wire) and its high byte to `crc_lo`.
struct crc_tables {
  std::array<uint8_t, 256> hi{};
  std::array<uint8_t, 256> lo{};
};

constexpr crc_tables make_crc_tables() {
  crc_tables t;
  for (unsigned i = 0; i < 256; ++i) {
    unsigned crc = i;
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 1U) ? (crc >> 1) ^ 0xA001U : crc >> 1;
    t.hi[i] = static_cast<uint8_t>(crc & 0xFFU);
    t.lo[i] = static_cast<uint8_t>(crc >> 8);
  }
  return t;
}

constexpr crc_tables kCrc = make_crc_tables();

// The published tables begin 00 C1 81 40 01 C0 80 41 and 00 C0 C1 01 C3 03 02 C2.
static_assert(kCrc.hi[0] == 0x00 && kCrc.hi[1] == 0xC1 && kCrc.hi[2] == 0x81 && kCrc.hi[3] == 0x40 &&
              kCrc.hi[4] == 0x01 && kCrc.hi[5] == 0xC0 && kCrc.hi[6] == 0x80 && kCrc.hi[7] == 0x41);
static_assert(kCrc.lo[0] == 0x00 && kCrc.lo[1] == 0xC0 && kCrc.lo[2] == 0xC1 && kCrc.lo[3] == 0x01 &&
              kCrc.lo[4] == 0xC3 && kCrc.lo[5] == 0x03 && kCrc.lo[6] == 0x02 && kCrc.lo[7] == 0xC2);

constexpr char kHexDigits[] = "0123456789ABCDEF";

uint8_t hex_nibble(char c) {
  auto v = static_cast<uint8_t>(static_cast<uint8_t>(c) - '0');
  if (v >= 10) v = static_cast<uint8_t>(v - 7);
  return static_cast<uint8_t>(v & 0x0F);
}

}  // namespace

uint16_t mb_crc16(const uint8_t *bytes, uint32_t count) {
  uint8_t hi = 0xFF;
  uint8_t lo = 0xFF;
  const uint32_t n = count & 0xFFFFU;
  for (uint32_t i = 0; i < n; ++i) {
    const uint8_t index = hi ^ bytes[i];
    hi = lo ^ kCrc.hi[index];
    lo = kCrc.lo[index];
  }
  return static_cast<uint16_t>((hi << 8) | lo);
}

uint8_t mb_lrc(const uint8_t *bytes, uint32_t count) {
  uint8_t sum = 0;
  const uint32_t n = count & 0xFFFFU;
  for (uint32_t i = 0; i < n; ++i) sum = static_cast<uint8_t>(sum + bytes[i]);
  return static_cast<uint8_t>(-sum);
}

uint32_t mb_bin_to_hex(char *out, const uint8_t *in, uint32_t n) {
  for (uint32_t i = 0; i < n; ++i) {
    out[2 * i] = kHexDigits[in[i] >> 4];
    out[2 * i + 1] = kHexDigits[in[i] & 0x0F];
  }
  return 2 * n;
}

uint32_t mb_hex_to_bin(uint8_t *out, const char *in, uint32_t c) {
  const uint32_t n = c / 2;
  for (uint32_t i = 0; i < n; ++i)
    out[i] = static_cast<uint8_t>((hex_nibble(in[2 * i]) << 4) | hex_nibble(in[2 * i + 1]));
  return n;
}
