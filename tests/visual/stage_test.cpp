// The visualiser's geometry without a window: which ring the walls read and how two merge, the
// adaptive band edges, how many slices the walls draw, the beat clock, the band history, the
// deal, the label, and a sweep of view sizes, tempos and play positions in which every vertex
// must be finite, the floor must stay under the horizon and a frame must allocate nothing.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <set>
#include <vector>

#include "visual/stage.h"

// Counting hooks: operator new is replaced here and malloc, calloc and realloc are wrapped at link
// time (-Wl,--wrap=...), so a frame can be shown to allocate nothing.
namespace {
bool g_watching = false;
int g_allocations = 0;
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

using Rows = std::unique_ptr<SpectrumAnalyser>;

// A ring holding `count` rows, row r column c valued by fn (rows numbered from 0).
template <typename Fn>
Rows ring_of(uint64_t count, Fn fn) {
  Rows a = std::make_unique<SpectrumAnalyser>();
  for (uint64_t r = count > uint64_t(kSpectrumRows) ? count - kSpectrumRows : 0; r < count; ++r)
    for (int c = 0; c < kSpectrumBands; ++c) a->rows[r % kSpectrumRows][c] = fn(r, c);
  a->rows_written = count;
  return a;
}

Rows flat_ring(uint64_t count, float v) {
  return ring_of(count, [v](uint64_t, int) { return v; });
}

std::unique_ptr<Visualiser> make_visualiser() {
  auto v = std::make_unique<Visualiser>();
  visual_reset(v.get());
  return v;
}

StageColours colours() {
  return StageColours{0xFFB8C70F, 0xFF3D0DDB, 0xFFFF7A29, 0xFFB85733, 0xFF2E24FF, 0xFFD6F2FF, 0xFF0D0C0C};
}

VisualInput input_for(float w, float h, const SpectrumAnalyser* in, const SpectrumAnalyser* lib) {
  VisualInput v{};
  v.x = 10;
  v.y = 20;
  v.w = w;
  v.h = h;
  v.input = in;
  v.library = lib;
  v.library_playing = lib != nullptr;
  v.wall_source = kWallFromAll;
  v.colours = colours();
  return v;
}

TempoKeyAnalyser tempo_of(float bpm, double first_beat_s, int key) {
  TempoKeyAnalyser t{};
  t.result.done = 1;
  t.result.bpm = bpm;
  t.result.first_beat_s = first_beat_s;
  t.result.key = key;
  return t;
}

std::vector<StageVertex> range_of(const StageGeometry& g, VertexRange r) {
  return std::vector<StageVertex>(g.v + r.first, g.v + r.first + r.count);
}

bool same(const std::vector<StageVertex>& a, const std::vector<StageVertex>& b) {
  return a.size() == b.size() && (a.empty() || memcmp(a.data(), b.data(), a.size() * sizeof a[0]) == 0);
}

}  // namespace

