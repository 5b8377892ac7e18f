#include "app/trellis.h"

#ifndef TRELLIS_VERSION
#define TRELLIS_VERSION "unknown"
#endif

int main(int argc, char **argv) { return trellis_main(argc, argv, TRELLIS_VERSION); }
