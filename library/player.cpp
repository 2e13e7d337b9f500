// The player: the loader thread and its queue, the per-frame update that installs what it read,
// the pane's operations and texts, and the library use (silent landing, play and toggle).
// Threads: the main thread; the loader thread ("tolm-loader") in loader_main only.
#include "library/player.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <exception>

#include "config/log.h"
#include "config/status.h"
#include "kit/audio_file.h"
#include "platform/text.h"
#include "platform/thread.h"

namespace {

constexpr const char* kLoaderThreadName = "tolm-loader";
constexpr const char* kReadingTake = "READING THE TAKE...";
constexpr const char* kLoadingFile = "LOADING";
constexpr const char* kNothingPlaying = "NOTHING PLAYING";
constexpr const char* kCannotSound = "INPUT-ONLY DEVICE - NOTHING CAN PLAY";
constexpr const char* kReadFailedText = "READ FAILED";
constexpr size_t kReadMessageBytes = 96;

bool fits(const char* path) { return path && path[0] && strlen(path) < size_t(kLoaderPathBytes); }

// The pane's waveform: frame i goes to column i × count / frames, the largest absolute sample over
// its channels, normalised to the largest column. Columns are contiguous runs of frames.
void waveform_peaks(const AudioBuffer& b, float* out, int count) {
  std::fill(out, out + count, 0.0f);
  if (!b.samples || b.frames <= 0 || b.channels <= 0) return;
  const int64_t n = b.frames;
  float top = 0.0f;
  for (int c = 0; c < count; ++c) {
    const int64_t first = (int64_t(c) * n + count - 1) / count;  // ceil(c·n / count)
    const int64_t end = (int64_t(c + 1) * n + count - 1) / count;
    if (end > first) out[c] = sample_peak(b.samples + first * b.channels, (end - first) * b.channels);
    top = std::max(top, out[c]);
  }
  if (top > 0.0f)
    for (int c = 0; c < count; ++c) out[c] /= top;
}

void start_result(const LoadRequest& req, LoadResult* res) {
  *res = LoadResult{};
  res->kind = req.kind;
  text_copy(res->path, sizeof res->path, req.path);
}

// A whole read: information, or a file to play that cannot be played while it is read.
void read_whole(Player* p, const LoadRequest& req, LoadResult* res) {
  start_result(req, res);
  char msg[kReadMessageBytes] = "";
  const char* source = req.alt[0] ? req.alt : req.path;
  const int rc = read_audio_file(source, &res->buffer, &p->read_cancel, msg, sizeof msg);
  if (rc != kReadOk) {
    if (rc != kReadCancelled) log_line("player: couldn't read %s (%s)", source, msg[0] ? msg : "no message");
    return;
  }
  res->ok = 1;
  audio_buffer_peaks(&res->buffer, res->peaks, kItemPeaks);
  res->seconds = audio_buffer_seconds(&res->buffer);
  if (req.kind == kLoadPlay) waveform_peaks(res->buffer, res->wave, kWavePeaks);
  else free_audio_buffer(&res->buffer);
}

// Appends a result. A play result always waits for room: dropping it would leave its file
// loading for good. false (nothing appended) when the player is stopping, or when an information
// result found no room (counted as answered). Loader thread.
bool post_result(Player* p, LoadResult* res) {
  std::unique_lock<std::mutex> lk(p->lock);
  if (res->kind == kLoadPlay)
    p->room.wait(lk, [p] { return p->stop.load() || p->result_count < kLoaderMaxResults; });
  if (p->stop.load()) return false;
  if (p->result_count >= kLoaderMaxResults) {
    ++p->info_dropped;
    return false;
  }
  p->results[p->result_count++] = *res;  // a buffer's samples go with the copy
  res->buffer = AudioBuffer{};
  return true;
}

// A WAV to play is read into a buffer of the length its header announces, which is handed over
// after the first run and plays while the rest is read: a long file sounds at once.
struct Fill {
  Player* p;
  const LoadRequest* req;
  LoadResult* early;
  PlaybackBuffer* buffer = nullptr;
  int channels = 0;
  int64_t written = 0;
  float wave[kWavePeaks] = {};
  bool posted = false;   // the buffer is the main thread's now
  bool whole = false;    // the length is not known: read it whole instead
};

bool fill_begin(void* user, int32_t channels, double rate, int64_t frames_expected) {
  auto* f = static_cast<Fill*>(user);
  if (f->posted) return false;
  if (f->buffer) {  // a second decoder took over before any frame came: start again
    free_audio_buffer(&f->buffer->audio);
    delete f->buffer;
    f->buffer = nullptr;
  }
  if (frames_expected <= 0 || !(rate > 0.0) || channels <= 0) {
    f->whole = true;
    return false;
  }
  f->buffer = playback_buffer_new(channels, rate, frames_expected);
  if (!f->buffer) {
    f->whole = true;
    return false;
  }
  f->buffer->load_id = ++f->p->next_load_id;
  f->channels = channels;
  return true;
}

bool fill_block(void* user, const float* samples, int64_t frames) {
  auto* f = static_cast<Fill*>(user);
  PlaybackBuffer* b = f->buffer;
  if (!b || f->p->stop.load(std::memory_order_relaxed) || b->abandoned.load(std::memory_order_acquire)) return false;
  const int64_t room = b->audio.frames - f->written;
  const int64_t n = std::min(frames, room);
  const int64_t total = b->audio.frames;
  float* dst = b->audio.samples + f->written * f->channels;
  std::copy(samples, samples + n * f->channels, dst);
  // The waveform's columns, as waveform_peaks makes them from the whole buffer.
  for (int64_t at = f->written; at < f->written + n;) {
    const int64_t c = at * kWavePeaks / total;
    const int64_t column_end = std::min(((c + 1) * total + kWavePeaks - 1) / kWavePeaks, f->written + n);
    const float peak = sample_peak(b->audio.samples + at * f->channels, (column_end - at) * f->channels);
    f->wave[c] = std::max(f->wave[c], peak);
    at = column_end;
  }
  f->written += n;
  b->ready.store(f->written, std::memory_order_release);
  if (!f->posted) {
    start_result(*f->req, f->early);
    f->early->ok = 1;
    f->early->stage = kStageFilling;
    f->early->filling = b;
    f->early->load_id = b->load_id;
    f->early->seconds = double(total) / b->audio.sample_rate;
    if (!post_result(f->p, f->early)) return false;
    f->posted = true;
  }
  if (frames > room) {
    log_line("player: %s holds more than its header said - the rest is not played", f->req->path);
    return false;
  }
  return true;
}

void read_filling(Player* p, const LoadRequest& req, LoadResult* res, LoadResult* early) {
  Fill f{p, &req, early};
  char msg[kReadMessageBytes] = "";
  const char* source = req.alt[0] ? req.alt : req.path;
  const AudioStream stream{&f, fill_begin, fill_block};
  const int rc = stream_audio_file(source, stream, &p->read_cancel, msg, sizeof msg);
  PlaybackBuffer* b = f.buffer;
  if (!f.posted) {  // never handed over: nothing was read, or the length was not known
    if (b) {
      free_audio_buffer(&b->audio);
      delete b;
    }
    if (f.whole && !p->stop.load()) {
      read_whole(p, req, res);
    } else {
      start_result(req, res);
      if (rc != kReadCancelled) log_line("player: couldn't read %s (%s)", source, msg[0] ? msg : "no audio");
    }
    post_result(p, res);
    return;
  }
  start_result(req, res);
  res->stage = kStageFilled;
  res->load_id = b->load_id;
  res->ok = f.written > 0;
  if (rc != kReadOk && rc != kReadCancelled) log_line("player: %s read only in part (%s)", source, msg);
  b->ready.store(f.written, std::memory_order_release);
  b->complete.store(1, std::memory_order_release);
  if (!b->abandoned.load(std::memory_order_acquire)) {
    AudioBuffer view = b->audio;
    view.frames = f.written;
    audio_buffer_peaks(&view, res->peaks, kItemPeaks);
    res->seconds = audio_buffer_seconds(&view);
    const float top = *std::max_element(f.wave, f.wave + kWavePeaks);
    for (int c = 0; c < kWavePeaks; ++c) res->wave[c] = top > 0.0f ? f.wave[c] / top : 0.0f;
  }
  b->writing.store(0, std::memory_order_release);  // from here on the main thread may free it
  post_result(p, res);
}

bool is_wav_path(const char* path) {
  const size_t n = strlen(path);
  return n >= 4 && text_equal_nocase(path + n - 4, ".wav");
}

void loader_main(Player* p) {
  thread_set_own_name(kLoaderThreadName);
  auto req = std::make_unique<LoadRequest>();
  auto res = std::make_unique<LoadResult>();
  auto early = std::make_unique<LoadResult>();
  std::unique_lock<std::mutex> lk(p->lock);
  for (;;) {
    p->wake.wait_for(lk, std::chrono::milliseconds(kLoaderWaitMs),
                     [p] { return p->stop.load() || p->ring_count > 0; });
    if (p->stop.load()) break;
    if (p->ring_count == 0) continue;
    *req = p->ring[p->ring_first];
    p->ring_first = (p->ring_first + 1) % kLoaderRingSize;
    --p->ring_count;
    lk.unlock();
    if (req->kind == kLoadPlay && is_wav_path(req->alt[0] ? req->alt : req->path)) {
      read_filling(p, *req, res.get(), early.get());
    } else {
      read_whole(p, *req, res.get());
      post_result(p, res.get());
    }
    free_audio_buffer(&res->buffer);  // one that could not be handed over
    lk.lock();
  }
}

// The current file's region (or none) into the engine.
void apply_region(Player* p) {
  double start = 0, end = 1;
  if (player_region(p, p->current_path, &start, &end)) playback_set_region(&p->engine, start, end, true);
  else playback_set_region(&p->engine, 0.0, 1.0, false);
}

PlayerRegion* find_region(Player* p, const char* path) {
  for (PlayerRegion& r : p->regions)
    if (r.path == path) return &r;
  return nullptr;
}

void release_hold(Player* p) {
  p->hold = false;
  playback_set_gain(&p->engine, p->gain);
}

// Lets the analysers go of the installed buffer (the tempo analysis borrows its samples).
void let_go_of_buffer(Player* p) { analyser_release(&p->tempo); }

void install_result(Player* p, LoadResult* r) {
  let_go_of_buffer(p);
  p->decoding = false;
  std::copy(r->wave, r->wave + kWavePeaks, p->wave);
  const double seconds = r->seconds;
  const double z = p->zoom_seconds > 0.0 && seconds > 0.0 ? p->zoom_seconds / seconds : kDefaultZoom;
  p->zoom = std::clamp(z, kMinZoom, 1.0);
  p->follow = true;
  const bool silent = p->hold;
  playback_install(&p->engine, &r->buffer, !silent);
  playback_set_repeat(&p->engine, p->loop);
  double start = 0, end = 1;
  if (player_region(p, p->current_path, &start, &end)) {
    playback_set_region(&p->engine, start, end, true);
    playback_seek(&p->engine, start);
  } else {
    playback_set_region(&p->engine, 0.0, 1.0, false);
  }
  if (silent) release_hold(p);  // the file waits at its start, the gain back in place
  p->loading = false;
  if (const AudioBuffer* b = playback_buffer(&p->engine)) analyser_start(&p->tempo, *b);
}

// A buffer still being read: it plays at once; its waveform and tempo come when it is complete.
void install_filling(Player* p, LoadResult* r) {
  let_go_of_buffer(p);
  std::fill(p->wave, p->wave + kWavePeaks, 0.0f);
  const double z = p->zoom_seconds > 0.0 && r->seconds > 0.0 ? p->zoom_seconds / r->seconds : kDefaultZoom;
  p->zoom = std::clamp(z, kMinZoom, 1.0);
  p->follow = true;
  const bool silent = p->hold;
  playback_install_buffer(&p->engine, r->filling, !silent);
  playback_set_repeat(&p->engine, p->loop);
  double start = 0, end = 1;
  if (player_region(p, p->current_path, &start, &end)) {
    playback_set_region(&p->engine, start, end, true);
    playback_seek(&p->engine, start);
  } else {
    playback_set_region(&p->engine, 0.0, 1.0, false);
  }
  if (silent) release_hold(p);
  p->loading = false;
  p->decoding = true;
  p->decoding_id = r->load_id;
}

void finish_filling(Player* p, LoadResult* r) {
  p->decoding = false;
  if (!r->ok) {  // nothing could be read after all
    status_flash(kReadFailedText);
    let_go_of_buffer(p);
    playback_unload(&p->engine);
    p->current_path[0] = 0;
    return;
  }
  std::copy(r->wave, r->wave + kWavePeaks, p->wave);
  if (const AudioBuffer* b = playback_buffer(&p->engine)) {
    AudioBuffer whole = *b;
    whole.frames = playback_frames(&p->engine);
    analyser_start(&p->tempo, whole);
  }
}

void follow_view(Player* p) {
  const double head = player_playhead(p);
  if (playback_is_playing(&p->engine) && (head < p->view_start || head > p->view_start + p->zoom)) p->follow = true;
  if (p->follow) p->view_start = head - kFollowLead * p->zoom;
  p->view_start = std::clamp(p->view_start, 0.0, std::max(0.0, 1.0 - p->zoom));
}

double clamp_unit(double x) { return std::isnan(x) ? 0.0 : std::clamp(x, 0.0, 1.0); }

}  // namespace

