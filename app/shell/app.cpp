// Start-up, the main loop, quitting and shutdown.
#include "app/shell/app.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "app/chop/chop_control.h"
#include "app/chop/chop_view.h"
#include "app/drawer/drawer_control.h"
#include "app/drawer/drawer_view.h"
#include "app/foot/foot_draw.h"
#include "app/inputs/inputs_app.h"
#include "app/overlays/overlay.h"
#include "app/overlays/training_view.h"
#include "app/panels/panel_content.h"
#include "app/scope/scope_control.h"
#include "app/scope/scope_view.h"
#include "app/shell/broadcast.h"
#include "app/shell/desktop.h"
#include "app/shell/frame.h"
#include "app/shell/header.h"
#include "app/shell/link_steps.h"
#include "app/shell/route.h"
#include "app/shell/steps.h"
#include "app/shell/trigger.h"
#include "app/shell/version.h"
#include "app/shell/window.h"
#include "config/log.h"
#include "config/status.h"
#include "platform/clock.h"
#include "platform/desktop.h"
#include "platform/file.h"
#include "platform/paths.h"
#include "platform/system.h"
#include "platform/text.h"
#include "sessions/session.h"
#include "sessions/take_writer.h"
#include "ui/text.h"

namespace {

constexpr int64_t kNsPerMs = 1000000;
constexpr float kFirstFrameDt = 0.016f;
constexpr float kMaxFrameDt = 0.1f;
constexpr float kCullFlashSeconds = 0.6f;
constexpr size_t kRequestLineBytes = 260;  // the open request's first line, 259 bytes at most
constexpr uint32_t kEmptyRequestGraceMs = 1000;  // how long an empty open request waits for its path

const char* plural(int n) { return n == 1 ? "" : "S"; }
const char* plural_lower(int n) { return n == 1 ? "" : "s"; }

// ---- Recorder hooks ----

int hook_change_rate(void* ctx, double rate) {
  auto* app = static_cast<AppState*>(ctx);
  const int result = change_rate(&app->engine, rate);
  // A recreated engine starts from defaults: the trigger goes back in.
  engine_apply_settings(&app->engine, app->settings, app->scope.fit);
  return result == 0 && app->engine.sample_rate == rate ? 0 : -1;
}

int hook_resume(void* ctx, int64_t tape_length, const int64_t* take_starts, int count, const float* overview,
                int value_count) {
  auto* app = static_cast<AppState*>(ctx);
  app->scope.tape_flash = 1.0f;  // the tape strip flashes as the continued session comes back
  return resume_session(&app->engine, tape_length, take_starts, count, overview, value_count);
}

// ---- Window callbacks ----

void redraw_now(void* ctx) {
  auto* app = static_cast<AppState*>(ctx);
  if (!app->drawing) render_frame(app);
}

HitZone frame_zone(void* ctx, float x, float y) {
  auto* app = static_cast<AppState*>(ctx);
  return frame_hit(app->content_w, app->content_h, app->window && window_maximised(app->window), x, y);
}

// ---- Frame pieces ----

void collect_geometry(AppState* app) {
  if (!app->window) return;
  int x = 0, y = 0, w = 0, h = 0;
  const bool maximised = window_geometry(app->window, &x, &y, &w, &h);
  Settings& s = app->settings;
  // A maximised window keeps the rectangle it had before, so it comes back there.
  if (!maximised) s.win_x = x, s.win_y = y, s.win_w = w, s.win_h = h;
  s.win_max = maximised ? 1 : 0;
}

void refresh_capacity(AppState* app, uint32_t now) {
  CapacityCache& c = app->capacity;
  if (c.have && uint32_t(now - c.refreshed_ms) < kCapacityEveryMs) return;
  const char* folder = app->recorder.library.write_folder[0] ? app->recorder.library.write_folder
                                                             : app->recorder.library.root;
  const int64_t free_bytes = folder[0] ? free_disk_bytes(folder) : -1;
  const uint64_t memory = available_memory_bytes();
  if (!c.have) c.free_bytes = -1;
  if (free_bytes >= 0) c.free_bytes = free_bytes;
  if (memory > 0) c.available_memory = memory;
  c.refreshed_ms = now;
  c.have = true;
}

// Layout and the UI animations of one frame (also run while the window is hidden).
void animate_ui(AppState* app) {
  UiState& ui = app->ui;
  const int64_t now = mono_ns();
  float dt = ui.last_anim_ns ? float(double(now - ui.last_anim_ns) / 1e9) : kFirstFrameDt;
  dt = std::clamp(dt, 0.0f, kMaxFrameDt);
  ui.last_anim_ns = now;
  const float target = app->settings.side_hidden ? 0.0f : 1.0f;
  if (app->reduce_motion) ui.side_s = target;
  else if (ui.side_s < target) ui.side_s = std::min(target, ui.side_s + dt / kSideSlideSeconds);
  else ui.side_s = std::max(target, ui.side_s - dt / kSideSlideSeconds);
  drawer_animate(app, dt);
  // The inputs panel takes the right edge; the drawer the left; the main area and its side panel
  // are what is left between them.
  const int main_w = app->content_w - int(std::lround(app->rig_width));
  const float drawer = std::min(app->lib_width, std::max(float(main_w - kMainMinWidth), 0.0f));
  layout_main(main_w, app->content_h, side_panel_width(int(float(main_w) - drawer), ui.side_s), &ui.layout,
              app->lib_width);
  const CaptureEngine& e = app->engine;
  // In chop mode the recording buttons are not on show: none of them is hovered.
  const bool chopping = chop_mode(app);
  strip_animate(&ui.strip, ui.layout, chopping ? -1.0f : ui.pointer_x, chopping ? -1.0f : ui.pointer_y, dt,
                e.armed.load(std::memory_order_relaxed) != 0, e.recording.load(std::memory_order_relaxed) != 0);
  chop_frame(app, dt);
  spring_step(&ui.panel_spring, dt);
  ui.cull_flash = std::max(0.0f, ui.cull_flash - dt / kCullFlashSeconds);
}

// Loop step 3: the window follows the drawer and the inputs panel so the recording area keeps its
// size.
void follow_side_widths(AppState* app) {
  const float total = app->lib_width + app->rig_width;
  if (total == app->side_total || !app->window) return;
  if (!window_maximised(app->window)) {
    if (total < app->side_total) window_set_minimum(app->window, int(total) + kMinContentW, kMinContentH);
    // Whole pixels of the totals, so the steps of a slide add up to exactly its width.
    window_resize_by(app->window, int(std::lround(total)) - int(std::lround(app->side_total)));
  }
  app->side_total = total;
}

void watch_audio(AppState* app, uint32_t now) {
  const WatchdogEvent event =
      watchdog_poll(&app->watchdog, &app->engine, now, app->engine.armed.load(std::memory_order_relaxed));
  if (event == WatchdogEvent::kRebuilt) {
    // A fresh engine starts from defaults, disarmed: the trigger and a held gate go back in.
    apply_trigger_positions(app);
    const Recorder& r = app->recorder;
    app->engine.gate_forced.store(r.gate_held || r.gate_latched ? 1 : 0, std::memory_order_release);
  }
}

void once_a_second(AppState* app) {
  // Audio the device dropped before it reached us cannot be recovered, but it is never silent.
  const int64_t overruns = app->engine.device_xruns.load(std::memory_order_relaxed);
  if (overruns != app->overruns_logged) {
    log_line("audio: %lld overrun%s in all reported by the device - audio was dropped before it reached tolm",
             (long long)overruns, overruns == 1 ? "" : "s");
    app->overruns_logged = overruns;
  }
  char title[160];
  format_window_title(app, title, sizeof title);
  if (app->window) window_set_title(app->window, title);
  collect_geometry(app);
  panels_collect_into_settings(app);
  if (memcmp(&app->settings, &app->settings_image, sizeof(Settings)) == 0) return;
  if (save_settings(app->settings)) {
    app->settings_image = app->settings;
    app->settings_save_failed = false;
  } else if (!app->settings_save_failed) {
    // Tried again every second until it works; said once.
    app->settings_save_failed = true;
    char path[kPathCap];
    settings_path(path, sizeof path);
    log_line("settings: could not write %s", path);
  }
}

}  // namespace

