// The drawer's jobs: a streaming pass over one take file that fills its peak columns and its
// spectrogram columns, the card, thumbnail, map and join jobs built on it, and the joined-file
// folder with its pruning. Threads: each run_* on its job's own thread; the rest on any thread.
#include "library/drawer_jobs.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "analysis/fft.h"
#include "config/log.h"
#include "kit/audio_file.h"
#include "platform/clock.h"
#include "platform/file.h"
#include "platform/text.h"
#include "platform/thread.h"
#include "sessions/library_scan.h"
#include "sessions/session_util.h"

namespace {

constexpr uint32_t kFnvOffset = 2166136261u;
constexpr uint32_t kFnvPrime = 16777619u;
constexpr int kRunFrames = kWavRunFrames;       // frames read per call
constexpr int kSpectrogramBins = kSpectrogramWindow / 2;
constexpr double kBandLowHz = 20.0;
constexpr double kBandTopHz = 20000.0;
constexpr double kDefaultRate = 48000.0;        // stands in for a rate not above 1000
constexpr double kTiltDbPerOctave = 4.5;
constexpr double kImageRangeDb = 48.0;
constexpr float kImageFloor = 0.00001f;
constexpr float kImageMinPeak = 1e-9f;

// ---- One take, streamed ----

// What a pass over one take fills: `peak_count` peak columns (frame k of F goes to column
// k · peak_count / F) and, when `image` is given, `image_columns` spectrogram columns of
// kMapBands each, normalised over the take.
struct TakeTarget {
  float* peaks;
  int peak_count;
  float* image;
  int image_columns;
};

// Scratch a job keeps for all its takes (the reader's run buffer is large: on the heap).
struct Scratch {
  WavReader reader;
  float stereo[2 * kRunFrames];
  float ring[kSpectrogramWindow];        // mono frames by absolute index mod 1024
  float window[kSpectrogramWindow];      // Hann
  float fft_in[kSpectrogramWindow];
  float re[kSpectrogramBins + 1];
  float im[kSpectrogramBins + 1];
  int band_lo[kMapBands], band_hi[kMapBands];
  float band_gain[kMapBands];
  double band_rate = 0;                  // rate the band table is for
  std::vector<int64_t> starts;           // per image column: first frame of its window
};

std::unique_ptr<Scratch> make_scratch() {
  auto s = std::make_unique<Scratch>();
  for (int i = 0; i < kSpectrogramWindow; ++i)
    s->window[i] = float(0.5 - 0.5 * std::cos(2.0 * M_PI * i / double(kSpectrogramWindow - 1)));
  return s;
}

void band_table(Scratch* s, double rate) {
  if (s->band_rate == rate) return;
  s->band_rate = rate;
  const double top = std::min(rate / 2.0, kBandTopHz);
  const double r = top / kBandLowHz;
  for (int j = 0; j < kMapBands; ++j) {
    int lo = int(std::floor(kBandLowHz * std::pow(r, double(j) / kMapBands) * kSpectrogramWindow / rate));
    int hi = int(std::floor(kBandLowHz * std::pow(r, double(j + 1) / kMapBands) * kSpectrogramWindow / rate));
    lo = std::clamp(lo, 0, kSpectrogramBins - 1);
    hi = std::clamp(std::max(hi, lo + 1), lo + 1, kSpectrogramBins);
    s->band_lo[j] = lo;
    s->band_hi[j] = hi;
    const double centre = kBandLowHz * std::pow(r, (double(j) + 0.5) / kMapBands);
    s->band_gain[j] = float(std::pow(10.0, std::log2(centre / 1000.0) * kTiltDbPerOctave / 20.0));
  }
}

// One spectrogram column from the 1024 frames at `first` (frames at or past `available` read 0).
void image_column(Scratch* s, int64_t first, int64_t available, float* bands) {
  for (int i = 0; i < kSpectrogramWindow; ++i) {
    const int64_t f = first + i;
    const float v = f < available && f >= available - kSpectrogramWindow ? s->ring[f & (kSpectrogramWindow - 1)] : 0.0f;
    s->fft_in[i] = v * s->window[i];
  }
  if (fft_real_forward(kSpectrogramWindow, s->fft_in, s->re, s->im) != 0) {
    std::fill(bands, bands + kMapBands, 0.0f);
    return;
  }
  for (int j = 0; j < kMapBands; ++j) {
    float m = 0.0f;  // the largest squared magnitude; one root a band
    for (int k = s->band_lo[j]; k < s->band_hi[j]; ++k) m = std::max(m, s->re[k] * s->re[k] + s->im[k] * s->im[k]);
    bands[j] = std::sqrt(m) * s->band_gain[j];
  }
}

// 16-bit samples read straight from a run of file bytes (little-endian, as this machine).
typedef int16_t __attribute__((may_alias)) Pcm16;
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__);

