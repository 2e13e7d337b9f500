// The rig keeper's binding and its traffic with the store: loads and their retries, the fallback to
// fresh defaults, save scheduling for the bound and the parked rig, and merging what comes back
// from disk (our own saves, and other applications' changes) under our unsaved edits.
#include "rig/rig_keeper.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "config/log.h"
#include "kit/json.h"
#include "platform/text.h"
#include "rig/rig_keeper_state.h"

using namespace rig_keeper_detail;

namespace {

RigDoc* new_doc() {
  RigDoc* d = static_cast<RigDoc*>(calloc(1, sizeof(RigDoc)));
  if (d) rig_reset(d);
  return d;
}

void delete_doc(RigDoc* d) {
  if (!d) return;
  rig_free(d);
  free(d);
}

void slot_clear(Slot* s) {
  delete_doc(s->doc);
  memset(s, 0, sizeof *s);
}

bool slot_unsaved(const Slot& s) { return s.doc && (s.dirty || s.save_count > 0); }

void default_log(void*, const char* line) { log_line("%s", line); }

void upper_copy(char* out, size_t cap, const char* in) {
  text_copy(out, cap, in ? in : "");
  for (char* p = out; *p; ++p)
    if (*p >= 'a' && *p <= 'z') *p = char(*p - 'a' + 'A');
}

bool trimmed_byte(char c) { return c == ' ' || (c >= 9 && c <= 13); }

// A fresh rig for the bound stream, as a new file would start.
RigDoc* default_rig(const RigKeeper* k) {
  RigDoc* d = new_doc();
  if (!d) return nullptr;
  rig_init_for_device(d, k->stream.key, k->stream.api, k->stream.device, k->stream.inputs, k->stream.input_names,
                      k->app, k->wall_s);
  return d;
}

// Brings the rig's device fields to the stream's; a change is an edit to save.
void refresh_device(RigKeeper* k) {
  RigDoc* d = k->bound.doc;
  const RigStream& s = k->stream;
  bool changed = false;
  if (d->device.channels != s.device_inputs) d->device.channels = s.device_inputs, changed = true;
  if (s.api[0] && strcmp(d->device.api, s.api) != 0) text_copy(d->device.api, s.api), changed = true;
  if (s.device[0] && strcmp(d->device.name, s.device) != 0) text_copy(d->device.name, s.device), changed = true;
  for (int i = 0; i < s.inputs; ++i)
    if (s.input_names[i][0] && strcmp(d->device.channel_names[i], s.input_names[i]) != 0)
      text_copy(d->device.channel_names[i], s.input_names[i]), changed = true;
  if (changed && k->state != kRigReadOnly) {
    k->bound.pending.device = true;
    touch(k);
  }
}

// Grows the rig to the opened inputs; new inputs are saved with the device fields.
void grow_inputs(RigKeeper* k) {
  if (rig_grow_inputs(k->bound.doc, k->stream.inputs) && k->state != kRigReadOnly) {
    k->bound.pending.device = true;
    touch(k);
  }
}

// The scene this application chose last in doc, and when; else the active scene at time 0.
void chosen_scene(const RigKeeper* k, const RigDoc* doc, int* scene, double* at) {
  const int e = app_scene_index(doc, k->app);
  if (e >= 0) {
    *scene = doc->app_scenes[e].scene;
    *at = doc->app_scenes[e].at;
  } else {
    *scene = doc->active_scene;
    *at = 0;
  }
  *scene = std::clamp(*scene, 0, kRigScenes - 1);
}

// Takes doc (owned from now on) as the bound rig and selects its scene.
void take_rig(RigKeeper* k, RigDoc* doc) {
  delete_doc(k->bound.doc);
  k->bound.doc = doc;
  text_copy(k->bound.key, k->stream.key);
  chosen_scene(k, doc, &k->scene, &k->scene_at);
  k->last_at = std::max(k->last_at, k->scene_at);
}

void enter_read_only(RigKeeper* k) {
  if (k->state == kRigReadOnly) return;
  k->state = kRigReadOnly;
  push_notice(k, kRigNoticeReadOnly, 0, false, false, "");
  keeper_log(k, "rig: %s was made by a newer app - read only", k->stream.key);
}

void queue_load(RigKeeper* k) {
  k->load_retry_s = k->now_s + kRetryS;
  RigDoc* tmp = nullptr;
  const RigDoc* doc = k->fallback ? k->bound.doc : (tmp = default_rig(k));
  k->load_id = k->store && doc ? rig_store_load(k->store, k->stream.key, doc) : 0;
  delete_doc(tmp);
  if (!k->load_id) k->load_failed = true;
}

// Moves the bound rig aside when it still has edits to save; otherwise lets it go.
void park(RigKeeper* k) {
  if (!slot_unsaved(k->bound) || k->state == kRigReadOnly || k->state == kRigLoading) {
    slot_clear(&k->bound);
    return;
  }
  if (slot_unsaved(k->parked))
    keeper_log(k, "rig: dropped the unsaved changes of %s (another device came along first)", k->parked.key);
  slot_clear(&k->parked);
  k->parked = k->bound;
  memset(&k->bound, 0, sizeof k->bound);
}

Slot* slot_of_save(RigKeeper* k, uint32_t id, SaveJob* job) {
  for (Slot* s : {&k->bound, &k->parked})
    for (int i = 0; i < s->save_count; ++i)
      if (s->saves[i].id == id) {
        *job = s->saves[i];
        for (int j = i; j + 1 < s->save_count; ++j) s->saves[j] = s->saves[j + 1];
        --s->save_count;
        return s;
      }
  return nullptr;
}

// Everything of ours not yet on disk: the pending edits and every save in flight.
RigChanges unsaved_masks(const Slot& s) {
  RigChanges m = s.pending;
  for (int i = 0; i < s.save_count; ++i) rig_changes_or(&m, s.saves[i].masks);
  return m;
}

// The name to show for a change another application made; after our own save, the author of a
// scene that changed and is not us.
void changer_name(const RigKeeper* k, const RigDoc* merged, const RigChanges& diff, const char* writer, char* out,
                  size_t cap) {
  if (writer && writer[0]) {
    text_copy(out, cap, writer);
    return;
  }
  for (int s = 0; s < kRigScenes; ++s) {
    bool changed = diff.scene[s] != 0;
    for (int i = 0; !changed && i < kRigMaxInputs; ++i) changed = diff.input[s][i] != 0;
    const char* author = merged->scenes[s].author;
    if (changed && author[0] && strcmp(author, k->app) != 0) {
      text_copy(out, cap, author);
      return;
    }
  }
  text_copy(out, cap, "another app");
}

// Takes a rig from disk under our unsaved edits: what our masks mark stays ours, the rest (and
// rev and writer) comes from disk. writer: who changed it, or null after our own save.
void merge_from_disk(RigKeeper* k, const RigDoc* disk, const char* writer) {
  RigDoc* ours = k->bound.doc;
  RigDoc* merged = new_doc();
  if (!merged || !rig_copy(merged, disk)) {
    delete_doc(merged);
    keeper_log(k, "rig: out of memory merging %s - kept the rig in memory", k->stream.key);
    return;
  }
  const RigChanges masks = unsaved_masks(k->bound);
  rig_merge_edits(merged, ours, masks);
  rig_grow_inputs(merged, k->stream.inputs);
  int scene = k->scene;
  double at = k->scene_at;
  const int e = app_scene_index(disk, k->app);
  if (e >= 0 && disk->app_scenes[e].at > k->scene_at) {
    scene = std::clamp(disk->app_scenes[e].scene, 0, kRigScenes - 1);
    at = disk->app_scenes[e].at;
  }
  RigChanges diff;
  const bool differs = rig_diff(ours, merged, &diff) || scene != k->scene;
  RigMixMatrix before;
  current_matrix(k, &before);
  k->bound.doc = merged;
  delete_doc(ours);
  const bool scene_changed = scene != k->scene;
  k->scene = scene;
  k->scene_at = at;
  k->last_at = std::max(k->last_at, at);
  RigMixMatrix after;
  current_matrix(k, &after);
  send_matrix(k, kMergeFadeS, false);
  if (scene_changed) push_notice(k, kRigNoticeScene, scene, false, !rig_mix_matrix_equal(before, after), "");
  if (differs) {
    changer_name(k, merged, diff, writer, k->changed_by, sizeof k->changed_by);
    k->changed_at = k->now_s;
    push_notice(k, kRigNoticeChanged, 0, false, false, k->changed_by);
  }
}

void on_loaded(RigKeeper* k, RigResult* r) {
  if (!r->job_id || r->job_id != k->load_id || !r->doc) return;
  k->load_id = 0;
  k->load_failed = false;
  k->load_fail_logged = false;
  if (k->state == kRigLoading) {
    take_rig(k, r->doc);
    r->doc = nullptr;
    grow_inputs(k);
    refresh_device(k);
    if (k->bound.doc->read_only) enter_read_only(k);
    else k->state = kRigBound;
    send_matrix(k, k->audio_live ? kMergeFadeS : 0.0, true);
    if (r->type == kRigResultLoadedFresh) push_notice(k, kRigNoticeSetAside, 0, false, false, r->message);
    push_notice(k, kRigNoticeInUse, r->created || r->type == kRigResultLoadedFresh ? 1 : 0, k->audio_live, false, "");
  } else if (k->state == kRigBound && k->fallback) {
    k->fallback = false;
    merge_from_disk(k, r->doc, r->doc->writer.app);
    keeper_log(k, "rig: the rig file can be read again - merged it in");
  }
}

void on_load_failed(RigKeeper* k, const RigResult& r) {
  if (!r.job_id || r.job_id != k->load_id) return;
  k->load_id = 0;
  k->load_failed = true;  // tried again 2 s after it was queued
  if (!k->load_fail_logged)
    keeper_log(k, "rig: can't read the rig file (%s) - retrying every %.0f s", r.message, kRetryS);
  k->load_fail_logged = true;
}

void on_saved(RigKeeper* k, const RigResult& r) {
  SaveJob job;
  Slot* s = slot_of_save(k, r.job_id, &job);
  if (!s) return;
  if (s->failing) {
    keeper_log(k, "rig: saved %s again", s->key);
    if (s == &k->bound) push_notice(k, kRigNoticeSavedAgain, 0, false, false, "");
  }
  s->failing = false;
  s->failure_noticed = false;
  if (s != &k->bound) return;
  k->save_error = false;
  k->error[0] = 0;
  if (k->fallback) {
    k->fallback = false;
    keeper_log(k, "rig: the rig file can be read again - our edits landed on it");
  }
  if (r.doc && k->state == kRigBound) merge_from_disk(k, r.doc, nullptr);
}

void on_save_failed(RigKeeper* k, const RigResult& r) {
  SaveJob job;
  Slot* s = slot_of_save(k, r.job_id, &job);
  if (!s) return;
  rig_changes_or(&s->pending, job.masks);
  s->pending.any = true;
  if (!s->dirty) s->first_edit_s = s->last_edit_s = k->now_s;
  s->dirty = true;
  s->retry_s = k->now_s + kRetryS;
  s->failing = true;
  if (s != &k->bound) return;
  if (r.decode_code == kRigDecodeReadOnly) {
    enter_read_only(k);
    return;
  }
  upper_copy(k->error, sizeof k->error, r.message);
  k->save_error = true;
  if (!s->failure_noticed) push_notice(k, kRigNoticeSaveFailed, 0, false, false, r.message);
  s->failure_noticed = true;
}

void on_changed(RigKeeper* k, RigResult* r) {
  if (!r->doc || !k->bound.doc || strcmp(r->key, k->stream.key) != 0) return;
  if (k->state != kRigBound && k->state != kRigReadOnly) return;
  if (r->doc->read_only) {
    // Shown and mixed as it is, never written: our edits cannot go into a newer format.
    take_rig(k, r->doc);
    r->doc = nullptr;
    rig_grow_inputs(k->bound.doc, k->stream.inputs);
    memset(&k->bound.pending, 0, sizeof k->bound.pending);
    k->bound.dirty = false;
    enter_read_only(k);
    send_matrix(k, kMergeFadeS, false);
    return;
  }
  if (k->state == kRigReadOnly) {
    take_rig(k, r->doc);
    r->doc = nullptr;
    grow_inputs(k);
    k->state = kRigBound;
    refresh_device(k);
    send_matrix(k, kMergeFadeS, false);
    text_copy(k->changed_by, r->writer_app);
    k->changed_at = k->now_s;
    push_notice(k, kRigNoticeChanged, 0, false, false, r->writer_app);
    return;
  }
  merge_from_disk(k, r->doc, r->writer_app[0] ? r->writer_app : "another app");
}

void take_results(RigKeeper* k) {
  if (!k->store) return;
  RigResult r;
  while (rig_store_next_result(k->store, &r)) {
    switch (r.type) {
      case kRigResultLoaded:
      case kRigResultLoadedFresh: on_loaded(k, &r); break;
      case kRigResultLoadFailed: on_load_failed(k, r); break;
      case kRigResultSaved: on_saved(k, r); break;
      case kRigResultSaveFailed: on_save_failed(k, r); break;
      case kRigResultChanged: on_changed(k, &r); break;
      default: break;
    }
    rig_result_free(&r);
  }
}

// Runs on fresh defaults when the rig file has not been readable for a while.
void enter_fallback(RigKeeper* k) {
  RigDoc* d = default_rig(k);
  if (!d) return;
  delete_doc(k->bound.doc);
  memset(&k->bound, 0, sizeof k->bound);
  k->bound.doc = d;
  text_copy(k->bound.key, k->stream.key);
  k->scene = 0;
  k->scene_at = 0;
  k->state = kRigBound;
  k->fallback = true;
  k->load_retry_s = k->now_s + kRetryS;
  send_matrix(k, k->audio_live ? kMergeFadeS : 0.0, true);
  push_notice(k, kRigNoticeInUse, 0, k->audio_live, false, "");
  keeper_log(k, "rig: can't read the rig file for %.0f s - running on the fresh defaults; changes stay in this "
                "session until it can be read", kFallbackAfterS);
}

void run_loads(RigKeeper* k) {
  if (k->state == kRigLoading && k->load_failed && !k->load_id) {
    if (k->now_s - k->bound_s >= kFallbackAfterS) enter_fallback(k);
    else if (k->now_s >= k->load_retry_s) queue_load(k);
  } else if (k->state == kRigBound && k->fallback && !k->load_id && k->bound.save_count == 0 &&
             k->now_s >= k->load_retry_s) {
    queue_load(k);
  }
}

void schedule_save(RigKeeper* k, Slot* s, bool bound) {
  if (!s->doc || !s->dirty) return;
  if (bound && k->state != kRigBound) return;
  if (s->save_count >= kRigMaxSavesInFlight || (k->now_s < s->retry_s && !k->flushing)) return;
  const bool due = k->flushing || s->save_now || k->now_s - s->last_edit_s >= kSaveQuietS ||
                   k->now_s - s->first_edit_s >= kSaveLatestS;
  if (!due) return;
  const uint32_t id = k->store ? rig_store_save(k->store, s->doc, s->pending) : 0;
  if (!id) {
    s->retry_s = k->now_s + kRetryS;
    if (bound && k->store && rig_store_read_only(k->store, s->key)) enter_read_only(k);
    return;
  }
  s->saves[s->save_count++] = SaveJob{id, s->pending};
  memset(&s->pending, 0, sizeof s->pending);
  s->dirty = false;
  s->save_now = false;
}

void run_saves(RigKeeper* k) {
  schedule_save(k, &k->bound, true);
  schedule_save(k, &k->parked, false);
  if (k->parked.doc && !slot_unsaved(k->parked)) slot_clear(&k->parked);
}

void check_mismatch(RigKeeper* k) {
  const RigMixerMeters& m = k->snapshot;
  if (k->state != kRigUnbound && m.inputs > 0 && (m.tag != k->tag || m.inputs != k->stream.inputs)) {
    if (!k->mismatch_logged)
      keeper_log(k, "rig: the stream (tag %08x, %d in) doesn't match the rig bound for it (%s: tag %08x, %d in)",
                 unsigned(m.tag), m.inputs, k->stream.key, unsigned(k->tag), k->stream.inputs);
    k->mismatch = true;
    k->mismatch_logged = true;
  } else {
    k->mismatch = false;
    k->mismatch_logged = false;
  }
}

}  // namespace

