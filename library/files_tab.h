// The files tab's model, the drawer's second tab: the sources (ALL, CLOUD, LOCAL and the folder
// view BROWSE), the item list with its filter and two-step delete to the Trash, the folder tree
// with the favourites strip and the preview of the selected file, the shared favourites and tags,
// the loop regions and bar shifts kept per file, and the loop panel: the bar grid of the file the
// player holds, bar-follow playback, blocks played, saved and dragged out as loop files.
// Views draw from the records and the text helpers; keys, clicks and menu items are free
// functions that return what happened, for the shell to finish (open a file, show it in the file
// manager, start a drag). Main thread only; the player's loader, the preview's overview scan and
// the cloud client's worker meet it only through their own interfaces.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "kit/audio_file.h"
#include "library/files_grid.h"
#include "library/files_list.h"
#include "library/files_store.h"
#include "library/files_tree.h"

struct Settings;
struct ChopJob;
struct Player;
struct CloudClient;

constexpr int kFilesRowHeight = 96;          // pixels per item row (scrolling into view)
constexpr int kPreviewBins = 200;            // the tree preview's waveform
constexpr uint32_t kPreviewFadeMs = 150;
constexpr uint32_t kTreeDwellMs = 150;       // the selection rests this long on a file, then it plays
constexpr uint32_t kLoopMessageMs = 3000;
constexpr double kBarFollowLeadS = 0.004;    // bar-follow looks this far ahead of the playhead
constexpr double kBlockSeekS = 0.003;        // a clicked block plays from just after its start
constexpr int kDragStartPx = 6;              // horizontal plus vertical travel that starts a drag
constexpr int kLoopBarChoices[] = {1, 2, 4, 8};
constexpr int kPreviewCacheMax = 256;        // previews kept with tree entries
constexpr size_t kFilesMessageBytes = 96;
constexpr size_t kFilesActionBytes = 1024;
constexpr int kFilesMenuItems = 6;

// What the shell hands to the tab's calls. Any pointer may be null: nothing plays, Enter hands the
// path back instead of chopping it, the folder view's state is not kept, no cloud.
struct FilesHost {
  Player* player;
  ChopJob* chop;
  Settings* settings;
  CloudClient* cloud;
};

// The keys the tab acts on; the shell maps its key codes to these.
enum FilesKey {
  kFilesKeyOther = 0,
  kFilesKeyEnter,
  kFilesKeyKeypadEnter,
  kFilesKeySpace,
  kFilesKeyDelete,
  kFilesKeyEscape,
  kFilesKeyBackspace,
  kFilesKeyUp,
  kFilesKeyDown,
  kFilesKeyLeft,
  kFilesKeyRight,
  kFilesKeyB,
  kFilesKeyF,
  kFilesKeyI,
  kFilesKeyO,
  kFilesKey0,  // 0..9 follow in order: tag the selection (0 removes the tag)
};
constexpr int kFilesModShift = 1;
constexpr int kFilesModCtrl = 2;

// What a call did.
enum FilesOutcome {
  kFilesNotTaken = 0,      // not the tab's: the drawer or the shell may have it
  kFilesTaken,             // handled here
  kFilesPlayed,            // playback began or was toggled
  kFilesOpenedForChop,     // the item went to the chop (chop mode began)
  kFilesOpenForChop,       // no chop was given: the shell opens `path` for chopping
  kFilesOpenFile,          // open `path` with the desktop's handler for it (xdg-open)
  kFilesShowItem,          // show `path` selected in the file manager
  kFilesDeleted,           // `path` went to the Trash and left the list
  kFilesDeleteFailed,      // it could not; the message says so and the item stays
  kFilesDragOut,           // start an operating-system drag of the loop file `path`
};

struct FilesAction {
  int outcome;                  // FilesOutcome
  char path[kFilesActionBytes];
};

enum FilesMenuId {
  kFilesMenuOpen = 0,
  kFilesMenuFavorite,
  kFilesMenuUnfavorite,
  kFilesMenuMakeRoot,
  kFilesMenuShowInOndel,
  kFilesMenuShowInFiles,
};

struct FilesMenuItem {
  int id;             // FilesMenuId
  const char* label;  // "OPEN", "FAVORITE", ...
  bool enabled;
};

struct FilesMenu {
  FilesMenuItem items[kFilesMenuItems];
  int count;
  std::string path;   // what it acts on
  bool is_dir;
  bool favourite;     // opened on the favourites strip
  int row;            // tree row, -1 for the root (empty space)
};

// The waveform preview of the tree's selected audio file.
struct FilesPreview {
  std::string path;              // empty: none
  OverviewJob* scan = nullptr;   // running until it ends, then released
  float peaks[kPreviewBins] = {};
  float progress = 0.0f;         // how far the peaks reach, 0..1
  double seconds = 0.0;
  bool done = false;
  uint32_t started_ms = 0;       // for the fade-in
};

