// The threshold view with its waterfall, the side panel and the tape strip, and the per-frame
// display state both scope views share (auto-fit, floor level, fades).
#include "app/scope/scope_view.h"

#include <algorithm>
#include <cmath>

#include "app/scope/scope_draw.h"
#include "app/scope/scope_geometry.h"
#include "app/shell/app_state.h"
#include "app/stage/stage_view.h"
#include "platform/clock.h"
#include "platform/text.h"
#include "ui/text.h"

namespace {

constexpr float kColumnGap = 1.0f;
constexpr float kHoldHandle = 9.0f;
constexpr float kHoldBarH = 3.0f;
constexpr float kCapH = 4.0f;
constexpr float kCapRecording = 0.35f, kCapOver = 0.55f;  // blend toward HIGHLIGHTS
constexpr float kColumnGlowH = 6.0f, kColumnGlow = 0.18f;
constexpr float kLineGlowRadius = 8.0f, kLineGlowDragged = 0.9f, kLineGlowOver = 0.6f;
constexpr float kHandleGlowRadius = 10.0f, kHandleGlow = 0.9f;
constexpr float kLabelAbove = 18.0f;          // threshold label's top above the line
constexpr float kGateLabelBelow = 4.0f, kGateLabelAbove = 10.0f, kGateLabelFromRight = 112.0f;
constexpr float kFloorGlowRecording = 0.06f, kFloorGlowQuiet = 0.035f;
constexpr float kFloorFollow = 0.2f;          // share of the gap the floor level closes a frame
constexpr float kFlashSeconds = 1.2f;         // continue flash fade
constexpr float kFlashAlpha = 0.16f;
constexpr float kTapeTickW = 2.0f, kTapeTickH = 6.0f;
constexpr uint32_t kSidePanelFill = 0xFF141313;
constexpr uint32_t kTabHover = 0xFF1F1D1D;
constexpr uint32_t kTrackFill = 0xFF1A1818;
constexpr uint32_t kTrackLevel = 0xFF2E2B2B;
constexpr uint32_t kTrackLevelLit = 0xFF423F3E;

float scale_factor(float position) { return std::pow(10.0f, (position * 60.0f - 24.0f) / 20.0f); }
float threshold_level(const TriggerPositions& p) { return std::pow(10.0f, (p.threshold * 80.0f - 80.0f) / 20.0f); }

// A soft vertical fade as rows of one alpha each: on the software renderer flat blended rows cost
// a fraction of interpolated geometry. alpha(d) gives the strength d pixels (row centre) from the
// edge the fade starts at; rows go up from `edge` when up, else down from it.
template <typename Alpha>
void fade_rows(Canvas* c, float x, float w, float edge, int rows, bool up, uint32_t colour, Alpha alpha) {
  int start = 0;
  int level = -1;
  auto flush = [&](int end) {
    if (level <= 0 || end <= start) return;
    const float y = up ? edge - float(end) : edge + float(start);
    draw_fill(c, Rect{x, y, w, float(end - start)}, (colour & 0x00FFFFFFu) | (uint32_t(level) << 24));
  };
  for (int d = 0; d < rows; ++d) {
    const int a = int(std::lround(std::clamp(alpha(float(d) + 0.5f), 0.0f, 1.0f) * float(colour >> 24)));
    if (a == level) continue;
    flush(d);
    start = d, level = a;
  }
  flush(rows);
}

// A box with corners cut a pixel or two (a small rounding drawn as five plain fills: the
// renderer's geometry path costs far more per pixel).
void pixel_rounded(Canvas* c, const Rect& r, uint32_t colour) {
  if (r.w < 5 || r.h < 5) {
    draw_fill(c, r, colour);
    return;
  }
  draw_fill(c, Rect{r.x + 2, r.y, r.w - 4, 1}, colour);
  draw_fill(c, Rect{r.x + 1, r.y + 1, r.w - 2, 1}, colour);
  draw_fill(c, Rect{r.x, r.y + 2, r.w, r.h - 4}, colour);
  draw_fill(c, Rect{r.x + 1, r.y + r.h - 2, r.w - 2, 1}, colour);
  draw_fill(c, Rect{r.x + 2, r.y + r.h - 1, r.w - 4, 1}, colour);
}

// The line's soft halo: strong at the line, 0.38 of it at 0.35 of the radius, nothing at the radius.
float halo(float d, float strength) {
  const float inner = kLineGlowRadius * 0.35f;
  if (d <= inner) return strength * (1.0f - 0.62f * d / inner);
  return strength * 0.38f * std::max(0.0f, 1.0f - (d - inner) / (kLineGlowRadius - inner));
}

void line_glow(Canvas* c, float x, float w, float y, uint32_t colour, float strength) {
  auto a = [strength](float d) { return halo(d, strength); };
  fade_rows(c, x, w, y, int(kLineGlowRadius), true, colour, a);
  fade_rows(c, x, w, y + 1.0f, int(kLineGlowRadius), false, colour, a);
}

void draw_columns(Canvas* c, const Rect& r, AppState* app, float o, float threshold) {
  ScopeView& v = app->scope;
  const Theme& th = app->theme;
  const float bottom = r.y + r.h;
  const int n = scope_column_count(r.w);
  int bars[4] = {}, caps[4] = {};
  float column_w = r.w;
  for (int j = 0; j < v.column_have; ++j) {
    const ScopeColumn& col = v.columns[j];
    const int k = n - v.column_have + j;  // fewer than N so far: the left stays empty
    const float x0 = r.x + std::floor(float(k) * r.w / float(n));
    const float x1 = r.x + std::floor(float(k + 1) * r.w / float(n));
    const float w = std::max(x1 - x0 - kColumnGap, 1.0f);
    column_w = std::min(column_w, w);
    const float h = std::round(scope_level_height(col.input_peak, o, r.h));
    if (h < 1.0f) continue;
    const bool over = col.detector_peak >= threshold;
    const int kind = col.recorded ? 3 : col.would_open ? 2 : over ? 1 : 0;
    const float top = bottom - h;
    v.bars[kind][bars[kind]++] = Rect{x0, top, w, h};
    if (col.recorded || over) {
      v.caps[kind][caps[kind]++] = Rect{x0, top, w, std::min(kCapH, h)};
    }
  }
  const uint32_t colours[4] = {th.slot[kSlotWaveQuiet], th.slot[kSlotWaveThreshold], th.slot[kSlotWaveTrigger],
                               th.slot[kSlotWaveRecording]};
  for (int k = 0; k < 4; ++k) draw_fill_rects(c, v.bars[k], bars[k], colours[k]);
  for (int k = 1; k < 4; ++k) {
    const float t = k == 3 ? kCapRecording : kCapOver;
    draw_fill_rects(c, v.caps[k], caps[k], colour_mix(colours[k], th.slot[kSlotHighlights], t));
  }
  // The glow above each capped column, a row at a time for all of them.
  if (column_w < 2.0f) return;
  for (int k = 1; k < 4; ++k) {
    const uint32_t glow = colour_mix(colours[k], th.slot[kSlotHighlights], k == 3 ? kCapRecording : kCapOver);
    for (int row = 1; row <= int(kColumnGlowH); ++row) {
      const float a = kColumnGlow * (1.0f - (float(row) - 0.5f) / kColumnGlowH);
      Rect* rows = v.glows[k];
      for (int i = 0; i < caps[k]; ++i) {
        const Rect& cap = v.caps[k][i];
        rows[i] = Rect{cap.x - 1.0f, cap.y - float(row), cap.w + 2.0f, 1.0f};
      }
      draw_fill_rects(c, rows, caps[k], colour_fade(glow, a));
    }
  }
}

// Three soft bands stacked at the bottom, each fading out upward; drawn as one fade whose rows
// carry the three bands' alphas composed.
void draw_floor_glow(Canvas* c, const Rect& r, const AppState* app, bool recording) {
  const uint32_t colour = app->theme.slot[recording ? kSlotWaveRecording : kSlotFloorGlow];
  const float strength = recording ? kFloorGlowRecording : kFloorGlowQuiet;
  float h[3];
  for (int i = 0; i < 3; ++i) h[i] = (0.05f + 0.05f * float(i)) * r.h * (app->scope.floor_level + 0.35f);
  auto alpha = [&](float d) {
    float clear = 1.0f;
    for (float band : h) clear *= 1.0f - strength * std::max(0.0f, 1.0f - d / band);
    return 1.0f - clear;
  };
  fade_rows(c, r.x, r.w, r.y + r.h, int(std::ceil(std::min(h[2], r.h))), true, colour | 0xFF000000u, alpha);
}

}  // namespace

