// The window's rows and columns.
#include "app/shell/layout.h"

#include <algorithm>
#include <cmath>

float smoothstep(float x) {
  x = std::clamp(x, 0.0f, 1.0f);
  return x * x * (3.0f - 2.0f * x);
}

float side_panel_width(int content_w, float s) {
  return smoothstep(s) * std::max(float(kSideMinWidth), float(content_w) / 3.0f);
}

void layout_main(int content_w, int content_h, float side_w, MainLayout* out, float drawer_w) {
  MainLayout& l = *out;
  l.content_w = std::clamp(content_w, 1, kMaxContentSide);
  l.content_h = std::clamp(content_h, 1, kMaxContentSide);
  const float H = float(l.content_h);
  const float most = std::max(float(l.content_w - kMainMinWidth), 0.0f);
  l.drawer_w = drawer_w >= 1.0f ? std::floor(std::min(drawer_w, most)) : 0.0f;
  const float X = l.drawer_w;
  const float rest = float(l.content_w) - X;
  l.side_w = side_w > 0.5f ? std::min(side_w, rest / 2.0f) : 0.0f;
  l.main_w = rest - (l.side_w > 0 ? l.side_w + kSideGap : 0.0f);
  const float W = l.main_w;
  l.header = Rect{X, 0, W, float(kHeaderH)};
  l.scope = Rect{X, float(kHeaderH), W, std::max(H - kScopeShort, 0.0f)};
  l.trigger_strip = Rect{X, H - 142, W, float(kTriggerStripH)};
  l.button_strip = Rect{X, H - 88, W, float(kButtonStripH)};
  l.foot = Rect{X, H - kFootH, W, float(kFootH)};
  l.side = Rect{float(l.content_w) - l.side_w, float(kHeaderH), l.side_w, H - kHeaderH};
  l.drawer = Rect{0, float(kHeaderH), X, std::max(H - kHeaderH, 0.0f)};
}
