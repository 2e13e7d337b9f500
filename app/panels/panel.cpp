// The floating panels: the panel block, placement, dragging, detaching and drawing.
#include "app/panels/panel.h"

#include <algorithm>
#include <cmath>

#include "app/shell/app_state.h"
#include "app/shell/frame.h"
#include "app/shell/theme.h"
#include "app/shell/window.h"
#include "config/log.h"
#include "platform/text.h"
#include "ui/text.h"

namespace {

const char* const kTitles[kPanelCount] = {"OPTIONS", "TOLM ZEPHA", "LIBRARY"};
constexpr float kPanelRadius = 6.0f;
constexpr float kSlidePixels = 24.0f;  // an opening panel slides up this far on the panel spring
constexpr uint32_t kPanelShadow = 0xFF000000;

bool sane_window_size(int w, int h) {
  return w >= kPanelWindowMinW && h >= kPanelWindowMinH && w <= kPanelWindowMaxSide && h <= kPanelWindowMaxSide;
}

void bring_to_top(PanelSet* s, int index) { s->raised[index] = ++s->raises; }

// Panel indexes from the bottom of the stack to its top.
void stacking(const PanelSet& s, int* order) {
  for (int i = 0; i < kPanelCount; ++i) order[i] = i;
  std::stable_sort(order, order + kPanelCount, [&](int a, int b) { return s.raised[a] < s.raised[b]; });
}

HitZone window_hit(void* ctx, float x, float y) {
  const auto* p = static_cast<const FloatingPanel*>(ctx);
  return panel_frame_hit(p->drawn_w, p->drawn_h, x, y);
}

Rect body_of(const Rect& r) { return Rect{r.x, r.y + kPanelTitleH, r.w, std::max(r.h - kPanelTitleH, 0.0f)}; }

// A detached panel's window: placed where it was, else over the panel's place in the main window.
bool open_window(AppState* app, int index) {
  FloatingPanel& p = app->panels.panel[index];
  if (p.window) return true;
  if (!sane_window_size(p.win_w, p.win_h)) {
    int mx = 0, my = 0, mw = 0, mh = 0;
    if (app->window) window_geometry(app->window, &mx, &my, &mw, &mh);
    const Rect r = panel_rect(p, app->content_w, app->content_h);
    p.win_x = mx + int(r.x);
    p.win_y = my + int(r.y);
    p.win_w = std::max(p.w, kPanelWindowMinW);
    p.win_h = std::max(p.h, kPanelWindowMinH);
  }
  char title[64];
  // Not "tolm ZEPHA ..." first: that names the main window.
  text_format(title, sizeof title, "%s - tolm", kTitles[index]);
  p.drawn_w = float(p.win_w);
  p.drawn_h = float(p.win_h);
  if (window_open_panel(title, p.win_x, p.win_y, p.win_w, p.win_h, WindowCallbacks{nullptr, window_hit, &p},
                        &p.window) != 0) {
    log_line("ui: the %s panel's own window could not be made - it stays inside", kTitles[index]);
    p.window = nullptr;
    return false;
  }
  p.window_id = window_id(p.window);
  return true;
}

void close_window(FloatingPanel* p) {
  if (!p->window) return;
  int x = 0, y = 0, w = 0, h = 0;
  window_geometry(p->window, &x, &y, &w, &h);
  if (sane_window_size(w, h)) p->win_x = x, p->win_y = y, p->win_w = w, p->win_h = h;
  window_close_panel(p->window);
  p->window = nullptr;
  p->window_id = 0;
  p->hover = PanelPart::kNone;
}

bool shown(const FloatingPanel& p, int index) { return p.open && panel_has_content(index); }

void body_event(PanelBodyEvent* out, PanelBodyKind kind, int index, const Rect& body, const InputEvent& ev) {
  *out = PanelBodyEvent{kind, index, body, ev.x, ev.y, ev.wheel_y != 0.0f ? ev.wheel_y : ev.wheel_x};
}

}  // namespace

bool panel_shown(const AppState* app, int index) {
  return index >= 0 && index < kPanelCount && shown(app->panels.panel[index], index);
}

const char* panel_title(int index) { return index >= 0 && index < kPanelCount ? kTitles[index] : ""; }

