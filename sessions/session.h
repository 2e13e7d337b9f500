// Session folders: choosing the write folder, opening a dated session folder when the recorder is
// armed, its session.json index, ending a session (sealing it, or removing it when nothing was
// heard), continuing an earlier session and the first-run example session. Main thread only.
#pragma once
#include <cstdint>

#include "sessions/recorder.h"
#include "sessions/take_writer.h"

constexpr int kEndWaitPolls = 60;        // polls of the recording flag when a session ends
constexpr int kEndWaitPollMs = 10;
constexpr int kSessionOverviewValues = 1024;
constexpr const char* kTooManyTakesToContinue = "TOO MANY TAKES TO CONTINUE";

// Zeroes the library, then adopts the chosen root, else (unless the settings live beside the
// program) the music folder, else the program's folder; then scans.
void init_library(Recorder* r, const char* library_dir);

// Adopts root when "root/tolm" exists as a folder afterwards (created when missing) and rescans.
// 0 or -1 (the previous write folder stays).
int set_write_folder(Recorder* r, const char* root);

// Opens a fresh session folder for the local time of `seconds`. 0 or -1 (session stays closed).
int open_session_folder(Recorder* r, int64_t seconds);

// Rewrites session.json of the open session whole. 0, or -1 when none is open or it failed.
int write_session_index(Recorder* r);

// Space while idle: opens the session (recording goes ahead on the tape when the folder cannot be
// made), rescans and arms. Returns 0, or -1 when the folder could not be made.
int arm_session(Recorder* r);

// Space while armed, and at quit: disarms, writes what is pending and seals the session; removes
// it when nothing was heard; keeps session and tape when the disk refused. Returns 0 when the
// session was closed, -1 when it stays open with takes not on disk.
int end_session(Recorder* r);

// Makes the open session's folder again after it went away: only its date and time folders, and
// only inside a write folder that is still there. 0, or -1 (the takes stay on the tape).
int remake_session_folder(Recorder* r);

// Removes the open session's folder when it holds no "*.wav" (temporary files left by an
// interrupted write go first): 0, or -1 when it was left.
int remove_empty_session(Recorder* r);

// Continues library row `row` (-1 = none selected): takes are the row's takes as the library lists
// them (null = not loaded), overview its session overview (null = still being read). Refused when
// the row holds more takes than were handed over: the rest would fall out of its session.json.
// 0, or -1 with the reason shown.
int continue_session(Recorder* r, int row, const TakeFile* takes, int take_count, const float* overview,
                     int overview_values);

// First run: when first_done is 0 it becomes 1 and, if the library is empty, the example take
// "first/tolm-124425.wav" beside the program is copied into a session 2026-10-05/124424.
// Returns 0 when a session was seeded, else -1.
int seed_first_session(Recorder* r);
int seed_first_session_from(Recorder* r, const char* program_folder);
