// The order in which events meet their receivers.
#include "app/shell/route.h"

#include "app/chop/chop_control.h"
#include "app/drawer/drawer_control.h"
#include "app/inputs/inputs_app.h"
#include "app/drawer/files_control.h"
#include "app/overlays/overlay.h"
#include "app/overlays/training_view.h"
#include "app/panels/options.h"
#include "app/panels/panel_content.h"
#include "app/scope/scope_control.h"
#include "app/shell/commands.h"
#include "app/shell/desktop.h"
#include "app/shell/frame.h"
#include "app/shell/window.h"
#include "platform/clock.h"

namespace {

void mouse_down(AppState* app, const InputEvent& ev) {
  UiState& ui = app->ui;
  ui.pointer_x = ev.x, ui.pointer_y = ev.y;
  if (ev.button != kMouseLeft) return;
  ui.left_down = true;
  const HeaderItem item = header_item_at(app->content_w, ev.x, ev.y);
  if (item != HeaderItem::kNone) {
    header_command(app, item);
    return;
  }
  // In chop mode the strip holds the chop buttons instead of the recording ones.
  if (chop_strip_press(app, ev.x, ev.y)) return;
  const int button = strip_button_at(ui.layout, ev.x, ev.y);
  ui.pressed_button = button;
  if (button >= 0) strip_command(app, button);
  else scope_press(app, ev.x, ev.y, tick_ms());
}

void mouse_up(AppState* app, const InputEvent& ev) {
  UiState& ui = app->ui;
  ui.pointer_x = ev.x, ui.pointer_y = ev.y;
  if (ev.button != kMouseLeft) return;
  ui.left_down = false;
  ui.pressed_button = -1;
  scope_release(app);
  gate_mouse_up(app);
}

}  // namespace

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

bool route_receivers(AppState* app, const InputEvent& ev) {
  // The training and version-notes panel is offered events first.
  if (training_take_event(app, ev)) return true;
  if (frame_take_event(app, ev)) return true;
  PanelBodyEvent body;
  if (panels_take_event(app, ev, &body)) {
    panel_body_event(app, body);
    return true;
  }
  if (drawer_take_edge(app, ev)) return true;
  if (key_map_take_event(app, ev, tick_ms())) return true;
  if (inputs_take_event(app, ev)) return true;
  // The help overlay lies over everything below it.
  if (help_take_pointer(app, ev)) return true;
  return drawer_take_pointer(app, ev);
}

bool route_overlay_keys(AppState* app, const InputEvent& ev) {
  if (ev.kind != InputKind::kKeyDown) return false;
  if (help_key(app, ev)) return true;
  return options_key(app, ev);
}

void handle_event(AppState* app, const InputEvent& ev) {
  // A key let go always reaches the main view, whatever overlay or panel took the press (a gate
  // held with G must not stay open because the key map opened meanwhile).
  if (ev.kind == InputKind::kKeyUp) {
    route_receivers(app, ev);
    if (ev.key == kKeyG) gate_key_up(app);
    return;
  }
  // The frame, the floating panels and the overlays come first; what they take ends here.
  if (route_receivers(app, ev)) return;
  switch (ev.kind) {
    case InputKind::kQuit: request_quit(app); return;
    case InputKind::kDrop:
      if (!files_take_drop(app, ev)) open_for_chop(app, ev.path);
      return;
    case InputKind::kText: files_take_text(app, ev); return;
    case InputKind::kFocusLost: inputs_focus_lost(app); return;
    case InputKind::kMouseMove:
      app->ui.pointer_x = ev.x, app->ui.pointer_y = ev.y;
      if (app->scope.drag.kind != ScopeDragKind::kNone) scope_drag(app, ev.x, ev.y);
      return;
    case InputKind::kMouseLeave:
      app->ui.pointer_x = app->ui.pointer_y = -1.0f;
      return;
    case InputKind::kMouseDown: mouse_down(app, ev); return;
    case InputKind::kMouseUp: mouse_up(app, ev); return;
    case InputKind::kWheel: scope_wheel(app, ev); return;
    case InputKind::kKeyUp: return;  // handled above
    case InputKind::kKeyDown:
      if (anywhere_key(app, ev)) return;
      if (route_overlay_keys(app, ev)) return;
      if (drawer_key(app, ev)) return;
      if (chop_key(app, ev)) return;
      main_view_key(app, ev);
      return;
    case InputKind::kWindowClose:  // a panel's own window: the panels took it
    case InputKind::kNone: return;
  }
}

void desktop_poll(AppState* app) {
  DesktopAnswer a;
  while (desktop_take_answer(app, &a)) {
    switch (a.ask) {
      case DesktopAsk::kOpenFile: chop_file_chosen(app, a.answer, a.path); break;
      case DesktopAsk::kWriteFolder: write_folder_chosen(app, a.answer, a.path); break;
      case DesktopAsk::kShowFolder: folder_shown(a.arg, a.answer, a.exit_code); break;
      case DesktopAsk::kShowItem: item_shown(a.arg, a.answer); break;
    }
  }
}