namespace rig_keeper_detail {

void keeper_log(RigKeeper* k, const char* fmt, ...) {
  char line[kLogMessageBytes];
  va_list args;
  va_start(args, fmt);
  text_vformat(line, sizeof line, fmt, args);
  va_end(args);
  k->log_fn(k->log_user, line);
}

void push_notice(RigKeeper* k, int code, int value, bool flag, bool flag2, const char* text) {
  if (k->notice_write - k->notice_read == kRigNotices) ++k->notice_read;  // full: the oldest goes
  RigNotice& n = k->notices[k->notice_write % kRigNotices];
  n.code = code;
  n.value = value;
  n.flag = flag;
  n.flag2 = flag2;
  text_copy(n.text, sizeof n.text, text ? text : "");
  ++k->notice_write;
}

void current_matrix(const RigKeeper* k, RigMixMatrix* out) {
  if (k->bound.doc) rig_mix_matrix(k->bound.doc->scenes[k->scene], k->stream.inputs, out);
  else memset(out, 0, sizeof *out);
}

void send_matrix(RigKeeper* k, double fade_s, bool force) {
  if (!k->bound.doc || k->state == kRigUnbound || k->state == kRigLoading) return;
  RigMixMatrix m;
  current_matrix(k, &m);
  if (!force && k->sent_valid && k->sent_tag == k->tag && rig_mix_matrix_equal(m, k->sent)) return;
  rig_mixer_set(k->mixer, m, k->tag, fade_s);
  k->sent = m;
  k->sent_tag = k->tag;
  k->sent_valid = true;
}

void touch(RigKeeper* k) {
  Slot& b = k->bound;
  if (!b.dirty) b.first_edit_s = k->now_s;
  b.last_edit_s = k->now_s;
  b.dirty = true;
  b.pending.any = true;
}

int app_scene_index(const RigDoc* doc, const char* app) {
  const int n = std::clamp(doc->app_scene_count, 0, kRigMaxAppScenes);
  for (int i = 0; i < n; ++i)
    if (strncmp(doc->app_scenes[i].app, app, kRigAppBytes) == 0) return i;
  return -1;
}

}  // namespace rig_keeper_detail

