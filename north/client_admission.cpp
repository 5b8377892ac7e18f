#include "north/client_admission.h"

#include <algorithm>
#include <cstring>
#include <optional>

#include "platform/plat_log.h"
#include "platform/plat_regex.h"
#include "platform/tw_conf.h"

namespace {

// A dotted IPv4 address anywhere in the text: the tail of an IPv4-mapped
// IPv6 address.
constexpr const char *kMappedIpv4Pattern = R"(((2(5[0-5]|[0-4]\d))|[0-1]?\d{1,2})(\.((2(5[0-5]|[0-4]\d))|[0-1]?\d{1,2})){3})";

constexpr uint32_t kMaxBlankCount = client_activity::max_blank;
// The longest wait of a plainly quiet client's receive.
constexpr uint32_t kQuietWaitMs = 1000;

size_t pick_most_lazy(const std::vector<admission_client_view> &clients) {
  size_t candidate = 0;
  uint32_t max_blank = clients[0].blank_count;
  PLAT_LOG(6, "max blanking time is %d ", static_cast<int>(max_blank));
  PLAT_LOG(6, "going to find most lazy client !");
  // Strictly greater: among equal counts the first client walked stays the
  // candidate.
  for (size_t i = 0; i < clients.size(); ++i) {
    if (clients[i].blank_count > max_blank) {
      max_blank = clients[i].blank_count;
      candidate = i;
      PLAT_LOG(6, "find max blanking time  !");
    }
  }
  return candidate;
}

}  // namespace

int32_t max_conn_method_from_text(const char *text) {
  if (!text) return MAX_CONN_METHOD_UNKNOWN;
  if (std::strcmp(text, "reject") == 0) return MAX_CONN_REJECT;
  if (std::strcmp(text, "drop_oldest_connect") == 0) return MAX_CONN_DROP_OLDEST;
  if (std::strcmp(text, "drop_most_lazy") == 0) return MAX_CONN_DROP_MOST_LAZY;
  if (std::strcmp(text, "wait_timeout") == 0) return MAX_CONN_WAIT_TIMEOUT;
  if (std::strcmp(text, "drop_same_ip") == 0) return MAX_CONN_DROP_SAME_IP;
  return MAX_CONN_METHOD_UNKNOWN;
}

tcp_server_settings tcp_server_settings_read(tw_conf_node *element) {
  tcp_server_settings s;
  s.id = tw_conf_node_attr_get_int(element, "id", 255);
  s.type = tw_conf_node_attr_get_string_dup(element, "type", "tcp");
  s.idle_time = tw_conf_node_attr_get_int(element, "idle_time", 1000);
  s.max_conn = tw_conf_node_attr_get_int(element, "max_conn", 16);
  const char *method = tw_conf_node_attr_get_string(element, "max_conn_method", "reject");
  s.max_conn_method = max_conn_method_from_text(method);
  if (s.max_conn_method == MAX_CONN_METHOD_UNKNOWN) {
    // Admitting beyond the limit would let any peer open threads without
    // end: an unknown policy refuses like "reject".
    PLAT_LOG(4, "[north %s] max_conn_method \"%s\" is unknown, using \"reject\"", s.type.c_str(),
             method ? method : "");
    s.max_conn_method = MAX_CONN_REJECT;
  }
  s.tcp_port = tw_conf_node_attr_get_int(element, "tcp_port", 502);
  s.time_interval = tw_conf_node_attr_get_int(element, "time_interval", 50);
  s.north_list_size = tw_conf_node_attr_get_int(element, "north_list_size", 1);
  if (s.max_conn < 1) {
    PLAT_LOG(4, "[north %s] max_conn %d is below 1, using 1", s.type.c_str(), s.max_conn);
    s.max_conn = 1;
  }
  if (s.north_list_size < 1) {
    PLAT_LOG(4, "[north %s] north_list_size %d is below 1, using 1", s.type.c_str(), s.north_list_size);
    s.north_list_size = 1;
  }
  if (s.time_interval < 0) {
    // It is slept after every answer; a negative pause would be an endless one.
    PLAT_LOG(4, "[north %s] time_interval %d is negative, using 0", s.type.c_str(), s.time_interval);
    s.time_interval = 0;
  }
  return s;
}

