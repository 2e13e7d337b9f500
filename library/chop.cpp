// The chop job: opening a file, the "tolm-import" worker that decodes it block by block and keeps
// only a peak per millisecond, the memoised cut of that envelope into takes, the reference session made from the
// cut, the texts and column peaks the chop view shows, and the desktop's open dialog.
// Threads: the main thread, and one worker per chop that touches only the job's result fields,
// `running` and `state` (published last, with release order).
#include "library/chop.h"

#include <algorithm>
#include <bit>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>
#include <exception>

#include "config/log.h"
#include "config/settings.h"
#include "config/status.h"
#include "kit/audio_file.h"
#include "platform/clock.h"
#include "platform/process.h"
#include "platform/system.h"
#include "platform/text.h"
#include "platform/thread.h"
#include "sessions/reference.h"

namespace {

constexpr const char* kCantReadKind = "TOLM CAN'T READ THAT KIND OF FILE";
constexpr const char* kCouldntRead = "COULDN'T READ IT";
constexpr const char* kTooShort = "TOO SHORT TO CHOP";
constexpr const char* kCouldntStart = "COULDN'T START";
constexpr const char* kPathTooLong = "THAT PATH IS TOO LONG";
constexpr const char* kNothingOver = "NOTHING OVER THE LINE";
constexpr const char* kNoDialog = "NO FILE DIALOG - DROP A FILE ON THE WINDOW";

constexpr double kReadingPassesPerSecond = 0.8;
constexpr int64_t kReserveBlocks = 3600 * 1000;  // envelope reserved up front at most: an hour
constexpr size_t kDialogOutputBytes = 1024;
constexpr size_t kDialogErrorBytes = 4096;  // enough for the warnings a toolkit prints first

// What the worker gets; it frees the record when it ends. The path is its own copy, so the worker
// reads nothing the main thread writes.
struct ChopWorker {
  ChopJob* job;
  char path[kPathCap];
};

float unit(float p) { return p > 0.0f ? (p < 1.0f ? p : 1.0f) : 0.0f; }  // NaN goes to 0

// Largest absolute sample of n samples. Works on the bit patterns: with the sign bit cleared a
// float orders like an integer, which the compiler can compare eight at a time; NaNs count as 0.
float peak_of(const float* s, int64_t n) {
  constexpr int kLanes = 8;
  constexpr uint32_t kMagnitude = 0x7FFFFFFFu;
  constexpr uint32_t kInfinity = 0x7F800000u;
  uint32_t lane[kLanes] = {};
  int64_t i = 0;
  for (; i + kLanes <= n; i += kLanes)
    for (int k = 0; k < kLanes; ++k) {
      uint32_t x = std::bit_cast<uint32_t>(s[i + k]) & kMagnitude;
      x = x > kInfinity ? 0u : x;
      lane[k] = x > lane[k] ? x : lane[k];
    }
  uint32_t m = 0;
  for (; i < n; ++i) {
    uint32_t x = std::bit_cast<uint32_t>(s[i]) & kMagnitude;
    x = x > kInfinity ? 0u : x;
    m = x > m ? x : m;
  }
  for (uint32_t x : lane) m = x > m ? x : m;
  return std::bit_cast<float>(m);
}

void fail(ChopJob* job, const char* text) { text_copy(job->message, text); }

// The envelope built while the file decodes, block by block: only one peak per millisecond is
// kept, never the decoded audio itself.
struct EnvelopeBuild {
  ChopJob* job;
  const char* path;
  int channels = 0;
  double rate = 0;
  int block_frames = 1;
  float* env = nullptr;     // grows as blocks complete
  int64_t capacity = 0;     // blocks env can hold
  int64_t blocks = 0;       // blocks completed
  int64_t frames = 0;       // frames seen
  float partial = 0.0f;     // peak of the block being filled
  int64_t filled = 0;       // frames in it
  bool bad_rate = false;
  bool out_of_memory = false;
};

bool grow_envelope(EnvelopeBuild* b, int64_t need) {
  if (need <= b->capacity) return true;
  const int64_t cap = std::max<int64_t>({need, b->capacity + b->capacity / 2, 4096});
  if (cap > INT_MAX || !memory_allows(uint64_t(cap - b->capacity) * sizeof(float))) return false;
  float* env = static_cast<float*>(realloc(b->env, size_t(cap) * sizeof(float)));
  if (!env) return false;
  b->env = env;
  b->capacity = cap;
  return true;
}

bool envelope_begin(void* user, int32_t channels, double rate, int64_t frames_expected) {
  auto* b = static_cast<EnvelopeBuild*>(user);
  b->rate = rate;  // kept for the log line even when refused
  // A damaged header can claim any rate; one that is not a plain positive integer range is no file
  // we can cut or name in a reference session.
  if (!std::isfinite(rate) || rate < 0.5 || rate >= double(INT_MAX) || channels <= 0) {
    b->bad_rate = true;
    return false;
  }
  b->channels = channels;
  b->block_frames = std::max(1, int(rate / 1000.0 + 0.5));
  // The header's length is only a hint: a damaged one can claim years. Believed up to an hour,
  // beyond that the envelope grows with the blocks that really arrive.
  if (frames_expected > 0) grow_envelope(b, std::min<int64_t>(frames_expected / b->block_frames + 1, kReserveBlocks));
  return true;
}

bool envelope_block(void* user, const float* samples, int64_t frames) {
  auto* b = static_cast<EnvelopeBuild*>(user);
  const int64_t ch = b->channels;
  for (int64_t at = 0; at < frames;) {
    const int64_t take = std::min<int64_t>(frames - at, b->block_frames - b->filled);
    b->partial = std::max(b->partial, peak_of(samples + at * ch, take * ch));
    b->filled += take;
    at += take;
    if (b->filled == b->block_frames) {
      if (!grow_envelope(b, b->blocks + 1)) {
        b->out_of_memory = true;
        return false;
      }
      b->env[b->blocks++] = b->partial;
      b->partial = 0.0f;
      b->filled = 0;
    }
  }
  b->frames += frames;
  return true;
}

void chop_worker(ChopWorker* w) {
  thread_set_own_name(kChopThreadName);
  ChopJob* job = w->job;
  EnvelopeBuild b;
  b.job = job;
  b.path = w->path;
  char msg[kChopMessageBytes] = "";
  const AudioStream stream{&b, envelope_begin, envelope_block};
  int result = stream_audio_file(w->path, stream, &job->cancel, msg, sizeof msg);
  if (result == kReadCancelled && b.out_of_memory) {
    result = kReadFailed;
    text_copy(msg, "OUT OF MEMORY");
  }
  job->read_result = result;
  text_copy(job->read_message, msg);
  int state = kChopFailed;
  if (b.bad_rate) {
    log_line("chop: %s has a sample rate of %.10g", w->path, b.rate);
    job->read_result = kReadFailed;
    fail(job, kCouldntRead);
  } else if (result == kReadCancelled) {
    log_line("chop: cancelled %s", w->path);
    fail(job, kCouldntRead);
  } else if (b.out_of_memory) {
    // No room for the envelope: the view says so as for a file too short to have one, the foot
    // gives the reason.
    log_line("chop: no memory for the envelope of %s after %lld frames", w->path, (long long)b.frames);
    fail(job, kTooShort);
  } else if (result != kReadOk || b.frames <= 0) {
    log_line("chop: couldn't read %s (%d, %s)", w->path, result, msg[0] ? msg : "no audio");
    fail(job, result == kReadUnreadable ? kCantReadKind : kCouldntRead);
  } else if (b.blocks <= 0) {
    // A last partial block is dropped, so a file shorter than one block has nothing to cut.
    log_line("chop: %s is too short to chop (%lld frames)", w->path, (long long)b.frames);
    fail(job, kTooShort);
  } else {
    job->envelope = b.env;
    b.env = nullptr;
    job->block_count = int(b.blocks);
    job->block_frames = b.block_frames;
    job->sample_rate = int(b.rate + 0.5);
    job->total_frames = b.frames;
    log_line("chop: %s - %lld frames at %d Hz, %d channels, %lld blocks", w->path, (long long)b.frames,
             job->sample_rate, b.channels, (long long)b.blocks);
    state = kChopReady;
  }
  free(b.env);
  job->state.store(state, std::memory_order_release);
  job->running.store(0, std::memory_order_release);
  delete w;
}

// Closes a take [start, end): appended when it lies clear of the previous one (and there is room),
// else merged into it.
void close_take(ChopTake* takes, int cap, int* count, int start, int end) {
  if (*count == 0 || takes[*count - 1].end < start) {
    if (*count < cap && start < end) takes[(*count)++] = ChopTake{start, end};
  } else if (end > takes[*count - 1].end) {
    takes[*count - 1].end = end;
  }
}

bool same_cut(const ChopCut& a, const ChopCut& b) {
  return a.threshold == b.threshold && a.exit_level == b.exit_level && a.gain == b.gain && a.hold_ms == b.hold_ms &&
         a.pre_roll_ms == b.pre_roll_ms && a.post_roll_ms == b.post_roll_ms;
}

// Runs one dialog program. 0 with the chosen path, 1 when the user cancelled, 2 when the path does
// not fit, -1 when this program cannot show a dialog here.
int run_dialog(const char* const argv[], char* path, size_t cap, std::atomic<int>* child) {
  char out[kDialogOutputBytes];
  char err[kDialogErrorBytes];
  ProcessResult pr{};
  const int rc = run_process(argv, out, sizeof out, &pr, child, err, sizeof err);
  if (rc == kProcessNotFound) return -1;
  if (rc != kProcessOk) {
    log_line("chop: %s could not be run", argv[0]);
    return -1;
  }
  const DialogEnd end = dialog_end(pr, err);
  if (end == DialogEnd::kCancelled) return 1;  // cancelled, closed, or stopped at quit
  if (end == DialogEnd::kNotShown) {
    log_line("chop: %s could not show itself (status %d, signal %d)", argv[0], pr.exit_code, pr.signal);
    return -1;
  }
  if (pr.output_bytes >= sizeof out) return 2;  // more than any path we could keep
  size_t n = strlen(out);
  while (n > 0 && (out[n - 1] == '\n' || out[n - 1] == '\r')) out[--n] = 0;  // the name ends with a line break
  if (n == 0) return 1;
  if (n >= kPathCap || n >= cap) return 2;
  text_copy(path, cap, out);
  return 0;
}

}  // namespace

