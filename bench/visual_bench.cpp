// The stage's geometry as a frame builds it at 1920 x 1080: walls over full rings, the sky and its
// dealt pieces, floor, lights and label, with new rows arriving and the beat moving on. Reports
// the triangles per frame and the allocations per frame (the allocator is wrapped to count).
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdlib>
#include <memory>
#include <new>

#include "visual/stage.h"

namespace {
bool g_watching = false;
long g_allocations = 0;
void note_allocation() { g_allocations += g_watching; }
}  // namespace

extern "C" {
void* __real_malloc(size_t);
void* __real_calloc(size_t, size_t);
void* __real_realloc(void*, size_t);
void __real_free(void*);
void __wrap_free(void* p) { __real_free(p); }
void* __wrap_malloc(size_t n) {
  note_allocation();
  return __real_malloc(n);
}
void* __wrap_calloc(size_t n, size_t s) {
  note_allocation();
  return __real_calloc(n, s);
}
void* __wrap_realloc(void* p, size_t n) {
  note_allocation();
  return __real_realloc(p, n);
}
}

void* operator new(size_t n) {
  note_allocation();
  if (void* p = __real_malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
void* operator new[](size_t n) { return operator new(n); }
void operator delete(void* p) noexcept { __real_free(p); }
void operator delete[](void* p) noexcept { __real_free(p); }
void operator delete(void* p, size_t) noexcept { __real_free(p); }
void operator delete[](void* p, size_t) noexcept { __real_free(p); }

namespace {

std::unique_ptr<SpectrumAnalyser> music_ring(uint64_t rows, int seed) {
  auto a = std::make_unique<SpectrumAnalyser>();
  for (int r = 0; r < kSpectrumRows; ++r)
    for (int c = 0; c < kSpectrumBands; ++c) {
      // A loud low end, a moving mid peak and a hissing top, so every part of the stage is lit.
      const float low = c < 30 ? 0.9f - 0.02f * float(c) : 0.0f;
      const float mid = std::exp(-0.01f * float((c - 80 - (r * 7 + seed) % 60) * (c - 80 - (r * 7 + seed) % 60)));
      const float top = c > 150 ? 0.3f + 0.1f * float((r * 13 + c) % 3) : 0.0f;
      a->rows[r][c] = std::min(1.0f, low + mid + top);
    }
  a->rows_written = rows;
  return a;
}

void stage_frames(benchmark::State& state, bool stage) {
  auto input = music_ring(5000, 0);
  auto library = music_ring(2000, 17);
  auto v = std::make_unique<Visualiser>();
  visual_reset(v.get());
  TempoKeyAnalyser tempo{};
  tempo.result.done = 1;
  tempo.result.bpm = 120;
  tempo.result.first_beat_s = 0.12;
  tempo.result.key = 0;
  VisualInput in{};
  in.w = 1920;
  in.h = 1080;
  in.input = input.get();
  in.library = library.get();
  in.library_playing = true;
  in.wall_source = kWallFromAll;
  in.tempo = &tempo;
  in.colours = StageColours{0xFFB8C70F, 0xFF3D0DDB, 0xFFFF7A29, 0xFFB85733, 0xFF2E24FF, 0xFFD6F2FF, 0xFF0D0C0C};
  long frames = 0, triangles = 0;
  g_allocations = 0;
  g_watching = true;
  for (auto _ : state) {
    in.now_s = 10.0 + frames / 60.0;
    in.play_s = in.now_s - 5.0;
    in.tick_ms = uint32_t(in.now_s * 1000.0);
    if (frames % 2 == 0) {  // a new row every other frame, as at 33 ms against 60 frames a second
      ++input->rows_written;
      ++library->rows_written;
    }
    if (stage)
      visual_build_stage(v.get(), in);
    else
      visual_build_walls(v.get(), in);
    benchmark::DoNotOptimize(v->geometry.count);
    triangles += v->geometry.count / 3;
    ++frames;
  }
  g_watching = false;
  state.counters["triangles"] = double(triangles) / double(frames);
  state.counters["allocations"] = double(g_allocations) / double(frames);
}

void BM_StageGeometry1080p(benchmark::State& state) { stage_frames(state, true); }
void BM_WallsBehindTheScope1080p(benchmark::State& state) { stage_frames(state, false); }

}  // namespace

BENCHMARK(BM_StageGeometry1080p)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_WallsBehindTheScope1080p)->Unit(benchmark::kMicrosecond);
