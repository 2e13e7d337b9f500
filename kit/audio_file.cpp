// The reader's front: the sink that loads a buffer or feeds callbacks, the dispatch between our
// WAV parser and FFmpeg, buffer helpers and peaks, the overview scans and the float WAV writer.
// Threads: loads and writes run on the caller's thread. An overview job is shared by its owner and
// its "tolm-overview" worker through atomics and the job's lock; whoever lets go last frees it.
#include "kit/audio_file.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include "kit/audio_decode.h"
#include "platform/file.h"
#include "platform/paths.h"
#include "platform/system.h"
#include "platform/text.h"
#include "platform/thread.h"

namespace {

constexpr const char* kExtensions[] = {"wav", "mp3", "m4a", "aac", "flac", "wma", "ogg", "opus"};
constexpr int kWavExtension = 0;
constexpr size_t kParserMessageBytes = 96;

constexpr int64_t kLoadSlackFrames = 8192;        // beyond a known length, for estimates that run short
constexpr uint64_t kMaxSlackBytes = 2u << 20;     // full slack up to 64 channels; absurd counts get less
constexpr int64_t kMinGrowFrames = 4096;
constexpr int64_t kMaxPeakScanFrames = 4096;      // frames examined per display bin, about

constexpr int kPeakBatch = 512;                   // peaks queued by the worker per lock
constexpr int64_t kPeakCapacityStart = 4096;
constexpr int64_t kPeaksPerFile = 4096;           // for files of known length
constexpr int64_t kMinFramesPerPeak = 256;
constexpr int64_t kUnknownFramesPerPeak = 1024;
constexpr char kOverviewThreadName[] = "tolm-overview";

constexpr size_t kFloatWavHeaderBytes = 58;
constexpr uint64_t kMaxFloatWavDataBytes = 4294967280u;

int extension_index(const char* path) {
  if (!path) return -1;
  const char* dot = strrchr(path, '.');
  if (!dot || strchr(dot, '/') || strchr(dot, '\\')) return -1;  // a dot in a folder name
  for (int i = 0; i < int(std::size(kExtensions)); i++)
    if (text_equal_nocase(dot + 1, kExtensions[i])) return i;
  return -1;
}

// a * b / c without overflow for the sizes a buffer or a peak list can have.
int64_t mul_div(int64_t a, int64_t b, int64_t c) { return int64_t(__int128(a) * b / c); }

// Largest absolute sample of one frame; NaN never wins a comparison and so is left out.
inline float frame_peak(const float* f, int channels, float m) {
  for (int c = 0; c < channels; c++) {
    const float a = std::fabs(f[c]);
    if (a > m) m = a;
  }
  return m;
}

inline float finite_or_zero(float v) { return std::isfinite(v) ? v : 0.0f; }

}  // namespace

// ---- Sink ------------------------------------------------------------------------------------

void read_message(char* msg, size_t cap, const char* text) {
  if (msg && cap > 0 && msg[0] == 0) text_copy(msg, cap, text);
}

int sink_begin(ReadSink* sink, int32_t channels, double sample_rate, int64_t frames_expected) {
  sink->channels = channels;
  if (!sink->buffer)
    return !sink->begin || sink->begin(sink->user, channels, sample_rate, frames_expected > 0 ? frames_expected : -1)
               ? kReadOk
               : kReadCancelled;
  AudioBuffer* b = sink->buffer;
  free(b->samples);
  *b = AudioBuffer{channels, sample_rate, 0, nullptr};
  sink->capacity_frames = 0;
  if (frames_expected <= 0) return kReadOk;
  const uint64_t frame_bytes = uint64_t(channels) * sizeof(float);
  const int64_t slack = std::min<int64_t>(kLoadSlackFrames, std::max<uint64_t>(1, kMaxSlackBytes / frame_bytes));
  const uint64_t capacity = uint64_t(frames_expected) + uint64_t(slack);
  if (capacity > (uint64_t(1) << 62) / frame_bytes) return kReadOk;  // grow as frames arrive instead
  const uint64_t bytes = capacity * frame_bytes;
  // A length larger than the memory can spare is not believed up front (a damaged header can
  // claim days of audio); the block then grows with the frames that really arrive, checked again.
  if (!memory_allows(bytes)) return kReadOk;
  b->samples = static_cast<float*>(malloc(size_t(bytes)));
  if (!b->samples) return kReadFailed;
  sink->capacity_frames = int64_t(capacity);
  return kReadOk;
}

