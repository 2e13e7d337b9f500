// A minute of sound as a user would record it: speech-like bursts, isolated clicks, a slow swell
// and mains hum throughout, pushed through the capture routine in 256-frame blocks with a
// 200 Hz trigger high-pass. Every event becomes exactly one take whose boundaries are the
// pre-roll before the frame that crossed the line and the post-roll and fade after the level
// fell under it; between the fades the take is the gained, delayed input itself; the hum alone
// never opens the gate.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "capture/detector_eq.h"
#include "capture/engine.h"
#include "tests/capture/engine_fixture.h"

namespace {

constexpr double kRate = 48000;
constexpr double kPi = 3.14159265358979323846;
constexpr int kBlock = 256;
constexpr float kGain = 1.25f;
constexpr int kPre = 24000, kPost = 48000;

struct Event {
  int64_t start, length;
};

Signal make_scene(std::vector<Event>* events, bool with_events) {
  const int64_t total = int64_t(60 * kRate);
  Signal s = silence(total);
  for (int64_t i = 0; i < total; ++i) {
    float hum = float(0.15 * std::sin(2 * kPi * 50 * double(i) / kRate));
    s.set(i, hum, 0.9f * hum);
  }
  if (!with_events) return s;
  auto burst = [&](double at_s, double seconds, double f0) {
    const int64_t a = int64_t(at_s * kRate), n = int64_t(seconds * kRate);
    for (int64_t i = 0; i < n; ++i) {
      const double t = double(i) / kRate;
      const double syllable = 0.6 + 0.4 * std::cos(2 * kPi * 4 * t);  // starts at full level
      const double v = syllable * (0.1 * std::cos(2 * kPi * f0 * t) + 0.08 * std::cos(2 * kPi * 2.7 * f0 * t) +
                                   0.05 * std::cos(2 * kPi * 5.9 * f0 * t));
      s.add(a + i, float(v), float(-0.8 * v));
    }
    events->push_back({a, n});
  };
  auto click = [&](double at_s, float level) {
    const int64_t a = int64_t(at_s * kRate);
    s.add(a, level, level);
    events->push_back({a, 1});
  };
  burst(2.0, 1.0, 400);
  click(8.0, 0.7f);
  burst(13.0, 1.5, 310);
  {  // a slow swell of 1 kHz: up over 3 s, down over 3 s
    const int64_t a = int64_t(20 * kRate), n = int64_t(6 * kRate);
    for (int64_t i = 0; i < n; ++i) {
      const double t = double(i) / kRate;
      const double level = 0.25 * (t < 3 ? t / 3 : (6 - t) / 3);
      s.add(a + i, float(level * std::sin(2 * kPi * 1000 * t)), float(level * std::sin(2 * kPi * 1000 * t)));
    }
    events->push_back({a, n});
  }
  click(32.0, 0.5f);
  s.add(int64_t(32.05 * kRate), -0.5f, -0.5f);  // a second click within the post-roll: same take
  burst(40.0, 0.5, 520);
  click(48.0, 0.9f);
  return s;
}

struct ExpectedTake {
  int64_t open;                // input frame whose envelope reached the line
  std::vector<float> gain;     // record gain of every recorded frame
};

// What the gate does with a detector level per frame: hold 0, no look-back, exit line equal
// to the open line, the delay set to the pre-roll at opening.
std::vector<ExpectedTake> expected_takes(const std::vector<float>& detector, float line) {
  std::vector<ExpectedTake> takes;
  float env = 0, gain = 0;
  bool open = false, recording = false;
  int64_t quiet = 0, open_at = 0;
  for (int64_t i = 0; i < int64_t(detector.size()); ++i) {
    const float p = detector[size_t(i)];
    env = p > env ? p : env * 0.9995f;
    if (env >= line) {
      quiet = 0;
      if (!open) open = true, open_at = i;
    } else if (open && ++quiet >= kPre + kPost) {
      open = false;
    }
    gain += ((open ? 1.0f : 0.0f) - gain) * 0.0015f;
    const bool now = gain > 0.0005f;
    if (now && !recording) takes.push_back({open_at, {}});
    if (now) takes.back().gain.push_back(gain);
    recording = now;
  }
  return takes;
}

EnginePtr scene_engine(float hpf_hz) {
  auto e = make_engine(kRate);
  e->armed = 1;
  e->hpf_hz = hpf_hz;
  e->hpf_order = 12;
  e->input_gain = kGain;
  return e;
}

}  // namespace

