// The capture routine: trigger equaliser, envelope, gate, delay ring, take boundaries, tape
// writes, scope strip, overview, monitor mix and limiter, once per block on the audio thread.
// It goes over a block in passes (input, level and equaliser with the envelope; crossings of
// the line; a walk through the gate's states that takes quiet stretches whole and writes the
// tape in runs; the monitor mix), each sample the same bits as one frame at a time through every
// step would give. Everything it touches is sized in capture_engine_init; the block loop makes
// no system call and takes no lock.
#include "capture/engine.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>

#if defined(__SSE__)
#include <xmmintrin.h>
#endif

#include "platform/clock.h"

namespace {

constexpr auto kRelaxed = std::memory_order_relaxed;
constexpr float kGainRate = 0.0015f;        // record-gain and levelling approach per frame
constexpr float kRecordingThreshold = 0.0005f;
constexpr float kEnvelopeRelease = 0.9995f;
constexpr float kMeterFall = 0.85f;
constexpr float kLimitCeiling = 0.891f;
constexpr float kLimitRecover = 0.99983f;
constexpr float kLevelTarget = 0.708f;
constexpr float kLevelFloor = 0.125f;
constexpr float kLevelFallRate = 0.02f;

std::atomic<const PlayerMix*> g_player_mix{nullptr};

// Flush denormals to zero for the block: decaying filter states would otherwise crawl through
// the slow denormal path on x86.
struct DenormalGuard {
#if defined(__SSE__)
  unsigned int saved = _mm_getcsr();
  DenormalGuard() { _mm_setcsr(saved | 0x8040); }
  ~DenormalGuard() { _mm_setcsr(saved); }
#endif
};

struct Params {
  int armed, monitor, play_tape, forced, normalize;
  float gain, open_level, exit_factor;
  int pre, look, post, hold, gap, tail;
};

float* alloc_floats(size_t n) {
  float* p = static_cast<float*>(calloc(n ? n : 1, sizeof(float)));
  return p;
}

// Four float lanes, a width every x86-64 and ARM64 processor has.
typedef float F4 __attribute__((vector_size(16)));
typedef int32_t I4 __attribute__((vector_size(16)));

inline F4 load4(const float* p) {
  F4 v;
  memcpy(&v, p, sizeof v);
  return v;
}
inline void store4(float* p, F4 v) { memcpy(p, &v, sizeof v); }
inline F4 splat4(float x) { return F4{x, x, x, x}; }
inline F4 abs4(F4 v) {
  I4 bits;
  memcpy(&bits, &v, sizeof v);
  bits &= 0x7fffffff;
  memcpy(&v, &bits, sizeof v);
  return v;
}
// std::max(a, b) lane by lane: b where a < b, else a, so a NaN in b is passed over.
inline F4 max4(F4 a, F4 b) { return a < b ? b : a; }
// One bit per lane of a comparison's result, lane 0 lowest.
inline int bits4(I4 m) {
#if defined(__SSE__)
  return _mm_movemask_ps(__m128(m));
#else
  return (m[0] & 1) | (m[1] & 2) | (m[2] & 4) | (m[3] & 8);
#endif
}

// The running peak m (never NaN) over x[0..n), as std::max(m, x[i]) frame by frame would take
// it. That passes NaNs over and the values are never negative, so the order does not matter.
float peak_of(const float* x, int n, float m) {
  F4 a = splat4(m), b = a;
  int i = 0;
  for (; i + 8 <= n; i += 8) a = max4(a, load4(x + i)), b = max4(b, load4(x + i + 4));
  for (; i < n; ++i) m = std::max(m, x[i]);
  a = max4(a, b);
  for (int l = 0; l < 4; ++l) m = std::max(m, a[l]);
  return m;
}

// dst = the stereo frames of src times their gains g (one per sample, the same for both of a
// frame; no dst: the frames are only measured). Returns the running peak taken over
// max(|left|, |right|) of every frame, as the overview takes it.
float scale_frames(float* dst, const float* src, const float* g, int n, float peak) {
  F4 m = splat4(peak), m2 = m;
  int k = 0;
  for (; k + 4 <= n; k += 4) {
    const F4 o = load4(src + 2 * k) * load4(g + 2 * k), o2 = load4(src + 2 * k + 4) * load4(g + 2 * k + 4);
    if (dst) store4(dst + 2 * k, o), store4(dst + 2 * k + 4, o2);
    const F4 a = abs4(o), a2 = abs4(o2);
    m = max4(m, max4(a, __builtin_shufflevector(a, a, 1, 0, 3, 2)));  // lanes 0 and 2 hold the frames
    m2 = max4(m2, max4(a2, __builtin_shufflevector(a2, a2, 1, 0, 3, 2)));
  }
  peak = std::max(std::max(std::max(peak, m[0]), m[2]), std::max(m2[0], m2[2]));
  for (; k < n; ++k) {
    const float sl = src[2 * k] * g[2 * k], sr = src[2 * k + 1] * g[2 * k + 1];
    if (dst) dst[2 * k] = sl, dst[2 * k + 1] = sr;
    peak = std::max(peak, std::max(std::fabs(sl), std::fabs(sr)));
  }
  return peak;
}

// How many of the n envelope values stay in [lo, hi) (hi NaN: no upper bound).
int envelope_run(const float* x, int n, float lo, float hi) {
  const F4 vlo = splat4(lo), vhi = splat4(hi);
  int k = 0;
  for (; k + 8 <= n; k += 8) {
    const F4 v = load4(x + k), v2 = load4(x + k + 4);
    if (bits4(~(v >= vlo) | (v >= vhi) | ~(v2 >= vlo) | (v2 >= vhi))) break;
  }
  while (k < n && x[k] >= lo && !(x[k] >= hi)) ++k;
  return k;
}

// The equaliser's coefficients for this block: worked out again only when a setting changes.
const EqCoefficients& coefficients(CaptureEngine* e, double rate) {
  const float hpf = e->hpf_hz.load(kRelaxed), lpf = e->lpf_hz.load(kRelaxed), peak = e->peak_hz.load(kRelaxed);
  const float q = e->peak_q.load(kRelaxed);
  const int hpf_order = e->hpf_order.load(kRelaxed), lpf_order = e->lpf_order.load(kRelaxed);
  uint32_t key[8];
  memcpy(&key[0], &hpf, 4), memcpy(&key[1], &hpf_order, 4), memcpy(&key[2], &lpf, 4);
  memcpy(&key[3], &lpf_order, 4), memcpy(&key[4], &peak, 4), memcpy(&key[5], &q, 4), memcpy(&key[6], &rate, 8);
  if (!(e->derived_valid & 1) || memcmp(key, e->eq_key, sizeof key) != 0) {
    eq_coefficients(&e->eq_coeffs, hpf, hpf_order, lpf, lpf_order, peak, q, rate);
    memcpy(e->eq_key, key, sizeof key);
    e->derived_valid |= 1;
  }
  return e->eq_coeffs;
}

// Gain, mono history, the gained input interleaved (e->gained), the input level of every frame
// (e->level), through the trigger equaliser the detector level of every frame (e->detect, or the
// input level itself when the equaliser is off), and from that the envelope of every frame
// (e->env_frames: instant attack, slow release). With `stereo` the work buffers are filled from
// that two-channel input here; without, they are filled already.
// Kept out of line: inside the block routine the envelope would not keep a register.
__attribute__((noinline)) void detect_block(CaptureEngine* e, const float* stereo, int frames, float gain,
                                            double rate, const float** det) {
  float* L = e->work_left;
  float* R = e->work_right;
  float* level = e->level;
  float* g = e->gained;
  float* mono = e->gain_frames;  // free until the walk
  float* env_at = e->env_frames;
  float env = e->env;
  const EqCoefficients& c = coefficients(e, rate);
  const bool eq = c.cascade || c.band;
  // Without the equaliser the envelope follows the input level in the same pass: its chain of
  // multiplies runs beside the vector work instead of after it.
  const F4 vgain = splat4(gain);
  int i = 0;
  for (; i + 4 <= frames; i += 4) {
    F4 l, r;
    if (stereo) {
      const F4 a = load4(stereo + 2 * i), b = load4(stereo + 2 * i + 4);
      l = __builtin_shufflevector(a, b, 0, 2, 4, 6), r = __builtin_shufflevector(a, b, 1, 3, 5, 7);
      store4(L + i, l), store4(R + i, r);
    } else {
      l = load4(L + i), r = load4(R + i);
    }
    const F4 x0 = vgain * l, x1 = vgain * r;
    store4(g + 2 * i, __builtin_shufflevector(x0, x1, 0, 4, 1, 5));
    store4(g + 2 * i + 4, __builtin_shufflevector(x0, x1, 2, 6, 3, 7));
    const F4 lv = max4(abs4(x0), abs4(x1));
    store4(level + i, lv);
    store4(mono + i, splat4(0.5f) * (x0 + x1));
    if (!eq) {
      for (int k = 0; k < 4; ++k) {
        env = lv[k] > env ? lv[k] : env * kEnvelopeRelease;
        env_at[i + k] = env;
      }
    }
  }
  for (; i < frames; ++i) {
    if (stereo) L[i] = stereo[2 * i], R[i] = stereo[2 * i + 1];
    const float x0 = gain * L[i], x1 = gain * R[i];
    g[2 * i] = x0, g[2 * i + 1] = x1;
    level[i] = std::max(std::fabs(x0), std::fabs(x1));
    mono[i] = 0.5f * (x0 + x1);
    if (!eq) {
      env = level[i] > env ? level[i] : env * kEnvelopeRelease;
      env_at[i] = env;
    }
  }
  std::atomic<float>* const history = e->mono;
  const int mono_len = e->mono_length;
  for (int j = 0, at = int(e->mono_count.load(kRelaxed) % mono_len); j < frames; at = 0) {
    const int n = std::min(frames - j, mono_len - at);
#pragma GCC unroll 8
    for (int k = 0; k < n; ++k) history[at + k].store(mono[j + k], kRelaxed);
    j += n;
  }
  *det = level;  // no equaliser: it hears the input
  if (eq) {
    eq_detect_follow(&e->eq, c, L, R, gain, frames, e->eq_scratch, e->detect, kEnvelopeRelease, &e->env, env_at);
    *det = e->detect;
  } else {
    e->env = env;
  }
}

// The frames where the envelope rises to the open line into e->crossing_frames; eight frames at
// a time past those that all stay on the side of the one before. Returns how many.
int find_crossings(CaptureEngine* e, int frames, float open_level) {
  const float* out = e->env_frames;
  int above = e->above_line;
  int* rising = e->crossing_frames;
  int n = 0, i = 0;
  const F4 line = splat4(open_level);
  for (; i + 8 <= frames; i += 8) {
    if ((bits4(load4(out + i) >= line) | bits4(load4(out + i + 4) >= line) << 4) == (above ? 255 : 0)) continue;
    for (int k = i; k < i + 8; ++k) {
      const int now = out[k] >= open_level;
      rising[n] = k;
      n += now & !above;
      above = now;
    }
  }
  for (; i < frames; ++i) {
    const int now = out[i] >= open_level;
    rising[n] = i;
    n += now & !above;
    above = now;
  }
  e->above_line = above;
  return n;
}

// How far back a take that opens now should start: the pre-roll, or 5 ms before the earliest
// crossing of the line within the look-back window, never more than the delay ring holds.
int look_back_start(const CaptureEngine* e, int64_t counter, int pre, int look, int tail) {
  int64_t d = pre;
  if (look > 0 && e->crossing_count > 0) {
    int64_t earliest = -1;
    int64_t n = std::min<int64_t>(e->crossing_count, kCrossingLogSize);
    for (int64_t j = 0; j < n; ++j) {
      int64_t c = e->crossing[(e->crossing_count - 1 - j) % kCrossingLogSize];
      if (c < counter - look) break;
      earliest = c;
    }
    if (earliest >= 0 && d < counter + tail - earliest) d = counter + tail - earliest;
  }
  return int(std::min<int64_t>(d, e->delay_length - 1));
}

// Marks the last `count` scope columns before the one being filled.
void mark_columns(std::atomic<uint8_t>* marks, int64_t column_count, int64_t count) {
  count = std::min<int64_t>(count, kScopeColumns - 1);
  for (int64_t j = 0; j < count && column_count - 1 - j >= 0; ++j)
    marks[(column_count - 1 - j) % kScopeColumns].store(1, kRelaxed);
}

void clear_overview(CaptureEngine* e, int64_t from_bucket) {
  for (int64_t j = std::max<int64_t>(from_bucket, 0); j < kOverviewBuckets; ++j) e->overview[j].store(0.0f, kRelaxed);
}

void fold_overview(CaptureEngine* e) {
  for (int j = 0; j < kOverviewBuckets / 2; ++j)
    e->overview[j].store(std::max(e->overview[2 * j].load(kRelaxed), e->overview[2 * j + 1].load(kRelaxed)), kRelaxed);
  clear_overview(e, kOverviewBuckets / 2);
  e->overview_bucket.store(e->overview_bucket.load(kRelaxed) * 2, kRelaxed);
}

void serve_reset(CaptureEngine* e) {
  e->head = 0;
  e->playhead = 0;
  e->opened = e->closed = 0;
  e->record_gain = 0;
  e->rec = 0;
  e->gate = 0;
  e->take_start = 0;
  e->take_start_count = 0;
  e->crossing_count = 0;
  e->extra_frames = 0;
  e->above_line = 0;
  for (int ch = 0; ch < 2; ++ch) e->eq.band_x1[ch] = e->eq.band_x2[ch] = e->eq.band_y1[ch] = e->eq.band_y2[ch] = 0;
  e->quiet_count = kQuietForever;
  e->above_count = 0;
  clear_overview(e, 0);
  e->overview_bucket.store(kOverviewStartBucket, kRelaxed);
}

// The caller makes sure the sealed-take ring has room for the cull's entry.
void serve_cull(CaptureEngine* e) {
  if (e->take_start_count <= 0) return;
  int64_t s = e->take_starts[--e->take_start_count];
  if (!e->rec) {
    // A sealed take goes: the main thread learns it in order with the seals around it.
    e->closed = std::max(e->closed - 1, 0);
    const int64_t w = e->sealed_write.load(kRelaxed);
    e->sealed[w % kMaxSealedTakes] = SealedTake{s, e->head, 1};
    e->sealed_write.store(w + 1, std::memory_order_release);
  }
  e->head = std::min(std::max<int64_t>(s, 0), e->head);
  clear_overview(e, e->head / e->overview_bucket.load(kRelaxed) + 1);
  e->playhead = std::min(e->playhead, e->head);
  e->opened = std::max(e->opened - 1, 0);
  e->record_gain = 0;
  e->gate = 0;
  e->rec = 0;
  e->quiet_count = kQuietForever;
  e->above_count = 0;
}

// Adds n frames to an under-the-line count and tells whether it is past the gap. The count stops
// at INT_MAX: at 48 kHz it would overflow after twelve hours under the line.
bool count_under(int* below, int64_t n, int gap) {
  const int64_t b = std::min<int64_t>(int64_t(*below) + n, INT_MAX);
  *below = int(b);
  return b > gap;
}

// One block's walk over its frames after the envelope: gate, would-open indicator, record gain,
// take boundaries, tape writes and the scope strip. Frames where a state changes are stepped
// through one at a time; the stretches between them, where only counters move, are taken whole.
// The delay ring is written at the end of the block, so the frames it delays are read from the
// ring while they lie before the block and from the gained input once they lie in it.
struct Walk {
  CaptureEngine* e;
  Params p;
  int frames;
  float exit_line;          // open level x exit factor
  const float* level;       // input level per frame
  const float* det;         // detector level per frame
  const float* env;         // envelope per frame
  const float* gained;      // gained input, interleaved
  const int* crossings;     // frames whose envelope rose to the open line
  int crossing_total, crossing_logged;
  int64_t counter0;         // sample counter at the first frame
  int ring, w0;             // delay ring length and its write index at the first frame
  int column_frames, lookback_fade;
  Tape* tape;
  int64_t tape_end;
  float* frame_gain;        // record gain of every frame that goes onto the tape, twice (left, right)
  int64_t* head_after;      // write head after every frame, for tape playback (or null)

