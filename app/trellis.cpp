#include "app/trellis.h"

#include <sys/time.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "app/config_check.h"
#include "app/load_config.h"
#include "platform/plat_log.h"
#include "platform/plat_process.h"
#include "platform/tagbus.h"
#include "route/mux.h"

namespace {

constexpr const char *DEFAULT_PROJECT_DIRECTORY = "/opt/tarnwick/project";
constexpr int EXIT_NO_CONFIG_FILE = -259;

// The mux and the loaded server are used by the ports' threads until
// plat_uninit() stops them in exit_handler, after main has returned; nothing
// is torn down before the process ends. They are kept here, reachable for
// the life of the process, and deliberately never freed.
mux *g_mux = nullptr;
server *g_server = nullptr;

// Handed to the tag service, which keeps using it on its thread.
const tag_callbacks g_tag_callbacks = {16, on_read_tag, on_write_tag, 0, on_stats};

const char *base_name(const char *path) {
  const char *slash = std::strrchr(path, '/');
  return slash ? slash + 1 : path;
}

// snprintf that reports what was written: the character count, or 0 when
// nothing usable was (an error, or the text did not fit).
__attribute__((format(printf, 3, 4))) int str_printf(char *buf, size_t size, const char *format, ...) {
  if (size == 0) return 0;
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(buf, size, format, args);
  va_end(args);
  if (n < 0 || static_cast<size_t>(n) >= size) {
    buf[0] = '\0';
    return 0;
  }
  return n;
}

// Looks for "<program>.acr" in the project directory, then beside the
// executable. 0 with *out set when found; EXIT_NO_CONFIG_FILE when it is in
// neither; 1 when no path could be made at all ("no config file!").
int find_config_file(const char *program, std::string *out) {
  const char *directory = plat_sys_get_project_directory();
  if (!directory) directory = DEFAULT_PROJECT_DIRECTORY;
  char file_name[1024];
  char path[4097];
  int rc = 0;
  do {
    str_printf(file_name, sizeof file_name, "%s%s", program, ".acr");
    rc = str_printf(path, sizeof path, "%s/%s", directory, file_name);
    BOF(rc != 0);
    PLAT_LOG(5, "Config file = %s\n", path);
    if (plat_file_access(path, 4) == 0) {
      *out = path;
      return 0;
    }

    rc = plat_sys_get_process_directory(path, sizeof path);
    BOF(rc > 0);
    const size_t used = static_cast<size_t>(rc);
    rc = used < sizeof path ? str_printf(path + used, sizeof path - used, "/%s", file_name) : 0;
    BOF(rc > 0);
    if (plat_file_access(path, 4) == 0) {
      *out = path;
      return 0;
    }
    const int error = errno;
    PLAT_LOG(3, "failed to open file: %s! error = %d\n", path, error);
    return EXIT_NO_CONFIG_FILE;
  } while (0);
  PLAT_LOG(3, "no config file!\n");
  return 1;
}

// --check and --stats print only their own answer on stdout.
bool prints_only_an_answer(int argc, char **argv) {
  for (int i = 1; i < argc && argv; ++i) {
    if (argv[i] && (std::strcmp(argv[i], "--check") == 0 || std::strcmp(argv[i], "--stats") == 0)) return true;
  }
  return false;
}

// trellis --check: the configuration's problems, nothing opened.
int run_check(const char *program, std::string config_path) {
  // Problems are level-4 lines at most: they must be formatted to be seen,
  // and the level-5 story of a load is noise here unless asked for.
  if (!plat_process_log_level_given() || plat_log_get_level() < PLAT_LOG_WARNING) plat_log_set_level(PLAT_LOG_WARNING);
  if (config_path.empty() && find_config_file(program, &config_path) != 0) return CONFIG_CHECK_UNREADABLE;
  return config_check(config_path.c_str(), stdout);
}

// trellis --stats: the statistics of the gateway on the tag socket.
int run_stats(const char *program) {
  const std::string path = plat_process_tag_socket_path_for(program);
  std::string answer;
  const int rc = tagbus_command(path.c_str(), "stats", &answer);
  if (rc < 0) {
    std::fprintf(stderr, "%s: no gateway answers on %s: %s\n", program, path.c_str(), std::strerror(-rc));
    return 2;
  }
  std::fputs(answer.c_str(), stdout);
  return rc == 0 ? 0 : 1;
}

void start_south_port(south_port *port, void *a, void *b) { port->start(a, b); }

void start_north_port(north_port *port, void *, void *) { port->start(); }

}  // namespace

