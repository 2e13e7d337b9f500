// The recorder's main-thread state: the capture engine it drives, the take list, the open session,
// the library of sessions on disk and the hooks that later layers fill in. One record owned by the
// application; a zeroed record is a valid empty state (no session, empty library, default clock).
// Main thread only.
#pragma once
#include <cstdint>

#include "capture/takes.h"
#include "platform/paths.h"

struct Settings;

constexpr int kMaxSessions = 512;        // rows in the library
constexpr int kTakeNameBytes = 64;       // a take file name of the open session, 63 characters
constexpr int kRelativeNameBytes = 80;   // "date/time" below the write folder, 79 characters
constexpr int kDisplayNameBytes = 96;
constexpr int kSourceNameBytes = 64;

// The open session. folder empty = none open; names[i] is the file of take i.
struct Session {
  char folder[kPathCap];
  char names[kMaxTakes][kTakeNameBytes];
  int count;                           // files written into the folder, in take order
  char relative[kRelativeNameBytes];   // e.g. "2026-10-05/124424"; empty when outside the write folder
  int dir_sync_pending;                // a take file's name may not be on disk yet: sync the folder again
};

// One session folder as the library lists it.
struct LibraryRow {
  char display_name[kDisplayNameBytes];    // "date time"
  char relative_path[kRelativeNameBytes];  // "date/time"
  double total_seconds;                    // sum of the takes' durations
  int take_count;
  int64_t folder_time;                     // folder's last write, 100 ns units since 1601 (sort key)
  int64_t start_time;                      // seconds since 1970 from the folder names; 0 = unknown
  double span_seconds;                     // last write minus start, 0 when unknown
  int reference;                           // the folder holds a readable source.ref
  char source_name[kSourceNameBytes];      // reference session: the source file's name
};

struct Library {
  char root[kPathCap];           // the chosen root (or music folder, or program folder)
  char write_folder[kPathCap];   // root/tolm
  LibraryRow rows[kMaxSessions]; // newest folder time first
  int row_count;
  uint32_t scan_serial;          // bumped by every scan, so views can tell the list changed
};

// Hooks: each a {function, context} pair; a null function means "not available".
struct RateHook {  // switches the stream to rate; 0 when it now runs there
  int (*fn)(void* ctx, double rate);
  void* ctx;
};
struct ResumeHook {  // seats laid-out takes in the engine (empty tape, counters and overview set); 0 or -1
  int (*fn)(void* ctx, int64_t tape_length, const int64_t* take_starts, int count, const float* overview,
            int value_count);
  void* ctx;
};
struct RowHook {  // the library row of the open session changed its totals
  void (*fn)(void* ctx, int row, double total_seconds, int take_count);
  void* ctx;
};
struct PlaybackHook {  // stops tape or library playback
  void (*fn)(void* ctx);
  void* ctx;
};
struct ClockHook {  // seconds since 1970
  int64_t (*fn)(void* ctx);
  void* ctx;
};
struct SleepHook {  // waits ms milliseconds (the end-of-session wait for the recording flag)
  void (*fn)(void* ctx, int ms);
  void* ctx;
};

struct RecorderHooks {
  RateHook change_rate;           // device engine
  ResumeHook resume;              // device engine
  RowHook library_row_updated;    // library drawer
  PlaybackHook stop_playback;     // player; arming also clears the engine's play_tape
  ClockHook now_seconds;          // null = the wall clock
  SleepHook sleep;                // null = sleep_ms
};

struct Recorder {
  CaptureEngine* engine;   // not owned; null = no audio
  Settings* settings;      // not owned; may be null
  TakeList takes;          // takes on the tape; the first written_count are on disk
  Session session;
  Library library;
  int holding;             // a write failed: no further writing until the session is stopped
  int seated_takes;        // takes a continued session started with; cull never reaches below
  int gate_held;           // G is down
  int gate_latched;        // L latch is on
  RecorderHooks hooks;
};

// The recorder's clock and wait, through the hooks when set.
int64_t recorder_now(const Recorder* r);
void recorder_sleep(Recorder* r, int ms);

// Moves sealed takes from the engine's ring into the take list, stamped with the recorder's clock.
void collect_sealed_takes(Recorder* r);

// True when takes on the tape are not yet on disk (a write failed, or the writer has not run).
bool recorder_has_unwritten(const Recorder* r);
