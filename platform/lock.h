// Named inter-process lock: an exclusive flock on "<runtime dir>/<name>.lock". Two processes
// that use the same name exclude each other; a crashed holder releases it with its descriptor.
// Thread-safe: one NamedLock per thread at a time.
#pragma once

struct NamedLock {
  int fd = -1;
};

// Tries for up to timeout_ms (0 = one try, negative = wait forever). 0 when held, -1 on
// timeout or when the lock file cannot be opened; errno is ETIMEDOUT after a timeout.
// Name: letters, digits, '.', '_', '-'.
int named_lock_acquire(NamedLock* lock, const char* name, int timeout_ms);
void named_lock_release(NamedLock* lock);
