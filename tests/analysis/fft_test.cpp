// The shared transforms: values against a plain DFT at both sizes, arrays of any alignment, and
// plans made from several threads at once.
#include <gtest/gtest.h>

#include <cmath>
#include <thread>
#include <vector>

#include "analysis/fft.h"

namespace {

// Largest difference between fft_real_forward and a direct DFT over a few bins, relative to the
// largest magnitude. `shift` floats of offset move every array off FFTW's preferred alignment.
double worst_error(int n, int shift) {
  std::vector<float> in(n + shift), re(n / 2 + 1 + shift, -1.0f), im(n / 2 + 1 + shift, -1.0f);
  for (int i = 0; i < n; ++i) in[i + shift] = float(std::sin(i * 0.37) + 0.1 * (i % 7) - 0.3);
  EXPECT_EQ(fft_real_forward(n, in.data() + shift, re.data() + shift, im.data() + shift), 0);
  double worst = 0;
  for (int k : {0, 1, 2, 17, n / 8, n / 4 + 3, n / 2 - 1, n / 2}) {
    double sr = 0, si = 0;
    for (int i = 0; i < n; ++i) {
      sr += in[i + shift] * std::cos(2 * M_PI * double(k) * i / n);
      si -= in[i + shift] * std::sin(2 * M_PI * double(k) * i / n);
    }
    // Sign conventions do not matter to the callers; magnitudes and the real part do.
    worst = std::max(worst, std::fabs(sr - re[k + shift]) / n);
    worst = std::max(worst, std::fabs(std::fabs(si) - std::fabs(im[k + shift])) / n);
  }
  return worst;
}

}  // namespace

TEST(Fft, MatchesADirectTransformAtAnyAlignment) {
  ASSERT_EQ(fft_prepare(), 0);
  for (int n : {kFftSmall, kFftLarge}) {
    for (int shift : {0, 1, 3}) EXPECT_LT(worst_error(n, shift), 1e-5) << n << " shift " << shift;
  }
  std::vector<float> buf(4096);
  EXPECT_EQ(fft_real_forward(2048, buf.data(), buf.data(), buf.data()), -1);
}

TEST(Fft, PlansMadeFromSeveralThreadsAtOnce) {
  // The first use races on purpose: every thread must get working plans and the same answers.
  std::vector<double> errors(4, 1.0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&errors, t] { errors[t] = worst_error(t % 2 ? kFftLarge : kFftSmall, t); });
  for (auto& th : threads) th.join();
  for (double e : errors) EXPECT_LT(e, 1e-5);
}
