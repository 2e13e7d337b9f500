// The drawer's keys, pointer, menu, slide and per-frame pump.
#include "app/drawer/drawer_control.h"

#include <algorithm>
#include <cmath>

#include "app/drawer/drawer_layout.h"
#include "app/drawer/files_control.h"
#include "app/shell/desktop.h"
#include "app/shell/steps.h"
#include "app/shell/window.h"
#include "config/log.h"
#include "platform/clock.h"
#include "platform/text.h"
#include "sessions/library_scan.h"

namespace {

bool library_tab(const AppState* app) { return app->drawer.drawer_tab == kDrawerLibraryTab; }

int loaded_takes(const LibraryDrawer& d) {
  return d.takes_session >= 0 && d.takes_session == d.session_sel ? d.take_count : 0;
}

DrawerKey drawer_key_of(int key) {
  switch (key) {
    case kKeyTab: return kDrawerKeyTab;
    case kKeyEnter: return kDrawerKeyEnter;
    case kKeySpace: return kDrawerKeySpace;
    case kKeyEscape: return kDrawerKeyEscape;
    case kKeyB: return kDrawerKeyB;
    case kKeyC: return kDrawerKeyC;
    case kKeyO: return kDrawerKeyO;
    case kKeyDelete: return kDrawerKeyDelete;
    case kKeyUp: return kDrawerKeyUp;
    case kKeyDown: return kDrawerKeyDown;
    case kKeyLeft: return kDrawerKeyLeft;
    case kKeyRight: return kDrawerKeyRight;
    default: return kDrawerKeyOther;
  }
}

bool arrow(int key) { return key == kKeyUp || key == kKeyDown || key == kKeyLeft || key == kKeyRight; }

void close_menu(DrawerUi* ui) {
  ui->menu_open = false;
  ui->menu_sel = -1;
}

void open_menu(AppState* app, DrawerList list, int index, bool from_keyboard, float x, float y) {
  DrawerUi& ui = app->drawer_ui;
  library_menu(&app->drawer, &app->recorder, list, index, from_keyboard, &ui.menu);
  ui.menu_open = ui.menu.count > 0;
  ui.menu_x = x, ui.menu_y = y;
  ui.menu_sel = -1;
  if (from_keyboard)
    for (int i = 0; i < ui.menu.count && ui.menu_sel < 0; ++i)
      if (ui.menu.items[i].enabled) ui.menu_sel = i;
}

void choose(AppState* app, int item) {
  DrawerUi& ui = app->drawer_ui;
  if (item < 0 || item >= ui.menu.count || !ui.menu.items[item].enabled) return;
  const DrawerMenu menu = ui.menu;
  close_menu(&ui);
  drawer_finish(app, library_menu_choose(&app->drawer, &app->recorder, &app->player, menu, menu.items[item].id));
}

// Up and Down walk the enabled items, Enter and Space choose, anything else closes the menu.
void menu_key(AppState* app, const InputEvent& ev) {
  DrawerUi& ui = app->drawer_ui;
  if (ev.key == kKeyUp || ev.key == kKeyDown) {
    const int step = ev.key == kKeyDown ? 1 : -1;
    for (int i = ui.menu_sel + step; i >= 0 && i < ui.menu.count; i += step)
      if (ui.menu.items[i].enabled) {
        ui.menu_sel = i;
        break;
      }
    if (ui.menu_sel < 0) ui.menu_sel = step > 0 ? 0 : ui.menu.count - 1;
    return;
  }
  if (ev.repeat) return;
  if (ev.key == kKeyEnter || ev.key == kKeySpace) choose(app, ui.menu_sel);
  else close_menu(&ui);
}

// The play button: the pane's file plays or pauses (a silent landing is let go); with nothing
// loaded the selection plays, as Enter does.
void play_pause(AppState* app) {
  Player& p = app->player;
  if (p.current_path[0]) {
    player_play_item(&p, p.current_path, nullptr);
    if (player_is_playing(&p)) step_done(app, kStepLibraryPlay);
  }
  else if (library_tab(app)) drawer_finish(app, library_key(&app->drawer, &app->recorder, &p, kDrawerKeyEnter));
}

double unit(double x) { return std::clamp(x, 0.0, 1.0); }

void drag_to(AppState* app, const DrawerLayout& dl, float x) {
  DrawerUi& ui = app->drawer_ui;
  Player& p = app->player;
  const PaneLayout& pl = dl.pane;
  const double at_zoom = double((x - pl.zoom.x) / std::max(pl.zoom.w, 1.0f));
  double start = 0, end = 1;
  switch (ui.drag) {
    case DrawerDrag::kSeek: player_seek_in_view(&p, double((x - pl.wave.x) / std::max(pl.wave.w, 1.0f))); break;
    case DrawerDrag::kLoopStart:
    case DrawerDrag::kLoopEnd: {
      player_region(&p, p.current_path, &start, &end);
      const double f = unit(pane_fraction_at(pl, p, x));
      // A marker stops short of the other one: the region keeps its least width.
      if (ui.drag == DrawerDrag::kLoopStart) player_move_marker(&p, false, std::min(f, end - kMinRegionWidth));
      else player_move_marker(&p, true, std::max(f, start + kMinRegionWidth));
      break;
    }
    case DrawerDrag::kGain: player_set_gain(&p, (x - pl.gain.x) / std::max(pl.gain.w, 1.0f)); break;
    case DrawerDrag::kZoomMove: {
      const double from = std::clamp(at_zoom - double(ui.grab), 0.0, 1.0 - p.zoom);
      player_set_view(&p, from, from + p.zoom);
      break;
    }
    case DrawerDrag::kZoomStart:
      player_set_view(&p, std::min(unit(at_zoom), ui.span_end - kMinZoom), ui.span_end);
      break;
    case DrawerDrag::kZoomEnd:
      player_set_view(&p, ui.span_start, std::max(unit(at_zoom), ui.span_start + kMinZoom));
      break;
    case DrawerDrag::kResize:
    case DrawerDrag::kNone: break;
  }
}

void pane_press(AppState* app, const DrawerLayout& dl, const InputEvent& ev) {
  DrawerUi& ui = app->drawer_ui;
  Player& p = app->player;
  const PaneLayout& pl = dl.pane;
  const float x = ev.x, y = ev.y;
  if (pl.play.contains(x, y)) {
    play_pause(app);
    return;
  }
  if (pl.loop.contains(x, y)) {
    player_toggle_loop(&p);
    return;
  }
  const Rect gain{pl.gain.x - 6, pl.gain_label.y, pl.gain.w + 12, pl.gain_label.h};
  if (gain.contains(x, y)) {
    if (ev.clicks >= 2) {
      player_set_gain(&p, 1.0f);
      return;
    }
    ui.drag = DrawerDrag::kGain;
    drag_to(app, dl, x);
    return;
  }
  if (!player_has_audio(&p)) return;
  const Rect zoom{pl.zoom.x, pl.zoom.y - 4, pl.zoom.w, pl.zoom.h + 8};
  if (zoom.contains(x, y)) {
    const Rect span = zoom_span_rect(pl, p);
    ui.span_start = p.view_start;
    ui.span_end = p.view_start + p.zoom;
    const double at = double((x - pl.zoom.x) / std::max(pl.zoom.w, 1.0f));
    if (std::fabs(x - span.x) <= kZoomEdgeGrab) {
      ui.drag = DrawerDrag::kZoomStart;
    } else if (std::fabs(x - (span.x + span.w)) <= kZoomEdgeGrab) {
      ui.drag = DrawerDrag::kZoomEnd;
    } else {
      // Inside the span it moves with the pointer; outside, the span is first centred there.
      ui.drag = DrawerDrag::kZoomMove;
      ui.grab = span.contains(x, span.y) ? float(at - p.view_start) : float(p.zoom * 0.5);
      drag_to(app, dl, x);
    }
    return;
  }
  if (!pl.wave.contains(x, y)) return;
  double start = 0, end = 1;
  player_region(&p, p.current_path, &start, &end);
  const bool near_start = std::fabs(x - pane_x_of(pl, p, start)) <= kMarkerGrab;
  const bool near_end = std::fabs(x - pane_x_of(pl, p, end)) <= kMarkerGrab;
  if (near_start || near_end) {
    // The nearer of the two when both are close (a narrow region in a wide view).
    const bool take_end =
        near_end && (!near_start || std::fabs(x - pane_x_of(pl, p, end)) < std::fabs(x - pane_x_of(pl, p, start)));
    if (ev.clicks >= 2) player_reset_marker(&p, take_end);
    else ui.drag = take_end ? DrawerDrag::kLoopEnd : DrawerDrag::kLoopStart;
    return;
  }
  ui.drag = DrawerDrag::kSeek;
  drag_to(app, dl, x);
}

void left_press(AppState* app, const DrawerLayout& dl, const InputEvent& ev) {
  LibraryDrawer& d = app->drawer;
  Recorder& r = app->recorder;
  const float x = ev.x, y = ev.y;
  if (dl.tab_library.contains(x, y) || dl.tab_files.contains(x, y)) {
    d.drawer_tab = dl.tab_files.contains(x, y) ? kDrawerFilesTab : kDrawerLibraryTab;
    d.takes_focus = false;
    return;
  }
  if (dl.pane.pane.contains(x, y)) {
    pane_press(app, dl, ev);
    return;
  }
  if (!library_tab(app)) return;
  int row = drawer_row_at(dl.sessions, d.session_scroll, r.library.row_count, x, y);
  DrawerList list = kDrawerSessions;
  if (row < 0) {
    row = drawer_row_at(dl.takes, d.take_scroll, loaded_takes(d), x, y);
    list = kDrawerTakes;
  }
  if (row < 0 && dl.map.contains(x, y)) {
    // The map picks the take it shows under the pointer.
    if (const MapView* m = drawer_map(&d, &r)) {
      const float f = (x - dl.map.x) / std::max(dl.map.w, 1.0f);
      for (int i = 0; i < m->take_count; ++i)
        if (m->starts[i] <= f) row = i;
    }
  }
  if (row < 0) return;
  library_select(&d, &r, list, row);
  if (ev.clicks >= 2) drawer_finish(app, library_key(&d, &r, &app->player, kDrawerKeyEnter));
}

void right_press(AppState* app, const DrawerLayout& dl, const InputEvent& ev) {
  if (!library_tab(app) || dl.pane.pane.contains(ev.x, ev.y)) return;
  const LibraryDrawer& d = app->drawer;
  const Recorder& r = app->recorder;
  DrawerList list = kDrawerNoList;
  int row = drawer_row_at(dl.sessions, d.session_scroll, r.library.row_count, ev.x, ev.y);
  if (row >= 0) {
    list = kDrawerSessions;
  } else if ((row = drawer_row_at(dl.takes, d.take_scroll, loaded_takes(d), ev.x, ev.y)) >= 0) {
    list = kDrawerTakes;
  }
  open_menu(app, list, row, false, ev.x, ev.y);
}

bool menu_pointer(AppState* app, const InputEvent& ev) {
  DrawerUi& ui = app->drawer_ui;
  const int item = drawer_menu_item_at(ui, app->content_w, app->content_h, ev.x, ev.y);
  switch (ev.kind) {
    case InputKind::kMouseMove:
      if (item >= 0) ui.menu_sel = item;
      return drawer_menu_rect(ui, app->content_w, app->content_h).contains(ev.x, ev.y);
    case InputKind::kMouseDown:
      // Any press ends the menu; one on an enabled item chooses it.
      if (item >= 0 && ev.button == kMouseLeft) choose(app, item);
      else close_menu(&ui);
      return true;
    case InputKind::kWheel: return true;
    default: return false;
  }
}

}  // namespace

