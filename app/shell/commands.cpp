// The main view's commands.
#include "app/shell/commands.h"

#include <algorithm>

#include "app/chop/chop_control.h"
#include "app/drawer/drawer_control.h"
#include "app/inputs/inputs_app.h"
#include "app/overlays/overlay.h"
#include "app/overlays/training_view.h"
#include "app/panels/options.h"
#include "app/shell/steps.h"
#include "capture/takes.h"
#include "config/status.h"
#include "platform/clock.h"
#include "sessions/session.h"

namespace {

bool plain(const InputEvent& ev) { return (ev.mods & (kModCtrl | kModAlt)) == 0; }

void press(AppState* app, int button) { spring_press(&app->ui.strip.press[button]); }

// The gate is forced open while G or the GATE button holds it, or while it is latched.
void update_gate(AppState* app) {
  Recorder& r = app->recorder;
  r.gate_held = app->ui.gate_key_down || app->ui.gate_mouse_down;
  app->engine.gate_forced.store(r.gate_held || r.gate_latched ? 1 : 0, std::memory_order_release);
}

void toggle_latch(AppState* app) {
  app->recorder.gate_latched = !app->recorder.gate_latched;
  update_gate(app);
}

void toggle_monitor(AppState* app) {
  app->settings.monitor = !app->settings.monitor;
  apply_trigger_positions(app);
}

void toggle_normalize(AppState* app) {
  app->settings.normalize_monitor = !app->settings.normalize_monitor;
  apply_trigger_positions(app);
}

void toggle_play(AppState* app) {
  CaptureEngine& e = app->engine;
  if (e.play_tape.load(std::memory_order_relaxed)) {
    e.play_tape.store(0, std::memory_order_release);
    return;
  }
  const int64_t head = e.write_head.load(std::memory_order_acquire);
  if (head <= 0) return;
  // Playback that ran to the end starts again from the beginning.
  if (e.play_head.load(std::memory_order_relaxed) >= head) engine_seek_fraction(&e, 0.0);
  e.play_tape.store(1, std::memory_order_release);
}

void cull(AppState* app) {
  Recorder& r = app->recorder;
  if (!cull_last_take(&app->engine, &r.takes, r.seated_takes, recorder_now(&r))) return;
  app->ui.cull_flash = 1.0f;
  step_done(app, kStepCull);
}

void nudge_threshold(AppState* app, float steps) {
  const float before = app->sliders.threshold;
  app->sliders.threshold = std::clamp(app->sliders.threshold + steps * kThresholdStep, 0.0f, 1.0f);
  apply_trigger_positions(app);
  if (app->sliders.threshold != before) step_done(app, kStepMoveLine);
}

void nudge_hold(AppState* app, float steps) {
  app->sliders.hold = std::clamp(app->sliders.hold + steps * kHoldStep, 0.0f, 1.0f);
  apply_trigger_positions(app);
}

}  // namespace

void command_arm_or_stop(AppState* app) {
  Recorder& r = app->recorder;
  const bool armed = app->engine.armed.load(std::memory_order_acquire) != 0;
  if (armed || recorder_has_unwritten(&r)) {
    // A take still being recorded is sealed by the stop: it counts as kept too.
    const bool kept = armed && (r.takes.take_count > 0 || app->engine.recording.load(std::memory_order_acquire));
    end_session(&r);
    app->ui.gate_key_down = app->ui.gate_mouse_down = false;
    if (kept) step_done(app, kStepFirstKeep);
  } else {
    arm_session(&r);
    if (app->engine.armed.load(std::memory_order_acquire)) step_done(app, kStepFirstArm);
  }
}

bool anywhere_key(AppState* app, const InputEvent& ev) {
  if (ev.key == kKeyComma && (ev.mods & kModCtrl)) {
    if (!ev.repeat) options_toggle(app);
    return true;
  }
  if (ev.key == kKeyF1) {
    // The training panel takes F1 first; this is reached only while it is not there.
    if (!ev.repeat) help_toggle(app);
    return true;
  }
  if (ev.key == kKeyO && (ev.mods & kModCtrl)) {
    if (!ev.repeat) chop_open_dialog(app);
    return true;
  }
  return false;
}

