#include "frame/mb_codec.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const std::vector<uint8_t> kReadOne = {0x01, 0x03, 0x00, 0x00, 0x00, 0x01};

TEST(MbCodec, Crc16PutsTheFirstWireByteHigh) {
  EXPECT_EQ(mb_crc16(kReadOne.data(), 6), 0x840A);
  // The usual CRC-16/MODBUS check value 0x4B37, bytes swapped.
  const std::string check = "123456789";
  EXPECT_EQ(mb_crc16(reinterpret_cast<const uint8_t *>(check.data()), 9), 0x374B);
  EXPECT_EQ(mb_crc16(nullptr, 0), 0xFFFF);
}

TEST(MbCodec, Crc16UsesOnlyTheLow16BitsOfTheCount) {
  // 0x10006 counts as 6.
  EXPECT_EQ(mb_crc16(kReadOne.data(), 0x10006), 0x840A);
}

TEST(MbCodec, LrcIsTheTwosComplementOfTheSum) {
  EXPECT_EQ(mb_lrc(kReadOne.data(), 6), 0xFB);
  EXPECT_EQ(mb_lrc(nullptr, 0), 0);
  const std::vector<uint8_t> wraps = {0xFF, 0xFF, 0x02};  // sum 0x200 -> 0
  EXPECT_EQ(mb_lrc(wraps.data(), 3), 0);
}

TEST(MbCodec, BinToHexIsUpperCaseWithoutTerminator) {
  char out[5] = {'x', 'x', 'x', 'x', 'x'};
  const uint8_t in[] = {0x0A, 0xF5};
  EXPECT_EQ(mb_bin_to_hex(out, in, 2), 4u);
  EXPECT_EQ(std::string(out, 4), "0AF5");
  EXPECT_EQ(out[4], 'x');
}

TEST(MbCodec, HexToBinAcceptsBothCasesAndIgnoresAnOddLastCharacter) {
  uint8_t out[8] = {};
  EXPECT_EQ(mb_hex_to_bin(out, "0a", 2), 1u);
  EXPECT_EQ(out[0], 0x0A);
  EXPECT_EQ(mb_hex_to_bin(out, "0A", 2), 1u);
  EXPECT_EQ(out[0], 0x0A);
  EXPECT_EQ(mb_hex_to_bin(out, "010300000001FB", 14), 7u);
  EXPECT_EQ(std::vector<uint8_t>(out, out + 7), (std::vector<uint8_t>{1, 3, 0, 0, 0, 1, 0xFB}));
  out[1] = 0x55;
  EXPECT_EQ(mb_hex_to_bin(out, "fF7", 3), 1u);
  EXPECT_EQ(out[0], 0xFF);
  EXPECT_EQ(out[1], 0x55);  // the odd character wrote nothing
}

TEST(MbCodec, HexRoundTripsEveryByte) {
  std::vector<uint8_t> all(256);
  for (int i = 0; i < 256; ++i) all[i] = static_cast<uint8_t>(i);
  std::vector<char> hex(512);
  ASSERT_EQ(mb_bin_to_hex(hex.data(), all.data(), 256), 512u);
  std::vector<uint8_t> back(256);
  ASSERT_EQ(mb_hex_to_bin(back.data(), hex.data(), 512), 256u);
  EXPECT_EQ(back, all);
}

}  // namespace
