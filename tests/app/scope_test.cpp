// The scope's controls driven through the same calls and input records the window feeds: the
// threshold line dragged up, down and sideways, the side panel's sliders and their double-click
// defaults, the EQ handles with their snapping and limits, the wheel, seeking on the tape strip,
// the spectrum feed's rate and views, the auto-fit, and the EQ view's response curve against
// what the engine's filter really does to a sine.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "app/scope/scope_control.h"
#include "app/scope/scope_draw.h"
#include "app/scope/scope_view.h"
#include "tests/app/scope_fixture.h"

namespace {

float db_of(float level) { return 20.0f * std::log10(level); }

Rect track(ScopeApp& a, int row) { return side_track_rect(a.l().side, a.l().scope, row); }

// A press on the track of slider row `row` at fraction f of its width.
bool press_track(ScopeApp& a, int row, float f, uint32_t tick) {
  const Rect t = track(a, row);
  return a.press(t.x + f * t.w, t.y + t.h / 2, tick);
}

EqHandle handle(ScopeApp& a, int band) {
  EqHandle h[3];
  eq_handles(a.l().scope, a->settings, h);
  return h[band - 1];
}

}  // namespace

TEST(ScopeControl, ThresholdDragFollowsTheDisplayMappingAndClampsAtTheEdges) {
  ScopeApp a;
  const Rect s = a.l().scope;
  const float bottom = s.y + s.h;
  const uint32_t t0 = 1000;

  // The press applies the pointer at once: a quarter of the way up is f^2 of full scale.
  const float y = bottom - 0.25f * (s.h - 4.0f);
  ASSERT_TRUE(a.press(s.x + 100, y, t0));
  EXPECT_NEAR(a->settings.threshold_db, db_of(0.25f * 0.25f), 0.01f);
  EXPECT_NEAR(a->engine.open_level.load(), 0.0625f, 1e-4f);

  // The very top is 0 dB, the bottom and below it -80 dB.
  a.drag(s.x + 100, s.y);
  EXPECT_NEAR(a->settings.threshold_db, 0.0f, 1e-3f);
  EXPECT_NEAR(a->engine.open_level.load(), 1.0f, 1e-5f);
  a.drag(s.x + 100, bottom);
  EXPECT_FLOAT_EQ(a->settings.threshold_db, -80.0f);
  a.drag(s.x + 100, bottom + 300);
  EXPECT_FLOAT_EQ(a->settings.threshold_db, -80.0f);
  EXPECT_TRUE(a->scope.threshold_dragged);
  a.release();

  // With the scale at +6 dB the top of the scope is a level of one half.
  a->sliders.scale = 0.5f;
  ASSERT_TRUE(a.press(s.x + 100, s.y, t0 + 1000));
  EXPECT_NEAR(a->settings.threshold_db, db_of(1.0f / std::pow(10.0f, 6.0f / 20.0f)), 0.01f);
  a.release();

  // Dragging the line moves it no further: after the release a drag does nothing.
  const float before = a->settings.threshold_db;
  a.drag(s.x + 100, bottom);
  EXPECT_EQ(a->settings.threshold_db, before);
}

TEST(ScopeControl, SidewaysDragMovesTheHoldAndStopsAtBothEnds) {
  ScopeApp a;
  const Rect s = a.l().scope;
  a->sliders.hold = 0.3f;
  const float x0 = s.x + s.w / 2, y0 = s.y + s.h / 2;
  ASSERT_TRUE(a.press(x0, y0, 1000));
  EXPECT_FLOAT_EQ(a->sliders.hold, 0.3f);
  a.drag(x0 + 0.2f * a.l().main_w, y0);
  EXPECT_NEAR(a->settings.hold_norm, 0.5f, 1e-5f);
  EXPECT_FALSE(a->scope.threshold_dragged);  // no vertical motion yet
  a.drag(x0 - 3000, y0);
  EXPECT_FLOAT_EQ(a->settings.hold_norm, 0.0f);
  EXPECT_EQ(a->engine.hold_frames.load(), 0);
  a.drag(x0 + 3000, y0);
  EXPECT_FLOAT_EQ(a->settings.hold_norm, 1.0f);
  EXPECT_EQ(a->engine.hold_frames.load(), 48000);  // 1000 ms
}

