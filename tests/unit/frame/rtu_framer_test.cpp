#include "frame/rtu_framer.h"

#include <gtest/gtest.h>

#include <vector>

#include "frame/mb_codec.h"

namespace {

std::vector<uint8_t> with_crc(std::vector<uint8_t> pdu) {
  const uint16_t crc = mb_crc16(pdu.data(), static_cast<uint32_t>(pdu.size()));
  pdu.push_back(static_cast<uint8_t>(crc >> 8));
  pdu.push_back(static_cast<uint8_t>(crc & 0xFF));
  return pdu;
}

const std::vector<uint8_t> kAnswer = {0x01, 0x03, 0x04, 0x00, 0x0A, 0x00, 0x0B};

class RtuFramerTest : public ::testing::Test {
 protected:
  void SetUp() override { init({}); }
  void init(rtu_framer_options o) { rtu_framer_init(f_.get(), o); }
  rtu_framer_result feed(const std::vector<uint8_t> &b, uint32_t now) {
    return rtu_framer_feed(f_.get(), b.data(), static_cast<int>(b.size()), now);
  }
  rtu_framer_result idle(uint32_t now) { return rtu_framer_feed(f_.get(), nullptr, 0, now); }
  std::vector<uint8_t> data(const rtu_framer_result &r) { return {r.data, r.data + r.len}; }

