// Tape chunks and the allocation thread. Chunk pointers and frontiers are atomics: the
// allocation thread publishes a zeroed chunk with a release store before the frontier moves
// past it, and removes a chunk only once it lies wholly before the release point, which the
// main thread keeps behind everything still being read; a removed chunk waits 250 ms before it
// is zeroed for reuse or freed, so a reader that fetched its pointer just before never touches
// freed memory.
#include "capture/tape.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "config/log.h"
#include "platform/clock.h"
#include "platform/system.h"
#include "platform/thread.h"

namespace {

// A zeroed chunk whose pages are touched now, on this thread, so the audio thread never takes a
// page fault on first write. An optimising compiler turns malloc and memset into calloc, which
// leaves fresh pages unmapped, so every page also gets one write it cannot drop.
float* new_chunk(const Tape* t) {
  size_t bytes = size_t(t->chunk_floats) * sizeof(float);
  float* c = static_cast<float*>(malloc(bytes));
  if (!c) return nullptr;
  memset(c, 0, bytes);
  volatile char* bytes_of = reinterpret_cast<volatile char*>(c);
  for (size_t at = 0; at < bytes; at += 4096) bytes_of[at] = 0;  // 4 KB: the smallest page size
  return c;
}

// Puts a chunk into slot i: from the spare pool, else newly allocated; false (with the reason
// flagged) at the resident cap or when memory runs out.
bool place_chunk(Tape* t, int64_t i) {
  if (t->resident.load(std::memory_order_relaxed) >= t->resident_cap) {
    t->cap_hit.store(1, std::memory_order_relaxed);
    return false;
  }
  float* c = t->spare_count > 0 ? t->spare[--t->spare_count] : new_chunk(t);
  if (!c) {
    t->out_of_memory.store(1, std::memory_order_relaxed);
    return false;
  }
  t->chunks[i].store(c, std::memory_order_release);
  t->resident.fetch_add(1, std::memory_order_relaxed);
  return true;
}

}  // namespace

int tape_create(Tape* t, int chunk_seconds, int addressable_minutes, int spare_target, double rate) {
  return tape_create_with_memory(t, chunk_seconds, addressable_minutes, spare_target, rate, available_memory_bytes());
}

int tape_create_with_memory(Tape* t, int chunk_seconds, int addressable_minutes, int spare_target, double rate,
                            uint64_t available_bytes) {
  t->chunk_frames = std::max(1, int(double(chunk_seconds) * rate));
  t->slot_count = std::max(1, int(double(addressable_minutes) * 60.0 / double(std::max(chunk_seconds, 1))));
  t->chunk_floats = 2 * t->chunk_frames;
  t->spare_target = std::max(0, spare_target);
  t->resident_cap = t->slot_count;
  uint64_t chunk_bytes = uint64_t(t->chunk_floats) * sizeof(float);
  uint64_t by_memory = uint64_t(0.6 * double(available_bytes)) / chunk_bytes;
  if (by_memory < uint64_t(t->resident_cap)) t->resident_cap = int(by_memory);
  t->resident_cap = std::max(t->resident_cap, kTapeMinResidentCap);

  t->resident.store(0);
  t->allocated_frontier.store(0);
  t->released_frontier.store(0);
  t->out_of_memory.store(0);
  t->cap_hit.store(0);
  t->release_point.store(0);
  t->released_count = 0;
  t->spare_count = 0;
  t->full_reported = 0;
  t->wake_asked.store(0);
  t->steps.store(0);

  t->chunks = new (std::nothrow) std::atomic<float*>[size_t(t->slot_count)];
  t->spare = new (std::nothrow) float*[size_t(std::max(t->spare_target, 1))];
  if (!t->chunks || !t->spare) {
    tape_destroy(t);
    return -1;
  }
  for (int i = 0; i < t->slot_count; ++i) t->chunks[i].store(nullptr, std::memory_order_relaxed);
  while (t->spare_count < t->spare_target) {
    float* c = new_chunk(t);
    if (!c) {
      tape_destroy(t);
      return -1;
    }
    t->spare[t->spare_count++] = c;
  }
  return 0;
}