  int gate, above, below;
  int64_t quiet;
  int delay_frames, extra_frames;
  int wo_open, wo_above, wo_below;
  int64_t wo_quiet;
  float rg;
  int rec;
  int64_t head, take_start;
  int opened, closed;
  // Scope column being filled; its peaks take frames col_from.. when it is stored.
  float col_in, col_det;
  uint8_t col_rec, col_wo;
  int col_filled, col_from;
  int64_t column_count;
  float in_max;             // the block's input maximum so far
  // Recorded frames not yet written: block frames run_first.., each read run_delay frames back,
  // for the tape from run_head on.
  int run_first, run_count, run_delay;
  int64_t run_head;
  // The tape chunk under the write position, looked up again only when it leaves it.
  int64_t chunk_begin, chunk_end;
  float* chunk;
  // The overview bucket under the write position and its running peak.
  int64_t ob_size, ob_index, ob_begin, ob_end;
  float ob_peak;

  float* tape_at(int64_t frame) {
    if (frame < chunk_begin || frame >= chunk_end) {
      const int64_t cf = tape->chunk_frames;
      chunk_begin = frame / cf * cf;
      chunk_end = chunk_begin + cf;
      chunk = tape_frame(tape, chunk_begin);
    }
    return chunk ? chunk + 2 * (frame - chunk_begin) : nullptr;
  }

