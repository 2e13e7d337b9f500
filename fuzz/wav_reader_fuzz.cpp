// Arbitrary bytes as a WAV file through the program's own parser, loading and streaming: every
// input ends in one of the parser's codes with its message, nothing is read outside the input,
// a failure keeps nothing, and both modes agree on the frames they deliver.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "kit/audio_decode.h"
#include "kit/audio_file.h"

namespace {

bool one_of(const char* msg, std::initializer_list<const char*> texts) {
  for (const char* t : texts)
    if (strcmp(msg, t) == 0) return true;
  return false;
}

struct Stream {
  int32_t channels;
  int64_t frames;
  int blocks;
  double sum;
};

bool stream_begin(void* user, int32_t channels, double, int64_t) {
  static_cast<Stream*>(user)->channels = channels;
  return true;
}

bool stream_block(void* user, const float* samples, int64_t frames) {
  Stream* s = static_cast<Stream*>(user);
  for (int64_t i = 0; i < frames * s->channels; i++) s->sum += samples[i];  // every sample readable
  s->frames += frames;
  return ++s->blocks < 64;  // long inputs stop early: the stop path is covered too
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  AudioBuffer b{};
  ReadSink load{};
  load.buffer = &b;
  char msg[96] = "";
  const int r = read_wav_memory(data, size, &load, nullptr, msg, sizeof msg);
  sink_finish(&load, r == kReadOk);
  switch (r) {
    case kReadOk:
      if (msg[0] || b.channels <= 0 || !(b.sample_rate > 0) || b.frames <= 0 || !b.samples) abort();
      // Whole frames only, never more than the input holds.
      if (uint64_t(b.frames) * uint64_t(b.channels) > size) abort();
      break;
    case kReadFailed:
      if (!one_of(msg, {"TRUNCATED", "OUT OF MEMORY"})) abort();
      break;
    case kReadUnreadable:
      if (!one_of(msg, {"NOT A WAV", "NO DATA CHUNK", "NO FMT CHUNK", "WAV CODEC NOT SUPPORTED", "EMPTY",
                        "SAMPLE SIZE NOT SUPPORTED"}))
        abort();
      break;
    default:
      abort();
  }
  if (r != kReadOk && (b.samples || b.frames || b.channels)) abort();

  Stream s{};
  ReadSink stream{};
  stream.user = &s;
  stream.begin = stream_begin;
  stream.block = stream_block;
  char msg2[96] = "";
  const int r2 = read_wav_memory(data, size, &stream, nullptr, msg2, sizeof msg2);
  sink_finish(&stream, false);
  if (s.blocks < 64) {
    if (r2 != r || strcmp(msg, msg2) != 0) abort();
    if (r == kReadOk && s.frames != b.frames) abort();
  } else if (r2 != kReadCancelled) {
    abort();
  }
  free_audio_buffer(&b);
  return 0;
}
