// The desktop's programs on threads of their own.
#include "app/shell/desktop.h"

#include <atomic>
#include <chrono>
#include <cstring>

#include "app/shell/app_state.h"
#include "config/log.h"
#include "config/status.h"
#include "library/chop.h"
#include "platform/file_manager.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "platform/text.h"
#include "platform/thread.h"

struct DesktopRun {
  DesktopAsk ask = DesktopAsk::kOpenFile;
  char arg[kPathCap] = {};
  std::atomic<int> child{0};  // the program's pid while it runs
  std::atomic<int> done{0};
  int answer = 0;             // the chooser's answer, or run_process's result for the file manager
  int exit_code = 0;
  char path[kPathCap] = {};   // what was chosen
};

namespace {

constexpr int kStopWaitMs = 2000;
constexpr int kStopStepMs = 20;
constexpr int kDialogOutputBytes = 4096;
constexpr const char* kFolderDialogTitle = "Choose the tolm write folder";

void work(DesktopRun* r) {
  switch (r->ask) {
    case DesktopAsk::kOpenFile: r->answer = choose_file_to_chop(r->path, sizeof r->path, &r->child); break;
    case DesktopAsk::kWriteFolder: r->answer = pick_folder(r->arg, r->path, sizeof r->path, &r->child); break;
    case DesktopAsk::kShowFolder: {
      const char* const argv[] = {"xdg-open", r->arg, nullptr};
      ProcessResult pr{};
      r->answer = run_process(argv, nullptr, 0, &pr, &r->child);
      r->exit_code = pr.exit_code;
      break;
    }
    case DesktopAsk::kShowItem: r->answer = show_item_in_file_manager(r->arg, &r->child); break;
  }
  r->done.store(1, std::memory_order_release);
}

bool slot_ended(DesktopSlot& s) {
  if (!s.run || !s.run->done.load(std::memory_order_acquire)) return false;
  if (s.thread.joinable()) s.thread.join();
  return true;
}

// Waits for a slot's worker at most kStopWaitMs, closing its program meanwhile when asked; a
// worker still waiting then is let go (it owns its run record with us).
void let_go(DesktopSlot& s, bool close_program) {
  if (!s.run) return;
  for (int waited = 0; !s.run->done.load(std::memory_order_acquire) && waited < kStopWaitMs; waited += kStopStepMs) {
    if (close_program) stop_process(&s.run->child);  // again and again: it may not have started yet
    std::this_thread::sleep_for(std::chrono::milliseconds(kStopStepMs));
  }
  if (s.thread.joinable()) {
    if (s.run->done.load(std::memory_order_acquire)) s.thread.join();
    else s.thread.detach();
  }
  s.run.reset();
}

}  // namespace

DesktopJobs::~DesktopJobs() {
  let_go(dialog, true);
  let_go(shower, false);
}

void desktop_start(AppState* app, DesktopAsk ask, const char* arg) {
  const bool dialog = ask == DesktopAsk::kOpenFile || ask == DesktopAsk::kWriteFolder;
  DesktopSlot& slot = dialog ? app->desktop.dialog : app->desktop.shower;
  if (slot.run) {
    if (ask == DesktopAsk::kShowFolder || ask == DesktopAsk::kShowItem)
      log_line("desktop: still showing a folder - %s not shown", arg ? arg : "");
    else status_flash("A DIALOG IS ALREADY OPEN");
    return;
  }
  auto run = std::make_shared<DesktopRun>();
  run->ask = ask;
  text_copy(run->arg, arg ? arg : "");
  try {
    // The worker holds its own reference: a quit may let it go before it ends.
    slot.thread = std::thread([run] { work(run.get()); });
    thread_set_name(slot.thread, "tolm-desktop");
  } catch (const std::exception& e) {
    log_line("desktop: couldn't start a thread for the dialog (%s)", e.what());
    status_flash(ask == DesktopAsk::kOpenFile || ask == DesktopAsk::kWriteFolder ? "COULDN'T OPEN THE DIALOG"
                                                                                  : "NO FILE MANAGER TO SHOW IT");
    return;
  }
  slot.run = std::move(run);
}

void folder_shown(const char* target, int rc, int exit_code) {
  if (rc == kProcessOk && exit_code == 0) {
    log_line("desktop: showing %s", target);
    return;
  }
  log_line("desktop: xdg-open could not show %s (%s %d)", target, rc == kProcessNotFound ? "not installed" : "status",
           rc == kProcessOk ? exit_code : rc);
  status_flash("NO FILE MANAGER TO SHOW IT");
}

void item_shown(const char* path, int shown) {
  if (shown == kShownSelected) log_line("desktop: showing %s in its folder", path);
  else if (shown == kShownFolder) log_line("desktop: the file manager did not answer - opened the folder of %s", path);
  else log_line("desktop: nothing could show %s", path), status_flash("NO FILE MANAGER TO SHOW IT");
}

bool desktop_dialog_up(const AppState* app) { return app->desktop.dialog.run != nullptr; }

bool desktop_take_answer(AppState* app, DesktopAnswer* out) {
  for (DesktopSlot* s : {&app->desktop.dialog, &app->desktop.shower}) {
    if (!slot_ended(*s)) continue;
    const std::shared_ptr<DesktopRun> run = std::move(s->run);
    out->ask = run->ask;
    out->answer = run->answer;
    out->exit_code = run->exit_code;
    text_copy(out->arg, run->arg);
    text_copy(out->path, run->path);
    return true;
  }
  return false;
}

void desktop_stop(AppState* app) {
  let_go(app->desktop.dialog, true);
  let_go(app->desktop.shower, false);
}

int pick_folder(const char* start, char* out, size_t cap, std::atomic<int>* child) {
  char start_arg[kPathCap + 16] = "";
  char home[kPathCap] = "";
  if (start && start[0]) {
    text_format(start_arg, sizeof start_arg, "--filename=%s/", start);
    text_copy(home, start);
  } else if (!home_dir(home, sizeof home)) {
    text_copy(home, ".");
  }
  const char* const zenity[] = {"zenity",  "--file-selection", "--directory", "--title=Choose the tolm write folder",
                                start_arg[0] ? start_arg : nullptr, nullptr};
  const char* const kdialog[] = {"kdialog", "--title", kFolderDialogTitle, "--getexistingdirectory", home, nullptr};
  const char* const* const dialogs[] = {zenity, kdialog};
  for (const char* const* argv : dialogs) {
    char text[kDialogOutputBytes];
    char err[kDialogOutputBytes];
    ProcessResult pr{};
    const int rc = run_process(argv, text, sizeof text, &pr, child, err, sizeof err);
    if (rc == kProcessNotFound) continue;
    if (rc != kProcessOk) {
      log_line("options: %s could not be run", argv[0]);
      continue;
    }
    const DialogEnd end = dialog_end(pr, err);
    if (end == DialogEnd::kCancelled) return 1;  // cancelled, closed, or stopped at quit
    if (end == DialogEnd::kNotShown) {
      log_line("options: %s could not show itself (status %d, signal %d)", argv[0], pr.exit_code, pr.signal);
      continue;  // the next one may
    }
    size_t n = strlen(text);
    while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r')) text[--n] = 0;
    if (n == 0) return 1;
    if (pr.output_bytes >= sizeof text || n >= cap || n >= size_t(kPathCap)) {
      log_line("options: the chosen folder's path is too long");
      return -2;
    }
    text_copy(out, cap, text);
    return 0;
  }
  log_line("options: no folder dialog (zenity or kdialog) could be shown");
  return -1;
}
