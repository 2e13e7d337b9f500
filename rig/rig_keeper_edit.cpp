// The rig keeper's edits of the bound rig (inputs, master, glyphs, selecting and copying scenes),
// the fader law, and the meters and the muted-input hint made from the mixer's measurements.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "kit/json.h"
#include "platform/text.h"
#include "rig/rig_keeper.h"
#include "rig/rig_keeper_state.h"

using namespace rig_keeper_detail;

namespace {

// The fader law's corners: position and dB, linear in dB between.
constexpr float kFaderPos[] = {0.02f, 0.25f, 0.5f, 0.75f, 1.0f};
constexpr float kFaderDb[] = {-72.0f, -30.0f, -12.0f, 0.0f, 12.0f};
constexpr int kFaderPoints = 5;
constexpr double kNudgeFloorDb = -72.001;  // a nudge below this is off

float gain_from_db(double db) {
  const double g = std::pow(10.0, db / 20.0);
  return g >= double(kRigMaxGain) ? kRigMaxGain : float(g);
}

// The scene edits go to, when the rig can be edited.
RigScene* edit_scene(RigKeeper* k) {
  if (k->state != kRigBound || !k->bound.doc) return nullptr;
  return &k->bound.doc->scenes[k->scene];
}

// The input an edit acts on: the first of a linked pair for its second; -1 when out of range.
int lead_of(const RigScene& sc, int input) {
  if (input < 0 || input >= sc.channel_count || input >= kRigMaxInputs) return -1;
  if (input % 2 == 1 && sc.channels[input - 1].link) return input - 1;
  return input;
}

void stamp_scene(RigKeeper* k, int scene) {
  RigScene& sc = k->bound.doc->scenes[scene];
  sc.updated_at = k->wall_s;
  text_copy(sc.author, sizeof sc.author, k->app);
}

// Marks an edit of the selected scene (input -1: the scene itself) and sends the new mix.
void edited(RigKeeper* k, int input, uint8_t input_bits, uint8_t scene_bits) {
  RigScene& sc = k->bound.doc->scenes[k->scene];
  RigChanges& p = k->bound.pending;
  if (input >= 0) p.input[k->scene][input] |= input_bits;
  p.scene[k->scene] |= scene_bits;
  if (sc.fresh) {
    sc.fresh = false;
    p.scene[k->scene] |= kRigSceneFresh;
  }
  stamp_scene(k, k->scene);
  touch(k);
  send_matrix(k, 0.0, false);
}

bool set_input_gain(RigKeeper* k, int input, float gain) {
  RigScene* sc = edit_scene(k);
  if (!sc || std::isnan(gain)) return false;
  const int i = lead_of(*sc, input);
  if (i < 0) return false;
  gain = std::clamp(gain, 0.0f, kRigMaxGain);
  if (sc->channels[i].gain == gain) return false;
  sc->channels[i].gain = gain;
  edited(k, i, kRigInputGain, 0);
  return true;
}

bool set_master_gain(RigKeeper* k, float gain) {
  RigScene* sc = edit_scene(k);
  if (!sc || std::isnan(gain)) return false;
  gain = std::clamp(gain, 0.0f, kRigMaxGain);
  if (sc->master_gain == gain) return false;
  sc->master_gain = gain;
  edited(k, -1, 0, kRigSceneMasterGain);
  return true;
}

void update_level(RigLevel* l, double* hold_s, float peak, double fall_db, double now) {
  float db = peak > 0.0f ? float(20.0 * std::log10(double(peak))) : kRigMeterFloorDb;
  db = std::clamp(db, kRigMeterFloorDb, kRigMeterCeilingDb);
  l->db = std::max(db, std::max(kRigMeterFloorDb, float(double(l->db) - fall_db)));
  if (l->db >= l->hold_db) {
    l->hold_db = l->db;
    *hold_s = now;
  } else if (now - *hold_s > kPeakHoldS) {
    l->hold_db = l->db;
    *hold_s = now;
  }
  l->position = rig_fader_from_db(l->db);
  l->hold_position = rig_fader_from_db(l->hold_db);
}

void reset_level(RigLevel* l) {
  l->db = l->hold_db = kRigMeterFloorDb;
  l->position = l->hold_position = 0.0f;
}

// A muted input with signal while nothing heard has any: the user probably forgot to unmute it.
void update_hint(RigKeeper* k) {
  const RigDoc* d = rig_keeper_rig(k);
  int candidate = -1;
  bool heard = false;
  if (d) {
    const RigScene& sc = d->scenes[k->scene];
    const int n = std::min(std::clamp(sc.channel_count, 0, kRigMaxInputs), k->meters.inputs);
    float loudest = kHintMutedDb;
    for (int i = 0; i < n; ++i) {
      const int lead = lead_of(sc, i);
      const RigChannel& c = sc.channels[lead < 0 ? i : lead];
      const float db = k->meters.input[i].in.db;
      if (c.muted) {
        if (db > loudest) loudest = db, candidate = i;
      } else if (c.gain > 0.0f && db >= kHintQuietDb) {
        heard = true;
      }
    }
  }
  const bool met = candidate >= 0 && !heard;
  if (met) {
    k->hint_gone_s = -1;
    if (k->hint_since_s < 0) k->hint_since_s = k->now_s;
    if (k->hint >= 0 || k->now_s - k->hint_since_s >= kHintAfterS) k->hint = candidate;
    return;
  }
  k->hint_since_s = -1;
  if (k->hint < 0) return;
  if (k->hint_gone_s < 0) k->hint_gone_s = k->now_s;
  if (k->now_s - k->hint_gone_s >= kHintClearS) {
    k->hint = -1;
    k->hint_gone_s = -1;
  }
}

}  // namespace

