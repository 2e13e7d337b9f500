// The capture routine's cost per frame at 48 kHz stereo in 256-frame blocks: equaliser off, and
// 12-stage high- and low-pass plus the band, with the gate opening and closing on bursts.
#include <benchmark/benchmark.h>

#include <cmath>
#include <memory>
#include <vector>

#include "capture/engine.h"

namespace {

struct Rig {
  CaptureEngine* e = new CaptureEngine{};
  std::vector<float> signal;  // 10 s of bursts and quiet, interleaved stereo
  std::vector<float> out = std::vector<float>(512);
  Rig(bool eq) {
    capture_engine_init(e, 48000);
    tape_create(&e->tape, kTapeChunkSeconds, kTapeAddressableMinutes, kTapeSpareTarget, 48000);
    tape_maintain(&e->tape, 0, kTapeAhead);
    e->input_channels = 2;
    e->running = 1;
    e->armed = 1;
    e->post_roll_frames = 4800;
    if (eq) {
      e->hpf_hz = 120, e->hpf_order = 12;
      e->lpf_hz = 9000, e->lpf_order = 12;
      e->peak_hz = 2500, e->peak_q = 2;
    }
    const int frames = 480000;
    signal.resize(2 * frames);
    uint32_t seed = 1;
    for (int i = 0; i < frames; ++i) {
      seed = seed * 1664525u + 1013904223u;
      float noise = float(int32_t(seed)) / 2147483648.0f;
      float level = (i / 48000) % 2 ? 0.4f : 0.002f;  // a second on, a second off
      signal[2 * i] = level * noise;
      signal[2 * i + 1] = level * std::sin(0.05f * float(i));
    }
  }
  ~Rig() {
    tape_destroy(&e->tape);
    capture_engine_free(e);
    delete e;
  }
};

void run(benchmark::State& state, bool eq) {
  Rig rig(eq);
  size_t at = 0;
  int64_t frames = 0;
  for (auto _ : state) {
    process_block(rig.e, rig.signal.data() + at, rig.out.data(), 256);
    at += 512;
    if (at + 512 > rig.signal.size()) {
      at = 0;
      state.PauseTiming();
      // Keep the tape ahead and give back what lies behind, as the allocation thread would.
      rig.e->tape.release_point = std::max<int64_t>(0, rig.e->write_head.load() - 480000 * 2);
      tape_maintain(&rig.e->tape, rig.e->write_head.load(), kTapeAhead);
      state.ResumeTiming();
    }
    frames += 256;
  }
  state.counters["ns_per_frame"] =
      benchmark::Counter(double(frames), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  state.counters["takes"] = double(rig.e->takes_closed.load());
}

void BM_ProcessBlock_EqOff(benchmark::State& state) { run(state, false); }
void BM_ProcessBlock_FullEq(benchmark::State& state) { run(state, true); }

}  // namespace

BENCHMARK(BM_ProcessBlock_EqOff);
BENCHMARK(BM_ProcessBlock_FullEq);
