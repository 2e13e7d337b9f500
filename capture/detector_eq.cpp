// The cascade runs as a wavefront: at step t, stage k works on frame t - k, so all 24 stages of
// both channels advance together in vector lanes instead of one long chain per frame. Each block starts and ends with a flat front (every stage
// has seen every earlier frame), so the first and last 23 steps of a block are masked.
#include "capture/detector_eq.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <utility>

namespace {

// W lanes per vector: W / 2 stages, left and right. 48 lanes hold the whole cascade.
template <int W>
struct Lanes {
  typedef float V __attribute__((vector_size(4 * W)));
  typedef int32_t I __attribute__((vector_size(4 * W)));
  static constexpr int kVectors = 2 * kEqCascadeStages / W;
};

// Lanes [a[W-2], a[W-1], b[0] .. b[W-3]]: each stage's input is the previous stage's output.
template <int W, typename V, int... L>
inline __attribute__((always_inline)) V shift(V a, V b, std::integer_sequence<int, L...>) {
  return __builtin_shufflevector(a, b, (L + W - 2)...);
}

// Lanes [in[0], in[1], y[0] .. y[W-3]]: the new frame enters stage 0.
template <int W, typename V, int... L>
inline __attribute__((always_inline)) V shift_in(V in, V y, std::integer_sequence<int, L...>) {
  return __builtin_shufflevector(in, y, (L < 2 ? L : L + W - 2)...);
}

// Lane masks: row m is all ones for the lanes of stages 0 .. m-1.
struct StageMasks {
  alignas(64) int32_t row[kEqCascadeStages + 1][2 * kEqCascadeStages];
  constexpr StageMasks() : row{} {
    for (int m = 0; m <= kEqCascadeStages; ++m)
      for (int lane = 0; lane < 2 * kEqCascadeStages; ++lane) row[m][lane] = lane / 2 < m ? -1 : 0;
  }
};
constexpr StageMasks kStageMasks;

// The lane state of the cascade during a block.
template <int W>
struct Cascade {
  using V = typename Lanes<W>::V;
  static constexpr int NV = Lanes<W>::kVectors;
  V y[NV], u[NV], P[NV], Q[NV], R[NV];
};

// One step: stage k works on frame t - k. With a mask only stages lo..hi move (the fill and
// drain at the ends of a block). The shifted input enters last, so a step costs one shuffle and
// one fused multiply-add of latency.
template <int W, bool kMasked>
inline __attribute__((always_inline)) void cascade_step(Cascade<W>& a, float in_l, float in_r, int lo, int hi) {
  // Stages lo..hi move: rows hi + 1 and lo of the mask table.
  using V = typename Lanes<W>::V;
  using I = typename Lanes<W>::I;
  constexpr int NV = Lanes<W>::kVectors;
  constexpr auto seq = std::make_integer_sequence<int, W>{};
  V in{};
  in[0] = in_l, in[1] = in_r;
  V next_u[NV], next_y[NV];
  next_u[0] = shift_in<W>(in, a.y[0], seq);
#pragma GCC unroll 16
  for (int v = 1; v < NV; ++v) next_u[v] = shift<W>(a.y[v - 1], a.y[v], seq);
#pragma GCC unroll 16
  for (int v = 0; v < NV; ++v) next_y[v] = a.Q[v] * next_u[v] + (a.P[v] * a.y[v] + a.R[v] * a.u[v]);
#pragma GCC unroll 16
  for (int v = 0; v < NV; ++v) {
    if constexpr (kMasked) {
      I upto, below;
      memcpy(&upto, &kStageMasks.row[std::min(hi + 1, kEqCascadeStages)][v * W], sizeof(I));
      memcpy(&below, &kStageMasks.row[std::max(lo, 0)][v * W], sizeof(I));
      const I on = upto & ~below;
      a.y[v] = on ? next_y[v] : a.y[v];
      a.u[v] = on ? next_u[v] : a.u[v];
    } else {
      a.y[v] = next_y[v];
      a.u[v] = next_u[v];
    }
  }
}

template <int W>
inline __attribute__((always_inline)) void cascade_lanes(EqState* s, const EqCoefficients& c, const float* left,
                                                         const float* right, float gain, int n, float* out) {
  using V = typename Lanes<W>::V;
  constexpr int NV = Lanes<W>::kVectors;
  Cascade<W> a;
  for (int v = 0; v < NV; ++v) {
    memcpy(&a.y[v], &s->y[0][0] + v * W, sizeof(V));
    memcpy(&a.u[v], &s->u[0][0] + v * W, sizeof(V));
    for (int l = 0; l < W; ++l) {
      const int k = (v * W + l) / 2;
      a.P[v][l] = c.p[k], a.Q[v][l] = c.q[k], a.R[v][l] = c.r[k];
    }
  }
  constexpr int last = kEqCascadeStages - 1;
  int t = 0;
  for (; t < last && t < n; ++t) cascade_step<W, true>(a, gain * left[t], gain * right[t], t - n + 1, t);
  for (; t < n; ++t) {
    cascade_step<W, false>(a, gain * left[t], gain * right[t], 0, 0);
    out[2 * (t - last)] = a.y[NV - 1][W - 2], out[2 * (t - last) + 1] = a.y[NV - 1][W - 1];
  }
  for (; t < n + last; ++t) {
    cascade_step<W, true>(a, 0.0f, 0.0f, t - n + 1, t);
    if (t >= last) out[2 * (t - last)] = a.y[NV - 1][W - 2], out[2 * (t - last) + 1] = a.y[NV - 1][W - 1];
  }
  for (int v = 0; v < NV; ++v) {
    memcpy(&s->y[0][0] + v * W, &a.y[v], sizeof(V));
    memcpy(&s->u[0][0] + v * W, &a.u[v], sizeof(V));
  }
}

// The envelope of the detector level, when one is asked for: instant attack, `release` per frame.
struct Follow {
  float release;
  float* env;  // carried from block to block
  float* out;  // per frame
};

// The band filter and the detector level after the cascade, and the envelope of that level. The
// feedback term enters last so each frame's dependency is one fused multiply-add where the
// processor has one; the envelope's chain of multiplies runs beside it.
template <bool kFollow>
inline __attribute__((always_inline)) void band_and_level(EqState* s, const EqCoefficients& c, int frames,
                                                          const float* in, float* detect, const Follow& f) {
  float env = kFollow ? *f.env : 0.0f;
  if (!c.band) {
    if (!kFollow) {
      for (int i = 0; i < frames; ++i) detect[i] = std::max(std::fabs(in[2 * i]), std::fabs(in[2 * i + 1]));
      return;
    }
    for (int i = 0; i < frames; ++i) {
      const float d = std::max(std::fabs(in[2 * i]), std::fabs(in[2 * i + 1]));
      detect[i] = d;
      env = d > env ? d : env * f.release;
      f.out[i] = env;
    }
    *f.env = env;
    return;
  }
  float x1l = s->band_x1[0], x2l = s->band_x2[0], y1l = s->band_y1[0], y2l = s->band_y2[0];
  float x1r = s->band_x1[1], x2r = s->band_x2[1], y1r = s->band_y1[1], y2r = s->band_y2[1];
  for (int i = 0; i < frames; ++i) {
    const float xl = in[2 * i], xr = in[2 * i + 1];
    const float yl = (c.b0 * xl + c.b2 * x2l - c.a2 * y2l) - c.a1 * y1l;
    const float yr = (c.b0 * xr + c.b2 * x2r - c.a2 * y2r) - c.a1 * y1r;
    x2l = x1l, x1l = xl, y2l = y1l, y1l = yl;
    x2r = x1r, x1r = xr, y2r = y1r, y1r = yr;
    const float d = std::max(std::fabs(yl), std::fabs(yr));
    detect[i] = d;
    if (kFollow) {
      env = d > env ? d : env * f.release;
      f.out[i] = env;
    }
  }
  if (kFollow) *f.env = env;
  s->band_x1[0] = x1l, s->band_x2[0] = x2l, s->band_y1[0] = y1l, s->band_y2[0] = y2l;
  s->band_x1[1] = x1r, s->band_x2[1] = x2r, s->band_y1[1] = y1r, s->band_y2[1] = y2r;
}

template <int W>
inline __attribute__((always_inline)) void detect_lanes(EqState* s, const EqCoefficients& c, const float* left,
                                                        const float* right, float gain, int frames, float* scratch,
                                                        float* detect, const Follow* f) {
  if (c.cascade) {
    cascade_lanes<W>(s, c, left, right, gain, frames, scratch);
  } else {
    for (int i = 0; i < frames; ++i) scratch[2 * i] = gain * left[i], scratch[2 * i + 1] = gain * right[i];
  }
  if (f) band_and_level<true>(s, c, frames, scratch, detect, *f);
  else band_and_level<false>(s, c, frames, scratch, detect, Follow{});
}

using DetectFn = void (*)(EqState*, const EqCoefficients&, const float*, const float*, float, int, float*, float*,
                          const Follow*);

void detect4(EqState* s, const EqCoefficients& c, const float* l, const float* r, float g, int n, float* scratch,
             float* det, const Follow* f) {
  detect_lanes<4>(s, c, l, r, g, n, scratch, det, f);
}

#if defined(__x86_64__)
__attribute__((target("avx2,fma"))) void detect8(EqState* s, const EqCoefficients& c, const float* l, const float* r,
                                                 float g, int n, float* scratch, float* det, const Follow* f) {
  detect_lanes<8>(s, c, l, r, g, n, scratch, det, f);
}

__attribute__((target("avx512f,avx512vl,avx512dq,avx512bw,fma"))) void detect16(EqState* s, const EqCoefficients& c,
                                                                               const float* l, const float* r,
                                                                               float g, int n, float* scratch,
                                                                               float* det, const Follow* f) {
  detect_lanes<16>(s, c, l, r, g, n, scratch, det, f);
}
#endif

// The widest vector unit this processor has, chosen once.
std::atomic<DetectFn> g_detect{nullptr};

DetectFn detect_for(int width) {
#if defined(__x86_64__)
  if (width == 16) return detect16;
  if (width == 8) return detect8;
#endif
  (void)width;
  return detect4;
}

}  // namespace

