// The spectrum analyser: windowed 8192-point transform, band maxima, tilt, peak-following scale
// and the row ring. Main thread only.
#include "analysis/spectrum.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>

#include "analysis/fft.h"

namespace {

constexpr float kPeakStart = 0.01f;
constexpr float kPeakDecay = 0.9993f;   // per row
constexpr float kPeakFloor = 0.0004f;
constexpr float kLevelFloor = 0.00001f;
constexpr double kLowHz = 20.0;
constexpr double kHighHz = 20000.0;
constexpr double kTiltDbPerOctave = 4.5;
constexpr double kMinRate = 2 * kLowHz;  // below this the bands would run downwards

double band_ratio(double rate) { return std::min(rate / 2, kHighHz) / kLowHz; }

void band_span(double rate, double ratio, int band, int* lo, int* hi) {
  double to_bin = kSpectrumSize / rate;
  double f_lo = kLowHz * std::pow(ratio, band / double(kSpectrumBands));
  double f_hi = kLowHz * std::pow(ratio, (band + 1) / double(kSpectrumBands));
  int l = std::max(0, int(std::floor(f_lo * to_bin)));
  int h = int(std::floor(f_hi * to_bin));
  h = std::min(std::max(h, l + 1), kSpectrumBins);
  *lo = std::min(l, kSpectrumBins);  // cannot pass the top for rates >= 40 Hz; kept safe anyway
  *hi = h;
}

void make_bands(SpectrumAnalyser* a, double rate) {
  double ratio = band_ratio(rate);
  for (int i = 0; i < kSpectrumBands; ++i) {
    int lo = 0, hi = 0;
    band_span(rate, ratio, i, &lo, &hi);
    a->band_lo[i] = int16_t(lo);
    a->band_hi[i] = int16_t(hi);
    double centre = kLowHz * std::pow(ratio, (i + 0.5) / kSpectrumBands);
    a->band_tilt[i] = float(std::pow(10.0, std::log2(centre / 1000.0) * kTiltDbPerOctave / 20.0));
  }
  a->band_rate = rate;
}

// Follows a new maximum at once and otherwise sinks slowly to the floor. A non-finite maximum
// (a damaged sample) is ignored, or it would pin the scale for good.
float follow_peak(float peak, float value) {
  if (value > peak && std::isfinite(value)) return value;
  return std::max(peak * kPeakDecay, kPeakFloor);
}

}  // namespace

void spectrum_reset(SpectrumAnalyser* a) {
  std::memset(static_cast<void*>(a), 0, sizeof *a);
  a->peak_weighted = kPeakStart;
  a->peak_raw = kPeakStart;
  a->bottom_db = -kSpectrumRangeDb;
  a->history = kSpectrumHistoryMin;
  for (int i = 0; i < kSpectrumSize; ++i)
    a->window[i] = float(0.5 * (1.0 - std::cos(2.0 * std::numbers::pi * i / (kSpectrumSize - 1))));
  fft_prepare();  // plan here, never in a feed
}

void spectrum_set_history(SpectrumAnalyser* a, int rows) {
  a->history = std::clamp(rows, kSpectrumHistoryMin, kSpectrumRows);
  if (a->rows_shown > a->history) a->rows_shown = a->history;
}

int spectrum_feed(SpectrumAnalyser* a, const float* samples, int count, double rate) {
  if (!(rate >= kMinRate) || !std::isfinite(rate)) return -2;
  int n = samples ? std::clamp(count, 0, kSpectrumSize) : 0;
  for (int i = 0; i < n; ++i) a->input[i] = samples[i] * a->window[i];
  std::fill(a->input + n, a->input + kSpectrumSize, 0.0f);
  if (fft_real_forward(kSpectrumSize, a->input, a->re, a->im) != 0) return -1;
  for (int k = 0; k < kSpectrumBins; ++k)
    a->mag[k] = std::sqrt(a->re[k] * a->re[k] + a->im[k] * a->im[k]) / kSpectrumSize;

  if (a->band_rate != rate) make_bands(a, rate);
  float weighted[kSpectrumBands];
  float top_weighted = 0, top_plain = 0;
  for (int i = 0; i < kSpectrumBands; ++i) {
    float u = 0;
    for (int k = a->band_lo[i]; k < a->band_hi[i]; ++k) u = std::max(u, a->mag[k]);
    weighted[i] = u * a->band_tilt[i];
    top_weighted = std::max(top_weighted, weighted[i]);
    top_plain = std::max(top_plain, u);
  }
  a->peak_weighted = follow_peak(a->peak_weighted, top_weighted);
  a->peak_raw = follow_peak(a->peak_raw, top_plain);
  a->top_db = 20.0f * std::log10(std::max(4.0f * a->peak_raw, kLevelFloor));
  a->bottom_db = a->top_db - kSpectrumRangeDb;

  float* row = a->rows[a->rows_written % kSpectrumRows];
  float scale = std::max(a->peak_weighted, kPeakFloor);
  for (int i = 0; i < kSpectrumBands; ++i) {
    float db = 20.0f * std::log10(std::max(kLevelFloor, weighted[i] / scale));
    row[i] = std::clamp((db + kSpectrumRangeDb) / kSpectrumRangeDb, 0.0f, 1.0f);
  }
  ++a->rows_written;
  if (a->rows_shown < a->history) ++a->rows_shown;
  return 0;
}

int spectrum_feed_before(SpectrumAnalyser* a, const AudioBuffer& buffer, int64_t position) {
  // Gathered into the work array; the feed windows it in place, index by index.
  int64_t first = position - kSpectrumSize;
  for (int i = 0; i < kSpectrumSize; ++i) a->input[i] = audio_buffer_mono(buffer, first + i);
  return spectrum_feed(a, a->input, kSpectrumSize, buffer.sample_rate);
}

const float* spectrum_row(const SpectrumAnalyser* a, int back) {
  if (back < 0 || uint64_t(back) >= a->rows_written || back >= kSpectrumRows) return nullptr;
  return a->rows[(a->rows_written - 1 - back) % kSpectrumRows];
}

int spectrum_band_bins(double rate, int band, int* lo, int* hi) {
  if (!(rate >= kMinRate) || !std::isfinite(rate) || band < 0 || band >= kSpectrumBands) return -1;
  band_span(rate, band_ratio(rate), band, lo, hi);
  return 0;
}
