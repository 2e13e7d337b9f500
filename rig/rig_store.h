// The rig store: rig documents in files shared with the maker's other applications. All file work
// runs on the store's own worker thread, so the application queues loads and saves and collects
// their results later; the worker also watches the folder and reports when another application
// changed the rig in use. Each rig file is touched under a per-rig lock between processes, written
// whole to a temporary file that then replaces it, set aside under a dated name when it cannot be
// read, and a save merges our changes onto whatever is on disk at that moment, field by field.
// Thread-safe: every rig_store_* call belongs to one application thread; the worker is internal.
#pragma once
#include <cstddef>
#include <cstdint>

#include "rig/rig_doc.h"

constexpr int kRigStoreMaxJobIds = 32;       // ids one coalesced save carries
constexpr int kRigStoreReadOnlyKeys = 8;
constexpr int kRigStoreTracked = 8;
constexpr size_t kRigResultMessageBytes = 160;

struct RigStoreOptions {
  const char* folder = nullptr;       // null or empty: rig_store_default_folder
  const char* app_name = nullptr;     // at most 47 bytes; null or empty: "app"
  const char* app_version = nullptr;  // at most 23 bytes
  void (*log)(void* user, const char* line) = nullptr;  // each log line of the store; never called after close
  void* log_user = nullptr;
  double (*clock)(void* user) = nullptr;  // seconds for job timing; null: the monotonic clock
  void* clock_user = nullptr;
  int poll_ms = 0;        // watched-rig poll period; <= 0: 1000
  bool no_watch = false;  // no folder change notification (polling only)
};

// Result types.
constexpr int kRigResultLoaded = 1;
constexpr int kRigResultLoadFailed = 2;
constexpr int kRigResultLoadedFresh = 3;  // a damaged file was set aside and a fresh rig written
constexpr int kRigResultSaved = 4;
constexpr int kRigResultSaveFailed = 5;
constexpr int kRigResultChanged = 6;      // another program changed the watched rig

struct RigResult {
  int type;
  uint32_t job_id;  // 0 for kRigResultChanged
  char key[kRigKeyBytes];
  int decode_code;  // kRigDecode* of the file read
  int64_t rev;
  char writer_app[kRigAppBytes];  // kRigResultChanged: who wrote it
  char message[kRigResultMessageBytes];
  RigDoc* doc;       // owned (loaded, loaded fresh, saved, changed); free with rig_result_free
  bool created;      // the file was created by this job
  double elapsed_ms;
};
void rig_result_free(RigResult* r);

struct RigStore;

// Makes the folder path, seeds the UUID source from the system once per process, makes this
// store's instance id and starts the worker. Null when the worker cannot be started.
RigStore* rig_store_open(const RigStoreOptions& options);
// Queues a load of key; doc (may be null) is the rig to create when no file exists. Job id, or 0.
uint32_t rig_store_load(RigStore* store, const char* key, const RigDoc* doc);
// Queues a save of doc with what changed in it. 0 for a doc without key, a read-only doc or a key
// known to be in a newer format. Joins a save of the same key that has not started yet.
uint32_t rig_store_save(RigStore* store, const RigDoc* doc, const RigChanges& masks);
// Sets the rig whose file the worker watches (empty or null: none).
void rig_store_watch(RigStore* store, const char* key);
// Takes the oldest result; false when there is none.
bool rig_store_next_result(RigStore* store, RigResult* out);
// Waits up to ms for the store to have nothing starting, queued or running; true when idle.
bool rig_store_wait_idle(RigStore* store, int ms);
// Whether anything is starting, running or queued, and the age of the oldest in seconds.
bool rig_store_busy(RigStore* store, double* age_s);
// True when key's file was found to be in a newer format.
bool rig_store_read_only(RigStore* store, const char* key);
// Stops the worker after the jobs already queued and waits up to ms for it. A worker still busy
// then finishes in the background and frees the store itself. The store must not be used again.
void rig_store_close(RigStore* store, int ms);

// The rigs folder: "rigs" beside the program in portable mode (tolm.ini there), else
// $XDG_CONFIG_HOME/Lumaro/rigs (~/.config when unset), else the relative "rigs".
void rig_store_default_folder(char* out, size_t cap);
// The file name every application derives from a key: a slug of at most 40 characters, "-",
// the key's FNV-1a hash in 8 hex digits, ".json".
void rig_file_name(const char* key, char* out, size_t cap);
