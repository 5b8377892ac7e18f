#include "route/serial_line.h"

#include <cstdint>
#include <cstdio>
#include <utility>

#include "platform/plat_log.h"
#include "platform/plat_process.h"
#include "platform/tw_conf.h"

namespace {

int checked_param(const std::string &type, const char *name, int value, int low, int high, int fallback) {
  if (value >= low && value <= high) return value;
  PLAT_LOG(4, "[%s]: %s %d is not usable, system is setting as defaut val : %d\n", type.c_str(), name, value,
           fallback);
  return fallback;
}

}  // namespace

void serial_port_settings_read(tw_conf_node *element, const char *default_type, serial_port_settings *s) {
  const serial_port_settings d;
  s->id = tw_conf_node_attr_get_int(element, "id", d.id);
  s->type = tw_conf_node_attr_get_string_dup(element, "type", default_type);
  s->port = tw_conf_node_attr_get_int(element, "port", d.port);
  s->baudrate = tw_conf_node_attr_get_int(element, "baudrate", d.baudrate);
  s->byte_size = tw_conf_node_attr_get_int(element, "byte_size", d.byte_size);
  s->stop_bits = tw_conf_node_attr_get_int(element, "stop_bits", d.stop_bits);
  s->parity = tw_conf_node_attr_get_int(element, "parity", d.parity);
}

void serial_params_check(const char *side, serial_port_settings *s) {
  const serial_port_settings d;
  const std::string type = std::string(side) + " " + s->type;
  s->baudrate = checked_param(type, "baudrate", s->baudrate, 1, INT32_MAX, d.baudrate);
  s->byte_size = checked_param(type, "byte_size", s->byte_size, 5, 8, d.byte_size);
  s->stop_bits = checked_param(type, "stop_bits", s->stop_bits, 1, 2, d.stop_bits);
  s->parity = checked_param(type, "parity", s->parity, 0, 4, d.parity);
}

serial_line_settings serial_line_settings_of(const serial_port_settings &s, const char *tag_word, uint32_t tag_state) {
  serial_line_settings l;
  l.port = s.port;
  l.baudrate = s.baudrate;
  l.byte_size = s.byte_size;
  l.stop_bits = s.stop_bits;
  l.parity = s.parity;
  l.tag_word = tag_word;
  l.tag_state = tag_state;
  l.retry_ms = s.retry_ms;
  return l;
}

void closed_line_refusal::set(bool refusing) {
  logged_.store(false);
  refusing_.store(refusing);
}

void closed_line_refusal::report(const std::string &type) {
  const bool first = !logged_.exchange(true);
  PLAT_LOG(first ? 4 : 7, "[south %s]: the line is closed; requests are refused until it is open again\n",
           type.c_str());
}

serial_line::serial_line(serial_line_user *user, tag_owner *owner, const serial_line_settings &settings)
    : user_(user), settings_(settings), device_(plat_serial_device_path(settings.port)) {
  std::snprintf(tag_.name, sizeof(tag_.name), "#%s_%s%d", settings.tag_word, "COM", settings.port);
  tag_.owner = owner;
  tag_.state = settings.tag_state;
}

serial_line::~serial_line() {
  // The user is gone by now (it owns this line): stop without its hooks.
  plat_thread_handle start;
  {
    std::scoped_lock lock(start_lock_);
    start = std::move(start_thread_);
  }
  start.reset();
  if (tag_.handle != 0) tagbus_remove(&tag_);
  std::scoped_lock lock(handle_lock_);
  serial_h_.reset();
}

int serial_line::start() {
  launch_start();
  return 0;
}

void serial_line::fail(const char *what, const std::string &reason) {
  if (starting_.load()) return;
  PLAT_LOG(3, "[%s] %s failed (%s); the line is closed and opened again\n", device_.c_str(), what, reason.c_str());
  launch_start(true);
}

void serial_line::launch_start(bool close_first) {
  plat_thread_handle finished;
  {
    std::scoped_lock lock(start_lock_);
    // One start at a time: the running one will open the line.
    if (starting_.load()) return;
    starting_.store(true);
    finished = std::move(start_thread_);
    start_thread_ = plat_thread_start_oneshot_thread(
        [this, close_first] {
          if (close_first) {
            close_line("serial_line_fail");
            tag_.value = 0.0;
          }
          start_thread();
        },
        "start_thread");
    if (!start_thread_) starting_.store(false);
  }
  // The previous start has ended (it cleared starting_); joining it is quick.
  finished.reset();
}

void serial_line::start_thread() {
  bool opened = false;
  while (!plat_process_is_terminated(0) && !plat_thread_wait_for_stop(0)) {
    if (is_open()) break;  // opened meanwhile: nothing to do, and no second set of threads
    std::string why;
    plat_serial_handle h = plat_serial_open(device_.c_str(), settings_.baudrate, settings_.byte_size,
                                            settings_.stop_bits, settings_.parity, &why);
    if (h) {
      open_failures_ = 0;
      std::scoped_lock transition(transition_lock_);
      {
        std::scoped_lock lock(handle_lock_);
        serial_h_ = std::move(h);
      }
      tag_.value = 1.0;
      opened = true;
      break;
    }
    // A line that stays away for days logs once a hundred seconds or so, not
    // at every attempt; the reason is in the trace line of the open.
    if (open_failures_++ % 10 == 0) PLAT_LOG(3, "failed to open seriial port [%s]\n", device_.c_str());
    plat_systick_sleep(settings_.retry_ms);
    if (plat_thread_wait_for_stop(0)) break;
    tag_.value = 0.0;
  }

  if (opened) {
    // Registered outside the transition lock: the tag service may call
    // change_state (which takes it) while we wait for it here.
    tag_.quality = 0;
    if (tag_.handle == 0) {
      tag_.handle = tagbus_add(&tag_);
      if (tag_.handle == 0) PLAT_LOG(4, "%s: tagbus_add failed on %s\n", "start_thread", tag_.name);
    }
    std::scoped_lock transition(transition_lock_);
    // A close that came in between has already taken the line back.
    if (is_open()) user_->serial_line_opened();
  }
  starting_.store(false);
}

int serial_line::change_state(tag *t) {
  const double value = t ? t->value.load() : tag_.value.load();
  if (value == 0.0) {
    close_line("serial_port_change_state");
  } else if (value == 1.0) {
    if (!is_open()) launch_start();
  }
  return 0;
}

void serial_line::close_line(const char *function) {
  std::scoped_lock transition(transition_lock_);
  if (!is_open()) return;
  // Threads first: they use the line without holding handle_lock_.
  user_->serial_line_closing();
  plat_serial_handle h;
  {
    std::scoped_lock lock(handle_lock_);
    h = std::move(serial_h_);
  }
  h.reset();
  PLAT_LOG(5, "%s [%s] has been closed\n", function, device_.c_str());
}

void serial_line::shutdown() {
  plat_thread_handle start;
  {
    std::scoped_lock lock(start_lock_);
    start = std::move(start_thread_);
  }
  start.reset();  // a start in its retry pause ends at once
  std::scoped_lock transition(transition_lock_);
  user_->serial_line_closing();
  std::scoped_lock lock(handle_lock_);
  serial_h_.reset();
}

plat_serial *serial_line::handle() {
  std::scoped_lock lock(handle_lock_);
  return serial_h_.get();
}

void serial_line::with_line(const std::function<void(plat_serial *)> &fn) {
  std::scoped_lock lock(handle_lock_);
  fn(serial_h_.get());
}

bool serial_line::is_open() {
  std::scoped_lock lock(handle_lock_);
  return serial_h_ != nullptr;
}
