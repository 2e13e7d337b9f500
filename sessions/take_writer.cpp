// The writing pass and the take file writer: sealed takes from the tape into 16- or 24-bit WAV
// files of the open session, each flushed to disk before it counts as written, so the tape never
// gives back audio whose file a power cut could still lose. Main thread, except write_pcm_wav.
#include "sessions/take_writer.h"

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <ctime>
#if defined(__x86_64__) || defined(__SSE2__)
#include <immintrin.h>
#endif

#include "config/log.h"
#include "config/status.h"
#include "platform/clock.h"
#include "platform/file.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "sessions/library_scan.h"
#include "sessions/session.h"
#include "sessions/session_util.h"

static_assert(std::endian::native == std::endian::little, "take files are written from little-endian memory");

namespace {

constexpr int kMaxNameSuffix = 100000;
constexpr uint32_t kMaxRiffData = 0xFFFFFFFFu - 36;

void put16(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
}

void put32(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
  p[2] = uint8_t(v >> 16);
  p[3] = uint8_t(v >> 24);
}

constexpr int64_t kWritebackBytes = int64_t(8) << 20;
constexpr int kConvertStep = 256;  // samples turned into integers at a time (a 1 KB stack buffer)

// Samples to integers at full scale: clamped to -1..1 (NaN, a broken input, becomes silence
// instead of an undefined conversion), multiplied exactly in double and truncated toward zero.
inline int32_t to_int(float x, double scale) {
  if (!(x == x)) return 0;
  x = x > 1.0f ? 1.0f : (x < -1.0f ? -1.0f : x);
  return int32_t(double(x) * scale);
}

void to_ints(const float* src, int n, double scale, int32_t* out) {
  int i = 0;
#if defined(__SSE2__)
  // Four at a time, the same steps: NaN masked to 0, clamp, exact double product, truncation.
  const __m128d k = _mm_set1_pd(scale);
  const __m128 one = _mm_set1_ps(1.0f), minus_one = _mm_set1_ps(-1.0f);
  for (; i + 4 <= n; i += 4) {
    __m128 x = _mm_loadu_ps(src + i);
    x = _mm_and_ps(x, _mm_cmpeq_ps(x, x));
    x = _mm_max_ps(_mm_min_ps(x, one), minus_one);
    const __m128i lo = _mm_cvttpd_epi32(_mm_mul_pd(_mm_cvtps_pd(x), k));
    const __m128i hi = _mm_cvttpd_epi32(_mm_mul_pd(_mm_cvtps_pd(_mm_movehl_ps(x, x)), k));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_unpacklo_epi64(lo, hi));
  }
#endif
  for (; i < n; ++i) out[i] = to_int(src[i], scale);
}

#if defined(__x86_64__)
// Eight samples at a time on processors that have AVX2 (chosen once at run time); the same
// steps as to_ints. They return how many samples they did; the caller does the rest.
__attribute__((target("avx2"))) inline __m256d scaled_lo(__m256 x, __m256d k) {
  return _mm256_mul_pd(_mm256_cvtps_pd(_mm256_castps256_ps128(x)), k);
}
__attribute__((target("avx2"))) inline __m256d scaled_hi(__m256 x, __m256d k) {
  return _mm256_mul_pd(_mm256_cvtps_pd(_mm256_extractf128_ps(x, 1)), k);
}
__attribute__((target("avx2"))) inline __m256 clamped8(const float* p) {
  __m256 x = _mm256_loadu_ps(p);
  x = _mm256_and_ps(x, _mm256_cmp_ps(x, x, _CMP_EQ_OQ));
  return _mm256_max_ps(_mm256_min_ps(x, _mm256_set1_ps(1.0f)), _mm256_set1_ps(-1.0f));
}

__attribute__((target("avx2"))) int64_t convert16_avx2(const float* src, int64_t n, uint8_t* out) {
  const __m256d k = _mm256_set1_pd(32767.0);
  int64_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m256 x = clamped8(src + i);
    const __m128i v = _mm_packs_epi32(_mm256_cvttpd_epi32(scaled_lo(x, k)), _mm256_cvttpd_epi32(scaled_hi(x, k)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * i), v);
  }
  return i;
}