ChopJob::~ChopJob() { cancel_chop(this); }

// ---- Opening and closing ----

int open_for_chop(ChopJob* job, Settings* settings, const char* path) {
  if (!path || !path[0]) return -1;
  if (!is_audio_file(path)) {
    status_flash(kCantReadKind);
    return -1;
  }
  // A cut path would name another file, in the chop and in the session made from it.
  if (strlen(path) >= kPathCap) {
    status_flash(kPathTooLong);
    return -1;
  }
  cancel_chop(job);
  ChopWorker* w = new (std::nothrow) ChopWorker;
  if (!w) return -1;
  w->job = job;
  text_copy(w->path, path);
  text_copy(job->source_path, path);
  job->message[0] = 0;
  job->read_message[0] = 0;
  job->read_result = 0;
  job->failure_shown = 0;
  job->cancel.store(0);
  job->state.store(kChopReading);
  job->running.store(1);
  job->mode = 1;
  job->opened_ms = tick_ms();
  if (settings) settings->hud_mode = 0;
  log_line("chop: reading %s", path);
  try {
    job->thread = std::thread(chop_worker, w);
  } catch (const std::exception& e) {  // no thread (system_error) or no memory for its state
    log_line("chop: couldn't start the import thread (%s)", e.what());
    job->running.store(0);
    text_copy(job->message, kCouldntStart);
    job->state.store(kChopFailed);
    delete w;
  }
  return 0;
}

