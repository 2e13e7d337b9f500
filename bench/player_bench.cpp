// The player and the drawer's map: engine_render in ns per output frame (a 44.1 kHz stereo file
// on a 48 kHz output in 256-frame blocks, a mono file, a repeating region; target <= 5 ns); a
// five-minute 48 kHz stereo WAV from the play request to its first sounding sample, with the
// main loop's update polled every millisecond (target <= 100 ms); and the session map of a
// one-hour session (60 takes of 60 s, 16-bit stereo) against a plain read of the same files,
// both from the page cache (target <= 1.5 x), with the growth of the resident high-water mark
// while the map is built (bounded: the takes are streamed, never held whole). Files are made at
// run time in the temporary folder and removed at the end.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

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

#include "kit/audio_file.h"
#include "library/drawer_jobs.h"
#include "library/playback.h"
#include "library/player.h"
#include "platform/clock.h"
#include "platform/paths.h"
#include "sessions/take_writer.h"

namespace {

constexpr int kRate = 48000;
constexpr int kBlock = 256;

std::string bench_dir() {
  char temp[kPathCap];
  if (!temp_dir(temp, sizeof temp)) return "/tmp/tolm-player-bench";
  return std::string(temp) + "/tolm-player-bench";
}

// 16-bit PCM stereo WAV of `seconds` of a tone over noise.
void write_wav16(const std::string& path, double seconds, uint32_t seed) {
  const int64_t frames = int64_t(seconds * kRate);
  auto le = [](std::string& s, uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) s += char(v >> (8 * i));
  };
  std::string h = "RIFF";
  const uint32_t data = uint32_t(frames * 4);
  le(h, 36 + data, 4);
  h += "WAVEfmt ";
  le(h, 16, 4), le(h, 1, 2), le(h, 2, 2), le(h, kRate, 4), le(h, kRate * 4, 4), le(h, 4, 2), le(h, 16, 2);
  h += "data";
  le(h, data, 4);
  std::ofstream out(path, std::ios::binary);
  out.write(h.data(), std::streamsize(h.size()));
  std::vector<int16_t> run(size_t(2 * kRate));
  uint32_t noise = seed;
  for (int64_t at = 0; at < frames; at += kRate) {
    const int64_t n = std::min<int64_t>(kRate, frames - at);
    for (int64_t i = 0; i < n; ++i) {
      noise = noise * 1664525u + 1013904223u;
      const double t = double(at + i) / kRate;
      const double v = 0.3 * std::sin(2 * M_PI * 440.0 * t) + 0.05 * (double(int32_t(noise)) / 2147483648.0);
      run[size_t(2 * i)] = run[size_t(2 * i + 1)] = int16_t(std::lround(v * 32767.0));
    }
    out.write(reinterpret_cast<const char*>(run.data()), std::streamsize(n * 4));
  }
}

AudioBuffer ramp_buffer(int channels, double rate, int64_t frames) {
  AudioBuffer b{};
  b.channels = channels;
  b.sample_rate = rate;
  b.frames = frames;
  b.samples = static_cast<float*>(malloc(size_t(frames * channels) * sizeof(float)));
  for (int64_t i = 0; i < frames * channels; ++i) b.samples[i] = float(std::sin(0.001 * double(i)));
  return b;
}