  std::unique_ptr<rtu_framer> f_ = std::make_unique<rtu_framer>();
};

TEST_F(RtuFramerTest, ByteByByteWithShortGapsThenSilence) {
  const auto wire = with_crc(kAnswer);
  uint32_t now = 1000;
  for (uint8_t b : wire) {
    EXPECT_EQ(feed({b}, now).event, rtu_framer_event::none);
    now += 39;  // never more than the gap between two bytes
    EXPECT_EQ(idle(now).event, rtu_framer_event::none);
  }
  const uint32_t last = now - 39;
  EXPECT_EQ(idle(last + 40).event, rtu_framer_event::none) << "a silence equal to the gap does not end it";
  auto r = idle(last + 41);
  ASSERT_EQ(r.event, rtu_framer_event::frame);
  EXPECT_EQ(data(r), kAnswer);
  EXPECT_EQ(r.raw_len, wire.size());
  EXPECT_EQ(r.silence, 41u);
  EXPECT_EQ(f_->count, 0u);
  EXPECT_EQ(idle(last + 500).event, rtu_framer_event::none) << "a message is delivered once";
}

// Cut in two reads 20 ms apart, the silence running across the tick wrap.
TEST_F(RtuFramerTest, OddSplitsGiveTheSameFrameAcrossTheTickWrap) {
  const auto a = with_crc(kAnswer);
  for (size_t split : {size_t{1}, size_t{2}, size_t{5}, a.size() - 1}) {
    SCOPED_TRACE(split);
    const uint32_t now = 0xFFFFFFE0u;
    EXPECT_EQ(feed({a.begin(), a.begin() + split}, now).event, rtu_framer_event::none);
    EXPECT_EQ(feed({a.begin() + split, a.end()}, now + 20).event, rtu_framer_event::none);
    EXPECT_EQ(idle(now + 60).event, rtu_framer_event::none);
    auto r = idle(now + 61);  // 0x1D
    ASSERT_EQ(r.event, rtu_framer_event::frame);
    EXPECT_EQ(data(r), kAnswer);
  }
}

// A bad CRC and two messages run together are proven by the process tests;
// here what the result carries and the short boundary.
TEST_F(RtuFramerTest, BadCrcAndShortMessagesAreDropped) {
  auto wire = with_crc(kAnswer);
  const uint16_t good = static_cast<uint16_t>((wire[wire.size() - 2] << 8) | wire.back());
  wire.back() ^= 0x01;
  feed(wire, 0);
  auto r = idle(41);
  ASSERT_EQ(r.event, rtu_framer_event::crc_error);
  EXPECT_EQ(r.crc_calc, good);
  EXPECT_EQ(r.crc_recv, good ^ 0x01);
  EXPECT_EQ(idle(200).event, rtu_framer_event::none);

  // Fewer than three bytes are dropped unchecked; three get the check.
  feed({0x01, 0x03}, 300);
  r = idle(341);
  EXPECT_EQ(r.event, rtu_framer_event::too_short);
  EXPECT_EQ(r.raw_len, 2u);
  EXPECT_EQ(f_->count, 0u);
  feed({0x01, 0x03, 0x00}, 400);
  EXPECT_EQ(idle(441).event, rtu_framer_event::crc_error);
}

TEST_F(RtuFramerTest, OverlongMessageIsDroppedUpToTheNextSilence) {
  // The longest RTU frame is taken.
  std::vector<uint8_t> longest(MB_RTU_ADU_MAX - 2, 0x01);
  longest[1] = 0x10;
  EXPECT_EQ(feed(with_crc(longest), 0).event, rtu_framer_event::none);
  EXPECT_EQ(idle(41).event, rtu_framer_event::frame);

  // One byte more is no frame: reported once, and everything up to the
  // next silence goes, including a valid frame hidden in its tail (what a
  // length cut to 16 bits would have turned into a second request).
  std::vector<uint8_t> over(MB_RTU_ADU_MAX, 0x55);
  const auto hidden = with_crc(kAnswer);
  over.insert(over.end(), hidden.begin(), hidden.end());
  EXPECT_EQ(feed(over, 100).event, rtu_framer_event::overflow);
  EXPECT_EQ(feed(hidden, 120).event, rtu_framer_event::none);  // still no silence: dropped too
  EXPECT_EQ(idle(150).event, rtu_framer_event::none);
  EXPECT_EQ(idle(161).event, rtu_framer_event::none);  // the silence ends the discarding, no event
  // In step again: the next frame is cut where it starts.
  feed(hidden, 200);
  const rtu_framer_result r = idle(241);
  EXPECT_EQ(r.event, rtu_framer_event::frame);
  EXPECT_EQ(data(r), kAnswer);
}

TEST_F(RtuFramerTest, RawBlocksEmptyTheBufferAndDropTheRestOfTheChunk) {
  init({.gap_ms = 40, .gap_inclusive = false, .check_crc = false, .max_len = MB_FRAME_BUF_SIZE,
        .discard_until_silence = false});
  std::vector<uint8_t> junk(MB_FRAME_BUF_SIZE - 1, 0x55);
  EXPECT_EQ(feed(junk, 0).event, rtu_framer_event::none);
  EXPECT_EQ(f_->count, MB_FRAME_BUF_SIZE - 1);
  // The byte that fills the buffer empties it; what follows in the chunk is gone.
  std::vector<uint8_t> chunk{0x55, 0x01, 0x02};
  EXPECT_EQ(feed(chunk, 1).event, rtu_framer_event::overflow);
  EXPECT_EQ(f_->count, 0u);
  EXPECT_EQ(idle(500).event, rtu_framer_event::none);
  // Collection starts again at once, without waiting for a silence.
  feed({0x07, 0x08}, 600);
  const rtu_framer_result r = idle(641);
  EXPECT_EQ(r.event, rtu_framer_event::frame);
  EXPECT_EQ(data(r), (std::vector<uint8_t>{0x07, 0x08}));
}

TEST_F(RtuFramerTest, InclusiveZeroAndRawOptionsAndNegativeCount) {
  feed(with_crc(kAnswer), 0);
  EXPECT_EQ(rtu_framer_feed(f_.get(), nullptr, -1, 10).event, rtu_framer_event::none);  // -1 is no data
  EXPECT_EQ(rtu_framer_feed(f_.get(), nullptr, -1, 41).event, rtu_framer_event::frame);

  init({.gap_ms = 50, .gap_inclusive = true, .check_crc = true});
  feed(with_crc(kAnswer), 0);
  EXPECT_EQ(idle(49).event, rtu_framer_event::none);
  EXPECT_EQ(idle(50).event, rtu_framer_event::frame);

  // A zero inclusive gap takes every read that brought data as one message.
  init({.gap_ms = 0, .gap_inclusive = true, .check_crc = true});
  auto r = feed(with_crc(kAnswer), 7);
  ASSERT_EQ(r.event, rtu_framer_event::frame);
  EXPECT_EQ(data(r), kAnswer);

  init({.gap_ms = 50, .gap_inclusive = false, .check_crc = false});  // raw: every byte kept
  feed({0xAA}, 0);
  r = idle(51);
  ASSERT_EQ(r.event, rtu_framer_event::frame);
  EXPECT_EQ(data(r), std::vector<uint8_t>{0xAA});
}

}  // namespace

