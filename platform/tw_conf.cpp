// Configuration reader over pugixml. Nothing else in the program sees the
// XML library: every node handed out is a tw_conf_node owned by its
// document.
#include "platform/tw_conf.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <pugixml.hpp>

#include "platform/plat_log.h"

namespace {
enum class node_kind { document, element, array };
}  // namespace

struct tw_conf_doc;

struct tw_conf_node {
  tw_conf_doc *doc = nullptr;
  node_kind kind = node_kind::element;
  pugi::xml_node xml;                    // document or element; for an array the parent element
  std::string array_name;                // array: the repeated element's name
  std::vector<tw_conf_node *> children;  // array: every element of that name, in file order
};

struct tw_conf_doc {
  pugi::xml_document xml;
  // Offsets in the source text where each line starts: line n (1-based)
  // starts at line_starts[n - 1].
  std::vector<size_t> line_starts;
  std::set<std::string, std::less<>> array_names;
  // Nodes live here until the document is closed; a deque keeps their
  // addresses stable as more are added.
  std::deque<tw_conf_node> nodes;
  // One wrapper per XML element and per (parent, array name), so repeated
  // queries hand back the same node instead of growing the document.
  std::map<const void *, tw_conf_node *> element_nodes;
  std::map<std::pair<const void *, std::string>, tw_conf_node *> array_nodes;

  tw_conf_node *new_node(node_kind kind, pugi::xml_node xml_node) {
    tw_conf_node &n = nodes.emplace_back();
    n.doc = this;
    n.kind = kind;
    n.xml = xml_node;
    return &n;
  }

  tw_conf_node *element_node(pugi::xml_node e) {
    auto [it, added] = element_nodes.try_emplace(e.internal_object(), nullptr);
    if (added) it->second = new_node(node_kind::element, e);
    return it->second;
  }
};

namespace {

void skip_blanks(const char *&p) {
  while (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n') ++p;
}

// The array-name list is a JSON array of strings, e.g. ["SouthPort","Item"].
// Escapes are taken literally after the backslash (element names never
// need them). Returns false on any other shape.
bool parse_array_names(const char *text, std::set<std::string, std::less<>> *out) {
  if (!text) return true;
  const char *p = text;
  skip_blanks(p);
  if (*p++ != '[') return false;
  skip_blanks(p);
  if (*p == ']') {
    ++p;
    skip_blanks(p);
    return *p == '\0';
  }
  for (;;) {
    skip_blanks(p);
    if (*p++ != '"') return false;
    std::string name;
    while (*p && *p != '"') {
      if (*p == '\\' && p[1]) ++p;
      name.push_back(*p++);
    }
    if (*p++ != '"') return false;
    out->insert(std::move(name));
    skip_blanks(p);
    if (*p == ',') {
      ++p;
      continue;
    }
    if (*p++ != ']') return false;
    skip_blanks(p);
    return *p == '\0';
  }
}

std::vector<size_t> find_line_starts(const std::string &text) {
  std::vector<size_t> starts{0};
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n') starts.push_back(i + 1);
  }
  return starts;
}

int line_of(const std::vector<size_t> &starts, ptrdiff_t offset) {
  if (offset < 0 || starts.empty()) return 0;
  auto after = std::upper_bound(starts.begin(), starts.end(), static_cast<size_t>(offset));
  return static_cast<int>(after - starts.begin());
}

void set_error(tw_conf_error *error, int line, std::string message) {
  if (!error) return;
  error->line = line;
  error->message = std::move(message);
}

tw_conf_node *open_document(const char *origin, const std::string &text, const char *array_names,
                            tw_conf_error *error) {
  auto *doc = new tw_conf_doc();
  if (!parse_array_names(array_names, &doc->array_names)) {
    PLAT_LOG(3, "configuration reader: array name list %s is not a JSON array of names\n", array_names);
    set_error(error, 0, "configuration reader: bad array name list");
    delete doc;
    return nullptr;
  }
  doc->line_starts = find_line_starts(text);
  const pugi::xml_parse_result result = doc->xml.load_buffer(text.data(), text.size());
  if (!result) {
    const int line = line_of(doc->line_starts, result.offset);
    PLAT_LOG(3, "configuration %s is not usable XML: %s at line %d\n", origin, result.description(), line);
    set_error(error, line, std::string("not well-formed XML: ") + result.description());
    delete doc;
    return nullptr;
  }
  return doc->new_node(node_kind::document, doc->xml);
}

// The whole file; false with *error set when it cannot be read.
bool read_file(const char *path, std::string *out, tw_conf_error *error) {
  FILE *f = std::fopen(path, "rb");
  if (!f) {
    const int e = errno;
    PLAT_LOG(3, "configuration %s cannot be read: %s\n", path, std::strerror(e));
    set_error(error, 0, std::string("cannot be read: ") + std::strerror(e));
    return false;
  }
  char buf[8192];
  size_t n = 0;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out->append(buf, n);
  const bool failed = std::ferror(f) != 0;
  const int e = errno;
  std::fclose(f);
  if (failed) {
    PLAT_LOG(3, "configuration %s cannot be read: %s\n", path, std::strerror(e));
    set_error(error, 0, std::string("cannot be read: ") + std::strerror(e));
    return false;
  }
  return true;
}

// Decimal with an optional sign and blanks around it; nothing else.
bool parse_decimal(const char *text, int *out) {
  const char *p = text;
  while (*p == ' ' || *p == '\t') ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  if (!std::isdigit(static_cast<unsigned char>(*p))) return false;
  long long value = 0;
  while (std::isdigit(static_cast<unsigned char>(*p))) {
    value = value * 10 + (*p++ - '0');
    if (value > static_cast<long long>(INT_MAX) + 1) return false;
  }
  while (*p == ' ' || *p == '\t') ++p;
  if (*p != '\0') return false;
  if (negative) value = -value;
  if (value > INT_MAX || value < INT_MIN) return false;
  *out = static_cast<int>(value);
  return true;
}

pugi::xml_attribute find_attribute(tw_conf_node *node, const char *attribute) {
  if (!node || !attribute || node->kind != node_kind::element) return {};
  return node->xml.attribute(attribute);
}

}  // namespace

