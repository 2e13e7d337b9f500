// The capture routine on synthetic blocks: gate timing (hold, gap, exit line), take boundaries
// and fades, look-back, disarm, forced gate, cull, the trigger filters against their analytic
// responses, the limiter and levelling, overview folding, block rules and the readers.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "capture/engine.h"
#include "capture/takes.h"
#include "tests/capture/engine_fixture.h"
#include "tests/capture/engine_reference.h"

namespace {

constexpr double kRate = 48000;
constexpr double kPi = 3.14159265358979323846;

// The record gain's approach, frame by frame, as a reference for fade shapes.
float next_gain(float g, bool open) { return g + ((open ? 1.0f : 0.0f) - g) * 0.0015f; }

Signal dc(int64_t frames, float level) {
  Signal s = silence(frames);
  for (int64_t i = 0; i < frames; ++i) s.set(i, level, level);
  return s;
}

Signal sine(int64_t frames, double hz, float amplitude, double rate = kRate) {
  Signal s = silence(frames);
  for (int64_t i = 0; i < frames; ++i) {
    float v = float(amplitude * std::sin(2 * kPi * hz * double(i) / rate));
    s.set(i, v, v);
  }
  return s;
}

// Deterministic noise in -1..1.
struct Noise {
  uint32_t state = 12345;
  float next() {
    state = state * 1664525u + 1013904223u;
    return float(int32_t(state) / 2147483648.0);
  }
};

// Largest detector peak among the last n scope columns.
float detector_peak(const CaptureEngine* e, int n) {
  std::vector<ScopeColumn> cols(static_cast<size_t>(n));
  int got = engine_scope_columns(e, n, cols.data());
  float m = 0;
  for (int i = 0; i < got; ++i) m = std::max(m, cols[size_t(i)].detector_peak);
  return m;
}

}  // namespace

TEST(CaptureEngine, ClickTakeHoldsPreRollClickPostRollAndFades) {
  auto e = make_engine(kRate);
  e->armed = 1;
  const int64_t click = 48000, total = 4 * 48000 + 24000;
  Signal s = dc(total, 0.01f);
  s.set(click, 0.5f, -0.5f);
  feed(e.get(), s, 0, total);

  auto takes = sealed_takes(e.get());
  ASSERT_EQ(takes.size(), 1u);
  EXPECT_EQ(takes[0].start, 0);
  EXPECT_EQ(e->takes_opened.load(), 1);
  EXPECT_EQ(e->takes_closed.load(), 1);

  // Reference timing: the envelope falls under the line n frames after the click, the gate
  // closes a delay (pre-roll) plus post-roll of quiet later, then the record gain fades out.
  int n = 0;
  for (float env = 0.5f; env >= 0.02f; env *= 0.9995f) ++n;
  const int64_t close = click + n + 24000 + 48000 - 1;
  std::vector<float> gain;
  float g = 0;
  for (int64_t f = click;; ++f) {
    g = next_gain(g, f < close);
    if (!(g > 0.0005f)) break;
    gain.push_back(g);
  }
  ASSERT_EQ(takes[0].end, int64_t(gain.size()));
  EXPECT_GE(takes[0].end, 24000 + 1 + 48000 + 4000);

  // Tape frame k holds input frame click - 0.5 s + k times the record gain: the exponential
  // fade-in, the click at exactly 0.5 s, the fade-out at the end.
  auto tape = tape_frames(e.get(), 0, takes[0].end);
  for (int64_t k = 0; k < takes[0].end; ++k) {
    const int64_t in = click - 24000 + k;
    ASSERT_FLOAT_EQ(tape[size_t(2 * k)], s.left(in) * gain[size_t(k)]) << k;
    ASSERT_FLOAT_EQ(tape[size_t(2 * k + 1)], s.right(in) * gain[size_t(k)]) << k;
  }
  EXPECT_FLOAT_EQ(tape[0], 0.01f * 0.0015f);
  EXPECT_NEAR(tape[2 * 24000], 0.5f, 1e-4);
  EXPECT_LT(std::fabs(tape[size_t(2 * (takes[0].end - 1))]), 0.01f * 0.00051f);
  EXPECT_EQ(e->write_head.load(), takes[0].end);
  EXPECT_EQ(e->gate_open.load(), 0);
}

TEST(CaptureEngine, HoldCountsFramesOverTheLineAndForgivesShortGaps) {
  // With hold 0 the first frame whose envelope reaches the line opens the gate.
  {
    auto e = make_engine(kRate);
    e->armed = 1;
    Signal s = silence(1000);
    s.set(500, 0.02f, 0.0f);
    feed(e.get(), s, 0, 500, 1);
    EXPECT_EQ(e->gate_open.load(), 0);
    feed(e.get(), s, 500, 501, 1);
    EXPECT_EQ(e->gate_open.load(), 1);
  }
  // Hold 4800 frames: 3000 frames over the line, a pause, then more. Rising levels keep the
  // envelope on the signal; after the first segment it stays over the line for k frames of
  // the pause. A stretch under the line of 0.12 s (5760 frames) keeps the count; one frame
  // more restarts it.
  int k = 0;
  for (float env = 0.03f + 2999e-6f; (env *= 0.9995f) >= 0.02f;) ++k;
  for (int under : {5760, 5761}) {
    auto e = make_engine(kRate);
    e->armed = 1;
    e->hold_frames = 4800;
    const int64_t second = 3000 + k + under;
    const int64_t opens_at = under == 5760 ? second + 4800 - 3000 - k - 1 : second + 4799;
    Signal s = silence(opens_at + 10);
    for (int64_t i = 0; i < s.frames(); ++i) {
      float v = i < 3000 ? 0.03f + 1e-6f * float(i) : i >= second ? 0.05f + 1e-6f * float(i - second) : 0.0f;
      s.set(i, v, v);
    }
    feed(e.get(), s, 0, opens_at, 64);
    EXPECT_EQ(e->gate_open.load(), 0) << under;
    feed(e.get(), s, opens_at, opens_at + 1, 1);
    EXPECT_EQ(e->gate_open.load(), 1) << under;
  }
}