TEST(ScopeControl, SlidersSetFromTheTrackAndDoubleClicksRestoreDefaults) {
  ScopeApp a;
  // Threshold view, row 0: a press at a quarter of the track.
  ASSERT_TRUE(press_track(a, 0, 0.25f, 1000));
  EXPECT_NEAR(a->settings.threshold_db, -60.0f, 0.05f);
  // A second press within 400 ms restores -34 dB; one 500 ms later sets from the pointer again.
  ASSERT_TRUE(press_track(a, 0, 0.25f, 1399));
  EXPECT_NEAR(a->settings.threshold_db, -34.0f, 1e-3f);
  ASSERT_TRUE(press_track(a, 0, 0.25f, 1899));
  EXPECT_NEAR(a->settings.threshold_db, -60.0f, 0.05f);
  // Dragging follows the pointer and clamps past the ends of the track.
  a.drag(track(a, 0).x + track(a, 0).w * 0.9f, 0);
  EXPECT_NEAR(a->settings.threshold_db, -8.0f, 0.05f);
  a.drag(track(a, 0).x + 5000, 0);
  EXPECT_FLOAT_EQ(a->settings.threshold_db, 0.0f);
  a.release();
  // Gate out, hold and scale double-click to 0 dB, 0 ms and 0 dB.
  for (int row = 1; row < 4; ++row) {
    ASSERT_TRUE(press_track(a, row, 0.9f, 5000 + 1000 * uint32_t(row)));
    ASSERT_TRUE(press_track(a, row, 0.9f, 5100 + 1000 * uint32_t(row)));
  }
  EXPECT_NEAR(a->settings.exit_db, 0.0f, 1e-4f);
  EXPECT_FLOAT_EQ(a->settings.hold_norm, 0.0f);
  EXPECT_NEAR(a->settings.scale_db, 0.0f, 1e-4f);

  // A tab changes the mode; the configuration view's defaults.
  const Rect tab = side_tab_rect(a.l().side, 2);
  ASSERT_TRUE(a.press(tab.x + tab.w / 2, tab.y + tab.h / 2, 20000));
  EXPECT_EQ(a->settings.hud_mode, 2);
  for (int row = 0; row < 4; ++row) {
    ASSERT_TRUE(press_track(a, row, 0.05f, 30000 + 1000 * uint32_t(row)));
    ASSERT_TRUE(press_track(a, row, 0.05f, 30100 + 1000 * uint32_t(row)));
  }
  EXPECT_NEAR(a->settings.pre_roll_s, 0.5f, 1e-5f);
  EXPECT_NEAR(a->settings.post_roll_s, 1.0f, 1e-5f);
  EXPECT_FLOAT_EQ(a->settings.look_back_s, 0.0f);
  EXPECT_NEAR(a->settings.gain, 1.0f, 1e-5f);
  EXPECT_EQ(a->engine.post_roll_frames.load(), 48000);

  // Trigger-EQ view: frequencies 20 x 1000^f, off at the outer ends; double clicks turn them off.
  const Rect eq_tab = side_tab_rect(a.l().side, 1);
  ASSERT_TRUE(a.press(eq_tab.x + 2, eq_tab.y + 2, 40000));
  ASSERT_EQ(a->settings.hud_mode, 1);
  ASSERT_TRUE(press_track(a, 2, 0.5f, 41000));
  EXPECT_NEAR(a->settings.peak_hz, 632.456f, 0.01f);
  EXPECT_NEAR(a->engine.peak_hz.load(), 632.456f, 0.01f);
  ASSERT_TRUE(press_track(a, 2, 0.5f, 41200));
  EXPECT_FLOAT_EQ(a->settings.peak_hz, 0.0f);
  EXPECT_FLOAT_EQ(a->engine.peak_hz.load(), 0.0f);
  ASSERT_TRUE(press_track(a, 0, 0.01f, 42000));
  EXPECT_FLOAT_EQ(a->settings.hpf_hz, 0.0f);
  ASSERT_TRUE(press_track(a, 0, 1.0f / 3.0f, 43000));
  EXPECT_NEAR(a->settings.hpf_hz, 200.0f, 0.01f);
  ASSERT_TRUE(press_track(a, 1, 0.99f, 44000));
  EXPECT_FLOAT_EQ(a->settings.lpf_hz, 0.0f);
  ASSERT_TRUE(press_track(a, 1, 2.0f / 3.0f, 45000));
  EXPECT_NEAR(a->settings.lpf_hz, 2000.0f, 0.1f);
  ASSERT_TRUE(press_track(a, 3, 1.0f, 46000));
  EXPECT_FLOAT_EQ(a->settings.peak_q, 12.0f);
  ASSERT_TRUE(press_track(a, 3, 1.0f, 46100));
  EXPECT_FLOAT_EQ(a->settings.peak_q, 2.0f);
}