int scope_column_count(float w) { return std::clamp(int(w / 2.0f), kScopeMinColumns, kScopeMaxColumns); }

float scope_level_height(float level, float gain, float h) {
  return std::sqrt(std::min(1.0f, std::max(0.0f, gain * level))) * (h - kScopePad);
}

float scope_display_gain(float scale_position, float fit) {
  return scale_factor(scale_position) * (fit > 0.0f ? fit : 1.0f);
}

float scope_fit_step(float fit, float loudest, float scale) {
  fit = fit > 0.0f && std::isfinite(fit) ? fit : 1.0f;
  const float f = loudest * scale;
  if (!std::isfinite(f)) return fit;
  const float target = f > kFitCeiling ? kFitCeiling / f : 1.0f;
  return fit + (target - fit) * (target < fit ? kFitFall : kFitRise);
}

uint32_t scope_background(const Theme& th) { return th.background_set ? th.slot[kSlotVisualBackground] : kScopeBlack; }

void scope_frame(AppState* app, const Rect& r) {
  ScopeView& v = app->scope;
  const int64_t now = mono_ns();
  const float dt = v.last_ns ? std::clamp(float(double(now - v.last_ns) / 1e9), 0.0f, 0.1f) : 0.016f;
  v.last_ns = now;
  CaptureEngine& e = app->engine;
  v.column_have = engine_scope_columns(&e, scope_column_count(r.w), v.columns);
  float loudest = 0.0f;
  for (int j = 0; j < v.column_have; ++j) loudest = std::max(loudest, v.columns[j].input_peak);
  v.fit = scope_fit_step(v.fit, loudest, scale_factor(app->sliders.scale));
  // The engine's display scale carries the fit, so every reader of it sees the scope's scale.
  if (std::fabs(v.fit - v.fit_applied) > 1e-6f * v.fit) {
    engine_apply_settings(&e, app->settings, v.fit);
    v.fit_applied = v.fit;
  }
  const float level = std::sqrt(std::clamp(e.input_peak.load(std::memory_order_relaxed), 0.0f, 16.0f));
  if (std::isfinite(level)) v.floor_level += (level - v.floor_level) * kFloorFollow;
  v.tape_flash = std::max(0.0f, v.tape_flash - dt / kFlashSeconds);
}

