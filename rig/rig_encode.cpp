// Writing a rig text: compact, in a fixed member order, with the kept raw texts put back where
// they were found. Non-finite numbers are never written (gains write 1, pan and times 0).
#include <cmath>
#include <cstring>

#include "kit/json.h"
#include "rig/rig_doc.h"

namespace {

void raw(JsonWriter* w, const char* text) { json_write_raw(w, text, strlen(text)); }

void extra(JsonWriter* w, const char* text, bool comma) {
  if (!text || !text[0]) return;
  if (comma) json_write_char(w, ',');
  raw(w, text);
}

void gain(JsonWriter* w, float v) { json_write_float(w, std::isfinite(v) ? v : 1.0f); }
void pan(JsonWriter* w, float v) { json_write_float(w, std::isfinite(v) ? v : 0.0f); }
void when(JsonWriter* w, double v) { json_write_double(w, std::isfinite(v) ? v : 0.0); }

void write_input(JsonWriter* w, const RigChannel& c, int index) {
  raw(w, "{\"id\":");
  json_write_string(w, c.id, sizeof c.id);
  raw(w, ",\"kind\":{\"input\":{\"channel\":");
  json_write_int(w, index);
  raw(w, "}},\"label\":");
  json_write_string(w, c.label, sizeof c.label);
  raw(w, ",\"gain\":");
  gain(w, c.gain);
  raw(w, ",\"pan\":");
  pan(w, c.pan);
  raw(w, ",\"muted\":");
  json_write_bool(w, c.muted);
  raw(w, ",\"link\":");
  json_write_bool(w, c.link);
  extra(w, c.extra_members, true);
  json_write_char(w, '}');
}

void write_scene(JsonWriter* w, const RigScene& s) {
  raw(w, "{\"id\":");
  json_write_string(w, s.id, sizeof s.id);
  raw(w, ",\"name\":");
  json_write_string(w, s.name, sizeof s.name);
  raw(w, ",\"glyph\":");
  json_write_string(w, s.glyph, sizeof s.glyph);
  if (s.fresh) raw(w, ",\"fresh\":true");
  raw(w, ",\"masterGain\":");
  gain(w, s.master_gain);
  raw(w, ",\"updatedAt\":");
  when(w, s.updated_at);
  raw(w, ",\"author\":");
  json_write_string(w, s.author, sizeof s.author);
  raw(w, ",\"channels\":[");
  const int n = s.channel_count < 0 ? 0 : (s.channel_count > kRigMaxInputs ? kRigMaxInputs : s.channel_count);
  for (int i = 0; i < n; ++i) {
    if (i) json_write_char(w, ',');
    write_input(w, s.channels[i], i);
  }
  extra(w, s.extra_channels, n > 0);  // no leading comma in an otherwise empty array
  json_write_char(w, ']');
  extra(w, s.extra_members, true);
  json_write_char(w, '}');
}

}  // namespace

size_t rig_encode(const RigDoc* doc, char* buf, size_t cap) {
  JsonWriter w;
  json_writer_start(&w, buf, cap);
  raw(&w, "{\"format\":\"lumaro.rig\",\"version\":");
  json_write_int(&w, doc->version);
  raw(&w, ",\"rev\":");
  json_write_int(&w, doc->rev);
  raw(&w, ",\"key\":");
  json_write_string(&w, doc->key, sizeof doc->key);

  const RigDevice& dev = doc->device;
  raw(&w, ",\"device\":{\"api\":");
  json_write_string(&w, dev.api, sizeof dev.api);
  raw(&w, ",\"name\":");
  json_write_string(&w, dev.name, sizeof dev.name);
  raw(&w, ",\"channels\":");
  json_write_int(&w, dev.channels);
  raw(&w, ",\"channelNames\":[");
  int names = dev.channels < 0 ? 0 : (dev.channels > kRigMaxInputs ? kRigMaxInputs : dev.channels);
  for (int i = kRigMaxInputs; i > names; --i)
    if (dev.channel_names[i - 1][0]) {
      names = i;
      break;
    }
  for (int i = 0; i < names; ++i) {
    if (i) json_write_char(&w, ',');
    json_write_string(&w, dev.channel_names[i], kRigChannelNameBytes);
  }
  json_write_char(&w, ']');
  extra(&w, doc->extra_device, true);
  json_write_char(&w, '}');

  raw(&w, ",\"activeScene\":");
  json_write_int(&w, doc->active_scene);
  const int apps = doc->app_scene_count < 0 ? 0 : (doc->app_scene_count > kRigMaxAppScenes ? kRigMaxAppScenes
                                                                                             : doc->app_scene_count);
  if (apps > 0) {
    raw(&w, ",\"appScenes\":{");
    for (int i = 0; i < apps; ++i) {
      const RigAppScene& e = doc->app_scenes[i];
      if (i) json_write_char(&w, ',');
      json_write_string(&w, e.app, sizeof e.app);
      raw(&w, ":{\"scene\":");
      json_write_int(&w, e.scene);
      raw(&w, ",\"at\":");
      when(&w, e.at);
      json_write_char(&w, '}');
    }
    json_write_char(&w, '}');
  }

  raw(&w, ",\"scenes\":[");
  for (int s = 0; s < kRigScenes; ++s) {
    if (s) json_write_char(&w, ',');
    write_scene(&w, doc->scenes[s]);
  }
  extra(&w, doc->extra_scenes, true);
  json_write_char(&w, ']');

  const RigWriter& wr = doc->writer;
  raw(&w, ",\"writer\":{\"app\":");
  json_write_string(&w, wr.app, sizeof wr.app);
  raw(&w, ",\"platform\":");
  json_write_string(&w, wr.platform, sizeof wr.platform);
  raw(&w, ",\"version\":");
  json_write_string(&w, wr.version, sizeof wr.version);
  raw(&w, ",\"instance\":");
  json_write_string(&w, wr.instance, sizeof wr.instance);
  raw(&w, ",\"at\":");
  when(&w, wr.at);
  json_write_char(&w, '}');
  extra(&w, doc->extra_top, true);
  json_write_char(&w, '}');
  return json_writer_finish(&w);
}