// Largest absolute value of n 16-bit samples, as read_wav scales them. This loop is most of a
// map's work past reading the files: it is built for wider vectors too, chosen when the machine
// has them.
// (Not under the sanitizers: their runtimes are not up yet when the choice is made at load time.)
#if defined(__x86_64__) && defined(__OPTIMIZE__) && !defined(__clang__) && !defined(__SANITIZE_ADDRESS__) && \
    !defined(__SANITIZE_THREAD__)
__attribute__((target_clones("avx2", "default")))
#endif
float peak16(const Pcm16* s, int64_t n) {
  int16_t hi = 0, lo = 0;
  for (int64_t i = 0; i < n; ++i) {
    hi = s[i] > hi ? s[i] : hi;
    lo = s[i] < lo ? s[i] : lo;
  }
  return float(std::max(int(hi), -int(lo))) / 32768.0f;
}

// Streams path into target. 0; -1 when it does not read (its columns are left at 0); -3 when
// `stopped` said so between runs.
template <typename Stopped>
int scan_take(const char* path, const TakeTarget& t, Scratch* s, Stopped stopped) {
  std::fill(t.peaks, t.peaks + t.peak_count, 0.0f);
  if (t.image) std::fill(t.image, t.image + size_t(t.image_columns) * kMapBands, 0.0f);
  WavReader& rd = s->reader;
  if (wav_reader_open(&rd, path) != 0) return -1;
  const int64_t n = rd.frames;
  const bool pcm16 = rd.format == 1 && rd.bits == 16 && rd.channels == 2;
  const int P = t.peak_count, C = t.image ? t.image_columns : 0;
  const double rate = rd.rate > 1000.0 ? rd.rate : kDefaultRate;
  if (C > 0) {
    band_table(s, rate);
    s->starts.resize(size_t(C));
    for (int c = 0; c < C; ++c) {
      const int64_t centre = int64_t(std::floor((c + 0.5) / C * double(n)));
      s->starts[size_t(c)] = std::max<int64_t>(0, std::min<int64_t>(n - kSpectrogramWindow, centre - kSpectrogramWindow / 2));
    }
  }
  int col = 0;          // next peak column
  int64_t col_end = 0;  // first frame past it
  const auto column_end = [&](int c) { return (int64_t(c + 1) * n + P - 1) / P; };  // ceil((c+1)·n / P)
  if (P > 0) col_end = column_end(0);
  int image_col = 0;    // next spectrogram column
  int64_t filled = 0;   // the ring holds mono frames up to here
  int64_t base = 0;
  int result = 0;
  while (base < n) {
    if (stopped()) {
      result = -3;
      break;
    }
    // Takes as this program writes them (16-bit stereo) are worked on as stored: one pass.
    const int64_t m = pcm16 ? wav_reader_read_raw(&rd, n) : wav_reader_read(&rd, s->stereo, kRunFrames);
    if (m <= 0) {
      result = -1;
      break;
    }
    const Pcm16* pcm = reinterpret_cast<const Pcm16*>(rd.raw);
    // Peak columns over this run: each column is a contiguous stretch of frames.
    for (int64_t at = base; at < base + m && col < P;) {
      const int64_t stop = std::min(col_end, base + m);
      if (stop > at) {
        const float peak = pcm16 ? peak16(pcm + 2 * (at - base), 2 * (stop - at))
                                 : sample_peak(s->stereo + 2 * (at - base), 2 * (stop - at));
        t.peaks[col] = std::max(t.peaks[col], peak);
      }
      at = stop;
      if (at == col_end) {
        ++col;
        if (col < P) col_end = column_end(col);
      }
    }
    // Spectrogram columns whose windows end in this run.
    while (image_col < C) {
      const int64_t first = s->starts[size_t(image_col)];
      const int64_t need = first + kSpectrogramWindow;
      if (first >= base + m) break;
      for (int64_t f = std::max({filled, first, base}); f < std::min(need, base + m); ++f) {
        const int64_t i = 2 * (f - base);
        const float l = pcm16 ? float(pcm[i]) / 32768.0f : s->stereo[i];
        const float r = pcm16 ? float(pcm[i + 1]) / 32768.0f : s->stereo[i + 1];
        s->ring[f & (kSpectrogramWindow - 1)] = 0.5f * (l + r);
      }
      filled = std::max(filled, std::min(need, base + m));
      if (filled < need) break;  // the window goes on in the next run
      image_column(s, first, filled, t.image + size_t(image_col) * kMapBands);
      ++image_col;
    }
    base += m;
  }
  wav_reader_close(&rd);
  if (result != 0) {
    std::fill(t.peaks, t.peaks + t.peak_count, 0.0f);
    if (t.image) std::fill(t.image, t.image + size_t(t.image_columns) * kMapBands, 0.0f);
    return result;
  }
  // Windows that reach past the end (takes shorter than one window): zeros beyond it.
  for (; image_col < C; ++image_col) image_column(s, s->starts[size_t(image_col)], filled, t.image + size_t(image_col) * kMapBands);
  if (C > 0) {
    const float* img = t.image;
    const size_t values = size_t(C) * kMapBands;
    const float top = std::max(*std::max_element(img, img + values), kImageMinPeak);
    for (size_t i = 0; i < values; ++i) {
      const double db = 20.0 * std::log10(std::max(t.image[i] / top, kImageFloor));
      t.image[i] = float(std::clamp((db + kImageRangeDb) / kImageRangeDb, 0.0, 1.0));
    }
  }
  return 0;
}

