// The stage's triangles filled in memory: triangles sharing edges blend each pixel once with no
// gap, and what it leaves alone: triangles off the image, degenerate, not finite or far out. (How it compares with the renderer's own triangles
// is the stage view's test.)
#include "visual/raster.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

namespace {

struct Image {
  int w, h;
  std::vector<uint32_t> px;
  Image(int width, int height, uint32_t fill) : w(width), h(height), px(size_t(width) * size_t(height), fill) {}
  RasterImage view() { return RasterImage{px.data(), w, h, w}; }
  uint32_t at(int x, int y) const { return px[size_t(y) * size_t(w) + size_t(x)]; }
};

// argb as 0xAARRGGBB, the images' layout.
StageVertex vertex(float x, float y, uint32_t argb, float u = 0.0f, float v = 0.0f) {
  return StageVertex{x, y, uint8_t(argb >> 16), uint8_t(argb >> 8), uint8_t(argb), uint8_t(argb >> 24), u, v};
}

TEST(Raster, TrianglesSharingEdgesBlendEachPixelOnceWithNoGap) {
  // A 60 x 40 rectangle at (2, 3) cut into a grid of cells whose inner corners are jittered off the
  // pixel grid, each cell two triangles (diagonals alternating, windings mixed), all at alpha 128.
  constexpr int kCols = 8, kRows = 6;
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> jitter(-2.4f, 2.4f);
  float gx[kRows + 1][kCols + 1], gy[kRows + 1][kCols + 1];
  for (int j = 0; j <= kRows; ++j) {
    for (int i = 0; i <= kCols; ++i) {
      const bool inner = i > 0 && i < kCols && j > 0 && j < kRows;
      gx[j][i] = 2.0f + 60.0f * float(i) / kCols + (inner ? jitter(rng) : 0.0f);
      gy[j][i] = 3.0f + 40.0f * float(j) / kRows + (inner ? jitter(rng) : 0.0f);
    }
  }
  constexpr uint32_t kHalfWhite = 0x80FFFFFFu;
  std::vector<StageVertex> v;
  for (int j = 0; j < kRows; ++j) {
    for (int i = 0; i < kCols; ++i) {
      const StageVertex a = vertex(gx[j][i], gy[j][i], kHalfWhite), b = vertex(gx[j][i + 1], gy[j][i + 1], kHalfWhite);
      const StageVertex c = vertex(gx[j + 1][i + 1], gy[j + 1][i + 1], kHalfWhite);
      const StageVertex d = vertex(gx[j + 1][i], gy[j + 1][i], kHalfWhite);
      if ((i + j) % 2 == 0) v.insert(v.end(), {a, b, c, a, d, c});
      else v.insert(v.end(), {a, b, d, b, c, d});
    }
  }
  Image img(66, 48, 0xFF000000u);
  raster_triangles(img.view(), 0.0f, 0.0f, v.data(), int(v.size()));
  for (int y = 0; y < img.h; ++y) {
    for (int x = 0; x < img.w; ++x) {
      const bool inside = x >= 2 && x < 62 && y >= 3 && y < 43;
      // 128 / 255 of white over black, once: 0x80 a channel.
      ASSERT_EQ(img.at(x, y), inside ? 0xFF808080u : 0xFF000000u) << "pixel " << x << "," << y;
    }
  }
}

TEST(Raster, LeavesThePixelsAloneForTrianglesItCannotDraw) {
  const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
  const StageVertex bad[] = {
      vertex(nan, 2, 0xFFFFFFFFu), vertex(20, 2, 0xFFFFFFFFu),  vertex(2, 20, 0xFFFFFFFFu),   // not a number
      vertex(2, 2, 0xFFFFFFFFu),   vertex(inf, 2, 0xFFFFFFFFu), vertex(2, 20, 0xFFFFFFFFu),   // infinite
      vertex(2, 2, 0xFFFFFFFFu),   vertex(9e9f, 2, 0xFFFFFFFFu), vertex(2, 9e9f, 0xFFFFFFFFu), // far out
      vertex(2, 2, 0xFFFFFFFFu),   vertex(10, 10, 0xFFFFFFFFu), vertex(20, 20, 0xFFFFFFFFu),  // a line
      vertex(-30, -30, 0xFFFFFFFFu), vertex(-5, -30, 0xFFFFFFFFu), vertex(-5, -5, 0xFFFFFFFFu),  // off the image
      vertex(0, 0, 0x00FFFFFFu),   vertex(24, 0, 0x00FFFFFFu),  vertex(0, 24, 0x00FFFFFFu),   // clear
      vertex(2, 2, 0xFFFFFFFFu),   vertex(20, 2, 0xFFFFFFFFu),                                // not a triangle
  };
  Image img(24, 24, 0xFF102030u);
  raster_triangles(img.view(), 0.0f, 0.0f, bad, int(std::size(bad)));
  for (uint32_t p : img.px) ASSERT_EQ(p, 0xFF102030u);

  // One far larger than the image fills all of it, and nothing beside it (the sanitizer watches).
  const StageVertex huge[3] = {vertex(-4000, -4000, 0xFFFFFFFFu), vertex(9000, -10, 0xFFFFFFFFu),
                               vertex(-10, 9000, 0xFFFFFFFFu)};
  raster_triangles(img.view(), 0.0f, 0.0f, huge, 3);
  for (uint32_t p : img.px) ASSERT_EQ(p, 0xFFFFFFFFu);
}

}  // namespace
