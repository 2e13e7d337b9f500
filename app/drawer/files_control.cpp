// The files tab's keys, pointer, menu, drops and per-frame pump.
#include "app/drawer/files_control.h"

#include <algorithm>
#include <cmath>
#include <mutex>

#include "app/chop/chop_control.h"
#include "app/drawer/files_drag.h"
#include "app/drawer/files_layout.h"
#include "app/shell/desktop.h"
#include "app/shell/window.h"
#include "config/log.h"
#include "platform/clock.h"
#include "platform/file_manager.h"
#include "platform/paths.h"
#include "platform/text.h"

namespace {

bool files_shown(const AppState* app) {
  return app->drawer_ui.open && app->drawer.drawer_tab == kDrawerFilesTab && app->files.open;
}

void layout_of(const AppState* app, const DrawerLayout& dl, FilesLayout* out) {
  files_layout(dl.body, app->files, true, out);
}

int files_key_of(int key) {
  switch (key) {
    case kKeyEnter: return kFilesKeyEnter;
    case kKeySpace: return kFilesKeySpace;
    case kKeyDelete: return kFilesKeyDelete;
    case kKeyEscape: return kFilesKeyEscape;
    case kKeyBackspace: return kFilesKeyBackspace;
    case kKeyUp: return kFilesKeyUp;
    case kKeyDown: return kFilesKeyDown;
    case kKeyLeft: return kFilesKeyLeft;
    case kKeyRight: return kFilesKeyRight;
    case kKeyB: return kFilesKeyB;
    case kKeyF: return kFilesKeyF;
    case kKeyI: return kFilesKeyI;
    case kKeyO: return kFilesKeyO;
    case kKey0: return kFilesKey0;
    case kKey1: return kFilesKey0 + 1;
    case kKey2: return kFilesKey0 + 2;
    case kKey3: return kFilesKey0 + 3;
    case kKey4: return kFilesKey0 + 4;
    case kKey5: return kFilesKey0 + 5;
    case kKey6: return kFilesKey0 + 6;
    case kKey7: return kFilesKey0 + 7;
    case kKey8: return kFilesKey0 + 8;
    case kKey9: return kFilesKey0 + 9;
    default: return kFilesKeyOther;
  }
}

bool arrow(int key) { return key == kKeyUp || key == kKeyDown || key == kKeyLeft || key == kKeyRight; }

// The tree's selection kept among the rows shown.
void tree_into_view(AppState* app) {
  DrawerLayout dl;
  drawer_layout_of(app, &dl);
  FilesLayout fl;
  layout_of(app, dl, &fl);
  FilesTree& tree = app->files.tree;
  const int row = files_tree_selected_row(&tree);
  const int shown = std::max(fl.tree_rows, 1);
  if (row >= 0 && row < tree.scroll) tree.scroll = row;
  else if (row >= tree.scroll + shown) tree.scroll = row - shown + 1;
  tree.scroll = std::clamp(tree.scroll, 0, std::max(int(tree.rows.size()) - shown, 0));
}

void close_menu(FilesUi* ui) {
  ui->menu_open = false;
  ui->menu_sel = -1;
}

void open_menu(AppState* app, float x, float y) {
  FilesUi& ui = app->files_ui;
  ui.menu_open = ui.menu.count > 0;
  ui.menu_x = x, ui.menu_y = y;
  ui.menu_sel = -1;
}

void choose(AppState* app, int item) {
  FilesUi& ui = app->files_ui;
  if (item < 0 || item >= ui.menu.count || !ui.menu.items[item].enabled) return;
  const FilesMenu menu = ui.menu;
  close_menu(&ui);
  files_finish(app, files_menu_choose(&app->files, files_host(app), menu, menu.items[item].id));
  tree_into_view(app);
}

bool menu_key(AppState* app, const InputEvent& ev) {
  FilesUi& ui = app->files_ui;
  if (ev.key == kKeyUp || ev.key == kKeyDown) {
    const int step = ev.key == kKeyDown ? 1 : -1;
    for (int i = ui.menu_sel + step; i >= 0 && i < ui.menu.count; i += step)
      if (ui.menu.items[i].enabled) {
        ui.menu_sel = i;
        break;
      }
    return true;
  }
  if (ev.repeat) return true;
  if (ev.key == kKeyEnter || ev.key == kKeySpace) choose(app, ui.menu_sel);
  else close_menu(&ui);
  return true;
}

bool menu_pointer(AppState* app, const InputEvent& ev) {
  FilesUi& ui = app->files_ui;
  const int item = files_menu_item_at(ui, app->content_w, app->content_h, ev.x, ev.y);
  switch (ev.kind) {
    case InputKind::kMouseMove:
      if (item >= 0) ui.menu_sel = item;
      return files_menu_rect(ui, app->content_w, app->content_h).contains(ev.x, ev.y);
    case InputKind::kMouseDown:
      if (item >= 0 && ev.button == kMouseLeft) choose(app, item);
      else close_menu(&ui);
      return true;
    case InputKind::kWheel: return true;
    default: return false;
  }
}

bool outside_window(const AppState* app, float x, float y) {
  return x < 0 || y < 0 || x >= float(app->content_w) || y >= float(app->content_h);
}

void loop_panel_press(AppState* app, const FilesLayout& fl, const InputEvent& ev) {
  FilesTab& t = app->files;
  const FilesHost h = files_host(app);
  const float x = ev.x, y = ev.y;
  if (fl.loop_button.contains(x, y)) {
    files_loop_button(&t, h);
  } else if (fl.shift_earlier.contains(x, y) || fl.shift_later.contains(x, y)) {
    files_loop_shift(&t, h, fl.shift_earlier.contains(x, y) ? -1 : 1);
  } else if (fl.to_input.contains(x, y)) {
    files_loop_to_input(&t);
  } else {
    for (int i = 0; i < 4; ++i)
      if (fl.bar_buttons[i].contains(x, y)) files_loop_bars(&t, kLoopBarChoices[i]);
    const int k = files_block_at(fl, t, x, y);
    if (k >= 0) {
      files_loop_press(&t, k, x, y);
      app->files_ui.block_down = true;
    }
  }
}

void left_press(AppState* app, const FilesLayout& fl, const InputEvent& ev) {
  FilesTab& t = app->files;
  const FilesHost h = files_host(app);
  const float x = ev.x, y = ev.y;
  const bool on_filter = fl.filter.contains(x, y);
  if (!on_filter) t.filter_editing = false;  // a press elsewhere ends the editing
  for (int s = 0; s < kFilesSources; ++s)
    if (fl.sources[s].contains(x, y)) {
      files_click_source(&t, s);
      files_cloud_chosen(&t, h);
      if (s == kSourceBrowse && t.tree.rows.empty()) files_tree_refresh(&t.tree);
      return;
    }
  if (on_filter) {
    files_click_filter(&t);
    return;
  }
  if (fl.tempo.contains(x, y)) {
    files_loop_tempo(&t, !t.loop.tempo_on);
    return;
  }
  if (fl.loop.contains(x, y)) {
    loop_panel_press(app, fl, ev);
    return;
  }
  if (fl.cloud_button.contains(x, y) && files_cloud_button_label(h)) {
    files_cloud_button(&t, h);
    return;
  }
  int row = files_list_row_at(fl, t, x, y);
  if (row >= 0) {
    files_select_row(&t, row);
    if (ev.clicks >= 2) files_finish(app, files_key(&t, h, kFilesKeyEnter, 0, tick_ms()));
    return;
  }
  row = files_tree_row_at(fl, t, x, y);
  if (row >= 0) {
    if (ev.clicks >= 2) files_finish(app, files_tree_activate(&t, h, row));
    else files_tree_click(&t, row, tick_ms());
    tree_into_view(app);
    return;
  }
  const int fav = files_favourite_at(fl, t, x, y);
  if (fav >= 0) {
    files_favourite_click(&t, h, fav);
    t.tree.scroll = 0;
  }
}

void right_press(AppState* app, const FilesLayout& fl, const InputEvent& ev) {
  FilesTab& t = app->files;
  FilesUi& ui = app->files_ui;
  const int fav = files_favourite_at(fl, t, ev.x, ev.y);
  if (fav >= 0) {
    files_menu_favourite(&t, fav, &ui.menu);
    open_menu(app, ev.x, ev.y);
    return;
  }
  if (t.list.source != kSourceBrowse || !fl.tree.contains(ev.x, ev.y)) return;
  files_menu_tree(&t, files_tree_row_at(fl, t, ev.x, ev.y), &ui.menu);
  open_menu(app, ev.x, ev.y);
}

void wheel(AppState* app, const FilesLayout& fl, const InputEvent& ev) {
  FilesTab& t = app->files;
  const float notches = ev.wheel_y != 0.0f ? ev.wheel_y : ev.wheel_x;
  if (fl.strip.contains(ev.x, ev.y)) {
    files_loop_wheel(&t, notches, kLoopBlockW);
  } else if (fl.list.contains(ev.x, ev.y)) {
    files_list_wheel(&t, notches);
  } else if (fl.tree.contains(ev.x, ev.y)) {
    const int step = int(std::lround(notches * 3));
    const int most = std::max(int(t.tree.rows.size()) - std::max(fl.tree_rows, 1), 0);
    t.tree.scroll = std::clamp(t.tree.scroll - step, 0, most);
  }
}

}  // namespace

