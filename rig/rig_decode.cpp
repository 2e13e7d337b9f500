// Reading a rig text. Every member is read against its object's fixed table; a bad member is
// reported (only the first message reaches the caller) and replaced by its default, members this
// version does not know are kept as raw text, and only a foreign format, text that is not JSON, a
// size over 1 MB or a lack of memory make the whole text unusable.
#include <charconv>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "kit/json.h"
#include "platform/text.h"
#include "rig/rig_doc.h"

namespace {

constexpr int kMaxTable = 9;
constexpr size_t kLabelBytes = 96;
constexpr size_t kFirstMessageBytes = 320;

// Raw JSON kept verbatim: items joined by commas, in a growing heap buffer.
struct Extra {
  char* p = nullptr;
  size_t n = 0;
  size_t cap = 0;
  bool oom = false;

  ~Extra() { free(p); }
  bool reserve(size_t more) {
    if (n + more + 1 <= cap) return true;
    size_t want = cap ? cap * 2 : 256;
    while (want < n + more + 1) want *= 2;
    char* q = static_cast<char*>(realloc(p, want));
    if (!q) {
      oom = true;
      return false;
    }
    p = q;
    cap = want;
    return true;
  }
  void append(const char* s, size_t len) {
    if (oom || !reserve(len)) return;
    memcpy(p + n, s, len);
    n += len;
    p[n] = 0;
  }
  void item(JsonValue v) {
    if (n) append(",", 1);
    append(v.p, v.n);
  }
  void member(JsonValue name, JsonValue value) {
    if (n) append(",", 1);
    append(name.p, name.n);
    append(":", 1);
    append(value.p, value.n);
  }
  // Hands the text over (null when empty).
  char* take() {
    if (oom || n == 0) return nullptr;
    char* q = p;
    p = nullptr;
    n = cap = 0;
    return q;
  }
};

struct Decoder {
  RigDoc* doc;
  char first[kFirstMessageBytes] = {};
  bool noted = false;
  bool oom = false;