Player::~Player() { player_destroy(this); }

int player_start(Player* p, float gain, double zoom_seconds) {
  p->gain = std::clamp(std::isnan(gain) ? 1.0f : gain, 0.0f, 1.0f);
  playback_set_gain(&p->engine, p->gain);
  p->zoom_seconds = std::isfinite(zoom_seconds) && zoom_seconds > 0 ? zoom_seconds : 0.0;
  p->regions.reserve(kRegionListStart);
  try {
    p->ring = std::make_unique<LoadRequest[]>(kLoaderRingSize);
    p->results = std::make_unique<LoadResult[]>(kLoaderMaxResults);
    p->taken = std::make_unique<LoadResult[]>(kLoaderMaxResults);
    p->spectrum = std::make_unique<SpectrumAnalyser>();
  } catch (const std::exception&) {
    log_line("player: no memory for the loader");
    return -1;
  }
  spectrum_reset(p->spectrum.get());
  p->stop.store(0);
  p->read_cancel.store(0);
  try {
    p->loader = std::thread(loader_main, p);
  } catch (const std::exception& e) {
    log_line("player: couldn't start the loader thread (%s)", e.what());
    return -1;
  }
  p->started = true;
  return 0;
}

void player_attach_output(Player* p, bool on) {
  if (on == p->attached) return;
  playback_attach(on ? &p->engine : nullptr);
  p->attached = on;
}

