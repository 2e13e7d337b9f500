// The inputs panel in the program: the keeper's lifetime, its notices and the panel's events.
#include "app/inputs/inputs_app.h"

#include <algorithm>

#include "app/foot/foot.h"
#include "app/overlays/overlay.h"
#include "app/panels/options.h"
#include "app/panels/panel.h"
#include "app/shell/app_state.h"
#include "app/shell/steps.h"
#include "app/shell/version.h"
#include "app/shell/window.h"
#include "config/log.h"
#include "config/status.h"
#include "platform/clock.h"
#include "platform/text.h"
#include "rig/rig_doc.h"

namespace {

constexpr int kFlushAtShutdownMs = 1000;
constexpr double kNsPerS = 1e9;

double now_s() { return double(mono_ns()) / kNsPerS; }

bool available(const AppState* app) { return app->inputs.keeper != nullptr; }


// What the keeper has to say since the last frame.
void take_notices(AppState* app) {
  RigNotice n;
  while (rig_keeper_next_notice(app->inputs.keeper, &n)) {
    switch (n.code) {
      case kRigNoticeChanged: {
        char name[kRigNoticeTextBytes];
        inputs_display_text(n.text, name, sizeof name);
        status_message("INPUTS CHANGED BY %.40s", name);
        break;
      }
      case kRigNoticeSaveFailed:
        log_line("inputs not saved: %s", n.text);
        status_flash("INPUTS NOT SAVED");
        break;
      default: break;  // the keeper logs the rest; the panel's status line shows the state
    }
  }
}

}  // namespace

void inputs_start(AppState* app) {
  InputsApp& in = app->inputs;
  inputs_panel_init(&in.panel);
  RigKeeperOptions o;
  o.app_name = "tolm";
  o.app_version = kTolmVersion;
  in.keeper = rig_keeper_open(o);
  if (!in.keeper) {
    log_line("rig: no rig keeper - the inputs panel is not available");
    return;
  }
  rig_binding_init(&in.binding, in.keeper);
  engine_set_mixer_binding(&app->engine, &in.binding.binding);
  const Settings& s = app->settings;
  in.panel.selected = s.rig_sel >= 0 && s.rig_sel < kRigMaxInputs ? s.rig_sel : -1;
  in.panel.scroll = std::max(0.0f, s.rig_scroll);
  if (s.rig_open) {
    // Open at once: the window's saved size already holds the panel, so it does not grow again.
    in.panel.open = true;
    in.slide = 1.0f;
    app->rig_width = float(kRigPanelWidth);
    app->side_total += app->rig_width;
  }
}

void inputs_frame(AppState* app) {
  InputsApp& in = app->inputs;
  if (!available(app)) return;
  rig_keeper_tick(in.keeper, now_s(), rig_time_now());
  take_notices(app);
  inputs_source_from_keeper(in.keeper, &in.source);
  inputs_panel_layout(&in.panel, inputs_panel_rect(app->content_w, app->content_h, app->rig_width), in.source);

  const int64_t ns = mono_ns();
  const float dt = in.slide_ns ? std::clamp(float(double(ns - in.slide_ns) / kNsPerS), 0.0f, 0.1f) : 0.016f;
  in.slide_ns = ns;
  const float target = in.panel.open ? 1.0f : 0.0f;
  const float step = app->reduce_motion ? 1.0f : dt / kInputsSlideSeconds;
  in.slide = in.slide < target ? std::min(target, in.slide + step) : std::max(target, in.slide - step);
  app->rig_width = smoothstep(in.slide) * float(kRigPanelWidth);
  if (!in.panel.open) in.panel.drag = InputsDrag::kNone;

  Settings& s = app->settings;
  s.rig_open = in.panel.open ? 1 : 0;
  s.rig_sel = in.panel.selected;
  s.rig_scroll = in.panel.scroll;
}

void inputs_toggle(AppState* app) {
  if (available(app) && app->inputs.panel.open) inputs_close(app);
  else inputs_open(app);
}

void inputs_open(AppState* app) {
  if (!available(app)) {
    status_flash("INPUTS NOT AVAILABLE");
    return;
  }
  app->inputs.panel.open = true;
  step_inputs_opened(app);
  options_close(app);
  help_close(app);
}

void inputs_close(AppState* app) {
  app->inputs.panel.open = false;
  app->inputs.panel.drag = InputsDrag::kNone;
}

