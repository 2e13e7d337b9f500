// The kit's training and version-notes panel as a model: what it holds, what it shows, where its
// parts sit, and what a key, click or wheel notch does to it. The application hands it a
// descriptor (its key, title, version, tables and four callbacks); the panel keeps its seen state
// in the kit's shared preferences file. Views draw from the layout and view records; the event and
// tick functions return what happened (closed, a link to open or copy, ...), and the shell does
// the rest (the clipboard, the browser, the status line).
// Main thread only. Preference writes never wait: they are tried, and retried on every tick.
#pragma once
#include <cstddef>
#include <cstdint>

#include "learn/prefs.h"

constexpr int kNoteMaxLines = 8;
constexpr int kPanelKeyBytes = kPrefsKeyMax + 1;
constexpr int kPanelVersionBytes = 32;
constexpr int kPanelMaxRows = 64;              // chapter and step rows shown on the training tab
constexpr double kPanelOpenS = 0.36;           // ease-in of an opening panel
constexpr double kPanelFadeStepS = 0.02;       // a closing panel fades in twelve steps
constexpr int kPanelFadeSteps = 12;
constexpr double kPanelDiscoverS = 0.18;
constexpr float kPanelScrollStep = 50.0f;      // Up, Down and one wheel notch

struct TrainingStep {
  const char* id;      // "first-arm"
  const char* title;   // "Arm it"
  const char* hint;
};

struct TrainingChapter {
  const char* key;             // "first-tolm"
  const char* title;           // "FIRST TOLM"
  const TrainingStep* steps;   // the application's step table
  int first_step;
  int step_count;
};

struct VersionNote {
  const char* version;
  const char* date;
  const char* title;
  const char* lines[kNoteMaxLines];
  int line_count;              // 1..8
  const char* link;            // https address, or null
};

struct PanelDescriptor {
  const char* app_key;         // required: names the preference keys
  const char* title;           // null or empty: "ZEPHA"
  const char* version;         // required: the build's
  char* seen_version;          // the application's own seen version, kept up to date; may be null
  size_t seen_version_cap;
  const TrainingChapter* chapters;
  int chapter_count;
  const VersionNote* notes;    // newest first
  int note_count;
  bool storage_off;            // keep nothing in the shared preferences file
  void* user;
  // All four, or none (the panel then keeps done and unseen id lists of its own).
  bool (*is_done)(void* user, const char* step_id);
  bool (*is_new)(void* user, const char* step_id);
  void (*mark_seen)(void* user, const char* step_id);
  void (*reset_all)(void* user);
};

enum PanelTab : int { kPanelTraining = 0, kPanelNotes = 1 };

// The keys the panel knows; the shell maps its own key codes onto these.
enum PanelKey : int {
  kPanelKeyNone = 0,
  kPanelKeyF1,
  kPanelKeyTab,
  kPanelKeyEnter,
  kPanelKeyEscape,
  kPanelKeyU,
  kPanelKeyC,
  kPanelKeyHome,
  kPanelKeyEnd,
  kPanelKeyPageUp,
  kPanelKeyPageDown,
  kPanelKeyUp,
  kPanelKeyDown,
  kPanelKeyLeft,
  kPanelKeyRight,
};

enum class PanelInput { kKey, kClick, kWheel };

struct PanelEvent {
  PanelInput kind;
  int key;          // PanelKey, for kKey
  bool shift;
  bool repeat;      // an auto-repeated key press
  float x, y;       // pointer, window pixels (kClick)
  float wheel;      // notches, up positive (kWheel)
};

enum PanelAction : int {
  kPanelNothing = 0,
  kPanelOpened,
  kPanelClosed,
  kPanelSaving,     // closing waits for its preference write (the panel stays up meanwhile)
  kPanelNotSaved,   // the write failed: the panel stays open and says so
  kPanelOpenLink,   // open `link` in the browser
  kPanelCopyLink,   // put `link` on the clipboard and say "LINK COPIED"
  kPanelReset,      // every step was reset
};

struct PanelOutcome {
  bool consumed;    // the event is the panel's; nothing behind it sees it
  int action;       // PanelAction
  const char* link;
};

struct PanelRect {
  float x, y, w, h;
};

// Where everything sits this frame (window pixels), for drawing and for the next clicks.
struct PanelLayout {
  bool shown;                  // open, or fading out
  float alpha;                 // 1, less while the close fades
  PanelRect panel, header, tab[2], content, footer;
  PanelRect got_it, reset, older, newer;  // reset on the training tab, older/newer on the notes tab
};

