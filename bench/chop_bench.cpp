// Chop: a ten-minute 48 kHz stereo WAV from open_for_chop to the cut list, against SoX's silence
// split of the same file (`sox FILE out.wav silence 1 0.1 1% 1 0.5 1% : newfile : restart`), and
// the events each finds in a one-minute file of four tones, four click trains and four slow swells
// over a -60 dB noise floor. The chop cuts with the sox settings: line at 1 % (-40 dB), hold 100 ms,
// no pre-roll, post-roll 500 ms; and once more with no hold. Files are made at run time.
// Counters: sox_s is SoX's mean wall time, speedup = sox / ours (target >= 5); events counts takes
// (ours) and output files (SoX).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "library/chop.h"
#include "platform/clock.h"
#include "platform/paths.h"
#include "platform/process.h"

namespace {

constexpr int kRate = 48000;
constexpr int kSoxRuns = 3;

// 16-bit PCM stereo WAV of interleaved samples.
bool write_wav16(const std::string& path, const std::vector<float>& lr) {
  auto le = [](std::string& s, uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) s += char(v >> (8 * i));
  };
  std::string h = "RIFF";
  const uint32_t data = uint32_t(lr.size() * 2);
  le(h, 36 + data, 4);
  h += "WAVEfmt ";
  le(h, 16, 4), le(h, 1, 2), le(h, 2, 2), le(h, kRate, 4), le(h, kRate * 4, 4), le(h, 4, 2), le(h, 16, 2);
  h += "data";
  le(h, data, 4);
  std::vector<int16_t> pcm(lr.size());
  for (size_t i = 0; i < lr.size(); ++i) pcm[i] = int16_t(std::lround(std::clamp(lr[i], -1.0f, 1.0f) * 32767.0f));
  std::ofstream out(path, std::ios::binary);
  out.write(h.data(), std::streamsize(h.size()));
  out.write(reinterpret_cast<const char*>(pcm.data()), std::streamsize(pcm.size() * 2));
  return bool(out);
}

struct Signal {
  std::vector<float> lr;
  uint32_t noise = 12345;
  explicit Signal(double seconds) : lr(size_t(seconds * kRate) * 2) {
    for (float& v : lr) {  // -60 dB floor, independent per channel
      noise = noise * 1664525u + 1013904223u;
      v = 0.001f * float(int32_t(noise)) / 2147483648.0f;
    }
  }
  void add(double at_s, double len_s, float (*shape)(double t, double len)) {
    const int64_t a = int64_t(at_s * kRate), n = int64_t(len_s * kRate);
    for (int64_t i = 0; i < n && size_t(2 * (a + i) + 1) < lr.size(); ++i) {
      const float v = shape(double(i) / kRate, len_s);
      lr[size_t(2 * (a + i))] += v;
      lr[size_t(2 * (a + i) + 1)] += 0.8f * v;
    }
  }
};

float tone(double t, double) { return 0.25f * float(std::sin(2 * M_PI * 440.0 * t)); }
// Ten 1-ms clicks, 125 ms apart.
float clicks(double t, double) { return std::fmod(t, 0.125) < 0.001 && t < 1.25 ? 0.5f : 0.0f; }
// A raised-cosine swell over the whole length.
float swell(double t, double len) {
  return 0.25f * float(0.5 - 0.5 * std::cos(2 * M_PI * t / len)) * float(std::sin(2 * M_PI * 220.0 * t));
}
float burst(double t, double) { return 0.3f * float(std::sin(2 * M_PI * 1000.0 * t) * std::sin(2 * M_PI * 3.0 * t)); }

struct Files {
  std::string dir, long_wav, events_wav;
  bool ok = false;
  Files() {
    char tmp[kPathCap];
    if (!temp_dir(tmp, sizeof tmp)) return;
    std::string pattern = std::string(tmp) + "/tolm-chop-bench-XXXXXX";
    if (!mkdtemp(pattern.data())) return;
    dir = pattern;
    // Ten minutes: an event every six seconds, taking turns between tone, burst and swell.
    Signal ten(600.0);
    for (int i = 0; i < 100; ++i) {
      const double at = 6.0 * i + 1.0;
      if (i % 3 == 0) ten.add(at, 0.8, tone);
      if (i % 3 == 1) ten.add(at, 0.5, burst);
      if (i % 3 == 2) ten.add(at, 3.0, swell);
    }
    long_wav = dir + "/ten_minutes.wav";
    // One minute: tones, click trains and slow swells, four each, 5 s apart.
    Signal events(60.0);
    for (int i = 0; i < 12; ++i) {
      const double at = 5.0 * i + 1.0;
      if (i % 3 == 0) events.add(at, 0.5, tone);
      if (i % 3 == 1) events.add(at, 1.3, clicks);
      if (i % 3 == 2) events.add(at, 3.5, swell);
    }
    events_wav = dir + "/events.wav";
    ok = write_wav16(long_wav, ten.lr) && write_wav16(events_wav, events.lr);
  }
  ~Files() {
    std::error_code ec;
    if (!dir.empty()) std::filesystem::remove_all(dir, ec);
  }
};