void rig_sanitize_text(char* out, size_t cap, const char* in) {
  if (!cap) return;
  out[0] = 0;
  if (!in) return;
  size_t begin = 0, end = strlen(in);
  while (begin < end && trimmed_byte(in[begin])) ++begin;
  while (end > begin && trimmed_byte(in[end - 1])) --end;
  bool valid = true;
  for (size_t at = begin; at < end && valid;) {
    uint32_t cp;
    const size_t len = utf8_decode(in + at, end - at, &cp);
    valid = len > 0;
    at += len;
  }
  size_t n = 0;
  for (size_t at = begin; at < end;) {
    char code[4];
    size_t len;
    if (valid) {
      uint32_t cp;
      len = utf8_decode(in + at, end - at, &cp);
      memcpy(code, in + at, len);
      at += len;
    } else {  // a legacy 8-bit name: read as ISO-8859-1
      len = utf8_encode(uint8_t(in[at]), code);
      ++at;
    }
    if (n + len + 1 > cap) break;  // cut before a character that does not fit
    memcpy(out + n, code, len);
    n += len;
  }
  out[n] = 0;
}

void rig_stream_sanitize(RigStream* s) {
  char tmp[kRigKeyBytes];
  text_copy(tmp, sizeof tmp, s->key);
  rig_sanitize_text(s->key, sizeof s->key, tmp);
  text_copy(tmp, sizeof tmp, s->api);
  rig_sanitize_text(s->api, sizeof s->api, tmp);
  char name[kRigDeviceNameBytes];
  text_copy(name, sizeof name, s->device);
  rig_sanitize_text(s->device, sizeof s->device, name);
  s->inputs = std::clamp(s->inputs, 1, kRigMaxInputs);
  s->device_inputs = std::clamp(s->device_inputs, s->inputs, kRigMaxInputs);
  if (!(s->rate_hz > 0) || !std::isfinite(s->rate_hz)) s->rate_hz = 0;
  for (auto& n : s->input_names) {
    char t[kRigChannelNameBytes];
    memcpy(t, n, sizeof t);
    t[sizeof t - 1] = 0;
    rig_sanitize_text(n, sizeof n, t);
  }
  if (!s->key[0] && !rig_make_key(s->api, s->device, s->key, sizeof s->key)) s->key[0] = 0;
  if (!s->api[0]) {
    const char* colon = strchr(s->key, ':');
    if (colon && size_t(colon - s->key) < sizeof s->api) text_format(s->api, sizeof s->api, "%.*s", int(colon - s->key), s->key);
  }
}