void main_view_key(AppState* app, const InputEvent& ev) {
  const bool shift = (ev.mods & kModShift) != 0;
  const float steps = shift ? kShiftFactor : 1.0f;
  // Held keys repeat only for the arrows.
  const bool arrow = ev.key == kKeyUp || ev.key == kKeyDown || ev.key == kKeyLeft || ev.key == kKeyRight;
  if (ev.repeat && !arrow) return;
  switch (ev.key) {
    case kKeyUp: nudge_threshold(app, steps); return;
    case kKeyDown: nudge_threshold(app, -steps); return;
    case kKeyRight: nudge_hold(app, steps); return;
    case kKeyLeft: nudge_hold(app, -steps); return;
    case kKeyBackquote:
      if (ev.mods & kModAlt) app->console_open = !app->console_open;
      return;
    case kKeyEscape:
      app->console_open = false;
      return;
    case kKeyF12:
      if (ev.mods & kModCtrl) app->screenshot_requested = true;
      return;
    default: break;
  }
  if (!plain(ev)) return;
  switch (ev.key) {
    case kKeySpace:
      press(app, kBtnArm);
      command_arm_or_stop(app);
      break;
    case kKeyG:
      press(app, kBtnGate);
      app->ui.gate_key_down = true;
      update_gate(app);
      step_done(app, kStepHandGate);
      break;
    case kKeyL:
      press(app, kBtnLatch);
      toggle_latch(app);
      break;
    case kKeyM:
      press(app, kBtnMon);
      toggle_monitor(app);
      break;
    case kKeyN:
      press(app, kBtnNorm);
      toggle_normalize(app);
      break;
    case kKeyP:
      press(app, kBtnPlay);
      toggle_play(app);
      break;
    case kKeyX:
      press(app, kBtnCull);
      cull(app);
      break;
    case kKeyTab:
      app->settings.hud_mode = (app->settings.hud_mode + 1) % 3;
      break;
    case kKeyH:
      app->settings.side_hidden = !app->settings.side_hidden;
      break;
    case kKeyA: inputs_toggle(app); break;
    case kKeyEnter: options_open(app); break;
    case kKeyQuestion: key_map_open(app); break;
    case kKeyT:
      help_close(app);
      options_close(app);
      training_open(app, kPanelTraining);
      break;
    case kKeyB: drawer_toggle(app); break;
    default: break;
  }
}

void gate_key_up(AppState* app) {
  if (!app->ui.gate_key_down) return;
  app->ui.gate_key_down = false;
  update_gate(app);
}

void strip_command(AppState* app, int button) {
  press(app, button);
  switch (button) {
    case kBtnArm: command_arm_or_stop(app); break;
    case kBtnGate:
      app->ui.gate_mouse_down = true;
      update_gate(app);
      step_done(app, kStepHandGate);
      break;
    case kBtnLatch: toggle_latch(app); break;
    case kBtnMon: toggle_monitor(app); break;
    case kBtnNorm: toggle_normalize(app); break;
    case kBtnPlay: toggle_play(app); break;
    case kBtnCull: cull(app); break;
    default: break;
  }
}

void gate_mouse_up(AppState* app) {
  if (!app->ui.gate_mouse_down) return;
  app->ui.gate_mouse_down = false;
  update_gate(app);
}

void header_command(AppState* app, HeaderItem item) {
  switch (item) {
    case HeaderItem::kClose:
    case HeaderItem::kMinimise:
    case HeaderItem::kMaximise: break;  // the window's frame takes its buttons first
    case HeaderItem::kDoorSide: app->settings.side_hidden = !app->settings.side_hidden; break;
    case HeaderItem::kDoorInputs: inputs_toggle(app); break;
    case HeaderItem::kDoorOptions: options_toggle(app); break;
    case HeaderItem::kDoorLibrary: drawer_toggle(app); break;
    case HeaderItem::kNone: break;
  }
}
