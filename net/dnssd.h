// The station's DNS-SD announcement through the Avahi client library on its own threaded poll:
// service "_lm-stream._tcp" with the station's TXT pairs, renamed to Avahi's alternative on a name
// collision, and registered again whenever the daemon comes (back). Without a daemon the failure
// is logged and the station serves unannounced.
// Threads: register and withdraw on the application thread; Avahi's thread runs the callbacks,
// which only log and set the advertised flag.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>

struct StationIdentity;

constexpr const char* kStationServiceType = "_lm-stream._tcp";
constexpr int kDnsSdNameBytes = 64;  // "an · dev" stays under this

struct StationDnsSd;

// Starts announcing; nullptr (after logging why) when not even the client could be made.
StationDnsSd* dnssd_register(const StationIdentity& id, uint16_t port);
// Withdraws the announcement and frees it. Null is fine.
void dnssd_withdraw(StationDnsSd* d);
// True once the daemon confirmed the service.
bool dnssd_advertised(const StationDnsSd* d);

// "an · dev", the device part shortened (on a character boundary) until the whole is under
// 64 bytes. Returns the length.
size_t dnssd_instance_name(const char* an, const char* dev, char* out, size_t cap);
