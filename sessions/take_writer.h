// The take writer: sealed takes from the tape into WAV files of the open session (16- or 24-bit
// PCM stereo), the program's own WAV header probe and reader, the take-file listing and the joiner
// that puts a session's takes into one 32-bit float file. The writing pass runs on the main
// thread; probe, read, list and join touch only files and their own buffers and run on any thread.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "kit/audio_buffer.h"
#include "sessions/recorder.h"

constexpr int kWavHeaderBytes = 44;
constexpr int kWavRunFrames = 8192;                     // frames converted per write call
constexpr size_t kWavWorkBytes = 49152;                 // 8,192 frames × 6 bytes
constexpr int kJoinMaxFiles = 512;
constexpr uint64_t kJoinMaxDataBytes = 0xF0000000ull;   // keeps the RIFF size under 4 GiB
constexpr int kTakeFileNameBytes = 64;
constexpr size_t kWavReadRunBytes = size_t(1) << 17;  // file bytes a WavReader takes in at once

// A take file as listed from a folder, or a take of a reference session.
struct TakeFile {
  char name[kTakeFileNameBytes];
  int64_t size_bytes;
  int64_t write_time;  // last write, 100 ns units since 1601; 0 = unknown
  double seconds;      // duration from the header (0 when it does not read)
  double rate;         // sample rate from the header (0 when it does not read)
  int64_t start, end;  // reference takes: source frames; otherwise 0
};

// The writing pass: deletes files of culled takes, writes every sealed take that is ready (unless
// holding), updates the library row and moves the tape's release point. Returns the number of
// takes written. Main thread.
int write_pending_takes(Recorder* r);

// Names and writes one take file into the open session and lists it. 0 or -1. Main thread.
int write_take_file(Recorder* r, const TakeEntry& take);

// Writes tape frames [first, end) as a 2-channel PCM WAV, 24-bit when bit_depth is 24, else
// 16-bit; missing tape chunks read as silence. The file is flushed to disk before it counts.
// 0, or -1 (nothing to write, cannot create, no buffer, a write failed). Any thread.
int write_pcm_wav(const char* path, const Tape* tape, int64_t first, int64_t end, double rate, int bit_depth);

// The 44-byte header of a 2-channel file: format 1 (PCM) or 3 (float), the rate truncated to an
// integer, sizes from data_bytes (held at the largest whole-frame size under 4 GiB).
void wav_header(uint8_t* header, int format, uint32_t rate, int bytes_per_sample, uint64_t data_bytes);

// Duration and rate from the header alone. false when the file is not a readable WAV. Any thread.
bool probe_wav(const char* path, double* seconds, double* rate);

// Loads a WAV (PCM 16/24/32-bit or 32-bit float) as interleaved stereo float frames; a mono file
// gives both sides the same value. 0, or -1 (out left empty). Free with free_wav. Any thread.
int read_wav(const char* path, AudioBuffer* out);
void free_wav(AudioBuffer* buffer);

// The same reading a run of frames at a time, so that a long file never sits whole in memory.
// Accepts exactly what read_wav accepts. Any thread; one reader belongs to one thread.
struct WavReader {
  void* file;                   // FILE*; null when closed
  uint32_t format, channels, bits;
  double rate;
  int64_t frames;               // whole frames in the data chunk
  int64_t next;                 // frames handed out so far
  alignas(16) uint8_t raw[kWavReadRunBytes];  // one run of file bytes (allocate readers on the heap)
};
// 0, or -1 (the reader stays closed) when the file would not read with read_wav.
int wav_reader_open(WavReader* r, const char* path);
// Up to max_frames of interleaved stereo float frames into stereo. The count, 0 at the end,
// -1 when the file ended early or could not be read.
int64_t wav_reader_read(WavReader* r, float* stereo, int64_t max_frames);
// The same run as the file stores it, left in r->raw (frames of channels × bits / 8 bytes), for
// readers that work on the samples as they are. The count, 0 at the end, -1 on a read error.
int64_t wav_reader_read_raw(WavReader* r, int64_t max_frames);
void wav_reader_close(WavReader* r);

// Lists the folder's "*.wav" files with their probed headers, sorted by last-write time, then
// name; at most capacity. Returns the count, or -1 when the folder cannot be read. Any thread.
int list_take_files(const char* folder, TakeFile* out, int capacity);

// Joins the folder's takes into one 32-bit float stereo file at dest (via "<dest>.part", moved
// over dest only when complete). cancel is polled before each file; progress counts files handled.
// Either may be null. 0 or -1. Its own thread.
int join_session(const char* folder, const char* dest, const std::atomic<int>* cancel, std::atomic<int>* progress);
