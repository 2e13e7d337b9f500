// The one long-lived application record: the capture engine, the recorder with its sessions and
// library, the library drawer and its player, the chop job, the settings and their last-written
// image, the watchdog, the window, the UI's animation state, the performance counters and the
// flags the commands set. Created zeroed at process start (on the heap: it is large) and never
// copied. Main thread only; the audio thread reaches only the engine, through its atomics, and the
// player's playback engine.
#pragma once
#include <cstdint>

#include "app/chop/chop_view.h"
#include "app/drawer/drawer_layout.h"
#include "app/drawer/files_layout.h"
#include "app/foot/foot.h"
#include "app/inputs/inputs_app.h"
#include "app/overlays/overlay.h"
#include "app/panels/options.h"
#include "app/panels/panel.h"
#include "app/scope/scope_view.h"
#include "app/shell/broadcast.h"
#include "app/shell/desktop.h"
#include "app/shell/spring.h"
#include "app/shell/theme.h"
#include "app/stage/stage_view.h"
#include "capture/device.h"
#include "capture/engine.h"
#include "capture/tap_fanout.h"
#include "config/settings.h"
#include "kit/cloud.h"
#include "learn/panel.h"
#include "learn/training.h"
#include "library/chop.h"
#include "library/drawer.h"
#include "library/files_tab.h"
#include "library/player.h"
#include "net/link_channel.h"
#include "sessions/recorder.h"

struct AppWindow;

constexpr uint32_t kSettingsEveryMs = 1000;    // title, geometry and the settings save
constexpr uint32_t kCapacityEveryMs = 1000;    // free disk and memory
constexpr int64_t kPerfLineEveryNs = 2000000000;
constexpr int64_t kPerfLogEveryNs = 10000000000;
constexpr int kPerfLineBytes = 128;
constexpr int kMinYieldMs = 4;                 // a visible frame yields at least until 4 ms
constexpr int kHiddenFrameMs = 33;
constexpr int kRigPanelWidth = 448;            // the inputs panel, fully open

// Per-frame accumulators and the figures made from them.
struct PerfState {
  // This 2-second window, nanoseconds.
  int64_t events_ns, writer_ns, update_ns, drawing_ns, present_ns, browser_ns, idle_ns;
  int64_t frames;
  int64_t window_start_ns;
  // Running totals for the 10-second log line.
  int64_t t_update_ns, t_drawing_ns, t_present_ns, t_browser_ns, t_idle_ns, t_frames;
  int64_t log_start_ns;
  int64_t cb_count;
  double cb_busy_us, cb_audio_us, cb_max_us;  // callback time, audio covered, worst callback
  // What the screen shows.
  char line[kPerfLineBytes];   // empty until the first 2-second window has passed
  double drawing_ms;           // per frame, last window
};

struct UiState {
  MainLayout layout;
  float pointer_x, pointer_y;  // output pixels; negative = outside the window
  bool left_down;
  int pressed_button;          // strip button the left button went down on, -1 = none
  bool gate_key_down;          // G is held
  bool gate_mouse_down;        // the GATE button is held with the mouse
  StripAnim strip;
  Spring panel_spring;         // the eighth spring: floating panels' slide
  float side_s;                // side panel slide, 0 hidden .. 1 shown
  int64_t last_anim_ns;        // 0 = no frame animated yet
  float cull_flash;            // 1 after a cull, fades over the CULL button
};

// Free disk and memory, refreshed at most once a second; a failed query keeps the old figure.
struct CapacityCache {
  int64_t free_bytes;          // -1 = unknown
  uint64_t available_memory;   // 0 = unknown
  uint32_t refreshed_ms;
  bool have;
};

struct AppState {
  // Recording.
  CaptureEngine engine;
  Recorder recorder;
  TriggerPositions sliders;    // the eight trigger controls, 0..1
  Watchdog watchdog;

  // Settings and the image last written to tolm.ini (byte comparison).
  Settings settings;
  Settings settings_image;
  bool settings_save_failed;   // the last save failed (logged once, retried each second)
  int64_t overruns_logged;     // device overruns already reported in the log

  // Window and views.
  AppWindow* window;           // null until created
  UiState ui;
  ScopeView scope;
  SpectrumAnalyser input_spectrum;  // the input's spectrum (scope, waterfall); reset on first feed
  Theme theme;
  int content_w, content_h;    // output pixels
  float lib_width;             // library drawer on the left as it slides (its full width times the slide)
  float rig_width;             // inputs panel on the right (0 while it is not built)
  float side_total;            // their sum as last applied to the window size
  bool drawing;                // inside render_frame (the event watch must not re-enter)

  // Interval ticks (tick_ms).
  uint32_t last_second_ms;
  uint32_t last_link_ms;
  uint32_t last_spectrum_ms;
  CapacityCache capacity;
  PerfState perf;
  int64_t start_ns;            // mono_ns at entry, for the first-frame figure
  bool first_frame_logged;

  // Where the request files and the screenshot live.
  char request_dir[260];
  // An open request seen empty (its writer may not have written yet), and since when.
  bool open_request_empty;
  uint32_t open_request_empty_since_ms;

  // Flags.
  bool quit_requested;
  bool quit_refused;
  bool quit_refusal_shown;     // the refusal has been on screen (drawn and presented)
  bool quit_after_refusal;     // a quit was asked for while the refusal was on screen
  bool screenshot_requested;
  bool console_open;
  bool reduce_motion;
  bool gpu_reset;
  bool help_open;              // the how-it-works overlay

  // The library drawer on the left, the player both its tabs share, and their view state.
  LibraryDrawer drawer;
  Player player;
  DrawerUi drawer_ui;
  // The drawer's second tab: files, folders, favourites, loops.
  FilesTab files;
  FilesUi files_ui;
  // Its CLOUD source: the account, the sign-in and the listing.
  CloudClient cloud;

  // The file open for chopping (one at a time; chop.mode is the chop-mode flag) and its view.
  ChopJob chop;
  ChopView chop_view;
  // The desktop's dialogs and file manager, run off the main thread.
  DesktopJobs desktop;

  // Panels and overlays (the options panel is open when panels.panel[kPanelOptions].open).
  PanelSet panels;
  OptionsState options;
  HelpState help;
  KeyMapState key_map;

  // The engine's one output tap, handed on to every network receiver; the broadcast station and
  // the Link channel.
  TapFanout taps;
  BroadcastState broadcast;
  LinkChannel link;

  // The rig keeper and the inputs panel on the right.
  InputsApp inputs;

  // The corridor and the stage in the scope area; the training panel and the foot's toast.
  StageView stage;
  TrainingPanel training;
  bool training_ready;         // the panel was created
  TrainingToast toast;
};

// A quit asked for by the user (close button, the window manager, a signal). Only one asked for
// while a refusal is on screen can discard takes. Main thread.
inline void request_quit(AppState* app) {
  app->quit_requested = true;
  if (app->quit_refusal_shown) app->quit_after_refusal = true;
}