FilesHost files_host(AppState* app) { return FilesHost{&app->player, nullptr, &app->settings, &app->cloud}; }

void files_start(AppState* app) {
  const Settings& s = app->settings;
  CloudConfig cloud{};
  text_copy(cloud.container, s.cloud_container);
  text_copy(cloud.environment, s.cloud_environment);
  text_copy(cloud.api_token, s.cloud_api_token);
  cloud_start(&app->cloud, cloud, nullptr);
  app->files_ui.hover_row = app->files_ui.hover_favourite = app->files_ui.menu_sel = -1;
  files_open(&app->files, files_host(app), nullptr, nullptr);
  files_tree_refresh(&app->files.tree);
  log_line("files: %d favourites, the folder view at %s", favourites_count(&app->files.store),
           app->files.tree.root.c_str());
}

void files_stop(AppState* app) {
  files_close(&app->files, files_host(app));
  cloud_shutdown(&app->cloud);
}

void files_frame(AppState* app, const DrawerLayout& dl, uint32_t now_ms) {
  if (!app->files.open) return;
  FilesLayout fl;
  layout_of(app, dl, &fl);
  FilesFrame f{};
  f.now_ms = now_ms;
  f.active = files_shown(app);
  f.list_px = int(fl.list.h);
  files_update(&app->files, files_host(app), f);
  const BarGrid* g = files_grid(&app->files);
  if (g && !app->files_ui.had_grid)
    log_line("files: %d blocks of %.6f s from %.6f s%s at %.1f bpm in %s", g->loop_count, g->loop_s,
             g->first_loop_start_s, g->lead_in ? " after a lead-in" : "", double(g->bpm),
             app->files.loop.grid_path.c_str());
  app->files_ui.had_grid = g != nullptr;
}

