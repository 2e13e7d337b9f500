// Tempo and key of a whole decoded file: onset strength per 512-frame hop and pitch-class energy
// every 16th hop, advanced a bounded number of hops per drawn frame, then a tempo (70-180 BPM)
// with its first beat and one of 24 keys. Used by the visualiser and the files tab's loop panel.
// Main thread only (whichever thread draws); no lock. The samples are borrowed, not copied.
#pragma once
#include <cstddef>
#include <cstdint>

#include "kit/audio_buffer.h"

constexpr int kTempoHop = 512;                 // frames per hop
constexpr double kTempoMaxSeconds = 600.0;     // longer files are analysed over their start
constexpr int kTempoMinFrames = 1024;
constexpr double kTempoMinRate = 8000.0;
constexpr int kKeyCount = 24;                  // 0-11 major C..B, 12-23 minor C..B
constexpr int kTempoTextBytes = 48;

// Copied out whole by the drivers.
struct TempoKeyResult {
  int32_t done;            // 1 once finished, or when the analysis could not start
  float bpm;               // 0 = no steady pulse
  double first_beat_s;     // from the start of the file
  float tempo_confidence;  // 0..1
  int32_t key;             // -1 = none
  float key_confidence;    // best key correlation, at least 0
};

struct TempoKeyAnalyser {
  const float* samples;    // interleaved, borrowed: the buffer must outlive the analysis
  int32_t channels;
  int64_t frames;          // frames analysed: the buffer's, capped at 600 s
  double rate;             // frames per second
  int64_t hops_done;
  int64_t hops_total;      // frames / 512
  float* novelty;          // hops_total + 1 onset strengths
  float* prev_spectrum;    // 512 log-compressed magnitudes of the previous hop
  float* fft_in;           // windowed transform input, 8192
  float* fft_re;           // transform output, 8192 (n/2 + 1 used)
  float* fft_im;
  float* window_1024;      // Hann windows
  float* window_8192;
  double* novelty_sum;     // hops_total + 1: prefix sums for the threshold, then three-hop sums
  double chroma[12];       // summed magnitude per pitch class, 0 = C
  int32_t running;         // set while hops remain
  TempoKeyResult result;
};

// Releases previous work, zeroes the analyser and sets it up for the given interleaved samples.
// Too little audio (under 1024 frames), no samples or channels, a rate under 8000 Hz (or not a
// number) or a failed allocation finish at once with an empty result. Main thread.
void analyser_start(TempoKeyAnalyser* a, const float* samples, int32_t channels, int64_t frames,
                    double rate);
void analyser_start(TempoKeyAnalyser* a, const AudioBuffer& buffer);

// Processes at most `hops` hops; once all are in, estimates tempo and key and frees the work
// arrays. 1 when the analysis finished in this call, 0 while hops remain, result.done when it
// was not running. Main thread.
int analyser_step(TempoKeyAnalyser* a, int hops);

// hops_done / hops_total while running, 1 when done, 0 otherwise.
float analyser_progress(const TempoKeyAnalyser* a);

// Frees the work arrays, clears running and the sample pointer. Safe on a zeroed analyser.
void analyser_release(TempoKeyAnalyser* a);

// "C MAJ" … "B MIN" for 0..23, "" otherwise.
const char* key_name(int32_t key);

// The visualiser's tempo line: "TEMPO %d%%" while running, "%d BPM  %s" or "-- BPM  %s" when
// done, "" before any analysis. Returns the length written.
size_t tempo_visual_text(const TempoKeyAnalyser* a, char* out, size_t cap);

// The files tab's loop-panel line: "NOTHING PLAYING" when nothing is loaded, "FINDING TEMPO..."
// while running, then "%.1f BPM  %s" with a bar grid, else "TOO SHORT" with a tempo or
// "NO STEADY PULSE" without. Returns the length written.
size_t tempo_loop_text(const TempoKeyAnalyser* a, bool loaded, bool bar_grid, char* out,
                       size_t cap);
