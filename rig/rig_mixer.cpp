// The rig mixer. Both hand-overs between the control thread and the audio thread (the stream's
// configuration and the matrix) are sequence counters over atomic fields: the writer makes the
// counter odd, stores every field with release, and makes it even again; the audio thread copies
// the fields with acquire loads and keeps the copy only when the counter was even and unchanged.
// Meters go back by atomic maximum (on the bits of non-negative floats), OR and add.
#include "rig/rig_mixer.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

constexpr uint32_t kAbsBits = 0x7FFFFFFFu;
constexpr uint32_t kExponentBits = 0x7F800000u;  // all ones: NaN or infinity
constexpr int kChunkFrames = 128;                // frames mixed per pass over the inputs
constexpr double kSqrt2 = 1.41421356237309504880;
constexpr double kQuarterPi = 0.78539816339744830962;
constexpr auto kAcq = std::memory_order_acquire;
constexpr auto kRel = std::memory_order_release;
constexpr auto kRlx = std::memory_order_relaxed;

float clamp_gain(float g) {
  if (!std::isfinite(g) || g <= 0.0f) return 0.0f;
  return g > kRigMaxGain ? kRigMaxGain : g;
}

float clamp_pan(float p) {
  if (std::isnan(p)) return 0.0f;
  return p < -1.0f ? -1.0f : (p > 1.0f ? 1.0f : p);
}

// Constant-power pan, unity at the centre and sqrt 2 at a side.
float pan_left(float p) {
  if (p == 0.0f) return 1.0f;
  if (p <= -1.0f) return float(kSqrt2);
  if (p >= 1.0f) return 0.0f;
  const double v = kSqrt2 * std::cos((double(p) + 1.0) * kQuarterPi);
  return v > 0.0 ? float(v) : 0.0f;
}
float pan_right(float p) { return pan_left(-p); }

uint32_t bits_of(float v) {
  uint32_t b;
  memcpy(&b, &v, sizeof b);
  return b;
}
float float_of(uint32_t b) {
  float v;
  memcpy(&v, &b, sizeof v);
  return v;
}

float finite_or_zero(float v) { return std::isfinite(v) ? v : 0.0f; }

int ramp_frames(double seconds, double rate) {
  const double r = seconds * rate + 0.5;
  if (!(r >= 1.0)) return 1;
  return r >= double(kRigMixerMaxRampFrames) ? kRigMixerMaxRampFrames : int(r);
}

void ramp_to(RigGainStage* s, float to, int length) {
  s->from = s->gain;
  s->to = to;
  s->length = length;
  s->position = 0;
  s->step = (to - s->gain) / float(length);
}

bool ramping(const RigGainStage& s) { return s.position < s.length; }

// The gain of each of the next `frames` frames, advancing the ramp; the last ramp frame is the
// target exactly.
void stage_gains(RigGainStage* s, float* g, int frames) {
  const int left = s->length - s->position;
  const int r = left < frames ? (left > 0 ? left : 0) : frames;
  const float from = s->from, step = s->step;
  const int base = s->position + 1;
  for (int f = 0; f < r; ++f) g[f] = from + step * float(base + f);
  for (int f = r; f < frames; ++f) g[f] = s->to;
  s->position += r;
  if (s->position >= s->length) {
    if (r > 0) g[r - 1] = s->to;
    s->gain = s->to;
  } else {
    s->gain = g[r - 1];
  }
}

void advance_stage(RigGainStage* s, int frames) {
  const int left = s->length - s->position;
  if (left <= 0) return;
  if (frames >= left) {
    s->position = s->length;
    s->gain = s->to;
  } else {
    s->position += frames;
    s->gain = s->from + s->step * float(s->position);
  }
}

void atomic_max(std::atomic<uint32_t>& slot, uint32_t v) {
  if (v == 0) return;
  uint32_t cur = slot.load(kRlx);
  while (v > cur && !slot.compare_exchange_weak(cur, v, kRlx, kRlx)) {
  }
}

