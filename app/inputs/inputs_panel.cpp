// The inputs panel's model: layout, hit tests, gestures, keys and texts.
#include "app/inputs/inputs_panel.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "platform/text.h"

const char* const kInputsGlyphList[kInputsGlyphs] = {
    "\u2657", "\u2766", "\u2668", "\u262F", "\u26FA", "\u2664", "\u262E",
    "\u238B", "\u2F5E", "\u2604", "\u2684", "\u2660", "\U00011B6A",
};

namespace {

constexpr float kGainStepDb = 0.5f, kGainShiftStepDb = 3.0f;   // keys
constexpr float kWheelDb = 0.5f, kWheelShiftDb = 0.1f;
constexpr float kWheelPan = 0.05f, kWheelShiftPan = 0.01f;
constexpr float kPanSnap = 0.03f;          // a dragged pan this near the centre is the centre
constexpr float kPanZero = 0.0001f;        // a wheeled pan this near 0 is 0
constexpr float kShiftFine = 0.1f;         // Shift drags move a tenth as far
constexpr double kRestS = 0.25;            // a scrolling panel's controls take the wheel after this
constexpr double kKeepScrollingS = 0.4;
constexpr double kChangedShownS = 2.5;
constexpr float kDeadDb = -200.0f;         // a gain under this reads OFF

void send(const InputsActions& a, InputsAct code, int index, float value = 0, bool flag = false,
          const char* text = nullptr) {
  if (a.act) a.act(a.ctx, InputsAction{code, index, value, flag, text});
}

const RigScene* scene_of(const InputsSource& src) {
  if (!src.rig) return nullptr;
  return &src.rig->scenes[std::clamp(src.status.scene, 0, kRigScenes - 1)];
}

const RigChannel* channel(const InputsSource& src, int i) {
  const RigScene* s = scene_of(src);
  return s && i >= 0 && i < s->channel_count ? &s->channels[i] : nullptr;
}

int row_count(const InputsSource& src) { return std::clamp(src.status.inputs, 0, kRigMaxInputs); }

float rows_height(const InputsSource& src) { return float(row_count(src)) * kInputsRowH; }

bool rows_scroll(const InputsPanel& p, const InputsSource& src) {
  return rows_height(src) > p.geometry.rows.h;
}

void clamp_scroll(InputsPanel* p, const InputsSource& src) {
  p->scroll = std::clamp(p->scroll, 0.0f, std::max(0.0f, rows_height(src) - p->geometry.rows.h));
}

bool same(const InputsHit& a, const InputsHit& b) { return a.zone == b.zone && a.index == b.index; }

// The selected row brought into view.
void reveal(InputsPanel* p, const InputsSource& src) {
  if (p->selected < 0) return;
  const float top = float(p->selected) * kInputsRowH;
  if (top < p->scroll) p->scroll = top;
  if (top + kInputsRowH > p->scroll + p->geometry.rows.h) p->scroll = top + kInputsRowH - p->geometry.rows.h;
  clamp_scroll(p, src);
}

// The fader position after the pointer moved to x: the movement over the track's length (a tenth
// of it with Shift, from where Shift went down), held in the 0 dB detent until the pointer has
// moved more than 6 pixels past where it went in.
float fader_drag(InputsPanel* p, float x, bool shift) {
  const float scale = (shift ? kShiftFine : 1.0f) / kInputsFaderW;
  float from = p->drag_value, from_x = p->drag_x;
  if (p->detent) {
    if (std::fabs(x - p->detent_x) <= kInputsDetentPx) {
      p->drag_x = x;
      return kInputsFaderDetent;
    }
    p->detent = false;
    from = kInputsFaderDetent;
    from_x = p->detent_x + (x > p->detent_x ? kInputsDetentPx : -kInputsDetentPx);
  }
  p->drag_x = x;
  const float v = std::clamp(from + (x - from_x) * scale, 0.0f, 1.0f);
  if ((from < kInputsFaderDetent && v >= kInputsFaderDetent) || (from > kInputsFaderDetent && v <= kInputsFaderDetent)) {
    p->detent = true;
    p->detent_x = x;
    return kInputsFaderDetent;
  }
  return v;
}

void paint_mutes(InputsPanel* p, const InputsSource& src, const InputsActions& a, int to) {
  const int lo = std::min(p->drag_index, to), hi = std::max(p->drag_index, to);
  for (int i = lo; i <= hi; ++i) {
    const RigChannel* ch = channel(src, inputs_lead(src, i));
    if (ch && ch->muted != p->paint_muted) send(a, InputsAct::kSetMute, i, 0, p->paint_muted);
  }
}

// A run of inputs as the status line names it: "%d", "%d-%d" or the count.
void input_run(const bool* on, int n, char* out, size_t cap) {
  int first = -1, last = -1, count = 0;
  for (int i = 0; i < n; ++i)
    if (on[i]) {
      if (first < 0) first = i;
      last = i;
      ++count;
    }
  if (count == 0) text_copy(out, cap, "1-2");
  else if (count == 1) text_format(out, cap, "%d", first + 1);
  else if (last - first + 1 == count) text_format(out, cap, "%d-%d", first + 1, last + 1);
  else text_format(out, cap, "%d", count);
}

void upper(char* s) {
  for (; *s; ++s)
    if (*s >= 'a' && *s <= 'z') *s = char(*s - 'a' + 'A');
}

// The row's name: "%d · %s", "%d", "%d-%d · %s" or "%d-%d".
void row_name(const InputsSource& src, int lead, char* out, size_t cap) {
  char label[kRigLabelBytes];
  text_copy(label, src.labels[lead]);
  upper(label);
  char num[16];
  if (inputs_pair(src, lead)) text_format(num, sizeof num, "%d-%d", lead + 1, lead + 2);
  else text_format(num, sizeof num, "%d", lead + 1);
  if (label[0]) text_format(out, cap, "%s \u00B7 %s", num, label);
  else text_copy(out, cap, num);
}

void row_detail(const InputsSource& src, InputsZone zone, int input, int lead, char* out, size_t cap) {
  const RigChannel* ch = channel(src, lead);
  if (!ch) {
    out[0] = 0;
    return;
  }
  const bool pair = inputs_pair(src, lead);
  if (zone == InputsZone::kPan) {
    const int pct = int(std::lround(double(ch->pan) * 100.0));
    const char* what = pair ? "BAL" : "PAN";
    if (pct == 0) text_format(out, cap, "%s C", what);
    else text_format(out, cap, "%s %c %d", what, pct < 0 ? 'L' : 'R', std::abs(pct));
    return;
  }
  if (zone == InputsZone::kClip && src.meters) {
    const RigKeeperMeters& m = *src.meters;
    const int partner = pair ? lead + 1 : (input != lead ? input : lead);
    const bool clip = m.input[lead].clip || m.input[partner].clip;
    const bool bad = m.input[lead].bad || m.input[partner].bad;
    if (clip) return void(text_copy(out, cap, "CLIPPED"));
    if (bad) return void(text_copy(out, cap, "BAD SAMPLES"));
  }
  if (ch->muted) text_copy(out, cap, "MUTED");
  else inputs_gain_text(ch->gain, out, cap);
}

void keeper_act(void* ctx, const InputsAction& a) {
  RigKeeper* k = static_cast<RigKeeper*>(ctx);
  switch (a.code) {
    case InputsAct::kSetGain: rig_keeper_set_gain(k, a.index, a.value); break;
    case InputsAct::kNudgeGain: rig_keeper_nudge_gain(k, a.index, a.value); break;
    case InputsAct::kSetFader: rig_keeper_set_fader(k, a.index, a.value); break;
    case InputsAct::kSetPan: rig_keeper_set_pan(k, a.index, a.value); break;
    case InputsAct::kSetMute: rig_keeper_set_mute(k, a.index, a.flag); break;
    case InputsAct::kSetLink: rig_keeper_set_link(k, a.index, a.flag); break;
    case InputsAct::kSetMaster: rig_keeper_set_master(k, a.value); break;
    case InputsAct::kNudgeMaster: rig_keeper_nudge_master(k, a.value); break;
    case InputsAct::kSetMasterFader: rig_keeper_set_master_fader(k, a.value); break;
    case InputsAct::kSelectScene: rig_keeper_select_scene(k, a.index); break;
    case InputsAct::kCopyScene: rig_keeper_copy_scene(k, a.index); break;
    case InputsAct::kSetGlyph: rig_keeper_set_glyph(k, a.index, a.text ? a.text : ""); break;
    case InputsAct::kClearClip: rig_keeper_clear_clip(k, a.index); break;
    case InputsAct::kClearOutClip: rig_keeper_clear_out_clip(k); break;
  }
}

}  // namespace