  void overview_flush() {
    if (ob_index >= 0 && ob_peak > e->overview[ob_index].load(kRelaxed)) e->overview[ob_index].store(ob_peak, kRelaxed);
  }

  void enter_bucket(int64_t frame) {
    overview_flush();
    ob_index = frame / ob_size;
    while (ob_index >= kOverviewBuckets) {
      fold_overview(e);
      ob_size = e->overview_bucket.load(kRelaxed);
      ob_index = frame / ob_size;
    }
    ob_begin = ob_index * ob_size;
    ob_end = ob_begin + ob_size;
    ob_peak = e->overview[ob_index].load(kRelaxed);
  }

  // n frames from src, each times its gain, onto the tape from frame h and into the overview.
  void put(int64_t h, const float* src, const float* g, int n) {
    while (n > 0) {
      float* dst = tape_at(h);
      if (h >= ob_end || h < ob_begin) enter_bucket(h);
      const int m = int(std::min<int64_t>({int64_t(n), chunk_end - h, ob_end - h}));
      ob_peak = scale_frames(dst, src, g, m, ob_peak);
      h += m, src += 2 * m, g += 2 * m, n -= m;
    }
  }

  void flush_run() {
    int i = run_first, left = run_count;
    int64_t h = run_head;
    run_count = 0;
    while (left > 0) {
      const int s = i - run_delay;  // the frame it delays, in the block or before it
      const float* src;
      int n = left;
      if (s >= 0) {
        src = gained + 2 * s;
      } else {
        int at = w0 + s;
        if (at < 0) at += ring;
        src = e->delay + 2 * at;
        n = std::min({left, -s, ring - at});
      }
      put(h, src, frame_gain + 2 * i, n);
      i += n, h += n, left -= n;
    }
  }

