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
  int dropped;         // takes a full list could not hold; a cull takes these first
};

// Moves finished takes from the engine's sealed-take ring into the list (a full list drops
// them) and follows the culls the engine reports in between, in the order they happened: a
// cull removes the last take. now_seconds stamps each take's start. Returns how many takes were
// appended.
int drain_sealed_takes(CaptureEngine* e, TakeList* list, int64_t now_seconds);

// Moves the tape's release point: never past what is on disk, never within ten seconds of the
// write head, never while the tape plays or a cull is pending; back to the write head after a
// clear.
void update_release_point(CaptureEngine* e, const TakeList* list);

// Clears the tape (the write head back to 0) once the session's takes are on disk: asks the
// audio thread, waits a little for it to serve the request (a stream that is down serves it when
// it comes back) and, once served, has the allocator give frame 0 its chunks again before
// returning, so a take that starts at once lands on the tape. Main thread.
void clear_tape(CaptureEngine* e);

// The cull command: removes the last take (finished or still recording), unless the session
// was continued and nothing new was begun since. Shows the outcome in the status line. The
// release point is first lowered to where the write head can roll back to, and the allocator
// has made those chunks present again before the cull is asked for, so the next take lands on
// the tape.
// Returns true when the cull was requested.
bool cull_last_take(CaptureEngine* e, TakeList* list, int seated_takes, int64_t now_seconds);
