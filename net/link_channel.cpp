// The Link channel: the session through the Link wrapper, the published channel and the chosen
// source through the channel layer, the source ring between the layer's network thread and the
// audio callback, and the thread that follows the session.
//
// The source ring has one writer at a time (the open source's callback; sources are closed before
// another opens) and one reader (the audio callback). The writer never waits for the reader and
// never moves it: it announces how far it is about to write (claim), writes each frame with release
// ordering, then publishes the write count. The reader checks after reading whether the writer may have overwritten what it
// read (it claimed past the reader's start plus a ring), and if so drops the block and starts again
// at the writer, which is the overrun.
#include "net/link_channel.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

#include "config/log.h"
#include "net/link_session.h"
#include "platform/clock.h"
#include "platform/system.h"
#include "platform/text.h"
#include "platform/thread.h"

namespace {

constexpr auto kRelaxed = std::memory_order_relaxed;
constexpr auto kAcquire = std::memory_order_acquire;
constexpr auto kRelease = std::memory_order_release;
constexpr float kFromPcm = 1.0f / 32768.0f;

// ---- The audio thread's guards --------------------------------------------------------------

void guard_enter(LinkAudioGuard* g) { g->calls.fetch_add(1); }
void guard_leave(LinkAudioGuard* g) { g->calls.fetch_add(1, kRelease); }
// After the caller stored what the audio thread must no longer use (sequentially consistent, as
// the entry is), a count that is even or has moved on means no call can still hold the old value.
void guard_wait(LinkAudioGuard* g) {
  const uint64_t seen = g->calls.load();
  if ((seen & 1) == 0) return;
  while (g->calls.load() == seen) sleep_ms(1);
}

int16_t pcm_from_float(float x) {
  // Clamped to -1..1, times 32767, truncated; NaN is silence.
  const float c = x >= -1.0f ? (x <= 1.0f ? x : 1.0f) : (x < -1.0f ? -1.0f : 0.0f);
  return int16_t(c * 32767.0f);
}

// ---- The list ------------------------------------------------------------------------------

void upper_ascii(char* s) {
  for (; *s; ++s)
    if (*s >= 'a' && *s <= 'z') *s = char(*s - 'a' + 'A');
}

void make_display(LinkChannelEntry* e) {
  char full[2 * kLinkNameBytes + 4];
  text_format(full, sizeof full, "%s - %s", e->peer_name, e->name);
  size_t n = strlen(full);
  if (n > sizeof e->display - 1) {
    n = sizeof e->display - 1;
    while (n > 0 && (uint8_t(full[n]) & 0xC0) == 0x80) --n;  // never half a character
  }
  memcpy(e->display, full, n);
  e->display[n] = 0;
  upper_ascii(e->display);
}

void take_list(LinkChannel* l) {
  if (!l->pending_ready.load(kAcquire)) return;
  l->list_count = l->pending_count;
  for (int i = 0; i < l->list_count; ++i) l->list[i] = l->pending[i];
  l->pending_ready.store(0, kRelease);
}

int find_display(const LinkChannel* l, const char* display) {
  if (!display[0]) return -1;
  for (int i = 0; i < l->list_count; ++i)
    if (strcmp(l->list[i].display, display) == 0) return i;
  return -1;
}

void on_channels_changed(void* ctx) { static_cast<LinkChannel*>(ctx)->list_changed.store(1); }

// ---- The thread ----------------------------------------------------------------------------

void refresh(LinkChannel* l, int* logged_peers) {
  link_session_capture_app(l->link, l->app_state);
  const int64_t now = link_session_clock_us(l->link);
  const double tempo = link_state_tempo(l->app_state);
  l->tempo_bpm.store(tempo, kRelaxed);
  l->beat.store(link_state_beat_at_time(l->app_state, now, kLinkQuantum), kRelaxed);
  l->playing.store(link_state_is_playing(l->app_state) ? 1 : 0, kRelaxed);
  const int peers = link_session_is_enabled(l->link) ? link_session_peers(l->link) : 0;
  l->peers.store(peers, kRelaxed);
  if (peers != *logged_peers) {
    log_line("link: %d peer%s, %.1f bpm", peers, peers == 1 ? "" : "s", tempo);
    *logged_peers = peers;
  }
  // The pending copy is rebuilt only once the application thread has taken the last one.
  if (!l->pending_ready.load(kAcquire) && l->list_changed.exchange(0)) {
    ChannelInfo info[kLinkMaxChannels];
    const int n = l->on.load() ? channel_net_channels(l->net, info, kLinkMaxChannels) : 0;
    for (int i = 0; i < n; ++i) {
      LinkChannelEntry& e = l->pending[i];
      e.id = info[i].id;
      text_copy(e.peer_name, info[i].peer_name);
      text_copy(e.name, info[i].name);
      make_display(&e);
    }
    l->pending_count = n;
    l->pending_ready.store(1, kRelease);
  }
}

void thread_main(LinkChannel* l) {
  int logged_peers = 0;
  std::unique_lock<std::mutex> lock(l->wake_mu);
  while (!l->stop) {
    lock.unlock();
    refresh(l, &logged_peers);
    lock.lock();
    l->wake.wait_for(lock, std::chrono::milliseconds(kLinkThreadMs), [l] { return l->stop; });
  }
}

// ---- Source --------------------------------------------------------------------------------

void on_block(void* ctx, const ChannelBlock& b) {
  link_source_block(static_cast<LinkChannel*>(ctx), b.samples, b.frames, b.channels, b.rate_hz);
}

void close_source(LinkChannel* l) {
  // Back to the microphone first, then the source: once closed, its callback never runs again.
  l->source_active.store(0, kRelease);
  if (l->source) channel_source_close(l->source);
  l->source = nullptr;
  l->source_id = 0;
  l->source_display[0] = 0;
}

bool open_source(LinkChannel* l, const LinkChannelEntry& e) {
  l->source_hz.store(0, kRelaxed);
  l->source_generation.fetch_add(1, kRelease);  // the reader starts again at the writer
  l->source = channel_source_open(l->net, e.id, on_block, l);
  if (!l->source) {
    log_line("link: source open failed for %s", e.display);
    return false;
  }
  l->source_id = e.id;
  text_copy(l->source_display, e.display);
  l->source_active.store(1, kRelease);
  log_line("link: input = %s", e.display);
  return true;
}

void tap_fn(void* ctx, const float* stereo, int frames, int rate) {
  link_publish(static_cast<LinkChannel*>(ctx), stereo, frames, double(rate));
}

int hook_fn(void* ctx, float* left, float* right, int frames, int rate) {
  return link_read_input(static_cast<LinkChannel*>(ctx), left, right, frames, rate) ? 1 : 0;
}

void free_parts(LinkChannel* l) {
  if (l->net) channel_net_destroy(l->net);
  if (l->link) link_session_destroy(l->link);
  link_session_state_destroy(l->app_state);
  link_session_state_destroy(l->audio_state);
  delete[] l->ring;
  l->net = nullptr;
  l->link = nullptr;
  l->app_state = l->audio_state = nullptr;
  l->ring = nullptr;
}

}  // namespace

