#include "north/udp_server.h"

#include "platform/plat_log.h"
#include "platform/tw_conf.h"

void udp_server_read_rules(tw_conf_node *tables, struct mux *m, const std::string &type, northport_rules *rules,
                           int32_t *table_count, const std::function<void(northport_table *)> &on_rule) {
  uint32_t it = 0;
  while (tw_conf_node *child = tw_conf_node_child_query(tables, nullptr, &it)) {
    PLAT_LOG(6, "start to creat northport table .\n");
    std::string ip;
    northport_table *npt = northport_table_create(child, m, &ip, type.c_str());
    PLAT_LOG(6, "paresd ip is : %s,  northport table addr is %p", ip.c_str(), static_cast<void *>(npt));
    if (!npt) continue;
    if (on_rule) on_rule(npt);
    if (npt->ip_type != IP_ANY) ++*table_count;
    northport_rules_add(rules, npt);
    PLAT_LOG(6, "add north port table to list done.\n");
  }
  PLAT_LOG(5, "north port udp created success.\n");
}

bool udp_server_open(udp_server_core &core, int udp_port, const char *bind_failed) {
  if (core.sock) return true;
  plat_socket_handle s = udp_server_socket(udp_port, core.type, bind_failed);
  if (!s) return false;
  std::scoped_lock guard(core.lock);
  core.sock = std::shared_ptr<plat_socket>(std::move(s));
  return true;
}

void udp_server_start_threads(plat_thread_handle &svr_thread, plat_thread_handle &send_thread, north_send_list &list,
                              std::function<void()> receive_pass, std::function<void()> send_pass,
                              uint32_t period_ms) {
  svr_thread = plat_thread_start(std::move(receive_pass), period_ms, "mbudp_svr_proc");
  send_thread = plat_thread_start(std::move(send_pass), period_ms, "send_proc");
  list.set_consumer(send_thread.get());
  // A frame queued before the consumer was known woke nobody.
  plat_thread_wake(send_thread);
}

void udp_server_stop(plat_thread_handle &svr_thread, plat_thread_handle &send_thread,
                     std::unique_ptr<north_send_list> &list, udp_server_core &core) {
  plat_close_handle(svr_thread);
  if (list) list->set_consumer(nullptr);
  plat_close_handle(send_thread);
  {
    std::scoped_lock guard(core.lock);
    core.closed = true;
    core.stats = nullptr;
  }
  // The frames' contexts go with them, while the rules they point at still
  // exist.
  list.reset();
}
