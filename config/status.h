// The one status line of the window's foot: a short upper-case message and the tick until which
// it shows. A new message replaces the current one; every message is also logged.
// Main thread only.
#pragma once
#include <cstdint>

constexpr int kStatusBytes = 96;
constexpr uint32_t kStatusMessageMs = 4000;
constexpr uint32_t kStatusFlashMs = 2500;
constexpr uint32_t kStatusForever = 0xFFFFFFFFu;  // expiry that keeps the message until replaced

struct StatusLine {
  char text[kStatusBytes];
  uint32_t expiry_ms;  // tick (tick_ms) until which it shows; unsigned comparison
  uint32_t serial;     // bumped on every message, so a view can tell a repeat from a new one
};

void status_message(const char* fmt, ...) __attribute__((format(printf, 1, 2)));  // 4 s
void status_flash(const char* text);                                              // 2.5 s
// Shows text until the next message (the quit refusal).
void status_hold(const char* text);

const StatusLine& status_line();
// True while the current message shows at tick now_ms.
bool status_visible(const StatusLine& s, uint32_t now_ms);
// Empties the line (start-up, tests).
void status_clear();
