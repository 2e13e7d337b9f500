// Triangles filled on the CPU: vertices snapped to a sixteenth of a pixel, exact integer edge
// functions give each row its span (so shared edges neither gap nor overlap), and colour, alpha
// and texel position step along the span in 16.16 fixed point.
#include "visual/raster.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <type_traits>
#include <utility>

namespace {

constexpr int kSubBits = 4;
constexpr int64_t kSub = int64_t(1) << kSubBits;  // sub-pixel steps a pixel
constexpr int64_t kHalf = kSub / 2;               // a pixel's centre
constexpr float kFarthest = 4194304.0f;           // 2^22 pixels: edge products stay well inside 64 bits
constexpr float kOne = 65536.0f;                  // 1.0 in 16.16
constexpr int64_t kByteTop = (int64_t(256) << 16) - 1;  // the largest 16.16 value whose whole part is a byte

int64_t floor_div(int64_t a, int64_t b) {  // b > 0
  const int64_t q = a / b;
  return (a % b != 0 && a < 0) ? q - 1 : q;
}

int64_t ceil_div(int64_t a, int64_t b) {  // b > 0
  const int64_t q = a / b;
  return (a % b != 0 && a > 0) ? q + 1 : q;
}

// x / 255 rounded, for x up to 255 x 255, in both 16-bit halves of a word at once.
uint32_t div255_pair(uint32_t x) {
  const uint32_t t = x + 0x00800080u;
  return (t + ((t >> 8) & 0x00FF00FFu)) >> 8;
}

uint32_t mul255(uint32_t a, uint32_t b) {
  const uint32_t x = a * b + 128;
  return (x + (x >> 8)) >> 8;
}

// rgb (0x00RRGGBB) over d at alpha a (0..255); exact at 0 (d) and 255 (rgb, opaque), so no pixel
// needs a branch.
uint32_t blend(uint32_t d, uint32_t rgb, uint32_t a) {
  const uint32_t na = 255 - a;
  const uint32_t rb = (rgb & 0x00FF00FFu) * a + (d & 0x00FF00FFu) * na;
  const uint32_t ag = (((rgb >> 8) & 0xFFu) | 0x00FF0000u) * a + ((d >> 8) & 0x00FF00FFu) * na;
  return (div255_pair(rb) & 0x00FF00FFu) | ((div255_pair(ag) & 0x00FF00FFu) << 8);
}

// Four pixels at a time, in the compiler's portable vectors (SSE2, NEON): the blend's products
// fit 16 bits a channel.
typedef uint32_t Pixels4 __attribute__((vector_size(16)));
typedef uint8_t Bytes16 __attribute__((vector_size(16)));
typedef uint16_t Wide16 __attribute__((vector_size(32)));

Pixels4 load4(const uint32_t* p) {
  Pixels4 v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

void store4(uint32_t* p, Pixels4 v) { std::memcpy(p, &v, sizeof v); }

// Four pixels of s over d at alphas a (0..255 each); s carries 255 in its alpha byte, so the
// alpha comes out as blend()'s.
Pixels4 blend4(Pixels4 d, Pixels4 s, Pixels4 a) {
  const Wide16 dw = __builtin_convertvector(std::bit_cast<Bytes16>(d), Wide16);
  const Wide16 sw = __builtin_convertvector(std::bit_cast<Bytes16>(s), Wide16);
  const Wide16 aw = __builtin_convertvector(std::bit_cast<Bytes16>(a * 0x01010101u), Wide16);
  Wide16 x = sw * aw + dw * (255 - aw) + 128;
  x = (x + (x >> 8)) >> 8;
  return std::bit_cast<Pixels4>(__builtin_convertvector(x, Bytes16));
}

// A value across the triangle: at (x, y) it is at + dx * x + dy * y (pixels, the image's space).
struct Plane {
  float at, dx, dy;
};

struct Shading {
  bool textured, rgb_varies, alpha_varies;
  uint32_t rgb, alpha;  // when they do not vary (rgb 0x00RRGGBB)
  Plane r, g, b, a, u, v;
};

// A value along one span in 16.16: its start and its step a pixel.
struct Walk {
  int32_t at, step;
};

// A sliver can have a steep plane; kept inside 2^30 the values convert, and a span that goes out
// of range takes the clamped path.
int32_t fixed_of(float v) { return int32_t(std::clamp(v * kOne, -1073741824.0f, 1073741824.0f)); }

Walk walk(const Plane& q, float cx, float cy) { return Walk{fixed_of(q.at + q.dx * cx + q.dy * cy), fixed_of(q.dx)}; }

// Both ends of the walk over n pixels within 0..top: a linear walk stays inside in between.
bool within(const Walk& w, int n, int64_t top) {
  const int64_t end = int64_t(w.at) + int64_t(w.step) * (n - 1);
  return w.at >= 0 && w.at <= top && end >= 0 && end <= top;
}

struct SpanWalks {
  Walk r, g, b, a, u, v;
};

// A span whose values may leave their range walks them in 64 bits, so a steep one cannot wrap.
template <bool kClamp>
using Fixed = std::conditional_t<kClamp, int64_t, int32_t>;

template <bool kClamp>
uint32_t byte_of(Fixed<kClamp> fixed) {
  return kClamp ? uint32_t(std::clamp<int64_t>(fixed >> 16, 0, 255)) : uint32_t(fixed >> 16);
}

template <bool kTextured, bool kRgb, bool kAlpha, bool kClamp>
void shade(uint32_t* p, int n, const SpanWalks& w, const Shading& s, const RasterImage* tex) {
  if constexpr (!kTextured && kRgb && !kAlpha) {
    if (s.alpha == 255) {
      Fixed<kClamp> r = w.r.at, g = w.g.at, b = w.b.at;
      for (int i = 0; i < n; ++i) {
        p[i] = 0xFF000000u | (byte_of<kClamp>(r) << 16) | (byte_of<kClamp>(g) << 8) | byte_of<kClamp>(b);
        r += w.r.step, g += w.g.step, b += w.b.step;
      }
      return;
    }
  }
  if constexpr (kTextured && !kRgb && !kAlpha && !kClamp) {
    // The deal: white, opaque vertices over one row of texels.
    if (s.rgb == 0x00FFFFFFu && s.alpha == 255 && w.v.step == 0) {
      const uint32_t* row = tex->px + size_t(w.v.at >> 16) * size_t(tex->pitch);
      const int32_t u = w.u.at, du = w.u.step;
      int i = 0;
      for (; i + 4 <= n; i += 4) {
        const int32_t at = u + i * du;
        const Pixels4 t = {row[at >> 16], row[(at + du) >> 16], row[(at + 2 * du) >> 16], row[(at + 3 * du) >> 16]};
        store4(p + i, blend4(load4(p + i), t | 0xFF000000u, t >> 24));
      }
      for (; i < n; ++i) {
        const uint32_t t = row[(u + i * du) >> 16];
        p[i] = blend(p[i], t & 0x00FFFFFFu, t >> 24);
      }
      return;
    }
  }
  if constexpr (!kTextured && !kRgb && kAlpha && !kClamp) {
    // The sky's leaves and the lights' glows: one colour fading.
    const int32_t a = w.a.at, da = w.a.step;
    const Pixels4 steps = Pixels4{0, 1, 2, 3} * uint32_t(da);
    const Pixels4 colour = Pixels4{} + (s.rgb | 0xFF000000u);
    int i = 0;
    for (; i + 4 <= n; i += 4) {
      const Pixels4 alphas = (steps + uint32_t(a + i * da)) >> 16;
      store4(p + i, blend4(load4(p + i), colour, alphas));
    }
    for (; i < n; ++i) p[i] = blend(p[i], s.rgb, uint32_t((a + i * da) >> 16));
    return;
  }
  Fixed<kClamp> r = w.r.at, g = w.g.at, b = w.b.at, a = w.a.at, u = w.u.at, v = w.v.at;
  for (int i = 0; i < n; ++i) {
    const uint32_t alpha = kAlpha ? byte_of<kClamp>(a) : s.alpha;
    const uint32_t rgb = kRgb ? (byte_of<kClamp>(r) << 16) | (byte_of<kClamp>(g) << 8) | byte_of<kClamp>(b) : s.rgb;
    if constexpr (kTextured) {
      Fixed<kClamp> tx = u >> 16, ty = v >> 16;
      if (kClamp) tx = std::clamp<Fixed<kClamp>>(tx, 0, tex->w - 1), ty = std::clamp<Fixed<kClamp>>(ty, 0, tex->h - 1);
      const uint32_t t = tex->px[size_t(ty) * size_t(tex->pitch) + size_t(tx)];
      const uint32_t out = (mul255((t >> 16) & 0xFFu, (rgb >> 16) & 0xFFu) << 16) |
                           (mul255((t >> 8) & 0xFFu, (rgb >> 8) & 0xFFu) << 8) | mul255(t & 0xFFu, rgb & 0xFFu);
      p[i] = blend(p[i], out, mul255(t >> 24, alpha));
      u += w.u.step, v += w.v.step;
    } else {
      p[i] = blend(p[i], rgb, alpha);
    }
    if (kRgb) r += w.r.step, g += w.g.step, b += w.b.step;
    if (kAlpha) a += w.a.step;
  }
}

template <bool kTextured, bool kRgb, bool kAlpha>
void span(uint32_t* p, int n, float cx, float cy, const Shading& s, const RasterImage* tex) {
  if constexpr (!kTextured && !kRgb && !kAlpha) {
    if (s.alpha == 255) {
      std::fill(p, p + n, s.rgb | 0xFF000000u);
    } else {
      for (int i = 0; i < n; ++i) p[i] = blend(p[i], s.rgb, s.alpha);
    }
    return;
  }
  SpanWalks w{};
  bool inside = true;
  if (kRgb) {
    w.r = walk(s.r, cx, cy), w.g = walk(s.g, cx, cy), w.b = walk(s.b, cx, cy);
    inside = inside && within(w.r, n, kByteTop) && within(w.g, n, kByteTop) && within(w.b, n, kByteTop);
  }
  if (kAlpha) {
    w.a = walk(s.a, cx, cy);
    inside = inside && within(w.a, n, kByteTop);
  }
  if (kTextured) {
    w.u = walk(s.u, cx, cy), w.v = walk(s.v, cx, cy);
    inside = inside && within(w.u, n, (int64_t(tex->w) << 16) - 1) && within(w.v, n, (int64_t(tex->h) << 16) - 1);
  }
  // Rounding can carry a value just past its range at a span's end; only such spans pay for clamping.
  if (inside) shade<kTextured, kRgb, kAlpha, false>(p, n, w, s, tex);
  else shade<kTextured, kRgb, kAlpha, true>(p, n, w, s, tex);
}

using SpanFn = void (*)(uint32_t*, int, float, float, const Shading&, const RasterImage*);

SpanFn span_for(const Shading& s) {
  if (s.textured) {
    if (s.rgb_varies) return s.alpha_varies ? span<true, true, true> : span<true, true, false>;
    return s.alpha_varies ? span<true, false, true> : span<true, false, false>;
  }
  if (s.rgb_varies) return s.alpha_varies ? span<false, true, true> : span<false, true, false>;
  return s.alpha_varies ? span<false, false, true> : span<false, false, false>;
}

// One edge a -> b of a triangle, whose inside is where every edge's function is >= its tie value.
// Along a row the function at pixel i's centre is k - dy (16 i + 8), so the edge bounds the row's
// span at its first pixel (dy < 0) or its last (dy > 0): floor(x / 16|dy|) of x = k - tie - 8 dy,
// negated for a first pixel. x grows by 16 dx a row: the quotient is walked row by row with its
// remainder instead of divided afresh.
struct Edge {
  int64_t dx, dy;
  int64_t tie;        // 0: a centre exactly on the edge is inside; 1: it is not
  int64_t k;          // the function's row part at the current row (all a level edge walks)
  int64_t q, r;       // floor and remainder of x / d at the current row
  int64_t dq, dr, d;  // their steps a row, and the divisor
};

Edge edge(int64_t ax, int64_t ay, int64_t bx, int64_t by, int64_t py) {
  Edge e{};
  e.dx = bx - ax, e.dy = by - ay;
  // Of two triangles sharing this edge each walks it the other way: exactly one takes the centres on it.
  e.tie = (e.dy > 0 || (e.dy == 0 && e.dx < 0)) ? 0 : 1;
  e.k = e.dx * (py - ay) + e.dy * ax;
  if (e.dy != 0) {
    e.d = (e.dy > 0 ? e.dy : -e.dy) * kSub;
    const int64_t x = e.k - e.tie - e.dy * kHalf;
    e.q = floor_div(x, e.d);
    e.r = x - e.q * e.d;
    const int64_t step = e.dx * kSub;
    e.dq = floor_div(step, e.d);
    e.dr = step - e.dq * e.d;
  }
  return e;
}

// The next row of an edge that is not level; the carry is data, so no branch on it.
void step_row(Edge* e) {
  e->r += e->dr;
  const int64_t carry = e->r >= e->d;
  e->q += e->dq + carry;
  e->r -= e->d & -carry;
}

bool snap(float f, float origin, int64_t* out) {
  const float p = f - origin;
  if (!(p >= -kFarthest && p <= kFarthest)) return false;  // NaN fails too
  const float q = p * float(kSub);
  *out = int64_t(q + (q < 0.0f ? -0.5f : 0.5f));  // nearest, without a call into the maths library
  return true;
}

void triangle(const RasterImage& dst, float ox, float oy, const StageVertex* t0, const StageVertex* t1,
              const StageVertex* t2, const RasterImage* texture) {
  int64_t x[3], y[3];
  const StageVertex* tv[3] = {t0, t1, t2};
  for (int k = 0; k < 3; ++k)
    if (!snap(tv[k]->x, ox, &x[k]) || !snap(tv[k]->y, oy, &y[k])) return;
  const int64_t area = (x[1] - x[0]) * (y[2] - y[0]) - (y[1] - y[0]) * (x[2] - x[0]);
  if (area == 0) return;
  if (area < 0) std::swap(x[1], x[2]), std::swap(y[1], y[2]), std::swap(tv[1], tv[2]);  // one winding for all

  // Rows whose centres lie within the triangle's height, inside the image.
  const int64_t y_min = std::min({y[0], y[1], y[2]}), y_max = std::max({y[0], y[1], y[2]});
  const int64_t row_first = std::max<int64_t>(0, ceil_div(y_min - kHalf, kSub));
  const int64_t row_last = std::min<int64_t>(dst.h - 1, floor_div(y_max - kHalf, kSub));
  if (row_first > row_last) return;

  const StageVertex& a = *tv[0];
  const StageVertex& b = *tv[1];
  const StageVertex& c = *tv[2];
  Shading s{};
  s.textured = texture && texture->px && texture->w > 0 && texture->h > 0;
  s.rgb_varies = !(a.r == b.r && a.r == c.r && a.g == b.g && a.g == c.g && a.b == b.b && a.b == c.b);
  s.alpha_varies = !(a.a == b.a && a.a == c.a);
  s.rgb = (uint32_t(a.r) << 16) | (uint32_t(a.g) << 8) | a.b;
  s.alpha = a.a;
  if (!s.alpha_varies && s.alpha == 0) return;  // blends to what is there
  const float x0 = float(x[0]) / kSub, y0 = float(y[0]) / kSub;
  const float e1x = float(x[1] - x[0]) / kSub, e1y = float(y[1] - y[0]) / kSub;
  const float e2x = float(x[2] - x[0]) / kSub, e2y = float(y[2] - y[0]) / kSub;
  const float per_area = 1.0f / (e1x * e2y - e2x * e1y);
  auto plane = [&](float f0, float f1, float f2) {
    const float g1 = f1 - f0, g2 = f2 - f0;
    const float dx = (g1 * e2y - g2 * e1y) * per_area, dy = (g2 * e1x - g1 * e2x) * per_area;
    return Plane{f0 - dx * x0 - dy * y0, dx, dy};
  };
  if (s.rgb_varies) {
    s.r = plane(a.r, b.r, c.r);
    s.g = plane(a.g, b.g, c.g);
    s.b = plane(a.b, b.b, c.b);
  }
  if (s.alpha_varies) s.a = plane(a.a, b.a, c.a);
  if (s.textured) {
    const float tw = float(texture->w), th = float(texture->h);
    s.u = plane(a.u * tw, b.u * tw, c.u * tw);
    s.v = plane(a.v * th, b.v * th, c.v * th);
  }
  const SpanFn fill = span_for(s);

  // Edges that bound a row's first pixel, its last, and a level one, which only keeps or drops a
  // row. Two of the first kind and two of the last, the missing ones bounding nothing, so the
  // row's loop has no count to mispredict.
  const int64_t py = row_first * kSub + kHalf;
  constexpr int64_t kUnbounded = int64_t(1) << 40;
  const Edge none{0, 0, 0, 0, kUnbounded, 0, 0, 0, 1};
  Edge first[2] = {none, none}, last[2] = {none, none}, level{0, 0, 0, 0, 0, 0, 0, 0, 1};
  int firsts = 0, lasts = 0;
  for (int k = 0; k < 3; ++k) {
    const Edge e = edge(x[k], y[k], x[(k + 1) % 3], y[(k + 1) % 3], py);
    if (e.dy < 0) first[firsts++] = e;
    else if (e.dy > 0) last[lasts++] = e;
    else level = e;
  }
  const int64_t right = dst.w - 1;
  for (int64_t row = row_first; row <= row_last; ++row) {
    const int64_t lo = std::max({int64_t(0), -first[0].q, -first[1].q});
    int64_t hi = std::min({right, last[0].q, last[1].q});
    if (level.k < level.tie) hi = -1;
    step_row(&first[0]), step_row(&first[1]), step_row(&last[0]), step_row(&last[1]);
    level.k += level.dx * kSub;
    if (lo > hi) continue;
    uint32_t* p = dst.px + size_t(row) * size_t(dst.pitch) + size_t(lo);
    fill(p, int(hi - lo + 1), float(lo) + 0.5f, float(row) + 0.5f, s, texture);
  }
}

}  // namespace

void raster_triangles(const RasterImage& dst, float origin_x, float origin_y, const StageVertex* v, int count,
                      const RasterImage* texture) {
  if (!dst.px || dst.w <= 0 || dst.h <= 0 || !v) return;
  for (int i = 0; i + 3 <= count; i += 3) triangle(dst, origin_x, origin_y, &v[i], &v[i + 1], &v[i + 2], texture);
}
