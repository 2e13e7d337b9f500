// The options panel's model: its 37 rows (numbered as the selection and the help lines know them)
// in their display order with the group headings, each row's value text, its Right / Left / Enter
// action with the status texts it leaves, the keys the panel takes while open and the write-folder
// picker. No drawing here (options_draw.cpp draws). Main thread only.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "app/shell/draw.h"
#include "app/shell/input.h"
#include "platform/paths.h"

struct AppState;

constexpr int kOptionRows = 37;          // row numbers 0..36
constexpr int kOptionColourRowFirst = 19;  // row 19 + n is colour slot n
constexpr int kOptionValueBytes = 160;
constexpr int kTrainingLessons = 11;

enum OptionRow : int {
  kRowInputDevice = 0,
  kRowInputs = 1,
  kRowDriverPanel = 2,
  kRowExclusive = 3,
  kRowSampleRate = 4,
  kRowBuffer = 5,
  kRowBitDepth = 6,
  kRowWaterfall = 7,
  kRowLink = 8,
  kRowLinkInput = 9,
  kRowBroadcast = 10,
  kRowWriteFolder = 11,
  kRowOpenFolder = 12,
  kRowHowItWorks = 13,
  kRowKeys = 14,
  kRowTraining = 15,
  kRowWhatsNew = 16,
  kRowVisualizerHeading = 17,  // a heading: never selected
  kRowWallSource = 18,
};

// One line of the panel as it is listed: a group heading, a sub-heading inside VISUALIZER, or a row.
enum class OptionLineKind { kHeading, kSubheading, kRow };
struct OptionLine {
  OptionLineKind kind;
  int row;            // the row number; -1 for a heading that has none
  const char* label;
};
constexpr int kOptionLines = 48;  // 36 rows, 5 headings, 7 sub-headings
// The panel's lines in display order.
const OptionLine* option_lines();

// What the panel keeps between frames.
struct OptionsState {
  int selected;                   // row number, never a heading
  int rate_tried;                 // 1 + the value index a refused rate change tried, 0 = none
  int buffer_tried;               // likewise for the buffer size
  float scroll;                   // pixels the list is scrolled down
  bool follow_selection;          // scroll the selected row into view on the next frame
  int last_click_row;             // the row the last click landed on ("click twice to use")
  char last_session[kPathCap];    // the newest session folder this run wrote a take into
};

void options_init(OptionsState* s);

// Whether a row can be selected (every row number but the heading 17).
bool option_selectable(int row);
// The row label ("INPUT DEVICE"), or "" for numbers outside 0..36.
const char* option_label(int row);
// The next (dir = +1) or previous (-1) selectable row in display order; the same row at either end.
int option_neighbour(int row, int dir);

// The value text of a row as the panel shows it for a panel panel_w pixels wide.
void option_value_text(const AppState* app, int row, float panel_w, char* out, size_t cap);
// The one-line help of a row ("" when it has none); key_caps gets the key cap shown instead
// ("?" and "T" for rows 14 and 15), else "".
const char* option_help_text(int row, const char** key_caps);
// The colour choice names, 0 DEFAULT .. 10 PINK, and the wall sources.
const char* colour_choice_name(int choice);
const char* wall_source_name(int source);

// Right (dir +1) / Left (-1) on a row; rows without a stepping action do nothing.
void option_step(AppState* app, int row, int dir);
// Enter on a row; a row without an Enter action steps forward.
void option_enter(AppState* app, int row);
// Sets a colour slot or the wall source directly (a click on a swatch) and saves at once.
void option_choose(AppState* app, int row, int choice);

// Opens (closing the console and the help overlay), closes, or toggles the panel.
bool options_shown(const AppState* app);
void options_open(AppState* app);
void options_close(AppState* app);
void options_toggle(AppState* app);

// The keys of the open panel: Enter, Esc, Right, Left, Down, Up (and D on a colour row). True
// when the key was the panel's.
bool options_key(AppState* app, const InputEvent& ev);

// Remembers the session this run last wrote into (for OPEN FOLDER); once a frame.
void options_track_session(AppState* app);

// The picker's answer, acted on on the main thread: the write folder is set and saved, or the foot
// says why not.
void write_folder_chosen(AppState* app, int picked, const char* chosen);

// ---- Drawing and the pointer (options_draw.cpp) ----

// Draws the panel's body (rows, help line, foot) inside r.
void draw_options_body(Canvas* c, AppState* app, const Rect& r);
// A press inside the body r at (x, y): selects a row, chooses a swatch, or uses a row clicked
// twice. True when it landed on something.
bool options_press(AppState* app, const Rect& r, float x, float y);
// The wheel over the body.
void options_wheel(AppState* app, float notches);
