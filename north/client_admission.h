// Admission of TCP clients to a north server: the settings every north TCP
// server reads, the peer's address text for the address rules, the five
// connection policies at the client limit, and the idle bookkeeping of a
// client's receive passes.
//
// Shared by the north TCP port and the north TCP transparent port. The
// functions here decide; the port removes, closes and logs its own lines.
// Everything runs on the caller's thread and touches nothing but its
// arguments (client_activity is written by one receive thread and read by
// the server thread, hence atomic).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct tw_conf_node;

enum max_conn_method_code : int32_t {
  MAX_CONN_METHOD_UNKNOWN = 0,  // unrecognised text: admit beyond the limit
  MAX_CONN_REJECT = 1,          // "reject"
  MAX_CONN_DROP_OLDEST = 2,     // "drop_oldest_connect"
  MAX_CONN_DROP_MOST_LAZY = 3,  // "drop_most_lazy"
  MAX_CONN_WAIT_TIMEOUT = 4,    // "wait_timeout"
  MAX_CONN_DROP_SAME_IP = 5,    // "drop_same_ip"
};

// Exact, case-sensitive; anything else (null too) gives 0.
int32_t max_conn_method_from_text(const char *text);

// The attributes of a "NorthPort" element that every north TCP server
// reads, with their defaults. A "max_conn" below 1 is replaced by 1 with a
// level-4 line (no connection could ever be admitted otherwise); likewise a
// "north_list_size" below 1. An unknown "max_conn_method" is "reject", with
// a level-4 line.
struct tcp_server_settings {
  int32_t id = 255;
  std::string type = "tcp";
  int32_t idle_time = 1000;
  int32_t max_conn = 16;
  int32_t max_conn_method = MAX_CONN_REJECT;
  int32_t tcp_port = 502;
  int32_t time_interval = 50;
  int32_t north_list_size = 1;
};
tcp_server_settings tcp_server_settings_read(tw_conf_node *element);

// The text a peer is matched by: the dotted IPv4 part of an IPv4-mapped
// address ("::ffff:192.168.1.10" gives "192.168.1.10"), else the IPv6 text
// unchanged.
std::string client_admission_address_text(const char *ipv6_text);

// What a connection policy looks at in one admitted client.
struct admission_client_view {
  uint32_t blank_count = 0;
  bool idle = false;
  std::string address_text;  // plat_inet6_ntoa() of its peer address
};

// The order in which a port keeps its clients; the policies walk the list
// in that order, so among equally lazy clients the first one walked goes.
enum class client_list_order { newest_first, oldest_first };

enum class admission_action {
  admit,              // create the client (below the limit, or method 0)
  reject,             // "reject": close the new connection, end the pass
  refuse,             // the policy found no client to remove: close the new
                      // connection, go on with the sweep
  remove_then_admit,  // remove clients[victim], then create the client
};

struct admission_decision {
  admission_action action = admission_action::admit;
  size_t victim = 0;  // index into the views, for remove_then_admit
};

// Called when a connection arrived while client_num >= max_conn. Logs the
// limit line, the policy's line and the policy's own trace and failure
// lines. `clients` are in the port's list order `order`.
admission_decision client_admission_at_limit(int32_t method, const std::vector<admission_client_view> &clients,
                                             client_list_order order, const char *new_address_text,
                                             int32_t client_num);

// A client's receive activity, kept by its receive thread and read by the
// server thread's policies.
struct client_activity {
  static constexpr uint32_t max_blank = 4;  // blank_count stays here once reached
  std::atomic<uint32_t> last_rx_tick{0};
  std::atomic<uint32_t> blank_count{0};  // consecutive empty receives, 0-max_blank
  std::atomic<uint8_t> idle{0};          // 1 once the idle time-out closed it
};

enum class receive_outcome {
  data,   // bytes came: counters reset
  quiet,  // nothing came, still within idle_time (or idle_time 0)
  idle,   // nothing came for longer than idle_time: close the connection
  gone,   // the peer is gone: close the connection
};

// Books one receive result (`received` as plat_socket_recv returned it).
receive_outcome client_activity_update(client_activity *a, int received, int32_t idle_time, uint32_t now);
// The client is busy as of `now` (data came, or something was sent to it):
// blank count 0, not idle, the idle time-out counting from now.
void client_activity_reset(client_activity *a, uint32_t now);

// The receive wait of a client whose blanks are still being counted.
constexpr uint32_t client_receive_wait_ms = 100;
// How long a receive pass may wait without changing what the client's
// bookkeeping shows: client_receive_wait_ms while blanks are still being
// counted, and up to the idle time-out (at most a second) once the blank
// count stays at its maximum, since nothing changes then until data comes
// or the time-out falls due.
uint32_t client_receive_wait(const client_activity *a, int32_t idle_time, uint32_t now);