InputsActions inputs_keeper_actions(RigKeeper* k) { return InputsActions{keeper_act, k}; }

void inputs_source_from_keeper(RigKeeper* k, InputsSource* out) {
  rig_keeper_status(k, &out->status);
  out->rig = rig_keeper_rig(k);
  out->meters = rig_keeper_meters(k);
  for (int i = 0; i < kRigMaxInputs; ++i) out->labels[i] = i < out->status.inputs ? rig_keeper_label(k, i) : "";
}

void inputs_geometry(const Rect& panel, InputsGeometry* out) {
  InputsGeometry& g = *out;
  const float x = panel.x, y = panel.y, w = panel.w, bottom = panel.y + panel.h;
  g.panel = panel;
  g.header = Rect{x, y, w, kInputsHeaderH};
  g.close = Rect{x + w - kInputsPad - 26, y + 11, 26, 26};
  g.options = Rect{g.close.x - 32, y + 11, 26, 26};
  const float scene_w = (w - 2 * kInputsPad - 3 * 8) / 4;
  for (int i = 0; i < kRigScenes; ++i)
    g.scenes[i] = Rect{x + kInputsPad + float(i) * (scene_w + 8), y + kInputsHeaderH + 4, scene_w, kInputsSceneH};
  g.status = Rect{x + kInputsPad, g.scenes[0].y + kInputsSceneH + 4, w - 2 * kInputsPad, kInputsStatusH};
  g.card = Rect{x + 4, bottom - kInputsCardTop, kInputsCardW, kInputsCardH};
  g.master = Rect{x, g.card.y - 4 - kInputsMasterH, w, kInputsMasterH};
  const float rows_top = g.status.y + kInputsStatusH + 4;
  g.rows = Rect{x, rows_top, w, std::max(0.0f, g.master.y - 4 - rows_top)};
  g.master_fader = Rect{x + 146, g.master.y + 8, kInputsFaderW, 24};
  g.master_clip = Rect{x + 386, g.master.y + 9, 26, 22};
}

