// Chop commands, keys and buttons.
#include "app/chop/chop_control.h"

#include <algorithm>

#include "app/chop/chop_view.h"
#include "app/scope/scope_control.h"
#include "app/shell/desktop.h"
#include "config/log.h"

namespace {

// A drag that began on the live view (an EQ handle, say) ends when the view changes under it.
void view_changed(AppState* app) { scope_release(app); }

}  // namespace

void open_for_chop(AppState* app, const char* path) {
  if (!path || !path[0]) return;
  if (open_for_chop(&app->chop, &app->settings, path) == 0) view_changed(app);
}

void chop_open_dialog(AppState* app) { desktop_start(app, DesktopAsk::kOpenFile, nullptr); }

void chop_file_chosen(AppState* app, int chosen, const char* path) {
  if (open_chosen_file(&app->chop, &app->settings, chosen, path) == 0) view_changed(app);
}

void chop_make(AppState* app) {
  if (!chop_mode(app)) return;
  char name[kRelativeNameBytes];
  if (make_session(&app->chop, &app->recorder, app->sliders, name, sizeof name) == 0) {
    log_line("chop: made session %s", name);
    view_changed(app);
  }
}

void chop_cancel(AppState* app) {
  if (!chop_mode(app)) return;
  log_line("chop: dropped %s", app->chop.source_path);
  leave_chop(&app->chop);
  view_changed(app);
}

bool chop_key(AppState* app, const InputEvent& ev) {
  if (!chop_mode(app) || app->console_open || ev.kind != InputKind::kKeyDown) return false;
  if (ev.key != kKeyEnter && ev.key != kKeyEscape) return false;
  if (ev.repeat) return true;  // a held key acts once
  if (ev.key == kKeyEnter) chop_make(app);
  else chop_cancel(app);
  return true;
}

bool chop_strip_press(AppState* app, float x, float y) {
  if (!chop_mode(app)) return false;
  const MainLayout& l = app->ui.layout;
  if (!l.button_strip.contains(x, y)) return false;
  switch (chop_button_at(l, x, y)) {
    case kChopMake:
      // An inactive MAKE SESSION (reading, or nothing over the line) does nothing. The cut is
      // brought up to the sliders first, as the view does each frame.
      cut_takes(&app->chop, app->sliders);
      if (chop_button_look(&app->chop, kChopMake).active) chop_make(app);
      break;
    case kChopCancel: chop_cancel(app); break;
    default: break;
  }
  return true;
}

void chop_frame(AppState* app, float dt) {
  chop_poll(&app->chop);
  const int over = chop_mode(app) ? chop_button_at(app->ui.layout, app->ui.pointer_x, app->ui.pointer_y) : -1;
  const float step = std::min(1.0f, kHoverRate * dt);
  for (int i = 0; i < kChopButtons; ++i) {
    float& h = app->chop_view.hover[i];
    h += ((i == over ? 1.0f : 0.0f) - h) * step;
  }
}
