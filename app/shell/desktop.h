// The desktop's programs the window asks for (the open-file dialog, the folder picker, the file
// manager) run on threads of their own, so that while one is up the window goes on drawing, takes
// go on being written and the watchdog goes on watching. One dialog at a time, and one file
// manager. Their answers are acted on in the main loop. Main thread only (the workers share only
// their own run record).
#pragma once
#include <memory>
#include <thread>

struct AppState;

enum class DesktopAsk : int { kOpenFile, kWriteFolder, kShowFolder };

struct DesktopRun;  // one run, shared with its worker (which may outlive a quit)
struct DesktopSlot {
  std::shared_ptr<DesktopRun> run;  // null when the slot is free
  std::thread thread;
};
struct DesktopJobs {
  DesktopSlot dialog;  // the open-file dialog or the folder picker
  DesktopSlot shower;  // xdg-open showing a folder
  ~DesktopJobs();
};

// Starts the program for ask with arg (the picker's starting folder, the folder to show; ignored
// for the open dialog). A dialog asked for while another is up is refused on the foot.
void desktop_start(AppState* app, DesktopAsk ask, const char* arg);
bool desktop_dialog_up(const AppState* app);
// Main loop: a program that has ended is joined and its answer acted on.
void desktop_poll(AppState* app);
// Quit: a dialog still up is closed (its answer dropped) and waited for at most 2 s; a file
// manager is left to the user.
void desktop_stop(AppState* app);