float* sink_reserve(ReadSink* sink, int64_t frames) {
  const int64_t channels = sink->channels;
  if (channels <= 0 || frames <= 0) return nullptr;
  const int64_t max_frames = int64_t((uint64_t(1) << 62) / (uint64_t(channels) * sizeof(float)));
  if (!sink->buffer) {
    if (frames > sink->scratch_frames) {
      if (frames > max_frames || !memory_allows(uint64_t(frames - sink->scratch_frames) * channels * sizeof(float)))
        return nullptr;
      float* p = static_cast<float*>(realloc(sink->scratch, size_t(frames * channels) * sizeof(float)));
      if (!p) return nullptr;
      sink->scratch = p;
      sink->scratch_frames = frames;
    }
    return sink->scratch;
  }
  AudioBuffer* b = sink->buffer;
  const int64_t needed = b->frames + frames;
  if (needed > sink->capacity_frames) {
    const int64_t capacity =
        std::max({needed, sink->capacity_frames + sink->capacity_frames / 2, kMinGrowFrames});  // geometric
    if (capacity > max_frames) return nullptr;
    // Checked as the audio arrives: a small file can decode to hours, more than the machine has.
    if (!memory_allows(uint64_t(capacity - sink->capacity_frames) * channels * sizeof(float))) return nullptr;
    float* p = static_cast<float*>(realloc(b->samples, size_t(capacity * channels) * sizeof(float)));
    if (!p) return nullptr;
    b->samples = p;
    sink->capacity_frames = capacity;
  }
  return b->samples + b->frames * channels;
}

int sink_commit(ReadSink* sink, int64_t frames) {
  if (!sink->buffer) return sink->block(sink->user, sink->scratch, frames) ? kReadOk : kReadCancelled;
  sink->buffer->frames += frames;
  return kReadOk;
}

void sink_finish(ReadSink* sink, bool keep_buffer) {
  free(sink->scratch);
  sink->scratch = nullptr;
  sink->scratch_frames = 0;
  AudioBuffer* b = sink->buffer;
  if (!b) return;
  if (!keep_buffer) {
    free_audio_buffer(b);
  } else if (b->samples && sink->capacity_frames > b->frames && b->frames > 0) {
    // Give back the slack; when the allocator cannot, the larger block is still valid.
    float* p = static_cast<float*>(realloc(b->samples, size_t(b->frames * b->channels) * sizeof(float)));
    if (p) b->samples = p;
  }
  sink->capacity_frames = 0;
}

// ---- Dispatch and loads ----------------------------------------------------------------------

bool is_audio_file(const char* path) { return extension_index(path) >= 0; }

int read_audio_dispatch(const char* path, ReadSink* sink, const std::atomic<int32_t>* cancel, char* msg,
                        size_t cap) {
  const int ext = extension_index(path);
  if (ext < 0) {
    read_message(msg, cap, "COULDN'T READ THAT FILE");
    return kReadUnreadable;
  }
  if (ext == kWavExtension) {
    // The parser's own reasons for declining never reach the caller: FFmpeg has the last word.
    char own[kParserMessageBytes] = "";
    int r = read_wav_file(path, sink, cancel, own, sizeof own);
    if (r != kReadUnreadable) {
      if (r != kReadOk && r != kReadCancelled) read_message(msg, cap, own);
      return r;
    }
  }
  return read_ffmpeg_file(path, sink, cancel, msg, cap);
}

int read_audio_file(const char* path, AudioBuffer* out, const std::atomic<int32_t>* cancel, char* msg,
                    size_t msg_cap) {
  if (msg && msg_cap > 0) msg[0] = 0;
  if (!out) return kReadFailed;
  *out = AudioBuffer{};
  ReadSink sink{};
  sink.buffer = out;
  int r = read_audio_dispatch(path, &sink, cancel, msg, msg_cap);
  sink_finish(&sink, r == kReadOk);
  return r;
}

