// The log ring, the lazily opened log file and the stderr echo. One reader-writer lock covers
// the ring, the counter and the file; formatting happens before it and the echo after it.
#include "config/log.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <shared_mutex>

#include "platform/clock.h"
#include "platform/paths.h"
#include "platform/text.h"

namespace {

struct LogState {
  std::shared_mutex lock;
  char ring[kLogRingLines][kLogLineBytes];
  int count;             // every line of the run
  bool open_attempted;   // the file is opened once, never retried
  FILE* file;
};

LogState g_log;

void open_log_file() {
  g_log.open_attempted = true;
  char home[kPathCap], folder[kPathCap], path[kPathCap];
  // Only a home the environment names: with HOME empty there is no log file at all, rather than
  // one in the password database's home that another session may be writing.
  if (!home_from_environment(home, sizeof home)) return;
  if (text_format(folder, sizeof folder, "%s/.lumaro", home) >= sizeof folder - 1) return;
  if (make_dir(folder) != 0) return;
  if (text_format(path, sizeof path, "%s/tolm.log", folder) >= sizeof path - 1) return;
  g_log.file = fopen(path, "wb");
}

}  // namespace

void log_line(const char* fmt, ...) {
  double seconds = double(uptime_ms()) / 1000.0;
  char message[kLogMessageBytes];
  va_list args;
  va_start(args, fmt);
  text_vformat(message, sizeof message, fmt, args);
  va_end(args);
  {
    std::unique_lock guard(g_log.lock);
    text_format(g_log.ring[g_log.count % kLogRingLines], kLogLineBytes, "%8.2f  %s", seconds, message);
    ++g_log.count;
    if (!g_log.open_attempted) open_log_file();
    if (g_log.file) {
      char stamp[32];
      text_format(stamp, sizeof stamp, "%8.2f  ", seconds);
      fputs(stamp, g_log.file);
      fputs(message, g_log.file);
      fputc('\n', g_log.file);
      fflush(g_log.file);
    }
  }
  fprintf(stderr, "%s\n", message);
}

int log_line_count() {
  std::shared_lock guard(g_log.lock);
  return g_log.count;
}

bool log_recent_line(int n, char* out, size_t cap) {
  std::shared_lock guard(g_log.lock);
  if (n < 0 || n >= g_log.count || n < g_log.count - kLogRingLines) return false;
  text_copy(out, cap, g_log.ring[n % kLogRingLines]);
  return true;
}
