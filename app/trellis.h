// Process entry of the gateway: start-up, the tag callbacks, the main wait
// and the exit handler.
#pragma once

#include <cstdint>
#include <string>

#include "platform/tagbus.h"

// The whole of main. `version` is the program's version string. Returns the
// exit code: 0 after termination, the parser's result for -h, -V or a bad
// option, -1 when the platform or the tag service cannot start, -259 when
// no configuration file is found, 0 when no configuration path can be made.
int trellis_main(int argc, char **argv, const char *version);

// Registered with atexit at the start of trellis_main.
void exit_handler();

// Tag service callbacks; run on the tag service's thread. Both return 0.
// on_read_tag fills values[i] from tags[i] with one wall-clock time for the
// whole call; on_write_tag stores values[i] into tags[i], sets its state to
// 2 and lets the owner react through change_state.
int on_read_tag(void *ctx, tag **tags, tag_value *values, uint32_t count);
int on_write_tag(void *ctx, tag **tags, const double *values, uint32_t count);

struct server;
// The "stats" command: one line per port of `srv` (south ports, then north
// ports, in file order), appended to `out`.
void server_stats(const server *srv, std::string *out);
// The tag service's form of it; `ctx` is the server.
void on_stats(void *ctx, std::string *out);
