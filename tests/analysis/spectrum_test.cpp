// The spectrum analyser: band layout per rate, where a tone lands and at what level, the tilt,
// the peak-following scale, history and ring, zero-padding and damaged input.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <vector>

#include "analysis/spectrum.h"

namespace {

constexpr double kRate = 48000.0;
constexpr double kBinHz = kRate / kSpectrumSize;  // 5.859375

std::unique_ptr<SpectrumAnalyser> make_analyser() {
  auto a = std::make_unique<SpectrumAnalyser>();
  spectrum_reset(a.get());
  return a;
}

std::vector<float> sines(std::initializer_list<double> hz, double amplitude, double rate,
                         int count = kSpectrumSize) {
  std::vector<float> x(count, 0.0f);
  for (double f : hz)
    for (int i = 0; i < count; ++i) x[i] += float(amplitude * std::sin(2 * M_PI * f * i / rate));
  return x;
}

void feed(SpectrumAnalyser* a, const std::vector<float>& x, double rate = kRate) {
  ASSERT_EQ(spectrum_feed(a, x.data(), int(x.size()), rate), 0);
}

// Index of the largest value of the newest row (the first one on ties).
int loudest_band(const SpectrumAnalyser* a) {
  const float* row = spectrum_row(a, 0);
  int best = 0;
  for (int i = 1; i < kSpectrumBands; ++i)
    if (row[i] > row[best]) best = i;
  return best;
}

int band_holding(double hz, double rate) {
  int bin = int(std::floor(hz * kSpectrumSize / rate));
  for (int i = 0; i < kSpectrumBands; ++i) {
    int lo = 0, hi = 0;
    EXPECT_EQ(spectrum_band_bins(rate, i, &lo, &hi), 0);
    if (bin >= lo && bin < hi) return i;
  }
  return -1;
}

}  // namespace

TEST(Spectrum, BandsRunFromTwentyHertzToTheTopOfEachRate) {
  int lo = 0, hi = 0;
  // 48 kHz: 20 Hz is bin 3.4, 20 kHz bin 3413.3.
  ASSERT_EQ(spectrum_band_bins(48000, 0, &lo, &hi), 0);
  EXPECT_EQ(lo, 3);
  ASSERT_EQ(spectrum_band_bins(48000, 199, &lo, &hi), 0);
  EXPECT_EQ(hi, 3413);
  // 22.05 kHz: 20 Hz is bin 7.4, the top is the Nyquist bin 4096.
  ASSERT_EQ(spectrum_band_bins(22050, 0, &lo, &hi), 0);
  EXPECT_EQ(lo, 7);
  ASSERT_EQ(spectrum_band_bins(22050, 199, &lo, &hi), 0);
  EXPECT_EQ(hi, 4096);
  for (double rate : {8000.0, 22050.0, 44100.0, 48000.0, 96000.0, 192000.0}) {
    int prev_lo = -1;
    for (int i = 0; i < kSpectrumBands; ++i) {
      ASSERT_EQ(spectrum_band_bins(rate, i, &lo, &hi), 0);
      EXPECT_GE(lo, prev_lo) << rate << " band " << i;
      EXPECT_GE(hi, lo + 1) << rate << " band " << i;
      EXPECT_LE(hi, kSpectrumBins) << rate << " band " << i;
      prev_lo = lo;
    }
  }
  EXPECT_EQ(spectrum_band_bins(48000, 200, &lo, &hi), -1);
  EXPECT_EQ(spectrum_band_bins(30, 0, &lo, &hi), -1);

  // Tones near the top land in the last bands; at 48 kHz nothing above 20 kHz shows.
  auto a = make_analyser();
  feed(a.get(), sines({19500}, 0.5, 48000));
  EXPECT_GE(loudest_band(a.get()), 197);
  spectrum_reset(a.get());
  feed(a.get(), sines({21000}, 0.5, 48000));
  for (int i = 0; i < kSpectrumBands; ++i) EXPECT_LT(spectrum_row(a.get(), 0)[i], 0.05f) << i;
  spectrum_reset(a.get());
  feed(a.get(), sines({10900}, 0.5, 22050), 22050);
  EXPECT_EQ(loudest_band(a.get()), 199);
  EXPECT_FLOAT_EQ(spectrum_row(a.get(), 0)[199], 1.0f);
}

