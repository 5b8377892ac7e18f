// The client end of a TCP link to one device, as the south ports that keep
// a connection use it: the device's address (IPv6 for a host text with a
// colon, IPv4 otherwise), making a connected socket, the count of failed
// attempts with a pair of level-5 lines at every tenth, and the least time
// between two attempts, so that a device that accepts and drops at once is
// not connected more than once a second however often the port asks.
//
// One thread makes the attempts (the port's connection manager); the
// failure count may be read from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/plat_socket.h"
#include "route/port_stats.h"

struct tcp_connector_settings {
  std::string type;   // the port's type text: "[south <type>]: host ..." when the host is no address
  std::string label;  // "[<label>] ip:[...] port:[...] connect fail." and "[<label>] reconnecting..."
  std::string host;
  uint16_t port = 502;
  uint32_t reconnect_ms = 1000;  // the least time between two attempts
};

class tcp_connector final {
 public:
  // Parses the host; a text that is no address is logged at level 3, and
  // every attempt then fails (and counts as failed). Failed attempts are
  // counted in `stats` (connect_failures), which must outlive this.
  tcp_connector(tcp_connector_settings settings, port_stats &stats);
  tcp_connector(const tcp_connector &) = delete;
  tcp_connector &operator=(const tcp_connector &) = delete;

  // True when an attempt may be made now; the attempt is then taken as
  // made. Otherwise the calling pass is asked back for when one may be
  // (plat_thread_next_pass_in) and false is returned.
  bool attempt_due();

  enum class outcome { connected, no_socket, failed };
  struct result {
    outcome what = outcome::failed;
    std::shared_ptr<plat_socket> sock;  // set when connected
  };
  // A new socket of the host's family, address reuse on, connected to the
  // device. A socket that cannot be created is reported (no_socket) for the
  // caller to log; a failed connect closes the socket and is counted.
  result connect();

  uint8_t family() const { return family_; }  // 16 IPv6, 4 IPv4
  bool address_ok() const { return address_ok_; }
  const std::string &host() const { return settings_.host; }
  uint16_t port() const { return settings_.port; }
  // Failed attempts since the last pair of failure lines (0-9).
  int32_t failures() const { return failures_.load(); }

 private:
  void count_failure();

  const tcp_connector_settings settings_;
  port_stats &stats_;
  uint8_t family_ = 4;
  uint32_t address4_ = 0;  // network order
  uint8_t address6_[16] = {};
  bool address_ok_ = false;

  std::atomic<int32_t> failures_{0};
  // Manager thread only: when the last attempt was made.
  bool tried_ = false;
  uint32_t last_attempt_tick_ = 0;
};