void normalise(float* v, int n) {
  const float top = *std::max_element(v, v + n);
  if (top > kOverviewFloor)
    for (int i = 0; i < n; ++i) v[i] /= top;
}

bool take_path(const char* folder, const char* name, char* out, size_t cap) {
  return path_join(out, cap, folder, name);
}

// A reference session's source, read whole (its takes are frame ranges within it).
bool read_source(const char* path, AudioBuffer* out, const std::atomic<int32_t>* stop) {
  char msg[96];
  const int rc = read_audio_file(path, out, stop, msg, sizeof msg);
  if (rc != kReadOk && rc != kReadCancelled) log_line("library: couldn't read %s (%s)", path, msg);
  return rc == kReadOk;
}

// Peaks of frames [start, end) of a buffer, as audio_buffer_peaks gives them for a whole one.
void range_peaks(const AudioBuffer& b, int64_t start, int64_t end, float* out, int count) {
  start = std::clamp<int64_t>(start, 0, b.frames);
  end = std::clamp<int64_t>(end, start, b.frames);
  AudioBuffer view = b;
  view.samples = b.samples + start * b.channels;
  view.frames = end - start;
  audio_buffer_peaks(&view, out, count);
}

bool visit_any(const DirEntry& e, void* ctx) {
  if (e.is_dir) return true;
  auto* files = static_cast<std::vector<std::string>*>(ctx);
  files->push_back(e.name);
  return true;
}

bool visit_dirs(const DirEntry& e, void* ctx) {
  if (!e.is_dir) return true;
  static_cast<std::vector<std::string>*>(ctx)->push_back(e.name);
  return true;
}

