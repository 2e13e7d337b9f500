// The console: the tail of the log over the top two thirds of the window, with the number of lines
// logged in this run and the performance line.
#include <algorithm>

#include "app/overlays/overlay.h"
#include "app/shell/app_state.h"
#include "platform/text.h"
#include "ui/text.h"

namespace {

constexpr uint32_t kConsoleBack = 0xE4000000;
constexpr uint32_t kConsoleRule = 0xFFC6C1BE;
constexpr uint32_t kConsoleTitle = 0xFFC6C1BE;
constexpr uint32_t kConsoleCounter = 0xFF807C7A;
constexpr uint32_t kConsolePerf = 0xFFE9E5E2;
constexpr uint32_t kConsoleText = 0xFFEBEBEB;
constexpr int kSmallSize = 10;     // monospace at 10 px: 6 pixels a character
constexpr int kDoubleSize = 20;
constexpr int kCharW = 6;
constexpr int kRowH = 12;
constexpr int kRowsTop = 26;
constexpr int kRowsReserve = 34;   // title band and bottom margin
constexpr int kCounterFromRight = 260;
constexpr int kPerfX = 130;
constexpr int kPerfReserve = 400;
constexpr int kMinPerfChars = 3;

// Copies at most `chars` code points of src (0 = all).
void cut_chars(const char* src, int chars, char* out, size_t cap) {
  size_t n = 0;
  int count = 0;
  for (; src[n]; ++n) {
    if ((static_cast<unsigned char>(src[n]) & 0xC0) != 0x80) {
      if (chars > 0 && count == chars) break;
      ++count;
    }
  }
  text_copy(out, std::min(n + 1, cap), src);
}

}  // namespace

ConsoleGeometry console_geometry(int width, int height) {
  ConsoleGeometry g{};
  g.panel_h = height * 2 / 3;
  g.rows = std::max((g.panel_h - kRowsReserve) / kRowH, 0);
  g.line_chars = std::max((width - 20) / kCharW, 0);
  g.perf_chars = (width - kPerfReserve) / kCharW;
  return g;
}

void console_counter_text(char* out, size_t cap) {
  text_format(out, cap, "%d LINES - ALT+~ TO CLOSE", log_line_count());
}

int console_lines(int rows, int chars, char (*out)[kLogLineBytes], int cap) {
  const int total = log_line_count();
  int n = 0;
  for (int line = std::max(total - rows, 0); line < total && n < cap; ++line) {
    char text[kLogLineBytes];
    if (!log_recent_line(line, text, sizeof text)) continue;  // it has left the ring
    cut_chars(text, chars, out[n], kLogLineBytes);
    ++n;
  }
  return n;
}

void draw_console(Canvas* c, const AppState* app) {
  const ConsoleGeometry g = console_geometry(c->w, c->h);
  const float w = float(c->w);
  draw_fill(c, Rect{0, 0, w, float(g.panel_h)}, kConsoleBack);
  draw_fill(c, Rect{0, float(g.panel_h - 2), w, 2}, kConsoleRule);
  draw_text(c, kStackMono, kDoubleSize, 400, "~ CONSOLE", 10, 6, kConsoleTitle);
  char counter[64];
  console_counter_text(counter, sizeof counter);
  draw_text(c, kStackMono, kSmallSize, 400, counter, w - kCounterFromRight, 8, kConsoleCounter);
  if (app->perf.line[0] && g.perf_chars > kMinPerfChars) {
    char perf[kPerfLineBytes];
    cut_chars(app->perf.line, g.perf_chars, perf, sizeof perf);
    draw_text(c, kStackMono, kSmallSize, 400, perf, kPerfX, 8, kConsolePerf);
  }
  char lines[kLogRingLines][kLogLineBytes];
  const int n = console_lines(g.rows, g.line_chars, lines, kLogRingLines);
  for (int row = 0; row < n; ++row)
    draw_text(c, kStackMono, kSmallSize, 400, lines[row], 10, float(kRowsTop + kRowH * row), kConsoleText);
}
