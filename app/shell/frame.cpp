// The window frame's items, hit zones and buttons.
#include "app/shell/frame.h"

#include <cmath>

#include "app/shell/theme.h"

namespace {

constexpr uint32_t kButtonHoverFill = 0xFF2A2727;
constexpr float kGlyph = 5.0f;  // half the glyph's size
// The doors from the left.
constexpr HeaderItem kDoorOrder[4] = {HeaderItem::kDoorLibrary, HeaderItem::kDoorInputs, HeaderItem::kDoorSide,
                                      HeaderItem::kDoorOptions};

}  // namespace

void draw_frame_button(Canvas* c, const Rect& r, FrameButton button, bool hover) {
  if (hover) draw_fill(c, Rect{r.x, r.y, r.w, r.h - 1}, button == FrameButton::kClose ? kColourRed : kButtonHoverFill);
  const uint32_t ink = hover ? kColourBright : kColourGrey;
  const float cx = std::round(r.x + r.w * 0.5f), cy = std::round(r.y + r.h * 0.5f);
  const float g = kGlyph;
  switch (button) {
    case FrameButton::kMinimise: draw_fill(c, Rect{cx - g, cy + 4, 2 * g + 1, 1}, ink); break;
    case FrameButton::kMaximise: draw_outline(c, Rect{cx - g, cy - g, 2 * g + 1, 2 * g + 1}, ink); break;
    case FrameButton::kClose:
      draw_line(c, cx - g, cy - g, cx + g, cy + g, ink);
      draw_line(c, cx - g, cy + g, cx + g, cy - g, ink);
      break;
    case FrameButton::kDetach:
      // A small box with an arrow leaving it toward the top right.
      draw_outline(c, Rect{cx - g, cy - 1, 7, 7}, ink);
      draw_line(c, cx - 1, cy + 1, cx + g, cy - g, ink);
      draw_line(c, cx + 1, cy - g, cx + g, cy - g, ink);
      draw_line(c, cx + g, cy - g, cx + g, cy - 1, ink);
      break;
    case FrameButton::kDock:
      // A window with its corner filled: the panel goes back inside.
      draw_outline(c, Rect{cx - g, cy - g, 2 * g + 1, 2 * g + 1}, ink);
      draw_fill(c, Rect{cx - g, cy + 1, 6, g}, ink);
      break;
  }
}

HitZone resize_edge_at(float w, float h, float x, float y) {
  const bool left = x < kResizeEdge, right = x >= w - kResizeEdge;
  const bool top = y < kResizeEdge, bottom = y >= h - kResizeEdge;
  if (top && left) return HitZone::kTopLeft;
  if (top && right) return HitZone::kTopRight;
  if (bottom && left) return HitZone::kBottomLeft;
  if (bottom && right) return HitZone::kBottomRight;
  if (left) return HitZone::kLeft;
  if (right) return HitZone::kRight;
  if (top) return HitZone::kTop;
  if (bottom) return HitZone::kBottom;
  return HitZone::kNormal;
}

Rect header_item_rect(int content_w, HeaderItem item) {
  const float w = float(content_w);
  switch (item) {
    case HeaderItem::kClose: return Rect{w - kWindowButtonW, 0, kWindowButtonW, float(kHeaderH)};
    case HeaderItem::kMaximise: return Rect{w - 2 * kWindowButtonW, 0, kWindowButtonW, float(kHeaderH)};
    case HeaderItem::kMinimise: return Rect{w - 3 * kWindowButtonW, 0, kWindowButtonW, float(kHeaderH)};
    case HeaderItem::kNone: return Rect{0, 0, 0, 0};
    default: break;
  }
  for (int i = 0; i < 4; ++i)
    if (kDoorOrder[i] == item) return Rect{kDoorsLeft + float(i) * kDoorW, 0, kDoorW, float(kHeaderH)};
  return Rect{0, 0, 0, 0};
}

HeaderItem header_item_at(int content_w, float x, float y) {
  if (y < 0 || y >= kHeaderH) return HeaderItem::kNone;
  static constexpr HeaderItem kItems[] = {HeaderItem::kClose,       HeaderItem::kMaximise,   HeaderItem::kMinimise,
                                          HeaderItem::kDoorLibrary, HeaderItem::kDoorInputs, HeaderItem::kDoorSide,
                                          HeaderItem::kDoorOptions};
  for (HeaderItem item : kItems)
    if (header_item_rect(content_w, item).contains(x, y)) return item;
  return HeaderItem::kNone;
}

HitZone frame_hit(int content_w, int content_h, bool maximised, float x, float y) {
  const float w = float(content_w), h = float(content_h);
  if (!maximised) {
    const HitZone edge = resize_edge_at(w, h, x, y);
    if (edge != HitZone::kNormal) return edge;
  }
  if (y < kHeaderH && header_item_at(content_w, x, y) == HeaderItem::kNone) return HitZone::kDrag;
  return HitZone::kNormal;
}
