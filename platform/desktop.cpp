// gsettings for the animation setting; xdg-open, started detached, for web addresses.
#include "platform/desktop.h"

#include <cstring>

#include "platform/process.h"
#include "platform/text.h"

namespace {
constexpr size_t kLinkMaxBytes = 2048;
}  // namespace

bool desktop_reduce_motion() {
  const char* const argv[] = {"gsettings", "get", "org.gnome.desktop.interface", "enable-animations", nullptr};
  char out[64];
  ProcessResult result{};
  if (run_process(argv, out, sizeof out, &result) != kProcessOk) return false;
  if (result.signal != 0 || result.exit_code != 0) return false;
  size_t n = strlen(out);
  while (n > 0 && (out[n - 1] == '\n' || out[n - 1] == '\r' || out[n - 1] == ' ')) out[--n] = 0;
  return strcmp(out, "false") == 0;
}

int open_web_link(const char* url) {
  if (!url || !text_starts_with_nocase(url, "https://")) return kLinkRefused;
  const size_t n = strlen(url);
  if (n <= strlen("https://") || n >= kLinkMaxBytes) return kLinkRefused;
  for (size_t i = 0; i < n; ++i) {
    const unsigned char c = static_cast<unsigned char>(url[i]);
    if (c <= 0x20 || c >= 0x7F) return kLinkRefused;
  }
  const char* const argv[] = {"xdg-open", url, nullptr};
  return spawn_detached(argv) == kProcessOk ? kLinkOpened : kLinkNoBrowser;
}
