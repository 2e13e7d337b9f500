// An application state for the panels and overlays, driven through input records: settings at
// their defaults, a capture engine without a device, HOME and the settings folder in a fresh
// temporary folder, a 960 x 540 window's layout.
#pragma once
#include <memory>
#include <string>

#include "app/shell/app_state.h"
#include "app/shell/input.h"
#include "tests/support/temp_dir.h"

struct PanelsApp {
  TempDir home;
  std::unique_ptr<AppState> app = std::make_unique<AppState>();

  PanelsApp();
  ~PanelsApp();
  AppState* operator->() { return app.get(); }
  AppState* get() { return app.get(); }

  void key(int k, int mods = 0, bool repeat = false, uint32_t window_id = 0);
  void key_up(int k);
  void mouse(InputKind kind, float x, float y, uint32_t window_id = 0, int button = kMouseLeft);
  // tolm.ini as it stands on disk.
  std::string ini() const;
  std::string status() const;
};
