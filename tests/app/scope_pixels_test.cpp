// The scope as drawn: a known input through the capture routine, the views drawn on SDL's
// offscreen driver with the software renderer and read back pixel by pixel. The threshold line's
// row, the recording colour and its palette choice, the column count for a narrow and a wide
// scope, the waterfall through its texture against the cell fallback, the trigger-EQ view's
// handles and curve, and the tape strip's marks; and the drawing calls' boxes against the renderer's fill.
#include <SDL.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/scope/scope_control.h"
#include "app/scope/scope_draw.h"
#include "app/scope/scope_view.h"
#include "tests/app/scope_fixture.h"

namespace {

constexpr uint32_t kLight = 0xFFE9E5E2;
constexpr uint32_t kBlack = 0xFF000000;

// Row of the screen a level is drawn at in a scope (display gain 1).
int row_of_level(const Rect& s, float level) {
  return int(s.y + s.h - std::round(std::sqrt(level) * (s.h - 4.0f)));
}

// Columns of a scope row, by colour: maximal runs of one of the given colours.
int count_runs(const Offscreen& o, int y, int x0, int x1, uint32_t a, uint32_t b) {
  int runs = 0;
  uint32_t previous = 0;
  for (int x = x0; x < x1; ++x) {
    const uint32_t p = o.at(x, y);
    const bool column = p == a || p == b;
    if (column && p != previous) ++runs;
    previous = column ? p : 0;
  }
  return runs;
}

void render_scope(Offscreen& o, ScopeApp& a) {
  o.clear();
  theme_resolve(a->settings, &a->theme);
  draw_scope(&o.canvas, a.l().scope, a.app.get());
  o.read();
}

// Saves the frame when TOLM_SCOPE_SHOTS names a folder (for looking at a failure).
void keep(Offscreen& o, const char* name) {
  const char* dir = std::getenv("TOLM_SCOPE_SHOTS");
  if (dir) o.save(std::string(dir) + "/" + name + ".bmp");
}

}  // namespace

TEST(ScopePixels, ThresholdLineSitsAtTheRowTheDisplayMappingGives) {
  ScopeApp a;
  Offscreen o;
  ASSERT_TRUE(o.open(960, 540));
  a->settings.scope_fall_off = 1;
  a.feed_tone(6.5, 440.0, 0.1);  // every column holds the tone; the detector is over -34 dB
  render_scope(o, a);
  keep(o, "threshold_line");
  const Rect s = a.l().scope;
  const int line = row_of_level(s, std::pow(10.0f, -34.0f / 20.0f));
  // A gap between columns (the last pixel of a column's slot) right of the labels.
  const int n = scope_column_count(s.w);
  const int k = n / 2;
  const int gap = int(s.x + std::floor(float(k + 1) * s.w / float(n))) - 1;
  const int bar = int(s.x + std::floor(float(k) * s.w / float(n)));
  ASSERT_NE(gap, bar);
  EXPECT_EQ(o.at(gap, line), kLight) << line;
  EXPECT_NE(o.at(gap, line - 1), kLight);
  EXPECT_NE(o.at(gap, line + 1), kLight);
  EXPECT_EQ(o.at(gap, line - 12), kBlack);  // beyond the line's glow, inside the bars' height
  EXPECT_EQ(o.at(bar, line), kLight);       // the line crosses the columns

  // The bars rise to sqrt(0.1) of the height. The tone holds the would-open indicator open, so
  // they are WAVEFORM TRIGGER with a cap blended toward HIGHLIGHTS.
  const int top = row_of_level(s, 0.1f);
  EXPECT_EQ(o.at(bar, top), colour_mix(0xFFF9F7F6, 0xFFEBEBEB, 0.55f));
  EXPECT_EQ(o.at(bar, top + 8), 0xFFF9F7F6u);
  EXPECT_NE(o.at(bar, top - 1), o.at(bar, top + 8));
}