void format_window_title(const AppState* app, char* out, size_t cap) {
  const CaptureEngine& e = app->engine;
  const char* state = app->watchdog.down ? "AUDIO DOWN"
                      : e.recording.load(std::memory_order_relaxed) ? "RECORDING"
                      : e.armed.load(std::memory_order_relaxed)     ? "LISTENING"
                                                                    : "IDLE";
  const double rate = e.sample_rate > 0 ? e.sample_rate : 48000.0;
  int minutes = 0;
  double rest = 0;
  split_minutes(double(e.write_head.load(std::memory_order_relaxed)) / rate, 1, &minutes, &rest);
  text_format(out, cap, "tolm ZEPHA - %s - %d:%04.1f - %d takes", state, minutes, rest, app->recorder.takes.take_count);
}

void poll_requests(AppState* app, uint32_t now) {
  char path[kPathCap + 32];
  text_format(path, sizeof path, "%s/tolm_open_request", app->request_dir);
  if (is_file(path)) {
    char* data = nullptr;
    size_t bytes = 0;
    char line[kRequestLineBytes] = "";
    if (read_file_whole(path, &data, &bytes, 1 << 16) == 0) {
      size_t n = 0;
      while (n < bytes && n < sizeof line - 1 && data[n] != '\n' && data[n] != '\r') line[n] = data[n], ++n;
      line[n] = 0;
      free_file_data(data);
    }
    size_t n = strlen(line);
    while (n > 0 && (line[n - 1] == ' ' || line[n - 1] == '\t' || line[n - 1] == '\r' || line[n - 1] == '\n'))
      line[--n] = 0;
    // A writer creates the file before it writes the path: an empty one is given a moment
    // before it is dropped, so the path written an instant later is not lost with it.
    const bool empty = !line[0] && bytes == 0;
    if (empty && !app->open_request_empty) {
      app->open_request_empty = true;
      app->open_request_empty_since_ms = now;
    } else if (!empty || uint32_t(now - app->open_request_empty_since_ms) >= kEmptyRequestGraceMs) {
      app->open_request_empty = false;
      remove_file(path);
      if (line[0]) open_for_chop(app, line);
    }
  } else {
    app->open_request_empty = false;
  }
  text_format(path, sizeof path, "%s/tolm_screenshot_request", app->request_dir);
  if (is_file(path)) {
    remove_file(path);
    app->screenshot_requested = true;
  }
}