bool files_take_pointer(AppState* app, const DrawerLayout& dl, const InputEvent& ev) {
  FilesUi& ui = app->files_ui;
  FilesTab& t = app->files;
  if (ev.window_id != 0 || !t.open) return false;
  if (ui.menu_open && menu_pointer(app, ev)) return true;
  if (ui.block_down) {
    // A pressed block follows the pointer wherever it goes, out of the window included.
    if (ev.kind == InputKind::kMouseMove) {
      const FilesAction a = files_loop_move(&t, files_host(app), ev.x, ev.y, outside_window(app, ev.x, ev.y), tick_ms());
      if (a.outcome == kFilesDragOut) ui.block_down = false;
      files_finish(app, a);
      return true;
    }
    if (ev.kind == InputKind::kMouseUp) {
      ui.block_down = false;
      files_loop_release(&t, files_host(app));
      return true;
    }
    return ev.kind == InputKind::kMouseDown;
  }
  if (!files_shown(app)) return false;
  FilesLayout fl;
  layout_of(app, dl, &fl);
  const bool inside = dl.shown.contains(ev.x, ev.y) && fl.body.contains(ev.x, ev.y);
  switch (ev.kind) {
    case InputKind::kMouseMove:
      if (!inside) {
        ui.hover_row = ui.hover_favourite = -1;
        return false;
      }
      app->ui.pointer_x = ev.x, app->ui.pointer_y = ev.y;
      ui.hover_row = t.list.source == kSourceBrowse ? files_tree_row_at(fl, t, ev.x, ev.y)
                                                    : files_list_row_at(fl, t, ev.x, ev.y);
      ui.hover_favourite = files_favourite_at(fl, t, ev.x, ev.y);
      return true;
    case InputKind::kMouseDown:
      if (!inside) return false;
      app->drawer_ui.focus = true;
      if (ev.button == kMouseLeft) left_press(app, fl, ev);
      else if (ev.button == kMouseRight) right_press(app, fl, ev);
      return true;
    case InputKind::kWheel:
      if (!inside) return false;
      wheel(app, fl, ev);
      return true;
    default: return false;
  }
}

