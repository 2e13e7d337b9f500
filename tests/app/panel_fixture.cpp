#include "tests/app/panel_fixture.h"

#include <cstdlib>

#include "app/shell/route.h"
#include "config/status.h"

PanelsApp::PanelsApp() {
  setenv("HOME", home.path.c_str(), 1);
  setenv("XDG_CONFIG_HOME", (home.path + "/config").c_str(), 1);
  unsetenv("XDG_MUSIC_DIR");
  status_clear();
  AppState& a = *app;
  settings_defaults(&a.settings);
  capture_engine_init(&a.engine, 48000);
  a.recorder.engine = &a.engine;
  a.recorder.settings = &a.settings;
  a.sliders = trigger_positions_from_settings(a.settings);
  a.content_w = 960;
  a.content_h = 540;
  layout_main(960, 540, side_panel_width(960, 1.0f), &a.ui.layout);
  a.ui.pressed_button = -1;
  strip_init(&a.ui.strip);
  options_init(&a.options);
  panels_init(&a.panels);
}

PanelsApp::~PanelsApp() { capture_engine_free(&app->engine); }

void PanelsApp::key(int k, int mods, bool repeat, uint32_t window_id) {
  InputEvent ev{};
  ev.kind = InputKind::kKeyDown;
  ev.key = k;
  ev.mods = mods;
  ev.repeat = repeat;
  ev.window_id = window_id;
  handle_event(app.get(), ev);
}

void PanelsApp::key_up(int k) {
  InputEvent ev{};
  ev.kind = InputKind::kKeyUp;
  ev.key = k;
  handle_event(app.get(), ev);
}

void PanelsApp::mouse(InputKind kind, float x, float y, uint32_t window_id, int button) {
  InputEvent ev{};
  ev.kind = kind;
  ev.button = button;
  ev.x = x, ev.y = y;
  ev.window_id = window_id;
  ev.clicks = 1;
  handle_event(app.get(), ev);
}

std::string PanelsApp::ini() const {
  char path[kPathCap];
  settings_path(path, sizeof path);
  return read_text(path);
}

std::string PanelsApp::status() const { return status_line().text; }
