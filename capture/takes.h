// The take list: the finished takes that lie on the tape, with their wall-clock start, and how
// many of the leading ones are already on disk. Main thread only.
#pragma once
#include <cstdint>

#include "capture/engine.h"

constexpr int kMaxTakes = 4096;

struct TakeEntry {
  int64_t start;       // first tape frame
  int64_t end;         // one past the last
  int64_t started_at;  // seconds since 1970
};

struct TakeList {
  TakeEntry takes[kMaxTakes];
  int take_count;
  int written_count;   // leading takes already written to disk
};

// Moves finished takes from the engine's sealed-take ring into the list (a full list drops
// them), then limits the list to the takes the engine still counts as closed (a cull shortens
// it). now_seconds stamps each take's start. Returns how many takes were appended.
int drain_sealed_takes(CaptureEngine* e, TakeList* list, int64_t now_seconds);

// Moves the tape's release point: never past what is on disk, never within ten seconds of the
// write head, never while the tape plays; back to the write head after a clear.
void update_release_point(CaptureEngine* e, const TakeList* list);

// The cull command: removes the last take (finished or still recording), unless the session
// was continued and nothing new was begun since. Shows the outcome in the status line.
// Returns true when the cull was requested.
bool cull_last_take(CaptureEngine* e, TakeList* list, int seated_takes, int64_t now_seconds);