  // Frames i..i+n-1 are recorded: those the tape can take join the run of frames to write.
  void record(int i, int n) {
    const int m = int(std::min<int64_t>(n, tape_end - head));
    if (m <= 0) return;
    if (run_count > 0 && run_first + run_count == i && run_delay == delay_frames) {
      run_count += m;
    } else {
      flush_run();
      run_first = i, run_count = m, run_delay = delay_frames, run_head = head;
    }
    head += m;
  }

  // The look-back frames of a take that begins at frame i, faded in over up to 10 ms; they stay
  // out of the overview.
  void write_look_back(int i) {
    const int m = std::min(extra_frames, lookback_fade);
    const int w = (w0 + i) % ring;
    int idx = w - p.pre - extra_frames;
    while (idx < 0) idx += ring;
    for (int k = 0; k < extra_frames && head < tape_end;) {
      int back = w - idx;  // frames before frame i
      if (back < 0) back += ring;
      const float* src;
      int n;
      if (back <= i) {
        src = gained + 2 * (i - back);
        n = back + 1;
      } else {
        src = e->delay + 2 * idx;
        n = std::min(ring - idx, back - i);
      }
      n = int(std::min<int64_t>({int64_t(n), int64_t(extra_frames - k), tape_end - head}));
      for (int j = 0; j < n;) {
        float* dst = tape_at(head);
        const int c = int(std::min<int64_t>(n - j, chunk_end - head));
        if (dst) {
          const float* s = src + 2 * j;
          int f = 0;
          for (; f < c && k + j + f < m; ++f) {
            const float x = float(k + j + f) / float(m);
            dst[2 * f] = s[2 * f] * x, dst[2 * f + 1] = s[2 * f + 1] * x;
          }
          for (int q = 2 * f; q < 2 * c; ++q) dst[q] = s[q] * 1.0f;  // past the fade: factor 1
        }
        j += c, head += c;
      }
      k += n;
      idx = (idx + n) % ring;
    }
  }

  // The crossing log takes the block's crossings up to frame i only when a look-back needs it.
  void log_crossings(int i) {
    while (crossing_logged < crossing_total && crossings[crossing_logged] <= i)
      e->crossing[e->crossing_count++ % kCrossingLogSize] = counter0 + crossings[crossing_logged++];
  }

  int look_back(int i) {
    log_crossings(i);
    return look_back_start(e, counter0 + i, p.pre, p.look, p.tail);
  }

  // The column's peaks take frames col_from..end-1; the block's input maximum follows.
  void take_peaks(int end) {
    const float m = peak_of(level + col_from, end - col_from, 0.0f);
    in_max = std::max(in_max, m);
    col_in = std::max(col_in, m);
    col_det = det == level ? std::max(col_det, m) : peak_of(det + col_from, end - col_from, col_det);
    col_from = end;
  }

  void store_column(int end) {
    take_peaks(end);
    const int slot = int(column_count % kScopeColumns);
    e->column_input[slot].store(col_in, kRelaxed);
    e->column_detector[slot].store(col_det, kRelaxed);
    e->column_recorded[slot].store(col_rec, kRelaxed);
    e->column_would_open[slot].store(col_wo, kRelaxed);
    e->column_count.store(++column_count, std::memory_order_release);
    col_in = col_det = 0;
    col_rec = col_wo = 0;
    col_filled = 0;
  }

  // Frame i, every step in order.
  void step(int i) {
    const float x = env[i];
    bool open_now = false;
    if (!p.armed) {
      gate = 0;
      above = below = 0;
    } else if (p.forced) {
      quiet = 0;
      above = below = 0;
      open_now = !gate;
    } else if (x >= (gate ? exit_line : p.open_level)) {
      quiet = 0;
      below = 0;
      if (!gate) open_now = ++above >= p.hold || p.hold == 0;
    } else {
      if (count_under(&below, 1, p.gap)) above = 0;
      if (gate && ++quiet >= int64_t(delay_frames) + p.post) gate = 0;
    }
    if (open_now) {
      const int d = look_back(i);
      extra_frames = std::max(d - p.pre, 0);
      delay_frames = p.pre;
      gate = 1;
    }

    // Would-open indicator: the same rules, whether armed or not, without the delay term.
    if (x >= (wo_open ? exit_line : p.open_level)) {
      wo_quiet = 0;
      wo_below = 0;
      if (!wo_open && (++wo_above >= p.hold || p.hold == 0)) {
        wo_open = 1;
        const int d = look_back(i);
        mark_columns(e->column_would_open, column_count, d / column_frames + 1);
      }
    } else {
      if (count_under(&wo_below, 1, p.gap)) wo_above = 0;
      if (wo_open && ++wo_quiet >= p.post) wo_open = 0;
    }

    // Record gain and the take boundaries.
    rg += ((gate ? 1.0f : 0.0f) - rg) * kGainRate;
    const int rec_now = rg > kRecordingThreshold;
    if (rec_now && !rec) {
      ++opened;
      take_start = head;
      if (e->take_start_count < kMaxTakeStarts) e->take_starts[e->take_start_count++] = head;
      if (extra_frames > 0) {
        write_look_back(i);
        rg = 1.0f;
      }
      mark_columns(e->column_recorded, column_count, (int64_t(p.pre) + extra_frames) / column_frames + 1);
      extra_frames = 0;
    } else if (!rec_now && rec) {
      const int64_t wcount = e->sealed_write.load(kRelaxed);
      if (wcount - e->sealed_read.load(std::memory_order_acquire) < kMaxSealedTakes) {
        e->sealed[wcount % kMaxSealedTakes] = SealedTake{take_start, head};
        e->sealed_write.store(wcount + 1, std::memory_order_release);
      }
      ++closed;
    }
    rec = rec_now;
    if (rec_now) {
      frame_gain[2 * i] = frame_gain[2 * i + 1] = rg;
      record(i, 1);
    }
    if (head_after) head_after[i] = head;

    if (rec_now && quiet <= p.post) col_rec = 1;
    if (wo_open) col_wo = 1;
    if (++col_filled >= column_frames) store_column(i + 1);
  }

