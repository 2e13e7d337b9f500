// The stage: beat clock, band history, the two-leaf sky and its shuffled pieces, the floor of
// blocks, the two spotlights and the tempo label, all rebuilt every frame into fixed arrays.
// Main thread only; no allocation.
#include "visual/stage.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>

namespace {

constexpr float kTwoPi = 2.0f * std::numbers::pi_v<float>;
constexpr double kDefaultBeatS = 0.5;        // 120 per minute without a tempo
constexpr float kScale = 0.62f;              // the corridor's share of the half-width and half-height
constexpr float kFarZ = 11.0f;
constexpr float kDepthRun = 10.9f;
constexpr float kNearZ = 0.06f;              // no distance comes nearer: points never flip across the view
constexpr float kFloorRun = 43.0f;
constexpr float kFloorRowStep = 2.0f;
constexpr float kFloorScrollPerS = 12.0f;
constexpr float kFloorPresent = 0.24f;
constexpr float kFloorThickness = 0.08f;
constexpr uint32_t kFloorRowSeed = 1267298705u;
constexpr uint32_t kFloorBeatSeed = 726570791u;
constexpr uint32_t kLightBeatOffset = 957999889u;
constexpr uint32_t kLightLitOffset = 1170165924u;
constexpr float kLightLit = 0.3f;
constexpr float kLightPeak = 0.072f;
constexpr float kLightFrozen = 0.06f;
constexpr float kLightDark = 0.004f;
constexpr float kSkyJitter = 0.3f;
constexpr uint32_t kSkyDepthSeed = 86930369u;
constexpr uint32_t kShuffleSeed = 0x9E3779B9u;
constexpr uint32_t kLabelText = 0xFFF9F7F6;  // RGB 246, 247, 249
constexpr float kLabelAlpha = 0.82f;

int64_t floor_div(int64_t a, int64_t b) { return a >= 0 ? a / b : -((-a + b - 1) / b); }

// Where the ground lies at distance z, in half-heights below the centre before projection; the
// walls' slices stand on the same ground.
float ground_at(float z) { return (1.0f - std::min(z, kFarZ) / kFarZ) * 0.85f + 1.0f; }

struct Projector {
  float cx, cy, sx, sy;  // centre and scale (0.62 x half-width, 0.62 x half-height)
  void at(float wx, float wy, float z, float* x, float* y) const {
    *x = cx + wx * sx / z;
    *y = cy + wy * sy / z;
  }
};

void range_begin(const VertexSink& s, VertexRange* r) { r->first = s.count; }
void range_end(const VertexSink& s, VertexRange* r) { r->count = s.count - r->first; }

// ---- Sky ----

float sky_level(const float* row, int ring, int segment, float t) {
  float pos = (float(segment) + 0.5f) / kSkySegments + float(ring) * 0.045f + t * 0.0012f;
  pos -= std::floor(pos);
  float mirrored = pos * 2.0f;
  if (mirrored > 1.0f) mirrored = 2.0f - mirrored;
  const float b = std::clamp(mirrored, 0.0f, 1.0f) * float(kBandCount - 1);
  const int i0 = std::min(int(b), kBandCount - 1);
  const int i1 = std::min(i0 + 1, kBandCount - 1);
  return band_shown(row[i0] + (row[i1] - row[i0]) * (b - float(i0)));
}

void build_sky(VertexSink* sink, const BandHistory& history, float w, float h, float t, float phase,
               const StageColours& colours) {
  constexpr int kRingPoints = kSkyRings + 1;
  float px[kRingPoints][kSkySegments + 1], py[kRingPoints][kSkySegments + 1], depth[kRingPoints][kSkySegments + 1];
  float level[kRingPoints][kSkySegments];
  const float half_h = h * 0.5f;
  for (int k = 0; k < kRingPoints; ++k)
    for (int p = 0; p < kSkySegments; ++p) level[k][p] = sky_level(history.rows[k], k, p, t);

  for (int leaf = 0; leaf < kSkyLeaves; ++leaf) {
    const float lf = float(leaf);
    const float lx = (std::sin(t * 0.031f + 2.1f * lf) * 0.3f + 0.5f) * w;
    const float ly = (std::sin(3.57f * lf + t * 0.023f) * 0.22f + 0.5f) * half_h;
    const float radius = (std::sin(1.26f * lf + t * 0.017f) * 0.16f + 0.8f) * half_h;
    const float turn = t * 0.012f + 2.1f * lf;
    const uint32_t colour = leaf == 0 ? colours.sky_first : colours.sky_second;
    for (int k = 0; k < kRingPoints; ++k) {
      // Seeds follow the history row, not the ring, so a row keeps its shape as it travels out.
      const uint32_t row_id = history.pushes - uint32_t(k);
      for (int p = 0; p <= kSkySegments; ++p) {
        const uint32_t seed = row_id * kSeedSlice + uint32_t(p % kSkySegments) * kSeedColumn + uint32_t(leaf) * kSeedLight;
        const float a = (p == 0 || p == kSkySegments) ? 0.0f : hash_jitter(seed, kSkyJitter);
        const float d = (float(k) + phase + hash_jitter(seed - kSkyDepthSeed, kSkyJitter)) / 8.0f;
        const float r = radius * 0.92f / std::max(0.45f, 7.0f - std::max(0.0f, d) * 6.08f);
        const float angle = (float(p) + a) * kTwoPi / kSkySegments + turn;
        px[k][p] = lx + std::cos(angle) * r;
        py[k][p] = ly + std::sin(angle) * r;
        depth[k][p] = d;
      }
    }
    for (int k = 0; k < kSkyRings; ++k) {
      for (int p = 0; p < kSkySegments; ++p) {
        const float peak = std::max(level[k][p], level[k + 1][p]);
        if (peak < 0.1f) continue;
        float fade = std::min(1.0f, (peak - 0.1f) / 0.12f);
        const float mean_depth = (depth[k][p] + depth[k][p + 1] + depth[k + 1][p] + depth[k + 1][p + 1]) * 0.25f;
        if (mean_depth > 0.9f) fade *= std::clamp(1.0f - (mean_depth - 0.9f) / 0.25f, 0.0f, 1.0f);
        if (fade <= 0.0f) continue;
        const bool flip = ((k + p) & 1) != 0;
        for (int layer = 0; layer < 2; ++layer) {
          const float reach = std::min(1.0f, peak * (layer == 0 ? 1.0f : 0.78f));
          const float alpha = fade * (layer == 0 ? 0.5f : 0.8f);
          const float light = layer == 0 ? 1.0f : 1.15f;
          auto toward = [&](int q, float* x, float* y) {
            *x = px[k][q] + (px[k + 1][q] - px[k][q]) * reach;
            *y = py[k][q] + (py[k + 1][q] - py[k][q]) * reach;
          };
          float ox0, oy0, ox1, oy1;
          toward(p, &ox0, &oy0);
          toward(p + 1, &ox1, &oy1);
          sink_quad(sink, stage_vertex(px[k][p], py[k][p], colour, light, alpha),
                    stage_vertex(px[k][p + 1], py[k][p + 1], colour, light, alpha),
                    stage_vertex(ox1, oy1, colour, light, alpha * 0.3f), stage_vertex(ox0, oy0, colour, light, alpha * 0.3f),
                    flip);
        }
      }
    }
  }
}

// The sky's texture dealt over the view as 36 pieces, each as 2 x 2 sub-quads leaning into depth,
// drawn twice (alpha 150, then 255).
void build_pieces(VertexSink* sink, int64_t bar_group, float x, float y, float w, float h) {
  int order[kShufflePieces];
  shuffle_deal(bar_group, order);
  const float cx = x + w * 0.5f;
  const float cell_w = w / kShuffleSide, cell_h = h / kShuffleSide;
  for (int pass = 0; pass < 2; ++pass) {
    const uint32_t colour = pass == 0 ? 0x96FFFFFFu : 0xFFFFFFFFu;
    for (int l = 0; l < kShufflePieces; ++l) {
      const int n = order[l];
      const int src_x = n % kShuffleSide, src_y = n / kShuffleSide;
      const int dst_x = l % kShuffleSide, dst_y = l / kShuffleSide;
      StageVertex grid[3][3];
      for (int b = 0; b < 3; ++b) {
        const float q = (float(dst_y) * 2.0f + float(b)) / (kShuffleSide * 2.0f);
        const float lean = 1.0f / (1.6f - (1.0f - q) * 1.4f * 0.70710677f);
        for (int a = 0; a < 3; ++a) {
          const float vx = x + (float(dst_x) + float(a) * 0.5f) * cell_w;
          const float vy = y + (float(dst_y) + float(b) * 0.5f) * cell_h;
          StageVertex v = stage_vertex(cx + (vx - cx) * lean, vy, colour, 1.0f, 1.0f);
          v.u = (float(src_x) + float(a) * 0.5f) / kShuffleSide;
          v.v = (float(src_y) + float(b) * 0.5f) / kShuffleSide;
          grid[b][a] = v;
        }
      }
      for (int b = 0; b < 2; ++b)
        for (int a = 0; a < 2; ++a) sink_quad(sink, grid[b][a], grid[b][a + 1], grid[b + 1][a + 1], grid[b + 1][a]);
    }
  }
}

// ---- Floor ----

void build_floor(VertexSink* sink, const Projector& pr, float t, int64_t beat_group, const float bands[kBandCount],
                 uint32_t colour) {
  const double scroll = double(t) * kFloorScrollPerS;
  const float offset = float(std::fmod(scroll, double(kFloorRowStep)));
  const int64_t passed = int64_t(std::floor(scroll / kFloorRowStep));
  const float mid = band_shown(bands[0]), outer = band_shown(bands[13]);
  constexpr float kBlockX[kFloorBlocks][2] = {{-0.75f, -0.27f}, {-0.24f, 0.24f}, {0.27f, 0.75f}};
  for (int u = 0; u < kFloorRows; ++u) {
    const float v = float(u) * kFloorRowStep + offset;
    if (v > kFloorRun) break;
    const int64_t row = int64_t(u) - passed;  // a row keeps its number as it scrolls nearer
    const float z_far = std::max(kNearZ, kFarZ - v * kDepthRun / kFloorRun);
    const float z_near = std::max(kNearZ, kFarZ - (v + kFloorRowStep) * kDepthRun / kFloorRun);
    const float fraction = v / kFloorRun;
    for (int c = 0; c < kFloorBlocks; ++c) {
      const uint32_t seed = uint32_t(c) * (kSeedColumn + kSeedSlice) - seed_from(row) * kFloorRowSeed -
                            seed_from(beat_group) * kFloorBeatSeed;
      if (!(hash01(seed) < kFloorPresent)) continue;
      const float w = c == 1 ? mid : outer;
      const int level = std::min(5, int(std::lround((w * 0.7f + 0.3f) * 5.0f)));
      const float bright = (fraction * 0.7f + 0.3f) * float(level) / 5.0f;
      const float x0 = kBlockX[c][0], x1 = kBlockX[c][1];
      const float top_far = ground_at(z_far) - kFloorThickness, top_near = ground_at(z_near) - kFloorThickness;
      float ax, ay, bx, by, cx2, cy2, dx, dy;
      // Side facing the middle (the middle block shows its right side).
      const float side_x = c == 2 ? x0 : x1;
      pr.at(side_x, top_far, z_far, &ax, &ay);
      pr.at(side_x, top_near, z_near, &bx, &by);
      pr.at(side_x, top_near + kFloorThickness, z_near, &cx2, &cy2);
      pr.at(side_x, top_far + kFloorThickness, z_far, &dx, &dy);
      sink_quad(sink, stage_vertex(ax, ay, colour, bright * 0.32f, 1.0f), stage_vertex(bx, by, colour, bright * 0.32f, 1.0f),
                stage_vertex(cx2, cy2, colour, bright * 0.32f, 1.0f), stage_vertex(dx, dy, colour, bright * 0.32f, 1.0f));
      // Front face, towards the viewer.
      pr.at(x0, top_near, z_near, &ax, &ay);
      pr.at(x1, top_near, z_near, &bx, &by);
      pr.at(x1, top_near + kFloorThickness, z_near, &cx2, &cy2);
      pr.at(x0, top_near + kFloorThickness, z_near, &dx, &dy);
      sink_quad(sink, stage_vertex(ax, ay, colour, bright * 0.55f, 1.0f), stage_vertex(bx, by, colour, bright * 0.55f, 1.0f),
                stage_vertex(cx2, cy2, colour, bright * 0.55f, 1.0f), stage_vertex(dx, dy, colour, bright * 0.55f, 1.0f));
      // Top face.
      pr.at(x0, top_far, z_far, &ax, &ay);
      pr.at(x1, top_far, z_far, &bx, &by);
      pr.at(x1, top_near, z_near, &cx2, &cy2);
      pr.at(x0, top_near, z_near, &dx, &dy);
      sink_quad(sink, stage_vertex(ax, ay, colour, bright, 1.0f), stage_vertex(bx, by, colour, bright, 1.0f),
                stage_vertex(cx2, cy2, colour, bright, 1.0f), stage_vertex(dx, dy, colour, bright, 1.0f));
    }
  }
}

// ---- Spotlights ----

void glow(VertexSink* sink, float x, float y, float rx, float ry, uint32_t colour, float alpha) {
  const StageVertex centre = stage_vertex(x, y, colour, 1.0f, alpha);
  for (int i = 0; i < kGlowSegments; ++i) {
    const float a0 = float(i) * kTwoPi / kGlowSegments, a1 = float(i + 1) * kTwoPi / kGlowSegments;
    sink_triangle(sink, centre, stage_vertex(x + std::cos(a0) * rx, y + std::sin(a0) * ry, colour, 1.0f, 0.0f),
                  stage_vertex(x + std::cos(a1) * rx, y + std::sin(a1) * ry, colour, 1.0f, 0.0f));
  }
}

void build_lights(VertexSink* sink, const Projector& pr, float top, float half_w, float h, const BeatClock& beat,
                  bool frozen, uint32_t colour) {
  const int64_t n = frozen ? 0 : beat.number;
  float intensity = kLightFrozen;
  if (!frozen) {
    const float s = std::sin(std::numbers::pi_v<float> * std::clamp(float(beat.phase_s / beat.period_s), 0.0f, 1.0f));
    intensity = kLightPeak * s * s;
  }
  if (!(intensity > kLightDark)) return;
  const float pixels = h / 100.0f;  // the light's size is in hundredths of the view's height
  for (int light = 0; light < 2; ++light) {
    const uint32_t seed = seed_from(n) * kSeedSlice - kLightBeatOffset + uint32_t(light) * kSeedLight;
    if (!(hash01(seed + kLightLitOffset) < kLightLit)) continue;
    const float x_offset = 0.08f + 0.34f * hash01(seed - 137701550u);
    const float distance = 1.3f + 3.2f * hash01(seed);
    const float aim = 0.7f * hash01(seed + 632436448u) - 0.25f;
    const float spread = (0.62f + 0.3f * hash01(seed - 1693563874u)) * distance;
    const float base = 0.85f;
    const float side = light == 0 ? -1.0f : 1.0f;
    const float size = (intensity * 26.0f + 6.0f) / (distance * 0.5f + 0.5f) * pixels;

    // Hung on its own wall at the top of the view, struck down onto the floor.
    float fx, fy;
    pr.at(side * x_offset + aim, ground_at(distance), distance, &fx, &fy);
    const float sx = pr.cx + side * base * half_w;
    const float foot_w = spread * pr.sx / distance;
    for (int beam = 0; beam < 2; ++beam) {
      const float narrow = beam == 0 ? 1.0f : 0.4f;
      const float a = 0.16f * intensity;
      sink_quad(sink, stage_vertex(sx - size * 0.5f * narrow, top, colour, 1.0f, a),
                stage_vertex(sx + size * 0.5f * narrow, top, colour, 1.0f, a),
                stage_vertex(fx + foot_w * 0.5f * narrow, fy, colour, 1.0f, a),
                stage_vertex(fx - foot_w * 0.5f * narrow, fy, colour, 1.0f, a));
    }
    glow(sink, fx, fy, 2.2f * size, 0.35f * size, colour, 0.55f * intensity);
    glow(sink, fx, fy, 0.35f * size, 2.2f * size, colour, 0.55f * intensity);
    glow(sink, fx, fy, 0.6f * size, 0.6f * size, colour, 0.9f * intensity);
  }
}

void geometry_clear(StageGeometry* g) {
  g->count = 0;
  g->walls = g->sky = g->pieces = g->floor = g->lights = VertexRange{0, 0};
  g->sky_w = g->sky_h = 0;
  g->label = StageLabel{};
}

VertexSink sink_of(StageGeometry* g) { return VertexSink{g->v, g->count, kStageMaxVertices}; }

void build_walls_into(Visualiser* v, const VisualInput& in, VertexSink* sink, const float* fallback_row) {
  wall_ring_select(&v->ring, in.input, in.library, in.library_playing, in.wall_source);
  const float* newest = v->ring.newest >= 0 ? wall_ring_row(&v->ring, v->ring.newest) : fallback_row;
  bands_update(&v->bands, newest, in.now_s);
  range_begin(*sink, &v->geometry.walls);
  walls_build(sink, v->ring, v->bands, &v->wall_clock, in.x, in.y, in.w, in.h, in.now_s, in.frozen,
              WallColours{in.colours.corridor_top, in.colours.corridor_bottom});
  range_end(*sink, &v->geometry.walls);
}

}  // namespace