void inputs_row_rects(const InputsGeometry& g, int i, float scroll, InputsRowRects* out) {
  const float x = g.rows.x, y = g.rows.y + float(i) * kInputsRowH - scroll;
  out->row = Rect{x, y, g.rows.w, kInputsRowH};
  out->number = Rect{x + 8, y, 22, kInputsRowH};
  out->label = Rect{x + 32, y, 78, kInputsRowH};
  out->mute = Rect{x + 114, y + 6, 26, 22};
  out->fader = Rect{x + 146, y + 5, kInputsFaderW, 24};
  out->pan = Rect{x + 304, y + 6, 44, 22};
  out->link = Rect{x + 354, y + 6, 26, 22};
  out->clip = Rect{x + 386, y + 6, 26, 22};
}

int inputs_lead(const InputsSource& src, int input) {
  if (input > 0 && (input & 1) && inputs_pair(src, input - 1)) return input - 1;
  return input;
}

bool inputs_pair(const InputsSource& src, int lead) {
  const RigChannel* ch = channel(src, lead);
  return ch && ch->link && (lead & 1) == 0 && lead + 1 < row_count(src) && lead + 1 < scene_of(src)->channel_count;
}

const char* inputs_next_glyph(const RigDoc* rig, int scene, bool (*can_draw)(void*, const char*), void* ctx) {
  if (!rig || scene < 0 || scene >= kRigScenes) return nullptr;
  int at = -1;
  for (int i = 0; i < kInputsGlyphs; ++i)
    if (strcmp(rig->scenes[scene].glyph, kInputsGlyphList[i]) == 0) at = i;
  for (int step = 1; step <= kInputsGlyphs; ++step) {
    const char* g = kInputsGlyphList[(at + step + kInputsGlyphs) % kInputsGlyphs];
    bool used = false;
    for (int s = 0; s < kRigScenes; ++s)
      if (s != scene && strcmp(rig->scenes[s].glyph, g) == 0) used = true;
    if (used || strcmp(rig->scenes[scene].glyph, g) == 0) continue;
    if (can_draw && !can_draw(ctx, g)) continue;
    return g;
  }
  return nullptr;
}

