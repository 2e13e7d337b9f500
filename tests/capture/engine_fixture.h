// A capture engine driven by hand: no device, the tape maintained between blocks by the test
// itself (standing in for the allocation thread), signals fed in fixed-size blocks.
#pragma once
#include <cmath>
#include <cstdint>
#include <memory>
#include <vector>

#include "capture/engine.h"

struct EngineDeleter {
  void operator()(CaptureEngine* e) const;
};
using EnginePtr = std::unique_ptr<CaptureEngine, EngineDeleter>;

// An engine at `rate`, running, stereo input, default parameters, tape present from frame 0.
EnginePtr make_engine(double rate, int channels = 2, uint64_t memory_bytes = uint64_t(8) << 30);

// Interleaved stereo signal.
struct Signal {
  std::vector<float> lr;  // left, right, left, right...
  int64_t frames() const { return int64_t(lr.size() / 2); }
  float left(int64_t i) const { return lr[size_t(2 * i)]; }
  float right(int64_t i) const { return lr[size_t(2 * i + 1)]; }
  void set(int64_t i, float l, float r) { lr[size_t(2 * i)] = l, lr[size_t(2 * i + 1)] = r; }
  void add(int64_t i, float l, float r) { lr[size_t(2 * i)] += l, lr[size_t(2 * i + 1)] += r; }
};
Signal silence(int64_t frames);

// Feeds frames [from, to) of the signal through process_block in blocks, maintaining the tape
// before each block. Output frames (stereo) are appended to *out when given.
void feed(CaptureEngine* e, const Signal& s, int64_t from, int64_t to, int block = 256,
          std::vector<float>* out = nullptr);
// Feeds `frames` of silence.
void feed_silence(CaptureEngine* e, int64_t frames, int block = 256);

// All sealed takes so far.
std::vector<SealedTake> sealed_takes(CaptureEngine* e);
// Tape frames [start, end) as interleaved stereo.
std::vector<float> tape_frames(const CaptureEngine* e, int64_t start, int64_t end);
