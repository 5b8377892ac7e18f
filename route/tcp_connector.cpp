#include "route/tcp_connector.h"

#include <utility>

#include "platform/plat_log.h"
#include "platform/plat_thread.h"

tcp_connector::tcp_connector(tcp_connector_settings settings, port_stats &stats)
    : settings_(std::move(settings)), stats_(stats) {
  const std::string &host = settings_.host;
  if (host.find(':') != std::string::npos) {
    family_ = 16;
    address_ok_ = plat_inet6_addr(host.c_str(), address6_) != 0;
  } else {
    family_ = 4;
    address4_ = plat_inet_addr(host.c_str());
    // The parser answers "no address" with the broadcast address itself.
    address_ok_ = address4_ != 0xFFFFFFFFu || host == "255.255.255.255";
  }
  if (!address_ok_) {
    PLAT_LOG(3, "[south %s]: host [%s] is not an IPv%d address; the device cannot be reached\n",
             settings_.type.c_str(), host.c_str(), family_ == 16 ? 6 : 4);
  }
}

bool tcp_connector::attempt_due() {
  const uint32_t since = plat_systick_get() - last_attempt_tick_;
  if (tried_ && since < settings_.reconnect_ms) {
    plat_thread_next_pass_in(settings_.reconnect_ms - since);
    return false;
  }
  tried_ = true;
  last_attempt_tick_ = plat_systick_get();
  return true;
}

tcp_connector::result tcp_connector::connect() {
  plat_socket_handle created = family_ == 16 ? plat_socket_create_tcp_ipv6() : plat_socket_create_tcp();
  if (!created) return {outcome::no_socket, nullptr};
  std::shared_ptr<plat_socket> s(std::move(created));
  plat_socket_setopt_reuse_addr(s.get(), 1);
  int rc = -1;
  if (address_ok_) {
    const uint16_t port = plat_htons(settings_.port);
    rc = family_ == 16 ? plat_socket_connect_ipv6(s.get(), address6_, port)
                       : plat_socket_connect(s.get(), address4_, port);
  }
  if (rc != 0) {
    port_stats::add(stats_.connect_failures);
    count_failure();
    return {outcome::failed, nullptr};  // closes the socket
  }
  return {outcome::connected, std::move(s)};
}

void tcp_connector::count_failure() {
  // Not reset by a connection: the pair of lines marks every tenth failure,
  // so a dead device costs one pair every ten seconds.
  if (failures_.fetch_add(1) + 1 > 9) {
    failures_.store(0);
    PLAT_LOG(5, "[%s] ip:[%s] port:[%d] connect fail.\n", settings_.label.c_str(), settings_.host.c_str(),
             settings_.port);
    PLAT_LOG(5, "[%s] reconnecting...\n", settings_.label.c_str());
  }
}