void inputs_panel_init(InputsPanel* p) {
  *p = InputsPanel{};
  p->selected = -1;
  p->hover = p->rest = InputsHit{InputsZone::kNone, -1};
  p->drag_index = -1;
}

void inputs_panel_layout(InputsPanel* p, const Rect& panel, const InputsSource& src) {
  inputs_geometry(panel, &p->geometry);
  clamp_scroll(p, src);
  if (p->selected >= row_count(src)) p->selected = row_count(src) - 1;
}

InputsHit inputs_hit(const InputsPanel& p, const InputsSource& src, float x, float y) {
  const InputsGeometry& g = p.geometry;
  if (!g.panel.contains(x, y)) return InputsHit{InputsZone::kNone, -1};
  if (g.close.contains(x, y)) return InputsHit{InputsZone::kHeaderClose, -1};
  if (g.options.contains(x, y)) return InputsHit{InputsZone::kHeaderOptions, -1};
  if (g.header.contains(x, y)) return InputsHit{InputsZone::kHeader, -1};
  for (int i = 0; i < kRigScenes; ++i)
    if (g.scenes[i].contains(x, y)) return InputsHit{InputsZone::kScene, i};
  if (g.master_clip.contains(x, y)) return InputsHit{InputsZone::kMasterClip, -1};
  if (g.master.contains(x, y)) return InputsHit{InputsZone::kMaster, -1};
  if (!g.rows.contains(x, y)) return InputsHit{InputsZone::kNone, -1};
  const int i = int(std::floor((y - g.rows.y + p.scroll) / kInputsRowH));
  if (i < 0 || i >= row_count(src)) return InputsHit{InputsZone::kRows, -1};
  InputsRowRects r;
  inputs_row_rects(g, i, p.scroll, &r);
  if (r.number.contains(x, y)) return InputsHit{InputsZone::kNumber, i};
  if (r.label.contains(x, y)) return InputsHit{InputsZone::kLabel, i};
  if (r.mute.contains(x, y)) return InputsHit{InputsZone::kMute, i};
  if (r.fader.contains(x, y)) return InputsHit{InputsZone::kFader, i};
  if (r.pan.contains(x, y)) return InputsHit{InputsZone::kPan, i};
  if (r.link.contains(x, y) && (i & 1) == 0 && i + 1 < row_count(src)) return InputsHit{InputsZone::kLink, i};
  if (r.clip.contains(x, y)) return InputsHit{InputsZone::kClip, i};
  return InputsHit{InputsZone::kRows, i};
}

