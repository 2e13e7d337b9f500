// Decoded audio as the whole program shares it: interleaved 32-bit float samples at the file's
// own rate and channel count. A zeroed record is the empty buffer; the buffer owns `samples`.
#pragma once
#include <cstdint>

struct AudioBuffer {
  int32_t channels;    // as stored in the file; no down- or up-mixing
  double sample_rate;  // frames per second as stored; never resampled
  int64_t frames;      // frames held
  float* samples;      // channels × frames, interleaved, nominal -1..+1
};

// The mono view the analysers use: the first channel of a one-channel buffer, otherwise the mean
// of the first two; frames outside the buffer read 0.
inline float audio_buffer_mono(const AudioBuffer& b, int64_t frame) {
  if (!b.samples || b.channels < 1 || frame < 0 || frame >= b.frames) return 0.0f;
  const float* f = b.samples + frame * b.channels;
  return b.channels == 1 ? f[0] : 0.5f * (f[0] + f[1]);
}
