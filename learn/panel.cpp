// The training and version-notes panel: start-up decision, opening and closing with the seen
// version saved set-if-newer, discovery, keys and clicks, layout and the view record.
// Main thread only.
#include "learn/panel.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "learn/version.h"
#include "platform/text.h"

namespace {

constexpr const char* kDefaultTitle = "ZEPHA";
constexpr const char* kCouldNotSave = "Could not save. Try again.";
constexpr const char* kResetLabel = "RESET ALL TRAINING";
constexpr const char* kResetArmed = "RESET? CLICK AGAIN / ENTER";
constexpr const char* kLinkHint = "U: OPEN LINK   C: COPY LINK";
constexpr const char* kNoNotes = "No version notes in this build yet.";
constexpr float kHeaderH = 44.0f, kFooterH = 52.0f, kPad = 16.0f, kButtonH = 30.0f;

bool empty(const char* s) { return !s || !s[0]; }

bool storing(const TrainingPanel* p) { return !p->d.storage_off && p->prefs.path[0]; }

const TrainingStep* step_at(const TrainingChapter& c, int i) { return &c.steps[c.first_step + i]; }

bool step_done(const TrainingPanel* p, const char* id) {
  return p->own_lists ? prefs_ids_contains(p->done, id) : p->d.is_done(p->d.user, id);
}
bool step_new(const TrainingPanel* p, const char* id) {
  return p->own_lists ? step_done(p, id) && prefs_ids_contains(p->unseen, id) : p->d.is_new(p->d.user, id);
}

void write_list(TrainingPanel* p, const char* key, const PrefsIds& ids, double now_s) {
  if (!storing(p)) return;
  char text[kPrefsIdCount * (kPrefsIdMax + 1) + 1];
  prefs_ids_format(ids, text, sizeof text);
  PrefsResult first;
  if (prefs_queue_write(&p->prefs, key, text, kPrefsSet, now_s, &first) < 0 || (first.rc != kPrefsOk && first.rc != kPrefsBusy))
    p->could_not_save = true;
  else if (first.rc == kPrefsOk)
    p->could_not_save = false;
}

void mark_seen(TrainingPanel* p, const char* id, double now_s) {
  if (!p->own_lists) {
    p->d.mark_seen(p->d.user, id);
    return;
  }
  if (prefs_ids_remove(&p->unseen, id)) write_list(p, p->key_unseen, p->unseen, now_s);
}

// This build's version is now seen: the panel's copy and the application's own.
void record_seen(TrainingPanel* p) {
  if (version_compare(p->seen_version, p->d.version) < 0) text_copy(p->seen_version, p->d.version);
  if (p->d.seen_version && p->d.seen_version_cap && version_compare(p->d.seen_version, p->d.version) < 0)
    text_copy(p->d.seen_version, p->d.seen_version_cap, p->d.version);
}

// Queues the seen version (set-if-newer) and returns the first try's outcome.
PrefsResult save_seen(TrainingPanel* p, double now_s) {
  PrefsResult first{0, kPrefsOk};
  if (!storing(p)) {
    record_seen(p);
    return first;
  }
  const int32_t id = prefs_queue_write(&p->prefs, p->key_version_seen, p->d.version, kPrefsSetIfNewer, now_s, &first);
  if (id < 0) return PrefsResult{0, id};
  if (first.rc == kPrefsOk) record_seen(p);
  if (first.rc == kPrefsBusy) p->seen_write = id;
  return first;
}

void finish_close(TrainingPanel* p, double now_s) {
  p->open = false;
  p->closed_s = now_s;
  p->notes_by_itself = false;
  p->reset_armed = false;
  p->close_write = 0;
}

void scroll_to(TrainingPanel* p, float y) {
  const float room = std::max(0.0f, p->content_h - p->layout.content.h);
  p->scroll_px = std::clamp(y, 0.0f, room);
}

void do_reset(TrainingPanel* p, double now_s) {
  p->reset_armed = false;
  p->latest[0] = 0;
  if (!p->own_lists) {
    p->d.reset_all(p->d.user);
    return;
  }
  p->done.count = p->unseen.count = 0;
  write_list(p, p->key_done, p->done, now_s);
  write_list(p, p->key_unseen, p->unseen, now_s);
}

bool note_allowed(const TrainingPanel* p, int i) {
  return i >= 0 && i < p->d.note_count && version_compare(p->d.notes[i].version, p->d.version) <= 0;
}

bool move_note(TrainingPanel* p, int step) {
  if (p->note < 0 || !note_allowed(p, p->note + step)) return false;
  p->note += step;
  p->scroll_px = 0.0f;
  return true;
}

const VersionNote* shown_note(const TrainingPanel* p) {
  return p->note >= 0 && p->note < p->d.note_count ? &p->d.notes[p->note] : nullptr;
}

bool inside(const PanelRect& r, float x, float y) { return x >= r.x && x < r.x + r.w && y >= r.y && y < r.y + r.h; }

PanelOutcome taken(int action = kPanelNothing, const char* link = nullptr) { return PanelOutcome{true, action, link}; }

PanelOutcome key_open(TrainingPanel* p, const PanelEvent& ev, double now_s) {
  const VersionNote* note = p->tab == kPanelNotes ? shown_note(p) : nullptr;
  const float page = std::max(kPanelScrollStep, p->layout.content.h);
  switch (ev.key) {
    case kPanelKeyF1:
      if (ev.repeat) return taken();
      p->tab = ev.shift ? kPanelNotes : kPanelTraining;
      if (p->tab == kPanelNotes && p->note < 0) p->note = training_panel_newest_note(p);
      p->scroll_px = 0.0f;
      return taken();
    case kPanelKeyTab:
      p->tab = p->tab == kPanelTraining ? kPanelNotes : kPanelTraining;
      if (p->tab == kPanelNotes && p->note < 0) p->note = training_panel_newest_note(p);
      p->scroll_px = 0.0f;
      p->reset_armed = false;
      return taken();
    case kPanelKeyEnter:
      if (p->reset_armed) {
        do_reset(p, now_s);
        return taken(kPanelReset);
      }
      return taken();
    case kPanelKeyEscape:
      if (p->reset_armed) {
        p->reset_armed = false;
        return taken();
      }
      return taken(training_panel_close(p, now_s));
    case kPanelKeyU:
      if (note && note->link) return taken(kPanelOpenLink, note->link);
      return PanelOutcome{false, kPanelNothing, nullptr};
    case kPanelKeyC:
      if (note && note->link) return taken(kPanelCopyLink, note->link);
      return PanelOutcome{false, kPanelNothing, nullptr};
    case kPanelKeyHome: scroll_to(p, 0.0f); return taken();
    case kPanelKeyEnd: scroll_to(p, p->content_h); return taken();
    case kPanelKeyPageUp: scroll_to(p, p->scroll_px - page); return taken();
    case kPanelKeyPageDown: scroll_to(p, p->scroll_px + page); return taken();
    case kPanelKeyUp: scroll_to(p, p->scroll_px - kPanelScrollStep); return taken();
    case kPanelKeyDown: scroll_to(p, p->scroll_px + kPanelScrollStep); return taken();
    case kPanelKeyLeft:
    case kPanelKeyRight:
      if (p->tab != kPanelNotes) return PanelOutcome{false, kPanelNothing, nullptr};
      move_note(p, ev.key == kPanelKeyLeft ? 1 : -1);  // older notes sit further down the table
      return taken();
    default:
      return PanelOutcome{false, kPanelNothing, nullptr};
  }
}

PanelOutcome click_open(TrainingPanel* p, const PanelEvent& ev, double now_s) {
  const PanelLayout& l = p->layout;
  if (!inside(l.panel, ev.x, ev.y)) return taken(training_panel_close(p, now_s));
  for (int t = 0; t < 2; ++t)
    if (inside(l.tab[t], ev.x, ev.y) && p->tab != t) {
      p->tab = t;
      if (t == kPanelNotes && p->note < 0) p->note = training_panel_newest_note(p);
      p->scroll_px = 0.0f;
      p->reset_armed = false;
      return taken();
    }
  if (inside(l.got_it, ev.x, ev.y)) return taken(training_panel_close(p, now_s));
  if (p->tab == kPanelTraining && inside(l.reset, ev.x, ev.y)) {
    if (!p->reset_armed) {
      p->reset_armed = true;
      return taken();
    }
    do_reset(p, now_s);
    return taken(kPanelReset);
  }
  if (p->tab == kPanelNotes && inside(l.older, ev.x, ev.y)) move_note(p, 1);
  if (p->tab == kPanelNotes && inside(l.newer, ev.x, ev.y)) move_note(p, -1);
  return taken();
}

}  // namespace

