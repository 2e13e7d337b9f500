// The three threads of the capture path at once: an audio thread running blocks, the tape's
// allocation thread, and a main thread that drains takes, reads their frames as the writer
// would, moves the release point, culls, clears the tape and reads every published value. Built
// with ThreadSanitizer it proves the hand-offs are free of data races; in any build it checks
// that what the main thread reads is sound.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <thread>
#include <vector>

#include "capture/takes.h"
#include "platform/clock.h"
#include "tests/capture/engine_fixture.h"

TEST(CaptureThreads, AudioAllocatorAndMainThreadShareTheEngineSafely) {
  auto e = make_engine(1000, 2, uint64_t(1) << 30);  // 10,000-frame chunks: many roll-overs
  e->armed = 1;
  e->post_roll_frames = 100;
  e->pre_roll_frames = 50;
  tape_thread_start(&e->tape, &e->write_head, 1000);

  std::atomic<bool> stop{false};
  std::thread audio([&] {
    std::vector<float> in(2 * 256), out(2 * 256);
    int block = 0;
    while (!stop.load()) {
      const bool loud = (block / 8) % 8 == 0;  // 2,048 frames of sound, then 14,336 quiet
      for (int i = 0; i < 256; ++i) in[size_t(2 * i)] = in[size_t(2 * i + 1)] = loud ? 0.5f : 0.0f;
      capture_callback(in.data(), out.data(), 256, nullptr, 0, e.get());
      ++block;
      if (block % 4 == 0) std::this_thread::yield();
    }
  });

  TakeList list{};
  std::vector<float> frames;
  ScopeColumn cols[kScopeColumns];
  std::vector<float> mono(2000), overview(256);
  TimingStats timing;
  int64_t checked_frames = 0;
  const int64_t deadline = mono_ns() + 2'000'000'000;
  for (int round = 0; mono_ns() < deadline; ++round) {
    drain_sealed_takes(e.get(), &list, wall_seconds());
    // Write every finished take: read its frames below the write head, then count it written.
    while (list.written_count < list.take_count) {
      const TakeEntry t = list.takes[list.written_count];
      if (t.end > e->write_head.load()) break;
      frames.resize(size_t(2 * (t.end - t.start)));
      tape_read(&e->tape, t.start, t.end - t.start, frames.data());
      for (float v : frames) ASSERT_LE(std::fabs(v), 0.5f) << "round " << round;
      checked_frames += t.end - t.start;
      ++list.written_count;
    }
    update_release_point(e.get(), &list);
    if (round % 97 == 13) cull_last_take(e.get(), &list, 0, wall_seconds());
    if (round % 401 == 200) {
      // A clear, as ending a session does once everything is on disk.
      drain_sealed_takes(e.get(), &list, wall_seconds());
      e->reset_request = 1;
      list = TakeList{};
    }
    engine_scope_columns(e.get(), kScopeColumns, cols);
    engine_mono_history(e.get(), 2000, mono.data());
    engine_overview(e.get(), 256, overview.data());
    engine_timing(e.get(), &timing);
    engine_seek_fraction(e.get(), 0.5);
    (void)e->input_peak.load(), (void)e->envelope.load(), (void)e->gate_open.load();
    sleep_ms(1);
  }
  stop = true;
  audio.join();
  tape_thread_stop(&e->tape);
  EXPECT_GT(checked_frames, 10000);
  EXPECT_GT(e->takes_opened.load() + e->takes_closed.load(), 0);
}