RigKeeper* rig_keeper_open(const RigKeeperOptions& o) {
  RigKeeper* k = static_cast<RigKeeper*>(calloc(1, sizeof(RigKeeper)));
  if (!k) return nullptr;
  k->mixer = new (std::nothrow) RigMixer{};
  if (!k->mixer) {
    free(k);
    return nullptr;
  }
  text_copy(k->app, sizeof k->app, o.app_name && o.app_name[0] ? o.app_name : "app");
  k->log_fn = o.log ? o.log : default_log;
  k->log_user = o.log ? o.log_user : nullptr;
  RigStoreOptions so;
  so.folder = o.folder;
  so.app_name = k->app;
  so.app_version = o.app_version;
  so.log = k->log_fn;
  so.log_user = k->log_user;
  so.poll_ms = o.poll_ms;
  so.no_watch = o.no_watch;
  k->store = rig_store_open(so);
  if (!k->store) keeper_log(k, "rig: the rig store would not start - rigs stay in memory");
  k->state = kRigUnbound;
  k->hint = -1;
  k->hint_since_s = k->hint_gone_s = -1;
  k->meter_s = -1;
  clear_meters(k);
  return k;
}

void rig_keeper_close(RigKeeper* k) {
  if (!k) return;
  rig_keeper_flush(k, 1000);
  if (k->store) rig_store_close(k->store, 1000);
  slot_clear(&k->bound);
  slot_clear(&k->parked);
  delete k->mixer;
  free(k);
}