void draw_detector_bar(Canvas* c, const Rect& r, const AppState* app, float o) {
  const float level = app->engine.envelope.load(std::memory_order_relaxed);
  const float h = std::round(scope_level_height(level, o, r.h));
  if (h < 1.0f) return;
  draw_fill(c, Rect{r.x + r.w - kDetectorBarW, r.y + r.h - h, kDetectorBarW, h}, app->theme.slot[kSlotLiveDetector]);
}

float draw_text_ink_top(Canvas* c, int size, const char* text, float x, float ink_top, uint32_t colour) {
  const TextEntry* e = text_entry(c, kStackDisplay, size, 400, text);
  return draw_text(c, kStackDisplay, size, 400, text, x, std::round(ink_top) - float(e->ink_top), colour);
}

float text_ink_height(Canvas* c, int size, const char* text) {
  const TextEntry* e = text_entry(c, kStackDisplay, size, 400, text);
  return float(e->ink_bottom - e->ink_top);
}

float draw_threshold_line(Canvas* c, const Rect& r, const AppState* app, float o, bool live_over, bool recording) {
  const float line_y = std::round(r.y + r.h - scope_level_height(threshold_level(app->sliders), o, r.h));
  const bool dragging = app->scope.drag.kind == ScopeDragKind::kThreshold;
  const uint32_t line_colour = app->theme.slot[kSlotThresholdLine];
  if (live_over)
    line_glow(c, r.x, r.w, line_y, recording ? kColourRed : line_colour, dragging ? kLineGlowDragged : kLineGlowOver);
  else if (dragging)
    line_glow(c, r.x, r.w, line_y, line_colour, kLineGlowDragged);
  draw_fill(c, Rect{r.x, line_y, r.w, 1}, live_over ? kColourLight : line_colour);
  return line_y;
}

void draw_threshold_label(Canvas* c, const Rect& r, const AppState* app, const char* label, float line_y) {
  const float label_top = line_y - kLabelAbove >= r.y + 4.0f ? line_y - kLabelAbove : r.y + 4.0f;
  draw_text_ink_top(c, kScopeLabelDouble, label, r.x + 8.0f, label_top, app->theme.slot[kSlotThresholdLine]);
}