void perf_tick(AppState* app, int64_t now) {
  PerfState& p = app->perf;
  if (p.window_start_ns == 0) {
    p.window_start_ns = p.log_start_ns = now;
    return;
  }
  ++p.frames;
  const int64_t elapsed = now - p.window_start_ns;
  if (elapsed < kPerfLineEveryNs) return;

  TimingStats t{};
  engine_timing(&app->engine, &t);
  const double frames = double(std::max<int64_t>(p.frames, 1));
  p.drawing_ms = double(elapsed - p.present_ns - p.idle_ns) / frames / 1e6;
  p.cb_max_us = std::max(p.cb_max_us, t.max_us);
  if (t.callbacks > 0 && t.audio_us > 0) {
    const double buffer_us = t.audio_us / double(t.callbacks);
    text_format(p.line, sizeof p.line,
                "AUDIO USES %.1F%% OF EACH %.1F MS BUFFER (WORST %.0F%%) - DRAWING TAKES %.1F MS A FRAME",
                100.0 * t.busy_us / t.audio_us, buffer_us / 1000.0, 100.0 * p.cb_max_us / buffer_us, p.drawing_ms);
  } else {
    text_format(p.line, sizeof p.line, "AUDIO IS NOT RUNNING - DRAWING TAKES %.1F MS A FRAME", p.drawing_ms);
  }
  p.cb_count += t.callbacks;
  p.cb_busy_us += t.busy_us;
  p.cb_audio_us += t.audio_us;
  p.t_update_ns += p.update_ns;
  p.t_drawing_ns += p.drawing_ns;
  p.t_present_ns += p.present_ns;
  p.t_browser_ns += p.browser_ns;
  p.t_idle_ns += p.idle_ns;
  p.t_frames += p.frames;
  p.events_ns = p.writer_ns = p.update_ns = p.drawing_ns = p.present_ns = p.browser_ns = p.idle_ns = 0;
  p.frames = 0;
  p.window_start_ns = now;

  if (now - p.log_start_ns < kPerfLogEveryNs || p.t_frames <= 0) return;
  const double n = double(p.t_frames);
  const double period_ms = double(now - p.log_start_ns) / 1e6 / n;
  const double present_ms = double(p.t_present_ns) / 1e6 / n;
  const double idle_ms = double(p.t_idle_ns) / 1e6 / n;
  const double ui_ms = period_ms - present_ms - idle_ms;
  const double fft_ms = double(p.t_update_ns) / 1e6 / n;
  const double main_ms = double(p.t_drawing_ns) / 1e6 / n;
  const double browser_ms = double(p.t_browser_ns) / 1e6 / n;
  const double other_ms = std::max(0.0, ui_ms - fft_ms - main_ms - browser_ms);
  const double avg_us = p.cb_count > 0 ? p.cb_busy_us / double(p.cb_count) : 0.0;
  const double buffer_us = p.cb_count > 0 ? p.cb_audio_us / double(p.cb_count) : 0.0;
  const double load = p.cb_audio_us > 0 ? 100.0 * p.cb_busy_us / p.cb_audio_us : 0.0;
  log_line("perf: audio %.0f us avg / %.0f us max of %.0f us (%.1f%%) | ui %.1f ms/frame (fft %.1f, main %.1f, "
           "browser %.1f, other %.1f) + %.1f ms present wait + %.1f ms idle, %.0f fps",
           avg_us, p.cb_max_us, buffer_us, load, ui_ms, fft_ms, main_ms, browser_ms, other_ms, present_ms, idle_ms,
           period_ms > 0 ? 1000.0 / period_ms : 0.0);
  p.t_update_ns = p.t_drawing_ns = p.t_present_ns = p.t_browser_ns = p.t_idle_ns = p.t_frames = 0;
  p.cb_count = 0;
  p.cb_busy_us = p.cb_audio_us = p.cb_max_us = 0;
  p.log_start_ns = now;
}