bool inputs_key(InputsPanel* p, const InputsSource& src, const InputsActions& a, const InputEvent& ev) {
  if (!p->open || ev.kind != InputKind::kKeyDown || (ev.mods & (kModCtrl | kModAlt))) return false;
  const bool shift = (ev.mods & kModShift) != 0;
  const int n = row_count(src);
  switch (ev.key) {
    case kKey1: case kKey2: case kKey3: case kKey4: {
      if (ev.repeat) return true;
      const int scene = ev.key - kKey1;
      // The scene in use again is no change; a copy onto itself neither.
      if (scene == src.status.scene) return true;
      send(a, shift ? InputsAct::kCopyScene : InputsAct::kSelectScene, scene);
      return true;
    }
    case kKeyEnter: {
      if (ev.repeat || n == 0) return true;
      if (p->selected < 0) p->selected = 0;
      const RigChannel* ch = channel(src, inputs_lead(src, p->selected));
      if (ch) send(a, InputsAct::kSetMute, p->selected, 0, !ch->muted);
      reveal(p, src);
      return true;
    }
    case kKeyRight: case kKeyLeft:
      if (p->selected >= 0 && p->selected < n) {
        const float db = shift ? kGainShiftStepDb : kGainStepDb;
        send(a, InputsAct::kNudgeGain, p->selected, ev.key == kKeyRight ? db : -db);
      }
      return true;
    case kKeyDown:
      if (n > 0) p->selected = p->selected < 0 ? 0 : std::min(p->selected + 1, n - 1);
      reveal(p, src);
      return true;
    case kKeyUp:
      if (n > 0) p->selected = p->selected < 0 ? n - 1 : std::max(p->selected - 1, 0);
      reveal(p, src);
      return true;
    case kKeyEscape:
      if (!ev.repeat) p->open = false;
      return true;
    default: return false;
  }
}

bool inputs_mouse_down(InputsPanel* p, const InputsSource& src, const InputsActions& a, const InputEvent& ev,
                       bool (*can_draw)(void*, const char*), void* draw_ctx) {
  if (!p->open) return false;
  const InputsHit h = inputs_hit(*p, src, ev.x, ev.y);
  if (h.zone == InputsZone::kNone) return false;
  if (ev.button != kMouseLeft) return true;
  const bool shift = (ev.mods & kModShift) != 0;
  const bool twice = ev.clicks >= 2;
  p->hover = h;
  switch (h.zone) {
    case InputsZone::kScene:
      if (twice) {
        const char* g = inputs_next_glyph(src.rig, h.index, can_draw, draw_ctx);
        if (g) send(a, InputsAct::kSetGlyph, h.index, 0, false, g);
      } else if (h.index != src.status.scene) {
        send(a, shift ? InputsAct::kCopyScene : InputsAct::kSelectScene, h.index);
      }
      break;
    case InputsZone::kMute: {
      const RigChannel* ch = channel(src, inputs_lead(src, h.index));
      if (!ch) break;
      p->selected = h.index;
      p->drag = InputsDrag::kMutePaint;
      p->drag_index = h.index;
      p->paint_muted = !ch->muted;
      send(a, InputsAct::kSetMute, h.index, 0, p->paint_muted);
      break;
    }
    case InputsZone::kFader:
    case InputsZone::kMaster: {
      const bool master = h.zone == InputsZone::kMaster;
      if (master && !p->geometry.master_fader.contains(ev.x, ev.y)) break;
      const RigChannel* ch = master ? nullptr : channel(src, inputs_lead(src, h.index));
      const RigScene* s = scene_of(src);
      if (!s || (!master && !ch)) break;
      if (!master) p->selected = h.index;
      if (twice) {
        if (master) send(a, InputsAct::kSetMaster, -1, 1.0f);
        else send(a, InputsAct::kSetFader, h.index, kInputsFaderDetent);
        break;
      }
      p->drag = master ? InputsDrag::kMaster : InputsDrag::kFader;
      p->drag_index = h.index;
      p->drag_x = ev.x;
      p->drag_value = rig_fader_from_gain(master ? s->master_gain : ch->gain);
      p->detent = false;
      break;
    }
    case InputsZone::kPan: {
      const RigChannel* ch = channel(src, inputs_lead(src, h.index));
      if (!ch) break;
      p->selected = h.index;
      if (twice) {
        send(a, InputsAct::kSetPan, h.index, 0.0f);
        break;
      }
      p->drag = InputsDrag::kPan;
      p->drag_index = h.index;
      p->drag_x = ev.x;
      p->drag_raw = p->drag_value = ch->pan;
      break;
    }
    case InputsZone::kLink: {
      const RigChannel* ch = channel(src, h.index);
      if (ch && !ev.repeat) send(a, InputsAct::kSetLink, h.index, 0, !ch->link);
      break;
    }
    case InputsZone::kClip: send(a, InputsAct::kClearClip, inputs_lead(src, h.index)); break;
    case InputsZone::kMasterClip: send(a, InputsAct::kClearOutClip, -1); break;
    case InputsZone::kHeaderClose: p->open = false; break;
    case InputsZone::kNumber:
    case InputsZone::kLabel:
    case InputsZone::kRows:
      if (h.index >= 0) p->selected = h.index;
      break;
    default: break;
  }
  return true;
}

