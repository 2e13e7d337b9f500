// Decoding: read_audio_file against the ffmpeg command line decoding the same ten-minute file to
// nothing (`ffmpeg -i FILE -f null -`), for WAV, FLAC and MP3. The files (48 kHz stereo pink
// noise, two independent channels) are made at run time in a temporary folder and removed after.
// Counters: ffmpeg_s is the command line's mean wall time, ratio = ours / ffmpeg (target <= 1.2).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "kit/audio_file.h"
#include "platform/clock.h"
#include "platform/paths.h"

namespace {

constexpr int kFormats = 3;
constexpr const char* kExt[kFormats] = {"wav", "flac", "mp3"};
constexpr const char* kCodec[kFormats] = {"-c:a pcm_s16le", "-c:a flac", "-c:a libmp3lame -b:a 192k"};
constexpr int kFfmpegRuns = 3;

struct Files {
  std::string dir;
  std::string path[kFormats];
  double ffmpeg_s[kFormats] = {};  // 0 until measured
  bool ok = false;

  Files() {
    char tmp[kPathCap];
    if (!temp_dir(tmp, sizeof tmp)) return;
    std::string pattern = std::string(tmp) + "/tolm-reader-bench-XXXXXX";
    if (!mkdtemp(pattern.data())) return;
    dir = pattern;
    ok = true;
    for (int i = 0; i < kFormats; i++) {
      path[i] = dir + "/ten_minutes." + kExt[i];
      const std::string cmd =
          "ffmpeg -nostdin -hide_banner -loglevel error -y -filter_complex "
          "\"anoisesrc=c=pink:r=48000:d=600:a=0.3:seed=1[a];anoisesrc=c=pink:r=48000:d=600:a=0.3:seed=2[b];"
          "[a][b]amerge=inputs=2\" " +
          std::string(kCodec[i]) + " \"" + path[i] + "\"";
      ok = ok && std::system(cmd.c_str()) == 0;
    }
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

double ffmpeg_seconds(int i) {
  Files& f = files();
  if (f.ffmpeg_s[i] == 0.0) {
    const std::string cmd = "ffmpeg -nostdin -hide_banner -loglevel error -i \"" + f.path[i] + "\" -f null -";
    std::system(cmd.c_str());  // warm the page cache like the reader's own first run
    const int64_t t0 = mono_ns();
    for (int run = 0; run < kFfmpegRuns; run++) std::system(cmd.c_str());
    f.ffmpeg_s[i] = double(mono_ns() - t0) * 1e-9 / kFfmpegRuns;
  }
  return f.ffmpeg_s[i];
}

void BM_ReadAudioFile(benchmark::State& state) {
  const int i = int(state.range(0));
  Files& f = files();
  if (!f.ok) {
    state.SkipWithError("could not make the ten-minute files with ffmpeg");
    return;
  }
  state.SetLabel(kExt[i]);
  const double ffmpeg_s = ffmpeg_seconds(i);
  AudioBuffer warm{};
  char msg[96];
  read_audio_file(f.path[i].c_str(), &warm, nullptr, msg, sizeof msg);
  free_audio_buffer(&warm);
  int64_t total_ns = 0;
  int64_t frames = 0;
  for (auto _ : state) {
    AudioBuffer b{};
    const int64_t t0 = mono_ns();
    if (read_audio_file(f.path[i].c_str(), &b, nullptr, msg, sizeof msg) != 0) {
      state.SkipWithError(msg);
      return;
    }
    total_ns += mono_ns() - t0;
    frames = b.frames;
    free_audio_buffer(&b);
  }
  const double ours_s = double(total_ns) * 1e-9 / double(state.iterations());
  state.counters["ffmpeg_s"] = ffmpeg_s;
  state.counters["ratio"] = ours_s / ffmpeg_s;
  state.counters["audio_s"] = double(frames) / 48000.0;
}
BENCHMARK(BM_ReadAudioFile)->DenseRange(0, kFormats - 1)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
