// The kit's shared preferences file zephakit.ini: key=value lines under $XDG_CONFIG_HOME/Lumaro,
// read and written by every application of the kit. A write holds the named lock
// "Lumaro.ZephaKit.Preferences", re-reads the file, changes its one line, writes the whole text to
// zephakit.ini.tmp and moves it over the file; every other line (a sibling's entries, however many
// or long) goes back byte for byte. The lock is only ever tried, never waited on: a write that
// finds it taken stays pending and is tried again on the next pump, and fails once it has waited
// 2 seconds, so a sibling that holds the lock never stalls the frame.
// Main thread only (a PrefsQueue belongs to one thread); reading is safe from any thread.
#pragma once
#include <cstddef>
#include <cstdint>

#include "platform/paths.h"

constexpr const char* kPrefsLockName = "Lumaro.ZephaKit.Preferences";
constexpr int kPrefsKeyMax = 95;              // characters
constexpr int kPrefsValueMax = 4095;
constexpr int kPrefsLockWaitMs = 2000;
constexpr size_t kPrefsFileMaxBytes = 4u << 20;  // a larger file is not rewritten
constexpr int kPrefsIdMax = 31;               // characters of a training id
constexpr int kPrefsIdCount = 96;
constexpr int kPrefsPending = 8;              // writes waiting for the lock

constexpr int kPrefsOk = 0;
constexpr int kPrefsBusy = 1;                 // another process holds the lock; try again
constexpr int kPrefsFailed = -1;              // the file could not be read or written
constexpr int kPrefsBadEntry = -2;            // a key or value the format cannot hold
constexpr int kPrefsTimedOut = -3;            // the lock stayed taken for 2 seconds
constexpr int kPrefsFull = -4;                // too many writes pending

enum PrefsMode : int {
  kPrefsSet = 0,        // replace the value
  kPrefsSetIfNewer = 1, // leave a value that is at or above the new one (version comparison)
};

// "$XDG_CONFIG_HOME/Lumaro/zephakit.ini" (~/.config when unset). False when it does not fit.
bool prefs_path(char* out, size_t cap);

// The value of key (the first line that holds it) into out. 1 found, 0 not there (or no file),
// -1 when the file cannot be read.
int prefs_read(const char* path, const char* key, char* out, size_t cap);

// One attempt at a write: takes the lock without waiting (kPrefsBusy when it is held), then
// re-reads, changes and replaces the file. kPrefsOk also when nothing needed writing.
int prefs_write_once(const char* path, const char* key, const char* value, int mode);

// Writes waiting for the lock, tried in order at every pump.
struct PrefsWrite {
  int32_t id;                       // given back with the result; 0 = free slot
  int mode;
  double started_s;
  char key[kPrefsKeyMax + 1];
  char value[kPrefsValueMax + 1];
};
struct PrefsResult {
  int32_t id;
  int rc;                           // kPrefsOk or a failure code
};
struct PrefsQueue {
  char path[kPathCap];
  PrefsWrite pending[kPrefsPending];
  int32_t next_id;
};

// path: the file (prefs_path's for the real one).
void prefs_queue_init(PrefsQueue* q, const char* path);
// Queues a write and tries it at once. Returns its id (> 0), or kPrefsFull / kPrefsBadEntry.
// *first gets the first try's outcome: {id, kPrefsBusy} while it waits, else its result.
int32_t prefs_queue_write(PrefsQueue* q, const char* key, const char* value, int mode, double now_s,
                          PrefsResult* first);
// Tries every waiting write once, oldest first; a write waiting for 2 seconds fails with
// kPrefsTimedOut. Settled writes go into out (at most cap); returns how many.
int prefs_queue_pump(PrefsQueue* q, double now_s, PrefsResult* out, int cap);
bool prefs_queue_waiting(const PrefsQueue* q, int32_t id);
int prefs_queue_count(const PrefsQueue* q);

// Training id lists: "a,b,c".
struct PrefsIds {
  char id[kPrefsIdCount][kPrefsIdMax + 1];
  int count;
};
// Skips blanks and commas, trims trailing blanks, ignores ids over 31 characters and repeats, and
// stops after 96 ids.
void prefs_ids_parse(const char* text, PrefsIds* out);
// Comma-separated; returns the length (the text is cut only when cap is too small).
size_t prefs_ids_format(const PrefsIds& ids, char* out, size_t cap);
bool prefs_ids_contains(const PrefsIds& ids, const char* id);
// False when it was already there, is not a valid id, or the list is full.
bool prefs_ids_add(PrefsIds* ids, const char* id);
bool prefs_ids_remove(PrefsIds* ids, const char* id);
