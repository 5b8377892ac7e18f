// The rule a datagram comes in by, for the north UDP ports: the sender's
// dotted address against the port's address rules, the last matching rule
// in file order winning, else the "*" rule.
#pragma once

#include <string>

#include "platform/plat_socket.h"
#include "route/northport_table.h"
#include "route/port_stats.h"

// The matching rule, logged ("FIND NORTH PORT TABLE" at level 5, "IN ANY
// IP" at level 7); null when none admits the sender ("IP IS NOT EXIST" at
// level 4, counted as refused in `stats` when given): its datagram is
// dropped. Any thread; the rules are read-only once the port has started.
northport_table *udp_sender_match(const northport_rules *rules, const std::string &sender_text, port_stats *stats);

// The socket of a north UDP port: bound on every local address at
// `udp_port`, address reuse on. Null after the level-3 line `bind_failed`
// (%s the port type, %d the port) when it cannot be created or bound.
plat_socket_handle udp_server_socket(int udp_port, const std::string &type, const char *bind_failed);