  // The frames from i on in which no state but a counter changes, taken whole: the envelope
  // stays on one side of both lines in force, no count reaches its limit, the recording flag
  // holds and the scope column does not fill. Returns how many (0: frame i needs a step).
  int stretch(int i) {
    const float x = env[i];
    int64_t limit = std::min(frames - i, column_frames - col_filled);
    float lo = -INFINITY, hi = NAN;  // the envelope must stay in [lo, hi); NaN: no upper bound
    auto under = [&hi](float line) {
      if (std::isnan(hi) || line < hi) hi = line;
    };
    bool gate_over = false;
    if (!p.armed) {
      if (gate) return 0;
    } else if (p.forced) {
      if (!gate) return 0;
    } else {
      const float line = gate ? exit_line : p.open_level;
      gate_over = x >= line;
      if (gate_over) {
        lo = std::max(lo, line);
        if (!gate) {
          if (p.hold == 0 || int64_t(above) + 1 >= p.hold) return 0;
          limit = std::min<int64_t>(limit, int64_t(p.hold) - above - 1);
        }
      } else {
        under(line);
        if (gate) {
          const int64_t left = int64_t(delay_frames) + p.post - quiet - 1;
          if (left <= 0) return 0;
          limit = std::min(limit, left);
        }
      }
    }
    const float wo_line = wo_open ? exit_line : p.open_level;
    const bool wo_over = x >= wo_line;
    if (wo_over) {
      lo = std::max(lo, wo_line);
      if (!wo_open) {
        if (p.hold == 0 || int64_t(wo_above) + 1 >= p.hold) return 0;
        limit = std::min<int64_t>(limit, int64_t(p.hold) - wo_above - 1);
      }
    } else {
      under(wo_line);
      if (wo_open) {
        const int64_t left = int64_t(p.post) - wo_quiet - 1;
        if (left <= 0) return 0;
        limit = std::min(limit, left);
      }
    }
    int n = envelope_run(env + i, int(limit), lo, hi);

    // The record gain: settled (the next value equals this one), or walked frame by frame and
    // stopped before the frame where the recording flag would change.
    const float target = gate ? 1.0f : 0.0f;
    if (rg + (target - rg) * kGainRate != rg) {
      int k = 0;
      if (gate) {
        for (; k < n; ++k) {
          const float next = rg + (1.0f - rg) * kGainRate;
          if ((next > kRecordingThreshold) != (rec != 0)) break;
          rg = next;
          frame_gain[2 * (i + k)] = frame_gain[2 * (i + k) + 1] = next;
        }
      } else {
        // rg + (0 - rg) x rate, one step shorter: the gain is never negative, so 0 - rg is
        // exactly -rg (and at +0 both forms leave +0).
        for (; k < n; ++k) {
          const float next = rg - rg * kGainRate;
          if ((next > kRecordingThreshold) != (rec != 0)) break;
          rg = next;
          frame_gain[2 * (i + k)] = frame_gain[2 * (i + k) + 1] = next;
        }
      }
      if (k == 0) return 0;
      n = k;
    } else if (rec) {
      std::fill(frame_gain + 2 * i, frame_gain + 2 * (i + n), rg);
    }

    // The counters, as n frames of the same kind would leave them.
    int64_t first_quiet = quiet;  // the gate's quiet count after the first frame
    if (!p.armed) {
      above = below = 0;
    } else if (p.forced) {
      quiet = first_quiet = 0;
      above = below = 0;
    } else if (gate_over) {
      quiet = first_quiet = 0;
      below = 0;
      if (!gate) above += n;
    } else {
      if (count_under(&below, n, p.gap)) above = 0;
      if (gate) first_quiet = quiet + 1, quiet += n;
    }
    if (wo_over) {
      wo_quiet = 0;
      wo_below = 0;
      if (!wo_open) wo_above += n;
    } else {
      if (count_under(&wo_below, n, p.gap)) wo_above = 0;
      if (wo_open) wo_quiet += n;
    }

    const int64_t from = head;
    if (rec) record(i, n);
    if (head_after)
      for (int k = 0; k < n; ++k) head_after[i + k] = std::min(from + k + 1, head);

    // The quiet count only grows within a stretch: the first frame decides the recorded mark.
    if (rec && first_quiet <= p.post) col_rec = 1;
    if (wo_open) col_wo = 1;
    col_filled += n;
    if (col_filled >= column_frames) store_column(i + n);
    return n;
  }

  void run() {
    for (int i = 0; i < frames;) {
      const int n = stretch(i);
      if (n > 0) i += n;
      else step(i++);
    }
    flush_run();
    overview_flush();
    take_peaks(frames);
    log_crossings(frames);
    // The block goes into the delay ring.
    for (int i = 0, at = w0; i < frames;) {
      const int n = std::min(frames - i, ring - at);
      memcpy(e->delay + 2 * at, gained + 2 * i, size_t(n) * 2 * sizeof(float));
      i += n;
      at = at + n == ring ? 0 : at + n;
    }
  }
};

}  // namespace

