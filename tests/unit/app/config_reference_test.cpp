// The configuration reference against the code: every attribute the loader
// and the create functions read, and every element they look for, is
// described in docs/configuration.md; its complete examples check clean.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "app/config_check.h"
#include "platform/plat_log.h"

namespace {

namespace fs = std::filesystem;

std::string read(const fs::path &path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// The arguments of the call whose "(" is at `open`, split at top-level
// commas (string literals and nested parentheses respected).
std::vector<std::string> call_arguments(const std::string &src, size_t open) {
  std::vector<std::string> args(1);
  int depth = 0;
  for (size_t i = open + 1; i < src.size(); ++i) {
    const char c = src[i];
    if (c == '"') {
      const size_t end = src.find('"', i + 1);
      args.back() += src.substr(i, end - i + 1);
      i = end;
      continue;
    }
    if (c == '(') ++depth;
    if (c == ')' && depth-- == 0) break;
    if (c == ',' && depth == 0) {
      args.emplace_back();
      continue;
    }
    args.back() += c;
  }
  return args;
}

struct name_use {
  std::string name;
  std::string where;  // file:offset of the call
};

// Every string literal in argument `index` of every call to a function
// whose name starts with `prefix`, in the product sources. A call whose
// argument holds no literal is returned with an empty name.
std::vector<name_use> names_read(const std::string &prefix, size_t index) {
  std::vector<name_use> found;
  for (const char *dir : {"app", "north", "south", "route", "cache", "frame", "transparent"}) {
    const fs::path root = fs::path(TRELLIS_SOURCE_DIR) / dir;
    if (!fs::exists(root)) continue;
    for (const auto &entry : fs::recursive_directory_iterator(root)) {
      if (entry.path().extension() != ".cpp") continue;
      const std::string src = read(entry.path());
      for (size_t at = src.find(prefix); at != std::string::npos; at = src.find(prefix, at + 1)) {
        const size_t open = src.find_first_of("(;", at);
        if (open == std::string::npos || src[open] != '(') continue;
        const std::vector<std::string> args = call_arguments(src, open);
        if (args.size() <= index) continue;  // a declaration or a use without the argument
        const std::string where = entry.path().filename().string() + ":" + std::to_string(at);
        std::smatch m;
        std::string rest = args[index];
        bool any = false;
        while (std::regex_search(rest, m, std::regex("\"([A-Za-z_][A-Za-z_0-9]*)\""))) {
          found.push_back({m[1], where});
          any = true;
          rest = m.suffix();
        }
        if (!any) found.push_back({"", where + " (" + args[index] + ")"});
      }
    }
  }
  return found;
}

TEST(ConfigReference, DescribesEveryAttributeAndElementTheCodeReads) {
  const std::string doc = read(fs::path(TRELLIS_SOURCE_DIR) / "docs/configuration.md");
  ASSERT_FALSE(doc.empty());
  std::set<std::string> attributes;
  for (const char *reader : {"tw_conf_node_attr_get_", "tw_conf_node_attr_to_int", "tw_conf_node_attr_read_int",
                             "tw_conf_node_attr_exists"}) {
    for (const name_use &use : names_read(reader, 1)) {
      EXPECT_FALSE(use.name.empty()) << "attribute name is not a literal at " << use.where
                                     << ": the reference test cannot see it";
      attributes.insert(use.name);
    }
  }
  // The scan itself works: these are read today.
  for (const char *known : {"enable", "type", "id", "timeout", "node_id_req", "rtu_over_tcp", "rtu_over_udp"})
    EXPECT_TRUE(attributes.count(known)) << known;
  for (const std::string &name : attributes)
    EXPECT_NE(doc.find("| `" + name + "` |"), std::string::npos) << "attribute " << name << " has no table row";

  std::set<std::string> elements;
  for (const name_use &use : names_read("tw_conf_node_child_query", 1)) elements.insert(use.name);
  elements.erase("");  // iteration over an array passes no name
  EXPECT_TRUE(elements.count("SouthPort") && elements.count("Item"));
  for (const std::string &name : elements)
    EXPECT_NE(doc.find("| `" + name + "` |"), std::string::npos) << "element " << name << " has no table row";
}

TEST(ConfigReference, ItsCompleteExamplesCheckClean) {
  const std::string doc = read(fs::path(TRELLIS_SOURCE_DIR) / "docs/configuration.md");
  const size_t from = doc.find("## Complete examples");
  ASSERT_NE(from, std::string::npos);
  const int saved = plat_log_get_level();
  plat_log_set_level(4);
  char dir[] = "/tmp/config_reference_test.XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  int examples = 0;
  for (size_t at = doc.find("```xml\n", from); at != std::string::npos; at = doc.find("```xml\n", at + 1)) {
    const size_t begin = at + 7;
    const std::string xml = doc.substr(begin, doc.find("```", begin) - begin);
    const std::string path = std::string(dir) + "/example" + std::to_string(++examples) + ".acr";
    std::ofstream(path) << xml;
    char *out = nullptr;
    size_t size = 0;
    FILE *f = open_memstream(&out, &size);
    EXPECT_EQ(config_check(path.c_str(), f), CONFIG_CHECK_CLEAN) << xml;
    std::fclose(f);
    EXPECT_EQ(std::string(out, size), "") << "example " << examples;
    std::free(out);
  }
  plat_log_set_level(saved);
  fs::remove_all(dir);
  EXPECT_GE(examples, 3);
}

}  // namespace
