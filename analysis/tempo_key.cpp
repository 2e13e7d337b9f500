// Tempo and key analysis: per-hop onset strength and chroma, then the tempo search (thresholded
// onset autocorrelation, pulse-train refinement) and key correlation. Main thread only.
#include "analysis/tempo_key.h"

#include <fftw3.h>

#include <algorithm>
#include <cmath>
#include <numbers>

#include "analysis/fft.h"
#include "platform/text.h"

namespace {

constexpr int kHopBins = kFftSmall / 2;  // prev_spectrum length
constexpr int kChromaEvery = 16;         // hops between chroma transforms
constexpr double kChromaLowHz = 55.0;
constexpr double kChromaHighHz = 2000.0;
constexpr double kMinBpm = 70.0, kMaxBpm = 180.0, kCentreBpm = 120.0;
constexpr double kTempoSpread = 0.3025;  // 0.55 squared, in octaves
constexpr double kTiny = 1e-9;

// Krumhansl-Kessler key profiles, tonic first.
constexpr double kMajorProfile[12] = {6.35, 2.23, 3.48, 2.33, 4.38, 4.09,
                                      2.52, 5.19, 2.39, 3.66, 2.29, 2.88};
constexpr double kMinorProfile[12] = {6.33, 2.68, 3.52, 5.38, 2.60, 3.53,
                                      2.54, 4.75, 3.98, 2.69, 3.34, 3.17};

constexpr const char* kKeyNames[kKeyCount] = {
    "C MAJ", "C# MAJ", "D MAJ", "D# MAJ", "E MAJ", "F MAJ", "F# MAJ", "G MAJ",
    "G# MAJ", "A MAJ", "A# MAJ", "B MAJ", "C MIN", "C# MIN", "D MIN", "D# MIN",
    "E MIN", "F MIN", "F# MIN", "G MIN", "G# MIN", "A MIN", "A# MIN", "B MIN"};

template <typename T>
T* alloc_array(int64_t count) {
  return static_cast<T*>(fftwf_malloc(sizeof(T) * size_t(count)));
}

void fill_hann(float* w, int n) {
  for (int i = 0; i < n; ++i)
    w[i] = float(0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * i / (n - 1)));
}

AudioBuffer analysed_view(const TempoKeyAnalyser* a) {
  // Frames past the analysed length read 0, so the view ends there, not at the buffer's end.
  return AudioBuffer{a->channels, a->rate, a->frames, const_cast<float*>(a->samples)};
}

void load_windowed(const TempoKeyAnalyser* a, int64_t start, int n, const float* window) {
  AudioBuffer view = analysed_view(a);
  for (int i = 0; i < n; ++i) a->fft_in[i] = audio_buffer_mono(view, start + i) * window[i];
}

void add_chroma(TempoKeyAnalyser* a, int64_t start) {
  load_windowed(a, start, kFftLarge, a->window_8192);
  fft_real_forward(kFftLarge, a->fft_in, a->fft_re, a->fft_im);
  double bin_hz = a->rate / kFftLarge;
  int64_t first = 1 + int64_t(std::floor(kChromaLowHz / bin_hz));
  int64_t end = std::min<int64_t>(int64_t(std::floor(kChromaHighHz / bin_hz)), kFftLarge / 2);
  for (int64_t j = first; j < end; ++j) {
    int64_t note = int64_t(std::floor(12.0 * std::log2(j * bin_hz / 440.0) + 69.0 + 0.5));
    int pc = int(((note % 12) + 12) % 12);
    a->chroma[pc] += std::sqrt(double(a->fft_re[j]) * a->fft_re[j] + double(a->fft_im[j]) * a->fft_im[j]);
  }
}

