// Clocks on CLOCK_MONOTONIC / CLOCK_BOOTTIME and the C library's local time.
#include "platform/clock.h"

#include <time.h>
#include <unistd.h>

int64_t mono_ns() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

uint64_t uptime_ms() {
  timespec ts;
  clock_gettime(CLOCK_BOOTTIME, &ts);
  return uint64_t(ts.tv_sec) * 1000 + uint64_t(ts.tv_nsec) / 1000000;
}

uint64_t tick64_ms() {
  static const int64_t origin = mono_ns();
  return uint64_t((mono_ns() - origin) / 1000000);
}

uint32_t tick_ms() { return uint32_t(tick64_ms()); }

int64_t wall_seconds() { return int64_t(time(nullptr)); }

int64_t wall_ns() {
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

bool local_time(int64_t seconds, struct tm* out) {
  time_t t = time_t(seconds);
  return localtime_r(&t, out) != nullptr;
}

int64_t time_from_local(const struct tm* t) {
  struct tm copy = *t;
  copy.tm_isdst = -1;
  time_t r = mktime(&copy);
  return r == time_t(-1) ? -1 : int64_t(r);
}

void sleep_ms(int ms) {
  if (ms <= 0) return;
  timespec ts{ms / 1000, long(ms % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0) {
  }
}
