// The playback engine: the render loop on the audio thread, buffer hand-over by one atomic pointer
// and a block counter, and the process-wide mix-in the capture routine calls.
// Threads: engine_render and the mix-in on the audio thread; everything else on the main thread.
#include "library/playback.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <new>
#include <thread>

#include "capture/engine.h"
#include "config/log.h"
#include "kit/audio_file.h"

namespace {

constexpr auto kBlockWait = std::chrono::microseconds(200);

// The mix-in: one record for the process, registered once. Its render first marks a block as
// begun and only then reads which engine to render, so a detach that sees no block begun knows
// that every later block sees the new engine.
std::atomic<PlaybackEngine*> g_attached{nullptr};
std::atomic<uint64_t> g_mix_blocks{0};  // +1 entering, +1 leaving: odd while a block is inside

void mix_render(void*, float* left, float* right, int frames, int rate) {
  g_mix_blocks.fetch_add(1, std::memory_order_seq_cst);
  if (PlaybackEngine* e = g_attached.load(std::memory_order_seq_cst)) engine_render(e, left, right, frames, double(rate));
  g_mix_blocks.fetch_add(1, std::memory_order_release);
}

const PlayerMix kMix{mix_render, nullptr};

// Waits until a block that was inside when `counter` read `stamp` has left. A block never waits,
// so this lasts at most one block.
void wait_past(const std::atomic<uint64_t>& counter, uint64_t stamp) {
  if ((stamp & 1) == 0) return;
  while (counter.load(std::memory_order_acquire) == stamp) std::this_thread::sleep_for(kBlockWait);
}

bool released_is_safe(const PlaybackEngine* e, int i) {
  if (e->released[i]->writing.load(std::memory_order_acquire)) return false;  // its filler still writes
  const uint64_t stamp = e->released_at[i];
  return (stamp & 1) == 0 || e->blocks.load(std::memory_order_acquire) != stamp;
}

void free_buffer(PlaybackBuffer* b) {
  free_audio_buffer(&b->audio);
  delete b;
}

// Puts a buffer taken out of `current` on the released list, stamped with the block count read
// after the exchange: even means no block was inside, so none can be reading it.
void release(PlaybackEngine* e, PlaybackBuffer* b) {
  if (!b) return;
  b->abandoned.store(1, std::memory_order_release);
  while (e->released_count == kPlaybackReleasedSlots && playback_collect(e) == 0) {
    wait_past(e->blocks, e->released_at[0]);
    if (playback_collect(e) == 0) std::this_thread::sleep_for(kBlockWait);  // a filler finishing its run
  }
  e->released[e->released_count] = b;
  e->released_at[e->released_count] = e->blocks.load(std::memory_order_seq_cst);
  ++e->released_count;
}

void render(PlaybackEngine* e, const PlaybackBuffer* b, float* left, float* right, int frames, double rate) {
  const AudioBuffer& a = b->audio;
  // `complete` before `ready`: the filler stores its last `ready` before `complete`.
  const bool complete = b->complete.load(std::memory_order_acquire);
  const int64_t ready = b->ready.load(std::memory_order_acquire);
  const int64_t n = complete ? ready : a.frames;  // the length, as far as it is known
  if (!a.samples || n <= 0 || a.channels <= 0 || frames <= 0) return;
  if (b->serial != e->rendered_serial) {
    e->rendered_serial = b->serial;
    e->position = 0.0;
    e->stalled = 0;
  }
  if (e->seek_request.exchange(0, std::memory_order_acq_rel)) {
    e->position = std::clamp(e->seek_target.load(std::memory_order_relaxed), 0.0, double(n - 1));
    e->stalled = 0;
  }
  if (!e->playing.load(std::memory_order_acquire) || e->ended.load(std::memory_order_acquire) == b->serial) return;
  if (!(rate > 0.0) || !(a.sample_rate > 0.0)) return;

  const double step = a.sample_rate / rate;
  const bool region = e->region_on.load(std::memory_order_relaxed) && e->in_region.load(std::memory_order_relaxed);
  const int64_t end = region ? e->region_end.load(std::memory_order_relaxed) : n;
  const double restart = region ? double(e->region_start.load(std::memory_order_relaxed)) : 0.0;
  const int64_t limit = std::min({end, n, ready}) - 1;  // an interpolation starts at a frame below this
  const bool catching_up = !complete && ready < std::min(end, n);  // the limit is the reading's, not the end
  const bool repeat = e->repeat.load(std::memory_order_relaxed);
  const float gain = e->gain.load(std::memory_order_relaxed);
  const int ch = a.channels;
  const int right_channel = ch > 1 ? 1 : 0;  // a mono buffer plays the same signal on both sides
  const float* s = a.samples;
  double pos = e->position;
  for (int i = 0; i < frames; ++i) {
    int64_t g = int64_t(pos);
    if (g >= limit) {
      if (catching_up) break;  // the file is still being read: silence until it is further on
      if (!repeat) {
        e->position = pos;
        e->published_position.store(end, std::memory_order_relaxed);
        e->ended.store(b->serial, std::memory_order_release);
        return;
      }
      pos = restart;
      g = int64_t(pos);
      if (g >= limit) {  // nothing to play between restart and end: silence until that changes
        e->stalled = 1;
        break;
      }
    }
    const float t = float(pos - double(g));
    const float* f = s + g * ch;
    const float l = f[0] + (f[ch] - f[0]) * t;
    const float r = f[right_channel] + (f[ch + right_channel] - f[right_channel]) * t;
    left[i] += l * gain;
    right[i] += r * gain;
    pos += step;
  }
  e->position = pos;
  e->published_position.store(int64_t(pos), std::memory_order_relaxed);
}

}  // namespace