void player_destroy(Player* p) {
  if (p->started) {
    {
      std::lock_guard<std::mutex> lk(p->lock);
      p->stop.store(1);
      p->read_cancel.store(1);
    }
    p->wake.notify_all();
    p->room.notify_all();
    p->loader.join();  // a decode gives up at its next block; nothing is freed under the reader
    p->started = false;
  }
  for (int i = 0; i < p->result_count; ++i) {
    free_audio_buffer(&p->results[i].buffer);
    if (p->results[i].stage == kStageFilling) playback_discard(&p->engine, p->results[i].filling);
  }
  p->result_count = 0;
  p->decoding = false;
  p->ring_count = 0;
  let_go_of_buffer(p);
  if (p->attached) player_attach_output(p, false);
  playback_destroy(&p->engine);
  p->current_path[0] = 0;
  p->loading = p->hold = false;
}

int loader_request(Player* p, int kind, const char* path, const char* alt, bool urgent) {
  if (!p->started || (kind != kLoadInfo && kind != kLoadPlay)) return kLoaderRefused;
  // A cut path would read another file.
  if (!fits(path) || (alt && alt[0] && !fits(alt))) {
    log_line("player: path too long or empty - not read (%zu bytes)", path ? strlen(path) : size_t(0));
    return kLoaderRefused;
  }
  {
    std::lock_guard<std::mutex> lk(p->lock);
    LoadRequest* ring = p->ring.get();
    if (kind == kLoadPlay) {  // older play requests: their files are no longer wanted
      int kept = 0;
      for (int i = 0; i < p->ring_count; ++i) {
        const LoadRequest& r = ring[(p->ring_first + i) % kLoaderRingSize];
        if (r.kind == kLoadPlay) continue;
        if (kept != i) ring[(p->ring_first + kept) % kLoaderRingSize] = r;
        ++kept;
      }
      p->ring_count = kept;
    }
    if (p->ring_count == kLoaderRingSize) {
      if (!urgent) return kLoaderFull;
      // Room for a click: the newest information request waits no more (it is counted as answered).
      int back = p->ring_count - 1;
      while (back >= 0 && ring[(p->ring_first + back) % kLoaderRingSize].kind != kLoadInfo) --back;
      if (back < 0) return kLoaderFull;
      for (int i = back; i + 1 < p->ring_count; ++i)
        ring[(p->ring_first + i) % kLoaderRingSize] = ring[(p->ring_first + i + 1) % kLoaderRingSize];
      --p->ring_count;
      --p->info_requested;
    }
    const int slot = urgent ? (p->ring_first + kLoaderRingSize - 1) % kLoaderRingSize
                            : (p->ring_first + p->ring_count) % kLoaderRingSize;
    LoadRequest& r = ring[slot];
    r.kind = kind;
    text_copy(r.path, sizeof r.path, path);
    text_copy(r.alt, sizeof r.alt, alt ? alt : "");
    if (urgent) p->ring_first = slot;
    ++p->ring_count;
  }
  p->wake.notify_one();
  if (kind == kLoadInfo) ++p->info_requested;
  return kLoaderQueued;
}