void draw_gate_out_line(Canvas* c, const Rect& r, AppState* app, float o, float line_y) {
  const TriggerPositions& p = app->sliders;
  const uint32_t colour = app->theme.slot[kSlotGateOutLine];
  const float bottom = r.y + r.h;
  const float exit_level = threshold_level(p) * std::pow(10.0f, (p.exit * 48.0f - 24.0f) / 20.0f);
  float exit_y = std::round(bottom - scope_level_height(exit_level, o, r.h));
  if (std::fabs(exit_y - line_y) <= 2.0f) exit_y = line_y + 3.0f;
  exit_y = std::clamp(exit_y, r.y + 1.0f, bottom - 3.0f);
  ScopeView& v = app->scope;
  int dash_count = 0;
  for (float x = r.x; x < r.x + r.w && dash_count < kScopeDashes; x += 10.0f)
    v.dashes[dash_count++] = Rect{x, exit_y, std::min(6.0f, r.x + r.w - x), 1};
  draw_fill_rects(c, v.dashes, dash_count, colour);
  char label[48];
  text_format(label, sizeof label, "GATE OUT %+.0FDB", p.exit * 48.0f - 24.0f);
  const float ink_h = text_ink_height(c, kScopeLabelSingle, label);
  const float below = exit_y + kGateLabelBelow;
  const float gate_top = below + ink_h <= bottom - 2.0f ? below : exit_y - kGateLabelAbove + (8.0f - ink_h);
  draw_text_ink_top(c, kScopeLabelSingle, label, r.x + r.w - kGateLabelFromRight, gate_top, colour);
}

void draw_scope(Canvas* c, const Rect& r, AppState* app) {
  const Theme& th = app->theme;
  scope_frame(app, r);
  const uint32_t background = scope_background(th);
  if (r.w < 2 || r.h < 8) {
    draw_fill(c, r, background);
    return;
  }
  const CaptureEngine& e = app->engine;
  const TriggerPositions& p = app->sliders;
  const ScopeView& v = app->scope;
  const float o = scope_display_gain(p.scale, v.fit);
  const float threshold = threshold_level(p);
  const bool recording = e.recording.load(std::memory_order_relaxed) != 0;
  const float detector = e.envelope.load(std::memory_order_relaxed);
  const bool dragging_line = v.drag.kind == ScopeDragKind::kThreshold;

  if (app->settings.scope_fall_off == 0) draw_waterfall(c, r, app, background);
  else draw_fill(c, r, background);
  draw_scope_backdrop(c, r, app);  // the walls, or the stage while the library plays
  draw_floor_glow(c, r, app, recording);
  draw_columns(c, r, app, o, threshold);

  const float line_y = draw_threshold_line(c, r, app, o, detector >= threshold, recording);

  // Hold bar and its handle.
  const float hold_end = std::round((r.w - kHoldHandle) * std::clamp(p.hold, 0.0f, 1.0f));
  if (hold_end >= 1.0f) draw_fill(c, Rect{r.x, line_y - 1.0f, hold_end, kHoldBarH}, kColourLight);
  const Rect handle{r.x + hold_end, line_y - 4.0f, kHoldHandle, kHoldHandle};
  if (dragging_line) {
    draw_glow(c, handle, 0, kHandleGlowRadius, th.slot[kSlotHighlights], kHandleGlow);
    draw_fill(c, handle, th.slot[kSlotHighlights]);
  } else {
    draw_fill(c, handle, th.slot[kSlotLiveDetector]);
  }

  char label[48];
  const float hold_ms = p.hold * p.hold * p.hold * 1000.0f;
  text_format(label, sizeof label, "%.0FDB / %.0FMS", p.threshold * 80.0f - 80.0f, hold_ms);
  draw_threshold_label(c, r, app, label, line_y);
  draw_gate_out_line(c, r, app, o, line_y);

  draw_detector_bar(c, r, app, o);
}

