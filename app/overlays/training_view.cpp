// The training panel's window side: events in, actions out, and its drawing.
#include "app/overlays/training_view.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "app/overlays/overlay.h"
#include "app/shell/app_state.h"
#include "app/shell/theme.h"
#include "app/shell/version.h"
#include "app/shell/window.h"
#include "config/log.h"
#include "config/status.h"
#include "platform/clock.h"
#include "platform/desktop.h"
#include "platform/text.h"
#include "ui/text.h"

namespace {

constexpr float kChapterRowH = 34.0f;
constexpr float kStepRowH = 26.0f;
constexpr float kSummaryH = 30.0f;
constexpr float kNoteLineH = 22.0f;
constexpr int kNoteTextSize = 15;
constexpr int kNoteWrapLines = 48;
constexpr uint32_t kPanelFill = 0xFF161515;
constexpr uint32_t kFresh = 0xFF4BC1EB;   // a step found since the panel was last looked at

double now_s() { return double(mono_ns()) / 1e9; }

int panel_key(int key) {
  switch (key) {
    case kKeyF1: return kPanelKeyF1;
    case kKeyTab: return kPanelKeyTab;
    case kKeyEnter: return kPanelKeyEnter;
    case kKeyEscape: return kPanelKeyEscape;
    case kKeyU: return kPanelKeyU;
    case kKeyC: return kPanelKeyC;
    case kKeyHome: return kPanelKeyHome;
    case kKeyEnd: return kPanelKeyEnd;
    case kKeyPageUp: return kPanelKeyPageUp;
    case kKeyPageDown: return kPanelKeyPageDown;
    case kKeyUp: return kPanelKeyUp;
    case kKeyDown: return kPanelKeyDown;
    case kKeyLeft: return kPanelKeyLeft;
    case kKeyRight: return kPanelKeyRight;
    default: return kPanelKeyNone;
  }
}

void act(AppState* app, int action, const char* link) {
  switch (action) {
    case kPanelOpened:
      help_close(app);
      key_map_close(app);
      break;
    case kPanelOpenLink:
      if (open_web_link(link) != kLinkOpened) log_line("training: the link %s could not be opened", link);
      break;
    case kPanelCopyLink:
      if (window_copy_text(link) == 0) status_flash("LINK COPIED");
      break;
    default: break;
  }
}

Rect rect_of(const PanelRect& r) { return Rect{r.x, r.y, r.w, r.h}; }

void button(Canvas* c, const PanelRect& pr, const char* label, bool enabled, float alpha, bool hot = false) {
  if (pr.w <= 0) return;
  const Rect r = rect_of(pr);
  draw_rounded(c, r, 5, colour_fade(hot ? kColourRed : kColourSurface, alpha));
  draw_text_centred(c, kStackDisplay, 16, 400, label, r.x + r.w * 0.5f, r.y + r.h * 0.5f,
                    enabled ? kColourLight : kColourDim, alpha);
}

// Greedy word wrap by word widths (cached per word), so a frame measures no new texts.
int wrap(Canvas* c, const char* text, float width, char (*out)[kHelpLineBytes], int cap) {
  const float space = text_width(c, kStackText, kNoteTextSize, 400, " ");
  int n = 0;
  const char* line = nullptr;  // start of the line being filled
  const char* line_end = nullptr;
  float used = 0;
  auto flush = [&] {
    if (line && n < cap) text_copy(out[n++], std::min(size_t(line_end - line) + 1, size_t(kHelpLineBytes)), line);
    line = nullptr, used = 0;
  };
  for (const char* p = text; *p;) {
    while (*p == ' ') ++p;
    const char* end = p;
    while (*end && *end != ' ') ++end;
    if (end == p) break;
    char word[kHelpLineBytes];
    text_copy(word, std::min(size_t(end - p) + 1, sizeof word), p);
    const float w = text_width(c, kStackText, kNoteTextSize, 400, word);
    if (line && (used + space + w > width || size_t(end - line) >= size_t(kHelpLineBytes) - 1)) flush();
    if (!line) line = p, used = w;
    else used += space + w;
    line_end = end;
    p = end;
  }
  flush();
  return n;
}

float draw_training_tab(Canvas* c, const PanelView& v, const Rect& area, float top, float alpha) {
  float y = top;
  draw_text(c, kStackText, 15, 400, v.summary, area.x, y + 4, kColourSilver, alpha);
  y += kSummaryH;
  for (int i = 0; i < v.row_count; ++i) {
    const PanelRow& row = v.rows[i];
    if (row.kind == kRowChapter) {
      draw_text(c, kStackDisplay, 20, 400, row.title, area.x, y + 10, kColourOrange, alpha);
      y += kChapterRowH;
      continue;
    }
    const Rect box{area.x + 2, y + 8, 10, 10};
    if (row.done) draw_fill(c, box, colour_fade(row.fresh ? kFresh : kColourOrange, alpha));
    else draw_outline(c, box, colour_fade(kColourGrey, alpha));
    const float tw = draw_text(c, kStackText, 15, 400, row.title, area.x + 22, y + 3,
                               row.done ? kColourBright : kColourSilver, alpha);
    draw_text(c, kStackText, 13, 400, row.hint, area.x + 22 + tw + 12, y + 5, kColourGrey, alpha);
    if (row.latest) draw_fill(c, Rect{area.x + 22, y + kStepRowH - 3, tw, 1}, colour_fade(kFresh, alpha));
    y += kStepRowH;
  }
  return y - top;
}

float draw_notes_tab(Canvas* c, const PanelView& v, const Rect& area, float top, float alpha) {
  if (!v.note) {
    draw_text(c, kStackText, 15, 400, v.empty_text, area.x, top + 4, kColourSilver, alpha);
    return kSummaryH;
  }
  float y = top;
  draw_text(c, kStackDisplay, 16, 400, v.heading, area.x, y + 2, kColourGrey, alpha);
  y += 24;
  draw_text(c, kStackDisplay, 26, 400, v.note->title, area.x, y, kColourOrange, alpha);
  y += 40;
  static char lines[kNoteWrapLines][kHelpLineBytes];
  for (int i = 0; i < v.note->line_count && i < kNoteMaxLines; ++i) {
    const int n = wrap(c, v.note->lines[i], area.w - 18, lines, kNoteWrapLines);
    for (int k = 0; k < n; ++k) {
      if (k == 0) draw_fill(c, Rect{area.x + 2, y + 9, 5, 5}, colour_fade(kColourOrange, alpha));
      draw_text(c, kStackText, kNoteTextSize, 400, lines[k], area.x + 18, y, kColourLight, alpha);
      y += kNoteLineH;
    }
    y += 6;
  }
  if (v.note->link) {
    y += 6;
    draw_text(c, kStackMono, 13, 400, v.note->link, area.x, y, kColourSilver, alpha);
    y += kNoteLineH;
  }
  return y - top;
}

}  // namespace

