// The bar grid of the file the player holds (from its tempo and first beat, the loop length in
// bars and the file's bar shift) and saving one block of it as a loop file in the music folder.
// Pure functions but for the loop's file; any thread, though the files tab calls them on the
// main thread.
#pragma once
#include <cstddef>
#include <cstdint>

#include "kit/audio_buffer.h"

constexpr int kDefaultBarsPerLoop = 4;
constexpr int kBeatsPerBar = 4;
constexpr double kLeadInMinSeconds = 0.02;    // a shorter start before the first loop is no block
constexpr double kPartialSlackSeconds = 0.02; // a block this much shorter than a loop is partial
constexpr int kLoopNameChars = 199;           // the file's name as it goes into a loop's name
constexpr int kLoopExtensionChars = 5;        // an extension this long (with its dot) is removed
constexpr size_t kLoopPathBytes = 1024;

struct BarGrid {
  double first_loop_start_s;  // g: where the first full loop begins
  double loop_s;              // L
  double beat_s;              // 60 / bpm
  double duration_s;
  int loop_count;             // blocks, the lead-in and a last partial block included
  bool lead_in;               // block 0 is the short block before the first full loop
  float bpm;
  int bars_per_loop;
};

// bars_per_loop below 1 counts as 4.
int effective_bars_per_loop(int bars_per_loop);

// The grid of a file of `frames` at `rate` for a tempo (bpm > 0), its first beat and a shift in
// beats (any sign). false (no grid) without a tempo, a duration, or any block.
bool bar_grid_make(float bpm, double first_beat_s, int64_t frames, double rate, int bars_per_loop, int shift_beats,
                   BarGrid* out);
// Block k's start and end in seconds (never past the duration). false when k is out of range.
bool bar_block(const BarGrid& g, int k, double* start_s, double* end_s);
// Shorter than a loop by more than 0.02 s (the lead-in and a last short block).
bool bar_block_partial(const BarGrid& g, int k);
// The block under a time, -1 before 0 or from the duration on.
int bar_block_at(const BarGrid& g, double seconds);

// A block's length text, lower case: "%.1f beats" for a partial block, else "%d bar%s".
void loop_length_text(const BarGrid& g, int k, char* out, size_t cap);
// The loop's file name (without folder): "<name>  bar <k+1>  <length>  <bpm> bpm.wav", or
// "<name>  end  <length>  <bpm> bpm.wav" for a partial block; the name is the display name cut to
// 199 characters, an extension of up to 5 removed, and each of <>:"/\|?* and control characters
// replaced by "_".
void loop_file_name(const char* display_name, const BarGrid& g, int k, char* out, size_t cap);

constexpr int kLoopSaved = 0;
constexpr int kLoopNoFolder = -1;    // "NO LOOPS FOLDER"
constexpr int kLoopCantWrite = -2;   // "CAN'T WRITE THE LOOP"

// The loops folder, <music>/Lumaro/Loops, each level made when missing. false when it cannot be had.
bool loops_folder(char* out, size_t cap);
// Writes block k of the buffer (the first channel, or the first two) times gain into folder as
// loop_file_name, through a temporary file renamed into place, so a loop that already has the
// name is replaced only by a complete one. The path in path_out. kLoopSaved or a code above.
int save_loop(const AudioBuffer& buffer, const BarGrid& g, int k, float gain, const char* display_name,
              const char* folder, char* path_out, size_t path_cap);
const char* loop_save_message(int code);  // "NO LOOPS FOLDER", "CAN'T WRITE THE LOOP" or ""
