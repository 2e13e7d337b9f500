// The analysers run on the main thread between frames: one spectrum row per 33 ms per instance,
// and tempo/key hops spread over frames. Cost of a row, and of a whole minute of audio.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <memory>
#include <vector>

#include "analysis/spectrum.h"
#include "analysis/tempo_key.h"

static void BM_SpectrumFeed8192(benchmark::State& state) {
  auto a = std::make_unique<SpectrumAnalyser>();
  spectrum_reset(a.get());
  std::vector<float> x(kSpectrumSize);
  for (int i = 0; i < kSpectrumSize; ++i)
    x[i] = float(0.3 * std::sin(i * 0.13) + 0.2 * std::sin(i * 0.0071));
  for (auto _ : state) {
    spectrum_feed(a.get(), x.data(), kSpectrumSize, 48000.0);
    benchmark::DoNotOptimize(a->rows_written);
  }
}
BENCHMARK(BM_SpectrumFeed8192)->Unit(benchmark::kMicrosecond);

// One minute of 48 kHz stereo music-like audio: 120 BPM clicks over held chords. The time per
// iteration is the seconds of work per minute of audio.
static void BM_TempoKeyPerMinute(benchmark::State& state) {
  const double rate = 48000;
  const int64_t frames = int64_t(60 * rate);
  std::vector<float> x(size_t(frames * 2));
  uint32_t noise = 1;
  for (int64_t i = 0; i < frames; ++i) {
    double t = double(i) / rate;
    double beat = std::fmod(t, 0.5);
    noise = noise * 1664525u + 1013904223u;
    double click = beat < 0.01 ? 0.6 * float(int32_t(noise)) / 2147483648.0 * std::exp(-beat / 0.002) : 0;
    double chord = 0.1 * (std::sin(2 * M_PI * 261.63 * t) + std::sin(2 * M_PI * 329.63 * t) +
                          std::sin(2 * M_PI * 392.0 * t));
    x[size_t(2 * i)] = x[size_t(2 * i + 1)] = float(click + chord);
  }
  TempoKeyAnalyser a{};
  for (auto _ : state) {
    analyser_start(&a, x.data(), 2, frames, rate);
    while (analyser_step(&a, 64) == 0) {
    }
    benchmark::DoNotOptimize(a.result);
  }
  state.counters["bpm"] = a.result.bpm;
}
BENCHMARK(BM_TempoKeyPerMinute)->Unit(benchmark::kMillisecond);

// The last step of a ten-minute file at 48 kHz runs the whole tempo and key estimation inside one
// drawn frame: its cost is that frame's extra work.
static void BM_TempoKeyFinishTenMinutes(benchmark::State& state) {
  const double rate = 48000;
  const int64_t frames = int64_t(600 * rate);
  std::vector<float> x(static_cast<size_t>(frames));
  uint32_t noise = 7;
  for (int64_t i = 0; i < frames; ++i) {
    double beat = std::fmod(double(i) / rate, 0.45);
    noise = noise * 1664525u + 1013904223u;
    x[size_t(i)] = beat < 0.01 ? float(0.6 * float(int32_t(noise)) / 2147483648.0 * std::exp(-beat / 0.002)) : 0.0f;
  }
  TempoKeyAnalyser a{};
  for (auto _ : state) {
    state.PauseTiming();
    analyser_start(&a, x.data(), 1, frames, rate);
    analyser_step(&a, int(a.hops_total - 1));
    state.ResumeTiming();
    analyser_step(&a, 1);
    benchmark::DoNotOptimize(a.result);
  }
  state.counters["bpm"] = a.result.bpm;
}
BENCHMARK(BM_TempoKeyFinishTenMinutes)->Unit(benchmark::kMillisecond)->Iterations(3);
