#include "frame/mb_codec.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

const std::vector<uint8_t> kReadOne = {0x01, 0x03, 0x00, 0x00, 0x00, 0x01};

TEST(MbCodec, ChecksumVectors) {
  EXPECT_EQ(mb_crc16(kReadOne.data(), 6), 0x840A);
  EXPECT_EQ(mb_crc16(kReadOne.data(), 0x10006), 0x840A);  // only the low 16 bits of the count
  const std::string check = "123456789";                  // CRC-16/MODBUS 0x4B37, bytes swapped
  EXPECT_EQ(mb_crc16(reinterpret_cast<const uint8_t *>(check.data()), 9), 0x374B);
  EXPECT_EQ(mb_crc16(nullptr, 0), 0xFFFF);
  EXPECT_EQ(mb_lrc(kReadOne.data(), 6), 0xFB);
  EXPECT_EQ(mb_lrc(nullptr, 0), 0);
}

TEST(MbCodec, HexIsUpperCaseOutAndEitherCaseIn) {
  char out[3] = {'x', 'x', 'x'};
  const uint8_t in = 0x0A;
  EXPECT_EQ(mb_bin_to_hex(out, &in, 1), 2u);
  EXPECT_EQ(std::string(out, 3), "0Ax");  // no terminator
  uint8_t bin[8] = {};
  for (const char *text : {"0a", "0A"}) {
    EXPECT_EQ(mb_hex_to_bin(bin, text, 2), 1u);
    EXPECT_EQ(bin[0], 0x0A);
  }
  EXPECT_EQ(mb_hex_to_bin(bin, "010300000001FB", 14), 7u);
  EXPECT_EQ(std::vector<uint8_t>(bin, bin + 7), (std::vector<uint8_t>{1, 3, 0, 0, 0, 1, 0xFB}));
  bin[1] = 0x55;
  EXPECT_EQ(mb_hex_to_bin(bin, "fF7", 3), 1u);  // the odd last character is ignored
  EXPECT_EQ(bin[0], 0xFF);
  EXPECT_EQ(bin[1], 0x55);

  uint8_t all[256], back[256];
  char hex[512];
  for (int i = 0; i < 256; ++i) all[i] = static_cast<uint8_t>(i);
  mb_hex_to_bin(back, hex, mb_bin_to_hex(hex, all, 256));
  EXPECT_EQ(std::memcmp(back, all, 256), 0);
}

}  // namespace