void link_default_name(char* out, size_t cap) {
  constexpr size_t kPrefix = 8;  // "tolm · ": the middle dot takes two bytes
  char host[kLinkNameBytes];
  host_name(host, std::min(sizeof host, cap > kPrefix ? cap - kPrefix : size_t(1)));
  text_format(out, cap, "tolm \xC2\xB7 %s", host);
}

int link_init(LinkChannel* l, const char* name, int max_block_frames, uint16_t channel_port) {
  text_copy(l->name, name);
  l->max_block_frames = max_block_frames > 0 ? max_block_frames : kLinkDefaultBlockFrames;
  l->link = link_session_create(kLinkStartBpm);
  if (!l->link) {
    log_line("link: abl_link_create failed");
    return -1;
  }
  l->app_state = link_session_state_create();
  l->audio_state = link_session_state_create();
  if (!l->app_state || !l->audio_state) {
    log_line("link: session state failed");
    free_parts(l);
    return -1;
  }
  l->ring = new (std::nothrow) std::atomic<float>[2 * size_t(kLinkRingFrames)]();
  const ChannelNetConfig cfg{channel_port, 0};
  l->net = l->ring ? channel_net_create(l->name, &cfg) : nullptr;
  if (!l->ring || !l->net) {
    log_line("link: out of memory");
    free_parts(l);
    return -1;
  }
  // Peers that start and stop together show it in the playing flag.
  link_session_enable_start_stop_sync(l->link, true);
  channel_net_set_changed_callback(l->net, on_channels_changed, l);
  l->tap = OutputTap{tap_fn, l};
  l->hook = InputHook{hook_fn, l};
  l->on.store(0);
  l->sink.store(nullptr);
  l->source_active.store(0);
  l->own_sink = nullptr;
  l->source = nullptr;
  l->chosen[0] = l->source_display[0] = 0;
  l->waiting = false;
  l->list_count = l->pending_count = 0;
  l->pending_ready.store(0);
  l->list_changed.store(0);
  l->peers.store(0);
  l->tempo_bpm.store(kLinkStartBpm);
  l->write_count.store(0);
  l->claim.store(0);
  l->source_hz.store(0);
  l->read_pos = 0;
  l->read_phase = 0;
  l->read_generation = l->source_generation.load();
  l->stop = false;
  l->thread = std::thread(thread_main, l);
  thread_set_name(l->thread, "tolm-link");
  log_line("link: ready as '%s' (off)", l->name);
  return 0;
}