__attribute__((target("avx2"))) int64_t convert24_avx2(const float* src, int64_t n, uint8_t* out) {
  const __m256d k = _mm256_set1_pd(8388607.0);
  const __m128i keep3 = _mm_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
  int64_t i = 0;
  // Each group stores 28 bytes of which 24 count; the last groups are left to the caller so that
  // no store reaches past the output.
  for (; i + 10 <= n; i += 8) {
    const __m256 x = clamped8(src + i);
    const __m128i a = _mm_shuffle_epi8(_mm256_cvttpd_epi32(scaled_lo(x, k)), keep3);
    const __m128i b = _mm_shuffle_epi8(_mm256_cvttpd_epi32(scaled_hi(x, k)), keep3);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 3 * i), a);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 3 * i + 12), b);
  }
  return i;
}

bool have_avx2() {
  static const bool yes = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2");
  }();
  return yes;
}
#endif

void convert16(const float* src, int64_t frames, uint8_t* out) {
  const int64_t n = 2 * frames;
  if (!src) {
    memset(out, 0, size_t(n) * 2);
    return;
  }
  int64_t at = 0;
#if defined(__x86_64__)
  if (have_avx2()) at = convert16_avx2(src, n, out);
#endif
  int32_t v[kConvertStep];
  for (; at < n; at += kConvertStep) {
    const int m = int(std::min<int64_t>(kConvertStep, n - at));
    to_ints(src + at, m, 32767.0, v);
    int16_t w[kConvertStep];
    for (int i = 0; i < m; ++i) w[i] = int16_t(v[i]);
    memcpy(out + 2 * at, w, size_t(m) * 2);
  }
}

void convert24(const float* src, int64_t frames, uint8_t* out) {
  const int64_t n = 2 * frames;
  if (!src) {
    memset(out, 0, size_t(n) * 3);
    return;
  }
  int64_t at = 0;
#if defined(__x86_64__)
  if (have_avx2()) at = convert24_avx2(src, n, out);
#endif
  int32_t v[kConvertStep];
  for (; at < n; at += kConvertStep) {
    const int m = int(std::min<int64_t>(kConvertStep, n - at));
    to_ints(src + at, m, 8388607.0, v);
    uint8_t* o = out + 3 * at;
    int i = 0;
    for (; i + 4 <= m; i += 4, o += 12) {  // four samples in three little-endian words
      const uint32_t a = (uint32_t(v[i]) & 0xFFFFFF) | uint32_t(v[i + 1]) << 24;
      const uint32_t b = (uint32_t(v[i + 1]) >> 8 & 0xFFFF) | uint32_t(v[i + 2]) << 16;
      const uint32_t c = (uint32_t(v[i + 2]) >> 16 & 0xFF) | uint32_t(v[i + 3]) << 8;
      memcpy(o, &a, 4);
      memcpy(o + 4, &b, 4);
      memcpy(o + 8, &c, 4);
    }
    for (; i < m; ++i, o += 3) {
      o[0] = uint8_t(v[i]);
      o[1] = uint8_t(v[i] >> 8);
      o[2] = uint8_t(v[i] >> 16);
    }
  }
}

}  // namespace

void wav_header(uint8_t* h, int format, uint32_t rate, int bytes_per_sample, uint64_t data_bytes) {
  const uint32_t block = uint32_t(2 * bytes_per_sample);
  // Past 4 GiB the sizes cannot be told; they stop at the largest whole frame count instead of
  // wrapping to a short, wrong length.
  const uint32_t data = data_bytes > kMaxRiffData ? kMaxRiffData / block * block : uint32_t(data_bytes);
  memcpy(h, "RIFF", 4);
  put32(h + 4, 36 + data);
  memcpy(h + 8, "WAVEfmt ", 8);
  put32(h + 16, 16);
  put16(h + 20, uint32_t(format));
  put16(h + 22, 2);
  put32(h + 24, rate);
  put32(h + 28, rate * block);
  put16(h + 32, block);
  put16(h + 34, uint32_t(8 * bytes_per_sample));
  memcpy(h + 36, "data", 4);
  put32(h + 40, data);
}

