// The options panel's rows: what each shows and what Right, Left and Enter do to the device
// engine, the settings and the library. Device changes go through the engine, which reverts to
// what worked; the panel only reports and re-arms.
#include "app/panels/options.h"

#include <algorithm>
#include <cstring>

#include "app/overlays/overlay.h"
#include "app/overlays/training_view.h"
#include "app/panels/panel.h"
#include "app/shell/app_state.h"
#include "app/shell/broadcast.h"
#include "app/shell/desktop.h"
#include "app/shell/link_steps.h"
#include "app/shell/trigger.h"
#include "app/shell/version.h"
#include "capture/device.h"
#include "config/log.h"
#include "config/status.h"
#include "platform/clock.h"
#include "platform/process.h"
#include "platform/text.h"
#include "sessions/session.h"

namespace {

constexpr const char* kReleaseDate = "2026-10-08";
constexpr int kRateChoices = 5;
constexpr int kRates[kRateChoices] = {0, 44100, 48000, 88200, 96000};  // 0 = the device's own
constexpr int kBufferChoices = 4;
constexpr int kBuffers[kBufferChoices] = {64, 128, 256, 512};
constexpr int kWallSources = 3;
constexpr float kFolderTextReserve = 260.0f;  // panel width not given to the folder text
constexpr float kFolderCharW = 12.0f;


const char* const kRowLabels[kOptionRows] = {
    "INPUT DEVICE", "INPUTS",       "DRIVER PANEL", "EXCLUSIVE",   "SAMPLE RATE",     "BUFFER",
    "BIT DEPTH",    "SCOPE WATERFALL", "ABLETON LINK", "LINK INPUT", "BROADCAST",      "WRITE FOLDER",
    "OPEN FOLDER",  "HOW IT WORKS", "KEYS",         "TRAINING",    "WHAT'S NEW",      "VISUALIZER",
    "WALL SOURCE",
    // Colour slots 0..17.
    "VISUAL SURFACE", "WATERFALL COLOR", "WAVEFORM QUIET", "WAVEFORM THRESHOLD", "WAVEFORM TRIGGER",
    "WAVEFORM RECORDING", "HIGHLIGHTS", "FLOOR GLOW", "CORRIDOR TOP LIGHT", "CORRIDOR BOTTOM LIGHT",
    "SKY FIRST LAYER", "SKY SECOND LAYER", "VISUAL BACKGROUND", "THRESHOLD LINE", "GATE OUT LINE",
    "LIVE DETECTOR", "STAGE SPOTLIGHTS", "FLOOR COLOR"};

constexpr int slot_row(int slot) { return kOptionColourRowFirst + slot; }

#define ROW(n) OptionLine{OptionLineKind::kRow, n, kRowLabels[n]}
#define SUB(text) OptionLine{OptionLineKind::kSubheading, -1, text}
const OptionLine kLines[kOptionLines] = {
    {OptionLineKind::kHeading, -1, "AUDIO"},
    ROW(kRowInputDevice), ROW(kRowInputs), ROW(kRowDriverPanel), ROW(kRowExclusive), ROW(kRowSampleRate),
    ROW(kRowBuffer), ROW(kRowBitDepth),
    {OptionLineKind::kHeading, -1, "SOUND"},
    ROW(kRowLink), ROW(kRowLinkInput), ROW(kRowBroadcast),
    {OptionLineKind::kHeading, kRowVisualizerHeading, "VISUALIZER"},
    ROW(kRowWaterfall), ROW(kRowWallSource),
    SUB("BACKGROUND AND SURFACES"), ROW(slot_row(12)), ROW(slot_row(0)),
    SUB("WALLS"), ROW(slot_row(1)), ROW(slot_row(8)), ROW(slot_row(9)),
    SUB("SKY"), ROW(slot_row(10)), ROW(slot_row(11)),
    SUB("FLOOR"), ROW(slot_row(17)), ROW(slot_row(7)),
    SUB("LIGHTING AND HIGHLIGHTS"), ROW(slot_row(16)), ROW(slot_row(6)),
    SUB("WAVEFORM STATES"), ROW(slot_row(2)), ROW(slot_row(3)), ROW(slot_row(4)), ROW(slot_row(5)),
    SUB("GATE AND DETECTOR"), ROW(slot_row(13)), ROW(slot_row(14)), ROW(slot_row(15)),
    {OptionLineKind::kHeading, -1, "LIBRARY"},
    ROW(kRowWriteFolder), ROW(kRowOpenFolder),
    {OptionLineKind::kHeading, -1, "MORE"},
    ROW(kRowHowItWorks), ROW(kRowKeys), ROW(kRowTraining), ROW(kRowWhatsNew),
};
#undef ROW
#undef SUB

const char* const kHelp[] = {
    "What tolm listens to - JACK or exclusive ALSA hear you soonest",
    "Every input - four scenes - A",
    "The low-latency server's own settings - its period and hardware are set where it runs",
    "Takes the device from the system - lowest latency, no other app can play",
    "Match your interface - refused while the tape holds audio",
    "Smaller hears you sooner but works the CPU - raise it if it crackles",
    "How tolms are written - 24 keeps quiet detail, 16 is a third smaller",
    "The spectrum behind the threshold view - off for a plain scope, less CPU",
    "Tolm as a Link audio channel - Live and Link apps on this network can pull it in",
    "Listen to a Link audio channel instead of the mic - arrows walk the peers, mic is first",
    "The monitor on the Lumaro stream - mirrow, tambel and the family on this wifi hear it. The first time it goes "
    "on, the system asks once to let them reach this PC; blocked = turn it off and on to be asked again",
    "Where sessions go - each one gets its own dated folder inside",
    "Opens the last session you recorded in Files",
};
constexpr const char* kWallHelp = "Audio feeding the walls. All combines inputs and library playback.";
constexpr const char* kColourHelp = "Choose a color below. D restores this part's default.";

const char* const kColourNames[kVisColorChoices] = {"DEFAULT", "WHITE", "GRAY",   "RED",    "ORANGE", "GOLD",
                                                    "GREEN",   "TEAL",  "BLUE",   "PURPLE", "PINK"};
const char* const kWallNames[kWallSources] = {"INPUTS", "LIBRARY", "ALL"};

int wrap(int v, int n) { return ((v % n) + n) % n; }

bool colour_row(int row) { return row >= kOptionColourRowFirst && row < kOptionRows; }

// Settings the panel writes at once instead of waiting for the once-a-second check.
void save_now(AppState* app) {
  if (save_settings(app->settings)) app->settings_image = app->settings;
  else log_line("settings: could not write them at once - tried again within a second");
}

const DeviceEntry* current_entry(const CaptureEngine& e) {
  const EngineDevice& d = e.dev;
  return d.selected >= 0 && d.selected < d.count ? &d.list[d.selected] : nullptr;
}

bool tape_holds_audio(const CaptureEngine& e) {
  return e.write_head.load(std::memory_order_acquire) > 0 || e.takes_opened.load(std::memory_order_acquire) > 0;
}

// After a device, exclusive, rate or buffer change: a stream left stopped disarms (the session is
// ended the way Space ends it, so nothing is left half open) and says so; a running stream is armed
// again when it was armed before (a rate change builds a fresh engine, which starts disarmed).
void after_device_change(AppState* app, bool was_armed) {
  CaptureEngine& e = app->engine;
  Recorder& r = app->recorder;
  if (!e.running.load(std::memory_order_acquire)) {
    if (was_armed) end_session(&r);
    e.armed.store(0, std::memory_order_release);
    status_flash("AUDIO DOWN - CHECK INPUT DEVICE");
    return;
  }
  if (was_armed && !e.armed.load(std::memory_order_acquire)) e.armed.store(1, std::memory_order_release);
}

bool armed_now(const AppState* app) { return app->engine.armed.load(std::memory_order_acquire) != 0; }

void step_device(AppState* app, int dir) {
  CaptureEngine& e = app->engine;
  EngineDevice& d = e.dev;
  if (d.count <= 0) {
    status_flash("NO INPUT DEVICES");
    return;
  }
  if (d.count == 1 && d.selected == 0) {
    status_flash(d.list[0].name);  // the only one is the one in use
    return;
  }
  const bool was_armed = armed_now(app);
  const int start = d.selected >= 0 && d.selected < d.count ? d.selected : 0;
  for (int k = 1; k <= d.count; ++k) {
    const int index = wrap(start + dir * k, d.count);
    if (index == d.selected) continue;
    if (change_device(&e, index) == 0) {
      text_copy(app->settings.device, d.list[index].name);
      status_flash(d.list[index].name);
      after_device_change(app, was_armed);
      return;
    }
  }
  status_flash("DEVICE REFUSED - KEPT OLD");
  after_device_change(app, was_armed);
}

void toggle_exclusive(AppState* app) {
  CaptureEngine& e = app->engine;
  Settings& s = app->settings;
  const bool was_armed = armed_now(app);
  s.exclusive = s.exclusive ? 0 : 1;
  e.dev.exclusive = s.exclusive;
  if (reopen_stream(&e) == 0) {
    // Asked for but refused by the device: it runs shared, and the panel says so rather than
    // claiming the device.
    if (!s.exclusive) status_flash("SHARED - OTHER APPS CAN USE IT");
    else if (e.dev.exclusive_active) status_flash("EXCLUSIVE - DEVICE IS TOLM'S ALONE");
    else status_flash("DEVICE REFUSED");
  } else {
    s.exclusive = s.exclusive ? 0 : 1;
    e.dev.exclusive = s.exclusive;
    reopen_stream(&e);
    status_flash("DEVICE REFUSED");
  }
  after_device_change(app, was_armed);
}

int rate_index(int rate) {
  for (int i = 0; i < kRateChoices; ++i)
    if (kRates[i] == rate) return i;
  return 0;
}

void step_rate(AppState* app, int dir) {
  CaptureEngine& e = app->engine;
  OptionsState& o = app->options;
  if (tape_holds_audio(e)) {
    status_flash("STOP THE SESSION FIRST - RATE IS SET ON AN EMPTY TAPE");
    return;
  }
  // A refused choice is stepped past, so a device that takes only some rates never traps the row.
  const int from = o.rate_tried > 0 ? o.rate_tried - 1 : rate_index(app->settings.sample_rate);
  const int next = wrap(from + dir, kRateChoices);
  if (kRates[next] == 0) {
    app->settings.sample_rate = 0;
    o.rate_tried = 0;
    status_flash("RATE AUTO - APPLIES ON NEXT LAUNCH");
    return;
  }
  const bool was_armed = armed_now(app);
  const int result = change_rate(&e, double(kRates[next]));
  // A rate change builds the engine afresh: the trigger and the held gate go back in.
  apply_trigger_positions(app);
  const Recorder& r = app->recorder;
  e.gate_forced.store(r.gate_held || r.gate_latched ? 1 : 0, std::memory_order_release);
  if (result == 0) {
    app->settings.sample_rate = kRates[next];
    o.rate_tried = 0;
    status_flash("RATE CHANGED");
  } else if (result == 1) {
    status_flash("STOP THE SESSION FIRST - RATE IS SET ON AN EMPTY TAPE");
  } else if (result == -1) {
    o.rate_tried = next + 1;
    status_flash("RATE REFUSED - KEPT OLD");
  } else {
    o.rate_tried = next + 1;  // neither rate runs: the audio is down and says so below
  }
  after_device_change(app, was_armed);
}

int buffer_index_from(int frames, int dir) {
  for (int i = 0; i < kBufferChoices; ++i)
    if (kBuffers[i] == frames) return wrap(i + dir, kBufferChoices);
  // A size from the file that is not on the list: the nearest one in the direction asked.
  if (dir > 0) {
    for (int i = 0; i < kBufferChoices; ++i)
      if (kBuffers[i] > frames) return i;
    return 0;
  }
  for (int i = kBufferChoices - 1; i >= 0; --i)
    if (kBuffers[i] < frames) return i;
  return kBufferChoices - 1;
}

void step_buffer(AppState* app, int dir) {
  CaptureEngine& e = app->engine;
  OptionsState& o = app->options;
  const int next = o.buffer_tried > 0 ? wrap(o.buffer_tried - 1 + dir, kBufferChoices)
                                       : buffer_index_from(e.dev.buffer_frames, dir);
  const bool was_armed = armed_now(app);
  const int result = change_buffer(&e, kBuffers[next]);
  if (result == 0) {
    app->settings.buffer_frames = e.dev.buffer_frames;
    o.buffer_tried = 0;
  } else if (result == -1) {
    o.buffer_tried = next + 1;
    status_flash("BUFFER REFUSED - KEPT OLD SIZE");
  } else if (result == -3) {
    status_flash("SET IN THE JACK SERVER");
  }
  after_device_change(app, was_armed);
}

void toggle_bit_depth(AppState* app) {
  Settings& s = app->settings;
  s.bit_depth = s.bit_depth == 24 ? 16 : 24;
  app->engine.bit_depth.store(s.bit_depth, std::memory_order_relaxed);
}

void toggle_waterfall(AppState* app) {
  Settings& s = app->settings;
  s.scope_fall_off = s.scope_fall_off ? 0 : 1;
  status_flash(s.scope_fall_off ? "SCOPE WATERFALL OFF" : "SCOPE WATERFALL ON");
}

void choose_write_folder(AppState* app) {
  desktop_start(app, DesktopAsk::kWriteFolder, app->recorder.library.root);
}

// The session folder below the write folder ("date/time"), as the foot shows it.
const char* shown_session(const char* folder) {
  const char* shown = folder;
  for (const char* p = strstr(folder, "/tolm/"); p; p = strstr(p + 1, "/tolm/")) shown = p + 6;
  return shown;
}

void open_folder(AppState* app) {
  const char* target = app->options.last_session;
  if (!target[0] || !is_dir(target)) target = app->recorder.library.write_folder;
  if (!target[0]) return;
  desktop_start(app, DesktopAsk::kShowFolder, target);
}

}  // namespace