TEST(CaptureEngine, ExitLineSixDecibelsUnderTheThresholdKeepsTheGateOpen) {
  auto e = make_engine(kRate);
  e->armed = 1;
  e->exit_db = -6.0f;  // exit line = 0.02 * 0.501 = 0.01002
  feed(e.get(), dc(4800, 1.0f), 0, 4800);
  ASSERT_EQ(e->gate_open.load(), 1);
  feed(e.get(), dc(5 * 48000, 0.0110f), 0, 5 * 48000);  // under the open line, over the exit line
  EXPECT_EQ(e->gate_open.load(), 1);
  // At 0.0099 the envelope drops under the exit line within ~200 frames; then a delay plus
  // post-roll of quiet (72,000 frames) closes the gate.
  feed(e.get(), dc(72000, 0.0099f), 0, 72000);
  EXPECT_EQ(e->gate_open.load(), 1);
  feed(e.get(), dc(400, 0.0099f), 0, 400);
  EXPECT_EQ(e->gate_open.load(), 0);
}

TEST(CaptureEngine, LookBackStartsFiveMillisecondsBeforeTheFirstCrossing) {
  auto e = make_engine(kRate);
  e->armed = 1;
  e->look_back_frames = 96000;  // 2 s
  e->hold_frames = 76800;       // 1.6 s: the line must be held that long
  const int64_t t0 = 2 * 48000, total = t0 + 2 * 48000;
  Signal s = silence(total + 200000);
  Noise noise;
  for (int64_t i = 0; i < total; ++i) {
    float v = i < t0 ? 0.005f * noise.next() : 0.05f + 0.01f * noise.next();
    s.set(i, v, -v);
  }
  feed(e.get(), s, 0, s.frames());
  auto takes = sealed_takes(e.get());
  ASSERT_EQ(takes.size(), 1u);
  // The gate opened at t0 + 76799; the take reaches back to 240 frames (5 ms) before t0, faded
  // in linearly over 480 frames (10 ms), then carries the input unchanged.
  auto tape = tape_frames(e.get(), takes[0].start, takes[0].end);
  const int64_t first = t0 - 240;
  for (int64_t k = 0; k < 60000; ++k) {
    const float f = k < 480 ? float(k) / 480.0f : 1.0f;
    ASSERT_EQ(tape[size_t(2 * k)], s.left(first + k) * f) << k;
    ASSERT_EQ(tape[size_t(2 * k + 1)], s.right(first + k) * f) << k;
  }
}

TEST(CaptureEngine, LookBackNeverReachesPastTheDelayRing) {
  auto e = make_engine(kRate);
  e->armed = 1;
  e->look_back_frames = 10 * 48000;  // more than the ring holds
  e->hold_frames = 287952;           // 5.999 s
  const int64_t t0 = 7 * 48000, opens = t0 + 287951;
  Signal s = silence(opens + 48000);
  Noise noise;
  for (int64_t i = 0; i < s.frames(); ++i) {
    float v = i < t0 ? 0.005f * noise.next() : 0.05f + 0.01f * noise.next();
    s.set(i, v, v);
  }
  feed(e.get(), s, 0, s.frames());
  ASSERT_EQ(e->takes_opened.load(), 1);
  // 6 s ring at 48 kHz = 288,000 frames: the take starts 287,999 frames before the opening.
  auto tape = tape_frames(e.get(), 0, 2000);
  const int64_t first = opens - 287999;
  for (int64_t k = 480; k < 2000; ++k) ASSERT_EQ(tape[size_t(2 * k)], s.left(first + k)) << k;
}

TEST(CaptureEngine, DisarmAndForcedGate) {
  // Disarming mid-take closes the gate at once: the take fades out and is sealed.
  {
    auto e = make_engine(kRate);
    e->armed = 1;
    Signal tone = dc(48000, 0.5f);
    feed(e.get(), tone, 0, 48000);
    ASSERT_EQ(e->recording.load(), 1);
    e->armed = 0;
    feed(e.get(), tone, 0, 48000);
    auto takes = sealed_takes(e.get());
    ASSERT_EQ(takes.size(), 1u);
    EXPECT_EQ(e->recording.load(), 0);
    auto tape = tape_frames(e.get(), takes[0].end - 100, takes[0].end);
    for (int k = 1; k < 100; ++k) EXPECT_NEAR(tape[size_t(2 * k)] / tape[size_t(2 * k - 2)], 0.9985f, 1e-5);
    EXPECT_LT(tape[2 * 99], 0.5f * 0.00051f);
  }
  // Forcing the gate on a quiet signal records it with the pre-roll; releasing it lets the gate
  // close after a delay plus post-roll of quiet.
  {
    auto e = make_engine(kRate);
    e->armed = 1;
    Signal quiet = silence(6 * 48000);
    for (int64_t i = 0; i < quiet.frames(); ++i) quiet.set(i, 0.001f * float(i % 997) / 997.0f, 0.0f);
    const int64_t force_at = 48000, release_at = force_at + 24000;
    feed(e.get(), quiet, 0, force_at, 1000);
    e->gate_forced = 1;
    feed(e.get(), quiet, force_at, release_at, 1000);
    e->gate_forced = 0;
    feed(e.get(), quiet, release_at, quiet.frames(), 1000);
    auto takes = sealed_takes(e.get());
    ASSERT_EQ(takes.size(), 1u);
    std::vector<float> gain;
    float g = 0;
    const int64_t close = release_at + 24000 + 48000 - 1;
    for (int64_t f = force_at;; ++f) {
      g = next_gain(g, f < close);
      if (!(g > 0.0005f)) break;
      gain.push_back(g);
    }
    ASSERT_EQ(takes[0].end - takes[0].start, int64_t(gain.size()));
    auto tape = tape_frames(e.get(), takes[0].start, takes[0].end);
    for (size_t k = 0; k < gain.size(); k += 97)
      ASSERT_FLOAT_EQ(tape[2 * k], quiet.left(force_at - 24000 + int64_t(k)) * gain[k]) << k;
  }
}

