#include "app/trellis.h"

#ifndef TRELLIS_VERSION
#define TRELLIS_VERSION "unknown"
#endif

// The capabilities the platform's installer grants the executable, read
// from this section of the file (objdump -s -j .capabilities trellis). The
// text is the section's whole content, without a terminating zero; the
// section is allocated so that stripping the binary keeps it.
asm(".pushsection .capabilities,\"a\",@progbits\n"
    ".ascii \"CAP_NET_RAW=+eip CAP_NET_ADMIN=+eip\\n\"\n"
    ".popsection\n");

int main(int argc, char **argv) { return trellis_main(argc, argv, TRELLIS_VERSION); }