void write_folder_chosen(AppState* app, int picked, const char* chosen) {
  if (picked == 1) return;  // cancelled: nothing changes
  if (picked == -1) {
    status_flash("NO FOLDER DIALOG - SET library_dir IN tolm.ini");
    return;
  }
  if (picked != 0 || set_write_folder(&app->recorder, chosen) != 0) {
    status_flash("FOLDER NOT USABLE");
    return;
  }
  text_copy(app->settings.library_dir, app->recorder.library.root);
  save_now(app);
  status_flash("WRITE FOLDER SET");
}

const OptionLine* option_lines() { return kLines; }

void options_init(OptionsState* s) {
  *s = OptionsState{};
  s->selected = kRowInputDevice;
  s->last_click_row = -1;
}

bool option_selectable(int row) { return row >= 0 && row < kOptionRows && row != kRowVisualizerHeading; }

const char* option_label(int row) { return row >= 0 && row < kOptionRows ? kRowLabels[row] : ""; }

int option_neighbour(int row, int dir) {
  int at = -1;
  for (int i = 0; i < kOptionLines; ++i)
    if (kLines[i].kind == OptionLineKind::kRow && kLines[i].row == row) at = i;
  if (at < 0) return kRowInputDevice;
  for (int i = at + dir; i >= 0 && i < kOptionLines; i += dir)
    if (kLines[i].kind == OptionLineKind::kRow && option_selectable(kLines[i].row)) return kLines[i].row;
  return row;
}

