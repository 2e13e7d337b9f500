// The chop view as drawn on SDL's offscreen driver with the software renderer, read back pixel by
// pixel: take spans in their shade, bars light inside a take and dark outside, the threshold and
// gate-out lines at the rows the scope's mapping gives, the take ticks, the reading bar, the
// failure in red, and the chop buttons.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <string>

#include "app/chop/chop_control.h"
#include "app/chop/chop_view.h"
#include "app/shell/theme.h"
#include "platform/text.h"
#include "tests/app/chop_fixture.h"

namespace {

constexpr uint32_t kBlack = 0xFF000000;

// The pixel column of a block in a view of w columns over the burst file.
int column_of(const Rect& s, int block) { return int(s.x) + int(int64_t(block) * int64_t(s.w) / kBurstFileBlocks); }

// Row of a level at display gain 1.
int row_of(const Rect& s, float level) { return int(s.y + s.h - std::round(std::sqrt(level) * (s.h - 4.0f))); }

void render(Offscreen& o, ChopApp& c, uint32_t now_ms) {
  o.clear();
  theme_resolve(c->settings, &c->theme);
  draw_chop_view(&o.canvas, c.a.l().scope, c.get(), now_ms);
  draw_chop_buttons(&o.canvas, c.get());
  o.read();
}

void keep(Offscreen& o, const char* name) {
  const char* dir = std::getenv("TOLM_SCOPE_SHOTS");
  if (dir) o.save(std::string(dir) + "/" + name + ".bmp");
}

int count_colour(const Offscreen& o, const Rect& r, uint32_t colour) {
  int n = 0;
  for (int y = int(r.y); y < int(r.y + r.h); ++y)
    for (int x = int(r.x); x < int(r.x + r.w); ++x) n += o.at(x, y) == colour;
  return n;
}

}  // namespace

TEST(ChopPixels, TakesBarsLinesAndTicksInTheirColours) {
  ChopApp c;
  Offscreen o;
  ASSERT_TRUE(o.open(960, 540));
  c.drop(c.bursts);
  ASSERT_EQ(c.settle(), kChopReady);
  render(o, c, 0);
  keep(o, "chop_ready");
  ASSERT_EQ(c->chop.take_count, 3);
  const Rect s = c.a.l().scope;
  const int bottom = int(s.y + s.h);
  const int line = row_of(s, 0.02f);  // -34 dB
  ASSERT_EQ(line, bottom - 49);

  // The first take: its pre-roll is silent, so above the bars it is the span's shade; in the 0.5
  // burst the bar is light, sqrt(0.5) of the height.
  const int pre_roll = column_of(s, 700);
  const int burst = column_of(s, 1200);
  EXPECT_EQ(o.at(pre_roll, bottom - 150), kChopSpanShade);
  EXPECT_EQ(o.at(burst, bottom - 10), kChopBarInTake);
  EXPECT_EQ(o.at(burst, row_of(s, 0.5f) + 2), kChopBarInTake);
  EXPECT_EQ(o.at(burst, row_of(s, 0.5f) - 3), kChopSpanShade);
  // Between two takes: the plain background.
  EXPECT_EQ(o.at(column_of(s, 2450), bottom - 150), kBlack);
  // The hum under the line, outside any take: a dark bar on the background.
  const int hum = column_of(s, (kHumBlocks[0] + kHumBlocks[1]) / 2);
  EXPECT_EQ(o.at(hum, bottom - 5), kChopBarOutside);
  EXPECT_EQ(o.at(hum, bottom - 150), kBlack);

  // The threshold line across a silent stretch of the second take, the gate-out line's dash three
  // rows under it (the exit level equals the threshold at 0 dB of gate-out).
  const int quiet = int(s.x) + 300;
  ASSERT_GT(quiet, column_of(s, 3500));  // after the second burst, inside its take
  ASSERT_LT(quiet, column_of(s, kBurstTakes[1][1]));
  EXPECT_EQ(o.at(quiet, line), 0xFFC6C1BEu);
  EXPECT_EQ(o.at(quiet, line + 3), 0xFF1F7AF2u);
  EXPECT_EQ(o.at(quiet, line - 6), kChopSpanShade);  // no glow while the line is not dragged

  // A tick at the top of each take's first column.
  for (int i = 0; i < 3; ++i) {
    int first = 0, end = 0;
    chop_take_columns(kBurstTakes[i][0], kBurstTakes[i][1], kBurstFileBlocks, int(s.w), &first, &end);
    EXPECT_EQ(o.at(int(s.x) + first, int(s.y) + 2), kColourOrange) << i;
    EXPECT_NE(o.at(int(s.x) + first, int(s.y) + int(kChopTickH) + 1), kColourOrange) << i;
  }

  // The active MAKE SESSION button is orange; CANCEL is dark.
  const Rect make = chop_button_rect(c.a.l(), kChopMake);
  const Rect cancel = chop_button_rect(c.a.l(), kChopCancel);
  EXPECT_EQ(o.at(int(make.x + 12), int(make.y + make.h / 2)), kColourOrange);
  EXPECT_EQ(o.at(int(cancel.x + 12), int(cancel.y + cancel.h / 2)), kColourSurface);

  // Raising the scale doubles the bars' display gain: the burst's bar reaches sqrt(1) - full height.
  c->sliders.scale = 0.5f;  // +6 dB
  render(o, c, 0);
  EXPECT_EQ(o.at(burst, int(s.y) + int(kChopTopStripH) + 4), kChopBarInTake);
}

