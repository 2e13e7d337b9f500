// The playback engine: interpolation across rates, mono on both sides, the gain, the end and
// the next play, repeat within a region and a seek out of it, loops too short to hold a frame,
// and buffers swapped and unloaded while a real render thread plays them.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <thread>
#include <vector>

#include "capture/engine.h"
#include "library/playback.h"
#include "tests/capture/engine_fixture.h"
#include "tests/library/library_fixture.h"

namespace {

// Linear interpolation of channel c of interleaved samples at fractional frame x.
float lerp_at(const std::vector<float>& s, int channels, int c, double x) {
  const int64_t g = int64_t(x);
  const float t = float(x - double(g));
  const float a = s[size_t(g * channels + c)], b = s[size_t((g + 1) * channels + c)];
  return a + (b - a) * t;
}

void install(PlaybackEngine* e, int channels, double rate, const std::vector<float>& samples, bool autoplay) {
  AudioBuffer b = make_buffer(channels, rate, samples);
  playback_install(e, &b, autoplay);
  EXPECT_EQ(b.samples, nullptr);  // the engine took the samples
}

// Runs fn in a child process; true when it ended by itself within timeout_ms.
template <typename Fn>
bool ends_within(int timeout_ms, Fn fn) {
  fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    fn();
    _exit(0);
  }
  for (int t = 0; t < timeout_ms; t += 5) {
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  return false;
}

}  // namespace

TEST(Playback, InterpolatesAcrossRatesPlaysMonoOnBothSidesAndAddsTimesTheGain) {
  PlaybackEngine e;
  // A 44.1 kHz stereo file on a 48 kHz output: 0.91875 frames per output sample.
  const std::vector<float> stereo = ramp(2, 44100);
  install(&e, 2, 44100, stereo, true);
  playback_set_gain(&e, 0.5f);
  Rendered out = render(&e, 4800, 48000);
  for (int i : {0, 1, 7, 255, 256, 1000, 4799}) {
    const double x = i * (44100.0 / 48000.0);
    EXPECT_NEAR(out.left[size_t(i)], 0.5f * lerp_at(stereo, 2, 0, x), 1e-6) << i;
    EXPECT_NEAR(out.right[size_t(i)], 0.5f * lerp_at(stereo, 2, 1, x), 1e-6) << i;
  }
  EXPECT_NEAR(playback_progress(&e), 4800 * 0.91875 / 44100, 1.0 / 44100);

  // The signal is added to what the output holds.
  std::vector<float> l(64, 1.0f), r(64, -1.0f);
  engine_render(&e, l.data(), r.data(), 64, 48000);
  const double x = 4800 * 0.91875;
  EXPECT_NEAR(l[0], 1.0f + 0.5f * lerp_at(stereo, 2, 0, x), 1e-5);

  // A mono file plays the same signal on both sides; the new install starts from its beginning.
  const std::vector<float> mono = ramp(1, 1000);
  install(&e, 1, 48000, mono, true);
  playback_set_gain(&e, 1.0f);
  out = render(&e, 500, 48000);
  for (int i = 0; i < 500; ++i) {
    ASSERT_EQ(out.left[size_t(i)], mono[size_t(i)]) << i;
    ASSERT_EQ(out.right[size_t(i)], mono[size_t(i)]) << i;
  }
  // Not playing (installed without autoplay), or no buffer: nothing is added.
  install(&e, 1, 48000, mono, false);
  out = render(&e, 256, 48000);
  EXPECT_EQ(*std::max_element(out.left.begin(), out.left.end()), 0.0f);
  playback_unload(&e);
  EXPECT_EQ(playback_frames(&e), 0);
  out = render(&e, 256, 48000);
  EXPECT_EQ(*std::max_element(out.left.begin(), out.left.end()), 0.0f);
  EXPECT_EQ(playback_collect(&e), 3);  // freed at once: no block was inside
  EXPECT_EQ(e.released_count, 0);
  playback_destroy(&e);
}

TEST(Playback, TheEndStopsAndTheNextPlayStartsOver) {
  PlaybackEngine e;
  const std::vector<float> s = ramp(2, 48000 * 4);  // 4 s
  install(&e, 2, 48000, s, true);
  render(&e, 4800, 48000);
  // Right arrow 2 s before the end: the seek lands past the end, play stops at once.
  playback_seek(&e, 2.0 / 4.0);
  playback_seek(&e, std::min(1.0, playback_progress(&e) + 5.0 / 4.0));
  EXPECT_EQ(playback_progress(&e), 1.0);
  Rendered out = render(&e, 256, 48000);
  EXPECT_EQ(out.left[0], 0.0f);
  EXPECT_TRUE(playback_ended(&e));
  EXPECT_FALSE(playback_is_playing(&e));
  EXPECT_EQ(e.published_position.load(), 48000 * 4);  // the end is published
  // The next play starts from the beginning.
  playback_play(&e);
  EXPECT_FALSE(playback_ended(&e));
  out = render(&e, 10, 48000);
  EXPECT_EQ(out.left[0], s[0]);
  EXPECT_EQ(out.left[9], s[18]);

  // Played to the end by itself: the last frame is where interpolation stops.
  install(&e, 2, 48000, ramp(2, 100), true);
  out = render(&e, 256, 48000);
  EXPECT_NE(out.left[98], 0.0f);
  EXPECT_EQ(out.left[99], 0.0f);
  EXPECT_TRUE(playback_ended(&e));
  playback_destroy(&e);
}

