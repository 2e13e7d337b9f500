// The tape: one long strip of stereo float frames numbered from 0, stored in 10-second chunks
// that an allocation thread keeps present ahead of the write head and gives back behind the
// release point. Threads: the audio thread writes frames into present chunks; the allocation
// thread places and removes chunks and moves the frontiers; the main thread sets the release
// point and reads frames of sealed takes.
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

constexpr int kTapeChunkSeconds = 10;
constexpr int kTapeAddressableMinutes = 525600;  // one year
constexpr int kTapeSpareTarget = 4;
constexpr int kTapeReleasedMax = 64;             // chunks given back per step, and the waiting list
constexpr int kTapeMinResidentCap = 6;
constexpr uint64_t kTapeRecycleMs = 250;         // a removed chunk waits this long before reuse
constexpr int kTapeThreadPeriodMs = 200;
constexpr int kTapeAhead = 3;                    // chunks kept present from the write head on

struct ReleasedChunk {
  float* chunk;
  uint64_t tick_ms;
};

struct Tape {
  // Sizes, fixed by tape_create.
  int chunk_frames;   // frames per chunk
  int slot_count;     // chunk slots in the table
  int chunk_floats;   // 2 × chunk_frames
  int spare_target;
  int resident_cap;   // most chunks present at once

  // The chunk table: written by the allocation thread, read by the audio and main threads.
  std::atomic<float*>* chunks;
  std::atomic<int> resident;
  std::atomic<int64_t> allocated_frontier;  // the audio thread writes only below it
  std::atomic<int64_t> released_frontier;   // chunks before it were given back
  std::atomic<int> out_of_memory;           // never cleared
  std::atomic<int> cap_hit;                 // never cleared

  std::atomic<int64_t> release_point;       // main thread: audio before it may be given back

  // Allocation thread only.
  float** spare;
  int spare_count;
  ReleasedChunk released[kTapeReleasedMax];
  int released_count;

  // The allocation thread.
  std::thread thread;
  std::mutex wake_lock;
  std::condition_variable wake;
  std::atomic<int> thread_run;
  std::atomic<int> wake_asked;              // main thread: run a step now instead of sleeping
  std::atomic<int64_t> steps;               // allocator steps completed (positions only grow)
  int full_reported;  // the "TAPE FULL" line is given once per thread lifetime
};

// Computes the sizes, lowers the resident cap to 60 % of available memory (never below 6
// chunks), allocates the table and fills the spare pool. 0, or -1 when an allocation fails.
// Main thread; the tape must be zeroed or destroyed.
int tape_create(Tape* t, int chunk_seconds, int addressable_minutes, int spare_target, double rate);
// Same, with the memory figure given (tests).
int tape_create_with_memory(Tape* t, int chunk_seconds, int addressable_minutes, int spare_target, double rate,
                            uint64_t available_bytes);
// Frees every chunk and the table; zeroes the tape. The allocation thread must be stopped.
void tape_destroy(Tape* t);

// One allocator step: release behind the release point (at most 64 chunks), allocate ahead of
// the write head, refill the spare pool, move the frontier, recycle old released chunks.
// Allocation thread (or the main thread while the thread is stopped).
void tape_maintain(Tape* t, int64_t write_head, int ahead);
// Same with an explicit clock (tests).
void tape_maintain_at(Tape* t, int64_t write_head, int ahead, uint64_t now_ms);

// Starts the allocation thread: every 200 ms it maintains the tape ahead of *write_head.
void tape_thread_start(Tape* t, const std::atomic<int64_t>* write_head, double rate);
// Stops and joins it.
void tape_thread_stop(Tape* t);
// Returns once a whole allocator step has run after the call began, so a release point lowered
// just before is honoured and the chunks ahead of the write head are present again. With the
// allocation thread running it wakes the thread and waits (up to a second, false on timeout);
// with it stopped it runs the step itself, ahead of write_head. Main thread; never the audio
// thread. The thread is the only one that maintains the tape while it runs.
bool tape_maintain_now(Tape* t, int64_t write_head);
// Asks the allocation thread for a step now, without waiting for it. Main thread.
void tape_wake(Tape* t);

// Frame access. A frame whose chunk is outside the table or not present has no storage.
// Thread-safe: any thread; realtime-safe.
inline float* tape_frame(const Tape* t, int64_t frame) {
  if (frame < 0) return nullptr;
  int64_t chunk = frame / t->chunk_frames;
  if (chunk >= t->slot_count) return nullptr;
  float* c = t->chunks[chunk].load(std::memory_order_acquire);
  return c ? c + 2 * (frame - chunk * t->chunk_frames) : nullptr;
}

// Copies frames [first, first + count) as stereo pairs into out; missing frames read as 0.
// Main thread (readers of sealed audio).
void tape_read(const Tape* t, int64_t first, int64_t count, float* out);