namespace rig_keeper_detail {

void fill_scene(RigKeeper* k, int target) {
  RigDoc* d = k->bound.doc;
  const RigScene& from = d->scenes[k->scene];
  RigScene& to = d->scenes[target];
  const int n = std::clamp(from.channel_count, 0, kRigMaxInputs);
  for (int i = 0; i < n; ++i) {
    RigChannel& c = to.channels[i];
    if (i >= to.channel_count) {  // a new input of the target: its own id, no label
      free(c.extra_members);
      memset(&c, 0, sizeof c);
      rig_new_uuid(c.id);
    }
    c.gain = from.channels[i].gain;
    c.pan = from.channels[i].pan;
    c.muted = from.channels[i].muted;
    c.link = from.channels[i].link;
  }
  to.channel_count = std::max(to.channel_count, n);
  to.master_gain = from.master_gain;
  to.fresh = false;
  k->bound.pending.scene[target] |= kRigSceneReplaced;
  stamp_scene(k, target);
  touch(k);
}

void clear_meters(RigKeeper* k) {
  RigKeeperMeters& m = k->meters;
  m.inputs = 0;
  for (RigInputMeters& in : m.input) {
    reset_level(&in.in);
    reset_level(&in.post);
    in.clip = in.bad = false;
  }
  reset_level(&m.out_left);
  reset_level(&m.out_right);
  m.out_clip = false;
  m.bad_samples = 0;
  k->meter_s = -1;
  k->hint = -1;
  k->hint_since_s = k->hint_gone_s = -1;
}

void update_meters(RigKeeper* k) {
  const RigMixerMeters& s = k->snapshot;
  const double elapsed = k->meter_s < 0 ? 0.0 : std::max(0.0, k->now_s - k->meter_s);
  const double fall = std::min(elapsed, 1.0) * kMeterFallDbPerS;
  k->meter_s = k->now_s;
  RigKeeperMeters& m = k->meters;
  m.inputs = s.inputs > 0 ? s.inputs : (k->has_stream ? k->stream.inputs : 0);
  for (int i = 0; i < kRigMaxInputs; ++i) {
    RigInputMeters& in = m.input[i];
    update_level(&in.in, &k->in_hold_s[i], s.peak[i], fall, k->now_s);
    update_level(&in.post, &k->post_hold_s[i], s.peak_gain[i], fall, k->now_s);
    if (s.clip_mask >> i & 1) in.clip = true;
    if (s.bad_mask >> i & 1) in.bad = true;
  }
  update_level(&m.out_left, &k->out_hold_s[0], s.out_left, fall, k->now_s);
  update_level(&m.out_right, &k->out_hold_s[1], s.out_right, fall, k->now_s);
  if (s.out_clip) m.out_clip = true;
  m.bad_samples = s.bad_total;
  update_hint(k);
}

}  // namespace rig_keeper_detail