void inputs_mouse_move(InputsPanel* p, const InputsSource& src, const InputsActions& a, float x, float y, bool shift,
                       double now_s) {
  const InputsHit h = p->open ? inputs_hit(*p, src, x, y) : InputsHit{InputsZone::kNone, -1};
  p->hover = h;
  if (!same(h, p->rest)) p->rest = h, p->rest_since_s = now_s;
  switch (p->drag) {
    case InputsDrag::kNone: return;
    case InputsDrag::kMutePaint: {
      const int n = row_count(src);
      if (n == 0) return;
      const int i = std::clamp(int(std::floor((y - p->geometry.rows.y + p->scroll) / kInputsRowH)), 0, n - 1);
      paint_mutes(p, src, a, i);
      return;
    }
    case InputsDrag::kFader:
    case InputsDrag::kMaster: {
      const float v = fader_drag(p, x, shift);
      if (v == p->drag_value) return;
      p->drag_value = v;
      if (p->drag == InputsDrag::kMaster) send(a, InputsAct::kSetMasterFader, -1, v);
      else send(a, InputsAct::kSetFader, p->drag_index, v);
      return;
    }
    case InputsDrag::kPan: {
      // Unsnapped, the pan follows the pointer; what is set snaps to the centre near it.
      const float scale = (shift ? kShiftFine : 1.0f) / kInputsPanPx;
      p->drag_raw = std::clamp(p->drag_raw + (x - p->drag_x) * scale, -1.0f, 1.0f);
      p->drag_x = x;
      float v = p->drag_raw;
      if (std::fabs(v) < kPanSnap) v = 0.0f;
      if (v == p->drag_value) return;
      p->drag_value = v;
      send(a, InputsAct::kSetPan, p->drag_index, v);
      return;
    }
  }
}

void inputs_mouse_up(InputsPanel* p) {
  p->drag = InputsDrag::kNone;
  p->detent = false;
}

bool inputs_wheel(InputsPanel* p, const InputsSource& src, const InputsActions& a, const InputEvent& ev, double now_s) {
  if (!p->open) return false;
  const InputsHit h = inputs_hit(*p, src, ev.x, ev.y);
  if (h.zone == InputsZone::kNone) return false;
  p->wheel_carry += ev.wheel_y;
  const int notches = int(p->wheel_carry);  // toward zero: the rest waits for more
  p->wheel_carry -= float(notches);
  if (notches == 0) return true;
  const bool shift = (ev.mods & kModShift) != 0;
  const bool control = h.zone == InputsZone::kFader || h.zone == InputsZone::kPan ||
                       (h.zone == InputsZone::kMaster && p->geometry.master_fader.contains(ev.x, ev.y));
  bool adjust = control;
  if (control && rows_scroll(*p, src) && h.zone != InputsZone::kMaster) {
    // A panel that scrolls gives the wheel to a control only once the pointer rests on it.
    const bool rested = same(h, p->rest) && now_s - p->rest_since_s >= kRestS;
    adjust = rested && now_s >= p->scrolled_until_s;
  }
  if (!adjust) {
    if (h.zone == InputsZone::kScene || h.zone == InputsZone::kHeader || h.zone == InputsZone::kHeaderClose ||
        h.zone == InputsZone::kHeaderOptions || h.zone == InputsZone::kMaster || h.zone == InputsZone::kMasterClip)
      return true;
    const float before = p->scroll;
    p->scroll -= float(notches) * kInputsRowH;
    clamp_scroll(p, src);
    if (p->scroll != before) p->scrolled_until_s = now_s + kKeepScrollingS;
    return true;
  }
  if (h.zone == InputsZone::kMaster) {
    send(a, InputsAct::kNudgeMaster, -1, float(notches) * (shift ? kWheelShiftDb : kWheelDb));
  } else if (h.zone == InputsZone::kFader) {
    send(a, InputsAct::kNudgeGain, h.index, float(notches) * (shift ? kWheelShiftDb : kWheelDb));
  } else {
    const RigChannel* ch = channel(src, inputs_lead(src, h.index));
    if (!ch) return true;
    const float from = ch->pan;
    float v = std::clamp(from + float(notches) * (shift ? kWheelShiftPan : kWheelPan), -1.0f, 1.0f);
    if ((from > 0 && v < 0) || (from < 0 && v > 0)) v = 0.0f;  // the centre stops a change across it
    if (std::fabs(v) < kPanZero) v = 0.0f;
    if (v != from) send(a, InputsAct::kSetPan, h.index, v);
  }
  return true;
}