void process_hop(TempoKeyAnalyser* a) {
  int64_t h = a->hops_done;
  int64_t start = h * kTempoHop;
  load_windowed(a, start, kFftSmall, a->window_1024);
  fft_real_forward(kFftSmall, a->fft_in, a->fft_re, a->fft_im);
  float rise = 0;
  for (int k = 1; k < kHopBins; ++k) {
    float m = std::sqrt(a->fft_re[k] * a->fft_re[k] + a->fft_im[k] * a->fft_im[k]);
    float c = std::log1p(m * 200.0f / 512.0f);
    float d = c - a->prev_spectrum[k];
    if (d > 0) rise += d;
    a->prev_spectrum[k] = c;
  }
  a->novelty[h] = h == 0 ? 0.0f : rise;  // hop 0 has nothing to rise from
  if (h % kChromaEvery == 0 && a->frames >= start + kFftLarge) add_chroma(a, start);
  a->hops_done = h + 1;
}

// Mean onset strength read along a pulse train, by linear interpolation between hops.
double pulse_score(const float* v, int64_t n, double period, double phase) {
  double sum = 0;
  int64_t count = 0;
  for (int64_t m = 0;; ++m) {
    double x = phase + m * period;
    if (x >= double(n - 1)) break;
    ++count;
    if (x < 0) continue;
    int64_t i = int64_t(x);
    double t = x - double(i);
    sum += v[i] * (1.0 - t) + v[i + 1] * t;
  }
  return count ? sum / double(count) : 0.0;
}

// Autocorrelation of the onsets about a lag, one hop either side included:
// A(lag - 1) + A(lag) + A(lag + 1), read as v against its three-hop sums u (n + 1 values).
// A beat period that falls between two hops (150 BPM is 37.5 hops at 48 kHz) splits its onsets
// over the two neighbouring lags; read at one lag it scores half and loses to the doubled
// period, so clean 140-165 BPM pulses came out at half tempo.
double lag_energy(const float* v, const double* u, int64_t n, int64_t lag) {
  double s0 = 0, s1 = 0, s2 = 0, s3 = 0;  // four chains, so the adds overlap
  int64_t i = 0;
  for (; i + 3 + lag <= n; i += 4) {
    s0 += v[i] * u[i + lag];
    s1 += v[i + 1] * u[i + 1 + lag];
    s2 += v[i + 2] * u[i + 2 + lag];
    s3 += v[i + 3] * u[i + 3 + lag];
  }
  for (; i + lag <= n; ++i) s0 += v[i] * u[i + lag];
  return (s0 + s1) + (s2 + s3);
}