BeatClock beat_clock(const TempoKeyAnalyser* tempo, double now_s) {
  double period = kDefaultBeatS, origin = 0.0;
  if (tempo && tempo->result.bpm > 0.0f && std::isfinite(tempo->result.bpm)) {
    period = 60.0 / double(tempo->result.bpm);
    origin = std::isfinite(tempo->result.first_beat_s) ? tempo->result.first_beat_s : 0.0;
  }
  double position = (now_s - origin) / period;
  if (!std::isfinite(position)) position = 0.0;
  position = std::clamp(position, -4.0e15, 4.0e15);  // whole beats stay exact and fit a 64-bit count
  const double whole = std::floor(position);
  return BeatClock{period, position, int64_t(whole), (position - whole) * period};
}

void band_history_reset(BandHistory* h) { *h = BandHistory{}; }

void band_history_feed(BandHistory* h, const SpectrumAnalyser* library, const int32_t edge[kBandEdges],
                       uint32_t tick_ms) {
  if (library) {
    const uint64_t written = library->rows_written;
    if (written < h->rows_seen) h->rows_seen = 0;  // the player's ring started over
    const uint64_t first = std::max(h->rows_seen, written > uint64_t(kSpectrumRows) ? written - kSpectrumRows : 0);
    for (uint64_t r = first; r < written; ++r) {
      float m[kBandCount];
      band_maxima(spectrum_row(library, int(written - 1 - r)), edge, m);
      for (int k = 0; k < kBandCount; ++k) h->running[k] = std::max(h->running[k], m[k]);
      ++h->gathered;
    }
    h->rows_seen = written;
  }
  const uint32_t period = tick_ms / kSkyPeriodMs;
  const bool push = h->pushed ? period != h->period : h->gathered >= kSkyFirstPushRows;
  h->period = period;
  if (!push) return;
  if (!h->pushed) {
    for (auto& row : h->rows) std::memcpy(row, h->running, sizeof row);
  } else {
    std::memmove(h->rows[1], h->rows[0], sizeof h->rows[0] * (kSkyHistoryRows - 1));
    std::memcpy(h->rows[0], h->running, sizeof h->rows[0]);
  }
  std::memset(h->running, 0, sizeof h->running);
  h->gathered = 0;
  h->pushed = true;
  ++h->pushes;
}