// A dropped folder read on a worker ("tolm-files"): listing and examining thousands of files
// takes longer than a frame. The worker fills `items` and then sets `done`; the main thread joins
// it and merges the items.
struct FolderScan {
  std::thread thread;
  std::atomic<int> done{0};        // worker stores (release) once items are final
  std::atomic<int32_t> cancel{0};  // main thread: the worker stops at its next entry
  std::string folder;              // set before the start
  std::vector<FilesItem> items;    // the worker's until done
  bool ok = false;                 // the folder could be read
  bool running = false;            // main thread
};

// A cloud item fetched into the cache before it plays or is chopped ("tolm-fetch").
struct CloudFetch {
  std::thread thread;
  std::atomic<int> done{0};        // worker stores (release) once rc and message are final
  std::atomic<int32_t> cancel{0};
  std::string key;                 // the item
  std::string url, name, path;     // set before the start
  bool chop = false;               // chop it once here, else play it
  int rc = 0;
  char message[kFilesMessageBytes] = {};
  bool running = false;            // main thread
};

struct PreviewKept {
  float peaks[kPreviewBins];
  double seconds;
};

// The loop panel below the player pane.
struct LoopPanel {
  bool tempo_on = false;         // the tempo analysis switch: the panel shows and the grid exists
  int bars_per_loop = kDefaultBarsPerLoop;
  bool to_input = false;         // "TO INPUT": kept and shown only
  bool block_repeat = false;     // repeat is on for the current block (through LOOP)
  bool following = false;        // the engine's region is a block of the grid
  float scroll_px = 0.0f;        // the strip scrolled sideways
  int pressed = -1;              // the block pressed, -1 none
  float press_x = 0, press_y = 0;
  bool dragging = false;         // moved past 6 pixels: released, it is not a click
  bool has_grid = false;
  BarGrid grid{};
  std::string grid_path;         // the file the grid is for
  char message[kFilesMessageBytes] = {};
  uint32_t message_until_ms = 0;
};

struct FilesTab {
  FilesTab() = default;
  FilesTab(const FilesTab&) = delete;
  FilesTab& operator=(const FilesTab&) = delete;
  ~FilesTab();  // releases the preview scan, stops a folder scan and a download

  bool open = false;
  SharedStore store;
  FileMarks marks;
  FilesList list;
  FilesTree tree;
  LoopPanel loop;
  FilesPreview preview;
  std::unordered_map<std::string, PreviewKept> previews;  // finished previews by path
  FolderScan scan;
  std::vector<std::string> scan_queue;  // dropped folders waiting for the worker
  CloudFetch fetch;

  bool show_favourites = true;   // B
  bool filter_editing = false;
  std::string armed;             // the item a first Delete armed
  float list_scroll_px = 0.0f;
  int list_view_px = 0;          // height of the list area, from the frame
  std::string dwell_path;        // a tree file the selection rests on
  uint32_t dwell_since_ms = 0;
  uint32_t seen_regions = 0;     // the player's region serial last synced to marks.ini
  uint32_t seen_cloud = 0;       // the cloud list serial last copied
  char loops_folder[kPathCap] = {};       // empty: <music>/Lumaro/Loops
  char ondel_folder[kPathCap] = {};       // where ondel is looked for; empty: beside the program
};

// What the shell tells the update each frame.
struct FilesFrame {
  uint32_t now_ms;   // tick_ms
  bool active;       // the drawer is open on this tab
  int list_px;       // height of the item list's area (0 keeps the last)
};

// ---- Life ----

// Loads the shared store (store_folder null: $XDG_CONFIG_HOME/Lumaro), marks.ini and bars.ini
// (marks_path null: beside them), gives every mark to the player as its file's region, restores
// the folder view from settings->files_state and hands the player's information results to the
// list. Safe to call once; the tab is usable afterwards.
void files_open(FilesTab* t, const FilesHost& h, const char* store_folder, const char* marks_path);
// Lets the preview scan go, stops a folder scan and takes the information sink back.
void files_close(FilesTab* t, const FilesHost& h);

// ---- Each frame ----

// Polls the shared files, keeps marks.ini in step with regions set while the tab is active, builds
// the bar grid and follows the playhead with it, runs the preview, plays a tree file the selection
// rests on, asks the loader for the rows in view, copies a new cloud list and expires messages.
void files_update(FilesTab* t, const FilesHost& h, const FilesFrame& f);

// ---- Keys and text ----

FilesAction files_key(FilesTab* t, const FilesHost& h, int key, int mods, uint32_t now_ms);
// Typed text while the filter is being edited (printable characters only, up to 30).
bool files_text(FilesTab* t, const char* utf8);
// Ctrl+V: into the filter while editing; on the cloud source while signed out and idle, the API token
// (a refused one is replaced).
bool files_paste(FilesTab* t, const FilesHost& h, const char* text);

// ---- Pointer ----

