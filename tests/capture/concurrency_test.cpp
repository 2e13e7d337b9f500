// The three threads of the capture path at once: an audio thread running blocks, the tape's
// allocation thread, and a main thread that drains takes, reads their frames as the writer
// would, moves the release point, culls, clears the tape and reads every published value. Built
// with ThreadSanitizer it proves the hand-offs are free of data races; in any build it checks
// that the main thread's take list is, take by take, what the audio thread put on the tape.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <thread>
#include <vector>

#include "capture/takes.h"
#include "platform/clock.h"
#include "tests/capture/engine_fixture.h"

namespace {

// What the list must hold once the audio thread has stopped: one entry per take the engine
// counts as closed, starting where the engine's own take-start list says, each ending where the
// next begins (the tape only moves while a take records).
void expect_list_matches_engine(const CaptureEngine* e, const TakeList& list, const char* when) {
  ASSERT_EQ(list.take_count, e->takes_closed.load()) << when;
  ASSERT_EQ(e->take_start_count, e->closed + (e->rec ? 1 : 0)) << when;
  for (int i = 0; i < list.take_count; ++i) {
    ASSERT_EQ(list.takes[i].start, e->take_starts[i]) << when << ", take " << i;
    const int64_t end = i + 1 < e->take_start_count ? e->take_starts[i + 1] : e->write_head.load();
    ASSERT_EQ(list.takes[i].end, end) << when << ", take " << i;
  }
}

}  // namespace

// Under the line, never zero: every recorded frame is audible on the tape.
constexpr float kHum = 0.01f;
// Just over the line: the envelope falls back under it within five frames, so the gate cannot
// open again on a click's tail after a cull, and every take begins with a loud frame.
constexpr float kClick = 0.451f;
// A take's first frame is the sound that opened it at the record gain's first step (0.0015):
// well above the hum at that gain.
constexpr float kLoudFirstFrame = 2e-4f;

