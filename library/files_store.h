// The files tab's small text files: favourites and tags shared with the sibling applications
// (favs.ini, tags.ini in $XDG_CONFIG_HOME/Lumaro, polled for changes made by them), and the tab's
// own loop regions and bar shifts per file (marks.ini, bars.ini beside them). Every file is
// replaced whole through a temporary file; lines a sibling wrote that this program does not take
// (favourites past the 64th, tags past the 2048th, lines it cannot read) are written back as they
// were. A path that would break a line (a control character, "|", trailing blanks) is refused.
// Main thread only; other programs meet these files only through the disk.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/file.h"
#include "platform/paths.h"

constexpr int kMaxFavourites = 64;
constexpr int kMaxTags = 2048;
constexpr size_t kSharedPathBytes = 520;         // a favourite or tagged path: at most 519 bytes
constexpr size_t kMarkPathBytes = 600;           // a marked path: at most 599 bytes
constexpr size_t kSharedFileMaxBytes = 4u << 20; // a larger favs.ini or tags.ini is not read
constexpr size_t kMarksFileMaxBytes = 64u << 20;
constexpr uint32_t kSharedPollMs = 500;          // shared_store_poll looks at most this often
constexpr int kMarksStart = 64;                  // marks and bar shifts, doubling from here
constexpr double kMarkMinWidth = 0.002;          // fraction of the file
constexpr const char* kStoreFolderName = "Lumaro";
constexpr const char* kFavsFile = "favs.ini";
constexpr const char* kTagsFile = "tags.ini";
constexpr const char* kMarksFile = "marks.ini";
constexpr const char* kBarsFile = "bars.ini";

// What a file looked like when last read or written: a replaced file (a new inode), a rewritten
// one (size, time) and a removed one all differ.
struct FileStamp {
  bool exists;
  FileIdentity id;
};

struct TagEntry {
  char path[kSharedPathBytes];
  int tag;  // 1..9
};

struct SharedStore {
  char folder[kPathCap] = {};          // the Lumaro folder, or "." without one
  char favs_path[kPathCap] = {};
  char tags_path[kPathCap] = {};
  bool loaded = false;

  char favourites[kMaxFavourites][kSharedPathBytes] = {};
  int favourite_count = 0;
  std::vector<TagEntry> tags;          // at most kMaxTags
  std::vector<std::string> favs_kept;  // lines of favs.ini not taken, written back after ours
  std::vector<std::string> tags_kept;

  uint32_t shared_change_count = 0;    // +1 whenever favourites or tags change, here or on disk
  FileStamp favs_stamp{}, tags_stamp{};
  uint32_t last_poll_ms = 0;
  bool polled = false;
  int write_failures = 0;              // writes that kept the old file (the change stays in memory)
};

// ---- Where the files live ----

// $XDG_CONFIG_HOME/Lumaro (~/.config/Lumaro), created when missing; "." when there is none.
void shared_store_folder(char* out, size_t cap);
// The file of that name in the Lumaro folder (the folder made first); the bare name without one.
void shared_store_file_path(const char* name, char* out, size_t cap);

// ---- The shared store ----

// Loads favs.ini and tags.ini from folder (null or empty: shared_store_folder). A missing or
// unreadable favs.ini gives the default favourites: home, its desktop, documents, downloads and
// music folders that exist, then "/" unless home is "/".
void shared_store_open(SharedStore* s, const char* folder);

int favourites_count(const SharedStore* s);
const char* favourite_at(const SharedStore* s, int index);  // null when out of range
int favourite_index(const SharedStore* s, const char* path); // -1 when not a favourite
// Removes a favourite (false) or appends one while fewer than 64 are held (true); false also for
// a full list or a refused path. favs.ini is rewritten on a change.
bool favourite_toggle(SharedStore* s, const char* path);
// Moves one entry from one place to another, shifting those between. false when out of range.
bool favourite_move(SharedStore* s, int from, int to);
int tag_of(const SharedStore* s, const char* path);  // 0 when untagged
// Tag 0 removes the entry (the last takes its place), 1..9 adds or changes it, anything else is
// ignored. tags.ini is rewritten on a change. false when nothing changed.
bool tag_set(SharedStore* s, const char* path, int tag);
// At most every 500 ms (now_ms is tick_ms): true when favs.ini or tags.ini is not the file last
// read or written here, after reloading it and counting the change.
bool shared_store_poll(SharedStore* s, uint32_t now_ms);

// ---- Marks and bar shifts ----

struct Mark {
  std::string path;
  double start, end;  // fractions of the file
};
struct BarShift {
  std::string path;
  int beats;  // never 0 in the list
};

struct FileMarks {
  char marks_path[kPathCap] = {};
  char bars_path[kPathCap] = {};   // empty: bar shifts are not kept
  std::vector<Mark> marks;
  std::vector<BarShift> shifts;
  int write_failures = 0;          // rewrites that failed (the change stays in memory)
};

// Loads marks.ini at marks_path (null: shared_store_file_path) and bars.ini beside it (only when
// the name ends in "marks.ini"). An unreadable file gives an empty list.
void marks_open(FileMarks* m, const char* marks_path);
// The region remembered for path, false when none.
bool mark_of(const FileMarks* m, const char* path, double* start, double* end);
// Sets (or, for the whole file, removes) the region of path with the width rules, rewriting
// marks.ini when it changed. true when it changed; false also for a refused path.
bool mark_set(FileMarks* m, const char* path, double start, double end);
bool mark_clear(FileMarks* m, const char* path);
int bar_shift_of(const FileMarks* m, const char* path);
// Sets the shift (0 removes it), rewriting bars.ini when it changed. true when it changed.
bool bar_shift_set(FileMarks* m, const char* path, int beats);

// True for a path these files can hold: not empty, shorter than cap, no control character, no
// "|" and no trailing blank (those would not read back as the same path).
bool storable_path(const char* path, size_t cap);
