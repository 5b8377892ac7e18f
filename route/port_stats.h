// What a port has been doing, for the people who keep a gateway running:
// counters kept on the hot path without a lock or an allocation (relaxed
// atomics; a reader sees each counter exact, not all of them at one
// instant), printed by the tag service's "stats" command as one line per
// port.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

struct port_stats {
  using counter = std::atomic<uint64_t>;

  counter requests{0};        // requests taken (north: received; south: accepted into the slot)
  counter answers{0};         // answers delivered (north: sent to a master; south: given to the requester)
  counter timeouts{0};        // requests the device did not answer
  counter framing_drops{0};   // frames dropped by framing: CRC/LRC, length, protocol id, not this request's
  counter dropped{0};         // requests dropped: full send list, stale transaction id, no route
  counter exceptions{0};      // gateway exception answers (0x0A, 0x0B) given instead of an answer
  counter cache_hits{0};
  counter cache_misses{0};
  counter bytes_in{0};
  counter bytes_out{0};
  counter clients{0};          // north servers: clients connected now
  counter refused{0};          // north servers: connections refused
  counter connects{0};         // south network ports: connections made
  counter connect_failures{0};  // south network ports: attempts that failed
  counter last_answer_ms{0};   // south: the last answer's time from acceptance to delivery
  counter answer_ms_total{0};  // south: their sum over `answers` device answers timed
  counter answers_timed{0};

  static void add(counter &c, uint64_t n = 1) { c.fetch_add(n, std::memory_order_relaxed); }
  static void sub(counter &c, uint64_t n = 1) { c.fetch_sub(n, std::memory_order_relaxed); }
  // Books one device answer that took `ms`.
  void answer_time(uint64_t ms) {
    last_answer_ms.store(ms, std::memory_order_relaxed);
    add(answer_ms_total, ms);
    add(answers_timed);
  }
};

// "PORT <direction> <type> <id> name=value ..." (no newline).
std::string port_stats_line(const char *direction, const std::string &type, int id, const port_stats &s);
