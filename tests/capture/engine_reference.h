// The capture routine written the plain way, one frame at a time through every step in order,
// on its own engine record: what the block routine must reproduce bit for bit. Test code only;
// it shares the engine's record layout and its public helpers, nothing of its internals.
#pragma once
#include <algorithm>
#include <cmath>
#include <cstring>

#if defined(__SSE__)
#include <xmmintrin.h>
#endif

#include "capture/detector_eq.h"
#include "capture/engine.h"

namespace reference {

constexpr auto kRelaxed = std::memory_order_relaxed;

inline int look_back_start(const CaptureEngine* e, int64_t counter, int pre, int look, int tail) {
  int64_t d = pre;
  if (look > 0 && e->crossing_count > 0) {
    int64_t earliest = -1;
    const int64_t n = std::min<int64_t>(e->crossing_count, kCrossingLogSize);
    for (int64_t j = 0; j < n; ++j) {
      const int64_t c = e->crossing[(e->crossing_count - 1 - j) % kCrossingLogSize];
      if (c < counter - look) break;
      earliest = c;
    }
    if (earliest >= 0 && d < counter + tail - earliest) d = counter + tail - earliest;
  }
  return int(std::min<int64_t>(d, e->delay_length - 1));
}

inline void mark_columns(std::atomic<uint8_t>* marks, int64_t column_count, int64_t count) {
  count = std::min<int64_t>(count, kScopeColumns - 1);
  for (int64_t j = 0; j < count && column_count - 1 - j >= 0; ++j) marks[(column_count - 1 - j) % kScopeColumns] = 1;
}

inline void clear_overview(CaptureEngine* e, int64_t from_bucket) {
  for (int64_t j = std::max<int64_t>(from_bucket, 0); j < kOverviewBuckets; ++j) e->overview[j] = 0.0f;
}

inline void write_overview(CaptureEngine* e, int64_t frame, float peak) {
  int64_t bucket = frame / e->overview_bucket;
  while (bucket >= kOverviewBuckets) {
    for (int j = 0; j < kOverviewBuckets / 2; ++j) e->overview[j] = std::max(e->overview[2 * j].load(), e->overview[2 * j + 1].load());
    clear_overview(e, kOverviewBuckets / 2);
    e->overview_bucket = e->overview_bucket * 2;
    bucket = frame / e->overview_bucket;
  }
  e->overview[bucket] = std::max(e->overview[bucket].load(), peak);
}

// The whole routine for one block; `player` stands in for the process-wide player mix-in.
inline int process_block(CaptureEngine* e, const float* input, float* output, int frames, const PlayerMix* player) {
  if (output && frames > 0) memset(output, 0, size_t(frames) * 2 * sizeof(float));
  if (!e->running || frames > kMaxBlockFrames || frames <= 0 || !e->delay || !e->tape.chunks) return 0;
#if defined(__SSE__)
  const unsigned int saved_csr = _mm_getcsr();
  _mm_setcsr(saved_csr | 0x8040);
#endif
  const double r = e->sample_rate;
  float* L = e->work_left;
  float* R = e->work_right;
  const InputHook* hook = e->input_hook;
  const InputsMixer* mixer = e->inputs_mixer;
  if (hook && hook->fn(hook->ctx, L, R, frames, int(r))) {
  } else if (mixer) {
    mixer->fn(mixer->ctx, input, e->input_channels, L, R, frames);
  } else if (input && e->input_channels >= 2) {
    for (int i = 0; i < frames; ++i) L[i] = input[i * e->input_channels], R[i] = input[i * e->input_channels + 1];
  } else if (input && e->input_channels == 1) {
    for (int i = 0; i < frames; ++i) L[i] = R[i] = input[i];
  } else {
    for (int i = 0; i < frames; ++i) L[i] = R[i] = 0.0f;
  }
  if (!output) player = nullptr;
  if (player) {
    for (int i = 0; i < frames; ++i) e->player_left[i] = e->player_right[i] = 0.0f;
    player->fn(player->ctx, e->player_left, e->player_right, frames, int(r));
  }

  if (e->reset_request) {
    e->head = e->playhead = 0;
    e->opened = e->closed = 0;
    e->record_gain = 0;
    e->rec = e->gate = 0;
    e->take_start = 0;
    e->take_start_count = 0;
    e->crossing_count = 0;
    e->extra_frames = 0;
    e->above_line = 0;
    for (int ch = 0; ch < 2; ++ch) e->eq.band_x1[ch] = e->eq.band_x2[ch] = e->eq.band_y1[ch] = e->eq.band_y2[ch] = 0;
    e->quiet_count = kQuietForever;
    e->above_count = 0;
    clear_overview(e, 0);
    e->overview_bucket = kOverviewStartBucket;
    e->write_head = e->head;
    e->reset_request = 0;
  }
  const int64_t seek = e->seek_request.exchange(-1);
  if (seek >= 0) e->playhead = e->head > 0 ? std::clamp<int64_t>(seek, 0, e->head - 1) : 0;
  if (e->cull_request && e->sealed_write - e->sealed_read < kMaxSealedTakes) {
    if (e->take_start_count > 0) {
      const int64_t s = e->take_starts[--e->take_start_count];
      if (!e->rec) {
        e->closed = std::max(e->closed - 1, 0);
        e->sealed[e->sealed_write % kMaxSealedTakes] = SealedTake{s, e->head, 1};
        e->sealed_write = e->sealed_write + 1;
      }
      e->head = std::min(std::max<int64_t>(s, 0), e->head);
      clear_overview(e, e->head / e->overview_bucket + 1);
      e->playhead = std::min(e->playhead, e->head);
      e->opened = std::max(e->opened - 1, 0);
      e->record_gain = 0;
      e->gate = e->rec = 0;
      e->quiet_count = kQuietForever;
      e->above_count = 0;
    }
    e->write_head = e->head;
    e->cull_request = 0;
  }

  const int armed = e->armed, monitor = e->monitor, play_tape = e->play_tape, forced = e->gate_forced;
  const int normalize = e->normalize_monitor;
  const float gain = e->input_gain, open_level = e->open_level;
  const float exit_factor = float(std::pow(10.0, double(e->exit_db) / 20.0));
  const int ring = e->delay_length;
  const int pre = std::clamp(e->pre_roll_frames.load(), 0, ring - 1);
  const int look = std::clamp(e->look_back_frames.load(), 0, ring - 1);
  const int post = std::max(e->post_roll_frames.load(), 0);
  const int hold = std::max(e->hold_frames.load(), 0);
  const int gap = int(0.12 * r), tail = int(0.005 * r);
  Tape* tape = &e->tape;
  int64_t tape_end = tape->allocated_frontier;
  if (e->head < tape->released_frontier) tape_end = e->head;

  EqCoefficients c;
  eq_coefficients(&c, e->hpf_hz, e->hpf_order, e->lpf_hz, e->lpf_order, e->peak_hz, e->peak_q, r);
  if (c.cascade || c.band) eq_detect(&e->eq, c, L, R, gain, frames, e->eq_scratch, e->detect);

  float in_max = 0.0f, out_max = 0.0f;
  int64_t mono_at = e->mono_count % e->mono_length;
  for (int i = 0; i < frames; ++i) {
    const float gl = gain * L[i], gr = gain * R[i];
    const float p_in = std::max(std::fabs(gl), std::fabs(gr));
    in_max = std::max(in_max, p_in);
    e->mono[mono_at] = 0.5f * (gl + gr);
    if (++mono_at == e->mono_length) mono_at = 0;
    const float p_det = c.cascade || c.band ? e->detect[i] : p_in;

    e->env = p_det > e->env ? p_det : e->env * 0.9995f;
    const int over = e->env >= open_level;
    if (over && !e->above_line) e->crossing[e->crossing_count++ % kCrossingLogSize] = e->sample_counter;
    e->above_line = over;

    bool open_now = false;
    if (!armed) {
      e->gate = 0;
      e->above_count = e->below_count = 0;
    } else if (forced) {
      e->quiet_count = 0;
      e->above_count = e->below_count = 0;
      open_now = !e->gate;
    } else if (e->env >= (e->gate ? open_level * exit_factor : open_level)) {
      e->quiet_count = 0;
      e->below_count = 0;
      if (!e->gate) open_now = ++e->above_count >= hold || hold == 0;
    } else {
      if (++e->below_count > gap) e->above_count = 0;
      if (e->gate && ++e->quiet_count >= int64_t(e->delay_frames) + post) e->gate = 0;
    }
    if (open_now) {
      const int d = look_back_start(e, e->sample_counter, pre, look, tail);
      e->extra_frames = std::max(d - pre, 0);
      e->delay_frames = pre;
      e->gate = 1;
    }

    if (e->env >= (e->wo_open ? open_level * exit_factor : open_level)) {
      e->wo_quiet = 0;
      e->wo_below = 0;
      if (!e->wo_open && (++e->wo_above >= hold || hold == 0)) {
        e->wo_open = 1;
        const int d = look_back_start(e, e->sample_counter, pre, look, tail);
        mark_columns(e->column_would_open, e->column_count, d / e->column_frames + 1);
      }
    } else {
      if (++e->wo_below > gap) e->wo_above = 0;
      if (e->wo_open && ++e->wo_quiet >= post) e->wo_open = 0;
    }
    ++e->sample_counter;

    const int w = e->delay_write;
    e->delay[2 * w] = gl;
    e->delay[2 * w + 1] = gr;
    int rd = w - e->delay_frames;
    if (rd < 0) rd += ring;
    const float delayed_l = e->delay[2 * rd], delayed_r = e->delay[2 * rd + 1];
    if (++e->delay_write == ring) e->delay_write = 0;

    e->record_gain += ((e->gate ? 1.0f : 0.0f) - e->record_gain) * 0.0015f;
    const int rec_now = e->record_gain > 0.0005f;
    if (rec_now && !e->rec) {
      ++e->opened;
      e->take_start = e->head;
      if (e->take_start_count < kMaxTakeStarts) e->take_starts[e->take_start_count++] = e->head;
      if (e->extra_frames > 0) {
        const int m = std::min(e->extra_frames, int(0.01 * r));
        int idx = w - pre - e->extra_frames;
        while (idx < 0) idx += ring;
        for (int k = 0; k < e->extra_frames && e->head < tape_end; ++k) {
          const float f = k < m ? float(k) / float(m) : 1.0f;
          if (float* dst = tape_frame(tape, e->head)) {
            dst[0] = e->delay[2 * idx] * f;
            dst[1] = e->delay[2 * idx + 1] * f;
          }
          ++e->head;
          if (++idx == ring) idx = 0;
        }
        e->record_gain = 1.0f;
      }
      mark_columns(e->column_recorded, e->column_count, (int64_t(pre) + e->extra_frames) / e->column_frames + 1);
      e->extra_frames = 0;
    } else if (!rec_now && e->rec) {
      if (e->sealed_write - e->sealed_read < kMaxSealedTakes) {
        e->sealed[e->sealed_write % kMaxSealedTakes] = SealedTake{e->take_start, e->head};
        e->sealed_write = e->sealed_write + 1;
      }
      ++e->closed;
    }
    e->rec = rec_now;

    if (rec_now && e->head < tape_end) {
      const float sl = delayed_l * e->record_gain, sr = delayed_r * e->record_gain;
      if (float* dst = tape_frame(tape, e->head)) dst[0] = sl, dst[1] = sr;
      write_overview(e, e->head, std::max(std::fabs(sl), std::fabs(sr)));
      ++e->head;
    }

    e->col_in = std::max(e->col_in, p_in);
    e->col_det = std::max(e->col_det, p_det);
    if (rec_now && e->quiet_count <= post) e->col_rec = 1;
    if (e->wo_open) e->col_wo = 1;
    if (++e->col_filled >= e->column_frames) {
      const int slot = int(e->column_count % kScopeColumns);
      e->column_input[slot] = e->col_in;
      e->column_detector[slot] = e->col_det;
      e->column_recorded[slot] = e->col_rec;
      e->column_would_open[slot] = e->col_wo;
      e->column_count = e->column_count + 1;
      e->col_in = e->col_det = 0;
      e->col_rec = e->col_wo = 0;
      e->col_filled = 0;
    }

    if (monitor || play_tape || player) {
      float ol = 0.0f, orr = 0.0f;
      if (play_tape && e->playhead < e->head) {
        if (const float* src = tape_frame(tape, e->playhead)) ol += src[0], orr += src[1];
        ++e->playhead;
      }
      if (player) ol += e->player_left[i], orr += e->player_right[i];
      if (monitor) {
        float g = 1.0f;
        if (normalize) {
          e->level_env = p_in > e->level_env ? p_in : e->level_env * 0.9995f;
          const float target = 0.708f / std::max(e->level_env, 0.125f);
          e->level_gain += (target - e->level_gain) * (e->level_gain <= target ? 0.0015f : 0.02f);
          g = e->level_gain;
        }
        ol += gl * g, orr += gr * g;
      }
      const float peak = std::max(std::fabs(ol), std::fabs(orr));
      if (peak * e->limit_gain > 0.891f) e->limit_gain = 0.891f / peak;
      else e->limit_gain = 1.0f - (1.0f - e->limit_gain) * 0.99983f;
      ol *= e->limit_gain, orr *= e->limit_gain;
      if (output) {
        out_max = std::max(out_max, std::max(std::fabs(ol), std::fabs(orr)));
        output[2 * i] = ol;
        output[2 * i + 1] = orr;
      }
    }
  }
  if (!(monitor || play_tape || player)) e->limit_gain = 1.0f - (1.0f - e->limit_gain) * std::pow(0.99983f, float(frames));

  e->mono_count = e->mono_count + frames;
  const OutputTap* out_tap = e->output_tap;
  if (!output) {
    for (int i = 0; i < frames; ++i) {
      e->tap_stereo[2 * i] = L[i];
      e->tap_stereo[2 * i + 1] = R[i];
      out_max = std::max(out_max, std::max(std::fabs(L[i]), std::fabs(R[i])));
    }
  }
  if (out_tap) out_tap->fn(out_tap->ctx, output ? output : e->tap_stereo, frames, int(r));
  if (play_tape && e->playhead >= e->head) e->play_tape = 0;
  e->write_head = e->head;
  e->play_head = e->playhead;
  e->takes_opened = e->opened;
  e->takes_closed = e->closed;
  e->recording = e->rec;
  e->monitor_gain = e->level_gain;
  e->limiter_gain = e->limit_gain;
  e->envelope = e->env;
  e->gate_open = e->gate;
  e->would_open = e->wo_open;
  e->in_peak = std::max(in_max, e->in_peak * 0.85f);
  e->out_peak = std::max(out_max, e->out_peak * 0.85f);
  e->input_peak = e->in_peak;
  e->output_peak = e->out_peak;
#if defined(__SSE__)
  _mm_setcsr(saved_csr);
#endif
  return frames;
}

}  // namespace reference