TEST(ScopeControl, EqHandlesSnapSlopesAndKeepQAndFrequencyInRange) {
  ScopeApp a;
  a->settings.hud_mode = 1;
  a->settings.hpf_hz = 100.0f, a->settings.hpf_slope = 24;
  const Rect s = a.l().scope;
  const float span = s.h - 40.0f;

  // The handle sits at its frequency and slope.
  EqHandle h = handle(a, kBandHighPass);
  EXPECT_NEAR(h.x, s.x + std::log10(5.0f) / 3.0f * s.w, 1e-3f);
  EXPECT_NEAR(h.y, (1.0f - 18.0f / 66.0f) * span + s.y + 20.0f, 1e-3f);
  ASSERT_TRUE(a.press(h.x + 3, h.y - 2, 1000));
  ASSERT_EQ(a->scope.drag.kind, ScopeDragKind::kEqBand);
  // Up by 7 dB/octave's worth rounds to 30, by 9 to 36; every position is a multiple of 6 in 6..72.
  a.drag(h.x + 3, h.y - 2 - span * 7.0f / 66.0f);
  EXPECT_EQ(a->settings.hpf_slope, 30);
  EXPECT_EQ(a->engine.hpf_order.load(), 5);
  a.drag(h.x + 3, h.y - 2 - span * 9.1f / 66.0f);
  EXPECT_EQ(a->settings.hpf_slope, 36);
  for (float dy = -2.0f * span; dy <= 2.0f * span; dy += span / 37.0f) {
    a.drag(h.x + 3, h.y - 2 + dy);
    const int slope = a->settings.hpf_slope;
    EXPECT_EQ(slope % 6, 0) << dy;
    EXPECT_GE(slope, 6) << dy;
    EXPECT_LE(slope, 72) << dy;
  }
  a.drag(h.x + 3, h.y - 2 - 2 * span);
  EXPECT_EQ(a->settings.hpf_slope, 72);
  a.drag(h.x + 3, h.y - 2 + 2 * span);
  EXPECT_EQ(a->settings.hpf_slope, 6);
  EXPECT_TRUE(a->scope.handle_moved);
  // Sideways by a tenth of the main width is a factor 1000^0.1; far out the ends hold.
  a.drag(h.x + 3 + 0.1f * a.l().main_w, h.y - 2 + 2 * span);
  EXPECT_NEAR(a->settings.hpf_hz, 100.0f * std::pow(1000.0f, 0.1f), 0.01f);
  a.drag(h.x + 3 + 2.0f * a.l().main_w, h.y);
  EXPECT_FLOAT_EQ(a->settings.hpf_hz, 20000.0f);
  a.drag(h.x + 3 - 2.0f * a.l().main_w, h.y);
  EXPECT_FLOAT_EQ(a->settings.hpf_hz, 20.0f);
  EXPECT_FLOAT_EQ(a->engine.hpf_hz.load(), 20.0f);
  a.release();

  // The peak band, off: its handle is mid-view; dragging starts from the middle frequency and
  // keeps Q within 0.3..12.
  h = handle(a, kBandPeak);
  EXPECT_FALSE(h.on);
  EXPECT_FLOAT_EQ(h.x, s.x + s.w / 2);
  ASSERT_TRUE(a.press(h.x, h.y, 5000));
  a.drag(h.x, h.y - span);
  EXPECT_NEAR(a->settings.peak_hz, 632.456f, 0.01f);
  EXPECT_FLOAT_EQ(a->settings.peak_q, 12.0f);
  a.drag(h.x, h.y + 3 * span);
  EXPECT_FLOAT_EQ(a->settings.peak_q, 0.3f);
  a.drag(h.x, h.y - span * 1.0f / 11.7f);
  EXPECT_NEAR(a->settings.peak_q, 3.0f, 1e-3f);
  a.release();

  // The low-pass, off, sits near the right edge and starts from 18 kHz.
  h = handle(a, kBandLowPass);
  EXPECT_NEAR(h.x, s.x + std::log10(900.0f) / 3.0f * s.w, 1e-3f);
  ASSERT_TRUE(a.press(h.x - 1, h.y + 1, 9000));
  a.drag(h.x - 1, h.y);
  EXPECT_NEAR(a->settings.lpf_hz, 18000.0f, 0.5f);
  a.release();

  // A second press on the same handle within 400 ms switches the band off.
  h = handle(a, kBandLowPass);
  ASSERT_TRUE(a.press(h.x, h.y, 12000));
  ASSERT_TRUE(a.press(h.x, h.y, 12300));
  EXPECT_FLOAT_EQ(a->settings.lpf_hz, 0.0f);
  EXPECT_FLOAT_EQ(a->engine.lpf_hz.load(), 0.0f);
  EXPECT_EQ(a->scope.drag.kind, ScopeDragKind::kNone);

  // Farther than 60 pixels (|dx| + |dy|) from every handle picks nothing.
  EqHandle all[3];
  eq_handles(s, a->settings, all);
  float px = s.x + s.w * 0.25f, py = s.y + 2;
  for (const EqHandle& e : all) ASSERT_GT(std::fabs(px - e.x) + std::fabs(py - e.y), 60.0f);
  a.press(px, py, 20000);
  EXPECT_EQ(a->scope.drag.kind, ScopeDragKind::kNone);
}

