// Where things live: the program's own folder, the user's folders (XDG), and simple folder
// operations. Paths are UTF-8 in fixed buffers (kPathCap bytes), '/' separated.
// Thread-safe: yes.
#pragma once
#include <cstddef>
#include <cstdint>

constexpr size_t kPathCap = 260;

// Each fills out (capacity cap) and returns true, or returns false and leaves out empty.
bool program_path(char* out, size_t cap);   // the executable (/proc/self/exe)
bool program_dir(char* out, size_t cap);    // its folder
// The installed data folder: <prefix>/share/tolm-zepha for a program in <prefix>/bin (the relative
// step comes from the build's install layout). Whether it exists is the caller's question.
bool program_data_dir(char* out, size_t cap);
// A path as given on the command line, made absolute against the working folder ('/' paths as
// they are), so that it still names the same file once stored.
bool absolute_path(const char* path, char* out, size_t cap);
bool home_dir(char* out, size_t cap);       // $HOME, else the password database
bool home_from_environment(char* out, size_t cap);  // $HOME only: false when unset or empty
bool config_dir(char* out, size_t cap);     // $XDG_CONFIG_HOME, else ~/.config
bool music_dir(char* out, size_t cap);      // XDG_MUSIC_DIR of user-dirs.dirs, else ~/Music
// One of the user's folders by its user-dirs.dirs key ("XDG_DESKTOP_DIR", …), else ~/fallback.
bool user_dir(const char* key, const char* fallback, char* out, size_t cap);
bool data_dir(char* out, size_t cap);       // $XDG_DATA_HOME when absolute, else ~/.local/share
bool cache_dir(char* out, size_t cap);      // $XDG_CACHE_HOME when absolute, else ~/.cache
bool runtime_dir(char* out, size_t cap);    // $XDG_RUNTIME_DIR, else the temp folder
bool temp_dir(char* out, size_t cap);       // $TMPDIR, else /tmp

bool path_exists(const char* path);
bool is_dir(const char* path);
bool is_file(const char* path);
// Creates one folder; an existing folder is fine. 0 or -1.
int make_dir(const char* path);
// Creates a folder and any missing parents. 0 or -1.
int make_dirs(const char* path);
// A folder only this user can enter, for files in a shared place such as the temporary folder:
// creates it with mode 0700, or accepts an existing one only when it is a real folder (not a
// symbolic link) owned by this user, closing its mode to 0700. 0, or -1 when the name is taken by
// anything else or the folder cannot be made.
int make_private_dir(const char* path);
// Removes an empty folder. 0 or -1.
int remove_dir(const char* path);
int remove_file(const char* path);
int rename_path(const char* from, const char* to);  // replaces an existing file at `to`

// The part after the last '/', or the whole string.
const char* path_name(const char* path);

// Walks a folder's entries ("." and ".." left out). The callback returns false to stop.
// Returns the number of entries visited, or -1 when the folder cannot be read.
struct DirEntry {
  const char* name;
  bool is_dir;
  bool is_file;
  int dir_fd;  // the folder being walked, for dir_entry_stat; valid during the visit only
};
int list_dir(const char* path, bool (*visit)(const DirEntry& entry, void* ctx), void* ctx);
// Size and modification time (seconds since 1970) of an entry during its visit, following a
// link, without looking the folder up again. false when it cannot be examined.
bool dir_entry_stat(const DirEntry& entry, int64_t* size_bytes, int64_t* mtime_s, bool* is_file);