TEST(CaptureEngine, CullRemovesTheTakeBeingRecordedOrTheLastFinishedOnes) {
  auto e = make_engine(kRate);
  e->armed = 1;
  Signal burst = silence(4 * 48000);
  for (int64_t i = 0; i < 4800; ++i) burst.set(i, 0.5f, 0.5f);
  feed(e.get(), burst, 0, burst.frames());
  feed(e.get(), burst, 0, burst.frames());
  ASSERT_EQ(e->takes_closed.load(), 2);
  TakeList list{};
  drain_sealed_takes(e.get(), &list, 1000);
  ASSERT_EQ(list.take_count, 2);
  const int64_t second_start = list.takes[1].start;

  // Cull while a third take records (in its post-roll, the envelope under the line): the head
  // returns to its start, the closed count is unchanged.
  feed(e.get(), burst, 0, 4800 + 8000);
  ASSERT_EQ(e->recording.load(), 1);
  const int64_t third_start = list.takes[1].end;
  e->cull_request = 1;
  feed_silence(e.get(), 256);
  EXPECT_EQ(e->write_head.load(), third_start);
  EXPECT_EQ(e->takes_closed.load(), 2);
  EXPECT_EQ(e->takes_opened.load(), 2);
  EXPECT_EQ(e->recording.load(), 0);

  // Two more culls remove the two finished takes; the list follows.
  e->cull_request = 1;
  feed_silence(e.get(), 256);
  EXPECT_EQ(e->write_head.load(), second_start);
  e->cull_request = 1;
  feed_silence(e.get(), 256);
  EXPECT_EQ(e->write_head.load(), 0);
  EXPECT_EQ(e->takes_closed.load(), 0);
  drain_sealed_takes(e.get(), &list, 1000);
  EXPECT_EQ(list.take_count, 0);
  // A further cull of an empty tape changes nothing.
  e->cull_request = 1;
  feed_silence(e.get(), 256);
  EXPECT_EQ(e->write_head.load(), 0);
  EXPECT_EQ(e->cull_request.load(), 0);
}

TEST(CaptureEngine, TriggerFiltersMatchTheirAnalyticResponses) {
  auto measure = [](float hpf, int hpf_order, float lpf, int lpf_order, float peak, float q, double hz) {
    auto e = make_engine(kRate);
    e->hpf_hz = hpf, e->hpf_order = hpf_order;
    e->lpf_hz = lpf, e->lpf_order = lpf_order;
    e->peak_hz = peak, e->peak_q = q;
    feed(e.get(), sine(48000, hz, 0.5f), 0, 48000);
    return detector_peak(e.get(), 40) / 0.5f;
  };
  const std::complex<double> j(0, 1);
  auto z1 = [&](double hz) { return std::exp(-j * 2.0 * kPi * hz / kRate); };

  // Off (0 Hz) means bypassed whatever the order says.
  EXPECT_NEAR(measure(0, 12, 0, 12, 0, 2, 50), 1.0, 0.01);

  // High-pass, 4 stages at 1 kHz, heard at 500 Hz.
  {
    double a = std::exp(-2 * kPi * 1000 * std::sqrt(std::pow(2.0, 1.0 / 4) - 1) / kRate);
    double h = std::pow(std::abs(a * (1.0 - z1(500)) / (1.0 - a * z1(500))), 4);
    EXPECT_NEAR(measure(1000, 4, 0, 12, 0, 2, 500), h, 0.01);
    EXPECT_LT(h, 0.6);
  }
  // Low-pass at 20 kHz with 12 stages: the stage corner (82 kHz) is held at 0.45 x rate.
  {
    double b = 1 - std::exp(-2 * kPi * 0.45);
    double h = std::pow(std::abs(b / (1.0 - (1 - b) * z1(10000))), 12);
    EXPECT_NEAR(measure(0, 12, 20000, 12, 0, 2, 10000), h, 0.02);
    EXPECT_LT(h, 0.9);  // unclamped it would pass 10 kHz almost untouched
  }
  // Band: 0 dB at the centre, the biquad's response elsewhere.
  {
    EXPECT_NEAR(measure(0, 12, 0, 12, 1000, 2, 1000), 1.0, 0.01);
    double w = 2 * kPi * 1000 / kRate, alpha = std::sin(w) / 4, a0 = 1 + alpha;
    auto z = z1(4000);
    double h = std::abs((alpha / a0 - alpha / a0 * z * z) / (1.0 - 2 * std::cos(w) / a0 * z + (1 - alpha) / a0 * z * z));
    EXPECT_NEAR(measure(0, 12, 0, 12, 1000, 2, 4000), h, 0.01);
  }
  // The equaliser shapes only what opens the gate: 50 Hz hum under a 300 Hz high-pass never
  // opens it, and a take of it (forced) carries the hum unfiltered.
  {
    auto e = make_engine(kRate);
    e->armed = 1;
    e->hpf_hz = 300;
    Signal hum = sine(3 * 48000, 50, 0.3f);
    feed(e.get(), hum, 0, hum.frames());
    EXPECT_EQ(e->takes_opened.load(), 0);
    e->gate_forced = 1;
    feed(e.get(), hum, 0, hum.frames());
    auto tape = tape_frames(e.get(), 0, e->write_head.load());
    float m = 0;
    for (float v : tape) m = std::max(m, std::fabs(v));
    EXPECT_NEAR(m, 0.3f, 0.001f);
  }
}