const char* colour_choice_name(int choice) {
  return choice >= 0 && choice < kVisColorChoices ? kColourNames[choice] : kColourNames[0];
}

const char* wall_source_name(int source) {
  return source >= 0 && source < kWallSources ? kWallNames[source] : kWallNames[0];
}

void option_value_text(const AppState* app, int row, float panel_w, char* out, size_t cap) {
  const CaptureEngine& e = app->engine;
  const EngineDevice& d = e.dev;
  const Settings& s = app->settings;
  const DeviceEntry* entry = current_entry(e);
  out[0] = 0;
  if (colour_row(row)) {
    text_copy(out, cap, colour_choice_name(s.vis_color[row - kOptionColourRowFirst]));
    return;
  }
  switch (row) {
    case kRowInputDevice:
      text_format(out, cap, "%s   %d/%d%s", entry ? entry->name : "(none)", entry ? d.selected + 1 : 0, d.count,
                  entry && entry->output_device < 0 ? "   NO OUT" : "");
      return;
    case kRowInputs: inputs_options_text(app, out, cap); return;
    case kRowDriverPanel:
      // JACK plays the part of the low-latency driver; its hardware is chosen where the server
      // is started, not from here.
      text_copy(out, cap, entry && entry->jack ? "SET IN THE JACK SERVER" : "(JACK DEVICES ONLY)");
      return;
    case kRowExclusive:
      // Only ALSA devices can be opened for direct hardware access.
      if (strcmp(d.host_api_name, "ALSA") != 0)
        text_format(out, cap, "%s   (ALSA DEVICES ONLY)", d.exclusive ? "ON" : "OFF");
      else if (d.exclusive && !d.exclusive_active) text_copy(out, cap, "ON   REFUSED - RUNNING SHARED");
      else if (d.exclusive) text_copy(out, cap, "ON   DEVICE IS TOLM'S ALONE");
      else text_copy(out, cap, "OFF   OTHER APPS CAN SHARE IT");
      return;
    case kRowSampleRate:
      text_format(out, cap, s.sample_rate == 0 ? "%.0f HZ   AUTO" : "%.0f HZ", e.sample_rate);
      return;
    case kRowBuffer:
      // What the stream runs with: on JACK the server's period, whatever the setting asks.
      text_format(out, cap, "%d FRAMES   LATENCY %.1F MS", d.stream && d.period_frames > 0 ? d.period_frames : d.buffer_frames,
                  d.latency_ms);
      return;
    case kRowBitDepth: text_format(out, cap, "%d-BIT", s.bit_depth == 24 ? 24 : 16); return;
    case kRowWaterfall: text_copy(out, cap, s.scope_fall_off ? "OFF" : "ON"); return;
    case kRowLink:
    case kRowLinkInput: app_link_row(app, row == kRowLinkInput, out, cap); return;
    case kRowBroadcast: broadcast_row_text(app, out, cap); return;
    case kRowWriteFolder: {
      const char* root = app->recorder.library.root;
      const int fit = std::max(4, int((panel_w - kFolderTextReserve) / kFolderCharW));
      const size_t n = strlen(root);
      if (n > size_t(fit)) text_format(out, cap, "...%s", root + n - size_t(fit - 3));
      else text_copy(out, cap, root);
      return;
    }
    case kRowOpenFolder: {
      const int sessions = app->recorder.library.row_count;
      if (app->options.last_session[0])
        text_format(out, cap, "ENTER - %s   (%d TOLMS)", shown_session(app->options.last_session), sessions);
      else text_format(out, cap, "ENTER - %d TOLMS", sessions);
      return;
    }
    case kRowHowItWorks:
    case kRowKeys: text_copy(out, cap, "ENTER"); return;
    case kRowTraining:
      text_format(out, cap, "%d / %d", app->training_ready ? training_panel_done_count(&app->training) : 0,
                  kTrainingSteps);
      return;
    case kRowWhatsNew: text_format(out, cap, "%s   %s", kTolmVersion, kReleaseDate); return;
    case kRowWallSource: text_copy(out, cap, wall_source_name(s.wall_source)); return;
    default: return;
  }
}

