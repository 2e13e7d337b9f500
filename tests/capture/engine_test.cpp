// The capture routine on synthetic blocks: gate timing (hold, gap, exit line), take boundaries
// and fades, look-back, disarm, forced gate, cull, the trigger filters against their analytic
// responses, the limiter and levelling, overview folding, block rules and the readers.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdint>
#include <vector>

#include "capture/engine.h"
#include "capture/takes.h"
#include "tests/capture/engine_fixture.h"

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
