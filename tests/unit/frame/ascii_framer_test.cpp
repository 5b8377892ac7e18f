#include "frame/ascii_framer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "frame/mb_codec.h"

namespace {

using bytes = std::vector<uint8_t>;

// ':' + hex of body and its LRC + `end`.
std::string message(const bytes &body, const std::string &end = "\r\n", bool lower = false) {
  bytes all = body;
  all.push_back(mb_lrc(body.data(), static_cast<uint32_t>(body.size())));
  std::string text(2 * all.size(), '\0');
  mb_bin_to_hex(text.data(), all.data(), static_cast<uint32_t>(all.size()));
  if (lower)
    for (char &c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return ":" + text + end;
}

const bytes kRequest = {0x01, 0x03, 0x00, 0x00, 0x00, 0x01};

class AsciiFramerTest : public ::testing::Test {
 protected:
  ascii_framer_result feed(const std::string &s) {
    return ascii_framer_feed(&f_, reinterpret_cast<const uint8_t *>(s.data()), static_cast<int>(s.size()));
  }
  // Feeds `s` in pieces of `step` characters; the results that carry an event.
  std::vector<ascii_framer_result> feed_in_steps(const std::string &s, size_t step) {
    std::vector<ascii_framer_result> out;
    for (size_t at = 0; at < s.size(); at += step) {
      const ascii_framer_result r = feed(s.substr(at, step));
      if (r.event != ascii_framer_event::none || r.overflow) out.push_back(r);
    }
    return out;
  }
  static bytes data(const ascii_framer_result &r) { return {r.data, r.data + r.len}; }

  ascii_framer f_;
};

TEST_F(AsciiFramerTest, TheRequestOfTheExampleInEverySplitAndBothCases) {
  EXPECT_EQ(message(kRequest), ":010300000001FB\r\n");
  for (bool lower : {false, true}) {
    for (size_t step : {size_t{1}, size_t{2}, size_t{3}, size_t{7}, size_t{16}, size_t{64}}) {
      SCOPED_TRACE(std::to_string(step) + (lower ? " lower" : " upper"));
      const auto events = feed_in_steps(message(kRequest, "\r\n", lower), step);
      ASSERT_EQ(events.size(), 1u);
      ASSERT_EQ(events[0].event, ascii_framer_event::frame);
      EXPECT_EQ(data(events[0]), kRequest);
      EXPECT_EQ(events[0].hex_len, 14u);
      EXPECT_EQ(events[0].decoded, 7u);
      EXPECT_EQ(events[0].lrc_recv, 0xFB);
      // The LF of CR LF came in a later chunk (step 1): skipped while idle.
      EXPECT_EQ(f_.state, ASCII_IDLE);
      EXPECT_EQ(f_.hex_len, 0u);
    }
  }
}

TEST_F(AsciiFramerTest, OnlyTheFirstMessageOfAChunkIsTaken) {
  const bytes other = {0x02, 0x06, 0x00, 0x04, 0x00, 0x07};
  const ascii_framer_result r = feed(message(kRequest) + message(other));
  ASSERT_EQ(r.event, ascii_framer_event::frame);
  EXPECT_EQ(data(r), kRequest);
  EXPECT_EQ(f_.state, ASCII_IDLE);
  // The second message was not looked at: nothing is left of it.
  EXPECT_EQ(feed("").event, ascii_framer_event::none);
  EXPECT_EQ(f_.hex_len, 0u);
  // A message split across chunks after the end of another is not lost when
  // it starts in a later chunk.
  EXPECT_EQ(feed(message(other)).event, ascii_framer_event::frame);
}

TEST_F(AsciiFramerTest, DamagedMessagesAreDroppedWithTheirReason) {
  // A wrong LRC, noise and either end character are proven by the process tests.
  // A second ':' is collected, not a restart: the message is then no hex.
  ascii_framer_result r = feed(":0103:" + message(kRequest).substr(1));
  EXPECT_EQ(r.event, ascii_framer_event::invalid);

  // A character that is no hex digit is never decoded into a byte, even
  // where its garbage nibble would make the LRC come out right ('J' gives
  // the nibble of '3').
  r = feed(":010J00000001FB\r\n");
  EXPECT_EQ(r.event, ascii_framer_event::invalid);
  EXPECT_EQ(r.hex_len, 14u);

  // An odd count: the last character would be outside the checksum.
  r = feed(":010300000001FB0\r\n");
  EXPECT_EQ(r.event, ascii_framer_event::invalid);

  // Fewer than two bytes: no check.
  EXPECT_EQ(feed(":01\r\n").event, ascii_framer_event::too_short);
  EXPECT_EQ(feed(":\r\n").event, ascii_framer_event::too_short);

  // And the next good message is taken.
  r = feed(message(kRequest));
  ASSERT_EQ(r.event, ascii_framer_event::frame);
  EXPECT_EQ(data(r), kRequest);
}

TEST_F(AsciiFramerTest, MessagesAreBoundedByTheLongestModbusMessage) {
  // The longest body: unit id and a 253-byte PDU, 513 characters on the wire.
  bytes longest(MB_BODY_MAX, 0x5A);
  longest[0] = 0x11;
  const std::string wire = message(longest);
  ASSERT_EQ(wire.size(), MB_ASCII_ADU_MAX);
  const auto events = feed_in_steps(wire, 100);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].event, ascii_framer_event::frame);
  EXPECT_FALSE(events[0].overflow);
  EXPECT_EQ(data(events[0]), longest);

  // One byte more: dropped as it grows past the bound, and the machine
  // waits for the next ':' (here in the same chunk).
  bytes too_long = longest;
  too_long.push_back(0x5A);
  ascii_framer_result r = feed(message(too_long).substr(0, MB_ASCII_ADU_MAX) + "ABCD\r\n" + message(kRequest));
  EXPECT_TRUE(r.overflow);
  ASSERT_EQ(r.event, ascii_framer_event::frame);
  EXPECT_EQ(data(r), kRequest);

  // An endless message never ends anything: every bound's worth is dropped.
  std::string endless(5 * MB_ASCII_ADU_MAX, 'A');
  endless[0] = ':';
  r = feed(endless);
  EXPECT_TRUE(r.overflow);
  EXPECT_EQ(r.event, ascii_framer_event::none);
  EXPECT_EQ(feed("\r\n").event, ascii_framer_event::none);
}

TEST_F(AsciiFramerTest, ResetForgetsAPartialMessage) {
  const std::string m = message(kRequest);
  EXPECT_EQ(feed(m.substr(0, 9)).event, ascii_framer_event::none);
  EXPECT_EQ(f_.state, ASCII_COLLECTING);
  ascii_framer_reset(&f_);
  // The late rest of the message is noise now.
  EXPECT_EQ(feed(m.substr(9)).event, ascii_framer_event::none);
  EXPECT_EQ(feed(m).event, ascii_framer_event::frame);
}

}  // namespace
