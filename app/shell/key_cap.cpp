// Key caps.
#include "app/shell/key_cap.h"

#include <algorithm>
#include <cstring>

#include "app/shell/theme.h"
#include "platform/text.h"
#include "ui/text.h"

namespace {

constexpr float kCapPad = 6.0f;
constexpr float kCapGap = 3.0f;
constexpr int kCapTextSize = 16;

}  // namespace

float key_cap_width(Canvas* c, const char* label) {
  float total = 0;
  char part[32];
  const char* p = label;
  for (;;) {
    const char* tab = strchr(p, '\t');
    const size_t n = tab ? size_t(tab - p) : strlen(p);
    text_copy(part, n + 1 < sizeof part ? n + 1 : sizeof part, p);
    total += std::max(kCapH, text_width(c, kStackDisplay, kCapTextSize, 400, part) + 2 * kCapPad);
    if (!tab) break;
    total += kCapGap;
    p = tab + 1;
  }
  return total;
}

float draw_key_cap(Canvas* c, const char* label, float x, float y, float alpha) {
  const float start = x;
  char part[32];
  const char* p = label;
  for (;;) {
    const char* tab = strchr(p, '\t');
    const size_t n = tab ? size_t(tab - p) : strlen(p);
    text_copy(part, n + 1 < sizeof part ? n + 1 : sizeof part, p);
    const float w = std::max(kCapH, text_width(c, kStackDisplay, kCapTextSize, 400, part) + 2 * kCapPad);
    const Rect cap{x, y, w, kCapH};
    draw_rounded(c, Rect{cap.x, cap.y + 1, cap.w, cap.h}, 4.0f, colour_fade(0xFF000000, 0.6f * alpha));
    draw_rounded(c, cap, 4.0f, colour_fade(0xFF423F3E, alpha));
    draw_rounded(c, Rect{cap.x + 1, cap.y + 1, cap.w - 2, cap.h - 2}, 3.0f, colour_fade(kColourSurface, alpha));
    draw_text_centred(c, kStackDisplay, kCapTextSize, 400, part, cap.x + cap.w * 0.5f, cap.y + cap.h * 0.5f,
                      kColourLight, alpha);
    x += w;
    if (!tab) break;
    x += kCapGap;
    p = tab + 1;
  }
  return x - start;
}