float rig_gain_from_fader(float position) {
  if (!(position >= kFaderPos[0])) return 0.0f;
  if (position >= 1.0f) return kRigMaxGain;
  for (int p = 0; p + 1 < kFaderPoints; ++p) {
    if (position <= kFaderPos[p + 1]) {
      const double t = double(position - kFaderPos[p]) / double(kFaderPos[p + 1] - kFaderPos[p]);
      return gain_from_db(double(kFaderDb[p]) + t * double(kFaderDb[p + 1] - kFaderDb[p]));
    }
  }
  return kRigMaxGain;
}

float rig_fader_from_db(float db) {
  if (!(db >= kFaderDb[0])) return 0.0f;
  if (db >= kFaderDb[kFaderPoints - 1]) return 1.0f;
  for (int p = 0; p + 1 < kFaderPoints; ++p) {
    if (db <= kFaderDb[p + 1]) {
      const float t = (db - kFaderDb[p]) / (kFaderDb[p + 1] - kFaderDb[p]);
      return kFaderPos[p] + t * (kFaderPos[p + 1] - kFaderPos[p]);
    }
  }
  return 1.0f;
}

float rig_fader_from_gain(float gain) {
  if (!(gain > 0.0f)) return 0.0f;
  return rig_fader_from_db(float(20.0 * std::log10(double(gain))));
}

float rig_nudge_gain(float gain, float db) {
  if (!std::isfinite(db) || db == 0.0f) return gain;
  const double now = gain > 0.0f ? 20.0 * std::log10(double(gain)) : -HUGE_VAL;
  if (!(now >= double(kFaderDb[0]))) return db > 0.0f ? gain_from_db(kFaderDb[0]) : 0.0f;  // off, or as good as
  const double next = now + double(db);
  if ((now < 0.0 && next > 0.0) || (now > 0.0 && next < 0.0)) return 1.0f;  // unity is a stop
  if (next >= double(kFaderDb[kFaderPoints - 1])) return kRigMaxGain;
  if (next < kNudgeFloorDb) return 0.0f;
  return gain_from_db(next);
}

bool rig_keeper_set_gain(RigKeeper* k, int input, float gain) { return set_input_gain(k, input, gain); }

bool rig_keeper_nudge_gain(RigKeeper* k, int input, float db) {
  RigScene* sc = edit_scene(k);
  if (!sc) return false;
  const int i = lead_of(*sc, input);
  return i >= 0 && set_input_gain(k, i, rig_nudge_gain(sc->channels[i].gain, db));
}

bool rig_keeper_set_fader(RigKeeper* k, int input, float position) {
  return set_input_gain(k, input, rig_gain_from_fader(position));
}

bool rig_keeper_set_pan(RigKeeper* k, int input, float pan) {
  RigScene* sc = edit_scene(k);
  if (!sc || std::isnan(pan)) return false;
  const int i = lead_of(*sc, input);
  if (i < 0) return false;
  pan = std::clamp(pan, -1.0f, 1.0f);
  if (sc->channels[i].pan == pan) return false;
  sc->channels[i].pan = pan;
  edited(k, i, kRigInputPan, 0);
  return true;
}

bool rig_keeper_set_mute(RigKeeper* k, int input, bool muted) {
  RigScene* sc = edit_scene(k);
  if (!sc) return false;
  const int i = lead_of(*sc, input);
  if (i < 0 || sc->channels[i].muted == muted) return false;
  sc->channels[i].muted = muted;
  edited(k, i, kRigInputMuted, 0);
  return true;
}

