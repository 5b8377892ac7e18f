// The north-port client address rules: an "ip" text of any form (up to the
// first newline) is either refused or becomes a rule whose addresses parse,
// and any client text (the rest) is matched against it without fault. A
// client text that is no IPv4 address matches no range and no network.
#include <memory>
#include <string>

#include "fuzz_input.h"
#include "platform/plat_socket.h"
#include "platform/tw_conf.h"
#include "route/mux.h"
#include "route/northport_table.h"
#include "route/table.h"

namespace {

// The text as an XML attribute value.
std::string escaped(const std::string &text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '"': out += "&quot;"; break;
      default:
        if (static_cast<unsigned char>(c) >= 0x20) out += c;
    }
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static const bool quiet = (fuzz_quiet_logs(), true);
  (void)quiet;
  static mux *m = [] {
    mux *made = mux_create();
    static table routing;
    mux_register_table(made, 1, &routing);
    return made;
  }();
  const std::string all(reinterpret_cast<const char *>(data), size);
  const size_t nl = all.find('\n');
  const std::string ip = escaped(all.substr(0, nl));
  const std::string client = nl == std::string::npos ? std::string() : all.substr(nl + 1);

  const std::string xml = "<Table ip=\"" + ip + "\" id=\"1\"/>";
  tw_conf_node *doc = tw_conf_open_xml_string(xml.c_str(), "[\"Table\"]");
  if (!doc) return 0;
  tw_conf_node *tables = tw_conf_node_child_query(doc, "Table", nullptr);
  uint32_t it = 0;
  tw_conf_node *element = tables ? tw_conf_node_child_query(tables, nullptr, &it) : nullptr;
  northport_table *npt = element ? northport_table_create(element, m, nullptr, "tcp") : nullptr;
  tw_conf_node_close(doc);
  if (!npt) return 0;
  uint32_t unused = 0;
  for (const std::string *a : {&npt->ip, &npt->ip_start, &npt->ip_end}) {
    if (npt->ip_type != IP_ANY && !a->empty()) FUZZ_CHECK(plat_inet_addr_parse(a->c_str(), &unused));
  }
  northport_rules rules;
  northport_rules_add(&rules, npt);
  northport_table *tcp = northport_rules_match_tcp(&rules, client.c_str());
  northport_table *udp = northport_rules_match_udp(&rules, client.c_str());
  FUZZ_CHECK(tcp == udp);
  if (tcp && (npt->ip_type == IP_RANGE || npt->ip_type == IP_NET_MASK))
    FUZZ_CHECK(plat_inet_addr_parse(client.c_str(), &unused));
  return 0;
}
