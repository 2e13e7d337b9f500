// Real-input forward transforms of 1024 and 8192 points through FFTW (single precision), shared by
// the analysers. Plans are made once per process under one planner lock; running a made plan is
// thread-safe and allocates nothing.
#pragma once
#include <mutex>

constexpr int kFftSmall = 1024;  // tempo hops
constexpr int kFftLarge = 8192;  // spectrum rows and key chroma

// FFTW's planner is not thread-safe: every plan made or destroyed in this program holds this lock.
std::mutex& fftw_planner_mutex();

// Makes the plans for both sizes, once per process. Any thread but the audio thread; the first
// call allocates and takes about a millisecond. 0, or -1 when FFTW could not make a plan.
int fft_prepare();

// Forward transform of n real samples (n = kFftSmall or kFftLarge): out_re[k] and out_im[k] for
// k = 0 … n/2 (so both outputs hold n/2 + 1 values). The three arrays must not overlap; input is
// left as it was. Thread-safe and allocation-free once fft_prepare has run (otherwise the first
// call plans). 0, or -1 for another size or when no plan could be made.
int fft_real_forward(int n, const float* in, float* out_re, float* out_im);
