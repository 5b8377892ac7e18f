#include "route/port_stats.h"

std::string port_stats_line(const char *direction, const std::string &type, int id, const port_stats &s) {
  const auto v = [](const port_stats::counter &c) { return std::to_string(c.load(std::memory_order_relaxed)); };
  const uint64_t timed = s.answers_timed.load(std::memory_order_relaxed);
  const uint64_t mean = timed ? s.answer_ms_total.load(std::memory_order_relaxed) / timed : 0;
  std::string line = "PORT ";
  line += direction;
  line += ' ' + (type.empty() ? std::string("-") : type) + ' ' + std::to_string(id);
  line += " requests=" + v(s.requests) + " answers=" + v(s.answers) + " timeouts=" + v(s.timeouts) +
          " framing_drops=" + v(s.framing_drops) + " dropped=" + v(s.dropped) + " exceptions=" + v(s.exceptions) + " cache_hits=" + v(s.cache_hits) +
          " cache_misses=" + v(s.cache_misses) + " bytes_in=" + v(s.bytes_in) + " bytes_out=" + v(s.bytes_out) +
          " clients=" + v(s.clients) + " refused=" + v(s.refused) + " connects=" + v(s.connects) +
          " connect_failures=" + v(s.connect_failures) + " last_answer_ms=" + v(s.last_answer_ms) +
          " mean_answer_ms=" + std::to_string(mean);
  return line;
}