int64_t recorder_now(const Recorder* r) {
  return r->hooks.now_seconds.fn ? r->hooks.now_seconds.fn(r->hooks.now_seconds.ctx) : wall_seconds();
}

void recorder_sleep(Recorder* r, int ms) {
  if (r->hooks.sleep.fn) r->hooks.sleep.fn(r->hooks.sleep.ctx, ms);
  else sleep_ms(ms);
}

void collect_sealed_takes(Recorder* r) {
  if (r->engine) drain_sealed_takes(r->engine, &r->takes, recorder_now(r));
}

bool recorder_has_unwritten(const Recorder* r) { return r->takes.take_count > r->takes.written_count; }

int write_pcm_wav(const char* path, const Tape* tape, int64_t first, int64_t end, double rate, int bit_depth) {
  if (!path || !tape || end <= first) return -1;
  const int bytes = bit_depth == 24 ? 3 : 2;
  const int64_t frames = end - first;
  uint8_t header[kWavHeaderBytes];
  const uint32_t irate = rate > 0 && rate < 4294967295.0 ? uint32_t(rate) : 0;
  wav_header(header, 1, irate, bytes, uint64_t(frames) * uint64_t(2 * bytes));

  uint8_t* work = static_cast<uint8_t*>(malloc(kWavWorkBytes));
  if (!work) return -1;
  FileWriter f;
  if (file_create(&f, path) != 0) {
    free(work);
    return -1;
  }
  bool ok = file_write(&f, header, sizeof header) == 0;
  const int64_t cf = tape->chunk_frames;
  int64_t written = sizeof header, flushed = 0;
  for (int64_t at = first; ok && at < end;) {
    int64_t run = std::min<int64_t>(end - at, kWavRunFrames);
    const float* src = nullptr;
    if (at < 0) {
      run = std::min(run, -at);
    } else if (cf > 0) {
      run = std::min(run, cf - at % cf);  // a run never crosses a chunk boundary
      src = tape_frame(tape, at);
    }
    if (bytes == 3) convert24(src, run, work);
    else convert16(src, run, work);
    ok = file_write(&f, work, size_t(run) * size_t(2 * bytes)) == 0;
    written += run * 2 * bytes;
    // Hand finished stretches to the disk as we go, so the closing fsync does not start cold.
    if (written - flushed >= kWritebackBytes) {
      file_start_writeback(&f, flushed, written - flushed);
      flushed = written;
    }
    at += run;
  }
  ok = ok && file_sync(&f) == 0;
  ok = file_close(&f) == 0 && ok;
  free(work);
  return ok ? 0 : -1;
}

int write_take_file(Recorder* r, const TakeEntry& take) {
  Session& s = r->session;
  CaptureEngine* e = r->engine;
  if (!e || !s.folder[0] || s.count >= kMaxTakes) return -1;
  const int64_t start = std::max<int64_t>(take.start, 0);
  const int64_t end = std::min(take.end, e->write_head.load(std::memory_order_acquire));
  if (start >= end) return -1;

  // A session folder that went away (removed by hand) is made again, so the takes still on the
  // tape can be written once the obstacle is gone; a write folder that went away (a drive
  // unplugged) is not: the takes wait on the tape.
  if (!is_dir(s.folder) && remake_session_folder(r) != 0) {
    log_line("spill FAILED: %s (the folder is gone and cannot be made again here)", s.folder);
    return -1;
  }

  struct tm tm;
  char stem[32], name[kTakeNameBytes], path[kPathCap + kTakeNameBytes];
  if (!local_time(take.started_at, &tm)) memset(&tm, 0, sizeof tm);
  strftime(stem, sizeof stem, "tolm-%H%M%S", &tm);
  text_format(name, sizeof name, "%s.wav", stem);
  bool fits = path_join(path, s.folder, name);
  for (int n = 2; fits && path_exists(path); ++n) {
    if (n > kMaxNameSuffix) {
      fits = false;
      break;
    }
    text_format(name, sizeof name, "%s-%d.wav", stem, n);
    fits = path_join(path, s.folder, name);
  }
  if (!fits) {
    log_line("spill FAILED: %s/%s", s.folder, name);
    return -1;
  }
  // The file is written and flushed under a temporary name and takes its own only when whole:
  // a crash or a power cut mid-write never leaves a take file that claims more than it holds.
  char tmp[kPathCap + kTakeNameBytes + 16];
  const double rate = e->sample_rate;
  if (temporary_path(tmp, sizeof tmp, path) != 0 ||
      write_pcm_wav(tmp, &e->tape, start, end, rate, e->bit_depth.load(std::memory_order_relaxed)) != 0 ||
      file_rename_new(tmp, path) != 0) {
    if (tmp[0]) remove_file(tmp);
    log_line("spill FAILED: %s", path);
    return -1;
  }
  text_copy(s.names[s.count++], name);
  log_line("spilled %s  %.1fs", name, rate > 0 ? double(end - start) / rate : 0.0);
  // The file itself is on disk; its name is once the folder is. A failed folder sync keeps the
  // take and is tried again on the next pass.
  if (sync_dir(s.folder) != 0) {
    s.dir_sync_pending = 1;
    log_line("session folder sync FAILED (%s kept, synced again next pass): %s", name, s.folder);
  }
  return 0;
}

