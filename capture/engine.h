// The capture engine: the per-block trigger detector and gate that turns the input stream into
// takes on the tape, with the monitor output, meters, scope strip, tape overview and mono
// history it produces on the way. `process_block` runs on the audio callback thread and never
// allocates, locks or waits; the main thread sets parameters and requests and reads published
// values, all through atomics (relaxed unless noted), and collects sealed takes through an SPSC
// ring.
#pragma once
#include <atomic>
#include <cstdint>

#include "capture/detector_eq.h"
#include "capture/device_state.h"
#include "capture/tape.h"

struct Settings;

constexpr int kMaxBlockFrames = 4096;
constexpr int kMaxSealedTakes = 256;
constexpr int kMaxTakeStarts = 8192;
constexpr int kCrossingLogSize = 256;
constexpr int kOverviewBuckets = 4096;
constexpr int64_t kOverviewStartBucket = 1024;
constexpr int kScopeColumns = 512;
constexpr int kDelaySeconds = 6;
constexpr int kMonoHistorySeconds = 2;
constexpr int64_t kQuietForever = int64_t(1) << 62;

static_assert(std::atomic<int64_t>::is_always_lock_free);
static_assert(std::atomic<float>::is_always_lock_free);

struct SealedTake {
  int64_t start;  // first tape frame
  int64_t end;    // one past the last
  int culled = 0; // not a take: the last take sealed before this entry was culled
};

// Optional plug-ins, each an immutable {function, context} record that outlives its
// registration; swapped in with one atomic pointer store so the audio thread never sees half.
struct InputHook {  // fills left/right and returns non-zero to replace the device input
  int (*fn)(void* ctx, float* left, float* right, int frames, int rate);
  void* ctx;
};
struct OutputTap {  // receives the interleaved stereo output of every block
  void (*fn)(void* ctx, const float* stereo, int frames, int rate);
  void* ctx;
};
struct PlayerMix {  // renders library playback into two zeroed buffers
  void (*fn)(void* ctx, float* left, float* right, int frames, int rate);
  void* ctx;
};
struct InputsMixer {  // turns the interleaved device input into left/right
  void (*fn)(void* ctx, const float* input, int channels, float* left, float* right, int frames);
  void* ctx;
};

struct ScopeColumn {
  float input_peak;
  float detector_peak;
  uint8_t recorded;
  uint8_t would_open;
};

struct TimingStats {
  int64_t callbacks;   // callbacks since the previous read
  double busy_us;      // time spent in them
  double audio_us;     // audio they covered
  double max_us;       // longest single callback
};

struct CaptureEngine {
  // Trigger parameters: main thread writes, the audio thread reads a copy once per block.
  std::atomic<int> armed;
  std::atomic<int> monitor;
  std::atomic<int> play_tape;          // also cleared by the audio thread when playback ends
  std::atomic<int> gate_forced;
  std::atomic<int> normalize_monitor;
  std::atomic<float> input_gain;
  std::atomic<float> display_scale;    // read by the scope only
  std::atomic<float> open_level;       // threshold line, linear
  std::atomic<float> hpf_hz, lpf_hz;   // below 1 = off
  std::atomic<float> peak_hz, peak_q;  // band; below 1 Hz = off
  std::atomic<int> hpf_order, lpf_order;
  std::atomic<float> exit_db;          // exit line relative to the threshold line
  std::atomic<int> pre_roll_frames;
  std::atomic<int> look_back_frames;
  std::atomic<int> post_roll_frames;
  std::atomic<int> hold_frames;
  std::atomic<int> bit_depth;          // read by the take writer only

  // Published by the audio thread at the end of every block.
  std::atomic<float> input_peak, output_peak;
  std::atomic<float> envelope;
  std::atomic<int> gate_open;
  std::atomic<int> would_open;
  std::atomic<int> recording;              // the recording flag (a take is being written)
  std::atomic<int64_t> write_head;         // release: frames below it are on the tape
  std::atomic<int> takes_opened, takes_closed;
  std::atomic<int64_t> play_head;
  std::atomic<float> monitor_gain, limiter_gain;

  // Fixed while a stream runs (set by the device layer before it starts).
  double sample_rate;
  int input_channels;

  // Requests: main thread sets, the audio thread clears when served.
  std::atomic<int> reset_request;
  std::atomic<int> cull_request;
  std::atomic<int64_t> seek_request;  // -1 = none
  std::atomic<int> running;           // 1 only while the stream is started

  // Plug-ins.
  std::atomic<const InputHook*> input_hook;
  std::atomic<const OutputTap*> output_tap;
  std::atomic<const InputsMixer*> inputs_mixer;

  // Sealed-take ring: the audio thread owns the write count, the main thread the read count.
  // Takes and culls travel in the order they happened, so the main thread's list can follow.
  SealedTake sealed[kMaxSealedTakes];
  std::atomic<int64_t> sealed_write, sealed_read;

  // Tape overview: peak per bucket of `overview_bucket` frames, folded as the tape grows.
  std::atomic<float> overview[kOverviewBuckets];
  std::atomic<int64_t> overview_bucket;

  // Scope strip: the last six seconds in 512 columns.
  int column_frames;
  std::atomic<float> column_input[kScopeColumns];
  std::atomic<float> column_detector[kScopeColumns];
  std::atomic<uint8_t> column_recorded[kScopeColumns];
  std::atomic<uint8_t> column_would_open[kScopeColumns];
  std::atomic<int64_t> column_count;

  // Mono history: rate × 2 samples, written cyclically.
  std::atomic<float>* mono;
  int mono_length;
  std::atomic<int64_t> mono_count;

  // Device over- and underruns the driver reported (its thread writes, anyone reads).
  std::atomic<int64_t> device_xruns;

