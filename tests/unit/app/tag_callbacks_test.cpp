// The tag service callbacks: one time stamp per read, quality 0, the lines
// on standard output, and writes reaching the owner.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/trellis.h"

namespace {

// Records what a tag holds when its owner is called.
class fake_owner final : public tag_owner {
 public:
  struct call {
    tag *t;
    double value;
    uint32_t state;
  };
  int change_state(tag *t) override {
    seen.push_back({t, t->value.load(), t->state.load()});
    return 0;
  }
  std::vector<call> seen;
};

void name_tag(tag &t, const char *name) { std::snprintf(t.name, sizeof t.name, "%s", name); }

}  // namespace

// The printed lines and a real port's change_state are checked through the
// tag socket by the process tests; here several tags in one call.
TEST(TagCallbacks, ReadGivesEveryTagOfOneCallTheSameTimeAndQualityZero) {
  tag a, b;
  name_tag(a, "#TRELLIS_COM1");
  name_tag(b, "#TRANSPARENT_COM3");
  a.value = 1.0;
  b.value = 2.5;
  b.quality = 0x00C0;  // whatever the owner holds, reads report 0
  tag *tags[] = {&a, &b};
  tag_value values[2];
  std::memset(values, 0xAB, sizeof values);
  testing::internal::CaptureStdout();
  EXPECT_EQ(on_read_tag(nullptr, tags, values, 2), 0);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(values[0].value, 1.0);
  EXPECT_EQ(values[1].value, 2.5);
  for (const tag_value &v : values) {
    EXPECT_EQ(v.quality, 0);
    EXPECT_EQ(v.seconds, values[0].seconds);
    EXPECT_EQ(v.microseconds, values[0].microseconds);
  }
  EXPECT_GT(values[0].seconds, 1600000000u);  // wall-clock time, not a tick
}

TEST(TagCallbacks, WriteStoresSetsStateTwoAndThenCallsTheOwnerIfAny) {
  fake_owner owner;
  tag a, lone;
  name_tag(a, "#TRELLIS_COM1");
  name_tag(lone, "#TRELLIS_COM4");
  a.owner = &owner;  // `lone` has none: it only stores the value
  a.value = 1.0;
  tag *tags[] = {&lone, &a};
  const double values[] = {3.25, 0.0};
  testing::internal::CaptureStdout();
  EXPECT_EQ(on_write_tag(nullptr, tags, values, 2), 0);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(lone.value.load(), 3.25);
  EXPECT_EQ(lone.state.load(), 2u);
  ASSERT_EQ(owner.seen.size(), 1u);
  EXPECT_EQ(owner.seen[0].t, &a);
  EXPECT_EQ(owner.seen[0].value, 0.0);
  EXPECT_EQ(owner.seen[0].state, 2u);
}