void training_start(AppState* app) {
  if (training_panel_create(&app->training, tolm_panel_descriptor(&app->settings, kTolmVersion)) != 0) {
    log_line("training: the panel could not be made");
    return;
  }
  app->training_ready = true;
  if (training_panel_start(&app->training, now_s())) log_line("training: version notes %s opened", kTolmVersion);
}

void training_open(AppState* app, int tab) {
  if (!app->training_ready) return;
  training_panel_open(&app->training, tab, now_s());
  act(app, kPanelOpened, nullptr);
}

bool training_shown(const AppState* app) { return app->training_ready && app->training.open; }

bool training_take_event(AppState* app, const InputEvent& ev) {
  if (!app->training_ready || ev.window_id != 0) return false;
  TrainingPanel* p = &app->training;
  PanelEvent pe{};
  switch (ev.kind) {
    case InputKind::kKeyDown:
      pe.kind = PanelInput::kKey;
      pe.key = panel_key(ev.key);
      pe.shift = (ev.mods & kModShift) != 0;
      pe.repeat = ev.repeat;
      if (pe.key == kPanelKeyNone || (ev.mods & (kModCtrl | kModAlt))) return false;
      break;
    case InputKind::kMouseDown:
      if (!p->open || ev.button != kMouseLeft) return false;
      pe.kind = PanelInput::kClick;
      pe.x = ev.x, pe.y = ev.y;
      break;
    case InputKind::kWheel:
      if (!p->open) return false;
      pe.kind = PanelInput::kWheel;
      pe.wheel = ev.wheel_y != 0.0f ? ev.wheel_y : ev.wheel_x;
      break;
    default: return false;
  }
  const PanelOutcome out = training_panel_event(p, pe, now_s());
  act(app, out.action, out.link);
  return out.consumed;
}

