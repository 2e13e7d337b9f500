// Side panel and EQ handle geometry, and the slider texts.
#include "app/scope/scope_geometry.h"

#include <algorithm>
#include <cmath>

#include "platform/text.h"

namespace {

// The seconds of a roll control as the side panel writes them.
void format_seconds(float seconds, char* out, size_t cap, bool hold) {
  if (seconds < 1.0f) text_format(out, cap, "%.0FMS", seconds * 1000.0f);
  else text_format(out, cap, hold ? "%.1FS" : "%.2FS", seconds);
}

void format_hz(float hz, char* out, size_t cap) {
  if (hz < 1.0f) text_copy(out, cap, "OFF");
  else if (hz < 1000.0f) text_format(out, cap, "%.0FHZ", hz);
  else text_format(out, cap, "%.1FK", hz / 1000.0f);
}

float hz_fraction(float hz) { return hz < 1.0f ? 0.0f : std::clamp(std::log10(hz / 20.0f) / 3.0f, 0.0f, 1.0f); }

}  // namespace

void slider_text(const TriggerPositions& p, const Settings& s, int key, SliderText* out) {
  SliderText& t = *out;
  t = SliderText{};
  switch (key) {
    case 0:
      t.label = "THRESH", t.fraction = p.threshold;
      text_format(t.value, sizeof t.value, "%.0FDB", p.threshold * 80.0f - 80.0f);
      break;
    case 1:
      t.label = "GATE OUT", t.fraction = p.exit;
      text_format(t.value, sizeof t.value, "%+.0FDB", p.exit * 48.0f - 24.0f);
      break;
    case 2:
      t.label = "HOLD", t.fraction = p.hold;
      format_seconds(p.hold * p.hold * p.hold, t.value, sizeof t.value, true);
      break;
    case 3:
      t.label = "PRE", t.fraction = p.pre_roll;
      format_seconds(p.pre_roll * p.pre_roll * 2.0f, t.value, sizeof t.value, false);
      break;
    case 4:
      t.label = "POST", t.fraction = p.post_roll;
      format_seconds(p.post_roll * p.post_roll * 4.0f, t.value, sizeof t.value, false);
      break;
    case 5:
      t.label = "LOOK", t.fraction = p.look_back;
      format_seconds(p.look_back * p.look_back * 4.0f, t.value, sizeof t.value, false);
      break;
    case 6:
      t.label = "GAIN", t.fraction = p.gain;
      text_format(t.value, sizeof t.value, "%.2FX", p.gain * 2.0f);
      break;
    case 7:
      t.label = "SCALE", t.fraction = p.scale;
      text_format(t.value, sizeof t.value, "%+.0FDB", p.scale * 60.0f - 24.0f);
      break;
    case 8:
      t.label = "HPF", t.fraction = hz_fraction(s.hpf_hz);
      format_hz(s.hpf_hz, t.value, sizeof t.value);
      break;
    case 9:
      t.label = "LPF", t.fraction = hz_fraction(s.lpf_hz);
      format_hz(s.lpf_hz, t.value, sizeof t.value);
      break;
    case 10:
      t.label = "PEAK", t.fraction = hz_fraction(s.peak_hz);
      format_hz(s.peak_hz, t.value, sizeof t.value);
      break;
    default:
      t.label = "Q", t.fraction = (s.peak_q - kQMin) / kQSpan;
      text_format(t.value, sizeof t.value, "%.1F", s.peak_q);
      break;
  }
  // A stored value outside the slider's range shows a full or empty track.
  t.fraction = std::isfinite(t.fraction) ? std::clamp(t.fraction, 0.0f, 1.0f) : 0.0f;
}

Rect side_tab_rect(const Rect& side, int tab) {
  const float w = (side.w - 20.0f) / 3.0f;
  return Rect{side.x + kTabTop + float(tab) * (w + kTabGap), side.y + kTabTop, w, kTabH};
}

float side_row_height(float scope_h) { return std::clamp((scope_h - 54.0f) / 4.0f, 40.0f, 62.0f); }

Rect side_row_rect(const Rect& side, const Rect& scope, int row) {
  const float h = side_row_height(scope.h);
  return Rect{side.x, scope.y + kSliderRowsTop + float(row) * h, side.w, h};
}

Rect side_track_rect(const Rect& side, const Rect& scope, int row) {
  const Rect r = side_row_rect(side, scope, row);
  return Rect{side.x + kTrackInset, r.y + kTrackTop, side.w - 2.0f * kTrackInset, kTrackH};
}

float eq_x_from_hz(const Rect& view, float hz) {
  return view.x + std::log10(std::clamp(hz, kHzMin, kHzMax) / kHzMin) / 3.0f * view.w;
}

void eq_handles(const Rect& view, const Settings& s, EqHandle out[3]) {
  const float span = view.h - 2.0f * kEqHandleMargin;
  const float top = view.y + kEqHandleMargin;
  auto slope_y = [&](int slope) { return (1.0f - float(slope - kSlopeMin) / kSlopeSpan) * span + top; };
  out[0].on = s.hpf_hz >= 1.0f;
  out[0].x = out[0].on ? eq_x_from_hz(view, s.hpf_hz) : view.x + std::log10(1.25f) / 3.0f * view.w;
  out[0].y = slope_y(s.hpf_slope);
  out[1].on = s.lpf_hz >= 1.0f;
  out[1].x = out[1].on ? eq_x_from_hz(view, s.lpf_hz) : view.x + std::log10(900.0f) / 3.0f * view.w;
  out[1].y = slope_y(s.lpf_slope);
  out[2].on = s.peak_hz >= 1.0f;
  out[2].x = out[2].on ? eq_x_from_hz(view, s.peak_hz) : view.x + view.w * 0.5f;
  out[2].y = (1.0f - (s.peak_q - kQMin) / kQSpan) * span + top;
}