void render_frames(benchmark::State& state, PlaybackEngine* e) {
  std::vector<float> l(kBlock), r(kBlock);
  int64_t frames = 0;
  for (auto _ : state) {
    engine_render(e, l.data(), r.data(), kBlock, kRate);
    benchmark::DoNotOptimize(l.data());
    benchmark::ClobberMemory();
    frames += kBlock;
  }
  state.SetItemsProcessed(frames);
  state.counters["ns_per_frame"] =
      benchmark::Counter(double(frames), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// ---- engine_render ----

void BM_EngineRender_Stereo44k(benchmark::State& state) {
  PlaybackEngine e;
  AudioBuffer b = ramp_buffer(2, 44100, 44100 * 60);
  playback_install(&e, &b, true);
  playback_set_repeat(&e, true);
  playback_set_gain(&e, 0.8f);
  render_frames(state, &e);
  playback_destroy(&e);
}
BENCHMARK(BM_EngineRender_Stereo44k);

void BM_EngineRender_Mono48k(benchmark::State& state) {
  PlaybackEngine e;
  AudioBuffer b = ramp_buffer(1, 48000, 48000 * 60);
  playback_install(&e, &b, true);
  playback_set_repeat(&e, true);
  render_frames(state, &e);
  playback_destroy(&e);
}
BENCHMARK(BM_EngineRender_Mono48k);

void BM_EngineRender_RepeatingRegion(benchmark::State& state) {
  PlaybackEngine e;
  AudioBuffer b = ramp_buffer(2, 44100, 44100 * 10);
  playback_install(&e, &b, true);
  playback_set_repeat(&e, true);
  playback_set_region(&e, 0.5, 0.5005, true);  // 220 frames: wraps inside most blocks
  playback_seek(&e, 0.5);
  render_frames(state, &e);
  playback_destroy(&e);
}
BENCHMARK(BM_EngineRender_RepeatingRegion);

// ---- Five minutes to the first sound ----

void BM_FiveMinuteWavStartsSounding(benchmark::State& state) {
  const std::string dir = bench_dir();
  std::filesystem::create_directories(dir);
  const std::string files[2] = {dir + "/five-a.wav", dir + "/five-b.wav"};
  for (int i = 0; i < 2; ++i) write_wav16(files[i], 300.0, 11u + uint32_t(i));
  for (const std::string& f : files) {  // into the page cache, as a take just recorded is
    std::ifstream in(f, std::ios::binary);
    std::vector<char> sink(1 << 20);
    while (in.read(sink.data(), std::streamsize(sink.size()))) {
    }
  }
  auto p = std::make_unique<Player>();
  player_start(p.get(), 1.0f, 0.0);
  std::vector<float> l(kBlock), r(kBlock);
  int which = 0;
  for (auto _ : state) {
    const int64_t t0 = mono_ns();
    player_open(p.get(), files[which].c_str(), true);
    bool sounding = false;
    while (!sounding) {
      player_update(p.get());
      std::fill(l.begin(), l.end(), 0.0f);
      engine_render(&p->engine, l.data(), r.data(), kBlock, kRate);
      sounding = std::any_of(l.begin(), l.end(), [](float v) { return v != 0.0f; });
      if (!sounding) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    state.SetIterationTime(double(mono_ns() - t0) / 1e9);
    which = 1 - which;
  }
  player_destroy(p.get());
  for (const std::string& f : files) std::filesystem::remove(f);
}
BENCHMARK(BM_FiveMinuteWavStartsSounding)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(10);

// ---- The map of a one-hour session against a plain read ----

constexpr int kHourTakes = 60;

std::string hour_session() {
  const std::string folder = bench_dir() + "/hour";
  if (!std::filesystem::exists(folder + "/take-59.wav")) {
    std::filesystem::create_directories(folder);
    for (int i = 0; i < kHourTakes; ++i) write_wav16(folder + "/take-" + std::to_string(i) + ".wav", 60.0, 100u + uint32_t(i));
  }
  return folder;
}

int64_t plain_read(const std::string& folder) {
  std::vector<char> buf(1 << 20);
  int64_t total = 0;
  for (int i = 0; i < kHourTakes; ++i) {
    const int fd = open((folder + "/take-" + std::to_string(i) + ".wav").c_str(), O_RDONLY);
    for (ssize_t n; (n = read(fd, buf.data(), buf.size())) > 0;) total += n;
    close(fd);
  }
  return total;
}

long max_rss_kb() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_maxrss;
}

void BM_PlainReadOneHour(benchmark::State& state) {
  const std::string folder = hour_session();
  plain_read(folder);  // warm
  int64_t bytes = 0;
  for (auto _ : state) bytes += plain_read(folder);
  state.SetBytesProcessed(bytes);
}
BENCHMARK(BM_PlainReadOneHour)->Unit(benchmark::kMillisecond)->Iterations(5);

void BM_SessionMapOneHour(benchmark::State& state) {
  const std::string folder = hour_session();
  plain_read(folder);
  auto map = std::make_unique<SessionMap>();
  auto job = std::make_unique<MapJob>();
  std::vector<TakeFile> files(kDrawerMaxTakes);
  const int count = list_take_files(folder.c_str(), files.data(), kDrawerMaxTakes);
  std::atomic<int32_t> stop{0};
  double map_s = 0, read_s = 0;
  const long rss_before = max_rss_kb();
  for (auto _ : state) {
    *job = MapJob{};
    job->generation = map->map_generation.load();
    job->map = map.get();
    job->stop = &stop;
    snprintf(job->folder, sizeof job->folder, "%s", folder.c_str());
    snprintf(job->session, sizeof job->session, "bench/hour");
    job->take = -1;
    job->count = count;
    for (int i = 0; i < count; ++i) {
      snprintf(job->names[i], sizeof job->names[i], "%s", files[size_t(i)].name);
      job->seconds[i] = files[size_t(i)].seconds;
    }
    const int64_t t0 = mono_ns();
    run_map_job(job.get());
    const int64_t t1 = mono_ns();
    state.PauseTiming();
    const int64_t t2 = mono_ns();
    benchmark::DoNotOptimize(plain_read(folder));
    read_s += double(mono_ns() - t2) / 1e9;
    map_s += double(t1 - t0) / 1e9;
    state.ResumeTiming();
  }
  state.counters["x_plain_read"] = map_s / read_s;
  state.counters["rss_growth_mb"] = double(max_rss_kb() - rss_before) / 1024.0;
  state.counters["ready"] = map->ready ? 1 : 0;
}
BENCHMARK(BM_SessionMapOneHour)->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::filesystem::remove_all(bench_dir());
  return 0;
}