// The audio thread takes a new stream configuration: every gain back to 0, holding.
void take_start(RigMixer* m) {
  const uint32_t s1 = m->start_seq.load(kAcq);
  if ((s1 & 1u) || s1 == m->taken_start) return;
  const double rate = m->cfg_rate.load(kAcq);
  const int inputs = m->cfg_inputs.load(kAcq);
  const uint32_t tag = m->cfg_tag.load(kAcq);
  const bool has_start = m->cfg_has_start.load(kAcq) != 0;
  RigMixMatrix start{};
  start.count = m->cfg_start_count.load(kAcq);
  for (int i = 0; i < kRigMaxInputs; ++i) {
    start.left[i] = m->cfg_start_left[i].load(kAcq);
    start.right[i] = m->cfg_start_right[i].load(kAcq);
  }
  start.master = m->cfg_start_master.load(kAcq);
  if (m->start_seq.load(kAcq) != s1) return;  // rewritten meanwhile: next block
  m->taken_start = s1;
  m->rate = rate;
  m->inputs = inputs;
  m->tag = tag;
  m->default_ramp = ramp_frames(kRigMixerDefaultFadeS, rate);
  m->hold_frames = int(rate + 0.5);
  m->held = 0;
  m->holding = true;
  m->live = false;
  m->has_start = has_start;
  m->first_matrix = true;
  m->start = start;
  m->invalid_seq = true;
  for (int i = 0; i < kRigMaxInputs; ++i) m->left[i] = RigGainStage{}, m->right[i] = RigGainStage{};
  m->master = RigGainStage{};
  m->holding_flag.store(1, kRlx);
  m->live_flag.store(0, kRlx);
  m->muted_flag.store(0, kRlx);
}

void ramp_all(RigMixer* m, const RigMixMatrix* to, int length) {
  for (int i = 0; i < kRigMaxInputs; ++i) {
    const bool on = to && i < to->count;
    ramp_to(&m->left[i], on ? to->left[i] : 0.0f, length);
    ramp_to(&m->right[i], on ? to->right[i] : 0.0f, length);
  }
  ramp_to(&m->master, to ? to->master : 0.0f, length);
}

// Takes the published matrix when one is there, whole.
void take_matrix(RigMixer* m) {
  const uint32_t s1 = m->seq.load(kAcq);
  if (s1 == 0 || (s1 & 1u) || (s1 == m->taken_seq && !m->invalid_seq)) return;
  RigMixMatrix mx;
  const uint32_t tag = m->m_tag.load(kAcq);
  const bool mute_all = m->m_mute_all.load(kAcq) != 0;
  const float fade = m->m_fade_s.load(kAcq);
  mx.count = m->m_count.load(kAcq);
  mx.master = m->m_master.load(kAcq);
  for (int i = 0; i < kRigMaxInputs; ++i) {
    mx.left[i] = m->m_left[i].load(kAcq);
    mx.right[i] = m->m_right[i].load(kAcq);
  }
  if (m->seq.load(kAcq) != s1) return;  // a half-written matrix is never used
  m->taken_seq = s1;
  m->invalid_seq = false;
  int length = ramp_frames(fade, m->rate);
  if (m->first_matrix && length > m->default_ramp) length = m->default_ramp;
  m->first_matrix = false;
  if (!mute_all && tag == m->tag) {
    ramp_all(m, &mx, length);
    m->holding = false;
    m->live = false;
    m->muted_flag.store(0, kRlx);
  } else {
    ramp_all(m, nullptr, length);
    m->live = false;
    if (mute_all) {
      m->holding = false;
    } else {  // another rig's matrix: silence, and the default layout after a second
      m->holding = true;
      m->held = 0;
    }
    m->muted_flag.store(mute_all ? 1 : 0, kRlx);
  }
  m->holding_flag.store(m->holding ? 1 : 0, kRlx);
  m->live_flag.store(0, kRlx);
}

