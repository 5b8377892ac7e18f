#define PCRE2_CODE_UNIT_WIDTH 8
#include "platform/plat_regex.h"

#include <pcre2.h>

#include <cstring>

#include "platform/plat_log.h"

struct plat_regex_impl {
  pcre2_code *code = nullptr;  // compiled once; pcre2_match only reads it
};

namespace {

// Runs the pattern over text; fills [*start, *end) with the match.
// Match data is made per call so one expression may serve several threads.
bool run(plat_regex *re, const char *text, size_t *start, size_t *end) {
  if (!re || !re->impl_ || !re->impl_->code || !text) return false;
  pcre2_match_data *md = pcre2_match_data_create_from_pattern(re->impl_->code, nullptr);
  if (!md) {
    PLAT_LOG(3, "pcre2_match_data_create_from_pattern failed");
    return false;
  }
  int rc = pcre2_match(re->impl_->code, reinterpret_cast<PCRE2_SPTR>(text), std::strlen(text), 0, 0, md, nullptr);
  bool matched = rc >= 0;
  if (matched) {
    PCRE2_SIZE *ov = pcre2_get_ovector_pointer(md);
    *start = ov[0];
    *end = ov[1];
  } else if (rc != PCRE2_ERROR_NOMATCH) {
    PLAT_LOG(4, "pcre2_match failed: %d", rc);
  }
  pcre2_match_data_free(md);
  return matched;
}

}  // namespace

plat_regex::~plat_regex() {
  if (impl_) {
    pcre2_code_free(impl_->code);
    delete impl_;
  }
}

plat_regex_handle plat_regex_create(const char *pattern) {
  RVON(pattern, nullptr);
  int error = 0;
  PCRE2_SIZE offset = 0;
  pcre2_code *code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern), PCRE2_ZERO_TERMINATED, 0, &error, &offset,
                                   nullptr);
  if (!code) {
    PCRE2_UCHAR message[256];
    pcre2_get_error_message(error, message, sizeof(message));
    PLAT_LOG(3, "regular expression \"%s\" does not compile at offset %zu: %s", pattern, static_cast<size_t>(offset),
             reinterpret_cast<const char *>(message));
    return nullptr;
  }
  auto *impl = new plat_regex_impl;
  impl->code = code;
  return std::make_unique<plat_regex>(impl);
}

int plat_regex_match(plat_regex *re, const char *text) {
  size_t start = 0, end = 0;
  return run(re, text, &start, &end) ? 1 : 0;
}

std::optional<std::string> plat_regex_parse(plat_regex *re, const char *text) {
  size_t start = 0, end = 0;
  if (!run(re, text, &start, &end) || end < start) return std::nullopt;
  return std::string(text + start, end - start);
}
