// Spectrum analyser: the newest 8192 samples of a signal become one row of 200 log-spaced bands
// (20 Hz up to 20 kHz or half the rate) on a 48 dB scale that follows the recent peak; rows
// scroll through a 720-row ring. One instance watches the input, one the library player.
// Main thread only; a feed allocates nothing.
#pragma once
#include <cstdint>

#include "kit/audio_buffer.h"

constexpr int kSpectrumSize = 8192;           // transform length in samples
constexpr int kSpectrumBins = kSpectrumSize / 2;
constexpr int kSpectrumBands = 200;
constexpr int kSpectrumRows = 720;            // ring capacity
constexpr int kSpectrumHistoryMin = 40;
constexpr float kSpectrumRangeDb = 48.0f;     // height of the scale

struct SpectrumAnalyser {
  float rows[kSpectrumRows][kSpectrumBands];  // band values 0..1, low to high frequency
  uint64_t rows_written;  // rows since reset; positions only grow, row r lives at r % 720
  int32_t rows_shown;     // rows valid for display, at most history
  int32_t history;        // 40..720 rows
  float top_db;           // level at the top of the scale, for labels
  float bottom_db;        // top_db - 48
  alignas(64) float window[kSpectrumSize];  // Hann
  alignas(64) float re[kSpectrumSize];      // transform output, bins 0..4096
  alignas(64) float im[kSpectrumSize];
  alignas(64) float mag[kSpectrumBins];     // |X[k]| / 8192
  float peak_weighted;    // slowly decaying maximum of the tilted band values
  float peak_raw;         // the same of the plain band values

  // Work area and a cache of the band layout for the last rate seen.
  alignas(64) float input[kSpectrumSize];   // windowed, zero-padded samples
  double band_rate;                          // rate the table below was made for; 0 = none
  int16_t band_lo[kSpectrumBands];           // first bin of each band
  int16_t band_hi[kSpectrumBands];           // bin past the last
  float band_tilt[kSpectrumBands];           // +4.5 dB per octave about 1 kHz, as a gain
};

// Zeroes everything, peak memories 0.01, bottom_db -48, history 40, fills the window and makes
// the transform plans. Main thread.
void spectrum_reset(SpectrumAnalyser* a);

// Clamps rows to 40..720, stores it as history and lowers rows_shown to it. Main thread.
void spectrum_set_history(SpectrumAnalyser* a, int rows);

// Adds one row from up to 8192 mono samples (oldest first; fewer are zero-padded at the end).
// 0; -1 when no transform plan could be made; -2 for a rate that is not a number of at least
// 40 Hz; no row is added on failure. Main thread; no allocation after spectrum_reset.
int spectrum_feed(SpectrumAnalyser* a, const float* samples, int count, double rate);

// Adds one row from the 8192 mono frames of `buffer` just before frame `position` (the player's
// play position); frames outside the buffer read 0. Codes as spectrum_feed. Main thread.
int spectrum_feed_before(SpectrumAnalyser* a, const AudioBuffer& buffer, int64_t position);

// Row `back` rows before the newest (0 = newest), or nullptr when fewer rows were written.
const float* spectrum_row(const SpectrumAnalyser* a, int back);

// Bin span [lo, hi) of band `band` for a rate of at least 40 Hz, 0 for a valid band, -1 otherwise.
int spectrum_band_bins(double rate, int band, int* lo, int* hi);