int training_panel_create(TrainingPanel* p, const PanelDescriptor& d) {
  *p = TrainingPanel{};
  p->note = -1;
  p->closed_s = -1.0;
  if (empty(d.app_key) || empty(d.version)) return -1;
  p->d = d;
  p->title = empty(d.title) ? kDefaultTitle : d.title;
  p->own_lists = !(d.is_done && d.is_new && d.mark_seen && d.reset_all);
  const int a = snprintf(p->key_version_seen, sizeof p->key_version_seen, "%s.version_seen", d.app_key);
  const int b = snprintf(p->key_done, sizeof p->key_done, "%s.training_done", d.app_key);
  const int c = snprintf(p->key_unseen, sizeof p->key_unseen, "%s.training_unseen", d.app_key);
  if (a < 0 || b < 0 || c < 0 || a > kPrefsKeyMax || b > kPrefsKeyMax || c > kPrefsKeyMax) return -1;
  char path[kPathCap];
  prefs_queue_init(&p->prefs, !d.storage_off && prefs_path(path, sizeof path) ? path : "");
  if (p->own_lists && storing(p)) {
    char text[kPrefsValueMax + 1];
    if (prefs_read(p->prefs.path, p->key_done, text, sizeof text) == 1) prefs_ids_parse(text, &p->done);
    if (prefs_read(p->prefs.path, p->key_unseen, text, sizeof text) == 1) prefs_ids_parse(text, &p->unseen);
  }
  return 0;
}

