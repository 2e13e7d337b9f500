// The spectrum history as pictures. Each texture mirrors the analyser's 720-row ring slot for
// slot, so a frame copies in only the rows added since the last one and draws the visible rows
// as at most two stretched pieces (the ring's wrap splits them). When the renderer refuses a
// texture the history is drawn as cells from then on.
#include <algorithm>
#include <cmath>

#include "analysis/spectrum.h"
#include "app/scope/scope_draw.h"
#include "app/shell/app_state.h"
#include "config/log.h"

namespace {

constexpr int kRing = kSpectrumRows;
constexpr int kBands = kSpectrumBands;
constexpr float kWaterfallShade = 0.55f, kWaterfallBlue = 0.75f;
constexpr float kEqRed = 190.0f, kEqGreen = 193.0f, kEqBlue = 198.0f;

uint32_t pack(float r, float g, float b) {
  auto byte = [](float x) { return uint32_t(std::clamp(std::lround(x), 0L, 255L)); };
  return 0xFF000000u | (byte(b) << 16) | (byte(g) << 8) | byte(r);
}

enum class Layout { kAcross, kDown };  // rows across the width (waterfall) or down the height

// Brings the texture up to the analyser: a refill when it is new, the colours changed or the
// analyser started over, else the rows written since the last frame.
void sync(SpectrumPicture* p, const SpectrumAnalyser& a, Layout layout, uint32_t colour, uint32_t background,
          uint32_t* texels) {
  const uint64_t written = a.rows_written;
  auto texel = [&](float v) {
    return layout == Layout::kAcross ? waterfall_texel(v, colour, background) : eq_history_texel(v, background);
  };
  const uint64_t oldest = written > uint64_t(kRing) ? written - kRing : 0;
  if (!p->filled || p->colour != colour || p->background != background || written < p->rows_done) {
    std::fill(texels, texels + kRing * kBands, background | 0xFF000000u);
    for (uint64_t r = oldest; r < written; ++r) {
      const int slot = int(r % kRing);
      const float* row = a.rows[slot];
      for (int b = 0; b < kBands; ++b) {
        if (layout == Layout::kAcross) texels[(kBands - 1 - b) * kRing + slot] = texel(row[b]);
        else texels[(kRing - 1 - slot) * kBands + b] = texel(row[b]);
      }
    }
    if (layout == Layout::kAcross) picture_update(p->texture, 0, 0, kRing, kBands, texels, kRing);
    else picture_update(p->texture, 0, 0, kBands, kRing, texels, kBands);
  } else {
    for (uint64_t r = std::max(p->rows_done, oldest); r < written; ++r) {
      const int slot = int(r % kRing);
      const float* row = a.rows[slot];
      if (layout == Layout::kAcross) {
        for (int b = 0; b < kBands; ++b) texels[kBands - 1 - b] = texel(row[b]);
        picture_update(p->texture, slot, 0, 1, kBands, texels, 1);
      } else {
        for (int b = 0; b < kBands; ++b) texels[b] = texel(row[b]);
        picture_update(p->texture, 0, kRing - 1 - slot, kBands, 1, texels, kBands);
      }
    }
  }
  p->rows_done = written;
  p->colour = colour;
  p->background = background;
  p->filled = true;
}

// True when the picture has its texture (made now if need be); false means draw cells, from
// the first refusal on.
bool ready(Canvas* c, SpectrumPicture* p, ScopeView* v, Layout layout) {
  if (v->cells_only) return false;
  if (p->texture) return true;
  const int w = layout == Layout::kAcross ? kRing : kBands;
  const int h = layout == Layout::kAcross ? kBands : kRing;
  char error[160] = "";
  p->texture = picture_create(c, w, h, error, sizeof error);
  p->filled = false;
  if (p->texture) return true;
  log_line("waterfall texture %dx%d failed (%s) - drawing cells", w, h, error);
  v->cells_only = true;
  return false;
}

// The rows shown: those valid for display, as many as fit.
int rows_to_draw(const SpectrumAnalyser& a, float fit) {
  const uint64_t shown = uint64_t(std::clamp(a.rows_shown, 0, kRing));
  return int(std::min<uint64_t>({shown, uint64_t(std::max(fit, 0.0f)), a.rows_written}));
}

// Pixel rows [y0, y1) of texel t of n stretched over a span of `span` pixels: the pixels whose
// centres fall into the texel, as nearest-texel sampling draws them.
void texel_span(int t, int n, float span, float* y0, float* y1) {
  *y0 = std::ceil(float(t) * span / float(n) - 0.5f);
  *y1 = std::ceil(float(t + 1) * span / float(n) - 0.5f);
}

}  // namespace