void drawer_open(AppState* app, bool at_once) {
  DrawerUi& ui = app->drawer_ui;
  if (ui.width <= 0) ui.width = drawer_width_from_setting(app->settings.lib_w);
  const bool was_open = ui.open;
  ui.open = true;
  ui.focus = true;
  ui.hover_row = -1;
  ui.hover_list = kDrawerNoList;
  if (at_once || app->reduce_motion) ui.slide = 1.0f;
  scan_library(&app->recorder);
  if (!was_open) log_line("library: drawer open - %d tolms", app->recorder.library.row_count);
}

void drawer_close(AppState* app) {
  DrawerUi& ui = app->drawer_ui;
  if (ui.open) log_line("library: drawer closed");
  ui.open = false;
  ui.focus = false;
  ui.drag = DrawerDrag::kNone;
  close_menu(&ui);
}

void drawer_toggle(AppState* app) {
  if (app->drawer_ui.open) drawer_close(app);
  else drawer_open(app, false);
}

void drawer_start(AppState* app) {
  const Settings& s = app->settings;
  app->drawer_ui.width = drawer_width_from_setting(s.lib_w);
  app->drawer_ui.hover_row = app->drawer_ui.menu_sel = -1;
  app->drawer.drawer_tab = s.lib_tab == 1 ? kDrawerFilesTab : kDrawerLibraryTab;
  if (player_start(&app->player, s.lib_gain, s.lib_zoom_s) != 0)
    log_line("library: the player could not start - nothing plays");
  player_attach_output(&app->player, true);
  RecorderHooks& h = app->recorder.hooks;
  h.stop_playback = PlaybackHook{player_stop_hook, &app->player};
  h.library_row_updated = RowHook{drawer_row_updated, &app->drawer};
  files_start(app);
}

