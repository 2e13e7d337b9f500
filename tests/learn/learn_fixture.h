// Shared pieces of the training tests: a private config and runtime folder per test, and another
// process that holds the shared preferences' named lock until told to let go.
#pragma once
#include <string>
#include <sys/types.h>

#include "tests/support/temp_dir.h"

// Points XDG_CONFIG_HOME and XDG_RUNTIME_DIR into a fresh folder for the test's life.
struct LearnHome {
  TempDir dir;
  std::string config, runtime, prefs;  // prefs: the shared preferences file
  LearnHome();
};

// A child process holding "Lumaro.ZephaKit.Preferences" from construction until release().
struct LockHolder {
  pid_t pid = -1;
  int release_fd = -1;
  LockHolder();
  ~LockHolder();
  void release();
};
