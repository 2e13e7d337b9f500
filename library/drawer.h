// The library drawer's model: the tab and column that have the keyboard, the selected session
// with its loaded takes, the scroll offsets, the context menu, what keys and menu items do, and
// the per-frame update that follows rescans, loads takes, lands the player on the selection,
// finds or joins the session's playback file and runs the picture jobs (drawer_jobs.h). Views
// draw from the fields and the text helpers; keys and menu items return what happened for the
// shell to finish (close the drawer, show a file, flash the tape strip).
// Main thread only; the jobs run on threads of their own and meet the drawer only as described
// in drawer_jobs.h.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "library/drawer_jobs.h"
#include "library/player.h"
#include "platform/paths.h"
#include "sessions/recorder.h"
#include "sessions/take_writer.h"

constexpr int kDrawerRowHeight = 44;      // pixels per session or take row (hit tests)
constexpr int kDrawerMenuItems = 6;
constexpr int kDrawerTextBytes = 96;
constexpr const char* kOndelName = "ondel";
constexpr const char* kNoTolmsText = "No tolms yet";
constexpr const char* kNoTakesText = "NO TAKES";
constexpr const char* kPickATakeText = "PICK A TAKE";

enum DrawerTab { kDrawerLibraryTab = 0, kDrawerFilesTab = 1 };

// The keys the drawer acts on; the shell maps its own key codes to these.
enum DrawerKey {
  kDrawerKeyOther = 0,
  kDrawerKeyTab,
  kDrawerKeyEnter,
  kDrawerKeySpace,
  kDrawerKeyEscape,
  kDrawerKeyB,
  kDrawerKeyC,
  kDrawerKeyO,
  kDrawerKeyDelete,
  kDrawerKeyUp,
  kDrawerKeyDown,
  kDrawerKeyLeft,
  kDrawerKeyRight,
};

// What a key or a menu item did.
enum DrawerOutcome {
  kDrawerNotTaken = 0,  // not the drawer's: the main view (or, in the files tab, the files tab) has it
  kDrawerTaken,         // handled here, nothing left for the shell
  kDrawerClose,         // close the drawer
  kDrawerPlayed,        // playback of a take or a session began (or was asked for, pending a join)
  kDrawerContinued,     // the selected session was continued and listens again
  kDrawerShowItem,      // show `path` selected in the file manager
  kDrawerOpenFolder,    // open the folder `path`
  kDrawerDeleted,       // a take or a session was deleted
};

struct DrawerAction {
  DrawerOutcome outcome;
  char path[kPathCap];  // kDrawerShowItem and kDrawerOpenFolder
};

enum DrawerList { kDrawerNoList = 0, kDrawerSessions, kDrawerTakes };

enum DrawerMenuId {
  kMenuPlay = 0,
  kMenuOpenLocation,
  kMenuOpenInOndel,
  kMenuContinue,
  kMenuDeleteSession,
  kMenuDeleteTake,
};

struct DrawerMenuItem {
  int id;               // DrawerMenuId
  const char* label;    // "PLAY", ...
  const char* hint;     // key hint; empty unless the menu was opened from the keyboard
  bool enabled;
  bool danger;          // drawn as a dangerous item
  const char* reason;   // why CONTINUE is off; empty otherwise
};

struct DrawerMenu {
  DrawerMenuItem items[kDrawerMenuItems];
  int count;
  int take;             // the take it was opened on, -1 for a session menu
  bool from_keyboard;
};

// What the shell tells the update each frame.
struct DrawerFrame {
  bool shown;           // the drawer is open (landing and joining happen only then)
  int64_t now_seconds;  // wall clock, for the recording session's open time
  int visible_sessions; // rows the lists show, for scrolling the selection into view
  int visible_takes;
};

// The main thread's copy of the session map (refreshed when a job publishes).
struct MapView {
  float peaks[kMapPeaks];
  float image[kMapColumns * kMapBands];  // column c's bands at c × kMapBands
  float starts[kDrawerMaxTakes];
  int take_count;
  char session[kRelativeNameBytes];
  int take;
  bool ready;
};

struct SessionCardText {
  char title[48];       // "%Y-%m-%d  %H:%M:%S", or the relative path
  char line[kDrawerTextBytes];  // "OPEN %s   KEPT %s" or "FROM %.18s   KEPT %s"
  char count[16];       // the take count, or "LIVE"
  bool live;            // the recording session
};

struct LibraryDrawer {
  LibraryDrawer() = default;
  LibraryDrawer(const LibraryDrawer&) = delete;
  LibraryDrawer& operator=(const LibraryDrawer&) = delete;
  ~LibraryDrawer();  // drawer_shutdown

  // Selection and lists (main thread).
  int drawer_tab = kDrawerLibraryTab;
  bool takes_focus = false;
  int session_sel = 0;
  int takes_session = -1;                   // row whose takes are loaded, -1 none
  TakeFile takes[kDrawerMaxTakes] = {};
  int take_count = 0;
  int take_sel = 0;
  int menu_take = -1;
  int session_scroll = 0;                   // first visible row of each list
  int take_scroll = 0;
  char selected[kRelativeNameBytes] = {};   // the selected session's folder, kept across rescans
  char takes_folder[kRelativeNameBytes] = {};  // the session the takes belong to
  bool takes_stale = false;                 // reload them keeping the take selection
  uint32_t seen_scan = 0;                   // the library's scan serial last followed
  int shown_session_sel = -1, shown_take_sel = -1;  // selections last scrolled into view