void render_frame(AppState* app) {
  if (!app->window || app->drawing) return;
  app->drawing = true;
  const int64_t t0 = mono_ns();
  theme_resolve(app->settings, &app->theme);
  if (window_take_device_reset(app->window) || app->gpu_reset) {
    app->gpu_reset = false;
    window_rebuild_text(app->window);
    scope_view_release(&app->scope);
    drawer_view_release(&app->drawer_ui);
    stage_view_release(&app->stage);
    log_line("gpu device reset - textures rebuilt");
  }
  Canvas* c = window_canvas(app->window);
  app->content_w = c->w;
  app->content_h = c->h;
  draw_clear(c, kColourInk);
  animate_ui(app);
  const MainLayout& l = app->ui.layout;
  if (l.drawer_w >= 1.0f) draw_drawer(c, app);
  draw_inputs_panel(c, app);
  draw_header(c, app);
  if (chop_mode(app)) draw_chop_view(c, l.scope, app, tick_ms());
  else if (app->settings.hud_mode == 1) draw_eq_view(c, l.scope, app);
  else draw_scope(c, l.scope, app);
  if (l.side_w >= 1.0f) draw_side_panel(c, l.side, app);
  draw_tape_strip(c, l.trigger_strip, app);
  if (chop_mode(app)) draw_chop_buttons(c, app);
  else draw_button_strip(c, app);
  draw_foot(c, app, tick_ms());
  if (app->console_open) draw_console(c, app);
  draw_floating_panels(c, app);
  draw_drawer_menu(c, app);
  if (app->help_open) draw_help_overlay(c, app);
  draw_training_panel(c, app);
  if (app->key_map.open) draw_key_map(c, app, tick_ms());
  else if (!app->help_open) draw_hover_key_caps(c, app);
  text_end_frame(c->text);

  if (app->screenshot_requested) {
    app->screenshot_requested = false;
    make_dirs(app->request_dir);
    char path[kPathCap + 32];
    text_format(path, sizeof path, "%s/tolm_screenshot.bmp", app->request_dir);
    if (window_save_screenshot(app->window, path) == 0) log_line("screenshot -> %s", path);
    else log_line("screenshot FAILED: %s", path);
  }
  const int64_t t1 = mono_ns();
  window_present(app->window);
  note_frame_presented(app);
  draw_detached_panels(app);
  const int64_t t2 = mono_ns();
  app->perf.drawing_ns += t1 - t0;
  app->perf.present_ns += t2 - t1;
  if (!app->first_frame_logged) {
    app->first_frame_logged = true;
    log_line("ui: first frame presented %.0f ms after start", double(t2 - app->start_ns) / 1e6);
  }
  app->drawing = false;
}