TEST(ScopePixels, RecordedColumnsTakeTheRecordingColourAndItsPaletteChoice) {
  ScopeApp a;
  Offscreen o;
  ASSERT_TRUE(o.open(960, 540));
  a->settings.scope_fall_off = 1;
  a->engine.armed.store(1);
  a.feed_silence(1.0);
  a.feed_tone(2.0, 330.0, 0.5);
  ASSERT_EQ(a->engine.recording.load(), 1);
  render_scope(o, a);
  keep(o, "recording");
  const Rect s = a.l().scope;
  const int n = scope_column_count(s.w);
  const int x = int(s.x + std::floor(float(n - 4) * s.w / float(n)));  // clear of the detector bar
  const int y = int(s.y + s.h) - 20;
  EXPECT_EQ(o.at(x, y), 0xFF4D42EBu);  // WAVEFORM RECORDING
  // While recording the line glows red around it (in a gap between columns).
  const int line = row_of_level(s, std::pow(10.0f, -34.0f / 20.0f));
  const int gap = int(s.x + std::floor(float(n - 3) * s.w / float(n))) - 1;
  EXPECT_EQ(o.at(gap, line), kLight);
  const uint32_t glow = o.at(gap, line - 2);
  EXPECT_GT(red_of(glow), blue_of(glow) + 20);
  // Silence before the tone draws no column; the oldest columns are still empty.
  EXPECT_EQ(o.at(int(s.x) + 2, y - 40), kBlack);

  // The slot's palette choice: GREEN.
  a->settings.vis_color[kSlotWaveRecording] = 6;
  render_scope(o, a);
  EXPECT_EQ(o.at(x, y), 0xFF7ACD50u);
}

TEST(ScopePixels, ColumnCountIs64InANarrowScopeAnd511InAWideOne) {
  ScopeApp a;
  Offscreen o;
  ASSERT_TRUE(o.open(1200, 220));
  a->settings.scope_fall_off = 1;
  // Alternate quiet and recorded columns so neighbours differ in colour.
  for (int i = 0; i < kScopeColumns; ++i) a.put_column(0.5f, 0.0f, i % 2 == 1, false);
  const uint32_t quiet = kVisSlotDefaults[kSlotWaveQuiet], rec = kVisSlotDefaults[kSlotWaveRecording];
  for (float w : {100.0f, 127.0f, 1023.0f, 1100.0f}) {
    const Rect r{0, 0, w, 200};
    o.clear();
    draw_scope(&o.canvas, r, a.app.get());
    o.read();
    const int expected = w < 128.0f ? 64 : 511;
    EXPECT_EQ(count_runs(o, 195, 0, int(w), quiet, rec), expected) << w;
  }
  keep(o, "columns_wide");
}

TEST(ScopePixels, WaterfallThroughItsTextureMatchesTheCells) {
  ScopeApp a;
  Offscreen o;
  ASSERT_TRUE(o.open(960, 540));
  SpectrumAnalyser& sa = a->input_spectrum;
  spectrum_reset(&sa);
  spectrum_set_history(&sa, 720);
  // 800 rows (the ring wraps): a 2 kHz tone, louder row by row.
  std::vector<float> x(kSpectrumSize);
  for (int r = 0; r < 800; ++r) {
    const double amp = 0.01 + 0.5 * r / 800.0;
    for (int i = 0; i < kSpectrumSize; ++i) x[size_t(i)] = float(amp * std::sin(2.0 * M_PI * 2000.0 * i / 48000.0));
    ASSERT_EQ(spectrum_feed(&sa, x.data(), kSpectrumSize, 48000.0), 0);
  }
  const Rect s = a.l().scope;
  // The walls stand over the waterfall, built from the inputs' ring: they change the picture.
  render_scope(o, a);
  keep(o, "waterfall_walls");
  const std::vector<uint32_t> walled = o.pixels;
  // Walls from the library, which is not playing: none, the waterfall bare.
  a->settings.wall_source = kWallFromLibrary;
  render_scope(o, a);
  keep(o, "waterfall_texture");
  int walls = 0;
  for (size_t i = 0; i < walled.size(); ++i) walls += walled[i] != o.pixels[i];
  EXPECT_GT(walls, int(s.w * s.h) / 10);
  const std::vector<uint32_t> texture = o.pixels;
  EXPECT_EQ(a->scope.cells_only, false);
  a->scope.cells_only = true;
  render_scope(o, a);
  keep(o, "waterfall_cells");

  // Every cell's centre is the same colour both ways.
  const int rows = int(s.w / 3);
  int compared = 0, differ = 0;
  for (int k = 0; k < rows; ++k)
    for (int b = 0; b < kSpectrumBands; ++b) {
      const int px = int(s.x + s.w) - 3 * k - 2;
      const int py = int(s.y + (float(kSpectrumBands - 1 - b) + 0.5f) * s.h / kSpectrumBands);
      ++compared;
      differ += texture[size_t(py) * 960 + size_t(px)] != o.at(px, py);
    }
  EXPECT_EQ(differ, 0) << "of " << compared;

  // The newest row's loudest band is WATERFALL COLOR scaled by sqrt(v) x 0.55, blue by 0.75 more.
  const float* row = spectrum_row(&sa, 0);
  int loud = 0;
  for (int b = 1; b < kSpectrumBands; ++b)
    if (row[b] > row[loud]) loud = b;
  const int px = int(s.x + s.w) - 2;  // no input: no detector bar over the newest row
  const int py = int(s.y + (float(kSpectrumBands - 1 - loud) + 0.5f) * s.h / kSpectrumBands);
  const float v = row[loud];
  const float f = std::sqrt(v) * 0.55f;
  const uint32_t p = o.at(px, py);
  EXPECT_NEAR(red_of(p), 0xBE * f, 1.0) << v;
  EXPECT_NEAR(green_of(p), 0xC1 * f, 1.0);
  EXPECT_NEAR(blue_of(p), 0xC6 * f * 0.75f, 1.0);

  // Waterfall off: nothing of it is drawn.
  a->settings.scope_fall_off = 1;
  render_scope(o, a);
  EXPECT_EQ(o.at(px, py), kBlack);
}