void tape_destroy(Tape* t) {
  if (t->chunks) {
    for (int i = 0; i < t->slot_count; ++i) free(t->chunks[i].exchange(nullptr));
    delete[] t->chunks;
  }
  if (t->spare) {
    for (int i = 0; i < t->spare_count; ++i) free(t->spare[i]);
    delete[] t->spare;
  }
  for (int i = 0; i < t->released_count; ++i) free(t->released[i].chunk);
  t->chunks = nullptr;
  t->spare = nullptr;
  t->spare_count = t->released_count = 0;
  t->chunk_frames = t->slot_count = t->chunk_floats = t->spare_target = t->resident_cap = 0;
  t->resident.store(0);
  t->allocated_frontier.store(0);
  t->released_frontier.store(0);
  t->release_point.store(0);
  t->out_of_memory.store(0);
  t->cap_hit.store(0);
}

void tape_maintain(Tape* t, int64_t write_head, int ahead) { tape_maintain_at(t, write_head, ahead, tick64_ms()); }

void tape_maintain_at(Tape* t, int64_t write_head, int ahead, uint64_t now_ms) {
  if (!t->chunks) return;
  const int64_t cf = t->chunk_frames;

  // Recycle released chunks old enough first: they refill the spare pool before anything new is
  // allocated, and they make room in the released list for this step's releases.
  int kept = 0;
  for (int i = 0; i < t->released_count; ++i) {
    ReleasedChunk r = t->released[i];
    if (now_ms - r.tick_ms >= kTapeRecycleMs) {
      if (t->spare_count < t->spare_target) {
        memset(r.chunk, 0, size_t(t->chunk_floats) * sizeof(float));
        t->spare[t->spare_count++] = r.chunk;
      } else {
        free(r.chunk);
      }
    } else {
      t->released[kept++] = r;
    }
  }
  t->released_count = kept;

  // Release behind the release point.
  int64_t s = std::max<int64_t>(t->release_point.load(std::memory_order_acquire), 0);
  int64_t frontier = t->released_frontier.load(std::memory_order_relaxed);
  const int64_t head = std::max<int64_t>(write_head, 0);
  int taken = 0;
  if (s < frontier && head >= frontier) {
    // A cull is about to roll the write head back over given-back audio. The head still lies
    // beyond the gap, so the gap is filled from the top down and the released frontier follows
    // chunk by chunk: every chunk between the two frontiers stays present throughout.
    for (int64_t i = (frontier - 1) / cf; i >= s / cf && frontier > s; --i) {
      if (!t->chunks[i].load(std::memory_order_relaxed) && !place_chunk(t, i)) break;
      frontier = std::max(s, i * cf);
      t->released_frontier.store(frontier, std::memory_order_release);
    }
  } else if (s < frontier) {
    // The tape was cleared: the write head is back in the gap. The allocated frontier comes
    // down first, so an audio thread that sees the lowered released frontier (it reads that one
    // first) never pairs it with a limit that spans the missing chunks.
    frontier = s;
    if (t->allocated_frontier.load(std::memory_order_relaxed) > frontier)
      t->allocated_frontier.store(frontier, std::memory_order_release);
    t->released_frontier.store(frontier, std::memory_order_release);
  } else {
    // Never the chunk under the write head or after it, whatever the release point says.
    const int64_t last = std::min(s, head) / cf;
    for (int64_t i = frontier / cf; i < last && i < t->slot_count; ++i) {
      if (t->released_count >= kTapeReleasedMax) break;
      float* c = t->chunks[i].exchange(nullptr, std::memory_order_acq_rel);
      if (c) {
        t->resident.fetch_sub(1, std::memory_order_relaxed);
        t->released[t->released_count++] = ReleasedChunk{c, now_ms};
        ++taken;
      }
      frontier = (i + 1) * cf;
      t->released_frontier.store(frontier, std::memory_order_release);
    }
  }
  if (taken > 0)
    log_line("released %d chunk%s (%.0f MB back to the system)", taken, taken == 1 ? "" : "s",
             double(taken) * double(t->chunk_floats) * 4.0 / 1048576.0);

  // Allocate ahead of the write head.
  int64_t first = frontier / cf;
  int64_t stop = std::min<int64_t>(head / cf + std::max(ahead, 1), t->slot_count);
  for (int64_t i = first; i < stop; ++i)
    if (!t->chunks[i].load(std::memory_order_relaxed) && !place_chunk(t, i)) break;

  // Refill the spare pool.
  while (t->spare_count < t->spare_target) {
    float* c = new_chunk(t);
    if (!c) {
      t->out_of_memory.store(1, std::memory_order_relaxed);
      break;
    }
    t->spare[t->spare_count++] = c;
  }

  // The frontier: the end of the run of present chunks from the released frontier on.
  int64_t i = frontier / cf;
  while (i < t->slot_count && t->chunks[i].load(std::memory_order_relaxed)) ++i;
  t->allocated_frontier.store(i * cf, std::memory_order_release);
  t->steps.fetch_add(1, std::memory_order_release);
}