  // Callback timing (the wrapper writes, the performance overlay reads).
  std::atomic<int64_t> cb_last_ns, cb_max_ns, cb_busy_ns, cb_count;
  std::atomic<int64_t> cb_frames;  // frames the routine processed (ignored blocks do not count)
  int64_t timing_prev_count, timing_prev_busy_ns, timing_prev_frames;  // reader only

  Tape tape;
  EngineDevice dev;          // the device layer's fields (main thread)

  // ---- Audio thread only from here on ----
  EqState eq;                // trigger equaliser
  float env;                 // detector envelope
  int above_line;            // previous frame's at-or-over state (crossing log)
  int64_t sample_counter;    // every frame processed since creation
  int64_t crossing[kCrossingLogSize];
  int64_t crossing_count;
  // Gate.
  int gate;
  int above_count, below_count;
  int64_t quiet_count;
  int delay_frames, extra_frames;
  // Would-open indicator.
  int wo_open, wo_above, wo_below;
  int64_t wo_quiet;
  // Delay ring: rate × 6 stereo frames.
  float* delay;
  int delay_length;
  int delay_write;
  float record_gain;
  int rec;
  int64_t head;              // private copy of write_head
  int64_t playhead;          // private copy of play_head
  int opened, closed;        // private copies of the take counters
  int64_t take_start;
  int64_t take_starts[kMaxTakeStarts];
  int take_start_count;
  // Scope column being filled.
  float col_in, col_det;
  uint8_t col_rec, col_wo;
  int col_filled;
  // Values derived from parameters, kept until the parameters they come from change (compared
  // bit for bit; the keys start invalid).
  EqCoefficients eq_coeffs;
  uint32_t eq_key[8];        // hpf_hz, hpf_order, lpf_hz, lpf_order, peak_hz, peak_q, rate
  float exit_factor;         // 10^(exit_db / 20)
  uint32_t exit_key;         // exit_db
  float recover_power;       // the limiter's recovery over a block of recover_frames frames
  int recover_frames;
  int derived_valid;         // bit 0: eq_coeffs, bit 1: exit_factor, bit 2: recover_power
  // Monitor levelling and limiter.
  float level_env, level_gain, limit_gain;
  float in_peak, out_peak;   // previous block's meters
  // Work buffers.
  float* work_left;
  float* work_right;
  float* player_left;
  float* player_right;
  float* detect;             // detector level per frame of the block
  float* eq_scratch;         // 2 x 4,096 floats for the equaliser
  float* level;              // input level (after gain) per frame of the block
  float* tap_stereo;         // interleaved input for the output tap without an output block
  float* gained;             // gained input per frame of the block, interleaved
  float* env_frames;         // envelope per frame of the block
  int* crossing_frames;      // frames of the block where the envelope rose to the open line
  float* gain_frames;        // record gain per frame of the block, twice (left, right); first
                             // the mono history's values on their way in
  int64_t* head_frames;      // write head after each frame of the block (tape playback)
};

// Allocates the detector's buffers for this rate and sets every field to its starting value
// (the tape is left to tape_create). 0, or -1 when an allocation fails. Main thread.
int capture_engine_init(CaptureEngine* e, double rate);
// Frees what capture_engine_init allocated and zeroes the detector (not the tape).
void capture_engine_free(CaptureEngine* e);

// The stream callback body. Returns the frames processed: 0 for a block it ignored (not
// running, no buffers, longer than 4,096 frames). Audio thread only; never allocates, locks or
// waits.
int process_block(CaptureEngine* e, const float* input, float* output, int frames);
// The PortAudio-shaped wrapper: times process_block and always returns 0 (continue).
int capture_callback(const void* input, void* output, unsigned long frames, const void* time_info,
                     unsigned long status_flags, void* engine);

// Library playback mixed into every engine's output (process-wide). Main thread.
void capture_set_player_mix(const PlayerMix* mix);

// Readers, main thread.
bool engine_next_sealed_take(CaptureEngine* e, SealedTake* out);
// The last n scope columns (n clamped to 1..512), oldest first; returns how many were filled.
int engine_scope_columns(const CaptureEngine* e, int n, ScopeColumn* out);
// The last n mono-history samples, oldest first; returns how many.
int engine_mono_history(const CaptureEngine* e, int n, float* out);
// The overview resampled to n values over the buckets that hold recorded frames; returns n, or
// 0 when the tape is empty.
int engine_overview(const CaptureEngine* e, int n, float* out);
// Timing since the previous call.
void engine_timing(CaptureEngine* e, TimingStats* out);
// Frames the routine has processed (the watchdog's input): a stream that runs into an engine
// that cannot record does not count as audio.
int64_t engine_frames_delivered(const CaptureEngine* e);
// Moves the play head to a fraction 0..1 of the tape; nothing on an empty tape.
void engine_seek_fraction(CaptureEngine* e, double x);

// Trigger controls. Positions are 0..1; Settings keeps the values they stand for.
struct TriggerPositions {
  float threshold, exit, hold, pre_roll, post_roll, look_back, gain, scale;
};
TriggerPositions trigger_positions_from_settings(const Settings& s);
void settings_from_trigger_positions(Settings* s, const TriggerPositions& p);
// Derives every trigger parameter from the settings at the engine's rate. fit_factor is the
// scope's automatic fit (1 when not positive).
void engine_apply_settings(CaptureEngine* e, const Settings& s, float fit_factor);

enum class EqControl { kHighPass, kLowPass, kBand };
// An options-panel position 0..1 to a frequency (0 = off at the control's end) and to a Q.
float eq_hz_from_position(EqControl control, float x);
float eq_q_from_position(float x);