void inputs_gain_text(float gain, char* out, size_t cap) {
  const double db = gain > 0 ? 20.0 * std::log10(double(gain)) : -1000.0;
  if (!(gain > 0) || db < kDeadDb) return void(text_copy(out, cap, "OFF"));
  const double r = std::round(db * 10.0) / 10.0;
  if (r == 0.0) text_copy(out, cap, "0.0 DB");
  else if (r < 0) text_format(out, cap, "\u2212%.1f DB", -r);
  else text_format(out, cap, "+%.1f DB", r);
}

void inputs_header_facts(const RigKeeperStatus& s, char* out, size_t cap) {
  char inputs[32], rate[32], api[kRigApiBytes + 8];
  if (s.inputs < s.device_inputs) text_format(inputs, sizeof inputs, "%d/%d IN", s.inputs, s.device_inputs);
  else text_format(inputs, sizeof inputs, "%d IN", s.inputs);
  const double khz = s.rate_hz / 1000.0;
  if (std::fabs(khz - std::round(khz)) <= 0.01) text_format(rate, sizeof rate, "%d KHZ", int(std::lround(khz)));
  else text_format(rate, sizeof rate, "%.1f KHZ", khz);
  text_copy(api, s.api);
  upper(api);
  if (strcmp(api, "WDMKS") == 0) text_copy(api, "WDM-KS");
  text_format(out, cap, "%s \u00B7 %s \u00B7 %s", inputs, rate, api);
}

void inputs_display_text(const char* in, char* out, size_t cap) {
  if (cap == 0) return;
  size_t n = 0;
  auto put = [&](const char* s) {
    const size_t len = strlen(s);
    if (n + len >= cap) return false;
    memcpy(out + n, s, len);
    n += len;
    return true;
  };
  const unsigned char* s = reinterpret_cast<const unsigned char*>(in ? in : "");
  while (*s) {
    // One code point; a broken sequence is one unknown character per byte.
    uint32_t cp = *s;
    int len = 1;
    if (cp >= 0xC0 && cp < 0xE0 && (s[1] & 0xC0) == 0x80) cp = ((cp & 0x1F) << 6) | (s[1] & 0x3F), len = 2;
    else if (cp >= 0xE0 && cp < 0xF0 && (s[1] & 0xC0) == 0x80 && (s[2] & 0xC0) == 0x80)
      cp = ((cp & 0x0F) << 12) | ((s[1] & 0x3F) << 6) | (s[2] & 0x3F), len = 3;
    else if (cp >= 0xF0 && cp < 0xF8 && (s[1] & 0xC0) == 0x80 && (s[2] & 0xC0) == 0x80 && (s[3] & 0xC0) == 0x80)
      cp = ((cp & 0x07) << 18) | ((s[1] & 0x3F) << 12) | ((s[2] & 0x3F) << 6) | (s[3] & 0x3F), len = 4;
    s += len;
    char one[2] = {char(cp), 0};
    const char* t = "?";
    if (cp >= 0x20 && cp < 0x7F) t = one;
    else if (cp == 0x00B7) t = ".";
    else if ((cp >= 0x2010 && cp <= 0x2015) || cp == 0x2212) t = "-";
    else if (cp == 0x2026) t = "...";
    else if (cp == 0x2192) t = "->";
    if (!put(t)) break;
  }
  out[n] = 0;
}