TEST(CaptureEngine, MonitorLimiterAndLevelling) {
  // Full scale comes out at 0.891 at most.
  {
    auto e = make_engine(kRate);
    e->monitor = 1;
    std::vector<float> out;
    feed(e.get(), sine(4800, 440, 1.0f), 0, 4800, 256, &out);
    float m = 0;
    for (float v : out) m = std::max(m, std::fabs(v));
    EXPECT_LE(m, 0.891f + 1e-6f);
    EXPECT_GT(m, 0.89f);
    EXPECT_NEAR(e->output_peak.load(), m, 1e-6);
  }
  // A quiet signal rises slowly toward 0.708 / 0.125 = 5.664x; a loud one is pulled down fast.
  {
    auto e = make_engine(kRate);
    e->monitor = 1, e->normalize_monitor = 1;
    feed(e.get(), dc(2000, 0.05f), 0, 2000, 250);
    double expect = 5.664 - 4.664 * std::pow(1 - 0.0015, 2000);
    EXPECT_NEAR(e->monitor_gain.load(), expect, 2e-3);
    feed(e.get(), dc(20 * 48000, 0.05f), 0, 20 * 48000, 4000);
    EXPECT_NEAR(e->monitor_gain.load(), 5.664, 1e-3);
  }
  {
    auto e = make_engine(kRate);
    e->monitor = 1, e->normalize_monitor = 1;
    std::vector<float> out;
    feed(e.get(), dc(200, 0.9f), 0, 200, 200, &out);
    double t = 0.708 / 0.9;
    EXPECT_NEAR(e->monitor_gain.load(), t + (1 - t) * std::pow(0.98, 200), 1e-3);
    // The first frame (0.9 x 0.9957) hit the ceiling; the limiter has been recovering since.
    double first = 0.891 / (0.9 * (1 + (t - 1) * 0.02));
    double limiter = 1 - (1 - first) * std::pow(0.99983, 199);
    EXPECT_NEAR(e->limiter_gain.load(), limiter, 1e-4);
    EXPECT_NEAR(out.back(), 0.9 * e->monitor_gain.load() * limiter, 1e-4);
  }
}

TEST(CaptureEngine, OverviewFoldsAndKeepsEveryPeak) {
  auto e = make_engine(8000);
  e->armed = 1, e->gate_forced = 1, e->pre_roll_frames = 0;
  const int64_t total = 4096LL * 2061;  // past 4,096 x 2,048 frames: folds twice
  Signal s = dc(4096, 0.1f);
  std::vector<float> out;
  int64_t fed = 0;
  while (fed < total) {
    Signal block = s;
    if (fed == 16384) block.set(100, 0.9f, 0.9f);             // tape frame 16,484
    if (fed == 4096LL * 1500) block.set(7, -0.7f, 0.0f);      // tape frame 6,144,007
    feed(e.get(), block, 0, 4096, 4096);
    fed += 4096;
  }
  EXPECT_EQ(e->overview_bucket.load(), 4096);
  const int64_t head = e->write_head.load();
  EXPECT_EQ(head, total);
  // One value per used bucket of 4,096 frames.
  const int used = int((head - 1) / 4096 + 1);
  std::vector<float> ov(static_cast<size_t>(used));
  ASSERT_EQ(engine_overview(e.get(), used, ov.data()), used);
  auto value_of = [&](int64_t frame) { return ov[size_t(frame / 4096)]; };
  EXPECT_NEAR(value_of(16484), 0.9f, 1e-4);
  EXPECT_NEAR(value_of(6144007), 0.7f, 1e-4);
  EXPECT_NEAR(value_of(3000000), 0.1f, 1e-4);
  EXPECT_EQ(engine_overview(e.get(), 10, ov.data()), 10);
  EXPECT_NEAR(*std::max_element(ov.begin(), ov.begin() + 10), 0.9f, 1e-4);
}