void draw_side_panel(Canvas* c, const Rect& r, AppState* app) {
  draw_fill(c, r, kSidePanelFill);
  draw_fill(c, Rect{r.x, r.y, 1, r.h}, kColourRule);
  if (r.w < float(kSideDrawnWidth)) return;
  static const char* const kTabs[3] = {"THRES", "TRIG-EQ", "CFG"};
  const int mode = std::clamp(app->settings.hud_mode, 0, 2);
  const UiState& ui = app->ui;
  const Rect& scope = ui.layout.scope;
  for (int t = 0; t < 3; ++t) {
    const Rect tab = side_tab_rect(r, t);
    const bool on = t == mode;
    const bool hover = !on && tab.contains(ui.pointer_x, ui.pointer_y);
    pixel_rounded(c, tab, on ? kColourRule : hover ? kTabHover : kColourSurface);
    if (on) draw_fill(c, Rect{tab.x + 8, tab.y + tab.h - 2, tab.w - 16, 2}, kColourOrange);
    draw_text_centred(c, kStackDisplay, 16, 400, kTabs[t], tab.x + tab.w * 0.5f, tab.y + tab.h * 0.5f,
                      on ? kColourLight : hover ? kColourSilver : kColourGrey);
  }
  const ScopeDrag& d = app->scope.drag;
  for (int i = 0; i < kSlidersPerMode; ++i) {
    const int key = kModeSliders[mode][i];
    const Rect row = side_row_rect(r, scope, i);
    const Rect track = side_track_rect(r, scope, i);
    if (track.y + track.h > r.y + r.h) break;
    SliderText t;
    slider_text(app->sliders, app->settings, key, &t);
    const bool lit = d.kind == ScopeDragKind::kSlider ? d.slider == key
                     : d.kind == ScopeDragKind::kNone  ? row.contains(ui.pointer_x, ui.pointer_y)
                                                       : false;
    draw_text(c, kStackDisplay, 16, 400, t.label, row.x + kTrackInset, row.y, lit ? kColourLight : kColourGrey);
    const float vw = text_width(c, kStackDisplay, 16, 400, t.value);
    draw_text(c, kStackDisplay, 16, 400, t.value, row.x + row.w - kTrackInset - vw, row.y,
              lit ? kColourWhite : kColourLight);
    pixel_rounded(c, track, kTrackFill);
    const float fill = std::round(track.w * t.fraction);
    if (fill >= 1.0f)
      pixel_rounded(c, Rect{track.x, track.y, std::max(fill, 6.0f), track.h}, lit ? kTrackLevelLit : kTrackLevel);
    const float thumb_x = track.x + std::clamp(fill - 1.0f, 0.0f, track.w - 2.0f);
    draw_fill(c, Rect{thumb_x, track.y, 2, track.h}, lit ? kColourOrange : kColourSilver);
  }
}

void draw_tape_strip(Canvas* c, const Rect& r, AppState* app) {
  const CaptureEngine& e = app->engine;
  ScopeView& v = app->scope;
  draw_fill(c, r, kColourSurface);
  const int64_t head = e.write_head.load(std::memory_order_acquire);
  if (head < 1) {
    draw_text(c, kStackText, 15, 400, "Tape empty - every capture lands here, silence dropped", r.x + 12,
              r.y + r.h / 2 - 11, kColourGrey);
  } else {
    const int w = std::clamp(int(r.w), 1, kTapeStripValues);
    const int values = engine_overview(&e, w, v.tape);
    int count = 0;
    for (int x = 0; x < values; ++x) {
      const float value = std::clamp(v.tape[x], 0.0f, 1.0f);
      const float h = std::floor(std::sqrt(value) * (r.h - 4.0f));
      if (h < 1.0f) continue;
      v.tape_bars[count++] = Rect{r.x + float(x), r.y + std::floor((r.h - h) * 0.5f), 1, h};
    }
    draw_fill_rects(c, v.tape_bars, count, kColourSilver);
    const TakeList& takes = app->recorder.takes;
    for (int i = 0; i < takes.take_count; ++i) {
      const int64_t start = takes.takes[i].start;
      if (start < 0 || start >= head) continue;
      const float x = r.x + std::floor(float(double(start) / double(head) * r.w));
      draw_fill(c, Rect{x, r.y, 1, r.h}, kColourInk);
      draw_fill(c, Rect{x, r.y, kTapeTickW, kTapeTickH}, kColourOrange);
      draw_fill(c, Rect{x, r.y + r.h - kTapeTickH, kTapeTickW, kTapeTickH}, kColourOrange);
    }
    if (e.armed.load(std::memory_order_relaxed) && e.gate_open.load(std::memory_order_relaxed))
      draw_glow(c, Rect{r.x + r.w - 3, r.y, 3, r.h}, 0, 10, kColourRed, 0.7f);
    const int64_t play = e.play_head.load(std::memory_order_relaxed);
    const float px = r.x + std::clamp(std::floor(float(double(play) / double(head) * r.w)), 0.0f, r.w - 1);
    if (e.play_tape.load(std::memory_order_relaxed)) {
      draw_glow(c, Rect{px, r.y, 1, r.h}, 0, 8, kColourBright, 0.6f);
      draw_fill(c, Rect{px, r.y, 1, r.h}, kColourBright);
    } else {
      draw_fill(c, Rect{px, r.y, 1, r.h}, kColourGrey);
    }
  }
  if (v.tape_flash > 0.01f) draw_fill(c, r, colour_fade(kColourSilver, v.tape_flash * kFlashAlpha));
}

void scope_view_release(ScopeView* v) {
  picture_destroy(v->waterfall.texture);
  picture_destroy(v->eq_history.texture);
  v->waterfall = SpectrumPicture{};
  v->eq_history = SpectrumPicture{};
}