const char* option_help_text(int row, const char** key_caps) {
  if (key_caps) *key_caps = row == kRowKeys ? "?" : row == kRowTraining ? "T" : "";
  if (row >= 0 && row <= kRowOpenFolder) return kHelp[row];
  if (row == kRowWallSource) return kWallHelp;
  if (colour_row(row)) return kColourHelp;
  return "";
}

void option_step(AppState* app, int row, int dir) {
  dir = dir < 0 ? -1 : 1;
  if (colour_row(row)) {
    int& v = app->settings.vis_color[row - kOptionColourRowFirst];
    v = wrap(v + dir, kVisColorChoices);
    save_now(app);
    return;
  }
  switch (row) {
    case kRowInputDevice: step_device(app, dir); return;
    case kRowExclusive: toggle_exclusive(app); return;
    case kRowSampleRate: step_rate(app, dir); return;
    case kRowBuffer: step_buffer(app, dir); return;
    case kRowBitDepth: toggle_bit_depth(app); return;
    case kRowWaterfall: toggle_waterfall(app); return;
    case kRowLink: app_link_toggle(app); return;
    case kRowLinkInput: app_link_step_input(app, dir); return;
    case kRowBroadcast: broadcast_toggle(app, tick_ms()); return;
    case kRowWallSource:
      app->settings.wall_source = wrap(app->settings.wall_source + dir, kWallSources);
      save_now(app);
      return;
    default: return;  // rows that only act on Enter
  }
}