tw_conf_node *tw_conf_open_xml_file(const char *path, const char *array_names, tw_conf_error *error) {
  RVON(path, nullptr);
  std::string text;
  if (!read_file(path, &text, error)) return nullptr;
  return open_document(path, text, array_names, error);
}

tw_conf_node *tw_conf_open_xml_string(const char *text, const char *array_names, tw_conf_error *error) {
  RVON(text, nullptr);
  return open_document("text", text, array_names, error);
}

tw_conf_node *tw_conf_node_child_query(tw_conf_node *node, const char *name, uint32_t *iterator) {
  RVON(node, nullptr);
  tw_conf_doc *doc = node->doc;
  if (!name) {
    RVON(iterator, nullptr);
    if (node->kind != node_kind::array) {
      PLAT_LOG(7, "configuration reader: iterating a node that is not an array\n");
      return nullptr;
    }
    if (*iterator >= node->children.size()) return nullptr;
    return node->children[(*iterator)++];
  }
  if (node->kind == node_kind::array) return nullptr;  // arrays are iterated, not queried
  if (doc->array_names.find(name) == doc->array_names.end()) {
    pugi::xml_node child = node->xml.child(name);
    return child ? doc->element_node(child) : nullptr;
  }
  auto [it, added] = doc->array_nodes.try_emplace({node->xml.internal_object(), name}, nullptr);
  if (added) {
    std::vector<tw_conf_node *> children;
    for (pugi::xml_node child : node->xml.children(name)) children.push_back(doc->element_node(child));
    if (!children.empty()) {
      tw_conf_node *array = doc->new_node(node_kind::array, node->xml);
      array->array_name = name;
      array->children = std::move(children);
      it->second = array;
    }
  }
  return it->second;
}

int tw_conf_node_attr_get_int(tw_conf_node *node, const char *attribute, int def) {
  const pugi::xml_attribute a = find_attribute(node, attribute);
  if (!a) return def;
  int value = 0;
  if (!parse_decimal(a.value(), &value)) {
    plat_log_source_line at(tw_conf_node_line(node));
    PLAT_LOG(4, "attribute %s=\"%s\" of <%s> is not a decimal integer; using %d\n", attribute, a.value(),
             node->xml.name(), def);
    return def;
  }
  return value;
}

bool tw_conf_node_attr_to_int(tw_conf_node *node, const char *attribute, int *out) {
  const pugi::xml_attribute a = find_attribute(node, attribute);
  return a && out && parse_decimal(a.value(), out);
}

bool tw_conf_node_attr_read_int(tw_conf_node *node, const char *attribute, int def, int *out) {
  RVON(out, false);
  const pugi::xml_attribute a = find_attribute(node, attribute);
  if (!a) {
    *out = def;
    return true;
  }
  return parse_decimal(a.value(), out);
}

const char *tw_conf_node_attr_get_string(tw_conf_node *node, const char *attribute, const char *def) {
  const pugi::xml_attribute a = find_attribute(node, attribute);
  return a ? a.value() : def;
}

std::string tw_conf_node_attr_get_string_dup(tw_conf_node *node, const char *attribute, const char *def) {
  const char *value = tw_conf_node_attr_get_string(node, attribute, def);
  return value ? std::string(value) : std::string();
}

bool tw_conf_node_attr_exists(tw_conf_node *node, const char *attribute) {
  return static_cast<bool>(find_attribute(node, attribute));
}

const char *tw_conf_node_name(tw_conf_node *node) {
  if (!node) return "";
  switch (node->kind) {
    case node_kind::document:
      return "";
    case node_kind::array:
      return node->array_name.c_str();
    case node_kind::element:
      break;
  }
  return node->xml.name();
}

int tw_conf_node_line(tw_conf_node *node) {
  if (!node) return 0;
  switch (node->kind) {
    case node_kind::document:
      return 0;
    case node_kind::array:
      return node->children.empty() ? 0 : tw_conf_node_line(node->children.front());
    case node_kind::element:
      break;
  }
  return line_of(node->doc->line_starts, node->xml.offset_debug());
}

void tw_conf_node_close(tw_conf_node *document) {
  RON(document);
  if (document->kind != node_kind::document) {
    PLAT_LOG(3, "configuration reader: close called with a node that is not a document; ignored\n");
    return;
  }
  delete document->doc;
}
