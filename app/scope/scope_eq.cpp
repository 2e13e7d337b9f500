// The trigger-EQ view: the input's spectrum history, the frequency grid, the newest spectrum row,
// the combined response of the engine's three trigger filters and the handles that shape them.
#include <algorithm>
#include <cmath>
#include <complex>

#include "app/scope/scope_draw.h"
#include "app/scope/scope_geometry.h"
#include "app/shell/app_state.h"
#include "platform/text.h"
#include "ui/text.h"

namespace {

constexpr float kHandleSize = 10.0f;
constexpr float kResponseRangeDb = 60.0f;   // the view's height less 40 spans 0 .. -60 dB
constexpr uint32_t kGridLine = 0xFF221F1F;
constexpr uint32_t kHandleOn = 0xFFE9E5E2, kHandleOff = 0xFF807C7A;
constexpr float kRowFill = 0.08f, kRowLine = 0.55f;

struct GridMark {
  float hz;
  const char* label;
};
constexpr GridMark kGrid[] = {{50, "50"},   {100, "100"}, {200, "200"}, {500, "500"},
                              {1000, "1K"}, {2000, "2K"}, {5000, "5K"}, {10000, "10K"}};

void engine_coefficients(const CaptureEngine& e, EqCoefficients* c, double rate) {
  constexpr auto kRelaxed = std::memory_order_relaxed;
  eq_coefficients(c, e.hpf_hz.load(kRelaxed), e.hpf_order.load(kRelaxed), e.lpf_hz.load(kRelaxed),
                  e.lpf_order.load(kRelaxed), e.peak_hz.load(kRelaxed), e.peak_q.load(kRelaxed), rate);
}

void draw_grid(Canvas* c, const Rect& r) {
  const float bottom = r.y + r.h;
  for (const GridMark& g : kGrid) {
    const float x = std::round(eq_x_from_hz(r, g.hz));
    draw_fill(c, Rect{x, r.y, 1, r.h}, kGridLine);
    const float ink = text_ink_height(c, kScopeLabelSingle, g.label);
    const TextEntry* e = text_entry(c, kStackDisplay, kScopeLabelSingle, 400, g.label);
    const float mid = 0.5f * float(e->ink_left + e->ink_right);
    draw_text_ink_top(c, kScopeLabelSingle, g.label, std::round(x - mid), bottom - 6.0f - ink, kColourGrey);
  }
}

// The newest row as a soft filled outline over the frequency axis.
void draw_newest_row(Canvas* c, const Rect& r, AppState* app) {
  const SpectrumAnalyser& a = app->input_spectrum;
  const float* row = spectrum_row(&a, 0);
  if (!row) return;
  ScopeView& v = app->scope;
  const double rate = app->engine.sample_rate > 0 ? app->engine.sample_rate : 48000.0;
  const float width = r.w * spectrum_axis_share(rate);
  const float bottom = r.y + r.h, tall = r.h - 2.0f * kEqHandleMargin;
  int n = 0;
  for (int b = 0; b < kSpectrumBands; ++b) {
    const float x0 = r.x + std::floor(float(b) * width / kSpectrumBands);
    const float x1 = r.x + std::floor(float(b + 1) * width / kSpectrumBands);
    const float y = std::round(bottom - std::clamp(row[b], 0.0f, 1.0f) * tall);
    v.curve[2 * b] = 0.5f * (x0 + x1);
    v.curve[2 * b + 1] = y;
    if (x1 > x0 && y < bottom) v.fills[n++] = Rect{x0, y, x1 - x0, bottom - y};
  }
  draw_fill_rects(c, v.fills, n, colour_fade(kColourSilver, kRowFill));
  draw_polyline(c, v.curve, kSpectrumBands, colour_fade(kColourSilver, kRowLine));
  char label[48];
  text_format(label, sizeof label, "CEIL %.0F FLR %.0F", a.top_db, a.bottom_db);
  draw_text_ink_top(c, kScopeLabelSingle, label, r.x + r.w - 190.0f, r.y + 8.0f, kColourGrey);
}

void draw_response(Canvas* c, const Rect& r, AppState* app) {
  const CaptureEngine& e = app->engine;
  const double rate = e.sample_rate > 0 ? e.sample_rate : 48000.0;
  EqCoefficients k;
  engine_coefficients(e, &k, rate);
  ScopeView& v = app->scope;
  const float top = r.y + kEqHandleMargin, span = r.h - 2.0f * kEqHandleMargin;
  int n = 0;
  for (float dx = 0; n < kEqCurvePoints; dx += float(kEqCurveStepPx)) {
    const float x = std::min(dx, r.w - 1.0f);
    const double hz = 20.0 * std::pow(1000.0, double(x) / double(r.w));
    const float db = float(eq_response_db(k, rate, hz));
    const float y = top + std::clamp(-db / kResponseRangeDb, 0.0f, 1.0f) * span;
    v.curve[2 * n] = r.x + x;
    v.curve[2 * n + 1] = std::round(y);
    ++n;
    if (x >= r.w - 1.0f) break;
  }
  draw_polyline(c, v.curve, n, kColourOrange);
  for (int i = 0; i < n; ++i) v.curve[2 * i + 1] += 1.0f;  // two pixels thick
  draw_polyline(c, v.curve, n, colour_fade(kColourOrange, 0.6f));
}

void draw_handles(Canvas* c, const Rect& r, const AppState* app) {
  const Settings& s = app->settings;
  EqHandle h[3];
  eq_handles(r, s, h);
  char labels[3][24];
  text_format(labels[0], sizeof labels[0], "HPF %d", s.hpf_slope);
  text_format(labels[1], sizeof labels[1], "LPF %d", s.lpf_slope);
  text_format(labels[2], sizeof labels[2], "PK Q%.1F", s.peak_q);
  const ScopeDrag& d = app->scope.drag;
  for (int i = 0; i < 3; ++i) {
    const float half = kHandleSize * 0.5f;
    const Rect box{std::round(h[i].x - half), std::round(h[i].y - half), kHandleSize, kHandleSize};
    const uint32_t colour = h[i].on ? kHandleOn : kHandleOff;
    if (d.kind == ScopeDragKind::kEqBand && d.band == i + 1) draw_glow(c, box, 0, 10.0f, colour, 0.5f);
    draw_fill(c, box, colour);
    const float ink = text_ink_height(c, kScopeLabelSingle, labels[i]);
    // The label sits right of the handle, or left of it near the right edge.
    const float w = text_width(c, kStackDisplay, kScopeLabelSingle, 400, labels[i]);
    const float x = box.x + kHandleSize + 6.0f + w <= r.x + r.w - kDetectorBarW - 4.0f ? box.x + kHandleSize + 6.0f
                                                                                     : box.x - 6.0f - w;
    draw_text_ink_top(c, kScopeLabelSingle, labels[i], x, std::round(h[i].y - ink * 0.5f), colour);
  }
}

}  // namespace