void files_click_source(FilesTab* t, int source);
void files_click_filter(FilesTab* t);             // starts editing the filter
void files_select_row(FilesTab* t, int row);      // a click on an item row
void files_list_wheel(FilesTab* t, float notches); // up is positive
// Drops: audio files are listed at once (their count is returned); a folder's audio files (those
// directly inside it) are read on a worker and join the list in a later files_update.
int files_add_paths(FilesTab* t, const FilesHost& h, const char* const* paths, int count);

// Folder view: a click on a tree row selects it (a second click on a folder opens or closes it);
// activating plays an audio file, opens any other, and opens or closes a folder.
void files_tree_click(FilesTab* t, int row, uint32_t now_ms);
FilesAction files_tree_activate(FilesTab* t, const FilesHost& h, int row);
void files_favourite_click(FilesTab* t, const FilesHost& h, int index);  // makes it the root
void files_menu_favourite(FilesTab* t, int index, FilesMenu* out);
void files_menu_tree(FilesTab* t, int row, FilesMenu* out);   // row -1: the root (empty space)
FilesAction files_menu_choose(FilesTab* t, const FilesHost& h, const FilesMenu& menu, int id);

// ---- Loop panel ----

void files_loop_button(FilesTab* t, const FilesHost& h);          // "LOOP"
void files_loop_bars(FilesTab* t, int bars);                      // "BARS" 1, 2, 4, 8
void files_loop_shift(FilesTab* t, const FilesHost& h, int beats); // one beat earlier (-1) or later (+1)
void files_loop_tempo(FilesTab* t, bool on);                      // the tempo analysis switch
void files_loop_to_input(FilesTab* t);                            // "TO INPUT"
void files_loop_wheel(FilesTab* t, float notches, float block_px); // scrolls the strip sideways
void files_loop_press(FilesTab* t, int block, float x, float y);
// The pointer moved while a block is pressed. When it has travelled more than 6 pixels and is
// outside the window the block is saved and the shell is asked to drag the file (kFilesDragOut);
// a failed save is said in the panel.
FilesAction files_loop_move(FilesTab* t, const FilesHost& h, float x, float y, bool outside_window, uint32_t now_ms);
// Released without a drag: the block plays from its start (its region when repeating blocks).
void files_loop_release(FilesTab* t, const FilesHost& h);
// How the shell's drag ended: 1 dropped, 0 nothing taken or cancelled, -1 it could not start,
// 2 no drag here and the file's address went to the clipboard instead.
void files_drag_finished(FilesTab* t, int result, uint32_t now_ms);
// Saves block k of the player's file as a loop (the same as a drag does). kLoopSaved and the path,
// or kLoopNoFolder / kLoopCantWrite.
int files_save_block(FilesTab* t, const FilesHost& h, int k, char* path, size_t cap);

// ---- What the views show ----

// "%s %d": the source's label and its item count.
void files_source_text(const FilesTab* t, int source, char* out, size_t cap);
// An item row: its texts, tag and whether a delete is armed on it.
struct FilesRow {
  const FilesItem* item;
  char size[24];
  char length[16];   // "%d:%02d", empty until the loader answered
  char age[16];
  int tag;           // 0..9
  bool armed;        // shows "DELETE..."
  bool fetching;     // a cloud item being downloaded
  bool selected;
  bool playing;
};
bool files_row(const FilesTab* t, const FilesHost& h, int row, int64_t now_s, FilesRow* out);
// The bar grid while there is one, else null.
const BarGrid* files_grid(const FilesTab* t);
// The loop panel's tempo line ("%.1f BPM  %s", "FINDING TEMPO...", "TOO SHORT", ...).
void files_loop_text(const FilesTab* t, const FilesHost& h, char* out, size_t cap);
// The panel's message while it shows (3 s), else null.
const char* files_loop_message(const FilesTab* t, uint32_t now_ms);
// The block the playhead is in, -1 without a grid.
int files_current_block(const FilesTab* t, const FilesHost& h);
// The tree preview: null when none; alpha is the fade-in 0..1.
const FilesPreview* files_preview(const FilesTab* t, uint32_t now_ms, float* alpha);
// The empty list's title and line; false when the list is not empty.
bool files_empty(const FilesTab* t, const FilesHost& h, const char** title, const char** line);
// The cloud's status and progress line for the CLOUD source; false without a cloud client.
bool files_cloud_status(const FilesTab* t, const FilesHost& h, char* status, size_t status_cap, char* progress,
                        size_t progress_cap, float* fraction);
// The cloud's button: "SIGN IN", "SIGN OUT" when signed in, "CANCEL" while a sign-in waits; null
// without an API token (the list says to paste one) or a cloud client.
const char* files_cloud_button_label(const FilesHost& h);
// Its press: signs in, out when signed in, or stops a sign-in that waits.
void files_cloud_button(FilesTab* t, const FilesHost& h);
// The CLOUD source chosen while signed in and idle: the list is read again.
void files_cloud_chosen(FilesTab* t, const FilesHost& h);
// ondel beside the program (or in ondel_folder), when it stands there and can be run.
bool files_ondel_path(const FilesTab* t, char* out, size_t cap);