bool rig_keeper_flush(RigKeeper* k, int ms) {
  k->flushing = true;
  run_saves(k);
  k->flushing = false;
  if (k->store) {
    rig_store_wait_idle(k->store, ms);
    take_results(k);
  }
  return !slot_unsaved(k->bound) && !slot_unsaved(k->parked);
}

RigMixer* rig_keeper_mixer(RigKeeper* k) { return k->mixer; }

void rig_keeper_bind(RigKeeper* k, const RigStream& in) {
  RigStream s = in;
  rig_stream_sanitize(&s);
  if (k->state != kRigUnbound && strcmp(s.key, k->stream.key) == 0) {
    const int before = k->stream.inputs;
    k->stream = s;
    if (k->bound.doc) {
      grow_inputs(k);
      refresh_device(k);
      send_matrix(k, 0.0, true);  // the mixer started afresh
    }
    if (s.inputs > before) push_notice(k, kRigNoticeMoreInputs, s.inputs, false, false, "");
    return;
  }
  park(k);
  k->stream = s;
  k->has_stream = true;
  k->tag = rig_stream_tag(s.key);
  k->state = kRigLoading;
  k->scene = 0;
  k->scene_at = 0;
  k->load_id = 0;
  k->load_failed = false;
  k->load_fail_logged = false;
  k->fallback = false;
  k->audio_live = false;
  k->sent_valid = false;
  k->mismatch = k->mismatch_logged = false;
  k->save_error = false;
  k->error[0] = 0;
  k->bound_s = -1;  // the next tick's time: a bind may come before the first tick
  clear_meters(k);
  if (k->store) rig_store_watch(k->store, s.key);
  queue_load(k);
  keeper_log(k, "rig: bound %s (%d of %d inputs, %.0f Hz)", s.key, s.inputs, s.device_inputs, s.rate_hz);
}