int write_pending_takes(Recorder* r) {
  CaptureEngine* e = r->engine;
  if (!e) return 0;
  TakeList& list = r->takes;
  Session& s = r->session;

  if (s.dir_sync_pending && s.folder[0]) {
    if (sync_dir(s.folder) == 0) {
      s.dir_sync_pending = 0;
      log_line("session folder synced: %s", s.folder);
    }
  }

  // Culled takes that were already on disk.
  if (list.take_count < list.written_count) {
    while (list.take_count < list.written_count) {
      --list.written_count;
      if (s.count > list.written_count) {
        const char* name = s.names[--s.count];
        char path[kPathCap + kTakeNameBytes];
        if (name[0] && path_join(path, s.folder, name)) {
          if (remove_file(path) == 0) log_line("culled %s from disk", name);
          else log_line("delete FAILED: %s", path);
        }
      }
    }
    s.count = std::min(s.count, list.written_count);
    write_session_index(r);
  }

  int written = 0;
  // A cull asked for and not yet served may take the last take and record over it: nothing is
  // read off the tape until the engine has served it (within a block).
  if (!r->holding && !e->cull_request.load(std::memory_order_acquire)) {
    const int64_t head = e->write_head.load(std::memory_order_acquire);
    while (list.written_count < list.take_count && list.takes[list.written_count].end <= head) {
      const TakeEntry& take = list.takes[list.written_count];
      if (!s.folder[0] && open_session_folder(r, list.takes[0].started_at) != 0) {
        r->holding = 1;
        status_flash("SPILL OPEN FAILED - HOLDING IN RAM");
        break;
      }
      if (take.end <= take.start && s.count < kMaxTakes) {
        // Nothing of it reached the tape (it began while the tape was full): it counts as done
        // without a file, so it cannot hold back the takes after it.
        s.names[s.count++][0] = 0;
        log_line("empty take %d skipped", list.written_count + 1);
      } else if (write_take_file(r, take) != 0) {
        r->holding = 1;
        status_flash("DISK WRITE FAILED - HOLDING IN RAM");
        break;
      }
      ++list.written_count;
      ++written;
      write_session_index(r);
    }
  }

  if (written > 0 && s.relative[0]) {
    const int row = find_library_row(r, s.relative);
    if (row >= 0) {
      const double rate = e->sample_rate > 0 ? e->sample_rate : 48000.0;
      double total = 0;
      for (int i = 0; i < list.written_count; ++i) total += double(list.takes[i].end - list.takes[i].start) / rate;
      LibraryRow& lr = r->library.rows[row];
      lr.total_seconds = total;
      lr.take_count = list.written_count;
      if (r->hooks.library_row_updated.fn)
        r->hooks.library_row_updated.fn(r->hooks.library_row_updated.ctx, row, total, list.written_count);
    }
  }

  // Until the folder's entries are on disk too, the tape keeps the audio behind them.
  if (!s.dir_sync_pending) update_release_point(e, &list);
  return written;
}
