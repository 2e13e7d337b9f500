// The Link channel's steps in start-up, the main loop and shutdown, and its options rows: what the
// settings keep (on, the chosen input) follows what the channel does.
#include "app/shell/link_steps.h"

#include "app/shell/app_state.h"
#include "config/status.h"
#include "platform/text.h"

namespace {

bool link_ready(const AppState* app) { return app->link.link != nullptr; }

// The settings follow the channel: on, and the chosen input (turning off goes back to the mic).
void keep_in_settings(AppState* app) {
  if (!link_ready(app)) return;  // a channel that never started keeps the saved choice for next time
  app->settings.link = app->link.on.load() ? 1 : 0;
  text_copy(app->settings.link_input, link_chosen_input(&app->link));
}

}  // namespace

void app_link_start(AppState* app) {
  char name[kLinkNameBytes];
  link_default_name(name, sizeof name);
  if (link_init(&app->link, name) != 0) return;  // logged; the microphone stays the input
  app->engine.input_hook.store(link_input_hook(&app->link), std::memory_order_release);
  tap_fanout_add(&app->taps, link_output_tap(&app->link));
  link_choose_input(&app->link, app->settings.link_input);
}

void app_link_resume(AppState* app) {
  if (!app->settings.link) return;
  if (!link_ready(app) || !link_set_on(&app->link, true)) app->settings.link = 0;
}

void app_link_follow(AppState* app, uint32_t now) {
  if (!link_ready(app) || uint32_t(now - app->last_link_ms) <= kLinkFollowAfterMs) return;
  app->last_link_ms = now;
  if (!link_follow_input(&app->link)) return;
  char msg[kLinkDisplayBytes + 8];
  link_input_message(&app->link, msg, sizeof msg);
  status_message("%s", msg);
}

void app_link_stop(AppState* app) {
  if (!link_ready(app)) return;
  // The engine is gone: nothing holds the hook or the tap any more.
  link_close(&app->link);
}

void app_link_toggle(AppState* app) {
  char msg[64];
  link_toggle_command(&app->link, msg, sizeof msg);  // a channel that never started refuses
  keep_in_settings(app);
  status_flash(msg);
}

void app_link_step_input(AppState* app, int dir) {
  char msg[kLinkDisplayBytes + 8];
  const bool on = app->link.on.load() != 0;
  link_step_command(&app->link, dir, msg, sizeof msg);
  if (!on) {
    status_flash(msg);
    return;
  }
  keep_in_settings(app);
  status_message("%s", msg);
}

void app_link_row(const AppState* app, bool input_row, char* out, size_t cap) {
  if (input_row) link_input_row(&app->link, out, cap);
  else link_session_row(&app->link, out, cap);
}