void drawer_stop(AppState* app) {
  files_stop(app);
  drawer_shutdown(&app->drawer);
}

void drawer_update(AppState* app, uint32_t now_ms) {
  Player& p = app->player;
  DrawerUi& ui = app->drawer_ui;
  player_update(&p);
  if (player_has_audio(&p)) player_feed_spectrum(&p, now_ms);
  // A file heard from either tab (the files tab plays through its own model) counts.
  if (ui.open && player_is_playing(&p)) step_done(app, kStepLibraryPlay);
  DrawerLayout dl;
  drawer_layout_of(app, &dl);
  DrawerFrame f{};
  f.shown = ui.open;
  f.now_seconds = int64_t(wall_seconds());
  f.visible_sessions = std::max(dl.visible_sessions, 1);
  f.visible_takes = std::max(dl.visible_takes, 1);
  library_update(&app->drawer, &app->recorder, &p, f);
  files_frame(app, dl, now_ms);

  Settings& s = app->settings;
  float gain = 0;
  if (player_gain_setting(&p, &gain)) s.lib_gain = gain;
  if (p.zoom_seconds > 0) s.lib_zoom_s = float(p.zoom_seconds);
  s.lib_tab = app->drawer.drawer_tab == kDrawerFilesTab ? 1 : 0;
  s.br_open = ui.open ? 1 : 0;
}

