// The one remote UDP endpoint a south port talks to: its IPv4 address and
// port, parsed once, sending to it, and receiving with the check that a
// datagram came from exactly that address and port. Anything else on the
// socket is no answer: the caller drops it with its own line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/plat_socket.h"
#include "route/port_stats.h"

class udp_device final {
 public:
  // A host that is no IPv4 address is logged at level 3 ("[south <type>]:
  // host ..."); nothing is then ever sent.
  udp_device(const std::string &type, const std::string &host, uint16_t port);

  bool address_ok() const { return address_ok_; }
  const std::string &host() const { return host_; }
  uint16_t port() const { return port_; }
  // True for a datagram from the device (address and port in network order).
  bool is_source(uint32_t address, uint16_t port) const;

  // One datagram to the device: the count sent, negative when the host is
  // no address or the send failed (logged by the platform layer).
  int send(plat_socket *sock, const void *bytes, size_t n) const;
  // One datagram within `wait_ms` into `buf`: its size, 0 when none came,
  // negative when the receive failed. Every datagram counts in `stats.bytes_in`; one from
  // anywhere but the device also in `stats.framing_drops`, with *foreign set.
  int receive(plat_socket *sock, uint8_t *buf, size_t size, uint32_t wait_ms, port_stats &stats,
              bool *foreign) const;

 private:
  const std::string host_;
  const uint16_t port_;
  uint32_t address_ = 0;  // network order
  bool address_ok_ = false;
};
