// The stage on SDL's software renderer: filled in memory it matches what the renderer's own
// triangles draw, frame after frame, across a release of the view's pictures and while it stands
// still (the sky kept from the frame before), and it draws nothing outside the view.
#include <SDL.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <memory>
#include <vector>

#include "app/shell/app_state.h"
#include "app/stage/stage_view.h"
#include "tests/app/scope_fixture.h"

namespace {

constexpr int kW = 1280, kH = 720;

class StageInMemory : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(o_.open(kW, kH));
    draw_clear(&o_.canvas, 0xFF000000u);
    for (auto* app : {&memory_, &drawn_}) {
      *app = std::make_unique<AppState>();
      settings_defaults(&(*app)->settings);
      theme_resolve((*app)->settings, &(*app)->theme);
    }
    drawn_->stage.no_layer = true;
    // A history of a harmonic tone, loud enough for the sky's leaves.
    spectrum_reset(&spectrum_);
    spectrum_set_history(&spectrum_, kSpectrumRows);
    std::vector<float> signal(kSpectrumSize);
    for (int r = 0; r < 120; ++r) {
      for (int i = 0; i < kSpectrumSize; ++i) {
        double v = 0;
        for (int k = 1; k <= 8; ++k) v += std::sin(2 * M_PI * 110.0 * (1 + r % 5) * k * i / 48000.0) / k;
        signal[size_t(i)] = float(0.3 * v);
      }
      spectrum_feed(&spectrum_, signal.data(), kSpectrumSize, 48000.0);
    }
    tempo_.result.done = 1;
    tempo_.result.bpm = 120.0f;
  }
  void TearDown() override {
    for (auto* app : {&memory_, &drawn_})
      if (*app) stage_view_release(&(*app)->stage);
  }

  VisualInput input(int frame, bool frozen) const {
    VisualInput in{};
    in.x = view_.x, in.y = view_.y, in.w = view_.w, in.h = view_.h;
    in.now_s = frame / 60.0;
    in.play_s = in.now_s;
    in.tick_ms = uint32_t(frame * 16);
    in.input = &spectrum_;
    in.library = &spectrum_;
    in.library_playing = true;
    in.wall_source = kWallFromLibrary;
    in.tempo = &tempo_;
    in.frozen = frozen;
    const Theme& th = memory_->theme;
    in.colours = StageColours{th.slot[kSlotCorridorTop], th.slot[kSlotCorridorBottom], th.slot[kSlotSkyFirst],
                              th.slot[kSlotSkySecond],   th.slot[kSlotFloorColour],    th.slot[kSlotStageSpotlights],
                              th.slot[kSlotVisualBackground]};
    return in;
  }

  // The frame drawn by `app` over a backdrop of stripes, read back.
  std::vector<uint32_t> shot(AppState* app, const VisualInput& in) {
    for (int k = 0; k < 8; ++k)
      draw_fill(&o_.canvas, Rect{view_.x, view_.y + view_.h * k / 8, view_.w, view_.h / 8}, 0xFF000000u | (k * 0x151B23u));
    draw_stage_with(&o_.canvas, view_, &app->stage, in);
    std::vector<uint32_t> px(size_t(kW) * kH);
    EXPECT_EQ(SDL_RenderReadPixels(o_.renderer, nullptr, SDL_PIXELFORMAT_ARGB8888, px.data(), kW * 4), 0);
    return px;
  }

  // Mean channel difference and the share of pixels off by more than 24 in some channel.
  static void compare(const std::vector<uint32_t>& a, const std::vector<uint32_t>& b, double* mean, double* far) {
    double sum = 0;
    size_t off = 0;
    for (size_t i = 0; i < a.size(); ++i) {
      int d = 0;
      for (int shift = 0; shift < 24; shift += 8)
        d = std::max(d, std::abs(int((a[i] >> shift) & 0xFF) - int((b[i] >> shift) & 0xFF)));
      sum += d;
      off += d > 24;
    }
    *mean = sum / double(a.size());
    *far = double(off) / double(a.size());
  }

  Offscreen o_;
  Rect view_{13.0f, 40.5f, 1021.0f, 600.0f};
  std::unique_ptr<AppState> memory_, drawn_;
  SpectrumAnalyser spectrum_{};
  TempoKeyAnalyser tempo_{};
};

TEST_F(StageInMemory, FilledInMemoryItLooksAsTheRenderersOwnTriangles) {
  std::vector<uint32_t> a, b, before;
  double mean = 0, far = 0;
  for (int frame = 1; frame <= 40; ++frame) {
    const VisualInput in = input(frame, frame > 30);
    if (frame == 20) stage_view_release(&memory_->stage), stage_view_release(&drawn_->stage);
    a = shot(memory_.get(), in);
    b = shot(drawn_.get(), in);
    compare(a, b, &mean, &far);
    // The renderer cuts corners to whole pixels and texels where the fill keeps sixteenths, so
    // edges differ by a pixel (a mean near 3.5 and 2% of pixels); a pass or a scale gone wrong
    // doubles the mean or more.
    EXPECT_LT(mean, 5.0) << "frame " << frame;
    EXPECT_LT(far, 0.04) << "frame " << frame;
    if (frame == 39) before = a;
  }
  // Standing still, the sky kept from the frame before draws the same frame again.
  EXPECT_EQ(a, before);
  // Around the view the window stays as cleared: the row above it, the columns either side.
  for (int x = 0; x < kW; ++x) EXPECT_EQ(a[size_t(39) * kW + size_t(x)], 0xFF000000u) << x;
  for (int y = 0; y < kH; ++y) {
    EXPECT_EQ(a[size_t(y) * kW + 12], 0xFF000000u) << y;
    EXPECT_EQ(a[size_t(y) * kW + 1034], 0xFF000000u) << y;
  }
}

}  // namespace