int stream_audio_file(const char* path, const AudioStream& stream, const std::atomic<int32_t>* cancel, char* msg,
                      size_t msg_cap) {
  if (msg && msg_cap > 0) msg[0] = 0;
  if (!stream.begin || !stream.block) return kReadFailed;
  ReadSink sink{};
  sink.user = stream.user;
  sink.begin = stream.begin;
  sink.block = stream.block;
  int r = read_audio_dispatch(path, &sink, cancel, msg, msg_cap);
  sink_finish(&sink, false);
  return r;
}

double audio_buffer_seconds(const AudioBuffer* buffer) {
  if (!buffer || !(buffer->sample_rate > 0)) return 0.0;
  return double(buffer->frames) / buffer->sample_rate;
}

void free_audio_buffer(AudioBuffer* buffer) {
  if (!buffer) return;
  free(buffer->samples);
  *buffer = AudioBuffer{};
}

void audio_buffer_peaks(const AudioBuffer* buffer, float* out, int count) {
  if (!out || count <= 0) return;
  std::fill(out, out + count, 0.0f);
  if (!buffer || !buffer->samples || buffer->frames <= 0 || buffer->channels <= 0) return;
  const int64_t frames = buffer->frames;
  float top = 0.0f;
  for (int i = 0; i < count; i++) {
    const int64_t start = mul_div(i, frames, count);
    const int64_t end = mul_div(i + 1, frames, count);
    const int64_t step = end - start > kMaxPeakScanFrames ? (end - start) / kMaxPeakScanFrames : 1;
    float m = 0.0f;
    for (int64_t f = start; f < end; f += step)
      m = frame_peak(buffer->samples + f * buffer->channels, buffer->channels, m);
    out[i] = finite_or_zero(m);
    top = std::max(top, out[i]);
  }
  if (top > 0.0f)
    for (int i = 0; i < count; i++) out[i] /= top;
}

float sample_peak(const float* s, int64_t n) {
  // With the sign bit cleared a float orders like an integer, which the compiler compares eight
  // at a time; patterns above infinity's (NaN) count as 0.
  constexpr uint32_t kMagnitude = 0x7FFFFFFFu, kInfinity = 0x7F800000u;
  constexpr int kLanes = 8;
  uint32_t lane[kLanes] = {};
  int64_t i = 0;
  for (; i + kLanes <= n; i += kLanes)
    for (int k = 0; k < kLanes; ++k) {
      uint32_t x = std::bit_cast<uint32_t>(s[i + k]) & kMagnitude;
      x = x >= kInfinity ? 0u : x;
      lane[k] = x > lane[k] ? x : lane[k];
    }
  uint32_t m = 0;
  for (; i < n; ++i) {
    uint32_t x = std::bit_cast<uint32_t>(s[i]) & kMagnitude;
    x = x >= kInfinity ? 0u : x;
    m = x > m ? x : m;
  }
  for (uint32_t x : lane) m = x > m ? x : m;
  return std::bit_cast<float>(m);
}

// ---- Overview scans --------------------------------------------------------------------------

struct OverviewJob {
  char path[kOverviewPathBytes];
  std::atomic<int32_t> cancel{0};  // owner sets on release; worker polls
  std::atomic<int32_t> refs{0};    // owner and worker; whoever drops it to 0 frees the job
  std::atomic<int32_t> state{0};   // worker writes: 0 running, 1 finished, -1 failed
  std::mutex lock;
  // Guarded by lock: written by the worker, read by the owner.
  bool have_format = false;
  int32_t channels = 0;
  double sample_rate = 0.0;
  int64_t frames_expected = -1;  // -1 when the decoder cannot tell
  int64_t frames_per_peak = 0;   // fixed at begin
  int64_t frames_done = 0;
  float* peaks = nullptr;  // one value per finished bin
  int64_t peak_count = 0;
  int64_t peak_capacity = 0;
  float partial_peak = 0.0f;  // the unfinished bin so far
  // Worker only.
  float bin_max = 0.0f;
  int64_t bin_fill = 0;
  float queue[kPeakBatch];
  int queue_count = 0;
};