void drawer_animate(AppState* app, float dt) {
  DrawerUi& ui = app->drawer_ui;
  if (ui.width <= 0) ui.width = drawer_width_from_setting(app->settings.lib_w);
  const float target = ui.open ? 1.0f : 0.0f;
  if (app->reduce_motion) ui.slide = target;
  else if (ui.slide < target) ui.slide = std::min(target, ui.slide + dt / kDrawerSlideSeconds);
  else ui.slide = std::max(target, ui.slide - dt / kDrawerSlideSeconds);
  app->lib_width = std::round(smoothstep(ui.slide) * float(ui.width));
}

bool drawer_take_edge(AppState* app, const InputEvent& ev) {
  DrawerUi& ui = app->drawer_ui;
  if (ev.window_id != 0) return false;
  if (ui.drag == DrawerDrag::kResize) {
    if (ev.kind == InputKind::kMouseMove) {
      // At most what the window allows: a maximised one does not grow, so the main area keeps its least width.
      const bool fixed = app->window && window_maximised(app->window);
      const int most = fixed ? std::max(kDrawerMinW, app->content_w - kMainMinWidth) : kDrawerMaxW;
      ui.width = std::clamp(int(std::lround(ev.x + ui.grab)), kDrawerMinW, most);
      app->settings.lib_w = ui.width;
      return true;
    }
    if (ev.kind == InputKind::kMouseUp) ui.drag = DrawerDrag::kNone;
    return ev.kind == InputKind::kMouseUp;
  }
  const Rect& shown = app->ui.layout.drawer;
  if (ev.kind != InputKind::kMouseDown || ev.button != kMouseLeft || !ui.open || shown.w < 1) return false;
  const float edge = shown.x + shown.w;
  if (ev.x < edge - kDrawerEdgeGrab || ev.x >= edge || ev.y < shown.y || ev.y >= shown.y + shown.h) return false;
  close_menu(&ui);
  if (ev.clicks >= 2) {
    ui.width = kDrawerDefaultW;
    app->settings.lib_w = ui.width;
  } else {
    ui.drag = DrawerDrag::kResize;
    ui.grab = float(ui.width) - ev.x;
  }
  return true;
}