void player_update(Player* p) {
  int taken = 0;
  if (p->started) {
    std::lock_guard<std::mutex> lk(p->lock);
    taken = p->result_count;
    for (int i = 0; i < taken; ++i) p->taken[i] = p->results[i];
    p->result_count = 0;
    p->info_answered += p->info_dropped;
    p->info_dropped = 0;
  }
  if (taken > 0) p->room.notify_all();
  for (int i = 0; i < taken; ++i) {
    LoadResult* r = &p->taken[i];
    if (r->kind == kLoadInfo) {
      ++p->info_answered;
      if (p->info_sink.fn) p->info_sink.fn(p->info_sink.ctx, r->path, r->ok != 0, r->peaks, r->seconds);
      continue;
    }
    if (r->stage == kStageFilling) {
      if (p->loading && strcmp(r->path, p->current_path) == 0) install_filling(p, r);
      else playback_discard(&p->engine, r->filling);
      continue;
    }
    if (r->stage == kStageFilled) {
      if (p->decoding && r->load_id == p->decoding_id) finish_filling(p, r);
      continue;
    }
    const bool current = p->loading && strcmp(r->path, p->current_path) == 0;
    if (current && r->ok) {
      install_result(p, r);
    } else if (current) {
      status_flash(kReadFailedText);
      p->current_path[0] = 0;
      p->loading = false;
      if (p->hold) release_hold(p);
    }
    free_audio_buffer(&r->buffer);  // empty after an install
  }
  playback_collect(&p->engine);
  if (p->tempo_enabled && p->tempo.running) analyser_step(&p->tempo, kTempoHopsPerFrame);
  follow_view(p);
}