void shuffle_deal(int64_t bar_group, int out[kShufflePieces]) {
  for (int i = 0; i < kShufflePieces; ++i) out[i] = i;
  uint32_t x = seed_from(bar_group) * kSeedGolden + kShuffleSeed;
  for (int l = 0; l < kShufflePieces; ++l) {
    x = x * 1664525u + 1013904223u;
    const int pick = l + int((x >> 8) % uint32_t(kShufflePieces - l));  // among the pieces not yet dealt
    std::swap(out[l], out[pick]);
  }
}

void visual_reset(Visualiser* v) {
  bands_reset(&v->bands);
  v->wall_clock = WallClock{-1, 0.0};
  band_history_reset(&v->history);
  v->stage_clock_s = 0.0;
  v->last_frame_s = -1.0;
  v->ring.newest = -1;
  v->ring.count = 0;
  for (const float*& r : v->ring.row) r = nullptr;
  geometry_clear(&v->geometry);
}

void visual_build_walls(Visualiser* v, const VisualInput& in) {
  geometry_clear(&v->geometry);
  VertexSink sink = sink_of(&v->geometry);
  build_walls_into(v, in, &sink, nullptr);
  v->geometry.count = sink.count;
}

void visual_build_stage(Visualiser* v, const VisualInput& in) {
  StageGeometry* g = &v->geometry;
  geometry_clear(g);
  if (!(in.w >= kStageMinSide && in.h >= kStageMinSide) || !std::isfinite(in.x + in.y + in.w + in.h)) return;

  double dt = v->last_frame_s >= 0.0 ? in.now_s - v->last_frame_s : 0.0;
  if (!(dt > 0.0)) dt = 0.0;
  if (!in.frozen) v->stage_clock_s += std::min(dt, kBandMaxStepS);
  if (std::isfinite(in.now_s)) v->last_frame_s = in.now_s;
  const float t = in.frozen ? 0.0f : float(v->stage_clock_s);

  const float* library_row = in.library ? spectrum_row(in.library, 0) : nullptr;
  VertexSink sink = sink_of(g);
  build_walls_into(v, in, &sink, library_row);

  band_history_feed(&v->history, in.library, v->bands.edge, in.tick_ms);
  const BeatClock beat = beat_clock(in.tempo, in.play_s);

  // The sky, in the texture's own space.
  g->sky_w = int(in.w);
  g->sky_h = int(in.h);
  const float phase = in.frozen ? 0.0f : float(in.tick_ms % kSkyPeriodMs) / float(kSkyPeriodMs);
  range_begin(sink, &g->sky);
  build_sky(&sink, v->history, float(g->sky_w), float(g->sky_h), t, phase, in.colours);
  range_end(sink, &g->sky);

  range_begin(sink, &g->pieces);
  build_pieces(&sink, in.frozen ? 0 : floor_div(beat.number, kShuffleBeats), in.x, in.y, in.w, in.h);
  range_end(sink, &g->pieces);

  const Projector pr{in.x + in.w * 0.5f, in.y + in.h * 0.5f, kScale * in.w * 0.5f, kScale * in.h * 0.5f};
  float bands[kBandCount] = {};
  if (library_row) band_maxima(library_row, v->bands.edge, bands);
  range_begin(sink, &g->floor);
  build_floor(&sink, pr, t, in.frozen ? 0 : floor_div(beat.number, kFloorBeats), bands, in.colours.floor);
  range_end(sink, &g->floor);

  range_begin(sink, &g->lights);
  build_lights(&sink, pr, in.y, in.w * 0.5f, in.h, beat, in.frozen, in.colours.spotlights);
  range_end(sink, &g->lights);
  g->count = sink.count;

  StageLabel* label = &g->label;
  if (in.tempo) tempo_visual_text(in.tempo, label->text, sizeof label->text);
  label->x = in.x + 8.0f;
  label->y = in.y + 8.0f;
  label->box_pad = 12.0f;
  label->box_h = 19.0f;
  label->box_colour = (in.colours.background & 0x00FFFFFFu) | (uint32_t(std::lround(kLabelAlpha * 255.0f)) << 24);
  label->text_colour = kLabelText;
  label->text_size = 14;
}