void engine_render(PlaybackEngine* e, float* left, float* right, int frames, double rate) {
  e->blocks.fetch_add(1, std::memory_order_seq_cst);  // odd: `current` may be read from here on
  if (const PlaybackBuffer* b = e->current.load(std::memory_order_seq_cst)) render(e, b, left, right, frames, rate);
  e->blocks.fetch_add(1, std::memory_order_release);
}

PlaybackBuffer* playback_buffer_new(int channels, double rate, int64_t frames) {
  if (channels <= 0 || frames <= 0 || uint64_t(frames) > (uint64_t(1) << 40) / uint64_t(channels)) return nullptr;
  auto* b = new (std::nothrow) PlaybackBuffer;
  if (!b) return nullptr;
  b->audio.samples = static_cast<float*>(malloc(size_t(frames) * size_t(channels) * sizeof(float)));
  if (!b->audio.samples) {
    delete b;
    return nullptr;
  }
  b->audio.channels = channels;
  b->audio.sample_rate = rate;
  b->audio.frames = frames;
  b->writing.store(1, std::memory_order_relaxed);
  return b;
}

void playback_install(PlaybackEngine* e, AudioBuffer* buffer, bool autoplay) {
  PlaybackBuffer* b = nullptr;
  if (buffer) {
    b = new (std::nothrow) PlaybackBuffer;
    if (!b) {
      log_line("player: no memory to install a buffer");
      free_audio_buffer(buffer);
    } else {
      b->audio = *buffer;
      b->ready.store(std::max<int64_t>(buffer->frames, 0), std::memory_order_relaxed);
      b->complete.store(1, std::memory_order_relaxed);
    }
    *buffer = AudioBuffer{};  // the samples are the engine's now
  }
  playback_install_buffer(e, b, autoplay);
}

void playback_discard(PlaybackEngine* e, PlaybackBuffer* buffer) { release(e, buffer); }

int64_t playback_ready_frames(const PlaybackEngine* e) {
  return e->loaded ? e->loaded->ready.load(std::memory_order_acquire) : 0;
}

bool playback_filling(const PlaybackEngine* e) {
  return e->loaded && !e->loaded->complete.load(std::memory_order_acquire);
}

void playback_install_buffer(PlaybackEngine* e, PlaybackBuffer* b, bool autoplay) {
  e->playing.store(0, std::memory_order_release);
  e->seek_request.store(0, std::memory_order_release);
  e->region_on.store(0, std::memory_order_relaxed);
  e->in_region.store(0, std::memory_order_relaxed);
  e->published_position.store(0, std::memory_order_relaxed);
  e->ended.store(0, std::memory_order_release);
  const uint32_t serial = e->load_count.fetch_add(1, std::memory_order_relaxed) + 1;
  if (b) b->serial = serial ? serial : 1;  // 0 means "none" to `ended`
  release(e, e->current.exchange(b, std::memory_order_seq_cst));
  e->loaded = b;
  if (autoplay && b) e->playing.store(1, std::memory_order_release);
}

void playback_seek(PlaybackEngine* e, double x) {
  const int64_t n = playback_frames(e);
  x = std::clamp(std::isnan(x) ? 0.0 : x, 0.0, 1.0);
  const double target = double(n) * x;
  if (e->region_on.load(std::memory_order_relaxed) && n > 0) {
    const double half = 0.5 / double(n);
    const double start = double(e->region_start.load(std::memory_order_relaxed)) / double(n);
    const double end = double(e->region_end.load(std::memory_order_relaxed)) / double(n);
    e->in_region.store(x >= start - half && x <= end + half, std::memory_order_relaxed);
  }
  e->seek_target.store(target, std::memory_order_relaxed);
  e->seek_request.store(1, std::memory_order_release);
  e->published_position.store(int64_t(target), std::memory_order_relaxed);
}

