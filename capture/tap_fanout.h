// Several receivers on the engine's one output tap: the fan-out registers itself as the engine's
// OutputTap and hands every block to each receiver added to it (the broadcast station, the Link
// channel). The audio thread reads the slots with atomic loads and never allocates, locks or
// waits; adding and removing belong to the main thread, and removing waits until the audio thread
// has left any call that may still use the receiver, so its context can be freed afterwards.
#pragma once
#include <atomic>
#include <cstdint>

#include "capture/engine.h"

constexpr int kTapFanoutSlots = 4;

struct TapFanout {
  std::atomic<const OutputTap*> slots[kTapFanoutSlots];  // main thread writes, audio thread reads
  std::atomic<uint64_t> calls;  // bumped by the audio thread on entry and exit: odd while inside
  OutputTap tap;                // {tap_fanout_run, this}: what the engine holds
};

static_assert(std::atomic<const OutputTap*>::is_always_lock_free);
static_assert(std::atomic<uint64_t>::is_always_lock_free);

// Empties every slot and points `tap` at this fan-out. Main thread, before registering it.
void tap_fanout_init(TapFanout* f);
// The record to store into CaptureEngine::output_tap.
inline const OutputTap* tap_fanout_tap(TapFanout* f) { return &f->tap; }
// Adds a receiver (the record must outlive its registration). 0, or -1 when every slot is taken
// or it is there already. Main thread.
int tap_fanout_add(TapFanout* f, const OutputTap* receiver);
// Takes a receiver out and returns once the audio thread can no longer be inside it. Main thread;
// waits at most one block.
void tap_fanout_remove(TapFanout* f, const OutputTap* receiver);
// The engine's side: every receiver gets the block in slot order. Audio thread; never blocks.
void tap_fanout_run(void* fanout, const float* stereo, int frames, int rate);