uint32_t waterfall_texel(float v, uint32_t colour, uint32_t background) {
  if (!(v > kCellFloor)) return background | 0xFF000000u;
  const float s = std::sqrt(std::min(v, 1.0f)) * kWaterfallShade;
  const float red = float(colour & 0xFF), green = float((colour >> 8) & 0xFF), blue = float((colour >> 16) & 0xFF);
  return pack(red * s, green * s, blue * s * kWaterfallBlue);
}

uint32_t eq_history_texel(float v, uint32_t background) {
  if (!(v > kCellFloor)) return background | 0xFF000000u;
  v = std::min(v, 1.0f);
  return pack(kEqRed * v, kEqGreen * v, kEqBlue * v);
}

float spectrum_axis_share(double rate) {
  const double top = std::min(rate / 2.0, 20000.0);
  return top > 20.0 ? float(std::log10(top / 20.0) / 3.0) : 0.0f;
}

void draw_waterfall(Canvas* c, const Rect& r, AppState* app, uint32_t background) {
  const SpectrumAnalyser& a = app->input_spectrum;
  ScopeView& v = app->scope;
  const uint64_t written = a.rows_written;
  const int n = rows_to_draw(a, r.w / kWaterfallRowPx);
  const uint32_t colour = app->theme.slot[kSlotWaterfall];
  const float right = r.x + r.w;
  if (n > 0 && ready(c, &v.waterfall, &v, Layout::kAcross)) {
    // The picture is opaque and carries the background: only the rest of the scope is filled.
    draw_fill(c, Rect{r.x, r.y, r.w - float(kWaterfallRowPx * n), r.h}, background);
    sync(&v.waterfall, a, Layout::kAcross, colour, background, v.texels);
    for (uint64_t from = written - uint64_t(n); from < written;) {
      const uint64_t to = std::min(written, (from / kRing + 1) * kRing);
      const Rect src{float(from % kRing), 0, float(to - from), float(kBands)};
      const float px = float(kWaterfallRowPx);
      const Rect dst{right - px * float(written - from), r.y, px * float(to - from), r.h};
      picture_draw(c, v.waterfall.texture, src, dst);
      from = to;
    }
    return;
  }
  draw_fill(c, r, background);
  for (int k = 0; k < n; ++k) {
    const float* row = a.rows[(written - 1 - uint64_t(k)) % kRing];
    const float x = right - float(kWaterfallRowPx * (k + 1));
    for (int b = 0; b < kBands; ++b) {
      if (!(row[b] > kCellFloor)) continue;
      float y0, y1;
      texel_span(kBands - 1 - b, kBands, r.h, &y0, &y1);
      draw_fill(c, Rect{x, r.y + y0, float(kWaterfallRowPx), y1 - y0}, waterfall_texel(row[b], colour, background));
    }
  }
}

void draw_eq_history(Canvas* c, const Rect& r, AppState* app, uint32_t background) {
  const SpectrumAnalyser& a = app->input_spectrum;
  ScopeView& v = app->scope;
  const uint64_t written = a.rows_written;
  const int n = rows_to_draw(a, r.h / kEqRowPx);
  const double rate = app->engine.sample_rate > 0 ? app->engine.sample_rate : 48000.0;
  const float width = std::round(r.w * spectrum_axis_share(rate));
  if (n > 0 && ready(c, &v.eq_history, &v, Layout::kDown)) {
    // The picture is opaque and carries the background: only the rest of the view is filled.
    const float tall = float(kEqRowPx * n);
    draw_fill(c, Rect{r.x + width, r.y, r.w - width, tall}, background);
    draw_fill(c, Rect{r.x, r.y + tall, r.w, r.h - tall}, background);
    sync(&v.eq_history, a, Layout::kDown, 0, background, v.texels);
    // Newest row on top; in the texture a later row sits higher, so a piece keeps its order.
    for (uint64_t from = written - uint64_t(n); from < written;) {
      const uint64_t to = std::min(written, (from / kRing + 1) * kRing);
      const Rect src{0, float(kRing - 1 - int((to - 1) % kRing)), float(kBands), float(to - from)};
      const Rect dst{r.x, r.y + float(kEqRowPx) * float(written - to), width, float(kEqRowPx) * float(to - from)};
      picture_draw(c, v.eq_history.texture, src, dst);
      from = to;
    }
    return;
  }
  draw_fill(c, r, background);
  for (int k = 0; k < n; ++k) {
    const float* row = a.rows[(written - 1 - uint64_t(k)) % kRing];
    const float y = r.y + float(kEqRowPx * k);
    for (int b = 0; b < kBands; ++b) {
      if (!(row[b] > kCellFloor)) continue;
      float x0, x1;
      texel_span(b, kBands, width, &x0, &x1);
      draw_fill(c, Rect{r.x + x0, y, x1 - x0, float(kEqRowPx)}, eq_history_texel(row[b], background));
    }
  }
}