// Only the options panel has its content in this build; the training panel (TOLM) and the library
// browser keep their stored geometry untouched until theirs arrives.
bool panel_has_content(int index) { return index == kPanelOptions; }

void panels_init(PanelSet* s) {
  for (int i = 0; i < kPanelCount; ++i) {
    FloatingPanel& p = s->panel[i];
    p = FloatingPanel{};
    p.x = kPanelOriginX + kPanelStepX * i;
    p.y = kPanelOriginY + kPanelStepY * i;
    p.w = kPanelDefaultW[i];
    p.h = kPanelDefaultH[i];
    s->raised[i] = 0;
  }
  s->raises = 0;
}

void panels_restore(PanelSet* s, const Settings& settings) {
  for (int i = 0; i < kPanelCount; ++i) {
    const int* v = settings.panel[i];
    const bool stored = i == kPanelLibrary ? v[kPanelOpen] && v[kPanelDetached]
                                           : v[kPanelX] || v[kPanelY] || v[kPanelOpen] || v[kPanelDetached];
    if (!stored) continue;
    FloatingPanel& p = s->panel[i];
    p.x = v[kPanelX];
    p.y = v[kPanelY];
    p.open = v[kPanelOpen] != 0;
    p.detached = v[kPanelDetached] != 0;
    p.win_x = v[kPanelWinX];
    p.win_y = v[kPanelWinY];
    p.win_w = v[kPanelWinW];
    p.win_h = v[kPanelWinH];
  }
}

void panels_collect(const PanelSet& s, Settings* settings) {
  for (int i = 0; i < kPanelCount; ++i) {
    const FloatingPanel& p = s.panel[i];
    int* v = settings->panel[i];
    v[kPanelX] = p.x;
    v[kPanelY] = p.y;
    v[kPanelOpen] = p.open ? 1 : 0;
    v[kPanelDetached] = p.detached ? 1 : 0;
    v[kPanelWinX] = p.win_x;
    v[kPanelWinY] = p.win_y;
    v[kPanelWinW] = p.win_w;
    v[kPanelWinH] = p.win_h;
  }
}

Rect panel_rect(const FloatingPanel& p, int cw, int ch) {
  // Below the header: the title strip and the window buttons stay the frame's.
  const int top = std::min(kHeaderH, std::max(ch - 1, 0));
  const float w = float(std::clamp(p.w, 1, std::max(cw, 1)));
  const float h = float(std::clamp(p.h, 1, std::max(ch - top, 1)));
  const float x = std::clamp(float(p.x), 0.0f, std::max(float(cw) - w, 0.0f));
  const float y = std::clamp(float(p.y), float(top), std::max(float(ch) - h, float(top)));
  return Rect{x, y, w, h};
}

Rect panel_button_rect(float w, PanelPart part) {
  if (part == PanelPart::kClose) return Rect{w - kPanelButtonW, 0, kPanelButtonW, kPanelTitleH};
  if (part == PanelPart::kDetach) return Rect{w - 2 * kPanelButtonW, 0, kPanelButtonW, kPanelTitleH};
  return Rect{0, 0, 0, 0};
}

HitZone panel_frame_hit(float w, float h, float x, float y) {
  const HitZone edge = resize_edge_at(w, h, x, y);
  if (edge != HitZone::kNormal) return edge;
  return panel_part_at(w, h, x, y) == PanelPart::kTitle ? HitZone::kDrag : HitZone::kNormal;
}

PanelPart panel_part_at(float w, float h, float x, float y) {
  if (x < 0 || y < 0 || x >= w || y >= h) return PanelPart::kNone;
  if (y >= kPanelTitleH) return PanelPart::kBody;
  if (panel_button_rect(w, PanelPart::kClose).contains(x, y)) return PanelPart::kClose;
  if (panel_button_rect(w, PanelPart::kDetach).contains(x, y)) return PanelPart::kDetach;
  return PanelPart::kTitle;
}

void panels_start(AppState* app) {
  for (int i = 0; i < kPanelCount; ++i) {
    FloatingPanel& p = app->panels.panel[i];
    if (shown(p, i) && p.detached && !open_window(app, i)) p.detached = false;
  }
  if (panel_shown(app, kPanelOptions)) spring_init(&app->ui.panel_spring, 1.0f, kPanelSpringK, kPanelSpringZ);
}

