// The window's rows and columns.
#include "app/shell/layout.h"

#include <algorithm>

float smoothstep(float x) {
  x = std::clamp(x, 0.0f, 1.0f);
  return x * x * (3.0f - 2.0f * x);
}

float side_panel_width(int content_w, float s) {
  return smoothstep(s) * std::max(float(kSideMinWidth), float(content_w) / 3.0f);
}

void layout_main(int content_w, int content_h, float side_w, MainLayout* out) {
  MainLayout& l = *out;
  l.content_w = std::clamp(content_w, 1, kMaxContentSide);
  l.content_h = std::clamp(content_h, 1, kMaxContentSide);
  const float H = float(l.content_h);
  l.side_w = side_w > 0.5f ? std::min(side_w, float(l.content_w) / 2.0f) : 0.0f;
  l.main_w = float(l.content_w) - (l.side_w > 0 ? l.side_w + kSideGap : 0.0f);
  const float W = l.main_w;
  l.header = Rect{0, 0, W, float(kHeaderH)};
  l.scope = Rect{0, float(kHeaderH), W, std::max(H - kScopeShort, 0.0f)};
  l.trigger_strip = Rect{0, H - 142, W, float(kTriggerStripH)};
  l.button_strip = Rect{0, H - 88, W, float(kButtonStripH)};
  l.foot = Rect{0, H - kFootH, W, float(kFootH)};
  l.side = Rect{float(l.content_w) - l.side_w, float(kHeaderH), l.side_w, H - kHeaderH};
}