bool link_set_on(LinkChannel* l, bool on) {
  if (!l->link) return false;
  if (on) {
    if (l->on.load()) return true;
    ChannelSink* sink = channel_sink_create(l->net, l->name, 2 * l->max_block_frames);
    if (!sink) {
      log_line("link: sink create failed");
      return false;
    }
    char why[128];
    if (channel_net_enable(l->net, true, why, sizeof why) != 0) {
      log_line("link: audio channels could not start (%s)", why);
      log_line("link: sink create failed");
      channel_sink_destroy(sink);
      return false;
    }
    link_session_enable(l->link, true);
    l->own_sink = sink;
    l->sink.store(sink);
    l->on.store(1);
    l->list_changed.store(1);
    log_line("link: ON - channel '%s'", l->name);
    return true;
  }
  if (!l->on.load()) return false;
  close_source(l);
  l->chosen[0] = 0;
  l->waiting = false;
  l->on.store(0);
  // The audio thread may be publishing into the sink: it is taken away first, then waited out.
  l->sink.store(nullptr);
  guard_wait(&l->publish_guard);
  link_session_enable(l->link, false);
  channel_net_enable(l->net, false, nullptr, 0);
  channel_sink_destroy(l->own_sink);
  l->own_sink = nullptr;
  l->peers.store(0);
  l->list_count = 0;
  l->list_changed.store(1);
  log_line("link: off");
  return false;
}

void link_pick_input(LinkChannel* l, int dir) {
  take_list(l);
  const int n = l->list_count;
  const int found = find_display(l, l->chosen);
  int pos = found < 0 ? 0 : found + 1;  // 0 is the microphone; a choice gone from the list counts as it
  if (dir > 0) pos = pos == n ? 0 : pos + 1;
  else pos = pos == 0 ? n : pos - 1;
  if (pos == 0) l->chosen[0] = 0;
  else text_copy(l->chosen, l->list[pos - 1].display);
}

void link_choose_input(LinkChannel* l, const char* display) { text_copy(l->chosen, display ? display : ""); }

const char* link_chosen_input(const LinkChannel* l) { return l->chosen; }

bool link_follow_input(LinkChannel* l) {
  take_list(l);
  bool changed = false;
  if (!l->on.load() || !l->chosen[0]) {
    if (l->source) {
      close_source(l);
      changed = true;
    }
    l->waiting = false;
    return changed;
  }
  const int found = find_display(l, l->chosen);
  if (found >= 0) {
    l->waiting = false;
    const LinkChannelEntry& e = l->list[found];
    if (l->source && l->source_id == e.id) return false;
    const bool had = l->source != nullptr;
    if (had) close_source(l);
    // A source that cannot be opened leaves the microphone: a change only if a source was open.
    return open_source(l, e) || had;
  }
  l->waiting = true;
  if (l->source && strcmp(l->source_display, l->chosen) != 0) {
    close_source(l);
    changed = true;
  }
  return changed;
}

