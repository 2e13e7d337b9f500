// The trigger equaliser's wavefront against a plain frame-by-frame cascade in double precision:
// every vector width, every order, blocks of every awkward length (shorter than the cascade,
// exactly its length, one longer, the largest), and state carried across blocks.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "capture/detector_eq.h"

namespace {

// The straightforward cascade: high-pass stages y = a(y' + x - x'), low-pass stages
// s += b(x - s), then the band biquad, one frame at a time.
struct Reference {
  double hx[12][2] = {}, hy[12][2] = {}, ls[12][2] = {};
  double bx1[2] = {}, bx2[2] = {}, by1[2] = {}, by2[2] = {};
  double run(const EqCoefficients& c, int hpf_n, int lpf_n, double l, double r) {
    double x[2] = {l, r};
    for (int ch = 0; ch < 2; ++ch) {
      double v = x[ch];
      for (int k = 0; k < hpf_n; ++k) {
        const double a = c.p[k];
        const double y = a * (hy[k][ch] + v - hx[k][ch]);
        hx[k][ch] = v, hy[k][ch] = y, v = y;
      }
      for (int k = 0; k < lpf_n; ++k) {
        const double b = c.q[kEqMaxOrder + k];
        ls[k][ch] += b * (v - ls[k][ch]);
        v = ls[k][ch];
      }
      if (c.band) {
        const double y = c.b0 * v + c.b2 * bx2[ch] - c.a1 * by1[ch] - c.a2 * by2[ch];
        bx2[ch] = bx1[ch], bx1[ch] = v, by2[ch] = by1[ch], by1[ch] = y, v = y;
      }
      x[ch] = v;
    }
    return std::max(std::fabs(x[0]), std::fabs(x[1]));
  }
};

std::vector<float> noise(int n, uint32_t seed) {
  std::vector<float> v(static_cast<size_t>(n));
  for (float& x : v) {
    seed = seed * 1664525u + 1013904223u;
    x = 0.5f * float(int32_t(seed)) / 2147483648.0f;
  }
  return v;
}

}  // namespace

TEST(TriggerEq, WavefrontMatchesAPlainCascadeAtEveryWidthAndBlockLength) {
  const int total = 6000;
  auto left = noise(total, 1), right = noise(total, 2);
  struct Setting {
    float hpf, lpf, peak;
    int hpf_n, lpf_n;
  } settings[] = {{120, 9000, 2500, 12, 12}, {300, 0, 0, 5, 12}, {0, 4000, 0, 12, 3}, {60, 15000, 800, 1, 1},
                  {0, 0, 1000, 12, 12}};
  const int lengths[] = {1, 7, 23, 24, 25, 256, 4096};
  for (int width : {4, 8, 16}) {
    if (width > eq_widest_lanes()) continue;
    eq_use_lanes(width);
    for (const Setting& set : settings) {
      EqCoefficients c;
      eq_coefficients(&c, set.hpf, set.hpf_n, set.lpf, set.lpf_n, set.peak, 1.5f, 48000);
      const int hpf_n = set.hpf >= 1 ? set.hpf_n : 0, lpf_n = set.lpf >= 1 ? set.lpf_n : 0;
      EqState s{};
      Reference ref;
      std::vector<float> scratch(2 * 4096), det(4096);
      int at = 0, which = 0;
      double worst = 0;
      while (at < total) {
        const int n = std::min(lengths[which++ % 7], total - at);
        eq_detect(&s, c, left.data() + at, right.data() + at, 0.8f, n, scratch.data(), det.data());
        for (int i = 0; i < n; ++i) {
          const double want = ref.run(c, hpf_n, lpf_n, 0.8 * left[size_t(at + i)], 0.8 * right[size_t(at + i)]);
          worst = std::max(worst, std::fabs(det[size_t(i)] - want));
        }
        at += n;
      }
      EXPECT_LT(worst, 2e-5) << "width " << width << " hpf " << set.hpf << " lpf " << set.lpf;
    }
  }
  eq_use_lanes(eq_widest_lanes());
}

TEST(TriggerEq, CoefficientsSwitchFiltersAndClampTheirRanges) {
  EqCoefficients c;
  eq_coefficients(&c, 0.5f, 12, 0.9f, 12, 0.99f, 2, 48000);  // all under 1 Hz: off
  EXPECT_FALSE(c.cascade);
  EXPECT_FALSE(c.band);
  eq_coefficients(&c, 100, 40, 0, -3, 0, 2, 48000);  // order clamped to 12
  EXPECT_TRUE(c.cascade);
  EXPECT_EQ(c.q[11], c.p[11]);
  EXPECT_EQ(c.p[12], 0.0f);  // the low-pass is off: its stages pass through
  EXPECT_EQ(c.q[12], 1.0f);
  eq_coefficients(&c, 0, 12, 100, 0, 0, 2, 48000);  // order clamped to 1
  EXPECT_EQ(c.q[12 + 1], 1.0f);
  EXPECT_LT(c.q[12], 1.0f);
  // A band centre above 0.45 x rate and a Q under 0.3 are held at their limits.
  EqCoefficients hi, held;
  eq_coefficients(&hi, 0, 12, 0, 12, 30000, 0.01f, 48000);
  eq_coefficients(&held, 0, 12, 0, 12, 21600, 0.3f, 48000);
  EXPECT_FLOAT_EQ(hi.b0, held.b0);
  EXPECT_FLOAT_EQ(hi.a1, held.a1);
}
