// The desktop's programs on threads of their own.
#include "app/shell/desktop.h"

#include <atomic>
#include <chrono>

#include "app/shell/app_state.h"
#include "app/chop/chop_control.h"
#include "app/panels/options.h"
#include "config/log.h"
#include "config/status.h"
#include "library/chop.h"
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
  }
  r->done.store(1, std::memory_order_release);
}

void act_on(AppState* app, const DesktopRun& r) {
  switch (r.ask) {
    case DesktopAsk::kOpenFile: chop_file_chosen(app, r.answer, r.path); break;
    case DesktopAsk::kWriteFolder: write_folder_chosen(app, r.answer, r.path); break;
    case DesktopAsk::kShowFolder: folder_shown(r.arg, r.answer, r.exit_code); break;
  }
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
  DesktopSlot& slot = ask == DesktopAsk::kShowFolder ? app->desktop.shower : app->desktop.dialog;
  if (slot.run) {
    if (ask == DesktopAsk::kShowFolder) log_line("options: still showing a folder - %s not shown", arg ? arg : "");
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
    status_flash(ask == DesktopAsk::kShowFolder ? "NO FILE MANAGER TO SHOW IT" : "COULDN'T OPEN THE DIALOG");
    return;
  }
  slot.run = std::move(run);
}

bool desktop_dialog_up(const AppState* app) { return app->desktop.dialog.run != nullptr; }

void desktop_poll(AppState* app) {
  for (DesktopSlot* s : {&app->desktop.dialog, &app->desktop.shower}) {
    if (!slot_ended(*s)) continue;
    const std::shared_ptr<DesktopRun> run = std::move(s->run);
    act_on(app, *run);
  }
}

void desktop_stop(AppState* app) {
  let_go(app->desktop.dialog, true);
  let_go(app->desktop.shower, false);
}