TEST(Spectrum, ToneLandsInItsBandAtItsLevelWithTheTilt) {
  auto a = make_analyser();
  feed(a.get(), sines({1000}, 0.5, kRate));
  EXPECT_EQ(band_holding(1000, kRate), 113);
  EXPECT_EQ(loudest_band(a.get()), 113);
  EXPECT_FLOAT_EQ(spectrum_row(a.get(), 0)[113], 1.0f);
  EXPECT_EQ(spectrum_row(a.get(), 0)[band_holding(10000, kRate)], 0.0f);

  // A tone on a bin centre: the scale's top reads its amplitude (Hann gain and /8192 undone by 4x).
  spectrum_reset(a.get());
  feed(a.get(), sines({171 * kBinHz}, 0.5, kRate));
  EXPECT_NEAR(a->top_db, 20 * std::log10(0.5), 0.05);
  EXPECT_FLOAT_EQ(a->bottom_db, a->top_db - 48.0f);

  // Equal tones four octaves apart: the upper one is 4 x 4.5 = 18 dB higher on the row.
  spectrum_reset(a.get());
  feed(a.get(), sines({43 * kBinHz, 683 * kBinHz}, 0.25, kRate));
  const float* row = spectrum_row(a.get(), 0);
  EXPECT_FLOAT_EQ(row[band_holding(683 * kBinHz, kRate)], 1.0f);
  EXPECT_NEAR(row[band_holding(43 * kBinHz, kRate)], 1.0 - 18.0 / 48.0, 0.012);
  // The labels follow the plain maximum, not the tilted one.
  EXPECT_NEAR(a->top_db, 20 * std::log10(0.25), 0.05);
}

TEST(Spectrum, PeakMemoryFallsSlowlyAfterALoudPassageThenFloors) {
  auto a = make_analyser();
  EXPECT_FLOAT_EQ(a->peak_raw, 0.01f);
  EXPECT_FLOAT_EQ(a->peak_weighted, 0.01f);
  EXPECT_FLOAT_EQ(a->bottom_db, -48.0f);
  std::vector<float> loud = sines({171 * kBinHz}, 0.5, kRate);
  std::vector<float> silence(kSpectrumSize, 0.0f);
  for (int i = 0; i < 5; ++i) feed(a.get(), loud);
  const double raw0 = a->peak_raw, weighted0 = a->peak_weighted;
  EXPECT_NEAR(raw0, 0.125, 0.001);

  for (int i = 0; i < 1000; ++i) feed(a.get(), silence);
  EXPECT_NEAR(a->peak_raw, raw0 * std::pow(0.9993, 1000), raw0 * 1e-3);
  EXPECT_NEAR(a->top_db, 20 * std::log10(4 * raw0 * std::pow(0.9993, 1000)), 0.01);
  for (int i = 0; i < kSpectrumBands; ++i) EXPECT_EQ(spectrum_row(a.get(), 0)[i], 0.0f);

  // A tone 20 dB below the loud one sits 20 dB minus the decay (1001 rows) under the top.
  feed(a.get(), sines({171 * kBinHz}, 0.05, kRate));
  double expected = 1.0 + 20 * std::log10(0.1 / std::pow(0.9993, 1001)) / 48.0;
  EXPECT_NEAR(spectrum_row(a.get(), 0)[113], expected, 0.002);
  EXPECT_NEAR(a->peak_weighted, weighted0 * std::pow(0.9993, 1001), weighted0 * 1e-3);

  // Silence until both memories reach the floor, where they stay.
  int rows = 0;
  while (a->peak_raw > 0.0004f && rows < 20000) {
    feed(a.get(), silence);
    ++rows;
  }
  double expected_rows = std::log(0.0004 / (raw0 * std::pow(0.9993, 1001))) / std::log(0.9993);
  EXPECT_NEAR(rows, expected_rows, 3);
  for (int i = 0; i < 1000; ++i) feed(a.get(), silence);
  EXPECT_FLOAT_EQ(a->peak_raw, 0.0004f);
  EXPECT_FLOAT_EQ(a->peak_weighted, 0.0004f);
  EXPECT_NEAR(a->top_db, 20 * std::log10(0.0016), 1e-4);
  EXPECT_NEAR(a->bottom_db, 20 * std::log10(0.0016) - 48, 1e-4);
}

TEST(Spectrum, HistoryClampsAndTheRingWraps) {
  auto a = make_analyser();
  EXPECT_EQ(a->history, 40);
  spectrum_set_history(a.get(), 10);
  EXPECT_EQ(a->history, 40);
  spectrum_set_history(a.get(), 1000);
  EXPECT_EQ(a->history, 720);
  spectrum_set_history(a.get(), 96);
  EXPECT_EQ(a->history, 96);

  std::vector<float> tone = sines({1000}, 0.5, kRate);
  std::vector<float> silence(kSpectrumSize, 0.0f);
  for (int i = 0; i < 100; ++i) feed(a.get(), silence);
  EXPECT_EQ(a->rows_shown, 96);
  spectrum_set_history(a.get(), 50);
  EXPECT_EQ(a->rows_shown, 50);
  spectrum_set_history(a.get(), 720);
  EXPECT_EQ(a->rows_shown, 50);
  feed(a.get(), silence);
  EXPECT_EQ(a->rows_shown, 51);

  // 725 rows: the newest is row 4 of the ring; the one before it row 3.
  while (a->rows_written < 724) feed(a.get(), silence);
  feed(a.get(), tone);
  EXPECT_EQ(a->rows_written, 725u);
  EXPECT_EQ(a->rows_shown, 675);  // one more per row since it was cut to 50
  EXPECT_EQ(spectrum_row(a.get(), 0), a->rows[4]);
  EXPECT_FLOAT_EQ(a->rows[4][113], 1.0f);
  EXPECT_EQ(spectrum_row(a.get(), 1), a->rows[3]);
  EXPECT_EQ(a->rows[3][113], 0.0f);
  EXPECT_EQ(spectrum_row(a.get(), 5), a->rows[719]);
  EXPECT_EQ(spectrum_row(a.get(), 720), nullptr);
  spectrum_reset(a.get());
  EXPECT_EQ(spectrum_row(a.get(), 0), nullptr);
}