int eq_widest_lanes() {
#if defined(__x86_64__)
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512dq") &&
      __builtin_cpu_supports("avx512bw"))
    return 16;
  if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) return 8;
#endif
  return 4;
}

void eq_use_lanes(int width) { g_detect.store(detect_for(width), std::memory_order_relaxed); }

void eq_coefficients(EqCoefficients* c, float hpf_hz, int hpf_order, float lpf_hz, int lpf_order, float peak_hz,
                     float peak_q, double rate) {
  const double kTwoPi = 6.283185307179586;
  for (int k = 0; k < kEqCascadeStages; ++k) c->p[k] = 0.0f, c->q[k] = 1.0f, c->r[k] = 0.0f;
  c->cascade = false;
  if (hpf_hz >= 1.0f) {
    const int n = std::clamp(hpf_order, 1, kEqMaxOrder);
    const float a = float(std::exp(-kTwoPi * hpf_hz * std::sqrt(std::pow(2.0, 1.0 / n) - 1.0) / rate));
    for (int k = 0; k < n; ++k) c->p[k] = a, c->q[k] = a, c->r[k] = -a;
    c->cascade = true;
  }
  if (lpf_hz >= 1.0f) {
    const int n = std::clamp(lpf_order, 1, kEqMaxOrder);
    const double f = std::min(lpf_hz / std::sqrt(std::pow(2.0, 1.0 / n) - 1.0), 0.45 * rate);
    const float b = float(1.0 - std::exp(-kTwoPi * f / rate));
    for (int k = 0; k < n; ++k) c->p[kEqMaxOrder + k] = 1.0f - b, c->q[kEqMaxOrder + k] = b;
    c->cascade = true;
  }
  c->band = peak_hz >= 1.0f;
  if (c->band) {
    const double w = kTwoPi * std::min(double(peak_hz), 0.45 * rate) / rate;
    const double alpha = std::sin(w) / (2.0 * std::max(double(peak_q), 0.3));
    const double a0 = 1.0 + alpha;
    c->b0 = float(alpha / a0);
    c->b2 = float(-alpha / a0);
    c->a1 = float(-2.0 * std::cos(w) / a0);
    c->a2 = float((1.0 - alpha) / a0);
  }
}

namespace {

DetectFn current_detect() {
  DetectFn f = g_detect.load(std::memory_order_relaxed);
  if (!f) {
    f = detect_for(eq_widest_lanes());
    g_detect.store(f, std::memory_order_relaxed);
  }
  return f;
}

}  // namespace

void eq_detect(EqState* s, const EqCoefficients& c, const float* left, const float* right, float gain, int frames,
               float* scratch, float* detect) {
  current_detect()(s, c, left, right, gain, frames, scratch, detect, nullptr);
}

void eq_detect_follow(EqState* s, const EqCoefficients& c, const float* left, const float* right, float gain,
                      int frames, float* scratch, float* detect, float release, float* envelope,
                      float* envelope_out) {
  const Follow f{release, envelope, envelope_out};
  current_detect()(s, c, left, right, gain, frames, scratch, detect, &f);
}