namespace {

TEST(RtuExpectedLength, AnswerAndRequestLayouts) {
  struct layout {
    std::vector<uint8_t> head;
    bool answer;
    uint32_t want;
  };
  const layout layouts[] = {
      {{0x01, 0x03}, true, 0},                           // byte count not there yet
      {{0x01, 0x03, 0x04}, true, 9},                     // 3 + 4 data + CRC
      {{0x01, 0x01, 0x01}, true, 6},                     // one byte of coils
      {{0x01, 0x83}, true, 5},                           // exception
      {{0x01, 0x06}, true, 8},                           // write echo
      {{0x01, 0x10}, true, 8},
      {{0x01, 0x2B}, true, UINT32_MAX},                  // unknown layout: silence decides
      {{0x01, 0x03}, false, 8},                          // read request
      {{0x01, 0x10, 0x00, 0x00, 0x00, 0x02}, false, 0},  // byte count not there yet
      {{0x01, 0x10, 0x00, 0x00, 0x00, 0x02, 0x04}, false, 13},
      {{0x01, 0x0F, 0x00, 0x00, 0x00, 0x0A, 0x02}, false, 11},
      {{0x01}, false, 0},
      {{0x01, 0x41}, false, UINT32_MAX},
  };
  for (const layout &l : layouts) {
    SCOPED_TRACE(testing::PrintToString(l.head));
    EXPECT_EQ(rtu_expected_length(l.head.data(), static_cast<uint32_t>(l.head.size()), l.answer), l.want);
  }
}

// Cutting by length end to end is proven by the process tests; here the odd
// split with no silence, junk behind an answer, and a bad CRC.
TEST_F(RtuFramerTest, ByLengthEndsAFrameAtOnceAndFallsBackToSilence) {
  rtu_framer_options o;
  o.frame_end = rtu_frame_end::answer_length;
  init(o);
  // Split over reads with no silence at all: cut on the last byte, not 40 ms later.
  const auto wire = with_crc(kAnswer);
  EXPECT_EQ(feed({wire.begin(), wire.begin() + 4}, 0).event, rtu_framer_event::none);
  rtu_framer_result r = feed({wire.begin() + 4, wire.end()}, 1);
  EXPECT_EQ(r.event, rtu_framer_event::frame);
  EXPECT_EQ(data(r), kAnswer);
  // Junk after a complete answer in the same read is dropped with the read.
  auto junk = with_crc(kAnswer);
  junk.push_back(0xEE);
  EXPECT_EQ(feed(junk, 100).event, rtu_framer_event::frame);
  EXPECT_EQ(idle(200).event, rtu_framer_event::none);
  // A bad CRC at the layout's length waits for the silence, which judges it.
  auto bad = with_crc(kAnswer);
  bad.back() ^= 0xFF;
  EXPECT_EQ(feed(bad, 300).event, rtu_framer_event::none);
  EXPECT_EQ(idle(341).event, rtu_framer_event::crc_error);
}

}  // namespace

namespace {

// A reader that waits what rtu_framer_wait_ms says and then feeds what
// came is never early (the message is not complete yet) and never late
// (the wait ends on the tick the message is complete), at either gap rule,
// across the tick wrap, and while an overlong message is being discarded.
TEST_F(RtuFramerTest, TheReadersWaitEndsExactlyWhenTheSilenceEndsTheMessage) {
  EXPECT_EQ(rtu_framer_wait_ms(f_.get(), 5, 100), 100u) << "nothing gathered: the quiet wait";
  for (bool inclusive : {false, true}) {
    SCOPED_TRACE(inclusive);
    init({.gap_ms = 40, .gap_inclusive = inclusive, .check_crc = false, .max_len = 8,
          .discard_until_silence = true});
    const uint32_t t0 = 0xFFFFFFF0u;  // the silence runs across the wrap
    ASSERT_EQ(feed({1, 2, 3}, t0).event, rtu_framer_event::none);
    const uint32_t wait = rtu_framer_wait_ms(f_.get(), t0 + 5, 100);
    EXPECT_EQ(wait, inclusive ? 35u : 36u);
    EXPECT_EQ(idle(t0 + 5 + wait - 1).event, rtu_framer_event::none);
    EXPECT_EQ(rtu_framer_wait_ms(f_.get(), t0 + 5 + wait - 1, 100), 1u);
    EXPECT_EQ(rtu_framer_wait_ms(f_.get(), t0 + 5 + wait, 100), 0u);
    EXPECT_EQ(idle(t0 + 5 + wait).event, rtu_framer_event::frame);
    EXPECT_EQ(rtu_framer_wait_ms(f_.get(), t0 + 5 + wait, 100), 100u) << "delivered: quiet again";
    EXPECT_EQ(rtu_framer_wait_ms(f_.get(), t0, 10), 10u) << "never more than the quiet wait";

    ASSERT_EQ(feed(std::vector<uint8_t>(9, 7), t0).event, rtu_framer_event::overflow);
    EXPECT_EQ(rtu_framer_wait_ms(f_.get(), t0, 100), inclusive ? 40u : 41u) << "discarding until the silence";
  }
}

}  // namespace
