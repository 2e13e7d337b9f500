// The player both drawer tabs share: the playback engine, the loader thread that decodes files on
// request (a buffer to play, or only a thumbnail and a duration), the pane's state (current file,
// waveform, zoom and follow, gain, loop and the regions remembered per file) and the library's
// spectrum and tempo/key analysers, which read the buffer being played and are let go of it
// before it is freed. The views draw from the fields and call the functions, which return what
// happened. Threads: the main thread owns the record; the loader thread touches only the queue
// and the results (under `lock`) and the two flags; the audio thread only the engine.
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "analysis/spectrum.h"
#include "analysis/tempo_key.h"
#include "kit/audio_buffer.h"
#include "library/playback.h"

constexpr int kLoaderRingSize = 512;        // requests waiting
constexpr int kLoaderMaxResults = 64;       // results waiting for player_update
constexpr int kLoaderPathBytes = 600;       // a path of at most 599 bytes; longer ones are refused
constexpr int kLoaderWaitMs = 250;          // the reader's longest sleep while the queue is empty
constexpr int kItemPeaks = 80;              // thumbnail peaks of a loaded file
constexpr int kWavePeaks = 1024;            // the pane's waveform
constexpr double kSkipSeconds = 5.0;        // Right and Left
constexpr double kMinZoom = 0.02;           // visible fraction of the file
constexpr double kDefaultZoom = 0.54;       // without a usable zoom setting or duration
constexpr double kFollowLead = 0.35;        // the playhead's place in a following view
constexpr double kMinRegionWidth = 0.002;   // fraction
constexpr double kMaxRegionStart = 0.998;
constexpr float kGainWheelStep = 0.05f;     // per wheel notch over the gain slider
constexpr int kRegionListStart = 64;        // remembered regions, doubling from here
constexpr int kTempoHopsPerFrame = 96;
constexpr uint32_t kSpectrumFeedMs = 33;
constexpr int kPaneTextBytes = 64;

enum LoadKind { kLoadInfo = 0, kLoadPlay = 1 };

// Loader results. A kind-1 (play) result is never dropped: the reader waits for room instead.
constexpr int kLoaderQueued = 0;
constexpr int kLoaderRefused = -1;  // empty path, or one too long for the field
constexpr int kLoaderFull = -2;     // the ring was full (an information request is dropped)

struct LoadRequest {
  int kind;                      // LoadKind
  char path[kLoaderPathBytes];
  char alt[kLoaderPathBytes];    // a local copy to read instead, when not empty
};

// How a play result arrives: whole, or as a buffer that plays while it is read (a WAV of known
// length) followed, once it is read, by its waveform and peaks.
enum LoadStage { kStageWhole = 0, kStageFilling = 1, kStageFilled = 2 };

struct LoadResult {
  int kind;
  char path[kLoaderPathBytes];
  int stage;                     // LoadStage
  PlaybackBuffer* filling;       // kStageFilling: the buffer, now the main thread's
  uint64_t load_id;              // kStageFilling and kStageFilled: which buffer
  int ok;
  float peaks[kItemPeaks];       // normalised so the largest is 1
  double seconds;
  AudioBuffer buffer;            // kind 1 only; empty otherwise
  float wave[kWavePeaks];        // kind 1 only: the pane's waveform, computed by the reader
};

// An information result handed to the list that asked (the files tab); null = none.
struct PlayerInfoSink {
  void (*fn)(void* ctx, const char* path, bool ok, const float* peaks, double seconds);
  void* ctx;
};

// A loop region remembered for one file, as fractions.
struct PlayerRegion {
  std::string path;
  double start, end;
};

struct Player {
  Player() = default;
  Player(const Player&) = delete;
  Player& operator=(const Player&) = delete;
  ~Player();  // player_destroy

  PlaybackEngine engine;

  // Loader. Guarded by `lock`: the ring, its counts and the results. The flags are atomics.
  std::thread loader;
  std::mutex lock;
  std::condition_variable wake;          // a request came, or stop
  std::condition_variable room;          // a result slot came free, or stop
  std::unique_ptr<LoadRequest[]> ring;   // kLoaderRingSize
  int ring_first = 0;                    // oldest waiting request
  int ring_count = 0;
  std::unique_ptr<LoadResult[]> results; // kLoaderMaxResults
  int result_count = 0;
  int info_dropped = 0;                  // information results dropped for want of room
  std::atomic<int> stop{0};              // the reader ends
  std::atomic<int32_t> read_cancel{0};   // handed to the decoder: a read in progress gives up
  uint64_t next_load_id = 0;             // loader thread only
  bool started = false;                  // player_start succeeded

  // Main thread: the results being handled, and counts of information requests ("READING %d / %d").
  std::unique_ptr<LoadResult[]> taken;   // kLoaderMaxResults
  int info_requested = 0;
  int info_answered = 0;
  PlayerInfoSink info_sink{};

  // Pane (main thread).
  char current_path[kLoaderPathBytes] = {};  // the file the pane is about; empty = none
  bool loading = false;                      // a play request for current_path is outstanding
  bool hold = false;                         // a silent load: the buffer waits at its start
  bool decoding = false;                     // the installed buffer is still being read
  uint64_t decoding_id = 0;                  // its load_id
  float wave[kWavePeaks] = {};               // waveform of the installed buffer, largest = 1
  double zoom = kDefaultZoom;                // visible fraction 0.02..1
  double view_start = 0.0;                   // fraction
  bool follow = true;                        // the view tracks the playhead
  float gain = 1.0f;                         // the user's gain (the engine's is 0 during a hold)
  double zoom_seconds = 0.0;                 // seconds shown (the lib_zoom_s setting)
  bool loop = false;                         // the LOOP toggle (engine repeat)
  std::vector<PlayerRegion> regions;         // by path
  uint32_t regions_serial = 0;               // +1 whenever a remembered region is set or cleared

