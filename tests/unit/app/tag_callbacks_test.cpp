// The tag service callbacks: one time stamp per read, quality 0, the lines
// on standard output, and writes reaching the owner.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/trellis.h"

namespace {

class fake_owner final : public tag_owner {
 public:
  int change_state(tag *t) override {
    calls.push_back({t, t->value.load(), t->state.load()});
    return 0;
  }
  struct call {
    tag *t;
    double value_seen;
    uint32_t state_seen;
  };
  std::vector<call> calls;
};

void name_tag(tag &t, const char *name) { std::snprintf(t.name, sizeof t.name, "%s", name); }

}  // namespace

TEST(OnReadTag, EveryTagOfOneCallGetsTheSameTimeAndQualityZero) {
  tag a, b, c;
  name_tag(a, "#TRELLIS_COM1");
  name_tag(b, "#TRELLIS_COM2");
  name_tag(c, "#TRANSPARENT_COM3");
  a.value = 1.0;
  b.value = 0.0;
  c.value = 2.5;
  a.quality = b.quality = c.quality = 0x00C0;  // whatever the owner holds, reads report 0
  tag *tags[] = {&a, &b, &c};
  tag_value values[3];
  std::memset(values, 0xAB, sizeof values);

  testing::internal::CaptureStdout();
  EXPECT_EQ(on_read_tag(nullptr, tags, values, 3), 0);
  std::string out = testing::internal::GetCapturedStdout();

  EXPECT_EQ(values[0].value, 1.0);
  EXPECT_EQ(values[1].value, 0.0);
  EXPECT_EQ(values[2].value, 2.5);
  for (const tag_value &v : values) {
    EXPECT_EQ(v.quality, 0);
    EXPECT_EQ(v.seconds, values[0].seconds);
    EXPECT_EQ(v.microseconds, values[0].microseconds);
    EXPECT_LT(v.microseconds, 1000000u);
  }
  EXPECT_GT(values[0].seconds, 1600000000u);  // a wall-clock time, not a tick

  char expected[200];
  std::snprintf(expected, sizeof expected, "tag name = #TRELLIS_COM2, value = 0.000000, quality = 0000H, time = %llu.%u\n",
                static_cast<unsigned long long>(values[1].seconds), values[1].microseconds);
  EXPECT_NE(out.find(expected), std::string::npos) << out;
  EXPECT_NE(out.find("tag name = #TRANSPARENT_COM3, value = 2.500000, quality = 0000H"), std::string::npos);
}

TEST(OnReadTag, ZeroCountTouchesNothing) {
  tag_value v{};
  v.value = 7.0;
  tag a;
  tag *tags[] = {&a};
  EXPECT_EQ(on_read_tag(nullptr, tags, &v, 0), 0);
  EXPECT_EQ(v.value, 7.0);
}

TEST(OnWriteTag, StoresEachValueSetsStateAndCallsTheOwnerInOrder) {
  fake_owner owner;
  tag a, b;
  name_tag(a, "#TRELLIS_COM1");
  name_tag(b, "#TRELLIS_COM2");
  a.owner = b.owner = &owner;
  a.state = 1;
  b.state = 0;
  a.value = 1.0;
  tag *tags[] = {&a, &b};
  const double values[] = {0.0, 1.0};

  testing::internal::CaptureStdout();
  EXPECT_EQ(on_write_tag(nullptr, tags, values, 2), 0);
  std::string out = testing::internal::GetCapturedStdout();

  EXPECT_EQ(a.value.load(), 0.0);
  EXPECT_EQ(b.value.load(), 1.0);
  EXPECT_EQ(a.state.load(), 2u);
  EXPECT_EQ(b.state.load(), 2u);
  ASSERT_EQ(owner.calls.size(), 2u);
  // The owner sees the new value and state when it is called.
  EXPECT_EQ(owner.calls[0].t, &a);
  EXPECT_EQ(owner.calls[0].value_seen, 0.0);
  EXPECT_EQ(owner.calls[0].state_seen, 2u);
  EXPECT_EQ(owner.calls[1].t, &b);
  EXPECT_EQ(owner.calls[1].value_seen, 1.0);
  EXPECT_EQ(out, "tag name = #TRELLIS_COM1, value = 0.000000\ntag name = #TRELLIS_COM2, value = 1.000000\n");
}

TEST(OnWriteTag, TagWithoutOwnerOnlyStoresTheValue) {
  tag a;
  name_tag(a, "#TRELLIS_COM4");
  tag *tags[] = {&a};
  const double v = 3.25;
  testing::internal::CaptureStdout();
  EXPECT_EQ(on_write_tag(nullptr, tags, &v, 1), 0);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(a.value.load(), 3.25);
  EXPECT_EQ(a.state.load(), 2u);
}
