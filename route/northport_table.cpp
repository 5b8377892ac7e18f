#include "route/northport_table.h"

#include <cstdlib>
#include <cstring>

#include "platform/plat_log.h"
#include "platform/plat_regex.h"
#include "platform/plat_socket.h"
#include "platform/tw_conf.h"
#include "route/mux.h"

namespace {

// Patterns handed to the regular expression engine as they are.
constexpr const char *kAddressPattern =
    R"(^((2(5[0-5]|[0-4]\d))|[0-1]?\d{1,2})(\.((2(5[0-5]|[0-4]\d))|[0-1]?\d{1,2})){3}$)";
constexpr const char *kRangePattern =
    R"(^((2(5[0-5]|[0-4]\d))|[0-1]?\d{1,2})(\.((2(5[0-5]|[0-4]\d))|[0-1]?\d{1,2})){3}-((2(5[0-5]|[0-4]\d))|[0-1]?\d{1,2})(\.((2(5[0-5]|[0-4]\d))|[0-1]?\d{1,2})){3}$)";
// The address, "/" and a prefix length 1-32 without leading zeros.
constexpr const char *kNetMaskPattern =
    R"(^((2(5[0-5]|[0-4]\d))|[0-1]?\d{1,2})(\.((2(5[0-5]|[0-4]\d))|[0-1]?\d{1,2})){3}/([1-9]|[12]\d|3[0-2])$)";
constexpr const char *kAnyPattern = R"(^\*$)";

// Splits "a<sep>b" at the first separator.
void split(const std::string &text, char sep, std::string *first, std::string *second) {
  const size_t at = text.find(sep);
  *first = text.substr(0, at);
  *second = at == std::string::npos ? std::string() : text.substr(at + 1);
}

bool rule_matches(const northport_table *rule, const char *client_ip) {
  // A client text that is no IPv4 address (an IPv6 peer that is not
  // IPv4-mapped) is inside no range and no network: the lenient parser
  // would make it 255.255.255.255.
  uint32_t client = 0;
  switch (rule->ip_type) {
    case IP_SINGLE:
      return rule->ip == client_ip;
    case IP_NET_MASK:
      if (!plat_inet_addr_parse(client_ip, &client)) return false;
      return chack_same_network_segment(client, plat_inet_addr(rule->ip.c_str()),
                                        std::atoi(rule->mask_len.c_str())) == 1;
    case IP_RANGE: {
      if (!plat_inet_addr_parse(client_ip, &client)) return false;
      const uint32_t start = plat_ntohl(plat_inet_addr(rule->ip_start.c_str()));
      const uint32_t end = plat_ntohl(plat_inet_addr(rule->ip_end.c_str()));
      client = plat_ntohl(client);
      return start <= client && client <= end;
    }
    default:
      PLAT_LOG(3, "The IP format does not meet the specification, please check");
      return false;
  }
}

// The rule as configured, for trace lines.
std::string rule_text(const northport_table *rule) {
  switch (rule->ip_type) {
    case IP_NET_MASK:
      return rule->ip + "/" + rule->mask_len;
    case IP_RANGE:
      return rule->ip_start + "-" + rule->ip_end;
    default:
      return rule->ip;
  }
}

// True when every address of the rule reads as one: the patterns let parts
// with leading zeros through ("192.168.001.005"), which no client text has
// and which the address parser would read as octal. Logs the refusal.
bool rule_addresses_ok(const northport_table *rule, const std::string &text) {
  const std::string *addresses[] = {&rule->ip, &rule->ip_start, &rule->ip_end};
  for (const std::string *a : addresses) {
    uint32_t unused = 0;
    if (!a->empty() && !plat_inet_addr_parse(a->c_str(), &unused)) {
      PLAT_LOG(4, "north port Table ip \"%s\": address %s is not plain dotted decimal (leading zeros?); rule ignored\n",
               text.c_str(), a->c_str());
      return false;
    }
  }
  return true;
}

}  // namespace