TEST(CaptureEngine, BlockRulesChannelsAndPlugIns) {
  auto e = make_engine(kRate, 4);
  std::vector<float> out(2 * 5000, 7.0f);
  std::vector<float> in(4 * 5000, 0.25f);
  // Stopped: nothing happens and the output is silent.
  e->running = 0;
  process_block(e.get(), in.data(), out.data(), 256);
  EXPECT_EQ(out[0], 0.0f);
  EXPECT_EQ(out[511], 0.0f);
  EXPECT_EQ(e->mono_count.load(), 0);
  // A block longer than 4,096 frames is refused the same way, output silent throughout.
  e->running = 1;
  std::fill(out.begin(), out.end(), 7.0f);
  process_block(e.get(), in.data(), out.data(), 4097);
  EXPECT_EQ(out[2 * 4097 - 1], 0.0f);
  EXPECT_EQ(e->mono_count.load(), 0);

  // Four channels: the first two are left and right, the rest ignored.
  for (int i = 0; i < 256; ++i) in[size_t(4 * i)] = 0.5f, in[size_t(4 * i + 1)] = -0.25f, in[size_t(4 * i + 2)] = 0.9f;
  e->monitor = 1;
  process_block(e.get(), in.data(), out.data(), 256);
  EXPECT_FLOAT_EQ(e->input_peak.load(), 0.5f);
  float mono[4];
  ASSERT_EQ(engine_mono_history(e.get(), 4, mono), 4);
  EXPECT_FLOAT_EQ(mono[3], 0.125f);
  EXPECT_FLOAT_EQ(out[0], 0.5f);
  EXPECT_FLOAT_EQ(out[1], -0.25f);

  // Plug-ins: an input hook replaces the device, the player is mixed in, the tap hears it all.
  struct Seen {
    int frames = 0;
    float first = 0;
  } seen;
  static const InputHook hook{[](void*, float* l, float* r, int n, int) {
                                for (int i = 0; i < n; ++i) l[i] = r[i] = 0.1f;
                                return 1;
                              },
                              nullptr};
  static const PlayerMix player{[](void*, float* l, float* r, int n, int) {
                                  for (int i = 0; i < n; ++i) l[i] += 0.2f, r[i] += 0.3f;
                                },
                                nullptr};
  const OutputTap tap{[](void* ctx, const float* stereo, int n, int rate) {
                        auto* s = static_cast<Seen*>(ctx);
                        s->frames = n;
                        s->first = stereo[1];
                        EXPECT_EQ(rate, 48000);
                      },
                      &seen};
  e->input_hook = &hook;
  e->output_tap = &tap;
  capture_set_player_mix(&player);
  process_block(e.get(), in.data(), out.data(), 128);
  capture_set_player_mix(nullptr);
  EXPECT_FLOAT_EQ(out[0], 0.3f);
  EXPECT_FLOAT_EQ(out[1], 0.4f);
  EXPECT_EQ(seen.frames, 128);
  EXPECT_FLOAT_EQ(seen.first, 0.4f);
  // Without an output block the tap receives the input itself.
  process_block(e.get(), nullptr, nullptr, 64);
  EXPECT_EQ(seen.frames, 64);
  EXPECT_FLOAT_EQ(seen.first, 0.1f);
  e->input_hook = nullptr;
  // No input at all is silence: the meter only falls.
  const float before = e->input_peak.load();
  process_block(e.get(), nullptr, out.data(), 64);
  EXPECT_FLOAT_EQ(e->input_peak.load(), before * 0.85f);
}

TEST(CaptureEngine, ReadersSeekAndTiming) {
  auto e = make_engine(kRate);
  // Scope columns: 562 frames each at 48 kHz; the newest column last.
  ASSERT_EQ(e->column_frames, 562);
  Signal s = silence(562 * 3);
  s.set(562 * 2 + 5, 0.4f, 0.0f);
  feed(e.get(), s, 0, s.frames(), 100);
  ScopeColumn cols[600];
  ASSERT_EQ(engine_scope_columns(e.get(), 600, cols), 3);
  EXPECT_FLOAT_EQ(cols[2].input_peak, 0.4f);
  EXPECT_FLOAT_EQ(cols[1].input_peak, 0.0f);
  ASSERT_EQ(engine_scope_columns(e.get(), 0, cols), 1);
  EXPECT_FLOAT_EQ(cols[0].input_peak, 0.4f);
  // Mono history: at most what was written, at most the ring.
  std::vector<float> mono(200000);
  EXPECT_EQ(engine_mono_history(e.get(), 200000, mono.data()), 562 * 3);
  feed_silence(e.get(), 100000);
  EXPECT_EQ(engine_mono_history(e.get(), 200000, mono.data()), 96000);

  // Seek: nothing on an empty tape, the fraction of the write head otherwise.
  engine_seek_fraction(e.get(), 0.5);
  EXPECT_EQ(e->seek_request.load(), -1);
  e->armed = 1, e->gate_forced = 1;
  feed_silence(e.get(), 10000);
  const int64_t head = e->write_head.load();
  engine_seek_fraction(e.get(), 2.0);
  EXPECT_EQ(e->seek_request.load(), head - 1);
  engine_seek_fraction(e.get(), 0.25);
  EXPECT_EQ(e->seek_request.load(), int64_t(0.25 * double(head)));
  feed_silence(e.get(), 1);
  EXPECT_EQ(e->play_head.load(), int64_t(0.25 * double(head)));
  EXPECT_EQ(e->seek_request.load(), -1);

  // Timing through the callback wrapper; the maximum is taken and cleared by the reader.
  std::vector<float> in(512, 0.0f), out(512);
  for (int i = 0; i < 10; ++i) capture_callback(in.data(), out.data(), 256, nullptr, 0, e.get());
  TimingStats t{};
  engine_timing(e.get(), &t);
  EXPECT_EQ(t.callbacks, 10);
  EXPECT_NEAR(t.audio_us, 10 * 256 * 1e6 / kRate, 1e-6);
  EXPECT_GT(t.max_us, 0.0);
  EXPECT_GE(t.busy_us, t.max_us);
  EXPECT_EQ(engine_frames_delivered(e.get()), 2560);
  engine_timing(e.get(), &t);
  EXPECT_EQ(t.callbacks, 0);
  EXPECT_EQ(t.max_us, 0.0);
}

