// Arbitrary bytes as the cloud service's replies and as requests to the sign-in callback: the page
// and zone parsers keep to their limits (entries, names, tokens always terminated and within
// their fields), the error text is always one line, and the callback's token is either refused or
// fits its field without control characters.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "kit/cloud.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* text = reinterpret_cast<const char*>(data);
  std::vector<CloudEntry> entries;
  bool more = false;
  char token[kSyncTokenBytes], code[64];
  const int rc = cloud_parse_changes(text, size, "zone", true, &entries, &more, token, sizeof token, code, sizeof code);
  if (rc < -1 || rc > 1 || entries.size() > size_t(kCloudMaxEntries)) abort();
  if (strlen(token) >= sizeof token || strlen(code) >= sizeof code) abort();
  for (const CloudEntry& e : entries)
    if (strlen(e.display_name) >= sizeof e.display_name || strlen(e.download_url) >= sizeof e.download_url ||
        e.size_bytes < 0)
      abort();

  char names[kCloudMaxZones][kZoneNameBytes];
  char owners[kCloudMaxZones][kCloudUserBytes];
  const int zones = cloud_parse_zones(text, size, names, owners, kCloudMaxZones);
  if (zones < 0 || zones > kCloudMaxZones) abort();
  for (int z = 0; z < zones; ++z)
    if (!names[z][0] || strcmp(names[z], "_defaultZone") == 0) abort();

  char message[kCloudMessageBytes];
  cloud_error_text(500, text, size, message, sizeof message);
  if (strncmp(message, "HTTP 500", 8) != 0) abort();

  char web[kWebAuthTokenBytes];
  const int got = callback_token(text, size, web, sizeof web);
  if (got == 1) {
    if (!web[0]) abort();
    for (const char* p = web; *p; ++p)
      if (static_cast<unsigned char>(*p) < 0x20) abort();
  }
  char reply[4096];
  const size_t n = callback_reply(text, size, kCallbackPort, reply, sizeof reply);
  if (n == 0 || n >= sizeof reply || strncmp(reply, "HTTP/1.1 ", 9) != 0) abort();
  return 0;
}