int training_panel_newest_note(const TrainingPanel* p) {
  for (int i = 0; i < p->d.note_count; ++i)
    if (note_allowed(p, i)) return i;
  return -1;
}

bool training_panel_start(TrainingPanel* p, double now_s) {
  const char* own = p->d.seen_version ? p->d.seen_version : "";
  text_copy(p->seen_version, own);
  if (storing(p)) {
    char stored[kPanelVersionBytes];
    if (prefs_read(p->prefs.path, p->key_version_seen, stored, sizeof stored) == 1 && stored[0])
      text_copy(p->seen_version, stored);
  }
  if (!p->seen_version[0]) {
    // The first run of any version: nothing to tell about yet.
    const PrefsResult first = save_seen(p, now_s);  // a wait for the lock settles in the background
    if (first.rc != kPrefsOk && first.rc != kPrefsBusy) p->could_not_save = true;
    return false;
  }
  if (version_compare(p->seen_version, p->d.version) >= 0) return false;
  const int newest = training_panel_newest_note(p);
  if (newest < 0 || version_compare(p->d.notes[newest].version, p->seen_version) <= 0) return false;
  training_panel_open(p, kPanelNotes, now_s);
  p->note = newest;
  p->notes_by_itself = true;
  return true;
}

void training_panel_open(TrainingPanel* p, int tab, double now_s) {
  p->open = true;
  p->notes_by_itself = false;
  p->opened_s = now_s;
  p->closed_s = -1.0;
  p->tab = tab == kPanelNotes ? kPanelNotes : kPanelTraining;
  p->note = training_panel_newest_note(p);
  p->scroll_px = 0.0f;
  p->reset_armed = false;
}

