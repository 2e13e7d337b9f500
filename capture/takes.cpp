// The main thread's side of the tape: collecting sealed takes, the release point and the cull.
#include "capture/takes.h"

#include <algorithm>

#include "config/log.h"
#include "config/status.h"
#include "platform/clock.h"

namespace {
constexpr int64_t kClearWaitNs = 50'000'000;  // a stream that sends no block for this long is down
}  // namespace

int drain_sealed_takes(CaptureEngine* e, TakeList* list, int64_t now_seconds) {
  int appended = 0;
  SealedTake t;
  const double rate = e->sample_rate > 0 ? e->sample_rate : 48000.0;
  while (engine_next_sealed_take(e, &t)) {
    if (t.culled) {
      if (list->dropped > 0) --list->dropped;
      else if (list->take_count > 0) --list->take_count;
      continue;
    }
    if (list->take_count >= kMaxTakes) {
      ++list->dropped;
      continue;
    }
    list->takes[list->take_count++] = TakeEntry{t.start, t.end, now_seconds - int64_t(double(t.end - t.start) / rate)};
    ++appended;
  }
  return appended;
}

void update_release_point(CaptureEngine* e, const TakeList* list) {
  // The request before the head: a served cull publishes its rolled-back head before clearing
  // the request, so a head read after seeing no request is never the old one.
  const bool cull_pending = e->cull_request.load(std::memory_order_acquire) != 0;
  const int64_t h = e->write_head.load(std::memory_order_acquire);
  int64_t c = 0;
  const int last_written = std::min(list->written_count, list->take_count) - 1;
  if (last_written >= 0 && !e->play_tape.load(std::memory_order_relaxed))
    c = std::max<int64_t>(0, std::min(list->takes[last_written].end, h - int64_t(10.0 * e->sample_rate)));
  Tape* t = &e->tape;
  const int64_t rp = t->release_point.load(std::memory_order_relaxed);
  if (h < rp) {
    // A clear: the allocator moves back to the head now rather than at its next round, so a
    // take that starts at once finds its chunks.
    t->release_point.store(h, std::memory_order_release);
    if (t->thread.joinable()) tape_wake(t);
  } else if (c > rp && !cull_pending) {
    t->release_point.store(c, std::memory_order_release);
  }
}

void clear_tape(CaptureEngine* e) {
  e->reset_request.store(1, std::memory_order_release);
  // Served at the start of the next block: wait while blocks keep coming, not for a stream that
  // is down.
  int64_t calls = e->cb_count.load(std::memory_order_acquire);
  int64_t last_move = mono_ns();
  while (e->reset_request.load(std::memory_order_acquire)) {
    const int64_t now = mono_ns();
    const int64_t c = e->cb_count.load(std::memory_order_acquire);
    if (c != calls) calls = c, last_move = now;
    if (now - last_move > kClearWaitNs) return;
    sleep_ms(1);
  }
  Tape* t = &e->tape;
  t->release_point.store(0, std::memory_order_release);
  if (!tape_maintain_now(t, 0)) log_line("clear: the tape's allocator did not answer");
}

bool cull_last_take(CaptureEngine* e, TakeList* list, int seated_takes, int64_t now_seconds) {
  if (seated_takes > 0 && e->takes_opened.load(std::memory_order_acquire) <= seated_takes) {
    status_flash("NOTHING NEW TO CULL - SAVED TAKES ARE DELETED IN THE LIBRARY");
    return false;
  }
  drain_sealed_takes(e, list, now_seconds);
  // The take to go is the recording one or the last sealed one: neither starts before the last
  // listed take.
  const int64_t floor = list->take_count > 0 ? list->takes[list->take_count - 1].start : 0;
  Tape* t = &e->tape;
  if (t->release_point.load(std::memory_order_relaxed) > floor) {
    t->release_point.store(floor, std::memory_order_release);
    if (!tape_maintain_now(t, e->write_head.load(std::memory_order_acquire)))
      log_line("cull: the tape's allocator did not answer - the next take may start late");
  }
  e->cull_request.store(1, std::memory_order_release);
  status_flash("LAST TAKE CULLED");
  return true;
}