TEST(ScopePixels, EqViewPutsHandlesAtTheirPlacesAndDrawsTheFilterCurve) {
  ScopeApp a;
  Offscreen o;
  ASSERT_TRUE(o.open(960, 540));
  Settings& st = a->settings;
  st.hud_mode = 1;
  st.hpf_hz = 200.0f, st.hpf_slope = 24;
  st.peak_hz = 2000.0f, st.peak_q = 4.0f;
  engine_apply_settings(&a->engine, st, 1.0f);
  o.clear();
  theme_resolve(st, &a->theme);
  draw_eq_view(&o.canvas, a.l().scope, a.app.get());
  o.read();
  keep(o, "eq_view");
  const Rect s = a.l().scope;
  const float span = s.h - 40.0f, top = s.y + 20.0f;
  // High-pass on at 200 Hz (a third of the width) and 24 dB/octave; low-pass off near the right
  // edge at the default 72 (the top); the peak at 2 kHz with Q 4.
  const int hx = int(std::round(s.x + s.w / 3.0f)), hy = int(std::round((1.0f - 18.0f / 66.0f) * span + top));
  EXPECT_EQ(o.at(hx, hy), 0xFFE9E5E2u);
  const int lx = int(std::round(s.x + std::log10(900.0f) / 3.0f * s.w)), ly = int(std::round(top));
  EXPECT_EQ(o.at(lx, ly), 0xFF807C7Au);
  const int px = int(std::round(s.x + 2.0f / 3.0f * s.w)), py = int(std::round((1.0f - 3.7f / 11.7f) * span + top));
  EXPECT_EQ(o.at(px, py), 0xFFE9E5E2u);

  // The curve: at 50 Hz the engine's filters leave a gain g dB; the line crosses that column at
  // -g / 60 of the span below the top.
  EqCoefficients c;
  eq_coefficients(&c, 200.0f, 4, 0.0f, 12, 2000.0f, 4.0f, 48000.0);
  const int cx = int(s.x) + 4 * int(std::round(std::log10(50.0 / 20.0) / 3.0 * s.w / 4.0));
  const double hz = 20.0 * std::pow(1000.0, double(cx - s.x) / s.w);
  const double g = eq_response_db(c, 48000.0, hz);
  ASSERT_LT(g, -30.0);
  const int cy = int(std::round(top + std::min(1.0, -g / 60.0) * span));
  const uint32_t p = o.at(cx, cy);
  EXPECT_NEAR(red_of(p), 0xF2, 3) << g;
  EXPECT_NEAR(green_of(p), 0x7A, 3) << g;
  EXPECT_NEAR(blue_of(p), 0x1F, 3) << g;
}