void link_close(LinkChannel* l) {
  if (!l->link) return;
  link_set_on(l, false);
  {
    std::lock_guard<std::mutex> lock(l->wake_mu);
    l->stop = true;
  }
  l->wake.notify_all();
  if (l->thread.joinable()) l->thread.join();
  // The input hook may still be registered: it sees no source and leaves the ring alone.
  l->source_active.store(0);
  guard_wait(&l->read_guard);
  free_parts(l);
}

void link_publish(LinkChannel* l, const float* stereo, int frames, double rate_hz) {
  guard_enter(&l->publish_guard);
  ChannelSink* s = l->sink.load();
  if (s && frames > 0 && frames <= l->max_block_frames && rate_hz > 0) {
    link_session_capture_audio(l->link, l->audio_state);
    const int64_t now = link_session_clock_us(l->link);
    const ChannelTiming timing{now, link_state_beat_at_time(l->audio_state, now, kLinkQuantum), kLinkQuantum,
                               link_state_tempo(l->audio_state)};
    int16_t* buf = channel_sink_retain(s);
    bool ok = false;
    if (buf) {
      for (int i = 0; i < 2 * frames; ++i) buf[i] = pcm_from_float(stereo[i]);
      ok = channel_sink_commit(s, frames, 2, rate_hz, timing);
    }
    (ok ? l->published : l->refused).fetch_add(1, kRelaxed);
  }
  guard_leave(&l->publish_guard);
}

void link_source_block(LinkChannel* l, const int16_t* samples, int frames, int channels, double rate_hz) {
  if (!l->ring || frames <= 0 || channels < 1 || !(rate_hz > 0)) return;
  l->source_hz.store(rate_hz, kRelaxed);
  while (frames > 0) {
    const int n = std::min(frames, kLinkRingWriteMaxFrames);
    const int64_t w = l->write_count.load(kRelaxed);
    // Frames are stored with release: a reader that sees one sees the claim made before it.
    l->claim.store(w + n, kRelaxed);
    for (int i = 0; i < n; ++i) {
      const int16_t* f = samples + size_t(i) * size_t(channels);
      const float left = float(f[0]) * kFromPcm;
      const float right = channels >= 2 ? float(f[1]) * kFromPcm : left;
      const size_t at = 2 * size_t((w + i) % kLinkRingFrames);
      l->ring[at].store(left, kRelease);
      l->ring[at + 1].store(right, kRelease);
    }
    l->write_count.store(w + n);  // sequentially consistent: a full fence before the count
    l->frames_received.fetch_add(n, kRelaxed);
    samples += size_t(n) * size_t(channels);
    frames -= n;
  }
}