bool files_take_key(AppState* app, const InputEvent& ev) {
  FilesTab& t = app->files;
  if (ev.kind != InputKind::kKeyDown || !t.open) return false;
  if (app->files_ui.menu_open) return menu_key(app, ev);
  if (!files_shown(app)) return false;
  const FilesHost h = files_host(app);
  if (ev.key == kKeyV && (ev.mods & kModCtrl)) {
    char text[kPathCap];
    clipboard_text(text, sizeof text);
    if (files_paste(&t, h, text) && !t.filter_editing) {
      // A pasted API token is kept for the next start.
      std::lock_guard<std::mutex> lk(app->cloud.lock);
      text_copy(app->settings.cloud_api_token, app->cloud.config.api_token);
      return true;
    }
    return t.filter_editing;
  }
  if (ev.key == kKeyMenu && t.list.source == kSourceBrowse) {
    if (ev.repeat) return true;
    const int row = files_tree_selected_row(&t.tree);
    DrawerLayout dl;
    drawer_layout_of(app, &dl);
    FilesLayout fl;
    layout_of(app, dl, &fl);
    files_menu_tree(&t, row, &app->files_ui.menu);
    open_menu(app, fl.tree.x + 40, fl.tree.y + float(std::max(row - t.tree.scroll + 1, 0)) * kTreeRowH);
    for (int i = 0; i < app->files_ui.menu.count && app->files_ui.menu_sel < 0; ++i)
      if (app->files_ui.menu.items[i].enabled) app->files_ui.menu_sel = i;
    return true;
  }
  if ((ev.mods & (kModCtrl | kModAlt)) && !t.filter_editing) return false;
  if (ev.repeat && !arrow(ev.key) && ev.key != kKeyBackspace) return true;  // held keys repeat only for these
  int mods = 0;
  if (ev.mods & kModShift) mods |= kFilesModShift;
  if (ev.mods & kModCtrl) mods |= kFilesModCtrl;
  const FilesAction a = files_key(&t, h, files_key_of(ev.key), mods, tick_ms());
  if (a.outcome == kFilesNotTaken) return false;
  if (t.list.source == kSourceBrowse) tree_into_view(app);
  files_finish(app, a);
  return true;
}

bool files_take_text(AppState* app, const InputEvent& ev) {
  if (ev.kind != InputKind::kText || !files_shown(app) || !app->drawer_ui.focus) return false;
  return files_text(&app->files, ev.path);
}

bool files_take_drop(AppState* app, const InputEvent& ev) {
  if (ev.kind != InputKind::kDrop || !files_shown(app) || !ev.path[0]) return false;
  DrawerLayout dl;
  drawer_layout_of(app, &dl);
  // Dropped over the drawer: listed; anywhere else it is chopped. The drop has no position and no
  // motion came while the other program dragged, so the pointer is asked where it is now.
  float x = app->ui.pointer_x, y = app->ui.pointer_y;
  if (app->window) window_pointer(app->window, &x, &y);
  if (!dl.shown.contains(x, y)) return false;
  const char* paths[] = {ev.path};
  const int added = files_add_paths(&app->files, files_host(app), paths, 1);
  if (added == 0 && !is_dir(ev.path)) log_line("files: %s not listed (not audio, or listed already)", ev.path);
  if (app->files.list.source == kSourceBrowse) files_click_source(&app->files, kSourceAll);
  return true;
}

void files_finish(AppState* app, const FilesAction& a) {
  switch (a.outcome) {
    case kFilesOpenForChop:
      open_for_chop(app, a.path);
      app->drawer_ui.focus = false;  // Enter and Esc now make or drop the chop
      break;
    case kFilesOpenedForChop: app->drawer_ui.focus = false; break;
    case kFilesOpenFile: desktop_start(app, DesktopAsk::kShowFolder, a.path); break;  // xdg-open opens any file
    case kFilesShowItem: desktop_start(app, DesktopAsk::kShowItem, a.path); break;
    case kFilesDragOut: files_drag_finished(&app->files, files_drag_out(app, a.path), tick_ms()); break;
    case kFilesNotTaken:
    case kFilesTaken:
    case kFilesPlayed:
    case kFilesDeleted:
    case kFilesDeleteFailed: break;
  }
}

int files_drag_out(AppState* app, const char* path) {
  char uri[kFilesActionBytes * 3];
  if (!file_uri_from_path(path, uri, sizeof uri)) return -1;
  void* display = nullptr;
  unsigned long xwindow = 0;
  if (app->window && window_x11(app->window, &display, &xwindow)) {
    const int rc = xdnd_drag_uri(display, xwindow, uri);
    log_line("files: drag of %s - %s", uri, rc > 0 ? "dropped" : rc == 0 ? "nothing took it" : "could not start");
    return rc;
  }
  if (!clipboard_set_text(uri)) {
    log_line("files: the clipboard refused %s", uri);
    return -1;
  }
  log_line("files: no drag here - %s is on the clipboard", uri);
  return 2;
}
