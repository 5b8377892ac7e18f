#include "frame/mbap_framer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <vector>

namespace {

using bytes = std::vector<uint8_t>;

// tid 0x0102, pid 0, length 6: unit 0x11, read holding 0x006B count 3.
const bytes kRequest = {0x01, 0x02, 0x00, 0x00, 0x00, 0x06, 0x11, 0x03, 0x00, 0x6B, 0x00, 0x03};

struct fed {
  std::vector<bytes> messages;
  std::vector<uint16_t> tids;
  std::vector<uint16_t> pids;
  int bad_pid = 0;
};

// Feeds `in` cut at the given chunk sizes (the last size repeats to the end)
// and collects what completes.
fed feed_chunks(mbap_framer *f, const bytes &in, const std::vector<size_t> &sizes) {
  fed out;
  for (size_t pos = 0, idx = 0; pos < in.size(); ++idx) {
    const size_t n = std::min(sizes[std::min(idx, sizes.size() - 1)], in.size() - pos);
    mbap_result r = mbap_framer_feed(f, in.data() + pos, static_cast<int>(n));
    pos += n;
    if (r.event == mbap_event::message) {
      out.messages.emplace_back(r.data, r.data + r.len);
      out.tids.push_back(r.tid);
      out.pids.push_back(r.pid);
    } else if (r.event == mbap_event::bad_pid) {
      ++out.bad_pid;
    }
  }
  return out;
}

std::unique_ptr<mbap_framer> make(mbap_side side) {
  auto f = std::make_unique<mbap_framer>();
  mbap_framer_init(f.get(), side);
  return f;
}

const bytes kPdu(kRequest.begin() + 6, kRequest.end());

TEST(MbapFramer, OneSegmentByteByByteAndEverySplitGiveTheRequestOnce) {
  auto f = make(mbap_side::north_tcp);
  fed out = feed_chunks(f.get(), kRequest, {kRequest.size()});
  EXPECT_EQ(out.messages, std::vector<bytes>{kPdu});
  EXPECT_EQ(out.tids, std::vector<uint16_t>{0x0102});
  EXPECT_EQ(out.pids, std::vector<uint16_t>{0});
  EXPECT_EQ(f->state, 1);
  EXPECT_EQ(feed_chunks(f.get(), kRequest, {1}).messages, std::vector<bytes>{kPdu});
  // Two cuts anywhere, header and data alike: a message taken early would
  // be short or followed by a second one.
  for (size_t a = 1; a < kRequest.size(); ++a) {
    for (size_t b = 1; a + b < kRequest.size(); ++b) {
      EXPECT_EQ(feed_chunks(f.get(), kRequest, {a, b, kRequest.size()}).messages, std::vector<bytes>{kPdu})
          << "cuts " << a << "," << b;
    }
  }
}

TEST(MbapFramer, SecondRequestInASegmentIsDroppedAndZeroLengthCompletesAtOnce) {
  auto f = make(mbap_side::north_tcp);
  bytes two = kRequest;
  two.insert(two.end(), kRequest.begin(), kRequest.end());
  EXPECT_EQ(feed_chunks(f.get(), two, {two.size()}).messages.size(), 1u);
  // The dropped tail leaves no partial state behind: a fresh request works.
  EXPECT_EQ(feed_chunks(f.get(), kRequest, {kRequest.size()}).messages.size(), 1u);

  const bytes header = {0x00, 0x09, 0x00, 0x00, 0x00, 0x00};
  mbap_result r = mbap_framer_feed(f.get(), header.data(), static_cast<int>(header.size()));
  EXPECT_EQ(r.event, mbap_event::message);
  EXPECT_EQ(r.len, 0u);
  EXPECT_EQ(r.tid, 9);
  EXPECT_EQ(feed_chunks(f.get(), kRequest, {kRequest.size()}).messages.size(), 1u);  // a new header follows
}

TEST(MbapFramer, OversizedMessagesAreSkippedWholeAndTheStreamStaysInStep) {
  for (uint16_t announced : {static_cast<uint16_t>(MB_BODY_MAX + 1), static_cast<uint16_t>(0xFFFF)}) {
    SCOPED_TRACE(announced);
    auto f = make(mbap_side::north_tcp);
    // The largest Modbus message is taken.
    bytes longest = {0x00, 0x07, 0x00, 0x00, 0x00, static_cast<uint8_t>(MB_BODY_MAX), 0x01, 0x10};
    longest.resize(6 + MB_BODY_MAX, 0x22);
    fed out = feed_chunks(f.get(), longest, {longest.size()});
    ASSERT_EQ(out.messages.size(), 1u);
    EXPECT_EQ(out.messages[0].size(), MB_BODY_MAX);

    // One longer: reported once, skipped to its announced end across odd
    // chunks, and the request after it, even in the same receive, is cut
    // where it starts (a smuggled request inside the skipped bytes is not).
    bytes stream = {0x00, 0x01, 0x00, 0x00, static_cast<uint8_t>(announced >> 8), static_cast<uint8_t>(announced)};
    bytes body(announced, 0xAB);
    std::copy(kRequest.begin(), kRequest.end(), body.begin() + 10);  // looks like a request, is not one
    stream.insert(stream.end(), body.begin(), body.end());
    stream.insert(stream.end(), kRequest.begin(), kRequest.end());
    uint32_t reported = 0;
    std::vector<bytes> messages;
    size_t at = 0;
    for (size_t cut : {size_t{3}, size_t{4}, size_t{97}, stream.size()}) {
      const size_t n = std::min(cut, stream.size() - at);
      const mbap_result r = mbap_framer_feed(f.get(), stream.data() + at, static_cast<int>(n));
      at += n;
      if (r.oversize) reported += r.oversize;
      if (r.event == mbap_event::message) messages.emplace_back(r.data, r.data + r.len);
      if (at == stream.size()) break;
    }
    EXPECT_EQ(reported, announced);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0], bytes(kRequest.begin() + 6, kRequest.end()));
  }
}

TEST(MbapFramer, NonZeroProtocolIdIsDroppedOnUdpAndSouthOnly) {
  bytes odd = kRequest;
  odd[3] = 0x01;
  for (mbap_side side : {mbap_side::north_udp, mbap_side::south}) {
    auto f = make(side);
    // Protocol id and what follows in one receive: the rest is dropped.
    fed out = feed_chunks(f.get(), odd, {odd.size()});
    EXPECT_TRUE(out.messages.empty());
    EXPECT_EQ(out.bad_pid, 1);
    EXPECT_EQ(f->state, 1);
    out = feed_chunks(f.get(), kRequest, {5, 1});
    EXPECT_EQ(out.messages.size(), 1u);
  }
  auto f = make(mbap_side::north_tcp);
  fed out = feed_chunks(f.get(), odd, {odd.size()});
  ASSERT_EQ(out.messages.size(), 1u);
  EXPECT_EQ(out.pids[0], 1);
}

}  // namespace