bool drawer_take_pointer(AppState* app, const InputEvent& ev) {
  DrawerUi& ui = app->drawer_ui;
  if (ev.window_id != 0) return false;
  if (ui.menu_open && menu_pointer(app, ev)) return true;
  DrawerLayout dl;
  drawer_layout_of(app, &dl);
  if (ui.drag != DrawerDrag::kNone) {
    if (ev.kind == InputKind::kMouseMove) {
      app->ui.pointer_x = ev.x, app->ui.pointer_y = ev.y;
      drag_to(app, dl, ev.x);
      return true;
    }
    if (ev.kind == InputKind::kMouseUp) ui.drag = DrawerDrag::kNone;  // the main view ends its own too
    return false;
  }
  if (files_take_pointer(app, dl, ev)) return true;
  const bool inside = ui.open && dl.shown.w >= 1 && dl.shown.contains(ev.x, ev.y);
  switch (ev.kind) {
    case InputKind::kMouseMove: {
      // A drag of the main view's (the threshold line) goes on over the drawer.
      if (!inside || app->scope.drag.kind != ScopeDragKind::kNone) {
        ui.hover_row = -1;
        return false;
      }
      app->ui.pointer_x = ev.x, app->ui.pointer_y = ev.y;
      const LibraryDrawer& d = app->drawer;
      ui.hover_list = kDrawerSessions;
      ui.hover_row = drawer_row_at(dl.sessions, d.session_scroll, app->recorder.library.row_count, ev.x, ev.y);
      if (ui.hover_row < 0) {
        ui.hover_list = kDrawerTakes;
        ui.hover_row = drawer_row_at(dl.takes, d.take_scroll, loaded_takes(d), ev.x, ev.y);
      }
      return true;
    }
    case InputKind::kMouseLeave: ui.hover_row = -1; return false;
    case InputKind::kMouseDown:
      if (!inside) {
        ui.focus = false;  // the keyboard follows the pointer's last press
        return false;
      }
      ui.focus = true;
      if (ev.button == kMouseLeft) left_press(app, dl, ev);
      else if (ev.button == kMouseRight) right_press(app, dl, ev);
      return true;
    case InputKind::kWheel: {
      if (!inside) return false;
      const float notches = ev.wheel_y != 0.0f ? ev.wheel_y : ev.wheel_x;
      const Rect gain{dl.pane.gain_label.x, dl.pane.gain_label.y,
                      dl.pane.gain.x + dl.pane.gain.w - dl.pane.gain_label.x, dl.pane.gain_label.h};
      if (dl.sessions.contains(ev.x, ev.y))
        library_wheel(&app->drawer, &app->recorder, kDrawerSessions, notches, dl.visible_sessions);
      else if (dl.takes.contains(ev.x, ev.y))
        library_wheel(&app->drawer, &app->recorder, kDrawerTakes, notches, dl.visible_takes);
      else if (gain.contains(ev.x, ev.y)) player_wheel_gain(&app->player, notches);
      return true;
    }
    default: return false;
  }
}