int capture_engine_init(CaptureEngine* e, double rate) {
  capture_engine_free(e);
  if (!(rate > 0)) return -1;
  e->sample_rate = rate;
  e->delay_length = std::max(1, int(rate * kDelaySeconds));
  e->mono_length = std::max(1, int(rate * kMonoHistorySeconds));
  e->delay = alloc_floats(size_t(e->delay_length) * 2);
  e->mono = new (std::nothrow) std::atomic<float>[size_t(e->mono_length)]();
  e->work_left = alloc_floats(kMaxBlockFrames);
  e->work_right = alloc_floats(kMaxBlockFrames);
  e->player_left = alloc_floats(kMaxBlockFrames);
  e->player_right = alloc_floats(kMaxBlockFrames);
  e->detect = alloc_floats(kMaxBlockFrames);
  e->eq_scratch = alloc_floats(2 * kMaxBlockFrames);
  e->level = alloc_floats(kMaxBlockFrames);
  e->tap_stereo = alloc_floats(2 * kMaxBlockFrames);
  e->gained = alloc_floats(2 * kMaxBlockFrames);
  e->env_frames = alloc_floats(kMaxBlockFrames);
  e->crossing_frames = static_cast<int*>(calloc(kMaxBlockFrames, sizeof(int)));
  e->gain_frames = alloc_floats(2 * kMaxBlockFrames);
  e->head_frames = static_cast<int64_t*>(calloc(kMaxBlockFrames, sizeof(int64_t)));
  if (!e->delay || !e->mono || !e->work_left || !e->work_right || !e->player_left || !e->player_right || !e->detect ||
      !e->eq_scratch || !e->level || !e->tap_stereo || !e->gained || !e->env_frames || !e->crossing_frames ||
      !e->gain_frames || !e->head_frames) {
    capture_engine_free(e);
    return -1;
  }
  e->column_frames = std::max(1, int(rate * kDelaySeconds / kScopeColumns));

  e->armed = 0, e->monitor = 0, e->play_tape = 0, e->gate_forced = 0, e->normalize_monitor = 0;
  e->input_gain = 1.0f;
  e->display_scale = 1.0f;
  e->open_level = 0.02f;
  e->hpf_hz = 0, e->lpf_hz = 0, e->peak_hz = 0;
  e->peak_q = 2.0f;
  e->hpf_order = kEqMaxOrder, e->lpf_order = kEqMaxOrder;
  e->exit_db = 0;
  e->pre_roll_frames = int(rate * 0.5);
  e->look_back_frames = 0;
  e->post_roll_frames = int(rate);
  e->hold_frames = 0;
  e->bit_depth = 16;

  e->input_peak = 0, e->output_peak = 0, e->envelope = 0;
  e->gate_open = 0, e->would_open = 0, e->recording = 0;
  e->write_head = 0, e->takes_opened = 0, e->takes_closed = 0, e->play_head = 0;
  e->monitor_gain = 1.0f, e->limiter_gain = 1.0f;
  e->reset_request = 0, e->cull_request = 0, e->seek_request = -1;
  e->sealed_write = 0, e->sealed_read = 0;
  clear_overview(e, 0);
  e->overview_bucket = kOverviewStartBucket;
  for (int i = 0; i < kScopeColumns; ++i) {
    e->column_input[i] = 0, e->column_detector[i] = 0;
    e->column_recorded[i] = 0, e->column_would_open[i] = 0;
  }
  e->column_count = 0;
  e->mono_count = 0;
  e->cb_last_ns = 0, e->cb_max_ns = 0, e->cb_busy_ns = 0, e->cb_count = 0, e->cb_frames = 0;
  e->device_xruns = 0;
  e->timing_prev_count = e->timing_prev_busy_ns = e->timing_prev_frames = 0;

  memset(&e->eq, 0, sizeof e->eq);
  e->env = 0;
  e->above_line = 0;
  e->sample_counter = 0;
  e->crossing_count = 0;
  e->gate = 0;
  e->above_count = e->below_count = 0;
  e->quiet_count = kQuietForever;
  e->delay_frames = e->extra_frames = 0;
  e->wo_open = e->wo_above = e->wo_below = 0;
  e->wo_quiet = kQuietForever;
  e->delay_write = 0;
  e->record_gain = 0;
  e->rec = 0;
  e->head = e->playhead = 0;
  e->opened = e->closed = 0;
  e->take_start = 0;
  e->take_start_count = 0;
  e->col_in = e->col_det = 0;
  e->col_rec = e->col_wo = 0;
  e->col_filled = 0;
  e->level_env = 0;
  e->level_gain = 1.0f;
  e->limit_gain = 1.0f;
  e->in_peak = e->out_peak = 0;
  e->derived_valid = 0;
  return 0;
}

void capture_engine_free(CaptureEngine* e) {
  free(e->delay);
  delete[] e->mono;
  free(e->work_left);
  free(e->work_right);
  free(e->player_left);
  free(e->player_right);
  free(e->detect);
  free(e->eq_scratch);
  free(e->level);
  free(e->tap_stereo);
  free(e->gained);
  free(e->env_frames);
  free(e->crossing_frames);
  free(e->gain_frames);
  free(e->head_frames);
  e->delay = nullptr;
  e->mono = nullptr;
  e->work_left = e->work_right = e->player_left = e->player_right = e->detect = e->eq_scratch = e->level = e->tap_stereo = nullptr;
  e->gained = e->env_frames = e->gain_frames = nullptr;
  e->crossing_frames = nullptr;
  e->head_frames = nullptr;
  e->delay_length = e->mono_length = 0;
}

void capture_set_player_mix(const PlayerMix* mix) { g_player_mix.store(mix, std::memory_order_release); }