void panels_stop(AppState* app) {
  for (FloatingPanel& p : app->panels.panel) close_window(&p);
}

void panels_collect_into_settings(AppState* app) {
  for (FloatingPanel& p : app->panels.panel) {
    if (!p.window) continue;
    int x = 0, y = 0, w = 0, h = 0;
    window_geometry(p.window, &x, &y, &w, &h);
    if (sane_window_size(w, h)) p.win_x = x, p.win_y = y, p.win_w = w, p.win_h = h;
  }
  panels_collect(app->panels, &app->settings);
}

void panel_open(AppState* app, int index) {
  if (index < 0 || index >= kPanelCount) return;
  FloatingPanel& p = app->panels.panel[index];
  const bool was_open = p.open;
  p.open = true;
  bring_to_top(&app->panels, index);
  if (p.detached && !open_window(app, index)) p.detached = false;
  if (!was_open && !p.detached) {
    Spring& s = app->ui.panel_spring;
    s.position = app->reduce_motion ? 1.0f : 0.0f;
    s.velocity = 0.0f;
    s.target = 1.0f;
  }
}

void panel_close(AppState* app, int index) {
  if (index < 0 || index >= kPanelCount) return;
  FloatingPanel& p = app->panels.panel[index];
  p.open = false;
  p.dragging = false;
  p.hover = PanelPart::kNone;
  close_window(&p);  // a detached panel opens detached again
}

void panel_detach(AppState* app, int index) {
  if (index < 0 || index >= kPanelCount) return;
  FloatingPanel& p = app->panels.panel[index];
  if (p.detached) return;
  p.dragging = false;
  if (open_window(app, index)) p.detached = true;
}

void panel_dock(AppState* app, int index) {
  if (index < 0 || index >= kPanelCount) return;
  FloatingPanel& p = app->panels.panel[index];
  close_window(&p);
  p.detached = false;
  bring_to_top(&app->panels, index);
}

bool panels_take_event(AppState* app, const InputEvent& ev, PanelBodyEvent* body) {
  *body = PanelBodyEvent{};
  PanelSet& set = app->panels;
  const bool key = ev.kind == InputKind::kKeyDown || ev.kind == InputKind::kKeyUp;
  if (ev.window_id != 0) {
    // A detached panel's window: its pointer events are its own, its keys go the usual way.
    if (key || ev.kind == InputKind::kFocusLost) return false;
    for (int i = 0; i < kPanelCount; ++i) {
      FloatingPanel& p = set.panel[i];
      if (!p.window || p.window_id != ev.window_id) continue;
      const PanelPart part = panel_part_at(p.drawn_w, p.drawn_h, ev.x, ev.y);
      switch (ev.kind) {
        case InputKind::kWindowClose: panel_close(app, i); break;
        case InputKind::kMouseMove: p.hover = part; break;
        case InputKind::kMouseLeave: p.hover = PanelPart::kNone; break;
        case InputKind::kMouseDown:
          if (ev.button != kMouseLeft) break;
          if (part == PanelPart::kClose) panel_close(app, i);
          else if (part == PanelPart::kDetach) panel_dock(app, i);
          else if (part == PanelPart::kBody)
            body_event(body, PanelBodyKind::kPress, i, body_of(Rect{0, 0, p.drawn_w, p.drawn_h}), ev);
          break;
        case InputKind::kWheel: body_event(body, PanelBodyKind::kWheel, i, Rect{}, ev); break;
        default: break;
      }
      return true;
    }
    return true;  // a window that is already gone: nothing of the main view's
  }
  if (key) return false;

  const int cw = app->content_w, ch = app->content_h;
  int order[kPanelCount];
  stacking(set, order);
  for (int k = kPanelCount - 1; k >= 0; --k) {
    const int i = order[k];
    FloatingPanel& p = set.panel[i];
    if (!shown(p, i) || p.detached) continue;
    const Rect r = panel_rect(p, cw, ch);
    const bool inside = r.contains(ev.x, ev.y);
    const PanelPart part = panel_part_at(r.w, r.h, ev.x - r.x, ev.y - r.y);
    switch (ev.kind) {
      case InputKind::kMouseDown:
        if (!inside) break;
        bring_to_top(&set, i);
        if (ev.button != kMouseLeft) return true;
        if (part == PanelPart::kClose) {
          panel_close(app, i);
        } else if (part == PanelPart::kDetach) {
          panel_detach(app, i);
        } else if (part == PanelPart::kTitle) {
          p.dragging = true;
          p.grab_x = ev.x - r.x;
          p.grab_y = ev.y - r.y;
        } else {
          body_event(body, PanelBodyKind::kPress, i, body_of(r), ev);
        }
        return true;
      case InputKind::kMouseMove:
        if (p.dragging) {
          // Kept inside the window, so the title strip can always be reached again.
          const float top = float(kHeaderH);
          p.x = int(std::lround(std::clamp(ev.x - p.grab_x, 0.0f, std::max(float(cw) - r.w, 0.0f))));
          p.y = int(std::lround(std::clamp(ev.y - p.grab_y, top, std::max(float(ch) - r.h, top))));
          return true;
        }
        p.hover = inside ? part : PanelPart::kNone;
        // Over a panel the main view sees the pointer leave (no hover or key caps through the
        // panel), unless it is dragging something of its own.
        if (inside && !app->ui.left_down) {
          app->ui.pointer_x = app->ui.pointer_y = -1.0f;
          return true;
        }
        break;
      case InputKind::kMouseLeave: p.hover = PanelPart::kNone; break;
      case InputKind::kMouseUp:
        if (p.dragging) {
          p.dragging = false;
          return true;
        }
        break;
      case InputKind::kWheel:
        if (!inside) break;
        body_event(body, PanelBodyKind::kWheel, i, Rect{}, ev);
        return true;
      default: break;
    }
  }
  return false;
}