TEST(Playback, RepeatLoopsTheRegionUntilASeekLeavesIt) {
  PlaybackEngine e;
  const int64_t n = 4800;
  const std::vector<float> s = ramp(2, n);
  install(&e, 2, 48000, s, true);
  playback_set_repeat(&e, true);
  playback_set_region(&e, 0.25, 0.5, true);
  EXPECT_TRUE(playback_region_active(&e));
  playback_seek(&e, 0.3);
  Rendered out = render(&e, 6000, 48000);
  // Every sample lies within the region, and it wrapped several times.
  int wraps = 0;
  for (size_t i = 0; i < out.left.size(); ++i) {
    ASSERT_GE(out.left[i], s[2 * 1200]) << i;
    ASSERT_LT(out.left[i], s[2 * 2400]) << i;
    if (i > 0 && out.left[i] < out.left[i - 1]) ++wraps;
  }
  EXPECT_GE(wraps, 4);
  // A seek to 0.8 leaves the region: playback runs on to the end (and, repeating, from 0).
  playback_seek(&e, 0.8);
  EXPECT_FALSE(playback_region_active(&e));
  out = render(&e, 960, 48000);
  EXPECT_NEAR(out.left[0], s[2 * 3840], 1e-6);
  EXPECT_NEAR(out.left[958], s[2 * 4798], 1e-6);
  EXPECT_EQ(out.left[959], s[0]);
  // Half a frame either side of the region still counts as in it.
  playback_seek(&e, 0.5 + 0.4 / double(n));
  EXPECT_TRUE(playback_region_active(&e));
  playback_seek(&e, 0.5 + 0.6 / double(n));
  EXPECT_FALSE(playback_region_active(&e));
  // Without a buffer a region cannot be set.
  playback_unload(&e);
  playback_set_region(&e, 0.1, 0.2, true);
  EXPECT_FALSE(e.region_on.load());
  playback_destroy(&e);
}

TEST(Playback, ALoopShorterThanAFrameRendersSilenceInsteadOfSpinning) {
  // A region of 0.002 on a 100-frame file is a fifth of a frame; a one-frame file has no frame
  // to interpolate from at all. With repeat on, both used to loop forever on the audio thread.
  EXPECT_TRUE(ends_within(5000, [] {
    PlaybackEngine e;
    install(&e, 2, 48000, ramp(2, 100), true);
    playback_set_repeat(&e, true);
    playback_set_region(&e, 0.5, 0.502, true);
    playback_seek(&e, 0.5);
    Rendered out = render(&e, 1024, 48000);
    if (!e.stalled || out.left[0] != 0.0f) _exit(2);
    install(&e, 2, 48000, {0.25f, 0.25f}, true);
    playback_set_repeat(&e, true);
    out = render(&e, 1024, 48000);
    if (!e.stalled) _exit(3);
    // A region wide enough again plays.
    install(&e, 2, 48000, ramp(2, 100), true);
    playback_set_region(&e, 0.5, 0.6, true);
    playback_seek(&e, 0.5);
    out = render(&e, 64, 48000);
    if (e.stalled || out.left[1] == 0.0f) _exit(4);
    playback_destroy(&e);
  }));
}