bool ends_with(const std::string& s, const char* tail) {
  const size_t n = strlen(tail);
  return s.size() >= n && s.compare(s.size() - n, n, tail) == 0;
}

}  // namespace

// ---- Threads ----

bool job_idle(JobThread* t) {
  if (t->running.load(std::memory_order_acquire)) return false;
  if (t->thread.joinable()) t->thread.join();
  return true;
}

void job_wait(JobThread* t) {
  if (t->thread.joinable()) t->thread.join();
  t->running.store(0);
}

// ---- Cards ----

void card_key(const LibraryRow& row, char* out, size_t cap) {
  text_format(out, cap, "%s|%d|%llu", row.relative_path, row.take_count, (unsigned long long)row.folder_time);
}

int find_card(const SessionCardCache& cache, const char* key) {
  for (int i = 0; i < kCardSlots; ++i)
    if (cache.slots[i].key[0] && strcmp(cache.slots[i].key, key) == 0) return i;
  return -1;
}

void run_card_job(CardJob* job) {
  thread_set_own_name(kCardThreadName);
  float values[kCardValues] = {};
  bool ok = false;
  if (job->reference) {
    AudioBuffer b{};
    if (read_source(job->folder, &b, job->stop)) {
      audio_buffer_peaks(&b, values, kCardValues);
      ok = true;
    }
    free_audio_buffer(&b);
  } else {
    // The takes laid end to end by duration over the card's values, as the session overview.
    std::vector<TakeFile> files(kDrawerMaxTakes);
    const int count = list_take_files(job->folder, files.data(), kDrawerMaxTakes);
    double total = 0;
    for (int i = 0; i < count; ++i) total += std::max(files[size_t(i)].seconds, 0.0);
    if (count > 0 && total > 0) {
      auto scratch = make_scratch();
      double before = 0;
      ok = true;
      for (int i = 0; i < count && ok; ++i) {
        const double duration = std::max(files[size_t(i)].seconds, 0.0);
        const int first = int(kCardValues * before / total);
        before += duration;
        if (first >= kCardValues) break;
        const int end = std::min(std::max(int(kCardValues * before / total), first + 1), kCardValues);
        char path[kPathCap + kTakeFileNameBytes];
        float cols[kCardValues];
        if (!take_path(job->folder, files[size_t(i)].name, path, sizeof path)) continue;
        const TakeTarget target{cols, end - first, nullptr, 0};
        const int rc = scan_take(path, target, scratch.get(), [job] { return job->stop->load(std::memory_order_relaxed) != 0; });
        if (rc == -3) ok = false;
        for (int k = first; k < end; ++k) values[k] = std::max(values[k], cols[k - first]);
      }
      if (ok) normalise(values, kCardValues);
    }
  }
  for (float& v : values) v = std::sqrt(v);
  std::copy(values, values + kCardValues, job->slot->values);
  job->slot->state.store(ok ? kCardReady : kCardFailed, std::memory_order_release);
}

// ---- Thumbnails ----

void run_thumb_job(ThumbJob* job) {
  thread_set_own_name(kThumbThreadName);
  const auto abandoned = [job] {
    return job->stop->load(std::memory_order_relaxed) ||
           job->current_generation->load(std::memory_order_acquire) != job->generation;
  };
  AudioBuffer source{};
  if (job->reference && !abandoned() && !read_source(job->folder, &source, job->stop)) source = AudioBuffer{};
  std::unique_ptr<Scratch> scratch;
  if (!job->reference) scratch = make_scratch();
  int read = 0;
  for (int i = 0; i < job->count; ++i) {
    if (!job->wanted[i]) continue;
    if (abandoned()) break;
    float* v = job->values[i];
    std::fill(v, v + kThumbValues, 0.0f);
    if (job->reference) {
      if (source.samples) range_peaks(source, job->starts[i], job->ends[i], v, kThumbValues);
    } else {
      char path[kPathCap + kTakeFileNameBytes];
      const TakeTarget target{v, kThumbValues, nullptr, 0};
      if (take_path(job->folder, job->names[i], path, sizeof path) &&
          scan_take(path, target, scratch.get(), abandoned) == -3)
        break;
      normalise(v, kThumbValues);
    }
    job->done[i].store(1, std::memory_order_release);
    job->read.store(++read, std::memory_order_release);
  }
  free_audio_buffer(&source);
}

