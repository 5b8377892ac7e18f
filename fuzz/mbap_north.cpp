// The north MBAP receive machine (TCP and UDP masters): bytes from a master
// in arbitrary splits. Every message stays within the Modbus limits and
// makes a frame that converts back to MBAP and RTU.
#include <memory>

#include "frame/mbap_framer.h"
#include "fuzz_input.h"
#include "mbap_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static const bool quiet = (fuzz_quiet_logs(), true);
  (void)quiet;
  fuzz_input in(data, size);
  fuzz_mbap(in, (in.byte() & 1) ? mbap_side::north_udp : mbap_side::north_tcp);
  return 0;
}