int process_block(CaptureEngine* e, const float* input, float* output, int frames) {
  if (output && frames > 0) memset(output, 0, size_t(frames) * 2 * sizeof(float));
  if (!e->running.load(std::memory_order_acquire) || frames > kMaxBlockFrames || frames <= 0 || !e->delay ||
      !e->tape.chunks)
    return 0;
  DenormalGuard denormals;
  const double r = e->sample_rate;
  float* L = e->work_left;
  float* R = e->work_right;

  // Fill the work buffers: the input hook, the inputs mixer, or the device's first two channels.
  const float* stereo = nullptr;
  const InputHook* hook = e->input_hook.load(std::memory_order_acquire);
  const InputsMixer* mixer = e->inputs_mixer.load(std::memory_order_acquire);
  if (hook && hook->fn(hook->ctx, L, R, frames, int(r))) {
  } else if (mixer) {
    mixer->fn(mixer->ctx, input, e->input_channels, L, R, frames);
  } else if (input && e->input_channels == 2) {
    stereo = input;  // the common case: split in the first pass over the block
  } else if (input && e->input_channels > 2) {
    const int n = e->input_channels;
    for (int i = 0; i < frames; ++i) L[i] = input[i * n], R[i] = input[i * n + 1];
  } else if (input && e->input_channels == 1) {
    for (int i = 0; i < frames; ++i) L[i] = R[i] = input[i];
  } else {
    memset(L, 0, size_t(frames) * sizeof(float));
    memset(R, 0, size_t(frames) * sizeof(float));
  }

  const PlayerMix* player = output ? g_player_mix.load(std::memory_order_acquire) : nullptr;
  if (player) {
    memset(e->player_left, 0, size_t(frames) * sizeof(float));
    memset(e->player_right, 0, size_t(frames) * sizeof(float));
    player->fn(player->ctx, e->player_left, e->player_right, frames, int(r));
  }

  // A served reset or cull publishes the moved write head before it clears its request, so the
  // main thread never pairs a served request with the old head.
  if (e->reset_request.load(std::memory_order_acquire)) {
    serve_reset(e);
    e->write_head.store(e->head, std::memory_order_release);
    e->reset_request.store(0, std::memory_order_release);
  }
  int64_t seek = e->seek_request.exchange(-1, std::memory_order_acq_rel);
  if (seek >= 0) e->playhead = e->head > 0 ? std::clamp<int64_t>(seek, 0, e->head - 1) : 0;
  // A cull waits while the ring is full: its entry must reach the main thread after the seals
  // before it.
  if (e->cull_request.load(std::memory_order_acquire) &&
      e->sealed_write.load(kRelaxed) - e->sealed_read.load(std::memory_order_acquire) < kMaxSealedTakes) {
    serve_cull(e);
    e->write_head.store(e->head, std::memory_order_release);
    e->cull_request.store(0, std::memory_order_release);
  }

  Params p{};
  p.armed = e->armed.load(kRelaxed);
  p.monitor = e->monitor.load(kRelaxed);
  p.play_tape = e->play_tape.load(kRelaxed);
  p.forced = e->gate_forced.load(kRelaxed);
  p.normalize = e->normalize_monitor.load(kRelaxed);
  p.gain = e->input_gain.load(kRelaxed);
  p.open_level = e->open_level.load(kRelaxed);
  const float exit_db = e->exit_db.load(kRelaxed);
  uint32_t exit_key;
  memcpy(&exit_key, &exit_db, 4);
  if (!(e->derived_valid & 2) || exit_key != e->exit_key) {
    e->exit_factor = float(std::pow(10.0, double(exit_db) / 20.0));
    e->exit_key = exit_key;
    e->derived_valid |= 2;
  }
  p.exit_factor = e->exit_factor;
  const int ring = e->delay_length;
  p.pre = std::clamp(e->pre_roll_frames.load(kRelaxed), 0, ring - 1);
  p.look = std::clamp(e->look_back_frames.load(kRelaxed), 0, ring - 1);
  p.post = std::max(e->post_roll_frames.load(kRelaxed), 0);
  p.hold = std::max(e->hold_frames.load(kRelaxed), 0);
  p.gap = int(0.12 * r);
  p.tail = int(0.005 * r);

  Tape* tape = &e->tape;
  // The released frontier first: the allocator lowers the allocated frontier before it moves
  // the released one back, so this pair never spans chunks that are gone.
  const int64_t released = tape->released_frontier.load(std::memory_order_acquire);
  int64_t tape_end = tape->allocated_frontier.load(std::memory_order_acquire);
  if (e->head < released) tape_end = e->head;

  const float* det = nullptr;
  detect_block(e, stereo, frames, p.gain, r, &det);
  const int crossing_total = find_crossings(e, frames, p.open_level);

  const bool mixing = p.monitor || p.play_tape || player;
  Walk w{};
  w.e = e;
  w.p = p;
  w.frames = frames;
  w.exit_line = p.open_level * p.exit_factor;
  w.level = e->level;
  w.det = det;
  w.env = e->env_frames;
  w.gained = e->gained;
  w.crossings = e->crossing_frames;
  w.crossing_total = crossing_total;
  w.counter0 = e->sample_counter;
  w.ring = ring;
  w.w0 = e->delay_write;
  w.column_frames = e->column_frames;
  w.lookback_fade = int(0.01 * r);
  w.tape = tape;
  w.tape_end = tape_end;
  w.frame_gain = e->gain_frames;
  w.head_after = p.play_tape ? e->head_frames : nullptr;
  w.gate = e->gate, w.above = e->above_count, w.below = e->below_count;
  w.quiet = e->quiet_count;
  w.delay_frames = e->delay_frames, w.extra_frames = e->extra_frames;
  w.wo_open = e->wo_open, w.wo_above = e->wo_above, w.wo_below = e->wo_below;
  w.wo_quiet = e->wo_quiet;
  w.rg = e->record_gain;
  w.rec = e->rec;
  w.head = e->head, w.take_start = e->take_start;
  w.opened = e->opened, w.closed = e->closed;
  w.col_in = e->col_in, w.col_det = e->col_det;
  w.col_rec = e->col_rec, w.col_wo = e->col_wo;
  w.col_filled = e->col_filled;
  w.column_count = e->column_count.load(kRelaxed);
  w.ob_size = e->overview_bucket.load(kRelaxed);
  w.ob_index = -1;
  w.run();

  e->sample_counter += frames;
  e->gate = w.gate, e->above_count = w.above, e->below_count = w.below;
  e->quiet_count = w.quiet;
  e->delay_frames = w.delay_frames, e->extra_frames = w.extra_frames;
  e->wo_open = w.wo_open, e->wo_above = w.wo_above, e->wo_below = w.wo_below;
  e->wo_quiet = w.wo_quiet;
  e->delay_write = int((int64_t(w.w0) + frames) % ring);
  e->record_gain = w.rg;
  e->rec = w.rec;
  e->head = w.head, e->take_start = w.take_start;
  e->opened = w.opened, e->closed = w.closed;
  e->col_in = w.col_in, e->col_det = w.col_det;
  e->col_rec = w.col_rec, e->col_wo = w.col_wo;
  e->col_filled = w.col_filled;

  // Monitor mix: tape playback, library playback, listen-through; then the output limiter. The
  // tape is complete for the block by now, and a frame plays only once the write head has
  // passed it at that frame.
  float out_max = 0.0f;
  float level_env = e->level_env, level_gain = e->level_gain, limit_gain = e->limit_gain;
  if (mixing) {
    int64_t playhead = e->playhead;
    const float* G = e->gained;
    for (int i = 0; i < frames; ++i) {
      const float gl = G[2 * i], gr = G[2 * i + 1];
      const float p_in = e->level[i];
      float ol = 0.0f, orr = 0.0f;
      if (p.play_tape && playhead < e->head_frames[i]) {
        if (const float* src = tape_frame(tape, playhead)) ol += src[0], orr += src[1];
        ++playhead;
      }
      if (player) ol += e->player_left[i], orr += e->player_right[i];
      if (p.monitor) {
        float g = 1.0f;
        if (p.normalize) {
          level_env = p_in > level_env ? p_in : level_env * kEnvelopeRelease;
          const float target = kLevelTarget / std::max(level_env, kLevelFloor);
          level_gain += (target - level_gain) * (level_gain <= target ? kGainRate : kLevelFallRate);
          g = level_gain;
        }
        ol += gl * g, orr += gr * g;
      }
      const float peak = std::max(std::fabs(ol), std::fabs(orr));
      if (peak * limit_gain > kLimitCeiling) limit_gain = kLimitCeiling / peak;
      else limit_gain = 1.0f - (1.0f - limit_gain) * kLimitRecover;
      ol *= limit_gain, orr *= limit_gain;
      if (output) {
        out_max = std::max(out_max, std::max(std::fabs(ol), std::fabs(orr)));
        output[2 * i] = ol;
        output[2 * i + 1] = orr;
      }
    }
    e->playhead = playhead;
  } else {
    // Nothing feeds the output: it stays silent and the limiter only recovers, which for a
    // whole block is one power instead of a multiply per frame.
    if (!(e->derived_valid & 4) || e->recover_frames != frames) {
      e->recover_power = std::pow(kLimitRecover, float(frames));
      e->recover_frames = frames;
      e->derived_valid |= 4;
    }
    limit_gain = 1.0f - (1.0f - limit_gain) * e->recover_power;
  }
  e->level_env = level_env, e->level_gain = level_gain, e->limit_gain = limit_gain;

  e->mono_count.store(e->mono_count.load(kRelaxed) + frames, std::memory_order_release);
  const OutputTap* out_tap = e->output_tap.load(std::memory_order_acquire);
  float* tap = e->tap_stereo;
  if (!output) {
    for (int i = 0; i < frames; ++i) {
      tap[2 * i] = L[i];
      tap[2 * i + 1] = R[i];
      out_max = std::max(out_max, std::max(std::fabs(L[i]), std::fabs(R[i])));
    }
  }
  if (out_tap) out_tap->fn(out_tap->ctx, output ? output : tap, frames, int(r));
  if (p.play_tape && e->playhead >= e->head) e->play_tape.store(0, kRelaxed);

  e->write_head.store(e->head, std::memory_order_release);
  e->play_head.store(e->playhead, kRelaxed);
  e->takes_opened.store(e->opened, kRelaxed);
  e->takes_closed.store(e->closed, std::memory_order_release);
  e->recording.store(e->rec, kRelaxed);
  e->monitor_gain.store(e->level_gain, kRelaxed);
  e->limiter_gain.store(e->limit_gain, kRelaxed);
  e->envelope.store(e->env, kRelaxed);
  e->gate_open.store(e->gate, kRelaxed);
  e->would_open.store(e->wo_open, kRelaxed);
  e->in_peak = std::max(w.in_max, e->in_peak * kMeterFall);
  e->out_peak = std::max(out_max, e->out_peak * kMeterFall);
  e->input_peak.store(e->in_peak, kRelaxed);
  e->output_peak.store(e->out_peak, kRelaxed);
  return frames;
}