enum PanelRowKind : int { kRowChapter = 0, kRowStep = 1 };

struct PanelRow {
  int kind;                    // PanelRowKind
  const char* title;
  const char* hint;            // steps
  bool done;
  bool fresh;                  // done and not yet seen
  bool latest;                 // the latest discovery
};

// What the panel shows this frame.
struct PanelView {
  const char* title;
  int tab;
  float scroll_px;
  const char* got_it;                  // "GOT IT"
  const char* save_error;              // "Could not save. Try again.", or null
  // Training tab.
  char summary[128];
  PanelRow rows[kPanelMaxRows];
  int row_count;
  int done_count, step_count;
  const char* reset_label;             // "RESET ALL TRAINING", or the armed confirmation
  // Notes tab.
  const VersionNote* note;             // null: empty_text instead
  char heading[80];                    // "%s   %s": version, date
  const char* empty_text;
  bool can_older, can_newer;
  const char* link_hint;               // "U: OPEN LINK   C: COPY LINK" when the note has a link
};

struct TrainingPanel {
  PanelDescriptor d;
  const char* title;
  bool own_lists;                      // no callbacks: done and unseen lists kept here

  bool open;
  bool notes_by_itself;                // opened at start for the version notes
  int tab;                             // PanelTab
  int note;                            // index of the note on show; -1 = none
  float scroll_px;
  bool reset_armed;
  bool could_not_save;
  double opened_s;
  double closed_s;                     // < 0: no close fading
  double next_discovery_s;
  int32_t close_write;                 // the version write a close waits for; 0 = none
  int32_t seen_write;                  // the latest version write still waiting; 0 = none

  char key_version_seen[kPanelKeyBytes];  // "tolm.version_seen"
  char key_done[kPanelKeyBytes];          // "tolm.training_done"
  char key_unseen[kPanelKeyBytes];        // "tolm.training_unseen"
  char seen_version[kPanelVersionBytes];
  char latest[kPrefsIdMax + 1];        // latest discovery
  PrefsIds done, unseen;               // own lists

  float content_h;                     // reported by the view
  PanelLayout layout;                  // the last one laid out
  PrefsQueue prefs;
};

// Sets up the panel (closed) and reads its own lists when it keeps them. -1 (the panel unusable)
// without an application key or version, or with a key too long for the preference names.
int training_panel_create(TrainingPanel* p, const PanelDescriptor& d);
// The start-up decision: the seen version from the shared file (the application's own as the
// default); none at all records this version as seen and opens nothing; one below the newest
// note this build knows opens the notes by themselves at that note. True when it opened.
bool training_panel_start(TrainingPanel* p, double now_s);
void training_panel_open(TrainingPanel* p, int tab, double now_s);
// PanelAction: kPanelClosed, or, for notes that opened by themselves, kPanelSaving while the seen
// version waits for the lock and kPanelNotSaved when it could not be written. A close after a
// failed or waiting save always closes.
int training_panel_close(TrainingPanel* p, double now_s);
// Keys, clicks and the wheel. While closed only a first F1 press is taken (it opens the notes
// with Shift, else training).
PanelOutcome training_panel_event(TrainingPanel* p, const PanelEvent& ev, double now_s);
// Every frame: settles waiting preference writes (kPanelClosed when a waiting close could save,
// kPanelNotSaved when it could not) and, while closed on the training tab, runs discovery every
// 0.18 s. PanelAction.
int training_panel_tick(TrainingPanel* p, double now_s);
// Lays the panel out in a window of win_w x win_h into p->layout.
void training_panel_layout(TrainingPanel* p, float win_w, float win_h, double now_s);
// The height of the content the view laid out, for scrolling to the end.
void training_panel_set_content_height(TrainingPanel* p, float content_h);
void training_panel_view(const TrainingPanel* p, PanelView* out);

// Steps done, and in all.
int training_panel_done_count(const TrainingPanel* p);
int training_panel_step_count(const TrainingPanel* p);
// Without callbacks: ticks a step off in the panel's own lists (written to the shared file).
bool training_panel_mark_done(TrainingPanel* p, const char* step_id, double now_s);
// The newest note not above the build's version, or -1.
int training_panel_newest_note(const TrainingPanel* p);
