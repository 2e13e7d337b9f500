// Waits, the way the main loop does, until the desktop program a command started has ended and
// its answer has been acted on. False when it was still up after 10 s.
#pragma once
#include <chrono>
#include <thread>

#include "app/shell/app_state.h"
#include "app/shell/desktop.h"
#include "app/shell/route.h"

inline bool settle_desktop(AppState* app) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  for (;;) {
    desktop_poll(app);
    if (!desktop_dialog_up(app) && !app->desktop.shower.run) return true;
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}
