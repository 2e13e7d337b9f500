// Where the drawer's parts lie.
#include "app/drawer/drawer_layout.h"

#include <algorithm>
#include <cmath>

#include "app/shell/app_state.h"
#include "library/player.h"

namespace {

constexpr float kSessionsShare = 0.42f;  // of the width, for the sessions column
constexpr float kSessionsMinW = 240.0f, kSessionsMaxW = 460.0f;
constexpr float kTakesMinW = 120.0f;
constexpr float kTabW = 110.0f;
constexpr float kPlaySize = 30.0f;
constexpr float kLoopW = 60.0f, kRowH = 20.0f;
constexpr float kGainW = 140.0f, kGainLabelW = 96.0f;

PaneLayout pane_layout(const Rect& p) {
  PaneLayout l{};
  l.pane = p;
  const float inner = std::max(p.w - 2 * kDrawerPad, 1.0f);
  l.play = Rect{p.x + kDrawerPad, p.y + 12, kPlaySize, kPlaySize};
  l.title = Rect{l.play.x + kPlaySize + 10, p.y + 12, std::max(inner - kPlaySize - 10, 0.0f), kPlaySize};
  l.wave = Rect{p.x + kDrawerPad, p.y + 50, inner, 60};
  l.zoom = Rect{p.x + kDrawerPad, p.y + 116, inner, 10};
  const float row = p.y + 134;
  l.loop = Rect{p.x + kDrawerPad, row, kLoopW, kRowH};
  l.gain = Rect{p.x + p.w - kDrawerPad - kGainW, row + 6, kGainW, 8};
  l.gain_label = Rect{l.gain.x - kGainLabelW, row, kGainLabelW - 8, kRowH};
  const float text_x = l.loop.x + kLoopW + 14;
  l.text = Rect{text_x, row, std::max(l.gain_label.x - 10 - text_x, 0.0f), kRowH};
  return l;
}

int whole_rows(float h) { return std::max(int(h / float(kDrawerRowHeight)), 0); }

}  // namespace

int drawer_width_from_setting(int lib_w) {
  return lib_w < kDrawerMinW ? kDrawerDefaultW : std::min(lib_w, kDrawerMaxW);
}

void drawer_layout(const Rect& drawer, int full_w, DrawerLayout* out) {
  DrawerLayout& l = *out;
  l = DrawerLayout{};
  const float W = float(std::max(full_w, 1));
  l.shown = drawer;
  l.area = Rect{drawer.x + drawer.w - W, drawer.y, W, drawer.h};
  const Rect& a = l.area;
  l.edge = Rect{drawer.x + drawer.w - kDrawerEdgeGrab, a.y, kDrawerEdgeGrab, a.h};
  l.tabs = Rect{a.x, a.y, W, kDrawerTabsH};
  l.tab_library = Rect{a.x + kDrawerPad, a.y, kTabW, kDrawerTabsH};
  l.tab_files = Rect{a.x + kDrawerPad + kTabW, a.y, kTabW, kDrawerTabsH};
  const float pane_h = std::min(kPaneH, std::max(a.h - kDrawerTabsH, 0.0f));
  l.pane = pane_layout(Rect{a.x, a.y + a.h - pane_h, W, pane_h});
  const float top = a.y + kDrawerTabsH;
  const float lists_h = std::max(a.h - kDrawerTabsH - pane_h, 0.0f);
  l.body = Rect{a.x, top, W, lists_h};
  // A narrow drawer keeps the takes column its least width.
  const float sessions_w = std::min(std::clamp(std::round(W * kSessionsShare), kSessionsMinW, kSessionsMaxW),
                                    std::max(W - kTakesMinW, 0.0f));
  l.sessions_head = Rect{a.x, top, sessions_w, kDrawerHeadH};
  l.sessions = Rect{a.x, top + kDrawerHeadH, sessions_w, std::max(lists_h - kDrawerHeadH, 0.0f)};
  const float tx = a.x + sessions_w + 1;
  const float tw = std::max(W - sessions_w - 1, 0.0f);
  l.takes_head = Rect{tx, top, tw, kDrawerHeadH};
  const float map_h = std::min(kDrawerMapH, std::max(lists_h - kDrawerHeadH, 0.0f));
  l.map = Rect{tx + kDrawerPad, top + kDrawerHeadH, std::max(tw - 2 * kDrawerPad, 0.0f), map_h};
  const float rows_top = top + kDrawerHeadH + map_h + (map_h > 0 ? 6.0f : 0.0f);
  l.takes = Rect{tx, rows_top, tw, std::max(top + lists_h - rows_top, 0.0f)};
  l.visible_sessions = whole_rows(l.sessions.h);
  l.visible_takes = whole_rows(l.takes.h);
}

void drawer_layout_of(const AppState* app, DrawerLayout* out) {
  const Rect& shown = app->ui.layout.drawer;
  float width = float(app->drawer_ui.width > 0 ? app->drawer_ui.width : drawer_width_from_setting(app->settings.lib_w));
  // A window too narrow for the whole drawer (a maximised one does not grow) gets it narrower
  // rather than cut: it is laid out at the share of its width the window gives it.
  if (app->lib_width > 0.5f && shown.w < app->lib_width - 0.5f) width *= shown.w / app->lib_width;
  drawer_layout(shown, int(std::lround(width)), out);
}

Rect drawer_row_rect(const Rect& list, int scroll, int index) {
  return Rect{list.x, list.y + float((index - scroll) * kDrawerRowHeight), list.w, float(kDrawerRowHeight)};
}

int drawer_row_at(const Rect& list, int scroll, int count, float x, float y) {
  if (!list.contains(x, y)) return -1;
  const int row = scroll + int(std::floor((y - list.y) / float(kDrawerRowHeight)));
  return row >= 0 && row < count ? row : -1;
}

double pane_fraction_at(const PaneLayout& l, const Player& p, float x) {
  return p.view_start + double((x - l.wave.x) / std::max(l.wave.w, 1.0f)) * p.zoom;
}

float pane_x_of(const PaneLayout& l, const Player& p, double fraction) {
  return l.wave.x + float((fraction - p.view_start) / std::max(p.zoom, 1e-9)) * l.wave.w;
}

Rect zoom_span_rect(const PaneLayout& l, const Player& p) {
  const float x = l.zoom.x + float(p.view_start) * l.zoom.w;
  return Rect{x, l.zoom.y, std::max(float(p.zoom) * l.zoom.w, 2.0f), l.zoom.h};
}

Rect drawer_menu_rect(const DrawerUi& ui, int content_w, int content_h) {
  const float h = 2 * kMenuPad + float(ui.menu.count) * kMenuItemH;
  const float x = std::clamp(ui.menu_x, 0.0f, std::max(float(content_w) - kMenuW, 0.0f));
  const float y = std::clamp(ui.menu_y, 0.0f, std::max(float(content_h) - h, 0.0f));
  return Rect{x, y, kMenuW, h};
}

int drawer_menu_item_at(const DrawerUi& ui, int content_w, int content_h, float x, float y) {
  const Rect r = drawer_menu_rect(ui, content_w, content_h);
  if (!r.contains(x, y) || y < r.y + kMenuPad) return -1;
  const int i = int(std::floor((y - r.y - kMenuPad) / kMenuItemH));
  return i >= 0 && i < ui.menu.count ? i : -1;
}
