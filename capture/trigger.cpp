// The trigger controls: slider positions 0..1, the values the settings keep, and the engine
// parameters derived from them at the stream's rate.
#include <algorithm>
#include <cmath>

#include "capture/engine.h"
#include "config/settings.h"

namespace {

// Negative times count as zero; nothing else is clamped, so a stored value outside a slider's
// range stays in force until that slider moves.
float root_of(float seconds, float span) { return std::sqrt(std::max(seconds, 0.0f) / span); }

}  // namespace

TriggerPositions trigger_positions_from_settings(const Settings& s) {
  TriggerPositions p{};
  p.threshold = (s.threshold_db + 80.0f) / 80.0f;
  p.exit = (s.exit_db + 24.0f) / 48.0f;
  p.hold = s.hold_norm;
  p.pre_roll = root_of(s.pre_roll_s, 2.0f);
  p.post_roll = root_of(s.post_roll_s, 4.0f);
  p.look_back = root_of(s.look_back_s, 4.0f);
  p.gain = s.gain / 2.0f;
  p.scale = (s.scale_db + 24.0f) / 60.0f;
  return p;
}

void settings_from_trigger_positions(Settings* s, const TriggerPositions& p) {
  s->threshold_db = p.threshold * 80.0f - 80.0f;
  s->exit_db = p.exit * 48.0f - 24.0f;
  s->hold_norm = p.hold;
  s->pre_roll_s = 2.0f * p.pre_roll * p.pre_roll;
  s->post_roll_s = 4.0f * p.post_roll * p.post_roll;
  s->look_back_s = 4.0f * p.look_back * p.look_back;
  s->gain = 2.0f * p.gain;
  s->scale_db = p.scale * 60.0f - 24.0f;
}

void engine_apply_settings(CaptureEngine* e, const Settings& s, float fit_factor) {
  const TriggerPositions p = trigger_positions_from_settings(s);
  const double rate = e->sample_rate;
  auto frames = [rate](double seconds) {
    double f = seconds * rate;
    return f >= 2147483647.0 ? 2147483647 : int(f);
  };
  e->open_level.store(float(std::pow(10.0, (double(p.threshold) * 80.0 - 80.0) / 20.0)));
  e->exit_db.store(p.exit * 48.0f - 24.0f);
  e->hold_frames.store(frames(double(p.hold) * p.hold * p.hold));
  e->pre_roll_frames.store(frames(double(p.pre_roll) * p.pre_roll * 2.0));
  e->post_roll_frames.store(frames(double(p.post_roll) * p.post_roll * 4.0));
  e->look_back_frames.store(frames(double(p.look_back) * p.look_back * 4.0));
  e->input_gain.store(2.0f * p.gain);
  const float fit = fit_factor > 0 ? fit_factor : 1.0f;
  e->display_scale.store(float(std::pow(10.0, (double(p.scale) * 60.0 - 24.0) / 20.0)) * fit);
  e->hpf_order.store(std::max(s.hpf_slope / 6, 1));
  e->lpf_order.store(std::max(s.lpf_slope / 6, 1));
  e->hpf_hz.store(s.hpf_hz);
  e->lpf_hz.store(s.lpf_hz);
  e->peak_hz.store(s.peak_hz);
  e->peak_q.store(s.peak_q);
  e->monitor.store(s.monitor);
  e->normalize_monitor.store(s.normalize_monitor);
  e->bit_depth.store(s.bit_depth);
}

float eq_hz_from_position(EqControl control, float x) {
  if (control == EqControl::kLowPass ? x > 0.98f : x < 0.02f) return 0.0f;
  return 20.0f * std::pow(1000.0f, std::clamp(x, 0.0f, 1.0f));
}

float eq_q_from_position(float x) { return 0.3f + 11.7f * std::clamp(x, 0.0f, 1.0f); }