  // The library's analysers, fed from the installed buffer.
  std::unique_ptr<SpectrumAnalyser> spectrum;
  TempoKeyAnalyser tempo{};
  bool tempo_enabled = true;
  uint32_t last_spectrum_ms = 0;
  bool attached = false;                     // the engine is the output mix-in's
};

// ---- Life (main thread) ----

// Starts the loader thread and sets up the analysers; gain and zoom_seconds come from the
// settings. 0, or -1 when the thread or the analysers could not be made (the player then plays
// nothing).
int player_start(Player* p, float gain, double zoom_seconds);
// Makes the engine the one the capture routine's output mix-in renders (or lets it go).
void player_attach_output(Player* p, bool on);
// Stops the reader (raising the cancel flag of a decode in progress) and always waits for it,
// frees every result never collected, lets the analysers go, detaches the output and frees the
// buffers once no block reads them. Safe on a player never started; idempotent.
void player_destroy(Player* p);

// ---- Loader ----

// Queues a request: urgent ones go to the front. A newer play request replaces older waiting
// play requests (their results would be thrown away). Returns kLoaderQueued, kLoaderRefused or
// kLoaderFull. An urgent request finds room by dropping the newest waiting information request.
int loader_request(Player* p, int kind, const char* path, const char* alt, bool urgent);

// Once a frame: takes the results (information to the sink, the current play result installed,
// others freed), frees what the engine let go, advances the tempo analysis and the view follow.
void player_update(Player* p);
// Every frame while the player holds audio: one spectrum row every 33 ms from the samples just
// before the playhead. now_ms is tick_ms.
void player_feed_spectrum(Player* p, uint32_t now_ms);

// ---- Pane operations (main thread) ----

// Opens path as the current file (autoplay or silent at its start); nothing when it already is.
// false when the path was refused.
bool player_open(Player* p, const char* path, bool play);
// Space: the current file toggles between playing and paused.
void player_toggle(Player* p);
// Space on an item: toggles it when it is the current file, else stops, makes it current and
// loads it to play.
void player_toggle_item(Player* p, const char* path);
void player_stop(Player* p);
// The recorder's stop_playback hook (ctx = the Player).
void player_stop_hook(void* ctx);
// Right and Left: seeks by seconds as a fraction of the duration, clamped; only with a buffer.
void player_skip(Player* p, double seconds);
// Seeks to a fraction of the file; x_in_view (0..1 across the waveform) maps through the view.
void player_seek(Player* p, double fraction);
void player_seek_in_view(Player* p, double x_in_view);
// I and O: loop start (at 0 with to_edge) or end (at 1 with to_edge) at the playhead, keeping the
// other end; markers dragged to a fraction; a double click resets one (start 0, end 1).
void player_loop_in(Player* p, bool to_edge);
void player_loop_out(Player* p, bool to_edge);
void player_move_marker(Player* p, bool end_marker, double fraction);
void player_reset_marker(Player* p, bool end_marker);
// LOOP: flips repeat, applies the file's region and, when looping from outside it, seeks to its start.
void player_toggle_loop(Player* p);
// Gain slider: drag, double click (1) and wheel (±0.05 a notch); 0..1.
void player_set_gain(Player* p, float gain);
void player_wheel_gain(Player* p, float notches);
// Zoom bar: shows [start, end) of the file; follow goes off and zoom_seconds follows.
void player_set_view(Player* p, double start, double end);

// The file's remembered region, false when it has none. Setting one applies the width rules
// (at least 0.002, a start above 0.998 is pulled to 0.998; the whole file removes it) and, for
// the current file, gives it to the engine.
bool player_region(const Player* p, const char* path, double* start, double* end);
void player_set_region(Player* p, const char* path, double start, double end);
void player_clear_region(Player* p, const char* path);

// ---- Library use (main thread) ----

// Landing on an item loads it silently: the engine's gain goes to 0 until the buffer arrives,
// then it waits at its start with the gain back. Nothing when it is already current.
void player_land(Player* p, const char* path);
// Playing an item: the current one toggles (under a hold the hold is released instead), another
// loads with autoplay and shows "PLAYING %s" with name. false when the path was refused.
bool player_play_item(Player* p, const char* path, const char* name);
// The gain to keep in the settings; false during a hold (the engine's gain is then 0).
bool player_gain_setting(const Player* p, float* gain);

// ---- What the pane shows ----

bool player_is_current(const Player* p, const char* path);
bool player_has_audio(const Player* p);   // a buffer is installed
bool player_is_playing(const Player* p);
double player_playhead(const Player* p);  // fraction
double player_seconds(const Player* p);
// The pane's line: "READING THE TAKE..." while a play load is pending, "READING %d / %d" while
// information requests are outstanding, "LOADING" (files tab), the output warning on an
// input-only stream, else "NOTHING PLAYING" or the tempo line. Empty when the waveform speaks.
void player_pane_text(const Player* p, bool files_tab, bool can_sound, char* out, size_t cap);
