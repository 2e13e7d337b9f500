// The shared kit's audio file reader: whole-file loads into an AudioBuffer, background overview
// scans that expose a growing peak list while a file decodes, peak reduction of a loaded buffer,
// and writing a buffer as a 32-bit float WAV. WAV files go through our own parser first; every
// other format (and any WAV the parser declines) goes through FFmpeg.
// Threads: loads run on the caller's thread; each overview scan owns one worker thread.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "kit/audio_buffer.h"

// Result codes of the reader.
constexpr int kReadOk = 0;
constexpr int kReadFailed = -1;      // failure with a message
constexpr int kReadUnreadable = -2;  // the file cannot be read
constexpr int kReadCancelled = -3;   // the cancel flag was set, or a streaming callback said stop

constexpr int kReadBlockFrames = 4096;    // frames read and handed on per block
constexpr int kOverviewPathBytes = 1024;  // longest path an overview scan takes, NUL included

// True when the text after the path's last '.' (with no '/' or '\' after it) is one of
// wav, mp3, m4a, aac, flac, wma, ogg, opus, in any case. Thread-safe: yes.
bool is_audio_file(const char* path);

// Loads a whole file into *out at its own rate and channel count. Returns kReadOk, or a
// negative code with one upper-case message in msg (capacity msg_cap, cut to fit; empty for
// kReadCancelled). *out is zeroed first and left empty on any failure; a null out gives
// kReadFailed without a message. A read that fails part-way is kReadFailed "COULDN'T READ THAT
// FILE", never a shorter buffer; a file that simply ends early keeps the frames it holds. Memory
// is checked as the audio arrives ("OUT OF MEMORY"). cancel (may be null) is polled once per
// block and while a slow source (a FIFO, a stalled share) is waited for.
// Thread-safe: yes; runs on the caller's thread and holds no lock.
int read_audio_file(const char* path, AudioBuffer* out, const std::atomic<int32_t>* cancel, char* msg,
                    size_t msg_cap);

// frames / sample_rate, or 0 for a null buffer or a rate not above 0.
double audio_buffer_seconds(const AudioBuffer* buffer);
// Releases the samples and zeroes the record. A null buffer is ignored.
void free_audio_buffer(AudioBuffer* buffer);

// Reads a whole file block by block without keeping it: begin is told the format (frames -1 when
// unknown), then block receives interleaved float samples (at most a few thousand frames at a
// time). Either returning false stops the read with kReadCancelled. The same result codes and
// messages as read_audio_file. Any thread; the callbacks run on the calling thread.
struct AudioStream {
  void* user;
  bool (*begin)(void* user, int32_t channels, double sample_rate, int64_t frames_expected);
  bool (*block)(void* user, const float* samples, int64_t frames);
};
int stream_audio_file(const char* path, const AudioStream& stream, const std::atomic<int32_t>* cancel, char* msg,
                      size_t msg_cap);
// Fills count display bins with the largest absolute sample of each, normalised so the largest
// bin is 1 (all zero for a null or empty buffer). Looks at about 4096 frames per bin at most.
void audio_buffer_peaks(const AudioBuffer* buffer, float* out, int count);
// Largest absolute value of n samples; NaN and infinity count as 0. Compares many at a time.
// Thread-safe: yes.
float sample_peak(const float* samples, int64_t n);

// A background scan of one file. Opaque: the owner only holds the pointer.
struct OverviewJob;

// Starts a scan on a new named worker thread. Returns null when the path is missing, too long
// or has an unsupported extension, or when memory or a thread cannot be had.
// Owner thread: any one thread holds the job.
OverviewJob* start_overview_scan(const char* path);
// Writes count bins of the peaks seen so far (normalised so the largest is 1), the progress
// 0..1 and the duration in seconds; each output may be null. Returns 0 while running, 1 when
// finished, -1 when failed or for a null job. Owner thread; takes the job's lock briefly.
int overview_scan_peaks(OverviewJob* job, float* out, int count, float* progress, double* seconds);
// Asks the worker to stop and drops the owner's hold; the job must not be touched afterwards.
// Never waits for the worker. Owner thread.
void release_overview_scan(OverviewJob* job);
// Jobs not yet freed by either side (for tests and leak checks). Thread-safe: yes.
int overview_scans_alive();

// Writes interleaved float samples as a 32-bit float WAV with a 58-byte header ("fmt " of 18
// bytes and a "fact" chunk). True only when every byte was written and the file closed; on
// failure no partial file is left behind. Thread-safe: yes.
bool write_float_wav(const char* path, const float* samples, int32_t channels, int64_t frames,
                     double sample_rate);