void player_feed_spectrum(Player* p, uint32_t now_ms) {
  const AudioBuffer* b = playback_buffer(&p->engine);
  if (!b || !p->spectrum || uint32_t(now_ms - p->last_spectrum_ms) < kSpectrumFeedMs) return;
  p->last_spectrum_ms = now_ms;
  // Never past what is read: the rest of a buffer still being read is its reader's.
  const int64_t at = std::min(p->engine.published_position.load(std::memory_order_relaxed), playback_ready_frames(&p->engine));
  AudioBuffer read = *b;
  read.frames = std::min(read.frames, playback_ready_frames(&p->engine));
  spectrum_feed_before(p->spectrum.get(), read, at);
}

// ---- Pane operations ----

bool player_open(Player* p, const char* path, bool play) {
  if (!fits(path)) return false;
  if (player_is_current(p, path)) {
    if (play && p->hold) release_hold(p);
    return true;
  }
  playback_stop(&p->engine);
  // A file still being read is not wanted any more: its reader stops, so this one is read at once.
  if (p->decoding && p->engine.loaded) p->engine.loaded->abandoned.store(1, std::memory_order_release);
  p->decoding = false;
  if (loader_request(p, kLoadPlay, path, nullptr, true) != kLoaderQueued) {
    status_flash(kReadFailedText);
    return false;
  }
  text_copy(p->current_path, sizeof p->current_path, path);
  p->loading = true;
  p->hold = !play;
  playback_set_gain(&p->engine, p->hold ? 0.0f : p->gain);
  return true;
}

