// Program entry: the start-up sequence, the main loop and the shutdown.
#include "app/version.h"
#include "config/log.h"
#include "config/settings.h"

int main() {
  log_line("tolm ZEPHA %s for linux - sound-activated recorder", kTolmVersion);
  static Settings settings;
  load_settings(&settings);
  char path[260];
  settings_path(path, sizeof path);
  if (!save_settings(settings)) log_line("settings: could not write %s", path);
  return 0;
}