TEST(WallRing, PicksItsSourceAndMergesTheLargerValueAgeForAge) {
  // 1000 input rows (the ring has wrapped), 30 library rows; values that tell rows apart.
  Rows in = ring_of(1000, [](uint64_t r, int c) { return (r % 7 == 0 || c == 5) ? 0.9f : 0.1f + 0.0001f * float(r % 100); });
  Rows lib = ring_of(30, [](uint64_t r, int c) { return c < 100 ? 0.5f + 0.01f * float(r) : 0.0f; });
  auto ring = std::make_unique<WallRing>();

  wall_ring_select(ring.get(), in.get(), lib.get(), true, kWallFromAll);
  EXPECT_EQ(ring->newest, 999);
  EXPECT_EQ(ring->count, kSpectrumRows);
  for (int age = 0; age < kWallRows; ++age) {
    const float* row = wall_ring_row(ring.get(), 999 - age);
    ASSERT_NE(row, nullptr) << age;
    const float* a = spectrum_row(in.get(), age);
    const float* b = age < 30 ? spectrum_row(lib.get(), age) : nullptr;
    for (int c = 0; c < kSpectrumBands; ++c)
      ASSERT_EQ(row[c], b ? std::max(a[c], b[c]) : a[c]) << "age " << age << " column " << c;
  }
  EXPECT_EQ(wall_ring_row(ring.get(), 1000), nullptr);           // newer than the newest
  EXPECT_EQ(wall_ring_row(ring.get(), 999 - kWallRows), nullptr);  // out of the walls' reach

  // The merged ring never extends past the input ring's numbering, whatever the library holds.
  Rows short_in = flat_ring(10, 0.2f);
  Rows long_lib = flat_ring(500, 0.7f);
  wall_ring_select(ring.get(), short_in.get(), long_lib.get(), true, kWallFromAll);
  EXPECT_EQ(ring->newest, 9);
  EXPECT_EQ(ring->count, 10);
  EXPECT_FLOAT_EQ(wall_ring_row(ring.get(), 0)[3], 0.7f);
  EXPECT_EQ(wall_ring_row(ring.get(), -1), nullptr);

  // All, but the library is not playing (or holds nothing): the inputs, read where they lie.
  wall_ring_select(ring.get(), in.get(), lib.get(), false, kWallFromAll);
  EXPECT_EQ(wall_ring_row(ring.get(), 999), spectrum_row(in.get(), 0));
  Rows none = flat_ring(0, 0.0f);
  wall_ring_select(ring.get(), in.get(), none.get(), true, kWallFromAll);
  EXPECT_EQ(wall_ring_row(ring.get(), 999), spectrum_row(in.get(), 0));
  // Library: its ring while it plays, else nothing at all.
  wall_ring_select(ring.get(), in.get(), lib.get(), true, kWallFromLibrary);
  EXPECT_EQ(ring->newest, 29);
  EXPECT_EQ(wall_ring_row(ring.get(), 29), spectrum_row(lib.get(), 0));
  wall_ring_select(ring.get(), in.get(), lib.get(), false, kWallFromLibrary);
  EXPECT_EQ(ring->newest, -1);
  EXPECT_EQ(ring->count, 0);
  // Inputs, and a source the settings never write.
  for (int source : {int(kWallFromInputs), 7, -1}) {
    wall_ring_select(ring.get(), in.get(), lib.get(), true, source);
    EXPECT_EQ(wall_ring_row(ring.get(), 999), spectrum_row(in.get(), 0)) << source;
  }
  wall_ring_select(ring.get(), nullptr, nullptr, true, kWallFromAll);
  EXPECT_EQ(ring->newest, -1);
}

TEST(AdaptiveBands, EdgesRiseStrictlyAndTheLoudPartGetsTheNarrowBands) {
  AdaptiveBands b;
  bands_reset(&b);
  auto check = [&](const char* what) {
    ASSERT_EQ(b.edge[0], 0) << what;
    ASSERT_EQ(b.edge[kBandCount], kSpectrumBands) << what;
    for (int k = 1; k <= kBandCount; ++k) {
      ASSERT_GT(b.edge[k], b.edge[k - 1]) << what << " edge " << k;
      if (k < kBandCount) {
        ASSERT_LE(b.edge[k], k + 180) << what << " edge " << k;
      }
    }
  };
  // Before any sound the bands are even; the first update has no previous one and moves nothing.
  float row[kSpectrumBands];
  std::fill(row, row + kSpectrumBands, 1.0f);
  bands_update(&b, row, 5.0);
  check("first update");
  for (int k = 0; k <= kBandCount; ++k) EXPECT_NEAR(b.edge[k], 10 * k, 1) << k;

  // A jump of the clock moves the levels by at most 0.25 s worth.
  bands_update(&b, row, 5000.0);
  EXPECT_NEAR(b.level[0], 0.25f / 90.0f, 1e-6f);
  bands_update(&b, row, 1.0);  // the clock went back: no step at all
  EXPECT_NEAR(b.level[0], 0.25f / 90.0f, 1e-6f);

  // Hostile rows: all energy in the first column, in the last, not a number, over the scale.
  double now = 1.0;
  const float nan = std::numeric_limits<float>::quiet_NaN();
  for (int pattern = 0; pattern < 5; ++pattern) {
    for (int c = 0; c < kSpectrumBands; ++c) {
      switch (pattern) {
        case 0: row[c] = c == 0 ? 1.0f : 0.0f; break;
        case 1: row[c] = c == kSpectrumBands - 1 ? 1.0f : 0.0f; break;
        case 2: row[c] = nan; break;
        case 3: row[c] = c % 2 ? 1e30f : -1e30f; break;
        default: row[c] = 0.0f; break;
      }
    }
    for (int i = 0; i < 2000; ++i) {
      now += 0.25;
      bands_update(&b, row, now);
      check("hostile row");
    }
    for (float l : b.level) ASSERT_TRUE(std::isfinite(l));
  }

  // Two minutes of a loud bottom fifth: the 40 loud columns end up with most of the twenty bands.
  bands_reset(&b);
  for (int c = 0; c < kSpectrumBands; ++c) row[c] = c < 40 ? 1.0f : 0.0001f;
  for (int i = 0; i <= 120 * 30; ++i) {
    bands_update(&b, row, i / 30.0);
    if (i % 300 == 0) check("loud bottom");
  }
  int bands_in_loud_part = 0;
  for (int k = 0; k < kBandCount; ++k) bands_in_loud_part += b.edge[k + 1] <= 40;
  EXPECT_GE(bands_in_loud_part, 13);
  // A null row (nothing to read) still lays out edges from the levels it has.
  bands_update(&b, nullptr, 200.0);
  check("no row");

  float maxima[kBandCount];
  for (int c = 0; c < kSpectrumBands; ++c) row[c] = float(c) / 1000.0f;
  band_maxima(row, b.edge, maxima);
  for (int k = 0; k < kBandCount; ++k) EXPECT_FLOAT_EQ(maxima[k], float(b.edge[k + 1] - 1) / 1000.0f);
  EXPECT_EQ(band_shown(0.02f), 0.0f);
  EXPECT_FLOAT_EQ(band_shown(0.25f), 0.5f);
}

