// Take-writer throughput: a 10-minute 24-bit stereo take at 48 kHz written from a real tape of
// 10-second chunks (conversion, 49,152-byte runs, fsync), against plain write() calls of the same
// number of bytes in blocks of the same size into the same folder, also synced. Each iteration
// times both; the "ratio" counter is plain time / writer time (1 = as fast as plain writing).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "capture/tape.h"
#include "platform/clock.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "sessions/take_writer.h"

namespace {

constexpr double kRate = 48000;
constexpr int64_t kFrames = int64_t(10 * 60 * kRate);

struct TapeRig {
  Tape tape{};
  char folder[kPathCap];
  TapeRig() {
    tape_create(&tape, kTapeChunkSeconds, 20, kTapeSpareTarget, kRate);
    const int chunks = int(kFrames / tape.chunk_frames) + 1;
    tape_maintain(&tape, 0, chunks);
    uint32_t seed = 7;
    for (int64_t f = 0; f < kFrames; ++f) {
      float* p = tape_frame(&tape, f);
      if (!p) abort();
      seed = seed * 1664525u + 1013904223u;
      p[0] = 0.7f * float(int32_t(seed)) / 2147483648.0f;
      p[1] = -0.5f * p[0];
    }
    char tmp[kPathCap];
    temp_dir(tmp, sizeof tmp);
    text_format(folder, sizeof folder, "%s/tolm_take_bench_%d", tmp, int(getpid()));
    make_dir(folder);
  }
  ~TapeRig() {
    tape_destroy(&tape);
    remove_dir(folder);
  }
};

double write_plain(const char* path, const std::vector<uint8_t>& block, uint64_t total) {
  const int64_t t0 = mono_ns();
  int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) abort();
  for (uint64_t done = 0; done < total;) {
    const size_t n = size_t(std::min<uint64_t>(block.size(), total - done));
    if (write(fd, block.data(), n) != ssize_t(n)) abort();
    done += n;
  }
  if (fsync(fd) != 0 || close(fd) != 0) abort();
  return double(mono_ns() - t0) * 1e-9;
}

void BM_TakeWriterAgainstPlainWrite(benchmark::State& state) {
  static TapeRig rig;
  char take[kPathCap + 32], plain[kPathCap + 32];
  snprintf(take, sizeof take, "%s/take.wav", rig.folder);
  snprintf(plain, sizeof plain, "%s/plain.bin", rig.folder);
  const uint64_t bytes = uint64_t(kWavHeaderBytes) + uint64_t(kFrames) * 6;
  std::vector<uint8_t> block(kWavWorkBytes, 0x5A);
  double writer_s = 0, plain_s = 0;
  for (auto _ : state) {
    remove_file(take);
    remove_file(plain);
    const int64_t t0 = mono_ns();
    if (write_pcm_wav(take, &rig.tape, 0, kFrames, kRate, 24) != 0) abort();
    const double w = double(mono_ns() - t0) * 1e-9;
    const double p = write_plain(plain, block, bytes);
    writer_s += w;
    plain_s += p;
    state.SetIterationTime(w);
  }
  remove_file(take);
  remove_file(plain);
  const double mb = double(bytes) / 1e6 * double(state.iterations());
  state.counters["writer_MBps"] = mb / writer_s;
  state.counters["plain_MBps"] = mb / plain_s;
  state.counters["ratio"] = plain_s / writer_s;
  state.SetBytesProcessed(int64_t(bytes) * state.iterations());
}
BENCHMARK(BM_TakeWriterAgainstPlainWrite)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(5);

// The same without the disk: the conversion and run loop alone into /dev/null.
void BM_TakeWriterConversionOnly(benchmark::State& state) {
  static TapeRig rig;
  for (auto _ : state)
    if (write_pcm_wav("/dev/null", &rig.tape, 0, kFrames, kRate, 24) != 0 && false) abort();
  state.SetBytesProcessed(int64_t(kFrames) * 6 * state.iterations());
}
BENCHMARK(BM_TakeWriterConversionOnly)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