void cancel_chop(ChopJob* job) {
  if (job->running.load(std::memory_order_acquire)) job->cancel.store(1);
  if (job->thread.joinable()) job->thread.join();
  job->failure_shown = 1;  // a read stopped here is nobody's news
  free(job->envelope);
  job->envelope = nullptr;
  job->block_count = 0;
  job->take_count = 0;
  job->kept_seconds = 0;
  job->memo_valid = 0;
  job->memo_envelope = nullptr;
  job->column_width = 0;
  job->column_envelope = nullptr;
}

void leave_chop(ChopJob* job) {
  cancel_chop(job);
  job->mode = 0;
}

void chop_poll(ChopJob* job) {
  if (!job->mode) return;
  if (job->thread.joinable() && !job->running.load(std::memory_order_acquire)) job->thread.join();
  if (chop_state(job) == kChopFailed && !job->failure_shown) {
    job->failure_shown = 1;
    status_flash(job->read_message[0] ? job->read_message : job->message);
  }
}

ChopState chop_state(const ChopJob* job) { return ChopState(job->state.load(std::memory_order_acquire)); }

// ---- The cut ----

ChopCut chop_cut_from_positions(const TriggerPositions& p) {
  ChopCut c{};
  c.threshold = float(std::pow(10.0, (double(p.threshold) * 80.0 - 80.0) / 20.0));
  c.exit_level = c.threshold * float(std::pow(10.0, (double(p.exit) * 48.0 - 24.0) / 20.0));
  c.gain = p.gain * 2.0f;
  const double hold = unit(p.hold), pre = unit(p.pre_roll), post = unit(p.post_roll);
  c.hold_ms = int(hold * hold * hold * 1000.0);
  c.pre_roll_ms = int(pre * pre * 2.0 * 1000.0);
  c.post_roll_ms = int(post * post * 4.0 * 1000.0);
  return c;
}