std::string client_admission_address_text(const char *ipv6_text) {
  std::string text = ipv6_text ? ipv6_text : "";
  do {
    plat_regex_handle regex = plat_regex_create(kMappedIpv4Pattern);
    BOF(regex != nullptr);
    std::optional<std::string> substr = plat_regex_parse(regex.get(), text.c_str());
    BON(substr);
    text = *substr;
  } while (0);
  return text;
}

admission_decision client_admission_at_limit(int32_t method, const std::vector<admission_client_view> &clients,
                                             client_list_order order, const char *new_address_text,
                                             int32_t client_num) {
  admission_decision d;
  PLAT_LOG(5, "get MAX COUNT client. num is %d", client_num);
  switch (method) {
    case MAX_CONN_REJECT:
      PLAT_LOG(5, "reject socket");
      d.action = admission_action::reject;
      return d;

    case MAX_CONN_DROP_OLDEST:
      PLAT_LOG(5, "remove oldest socket");
      if (clients.empty()) {
        d.action = admission_action::refuse;
        return d;
      }
      d.action = admission_action::remove_then_admit;
      d.victim = order == client_list_order::newest_first ? clients.size() - 1 : 0;
      return d;

    case MAX_CONN_DROP_MOST_LAZY:
      PLAT_LOG(5, "remove most lazy socket");
      if (clients.empty()) {
        PLAT_LOG(4, "can not find most lazy client !");
        d.action = admission_action::refuse;
        return d;
      }
      d.action = admission_action::remove_then_admit;
      d.victim = pick_most_lazy(clients);
      return d;

    case MAX_CONN_WAIT_TIMEOUT:
      PLAT_LOG(5, "remove time out socket");
      PLAT_LOG(6, "going to find time out client");
      for (size_t i = 0; i < clients.size(); ++i) {
        if (clients[i].idle) {
          d.action = admission_action::remove_then_admit;
          d.victim = i;
          return d;
        }
      }
      PLAT_LOG(4, "can not find time out client !");
      d.action = admission_action::refuse;
      return d;

    case MAX_CONN_DROP_SAME_IP: {
      PLAT_LOG(5, "remove same ip socket");
      const char *new_text = new_address_text ? new_address_text : "";
      PLAT_LOG(7, "IP6 NEW IS %s\n", new_text);
      for (size_t i = 0; i < clients.size(); ++i) {
        PLAT_LOG(7, "IP6 OLD IS %s\n", clients[i].address_text.c_str());
        if (clients[i].address_text == new_text) {
          PLAT_LOG(6, "remove same ip client !");
          d.action = admission_action::remove_then_admit;
          d.victim = i;
          return d;
        }
      }
      PLAT_LOG(4, "can not find same ip client !");
      d.action = admission_action::refuse;
      return d;
    }

    default:
      PLAT_LOG(4, "Max connect method error, please check the configuration file");
      d.action = admission_action::admit;
      return d;
  }
}

void client_activity_reset(client_activity *a, uint32_t now) {
  a->blank_count.store(0);
  a->last_rx_tick.store(now);
  a->idle.store(0);
}

uint32_t client_receive_wait(const client_activity *a, int32_t idle_time, uint32_t now) {
  if (a->blank_count.load() < kMaxBlankCount) return client_receive_wait_ms;
  uint32_t wait = kQuietWaitMs;
  if (idle_time > 0) {
    const uint32_t quiet = now - a->last_rx_tick.load();
    const uint32_t idle = static_cast<uint32_t>(idle_time);
    wait = quiet >= idle ? client_receive_wait_ms : std::min(wait, idle - quiet + 1);
  }
  return std::max(wait, client_receive_wait_ms);
}

receive_outcome client_activity_update(client_activity *a, int received, int32_t idle_time, uint32_t now) {
  if (received > 0) {
    client_activity_reset(a, now);
    return receive_outcome::data;
  }
  if (received < 0) return receive_outcome::gone;
  const uint32_t blank = a->blank_count.load();
  if (blank < kMaxBlankCount) a->blank_count.store(blank + 1);
  if (idle_time != 0 && now - a->last_rx_tick.load() > static_cast<uint32_t>(idle_time)) {
    a->idle.store(1);
    return receive_outcome::idle;
  }
  return receive_outcome::quiet;
}