int training_panel_close(TrainingPanel* p, double now_s) {
  if (!p->open) return kPanelNothing;
  if (!p->notes_by_itself) {
    finish_close(p, now_s);
    return kPanelClosed;
  }
  const bool second = p->could_not_save || p->close_write != 0;
  if (second) {
    // The user asked twice: the panel goes whatever the file says. A save still waiting goes on
    // in the background; one that failed is tried once more there.
    if (p->close_write == 0) {
      const PrefsResult first = save_seen(p, now_s);
      if (first.rc == kPrefsOk) p->could_not_save = false;
      p->close_write = first.rc == kPrefsBusy ? first.id : 0;
    }
    const int32_t waiting = p->close_write;
    finish_close(p, now_s);
    p->close_write = waiting;  // its result is still recorded when it comes
    return kPanelClosed;
  }
  const PrefsResult first = save_seen(p, now_s);
  if (first.rc == kPrefsOk) {
    p->could_not_save = false;
    finish_close(p, now_s);
    return kPanelClosed;
  }
  if (first.rc == kPrefsBusy) {
    p->close_write = first.id;
    return kPanelSaving;
  }
  p->could_not_save = true;
  return kPanelNotSaved;
}

int training_panel_tick(TrainingPanel* p, double now_s) {
  int action = kPanelNothing;
  PrefsResult done[kPrefsPending];
  const int n = prefs_queue_pump(&p->prefs, now_s, done, kPrefsPending);
  for (int i = 0; i < n; ++i) {
    const bool ok = done[i].rc == kPrefsOk;
    p->could_not_save = !ok;
    if (done[i].id == p->seen_write) {
      p->seen_write = 0;
      if (ok) record_seen(p);
    }
    if (done[i].id != p->close_write) continue;
    p->close_write = 0;
    if (p->open && p->notes_by_itself) {
      if (ok) {
        finish_close(p, now_s);
        action = kPanelClosed;
      } else {
        action = kPanelNotSaved;  // stays open and says so
      }
    }
  }
  if (!p->open && p->tab == kPanelTraining && now_s >= p->next_discovery_s) {
    p->next_discovery_s = now_s + kPanelDiscoverS;
    for (int c = 0; c < p->d.chapter_count; ++c)
      for (int i = 0; i < p->d.chapters[c].step_count; ++i) {
        const char* id = step_at(p->d.chapters[c], i)->id;
        if (step_done(p, id) && step_new(p, id)) {
          mark_seen(p, id, now_s);
          text_copy(p->latest, id);
          return action;
        }
      }
  }
  return action;
}

PanelOutcome training_panel_event(TrainingPanel* p, const PanelEvent& ev, double now_s) {
  if (!p->open) {
    if (ev.kind == PanelInput::kKey && ev.key == kPanelKeyF1 && !ev.repeat) {
      training_panel_open(p, ev.shift ? kPanelNotes : kPanelTraining, now_s);
      return taken(kPanelOpened);
    }
    return PanelOutcome{false, kPanelNothing, nullptr};
  }
  switch (ev.kind) {
    case PanelInput::kKey: return key_open(p, ev, now_s);
    case PanelInput::kClick: return click_open(p, ev, now_s);
    case PanelInput::kWheel:
      scroll_to(p, p->scroll_px - ev.wheel * kPanelScrollStep);
      return taken();
  }
  return PanelOutcome{false, kPanelNothing, nullptr};
}

