// The visualiser slots resolved for a frame, and colour arithmetic.
#include "app/shell/theme.h"

#include <algorithm>
#include <cmath>

void theme_resolve(const Settings& s, Theme* out) {
  for (int i = 0; i < kVisColorSlots; ++i) {
    const int choice = s.vis_color[i];
    out->slot[i] = choice >= 1 && choice < kVisColorChoices ? kVisPalette[choice - 1] : kVisSlotDefaults[i];
  }
  out->background_set = s.vis_color[kSlotVisualBackground] >= 1 && s.vis_color[kSlotVisualBackground] < kVisColorChoices;
}

uint32_t colour_mix(uint32_t a, uint32_t b, float t) {
  t = std::clamp(t, 0.0f, 1.0f);
  uint32_t out = 0;
  for (int shift = 0; shift < 32; shift += 8) {
    const float ca = float((a >> shift) & 0xFF), cb = float((b >> shift) & 0xFF);
    out |= uint32_t(std::lround(ca + (cb - ca) * t)) << shift;
  }
  return out;
}

uint32_t colour_fade(uint32_t c, float f) {
  f = std::clamp(f, 0.0f, 1.0f);
  const uint32_t alpha = uint32_t(std::lround(float(c >> 24) * f));
  return (c & 0x00FFFFFFu) | (alpha << 24);
}
