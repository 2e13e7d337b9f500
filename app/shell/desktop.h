// The desktop's programs the window asks for (the open-file dialog, the folder picker, the file
// manager showing a folder or a file) run on threads of their own, so that while one is up the
// window goes on drawing, takes go on being written and the watchdog goes on watching. One dialog
// at a time, and one file manager. Their answers are taken in the main loop and handed to whoever
// asked (the event routing does that). Main thread only (the workers share only their own run
// record).
#pragma once
#include <atomic>
#include <cstddef>
#include <memory>
#include <thread>

#include "platform/paths.h"

struct AppState;

enum class DesktopAsk : int { kOpenFile, kWriteFolder, kShowFolder, kShowItem };

struct DesktopRun;  // one run, shared with its worker (which may outlive a quit)
struct DesktopSlot {
  std::shared_ptr<DesktopRun> run;  // null when the slot is free
  std::thread thread;
};
struct DesktopJobs {
  DesktopSlot dialog;  // the open-file dialog or the folder picker
  DesktopSlot shower;  // the file manager showing a folder or a file
  ~DesktopJobs();
};

// What an ended program answered.
struct DesktopAnswer {
  DesktopAsk ask;
  int answer;            // the chooser's answer; run_process's result (folder) or the show result (file)
  int exit_code;         // xdg-open's exit code (folder)
  char arg[kPathCap];    // what it was started with
  char path[kPathCap];   // what was chosen
};

// Starts the program for ask with arg (the picker's starting folder, the folder or file to show;
// ignored for the open dialog). A dialog asked for while another is up is refused on the foot.
void desktop_start(AppState* app, DesktopAsk ask, const char* arg);
bool desktop_dialog_up(const AppState* app);
// Main loop: a program that has ended is joined and its answer handed out; false when none has.
bool desktop_take_answer(AppState* app, DesktopAnswer* out);
// What became of a folder or a file the file manager was to show: logged, and when nothing could
// show it the foot says so.
void folder_shown(const char* target, int rc, int exit_code);  // xdg-open's result and exit code
void item_shown(const char* path, int shown);                  // show_item_in_file_manager's result
// Quit: a dialog still up is closed (its answer dropped) and waited for at most 2 s; a file
// manager is left to the user.
void desktop_stop(AppState* app);

// The folder picker: runs zenity, else kdialog, titled "Choose the tolm write folder", starting in
// `start` (may be empty). Blocks while it is shown, its pid in *child (may be null). Returns 0 with
// the chosen folder in out, 1 when cancelled, -1 when no dialog could be shown, -2 when the chosen
// path is too long to keep. Thread-safe: yes (it runs off the main thread).
int pick_folder(const char* start, char* out, size_t cap, std::atomic<int>* child = nullptr);
