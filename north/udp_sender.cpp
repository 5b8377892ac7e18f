#include "north/udp_sender.h"

#include "platform/plat_log.h"

northport_table *udp_sender_match(const northport_rules *rules, const std::string &sender_text, port_stats *stats) {
  northport_table *npt = northport_rules_match_udp(rules, sender_text.c_str());
  if (!npt) {
    if (stats) port_stats::add(stats->refused);
    PLAT_LOG(4, "IP IS NOT EXIST");
    return nullptr;
  }
  if (npt->ip_type == IP_ANY) {
    PLAT_LOG(7, "IN ANY IP");
  } else {
    PLAT_LOG(5, "FIND NORTH PORT TABLE");
  }
  return npt;
}
