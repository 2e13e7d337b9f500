// Library playback shared with the audio thread: the decoded buffer being played, rendered
// resampled and scaled by a gain into the output mix, with seeking, a loop region and repeat.
// The main thread swaps buffers in and out through one atomic pointer; a block counter that is odd
// while a block renders tells it when a buffer it took out can no longer be read, and only then is
// that buffer freed. Threads: engine_render on the audio thread, every playback_* call on the main
// thread (one main thread per engine).
#pragma once
#include <atomic>
#include <cstdint>

#include "kit/audio_buffer.h"

constexpr int kPlaybackReleasedSlots = 16;  // buffers taken out and not yet freed

static_assert(std::atomic<double>::is_always_lock_free);
static_assert(std::atomic<float>::is_always_lock_free);
static_assert(std::atomic<int64_t>::is_always_lock_free);
static_assert(std::atomic<uint64_t>::is_always_lock_free);

// One installed buffer. The serial tells the audio thread a new install from the one it played,
// also when a freed record's address comes back. A buffer may still be filling while it plays
// (a long file starts sounding before it is read to its end): frames below `ready` are final,
// and a block that catches up with the reading renders silence instead of ending.
struct PlaybackBuffer {
  AudioBuffer audio;                   // frames = the length the file announced
  uint32_t serial = 0;                 // set by the install
  uint64_t load_id = 0;                // the loader's name for a filling buffer
  std::atomic<int64_t> ready{0};       // frames written; the filler stores (release)
  std::atomic<int> complete{0};        // the filler is done: `ready` is the length
  std::atomic<int> writing{0};         // the filler may still write: not to be freed
  std::atomic<int> abandoned{0};       // no longer wanted: the filler stops at its next run
};

// A buffer to be filled while it plays: room for `frames` frames (not yet touched), writing set.
// Null when memory cannot be had. Any thread but the audio thread.
PlaybackBuffer* playback_buffer_new(int channels, double rate, int64_t frames);

struct PlaybackEngine {
  // Shared with the audio thread. The main thread writes unless a field says otherwise.
  std::atomic<PlaybackBuffer*> current{nullptr};  // read once per block by the audio thread
  std::atomic<int> playing{0};                    // renders when set (and not ended)
  std::atomic<int> repeat{0};                     // at the end (or region end), jump back instead of stopping
  std::atomic<int> seek_request{0};               // the audio thread applies seek_target and clears it
  std::atomic<uint32_t> ended{0};                 // serial of a buffer that played to its end (0 = none):
                                                  // the audio thread sets it, the main thread clears it;
                                                  // the buffer it names does not render until then
  std::atomic<uint32_t> load_count{0};            // incremented by every install
  std::atomic<double> seek_target{0.0};           // frame position requested
  std::atomic<int64_t> published_position{0};     // frames; the audio thread after each block, or a seek
  std::atomic<float> gain{1.0f};                  // 0..1
  std::atomic<int> region_on{0};                  // a loop region is set
  std::atomic<int> in_region{0};                  // the last seek landed inside it
  std::atomic<int64_t> region_start{0};           // frames
  std::atomic<int64_t> region_end{0};
  std::atomic<uint64_t> blocks{0};                // audio thread: +1 entering a block, +1 leaving (odd = inside)

  // Audio thread only.
  double position = 0.0;        // play position in frames
  uint32_t rendered_serial = 0; // serial of the buffer the position belongs to
  int stalled = 0;              // a repeating loop too short to hold one frame: silent, not spinning

  // Main thread only.
  PlaybackBuffer* loaded = nullptr;  // what `current` holds, as this thread stored it
  PlaybackBuffer* released[kPlaybackReleasedSlots] = {};
  uint64_t released_at[kPlaybackReleasedSlots] = {};  // `blocks` right after it was taken out
  int released_count = 0;
};

// ---- Audio thread ----

// Adds the player's signal to left and right (frames samples each) at the output rate. Never
// allocates, locks or waits; a loop too short for one frame renders silence instead of spinning.
void engine_render(PlaybackEngine* e, float* left, float* right, int frames, double rate);

// ---- Main thread ----

// Takes buffer (may be null or empty; it becomes the engine's and is freed by it): stops playing,
// clears ended, the published position, the region and any waiting seek; installs it; increments
// load_count; plays at once when autoplay. The buffer it replaces is freed once no block reads it.
void playback_install(PlaybackEngine* e, AudioBuffer* buffer, bool autoplay);
// The same for a buffer that may still be filling (made by playback_buffer_new).
void playback_install_buffer(PlaybackEngine* e, PlaybackBuffer* buffer, bool autoplay);
// A filling buffer that will not be installed: marked abandoned and freed once its filler is done.
void playback_discard(PlaybackEngine* e, PlaybackBuffer* buffer);
// Seeks to fraction x (clamped to 0..1) of the installed buffer; with a region on, in_region
// becomes whether x lies within it (half a frame either side).
void playback_seek(PlaybackEngine* e, double x);
// Region by start and end fractions; on and in_region follow enable (off without a buffer).
void playback_set_region(PlaybackEngine* e, double start, double end, bool enable);
// After an end, first seeks to the region start (when in the region) or to 0; then plays.
void playback_play(PlaybackEngine* e);
void playback_pause(PlaybackEngine* e);
void playback_stop(PlaybackEngine* e);  // pause and seek to 0
// Stops, clears the published position and takes the buffer out; it is freed once no block reads it.
void playback_unload(PlaybackEngine* e);
// Detaches e from the mix-in when it is attached, unloads it and frees everything. Quit and tests.
void playback_destroy(PlaybackEngine* e);
// Frees what was taken out once no block can still read it. Every frame; returns how many were freed.
int playback_collect(PlaybackEngine* e);
// Waits until every buffer taken out is freed (a block ends within its own length). Quit only.
void playback_release_all(PlaybackEngine* e);

void playback_set_gain(PlaybackEngine* e, float gain);
void playback_set_repeat(PlaybackEngine* e, bool on);
double playback_progress(const PlaybackEngine* e);  // published position / frames, 0..1
double playback_seconds(const PlaybackEngine* e);   // duration of the installed buffer
int64_t playback_frames(const PlaybackEngine* e);   // its length (the announced one while filling)
bool playback_filling(const PlaybackEngine* e);     // the installed buffer is still being read
int64_t playback_ready_frames(const PlaybackEngine* e);  // frames of it that are final
bool playback_is_playing(const PlaybackEngine* e);  // playing and not ended
bool playback_ended(const PlaybackEngine* e);       // the installed buffer played to its end
bool playback_region_active(const PlaybackEngine* e);  // region on and the last seek landed in it
// The installed buffer, for the analysers (main thread; valid until the next install or unload).
const AudioBuffer* playback_buffer(const PlaybackEngine* e);

// ---- The output mix-in (process-wide) ----

// Makes e the engine the capture routine's player mix-in renders (null: none). Detaching waits
// until a block that may have picked up the old engine has left it, so it can be destroyed after.
// Main thread.
void playback_attach(PlaybackEngine* e);
