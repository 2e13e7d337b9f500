#include "tests/learn/learn_fixture.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include "learn/prefs.h"
#include "platform/lock.h"

LearnHome::LearnHome() {
  config = dir.file("config");
  runtime = dir.file("runtime");
  mkdir(config.c_str(), 0700);
  mkdir(runtime.c_str(), 0700);
  setenv("XDG_CONFIG_HOME", config.c_str(), 1);
  setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
  prefs = config + "/Lumaro/zephakit.ini";
}

LockHolder::LockHolder() {
  int ready[2], go[2];
  if (pipe(ready) != 0 || pipe(go) != 0) {
    ADD_FAILURE() << "no pipes";
    return;
  }
  pid = fork();
  if (pid == 0) {
    close(ready[0]);
    close(go[1]);
    NamedLock lock;
    const char held = named_lock_acquire(&lock, kPrefsLockName, -1) == 0 ? 1 : 0;
    (void)!write(ready[1], &held, 1);
    char c;
    while (read(go[0], &c, 1) > 0) {
    }
    _exit(0);  // the lock goes with the process
  }
  close(ready[1]);
  close(go[0]);
  release_fd = go[1];
  char held = 0;
  if (pid < 0 || read(ready[0], &held, 1) != 1 || !held) ADD_FAILURE() << "the holder did not get the lock";
  close(ready[0]);
}

void LockHolder::release() {
  if (release_fd >= 0) close(release_fd);
  release_fd = -1;
  if (pid > 0) waitpid(pid, nullptr, 0);
  pid = -1;
}

LockHolder::~LockHolder() { release(); }