bool rig_keeper_set_link(RigKeeper* k, int input, bool link) {
  RigScene* sc = edit_scene(k);
  if (!sc) return false;
  const int i = lead_of(*sc, input);
  if (i < 0 || i % 2 != 0 || i + 1 >= sc->channel_count || sc->channels[i].link == link) return false;
  sc->channels[i].link = link;
  edited(k, i, kRigInputLink, 0);
  return true;
}

bool rig_keeper_set_master(RigKeeper* k, float gain) { return set_master_gain(k, gain); }

bool rig_keeper_nudge_master(RigKeeper* k, float db) {
  RigScene* sc = edit_scene(k);
  return sc && set_master_gain(k, rig_nudge_gain(sc->master_gain, db));
}

bool rig_keeper_set_master_fader(RigKeeper* k, float position) {
  return set_master_gain(k, rig_gain_from_fader(position));
}

bool rig_keeper_set_glyph(RigKeeper* k, int scene, const char* glyph) {
  if (!edit_scene(k) || scene < 0 || scene >= kRigScenes || !glyph) return false;
  uint32_t cp = 0;
  const size_t len = utf8_decode(glyph, strnlen(glyph, 8), &cp);
  if (len == 0 || len >= kRigGlyphBytes) return false;
  if (cp < 0x20 || (cp >= 0x7F && cp <= 0x9F) || cp == 0xFE0E || cp == 0xFE0F || cp == 0xFFFD) return false;
  RigScene& sc = k->bound.doc->scenes[scene];
  char text[kRigGlyphBytes] = {};
  memcpy(text, glyph, len);
  if (memcmp(sc.glyph, text, sizeof text) == 0) return false;
  memcpy(sc.glyph, text, sizeof text);
  k->bound.pending.scene[scene] |= kRigSceneGlyph;
  stamp_scene(k, scene);
  touch(k);
  k->bound.save_now = true;
  return true;
}

bool rig_keeper_select_scene(RigKeeper* k, int scene) {
  if (!edit_scene(k) || scene < 0 || scene >= kRigScenes) return false;
  RigDoc* d = k->bound.doc;
  RigMixMatrix before;
  current_matrix(k, &before);
  // A scene never used starts from the mix in use.
  if (scene != k->scene && d->scenes[scene].fresh) fill_scene(k, scene);
  // Later than anything chosen before, so every application agrees on the last choice.
  double at = k->wall_s;
  const int e = app_scene_index(d, k->app);
  if (e >= 0) at = std::max(at, d->app_scenes[e].at + kSceneStepS);
  at = std::max(at, k->last_at + kSceneStepS);
  rig_set_app_scene(d, k->app, scene, at);
  k->last_at = k->scene_at = at;
  k->bound.pending.active_scene = true;
  touch(k);
  k->bound.save_now = true;
  const int old = k->scene;
  k->scene = scene;
  RigMixMatrix after;
  current_matrix(k, &after);
  send_matrix(k, 0.0, false);
  if (old != scene) push_notice(k, kRigNoticeScene, scene, true, !rig_mix_matrix_equal(before, after), "");
  return true;
}

bool rig_keeper_copy_scene(RigKeeper* k, int scene) {
  if (!edit_scene(k) || scene < 0 || scene >= kRigScenes || scene == k->scene) return false;
  fill_scene(k, scene);
  return rig_keeper_select_scene(k, scene);
}

void rig_keeper_clear_clip(RigKeeper* k, int input) {
  if (input < 0 || input >= kRigMaxInputs) return;
  k->meters.input[input].clip = k->meters.input[input].bad = false;
  const RigDoc* d = rig_keeper_rig(k);
  if (!d) return;
  const RigScene& sc = d->scenes[k->scene];
  int partner = -1;
  if (input % 2 == 0 && sc.channels[input].link && input + 1 < sc.channel_count) partner = input + 1;
  if (input % 2 == 1 && sc.channels[input - 1].link) partner = input - 1;
  if (partner >= 0) k->meters.input[partner].clip = k->meters.input[partner].bad = false;
}

void rig_keeper_clear_out_clip(RigKeeper* k) { k->meters.out_clip = false; }
