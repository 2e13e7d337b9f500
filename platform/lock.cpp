// flock-based named locks, polled every 5 ms while waiting with a timeout.
#include "platform/lock.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "platform/clock.h"
#include "platform/paths.h"

int named_lock_acquire(NamedLock* lock, const char* name, int timeout_ms) {
  lock->fd = -1;
  for (const char* p = name; *p; ++p) {
    char c = *p;
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
              c == '_' || c == '-';
    if (!ok) {
      errno = EINVAL;
      return -1;
    }
  }
  char dir[kPathCap], path[kPathCap + 80];
  if (!runtime_dir(dir, sizeof dir)) return -1;
  int n = snprintf(path, sizeof path, "%s/%s.lock", dir, name);
  if (n < 0 || size_t(n) >= sizeof path) return -1;
  int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return -1;
  if (timeout_ms < 0) {
    while (flock(fd, LOCK_EX) != 0) {
      if (errno != EINTR) {
        close(fd);
        return -1;
      }
    }
    lock->fd = fd;
    return 0;
  }
  int64_t deadline = mono_ns() + int64_t(timeout_ms) * 1000000;
  for (;;) {
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
      lock->fd = fd;
      return 0;
    }
    if (errno != EWOULDBLOCK && errno != EINTR) break;
    if (mono_ns() >= deadline) {
      errno = ETIMEDOUT;
      break;
    }
    sleep_ms(5);
  }
  const int err = errno;
  close(fd);
  errno = err;
  return -1;
}

void named_lock_release(NamedLock* lock) {
  if (lock->fd < 0) return;
  flock(lock->fd, LOCK_UN);
  close(lock->fd);
  lock->fd = -1;
}
