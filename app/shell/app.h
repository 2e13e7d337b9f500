// The program's life: start-up in its fixed order, the main loop, the quit sequence with its
// refusal while takes are not on disk, and the shutdown in reverse order. Main thread only.
#pragma once
#include <cstdint>

#include "app/shell/app_state.h"

constexpr const char* kNoMicrophoneText =
    "tolm couldn't open a microphone.\n\nPlug one in, or if another app is using yours (a DAW, a call), close it "
    "and start tolm again.";
constexpr const char* kStreamFailedText = "Audio stream failed to start.";

// Start-up. 0 when the window is up and the stream runs; 1 (the exit code) when it failed.
int app_start(AppState* app);
// The main loop; returns when the quit sequence lets the program go.
void app_run(AppState* app);
// Releases everything in the reverse order of start-up; returns the exit code 0.
int app_shutdown(AppState* app);

// Draws one complete frame and presents it (and saves it when a screenshot was asked for).
void render_frame(AppState* app);

// The quit sequence: saves what it can; true when the loop may end, false when the quit was
// refused (takes not on disk, first time).
bool quit_sequence(AppState* app);
// Once every take is on disk again, a refusal is forgotten: the next quit saves and exits, and a
// later disk error is refused afresh. Called on every pass of the main loop.
void quit_refusal_follow(AppState* app);
// A frame reached the screen: a refusal set before it is now on screen.
void note_frame_presented(AppState* app);

// The window title's text for the current state.
void format_window_title(const AppState* app, char* out, size_t cap);

// The request files (open a file, take a screenshot): checked once a frame (now: tick_ms()),
// deleted on sight; an empty open request is left a second for its path to be written.
void poll_requests(AppState* app, uint32_t now);

// One frame of the performance accounting (loop step 1): the 2-second line and the 10-second log.
void perf_tick(AppState* app, int64_t now_ns);
