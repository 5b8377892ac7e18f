// The north UDP transparent port's datagram handling: datagrams of any
// size from senders inside and outside the port's rules (a range, two
// single addresses inside it, a network, and a "*" rule when the input
// says so). A datagram makes a block exactly when it is not empty and a
// rule admits its sender; the block is the datagram, its peer record names
// the sender and the rule the last matching one in file order; the last
// peer port is the port of the last sender admitted by a single address.
#include <algorithm>
#include <memory>
#include <string>

#include "fuzz_input.h"
#include "platform/plat_socket.h"
#include "route/table.h"
#include "transparent/north_port_udp_transparent.h"

namespace {

northport_table *rule(uint32_t kind, const char *a, const char *b, table *t) {
  auto *r = new northport_table();
  r->ip_type = kind;
  if (kind == IP_RANGE) {
    r->ip_start = a;
    r->ip_end = b;
  } else {
    r->ip = a;
    if (b) r->mask_len = b;
  }
  r->table = t;
  return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static const bool quiet = (fuzz_quiet_logs(), true);
  (void)quiet;
  fuzz_input in(data, size);
  static table ranged, single1, single2, net, any;
  auto port = std::make_unique<north_udp_transparent::port>();
  northport_rules_add(&port->rules, rule(IP_RANGE, "10.0.0.1", "10.0.0.4", &ranged));
  northport_rules_add(&port->rules, rule(IP_SINGLE, "10.0.0.2", nullptr, &single1));
  northport_rules_add(&port->rules, rule(IP_SINGLE, "10.0.0.3", nullptr, &single2));
  northport_rules_add(&port->rules, rule(IP_NET_MASK, "10.0.1.0", "24", &net));
  const bool with_any = (in.byte() & 1) != 0;
  if (with_any) northport_rules_add(&port->rules, rule(IP_ANY, "*", nullptr, &any));

  uint16_t last_single = 0;
  while (in.left() > 0) {
    const uint8_t who = in.byte();
    // 10.0.<0-3>.<0-7>
    const uint32_t third = (who >> 3) & 0x03, fourth = who & 0x07;
    const uint32_t host = 0x0A000000u | (third << 8) | fourth;
    const uint32_t address =
        plat_inet_addr(("10.0." + std::to_string(third) + "." + std::to_string(fourth)).c_str());
    const uint16_t from_port = static_cast<uint16_t>(in.byte() | (in.byte() << 8));
    const uint8_t *bytes = nullptr;
    const size_t n = in.take(static_cast<size_t>(in.byte()) * 4u, &bytes);
    mb_frame *frame = north_udp_transparent::rx_udp_transparent(port.get(), bytes, static_cast<int>(n), address,
                                                                 from_port);
    // The winner: the network, else a single address, else the range, else "*".
    table *want = nullptr;
    if ((host & 0xFFFFFF00u) == 0x0A000100u) {
      want = &net;
    } else if (host == 0x0A000002u) {
      want = &single1;
    } else if (host == 0x0A000003u) {
      want = &single2;
    } else if (host >= 0x0A000001u && host <= 0x0A000004u) {
      want = &ranged;
    } else if (with_any) {
      want = &any;
    }
    if (n == 0 || !want) {
      FUZZ_CHECK(frame == nullptr);
    } else {
      FUZZ_CHECK(frame != nullptr);
      const auto *from = static_cast<const north_udp_transparent::peer *>(mb_frame_get_ctx(frame));
      FUZZ_CHECK(from->address == address && from->port == from_port && from->npt->table == want);
      uint32_t len = 0;
      const uint8_t *block = mb_frame_get_data(frame, &len);
      FUZZ_CHECK(len == n && std::equal(block, block + len, bytes));
      if (want == &single1 || want == &single2) last_single = from_port;
      mb_frame_release(frame);
    }
    FUZZ_CHECK(port->last_peer_port.load() == last_single);
  }
  return 0;
}