bool link_read_input(LinkChannel* l, float* left, float* right, int frames, int engine_hz) {
  guard_enter(&l->read_guard);
  if (!l->ring || !l->source_active.load(kAcquire) || frames <= 0) {
    guard_leave(&l->read_guard);
    return false;
  }
  const int gen = l->source_generation.load(kAcquire);
  if (gen != l->read_generation) {
    l->read_generation = gen;
    l->read_pos = l->write_count.load(kAcquire);
    l->read_phase = 0;
  }
  const double engine = engine_hz > 0 ? double(engine_hz) : kLinkDefaultEngineHz;
  const double src = l->source_hz.load(kRelaxed);
  const double step = (src > 0 ? src : engine) / engine;
  const int64_t written = l->write_count.load(kAcquire);
  // Ring frames the block touches from the read position on (the last one's right neighbour too).
  const int64_t need = int64_t(l->read_phase + double(frames) * step) + 1;
  bool ok = false;
  if (written - l->read_pos > kLinkRingFrames - kLinkRingWriteMaxFrames) {
    l->overruns.fetch_add(1, kRelaxed);
    l->read_pos = written;
    l->read_phase = 0;
  } else if (written - l->read_pos >= 2 * need) {
    const int64_t start = l->read_pos;
    double p = l->read_phase;
    for (int i = 0; i < frames; ++i) {
      const int64_t k = int64_t(p);
      const float t = float(p - double(k));
      const size_t a = 2 * size_t((start + k) % kLinkRingFrames);
      const size_t b = 2 * size_t((start + k + 1) % kLinkRingFrames);
      const float al = l->ring[a].load(kAcquire), ar = l->ring[a + 1].load(kAcquire);
      const float bl = l->ring[b].load(kAcquire), br = l->ring[b + 1].load(kAcquire);
      left[i] = al + (bl - al) * t;
      right[i] = ar + (br - ar) * t;
      p += step;
    }
    // Any frame read from a later lap brings that lap's claim with it (acquire above).
    if (start < l->claim.load(kRelaxed) - kLinkRingFrames) {
      // The writer came round while we read: what we have may be torn.
      l->overruns.fetch_add(1, kRelaxed);
      l->read_pos = l->write_count.load(kAcquire);
      l->read_phase = 0;
    } else {
      const int64_t whole = int64_t(p);
      l->read_pos = start + whole;
      l->read_phase = p - double(whole);
      ok = true;
    }
  }
  if (!ok) {
    memset(left, 0, size_t(frames) * sizeof(float));
    memset(right, 0, size_t(frames) * sizeof(float));
  }
  guard_leave(&l->read_guard);
  return true;
}

int link_channel_count(LinkChannel* l) {
  take_list(l);
  return l->list_count;
}

const LinkChannelEntry* link_channel_at(LinkChannel* l, int i) {
  take_list(l);
  return i >= 0 && i < l->list_count ? &l->list[i] : nullptr;
}

bool link_toggle_command(LinkChannel* l, char* msg, size_t cap) {
  if (l->on.load()) {
    link_set_on(l, false);
    text_copy(msg, cap, "LINK OFF");
    return false;
  }
  const bool on = link_set_on(l, true);
  text_copy(msg, cap, on ? "LINK ON - TOLM IS A LINK AUDIO CHANNEL" : "LINK REFUSED - SEE THE LOG");
  return on;
}

void link_step_command(LinkChannel* l, int dir, char* msg, size_t cap) {
  if (!l->on.load()) {
    text_copy(msg, cap, "TURN ABLETON LINK ON FIRST");
    return;
  }
  link_pick_input(l, dir);
  link_follow_input(l);
  link_input_message(l, msg, cap);
}

void link_input_message(const LinkChannel* l, char* msg, size_t cap) {
  text_format(msg, cap, "INPUT - %s", l->chosen[0] ? l->chosen : "MIC");
}

void link_session_row(const LinkChannel* l, char* out, size_t cap) {
  if (!l->on.load()) {
    text_copy(out, cap, "OFF");
    return;
  }
  const int peers = l->peers.load(kRelaxed);
  text_format(out, cap, "ON   %d PEER%s   %.1F BPM%s", peers, peers == 1 ? "" : "S", l->tempo_bpm.load(kRelaxed),
              l->playing.load(kRelaxed) ? "   PLAYING" : "");
}

void link_input_row(const LinkChannel* l, char* out, size_t cap) {
  if (!l->on.load()) {
    text_copy(out, cap, "MIC   (LINK IS OFF)");
    return;
  }
  if (!l->chosen[0]) {
    text_format(out, cap, "MIC   %d CHANNEL%s ON THE NETWORK", l->list_count, l->list_count == 1 ? "" : "S");
    return;
  }
  if (find_display(l, l->chosen) < 0) {
    text_format(out, cap, "%s   WAITING FOR IT", l->chosen);
    return;
  }
  const double hz = l->source_hz.load(kRelaxed);
  if (l->source && hz > 0) text_format(out, cap, "%s   %u HZ", l->chosen, unsigned(std::lround(hz)));
  else text_copy(out, cap, l->chosen);
}
