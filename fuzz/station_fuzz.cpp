// Arbitrary bytes from a listener: the station's message parser never reads past what arrived,
// consumes every message by its length, answers pings into a bounded queue and keeps its names
// free of control characters; and arbitrary ufw rule lines never crash the rule reader.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "net/firewall.h"
#include "net/station.h"

namespace {

struct Held {
  Station s{};
  Held() {
    StationIdentity id;
    station_identity_default(&id);
    char folder[] = "/tmp";
    station_init(&s, id, folder);
  }
  ~Held() { station_close(&s); }
};

Station* station() {
  static Held held;
  return &held.s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Station* s = station();
  const int slot = size > 0 ? data[0] % kStationMaxListeners : 0;
  station_take_bytes(s, slot, data, size);
  const StationListener& l = s->listeners[slot];
  if (l.rx_fill < 0 || l.rx_fill > kStationReceiveBytes || l.count < 0 || l.count > kStationQueueMessages) abort();
  for (const char* name : {l.an, l.dev})
    for (const char* p = name; *p; ++p)
      if (uint8_t(*p) < 0x20 || *p == 0x7F) abort();

  // The same bytes as one rule line.
  char line[512];
  const size_t n = size < sizeof line - 15 ? size : sizeof line - 15;
  memcpy(line, "### tuple ### ", 14);
  memcpy(line + 14, data, n);
  line[14 + n] = 0;
  FirewallRule r;
  if (firewall_rule_from_ufw(line, &r)) {
    FirewallTally t{1, 0, false};
    firewall_tally(&t, r);
    const int result = firewall_tally_result(t);
    if (result < kFirewallAllowed || result > kFirewallBlocked) abort();
  }
  return 0;
}