void quit_refusal_follow(AppState* app) {
  if (app->quit_refused && !recorder_has_unwritten(&app->recorder) &&
      !app->engine.recording.load(std::memory_order_acquire)) {
    app->quit_refused = app->quit_refusal_shown = app->quit_after_refusal = false;
    log_line("quit: every take is on disk now - a quit saves and exits again");
  }
}

void note_frame_presented(AppState* app) {
  if (app->quit_refused && !app->quit_refusal_shown) {
    app->quit_refusal_shown = true;
    log_line("quit: the refusal is on screen - quitting again discards the unsaved takes");
  }
}

bool quit_sequence(AppState* app) {
  Recorder& r = app->recorder;
  CaptureEngine& e = app->engine;
  collect_sealed_takes(&r);
  const TakeList& list = r.takes;
  const int pending = list.take_count - list.written_count + (e.recording.load(std::memory_order_acquire) ? 1 : 0);
  if (e.armed.load(std::memory_order_acquire)) {
    status_message("SAVING %d TAKE%s...", pending, plural(pending));
    if (app->window && window_visible(app->window)) render_frame(app);
    end_session(&r);
  } else if (list.take_count > list.written_count) {
    status_message("SAVING %d TAKE%s...", pending, plural(pending));
    if (app->window && window_visible(app->window)) render_frame(app);
    r.holding = 0;
    write_pending_takes(&r);
  }
  const int remaining = list.take_count - list.written_count;
  if (remaining <= 0) return true;
  if (app->quit_refused) {
    // Only a quit asked for once the refusal was on screen counts: quits that queued up while
    // the takes were being saved were made before the user could read it.
    if (app->quit_after_refusal) {
      log_line("quit: %d take%s discarded (disk error, second quit)", remaining, plural_lower(remaining));
      return true;
    }
    log_line("quit: asked again before the refusal was on screen - not counted");
    return false;
  }
  app->quit_refused = true;
  app->quit_refusal_shown = false;
  app->quit_after_refusal = false;
  char text[kStatusBytes];
  text_format(text, sizeof text, "%d TAKE%s NOT SAVED - DISK ERROR - QUIT AGAIN TO DISCARD", remaining, plural(remaining));
  status_hold(text);
  log_line("quit refused: %d take%s not on disk", remaining, plural_lower(remaining));
  return false;
}