void training_panel_layout(TrainingPanel* p, float win_w, float win_h, double now_s) {
  PanelLayout& l = p->layout;
  l = PanelLayout{};
  float alpha = 1.0f, slide = 0.0f;
  if (p->open) {
    const double x = std::clamp((now_s - p->opened_s) / kPanelOpenS, 0.0, 1.0);
    const double ease = 1.0 - (1.0 - x) * (1.0 - x) * (1.0 - x);
    slide = float((1.0 - ease) * 24.0);
  } else if (p->closed_s >= 0.0 && now_s >= p->closed_s) {
    const int step = int((now_s - p->closed_s) / kPanelFadeStepS);
    if (step >= kPanelFadeSteps) return;
    alpha = 1.0f - float(step) / kPanelFadeSteps;
  } else {
    return;
  }
  l.shown = true;
  l.alpha = alpha;
  const float w = std::min(std::max(win_w - 48.0f, std::min(280.0f, win_w)), 620.0f);
  const float h = std::min(std::max(win_h - 96.0f, std::min(240.0f, win_h)), 600.0f);
  const float x = std::round((win_w - w) * 0.5f), y = std::round((win_h - h) * 0.5f + slide);
  l.panel = PanelRect{x, y, w, h};
  l.header = PanelRect{x, y, w, kHeaderH};
  l.tab[kPanelTraining] = PanelRect{x + kPad, y + 8.0f, 104.0f, 28.0f};
  l.tab[kPanelNotes] = PanelRect{x + kPad + 112.0f, y + 8.0f, 136.0f, 28.0f};
  l.footer = PanelRect{x, y + h - kFooterH, w, kFooterH};
  l.content = PanelRect{x + kPad, y + kHeaderH + 8.0f, w - 2 * kPad, std::max(0.0f, h - kHeaderH - kFooterH - 16.0f)};
  const float by = l.footer.y + (kFooterH - kButtonH) * 0.5f;
  l.got_it = PanelRect{x + w - kPad - 96.0f, by, 96.0f, kButtonH};
  if (p->tab == kPanelTraining) {
    l.reset = PanelRect{x + kPad, by, 220.0f, kButtonH};
  } else {
    l.older = PanelRect{x + kPad, by, 84.0f, kButtonH};
    l.newer = PanelRect{x + kPad + 92.0f, by, 84.0f, kButtonH};
  }
  scroll_to(p, p->scroll_px);  // a smaller window leaves less to scroll
}

void training_panel_set_content_height(TrainingPanel* p, float content_h) {
  p->content_h = std::max(0.0f, content_h);
  scroll_to(p, p->scroll_px);
}

int training_panel_step_count(const TrainingPanel* p) {
  int n = 0;
  for (int c = 0; c < p->d.chapter_count; ++c) n += p->d.chapters[c].step_count;
  return n;
}

int training_panel_done_count(const TrainingPanel* p) {
  int n = 0;
  for (int c = 0; c < p->d.chapter_count; ++c)
    for (int i = 0; i < p->d.chapters[c].step_count; ++i) n += step_done(p, step_at(p->d.chapters[c], i)->id);
  return n;
}

bool training_panel_mark_done(TrainingPanel* p, const char* step_id, double now_s) {
  if (!p->own_lists || !prefs_ids_add(&p->done, step_id)) return false;
  prefs_ids_add(&p->unseen, step_id);
  write_list(p, p->key_done, p->done, now_s);
  write_list(p, p->key_unseen, p->unseen, now_s);
  return true;
}

void training_panel_view(const TrainingPanel* p, PanelView* out) {
  *out = PanelView{};
  out->title = p->title;
  out->tab = p->tab;
  out->scroll_px = p->scroll_px;
  out->got_it = "GOT IT";
  out->save_error = p->could_not_save ? kCouldNotSave : nullptr;

  out->step_count = training_panel_step_count(p);
  out->done_count = training_panel_done_count(p);
  if (out->step_count > 0)
    text_format(out->summary, sizeof out->summary, "%d / %d discovered. No homework. No gold stars required.",
                out->done_count, out->step_count);
  else
    text_copy(out->summary, "No training steps in this build yet. You are excused from class.");
  for (int c = 0; c < p->d.chapter_count && out->row_count < kPanelMaxRows; ++c) {
    const TrainingChapter& ch = p->d.chapters[c];
    out->rows[out->row_count++] = PanelRow{kRowChapter, ch.title, nullptr, false, false, false};
    for (int i = 0; i < ch.step_count && out->row_count < kPanelMaxRows; ++i) {
      const TrainingStep* s = step_at(ch, i);
      const bool done = step_done(p, s->id);
      out->rows[out->row_count++] =
          PanelRow{kRowStep, s->title, s->hint, done, done && step_new(p, s->id), strcmp(p->latest, s->id) == 0};
    }
  }
  out->reset_label = p->reset_armed ? kResetArmed : kResetLabel;

  out->note = shown_note(p);
  out->empty_text = out->note ? nullptr : kNoNotes;
  if (out->note) {
    text_format(out->heading, sizeof out->heading, "%s   %s", out->note->version, out->note->date);
    out->can_older = note_allowed(p, p->note + 1);
    out->can_newer = note_allowed(p, p->note - 1);
    out->link_hint = out->note->link ? kLinkHint : nullptr;
  }
}
