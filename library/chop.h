// Opening an audio file and chopping it: the one chop job, its "tolm-import" worker that decodes
// the file and reduces it to one peak per millisecond, the offline cut of that envelope into takes
// by the same threshold line as live recording, and turning the cut into a reference session.
// Threads: the main thread owns the job; the worker writes only the result fields and then
// publishes `state`, and the main thread reads the results only after it has seen that.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <thread>

#include "capture/engine.h"
#include "platform/paths.h"
#include "sessions/recorder.h"

struct Settings;

constexpr int kChopMaxTakes = 512;
constexpr int kChopMessageBytes = 96;
constexpr int kChopMaxColumns = 8192;       // widest chop view, in pixel columns
constexpr int kChopTextBytes = 96;          // header and button texts
constexpr const char* kChopThreadName = "tolm-import";

enum ChopState { kChopReading = 0, kChopReady = 1, kChopFailed = 2 };

struct ChopTake {
  int start;  // envelope blocks (milliseconds), end exclusive
  int end;
};

// What the cut depends on, taken from the trigger slider positions. Look-back has no part offline.
struct ChopCut {
  float threshold;   // T, linear
  float exit_level;  // E, linear (T moved by the gate-out offset)
  float gain;        // G, linear
  int hold_ms;       // H: the sound must stay over the line for more than this
  int pre_roll_ms;   // P
  int post_roll_ms;  // Q
};

struct ChopJob {
  ChopJob() = default;
  ChopJob(const ChopJob&) = delete;
  ChopJob& operator=(const ChopJob&) = delete;
  ~ChopJob();  // stops a running worker and frees the envelope

  // Main thread.
  int mode = 0;                              // chop mode: chop view and buttons instead of the live ones
  char source_path[kPathCap] = {};           // the file being chopped
  uint32_t opened_ms = 0;                    // tick_ms of the open (drives the reading bar)
  std::thread thread;                        // the "tolm-import" worker; joined by cancel_chop, chop_poll
  int failure_shown = 0;                     // the failure has gone to the foot once

  // Shared: the main thread sets cancel, the worker clears running and publishes state last.
  std::atomic<int32_t> cancel{0};            // polled by the decoder once per block and while it waits
  std::atomic<int> running{0};               // a worker exists and has not finished
  std::atomic<int> state{0};                 // ChopState: worker stores (release), main thread loads

  // Written by the worker before it publishes state; read-only afterwards.
  char message[kChopMessageBytes] = {};      // the chop view's failure text
  int read_result = 0;                       // the reader's result code
  char read_message[kChopMessageBytes] = {}; // the reader's own message (empty when it had none)
  float* envelope = nullptr;                 // one peak per block over all channels
  int block_count = 0;
  int block_frames = 0;                      // round(rate / 1000), at least 1
  int sample_rate = 0;                       // the file's rate, rounded
  int64_t total_frames = 0;                  // frames in the file

  // Main thread: the cut and its memo.
  ChopTake takes[kChopMaxTakes] = {};
  int take_count = 0;
  double kept_seconds = 0;                   // the takes' total length
  int cut_serial = 0;                        // bumped by every recomputation of the cut
  int memo_valid = 0;
  const float* memo_envelope = nullptr;
  ChopCut memo_cut = {};

  // Main thread: per-column peaks of the view, kept while the width and the envelope stay.
  float columns[kChopMaxColumns] = {};
  int column_width = 0;                      // 0 = nothing cached
  const float* column_envelope = nullptr;
};

// ---- Opening and closing (main thread) ----

// Starts chopping path: an empty path does nothing; an extension the reader does not take, or a
// path that does not fit, is refused on the foot and nothing else changes. Otherwise any chop
// that is open is dropped, chop mode begins (settings->hud_mode goes to the threshold view when
// settings is given) and the worker starts reading. 0 when chop mode began (a thread that cannot
// start shows as the failure "COULDN'T START"), -1 otherwise.
int open_for_chop(ChopJob* job, Settings* settings, const char* path);

// Stops the worker (cooperatively, then waits for it), frees the envelope and clears the cut and
// the caches. Chop mode is left to the caller. Safe on an idle job.
void cancel_chop(ChopJob* job);

// Esc and the CANCEL button: cancel_chop, and out of chop mode.
void leave_chop(ChopJob* job);

// Once per frame while in chop mode: waits for a worker that has finished (instantly) and puts a
// failed read on the foot once, with the reader's own message when it gave one.
void chop_poll(ChopJob* job);

// The state the view shows: reading, ready or failed.
ChopState chop_state(const ChopJob* job);

// ---- The cut ----

// The cut parameters for the given slider positions (the same formulas as live recording).
ChopCut chop_cut_from_positions(const TriggerPositions& p);

// Cuts an envelope of n one-millisecond blocks into at most cap takes; returns how many. Any thread.
int cut_envelope(const float* envelope, int n, const ChopCut& cut, ChopTake* takes, int cap);

// Recomputes job->takes for the positions unless the envelope and the parameters are those of the
// last cut. Nothing unless the job is ready. Main thread; called by the view every frame.
void cut_takes(ChopJob* job, const TriggerPositions& positions);

// Enter and the MAKE SESSION button (ready jobs only): writes the cut as a reference session into
// the recorder's library and leaves chop mode. 0 with the session's relative name ("date/time") in
// name, after which the library has been rescanned; -1 with the reason on the foot (chop mode stays).
int make_session(ChopJob* job, Recorder* recorder, const TriggerPositions& positions, char* name, size_t name_cap);

// ---- What the view shows (main thread) ----

// The part of a path after its last '/' or '\'.
const char* chop_file_name(const char* path);
// "-" for 0, "%.1FS" under a minute, "%lldM%02lldS" under an hour, "%lldH%02lldM" beyond.
void format_chop_length(double seconds, char* out, size_t cap);
// The top strip's right text: "%d TAKES   KEPT %s OF %s".
void chop_header_text(const ChopJob* job, char* out, size_t cap);
// The left chop button: its text, and true when it is active (ready with at least one take).
bool chop_make_button(const ChopJob* job, char* out, size_t cap);
// Where the reading bar's slider is on its track, 0..1, at tick now_ms (0.8 passes a second).
float chop_reading_phase(const ChopJob* job, uint32_t now_ms);
// Peaks of the ready envelope over width pixel columns (clamped to 1..8192), cached; null while not ready.
const float* chop_columns(ChopJob* job, int width);

// ---- The open dialog ----

// Shows the desktop's open dialog (zenity, else kdialog) and waits for the choice: 0 with the
// chosen path in path (capacity cap), 1 when cancelled, 2 when the path is too long to keep
// (260 bytes or more), -1 when no dialog program could be shown. While the dialog is up its pid
// is in *child (may be null), so another thread can close it. Thread-safe: yes; blocks.
int choose_file_to_chop(char* path, size_t cap, std::atomic<int>* child = nullptr);
// Acts on that answer on the main thread: chops the chosen file; a cancelled dialog does nothing;
// a path too long, or no dialog program, is said on the foot. 0 when a chop began, 1 when the
// dialog was cancelled, -1 otherwise.
int open_chosen_file(ChopJob* job, Settings* settings, int chosen, const char* path);
// Both, on the calling thread (the main thread; it blocks while the dialog is shown).
int open_file_dialog(ChopJob* job, Settings* settings);
