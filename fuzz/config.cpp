// Configuration loading from memory: any document builds what it can (ports
// are created, never started) and is torn down again without fault.
#include <memory>
#include <string>

#include "app/load_config.h"
#include "fuzz_input.h"
#include "platform/tw_conf.h"
#include "route/mux.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static const bool quiet = (fuzz_quiet_logs(), true);
  (void)quiet;
  const std::string text(reinterpret_cast<const char *>(data), size);
  tw_conf_node *doc = tw_conf_open_xml_string(text.c_str(), TW_CONF_ARRAY_NAMES);
  if (!doc) return 0;
  std::unique_ptr<mux> m(mux_create());
  std::unique_ptr<server> srv = load_config_document(doc, m.get());
  tw_conf_node_close(doc);
  if (srv) FUZZ_CHECK(srv->south_ports->size() <= 128 && srv->north_ports->size() <= 128);
  // Ports go before the mux that refers to them.
  srv.reset();
  return 0;
}