void player_toggle(Player* p) {
  if (!player_has_audio(p) || p->loading) return;
  if (playback_is_playing(&p->engine)) playback_pause(&p->engine);
  else playback_play(&p->engine);
}

void player_toggle_item(Player* p, const char* path) {
  if (player_is_current(p, path)) player_toggle(p);
  else player_open(p, path, true);
}

void player_stop(Player* p) { playback_stop(&p->engine); }

void player_stop_hook(void* ctx) { player_stop(static_cast<Player*>(ctx)); }

void player_skip(Player* p, double seconds) {
  const double duration = playback_seconds(&p->engine);
  if (!player_has_audio(p) || !(duration > 0.0)) return;
  playback_seek(&p->engine, clamp_unit(player_playhead(p) + seconds / duration));
}

void player_seek(Player* p, double fraction) {
  if (!player_has_audio(p)) return;
  playback_seek(&p->engine, clamp_unit(fraction));
}

void player_seek_in_view(Player* p, double x_in_view) {
  player_seek(p, p->view_start + clamp_unit(x_in_view) * p->zoom);
}

void player_loop_in(Player* p, bool to_edge) {
  if (!p->current_path[0]) return;
  double start = 0, end = 1;
  player_region(p, p->current_path, &start, &end);
  player_set_region(p, p->current_path, to_edge ? 0.0 : player_playhead(p), end);
}

void player_loop_out(Player* p, bool to_edge) {
  if (!p->current_path[0]) return;
  double start = 0, end = 1;
  player_region(p, p->current_path, &start, &end);
  player_set_region(p, p->current_path, start, to_edge ? 1.0 : player_playhead(p));
}

void player_move_marker(Player* p, bool end_marker, double fraction) {
  if (!p->current_path[0]) return;
  double start = 0, end = 1;
  player_region(p, p->current_path, &start, &end);
  if (end_marker) end = fraction;
  else start = fraction;
  player_set_region(p, p->current_path, start, end);
}

void player_reset_marker(Player* p, bool end_marker) { player_move_marker(p, end_marker, end_marker ? 1.0 : 0.0); }

void player_toggle_loop(Player* p) {
  p->loop = !p->loop;
  playback_set_repeat(&p->engine, p->loop);
  apply_region(p);
  double start = 0, end = 1;
  if (p->loop && player_has_audio(p) && player_region(p, p->current_path, &start, &end)) {
    const double head = player_playhead(p);
    if (head < start || head > end) playback_seek(&p->engine, start);
  }
}

