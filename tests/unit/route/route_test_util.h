// Helpers shared by the routing tests: configuration text in memory and
// captured log output.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "platform/plat_log.h"
#include "platform/tw_conf.h"

// A parsed configuration text, closed at the end of the test.
class conf_doc final {
 public:
  explicit conf_doc(const std::string &xml) : doc_(tw_conf_open_xml_string(xml.c_str(), TW_CONF_ARRAY_NAMES)) {}
  ~conf_doc() {
    if (doc_) tw_conf_node_close(doc_);
  }
  conf_doc(const conf_doc &) = delete;
  conf_doc &operator=(const conf_doc &) = delete;

  tw_conf_node *doc() const { return doc_; }
  // The root element, e.g. <Table> in "<Table>...</Table>" (first element
  // of the array node when the name is one of the array names).
  tw_conf_node *root(const char *name) const {
    tw_conf_node *n = doc_ ? tw_conf_node_child_query(doc_, name, nullptr) : nullptr;
    uint32_t it = 0;
    tw_conf_node *first = n ? tw_conf_node_child_query(n, nullptr, &it) : nullptr;
    return first ? first : n;
  }

 private:
  tw_conf_node *doc_;
};

// Runs fn at the given log level and returns what it logged.
inline std::string logged(int level, const std::function<void()> &fn) {
  const int saved = plat_log_get_level();
  plat_log_set_level(level);
  testing::internal::CaptureStderr();
  fn();
  std::string out = testing::internal::GetCapturedStderr();
  plat_log_set_level(saved);
  return out;
}