void playback_set_region(PlaybackEngine* e, double start, double end, bool enable) {
  const int64_t n = playback_frames(e);
  if (n <= 0) {
    e->region_on.store(0, std::memory_order_relaxed);
    e->in_region.store(0, std::memory_order_relaxed);
    return;
  }
  start = std::max(start, 0.0);
  end = std::max(start, std::min(end, 1.0));
  e->region_start.store(int64_t(double(n) * start), std::memory_order_relaxed);
  e->region_end.store(int64_t(double(n) * end), std::memory_order_relaxed);
  e->region_on.store(enable, std::memory_order_relaxed);
  e->in_region.store(enable, std::memory_order_relaxed);
}

void playback_play(PlaybackEngine* e) {
  if (!e->loaded) return;
  if (playback_ended(e)) {
    const int64_t n = playback_frames(e);
    const bool region = playback_region_active(e) && n > 0;
    playback_seek(e, region ? double(e->region_start.load(std::memory_order_relaxed)) / double(n) : 0.0);
    e->ended.store(0, std::memory_order_release);
  }
  e->playing.store(1, std::memory_order_release);
}

void playback_pause(PlaybackEngine* e) { e->playing.store(0, std::memory_order_release); }

void playback_stop(PlaybackEngine* e) {
  e->playing.store(0, std::memory_order_release);
  playback_seek(e, 0.0);
}

void playback_unload(PlaybackEngine* e) {
  e->playing.store(0, std::memory_order_release);
  e->published_position.store(0, std::memory_order_relaxed);
  e->seek_request.store(0, std::memory_order_release);
  release(e, e->current.exchange(nullptr, std::memory_order_seq_cst));
  e->loaded = nullptr;
}

int playback_collect(PlaybackEngine* e) {
  int freed = 0, kept = 0;
  for (int i = 0; i < e->released_count; ++i) {
    if (released_is_safe(e, i)) {
      free_buffer(e->released[i]);
      ++freed;
    } else {
      e->released[kept] = e->released[i];
      e->released_at[kept] = e->released_at[i];
      ++kept;
    }
  }
  e->released_count = kept;
  return freed;
}

void playback_release_all(PlaybackEngine* e) {
  while (e->released_count > 0) {
    if (playback_collect(e) == 0) wait_past(e->blocks, e->released_at[0]);
  }
}

void playback_destroy(PlaybackEngine* e) {
  if (g_attached.load(std::memory_order_acquire) == e) playback_attach(nullptr);
  playback_unload(e);
  playback_release_all(e);
}

void playback_set_gain(PlaybackEngine* e, float gain) {
  e->gain.store(std::clamp(std::isnan(gain) ? 0.0f : gain, 0.0f, 1.0f), std::memory_order_relaxed);
}

void playback_set_repeat(PlaybackEngine* e, bool on) { e->repeat.store(on, std::memory_order_relaxed); }

int64_t playback_frames(const PlaybackEngine* e) {
  if (!e->loaded) return 0;
  if (!e->loaded->complete.load(std::memory_order_acquire)) return std::max<int64_t>(e->loaded->audio.frames, 0);
  return e->loaded->ready.load(std::memory_order_acquire);
}

double playback_progress(const PlaybackEngine* e) {
  const int64_t n = playback_frames(e);
  if (n <= 0) return 0.0;
  return std::clamp(double(e->published_position.load(std::memory_order_relaxed)) / double(n), 0.0, 1.0);
}

double playback_seconds(const PlaybackEngine* e) {
  const double rate = e->loaded ? e->loaded->audio.sample_rate : 0.0;
  return rate > 0.0 ? double(playback_frames(e)) / rate : 0.0;
}

bool playback_ended(const PlaybackEngine* e) {
  return e->loaded && e->ended.load(std::memory_order_acquire) == e->loaded->serial;
}

bool playback_is_playing(const PlaybackEngine* e) {
  return e->loaded && e->playing.load(std::memory_order_acquire) && !playback_ended(e);
}

bool playback_region_active(const PlaybackEngine* e) {
  return e->region_on.load(std::memory_order_relaxed) && e->in_region.load(std::memory_order_relaxed);
}

const AudioBuffer* playback_buffer(const PlaybackEngine* e) { return e->loaded ? &e->loaded->audio : nullptr; }

void playback_attach(PlaybackEngine* e) {
  if (e) capture_set_player_mix(&kMix);  // the same record every time; it stays registered
  PlaybackEngine* old = g_attached.exchange(e, std::memory_order_seq_cst);
  if (old && old != e) wait_past(g_mix_blocks, g_mix_blocks.load(std::memory_order_seq_cst));
}