  void note(const char* fmt, ...) __attribute__((format(printf, 2, 3))) {
    if (noted) return;
    noted = true;
    va_list args;
    va_start(args, fmt);
    text_vformat(first, sizeof first, fmt, args);
    va_end(args);
  }
  void keep(Extra& e, char** dst) {
    if (e.oom) {
      oom = true;
      return;
    }
    *dst = e.take();
  }
};

// The first occurrence of each listed member; the bit of a member seen again is set in twice.
struct Members {
  JsonValue v[kMaxTable];
  bool has[kMaxTable] = {};
  unsigned twice = 0;
  bool unknown = false;  // a member not in the table was seen
};

// Reads obj's members against table; unknown members go to extra (when given).
void read_members(JsonValue obj, const char* const* table, int count, Members* m, Extra* extra) {
  JsonCursor c;
  json_object_begin(obj, &c);
  JsonValue name, value;
  while (json_object_next(&c, &name, &value)) {
    char text[32];
    int flags = 0;
    json_get_string(name, text, sizeof text, &flags);
    int hit = -1;
    if (!flags)
      for (int i = 0; i < count; ++i)
        if (strcmp(text, table[i]) == 0) hit = i;
    if (hit < 0) {
      m->unknown = true;
      if (extra) extra->member(name, value);
    } else if (m->has[hit]) {
      m->twice |= 1u << hit;
    } else {
      m->has[hit] = true;
      m->v[hit] = value;
    }
  }
}

// Labels are made without printf: one is made for every input read, and most are never used.
char* put_text(char* p, const char* text) {
  const size_t n = strlen(text);
  memcpy(p, text, n);
  p[n] = 0;
  return p + n;
}

char* put_int(char* p, int v) {
  p = std::to_chars(p, p + 12, v).ptr;
  *p = 0;
  return p;
}

void note_twice(Decoder& d, const Members& m, const char* const* table, int count, const char* label) {
  for (int i = 0; i < count; ++i)
    if (m.twice & (1u << i)) d.note("%s: \"%s\" appears twice (the first kept)", label, table[i]);
}

// A string member into a fixed field; the field keeps its value when the member is not a string.
void read_text(Decoder& d, JsonValue v, char* field, size_t cap, const char* label, const char* member) {
  char tmp[kRigKeyBytes];  // the largest field
  int flags = 0;
  if (!json_get_string(v, tmp, cap, &flags)) {
    d.note("%s: %s is not a string", label, member);
    return;
  }
  memcpy(field, tmp, strlen(tmp) + 1);
  if (flags & kJsonTextCut) d.note("%s: %s is longer than %d bytes (cut)", label, member, int(cap - 1));
  if (flags & kJsonTextInvalid) d.note("%s: %s had invalid text (replaced)", label, member);
}

bool read_int(Decoder& d, JsonValue v, long long lo, long long hi, long long* out, const char* label,
              const char* member) {
  int64_t x = 0;
  if (!json_get_int64(v, &x) || x < lo || x > hi) {
    d.note("%s: %s is not an integer in %lld..%lld", label, member, lo, hi);
    return false;
  }
  *out = x;
  return true;
}

void read_gain(Decoder& d, JsonValue v, float* out, const char* label, const char* member, float lo, float hi,
               float fallback) {
  float x = 0;
  if (!json_get_float(v, &x)) {
    d.note("%s: %s is not a number", label, member);
    *out = fallback;
    return;
  }
  if (!(x >= lo && x <= hi)) {
    d.note("%s: %s is out of range (clamped)", label, member);
    x = x < lo ? lo : hi;
  }
  *out = x;
}

void read_time(Decoder& d, JsonValue v, double* out, const char* label, const char* member) {
  double x = 0;
  if (!json_get_double(v, &x)) {
    d.note("%s: %s is not a number", label, member);
    x = 0;
  }
  *out = x;
}

void read_flag(Decoder& d, JsonValue v, bool* out, const char* label, const char* member, bool fallback) {
  if (!json_get_bool(v, out)) {
    d.note("%s: %s is not true / false", label, member);
    *out = fallback;
  }
}

// An id: a non-empty string of at most 36 bytes of valid text, else a new one.
void read_id(Decoder& d, const Members& m, int slot, char* id, const char* label) {
  char tmp[kRigUuidBytes];
  int flags = 0;
  if (m.has[slot]) {
    if (json_get_string(m.v[slot], tmp, sizeof tmp, &flags) && tmp[0] && !flags) {
      memcpy(id, tmp, sizeof tmp);
      return;
    }
    d.note("%s: id is not a usable UUID (a new one minted)", label);
  }
  rig_new_uuid(id);
}

void read_device(Decoder& d, JsonValue v, bool* channels_read) {
  static const char* const table[] = {"api", "name", "channels", "channelNames"};
  if (v.kind != JsonKind::kObject) {
    d.note("device is not an object");
    return;
  }
  RigDevice& dev = d.doc->device;
  Members m;
  Extra extra;
  read_members(v, table, 4, &m, &extra);
  note_twice(d, m, table, 4, "device");
  if (m.has[0]) read_text(d, m.v[0], dev.api, sizeof dev.api, "device", "api");
  if (m.has[1]) read_text(d, m.v[1], dev.name, sizeof dev.name, "device", "name");
  long long n = 0;
  if (m.has[2] && read_int(d, m.v[2], 1, kRigMaxInputs, &n, "device", "channels")) {
    dev.channels = int32_t(n);
    *channels_read = true;
  }
  if (m.has[3]) {
    JsonCursor c;
    if (!json_array_begin(m.v[3], &c)) {
      d.note("device: channelNames is not an array");
    } else {
      JsonValue e;
      int i = 0;
      while (json_array_next(&c, &e)) {
        if (i == kRigMaxInputs) {
          d.note("device: more than %d channelNames (the rest dropped)", kRigMaxInputs);
          break;
        }
        char label[kLabelBytes];
        put_text(put_int(put_text(label, "device channelNames["), i), "]");
        read_text(d, e, dev.channel_names[i], kRigChannelNameBytes, label, "the name");
        ++i;
      }
    }
  }
  d.keep(extra, &d.doc->extra_device);
}

void read_app_scenes(Decoder& d, JsonValue v) {
  static const char* const table[] = {"scene", "at"};
  if (v.kind != JsonKind::kObject) {
    d.note("appScenes is not an object");
    return;
  }
  RigDoc* doc = d.doc;
  JsonCursor c;
  json_object_begin(v, &c);
  JsonValue name, value;
  bool over = false;
  while (json_object_next(&c, &name, &value)) {
    RigAppScene e{};
    int flags = 0;
    json_get_string(name, e.app, sizeof e.app, &flags);
    char label[kLabelBytes];
    snprintf(label, sizeof label, "appScenes \"%s\"", e.app);
    if (flags & kJsonTextCut) d.note("%s: the app name is longer than %d bytes (cut)", label, int(kRigAppBytes - 1));
    if (flags & kJsonTextInvalid) d.note("%s: %s had invalid text (replaced)", label, "the app name");
    if (value.kind != JsonKind::kObject) {
      d.note("%s is not an object (dropped)", label);
      continue;
    }
    Members m;
    read_members(value, table, 2, &m, nullptr);
    note_twice(d, m, table, 2, label);
    if (m.unknown) d.note("%s: members other than scene / at (dropped)", label);
    long long scene = 0;
    if (m.has[0] && read_int(d, m.v[0], 0, kRigScenes - 1, &scene, label, "scene")) e.scene = int32_t(scene);
    if (m.has[1]) read_time(d, m.v[1], &e.at, label, "at");
    if (doc->app_scene_count < kRigMaxAppScenes) {
      doc->app_scenes[doc->app_scene_count++] = e;
      continue;
    }
    if (!over) d.note("appScenes has more than %d members (the oldest dropped)", kRigMaxAppScenes);
    over = true;
    int oldest = 0;
    for (int i = 1; i < kRigMaxAppScenes; ++i)
      if (doc->app_scenes[i].at < doc->app_scenes[oldest].at) oldest = i;
    if (!(e.at > doc->app_scenes[oldest].at)) continue;
    memmove(&doc->app_scenes[oldest], &doc->app_scenes[oldest + 1],
            sizeof(RigAppScene) * size_t(kRigMaxAppScenes - 1 - oldest));
    doc->app_scenes[kRigMaxAppScenes - 1] = e;
  }
}

// One element of a scene's channels array.
void read_channel_entry(Decoder& d, RigScene& sc, int scene, int entry, JsonValue v, bool* taken, Extra& verbatim) {
  static const char* const table[] = {"id", "kind", "label", "gain", "pan", "muted", "link"};
  if (v.kind != JsonKind::kObject) {
    verbatim.item(v);
    d.note("scene %d: channel entry %d is not an object (kept verbatim)", scene + 1, entry);
    return;
  }
  Members m;
  Extra extra;
  read_members(v, table, 7, &m, &extra);
  JsonValue kind_name, kind_value;
  JsonCursor c;
  if (!m.has[1] || json_count(m.v[1]) != 1 || !json_object_begin(m.v[1], &c) ||
      !json_object_next(&c, &kind_name, &kind_value)) {
    verbatim.item(v);
    d.note("scene %d: channel entry %d has no single-member kind (kept verbatim)", scene + 1, entry);
    return;
  }
  if (!json_string_equals(kind_name, "input")) {
    verbatim.item(v);  // another application's kind of entry passes through untouched
    return;
  }
  JsonValue channel_name, channel_value;
  int64_t channel = -1;
  if (json_count(kind_value) != 1 || !json_object_begin(kind_value, &c) ||
      !json_object_next(&c, &channel_name, &channel_value) || !json_string_equals(channel_name, "channel") ||
      !json_get_int64(channel_value, &channel) || channel < 0) {
    verbatim.item(v);
    d.note("scene %d: channel entry %d is an input with no usable channel (kept verbatim)", scene + 1, entry);
    return;
  }
  if (channel >= kRigMaxInputs) {
    verbatim.item(v);
    d.note("scene %d: input %lld is past the %d a rig holds (kept verbatim)", scene + 1, (long long)channel + 1,
           kRigMaxInputs);
    return;
  }
  const int i = int(channel);
  if (taken[i]) {
    d.note("scene %d: input %d appears twice (the first kept)", scene + 1, i + 1);
    return;
  }
  taken[i] = true;
  char label[kLabelBytes];
  put_int(put_text(put_int(put_text(label, "scene "), scene + 1), " input "), i + 1);
  note_twice(d, m, table, 7, label);
  RigChannel& ch = sc.channels[i];
  free(ch.extra_members);
  memset(&ch, 0, sizeof ch);
  ch.gain = 1.0f;
  ch.muted = i >= 2;
  read_id(d, m, 0, ch.id, label);
  if (m.has[2]) read_text(d, m.v[2], ch.label, sizeof ch.label, label, "label");
  if (m.has[3]) read_gain(d, m.v[3], &ch.gain, label, "gain", 0.0f, kRigMaxGain, 1.0f);
  if (m.has[4]) read_gain(d, m.v[4], &ch.pan, label, "pan", -1.0f, 1.0f, 0.0f);
  if (m.has[5]) read_flag(d, m.v[5], &ch.muted, label, "muted", i >= 2);
  if (m.has[6]) read_flag(d, m.v[6], &ch.link, label, "link", false);
  d.keep(extra, &ch.extra_members);
  if (i + 1 > sc.channel_count) sc.channel_count = i + 1;
}

void read_scene(Decoder& d, int s, JsonValue v) {
  static const char* const table[] = {"id", "name", "glyph", "fresh", "masterGain", "updatedAt", "author", "channels"};
  RigScene& sc = d.doc->scenes[s];
  char label[kLabelBytes];
  put_int(put_text(label, "scene "), s + 1);
  Members m;
  Extra extra;
  read_members(v, table, 8, &m, &extra);
  note_twice(d, m, table, 8, label);
  read_id(d, m, 0, sc.id, label);
  if (m.has[1]) read_text(d, m.v[1], sc.name, sizeof sc.name, label, "name");
  if (m.has[2]) read_text(d, m.v[2], sc.glyph, sizeof sc.glyph, label, "glyph");
  if (m.has[3]) read_flag(d, m.v[3], &sc.fresh, label, "fresh", false);
  if (m.has[4]) read_gain(d, m.v[4], &sc.master_gain, label, "masterGain", 0.0f, kRigMaxGain, 1.0f);
  if (m.has[5]) read_time(d, m.v[5], &sc.updated_at, label, "updatedAt");
  if (m.has[6]) read_text(d, m.v[6], sc.author, sizeof sc.author, label, "author");
  if (m.has[7]) {
    JsonCursor c;
    if (!json_array_begin(m.v[7], &c)) {
      d.note("%s: channels is not an array", label);
    } else {
      bool taken[kRigMaxInputs] = {};
      Extra verbatim;
      JsonValue e;
      for (int entry = 0; json_array_next(&c, &e); ++entry) read_channel_entry(d, sc, s, entry, e, taken, verbatim);
      for (int i = 0; i < sc.channel_count; ++i) {
        if (taken[i]) continue;
        RigChannel& ch = sc.channels[i];
        ch.gain = 1.0f;
        ch.muted = i >= 2;
        rig_new_uuid(ch.id);
        d.note("%s: input %d is missing (defaults)", label, i + 1);
      }
      d.keep(verbatim, &sc.extra_channels);
    }
  }
  d.keep(extra, &sc.extra_members);
}

void read_writer(Decoder& d, JsonValue v) {
  static const char* const table[] = {"app", "platform", "version", "instance", "at"};
  if (v.kind != JsonKind::kObject) {
    d.note("writer is not an object");
    return;
  }
  RigWriter& w = d.doc->writer;
  Members m;
  read_members(v, table, 5, &m, nullptr);
  note_twice(d, m, table, 5, "writer");
  if (m.has[0]) read_text(d, m.v[0], w.app, sizeof w.app, "writer", "app");
  if (m.has[1]) read_text(d, m.v[1], w.platform, sizeof w.platform, "writer", "platform");
  if (m.has[2]) read_text(d, m.v[2], w.version, sizeof w.version, "writer", "version");
  if (m.has[3]) read_text(d, m.v[3], w.instance, sizeof w.instance, "writer", "instance");
  if (m.has[4]) read_time(d, m.v[4], &w.at, "writer", "at");
}

// Empty, version 1, each scene with its default name, glyph and master gain, so a scene member
// that is absent reads as its default rather than as silence.
void clear_doc(RigDoc* doc) { rig_reset(doc); }

int finish(char* msg, size_t cap, int code, const char* fmt, ...) __attribute__((format(printf, 4, 5)));
int finish(char* msg, size_t cap, int code, const char* fmt, ...) {
  if (msg && cap) {
    va_list args;
    va_start(args, fmt);
    text_vformat(msg, cap, fmt, args);
    va_end(args);
  }
  return code;
}

}  // namespace

