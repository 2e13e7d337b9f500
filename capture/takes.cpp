// The main thread's side of the tape: collecting sealed takes, the release point and the cull.
#include "capture/takes.h"

#include <algorithm>

#include "config/status.h"

int drain_sealed_takes(CaptureEngine* e, TakeList* list, int64_t now_seconds) {
  int appended = 0;
  SealedTake t;
  const double rate = e->sample_rate > 0 ? e->sample_rate : 48000.0;
  while (engine_next_sealed_take(e, &t)) {
    if (list->take_count >= kMaxTakes) continue;
    list->takes[list->take_count++] = TakeEntry{t.start, t.end, now_seconds - int64_t(double(t.end - t.start) / rate)};
    ++appended;
  }
  list->take_count = std::min(list->take_count, std::max(e->takes_closed.load(std::memory_order_acquire), 0));
  return appended;
}

void update_release_point(CaptureEngine* e, const TakeList* list) {
  const int64_t h = e->write_head.load(std::memory_order_acquire);
  int64_t c = 0;
  const int last_written = std::min(list->written_count, list->take_count) - 1;
  if (last_written >= 0 && !e->play_tape.load(std::memory_order_relaxed))
    c = std::max<int64_t>(0, std::min(list->takes[last_written].end, h - int64_t(10.0 * e->sample_rate)));
  Tape* t = &e->tape;
  const int64_t rp = t->release_point.load(std::memory_order_relaxed);
  if (h < rp) t->release_point.store(h, std::memory_order_release);
  else if (c > rp) t->release_point.store(c, std::memory_order_release);
}

bool cull_last_take(CaptureEngine* e, TakeList* list, int seated_takes, int64_t now_seconds) {
  if (seated_takes > 0 && e->takes_opened.load(std::memory_order_acquire) <= seated_takes) {
    status_flash("NOTHING NEW TO CULL - SAVED TAKES ARE DELETED IN THE LIBRARY");
    return false;
  }
  drain_sealed_takes(e, list, now_seconds);
  e->cull_request.store(1, std::memory_order_release);
  status_flash("LAST TAKE CULLED");
  return true;
}
