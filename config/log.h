// The process-wide diagnostic log: a ring of the last 256 lines for the console, the file
// ~/.lumaro/tolm.log (fresh each run, flushed per line) and an echo on standard error.
// Thread-safe: yes, from any thread. Realtime-safe: no (never call it from the audio callback).
#pragma once
#include <cstddef>

constexpr int kLogRingLines = 256;
constexpr int kLogLineBytes = 120;     // ring slot, NUL included
constexpr int kLogMessageBytes = 512;  // one formatted message, NUL included

void log_line(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// Lines logged in this run.
int log_line_count();
// Copies line n (0-based, logging order) into out when it is still in the ring.
bool log_recent_line(int n, char* out, size_t cap);
