#include "north/tcp_server_client.h"

void tcp_server_client_destroy(tcp_server_client *c) {
  RON(c);
  {
    std::scoped_lock guard(c->lock);
    // A receive waiting on the connection returns now, not at its wait's end.
    if (std::shared_ptr<plat_socket> s = c->socket()) plat_socket_shutdown(s.get());
    c->set_socket(nullptr);
  }
  plat_close_handle(c->rx_thread);
  if (c->send_list) c->send_list->set_consumer(nullptr);
  plat_close_handle(c->send_thread);
  c->send_list.reset();
  c->rx_scratch.reset();
}

void tcp_server_client_close(tcp_server_client *c) {
  std::scoped_lock guard(c->lock);
  c->set_socket(nullptr);
}

bool tcp_server_client_start(tcp_server_client *c, std::function<void()> rx_pass, std::function<void()> send_pass,
                             uint32_t period_ms, const char *type) {
  c->rx_thread = plat_thread_start(std::move(rx_pass), period_ms, "mbtcp_cli_proc");
  c->send_thread = plat_thread_start(std::move(send_pass), period_ms, "send_thread");
  if (!c->rx_thread || !c->send_thread) {
    PLAT_LOG(3, "[north %s] cannot start the threads of a new client", type);
    return false;
  }
  c->send_list->set_consumer(c->send_thread.get());
  // A request queued before the consumer was set woke nobody: look again.
  plat_thread_wake(c->send_thread);
  return true;
}