namespace {

// The keeper's actions, with the training step a scene switch ticks off on the way.
struct StepActions {
  AppState* app;
  InputsActions keeper;
};

void act_with_steps(void* ctx, const InputsAction& a) {
  auto* s = static_cast<StepActions*>(ctx);
  s->keeper.act(s->keeper.ctx, a);
  if (a.code == InputsAct::kSelectScene || a.code == InputsAct::kCopyScene) step_scene_switched(s->app);
}

}  // namespace

bool inputs_take_event(AppState* app, const InputEvent& ev) {
  InputsApp& in = app->inputs;
  if (!available(app) || ev.window_id != 0) return false;
  StepActions steps{app, inputs_keeper_actions(in.keeper)};
  const InputsActions actions{act_with_steps, &steps};
  const double t = now_s();
  switch (ev.kind) {
    case InputKind::kKeyDown:
      // The options panel and the overlays keep their keys while they are up.
      if (panel_shown(app, kPanelOptions) || app->help_open || app->key_map.open) return false;
      return inputs_key(&in.panel, in.source, actions, ev);
    case InputKind::kMouseDown: {
      if (!in.panel.open) return false;
      const InputsHit h = inputs_hit(in.panel, in.source, ev.x, ev.y);
      if (h.zone == InputsZone::kHeaderOptions && ev.button == kMouseLeft) {
        options_open(app);
        return true;
      }
      Canvas* c = app->window ? window_canvas(app->window) : nullptr;
      return inputs_mouse_down(&in.panel, in.source, actions, ev, c ? inputs_glyph_drawable : nullptr, c);
    }
    case InputKind::kMouseMove: {
      const bool dragging = in.panel.drag != InputsDrag::kNone;
      inputs_mouse_move(&in.panel, in.source, actions, ev.x, ev.y, (ev.mods & kModShift) != 0, t);
      // The pointer is the main view's too, unless a drag of ours holds it.
      if (!dragging) return false;
      app->ui.pointer_x = ev.x, app->ui.pointer_y = ev.y;
      return true;
    }
    case InputKind::kMouseUp:
      if (in.panel.drag == InputsDrag::kNone) return false;
      inputs_mouse_up(&in.panel);
      return false;  // the main view also lets go
    case InputKind::kMouseLeave: in.panel.hover = InputsHit{InputsZone::kNone, -1}; return false;
    case InputKind::kWheel: return inputs_wheel(&in.panel, in.source, actions, ev, t);
    default: return false;
  }
}

void inputs_focus_lost(AppState* app) {
  if (available(app)) rig_keeper_flush(app->inputs.keeper, 0);
}

void inputs_shutdown(AppState* app) {
  InputsApp& in = app->inputs;
  if (!in.keeper) return;
  if (!rig_keeper_flush(in.keeper, kFlushAtShutdownMs)) log_line("rig: some input changes were not saved at exit");
  rig_keeper_close(in.keeper);
  in.keeper = nullptr;
}

void inputs_foot_facts(const AppState* app, FootFacts* f) {
  const InputsApp& in = app->inputs;
  if (!available(app)) return;
  const RigKeeperStatus& s = in.source.status;
  if (s.state != kRigBound && s.state != kRigReadOnly) return;
  f->inputs_all_muted = s.all_muted;
  f->sound_on_muted = s.hinted_input >= 0 ? s.hinted_input + 1 : 0;
}

void inputs_options_text(const AppState* app, char* out, size_t cap) {
  const InputsApp& in = app->inputs;
  if (!available(app)) return void(text_copy(out, cap, "NOT AVAILABLE"));
  const RigKeeperStatus& s = in.source.status;
  int live = 0;
  const RigDoc* rig = in.source.rig;
  if (rig) {
    const RigScene& sc = rig->scenes[std::clamp(s.scene, 0, kRigScenes - 1)];
    for (int i = 0; i < s.inputs && i < sc.channel_count; ++i) {
      const int lead = inputs_lead(in.source, i);
      if (!sc.channels[lead].muted && sc.channels[lead].gain > 0) ++live;
    }
  }
  text_format(out, cap, "%s   %d OF %d LIVE   SCENE %d", in.panel.open ? "OPEN" : "CLOSED", live, s.inputs,
              s.scene + 1);
}
