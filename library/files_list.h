// The files tab's item list: local files (dropped files, or the audio files of a dropped folder)
// and cloud entries, kept newest first, and the visible list rebuilt from them by source and
// filter. The row texts (size, length, age) and the empty-list texts. Plain data and free
// functions; main thread only.
#pragma once
#include <cstddef>
#include <cstdint>
#include <atomic>
#include <string>
#include <unordered_map>
#include <vector>

constexpr int kFilesItemPeaks = 80;
constexpr int kFilterChars = 30;
constexpr int kFilesMaxItems = 65536;   // local and cloud items together

enum FilesSource { kSourceAll = 0, kSourceCloud = 1, kSourceLocal = 2, kSourceBrowse = 3 };
constexpr int kFilesSources = 4;

enum FilesInfo { kInfoNone = 0, kInfoAsked = 1, kInfoReady = 2, kInfoFailed = 3 };

struct FilesItem {
  std::string path;          // local: the file; cloud: "cloud:<zone>/<record name>"
  std::string name;          // display name (a local file's name)
  std::string match_name;    // lower-case name without its extension, folder name and extension,
  std::string match_folder;  // for the filter
  std::string match_ext;
  std::string sort_name;     // the whole name in lower case: ties of time sort by it
  int64_t size_bytes;
  int64_t mtime_s;           // seconds since 1970 (newest first)
  bool cloud;
  int cloud_index;           // the entry in the cloud client's list, -1 for a local file
  std::string url;           // a cloud item's download address
  int info;                  // FilesInfo: the loader's duration and peaks
  double seconds;
  std::vector<float> peaks;  // kFilesItemPeaks once the loader answered, else empty
};

struct FilesList {
  std::vector<FilesItem> items;                 // in the order they came
  std::vector<int> order;                       // indices into items, newest first (ties by name, case-insensitive)
  std::unordered_map<std::string, int> by_path; // path -> index in items
  std::vector<int> visible;                     // indices into items, in order
  int source = kSourceAll;
  char filter[kFilterChars + 1] = {};
  std::string selected;                         // path of the selected item; empty = none
  uint32_t serial = 0;                          // +1 on every change of items or visible
};

// Adds a local file (its size and time read from the disk) unless listed or not audio. true when
// added. The visible list is not rebuilt: call files_list_rebuild after a batch.
bool files_list_add_file(FilesList* l, const char* path);
// Adds the audio files directly inside a folder; returns how many were added, -1 when the folder
// cannot be read. The same as files_list_read_folder and files_list_merge in one.
int files_list_add_folder(FilesList* l, const char* folder);
// Reads the audio files directly inside a folder (hidden ones left out) into items with their
// size, time and filter fields, without a list: the slow part of a dropped folder, for a worker
// thread. At most max; cancel (may be null) stops it. false when the folder cannot be read.
bool files_list_read_folder(const char* folder, int max, const std::atomic<int32_t>* cancel,
                            std::vector<FilesItem>* out);
// Adds items read elsewhere that are not listed yet (moving them out of *items), sorts and
// rebuilds. Returns how many were added. Main thread.
int files_list_merge(FilesList* l, std::vector<FilesItem>* items);
// Takes an item out (a deleted file); true when it was listed.
bool files_list_remove(FilesList* l, const char* path);
// Replaces the cloud items by these (display name, size, time, index in the client's list).
struct CloudItem {
  std::string key;       // "cloud:<zone>/<record name>"
  std::string url;       // download address
  std::string name;
  int64_t size_bytes;
  int64_t mtime_s;
};
void files_list_set_cloud(FilesList* l, const std::vector<CloudItem>& cloud);

// Sorts the order (newest first) and rebuilds the visible list for the source and the filter; the
// selection stays on its path when still visible, else it is cleared.
void files_list_sort(FilesList* l);
void files_list_rebuild(FilesList* l);
// The filter and source setters rebuild; true when they changed something.
bool files_list_set_filter(FilesList* l, const char* filter);
bool files_list_set_source(FilesList* l, int source);

int files_list_count(const FilesList* l, int source);  // items of a source ("%s %d")
const FilesItem* files_list_item(const FilesList* l, const char* path);
FilesItem* files_list_item(FilesList* l, const char* path);
int files_list_selected_row(const FilesList* l);       // row in visible, -1 when none

// Whether the item passes the filter (empty = every item): the lower-cased filter found in the
// name without extension, in the parent folder's name or in the upper-case extension.
bool files_item_matches(const FilesItem& item, const char* filter_lower);

// Row texts.
void format_size(int64_t bytes, char* out, size_t cap);        // "%lld B", "%lld KB", "%.1f MB", "%.2f GB"
void format_duration(double seconds, char* out, size_t cap);   // "%d:%02d"
void format_age(int64_t age_s, char* out, size_t cap);         // "%d M", "%d H", "%d D"
const char* source_label(int source);                          // "ALL", "CLOUD", "LOCAL", "BROWSE"

// The list's empty texts: title and line, or false when the list is not empty. cloud_state: 0
// no API token, 1 signed out, 2 signed in (or no cloud at all: -1).
bool files_empty_text(const FilesList* l, int cloud_state, const char** title, const char** line);
