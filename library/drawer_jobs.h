// The library drawer's background work: session cards ("tolm-scard"), take thumbnails
// ("tolm-thumb"), the session map with its spectrogram ("tolm-map") and the join of a session's
// takes into one playable file ("tolm-join"), plus the private folder the joined files live in.
// Take files are streamed a run at a time, never held whole. Each job owns a copy of what it
// needs and writes only its own record (the map: the shared map under its mutex; a card: its
// slot, values before state); the main thread starts, polls and joins them.
// Threads: the main thread, and one thread per running job.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/paths.h"
#include "sessions/recorder.h"
#include "sessions/take_writer.h"

constexpr int kCardSlots = 128;
constexpr int kCardValues = 80;
constexpr int kCardKeyBytes = 120;             // "%s|%d|%llu", 119 characters
constexpr int kThumbValues = 80;
constexpr int kDrawerMaxTakes = 512;
constexpr int kMapPeaks = 1024;
constexpr int kMapColumns = 768;
constexpr int kMapBands = 56;
constexpr int kSpectrogramWindow = 1024;       // frames per spectrogram column
constexpr double kOverviewFloor = 0.0001;      // below this a picture is not normalised
constexpr int64_t kJoinedKeepBytes = int64_t(2) << 30;  // joined files kept in the temporary folder
                                                        // (an hour of audio joins to about 1.4 GB)
constexpr int kJoinedKeepFiles = 4;
constexpr int64_t kJoinedPartAgeNs = int64_t(3600) * 1000000000;  // a ".part" this old was left by a crash
constexpr const char* kCardThreadName = "tolm-scard";
constexpr const char* kThumbThreadName = "tolm-thumb";
constexpr const char* kMapThreadName = "tolm-map";
constexpr const char* kJoinThreadName = "tolm-join";

enum CardState { kCardWorking = 0, kCardReady = 1, kCardFailed = 2 };

// One job's thread. A job starts only when the previous one has ended and been joined.
struct JobThread {
  std::thread thread;
  std::atomic<int> running{0};  // the job sets it to 0 as its last act
};
// Joins a job that has ended; true when none runs.
bool job_idle(JobThread* t);
// Waits for the job to end (quit, and cancelling a join).
void job_wait(JobThread* t);

// ---- Session cards ----

struct CardSlot {
  char key[kCardKeyBytes];   // main thread, written when the job starts
  std::atomic<int> state{0}; // CardState; the job stores it after the values (release)
  float values[kCardValues]; // √ of the overview, 0..1
};

struct SessionCardCache {
  CardSlot slots[kCardSlots];
  int next = 0;              // round robin
};

// "relative|take count|folder time".
void card_key(const LibraryRow& row, char* out, size_t cap);
// The slot holding key, or -1.
int find_card(const SessionCardCache& cache, const char* key);

struct CardJob {
  CardSlot* slot;
  char folder[kPathCap];     // the session folder, or the source file of a reference session
  bool reference;
  const std::atomic<int32_t>* stop;
};
void run_card_job(CardJob* job);

// ---- Take thumbnails ----

struct ThumbJob {
  uint32_t generation;             // thumbs_generation it was made for
  const std::atomic<uint32_t>* current_generation;
  const std::atomic<int32_t>* stop;
  char folder[kPathCap];           // session folder, or the reference session's source file
  bool reference;
  int count;
  char names[kDrawerMaxTakes][kTakeFileNameBytes];
  int64_t starts[kDrawerMaxTakes], ends[kDrawerMaxTakes];  // reference takes: source frames
  uint8_t wanted[kDrawerMaxTakes];  // takes without a thumbnail
  int to_read;
  // Written by the job: values first, then done[i] (release), then read.
  float values[kDrawerMaxTakes][kThumbValues];
  std::atomic<uint8_t> done[kDrawerMaxTakes];
  std::atomic<int> read{0};
};
void run_thumb_job(ThumbJob* job);

// ---- Session map ----

// Where take i lies on the map: peak columns [peak_first, peak_end), image columns
// [image_first, image_end) (empty when its columns are used up) and its start fraction.
struct MapSpan {
  int peak_first, peak_end;
  int image_first, image_end;
  float start;
};
// Lays count takes of the given lengths end to end over the peak and image columns.
void map_layout(const double* seconds, int count, MapSpan* spans);

struct SessionMap {
  std::mutex mutex;                            // guards everything below but the generation
  std::atomic<uint32_t> map_generation{0};     // bumped by the main thread; jobs compare
  float map_peaks[kMapPeaks] = {};
  float map_image[kMapColumns * kMapBands] = {};  // column-major: column c's bands at c × 56
  float starts[kDrawerMaxTakes] = {};
  int take_count = 0;
  char session[kRelativeNameBytes] = {};       // relative path it was made for
  int take = -1;                               // the one take it shows, -1 the whole session
  bool ready = false;
  uint32_t published = 0;                      // bumped with every copy-out
};

struct MapJob {
  uint32_t generation;
  SessionMap* map;
  const std::atomic<int32_t>* stop;
  char folder[kPathCap];
  char session[kRelativeNameBytes];
  int take;                                    // -1 = all
  int count;
  char names[kDrawerMaxTakes][kTakeFileNameBytes];
  double seconds[kDrawerMaxTakes];
  int read_failures = 0;                       // takes that did not read (their columns stay 0)
  // The job's own picture, copied out at the end.
  float peaks[kMapPeaks];
  float image[kMapColumns * kMapBands];
  float starts[kDrawerMaxTakes];
};
void run_map_job(MapJob* job);

// ---- Joining a session ----

struct JoinJob {
  char folder[kPathCap];
  char dest[kPathCap];
  std::atomic<int> cancel{0};
  std::atomic<int> progress{0};  // takes handled
  int take_count = 0;            // for the header
  std::atomic<int> result{-1};   // join_session's result, once running is 0
};
void run_join_job(JoinJob* job);

// The private folder for joined files: "<temp>/tolm-zepha", or "<temp>/tolm-zepha-<uid>" when
// that name is someone else's. false (out empty) when neither can be made safely.
bool joined_root(char* out, size_t cap);
// The 32-bit key of a session's joined file: FNV-1a of the relative path, then the take count,
// the total milliseconds and the folder time folded in.
uint32_t joined_file_key(const LibraryRow& row);
// "<root>/%08x/<relative path with '/' as blanks>.wav". false when it does not fit or the row has
// no takes.
bool joined_file_path(const char* root, const LibraryRow& row, char* out, size_t cap);
// Removes joined files beyond the newest kJoinedKeepFiles or kJoinedKeepBytes (never `keep`),
// ".part" files left by a crash, and key folders left empty. Only while no join runs.
void prune_joined_files(const char* root, const char* keep);