TEST(ScopePixels, TapeStripShowsTheEmptyTextThenTakeMarksAndTheFlash) {
  ScopeApp a;
  Offscreen o;
  ASSERT_TRUE(o.open(960, 540));
  const Rect r = a.l().trigger_strip;
  auto draw = [&] {
    o.clear();
    draw_tape_strip(&o.canvas, r, a.app.get());
    o.read();
  };
  draw();
  int text = 0;
  for (int y = int(r.y); y < int(r.y + r.h); ++y)
    for (int x = int(r.x) + 12; x < int(r.x) + 300; ++x) text += o.at(x, y) != 0xFF1A1818u;
  EXPECT_GT(text, 100);

  // Half a second recorded, one take starting at a quarter of it.
  a->engine.write_head.store(24000);
  a->recorder.takes.take_count = 1;
  a->recorder.takes.takes[0].start = 6000;
  draw();
  keep(o, "tape");
  const int x = int(std::floor(r.w / 4));
  EXPECT_EQ(o.at(x, int(r.y + r.h / 2)), 0xFF0D0C0Cu);
  EXPECT_EQ(o.at(x, int(r.y) + 1), 0xFF1F7AF2u);
  EXPECT_EQ(o.at(x + 1, int(r.y + r.h) - 2), 0xFF1F7AF2u);
  EXPECT_EQ(o.at(x + 2, int(r.y) + 1), 0xFF1A1818u);
  // The play head at the start, grey.
  EXPECT_EQ(o.at(int(r.x), int(r.y + r.h / 2)), 0xFF807C7Au);

  // A continued session flashes the strip lighter.
  a->scope.tape_flash = 1.0f;
  draw();
  EXPECT_GT(red_of(o.at(x + 40, int(r.y) + 1)), 0x1A + 10);
}

// The drawing calls' boxes on the software renderer: cut into strips where that fills faster,
// they cover exactly what the renderer's own fill of each box would, at any position and width;
// an opaque rounded box is its box with the corners cut, and nothing outside it.
TEST(DrawPixels, BoxesCoverWhatTheRenderersFillWouldAndRoundedBoxesKeepTheirCorners) {
  Offscreen o;
  ASSERT_TRUE(o.open(400, 300));
  std::vector<Rect> boxes;
  for (int i = 0; i < 60; ++i) {
    const float x = -20.0f + float((i * 37) % 400) + float(i % 7) * 0.13f;
    const float w = 1.0f + float((i * 53) % 140) + float(i % 5) * 0.21f;
    boxes.push_back(Rect{x, float((i * 29) % 280) + 0.4f, w, 1.0f + float(i % 19)});
  }
  o.clear();
  draw_fill_rects(&o.canvas, boxes.data(), int(boxes.size()), 0xFF3366CCu);
  draw_fill(&o.canvas, Rect{101.7f, 3.2f, 66.6f, 9.0f}, 0xFFCC6633u);
  o.read();
  const std::vector<uint32_t> ours = o.pixels;
  o.clear();
  SDL_SetRenderDrawBlendMode(o.renderer, SDL_BLENDMODE_NONE);
  SDL_SetRenderDrawColor(o.renderer, 0xCC, 0x66, 0x33, 0xFF);
  for (const Rect& r : boxes) {
    const SDL_FRect f{r.x, r.y, r.w, r.h};
    SDL_RenderFillRectF(o.renderer, &f);
  }
  SDL_SetRenderDrawColor(o.renderer, 0x33, 0x66, 0xCC, 0xFF);
  const SDL_FRect last{101.7f, 3.2f, 66.6f, 9.0f};
  SDL_RenderFillRectF(o.renderer, &last);
  o.read();
  ASSERT_EQ(ours.size(), o.pixels.size());
  for (size_t i = 0; i < ours.size(); ++i)
    ASSERT_EQ(ours[i], o.pixels[i]) << "pixel " << i % 400 << "," << i / 400;

  o.clear();
  draw_rounded(&o.canvas, Rect{40, 50, 120, 40}, 6, 0xFF3366CCu);
  o.read();
  const uint32_t fill = o.at(100, 70), clear = o.at(10, 10);
  EXPECT_NE(fill, clear);
  for (int y = 45; y < 95; ++y)
    for (int x = 35; x < 165; ++x) {
      const bool inside = x >= 40 && x < 160 && y >= 50 && y < 90;
      const bool corner = (x < 41 || x >= 159) && (y < 51 || y >= 89);
      const bool body = (x >= 46 && x < 154 && y >= 50 && y < 90) || (y >= 56 && y < 84 && x >= 40 && x < 160);
      if (!inside || corner) EXPECT_EQ(o.at(x, y), clear) << x << "," << y;
      if (body) EXPECT_EQ(o.at(x, y), fill) << x << "," << y;
    }
}