int cut_envelope(const float* envelope, int n, const ChopCut& cut, ChopTake* takes, int cap) {
  int count = 0;
  int run = 0;       // blocks in a row at or over the threshold line
  int run_start = 0;
  int start = 0;     // take start, pre-roll included (may lie before the file)
  int last_loud = 0; // last block at or over the exit line
  bool open = false;
  for (int j = 0; j < n; ++j) {
    const float level = cut.gain * envelope[j];
    if (!open) {
      if (cut.threshold <= level) {
        if (run == 0) run_start = j;
        if (++run > cut.hold_ms) {
          open = true;
          start = run_start - cut.pre_roll_ms;
          last_loud = j;
        }
      } else {
        run = 0;
      }
    } else if (cut.exit_level <= level) {
      last_loud = j;
    } else if (j - last_loud > cut.post_roll_ms) {
      // The last loud block belongs to the take; the post-roll follows it.
      close_take(takes, cap, &count, std::max(0, start), std::min(n, last_loud + 1 + cut.post_roll_ms));
      open = false;
      run = 0;
    }
  }
  if (open) close_take(takes, cap, &count, std::max(0, start), std::min(n, last_loud + 1 + cut.post_roll_ms));
  return count;
}

void cut_takes(ChopJob* job, const TriggerPositions& positions) {
  if (chop_state(job) != kChopReady || !job->envelope) return;
  const ChopCut cut = chop_cut_from_positions(positions);
  if (job->memo_valid && job->memo_envelope == job->envelope && same_cut(job->memo_cut, cut)) return;
  job->memo_valid = 1;
  job->memo_envelope = job->envelope;
  job->memo_cut = cut;
  job->take_count = cut_envelope(job->envelope, job->block_count, cut, job->takes, kChopMaxTakes);
  // Blocks are round(rate / 1000) frames, a little off a millisecond at 44.1 kHz: count frames.
  int64_t kept_blocks = 0;
  for (int i = 0; i < job->take_count; ++i) kept_blocks += job->takes[i].end - job->takes[i].start;
  job->kept_seconds = job->sample_rate > 0 ? double(kept_blocks) * job->block_frames / job->sample_rate : 0.0;
  ++job->cut_serial;
}

int make_session(ChopJob* job, Recorder* recorder, const TriggerPositions& positions, char* name, size_t name_cap) {
  if (name && name_cap) name[0] = 0;
  if (chop_state(job) != kChopReady || !job->envelope) return -1;
  cut_takes(job, positions);
  const int count = job->take_count;
  if (count == 0) {
    status_flash(kNothingOver);
    return -1;
  }
  int64_t starts[kChopMaxTakes], ends[kChopMaxTakes];
  for (int i = 0; i < count; ++i) {
    starts[i] = int64_t(job->takes[i].start) * job->block_frames;
    ends[i] = std::min(int64_t(job->takes[i].end) * job->block_frames, job->total_frames);
  }
  char relative[kRelativeNameBytes];
  if (create_reference_session(recorder, job->source_path, job->sample_rate, job->total_frames, starts, ends, count,
                               relative, sizeof relative) != 0) {
    status_flash("COULDN'T MAKE THE SESSION");
    return -1;
  }
  leave_chop(job);
  if (name && name_cap) text_copy(name, name_cap, relative);
  status_message("SESSION MADE - %d TAKES", count);
  return 0;
}

// ---- What the view shows ----

const char* chop_file_name(const char* path) {
  const char* name = path;
  for (const char* p = path; *p; ++p)
    if (*p == '/' || *p == '\\') name = p + 1;
  return name;
}