namespace {

std::atomic<int> g_jobs_alive{0};

void drop_job(OverviewJob* job) {
  if (job->refs.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
  free(job->peaks);
  delete job;
  g_jobs_alive.fetch_sub(1, std::memory_order_relaxed);
}

bool scan_begin(void* user, int32_t channels, double sample_rate, int64_t frames_expected) {
  OverviewJob* job = static_cast<OverviewJob*>(user);
  std::lock_guard<std::mutex> hold(job->lock);
  job->channels = channels;
  job->sample_rate = sample_rate;
  job->frames_expected = frames_expected > 0 ? frames_expected : -1;
  job->frames_per_peak = frames_expected > 0 ? std::max(kMinFramesPerPeak, frames_expected / kPeaksPerFile)
                                             : kUnknownFramesPerPeak;
  job->have_format = true;
  return !job->cancel.load(std::memory_order_relaxed);
}

// Moves the queued peaks into the shared list. Caller holds the lock. False when memory runs out.
bool flush_peaks(OverviewJob* job) {
  const int64_t needed = job->peak_count + job->queue_count;
  if (needed > job->peak_capacity) {
    int64_t capacity = job->peak_capacity > 0 ? job->peak_capacity : kPeakCapacityStart;
    while (capacity < needed) capacity *= 2;
    float* p = static_cast<float*>(realloc(job->peaks, size_t(capacity) * sizeof(float)));
    if (!p) return false;
    job->peaks = p;
    job->peak_capacity = capacity;
  }
  std::copy(job->queue, job->queue + job->queue_count, job->peaks + job->peak_count);
  job->peak_count = needed;
  job->queue_count = 0;
  return true;
}

bool scan_block(void* user, const float* samples, int64_t frames) {
  OverviewJob* job = static_cast<OverviewJob*>(user);
  // channels and frames_per_peak are written only by this thread, in scan_begin.
  const int channels = job->channels;
  const int64_t per_peak = job->frames_per_peak;
  bool ok = true;
  for (int64_t f = 0; f < frames && ok; f++) {
    job->bin_max = frame_peak(samples + f * channels, channels, job->bin_max);
    if (++job->bin_fill < per_peak) continue;
    job->queue[job->queue_count++] = finite_or_zero(job->bin_max);
    job->bin_max = 0.0f;
    job->bin_fill = 0;
    if (job->queue_count == kPeakBatch) {
      std::lock_guard<std::mutex> hold(job->lock);
      ok = flush_peaks(job);
    }
  }
  {
    std::lock_guard<std::mutex> hold(job->lock);
    ok = ok && flush_peaks(job);
    job->frames_done += frames;
    job->partial_peak = finite_or_zero(job->bin_max);
  }
  return ok && !job->cancel.load(std::memory_order_relaxed);
}

void overview_worker(OverviewJob* job) {
  thread_set_own_name(kOverviewThreadName);
  ReadSink sink{};
  sink.user = job;
  sink.begin = scan_begin;
  sink.block = scan_block;
  char msg[kParserMessageBytes] = "";
  const int r = read_audio_dispatch(job->path, &sink, &job->cancel, msg, sizeof msg);
  sink_finish(&sink, false);
  job->state.store(r == kReadOk ? 1 : -1, std::memory_order_release);
  drop_job(job);
}

}  // namespace

OverviewJob* start_overview_scan(const char* path) {
  // A path cut to fit would name another file: refuse it instead.
  if (!path || !*path || !is_audio_file(path) || strlen(path) >= kOverviewPathBytes) return nullptr;
  OverviewJob* job = new (std::nothrow) OverviewJob();  // zeroed
  if (!job) return nullptr;
  text_copy(job->path, path);
  job->refs.store(2, std::memory_order_relaxed);
  g_jobs_alive.fetch_add(1, std::memory_order_relaxed);
  bool started = false;
  try {
    std::thread(overview_worker, job).detach();  // nobody joins it: the job's refs end it
    started = true;
  } catch (const std::system_error&) {
  }
  if (!started) {
    delete job;
    g_jobs_alive.fetch_sub(1, std::memory_order_relaxed);
    return nullptr;
  }
  return job;
}

int overview_scan_peaks(OverviewJob* job, float* out, int count, float* progress, double* seconds) {
  if (out && count > 0) std::fill(out, out + count, 0.0f);
  float fraction = 0.0f;
  double length_s = 0.0;
  if (!job) {
    if (progress) *progress = 0.0f;
    if (seconds) *seconds = 0.0;
    return -1;
  }
  {
    std::lock_guard<std::mutex> hold(job->lock);
    if (job->have_format && job->sample_rate > 0) {
      const int64_t total = job->frames_expected > 0 ? job->frames_expected : std::max<int64_t>(job->frames_done, 1);
      const int64_t peaks = total / job->frames_per_peak + 1;  // the last, partial one counted
      if (out && count > 0) {
        float top = 0.0f;
        for (int i = 0; i < count; i++) {
          const int64_t lo = mul_div(i, peaks, count);
          const int64_t hi = std::max(mul_div(i + 1, peaks, count), lo + 1);
          float m = 0.0f;
          for (int64_t k = lo; k < hi && k <= job->peak_count; k++)
            m = std::max(m, k < job->peak_count ? job->peaks[k] : job->partial_peak);
          out[i] = m;
          top = std::max(top, m);
        }
        if (top > 0.0f)
          for (int i = 0; i < count; i++) out[i] /= top;
      }
      fraction = job->frames_expected > 0 ? float(double(job->frames_done) / double(job->frames_expected)) : 1.0f;
      length_s = double(total) / job->sample_rate;
    }
  }
  const int state = job->state.load(std::memory_order_acquire);
  fraction = state == 1 ? 1.0f : std::clamp(fraction, 0.0f, 1.0f);
  if (progress) *progress = fraction;
  if (seconds) *seconds = length_s;
  return state;
}

void release_overview_scan(OverviewJob* job) {
  if (!job) return;
  job->cancel.store(1, std::memory_order_relaxed);
  drop_job(job);
}

int overview_scans_alive() { return g_jobs_alive.load(std::memory_order_relaxed); }

// ---- Float WAV writer ------------------------------------------------------------------------

namespace {

void put16(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
}

void put32(uint8_t* p, uint32_t v) {
  put16(p, v);
  put16(p + 2, v >> 16);
}

}  // namespace

bool write_float_wav(const char* path, const float* samples, int32_t channels, int64_t frames,
                     double sample_rate) {
  if (!path || !*path || !samples || channels <= 0 || frames <= 0 || !(sample_rate > 0)) return false;
  if (uint64_t(frames) > kMaxFloatWavDataBytes / (uint64_t(channels) * 4)) return false;
  const uint64_t data_bytes = uint64_t(channels) * uint64_t(frames) * 4;
  // Refuse what the header's fields cannot hold rather than write a file that lies about itself.
  const double rate = std::round(sample_rate);
  const uint64_t block_align = uint64_t(channels) * 4;
  if (block_align > 0xFFFF || rate > 4294967295.0 || block_align * uint64_t(rate) > 0xFFFFFFFFu) return false;
  uint8_t h[kFloatWavHeaderBytes];
  memcpy(h, "RIFF", 4);
  put32(h + 4, uint32_t(data_bytes + 50));
  memcpy(h + 8, "WAVEfmt ", 8);
  put32(h + 16, 18);
  put16(h + 20, 3);  // IEEE float
  put16(h + 22, uint32_t(channels));
  put32(h + 24, uint32_t(rate));
  put32(h + 28, uint32_t(block_align * uint64_t(rate)));
  put16(h + 32, uint32_t(block_align));
  put16(h + 34, 32);
  put16(h + 36, 0);  // extension size
  memcpy(h + 38, "fact", 4);
  put32(h + 42, 4);
  put32(h + 46, uint32_t(frames));
  memcpy(h + 50, "data", 4);
  put32(h + 54, uint32_t(data_bytes));
  FileWriter f;
  if (file_create(&f, path) != 0) return false;
  bool ok = file_write(&f, h, sizeof h) == 0 && file_write(&f, samples, size_t(data_bytes)) == 0;
  ok = file_close(&f) == 0 && ok;
  if (!ok) remove_file(path);  // a cut file would read back as a shorter, valid-looking loop
  return ok;
}
