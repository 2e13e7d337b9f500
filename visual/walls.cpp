// The corridor's walls: ring selection and merge, adaptive bands, and the slices as triangles.
// Main thread only; no allocation.
#include "visual/walls.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

constexpr float kWallJitter = 0.35f;
constexpr uint32_t kDepthSeedOffset = 86930369u;
constexpr uint32_t kShadeSliceStep = 161266285u;
constexpr float kWallScale = 0.62f;     // the corridor's share of the half-width and half-height
constexpr float kFarZ = 11.0f;
constexpr float kDepthRun = 10.9f;
constexpr float kNearZ = 0.06f;
constexpr float kGroundRise = 0.85f;

int rows_held(const SpectrumAnalyser* a) {
  return a ? int(std::min<uint64_t>(a->rows_written, uint64_t(kSpectrumRows))) : 0;
}

void ring_clear(WallRing* ring) {
  ring->newest = -1;
  ring->count = 0;
  for (const float*& r : ring->row) r = nullptr;
}

void ring_single(WallRing* ring, const SpectrumAnalyser* a) {
  const int held = rows_held(a);
  if (held == 0) return;
  ring->newest = int64_t(a->rows_written - 1);
  ring->count = held;
  for (int age = 0; age < std::min(held, kWallRows); ++age) ring->row[age] = spectrum_row(a, age);
}

void ring_merged(WallRing* ring, const SpectrumAnalyser* in, const SpectrumAnalyser* lib) {
  const int held_in = rows_held(in), held_lib = rows_held(lib);
  ring->newest = int64_t(in->rows_written - 1);  // numbered as the input ring, which runs on
  // The library ring may be older than the input ring's numbering reaches; ages past it do not exist.
  ring->count = int(std::max<int64_t>(held_in, std::min<int64_t>(held_lib, ring->newest + 1)));
  for (int age = 0; age < std::min<int>(ring->count, kWallRows); ++age) {
    const float* a = age < held_in ? spectrum_row(in, age) : nullptr;
    const float* b = age < held_lib ? spectrum_row(lib, age) : nullptr;
    if (a && b) {
      float* out = ring->merged[age];
      for (int c = 0; c < kSpectrumBands; ++c) out[c] = std::max(a[c], b[c]);
      ring->row[age] = out;
    } else {
      ring->row[age] = a ? a : b;
    }
  }
}

uint32_t mix_colour(uint32_t a, uint32_t b, float t) {
  t = std::clamp(t, 0.0f, 1.0f);
  uint32_t out = 0;
  for (int shift = 0; shift < 32; shift += 8) {
    const float ca = float((a >> shift) & 0xFFu), cb = float((b >> shift) & 0xFFu);
    out |= uint32_t(ca + (cb - ca) * t + 0.5f) << shift;
  }
  return out;
}


}  // namespace

void wall_ring_select(WallRing* ring, const SpectrumAnalyser* input, const SpectrumAnalyser* library,
                      bool library_playing, int wall_source) {
  ring_clear(ring);
  switch (wall_source) {
    case kWallFromLibrary:
      if (library_playing) ring_single(ring, library);
      return;
    case kWallFromAll:
      if (library_playing && rows_held(input) > 0 && rows_held(library) > 0)
        ring_merged(ring, input, library);
      else
        ring_single(ring, input);
      return;
    default:
      ring_single(ring, input);
      return;
  }
}

const float* wall_ring_row(const WallRing* ring, int64_t number) {
  if (ring->newest < 0 || number > ring->newest) return nullptr;
  const int64_t age = ring->newest - number;
  if (age >= ring->count || age >= kWallRows) return nullptr;
  return ring->row[age];
}

void bands_reset(AdaptiveBands* b) {
  std::memset(b->level, 0, sizeof b->level);
  b->last_s = -1.0;
  for (int k = 0; k < kBandEdges; ++k) b->edge[k] = k * kSpectrumBands / kBandCount;
}

void bands_update(AdaptiveBands* b, const float* newest_row, double now_s) {
  if (newest_row) {
    double dt = b->last_s >= 0.0 ? now_s - b->last_s : 0.0;
    if (!(dt > 0.0)) dt = 0.0;  // the first update, a clock that went back, or not a number
    dt = std::min(dt, kBandMaxStepS);
    const float k = float(dt / kBandSettleS);
    for (int c = 0; c < kSpectrumBands; ++c) {
      const float v = newest_row[c] > 0.0f ? newest_row[c] : 0.0f;  // NaN counts as silence
      b->level[c] += (std::sqrt(std::min(v, 1.0f)) - b->level[c]) * k;
    }
  }
  if (std::isfinite(now_s)) b->last_s = now_s;

  double total_level = 0.0;
  for (float l : b->level) total_level += l;
  const double floor_weight = 0.5 * total_level / kSpectrumBands + 0.000001;
  double total = 0.0;
  for (float l : b->level) total += l + floor_weight;

  // Edge k is the first column the weight before it reaches k / 20 of the whole, so an even
  // spectrum gives even bands.
  b->edge[0] = 0;
  int c = 0;
  double before = 0.0;  // running weight of the columns before c
  for (int k = 1; k < kBandCount; ++k) {
    const double target = k * total / kBandCount;
    while (c < kSpectrumBands && before < target - total * 1e-9) {  // sums may round just short
      before += b->level[c] + floor_weight;
      ++c;
    }
    int e = std::min(c, k + (kSpectrumBands - kBandCount));
    e = std::max(e, b->edge[k - 1] + 1);  // every band keeps at least one column
    b->edge[k] = e;
  }
  b->edge[kBandCount] = kSpectrumBands;
}

