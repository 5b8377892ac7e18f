// Process state: command line, start-up and termination, directories, files.
#pragma once

#include <cstddef>
#include <string>

// Exit status the command-line parser returns for -h and -V: non-zero so
// that main stops at once, and 0 as the OS reports it (256 mod 256).
constexpr int PLAT_CMDLINE_EXIT_OK = 256;
// Exit status for a bad option (usage printed to stderr).
constexpr int PLAT_CMDLINE_EXIT_USAGE = 2;

// What the command line asks the process to do.
enum class plat_process_mode {
  run,    // the gateway
  check,  // --check: load the configuration, report its problems, exit
  stats,  // --stats: print a running gateway's port statistics, exit
};

// Parses: -c FILE, -l LEVEL (0-7), --serial-prefix PREFIX,
// --tag-socket PATH, --check, --stats, -h, -V. Returns 0 to go on. `*config_path` receives
// the -c path or stays empty. The log level and serial prefix take effect
// at once; the tag socket path is kept for plat_process_tag_socket_path().
int plat_process_parse_cmdline_ex(int argc, char **argv, const char *name, const char *version,
                                  const char *build_date, int flags, std::string *config_path, int, int);

// Installs SIGINT/SIGTERM handlers (they only set a flag) and ignores
// SIGPIPE. True on success.
bool plat_init();
// Marks the process as terminating and stops every thread of this layer.
void plat_uninit();

// True once the process is stopping. wait_ms: 0 polls, -1 waits without
// limit, otherwise waits at most that long.
bool plat_process_is_terminated(int wait_ms);
// Starts termination from inside the process (tests, fatal paths).
void plat_process_terminate();

// TARNWICK_PROJECT_DIR when set, otherwise null.
const char *plat_sys_get_project_directory();
// Directory of /proc/self/exe into buf; its length, or 0 on failure.
int plat_sys_get_process_directory(char *buf, size_t size);
// 0 when `path` is accessible in `mode` (4: readable), else -1.
int plat_file_access(const char *path, int mode);

// Tag socket path from the command line, or empty for the default.
const std::string &plat_process_tag_socket_path();
// The tag socket of a program: the command line's path, or
// "/run/trellis/<program>.tags".
std::string plat_process_tag_socket_path_for(const char *program);
// The mode the command line chose (run when none).
plat_process_mode plat_process_get_mode();
// True when the command line set the log level with -l.
bool plat_process_log_level_given();

// Tells the service manager that start-up has finished, when the process
// runs under one that asked for it (NOTIFY_SOCKET set): sends "READY=1"
// as one datagram to that socket. True when sent; false when not asked or
// the send failed (logged).
bool plat_process_notify_ready();