TEST(ScopeControl, WheelOverTheScopeMovesGateOutOrScaleByOneDecibel) {
  ScopeApp a;
  const Rect s = a.l().scope;
  const float x = s.x + 50, y = s.y + 50;
  a.wheel(x, y, 1.0f);
  EXPECT_NEAR(a->settings.exit_db, 1.0f, 1e-4f);
  a.wheel(x, y, -3.0f);
  EXPECT_NEAR(a->settings.exit_db, -2.0f, 1e-4f);
  a.wheel(x, y, 0.0f, 2.0f);  // no vertical motion: the horizontal counts
  EXPECT_NEAR(a->settings.exit_db, 0.0f, 1e-4f);
  a.wheel(x, y, 2.0f, 0.0f, kModShift);
  EXPECT_NEAR(a->settings.scale_db, 2.0f, 1e-4f);
  a.wheel(x, y, 100.0f);
  EXPECT_FLOAT_EQ(a->settings.exit_db, 24.0f);  // clamped to the slider
  // Outside the scope and in the trigger-EQ view the wheel does nothing here.
  a.wheel(x, a.l().trigger_strip.y + 5, -5.0f);
  EXPECT_FLOAT_EQ(a->settings.exit_db, 24.0f);
  a->settings.hud_mode = 1;
  a.wheel(x, y, -5.0f);
  EXPECT_FLOAT_EQ(a->settings.exit_db, 24.0f);
}

TEST(ScopeControl, TapeStripPressSeeksOnlyARecordedTape) {
  ScopeApp a;
  const Rect strip = a.l().trigger_strip;
  ASSERT_TRUE(a.press(strip.x + strip.w / 4, strip.y + 10, 1000));
  EXPECT_EQ(a->engine.seek_request.load(), -1);  // nothing recorded: no seek
  a->engine.write_head.store(48000);
  ASSERT_TRUE(a.press(strip.x + strip.w / 4, strip.y + 10, 2000));
  EXPECT_EQ(a->engine.seek_request.load(), 12000);
  ASSERT_TRUE(a.press(strip.x + strip.w - 0.01f, strip.y + 10, 3000));
  EXPECT_EQ(a->engine.seek_request.load(), 47999);  // clamped to the last frame
  // The tape strip never starts a threshold drag.
  EXPECT_EQ(a->scope.drag.kind, ScopeDragKind::kNone);
}

TEST(ScopeControl, SpectrumIsFedEvery33MsOnlyWhileAViewShowsIt) {
  ScopeApp a;
  a.feed_tone(0.5, 1000.0, 0.5);
  const SpectrumAnalyser& sa = a->input_spectrum;
  const float w = a.l().scope.w;

  // Waterfall off in the threshold view: nothing is fed.
  a->settings.scope_fall_off = 1;
  scope_feed_spectrum(a.app.get(), 1000);
  EXPECT_EQ(sa.rows_written, 0u);

  // The trigger-EQ view: a row now, none 20 ms later, the next 33 ms after the first.
  a->settings.hud_mode = 1;
  scope_feed_spectrum(a.app.get(), 1000);
  EXPECT_EQ(sa.rows_written, 1u);
  EXPECT_EQ(sa.history, int((w - 4) / 4));
  scope_feed_spectrum(a.app.get(), 1020);
  EXPECT_EQ(sa.rows_written, 1u);
  scope_feed_spectrum(a.app.get(), 1033);
  EXPECT_EQ(sa.rows_written, 2u);

  // The row is the input's: its loudest band holds 1 kHz.
  const float* row = spectrum_row(&sa, 0);
  ASSERT_NE(row, nullptr);
  int loudest = 0;
  for (int b = 1; b < kSpectrumBands; ++b)
    if (row[b] > row[loudest]) loudest = b;
  int lo = 0, hi = 0;
  ASSERT_EQ(spectrum_band_bins(48000.0, loudest, &lo, &hi), 0);
  EXPECT_LE(lo * 48000.0 / 8192.0, 1000.0 + 48000.0 / 8192.0) << loudest;
  EXPECT_GE(hi * 48000.0 / 8192.0, 1000.0 - 48000.0 / 8192.0) << loudest;

  // Waterfall on in the threshold view: a history of a row per 3 pixels of height.
  a->settings.hud_mode = 0;
  a->settings.scope_fall_off = 0;
  scope_feed_spectrum(a.app.get(), 1070);
  EXPECT_EQ(sa.rows_written, 3u);
  EXPECT_EQ(sa.history, int(a.l().scope.h / 3));
  EXPECT_NE(sa.history, int(w / 3));
}

