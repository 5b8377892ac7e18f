#include "route/udp_device.h"

#include "platform/plat_log.h"

udp_device::udp_device(const std::string &type, const std::string &host, uint16_t port) : host_(host), port_(port) {
  address_ = plat_inet_addr(host.c_str());
  // The parser answers "no address" with the broadcast address itself.
  address_ok_ = address_ != 0xFFFFFFFFu || host == "255.255.255.255";
  if (!address_ok_) {
    PLAT_LOG(3, "[south %s]: host [%s] is not an IPv4 address; the device cannot be reached\n", type.c_str(),
             host.c_str());
  }
}

bool udp_device::is_source(uint32_t address, uint16_t port) const {
  return address == address_ && port == plat_htons(port_);
}

int udp_device::send(plat_socket *sock, const void *bytes, size_t n) const {
  if (!address_ok_) return -1;
  return plat_socket_sendto(sock, bytes, n, address_, plat_htons(port_));
}

int udp_device::receive(plat_socket *sock, uint8_t *buf, size_t size, uint32_t wait_ms, port_stats &stats,
                        bool *foreign) const {
  *foreign = false;
  uint32_t from = 0;
  uint16_t from_port = 0;
  const int n = plat_socket_recvfrom(sock, buf, size, &from, &from_port, wait_ms);
  if (n <= 0) return n;
  port_stats::add(stats.bytes_in, static_cast<uint64_t>(n));
  if (!is_source(from, from_port)) {
    port_stats::add(stats.framing_drops);
    *foreign = true;
  }
  return n;
}