northport_table *northport_table_create(tw_conf_node *element, mux *m, std::string *out_ip,
                                        const char *port_type) {
  auto npt = std::make_unique<northport_table>();
  plat_log_source_line at(tw_conf_node_line(element));
  const std::string text = tw_conf_node_attr_get_string_dup(element, "ip", "*");
  // After the fixed line of each refusal: what was wrong and what happens.
  const auto refuse_address = [&text] {
    PLAT_LOG(4, "north port rule ip=\"%s\" is not an address, an A-B range, an address/length network or \"*\": "
             "rule ignored", text.c_str());
  };

  if (text.find(' ') != std::string::npos) {
    PLAT_LOG(3, "The IP parameter is invalid\n");
    refuse_address();
    return nullptr;
  }
  if (text.find('-') != std::string::npos) {
    if (!check_ip(text.c_str(), kRangePattern)) {
      PLAT_LOG(3, "The IP parameter is invalid\n");
      refuse_address();
      return nullptr;
    }
    npt->ip_type = IP_RANGE;
    PLAT_LOG(5, "IN IP RANGE");
    split(text, '-', &npt->ip_start, &npt->ip_end);
    PLAT_LOG(5, "IP START = %s", npt->ip_start.c_str());
    PLAT_LOG(5, "IP END = %s", npt->ip_end.c_str());
  } else if (text.find('/') != std::string::npos) {
    if (!check_ip(text.c_str(), kNetMaskPattern)) {
      PLAT_LOG(3, "The IP parameter is invalid\n");
      refuse_address();
      return nullptr;
    }
    npt->ip_type = IP_NET_MASK;
    PLAT_LOG(5, "IN NET MASK");
    split(text, '/', &npt->ip, &npt->mask_len);
    PLAT_LOG(5, "IP  = %s", npt->ip.c_str());
    PLAT_LOG(5, "NET MASK = %s", npt->mask_len.c_str());
  } else if (text.find('*') != std::string::npos) {
    if (!check_ip(text.c_str(), kAnyPattern)) {
      PLAT_LOG(3, "The IP parameter is invalid");
      refuse_address();
      return nullptr;
    }
    npt->ip_type = IP_ANY;
    PLAT_LOG(7, "IN ANY IP");
    npt->ip = text;
    PLAT_LOG(7, "IP * = %s", npt->ip.c_str());
    if (out_ip) *out_ip = npt->ip;
  } else {
    if (!check_ip(text.c_str(), kAddressPattern)) {
      PLAT_LOG(3, "The IP parameter is invalid");
      refuse_address();
      return nullptr;
    }
    npt->ip_type = IP_SINGLE;
    npt->ip = text;
    PLAT_LOG(5, "IN MULTIPLE IP");
    PLAT_LOG(5, "IP = %s", npt->ip.c_str());
  }

  if (npt->ip_type != IP_ANY && !rule_addresses_ok(npt.get(), text)) return nullptr;

  int id = 255;
  if (!tw_conf_node_attr_read_int(element, "id", 255, &id)) {
    PLAT_LOG(4, "north port Table id \"%s\" is not a number; rule ignored\n",
             tw_conf_node_attr_get_string(element, "id", ""));
    return nullptr;
  }
  const bool tcp = port_type && std::strcmp(port_type, "tcp") == 0;
  const char *rtu = tw_conf_node_attr_get_string(element, tcp ? "rtu_over_tcp" : "rtu_over_udp", "false");
  npt->rtu_over = std::strcmp(rtu, "true") == 0 ? 1 : 0;

  npt->table = mux_get_table(m, id);
  if (!npt->table) {
    PLAT_LOG(3,
             "The table information contained in the north port TCP is inconsistent with the information in the "
             "configuration file, and the correct table information cannot be located");
    PLAT_LOG(4, "north port rule ip=\"%s\" names table %d, which does not exist: rule ignored", text.c_str(), id);
    return nullptr;
  }
  PLAT_LOG(6, "create north port table done.");
  return npt.release();
}

int check_ip(const char *text, const char *pattern) {
  RVON(text, 0);
  RVON(pattern, 0);
  PLAT_LOG(7, " IP IS %s   REGE IS %s \n ", text, pattern);
  plat_regex_handle regex = plat_regex_create(pattern);
  if (!regex) {
    PLAT_LOG(7, "BOF(regex != PLAT_INVALID_HANDLE) failed");
    return 0;
  }
  const int num = plat_regex_match(regex.get(), text);
  PLAT_LOG(7, " NUM IS %d \n ", num);
  int result = 0;
  if (num != 0) {
    PLAT_LOG(7, "MATCH DONE\n");
    result = 1;
  }
  plat_close_handle(regex);
  return result;
}

int len2mask(int len, uint32_t *out_mask) {
  if (len < 0 || len > 32 || !out_mask) return -1;
  const uint32_t host = len == 0 ? 0U : 0xFFFFFFFFU << (32 - len);
  // Addresses are kept in network byte order; the swap is its own inverse.
  *out_mask = plat_ntohl(host);
  PLAT_LOG(7, "mask len is %d, and mask is %8.8x\n", len, *out_mask);
  return 0;
}

int chack_same_network_segment(uint32_t a, uint32_t b, int len) {
  PLAT_LOG(7, "MASK LEN = %d", len);
  uint32_t mask = 0;
  len2mask(len, &mask);
  if (a != 0 && b != 0 && len != 0) {
    if (((a ^ b) & mask) == 0) {
      PLAT_LOG(7, "GET MATCH");
      return 1;
    }
    return 0;
  }
  PLAT_LOG(7, "GET FALSE");
  return 0;
}

void northport_rules_add(northport_rules *rules, northport_table *npt) {
  RON(rules);
  RON(npt);
  rules->owned.emplace_back(npt);
  if (npt->ip_type == IP_ANY) {
    rules->any_table = npt;
  } else {
    npt->next = rules->tables;
    rules->tables = npt;
  }
}

northport_table *northport_rules_match_tcp(const northport_rules *rules, const char *client_ip) {
  RVON(rules, nullptr);
  RVON(client_ip, nullptr);
  // The list runs from the last configured rule to the first and the walk
  // keeps the last match: the first matching rule in file order wins.
  northport_table *found = nullptr;
  for (northport_table *rule = rules->tables; rule; rule = rule->next) {
    if (rule_matches(rule, client_ip)) found = rule;
  }
  if (found) {
    PLAT_LOG(7, "client %s matches rule %s\n", client_ip, rule_text(found).c_str());
    return found;
  }
  return rules->any_table;
}

northport_table *northport_rules_match_udp(const northport_rules *rules, const char *client_ip) {
  RVON(rules, nullptr);
  RVON(client_ip, nullptr);
  // Stops at the first match in list order: the last matching rule in file
  // order wins.
  for (northport_table *rule = rules->tables; rule; rule = rule->next) {
    if (rule_matches(rule, client_ip)) {
      PLAT_LOG(7, "client %s matches rule %s\n", client_ip, rule_text(rule).c_str());
      return rule;
    }
  }
  return rules->any_table;
}
