// The trigger controls put to use.
#include "app/shell/trigger.h"

#include "app/shell/app_state.h"

void apply_trigger_positions(AppState* app) {
  settings_from_trigger_positions(&app->settings, app->sliders);
  engine_apply_settings(&app->engine, app->settings, app->scope.fit);
}