void option_enter(AppState* app, int row) {
  switch (row) {
    case kRowInputs: inputs_open(app); return;
    case kRowDriverPanel:
      // No driver here has a control panel of its own to open.
      status_flash(app->engine.dev.selected >= 0 && app->engine.dev.list[app->engine.dev.selected].jack
                       ? "SET IN THE JACK SERVER"
                       : "JACK DEVICES ONLY");
      return;
    case kRowWriteFolder: choose_write_folder(app); return;
    case kRowOpenFolder: open_folder(app); return;
    case kRowHowItWorks: help_open(app); return;
    case kRowKeys: key_map_open(app); return;
    case kRowTraining:
      options_close(app);
      training_open(app, kPanelTraining);
      return;
    case kRowWhatsNew:
      options_close(app);
      training_open(app, kPanelNotes);
      return;
    default: option_step(app, row, +1); return;
  }
}

void option_choose(AppState* app, int row, int choice) {
  if (colour_row(row)) {
    app->settings.vis_color[row - kOptionColourRowFirst] = std::clamp(choice, 0, kVisColorChoices - 1);
    save_now(app);
  } else if (row == kRowWallSource) {
    app->settings.wall_source = std::clamp(choice, 0, kWallSources - 1);
    save_now(app);
  }
}

bool options_shown(const AppState* app) { return app->panels.panel[kPanelOptions].open; }