void inputs_status_text(const InputsPanel& p, const InputsSource& src, double now_s, char* out, size_t cap) {
  const RigKeeperStatus& s = src.status;
  out[0] = 0;
  const bool adjusting = p.drag == InputsDrag::kFader || p.drag == InputsDrag::kPan || p.drag == InputsDrag::kMaster;
  if (s.changed_by[0] && now_s - s.changed_at >= 0 && now_s - s.changed_at < kChangedShownS && !adjusting) {
    char name[kRigAppBytes];
    inputs_display_text(s.changed_by, name, sizeof name);
    upper(name);
    return void(text_format(out, cap, "\u2727 CHANGED IN %s", name));
  }
  // The row dragged, else the one under the pointer.
  InputsHit h = p.hover;
  if (p.drag == InputsDrag::kFader || p.drag == InputsDrag::kPan || p.drag == InputsDrag::kMutePaint)
    h = InputsHit{p.drag == InputsDrag::kPan ? InputsZone::kPan : InputsZone::kFader, p.drag_index};
  if (p.drag == InputsDrag::kMaster) h = InputsHit{InputsZone::kMaster, -1};
  if (src.rig && h.index >= 0 && h.index < row_count(src) && h.zone != InputsZone::kScene) {
    const int lead = inputs_lead(src, h.index);
    char name[96], detail[48];
    row_name(src, lead, name, sizeof name);
    row_detail(src, h.zone, h.index, lead, detail, sizeof detail);
    if (detail[0]) text_format(out, cap, "%s \u00B7 %s", name, detail);
    else text_copy(out, cap, name);
    return;
  }
  if (src.rig && (h.zone == InputsZone::kMaster || h.zone == InputsZone::kMasterClip)) {
    char gain[32];
    inputs_gain_text(scene_of(src)->master_gain, gain, sizeof gain);
    const bool over = src.meters && src.meters->out_clip;
    return void(text_format(out, cap, "BUS \u00B7 %s%s", gain, over ? " \u00B7 OVER" : ""));
  }
  if (h.zone == InputsZone::kHeader && s.device[0]) return void(text_copy(out, cap, s.device));
  if (s.state == kRigReadOnly) return void(text_copy(out, cap, "\u25A0 READ ONLY - MADE BY A NEWER APP"));
  if (s.save_error)
    return void(text_format(out, cap, "\u2717 COULDN'T SAVE - %s", s.error[0] ? s.error : "RETRYING"));
  if (s.fallback) return void(text_copy(out, cap, "CAN'T READ THE RIG FILE - CHANGES STAY IN THIS SESSION"));
  if (s.state == kRigLoading) {
    if (s.waiting) {
      RigMixMatrix m;
      rig_default_matrix(s.api, std::clamp(s.inputs, 1, kRigMaxInputs), &m);
      bool on[kRigMaxInputs] = {};
      for (int i = 0; i < m.count; ++i) on[i] = m.left[i] != 0 || m.right[i] != 0;
      char run[24];
      input_run(on, m.count, run, sizeof run);
      return void(text_format(out, cap, "\u25CC LOADING RIG - PLAYING %s MEANWHILE", run));
    }
    if (s.saving) text_copy(out, cap, "\u25CC LOADING RIG\u2026");
    return;
  }
  if (s.state == kRigUnbound) return void(text_copy(out, cap, "\u25CC NO INTERFACE"));
  if (s.all_muted) return void(text_copy(out, cap, "ALL INPUTS MUTED - NOTHING WILL RECORD"));
  if (s.hinted_input >= 0) return void(text_format(out, cap, "INPUT %d HAS SIGNAL - IT'S MUTED", s.hinted_input + 1));
  if (s.mismatch) return void(text_copy(out, cap, "RIG DOESN'T MATCH THE STREAM"));
  if (s.inputs < s.device_inputs)
    return void(text_format(out, cap, "ONLY %d OF %d INPUTS OPENED", s.inputs, s.device_inputs));
  if (s.saving) text_copy(out, cap, "\u2726 SAVING\u2026");
}
