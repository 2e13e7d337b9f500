// Tempo and key analysis on signals made here: click tracks at known tempi and phases, chord
// progressions in known keys, short, silent and unusable input, the ten-minute cap and the texts.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "analysis/tempo_key.h"

namespace {

struct TestAudio {
  std::vector<float> data;
  AudioBuffer buffer{};
};

TestAudio make_audio(double rate, int channels, double seconds) {
  TestAudio t;
  int64_t frames = int64_t(seconds * rate);
  t.data.assign(size_t(frames * channels), 0.0f);
  t.buffer = AudioBuffer{channels, rate, frames, t.data.data()};
  return t;
}

// A 10 ms burst of decaying noise every beat from first_s on, in every channel at `gain`.
TestAudio click_track(double rate, int channels, double seconds, double bpm, double first_s,
                      const std::vector<float>& gain = {1.0f, 1.0f}) {
  TestAudio t = make_audio(rate, channels, seconds);
  uint32_t noise = 12345;
  int64_t burst = int64_t(0.010 * rate);
  for (double beat = first_s; beat < seconds; beat += 60.0 / bpm) {
    int64_t start = int64_t(std::llround(beat * rate));
    for (int64_t i = 0; i < burst && start + i < t.buffer.frames; ++i) {
      noise = noise * 1664525u + 1013904223u;
      float white = float(int32_t(noise)) / 2147483648.0f;
      float v = 0.8f * white * std::exp(-float(i) / float(0.002 * rate));
      for (int c = 0; c < channels; ++c) t.data[size_t((start + i) * channels + c)] = v * gain[c];
    }
  }
  return t;
}

double midi_hz(int note) { return 440.0 * std::pow(2.0, (note - 69) / 12.0); }

// Chords of MIDI notes, each held for chord_s, every note with four harmonics falling as 1/h.
TestAudio chords(double rate, const std::vector<std::vector<int>>& progression, double chord_s) {
  TestAudio t = make_audio(rate, 1, chord_s * double(progression.size()));
  int64_t per_chord = int64_t(chord_s * rate);
  for (size_t c = 0; c < progression.size(); ++c)
    for (int note : progression[c])
      for (int h = 1; h <= 4; ++h) {
        double w = 2 * M_PI * midi_hz(note) * h / rate;
        for (int64_t i = 0; i < per_chord; ++i)
          t.data[size_t(int64_t(c) * per_chord + i)] += float(0.08 / h * std::sin(w * double(i)));
      }
  return t;
}

// Runs an analysis to the end, 64 hops a step, checking that progress only rises.
void run(TempoKeyAnalyser* a, const AudioBuffer& b) {
  analyser_start(a, b);
  float last = analyser_progress(a);
  int steps = 0;
  while (analyser_step(a, 64) == 0) {
    float p = analyser_progress(a);
    ASSERT_GT(p, last);
    ASSERT_LT(p, 1.0f);
    last = p;
    ASSERT_LT(++steps, 100000);
  }
  ASSERT_EQ(a->result.done, 1);
  EXPECT_EQ(analyser_progress(a), 1.0f);
  EXPECT_EQ(a->running, 0);
  EXPECT_EQ(a->novelty, nullptr);
  EXPECT_EQ(a->samples, nullptr);
}

std::string visual_text(const TempoKeyAnalyser& a) {
  char text[kTempoTextBytes];
  tempo_visual_text(&a, text, sizeof text);
  return text;
}

std::string loop_text(const TempoKeyAnalyser& a, bool loaded, bool grid) {
  char text[kTempoTextBytes];
  tempo_loop_text(&a, loaded, grid, text, sizeof text);
  return text;
}

}  // namespace

TEST(Tempo, ClickTracksGiveTheirTempoAndFirstBeat) {
  for (double bpm : {90.0, 120.0, 150.0}) {
    SCOPED_TRACE(bpm);
    TestAudio t = click_track(48000, 1, 20, bpm, 0.31);
    TempoKeyAnalyser a{};
    run(&a, t.buffer);
    EXPECT_NEAR(a.result.bpm, bpm, 0.5);
    EXPECT_NEAR(a.result.first_beat_s, 0.31, 0.02);
    EXPECT_FLOAT_EQ(a.result.tempo_confidence, 1.0f);
  }
  // Stereo at 44.1 kHz (86.13 hops a second): the mono view is the mean of both channels.
  TestAudio t = click_track(44100, 2, 15, 120, 0.2, {1.0f, 0.25f});
  TempoKeyAnalyser a{};
  run(&a, t.buffer);
  EXPECT_NEAR(a.result.bpm, 120, 0.5);
  EXPECT_NEAR(a.result.first_beat_s, 0.2, 0.02);
  char text[kTempoTextBytes];
  tempo_visual_text(&a, text, sizeof text);
  EXPECT_EQ(std::string(text).substr(0, 9), "120 BPM  ");
}