// Sums one input of a chunk into the outputs; returns its peak bits and counts bad samples.
uint32_t mix_input(const float* in, int stride, int frames, const float* gl, const float* gr, float gl_steady,
                   float gr_steady, bool steady, bool silent, float* L, float* R, int* bad) {
  uint32_t peak = 0;
  int bad_count = 0;
  if (silent) {
    for (int f = 0; f < frames; ++f) {
      const uint32_t b = bits_of(in[size_t(f) * size_t(stride)]) & kAbsBits;
      const bool is_bad = b >= kExponentBits;
      bad_count += is_bad;
      const uint32_t v = is_bad ? 0u : b;
      peak = v > peak ? v : peak;
    }
  } else if (steady) {
    for (int f = 0; f < frames; ++f) {
      const uint32_t raw = bits_of(in[size_t(f) * size_t(stride)]);
      const uint32_t b = raw & kAbsBits;
      const bool is_bad = b >= kExponentBits;
      bad_count += is_bad;
      const uint32_t v = is_bad ? 0u : b;
      peak = v > peak ? v : peak;
      const float x = float_of(is_bad ? 0u : raw);
      L[f] += x * gl_steady;
      R[f] += x * gr_steady;
    }
  } else {
    for (int f = 0; f < frames; ++f) {
      const uint32_t raw = bits_of(in[size_t(f) * size_t(stride)]);
      const uint32_t b = raw & kAbsBits;
      const bool is_bad = b >= kExponentBits;
      bad_count += is_bad;
      const uint32_t v = is_bad ? 0u : b;
      peak = v > peak ? v : peak;
      const float x = float_of(is_bad ? 0u : raw);
      L[f] += x * gl[f];
      R[f] += x * gr[f];
    }
  }
  *bad += bad_count;
  return peak;
}

}  // namespace

void rig_mix_matrix(const RigScene& scene, int count, RigMixMatrix* out) {
  memset(out, 0, sizeof *out);
  count = std::clamp(count, 0, kRigMaxInputs);
  out->count = count;
  out->master = clamp_gain(scene.master_gain);
  const int have = std::clamp(scene.channel_count, 0, kRigMaxInputs);
  for (int i = 0; i < count && i < have; ++i) {
    const RigChannel& c = scene.channels[i];
    const float g = c.muted ? 0.0f : clamp_gain(c.gain);
    const float p = clamp_pan(c.pan);
    if (c.link && i % 2 == 0 && i + 1 < count && i + 1 < have) {
      // A balance: it only ever attenuates a side.
      out->left[i] = g * std::min(1.0f, pan_left(p));
      out->right[i + 1] = g * std::min(1.0f, pan_right(p));
      ++i;
      continue;
    }
    out->left[i] = g * pan_left(p);
    out->right[i] = g * pan_right(p);
  }
}

void rig_default_matrix(const char* api, int count, RigMixMatrix* out) {
  memset(out, 0, sizeof *out);
  count = std::clamp(count, 0, kRigMaxInputs);
  out->count = count;
  out->master = 1.0f;
  if (count >= 2 && rig_api_links_first_pair(api)) {
    out->left[0] = 1.0f;
    out->right[1] = 1.0f;
    return;
  }
  for (int i = 0; i < count && i < 2; ++i) out->left[i] = out->right[i] = 1.0f;
}

bool rig_mix_matrix_equal(const RigMixMatrix& a, const RigMixMatrix& b) {
  if (a.count != b.count || a.master != b.master) return false;
  const int n = std::clamp(a.count, 0, kRigMaxInputs);
  for (int i = 0; i < n; ++i)
    if (a.left[i] != b.left[i] || a.right[i] != b.right[i]) return false;
  return true;
}

