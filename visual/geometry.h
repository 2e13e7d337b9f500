// The visualiser's output and its randomness: coloured (and, for the sky's pieces, textured)
// vertices in screen space, three to a triangle, laid out as SDL's vertex so a view hands a range
// straight to SDL_RenderGeometry; and the stateless hash every "random" choice comes from, so the
// same slice, column or beat always looks the same and nothing random is stored between frames.
// Plain data; any thread.
#pragma once
#include <cstdint>

// Same layout as SDL_Vertex (position, colour, texture coordinate); a view may static_assert it.
struct StageVertex {
  float x, y;           // pixels
  uint8_t r, g, b, a;
  float u, v;           // texture coordinate 0..1, for the sky's pieces; 0 elsewhere
};

// A run of vertices in a geometry record: whole triangles, drawn in order.
struct VertexRange {
  int first;
  int count;  // a multiple of 3
};

// Seeds are unsigned 32-bit: every product and sum wraps modulo 2^32.
constexpr uint32_t kSeedSlice = 374761393u;
constexpr uint32_t kSeedColumn = 668265263u;
constexpr uint32_t kSeedGolden = 0x9E3779B1u;
constexpr uint32_t kSeedLight = 1305720919u;

constexpr uint32_t hash_mix(uint32_t x) { return (x ^ (x >> 13)) * 1274126177u; }
// 0..1 from a seed.
constexpr float hash01(uint32_t seed) {
  const uint32_t h = hash_mix(seed);
  return float((h ^ (h >> 16)) & 0xFFFFu) / 65535.0f;
}
// -amount..+amount from a seed.
constexpr float hash_jitter(uint32_t seed, float amount) { return (hash01(seed) - 0.5f) * 2.0f * amount; }

// The 32-bit seed of a signed count (a beat or row number that may be negative): its value modulo 2^32.
constexpr uint32_t seed_from(int64_t n) { return uint32_t(uint64_t(n)); }

// Where a builder writes: a fixed array and its fill. A triangle that would not fit is dropped
// whole (the builders are sized so none is).
struct VertexSink {
  StageVertex* v;
  int count;
  int cap;
};

// Colours are 0xAABBGGRR; brightness scales red, green and blue, alpha is given 0..1.
inline StageVertex stage_vertex(float x, float y, uint32_t colour, float brightness, float alpha) {
  auto channel = [](uint32_t c, int shift, float k) {
    float v = float((c >> shift) & 0xFFu) * k;
    v = v > 255.0f ? 255.0f : (v > 0.0f ? v : 0.0f);  // NaN lands on 0
    return uint8_t(v + 0.5f);
  };
  float a = float(colour >> 24) * alpha;
  a = a > 255.0f ? 255.0f : (a > 0.0f ? a : 0.0f);
  return StageVertex{x, y, channel(colour, 0, brightness), channel(colour, 8, brightness),
                     channel(colour, 16, brightness), uint8_t(a + 0.5f), 0.0f, 0.0f};
}

inline bool sink_triangle(VertexSink* s, const StageVertex& a, const StageVertex& b, const StageVertex& c) {
  if (s->count + 3 > s->cap) return false;
  s->v[s->count++] = a;
  s->v[s->count++] = b;
  s->v[s->count++] = c;
  return true;
}

// Two triangles a-b-c and a-c-d, or, flipped, a-b-d and b-c-d.
inline void sink_quad(VertexSink* s, const StageVertex& a, const StageVertex& b, const StageVertex& c,
                      const StageVertex& d, bool flip = false) {
  if (s->count + 6 > s->cap) return;
  if (flip) {
    sink_triangle(s, a, b, d);
    sink_triangle(s, b, c, d);
  } else {
    sink_triangle(s, a, b, c);
    sink_triangle(s, a, c, d);
  }
}
