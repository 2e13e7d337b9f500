// The rig mixer: mixes up to 64 device inputs into the stereo pair that is recorded and monitored,
// inside the audio callback, by the gains of a mix matrix the rig keeper publishes without locks.
// Every gain change ramps, so scene changes and edits never click. It measures what it mixes
// (per-input peaks, clip and bad-sample flags, output peaks) and, while no matrix of the stream's
// rig has arrived, falls back after one second to the stream's default layout.
// Threads: rig_mixer_start, _set, _mute and _read belong to one control thread (the keeper's);
// rig_mixer_process to the audio thread, which never allocates, locks or waits. Everything that
// crosses between them is an atomic.
#pragma once
#include <atomic>
#include <cstdint>

#include "rig/rig_doc.h"

constexpr double kRigMixerDefaultRate = 48000;
constexpr double kRigMixerMaxRate = 10000000;
constexpr double kRigMixerDefaultFadeS = 0.02;  // also the shortest fade a matrix asks for
constexpr double kRigMixerMaxFadeS = 10;
constexpr int kRigMixerMaxRampFrames = 16777216;
constexpr float kRigMixerClipPeak = 0.999f;     // an input this loud counts as clipped

static_assert(std::atomic<float>::is_always_lock_free);
static_assert(std::atomic<uint32_t>::is_always_lock_free);
static_assert(std::atomic<uint64_t>::is_always_lock_free);
static_assert(std::atomic<int64_t>::is_always_lock_free);

// Gains of every input into each output side, and the master gain after the sum.
struct RigMixMatrix {
  int32_t count;               // inputs, 0..64; inputs past it are silent
  float left[kRigMaxInputs];   // linear
  float right[kRigMaxInputs];  // linear
  float master;                // linear, 0 .. kRigMaxGain
};

// The matrix of a scene for `count` inputs: muted or missing inputs are silent; a single input
// pans with constant power (unity at the centre, sqrt 2 at a side); a linked pair (even input,
// 0-based, with its neighbour present) sends its first input left and its second right, the
// first's gain, mute and pan (as a balance that only attenuates) acting for both.
void rig_mix_matrix(const RigScene& scene, int count, RigMixMatrix* out);
// The stream's default layout, as a new rig of that api would have it: unity gain, inputs 3 and
// up muted, inputs 1 and 2 a pair where rig_api_links_first_pair.
void rig_default_matrix(const char* api, int count, RigMixMatrix* out);
// Same count, master and every gain pair of the inputs in use.
bool rig_mix_matrix_equal(const RigMixMatrix& a, const RigMixMatrix& b);

// What the mixer measured since the previous read.
struct RigMixerMeters {
  int inputs;                      // of the stream (0 before the first start)
  uint32_t tag;                    // of the stream
  float peak[kRigMaxInputs];       // absolute input peak
  float peak_gain[kRigMaxInputs];  // the peak times the input's larger gain (before the master)
  uint64_t clip_mask;              // inputs that reached kRigMixerClipPeak (bit i = input i)
  uint64_t bad_mask;               // inputs that delivered NaN or infinity
  float out_left, out_right;       // output peaks after the master
  bool out_clip;                   // an output peak reached 1
  bool holding;                    // silent, waiting for a matrix of the stream's rig
  bool live;                       // playing the stream's default layout after the hold
  bool muted;                      // a mute-all matrix is in force
  int64_t bad_samples;             // NaN or infinite samples since the previous read
  int64_t bad_total;               // ... since the start
  int64_t blocks;                  // blocks processed since the start
};

// One gain on the audio thread: its value now and a linear ramp to a target.
struct RigGainStage {
  float gain;
  float from, to, step;  // the ramp: gain = from + step * position until position == length
  int length, position;  // frames
};

struct RigMixer {
  // ---- Stream configuration: the control thread writes it in rig_mixer_start, the audio thread
  // takes it at its next block. start_seq is odd while it is being written.
  std::atomic<uint32_t> start_seq;
  std::atomic<double> cfg_rate;
  std::atomic<int> cfg_inputs;
  std::atomic<uint32_t> cfg_tag;
  std::atomic<int> cfg_has_start;
  std::atomic<int> cfg_start_count;
  std::atomic<float> cfg_start_left[kRigMaxInputs], cfg_start_right[kRigMaxInputs];
  std::atomic<float> cfg_start_master;

  // ---- The published matrix: the control thread writes it, the audio thread takes it when seq
  // is even and unchanged across its copy.
  std::atomic<uint32_t> seq;
  std::atomic<uint32_t> m_tag;
  std::atomic<int> m_mute_all;
  std::atomic<float> m_fade_s;
  std::atomic<int> m_count;
  std::atomic<float> m_master;
  std::atomic<float> m_left[kRigMaxInputs], m_right[kRigMaxInputs];

  // ---- Meters: the audio thread raises them (atomic maximum, OR, add), rig_mixer_read takes and
  // resets them by exchange. Float peaks are kept as their bits (non-negative floats order as
  // their bit patterns do).
  std::atomic<uint32_t> peak_bits[kRigMaxInputs];
  std::atomic<uint32_t> peak_gain_bits[kRigMaxInputs];
  std::atomic<uint64_t> clip_mask, bad_mask;
  std::atomic<uint32_t> out_left_bits, out_right_bits;
  std::atomic<int> out_clip;
  std::atomic<int64_t> bad_samples, bad_total, blocks;
  std::atomic<int> holding_flag, live_flag, muted_flag;  // audio thread writes

  // ---- Audio thread only.
  uint32_t taken_start;  // start_seq of the configuration in use (0: none yet)
  uint32_t taken_seq;    // seq of the last matrix taken
  bool invalid_seq;      // a restart: take the published matrix again whatever its seq
  double rate;
  int inputs;
  uint32_t tag;
  int default_ramp;      // frames: 20 ms
  int hold_frames;       // frames: one second
  int64_t held;          // frames held so far
  bool holding, live, has_start, first_matrix;
  RigMixMatrix start;    // the stream's default layout
  RigGainStage left[kRigMaxInputs], right[kRigMaxInputs], master;
};

// Starts the mixer on a stream: rate (48,000 when outside 0..10,000,000), inputs (clamped 1..64),
// the stream's tag, and its default layout (null: none, so no fallback). Every gain starts at 0
// and the mixer holds; the audio thread takes the new stream at its next block, and takes the
// published matrix again then. Control thread.
void rig_mixer_start(RigMixer* m, double rate, int inputs, uint32_t tag, const RigMixMatrix* start);
// Publishes a matrix for the rig with this tag, reached over fade_s (<= 0: 0.02; at most 10).
// Non-finite gains are published as 0. Control thread; never blocks.
void rig_mixer_set(RigMixer* m, const RigMixMatrix& matrix, uint32_t tag, double fade_s);
// Publishes a mute-all matrix (fade 0.02 s): silence, without the one-second fallback.
void rig_mixer_mute(RigMixer* m);
// Mixes `frames` frames of interleaved input (`stride` floats a frame; null: silence) into left
// and right, which it overwrites. Audio thread only; never allocates, locks or waits.
void rig_mixer_process(RigMixer* m, const float* input, int stride, float* left, float* right, int frames);
// The same, shaped as the capture engine's inputs-mixer plug-in ({rig_mixer_plugin, mixer}).
void rig_mixer_plugin(void* mixer, const float* input, int channels, float* left, float* right, int frames);
// Takes the meters and resets what accumulates. Control thread.
void rig_mixer_read(RigMixer* m, RigMixerMeters* out);