void rig_mixer_start(RigMixer* m, double rate, int inputs, uint32_t tag, const RigMixMatrix* start) {
  if (!(rate > 0.0 && rate <= kRigMixerMaxRate)) rate = kRigMixerDefaultRate;
  inputs = std::clamp(inputs, 1, kRigMaxInputs);
  const uint32_t s = m->start_seq.load(kRlx);
  m->start_seq.store(s + 1, kRlx);
  m->cfg_rate.store(rate, kRel);
  m->cfg_inputs.store(inputs, kRel);
  m->cfg_tag.store(tag, kRel);
  m->cfg_has_start.store(start ? 1 : 0, kRel);
  m->cfg_start_count.store(start ? std::clamp(start->count, 0, kRigMaxInputs) : 0, kRel);
  for (int i = 0; i < kRigMaxInputs; ++i) {
    m->cfg_start_left[i].store(start ? finite_or_zero(start->left[i]) : 0.0f, kRel);
    m->cfg_start_right[i].store(start ? finite_or_zero(start->right[i]) : 0.0f, kRel);
  }
  m->cfg_start_master.store(start ? finite_or_zero(start->master) : 0.0f, kRel);
  m->start_seq.store(s + 2, kRel);
  // The new stream's meters start empty (a block of the old one may still add to them).
  for (int i = 0; i < kRigMaxInputs; ++i) m->peak_bits[i].store(0, kRlx), m->peak_gain_bits[i].store(0, kRlx);
  m->clip_mask.store(0, kRlx);
  m->bad_mask.store(0, kRlx);
  m->out_left_bits.store(0, kRlx);
  m->out_right_bits.store(0, kRlx);
  m->out_clip.store(0, kRlx);
  m->bad_samples.store(0, kRlx);
  m->bad_total.store(0, kRlx);
  m->blocks.store(0, kRlx);
  m->holding_flag.store(1, kRlx);
  m->live_flag.store(0, kRlx);
  m->muted_flag.store(0, kRlx);
}

namespace {

void publish(RigMixer* m, const RigMixMatrix* mx, uint32_t tag, bool mute_all, double fade_s) {
  if (!(fade_s > 0.0)) fade_s = kRigMixerDefaultFadeS;
  if (fade_s > kRigMixerMaxFadeS) fade_s = kRigMixerMaxFadeS;
  const uint32_t s = m->seq.load(kRlx);
  m->seq.store(s + 1, kRlx);  // odd: being written
  m->m_tag.store(tag, kRel);
  m->m_mute_all.store(mute_all ? 1 : 0, kRel);
  m->m_fade_s.store(float(fade_s), kRel);
  m->m_count.store(mx ? std::clamp(mx->count, 0, kRigMaxInputs) : 0, kRel);
  m->m_master.store(mx ? finite_or_zero(mx->master) : 0.0f, kRel);
  for (int i = 0; i < kRigMaxInputs; ++i) {
    m->m_left[i].store(mx ? finite_or_zero(mx->left[i]) : 0.0f, kRel);
    m->m_right[i].store(mx ? finite_or_zero(mx->right[i]) : 0.0f, kRel);
  }
  m->seq.store(s + 2, kRel);  // even: whole
}

}  // namespace

void rig_mixer_set(RigMixer* m, const RigMixMatrix& matrix, uint32_t tag, double fade_s) {
  publish(m, &matrix, tag, false, fade_s);
}

void rig_mixer_mute(RigMixer* m) { publish(m, nullptr, 0, true, kRigMixerDefaultFadeS); }

