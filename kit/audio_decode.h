// Inside the audio file reader: the sink a decoder writes into (a buffer being loaded, or a pair
// of callbacks fed block by block) and the two decoders behind read_audio_file and the overview
// scans. Not for callers outside kit/ except tests and the fuzz target.
// Threads: a sink and a decode belong to the one thread that runs them.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "kit/audio_buffer.h"

// Where decoded frames go. Load mode: `buffer` is set. Streaming mode: `buffer` is null and the
// callbacks are set; either callback returning false stops the read as cancelled.
struct ReadSink {
  // Load mode.
  AudioBuffer* buffer;
  int64_t capacity_frames;  // frames the sample block can hold
  // Streaming mode.
  void* user;
  bool (*begin)(void* user, int32_t channels, double sample_rate, int64_t frames_expected);  // -1 unknown
  bool (*block)(void* user, const float* samples, int64_t frames);  // interleaved
  float* scratch;          // reused between blocks, grown to the largest block
  int64_t scratch_frames;  // its capacity
  // Both modes, set by sink_begin.
  int32_t channels;
};

// Reports the format: 0, -1 when the load block cannot be had (message "OUT OF MEMORY" is the
// caller's), -3 when the begin callback refused. frames_expected <= 0 means unknown.
int sink_begin(ReadSink* sink, int32_t channels, double sample_rate, int64_t frames_expected);
// Room for `frames` more frames, written by the decoder then handed on by sink_commit; null when
// memory runs out or growing would take more than the machine can spare (memory_allows).
float* sink_reserve(ReadSink* sink, int64_t frames);
// Hands on the frames written into the room sink_reserve gave: 0, or -3 when the block callback
// refused.
int sink_commit(ReadSink* sink, int64_t frames);
// Frees what the sink holds: the scratch block, and in load mode a buffer that failed (when
// keep_buffer is false) or the spare capacity of one that succeeded.
void sink_finish(ReadSink* sink, bool keep_buffer);

// Sets the message once: an earlier message is never replaced.
void read_message(char* msg, size_t cap, const char* text);

// The program's own WAV parser over a file, and over a memory block (the same parser; used by
// the fuzz target). 0, -1 with a message, -2 with a message (the file goes on to FFmpeg), -3.
int read_wav_file(const char* path, ReadSink* sink, const std::atomic<int32_t>* cancel, char* msg, size_t cap);
int read_wav_memory(const uint8_t* data, size_t bytes, ReadSink* sink, const std::atomic<int32_t>* cancel,
                    char* msg, size_t cap);

// Any format FFmpeg demuxes and decodes, as interleaved float at the file's own rate and channel
// count, from a regular file or a FIFO. 0, -1 "OUT OF MEMORY" or (a read failed) "COULDN'T READ
// THAT FILE", -2 "COULDN'T READ THAT FILE" (not decodable, damaged inside, or audio missing), -3.
int read_ffmpeg_file(const char* path, ReadSink* sink, const std::atomic<int32_t>* cancel, char* msg, size_t cap);

// The dispatch shared by loads and scans: unsupported extension -2, ".wav" to the parser and on
// to FFmpeg when the parser declines, everything else to FFmpeg.
int read_audio_dispatch(const char* path, ReadSink* sink, const std::atomic<int32_t>* cancel, char* msg,
                        size_t cap);