TEST(Walls, NeedFourRowsAndStopAtTheFirstSliceWithNoRow) {
  AdaptiveBands bands;
  bands_reset(&bands);
  auto ring = std::make_unique<WallRing>();
  std::vector<StageVertex> store(kWallMaxVertices);
  auto triangles = [&](uint64_t rows, float w = 800, float h = 600, int source = kWallFromInputs, bool playing = true) {
    Rows in = flat_ring(rows, 0.6f);
    wall_ring_select(ring.get(), in.get(), in.get(), playing, source);
    VertexSink sink{store.data(), 0, kWallMaxVertices};
    WallClock clock{-1, 0.0};
    const int n = walls_build(&sink, *ring, bands, &clock, 0, 0, w, h, 1.0, false, WallColours{0xFFFFFFFF, 0xFF000000});
    EXPECT_EQ(sink.count, 3 * n);
    return n;
  };
  EXPECT_EQ(triangles(0), 0);
  EXPECT_EQ(triangles(3), 0);
  EXPECT_EQ(triangles(4), 40);   // rows 2-3 and 0-1: two slices joined by one strip of 20 bands
  EXPECT_EQ(triangles(5), 80);   // row 4 alone, 2-3, 0-1
  EXPECT_EQ(triangles(87), 43 * 40);
  EXPECT_EQ(triangles(100000), kWallMaxTriangles);
  EXPECT_EQ(triangles(100, 0, 600), 0);
  EXPECT_EQ(triangles(100, 800, -5), 0);
  EXPECT_EQ(triangles(100, 800, 600, kWallFromLibrary, false), 0);  // library chosen, nothing playing

  // A new row glides in over 33 ms; held still, it stands at once where the glide ends.
  Rows in = ring_of(200, [](uint64_t r, int c) { return float((r * 31 + uint64_t(c)) % 97) / 97.0f; });
  wall_ring_select(ring.get(), in.get(), nullptr, false, kWallFromInputs);
  auto first_vertex = [&](double now, bool still, WallClock* clock) {
    VertexSink sink{store.data(), 0, kWallMaxVertices};
    walls_build(&sink, *ring, bands, clock, 0, 0, 800, 600, now, still, WallColours{0xFFFFFFFF, 0xFF000000});
    return store[0];
  };
  WallClock clock{-1, 0.0};
  const StageVertex arriving = first_vertex(10.0, false, &clock);
  const StageVertex midway = first_vertex(10.016, false, &clock);
  const StageVertex landed = first_vertex(10.05, false, &clock);
  WallClock still_clock{-1, 0.0};
  const StageVertex still = first_vertex(10.0, true, &still_clock);
  EXPECT_NE(arriving.y, midway.y);
  EXPECT_NE(midway.y, landed.y);
  EXPECT_EQ(still.x, landed.x);
  EXPECT_EQ(still.y, landed.y);
}

