// The scope's sliders, pointer, wheel and the input spectrum feed.
#include "app/scope/scope_control.h"

#include <algorithm>
#include <cmath>

#include "app/shell/steps.h"
#include "app/shell/trigger.h"
#include "platform/text.h"

namespace {

constexpr float kPeakOffHz = 632.455532f;  // 20 x 1000^0.5: the middle of the view
constexpr float kHighPassOffHz = 25.0f;
constexpr float kLowPassOffHz = 18000.0f;
constexpr int kClickHandleBase = 100;      // click_control of an EQ handle: 100 + band
constexpr float kDbFloorLevel = 0.0001f;   // -80 dB

int hud_mode(const AppState* app) { return std::clamp(app->settings.hud_mode, 0, 2); }

bool side_drawn(const AppState* app) { return app->ui.layout.side_w >= float(kSideDrawnWidth); }

float* trigger_field(TriggerPositions* p, int key) {
  float* fields[8] = {&p->threshold, &p->exit,      &p->hold, &p->pre_roll,
                      &p->post_roll, &p->look_back, &p->gain, &p->scale};
  return fields[std::clamp(key, 0, 7)];
}

bool is_double_click(ScopeView* v, int control, uint32_t tick) {
  const bool twice = v->click_control == control && uint32_t(tick - v->click_ms) < kDoubleClickMs;
  // A double click is used up: a third press starts over.
  v->click_control = twice ? -1 : control;
  v->click_ms = tick;
  return twice;
}

void drag_threshold(AppState* app, float x, float y) {
  const MainLayout& l = app->ui.layout;
  const Rect& s = l.scope;
  ScopeDrag& d = app->scope.drag;
  const float bottom = s.y + s.h;
  const float f = std::clamp((bottom - y) / std::max(s.h - kScopePad, 1.0f), 0.0f, 1.0f);
  const float level = f * f / scope_display_gain(app->sliders.scale, app->scope.fit);
  const float db = std::clamp(20.0f * std::log10(std::max(level, kDbFloorLevel)), -80.0f, 0.0f);
  app->sliders.threshold = (db + 80.0f) / 80.0f;
  app->sliders.hold = std::clamp(d.hold_at_press + (x - d.press_x) / std::max(l.main_w, 1.0f), 0.0f, 1.0f);
  if (y != d.press_y) {
    app->scope.threshold_dragged = true;
    step_done(app, kStepMoveLine);
  }
  apply_trigger_positions(app);
}

void drag_band(AppState* app, float x, float y) {
  const MainLayout& l = app->ui.layout;
  const ScopeDrag& d = app->scope.drag;
  Settings& s = app->settings;
  const float span = std::max(l.scope.h - 2.0f * kEqHandleMargin, 1.0f);
  const float up = (d.press_y - y) / span;
  const float decades = 3.0f * (x - d.press_x) / std::max(l.main_w, 1.0f);
  const float hz = std::clamp(d.start_hz * std::pow(10.0f, decades), kHzMin, kHzMax);
  if (d.band == kBandPeak) {
    s.peak_hz = hz;
    s.peak_q = std::clamp(d.start_shape + up * kQSpan, kQMin, kQMax);
  } else {
    const float raw = d.start_shape + up * kSlopeSpan;
    const int slope = std::clamp(int(std::lround(raw / float(kSlopeStep))) * kSlopeStep, kSlopeMin, kSlopeMax);
    if (d.band == kBandHighPass) s.hpf_hz = hz, s.hpf_slope = slope;
    else s.lpf_hz = hz, s.lpf_slope = slope;
  }
  if (x != d.press_x || y != d.press_y) {
    app->scope.handle_moved = true;
    step_done(app, kStepTriggerEq);
  }
  apply_trigger_positions(app);
}

void band_off(AppState* app, int band) {
  Settings& s = app->settings;
  if (band == kBandHighPass) s.hpf_hz = 0.0f;
  else if (band == kBandLowPass) s.lpf_hz = 0.0f;
  else s.peak_hz = 0.0f;
  apply_trigger_positions(app);
}

bool press_eq_view(AppState* app, float x, float y, uint32_t tick) {
  const Settings& s = app->settings;
  EqHandle h[3];
  eq_handles(app->ui.layout.scope, s, h);
  int band = kBandNone;
  float best = 0.0f;
  for (int i = 0; i < 3; ++i) {
    const float dist = std::fabs(x - h[i].x) + std::fabs(y - h[i].y);
    if (dist <= kEqPickDistance && (band == kBandNone || dist < best)) best = dist, band = i + 1;
  }
  ScopeView& v = app->scope;
  if (band == kBandNone) {
    v.click_control = -1;
    return true;
  }
  if (is_double_click(&v, kClickHandleBase + band, tick)) {
    v.drag = ScopeDrag{};  // the first press's drag ends here, or motion would undo the reset
    band_off(app, band);
    return true;
  }
  ScopeDrag& d = v.drag;
  d = ScopeDrag{};
  d.kind = ScopeDragKind::kEqBand;
  d.band = band;
  d.press_x = x, d.press_y = y;
  switch (band) {
    case kBandHighPass:
      d.start_hz = s.hpf_hz >= 1.0f ? s.hpf_hz : kHighPassOffHz;
      d.start_shape = float(s.hpf_slope);
      break;
    case kBandLowPass:
      d.start_hz = s.lpf_hz >= 1.0f ? s.lpf_hz : kLowPassOffHz;
      d.start_shape = float(s.lpf_slope);
      break;
    default:
      d.start_hz = s.peak_hz >= 1.0f ? s.peak_hz : kPeakOffHz;
      d.start_shape = s.peak_q;
      break;
  }
  return true;
}

}  // namespace