double eq_response_db(const EqCoefficients& c, double rate, double hz) {
  const double w = 2.0 * 3.141592653589793 * hz / rate;
  const std::complex<double> z1 = std::polar(1.0, -w);  // z^-1
  std::complex<double> h = 1.0;
  if (c.cascade)
    for (int k = 0; k < kEqCascadeStages; ++k)
      h *= (double(c.q[k]) + double(c.r[k]) * z1) / (1.0 - double(c.p[k]) * z1);
  if (c.band) h *= (double(c.b0) + double(c.b2) * z1 * z1) / (1.0 + double(c.a1) * z1 + double(c.a2) * z1 * z1);
  return 20.0 * std::log10(std::max(std::abs(h), 1e-12));
}

void draw_eq_view(Canvas* c, const Rect& r, AppState* app) {
  scope_frame(app, r);
  const uint32_t background = scope_background(app->theme);
  if (r.w < 2 || r.h < 2.0f * kEqHandleMargin + 8.0f) {
    draw_fill(c, r, background);
    return;
  }
  draw_eq_history(c, r, app, background);
  draw_grid(c, r);
  draw_newest_row(c, r, app);
  draw_response(c, r, app);
  draw_detector_bar(c, r, app, scope_display_gain(app->sliders.scale, app->scope.fit));
  draw_handles(c, r, app);
}
