#include "north/tcp_server.h"

#include "platform/tw_conf.h"

void tcp_server_read_rules(tw_conf_node *tables, struct mux *m, const char *type, northport_rules *rules,
                           int32_t *table_count, const std::function<void(northport_table *)> &on_rule) {
  uint32_t it = 0;
  while (tw_conf_node *child = tw_conf_node_child_query(tables, nullptr, &it)) {
    PLAT_LOG(7, "start to creat northport table .\n");
    std::string ip;
    northport_table *npt = northport_table_create(child, m, &ip, type);
    PLAT_LOG(7, "paresd ip is : %s,  northport table addr is %p", ip.c_str(), static_cast<void *>(npt));
    if (!npt) {
      PLAT_LOG(4, "Unable to create table in north port TCP, please check the configuration file");
      continue;
    }
    if (on_rule) on_rule(npt);
    if (npt->ip_type != IP_ANY) ++*table_count;
    northport_rules_add(rules, npt);
    PLAT_LOG(6, "add north port table to list done.\n");
  }
  PLAT_LOG(5, "north port tcp created success.\n");
}

northport_table *tcp_server_match_peer(const northport_rules *rules, const uint8_t peer_addr[16], const char *type,
                                       int find_line) {
  PLAT_LOG(5, "the socket is ipv6");
  const std::string text6 = tcp_server_detail::peer_text(peer_addr);
  PLAT_LOG(5, "[north %s] create new client, IPv6 address: [%s]\n", type, text6.c_str());
  const std::string text = client_admission_address_text(text6.c_str());
  PLAT_LOG(6, "[north %s] create new client, IP addr : [%s]", type, text.c_str());

  northport_table *npt = northport_rules_match_tcp(rules, text.c_str());
  if (!npt) {
    PLAT_LOG(4,
             "The north port TCP device IP is not registered in the configuration file, please check the "
             "configuration or link");
    return nullptr;
  }
  if (npt->ip_type == IP_ANY) {
    PLAT_LOG(7, "IN ANY IP");
  } else {
    PLAT_LOG(7, "[north %s] :FIND NORTH PORT TABLE, IP IS %s  line: %d \n", type, text.c_str(), find_line);
  }
  return npt;
}