void set_slider(AppState* app, int key, float fraction) {
  const float f = std::isfinite(fraction) ? std::clamp(fraction, 0.0f, 1.0f) : 0.0f;
  Settings& s = app->settings;
  if (key >= 0 && key < 8) *trigger_field(&app->sliders, key) = f;
  else if (key == 8) s.hpf_hz = eq_hz_from_position(EqControl::kHighPass, f);
  else if (key == 9) s.lpf_hz = eq_hz_from_position(EqControl::kLowPass, f);
  else if (key == 10) s.peak_hz = eq_hz_from_position(EqControl::kBand, f);
  else if (key == 11) s.peak_q = eq_q_from_position(f);
  else return;
  apply_trigger_positions(app);
}

void reset_slider(AppState* app, int key) {
  Settings& s = app->settings;
  if (key >= 0 && key < 8) *trigger_field(&app->sliders, key) = kSliderDefaults[key];
  else if (key == 8) s.hpf_hz = 0.0f;
  else if (key == 9) s.lpf_hz = 0.0f;
  else if (key == 10) s.peak_hz = 0.0f;
  else if (key == 11) s.peak_q = kPeakDefaultQ;
  else return;
  apply_trigger_positions(app);
}

bool scope_press(AppState* app, float x, float y, uint32_t tick) {
  const MainLayout& l = app->ui.layout;
  ScopeView& v = app->scope;
  if (l.side_w > 0 && l.side.contains(x, y)) {
    if (!side_drawn(app)) return true;
    for (int t = 0; t < 3; ++t)
      if (side_tab_rect(l.side, t).contains(x, y)) {
        app->settings.hud_mode = t;
        v.click_control = -1;
        return true;
      }
    for (int i = 0; i < kSlidersPerMode; ++i) {
      if (!side_row_rect(l.side, l.scope, i).contains(x, y)) continue;
      const int key = kModeSliders[hud_mode(app)][i];
      if (is_double_click(&v, key, tick)) {
        v.drag = ScopeDrag{};
        reset_slider(app, key);
        return true;
      }
      v.drag = ScopeDrag{};
      v.drag.kind = ScopeDragKind::kSlider;
      v.drag.slider = key;
      v.drag.row = i;
      v.drag.press_x = x, v.drag.press_y = y;
      const Rect track = side_track_rect(l.side, l.scope, i);
      set_slider(app, key, (x - track.x) / std::max(track.w, 1.0f));
      return true;
    }
    return true;  // elsewhere in the side panel: nothing
  }
  if (l.trigger_strip.contains(x, y)) {
    v.click_control = -1;
    if (app->engine.write_head.load(std::memory_order_acquire) > 0)
      engine_seek_fraction(&app->engine, double(x - l.trigger_strip.x) / double(std::max(l.trigger_strip.w, 1.0f)));
    return true;
  }
  if (!l.scope.contains(x, y)) return false;
  // The chop view shows the threshold line in every mode: a press there takes the line.
  if (hud_mode(app) == 1 && !app->chop.mode) return press_eq_view(app, x, y, tick);
  v.click_control = -1;
  v.drag = ScopeDrag{};
  v.drag.kind = ScopeDragKind::kThreshold;
  v.drag.press_x = x, v.drag.press_y = y;
  v.drag.hold_at_press = app->sliders.hold;
  drag_threshold(app, x, y);
  return true;
}