void rig_keeper_unbind(RigKeeper* k) {
  if (k->state == kRigUnbound) return;
  park(k);
  rig_mixer_mute(k->mixer);
  if (k->store) rig_store_watch(k->store, "");
  k->state = kRigUnbound;
  k->has_stream = false;
  memset(&k->stream, 0, sizeof k->stream);
  k->load_id = 0;
  k->fallback = false;
  k->sent_valid = false;
  k->mismatch = false;
}

void rig_keeper_tick(RigKeeper* k, double now_s, double wall_s) {
  k->now_s = now_s;
  k->wall_s = wall_s;
  if (k->state != kRigUnbound && k->bound_s < 0) {
    k->bound_s = now_s;
    k->load_retry_s = now_s + kRetryS;
  }
  take_results(k);
  rig_mixer_read(k->mixer, &k->snapshot);
  if (k->state == kRigLoading && k->snapshot.live) k->audio_live = true;
  run_loads(k);
  run_saves(k);
  update_meters(k);
  check_mismatch(k);
}

bool rig_keeper_next_notice(RigKeeper* k, RigNotice* out) {
  if (k->notice_read == k->notice_write) return false;
  *out = k->notices[k->notice_read % kRigNotices];
  ++k->notice_read;
  return true;
}

void rig_keeper_status(const RigKeeper* k, RigKeeperStatus* out) {
  memset(out, 0, sizeof *out);
  out->state = k->state;
  out->bound = k->bound.doc && (k->state == kRigBound || k->state == kRigReadOnly);
  text_copy(out->key, sizeof out->key, k->stream.key);
  text_copy(out->device, sizeof out->device, k->stream.device);
  text_copy(out->api, sizeof out->api, k->stream.api);
  out->inputs = k->snapshot.inputs > 0 ? k->snapshot.inputs : k->stream.inputs;
  out->device_inputs = k->stream.device_inputs;
  out->rate_hz = k->stream.rate_hz;
  out->scene = k->scene;
  out->hinted_input = k->hint;
  out->rev = k->bound.doc ? k->bound.doc->rev : 0;
  if (out->bound) {
    // What will be recorded: each heard input, a linked pair as two.
    const RigScene& sc = k->bound.doc->scenes[k->scene];
    const int n = std::min(std::clamp(sc.channel_count, 0, kRigMaxInputs), k->stream.inputs);
    int channels = 0;
    for (int i = 0; i < n; ++i) {
      const RigChannel& c = sc.channels[i];
      const bool pair = c.link && i % 2 == 0 && i + 1 < n;
      if (!c.muted && c.gain > 0.0f) channels += pair ? 2 : 1;
      if (pair) ++i;
    }
    out->recorded_channels = channels;
    out->all_muted = channels == 0 && n > 0;
  }
  double age = 0;
  out->saving = k->store && rig_store_busy(k->store, &age) && age > kBusyShownS;
  out->waiting = k->state == kRigLoading && k->audio_live;
  out->fallback = k->fallback;
  out->mismatch = k->mismatch;
  out->save_error = k->save_error;
  text_copy(out->error, sizeof out->error, k->error);
  text_copy(out->changed_by, sizeof out->changed_by, k->changed_by);
  out->changed_at = k->changed_at;
}

const RigDoc* rig_keeper_rig(const RigKeeper* k) {
  return k->state == kRigBound || k->state == kRigReadOnly ? k->bound.doc : nullptr;
}

const RigKeeperMeters* rig_keeper_meters(const RigKeeper* k) { return &k->meters; }

const char* rig_keeper_label(const RigKeeper* k, int input) {
  if (input < 0 || input >= kRigMaxInputs) return "";
  if (const RigDoc* d = rig_keeper_rig(k)) {
    const RigScene& sc = d->scenes[k->scene];
    if (input < sc.channel_count && sc.channels[input].label[0]) return sc.channels[input].label;
    if (d->device.channel_names[input][0]) return d->device.channel_names[input];
  }
  if (k->has_stream && input < k->stream.inputs) return k->stream.input_names[input];
  return "";
}
