// PCRE2 regular expressions. Patterns carry their own anchors.
#pragma once

#include <memory>
#include <optional>
#include <string>

struct plat_regex_impl;

class plat_regex final {
 public:
  explicit plat_regex(plat_regex_impl *impl) : impl_(impl) {}
  ~plat_regex();
  plat_regex(const plat_regex &) = delete;
  plat_regex &operator=(const plat_regex &) = delete;

  plat_regex_impl *impl_;
};

using plat_regex_handle = std::unique_ptr<plat_regex>;

// Null when the pattern does not compile (with a log line).
plat_regex_handle plat_regex_create(const char *pattern);
// Non-zero when the text matches.
int plat_regex_match(plat_regex *re, const char *text);
// The first matching substring, or nothing.
std::optional<std::string> plat_regex_parse(plat_regex *re, const char *text);

inline void plat_close_handle(plat_regex_handle &h) { h.reset(); }