TEST(CaptureThreads, EveryTakeReachesTheListWhileTheAllocatorAndCullsRun) {
  // 1 kHz: 10,000-frame chunks, so takes cross chunks and audio is given back all the time.
  auto e = make_engine(1000, 2, uint64_t(1) << 30);
  e->armed = 1;
  e->pre_roll_frames = 0;
  e->post_roll_frames = 0;
  e->exit_db = 24.0f;      // the gate closes the frame after it opens: short takes
  e->open_level = 0.45f;
  tape_thread_start(&e->tape, &e->write_head, 1000);

  std::atomic<bool> stop{false};
  std::atomic<int> quiet_audio{0};  // the main thread asks for a pause to clear the tape
  std::thread audio([&] {
    std::vector<float> in(2 * 512, 0.0f), out(2 * 512);
    int64_t frame = 0, paced_at = 0;
    while (!stop.load()) {
      // This thread runs far faster than real time; in real time the allocator steps every
      // fifth of a second, three chunks ahead. Here it is asked for a step every two chunks.
      if (frame - paced_at >= 20000) {
        const int64_t steps = e->tape.steps.load();
        while (e->tape.steps.load() == steps && !stop.load()) {
          tape_wake(&e->tape);
          std::this_thread::yield();
        }
        paced_at = frame;
      }
      // Nor does it seal a hundred takes before the main thread has looked.
      while (e->sealed_write.load() - e->sealed_read.load() > kMaxSealedTakes / 2 && !stop.load())
        std::this_thread::yield();
      // A click every 4,608 frames; every 16th take is a long one (12,000 frames of sound), so
      // audio already on disk lies more than ten seconds back and gets released, and a cull
      // then rolls the write head back into given-back memory. Clicks fall on block starts and
      // the long sound ends mid-block, so a cull (served at a block's start) never lands in the
      // few frames where the envelope is still over the line after the sound.
      for (int i = 0; i < 512; ++i, ++frame) {
        const int64_t cycle = frame % (4608 * 16);
        const bool loud = quiet_audio.load(std::memory_order_relaxed) == 0 &&
                          (frame % 4608 == 0 || (cycle >= 4608 * 8 && cycle < 4608 * 8 + 12000));
        in[size_t(2 * i)] = in[size_t(2 * i + 1)] = loud ? kClick : kHum;
      }
      capture_callback(in.data(), out.data(), 512, nullptr, 0, e.get());
    }
  });

  TakeList list{};
  std::vector<float> frames;
  ScopeColumn cols[kScopeColumns];
  std::vector<float> mono(2000), overview(256);
  TimingStats timing;
  int64_t drained = 0, culls = 0, clears = 0;
  const int64_t deadline = mono_ns() + 120'000'000'000;  // only a guard against a hang
  auto main_thread = [&] {
  for (int round = 0; drained < 3000 && mono_ns() < deadline; ++round) {
    drained += drain_sealed_takes(e.get(), &list, wall_seconds());
    // A culled take that was on disk is no longer in the list (the writer deletes its file).
    list.written_count = std::min(list.written_count, list.take_count);
    // Write every finished take: read its frames below the write head, then count it written.
    // The input is never silent, so a frame of silence in a take means its audio never reached
    // the tape (it went into memory that had been given back, or none was there); a quiet first
    // frame means its beginning was dropped (no memory at the write head). As the take writer,
    // it reads nothing while a cull is pending: the culled take is being recorded over.
    while (list.written_count < list.take_count && !e->cull_request.load()) {
      const TakeEntry t = list.takes[list.written_count];
      if (t.end > e->write_head.load()) break;
      frames.resize(size_t(2 * (t.end - t.start)));
      tape_read(&e->tape, t.start, t.end - t.start, frames.data());
      ASSERT_GT(std::fabs(frames[0]), kLoudFirstFrame) << "round " << round << ", take at " << t.start;
      for (size_t k = 0; k < frames.size(); ++k) {
        ASSERT_GT(std::fabs(frames[k]), 0.0f) << "round " << round << ", take at " << t.start << ", frame " << k / 2;
        ASSERT_LE(std::fabs(frames[k]), 0.5f) << "round " << round;
      }
      ++list.written_count;
    }
    update_release_point(e.get(), &list);
    if (round % 37 == 13) {
      cull_last_take(e.get(), &list, 0, wall_seconds());
      ++culls;
    }
    if (round % 997 == 500 || (clears == 0 && drained >= 1500)) {
      // A clear, as ending a session does (at least once, however many takes a round drains): disarmed, the last take sealed and drained, then the
      // tape goes back to frame 0 and the list starts afresh.
      e->armed = 0;
      while (e->recording.load()) sleep_ms(1);
      drain_sealed_takes(e.get(), &list, wall_seconds());
      clear_tape(e.get());
      SealedTake stale;
      while (engine_next_sealed_take(e.get(), &stale)) {
      }
      list = TakeList{};
      update_release_point(e.get(), &list);
      e->armed = 1;
      ++clears;
    }
    engine_scope_columns(e.get(), kScopeColumns, cols);
    engine_mono_history(e.get(), 2000, mono.data());
    engine_overview(e.get(), 256, overview.data());
    engine_timing(e.get(), &timing);
    engine_seek_fraction(e.get(), 0.5);
    (void)e->input_peak.load(), (void)e->envelope.load(), (void)e->gate_open.load();
    if (round % 4 == 0) sleep_ms(1);
  }
  };
  main_thread();
  // Let the last take seal, then stop the audio thread and compare.
  quiet_audio = 1;
  e->armed = 0;
  while (e->recording.load()) sleep_ms(1);
  stop = true;
  audio.join();
  tape_thread_stop(&e->tape);
  drain_sealed_takes(e.get(), &list, wall_seconds());
  expect_list_matches_engine(e.get(), list, "at the end");
  EXPECT_GE(drained, 3000) << "only " << drained << " takes in 120 s";
  EXPECT_GT(culls, 10);
  EXPECT_GT(clears, 0);
}