TEST(ScopeControl, AutoFitShrinksFastForLoudInputAndGrowsBackSlowly) {
  // A peak four times full scale: within 15 frames the loudest sits at 92 %.
  float fit = 0.0f;  // before the first frame
  fit = scope_fit_step(fit, 4.0f, 1.0f);
  EXPECT_NEAR(fit, 1.0f + (0.23f - 1.0f) * 0.35f, 1e-6f);
  for (int i = 1; i < 15; ++i) fit = scope_fit_step(fit, 4.0f, 1.0f);
  EXPECT_NEAR(4.0f * fit, 0.92f, 0.01f);
  // Silence: 0.012 of the gap a frame, so after 60 frames it is still far from 1.
  const float low = fit;
  fit = scope_fit_step(fit, 0.0f, 1.0f);
  EXPECT_NEAR(fit, low + (1.0f - low) * 0.012f, 1e-6f);
  for (int i = 1; i < 60; ++i) fit = scope_fit_step(fit, 0.0f, 1.0f);
  EXPECT_LT(fit, 0.65f);
  EXPECT_GT(fit, low);
  // A damaged (non-finite) peak changes nothing.
  EXPECT_EQ(scope_fit_step(0.5f, std::nanf(""), 1.0f), 0.5f);

  // Through the scope's frame: the engine's display scale carries the factor, and the line's
  // drag inverts the same gain.
  ScopeApp a;
  for (int i = 0; i < kScopeColumns; ++i) a.put_column(4.0f, 0.0f, false, false);
  for (int i = 0; i < 20; ++i) scope_frame(a.app.get(), a.l().scope);
  const float f = a->scope.fit;
  EXPECT_NEAR(4.0f * f, 0.92f, 0.005f);
  EXPECT_NEAR(a->engine.display_scale.load(), f, 1e-6f);
  const Rect s = a.l().scope;
  ASSERT_TRUE(a.press(s.x + 10, s.y + s.h - 0.1f * (s.h - 4.0f), 1000));
  EXPECT_NEAR(a->settings.threshold_db, db_of(0.01f / f), 0.01f);
}

TEST(EqResponse, MatchesWhatTheEngineFilterDoesToASine) {
  // High-pass 400 Hz at 24 dB/octave, low-pass 3 kHz at 12, peak 1.2 kHz Q 3: the curve's gain at
  // a frequency is the steady-state level the detector filter leaves of a sine there.
  const double rate = 48000.0;
  EqCoefficients c;
  eq_coefficients(&c, 400.0f, 4, 3000.0f, 2, 1200.0f, 3.0f, rate);
  for (double hz : {100.0, 400.0, 1000.0, 1200.0, 2500.0, 8000.0}) {
    const int frames = 48000;
    std::vector<float> sine(frames), detect(frames), scratch(2 * frames);
    for (int i = 0; i < frames; ++i) sine[size_t(i)] = float(std::sin(2.0 * M_PI * hz * i / rate));
    EqState state{};
    eq_detect(&state, c, sine.data(), sine.data(), 1.0f, frames, scratch.data(), detect.data());
    float peak = 0.0f;
    for (int i = frames / 2; i < frames; ++i) peak = std::max(peak, detect[size_t(i)]);
    EXPECT_NEAR(eq_response_db(c, rate, hz), 20.0 * std::log10(peak), 0.1) << hz;
  }
  // Nothing on: flat.
  eq_coefficients(&c, 0.0f, 12, 0.0f, 12, 0.0f, 2.0f, rate);
  EXPECT_NEAR(eq_response_db(c, rate, 50.0), 0.0, 1e-9);
}
