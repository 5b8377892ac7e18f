// The tag socket's line handling: whatever a local client sends, cut into
// lines and executed against two line-state tags (with an owner) and one
// plain tag. A line's state only ever holds 0 or 1, every line gets one
// answer, and nothing reads past what was sent.
#include <string>
#include <string_view>

#include "fuzz_input.h"
#include "platform/tagbus.h"

namespace {

class line_owner final : public tag_owner {
 public:
  int change_state(tag *t) override {
    const double v = t->value.load();
    FUZZ_CHECK(v == 0.0 || v == 1.0);
    return 0;
  }
};

int on_read(void *, tag **tags, tag_value *values, uint32_t count) {
  for (uint32_t i = 0; i < count; ++i) values[i] = {tags[i]->value.load(), tags[i]->quality.load(), 1, 2};
  return 0;
}

int on_write(void *, tag **tags, const double *values, uint32_t count) {
  for (uint32_t i = 0; i < count; ++i) {
    tags[i]->value.store(values[i]);
    if (tags[i]->owner) tags[i]->owner->change_state(tags[i]);
  }
  return 0;
}

struct tags_registered {
  line_owner owner;
  tag com1, com2, plain;
  tags_registered() {
    for (tag *t : {&com1, &com2, &plain}) t->value = 1.0;
    std::snprintf(com1.name, sizeof com1.name, "#TRELLIS_COM1");
    std::snprintf(com2.name, sizeof com2.name, "#TRANSPARENT_COM2");
    std::snprintf(plain.name, sizeof plain.name, "plain");
    com1.owner = com2.owner = &owner;
    for (tag *t : {&com1, &com2, &plain}) FUZZ_CHECK(tagbus_add(t) != 0);
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static const bool quiet = (fuzz_quiet_logs(), true);
  (void)quiet;
  static tags_registered tags;
  static const tag_callbacks callbacks = {sizeof(tag_callbacks), on_read, on_write, 0};
  const std::string_view bytes(reinterpret_cast<const char *>(data), size);
  const std::string out = tagbus_serve_bytes(bytes, &callbacks, nullptr);
  FUZZ_CHECK(out.empty() || out.back() == '\n');
  for (tag *t : {&tags.com1, &tags.com2}) FUZZ_CHECK(t->value.load() == 0.0 || t->value.load() == 1.0);
  return 0;
}