namespace {

// Deterministic random numbers for the comparison below.
struct Dice {
  uint64_t state;
  uint32_t next() {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    return uint32_t(state >> 33);
  }
  double unit() { return next() / 2147483648.0; }  // 0..1
  int upto(int n) { return n > 0 ? int(next() % uint32_t(n)) : 0; }
  bool chance(double p) { return unit() < p; }
  float noise() { return float(2.0 * unit() - 1.0); }
};

// Sound in stretches of one kind each: silence, faint or loud noise, tones, clicks, a level
// wandering across the threshold line, denormals, and (when allowed) infinities and NaNs.
struct Scenery {
  Dice dice;
  double rate;
  float line;
  bool hostile;
  int kind = 0;
  int64_t left = 0, at = 0;
  float amp = 0, hz = 0;
  void next_stretch() {
    kind = dice.upto(hostile ? 9 : 8);
    left = 1 + int64_t(dice.unit() * dice.unit() * 3.0 * rate);
    amp = float(std::pow(10.0, -4.0 * dice.unit()));
    hz = float(20.0 + dice.unit() * 0.4 * rate);
  }
  void frame(float* l, float* r) {
    if (left-- <= 0) next_stretch();
    ++at;
    float a = 0, b = 0;
    switch (kind) {
      case 0: break;
      case 1: a = 1e-4f * dice.noise(), b = 1e-4f * dice.noise(); break;
      case 2: a = amp * dice.noise(), b = amp * dice.noise(); break;
      case 3: a = amp * float(std::sin(2 * kPi * hz * double(at) / rate)), b = -0.5f * a; break;
      case 4: a = b = dice.chance(200.0 / rate) ? amp * dice.noise() : 0.0f; break;
      case 5: {  // near the line, drifting over and under it
        const float wander = float(1.0 + 0.3 * std::sin(2 * kPi * double(at) / (0.37 * rate)));
        a = line * wander * (dice.chance(0.5) ? 1.0f : -1.0f), b = 0.3f * a;
        break;
      }
      case 6: a = 3e-39f * dice.noise(), b = -2e-39f; break;
      case 7: a = amp * dice.noise(), b = 0; break;
      default: {  // a loud right channel beside the odd values, so it shows wherever they hide it
        const float odd[] = {INFINITY, -INFINITY, NAN, 1e30f};
        const bool strange = dice.chance(0.003);
        a = strange ? odd[dice.upto(4)] : 0.01f * dice.noise(), b = strange ? 0.9f : 0.01f * dice.noise();
      }
    }
    *l = a, *r = b;
  }
};

// A library player that renders a tone from its own position, one per engine.
struct TonePlayer {
  int64_t position = 0;
  static void render(void* ctx, float* l, float* r, int n, int) {
    auto* p = static_cast<TonePlayer*>(ctx);
    for (int i = 0; i < n; ++i, ++p->position) {
      const float v = 0.3f * float(std::sin(0.01 * double(p->position)));
      l[i] += v, r[i] += 0.5f * v;
    }
  }
};

struct TapCopy {
  std::vector<float> seen;
  static void take(void* ctx, const float* stereo, int n, int) {
    auto* t = static_cast<TapCopy*>(ctx);
    t->seen.assign(stereo, stereo + 2 * n);
  }
};

bool same_bits(const void* a, const void* b, size_t bytes) { return memcmp(a, b, bytes) == 0; }
template <typename T>
bool same_value(const T& a, const T& b) {
  return same_bits(&a, &b, sizeof a);
}

template <typename T>
bool same_atomics(const std::atomic<T>* a, const std::atomic<T>* b, int64_t n) {
  for (int64_t i = 0; i < n; ++i) {
    const T x = a[i].load(), y = b[i].load();
    if (!same_bits(&x, &y, sizeof x)) return false;
  }
  return true;
}

// Every published value and every piece of state that reaches a later block; the name of the
// first one that differs, or an empty string.
std::string first_difference(const CaptureEngine& a, const CaptureEngine& b) {
#define SAME(field) \
  if (!same_value(a.field, b.field)) return #field
#define SAME_ATOMIC(field) \
  if (!same_value(a.field.load(), b.field.load())) return #field
  SAME_ATOMIC(input_peak); SAME_ATOMIC(output_peak); SAME_ATOMIC(envelope); SAME_ATOMIC(gate_open);
  SAME_ATOMIC(would_open); SAME_ATOMIC(recording); SAME_ATOMIC(write_head); SAME_ATOMIC(takes_opened);
  SAME_ATOMIC(takes_closed); SAME_ATOMIC(play_head); SAME_ATOMIC(monitor_gain); SAME_ATOMIC(limiter_gain);
  SAME_ATOMIC(play_tape); SAME_ATOMIC(reset_request); SAME_ATOMIC(cull_request); SAME_ATOMIC(seek_request);
  SAME_ATOMIC(sealed_write); SAME_ATOMIC(overview_bucket); SAME_ATOMIC(column_count); SAME_ATOMIC(mono_count);
  SAME(env); SAME(above_line); SAME(sample_counter); SAME(crossing_count); SAME(gate); SAME(above_count);
  SAME(below_count); SAME(quiet_count); SAME(delay_frames); SAME(extra_frames); SAME(wo_open); SAME(wo_above);
  SAME(wo_below); SAME(wo_quiet); SAME(delay_write); SAME(record_gain); SAME(rec); SAME(head); SAME(playhead);
  SAME(opened); SAME(closed); SAME(take_start); SAME(take_start_count); SAME(col_in); SAME(col_det);
  SAME(col_rec); SAME(col_wo); SAME(col_filled); SAME(level_env); SAME(level_gain); SAME(limit_gain);
  SAME(in_peak); SAME(out_peak); SAME(eq);
#undef SAME
#undef SAME_ATOMIC
  if (!same_bits(a.crossing, b.crossing, sizeof a.crossing)) return "crossing log";
  if (!same_bits(a.take_starts, b.take_starts, size_t(a.take_start_count) * sizeof(int64_t))) return "take starts";
  for (int i = 0; i < kMaxSealedTakes; ++i)
    if (a.sealed[i].start != b.sealed[i].start || a.sealed[i].end != b.sealed[i].end ||
        a.sealed[i].culled != b.sealed[i].culled)
      return "sealed takes";
  if (!same_atomics(a.overview, b.overview, kOverviewBuckets)) return "overview";
  if (!same_atomics(a.column_input, b.column_input, kScopeColumns)) return "column input peaks";
  if (!same_atomics(a.column_detector, b.column_detector, kScopeColumns)) return "column detector peaks";
  if (!same_atomics(a.column_recorded, b.column_recorded, kScopeColumns)) return "column recorded marks";
  if (!same_atomics(a.column_would_open, b.column_would_open, kScopeColumns)) return "column would-open marks";
  return "";
}

// Tape frames [from, to) of both engines: present in both or in neither, and the same bits
// where present.
std::string tape_difference(const CaptureEngine& a, const CaptureEngine& b, int64_t from, int64_t to) {
  const int64_t cf = a.tape.chunk_frames;
  for (int64_t f = std::max<int64_t>(from, 0); f < to && f / cf < a.tape.slot_count;) {
    const int64_t c = f / cf, n = std::min(to, (c + 1) * cf) - f;
    const float* x = a.tape.chunks[c].load();
    const float* y = b.tape.chunks[c].load();
    if (!x != !y) return "tape chunk presence " + std::to_string(c);
    if (x && !same_bits(x + 2 * (f - c * cf), y + 2 * (f - c * cf), size_t(2 * n) * sizeof(float)))
      return "tape frames from " + std::to_string(f);
    f += n;
  }
  return "";
}

}  // namespace

