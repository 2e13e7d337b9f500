// Program entry: the command line, one application record on the heap, start-up, the main loop,
// shutdown.
#include <cstdio>
#include <cstring>
#include <memory>

#include "app/chop/chop_control.h"
#include "app/shell/app.h"
#include "app/shell/version.h"
#include "platform/paths.h"

namespace {

constexpr const char* kUsage =
    "Usage: tolm [FILE]\n"
    "A sound-activated field recorder: armed with Space, it records a take whenever the sound rises\n"
    "over the threshold line and writes it at once as a WAV file into a dated session folder.\n"
    "FILE, an audio file (wav, mp3, m4a, aac, flac, wma, ogg, opus), opens for chopping into takes\n"
    "as soon as the window is up, as a file dropped on the window does.\n"
    "\n"
    "  --help     print this help and exit\n"
    "  --version  print the version and exit\n"
    "\n"
    "Keys, files and folders: man tolm\n";

enum class Command { kRun, kHelp, kVersion, kWrong };

// Reads the arguments without touching anything else: one file at most; "--" ends the options, so
// a file whose name starts with '-' can still be named.
Command read_command_line(int argc, char** argv, const char** file) {
  bool options = true;
  for (int i = 1; i < argc; ++i) {
    const char* a = argv[i];
    if (options && strcmp(a, "--") == 0) {
      options = false;
    } else if (options && (strcmp(a, "--help") == 0 || strcmp(a, "-h") == 0)) {
      return Command::kHelp;
    } else if (options && strcmp(a, "--version") == 0) {
      return Command::kVersion;
    } else if (options && a[0] == '-' && a[1]) {
      fprintf(stderr, "tolm: unknown option %s (tolm --help lists them)\n", a);
      return Command::kWrong;
    } else if (*file) {
      fprintf(stderr, "tolm: one file at a time (%s and %s)\n", *file, a);
      return Command::kWrong;
    } else {
      *file = a;
    }
  }
  return Command::kRun;
}

}  // namespace

int main(int argc, char** argv) {
  // Help and version answer before anything starts: no log, no window, no audio device.
  const char* file = nullptr;
  switch (read_command_line(argc, argv, &file)) {
    case Command::kHelp: fputs(kUsage, stdout); return 0;
    case Command::kVersion: printf("tolm ZEPHA %s\n", kTolmVersion); return 0;
    case Command::kWrong: return 2;
    case Command::kRun: break;
  }
  // Made absolute now, so the session made from the file still finds it. Room for more than a
  // path may hold: one too long is refused in the window with the chop's own message.
  char path[4096 + kPathCap] = "";
  if (file && !absolute_path(file, path, sizeof path)) {
    fprintf(stderr, "tolm: cannot make %s an absolute path\n", file);
    return 2;
  }

  auto app = std::make_unique<AppState>();  // value-initialised: every field starts at zero
  const int failed = app_start(app.get());
  if (failed) return failed;
  if (path[0]) open_for_chop(app.get(), path);  // as a drop on the window
  app_run(app.get());
  return app_shutdown(app.get());
}
