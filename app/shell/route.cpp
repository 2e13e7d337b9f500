// The order in which events meet their receivers before the main view.
#include "app/shell/app_state.h"
#include "app/shell/frame.h"
#include "app/panels/options.h"
#include "app/overlays/overlay.h"
#include "app/panels/panel.h"
#include "platform/clock.h"

bool route_receivers(AppState* app, const InputEvent& ev) {
  // The training and version-notes panel is offered events first once it exists.
  if (frame_take_event(app, ev)) return true;
  if (panels_take_event(app, ev)) return true;
  // The library drawer's right edge comes here once the drawer exists.
  if (key_map_take_event(app, ev, tick_ms())) return true;
  // The inputs panel and the library drawer come here once they exist.
  if (help_take_pointer(app, ev)) return true;
  return false;
}

bool route_overlay_keys(AppState* app, const InputEvent& ev) {
  if (ev.kind != InputKind::kKeyDown) return false;
  if (help_key(app, ev)) return true;
  return options_key(app, ev);
}
