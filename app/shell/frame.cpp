// The window frame's buttons, hit zones and presses.
#include "app/shell/frame.h"

#include <cmath>

#include "app/shell/app_state.h"
#include "app/shell/header.h"
#include "app/panels/panel.h"
#include "app/shell/theme.h"

namespace {

constexpr uint32_t kButtonHoverFill = 0xFF2A2727;
constexpr float kGlyph = 5.0f;  // half the glyph's size

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

HitZone panel_frame_hit(float w, float h, float x, float y) {
  const HitZone edge = resize_edge_at(w, h, x, y);
  if (edge != HitZone::kNormal) return edge;
  return panel_part_at(w, h, x, y) == PanelPart::kTitle ? HitZone::kDrag : HitZone::kNormal;
}

bool frame_take_event(AppState* app, const InputEvent& ev) {
  if (ev.window_id != 0 || ev.kind != InputKind::kMouseDown || ev.button != kMouseLeft) return false;
  // The buttons first: they reach into the top edge.
  switch (header_item_at(app->content_w, ev.x, ev.y)) {
    case HeaderItem::kClose: request_quit(app); return true;
    case HeaderItem::kMinimise:
      if (app->window) window_minimise(app->window);
      return true;
    case HeaderItem::kMaximise:
      if (app->window) window_toggle_maximise(app->window);
      return true;
    default: break;
  }
  const bool maximised = app->window && window_maximised(app->window);
  switch (frame_hit(app->content_w, app->content_h, maximised, ev.x, ev.y)) {
    case HitZone::kNormal: return false;
    case HitZone::kDrag:
      // The system moves the window; a double click maximises or restores it.
      if (ev.clicks >= 2 && app->window) window_toggle_maximise(app->window);
      return true;
    default: return true;  // a resize edge: the system's
  }
}