void options_open(AppState* app) {
  app->console_open = false;
  help_close(app);
  engine_refresh_devices(&app->engine);  // a device plugged in since is offered
  OptionsState& o = app->options;
  if (!option_selectable(o.selected)) o.selected = kRowInputDevice;
  o.rate_tried = o.buffer_tried = 0;
  o.follow_selection = true;
  panel_open(app, kPanelOptions);
}

void options_close(AppState* app) { panel_close(app, kPanelOptions); }

void options_toggle(AppState* app) {
  if (options_shown(app)) {
    options_close(app);
    app->console_open = false;
    help_close(app);
  } else {
    options_open(app);
  }
}

bool options_key(AppState* app, const InputEvent& ev) {
  if (!options_shown(app) || ev.kind != InputKind::kKeyDown) return false;
  OptionsState& o = app->options;
  switch (ev.key) {
    case kKeyEnter:
      if (!ev.repeat) option_enter(app, o.selected);
      return true;
    case kKeyEscape:
      if (!ev.repeat) options_close(app);
      return true;
    case kKeyRight:
    case kKeyLeft:
      option_step(app, o.selected, ev.key == kKeyRight ? +1 : -1);
      return true;
    case kKeyDown:
    case kKeyUp:
      o.selected = option_neighbour(o.selected, ev.key == kKeyDown ? +1 : -1);
      o.follow_selection = true;
      return true;
    case kKeyD:
      if (!colour_row(o.selected) || ev.repeat) return false;
      option_choose(app, o.selected, 0);
      return true;
    default: break;
  }
  return false;
}

void options_track_session(AppState* app) {
  const Session& s = app->recorder.session;
  if (s.folder[0] && s.count > 0) text_copy(app->options.last_session, s.folder);
}