  // The player's landing (main thread).
  char landed[kPathCap] = {};               // the item last landed on
  int reference_take = -1;                  // a reference session's current take
  char play_when_joined[kPathCap] = {};     // a play asked for while its join runs

  // Session cards.
  SessionCardCache cards;
  JobThread card_thread;
  std::unique_ptr<CardJob> card_job;

  // Take thumbnails (the values of take i are thumbs[i] once thumb_ready[i]).
  float thumbs[kDrawerMaxTakes][kThumbValues] = {};
  uint8_t thumb_ready[kDrawerMaxTakes] = {};
  std::atomic<uint32_t> thumbs_generation{0};
  int thumbs_to_read = 0;
  int thumbs_read = 0;
  bool thumbs_busy = false;
  JobThread thumb_thread;
  std::unique_ptr<ThumbJob> thumb_job;

  // Session map: the jobs' shared copy, and the one the view reads.
  SessionMap map;
  MapView map_view{};
  uint32_t map_seen = 0;                    // map.published last copied
  char map_for[kDrawerTextBytes] = {};      // what the last request was for ("rel|takes|ms")
  bool map_requested = false;               // a job is wanted once the running one has ended
  bool map_busy = false;
  JobThread map_thread;
  std::unique_ptr<MapJob> map_job;

  // Joining.
  char joined_folder[kPathCap] = {};        // the private folder; empty until made
  bool joined_folder_failed = false;
  char last_joined[kPathCap] = {};          // the last successful, uncancelled join
  JobThread join_thread;
  std::unique_ptr<JoinJob> join_job;

  std::atomic<int32_t> stopping{0};         // shutdown: every job gives up at its next run

  // Where the sibling application is looked for; empty = the program's own folder.
  char ondel_folder[kPathCap] = {};
};

// ---- Keys, menu, pointer (main thread) ----

// A key while the drawer has keyboard focus. player may be null (nothing plays).
DrawerAction library_key(LibraryDrawer* d, Recorder* r, Player* p, DrawerKey key);
// A right click on a list row (or elsewhere: kDrawerNoList), or the menu key (from_keyboard,
// on the focused row): selects the row and fills the menu.
void library_menu(LibraryDrawer* d, Recorder* r, DrawerList list, int index, bool from_keyboard, DrawerMenu* out);
DrawerAction library_menu_choose(LibraryDrawer* d, Recorder* r, Player* p, const DrawerMenu& menu, int id);
// A left click on a row: selects it and focuses its column.
void library_select(LibraryDrawer* d, Recorder* r, DrawerList list, int index);
// The wheel over a list: one row a notch (up is positive), clamped to the list.
void library_wheel(LibraryDrawer* d, const Recorder* r, DrawerList list, float notches, int visible_rows);

// ---- Each frame (main thread) ----

// Follows rescans, loads the selected session's takes, lands the player, finds or joins the
// session's playback file, starts and collects the picture jobs and makes the cards of the rows
// [session_scroll, session_scroll + visible_sessions).
void library_update(LibraryDrawer* d, Recorder* r, Player* p, const DrawerFrame& f);

// Continues the selected session with its loaded takes and map (refused, with the reason shown,
// when it cannot be, and when it holds more takes than could be loaded). 0 or -1.
int drawer_continue(LibraryDrawer* d, Recorder* r);

// The recorder's library_row_updated hook (ctx = the drawer): the open session's row changed.
void drawer_row_updated(void* ctx, int row, double total_seconds, int take_count);

// Stops the four job threads (cooperatively) and waits for each. Idempotent.
void drawer_shutdown(LibraryDrawer* d);

// ---- What the view shows ----

// Why CONTINUE is disabled, or null when it is enabled.
const char* continue_refusal(const LibraryDrawer* d, const Recorder* r);
// The takes header's progress: "JOINING %d / %d" while a join runs, else "READING %d / %d"
// while thumbnails are read; the fraction for the bar. false when neither runs.
bool drawer_progress(const LibraryDrawer* d, char* out, size_t cap, float* fraction);
// "No tolms yet" for an empty library, "NO TAKES" for a session without takes; null otherwise.
const char* drawer_list_text(const LibraryDrawer* d, const Recorder* r, DrawerList list);
// The player pane's line in the library tab ("PICK A TAKE" with takes but nothing chosen).
void library_pane_text(const LibraryDrawer* d, const Recorder* r, const Player* p, bool can_sound, char* out,
                       size_t cap);
// A session's card: its slot once ready or failed (state says which), else null.
const CardSlot* drawer_card(const LibraryDrawer* d, const Recorder* r, int row);
void session_card_text(const Recorder* r, int row, int64_t now_seconds, SessionCardText* out);
// A take's thumbnail once read, else null.
const float* drawer_thumb(const LibraryDrawer* d, int take);
// The map of the selected session, once ready; else null.
const MapView* drawer_map(const LibraryDrawer* d, const Recorder* r);
// The sibling application beside the program (or in ondel_folder), when it stands there and
// can be run.
bool ondel_path(const LibraryDrawer* d, char* out, size_t cap);