TEST(CaptureEngine, BlockRoutineMatchesThePlainFrameByFrameRoutineBitForBit) {
  // Many engines in pairs, one run by the block routine and one by the plain reference, through
  // random trigger settings, sounds, block lengths, requests and tape limits. Every output
  // sample, tape frame, published value and piece of carried state must be the same bits.
  const double rates[] = {48000, 44100, 8000, 1000, 500, 100};
  int64_t frames_compared = 0, takes_seen = 0, blocks_at_tape_end = 0;
  for (uint64_t seed = 1; seed <= 48; ++seed) {
    Dice dice{seed * 7919};
    const double rate = rates[dice.upto(6)];
    const int channels = 1 + dice.upto(3);
    // One-second chunks, so runs cross them often; a small memory figure keeps the tape at its
    // smallest resident cap, so writes hit its end; three minutes of chunk slots let the slowest
    // rates run past the table.
    const uint64_t memory = dice.chance(0.3) ? uint64_t(1) << 20 : uint64_t(8) << 30;
    auto engine = [&] {
      EnginePtr e(new CaptureEngine{});
      if (capture_engine_init(e.get(), rate) != 0 ||
          tape_create_with_memory(&e->tape, 1, 3, kTapeSpareTarget, rate, memory) != 0)
        return EnginePtr();
      tape_maintain(&e->tape, 0, kTapeAhead);
      e->input_channels = channels;
      e->running = 1;
      return e;
    };
    auto fast = engine(), plain = engine();
    ASSERT_TRUE(fast && plain);
    const int ring = fast->delay_length;
    auto seconds = [&](double s) { return int(s * rate); };
    float line = 0.02f;
    auto shuffle_settings = [&](CaptureEngine* x, Dice d) {
      x->armed = d.chance(0.85);
      x->gate_forced = d.chance(0.1);
      x->monitor = d.chance(0.3);
      x->normalize_monitor = d.chance(0.5);
      x->input_gain = d.chance(0.5) ? 1.0f : float(0.25 + 1.75 * d.unit());
      x->open_level = line;
      x->exit_db = d.chance(0.4) ? 0.0f : float(48.0 * d.unit() - 24.0);
      const int pre[] = {0, 1, seconds(0.01), seconds(0.5), seconds(2.0), ring - 1, ring + 100};
      x->pre_roll_frames = pre[d.upto(7)];
      const int post[] = {0, 1, seconds(0.02), seconds(0.3), seconds(1.0)};
      x->post_roll_frames = post[d.upto(5)];
      const int look[] = {0, 0, seconds(0.5), seconds(2.0), ring};
      x->look_back_frames = look[d.upto(5)];
      const int hold[] = {0, 0, 1, seconds(0.01), seconds(0.2)};
      x->hold_frames = hold[d.upto(5)];
      x->hpf_hz = d.chance(0.4) ? float(20.0 + 400.0 * d.unit()) : 0.0f;
      x->hpf_order = 1 + d.upto(12);
      x->lpf_hz = d.chance(0.3) ? float(500.0 + 15000.0 * d.unit()) : 0.0f;
      x->lpf_order = 1 + d.upto(12);
      x->peak_hz = d.chance(0.3) ? float(100.0 + 5000.0 * d.unit()) : 0.0f;
      x->peak_q = float(0.2 + 8.0 * d.unit());
    };
    const bool hostile = seed % 8 == 0;
    Scenery scene{Dice{seed * 104729}, rate, line, hostile};
    TonePlayer fast_player, plain_player;
    const PlayerMix fast_mix{TonePlayer::render, &fast_player}, plain_mix{TonePlayer::render, &plain_player};
    TapCopy fast_tap, plain_tap;
    const OutputTap fast_out{TapCopy::take, &fast_tap}, plain_out{TapCopy::take, &plain_tap};
    fast->output_tap = &fast_out, plain->output_tap = &plain_out;
    bool player_on = false;
    uint64_t now_ms = 0;
    int64_t widest_head = 0;
    std::vector<float> input(size_t(channels) * kMaxBlockFrames), out_fast(2 * kMaxBlockFrames),
        out_plain(2 * kMaxBlockFrames);
    for (int block = 0; block < 160; ++block) {
      if (block == 0 || dice.chance(0.08)) {
        if (dice.chance(0.5)) line = float(std::pow(10.0, -1.0 - 2.5 * dice.unit()));
        scene.line = line;
        const Dice settings{dice.state ^ 0x9e3779b97f4a7c15ull};
        shuffle_settings(fast.get(), settings);
        shuffle_settings(plain.get(), settings);
        player_on = dice.chance(0.2);
      }
      if (dice.chance(0.03)) fast->gate_forced = plain->gate_forced = !fast->gate_forced;
      if (dice.chance(0.03)) fast->armed = plain->armed = !fast->armed;
      if (dice.chance(0.02)) fast->reset_request = plain->reset_request = 1;
      if (dice.chance(0.04)) fast->cull_request = plain->cull_request = 1;
      if (dice.chance(0.04)) {
        const int64_t to = int64_t(dice.unit() * double(fast->write_head.load() + 10));
        fast->seek_request = plain->seek_request = to;
        fast->play_tape = plain->play_tape = 1;
      }
      // The allocator's part, mostly on time; sometimes late, and sometimes giving back what
      // lies behind the head.
      now_ms += 10;
      if (dice.chance(0.9)) {
        const int ahead = 1 + dice.upto(3);
        if (dice.chance(0.05)) {
          const int64_t back = std::max<int64_t>(0, fast->write_head.load() - 2 * fast->tape.chunk_frames);
          fast->tape.release_point = plain->tape.release_point = back;
        }
        tape_maintain_at(&fast->tape, fast->write_head.load(), ahead, now_ms);
        tape_maintain_at(&plain->tape, plain->write_head.load(), ahead, now_ms);
      }
      if (dice.chance(0.7)) {
        SealedTake x, y;
        while (engine_next_sealed_take(fast.get(), &x)) {
          ASSERT_TRUE(engine_next_sealed_take(plain.get(), &y));
          takes_seen += !x.culled;
        }
        ASSERT_FALSE(engine_next_sealed_take(plain.get(), &y));
      }

      const int lengths[] = {1, 7, 64, 256, 256, 1000, 4096};
      const int frames = dice.chance(0.3) ? 1 + dice.upto(kMaxBlockFrames) : lengths[dice.upto(7)];
      for (int i = 0; i < frames; ++i) {
        float l, r;
        scene.frame(&l, &r);
        for (int ch = 0; ch < channels; ++ch) input[size_t(i * channels + ch)] = ch == 0 ? l : ch == 1 ? r : 0.7f;
      }
      const float* in = dice.chance(0.03) ? nullptr : input.data();
      const bool with_output = !dice.chance(0.05);
      // Where this block's tape writes begin: the head, or where a reset or cull moves it.
      int64_t written_from = fast->head;
      if (fast->cull_request && fast->take_start_count > 0)
        written_from = std::min(written_from, fast->take_starts[fast->take_start_count - 1]);
      if (fast->reset_request) written_from = 0;
      const int64_t mono_before = fast->mono_count.load();
      capture_set_player_mix(player_on ? &fast_mix : nullptr);
      ASSERT_EQ(process_block(fast.get(), in, with_output ? out_fast.data() : nullptr, frames), frames);
      capture_set_player_mix(nullptr);
      ASSERT_EQ(reference::process_block(plain.get(), in, with_output ? out_plain.data() : nullptr, frames,
                                         player_on ? &plain_mix : nullptr),
                frames);
      frames_compared += frames;

      const std::string where = "seed " + std::to_string(seed) + " block " + std::to_string(block);
      ASSERT_TRUE(same_bits(out_fast.data(), out_plain.data(), size_t(2 * frames) * sizeof(float))) << where;
      ASSERT_EQ(fast_tap.seen.size(), plain_tap.seen.size()) << where;
      ASSERT_TRUE(same_bits(fast_tap.seen.data(), plain_tap.seen.data(), fast_tap.seen.size() * sizeof(float)))
          << where;
      ASSERT_EQ(first_difference(*fast, *plain), "") << where;
      widest_head = std::max(widest_head, int64_t(fast->head));
      if (fast->rec && fast->head >= fast->tape.allocated_frontier.load()) ++blocks_at_tape_end;
      ASSERT_EQ(tape_difference(*fast, *plain, written_from, fast->head + 1), "") << where;
      // The newest frames of the delay ring and the mono history.
      for (int i = 1; i <= std::min(frames, ring); ++i) {
        const int at = (fast->delay_write - i + ring) % ring;
        ASSERT_TRUE(same_bits(fast->delay + 2 * at, plain->delay + 2 * at, 2 * sizeof(float))) << where;
      }
      for (int64_t k = mono_before; k < fast->mono_count.load(); ++k) {
        const float x = fast->mono[k % fast->mono_length].load(), y = plain->mono[k % plain->mono_length].load();
        ASSERT_TRUE(same_bits(&x, &y, sizeof x)) << where;
      }
    }
    ASSERT_TRUE(same_bits(fast->delay, plain->delay, size_t(2 * ring) * sizeof(float))) << seed;
    ASSERT_TRUE(same_atomics(fast->mono, plain->mono, fast->mono_length)) << seed;
    ASSERT_EQ(tape_difference(*fast, *plain, 0, widest_head + 1), "") << seed;
  }
  // The runs covered what they are for.
  EXPECT_GT(frames_compared, 5000000);
  EXPECT_GT(takes_seen, 100);
  EXPECT_GT(blocks_at_tape_end, 0);
}
