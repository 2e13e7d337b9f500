// The floating panels' content.
#include "app/panels/panel_content.h"

#include "app/panels/options.h"
#include "app/shell/app_state.h"
#include "app/shell/theme.h"
#include "app/shell/window.h"
#include "ui/text.h"

namespace {

void draw_body(Canvas* c, AppState* app, int index, const Rect& body) {
  if (index == kPanelOptions) draw_options_body(c, app, body);
}

}  // namespace

void panel_body_event(AppState* app, const PanelBodyEvent& ev) {
  if (ev.index != kPanelOptions) return;
  if (ev.kind == PanelBodyKind::kPress) options_press(app, ev.body, ev.x, ev.y);
  else if (ev.kind == PanelBodyKind::kWheel) options_wheel(app, ev.notches);
}

void draw_floating_panels(Canvas* c, AppState* app) {
  int order[kPanelCount];
  Rect rects[kPanelCount];
  const int n = panels_attached(app, order, rects);
  for (int k = 0; k < n; ++k) draw_body(c, app, order[k], draw_panel_frame(c, app, order[k], rects[k], false));
}

void draw_detached_panels(AppState* app) {
  for (int i = 0; i < kPanelCount; ++i) {
    FloatingPanel& p = app->panels.panel[i];
    if (!p.window || !panel_shown(app, i) || !window_visible(p.window)) continue;
    Canvas* c = window_canvas(p.window);
    p.drawn_w = float(c->w);
    p.drawn_h = float(c->h);
    draw_clear(c, kColourInk);
    draw_body(c, app, i, draw_panel_frame(c, app, i, Rect{0, 0, p.drawn_w, p.drawn_h}, true));
    text_end_frame(c->text);
    window_present(p.window);
  }
}