TEST(Spectrum, ShortFeedsAreZeroPaddedAndBadInputIsContained) {
  // 100 samples in an allocation of exactly 100: nothing past them is read.
  auto ones = std::make_unique<float[]>(100);
  std::vector<float> padded(kSpectrumSize, 0.0f);
  for (int i = 0; i < 100; ++i) ones[i] = padded[i] = 1.0f;
  auto a = make_analyser();
  auto b = make_analyser();
  ASSERT_EQ(spectrum_feed(a.get(), ones.get(), 100, kRate), 0);
  feed(b.get(), padded);
  double dc = 0;
  for (int i = 0; i < 100; ++i) dc += 0.5 * (1 - std::cos(2 * M_PI * i / 8191));
  EXPECT_NEAR(a->mag[0], dc / 8192, 1e-9);
  for (int k = 0; k < kSpectrumBins; ++k) ASSERT_EQ(a->mag[k], b->mag[k]) << k;
  for (int i = 0; i < kSpectrumBands; ++i) ASSERT_EQ(a->rows[0][i], b->rows[0][i]) << i;

  // No samples is a silent row; a rate that is not a usable number adds nothing.
  ASSERT_EQ(spectrum_feed(a.get(), nullptr, 0, kRate), 0);
  EXPECT_EQ(a->rows_written, 2u);
  EXPECT_EQ(a->mag[0], 0.0f);
  EXPECT_EQ(spectrum_feed(a.get(), padded.data(), kSpectrumSize, 0.0), -2);
  EXPECT_EQ(spectrum_feed(a.get(), padded.data(), kSpectrumSize, std::nan("")), -2);
  EXPECT_EQ(spectrum_feed(a.get(), padded.data(), -5, kRate), 0);
  EXPECT_EQ(a->rows_written, 3u);

  // One infinite sample must not pin the scale: the next tone still reaches the top.
  std::vector<float> damaged(kSpectrumSize, 0.0f);
  damaged[4096] = std::numeric_limits<float>::infinity();
  feed(a.get(), damaged);
  EXPECT_TRUE(std::isfinite(a->peak_raw));
  EXPECT_TRUE(std::isfinite(a->peak_weighted));
  EXPECT_TRUE(std::isfinite(a->top_db));
  feed(a.get(), sines({1000}, 0.5, kRate));
  EXPECT_EQ(loudest_band(a.get()), 113);
  EXPECT_FLOAT_EQ(spectrum_row(a.get(), 0)[113], 1.0f);
}

TEST(Spectrum, PlayerFeedsReadTheMonoFramesBeforeThePosition) {
  // Left a tone, right its negative: the mono view cancels to silence.
  const int frames = 20000;
  std::vector<float> tone = sines({1000}, 0.5, kRate, frames);
  std::vector<float> stereo(2 * frames);
  for (int i = 0; i < frames; ++i) stereo[2 * i] = tone[i], stereo[2 * i + 1] = -tone[i];
  AudioBuffer cancelled{2, kRate, frames, stereo.data()};
  auto a = make_analyser();
  ASSERT_EQ(spectrum_feed_before(a.get(), cancelled, 15000), 0);
  EXPECT_EQ(a->mag[171], 0.0f);

  // 1000 frames in: the 7192 frames before the start read 0, as a front-padded feed shows.
  AudioBuffer mono{1, kRate, frames, tone.data()};
  auto b = make_analyser();
  std::vector<float> padded(kSpectrumSize, 0.0f);
  for (int i = 0; i < 1000; ++i) padded[kSpectrumSize - 1000 + i] = tone[i];
  ASSERT_EQ(spectrum_feed_before(a.get(), mono, 1000), 0);
  feed(b.get(), padded);
  for (int k = 0; k < kSpectrumBins; ++k) ASSERT_EQ(a->mag[k], b->mag[k]) << k;
  // Past the end reads 0 as well: a position far beyond gives a silent row.
  ASSERT_EQ(spectrum_feed_before(a.get(), mono, frames + kSpectrumSize), 0);
  EXPECT_EQ(a->mag[171], 0.0f);
}
