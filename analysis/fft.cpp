// The process-wide FFTW plans of analysis/: made lazily under the planner lock, then only read.
#include "analysis/fft.h"

#include <fftw3.h>

#include <atomic>

#include "config/log.h"

namespace {

// One plan for arrays with FFTW's preferred (SIMD) alignment and one for any alignment, per size.
struct SizePlans {
  fftwf_plan aligned;
  fftwf_plan unaligned;
};

SizePlans g_small;
SizePlans g_large;
std::atomic<int> g_state{0};  // 0 not tried, 1 ready, -1 failed; written under the planner lock

fftwf_plan make_plan(int n, unsigned extra_flags) {
  // Planned on scratch arrays from fftwf_malloc; executed later on the callers' arrays through
  // the new-array interface, which only asks for the same alignment class and out-of-place use.
  float* in = static_cast<float*>(fftwf_malloc(sizeof(float) * n));
  float* re = static_cast<float*>(fftwf_malloc(sizeof(float) * (n / 2 + 1)));
  float* im = static_cast<float*>(fftwf_malloc(sizeof(float) * (n / 2 + 1)));
  fftwf_plan plan = nullptr;
  if (in && re && im) {
    fftwf_iodim dim{n, 1, 1};
    // Estimate, not measure: instant, and the same algorithm on every run, so results repeat.
    plan = fftwf_plan_guru_split_dft_r2c(1, &dim, 0, nullptr, in, re, im,
                                         FFTW_ESTIMATE | FFTW_PRESERVE_INPUT | extra_flags);
  }
  fftwf_free(in);
  fftwf_free(re);
  fftwf_free(im);
  return plan;
}

bool make_size(SizePlans* p, int n) {
  p->aligned = make_plan(n, 0);
  p->unaligned = make_plan(n, FFTW_UNALIGNED);
  if (p->aligned && p->unaligned) return true;
  log_line("analysis: fftw could not plan a %d-point transform", n);
  return false;
}

}  // namespace

std::mutex& fftw_planner_mutex() {
  static std::mutex m;
  return m;
}

int fft_prepare() {
  int state = g_state.load(std::memory_order_acquire);
  if (state != 0) return state > 0 ? 0 : -1;
  std::lock_guard<std::mutex> lock(fftw_planner_mutex());
  state = g_state.load(std::memory_order_relaxed);
  if (state == 0) {
    bool ok = make_size(&g_small, kFftSmall) && make_size(&g_large, kFftLarge);
    state = ok ? 1 : -1;
    g_state.store(state, std::memory_order_release);
  }
  return state > 0 ? 0 : -1;
}

int fft_real_forward(int n, const float* in, float* out_re, float* out_im) {
  if (fft_prepare() != 0) return -1;
  const SizePlans* p = n == kFftSmall ? &g_small : n == kFftLarge ? &g_large : nullptr;
  if (!p) return -1;
  // FFTW_PRESERVE_INPUT: the input is only read, whatever the signature says.
  float* src = const_cast<float*>(in);
  bool aligned = fftwf_alignment_of(src) == 0 && fftwf_alignment_of(out_re) == 0 &&
                 fftwf_alignment_of(out_im) == 0;
  fftwf_execute_split_dft_r2c(aligned ? p->aligned : p->unaligned, src, out_re, out_im);
  return 0;
}