void band_maxima(const float* row, const int32_t edge[kBandEdges], float out[kBandCount]) {
  for (int k = 0; k < kBandCount; ++k) {
    float m = 0.0f;
    for (int c = edge[k]; c < edge[k + 1]; ++c)
      if (row[c] > m) m = row[c];
    out[k] = m;
  }
}

float band_shown(float v) { return v > 0.02f ? std::sqrt(v) : 0.0f; }

int walls_build(VertexSink* sink, const WallRing& ring, const AdaptiveBands& bands, WallClock* clock,
                float x, float y, float w, float h, double now_s, bool still, const WallColours& colours) {
  if (!(w > 0.0f && h > 0.0f) || !std::isfinite(x + y + w + h)) return 0;
  if (ring.count < kWallMinRows || ring.newest < 0) return 0;
  const int64_t n = ring.newest;
  if (clock->newest_seen != n) {
    clock->newest_seen = n;
    clock->arrived_s = now_s;
  }
  float g = 1.0f;
  if (!still) {
    const double rise = (now_s - clock->arrived_s) / kWallRowRiseS;
    g = rise >= 0.0 ? float(std::min(rise, 1.0)) : 0.0f;  // NaN glides no further than 0
  }
  const float f = (float(n & 1) + g) * 0.5f;
  const int parity = int(n & 1);
  const float cx = x + w * 0.5f, cy = y + h * 0.5f;
  const float sx = kWallScale * w * 0.5f, sy = kWallScale * h * 0.5f;

  // Each point's vertex is made once and shared by the strips on both sides of its slice.
  StageVertex verts[2][kWallPoints];
  const int before = sink->count;
  for (int s = 0; s < kWallSlices; ++s) {
    const int64_t pair = n / 2 - s;
    const float* r0 = wall_ring_row(&ring, 2 * pair);
    const float* r1 = wall_ring_row(&ring, 2 * pair + 1);
    if (!r0 && !r1) break;
    float m0[kBandCount] = {}, m1[kBandCount] = {}, val[kBandCount];
    if (r0) band_maxima(r0, bands.edge, m0);
    if (r1) band_maxima(r1, bands.edge, m1);
    for (int k = 0; k < kBandCount; ++k) val[k] = band_shown(std::max(m0[k], m1[k]));

    StageVertex* row = verts[s & 1];
    const uint32_t pair_seed = seed_from(pair) * kSeedSlice;
    const uint32_t shade_slice = uint32_t(s + parity) * kShadeSliceStep;
    for (int i = 0; i < kWallPoints; ++i) {
      const float u = i == 0 ? val[0] : i == kBandCount ? val[kBandCount - 1] : std::max(val[i - 1], val[i]);
      const uint32_t seed = pair_seed + uint32_t(i) * kSeedColumn;
      const float j = (i == 0 || i == kBandCount) ? 0.0f : hash_jitter(seed, kWallJitter);
      const float jz = hash_jitter(seed - kDepthSeedOffset, kWallJitter);
      const float px = (float(i) + j) * 2.0f / kBandCount - 1.0f;
      const float depth = std::max(0.0f, (float(s) + f + jz) / float(kWallSlices - 1));
      const float z = std::max(kNearZ, kFarZ - depth * kDepthRun);
      const float ground = (1.0f - std::min(z, kFarZ) / kFarZ) * kGroundRise + 1.0f;
      float height = ground - 0.58f * u * u - 0.1f * u;
      height = std::max(height, ground + 0.15f - z * kGroundRise / kWallScale);  // near peaks stay low
      const uint32_t shade_seed = uint32_t(i) * kSeedGolden - shade_slice;
      const float light = (0.35f + 0.65f * (1.0f - std::min(z, kFarZ) / kFarZ)) * (0.8f + 0.2f * hash01(shade_seed));
      row[i] = stage_vertex(cx + px * sx / z, cy + height * sy / z, mix_colour(colours.bottom, colours.top, u), light, 1.0f);
    }
    if (s > 0) {
      const StageVertex* far = verts[(s - 1) & 1];
      for (int i = 0; i < kBandCount; ++i) sink_quad(sink, far[i], far[i + 1], row[i + 1], row[i]);
    }
  }
  return (sink->count - before) / 3;
}
