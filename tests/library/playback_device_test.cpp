// The player on a live JACK duplex stream (dummy driver): what the device is handed equals a
// 48 kHz take's samples times the gain, a 44.1 kHz file follows the interpolation, and buffers
// installed, installed again and unloaded while the audio thread renders them are never read
// after they are freed (the sanitizers watch). A file still being read when the play head reaches
// its reading plays silence there and goes on from the same frame, so the checks follow the
// sounding frames.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <cmath>
#include <memory>
#include <thread>
#include <vector>

#include "capture/device.h"
#include "library/player.h"
#include "platform/clock.h"
#include "tests/library/library_fixture.h"
#include "tests/sessions/session_fixture.h"
#include "tests/support/jack.h"
#include "tests/support/temp_dir.h"

namespace {

struct EngineHolder {
  std::unique_ptr<CaptureEngine> e = std::make_unique<CaptureEngine>();
  ~EngineHolder() { engine_destroy(e.get()); }
  CaptureEngine* get() { return e.get(); }
};

// Keeps the output the engine hands the device, up to its capacity; never allocates.
struct OutputRecorder {
  std::vector<float> stereo;
  std::atomic<int64_t> frames{0};
  explicit OutputRecorder(int64_t capacity) : stereo(size_t(2 * capacity)) {}
  static void tap(void* ctx, const float* s, int n, int) {
    auto* r = static_cast<OutputRecorder*>(ctx);
    const int64_t at = r->frames.load(std::memory_order_relaxed);
    const int64_t room = int64_t(r->stereo.size() / 2) - at;
    const int64_t take = std::min<int64_t>(n, room);
    if (take > 0) std::copy(s, s + 2 * take, r->stereo.begin() + 2 * at);
    r->frames.store(at + std::max<int64_t>(take, 0), std::memory_order_release);
  }
  // The frames in [from, to) with sound in them, in order (stereo).
  std::vector<float> sounding(int64_t from, int64_t to) const {
    to = std::min(to, frames.load(std::memory_order_acquire));
    std::vector<float> out;
    for (int64_t i = from; i < to; ++i)
      if (stereo[size_t(2 * i)] != 0.0f || stereo[size_t(2 * i + 1)] != 0.0f)
        out.insert(out.end(), {stereo[size_t(2 * i)], stereo[size_t(2 * i + 1)]});
    return out;
  }
};

// Stops the player (its output detached) before the engine that renders it goes, also when a
// check ends the test early.
struct PlayerHolder {
  std::unique_ptr<Player> p = std::make_unique<Player>();
  ~PlayerHolder() { player_destroy(p.get()); }
  Player* get() { return p.get(); }
  Player* operator->() { return p.get(); }
};

bool wait_until(const std::function<bool()>& done, Player* p, int timeout_ms = 10000) {
  for (int t = 0; t < timeout_ms; t += 2) {
    if (p) player_update(p);
    if (done()) return true;
    sleep_ms(2);
  }
  return done();
}

}  // namespace

TEST(PlaybackDevice, TakesReachTheDuplexOutputAndSwapsNeverReadFreedBuffers) {
  JackServer server;
  ASSERT_TRUE(server.start(2, 48000, 256));
  OutputRecorder rec(48000 * 20);  // outlives the engine that writes it
  const OutputTap tap{OutputRecorder::tap, &rec};
  EngineHolder e;
  ASSERT_EQ(engine_create(e.get(), 256, 60, "system", 0, 0, false), 0);
  ASSERT_EQ(e.get()->dev.duplex, 1);
  e.get()->monitor = 0;  // the output carries the player alone
  e.get()->output_tap = &tap;
  ASSERT_EQ(engine_start(e.get()), 0);

  TempDir dir;
  PlayerHolder p;
  ASSERT_EQ(player_start(p.get(), 0.8f, 0.0), 0);
  player_attach_output(p.get(), true);

  // A 48 kHz take: sample for sample, times the gain. No sample is 0, so no frame of it can be
  // taken for a wait on the reading.
  std::vector<float> take(size_t(2 * 24000));
  uint32_t noise = 7;
  for (float& v : take) {
    noise = noise * 1664525u + 1013904223u;
    v = float(int32_t(noise >> 16) - 32768) / 32768.0f * 0.5f;
    if (std::fabs(v) < 2.0f / 32768.0f) v = 0.125f;  // 16 bits would round it to 0
  }
  write_take(dir.file("take.wav"), 48000, take);
  const std::vector<float> held = wav_samples(dir.file("take.wav"));
  const int64_t before = rec.frames.load();
  ASSERT_TRUE(player_open(p.get(), dir.file("take.wav").c_str(), true));
  ASSERT_TRUE(wait_until([&] { return !p->loading && playback_ended(&p->engine); }, p.get()));
  // Every frame but the last, which only ends the interpolation before it; then silence.
  const int64_t after = rec.frames.load();
  const std::vector<float> took = rec.sounding(before, after);
  ASSERT_EQ(took.size(), size_t(2 * (24000 - 1)));
  for (size_t i = 0; i < took.size(); ++i) ASSERT_EQ(took[i], held[i] * 0.8f) << i / 2;

  // A 44.1 kHz file on the 48 kHz stream: 0.91875 frames a sample, interpolated.
  std::vector<double> slow(size_t(2 * 4410));
  for (size_t i = 0; i < slow.size(); i += 2) slow[i] = slow[i + 1] = 0.1 + 0.5 * double(i / 2) / 4410.0;
  write_wav_file(dir.file("slow.wav"), 3, 2, 44100, 32, slow);
  player_set_gain(p.get(), 1.0f);
  const int64_t before_slow = rec.frames.load();
  ASSERT_TRUE(player_open(p.get(), dir.file("slow.wav").c_str(), true));
  ASSERT_TRUE(wait_until([&] { return !p->loading && playback_ended(&p->engine); }, p.get()));
  const std::vector<float> heard = rec.sounding(before_slow, rec.frames.load());
  ASSERT_GE(heard.size(), size_t(2 * 4700));
  for (int64_t i = 0; i < 4700; i += 37) {
    const double x = double(i) * 44100.0 / 48000.0;
    const int64_t g = int64_t(x);
    const float a = float(slow[size_t(2 * g)]), b = float(slow[size_t(2 * g + 2)]);
    ASSERT_NEAR(heard[size_t(2 * i)], a + (b - a) * float(x - double(g)), 1e-6) << i;
  }

  // Install, install again, unload - over and over while the stream renders.
  PlaybackEngine* engine = &p->engine;
  for (int round = 0; round < 200; ++round) {
    for (int k = 0; k < 2; ++k) {
      AudioBuffer b = make_buffer(1, 48000, std::vector<float>(size_t(256 + 64 * round), 0.001f * float(k + 1)));
      playback_install(engine, &b, true);
      playback_set_repeat(engine, round % 2 == 0);
      if (round % 7 == 0) sleep_ms(1);
    }
    playback_unload(engine);
    playback_collect(engine);
  }
  const int64_t now = rec.frames.load();
  ASSERT_TRUE(wait_until([&] { return rec.frames.load() > now + 1024; }, nullptr));
  playback_release_all(engine);
  EXPECT_EQ(engine->released_count, 0);
}