int app_start(AppState* app) {
  app->start_ns = mono_ns();
  log_line("tolm ZEPHA %s for linux - sound-activated recorder", kTolmVersion);
  Settings& s = app->settings;
  load_settings(&s);
  // The rig keeper first: the engine binds it to the stream it opens.
  inputs_start(app);

  UiState& ui = app->ui;
  strip_init(&ui.strip);
  spring_init(&ui.panel_spring, 0.0f, kPanelSpringK, kPanelSpringZ);
  ui.pressed_button = -1;
  ui.pointer_x = ui.pointer_y = -1.0f;
  options_init(&app->options);
  panels_init(&app->panels);
  panels_restore(&app->panels, s);

  CaptureEngine& e = app->engine;
  if (engine_create(&e, s.buffer_frames, kTapeAddressableMinutes, s.device, double(s.sample_rate), s.exclusive, true) != 0) {
    log_line("start-up: no microphone opens - exiting");
    engine_destroy(&e);
    inputs_shutdown(app);
    show_error_box("tolm", kNoMicrophoneText);
    return 1;
  }
  if (e.dev.failed_device[0]) status_message("MIC BUSY - LISTENING ON %s", e.dev.chosen);

  app->sliders = trigger_positions_from_settings(s);
  engine_apply_settings(&e, s, 1.0f);

  Recorder& r = app->recorder;
  r.engine = &e;
  r.settings = &s;
  r.hooks.change_rate = RateHook{hook_change_rate, app};
  r.hooks.resume = ResumeHook{hook_resume, app};
  drawer_start(app);
  init_library(&r, s.library_dir);
  log_line("library: %s (%d tolms)", r.library.write_folder, r.library.row_count);
  seed_first_session(&r);

  if (window_init_video() != 0) {
    engine_destroy(&e);
    inputs_shutdown(app);
    return 1;
  }
  if (window_open(s, WindowCallbacks{redraw_now, frame_zone, app}, &app->window) != 0) {
    engine_destroy(&e);
    inputs_shutdown(app);
    window_close(nullptr);
    return 1;
  }
  theme_resolve(s, &app->theme);
  // The desktop's own wish for less motion: the side panel, the drawer and the stage keep still.
  app->reduce_motion = desktop_reduce_motion();
  if (app->reduce_motion) log_line("ui: the desktop asks for reduced motion");
  ui.side_s = s.side_hidden ? 0.0f : 1.0f;
  // The LIBRARY panel restored open brings the drawer; a drawer left open comes back at its full
  // width at once, and as the saved window already holds that width it does not grow for it.
  if (app->panels.panel[kPanelLibrary].open) drawer_open(app, false);
  if (s.br_open && !app->drawer_ui.open) drawer_open(app, true);
  if (app->drawer_ui.slide >= 1.0f) app->lib_width = app->side_total = float(app->drawer_ui.width);

  window_show(app->window, s.win_max != 0);
  const Canvas* c = window_canvas(app->window);
  app->content_w = c->w;
  app->content_h = c->h;
  animate_ui(app);
  panels_start(app);
  training_start(app);
  collect_geometry(app);
  panels_collect_into_settings(app);
  app->settings_image = s;

  // The network's receivers share the engine's one output tap.
  tap_fanout_init(&app->taps);
  e.output_tap.store(tap_fanout_tap(&app->taps), std::memory_order_release);
  app_link_start(app);
  if (engine_start(&e) != 0) {
    log_line("start-up: the audio stream did not start - exiting");
    show_error_box("tolm", kStreamFailedText);
    engine_destroy(&e);
    app_link_stop(app);
    inputs_shutdown(app);
    panels_stop(app);
    window_close(app->window);
    app->window = nullptr;
    return 1;
  }
  app_link_resume(app);
  const uint32_t now = tick_ms();
  watchdog_start(&app->watchdog, &e, now);
  broadcast_start(app);
  if (!temp_dir(app->request_dir, sizeof app->request_dir)) text_copy(app->request_dir, "/tmp");
  app->last_second_ms = app->last_link_ms = app->last_spectrum_ms = now;
  return 0;
}