int on_read_tag(void *ctx, tag **tags, tag_value *values, uint32_t count) {
  (void)ctx;
  RVON(tags, 0);
  RVON(values, 0);
  // One time for the whole call: tags read together carry the same stamp.
  struct timeval now = {};
  gettimeofday(&now, nullptr);
  for (uint32_t i = 0; i < count; ++i) {
    tag *t = tags[i];
    if (!t) continue;
    tag_value &v = values[i];
    v.value = t->value.load();
    v.quality = 0;
    v.seconds = static_cast<uint64_t>(static_cast<int64_t>(now.tv_sec));
    v.microseconds = static_cast<uint32_t>(now.tv_usec);
    std::printf("tag name = %s, value = %lf, quality = %04xH, time = %llu.%u\n", t->name, v.value,
                static_cast<unsigned>(v.quality), static_cast<unsigned long long>(v.seconds), v.microseconds);
  }
  return 0;
}

int on_write_tag(void *ctx, tag **tags, const double *values, uint32_t count) {
  (void)ctx;
  RVON(tags, 0);
  RVON(values, 0);
  for (uint32_t i = 0; i < count; ++i) {
    tag *t = tags[i];
    if (!t) continue;
    t->value.store(values[i]);
    std::printf("tag name = %s, value = %lf\n", t->name, values[i]);
    t->state.store(2);
    PLAT_LOG(5, "%d\n", 147);
    // A tag without an owner only stores the value.
    if (t->owner) t->owner->change_state(t);
  }
  return 0;
}

void exit_handler() {
  PLAT_LOG(6, "exit_handler()\n");
  tagbus_uninit();
  plat_uninit();
}

int trellis_main(int argc, char **argv, const char *version) {
  // Line-buffered even into a pipe, so whoever watches the process sees
  // each line as it is printed (the tag callbacks print from their thread).
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  const char *path = (argc > 0 && argv && argv[0]) ? argv[0] : "trellis";
  const char *program = base_name(path);
  if (!prints_only_an_answer(argc, argv)) std::printf("%s %s\n", path, program);
  // Under a service manager the journal stamps the time and files each line
  // by its priority.
  plat_log_set_journal(plat_log_stderr_is_journal());

  std::atexit(exit_handler);

  std::string config_path;
  int rc = plat_process_parse_cmdline_ex(argc, argv, program, version, __DATE__, 1, &config_path, 0, 0);
  if (rc != 0) return rc;
  switch (plat_process_get_mode()) {
    case plat_process_mode::check:
      return run_check(program, config_path);
    case plat_process_mode::stats:
      return run_stats(program);
    case plat_process_mode::run:
      break;
  }

  if (!plat_init()) {
    PLAT_LOG(3, "failed to call plat_init!\n");
    return -1;
  }

  // A path from the command line is used as given, unchecked.
  if (config_path.empty()) {
    rc = find_config_file(program, &config_path);
    if (rc == EXIT_NO_CONFIG_FILE) return rc;
    if (rc != 0) return 0;
  }

  g_mux = mux_create();
  g_server = load_config(config_path.c_str(), g_mux).release();

  const uint32_t serial_num = g_server ? g_server->serial_num : 0;
  PLAT_LOG(5, "serial num = %d\n", static_cast<int>(serial_num));
  rc = tagbus_init(serial_num, &g_tag_callbacks, g_server);
  if (rc != 0) {
    PLAT_LOG(3, "tagbus_init failed! error = %d\n", rc);
    return -1;
  }

  if (g_server) {
    plat_list_traverse(g_server->south_ports.get(), start_south_port, nullptr, nullptr);
    plat_list_traverse(g_server->north_ports.get(), start_north_port, nullptr, nullptr);
  }
  // Every port has been started: a service manager waiting for us may go on.
  plat_process_notify_ready();

  while (!plat_process_is_terminated(-1)) {
  }
  return 0;
}

void server_stats(const server *srv, std::string *out) {
  if (!srv || !out) return;
  for (const auto &p : srv->owned_south_ports) {
    *out += port_stats_line("south", p->identity.type, p->identity.id, p->stats) + "\n";
  }
  for (const auto &p : srv->owned_north_ports) {
    *out += port_stats_line("north", p->identity.type, p->identity.id, p->stats) + "\n";
  }
}

void on_stats(void *ctx, std::string *out) { server_stats(static_cast<const server *>(ctx), out); }