TEST(Stage, AViewUnder64PixelsDrawsNothing) {
  auto v = make_visualiser();
  Rows rows = flat_ring(300, 0.8f);
  TempoKeyAnalyser tempo = tempo_of(120, 0.0, 0);
  for (auto [w, h] : {std::pair{63.0f, 900.0f}, {900.0f, 63.0f}, {0.0f, 0.0f}, {-100.0f, 100.0f},
                      {std::numeric_limits<float>::quiet_NaN(), 500.0f}, {std::numeric_limits<float>::infinity(), 500.0f}}) {
    VisualInput in = input_for(w, h, rows.get(), rows.get());
    in.tempo = &tempo;
    visual_build_stage(v.get(), in);
    EXPECT_EQ(v->geometry.count, 0) << w << " x " << h;
    EXPECT_EQ(v->geometry.sky_w, 0);
    EXPECT_STREQ(v->geometry.label.text, "");
  }
  VisualInput in = input_for(64, 64, rows.get(), rows.get());
  in.tempo = &tempo;
  visual_build_stage(v.get(), in);
  EXPECT_GT(v->geometry.walls.count, 0);
  EXPECT_GT(v->geometry.pieces.count, 0);
  EXPECT_EQ(v->geometry.sky_w, 64);
  EXPECT_STREQ(v->geometry.label.text, "120 BPM  C MAJ");
}

TEST(Stage, EveryVertexIsFiniteOverASweepOfSizesAndBeatsAndNoFrameAllocates) {
  auto v = make_visualiser();
  Rows in = ring_of(5000, [](uint64_t r, int c) { return float((r * 7919 + uint64_t(c) * 104729) % 1000) / 999.0f; });
  Rows lib = ring_of(2000, [](uint64_t r, int c) { return c < 60 ? float(r % 13) / 12.0f : float(c % 5) / 4.0f; });
  const float inf = std::numeric_limits<float>::infinity(), nan = std::numeric_limits<float>::quiet_NaN();
  const TempoKeyAnalyser tempos[] = {tempo_of(120, 0.31, 0), tempo_of(70, 0, 23), tempo_of(180, -3, 5),
                                     tempo_of(1e-6f, 0, 1), tempo_of(1e7f, 0, 1), tempo_of(nan, 0, 1),
                                     tempo_of(inf, 0, 1), tempo_of(-60, 0, 1), tempo_of(120, double(nan), 2)};
  const double plays[] = {0.0, 0.249, 7.999, 8.0, -5.0, 1e7, -1e12, 1e300, double(nan), double(inf)};
  const std::pair<float, float> sizes[] = {{64, 64}, {65, 97}, {333, 64}, {1920, 1080}, {3840, 2160}, {64, 4000}, {7680, 4320}};
  double now = 100.0;
  uint32_t tick = 0xFFFFF000u;  // the tick wraps during the sweep
  int frames = 0, allocations = 0, max_triangles = 0;
  for (const auto& [w, h] : sizes)
    for (const TempoKeyAnalyser& tempo : tempos)
      for (double play : plays)
        for (int frozen = 0; frozen < 2; ++frozen) {
          VisualInput input = input_for(w, h, in.get(), lib.get());
          input.tempo = tempo.result.key == 1 && frames % 3 == 0 ? nullptr : &tempo;
          input.play_s = play;
          input.frozen = frozen != 0;
          input.wall_source = frames % 3;
          input.now_s = now;
          input.tick_ms = tick;
          now += 0.0167 * (frames % 5);
          tick += 700;
          // New rows arrive between frames, as they do every 33 ms.
          in->rows_written += frames % 2;
          lib->rows_written += (frames + 1) % 2;

          g_allocations = 0;
          g_watching = true;
          visual_build_stage(v.get(), input);
          g_watching = false;
          allocations += g_allocations;
          ++frames;

          const StageGeometry& g = v->geometry;
          ASSERT_EQ(g.count % 3, 0);
          ASSERT_LE(g.count, kStageMaxVertices);
          int covered = 0;
          for (VertexRange r : {g.walls, g.sky, g.pieces, g.floor, g.lights}) {
            ASSERT_EQ(r.count % 3, 0);
            ASSERT_EQ(r.first, covered);  // the ranges follow each other and cover everything
            covered += r.count;
          }
          ASSERT_EQ(covered, g.count);
          max_triangles = std::max(max_triangles, g.count / 3);
          for (int i = 0; i < g.count; ++i) {
            const StageVertex& p = g.v[i];
            ASSERT_TRUE(std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.u) && std::isfinite(p.v))
                << w << " x " << h << " bpm " << tempo.result.bpm << " play " << play << " vertex " << i;
          }
          // The floor lies under the horizon, near rows included: no point flips across the view.
          const float horizon = input.y + h * 0.5f;
          for (int i = g.floor.first; i < g.floor.first + g.floor.count; ++i)
            ASSERT_GE(g.v[i].y, horizon) << w << " x " << h << " vertex " << i;
          ASSERT_GT(g.walls.count, 0);
          ASSERT_GT(g.pieces.count, 0);
          ASSERT_EQ(g.sky_w, int(w));
        }
  EXPECT_EQ(allocations, 0) << "over " << frames << " frames";
  EXPECT_LE(max_triangles, kStageMaxVertices / 3);
  EXPECT_GT(max_triangles, 2000);  // walls, sky and pieces all drawn at some point
}

