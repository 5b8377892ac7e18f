// `trellis --check`: the configuration loaded exactly as start-up loads it,
// with nothing opened or started, and every problem reported as
// "FILE:LINE: message".
//
// Main thread only; nothing else may run in the process meanwhile.
#pragma once

#include <cstdio>

// Exit codes of a check.
constexpr int CONFIG_CHECK_CLEAN = 0;
constexpr int CONFIG_CHECK_PROBLEMS = 1;
constexpr int CONFIG_CHECK_UNREADABLE = 2;

// Loads `path` into a mux of its own, prints one line per problem to
// `out` and returns one of the codes above. A file that cannot be read or
// parsed gets one line with the reader's line (0 when it could not be
// read at all) and message. The ports made are destroyed before it returns;
// none is started, so no socket, line, tag or thread is ever opened. The
// process log level decides what else reaches stderr: it should be at
// least 4, or level-4 problems are not seen.
int config_check(const char *path, FILE *out);
