// Configuration reader: the XML configuration file as a tree of nodes.
//
// Opened with a JSON array of element names that may repeat, e.g.
// ["SouthPort","TableList","Table","Item","NorthPort"]. Querying a node for
// such a name returns one array node whose children are every element of
// that name, in file order; iterating the array node (name null, iterator
// word starting at 0) yields them one by one.
//
// Every node returned belongs to the document and stays valid until
// tw_conf_node_close() on the document. Not thread-safe (configuration is
// read on the main thread at start-up).
#pragma once

#include <cstdint>
#include <string>

struct tw_conf_node;

// Why a document could not be opened: the source line (1-based; 0 when
// the file could not be read at all) and the reader's message.
struct tw_conf_error {
  int line = 0;
  std::string message;
};

// The document node, or null when the file cannot be read or is not
// well-formed XML (with a log line). `error`, when given, receives the
// reason of a failure.
tw_conf_node *tw_conf_open_xml_file(const char *path, const char *array_names, tw_conf_error *error = nullptr);
// Same over text in memory (tests).
tw_conf_node *tw_conf_open_xml_string(const char *text, const char *array_names, tw_conf_error *error = nullptr);

// name != null: the child element of that name (or the array node for an
// array name), or null. name == null: the next element of an array node on
// each call (the iterator word starts at 0), null after the last.
tw_conf_node *tw_conf_node_child_query(tw_conf_node *node, const char *name, uint32_t *iterator);

// The attribute as an integer, or `def` when it is absent. Accepted forms:
// optional surrounding blanks, an optional sign and decimal digits. Any
// other text ("*", "12abc", "", "0x10") gives `def` with a level-4 line,
// as does a value outside the int range.
int tw_conf_node_attr_get_int(tw_conf_node *node, const char *attribute, int def);
// Silent form for cross-checks: true with *out set when the attribute is
// present and a decimal integer as above; false otherwise, *out unchanged.
// Logs nothing
// (the reading that counts has already reported a bad value).
bool tw_conf_node_attr_to_int(tw_conf_node *node, const char *attribute, int *out);
// For attributes whose wrong value must be rejected rather than replaced
// (ids): writes the value (or `def` when absent) to *out and returns true;
// returns false, logging nothing, when the attribute is present and not a
// decimal integer in the form above.
bool tw_conf_node_attr_read_int(tw_conf_node *node, const char *attribute, int def, int *out);
// The attribute text (owned by the document), or `def` when absent.
const char *tw_conf_node_attr_get_string(tw_conf_node *node, const char *attribute, const char *def);
// A copy the caller owns; `def` copied when absent (empty when def is null).
std::string tw_conf_node_attr_get_string_dup(tw_conf_node *node, const char *attribute, const char *def);
// True when the attribute is present.
bool tw_conf_node_attr_exists(tw_conf_node *node, const char *attribute);
// The element's name; for an array node the name of the repeated element;
// "" for the document node.
const char *tw_conf_node_name(tw_conf_node *node);

// The line of the source text where the element starts (1-based); for an
// array node its first element's line; 0 for the document node or when
// unknown. Lines logged by the reader about an element carry its line
// (plat_log_source_line).
int tw_conf_node_line(tw_conf_node *node);

// Releases the document and every node taken from it.
void tw_conf_node_close(tw_conf_node *document);

constexpr const char *TW_CONF_ARRAY_NAMES = "[\"SouthPort\",\"TableList\",\"Table\",\"Item\",\"NorthPort\"]";
