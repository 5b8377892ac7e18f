// North-port tables: which upstream client addresses a rule admits, the
// routing table their requests use and whether they speak RTU framing over
// TCP/UDP instead of MBAP.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct mux;
struct table;
struct tw_conf_node;

enum northport_ip_type : uint32_t { IP_NET_MASK = 0, IP_SINGLE = 1, IP_RANGE = 2, IP_ANY = 3 };

struct northport_table {
  uint32_t ip_type = IP_ANY;
  std::string ip;        // IP_SINGLE, IP_ANY: the whole text; IP_NET_MASK: before "/"
  std::string mask_len;  // IP_NET_MASK: after "/"
  std::string ip_start;  // IP_RANGE
  std::string ip_end;    // IP_RANGE
  uint8_t rtu_over = 0;
  struct table *table = nullptr;  // elaborated: the member shares the type's name
  northport_table *next = nullptr;
};

// Null when the rule is refused or no routing table has the id. For an
// IP_ANY rule *out_ip (when given) receives the text. The caller owns the
// record (delete, or hand it to northport_rules_add()).
northport_table *northport_table_create(tw_conf_node *element, mux *m, std::string *out_ip,
                                        const char *port_type);
int check_ip(const char *text, const char *pattern);
int len2mask(int len, uint32_t *out_mask);
int chack_same_network_segment(uint32_t a, uint32_t b, int len);

// The rules of one network north port, kept as its create function builds
// them: `tables` runs from the last configured rule to the first.
// Read-only once the port has started, so matching needs no lock.
struct northport_rules {
  northport_table *tables = nullptr;
  northport_table *any_table = nullptr;
  std::vector<std::unique_ptr<northport_table>> owned;  // every rule added, replaced "*" rules included
};

// Adds a created rule and takes ownership of it: IP_ANY replaces any_table,
// others go to the front. A null rule is ignored.
void northport_rules_add(northport_rules *rules, northport_table *npt);
// TCP matching: the first matching rule in configuration order wins, else
// any_table, else null.
northport_table *northport_rules_match_tcp(const northport_rules *rules, const char *client_ip);
// UDP matching: the last matching rule in configuration order wins, else
// any_table, else null.
northport_table *northport_rules_match_udp(const northport_rules *rules, const char *client_ip);