void training_frame(AppState* app) {
  if (!app->training_ready) return;
  const int action = training_panel_tick(&app->training, now_s());
  if (action == kPanelNotSaved) log_line("training: the seen version could not be saved");
}

void draw_training_panel(Canvas* c, AppState* app) {
  if (!app->training_ready) return;
  TrainingPanel* p = &app->training;
  // Reduced motion: no slide in, no fade out.
  const double t = app->reduce_motion && p->open ? now_s() + kPanelOpenS : now_s();
  if (app->reduce_motion && !p->open) p->closed_s = -1.0;
  training_panel_layout(p, float(c->w), float(c->h), t);
  const PanelLayout& l = p->layout;
  if (!l.shown) return;
  PanelView v;
  training_panel_view(p, &v);
  const float a = l.alpha;
  const Rect panel = rect_of(l.panel);
  draw_glow(c, panel, 8, 22, 0xFF000000, 0.6f * a);
  draw_rounded(c, panel, 8, colour_fade(kColourRule, a));
  draw_rounded(c, Rect{panel.x + 1, panel.y + 1, panel.w - 2, panel.h - 2}, 7, colour_fade(kPanelFill, a));

  static const char* const kTabs[2] = {"TRAINING", "VERSION NOTES"};
  for (int i = 0; i < 2; ++i) {
    const Rect t = rect_of(l.tab[i]);
    const bool on = v.tab == i;
    if (on) draw_rounded(c, t, 5, colour_fade(kColourSurface, a));
    draw_text_centred(c, kStackDisplay, 16, 400, kTabs[i], t.x + t.w * 0.5f, t.y + t.h * 0.5f,
                      on ? kColourBright : kColourGrey, a);
    if (on) draw_fill(c, Rect{t.x + 12, t.y + t.h - 4, t.w - 24, 2}, colour_fade(kColourOrange, a));
  }
  const float title_w = text_width(c, kStackDisplay, 16, 400, v.title);
  draw_text(c, kStackDisplay, 16, 400, v.title, panel.x + panel.w - 16 - title_w, l.tab[0].y + 6, kColourGrey, a);
  draw_fill(c, Rect{panel.x + 1, l.header.y + l.header.h - 1, panel.w - 2, 1}, colour_fade(kColourRule, a));

  const Rect area = rect_of(l.content);
  draw_clip(c, area);
  const float top = area.y - v.scroll_px;
  const float content_h =
      v.tab == kPanelTraining ? draw_training_tab(c, v, area, top, a) : draw_notes_tab(c, v, area, top, a);
  draw_unclip(c);
  training_panel_set_content_height(p, content_h);

  draw_fill(c, Rect{panel.x + 1, l.footer.y, panel.w - 2, 1}, colour_fade(kColourRule, a));
  button(c, l.got_it, v.got_it, true, a);
  if (v.tab == kPanelTraining) {
    button(c, l.reset, v.reset_label, true, a, p->reset_armed);
  } else {
    button(c, l.older, "OLDER", v.can_older, a);
    button(c, l.newer, "NEWER", v.can_newer, a);
    if (v.link_hint)
      draw_text(c, kStackDisplay, 14, 400, v.link_hint, l.newer.x + l.newer.w + 16, l.footer.y + l.footer.h * 0.5f - 7,
                kColourGrey, a);
  }
  if (v.save_error)
    draw_text(c, kStackText, 14, 400, v.save_error, area.x, l.footer.y - 22, kColourRed, a);
}

void draw_training_toast(Canvas* c, const Rect& foot, const AppState* app, uint32_t now_ms) {
  const char* text = training_toast_text(app->toast, now_ms);
  if (!text) return;
  const float w = text_width(c, kStackDisplay, 14, 700, text);
  const Rect pill{std::round(foot.x + foot.w - 12 - w - 16), foot.y + 19, std::round(w + 16), 18};
  draw_rounded(c, pill, 4, kColourOrange);
  draw_text_centred(c, kStackDisplay, 14, 700, text, pill.x + pill.w * 0.5f, pill.y + pill.h * 0.5f, kColourInk);
}
