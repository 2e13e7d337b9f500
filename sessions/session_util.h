// Helpers shared by the session files: paths that refuse to be cut, WAV name matching, the
// FILETIME-style folder times the library sorts by, and fresh dated session folders.
// Thread-safe: yes (no state).
#pragma once
#include <cstddef>
#include <cstdint>

// "a/b" into out; false (out empty) when it does not fit, so a cut path is never used.
bool path_join(char* out, size_t cap, const char* a, const char* b);
template <size_t N>
bool path_join(char (&out)[N], const char* a, const char* b) { return path_join(out, N, a, b); }

// The name ends in ".wav" (any case), as a "*.wav" listing matches it.
bool is_wav_name(const char* name);

// Folder and file times: nanoseconds since 1970 to 100 ns units since 1601 and back to seconds.
constexpr int64_t kFiletimeEpoch1970 = 116444736000000000ll;
int64_t filetime_from_ns(int64_t ns);
int64_t path_filetime(const char* path);  // 0 when the path cannot be examined

// Number of "*.wav" files (not folders) in a folder; -1 when it cannot be read.
int count_wav_files(const char* folder);

// Removes the folder holding path's last component when it has become empty.
void remove_parent_if_empty(const char* path);

// Creates write_folder, its "%Y-%m-%d" date folder for the local time of `seconds` and a fresh
// "%H%M%S" (or "%H%M%S-2", "-3", ...) session folder inside it. 0 with the folder's path in
// folder (capacity cap), or -1 with the path that failed in folder.
int make_session_folder(const char* write_folder, int64_t seconds, char* folder, size_t cap);

// The part of folder below write_folder ("date/time"), when folder begins with write_folder and
// a '/' (letters compared without case); else empty.
void relative_session_name(const char* write_folder, const char* folder, char* out, size_t cap);