TEST(Stage, TheSameBeatLooksTheSameAndTheDealAndFloorChangeOnTime) {
  // Deals are permutations, fixed per group of 16 beats, and differ between groups.
  std::set<std::vector<int>> deals;
  for (int64_t group : {int64_t(0), int64_t(1), int64_t(-1), int64_t(2), int64_t(1000)}) {
    int a[kShufflePieces], b[kShufflePieces];
    shuffle_deal(group, a);
    shuffle_deal(group, b);
    EXPECT_EQ(std::vector<int>(a, a + kShufflePieces), std::vector<int>(b, b + kShufflePieces));
    std::vector<int> sorted(a, a + kShufflePieces);
    std::sort(sorted.begin(), sorted.end());
    for (int i = 0; i < kShufflePieces; ++i) ASSERT_EQ(sorted[i], i);
    deals.insert(std::vector<int>(a, a + kShufflePieces));
  }
  EXPECT_EQ(deals.size(), 5u);

  // One fresh frame per play position: the stage clock stands at 0, so only the beat differs.
  Rows rows = flat_ring(400, 0.5f);
  auto frame = [&](double play, const TempoKeyAnalyser* tempo) {
    auto v = make_visualiser();
    VisualInput in = input_for(1280, 720, rows.get(), rows.get());
    in.tempo = tempo;
    in.play_s = play;
    visual_build_stage(v.get(), in);
    return v;
  };
  // Without a tempo: 120 per minute from 0, the deal every 8 s, the floor every 1.5 s.
  auto pieces = [&](double play) { auto v = frame(play, nullptr); return range_of(v->geometry, v->geometry.pieces); };
  auto floor = [&](double play) { auto v = frame(play, nullptr); return range_of(v->geometry, v->geometry.floor); };
  EXPECT_TRUE(same(pieces(0.0), pieces(7.99)));
  EXPECT_FALSE(same(pieces(7.99), pieces(8.0)));
  EXPECT_TRUE(same(pieces(8.0), pieces(15.99)));
  EXPECT_TRUE(same(floor(0.0), floor(1.49)));
  EXPECT_FALSE(same(floor(1.49), floor(1.5)));
  EXPECT_TRUE(same(floor(1.5), floor(2.99)));

  // Lights: struck on about three beats in ten, each beat always the same pair.
  int lit = 0;
  for (int beat = 0; beat < 200; ++beat) {
    const double mid = beat * 0.5 + 0.25;  // the middle of the beat, where the light is brightest
    auto a = frame(mid, nullptr);
    auto b = frame(mid, nullptr);
    const auto la = range_of(a->geometry, a->geometry.lights);
    ASSERT_TRUE(same(la, range_of(b->geometry, b->geometry.lights)));
    lit += !la.empty();
  }
  EXPECT_GT(lit, 25);
  EXPECT_LT(lit, 100);

  // With a tempo the beats count from its first beat: 120 BPM from 0.3 s puts beat 16 at 8.3 s.
  const TempoKeyAnalyser t120 = tempo_of(120, 0.3, 0);
  auto tempo_pieces = [&](double play) { auto v = frame(play, &t120); return range_of(v->geometry, v->geometry.pieces); };
  EXPECT_TRUE(same(tempo_pieces(8.0), tempo_pieces(8.29)));
  EXPECT_FALSE(same(tempo_pieces(8.29), tempo_pieces(8.3)));
}