bool drawer_key(AppState* app, const InputEvent& ev) {
  DrawerUi& ui = app->drawer_ui;
  if (ev.kind != InputKind::kKeyDown) return false;
  if (ui.menu_open) {
    menu_key(app, ev);
    return true;
  }
  if (!ui.open || !ui.focus) return false;
  if (!library_tab(app) && files_take_key(app, ev)) return true;
  if (ev.key == kKeyMenu) {
    if (!ev.repeat) drawer_menu_from_keyboard(app);
    return true;
  }
  if (ev.key == kKeyI && !(ev.mods & kModAlt)) {
    // Loop start at the playhead; at the file's start with Shift or Ctrl.
    if (!ev.repeat) player_loop_in(&app->player, (ev.mods & (kModShift | kModCtrl)) != 0);
    return true;
  }
  const DrawerKey key = drawer_key_of(ev.key);
  if (key == kDrawerKeyOther || (ev.mods & (kModCtrl | kModAlt))) return false;
  if (ev.repeat && !arrow(ev.key)) return true;  // held keys repeat only for the arrows
  const DrawerAction a = library_key(&app->drawer, &app->recorder, &app->player, key);
  if (a.outcome == kDrawerNotTaken) return false;
  drawer_finish(app, a);
  return true;
}

void drawer_menu_from_keyboard(AppState* app) {
  if (!library_tab(app)) return;
  DrawerLayout dl;
  drawer_layout_of(app, &dl);
  const LibraryDrawer& d = app->drawer;
  const Rect row = d.takes_focus ? drawer_row_rect(dl.takes, d.take_scroll, d.take_sel)
                                 : drawer_row_rect(dl.sessions, d.session_scroll, d.session_sel);
  open_menu(app, kDrawerNoList, -1, true, row.x + 40.0f, row.y + row.h);
}

void drawer_finish(AppState* app, const DrawerAction& a) {
  switch (a.outcome) {
    case kDrawerClose: drawer_close(app); break;
    case kDrawerContinued:
      app->drawer_ui.focus = false;  // Space stops the session again
      step_done(app, kStepContinue);
      break;
    case kDrawerPlayed: step_done(app, kStepLibraryPlay); break;
    case kDrawerShowItem: desktop_start(app, DesktopAsk::kShowItem, a.path); break;
    case kDrawerOpenFolder: desktop_start(app, DesktopAsk::kShowFolder, a.path); break;
    case kDrawerNotTaken:
    case kDrawerTaken:
    case kDrawerDeleted: break;
  }
}

void drawer_show_session(AppState* app, const char* relative) {
  if (!app->drawer_ui.open) drawer_open(app, false);
  else scan_library(&app->recorder);
  Library& lib = app->recorder.library;
  for (int i = 0; i < lib.row_count; ++i) {
    if (!text_equal_nocase(lib.rows[i].relative_path, relative)) continue;
    app->drawer.drawer_tab = kDrawerLibraryTab;
    library_select(&app->drawer, &app->recorder, kDrawerSessions, i);
    return;
  }
}