int rig_decode(const char* text, size_t length, RigDoc* doc, char* msg, size_t msg_cap) {
  if (msg && msg_cap) msg[0] = 0;
  if (!doc) return finish(msg, msg_cap, kRigDecodeUnreadable, "no doc to decode into");
  clear_doc(doc);
  if (length > kRigMaxTextBytes)
    return finish(msg, msg_cap, kRigDecodeUnreadable, "bigger than 1 MB (%llu bytes)", (unsigned long long)length);
  JsonValue root;
  char json_msg[128];
  if (!json_parse(text, length, &root, json_msg, sizeof json_msg))
    return finish(msg, msg_cap, kRigDecodeUnreadable, "not JSON: %s", json_msg);
  if (root.kind != JsonKind::kObject)
    return finish(msg, msg_cap, kRigDecodeNotRig, "not a rig: the JSON is not an object");

  static const char* const table[] = {"format", "version", "rev", "key", "device", "activeScene", "appScenes", "scenes",
                                      "writer"};
  Decoder d{doc};
  Members m;
  Extra extra_top;
  read_members(root, table, 9, &m, &extra_top);
  if (!m.has[0] || !json_string_equals(m.v[0], kRigFormat))
    return finish(msg, msg_cap, kRigDecodeNotRig, "not a rig: \"format\" is not \"%s\"", kRigFormat);
  note_twice(d, m, table, 9, "the rig");

  long long n = 0;
  if (m.has[1] && read_int(d, m.v[1], 1, 2147483647LL, &n, "the rig", "version")) doc->version = int32_t(n);
  if (m.has[2] && read_int(d, m.v[2], 0, 9223372036854775807LL, &n, "the rig", "rev")) doc->rev = n;
  bool key_read = false;
  if (m.has[3]) {
    read_text(d, m.v[3], doc->key, sizeof doc->key, "the rig", "key");
    key_read = m.v[3].kind == JsonKind::kString;
  }
  bool channels_read = false;
  if (m.has[4]) read_device(d, m.v[4], &channels_read);

  // A device named only by the key: "api:name".
  if (const char* colon = strchr(doc->key, ':')) {
    const size_t api_len = size_t(colon - doc->key);
    if (!doc->device.api[0] && api_len < kRigApiBytes)
      utf8_copy_valid(doc->device.api, sizeof doc->device.api, doc->key, api_len, nullptr);
    if (!doc->device.name[0])
      utf8_copy_valid(doc->device.name, sizeof doc->device.name, colon + 1, strlen(colon + 1), nullptr);
  }
  if (!key_read && doc->device.api[0]) rig_make_key(doc->device.api, doc->device.name, doc->key, sizeof doc->key);

  if (m.has[5] && read_int(d, m.v[5], 0, kRigScenes - 1, &n, "the rig", "activeScene")) doc->active_scene = int32_t(n);
  if (m.has[6]) read_app_scenes(d, m.v[6]);

  bool scene_read[kRigScenes] = {};
  int elements = 0;
  Extra extra_scenes;
  if (!m.has[7]) {
    d.note("no scenes (defaults)");
  } else if (m.v[7].kind != JsonKind::kArray) {
    d.note("scenes is not an array (defaults)");
  } else {
    JsonCursor c;
    json_array_begin(m.v[7], &c);
    JsonValue e;
    while (json_array_next(&c, &e)) {
      const int s = elements++;
      if (s >= kRigScenes) {
        extra_scenes.item(e);
      } else if (e.kind != JsonKind::kObject) {
        d.note("scene %d is not an object (defaults)", s + 1);
      } else {
        read_scene(d, s, e);
        scene_read[s] = true;
      }
    }
    if (elements < kRigScenes) d.note("only %d of %d scenes (the rest are defaults)", elements, kRigScenes);
  }
  if (m.has[8]) read_writer(d, m.v[8]);

  if (!channels_read) {
    int widest = 1;
    for (int s = 0; s < kRigScenes; ++s)
      if (scene_read[s] && doc->scenes[s].channel_count > widest) widest = doc->scenes[s].channel_count;
    doc->device.channels = widest;
  }
  bool defaults_needed = false;
  for (bool read : scene_read) defaults_needed |= !read;
  if (defaults_needed) {
    RigDoc* def = static_cast<RigDoc*>(calloc(1, sizeof(RigDoc)));
    if (!def) {
      d.oom = true;
    } else {
      rig_init_for_device(def, doc->key, doc->device.api, doc->device.name, doc->device.channels, nullptr, "", 0.0);
      for (int s = 0; s < kRigScenes; ++s)
        if (!scene_read[s]) doc->scenes[s] = def->scenes[s];  // neither holds extra texts
      free(def);
    }
  }
  d.keep(extra_top, &doc->extra_top);
  d.keep(extra_scenes, &doc->extra_scenes);
  if (d.oom) {
    clear_doc(doc);
    return finish(msg, msg_cap, kRigDecodeNoMemory, "out of memory");
  }
  doc->read_only = doc->version > kRigFormatVersion;
  if (rig_repair(doc)) d.note("out-of-range values repaired");
  if (doc->read_only) {
    char tail[kFirstMessageBytes + 16] = "";
    if (d.noted) snprintf(tail, sizeof tail, " (and: %s)", d.first);
    return finish(msg, msg_cap, kRigDecodeReadOnly, "version %d is newer than %d - read only%s", doc->version,
                  kRigFormatVersion, tail);
  }
  if (!d.noted) return kRigDecodeOk;
  return finish(msg, msg_cap, kRigDecodeRepaired, "%s", d.first);
}