// ---- Map ----

void map_layout(const double* seconds, int count, MapSpan* spans) {
  double total = 0;
  for (int i = 0; i < count; ++i) total += std::max(seconds[i], 0.0);
  if (!(total > 0)) total = 1;
  double s = 0;
  for (int i = 0; i < count; ++i) {
    const double length = std::max(seconds[i], 0.0);
    MapSpan& m = spans[i];
    m.start = float(s / total);
    m.peak_first = int(std::floor(kMapPeaks * s / total));
    m.peak_end = std::min(std::max(int(std::floor(kMapPeaks * (s + length) / total)), m.peak_first + 1), kMapPeaks);
    m.image_first = int(std::floor(kMapColumns * s / total));
    m.image_end = std::min(std::max(int(std::floor(kMapColumns * (s + length) / total)), m.image_first + 1), kMapColumns);
    s += length;
  }
}

void run_map_job(MapJob* job) {
  thread_set_own_name(kMapThreadName);
  const auto abandoned = [job] {
    return job->stop->load(std::memory_order_relaxed) ||
           job->map->map_generation.load(std::memory_order_acquire) != job->generation;
  };
  std::fill(job->peaks, job->peaks + kMapPeaks, 0.0f);
  std::fill(job->image, job->image + kMapColumns * kMapBands, 0.0f);
  std::fill(job->starts, job->starts + kDrawerMaxTakes, 0.0f);
  const int first = job->take >= 0 ? job->take : 0;
  const int count = job->take >= 0 ? std::min(1, job->count - job->take) : job->count;
  std::vector<MapSpan> spans(size_t(std::max(count, 1)));
  map_layout(job->seconds + first, count, spans.data());
  auto scratch = make_scratch();
  if (fft_prepare() != 0) log_line("library: no transform for the session map's spectrogram");
  bool finished = true;
  for (int i = 0; i < count; ++i) {
    if (abandoned()) {
      finished = false;
      break;
    }
    const MapSpan& m = spans[size_t(i)];
    job->starts[i] = m.start;
    if (m.peak_first >= kMapPeaks) continue;  // its columns are used up
    char path[kPathCap + kTakeFileNameBytes];
    const TakeTarget target{job->peaks + m.peak_first, m.peak_end - m.peak_first,
                            m.image_first < kMapColumns ? job->image + size_t(m.image_first) * kMapBands : nullptr,
                            m.image_first < kMapColumns ? m.image_end - m.image_first : 0};
    const int rc = take_path(job->folder, job->names[first + i], path, sizeof path)
                       ? scan_take(path, target, scratch.get(), abandoned)
                       : -1;
    if (rc == -3) {
      finished = false;
      break;
    }
    if (rc != 0) ++job->read_failures;
  }
  if (!finished) return;
  if (job->read_failures > 0) log_line("library: map of %s - %d take%s did not read", job->session, job->read_failures,
                                       job->read_failures == 1 ? "" : "s");
  SessionMap* map = job->map;
  std::lock_guard<std::mutex> lk(map->mutex);
  // Checked again under the lock: a request made while this ran must not see this picture.
  if (map->map_generation.load(std::memory_order_acquire) != job->generation) return;
  std::copy(job->peaks, job->peaks + kMapPeaks, map->map_peaks);
  std::copy(job->image, job->image + kMapColumns * kMapBands, map->map_image);
  std::copy(job->starts, job->starts + kDrawerMaxTakes, map->starts);
  map->take_count = count;
  text_copy(map->session, job->session);
  map->take = job->take;
  map->ready = true;
  ++map->published;
}

