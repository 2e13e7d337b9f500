// Helpers for the player and drawer tests: buffers made from samples, blocks rendered through the
// playback engine, the player pumped the way the main loop pumps it, and sessions on disk.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "kit/audio_buffer.h"
#include "library/player.h"
#include "library/playback.h"

// A heap buffer owning a copy of the interleaved samples.
AudioBuffer make_buffer(int channels, double rate, const std::vector<float>& samples);
// Frames 0..n-1 of a ramp: left i/n, right -i/n (stereo), or left only (mono).
std::vector<float> ramp(int channels, int64_t frames);

// Renders `frames` output frames in blocks of `block` at `rate`; left and right appended.
struct Rendered {
  std::vector<float> left, right;
};
Rendered render(PlaybackEngine* e, int64_t frames, double rate, int block = 256);

// Calls player_update every 2 ms until done() or timeout_ms; true when done() held.
bool pump_until(Player* p, const std::function<bool()>& done, int timeout_ms = 5000);

// Writes a 16-bit stereo WAV of the given interleaved samples (values clipped to -1..1).
void write_take(const std::string& path, int rate, const std::vector<float>& stereo);
// A take of `seconds` of a sine (amplitude 0.5) at `hz`.
void write_sine_take(const std::string& path, int rate, double seconds, double hz);