namespace {

void allocation_thread(Tape* t, const std::atomic<int64_t>* write_head, double rate) {
  while (t->thread_run.load(std::memory_order_acquire)) {
    tape_maintain(t, write_head->load(std::memory_order_acquire), kTapeAhead);
    if (!t->full_reported && (t->out_of_memory.load() || t->cap_hit.load())) {
      t->full_reported = 1;
      log_line("TAPE FULL - %s; capture stops at %.1f min (save + clear to keep going)",
               t->out_of_memory.load() ? "out of memory" : "resident RAM cap",
               double(t->allocated_frontier.load()) / rate / 60.0);
    }
    std::unique_lock guard(t->wake_lock);
    t->wake.wait_for(guard, std::chrono::milliseconds(kTapeThreadPeriodMs), [t] {
      return !t->thread_run.load(std::memory_order_acquire) || t->wake_asked.exchange(0, std::memory_order_acq_rel);
    });
  }
}

}  // namespace

void tape_thread_start(Tape* t, const std::atomic<int64_t>* write_head, double rate) {
  if (t->thread.joinable()) return;
  t->full_reported = 0;
  t->thread_run.store(1, std::memory_order_release);
  t->thread = std::thread(allocation_thread, t, write_head, rate);
  thread_set_name(t->thread, "tolm-tape");
}

void tape_thread_stop(Tape* t) {
  if (!t->thread.joinable()) return;
  {
    std::lock_guard guard(t->wake_lock);
    t->thread_run.store(0, std::memory_order_release);
  }
  t->wake.notify_all();
  t->thread.join();
}

void tape_wake(Tape* t) {
  {
    std::lock_guard guard(t->wake_lock);
    t->wake_asked.store(1, std::memory_order_release);
  }
  t->wake.notify_all();
}

bool tape_maintain_now(Tape* t, int64_t write_head) {
  if (!t->thread.joinable()) {
    tape_maintain(t, write_head, kTapeAhead);
    return true;
  }
  // A step already under way may have read the old release point; the one after it has not.
  const int64_t goal = t->steps.load(std::memory_order_acquire) + 2;
  const int64_t deadline = mono_ns() + 1'000'000'000;
  while (t->steps.load(std::memory_order_acquire) < goal) {
    if (mono_ns() > deadline) return false;
    tape_wake(t);
    sleep_ms(1);
  }
  return true;
}

void tape_read(const Tape* t, int64_t first, int64_t count, float* out) {
  const int64_t cf = t->chunk_frames;
  while (count > 0) {
    int64_t in_chunk = cf - (first >= 0 ? first % cf : 0);
    int64_t run = std::min(count, first >= 0 ? in_chunk : std::min<int64_t>(-first, count));
    const float* src = tape_frame(t, first);
    if (src) memcpy(out, src, size_t(run) * 2 * sizeof(float));
    else memset(out, 0, size_t(run) * 2 * sizeof(float));
    out += run * 2;
    first += run;
    count -= run;
  }
}
