// Clocks: monotonic nanoseconds for timing, a wrapping 32-bit millisecond tick for intervals,
// the machine's uptime for log stamps, and the wall clock with local time.
// Thread-safe: yes. Realtime-safe: mono_ns only (a vDSO clock read).
#pragma once
#include <cstdint>
#include <ctime>

int64_t mono_ns();            // CLOCK_MONOTONIC
uint64_t uptime_ms();         // CLOCK_BOOTTIME: time since the machine started
uint32_t tick_ms();           // milliseconds since first use; wraps; compare by unsigned difference
uint64_t tick64_ms();         // monotonic milliseconds that never wrap
int64_t wall_seconds();       // seconds since 1970
int64_t wall_ns();            // nanoseconds since 1970 (CLOCK_REALTIME)
bool local_time(int64_t seconds, struct tm* out);  // false when the time cannot be converted
int64_t time_from_local(const struct tm* t);       // mktime with the system deciding daylight saving; -1 on failure
void sleep_ms(int ms);