void scope_drag(AppState* app, float x, float y) {
  const ScopeDrag& d = app->scope.drag;
  switch (d.kind) {
    case ScopeDragKind::kThreshold: drag_threshold(app, x, y); break;
    case ScopeDragKind::kEqBand: drag_band(app, x, y); break;
    case ScopeDragKind::kSlider: {
      const Rect track = side_track_rect(app->ui.layout.side, app->ui.layout.scope, d.row);
      set_slider(app, d.slider, (x - track.x) / std::max(track.w, 1.0f));
      break;
    }
    case ScopeDragKind::kNone: break;
  }
}

void scope_release(AppState* app) { app->scope.drag = ScopeDrag{}; }

bool scope_wheel(AppState* app, const InputEvent& ev) {
  if (!app->ui.layout.scope.contains(ev.x, ev.y) || (hud_mode(app) == 1 && !app->chop.mode)) return false;
  const float notches = ev.wheel_y != 0.0f ? ev.wheel_y : ev.wheel_x;
  if (notches == 0.0f) return true;
  TriggerPositions& p = app->sliders;
  if (ev.mods & kModShift) p.scale = std::clamp(p.scale + notches / 60.0f, 0.0f, 1.0f);
  else p.exit = std::clamp(p.exit + notches / 48.0f, 0.0f, 1.0f);
  apply_trigger_positions(app);
  return true;
}

void scope_feed_spectrum(AppState* app, uint32_t now_ms) {
  const int mode = hud_mode(app);
  if (mode != 1 && app->settings.scope_fall_off != 0) return;
  if (uint32_t(now_ms - app->last_spectrum_ms) < kSpectrumEveryMs) return;
  app->last_spectrum_ms = now_ms;
  SpectrumAnalyser* a = &app->input_spectrum;
  if (a->history == 0) spectrum_reset(a);  // a zeroed record has never been reset
  ScopeView& v = app->scope;
  const int count = engine_mono_history(&app->engine, kSpectrumSize, v.mono);
  // The EQ view keeps (width - 4) / 4 rows (more than its height shows; the rest wait unseen),
  // the waterfall height / 3.
  const Rect& s = app->ui.layout.scope;
  const int rows = mode == 1 ? int((s.w - 4.0f) / float(kEqRowPx)) : int(s.h / float(kWaterfallRowPx));
  spectrum_set_history(a, rows);
  const double rate = app->engine.sample_rate > 0 ? app->engine.sample_rate : 48000.0;
  spectrum_feed(a, v.mono, count, rate);
}