void format_chop_length(double seconds, char* out, size_t cap) {
  if (!(seconds > 0.0)) {
    text_copy(out, cap, "-");
    return;
  }
  if (seconds < 60.0) {
    text_format(out, cap, "%.1FS", seconds);
    return;
  }
  const long long s = llround(seconds);
  if (seconds < 3600.0)
    text_format(out, cap, "%lldM%02lldS", s / 60, s % 60);
  else
    text_format(out, cap, "%lldH%02lldM", s / 3600, s % 3600 / 60);
}

void chop_header_text(const ChopJob* job, char* out, size_t cap) {
  char kept[32], total[32];
  format_chop_length(job->kept_seconds, kept, sizeof kept);
  format_chop_length(job->sample_rate > 0 ? double(job->total_frames) / job->sample_rate : 0.0, total, sizeof total);
  text_format(out, cap, "%d TAKES   KEPT %s OF %s", job->take_count, kept, total);
}

bool chop_make_button(const ChopJob* job, char* out, size_t cap) {
  const ChopState state = chop_state(job);
  if (state == kChopReading) {
    text_copy(out, cap, "READING");
    return false;
  }
  if (state == kChopReady && job->take_count > 0) {
    text_format(out, cap, "MAKE SESSION - %d TAKES", job->take_count);
    return true;
  }
  text_copy(out, cap, kNothingOver);
  return false;
}

float chop_reading_phase(const ChopJob* job, uint32_t now_ms) {
  const double seconds = double(uint32_t(now_ms - job->opened_ms)) / 1000.0;  // across the tick's wrap
  const double passes = seconds * kReadingPassesPerSecond;
  return float(passes - std::floor(passes));
}

const float* chop_columns(ChopJob* job, int width) {
  if (chop_state(job) != kChopReady || !job->envelope || job->block_count <= 0) return nullptr;
  const int w = std::clamp(width, 1, kChopMaxColumns);
  if (job->column_width == w && job->column_envelope == job->envelope) return job->columns;
  const int64_t n = job->block_count;
  for (int k = 0; k < w; ++k) {
    const int64_t a = k * n / w;
    const int64_t b = std::max((k + 1) * n / w, a + 1);  // at least one block
    float m = 0.0f;
    for (int64_t i = a; i < b; ++i) m = job->envelope[i] > m ? job->envelope[i] : m;
    job->columns[k] = m;
  }
  job->column_width = w;
  job->column_envelope = job->envelope;
  return job->columns;
}

// ---- The open dialog ----

int choose_file_to_chop(char* path, size_t cap, std::atomic<int>* child) {
  static const char* const kZenity[] = {"zenity",
                                        "--file-selection",
                                        "--title=Open a file to chop",
                                        "--file-filter=Audio | *.wav *.mp3 *.m4a *.aac *.flac *.wma *.ogg *.opus",
                                        "--file-filter=Everything | *",
                                        nullptr};
  char start_dir[kPathCap];
  if (!home_dir(start_dir, sizeof start_dir)) text_copy(start_dir, ".");
  const char* const kdialog[] = {"kdialog",
                                 "--title",
                                 "Open a file to chop",
                                 "--getopenfilename",
                                 start_dir,
                                 "*.wav *.mp3 *.m4a *.aac *.flac *.wma *.ogg *.opus|Audio\n*|Everything",
                                 nullptr};
  const char* const* const dialogs[] = {kZenity, kdialog};
  if (cap > 0) path[0] = 0;
  for (const char* const* argv : dialogs) {
    const int chosen = run_dialog(argv, path, cap, child);
    if (chosen >= 0) return chosen;  // else the next program may do
  }
  log_line("chop: no open dialog (zenity or kdialog) could be shown");
  return -1;
}

int open_chosen_file(ChopJob* job, Settings* settings, int chosen, const char* path) {
  switch (chosen) {
    case 0: return open_for_chop(job, settings, path) == 0 ? 0 : -1;
    case 1: return 1;
    case 2: status_flash(kPathTooLong); return -1;
    default: status_flash(kNoDialog); return -1;
  }
}

int open_file_dialog(ChopJob* job, Settings* settings) {
  char path[kDialogOutputBytes];
  const int chosen = choose_file_to_chop(path, sizeof path, nullptr);
  return open_chosen_file(job, settings, chosen, path);
}
