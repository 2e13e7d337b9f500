// Program entry: one application record on the heap, start-up, the main loop, shutdown.
#include <memory>

#include "app/app.h"

int main() {
  auto app = std::make_unique<AppState>();  // value-initialised: every field starts at zero
  const int failed = app_start(app.get());
  if (failed) return failed;
  app_run(app.get());
  return app_shutdown(app.get());
}