int capture_callback(const void* input, void* output, unsigned long frames, const void*, unsigned long, void* engine) {
  CaptureEngine* e = static_cast<CaptureEngine*>(engine);
  const int64_t t0 = mono_ns();
  const int done = process_block(e, static_cast<const float*>(input), static_cast<float*>(output), int(frames));
  const int64_t ns = mono_ns() - t0;
  e->cb_last_ns.store(ns, kRelaxed);
  int64_t prev = e->cb_max_ns.load(kRelaxed);
  while (ns > prev && !e->cb_max_ns.compare_exchange_weak(prev, ns, kRelaxed)) {
  }
  e->cb_busy_ns.fetch_add(ns, kRelaxed);
  e->cb_frames.fetch_add(int64_t(done), kRelaxed);
  e->cb_count.fetch_add(1, std::memory_order_release);
  return 0;
}

bool engine_next_sealed_take(CaptureEngine* e, SealedTake* out) {
  const int64_t r = e->sealed_read.load(kRelaxed);
  if (r >= e->sealed_write.load(std::memory_order_acquire)) return false;
  *out = e->sealed[r % kMaxSealedTakes];
  e->sealed_read.store(r + 1, std::memory_order_release);
  return true;
}

int engine_scope_columns(const CaptureEngine* e, int n, ScopeColumn* out) {
  n = std::clamp(n, 1, kScopeColumns);
  const int64_t count = e->column_count.load(std::memory_order_acquire);
  const int have = int(std::min<int64_t>(count, n));
  for (int j = 0; j < have; ++j) {
    const int slot = int((count - have + j) % kScopeColumns);
    out[j] = ScopeColumn{e->column_input[slot].load(kRelaxed), e->column_detector[slot].load(kRelaxed),
                         e->column_recorded[slot].load(kRelaxed), e->column_would_open[slot].load(kRelaxed)};
  }
  return have;
}

int engine_mono_history(const CaptureEngine* e, int n, float* out) {
  if (!e->mono || n <= 0) return 0;
  const int64_t count = e->mono_count.load(std::memory_order_acquire);
  const int have = int(std::min<int64_t>({int64_t(n), int64_t(e->mono_length), count}));
  for (int j = 0; j < have; ++j) out[j] = e->mono[(count - have + j) % e->mono_length].load(kRelaxed);
  return have;
}

int engine_overview(const CaptureEngine* e, int n, float* out) {
  const int64_t head = e->write_head.load(std::memory_order_acquire);
  const int64_t bucket = e->overview_bucket.load(kRelaxed);
  if (n <= 0 || head <= 0 || bucket <= 0) return 0;
  const int64_t used = std::min<int64_t>((head - 1) / bucket + 1, kOverviewBuckets);
  for (int v = 0; v < n; ++v) {
    int64_t from = int64_t(v) * used / n;
    int64_t to = std::max(from + 1, int64_t(v + 1) * used / n);
    float m = 0.0f;
    for (int64_t j = from; j < to && j < used; ++j) m = std::max(m, e->overview[j].load(kRelaxed));
    out[v] = m;
  }
  return n;
}

void engine_timing(CaptureEngine* e, TimingStats* out) {
  const int64_t count = e->cb_count.load(std::memory_order_acquire);
  const int64_t busy = e->cb_busy_ns.load(kRelaxed);
  const int64_t frames = e->cb_frames.load(kRelaxed);
  out->callbacks = count - e->timing_prev_count;
  out->busy_us = double(busy - e->timing_prev_busy_ns) / 1000.0;
  out->audio_us = e->sample_rate > 0 ? double(frames - e->timing_prev_frames) * 1e6 / e->sample_rate : 0.0;
  out->max_us = double(e->cb_max_ns.exchange(0, kRelaxed)) / 1000.0;
  e->timing_prev_count = count;
  e->timing_prev_busy_ns = busy;
  e->timing_prev_frames = frames;
}

int64_t engine_frames_delivered(const CaptureEngine* e) { return e->cb_frames.load(kRelaxed); }

void engine_seek_fraction(CaptureEngine* e, double x) {
  const int64_t head = e->write_head.load(std::memory_order_acquire);
  if (head <= 0) return;
  x = std::clamp(x, 0.0, 1.0);
  e->seek_request.store(std::min(int64_t(x * double(head)), head - 1), std::memory_order_release);
}