TEST(Scene, EveryEventIsOneTakeWithExactBoundariesAndUntouchedAudio) {
  std::vector<Event> events;
  const Signal s = make_scene(&events, true);
  auto e = scene_engine(200);
  feed(e.get(), s, 0, s.frames(), kBlock);
  const auto takes = sealed_takes(e.get());

  // The detector levels the equaliser produces for this signal, block by block as the engine
  // sees it, turned into expected takes by the gate's rules.
  std::vector<float> detector(size_t(s.frames()));
  {
    EqState state{};
    EqCoefficients c;
    eq_coefficients(&c, 200, 12, 0, 12, 0, 2, kRate);
    std::vector<float> l(kBlock), r(kBlock), scratch(2 * kBlock);
    for (int64_t at = 0; at < s.frames(); at += kBlock) {
      for (int i = 0; i < kBlock; ++i) l[size_t(i)] = s.left(at + i), r[size_t(i)] = s.right(at + i);
      eq_detect(&state, c, l.data(), r.data(), kGain, kBlock, scratch.data(), detector.data() + at);
    }
  }
  const auto expected = expected_takes(detector, 0.02f);

  ASSERT_EQ(events.size(), 7u);
  ASSERT_EQ(takes.size(), events.size());
  ASSERT_EQ(expected.size(), events.size());
  int64_t tape_at = 0;
  for (size_t k = 0; k < takes.size(); ++k) {
    const ExpectedTake& x = expected[k];
    EXPECT_EQ(takes[k].start, tape_at) << k;
    ASSERT_EQ(takes[k].end - takes[k].start, int64_t(x.gain.size())) << "take " << k;
    // The take opened on its own event and holds it whole with pre- and post-roll (the swell
    // fades under the line before its last frame, so its take ends earlier).
    EXPECT_GE(x.open, events[k].start) << k;
    EXPECT_LT(x.open, events[k].start + events[k].length) << k;
    if (k != 3) {
      EXPECT_GT(x.open - kPre + int64_t(x.gain.size()), events[k].start + events[k].length + kPost) << k;
    }
    // Tape frame j is input frame open - pre + j, gained, times the record gain.
    const auto tape = tape_frames(e.get(), takes[k].start, takes[k].end);
    for (size_t j = 0; j < x.gain.size(); ++j) {
      const int64_t in = x.open - kPre + int64_t(j);
      ASSERT_EQ(tape[2 * j], kGain * s.left(in) * x.gain[j]) << "take " << k << " frame " << j;
      ASSERT_EQ(tape[2 * j + 1], kGain * s.right(in) * x.gain[j]) << "take " << k << " frame " << j;
    }
    tape_at = takes[k].end;
  }
  // The swell opened the gate on its way up, not at its first frame.
  EXPECT_GT(expected[3].open, events[3].start + int64_t(0.1 * kRate));
}

TEST(Scene, HumAloneNeverOpensTheGateWhileTheHighPassIsOn) {
  std::vector<Event> events;
  const Signal hum = make_scene(&events, false);
  auto filtered = scene_engine(200);
  feed(filtered.get(), hum, 0, hum.frames(), kBlock);
  EXPECT_EQ(filtered->takes_opened.load(), 0);
  EXPECT_EQ(filtered->write_head.load(), 0);
  // Without the high-pass the same hum is well over the line.
  auto open = scene_engine(0);
  feed(open.get(), hum, 0, int64_t(kRate), kBlock);
  EXPECT_EQ(open->takes_opened.load(), 1);
}