TEST(BeatClock, CountsFromTheFirstBeatOrAtOneTwentyFromZero) {
  BeatClock b = beat_clock(nullptr, 8.0);
  EXPECT_DOUBLE_EQ(b.period_s, 0.5);
  EXPECT_EQ(b.number, 16);
  EXPECT_NEAR(b.phase_s, 0.0, 1e-12);
  const TempoKeyAnalyser t = tempo_of(100, 0.3, 3);
  b = beat_clock(&t, 0.3);
  EXPECT_DOUBLE_EQ(b.period_s, 0.6);
  EXPECT_EQ(b.number, 0);
  b = beat_clock(&t, 0.29);
  EXPECT_EQ(b.number, -1);
  EXPECT_NEAR(b.phase_s, 0.59, 1e-9);
  // An analysis still running reports no tempo yet.
  TempoKeyAnalyser running{};
  running.running = 1;
  EXPECT_DOUBLE_EQ(beat_clock(&running, 1.0).period_s, 0.5);
  const TempoKeyAnalyser broken = tempo_of(std::numeric_limits<float>::quiet_NaN(), 0, 0);
  EXPECT_DOUBLE_EQ(beat_clock(&broken, 1.0).period_s, 0.5);
  EXPECT_EQ(beat_clock(nullptr, std::numeric_limits<double>::quiet_NaN()).number, 0);
  EXPECT_EQ(beat_clock(nullptr, 1e300).number, int64_t(4e15));
}

TEST(BandHistory, PushesOncePerPeriodAndTheFirstPushFillsIt) {
  AdaptiveBands bands;
  bands_reset(&bands);
  BandHistory h;
  band_history_reset(&h);
  Rows lib = ring_of(3, [](uint64_t r, int c) { return c == 0 ? 0.1f * float(r + 1) : 0.0f; });
  band_history_feed(&h, lib.get(), bands.edge, 100);
  EXPECT_FALSE(h.pushed);  // three rows are not enough for the first push
  lib->rows[3][0] = 0.2f;
  lib->rows_written = 4;
  band_history_feed(&h, lib.get(), bands.edge, 200);
  ASSERT_TRUE(h.pushed);
  for (const auto& row : h.rows) EXPECT_FLOAT_EQ(row[0], 0.3f);  // the largest of the four, in every row
  EXPECT_EQ(h.gathered, 0);

  // More rows in the same period wait; the next period pushes them on top.
  lib->rows[4][0] = 0.9f;
  lib->rows_written = 5;
  band_history_feed(&h, lib.get(), bands.edge, 1649);
  EXPECT_FLOAT_EQ(h.rows[0][0], 0.3f);
  band_history_feed(&h, lib.get(), bands.edge, 1650);
  EXPECT_FLOAT_EQ(h.rows[0][0], 0.9f);
  EXPECT_FLOAT_EQ(h.rows[1][0], 0.3f);
  // A period with no rows pushes silence.
  band_history_feed(&h, lib.get(), bands.edge, 3300);
  EXPECT_FLOAT_EQ(h.rows[0][0], 0.0f);
  EXPECT_FLOAT_EQ(h.rows[1][0], 0.9f);
  // The player's ring started over for a new file: its rows are taken from the start again.
  Rows fresh = flat_ring(2, 0.4f);
  band_history_feed(&h, fresh.get(), bands.edge, 4950);
  EXPECT_FLOAT_EQ(h.rows[0][0], 0.4f);
}

TEST(Stage, TheLabelShowsTempoAndKeyOrProgressOverAHalfClearBox) {
  auto v = make_visualiser();
  Rows rows = flat_ring(10, 0.5f);
  VisualInput in = input_for(640, 360, rows.get(), rows.get());
  TempoKeyAnalyser t = tempo_of(119.6f, 0.0, 21);
  in.tempo = &t;
  visual_build_stage(v.get(), in);
  const StageLabel& l = v->geometry.label;
  EXPECT_STREQ(l.text, "120 BPM  A MIN");
  EXPECT_EQ(l.x, 18.0f);
  EXPECT_EQ(l.y, 28.0f);
  EXPECT_EQ(l.box_pad, 12.0f);
  EXPECT_EQ(l.box_h, 19.0f);
  EXPECT_EQ(l.box_colour, 0xD10D0C0Cu);  // the background at alpha 0.82
  EXPECT_EQ(l.text_colour, 0xFFF9F7F6u);
  EXPECT_EQ(l.text_size, 14);
  t.result.bpm = 0;
  visual_build_stage(v.get(), in);
  EXPECT_STREQ(v->geometry.label.text, "-- BPM  A MIN");
  t = TempoKeyAnalyser{};
  t.running = 1;
  t.hops_total = 400;
  t.hops_done = 100;
  visual_build_stage(v.get(), in);
  EXPECT_STREQ(v->geometry.label.text, "TEMPO 25%");
  in.tempo = nullptr;
  visual_build_stage(v.get(), in);
  EXPECT_STREQ(v->geometry.label.text, "");
}