void rig_mixer_process(RigMixer* m, const float* input, int stride, float* left, float* right, int frames) {
  if (frames <= 0) return;
  take_start(m);
  memset(left, 0, size_t(frames) * sizeof(float));
  memset(right, 0, size_t(frames) * sizeof(float));
  if (m->taken_start == 0) return;  // never started: nothing to mix by
  take_matrix(m);
  if (m->holding && m->has_start && m->held >= m->hold_frames) {
    // No matrix of this stream's rig for a second: its default layout, so something is heard.
    ramp_all(m, &m->start, m->default_ramp);
    m->holding = false;
    m->live = true;
    m->first_matrix = false;
    m->holding_flag.store(0, kRlx);
    m->live_flag.store(1, kRlx);
  }

  const int n = input ? std::min({m->inputs, stride, kRigMaxInputs}) : 0;
  uint32_t peak[kRigMaxInputs] = {};
  int bad[kRigMaxInputs] = {};
  uint32_t out_l = 0, out_r = 0;
  float gl[kChunkFrames], gr[kChunkFrames], gm[kChunkFrames];
  for (int at = 0; at < frames; at += kChunkFrames) {
    const int count = std::min(kChunkFrames, frames - at);
    float* L = left + at;
    float* R = right + at;
    const float* in = input ? input + size_t(at) * size_t(stride) : nullptr;
    for (int i = 0; i < n; ++i) {
      RigGainStage& sl = m->left[i];
      RigGainStage& sr = m->right[i];
      const bool steady = !ramping(sl) && !ramping(sr);
      if (!steady) {
        stage_gains(&sl, gl, count);
        stage_gains(&sr, gr, count);
      }
      const bool silent = steady && sl.gain == 0.0f && sr.gain == 0.0f;
      const uint32_t p = mix_input(in + i, stride, count, gl, gr, sl.gain, sr.gain, steady, silent, L, R, &bad[i]);
      peak[i] = p > peak[i] ? p : peak[i];
    }
    for (int i = n; i < kRigMaxInputs; ++i) advance_stage(&m->left[i], count), advance_stage(&m->right[i], count);
    // The master stage; a sum that overflowed is silence, never a NaN on the tape.
    const bool master_steady = !ramping(m->master);
    if (!master_steady) stage_gains(&m->master, gm, count);
    const float g = m->master.gain;
    for (int f = 0; f < count; ++f) {
      const float mg = master_steady ? g : gm[f];
      float l = L[f] * mg, r = R[f] * mg;
      uint32_t lb = bits_of(l) & kAbsBits, rb = bits_of(r) & kAbsBits;
      if (lb >= kExponentBits) l = 0.0f, lb = 0;
      if (rb >= kExponentBits) r = 0.0f, rb = 0;
      L[f] = l, R[f] = r;
      out_l = lb > out_l ? lb : out_l;
      out_r = rb > out_r ? rb : out_r;
    }
  }
  if (m->holding) m->held += frames;

  // Meters.
  uint64_t clip = 0, badm = 0;
  int64_t bad_sum = 0;
  const uint32_t clip_bits = bits_of(kRigMixerClipPeak);
  for (int i = 0; i < n; ++i) {
    atomic_max(m->peak_bits[i], peak[i]);
    const float g = std::max(m->left[i].gain, m->right[i].gain);
    atomic_max(m->peak_gain_bits[i], bits_of(float_of(peak[i]) * g) & kAbsBits);
    if (peak[i] >= clip_bits) clip |= uint64_t(1) << i;
    if (bad[i]) badm |= uint64_t(1) << i, bad_sum += bad[i];
  }
  if (clip) m->clip_mask.fetch_or(clip, kRlx);
  if (badm) m->bad_mask.fetch_or(badm, kRlx);
  if (bad_sum) m->bad_samples.fetch_add(bad_sum, kRlx), m->bad_total.fetch_add(bad_sum, kRlx);
  atomic_max(m->out_left_bits, out_l);
  atomic_max(m->out_right_bits, out_r);
  if (out_l >= bits_of(1.0f) || out_r >= bits_of(1.0f)) m->out_clip.store(1, kRlx);
  m->blocks.fetch_add(1, kRlx);
}

void rig_mixer_plugin(void* mixer, const float* input, int channels, float* left, float* right, int frames) {
  rig_mixer_process(static_cast<RigMixer*>(mixer), input, channels, left, right, frames);
}

void rig_mixer_read(RigMixer* m, RigMixerMeters* out) {
  out->inputs = m->cfg_inputs.load(kAcq);
  out->tag = m->cfg_tag.load(kAcq);
  for (int i = 0; i < kRigMaxInputs; ++i) {
    out->peak[i] = float_of(m->peak_bits[i].exchange(0, kRlx));
    out->peak_gain[i] = float_of(m->peak_gain_bits[i].exchange(0, kRlx));
  }
  out->clip_mask = m->clip_mask.exchange(0, kRlx);
  out->bad_mask = m->bad_mask.exchange(0, kRlx);
  out->out_left = float_of(m->out_left_bits.exchange(0, kRlx));
  out->out_right = float_of(m->out_right_bits.exchange(0, kRlx));
  out->out_clip = m->out_clip.exchange(0, kRlx) != 0;
  out->holding = m->holding_flag.load(kRlx) != 0;
  out->live = m->live_flag.load(kRlx) != 0;
  out->muted = m->muted_flag.load(kRlx) != 0;
  out->bad_samples = m->bad_samples.exchange(0, kRlx);
  out->bad_total = m->bad_total.load(kRlx);
  out->blocks = m->blocks.load(kRlx);
}