Files& files() {
  static Files f;
  return f;
}

// Runs the sox split into a fresh folder; the number of non-empty output files, or -1.
int sox_split(const std::string& wav, double* seconds) {
  const std::string out_dir = files().dir + "/sox";
  std::error_code ec;
  std::filesystem::remove_all(out_dir, ec);
  std::filesystem::create_directory(out_dir, ec);
  const std::string out = out_dir + "/out.wav";
  const char* const argv[] = {"sox", wav.c_str(), out.c_str(), "silence", "1", "0.1", "1%", "1", "0.5", "1%",
                              ":",   "newfile",   ":",         "restart", nullptr};
  char text[256];
  ProcessResult r{};
  const int64_t t0 = mono_ns();
  if (run_process(argv, text, sizeof text, &r) != kProcessOk || r.exit_code != 0) return -1;
  if (seconds) *seconds = double(mono_ns() - t0) * 1e-9;
  int count = 0;
  for (const auto& e : std::filesystem::directory_iterator(out_dir, ec))
    if (e.is_regular_file() && e.file_size() > 44) ++count;
  return count;
}

// The chop settings matching the sox command: 1 %, 0.1 s over it, 0.5 s under it.
TriggerPositions sox_like(bool hold) {
  TriggerPositions p{};
  p.threshold = 0.5f;                           // -40 dB
  p.exit = 0.5f;                                // exit on the line
  p.gain = 0.5f;                                // unity
  p.hold = hold ? float(std::cbrt(0.1)) + 1e-6f : 0.0f;  // 100 ms
  p.post_roll = float(std::sqrt(0.5 / 4.0)) + 1e-6f;     // 500 ms
  return p;
}

// open_for_chop to the cut list; the take count, or -1.
int chop_file(ChopJob* job, const std::string& wav, bool hold) {
  if (open_for_chop(job, nullptr, wav.c_str()) != 0) return -1;
  while (chop_state(job) == kChopReading) std::this_thread::sleep_for(std::chrono::microseconds(200));
  if (chop_state(job) != kChopReady) return -1;
  cut_takes(job, sox_like(hold));
  return job->take_count;
}

void BM_ChopTenMinutes(benchmark::State& state) {
  Files& f = files();
  if (!f.ok) {
    state.SkipWithError("could not write the test files");
    return;
  }
  static double sox_s = 0;
  static int sox_events = -1;
  if (sox_s == 0) {
    sox_split(f.long_wav, nullptr);  // warm the page cache as our first run does
    for (int i = 0; i < kSoxRuns; ++i) {
      double s = 0;
      sox_events = sox_split(f.long_wav, &s);
      sox_s += s / kSoxRuns;
    }
  }
  if (sox_events < 0) {
    state.SkipWithError("sox did not run");
    return;
  }
  auto job = std::make_unique<ChopJob>();
  chop_file(job.get(), f.long_wav, true);
  int takes = 0;
  int64_t total_ns = 0;
  for (auto _ : state) {
    leave_chop(job.get());  // the previous chop's teardown is not part of the measure
    const int64_t t0 = mono_ns();
    takes = chop_file(job.get(), f.long_wav, true);
    total_ns += mono_ns() - t0;
  }
  leave_chop(job.get());
  const double ours_s = double(total_ns) * 1e-9 / double(state.iterations());
  state.counters["sox_s"] = sox_s;
  state.counters["speedup"] = sox_s / ours_s;
  state.counters["takes"] = takes;
  state.counters["sox_files"] = sox_events;
}
BENCHMARK(BM_ChopTenMinutes)->Iterations(5)->UseRealTime()->Unit(benchmark::kMillisecond);

// Events found in the file of tones, click trains and swells (12 events in all).
void BM_ChopEvents(benchmark::State& state) {
  Files& f = files();
  if (!f.ok) {
    state.SkipWithError("could not write the test files");
    return;
  }
  auto job = std::make_unique<ChopJob>();
  int with_hold = 0, without_hold = 0;
  for (auto _ : state) {
    with_hold = chop_file(job.get(), f.events_wav, true);
    cut_takes(job.get(), sox_like(false));
    without_hold = job->take_count;
  }
  leave_chop(job.get());
  state.counters["chop_events"] = with_hold;
  state.counters["chop_events_no_hold"] = without_hold;
  state.counters["sox_events"] = sox_split(f.events_wav, nullptr);
  state.counters["true_events"] = 12;
}
BENCHMARK(BM_ChopEvents)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
