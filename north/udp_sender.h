// The rule a datagram comes in by, for the north UDP ports: the sender's
// dotted address against the port's address rules, the last matching rule
// in file order winning, else the "*" rule.
#pragma once

#include <string>

#include "route/northport_table.h"
#include "route/port_stats.h"

// The matching rule, logged ("FIND NORTH PORT TABLE" at level 5, "IN ANY
// IP" at level 7); null when none admits the sender ("IP IS NOT EXIST" at
// level 4, counted as refused in `stats` when given): its datagram is
// dropped. Any thread; the rules are read-only once the port has started.
northport_table *udp_sender_match(const northport_rules *rules, const std::string &sender_text, port_stats *stats);