TEST(ChopPixels, ReadingBarAndFailureInRed) {
  ChopApp c;
  Offscreen o;
  ASSERT_TRUE(o.open(960, 540));
  const Rect s = c.a.l().scope;
  // A chop that reads: the slider sits at the track's left end at the open and has moved 0.4 of
  // the way half a second later.
  ChopJob& job = c->chop;
  text_copy(job.source_path, "/music/a long field recording.wav");
  job.mode = 1;
  job.opened_ms = 1000;
  render(o, c, 1000);
  keep(o, "chop_reading");
  const float track_x = std::round(s.x + s.w / 3.0f);
  const float track_w = std::round(s.w / 3.0f);
  const float slider_w = std::round(s.w / 12.0f);
  int row = -1;
  for (int y = int(s.y + s.h / 2); y < int(s.y + s.h) && row < 0; ++y)
    if (o.at(int(track_x + 5), y) == kColourOrange) row = y;
  ASSERT_GE(row, 0);
  row += 2;  // the middle of the track, clear of the rounded corners
  EXPECT_EQ(o.at(int(track_x + slider_w - 3), row), kColourOrange);
  EXPECT_EQ(o.at(int(track_x + slider_w + 3), row), kColourSurface);
  render(o, c, 1500);
  const int moved = int(std::round(track_x + 0.4f * (track_w - slider_w)));
  EXPECT_EQ(o.at(int(track_x + 5), row), kColourSurface);
  EXPECT_EQ(o.at(moved + 5, row), kColourOrange);
  EXPECT_EQ(o.at(moved - 3, row), kColourSurface);
  // READING over the name, in light; the button says READING, dark.
  EXPECT_GT(count_colour(o, Rect{s.x + s.w / 3, s.y + s.h / 2 - 40, s.w / 3, 40}, kColourLight), 20);
  const Rect make = chop_button_rect(c.a.l(), kChopMake);
  EXPECT_EQ(o.at(int(make.x + 12), int(make.y + make.h / 2)), kColourSurface);

  // A failed read: the message in red, nothing orange.
  job.state.store(kChopFailed);
  text_copy(job.message, "COULDN'T READ IT");
  render(o, c, 1500);
  keep(o, "chop_failed");
  EXPECT_GT(count_colour(o, Rect{s.x, s.y + s.h / 2 - 40, s.w, 40}, kChopFailedText), 20);
  EXPECT_EQ(count_colour(o, s, kColourOrange), 0);
}