void player_set_gain(Player* p, float gain) {
  p->gain = std::clamp(std::isnan(gain) ? 0.0f : gain, 0.0f, 1.0f);
  if (!p->hold) playback_set_gain(&p->engine, p->gain);
}

void player_wheel_gain(Player* p, float notches) { player_set_gain(p, p->gain + notches * kGainWheelStep); }

void player_set_view(Player* p, double start, double end) {
  start = clamp_unit(start);
  p->zoom = std::clamp(clamp_unit(end) - start, kMinZoom, 1.0);
  p->view_start = std::clamp(start, 0.0, 1.0 - p->zoom);
  p->follow = false;
  p->zoom_seconds = playback_seconds(&p->engine) * p->zoom;
}

bool player_region(const Player* p, const char* path, double* start, double* end) {
  for (const PlayerRegion& r : p->regions)
    if (path && r.path == path) {
      *start = r.start;
      *end = r.end;
      return true;
    }
  return false;
}

void player_set_region(Player* p, const char* path, double start, double end) {
  if (!path || !path[0]) return;
  start = std::min(clamp_unit(start), kMaxRegionStart);
  end = std::max(clamp_unit(end), start + kMinRegionWidth);
  if (start <= 0.0 && end >= 1.0) {
    player_clear_region(p, path);
    return;
  }
  if (PlayerRegion* r = find_region(p, path)) {
    r->start = start;
    r->end = end;
  } else {
    p->regions.push_back(PlayerRegion{path, start, end});
  }
  ++p->regions_serial;
  if (player_is_current(p, path) && player_has_audio(p)) apply_region(p);
}

void player_clear_region(Player* p, const char* path) {
  if (!path) return;
  const size_t before = p->regions.size();
  p->regions.erase(std::remove_if(p->regions.begin(), p->regions.end(), [path](const PlayerRegion& r) { return r.path == path; }),
                   p->regions.end());
  if (p->regions.size() != before) ++p->regions_serial;
  if (player_is_current(p, path) && player_has_audio(p)) apply_region(p);
}

// ---- Library use ----

void player_land(Player* p, const char* path) {
  if (!player_is_current(p, path)) player_open(p, path, false);
}

bool player_play_item(Player* p, const char* path, const char* name) {
  if (player_is_current(p, path)) {
    if (p->hold) release_hold(p);
    else if (!p->loading) player_toggle(p);
    return true;
  }
  if (!player_open(p, path, true)) return false;
  char text[kStatusBytes];
  text_format(text, sizeof text, "PLAYING %s", name ? name : path);
  status_flash(text);
  return true;
}

bool player_gain_setting(const Player* p, float* gain) {
  if (p->hold) return false;
  *gain = p->gain;
  return true;
}

// ---- What the pane shows ----

bool player_is_current(const Player* p, const char* path) {
  return path && path[0] && strcmp(p->current_path, path) == 0;
}

bool player_has_audio(const Player* p) { return playback_buffer(&p->engine) != nullptr && !p->loading; }

bool player_is_playing(const Player* p) { return playback_is_playing(&p->engine); }

double player_playhead(const Player* p) { return playback_progress(&p->engine); }

double player_seconds(const Player* p) { return playback_seconds(&p->engine); }

void player_pane_text(const Player* p, bool files_tab, bool can_sound, char* out, size_t cap) {
  if (!can_sound) {
    text_copy(out, cap, kCannotSound);
  } else if (p->loading) {
    text_copy(out, cap, files_tab ? kLoadingFile : kReadingTake);
  } else if (p->info_requested > p->info_answered) {
    text_format(out, cap, "READING %d / %d", p->info_answered + 1, p->info_requested);
  } else if (!player_has_audio(p)) {
    text_copy(out, cap, kNothingPlaying);
  } else {
    // The pane knows no bar grid: a tempo found is said as the tempo, not as a grid too short.
    tempo_loop_text(&p->tempo, true, p->tempo.result.bpm > 0, out, cap);
  }
}
