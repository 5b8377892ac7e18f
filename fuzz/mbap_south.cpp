// The south MBAP receive machine: answers from a device (or anyone on the
// network) in arbitrary splits.
#include "frame/mbap_framer.h"
#include "fuzz_input.h"
#include "mbap_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static const bool quiet = (fuzz_quiet_logs(), true);
  (void)quiet;
  fuzz_input in(data, size);
  fuzz_mbap(in, mbap_side::south);
  return 0;
}
