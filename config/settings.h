// The settings record and its file tolm.ini: every persistent preference of the program, one
// "key = value" line each. Loaded once at start-up, edited in place, written whole on change.
// Main thread only.
#pragma once
#include <cstddef>

constexpr int kVisColorSlots = 18;
constexpr int kVisColorChoices = 11;  // values 0..10
constexpr int kPanelCount = 3;        // OPTIONS, TOLM, LIBRARY
constexpr int kPanelValues = 8;       // x, y, open, det, wx, wy, ww, wh
constexpr size_t kFilesStateBytes = 1400;

enum PanelIndex { kPanelOptions = 0, kPanelTolm = 1, kPanelLibrary = 2 };
enum PanelValue { kPanelX, kPanelY, kPanelOpen, kPanelDetached, kPanelWinX, kPanelWinY, kPanelWinW, kPanelWinH };

struct Settings {
  float threshold_db;      // dBFS of the threshold line, -80..0
  float exit_db;           // gate-close offset, -24..+24 dB
  float hold_norm;         // hold slider position; hold = hold_norm^3 s
  float pre_roll_s;        // 0..2 s
  float post_roll_s;       // 0..4 s
  float look_back_s;       // 0..4 s
  float gain;              // linear input gain, 0..2
  float scale_db;          // scope scale, -24..+36 dB
  float hpf_hz;            // trigger high-pass corner; below 1 = off
  int hpf_slope;           // dB/octave, 6..72 in steps of 6
  float lpf_hz;            // trigger low-pass corner; below 1 = off
  int lpf_slope;           // dB/octave
  float peak_hz;           // trigger band centre; below 1 = off
  float peak_q;            // 0.3..12
  int monitor;             // listen-through on
  int normalize_monitor;   // level the listen-through signal
  int bit_depth;           // 16 or 24
  int buffer_frames;       // audio buffer size
  int sample_rate;         // 0 = the device's rate
  int exclusive;           // direct hardware access
  int wall_source;         // visualiser walls: 0 inputs, 1 library, 2 both
  int scope_fall_off;      // 1 = spectrum waterfall off
  int vis_color[kVisColorSlots];  // colour choice 0..10 per visualiser slot
  int link;                // Link audio channel on
  char link_input[96];     // chosen Link Audio channel
  int broadcast;           // broadcast station on
  int win_x, win_y, win_w, win_h;
  int win_max;
  float lib_gain;          // library playback gain
  float lib_zoom_s;        // library waveform zoom, seconds shown
  int lib_tab;             // 1 = files tab
  int lib_w;               // drawer width; under 360 = 1040
  char files_state[kFilesStateBytes];
  int panel[kPanelCount][kPanelValues];
  int br_x, br_y, br_w, br_h;
  int br_open;
  int rig_open;
  int rig_sel;             // -1 = none
  int hud_mode;            // 0 threshold view, 1 trigger-EQ view, 2 configuration view
  int side_hidden;
  int first_done;
  float rig_scroll;
  char seen_version[16];
  int train_done;          // bit n = lesson n completed
  int train_seen;          // bit n = lesson n offered
  char library_dir[260];   // chosen write-folder root; empty = the music folder
  char device[128];        // chosen input device; empty = default
  char cloud_container[128];   // CloudKit container of the files tab's cloud source
  char cloud_environment[32];  // "production" or "development"
  char cloud_api_token[400];   // pasted by the user; empty = none yet
};

// The settings file's path: tolm.ini beside the program when one exists there (portable), else
// $XDG_CONFIG_HOME/Lumaro/tolm.ini (~/.config when unset; the folder is created).
void settings_path(char* out, size_t cap);
// True when tolm.ini exists in the program's own folder.
bool settings_beside_program();
// The same rule for a given program folder.
void settings_path_in(const char* program_folder, char* out, size_t cap);

void settings_defaults(Settings* s);
// Zero-fills, applies the defaults, then reads the file when it opens.
void load_settings(Settings* s);
// Rewrites the whole file; false when it cannot be written (the old file then stays as it was).
bool save_settings(const Settings& s);

// The same two on an explicit path and on text, for tests and tools.
void read_settings_text(Settings* s, const char* text, size_t bytes);
bool write_settings_file(const char* path, const Settings& s);
// Formats the file's text; returns its length (0 when cap is too small).
size_t format_settings(const Settings& s, char* out, size_t cap);