Rect draw_panel_frame(Canvas* c, const AppState* app, int index, const Rect& r, bool own_window) {
  const FloatingPanel& p = app->panels.panel[index];
  if (own_window) {
    draw_fill(c, r, kColourPanel);
    draw_outline(c, r, kColourRule);
  } else {
    draw_glow(c, r, kPanelRadius, 18.0f, kPanelShadow, 0.55f);
    draw_rounded(c, r, kPanelRadius, kColourRule);
    draw_rounded(c, Rect{r.x + 1, r.y + 1, r.w - 2, r.h - 2}, kPanelRadius - 1, kColourPanel);
  }
  const Rect title{r.x, r.y, r.w, kPanelTitleH};
  draw_fill(c, Rect{title.x + 1, title.y + title.h - 1, title.w - 2, 1}, kColourRule);
  draw_text_centred(c, kStackDisplay, 16, 400, kTitles[index],
                    r.x + 14 + text_width(c, kStackDisplay, 16, 400, kTitles[index]) * 0.5f, title.y + title.h * 0.5f,
                    kColourSilver);
  const Rect detach = panel_button_rect(r.w, PanelPart::kDetach);
  const Rect close = panel_button_rect(r.w, PanelPart::kClose);
  draw_frame_button(c, Rect{r.x + detach.x, r.y + detach.y, detach.w, detach.h},
                    own_window ? FrameButton::kDock : FrameButton::kDetach, p.hover == PanelPart::kDetach);
  draw_frame_button(c, Rect{r.x + close.x, r.y + close.y, close.w, close.h}, FrameButton::kClose,
                    p.hover == PanelPart::kClose);
  return body_of(r);
}

int panels_attached(const AppState* app, int order[kPanelCount], Rect rects[kPanelCount]) {
  const PanelSet& set = app->panels;
  int stack[kPanelCount];
  stacking(set, stack);
  int n = 0;
  for (int k = 0; k < kPanelCount; ++k) {
    const int i = stack[k];
    const FloatingPanel& p = set.panel[i];
    if (!shown(p, i) || p.detached) continue;
    Rect r = panel_rect(p, app->content_w, app->content_h);
    if (i == kPanelOptions) {
      const float shown_part = std::clamp(app->ui.panel_spring.position, 0.0f, 1.0f);
      r.y += std::round((1.0f - shown_part) * kSlidePixels);
    }
    order[n] = i;
    rects[n] = r;
    ++n;
  }
  return n;
}