void app_run(AppState* app) {
  Recorder& r = app->recorder;
  PerfState& p = app->perf;
  for (;;) {
    perf_tick(app, mono_ns());
    const int64_t frame_start = mono_ns();
    const uint32_t now = tick_ms();
    if (app->quit_requested) {
      app->quit_requested = false;
      if (quit_sequence(app)) break;
    } else {
      follow_side_widths(app);

      int64_t t = mono_ns();
      InputEvent ev;
      while (window_poll(app->window, &ev)) handle_event(app, ev);
      p.events_ns += mono_ns() - t;

      t = mono_ns();
      const int takes_before = r.takes.take_count;
      collect_sealed_takes(&r);
      if (r.takes.take_count > takes_before) step_done(app, kStepFirstTolm);
      write_pending_takes(&r);
      quit_refusal_follow(app);
      options_track_session(app);
      p.writer_ns += mono_ns() - t;

      t = mono_ns();
      inputs_frame(app);
      poll_requests(app, now);
      desktop_poll(app);
      training_frame(app);
      watch_audio(app, now);
      broadcast_frame(app, now);
      app_link_follow(app, now);
      scope_feed_spectrum(app, now);
      refresh_capacity(app, now);
      p.update_ns += mono_ns() - t;

      t = mono_ns();
      drawer_update(app, now);  // the player, its analysers and the library drawer
      p.browser_ns += mono_ns() - t;

      if (uint32_t(now - app->last_second_ms) >= kSettingsEveryMs) {
        app->last_second_ms = now;
        once_a_second(app);
      }
    }

    const bool visible = window_visible(app->window);
    if (visible) render_frame(app);
    else animate_ui(app);

    const int64_t idle_start = mono_ns();
    const int elapsed_ms = int((idle_start - frame_start) / kNsPerMs);
    if (!visible) sleep_ms(kHiddenFrameMs);
    else if (elapsed_ms < kMinYieldMs) sleep_ms(kMinYieldMs - elapsed_ms);
    p.idle_ns += mono_ns() - idle_start;
  }
}

int app_shutdown(AppState* app) {
  Recorder& r = app->recorder;
  CaptureEngine& e = app->engine;
  if (r.session.folder[0] && r.takes.written_count == 0 && e.write_head.load(std::memory_order_acquire) == 0)
    remove_empty_session(&r);
  // A dialog still up is closed, and the chop reader stops, before anything they were started
  // with goes; so do the library's picture and join jobs.
  desktop_stop(app);
  leave_chop(&app->chop);
  drawer_stop(app);
  window_stop_watch(app->window);
  collect_geometry(app);
  panels_collect_into_settings(app);
  if (!save_settings(app->settings)) {
    char path[kPathCap];
    settings_path(path, sizeof path);
    log_line("settings: could not write %s", path);
  }
  // Panels, the overlays and the visualiser are released here, then the rig store is flushed,
  // when they exist. The station goes off air (listeners get goodbye) and is freed before the
  // engine, so nothing it was fed from is gone while it still serves. The player's buffers go once
  // no audio block can read them.
  broadcast_shutdown(app);
  e.output_tap.store(nullptr, std::memory_order_release);
  engine_destroy(&e);
  player_destroy(&app->player);
  app_link_stop(app);
  // No stream runs the keeper's mixer any more: its last saves, then the keeper.
  inputs_shutdown(app);
  scope_view_release(&app->scope);
  drawer_view_release(&app->drawer_ui);
  stage_view_release(&app->stage);
  panels_stop(app);
  window_close(app->window);
  app->window = nullptr;
  return 0;
}