// ---- Join ----

void run_join_job(JoinJob* job) {
  thread_set_own_name(kJoinThreadName);
  job->result.store(join_session(job->folder, job->dest, &job->cancel, &job->progress), std::memory_order_release);
}

bool joined_root(char* out, size_t cap) {
  char temp[kPathCap];
  if (!temp_dir(temp, sizeof temp)) text_copy(temp, ".");
  char path[kPathCap];
  if (text_format(path, sizeof path, "%s/tolm-zepha", temp) < sizeof path - 1 && make_private_dir(path) == 0) {
    text_copy(out, cap, path);
    return true;
  }
  // The shared name is taken (by another user, or a link): a name of our own beside it.
  if (text_format(path, sizeof path, "%s/tolm-zepha-%u", temp, unsigned(geteuid())) < sizeof path - 1 &&
      make_private_dir(path) == 0) {
    log_line("library: %s/tolm-zepha is not ours - joined files go to %s", temp, path);
    text_copy(out, cap, path);
    return true;
  }
  if (cap) out[0] = 0;
  return false;
}

uint32_t joined_file_key(const LibraryRow& row) {
  uint32_t key = kFnvOffset;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(row.relative_path); *p; ++p)
    key = (key ^ *p) * kFnvPrime;
  key = (uint32_t(row.take_count) ^ key) * kFnvPrime;
  key = (key ^ uint32_t(uint64_t(int64_t(std::floor(row.total_seconds * 1000.0))))) * kFnvPrime;
  key = (key ^ uint32_t(uint64_t(row.folder_time))) * kFnvPrime;
  return key;
}

bool joined_file_path(const char* root, const LibraryRow& row, char* out, size_t cap) {
  if (cap) out[0] = 0;
  if (!root || !root[0] || row.take_count <= 0 || !row.relative_path[0]) return false;
  char name[kRelativeNameBytes];
  text_copy(name, row.relative_path);
  for (char* c = name; *c; ++c)
    if (*c == '/') *c = ' ';
  const size_t n = text_format(out, cap, "%s/%08x/%s.wav", root, joined_file_key(row), name);
  if (n >= cap - 1) {  // a cut path would name another file
    out[0] = 0;
    return false;
  }
  return true;
}

void prune_joined_files(const char* root, const char* keep) {
  struct Joined {
    std::string path;
    int64_t bytes, mtime_ns;
  };
  std::vector<std::string> keys;
  if (!root || !root[0] || list_dir(root, visit_dirs, &keys) < 0) return;
  std::vector<Joined> joined;
  const int64_t now = int64_t(wall_seconds()) * 1000000000;
  for (const std::string& key : keys) {
    const std::string folder = std::string(root) + "/" + key;
    std::vector<std::string> files;
    list_dir(folder.c_str(), visit_any, &files);
    for (const std::string& f : files) {
      const std::string path = folder + "/" + f;
      FileIdentity id{};
      if (file_identity(path.c_str(), &id) != 0) continue;
      if (ends_with(f, ".part")) {
        if (now - id.mtime_ns > kJoinedPartAgeNs) remove_file(path.c_str());
      } else if (ends_with(f, ".wav")) {
        joined.push_back(Joined{path, id.size_bytes, id.mtime_ns});
      }
    }
  }
  std::sort(joined.begin(), joined.end(), [](const Joined& a, const Joined& b) { return a.mtime_ns > b.mtime_ns; });
  int64_t bytes = 0;
  int kept = 0;
  for (const Joined& j : joined) {
    const bool keep_this = keep && j.path == keep;
    if (keep_this || (kept < kJoinedKeepFiles && bytes + j.bytes <= kJoinedKeepBytes)) {
      bytes += j.bytes;
      ++kept;
      continue;
    }
    if (remove_file(j.path.c_str()) == 0) log_line("library: pruned joined file %s", j.path.c_str());
  }
  for (const std::string& key : keys) remove_dir((std::string(root) + "/" + key).c_str());  // only empty ones go
}
