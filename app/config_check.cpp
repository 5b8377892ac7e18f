#include "app/config_check.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "app/load_config.h"
#include "platform/plat_log.h"
#include "platform/tw_conf.h"
#include "route/mux.h"

namespace {

// Fixed lines of start-up that say little by themselves; each is always
// followed by a line of the loader that says what was wrong and what
// happens instead, so the report keeps only that one.
constexpr const char *superseded_lines[] = {
    "Not Found Type.",
    "Not Found Right Type.",
    "The IP parameter is invalid",
    "fail register directory, unable to find table",
    "The table information contained in the north port TCP is inconsistent with the information in the "
    "configuration file, and the correct table information cannot be located",
    "Unable to create table in north port TCP, please check the configuration file",
    "The table configuration cannot be found in the north port TCP connection, please check the configuration "
    "file !",
    "no item config under table",
};

bool superseded(const std::string &message) {
  for (const char *line : superseded_lines) {
    if (message == line) return true;
  }
  return false;
}

struct document_closer {
  void operator()(tw_conf_node *doc) const { tw_conf_node_close(doc); }
};

}  // namespace

int config_check(const char *path, FILE *out) {
  std::vector<plat_log_record> problems;
  {
    plat_log_capture capture(PLAT_LOG_WARNING);
    tw_conf_error error;
    std::unique_ptr<tw_conf_node, document_closer> doc(tw_conf_open_xml_file(path, TW_CONF_ARRAY_NAMES, &error));
    if (!doc) {
      std::fprintf(out, "%s:%d: %s\n", path, error.line, error.message.c_str());
      return CONFIG_CHECK_UNREADABLE;
    }
    std::unique_ptr<mux> m(mux_create());
    // The ports go before the mux they were registered with.
    load_config_document(doc.get(), m.get()).reset();
    problems = capture.records();
  }
  // In file order; what one element caused stays in the order it was found.
  std::stable_sort(problems.begin(), problems.end(),
                   [](const plat_log_record &a, const plat_log_record &b) { return a.source_line < b.source_line; });
  // An attribute read twice (the loader's id check and the port's own
  // settings) reports the same problem twice: it is one problem.
  std::set<std::pair<int, std::string>> seen;
  int reported = 0;
  for (const plat_log_record &r : problems) {
    if (superseded(r.message) || !seen.emplace(r.source_line, r.message).second) continue;
    std::fprintf(out, "%s:%d: %s\n", path, r.source_line, r.message.c_str());
    ++reported;
  }
  return reported == 0 ? CONFIG_CHECK_CLEAN : CONFIG_CHECK_PROBLEMS;
}
