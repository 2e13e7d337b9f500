// The overlays over the main window: the help overlay with its nineteen how-it-works pages, the
// key-map overlay with the whole key legend and the console with the log's tail. Main thread only.
#pragma once
#include <cstddef>
#include <cstdint>

#include "app/shell/draw.h"
#include "app/shell/input.h"
#include "config/log.h"

struct AppState;

// ---- Help overlay ----

constexpr int kHelpPages = 19;
constexpr int kHelpMaxLines = 320;      // wrapped lines of all pages together
constexpr int kHelpLineBytes = 160;
constexpr float kHelpPageStep = 240.0f;  // Page Up / Page Down
constexpr float kHelpLineStep = 36.0f;   // Up / Down and one wheel notch

struct HelpLine {
  int page;
  bool title;
  float y;                     // top within the page column
  char text[kHelpLineBytes];
};

struct HelpState {
  float scroll;                // pixels the page column is scrolled down
  float view_h;                // height of the visible column, last frame
  int wrapped_w;               // width the lines were wrapped for; 0 = not yet
  HelpLine lines[kHelpMaxLines];
  int line_count;
  float content_h;             // height of the whole column
};

const char* help_page_title(int page);
const char* help_page_text(int page);

// Opening resets the scroll (page 0) and closes the console and the options panel.
void help_open(AppState* app);
void help_close(AppState* app);
void help_toggle(AppState* app);
// Keys while open: Enter / Esc close, Page Up / Down by 240 px, Up / Down by 36 px, Right and Left
// close it for training and the version notes.
bool help_key(AppState* app, const InputEvent& ev);
// The pointer while open: a click on the TRAINING or WHAT'S NEW tab does what Right or Left does,
// a click outside the sheet closes it, the wheel scrolls. True when taken.
bool help_take_pointer(AppState* app, const InputEvent& ev);
// The scroll offset clamped to the column.
void help_scroll_by(AppState* app, float dy);
void draw_help_overlay(Canvas* c, AppState* app);

// ---- Key-map overlay ----

constexpr float kKeyMapScrollStep = 40.0f;
constexpr uint32_t kKeyLitMs = 700;   // a pressed key's cap stays lit this long

struct KeyMapState {
  bool open;
  float scroll;
  float content_h, view_h;  // last frame
  int lit_key;              // Key last pressed, kKeyOther = none
  int lit_mods;
  uint32_t lit_ms;          // tick of that press
};

struct LegendRow {
  const char* keys;  // key caps, separated by tabs
  const char* text;
};
struct LegendSection {
  const char* title;
  const LegendRow* rows;
  int count;
  int column;        // 0 left, 1 right
};
constexpr int kLegendSections = 5;
const LegendSection* key_legend();
// Whether one key cap of the legend ("G", "Ctrl", "↑") is what the press (key, mods) names.
bool key_cap_matches(const char* cap, int key, int mods);

void key_map_open(AppState* app);
void key_map_close(AppState* app);
// While shown it takes every key press (lighting its cap): Up / Down scroll by 40 px, Esc and ?
// close it. A press outside its sheet closes it; the wheel scrolls.
bool key_map_take_event(AppState* app, const InputEvent& ev, uint32_t now_ms);
void draw_key_map(Canvas* c, AppState* app, uint32_t now_ms);

// ---- Console ----

struct ConsoleGeometry {
  int panel_h;     // two thirds of the window height
  int rows;        // log rows that fit
  int line_chars;  // a row is cut to this many characters
  int perf_chars;  // the performance line is cut to this many; drawn only above 3
};
ConsoleGeometry console_geometry(int width, int height);
// "%d LINES - ALT+~ TO CLOSE" with every line logged in this run.
void console_counter_text(char* out, size_t cap);
// The newest `rows` lines that are still in the log's ring, oldest first, each cut to `chars`
// characters (0 = uncut). Returns how many were copied (at most cap).
int console_lines(int rows, int chars, char (*out)[kLogLineBytes], int cap);
void draw_console(Canvas* c, const AppState* app);