TEST(Tempo, ShortOrSilentAudioGivesNoTempo) {
  // Three seconds of clicks: 281 hops, under the four seconds (375 hops) a tempo needs.
  TestAudio clicks = click_track(48000, 1, 3, 120, 0.1);
  TempoKeyAnalyser a{};
  run(&a, clicks.buffer);
  EXPECT_EQ(a.hops_total, 281);
  EXPECT_EQ(a.result.bpm, 0.0f);
  EXPECT_EQ(a.result.tempo_confidence, 0.0f);

  TestAudio silence = make_audio(48000, 2, 10);
  run(&a, silence.buffer);
  EXPECT_EQ(a.result.bpm, 0.0f);
  EXPECT_EQ(a.result.tempo_confidence, 0.0f);
  EXPECT_EQ(a.result.key, -1);
  EXPECT_EQ(a.result.key_confidence, 0.0f);
  EXPECT_EQ(visual_text(a), "-- BPM  ");
  EXPECT_EQ(loop_text(a, true, false), "NO STEADY PULSE");
}

TEST(Tempo, UnusableInputIsDoneAtOnce) {
  TempoKeyAnalyser a{};
  EXPECT_EQ(analyser_progress(&a), 0.0f);
  EXPECT_EQ(analyser_step(&a, 64), 0);  // never started: not done
  EXPECT_EQ(visual_text(a), "");

  TestAudio ok = make_audio(48000, 1, 1);
  struct Case {
    const char* what;
    const float* samples;
    int channels;
    int64_t frames;
    double rate;
  } cases[] = {
      {"1023 frames", ok.data.data(), 1, 1023, 48000},
      {"6000 Hz", ok.data.data(), 1, 6000, 6000},
      {"no samples", nullptr, 1, 48000, 48000},
      {"no channels", ok.data.data(), 0, 48000, 48000},
      {"rate not a number", ok.data.data(), 1, 48000, std::nan("")},
      {"infinite rate", ok.data.data(), 1, 48000, INFINITY},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    analyser_start(&a, c.samples, c.channels, c.frames, c.rate);
    EXPECT_EQ(a.running, 0);
    EXPECT_EQ(a.result.done, 1);
    EXPECT_EQ(analyser_progress(&a), 1.0f);
    EXPECT_EQ(analyser_step(&a, 64), 1);
    EXPECT_EQ(a.result.bpm, 0.0f);
    EXPECT_EQ(a.result.key, -1);
    EXPECT_EQ(a.result.tempo_confidence, 0.0f);
    EXPECT_EQ(a.result.key_confidence, 0.0f);
    EXPECT_EQ(a.novelty, nullptr);
  }
  // The smallest usable input: 1024 frames at 8000 Hz, two hops.
  analyser_start(&a, ok.data.data(), 1, 1024, 8000);
  EXPECT_EQ(a.running, 1);
  EXPECT_EQ(a.hops_total, 2);
  EXPECT_EQ(analyser_step(&a, 1), 0);
  EXPECT_EQ(analyser_progress(&a), 0.5f);
  EXPECT_EQ(visual_text(a), "TEMPO 50%");
  EXPECT_EQ(loop_text(a, true, false), "FINDING TEMPO...");
  EXPECT_EQ(analyser_step(&a, 1), 1);
  EXPECT_EQ(analyser_step(&a, 1), 1);  // done stays done
}

TEST(Tempo, LongFilesAreCutAtTenMinutesAndRestartsDiscardWork) {
  // 601 s at 8 kHz: only the first 600 s count.
  TestAudio t = make_audio(8000, 1, 601);
  TempoKeyAnalyser a{};
  analyser_start(&a, t.buffer);
  EXPECT_EQ(a.frames, 4800000);
  EXPECT_EQ(a.hops_total, 9375);
  analyser_step(&a, 100);
  EXPECT_EQ(a.hops_done, 100);

  // A new start mid-way frees the old work and begins again.
  TestAudio clicks = click_track(48000, 1, 8, 120, 0.25);
  analyser_start(&a, clicks.buffer);
  EXPECT_EQ(a.hops_done, 0);
  EXPECT_EQ(a.hops_total, 750);
  EXPECT_EQ(a.samples, clicks.data.data());
  while (analyser_step(&a, 96) == 0) {
  }
  EXPECT_NEAR(a.result.bpm, 120, 0.5);
  analyser_release(&a);  // after done: harmless
  EXPECT_EQ(a.result.done, 1);
}

