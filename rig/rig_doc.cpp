// The rig document as a value: reset, new rigs, copies, repair, growing, comparing and merging,
// keys, ids and times. Reading and writing the text live in rig_decode.cpp and rig_encode.cpp.
#include "rig/rig_doc.h"

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "kit/json.h"
#include "platform/clock.h"
#include "platform/text.h"

namespace {

constexpr const char* kDefaultGlyph[kRigScenes] = {"\xE2\x99\x97", "\xE2\x9D\xA6", "\xE2\x99\xA8", "\xE2\x98\xAF"};
constexpr double kUnixTo2001Seconds = 978307200.0;

char* dup_text(const char* s) {
  if (!s) return nullptr;
  const size_t n = strlen(s) + 1;
  char* p = static_cast<char*>(malloc(n));
  if (p) memcpy(p, s, n);
  return p;
}

// Replaces *dst with a copy of src; false (dst untouched) when memory ran out.
bool replace_text(char** dst, const char* src) {
  char* copy = nullptr;
  if (src && !(copy = dup_text(src))) return false;
  free(*dst);
  *dst = copy;
  return true;
}

void free_text(char** p) {
  free(*p);
  *p = nullptr;
}

float clampf(float v, float lo, float hi) { return v < lo ? lo : (v > hi ? hi : v); }

void default_input(RigChannel* c, int index) {
  memset(c, 0, sizeof *c);
  c->gain = 1.0f;
  c->pan = 0.0f;
  c->muted = index >= 2;
  rig_new_uuid(c->id);
}

// Makes a fixed field valid UTF-8 within its size; true when it changed.
bool make_valid(char* field, size_t cap) {
  const size_t n = strnlen(field, cap);
  char tmp[kRigDeviceNameBytes * 2];
  if (cap > sizeof tmp) return false;
  utf8_copy_valid(tmp, cap, field, n, nullptr);
  if (n < cap && strcmp(tmp, field) == 0) return false;
  memset(field, 0, cap);
  memcpy(field, tmp, strlen(tmp));
  return true;
}

bool is_variation_selector(uint32_t cp) { return cp == 0xFE0E || cp == 0xFE0F; }

// Keeps the glyph's first code point without trailing variation selectors; empties it when that
// is a control, an invalid code point or a lone selector; an empty glyph becomes the default.
bool repair_glyph(char* glyph, int scene) {
  char before[kRigGlyphBytes];
  memcpy(before, glyph, sizeof before);
  uint32_t cps[kRigGlyphBytes];
  size_t lens[kRigGlyphBytes];
  int count = 0;
  size_t at = 0;
  const size_t n = strnlen(glyph, kRigGlyphBytes);
  bool invalid = false;
  while (at < n) {
    uint32_t cp = 0;
    const size_t len = utf8_decode(glyph + at, n - at, &cp);
    if (len == 0) {
      invalid = true;
      break;
    }
    cps[count] = cp;
    lens[count++] = len;
    at += len;
  }
  while (count > 0 && is_variation_selector(cps[count - 1])) --count;
  memset(glyph, 0, kRigGlyphBytes);
  if (!invalid && count > 0) {
    const uint32_t cp = cps[0];
    const bool control = cp < 0x20 || (cp >= 0x7F && cp <= 0x9F);
    const bool bad = (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF || cp == 0xFFFD;
    if (!control && !bad && !is_variation_selector(cp)) memcpy(glyph, before, lens[0]);
  }
  if (!glyph[0]) text_copy(glyph, kRigGlyphBytes, kDefaultGlyph[scene]);
  return strncmp(before, glyph, kRigGlyphBytes) != 0;
}

// Inserts or updates an application's entry. `always` admits a new entry into a full table even
// when it is not later than the oldest.
void put_app_scene(RigDoc* doc, const RigAppScene& e, bool always) {
  for (int i = 0; i < doc->app_scene_count; ++i) {
    RigAppScene& d = doc->app_scenes[i];
    if (strncmp(d.app, e.app, kRigAppBytes) == 0) {
      if (always || e.at > d.at) {
        d.scene = e.scene;
        d.at = e.at;
      }
      return;
    }
  }
  if (doc->app_scene_count < kRigMaxAppScenes) {
    doc->app_scenes[doc->app_scene_count++] = e;
    return;
  }
  int oldest = 0;
  for (int i = 1; i < kRigMaxAppScenes; ++i)
    if (doc->app_scenes[i].at < doc->app_scenes[oldest].at) oldest = i;
  if (!always && !(e.at > doc->app_scenes[oldest].at)) return;
  memmove(&doc->app_scenes[oldest], &doc->app_scenes[oldest + 1],
          sizeof(RigAppScene) * size_t(kRigMaxAppScenes - 1 - oldest));
  doc->app_scenes[kRigMaxAppScenes - 1] = e;
}

std::atomic<int> g_seed_state{0};  // 0 unseeded, 1 being seeded, 2 seeded
std::atomic<uint64_t> g_seed{0};
std::atomic<uint64_t> g_draws{0};
int g_static_anchor;

void ensure_seeded() {
  if (g_seed_state.load(std::memory_order_acquire) == 2) return;
  int stack_anchor = 0;
  uint64_t s = uint64_t(wall_ns()) ^ (uint64_t(clock()) << 20) ^ uint64_t(reinterpret_cast<uintptr_t>(&stack_anchor)) ^
               (uint64_t(reinterpret_cast<uintptr_t>(&g_static_anchor)) << 16);
  rig_seed_random(s);
  while (g_seed_state.load(std::memory_order_acquire) != 2) {
  }
}

}  // namespace

void rig_changes_or(RigChanges* dst, const RigChanges& src) {
  for (int s = 0; s < kRigScenes; ++s) {
    for (int i = 0; i < kRigMaxInputs; ++i) dst->input[s][i] |= src.input[s][i];
    dst->scene[s] |= src.scene[s];
  }
  dst->active_scene |= src.active_scene;
  dst->device |= src.device;
  dst->any |= src.any;
}

void rig_free(RigDoc* doc) {
  if (!doc) return;
  free_text(&doc->extra_top);
  free_text(&doc->extra_device);
  free_text(&doc->extra_scenes);
  for (RigScene& s : doc->scenes) {
    free_text(&s.extra_members);
    free_text(&s.extra_channels);
    for (RigChannel& c : s.channels) free_text(&c.extra_members);
  }
}

void rig_reset(RigDoc* doc) {
  rig_free(doc);
  memset(doc, 0, sizeof *doc);
  doc->version = kRigFormatVersion;
  for (int s = 0; s < kRigScenes; ++s) {
    RigScene& sc = doc->scenes[s];
    sc.master_gain = 1.0f;
    snprintf(sc.name, sizeof sc.name, "scene %d", s + 1);
    text_copy(sc.glyph, kDefaultGlyph[s]);
  }
}

void rig_init_for_device(RigDoc* doc, const char* key, const char* api, const char* name, int channels,
                         const char (*channel_names)[kRigChannelNameBytes], const char* author, double now) {
  rig_reset(doc);
  text_copy(doc->key, key ? key : "");
  text_copy(doc->device.api, api ? api : "");
  text_copy(doc->device.name, name ? name : "");
  const int n = channels <= 0 ? 1 : (channels > kRigMaxInputs ? kRigMaxInputs : channels);
  doc->device.channels = n;
  if (channel_names)
    for (int i = 0; i < n; ++i)
      utf8_copy_valid(doc->device.channel_names[i], kRigChannelNameBytes, channel_names[i],
                      strnlen(channel_names[i], kRigChannelNameBytes), nullptr);
  doc->active_scene = 0;
  const bool pair = rig_api_links_first_pair(api) && n >= 2;
  for (int s = 0; s < kRigScenes; ++s) {
    RigScene& sc = doc->scenes[s];
    rig_new_uuid(sc.id);
    sc.fresh = s > 0;
    sc.updated_at = std::isfinite(now) ? now : 0.0;
    text_copy(sc.author, author ? author : "");
    sc.channel_count = n;
    for (int i = 0; i < n; ++i) default_input(&sc.channels[i], i);
    sc.channels[0].link = pair;
  }
}

bool rig_copy(RigDoc* dst, const RigDoc* src) {
  if (dst == src) return true;
  rig_free(dst);
  memcpy(dst, src, sizeof *dst);
  dst->extra_top = dst->extra_device = dst->extra_scenes = nullptr;
  for (RigScene& s : dst->scenes) {
    s.extra_members = s.extra_channels = nullptr;
    for (RigChannel& c : s.channels) c.extra_members = nullptr;
  }
  bool ok = replace_text(&dst->extra_top, src->extra_top) && replace_text(&dst->extra_device, src->extra_device) &&
            replace_text(&dst->extra_scenes, src->extra_scenes);
  for (int s = 0; ok && s < kRigScenes; ++s) {
    ok = replace_text(&dst->scenes[s].extra_members, src->scenes[s].extra_members) &&
         replace_text(&dst->scenes[s].extra_channels, src->scenes[s].extra_channels);
    for (int i = 0; ok && i < kRigMaxInputs; ++i)
      ok = replace_text(&dst->scenes[s].channels[i].extra_members, src->scenes[s].channels[i].extra_members);
  }
  if (!ok) {
    rig_free(dst);
    memset(dst, 0, sizeof *dst);
  }
  return ok;
}

bool rig_repair(RigDoc* doc) {
  bool changed = false;
  if (doc->version <= 0) {
    doc->version = kRigFormatVersion;
    changed = true;
  }
  const bool read_only = doc->version > kRigFormatVersion;
  changed |= doc->read_only != read_only;
  doc->read_only = read_only;
  if (doc->rev < 0) {
    doc->rev = 0;
    changed = true;
  }
  changed |= make_valid(doc->key, sizeof doc->key);
  changed |= make_valid(doc->device.api, sizeof doc->device.api);
  changed |= make_valid(doc->device.name, sizeof doc->device.name);
  for (auto& n : doc->device.channel_names) changed |= make_valid(n, sizeof n);

  if (doc->active_scene < 0 || doc->active_scene >= kRigScenes) {
    doc->active_scene = 0;
    changed = true;
  }
  if (doc->app_scene_count < 0 || doc->app_scene_count > kRigMaxAppScenes) {
    doc->app_scene_count = doc->app_scene_count < 0 ? 0 : kRigMaxAppScenes;
    changed = true;
  }
  for (int i = 0; i < doc->app_scene_count; ++i) {
    RigAppScene& e = doc->app_scenes[i];
    changed |= make_valid(e.app, sizeof e.app);
    if (e.scene < 0 || e.scene >= kRigScenes) {
      e.scene = 0;
      changed = true;
    }
    if (!std::isfinite(e.at)) {
      e.at = 0;
      changed = true;
    }
  }
  // The same application twice: the first entry keeps the later of the two.
  for (int i = 0; i < doc->app_scene_count; ++i)
    for (int j = i + 1; j < doc->app_scene_count;) {
      if (strcmp(doc->app_scenes[i].app, doc->app_scenes[j].app) != 0) {
        ++j;
        continue;
      }
      if (doc->app_scenes[j].at > doc->app_scenes[i].at) {
        doc->app_scenes[i].scene = doc->app_scenes[j].scene;
        doc->app_scenes[i].at = doc->app_scenes[j].at;
      }
      memmove(&doc->app_scenes[j], &doc->app_scenes[j + 1], sizeof(RigAppScene) * size_t(doc->app_scene_count - j - 1));
      --doc->app_scene_count;
      changed = true;
    }

  int widest = 0;
  for (int s = 0; s < kRigScenes; ++s) {
    RigScene& sc = doc->scenes[s];
    if (sc.channel_count < 0 || sc.channel_count > kRigMaxInputs) {
      sc.channel_count = sc.channel_count < 0 ? 0 : kRigMaxInputs;
      changed = true;
    }
    if (sc.channel_count > widest) widest = sc.channel_count;
    changed |= make_valid(sc.id, sizeof sc.id);
    changed |= make_valid(sc.name, sizeof sc.name);
    changed |= make_valid(sc.author, sizeof sc.author);
    changed |= make_valid(sc.glyph, sizeof sc.glyph);
    if (!sc.id[0]) {
      rig_new_uuid(sc.id);
      changed = true;
    }
    changed |= repair_glyph(sc.glyph, s);
    if (!std::isfinite(sc.master_gain)) {
      sc.master_gain = 1.0f;
      changed = true;
    }
    const float mg = clampf(sc.master_gain, 0.0f, kRigMaxGain);
    changed |= mg != sc.master_gain;
    sc.master_gain = mg;
    if (!std::isfinite(sc.updated_at)) {
      sc.updated_at = 0;
      changed = true;
    }
    for (int i = 0; i < sc.channel_count; ++i) {
      RigChannel& c = sc.channels[i];
      if (!std::isfinite(c.gain)) {
        c.gain = 1.0f;
        changed = true;
      }
      if (!std::isfinite(c.pan)) {
        c.pan = 0.0f;
        changed = true;
      }
      const float g = clampf(c.gain, 0.0f, kRigMaxGain), p = clampf(c.pan, -1.0f, 1.0f);
      changed |= g != c.gain || p != c.pan;
      c.gain = g;
      c.pan = p;
      if (c.link && (i % 2) == 1) {
        c.link = false;
        changed = true;
      }
      changed |= make_valid(c.label, sizeof c.label);
      changed |= make_valid(c.id, sizeof c.id);
      if (!c.id[0]) {
        rig_new_uuid(c.id);
        changed = true;
      }
    }
  }
  if (doc->device.channels < 1) {
    doc->device.channels = widest > 0 ? widest : 1;
    changed = true;
  } else if (doc->device.channels > kRigMaxInputs) {
    doc->device.channels = kRigMaxInputs;
    changed = true;
  }
  RigWriter& w = doc->writer;
  changed |= make_valid(w.app, sizeof w.app);
  changed |= make_valid(w.platform, sizeof w.platform);
  changed |= make_valid(w.version, sizeof w.version);
  changed |= make_valid(w.instance, sizeof w.instance);
  if (!std::isfinite(w.at)) {
    w.at = 0;
    changed = true;
  }
  return changed;
}

bool rig_grow_inputs(RigDoc* doc, int count) {
  if (count > kRigMaxInputs) count = kRigMaxInputs;
  bool added = false;
  for (RigScene& sc : doc->scenes) {
    if (sc.channel_count < 0) sc.channel_count = 0;
    for (int i = sc.channel_count; i < count; ++i) {
      free(sc.channels[i].extra_members);
      default_input(&sc.channels[i], i);
      added = true;
    }
    if (sc.channel_count < count) sc.channel_count = count;
  }
  return added;
}

bool rig_diff(const RigDoc* a, const RigDoc* b, RigChanges* out) {
  memset(out, 0, sizeof *out);
  for (int s = 0; s < kRigScenes; ++s) {
    const RigScene& x = a->scenes[s];
    const RigScene& y = b->scenes[s];
    const int n = x.channel_count > y.channel_count ? x.channel_count : y.channel_count;
    for (int i = 0; i < n && i < kRigMaxInputs; ++i) {
      uint8_t m = 0;
      if (i >= x.channel_count || i >= y.channel_count) {
        m = kRigInputAll;
      } else {
        const RigChannel& p = x.channels[i];
        const RigChannel& q = y.channels[i];
        if (p.gain != q.gain) m |= kRigInputGain;
        if (p.pan != q.pan) m |= kRigInputPan;
        if (p.muted != q.muted) m |= kRigInputMuted;
        if (p.link != q.link) m |= kRigInputLink;
        if (strncmp(p.label, q.label, sizeof p.label) != 0) m |= kRigInputLabel;
      }
      out->input[s][i] = m;
      out->any |= m != 0;
    }
    uint8_t m = 0;
    if (x.master_gain != y.master_gain) m |= kRigSceneMasterGain;
    if (strncmp(x.glyph, y.glyph, sizeof x.glyph) != 0) m |= kRigSceneGlyph;
    if (strncmp(x.name, y.name, sizeof x.name) != 0) m |= kRigSceneName;
    if (x.fresh != y.fresh) m |= kRigSceneFresh;
    out->scene[s] = m;
    out->any |= m != 0;
  }
  out->active_scene = a->active_scene != b->active_scene;
  bool device = a->device.channels != b->device.channels ||
                strncmp(a->device.api, b->device.api, kRigApiBytes) != 0 ||
                strncmp(a->device.name, b->device.name, kRigDeviceNameBytes) != 0;
  for (int i = 0; !device && i < kRigMaxInputs; ++i)
    device = strncmp(a->device.channel_names[i], b->device.channel_names[i], kRigChannelNameBytes) != 0;
  out->device = device;
  out->any |= out->active_scene || device;
  return out->any;
}

void rig_set_app_scene(RigDoc* doc, const char* app, int scene, double at) {
  RigAppScene e{};
  text_copy(e.app, app ? app : "");
  e.scene = scene < 0 ? 0 : (scene >= kRigScenes ? kRigScenes - 1 : scene);
  e.at = std::isfinite(at) ? at : 0.0;
  put_app_scene(doc, e, true);
  doc->active_scene = e.scene;
}

void rig_merge_app_scenes(RigDoc* dst, const RigDoc* src) {
  const int n = src->app_scene_count < kRigMaxAppScenes ? src->app_scene_count : kRigMaxAppScenes;
  for (int i = 0; i < n; ++i) put_app_scene(dst, src->app_scenes[i], false);
}

bool rig_merge_edits(RigDoc* base, const RigDoc* ours, const RigChanges& masks) {
  bool ok = true;
  for (int s = 0; s < kRigScenes; ++s) {
    RigScene& b = base->scenes[s];
    const RigScene& o = ours->scenes[s];
    const uint8_t sm = masks.scene[s];
    const bool whole = (sm & kRigSceneReplaced) != 0;
    bool copied = false;
    const int ours_n = o.channel_count < kRigMaxInputs ? o.channel_count : kRigMaxInputs;
    for (int i = 0; i < ours_n; ++i) {
      RigChannel& bc = b.channels[i];
      const RigChannel& oc = o.channels[i];
      if (i >= b.channel_count) {
        char* extra = nullptr;
        if (oc.extra_members && !(extra = dup_text(oc.extra_members))) {
          ok = false;
        }
        free(bc.extra_members);
        bc = oc;
        bc.extra_members = extra;
        copied = true;
        continue;
      }
      uint8_t m = masks.input[s][i];
      if (whole) m |= kRigInputGain | kRigInputPan | kRigInputMuted | kRigInputLink;
      if (m & kRigInputGain) bc.gain = oc.gain;
      if (m & kRigInputPan) bc.pan = oc.pan;
      if (m & kRigInputMuted) bc.muted = oc.muted;
      if (m & kRigInputLink) bc.link = oc.link;
      if (masks.input[s][i] & kRigInputLabel) memcpy(bc.label, oc.label, sizeof bc.label);
      copied |= m != 0;
    }
    if (ours_n > b.channel_count) b.channel_count = ours_n;
    if (sm & (kRigSceneMasterGain | kRigSceneReplaced)) b.master_gain = o.master_gain;
    if (sm & kRigSceneGlyph) memcpy(b.glyph, o.glyph, sizeof b.glyph);
    if (sm & kRigSceneName) memcpy(b.name, o.name, sizeof b.name);
    if (sm & (kRigSceneFresh | kRigSceneReplaced)) b.fresh = o.fresh;
    copied |= sm != 0;
    if (copied) {
      b.updated_at = o.updated_at;
      memcpy(b.author, o.author, sizeof b.author);
    }
  }
  if (masks.active_scene) base->active_scene = ours->active_scene;
  if (masks.device) {
    if (ours->device.api[0]) memcpy(base->device.api, ours->device.api, kRigApiBytes);
    if (ours->device.name[0]) memcpy(base->device.name, ours->device.name, kRigDeviceNameBytes);
    if (ours->device.channels > base->device.channels) base->device.channels = ours->device.channels;
    for (int i = 0; i < kRigMaxInputs; ++i)
      if (ours->device.channel_names[i][0])
        memcpy(base->device.channel_names[i], ours->device.channel_names[i], kRigChannelNameBytes);
  }
  rig_merge_app_scenes(base, ours);
  return ok;
}

bool rig_make_key(const char* api, const char* device_name, char* out, size_t cap) {
  if (out && cap) out[0] = 0;
  char name[400];
  const char* src = device_name ? device_name : "";
  utf8_copy_valid(name, sizeof name, src, strlen(src), nullptr);
  // Trim spaces and controls 9..13 at both ends.
  auto trimmed = [](char c) { return c == ' ' || (c >= 9 && c <= 13); };
  size_t begin = 0, end = strlen(name);
  while (begin < end && trimmed(name[begin])) ++begin;
  while (end > begin && trimmed(name[end - 1])) --end;
  // "(2- USB Audio)" becomes "(USB Audio)": the numbering of a second device of the same model.
  char norm[400];
  size_t n = 0;
  for (size_t i = begin; i < end;) {
    norm[n++] = name[i];
    if (name[i] == '(') {
      size_t j = i + 1;
      while (j < end && name[j] >= '0' && name[j] <= '9') ++j;
      if (j > i + 1 && j + 1 < end && name[j] == '-' && name[j + 1] == ' ') {
        i = j + 2;
        continue;
      }
    }
    ++i;
  }
  norm[n] = 0;
  char key[kRigKeyBytes];
  const int w = snprintf(key, sizeof key, "%s:%s", api ? api : "", norm);
  if (w < 0 || size_t(w) >= sizeof key || !out || size_t(w) >= cap) return false;
  memcpy(out, key, size_t(w) + 1);
  return true;
}

// Drivers that hand every input over as its own mono channel (ASIO, and JACK in its place here) get
// no default pair: two microphones on inputs 1 and 2 would otherwise land hard left and right.
bool rig_api_links_first_pair(const char* api) {
  return !api || (strcmp(api, "asio") != 0 && strcmp(api, "jack") != 0);
}

void rig_api_name(int host_api_type, char out[kRigApiBytes]) {
  const char* name = nullptr;
  switch (host_api_type) {
    case 1: name = "ds"; break;
    case 2: name = "mme"; break;
    case 3: name = "asio"; break;
    case 5: name = "coreaudio"; break;
    case 7: name = "oss"; break;
    case 8: name = "alsa"; break;
    case 11: name = "wdmks"; break;
    case 12: name = "jack"; break;
    case 13: name = "wasapi"; break;
    default: break;
  }
  if (name) text_copy(out, kRigApiBytes, name);
  else snprintf(out, kRigApiBytes, "api%d", host_api_type);
}

uint32_t rig_fnv1a(const char* text) {
  uint32_t h = 0x811C9DC5u;
  for (const char* p = text ? text : ""; *p; ++p) {
    h ^= uint8_t(*p);
    h *= 16777619u;
  }
  return h;
}

uint32_t rig_stream_tag(const char* key) {
  const uint32_t h = rig_fnv1a(key);
  return h ? h : 1;
}

bool rig_seed_random(uint64_t seed) {
  int expected = 0;
  if (!g_seed_state.compare_exchange_strong(expected, 1, std::memory_order_acq_rel)) return false;
  g_seed.store(seed, std::memory_order_relaxed);
  g_seed_state.store(2, std::memory_order_release);
  return true;
}

uint64_t rig_random64() {
  ensure_seeded();
  const uint64_t n = g_draws.fetch_add(1, std::memory_order_relaxed) + 1;
  uint64_t z = g_seed.load(std::memory_order_relaxed) + n * 0x9E3779B97F4A7C15ULL;  // splitmix64
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

void rig_new_uuid(char out[kRigUuidBytes]) {
  uint8_t b[16];
  const uint64_t r0 = rig_random64(), r1 = rig_random64();
  for (int i = 0; i < 8; ++i) {
    b[i] = uint8_t(r0 >> (8 * i));
    b[8 + i] = uint8_t(r1 >> (8 * i));
  }
  b[6] = uint8_t((rig_random64() & 0x0F) | 0x40);
  b[8] = uint8_t((rig_random64() & 0x3F) | 0x80);
  static const char hex[] = "0123456789ABCDEF";
  int o = 0;
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) out[o++] = '-';
    out[o++] = hex[b[i] >> 4];
    out[o++] = hex[b[i] & 15];
  }
  out[o] = 0;
}

double rig_time_now() { return double(wall_ns()) / 1e9 - kUnixTo2001Seconds; }