void estimate_tempo(TempoKeyAnalyser* a) {
  int64_t n = a->hops_total;
  double f = a->rate / kTempoHop;  // hops per second
  double per_minute = 60.0 * f;
  if (double(n) < std::floor(4.0 * f)) return;  // under four seconds
  int64_t lag_min = int64_t(std::floor(per_minute / kMaxBpm));
  if (lag_min <= 1) return;
  int64_t lag_max = 1 + int64_t(std::floor(per_minute / kMinBpm));
  int64_t half = int64_t(std::floor(0.4 * f));

  // Adaptive threshold against the local mean; the prefix sums hold the old values, so
  // replacing in place still computes every value from the unthresholded ones.
  float* v = a->novelty;
  double* sum = a->novelty_sum;
  sum[0] = 0;
  for (int64_t j = 0; j < n; ++j) sum[j + 1] = sum[j] + v[j];
  double energy = 0, total = 0;
  for (int64_t j = 0; j < n; ++j) {
    int64_t lo = std::max<int64_t>(0, j - half), hi = std::min<int64_t>(n - 1, j + half);
    double mean = (sum[hi + 1] - sum[lo]) / double(hi - lo + 1);
    v[j] = float(std::max(0.0, v[j] - 1.1 * mean));
    energy += double(v[j]) * v[j];
    total += v[j];
  }
  if (!(energy > kTiny) || lag_max < lag_min) return;
  double* u = a->novelty_sum;  // the prefix sums are spent: reuse them for the three-hop sums
  for (int64_t j = 0; j <= n; ++j)
    u[j] = (j > 0 ? double(v[j - 1]) : 0.0) + (j < n ? double(v[j]) : 0.0) + (j + 1 < n ? double(v[j + 1]) : 0.0);

  int64_t best_lag = 0;
  double best_weight = 0;  // only a lag scoring above 0 counts
  for (int64_t lag = lag_min; lag <= lag_max && 2 * lag < n; ++lag) {
    double s = 0;
    for (int k = 1; k <= 4 && k * lag < n; ++k)
      s += lag_energy(v, u, n, k * lag) / double(n - k * lag) / k;
    // Every multiple of a beat period is also one of twice that period, so the two score alike and
    // the tempo preference alone would halve every beat faster than about 170 BPM. What tells them
    // apart is the midpoint: onsets halfway along this lag mean the beat is the shorter lag, when
    // that is a tempo of the range.
    const int64_t half_lag = (lag + 1) / 2;
    if (half_lag >= lag_min) s -= lag_energy(v, u, n, half_lag) / double(n - half_lag);
    double octaves = std::log2(per_minute / double(lag) / kCentreBpm);
    double weight = s * std::exp(-0.5 * octaves * octaves / kTempoSpread);
    if (weight > best_weight) best_weight = weight, best_lag = lag;  // ties keep the shorter lag
  }
  if (best_lag == 0) return;

  double period = 0, phase = 0, score = -1;
  for (int s = 0; s <= 100; ++s) {
    double p = double(best_lag) - 1.0 + 0.02 * s;
    for (int k = 0; k < 24; ++k) {
      double ph = k * p / 24.0;
      double sc = pulse_score(v, n, p, ph);
      if (sc > score) score = sc, period = p, phase = ph;
    }
  }
  double centre = phase;
  score = -1;
  for (int s = 0; s <= 20; ++s) {
    double ph = centre - period / 24.0 + s * period / 240.0;
    if (ph < 0) ph += period;
    double sc = pulse_score(v, n, period, ph);
    if (sc > score) score = sc, phase = ph;
  }

  double mean = total / double(n);
  double strength = mean > kTiny ? score / mean : 0.0;
  a->result.tempo_confidence = float(std::clamp((strength - 1.5) / 3.0, 0.0, 1.0));
  if (strength >= 2.0 && score >= 0.5) {
    a->result.bpm = float(per_minute / period);
    a->result.first_beat_s = (phase * kTempoHop + kTempoHop) / a->rate;
  }
}

void estimate_key(TempoKeyAnalyser* a) {
  double total = 0;
  for (double c : a->chroma) total += c;
  if (!(total > kTiny)) return;
  double chroma[12], chroma_energy = 0;
  for (int i = 0; i < 12; ++i) {
    chroma[i] = a->chroma[i] - total / 12.0;
    chroma_energy += chroma[i] * chroma[i];
  }
  double profiles[2][12], profile_energy[2] = {0, 0};
  for (int m = 0; m < 2; ++m) {
    const double* src = m == 0 ? kMajorProfile : kMinorProfile;
    double mean = 0;
    for (int k = 0; k < 12; ++k) mean += src[k] / 12.0;
    for (int k = 0; k < 12; ++k) {
      profiles[m][k] = src[k] - mean;
      profile_energy[m] += profiles[m][k] * profiles[m][k];
    }
  }
  double best = -HUGE_VAL, second = -HUGE_VAL;
  int best_key = -1;
  for (int key = 0; key < kKeyCount; ++key) {
    int m = key < 12 ? 0 : 1;
    double score = 0;
    if (chroma_energy > 1e-12) {
      double dot = 0;
      for (int k = 0; k < 12; ++k) dot += profiles[m][k] * chroma[(key + k) % 12];
      score = dot / std::sqrt(chroma_energy * profile_energy[m]);
    }
    if (score > best) {
      second = best;
      best = score;
      best_key = key;  // the first key wins ties
    } else if (score > second) {
      second = score;
    }
  }
  a->result.key_confidence = float(std::max(best, 0.0));
  if (best >= 0.55 && best - second >= 0.02) a->result.key = best_key;
}

}  // namespace