TEST(Key, ChordProgressionsGiveTheirKey) {
  // C major: C - F - G7 - C, with the bass an octave down.
  TestAudio major = chords(22050, {{48, 60, 64, 67}, {53, 65, 69, 72}, {43, 59, 62, 65, 67}, {48, 60, 64, 67}}, 2.5);
  TempoKeyAnalyser a{};
  run(&a, major.buffer);
  EXPECT_EQ(a.result.key, 0);
  EXPECT_STREQ(key_name(a.result.key), "C MAJ");
  EXPECT_GE(a.result.key_confidence, 0.55f);

  // A minor: Am - Dm - E - Am (the raised G# of the dominant).
  TestAudio minor = chords(44100, {{45, 57, 60, 64}, {50, 62, 65, 69}, {40, 56, 59, 64}, {45, 57, 60, 64}}, 2.5);
  run(&a, minor.buffer);
  EXPECT_EQ(a.result.key, 21);
  EXPECT_STREQ(key_name(a.result.key), "A MIN");
  EXPECT_GE(a.result.key_confidence, 0.55f);
}

TEST(Key, ChromaShapesDecideTheKey) {
  // The last of 187 hops adds no chroma, so what is placed before it is what gets judged.
  TestAudio t = make_audio(48000, 1, 2);
  auto judge = [&](const double (&chroma)[12]) {
    TempoKeyAnalyser a{};
    analyser_start(&a, t.buffer);
    EXPECT_EQ(a.hops_total, 187);
    EXPECT_EQ(analyser_step(&a, 186), 0);
    for (int i = 0; i < 12; ++i) a.chroma[i] = chroma[i];
    EXPECT_EQ(analyser_step(&a, 1), 1);
    return a.result;
  };
  const double flat[12] = {5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5};
  TempoKeyResult r = judge(flat);
  EXPECT_EQ(r.key, -1);
  EXPECT_EQ(r.key_confidence, 0.0f);

  // The minor profile laid on E (profile position k at pitch class 4 + k).
  const double minor[12] = {6.33, 2.68, 3.52, 5.38, 2.60, 3.53, 2.54, 4.75, 3.98, 2.69, 3.34, 3.17};
  double e_minor[12];
  for (int k = 0; k < 12; ++k) e_minor[(4 + k) % 12] = minor[k];
  r = judge(e_minor);
  EXPECT_EQ(r.key, 16);
  EXPECT_NEAR(r.key_confidence, 1.0, 1e-6);

  // C major and G major mixed evenly: both keys score the same, and the winner must lead by 0.02.
  const double major[12] = {6.35, 2.23, 3.48, 2.33, 4.38, 4.09, 2.52, 5.19, 2.39, 3.66, 2.29, 2.88};
  double c_and_g[12];
  for (int k = 0; k < 12; ++k) c_and_g[k] = major[k] + major[(k + 5) % 12];
  r = judge(c_and_g);
  EXPECT_GT(r.key_confidence, 0.55f);
  EXPECT_EQ(r.key, -1);
}

TEST(Key, NamesAndDisplayTexts) {
  EXPECT_STREQ(key_name(0), "C MAJ");
  EXPECT_STREQ(key_name(1), "C# MAJ");
  EXPECT_STREQ(key_name(11), "B MAJ");
  EXPECT_STREQ(key_name(12), "C MIN");
  EXPECT_STREQ(key_name(23), "B MIN");
  EXPECT_STREQ(key_name(-1), "");
  EXPECT_STREQ(key_name(24), "");

  TempoKeyAnalyser a{};
  EXPECT_EQ(loop_text(a, false, false), "NOTHING PLAYING");
  a.result = TempoKeyResult{1, 119.6f, 0.3, 1.0f, 21, 0.8f};
  EXPECT_EQ(visual_text(a), "120 BPM  A MIN");
  EXPECT_EQ(loop_text(a, true, true), "119.6 BPM  A MIN");
  EXPECT_EQ(loop_text(a, true, false), "TOO SHORT");
  a.result = TempoKeyResult{1, 0.0f, 0.0, 0.0f, 3, 0.7f};
  EXPECT_EQ(visual_text(a), "-- BPM  D# MAJ");
  EXPECT_EQ(loop_text(a, true, false), "NO STEADY PULSE");
  a.result.key = -1;
  EXPECT_EQ(visual_text(a), "-- BPM  ");
}

TEST(Tempo, EveryTempoOfTheRangeAtBothRates) {
  // Every 2.5 BPM from 70 to 180 at 44.1 and 48 kHz, the first beat somewhere in the first period.
  // Above about 170 BPM the doubled period scores as well as the beat itself; it must not win.
  for (double rate : {44100.0, 48000.0}) {
    for (int step = 0; step <= 44; ++step) {
      const double bpm = 70.0 + 2.5 * step;
      const double first = 0.05 + 0.6 * (60.0 / bpm) * double(step % 5) / 5.0;
      TestAudio t = click_track(rate, 1, 12, bpm, first);
      TempoKeyAnalyser a{};
      run(&a, t.buffer);
      EXPECT_NEAR(a.result.bpm, bpm, 0.5) << rate << " Hz";
      EXPECT_NEAR(a.result.first_beat_s, first, 0.02) << rate << " Hz, " << bpm << " BPM";
    }
  }
}