TEST(Playback, ABufferStillBeingReadPlaysWhatIsThereAndWaitsForTheRest) {
  PlaybackEngine e;
  const std::vector<float> s = ramp(2, 1000);
  PlaybackBuffer* b = playback_buffer_new(2, 48000, 1000);
  ASSERT_NE(b, nullptr);
  std::copy(s.begin(), s.begin() + 2 * 100, b->audio.samples);
  b->ready.store(100);
  playback_install_buffer(&e, b, true);
  EXPECT_EQ(playback_frames(&e), 1000);  // the announced length, for seeks and the duration
  EXPECT_TRUE(playback_filling(&e));
  // Caught up with the reading: silence, still playing, not ended.
  Rendered out = render(&e, 256, 48000);
  EXPECT_EQ(out.left[98], s[2 * 98]);
  EXPECT_EQ(out.left[99], 0.0f);
  EXPECT_TRUE(playback_is_playing(&e));
  EXPECT_FALSE(playback_ended(&e));
  // The rest arrives, then the file turns out shorter than announced: it ends at what was read.
  std::copy(s.begin() + 200, s.begin() + 2 * 900, b->audio.samples + 200);
  b->ready.store(900);
  b->complete.store(1);
  EXPECT_EQ(playback_frames(&e), 900);
  out = render(&e, 1024, 48000);
  EXPECT_EQ(out.left[0], s[2 * 99]);
  EXPECT_EQ(out.left[799], s[2 * 898]);
  EXPECT_EQ(out.left[800], 0.0f);
  EXPECT_TRUE(playback_ended(&e));
  // Unloaded while its filler still writes: kept until the filler lets go, marked abandoned.
  b->writing.store(1);
  playback_unload(&e);
  EXPECT_TRUE(b->abandoned.load());
  EXPECT_EQ(playback_collect(&e), 0);
  EXPECT_EQ(e.released_count, 1);
  b->writing.store(0);
  EXPECT_EQ(playback_collect(&e), 1);
  // A filling buffer that is never installed.
  PlaybackBuffer* spare = playback_buffer_new(1, 48000, 10);
  playback_discard(&e, spare);
  EXPECT_TRUE(spare->abandoned.load());
  spare->writing.store(0);
  playback_release_all(&e);
  EXPECT_EQ(e.released_count, 0);
  playback_destroy(&e);
}

TEST(Playback, BuffersSwappedAndUnloadedWhileARenderThreadPlaysThem) {
  // Each buffer holds one value of its own; whatever the render thread hears must be one of them
  // (or silence). A buffer freed while a block still reads it shows under the sanitizers.
  PlaybackEngine e;
  std::atomic<int> run{1};
  std::atomic<int64_t> blocks{0};
  std::atomic<int> foreign{0};
  std::thread audio([&] {
    std::vector<float> l(256), r(256);
    while (run.load()) {
      std::fill(l.begin(), l.end(), 0.0f);
      std::fill(r.begin(), r.end(), 0.0f);
      engine_render(&e, l.data(), r.data(), 256, 48000);
      for (float v : l) {
        const float k = v * 1000.0f;
        if (v != 0.0f && (std::fabs(k - std::round(k)) > 1e-3f || k < 1.0f || k > 400.0f)) foreign.fetch_add(1);
      }
      blocks.fetch_add(1);
    }
  });
  for (int round = 0; round < 300; ++round) {
    for (int k = 1; k <= 2; ++k) {
      const float value = float(round % 200 + k) / 1000.0f;
      install(&e, 1, 44100 + round, std::vector<float>(size_t(64 + round * 7), value), true);
      playback_set_repeat(&e, round % 3 == 0);
      if (round % 5 == 0) playback_seek(&e, 0.5);
    }
    playback_unload(&e);
    playback_collect(&e);
    if (round % 50 == 0) {
      const int64_t b = blocks.load();
      while (blocks.load() < b + 2) std::this_thread::yield();
    }
  }
  playback_release_all(&e);
  EXPECT_EQ(e.released_count, 0);
  run.store(0);
  audio.join();
  EXPECT_EQ(foreign.load(), 0);
  EXPECT_GT(blocks.load(), 10);
  playback_destroy(&e);
}

TEST(Playback, TheOutputMixInRendersTheAttachedEngineOnly) {
  PlaybackEngine a, b;
  install(&a, 1, 48000, std::vector<float>(1000, 0.25f), true);
  install(&b, 1, 48000, std::vector<float>(1000, 0.5f), true);
  playback_set_repeat(&a, true);
  playback_set_repeat(&b, true);
  playback_attach(&a);
  std::atomic<int> run{1};
  std::atomic<float> heard{0};
  // The capture routine on its audio thread, with the monitor off: its output is the player's.
  EnginePtr capture = make_engine(48000);
  capture->monitor = 0;
  std::thread audio([&] {
    std::vector<float> in(128, 0.0f), out(128);
    while (run.load()) {
      process_block(capture.get(), in.data(), out.data(), 64);
      heard.store(out[0]);
    }
  });
  const auto hears = [&](float v) {
    for (int t = 0; t < 5000 && heard.load() != v; ++t) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return heard.load() == v;
  };
  EXPECT_TRUE(hears(0.25f));
  playback_attach(&b);
  // Detaching a waited for any block that had picked it up: destroying it now is safe.
  playback_destroy(&a);
  EXPECT_TRUE(hears(0.5f));
  playback_attach(nullptr);
  EXPECT_TRUE(hears(0.0f));
  run.store(0);
  audio.join();
  playback_destroy(&b);
}