void analyser_start(TempoKeyAnalyser* a, const float* samples, int32_t channels, int64_t frames,
                    double rate) {
  analyser_release(a);
  *a = TempoKeyAnalyser{};
  a->result.key = -1;
  if (!samples || channels <= 0 || frames < kTempoMinFrames || !(rate >= kTempoMinRate) ||
      !std::isfinite(rate) || fft_prepare() != 0) {
    a->result.done = 1;
    return;
  }
  double cap = kTempoMaxSeconds * rate;
  a->samples = samples;
  a->channels = channels;
  a->frames = double(frames) > cap ? int64_t(cap) : frames;
  a->rate = rate;
  a->hops_total = a->frames / kTempoHop;
  a->novelty = alloc_array<float>(a->hops_total + 1);
  a->novelty_sum = alloc_array<double>(a->hops_total + 1);
  a->prev_spectrum = alloc_array<float>(kHopBins);
  a->fft_in = alloc_array<float>(kFftLarge);
  a->fft_re = alloc_array<float>(kFftLarge);
  a->fft_im = alloc_array<float>(kFftLarge);
  a->window_1024 = alloc_array<float>(kFftSmall);
  a->window_8192 = alloc_array<float>(kFftLarge);
  if (!a->novelty || !a->novelty_sum || !a->prev_spectrum || !a->fft_in || !a->fft_re ||
      !a->fft_im || !a->window_1024 || !a->window_8192) {
    analyser_release(a);
    a->result.done = 1;
    return;
  }
  std::fill(a->novelty, a->novelty + a->hops_total + 1, 0.0f);
  std::fill(a->prev_spectrum, a->prev_spectrum + kHopBins, 0.0f);
  fill_hann(a->window_1024, kFftSmall);
  fill_hann(a->window_8192, kFftLarge);
  a->running = 1;
}

void analyser_start(TempoKeyAnalyser* a, const AudioBuffer& buffer) {
  analyser_start(a, buffer.samples, buffer.channels, buffer.frames, buffer.sample_rate);
}

int analyser_step(TempoKeyAnalyser* a, int hops) {
  if (!a->running) return a->result.done;
  for (int i = 0; i < hops && a->hops_done < a->hops_total; ++i) process_hop(a);
  if (a->hops_done < a->hops_total) return 0;
  estimate_tempo(a);
  estimate_key(a);
  analyser_release(a);
  a->result.done = 1;
  return 1;
}

float analyser_progress(const TempoKeyAnalyser* a) {
  if (a->running) return a->hops_total > 0 ? float(double(a->hops_done) / double(a->hops_total)) : 0.0f;
  return a->result.done ? 1.0f : 0.0f;
}

void analyser_release(TempoKeyAnalyser* a) {
  float** floats[] = {&a->novelty, &a->prev_spectrum, &a->fft_in,      &a->fft_re,
                      &a->fft_im,  &a->window_1024,   &a->window_8192};
  for (float** p : floats) {
    fftwf_free(*p);
    *p = nullptr;
  }
  fftwf_free(a->novelty_sum);
  a->novelty_sum = nullptr;
  a->running = 0;
  a->samples = nullptr;
}

const char* key_name(int32_t key) { return key >= 0 && key < kKeyCount ? kKeyNames[key] : ""; }

size_t tempo_visual_text(const TempoKeyAnalyser* a, char* out, size_t cap) {
  if (a->running) return text_format(out, cap, "TEMPO %d%%", int(std::floor(analyser_progress(a) * 100.0f)));
  if (!a->result.done) return text_copy(out, cap, "");
  if (a->result.bpm > 0)
    return text_format(out, cap, "%d BPM  %s", int(std::lround(a->result.bpm)), key_name(a->result.key));
  return text_format(out, cap, "-- BPM  %s", key_name(a->result.key));
}

size_t tempo_loop_text(const TempoKeyAnalyser* a, bool loaded, bool bar_grid, char* out,
                       size_t cap) {
  if (!loaded) return text_copy(out, cap, "NOTHING PLAYING");
  if (!a->result.done) return text_copy(out, cap, "FINDING TEMPO...");
  if (bar_grid) return text_format(out, cap, "%.1f BPM  %s", a->result.bpm, key_name(a->result.key));
  return text_copy(out, cap, a->result.bpm > 0 ? "TOO SHORT" : "NO STEADY PULSE");
}
