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

plat_socket_handle udp_server_socket(int udp_port, const std::string &type, const char *bind_failed) {
  plat_socket_handle s = plat_socket_create_udp();
  if (s) {
    plat_socket_setopt_reuse_addr(s.get(), 1);
    PLAT_LOG(6, "udp handle has been created !\n");
  }
  const uint16_t local_port = plat_htons(static_cast<uint16_t>(udp_port));
  if (!s || plat_socket_bind(s.get(), plat_inet_addr("0.0.0.0"), local_port) != 0) {
    PLAT_LOG(3, bind_failed, type.c_str(), udp_port);
    return nullptr;
  }
  return s;
}
