// The status line record and its three setters.
#include "config/status.h"

#include <cstdarg>

#include "config/log.h"
#include "platform/clock.h"
#include "platform/text.h"

namespace {

StatusLine g_status;

void show(const char* text, uint32_t expiry) {
  text_copy(g_status.text, text);
  g_status.expiry_ms = expiry;
  ++g_status.serial;
  log_line("%s", g_status.text);
}

}  // namespace

void status_message(const char* fmt, ...) {
  char text[kStatusBytes];
  va_list args;
  va_start(args, fmt);
  text_vformat(text, sizeof text, fmt, args);
  va_end(args);
  show(text, tick_ms() + kStatusMessageMs);
}

void status_flash(const char* text) { show(text, tick_ms() + kStatusFlashMs); }

void status_hold(const char* text) { show(text, kStatusForever); }

const StatusLine& status_line() { return g_status; }

bool status_visible(const StatusLine& s, uint32_t now_ms) {
  if (!s.text[0]) return false;
  if (s.expiry_ms == kStatusForever) return true;
  // Shows while now < expiry, compared across the tick's wrap.
  return int32_t(s.expiry_ms - now_ms) > 0;
}

void status_clear() { g_status = StatusLine{}; }
