// Modbus checksums and the hex codec of Modbus ASCII. Pure functions.
#pragma once

#include <cstddef>
#include <cstdint>

// CRC-16 of RTU frames. The byte that goes first on the wire is in the
// upper 8 bits: 01 03 00 00 00 01 gives 0x840A, sent as 84 0A. Only the low
// 16 bits of `count` are used.
uint16_t mb_crc16(const uint8_t *bytes, uint32_t count);
// LRC of ASCII frames: two's complement of the byte sum (low 16 bits of count).
uint8_t mb_lrc(const uint8_t *bytes, uint32_t count);
// Writes 2*n upper-case hex digits (no terminator); returns 2*n.
uint32_t mb_bin_to_hex(char *out, const uint8_t *in, uint32_t n);
// Decodes c/2 bytes from c characters (lower case accepted, an odd last
// character ignored, non-hex characters give arbitrary nibbles); returns c/2.
uint32_t mb_hex_to_bin(uint8_t *out, const char *in, uint32_t c);
