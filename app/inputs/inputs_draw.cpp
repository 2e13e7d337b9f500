// Draws the inputs panel: the device header, the scene buttons, the status line, one row per input
// with its number, label, mute, fader with meters, pan, link and clip indicator, the bus row and
// the device card.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "app/inputs/inputs_app.h"
#include "app/shell/app_state.h"
#include "app/shell/draw.h"
#include "app/shell/theme.h"
#include "platform/clock.h"
#include "platform/text.h"
#include "ui/text.h"

namespace {

constexpr uint32_t kCardFill = 0xFF1A1818;
constexpr uint32_t kCardLabel = 0xFF807C7A;
constexpr uint32_t kCardValue = 0xFFF2F2F2;
constexpr uint32_t kCardDown = 0xFF4D42EB;
constexpr uint32_t kCardNone = 0xFF1F7AF2;
constexpr uint32_t kCardNetwork = 0xFFE9E5E2;
constexpr uint32_t kCardOff = 0xFF807C7A;
constexpr uint32_t kMeterIn = 0xFFC6C1BE;
constexpr uint32_t kMeterInClip = 0xFF4D42EB;
constexpr uint32_t kMeterOut = 0xFFEB9E5C;
constexpr uint32_t kMeterTrack = 0xFF0D0C0C;
constexpr float kCardRowStep = 13.0f;
constexpr float kCardLabelX = 12.0f, kCardValueX = 78.0f;
constexpr float kCardMeterW = 346.0f, kCardMeterH = 8.0f;
constexpr float kCardMeterStep = 4.0f;  // the shading's segment width
constexpr uint32_t kPostColour = 0xFF5C9EEB;
constexpr uint32_t kMutedFill = 0xFF2F2A8C;

uint8_t channel_of(uint32_t c, int shift) { return uint8_t((c >> shift) & 0xFF); }

// The meter's dark end: each component pulled toward its floor.
uint32_t dark_of(uint32_t c) {
  const auto pull = [](int v, int floor) { return uint32_t(std::lround((v - floor) * 0.45 + floor)) & 0xFF; };
  return (c & 0xFF000000u) | (pull(channel_of(c, 16), 26) << 16) | (pull(channel_of(c, 8), 24) << 8) |
         pull(channel_of(c, 0), 24);
}

uint32_t mix(uint32_t a, uint32_t b, float t) {
  uint32_t out = 0xFF000000u;
  for (int s = 0; s < 24; s += 8)
    out |= uint32_t(std::lround(channel_of(a, s) + (channel_of(b, s) - channel_of(a, s)) * t)) << s;
  return out;
}

void card_meter(Canvas* c, float x, float y, float level, uint32_t colour) {
  draw_fill(c, Rect{x, y, kCardMeterW, kCardMeterH}, kMeterTrack);
  const float filled = std::clamp(level, 0.0f, 1.0f) * kCardMeterW;
  const uint32_t dark = dark_of(colour);
  for (float s = 0; s < filled; s += kCardMeterStep) {
    const float w = std::min(kCardMeterStep, filled - s);
    draw_fill(c, Rect{x + s, y, w, kCardMeterH}, mix(dark, colour, (s + w * 0.5f) / kCardMeterW));
  }
}

void draw_card(Canvas* c, const AppState* app, const InputsGeometry& g, const InputsSource& src) {
  const Rect& r = g.card;
  draw_fill(c, r, kCardFill);
  const EngineDevice& d = app->engine.dev;
  char values[6][160];
  uint32_t colours[6] = {kCardValue, kCardValue, kCardValue, kCardValue, kCardValue, kCardNetwork};
  const bool down = app->watchdog.down != 0;
  text_copy(values[0], sizeof values[0], down ? "AUDIO DOWN" : d.device_name);
  if (down) colours[0] = kCardDown;
  text_format(values[1], sizeof values[1], "%s%s", d.host_api_name[0] ? d.host_api_name : "?",
              d.exclusive_active ? "  EXCLUSIVE" : "");
  text_format(values[2], sizeof values[2], "%.0F HZ   %d IN", d.stream_rate, src.status.inputs);
  text_format(values[3], sizeof values[3], "%d FRAMES   %.1F MS", d.period_frames, d.latency_ms);
  text_copy(values[4], sizeof values[4], d.duplex ? "ON" : "NONE");
  if (!d.duplex) colours[4] = kCardNone;
  bool off = false;
  network_card_text(app, values[5], sizeof values[5], &off);
  if (off) colours[5] = kCardOff;
  static const char* const kLabels[6] = {"DEVICE", "API", "RATE", "BUFFER", "OUT", "NETWORK"};
  for (int i = 0; i < 6; ++i) {
    const float y = r.y + 6 + float(i) * kCardRowStep;
    draw_text(c, kStackMono, 10, 400, kLabels[i], r.x + kCardLabelX, y, kCardLabel);
    draw_text(c, kStackMono, 10, 400, values[i], r.x + kCardValueX, y, colours[i]);
  }
  float in_level = 0;
  bool clip = false;
  if (src.meters)
    for (int i = 0; i < src.meters->inputs && i < kRigMaxInputs; ++i) {
      in_level = std::max(in_level, src.meters->input[i].in.position);
      clip = clip || src.meters->input[i].clip;
    }
  const float out_level =
      src.meters ? std::max(src.meters->out_left.position, src.meters->out_right.position) : 0.0f;
  const float my = r.y + 6 + 6 * kCardRowStep + 4;
  draw_text(c, kStackMono, 10, 400, "IN", r.x + kCardLabelX, my - 2, kCardLabel);
  card_meter(c, r.x + kCardValueX, my, in_level, clip ? kMeterInClip : kMeterIn);
  draw_text(c, kStackMono, 10, 400, "OUT", r.x + kCardLabelX, my + 14, kCardLabel);
  card_meter(c, r.x + kCardValueX, my + 16, out_level, kMeterOut);
}

// The rows' boxes gathered by layer and colour and drawn a batch at a time: the software renderer
// pays per call, and 64 rows make well over a thousand boxes.
constexpr int kFillLayers = 3;
constexpr int kFillBatches = 24;
constexpr int kFillBatchRects = 4 * kRigMaxInputs;
struct FillBatch {
  int layer;
  uint32_t colour;
  int count;
  Rect rects[kFillBatchRects];
};
struct Fills {
  Canvas* c;
  int count;
  FillBatch batch[kFillBatches];

  void add(int layer, const Rect& r, uint32_t colour) {
    if (r.w <= 0 || r.h <= 0) return;
    FillBatch* b = nullptr;
    for (int i = 0; i < count && !b; ++i)
      if (batch[i].layer == layer && batch[i].colour == colour && batch[i].count < kFillBatchRects) b = &batch[i];
    if (!b && count < kFillBatches) b = &batch[count++], b->layer = layer, b->colour = colour, b->count = 0;
    if (!b) return draw_fill(c, r, colour);  // out of batches: drawn at once, perhaps under a neighbour
    b->rects[b->count++] = r;
  }
  void flush() {
    for (int layer = 0; layer < kFillLayers; ++layer)
      for (int i = 0; i < count; ++i)
        if (batch[i].layer == layer) draw_fill_rects(c, batch[i].rects, batch[i].count, batch[i].colour);
    count = 0;
  }
};

// A fader's track with the input and post-fader meters under its handle.
void fader_boxes(Fills* f, const Rect& r, float position, const RigLevel* in, const RigLevel* post, bool muted,
                 bool hot) {
  const float mid = r.y + r.h * 0.5f;
  f->add(0, Rect{r.x, mid - 2, r.w, 4}, kColourInk);
  if (in) {
    f->add(1, Rect{r.x, r.y + r.h - 6, r.w * std::clamp(in->position, 0.0f, 1.0f), 2}, kColourGrey);
    f->add(2, Rect{r.x + r.w * std::clamp(in->hold_position, 0.0f, 1.0f) - 1, r.y + r.h - 6, 1, 2}, kColourSilver);
  }
  if (post) {
    f->add(1, Rect{r.x, r.y + r.h - 3, r.w * std::clamp(post->position, 0.0f, 1.0f), 2}, muted ? kColourDim : kPostColour);
    f->add(2, Rect{r.x + r.w * std::clamp(post->hold_position, 0.0f, 1.0f) - 1, r.y + r.h - 3, 1, 2}, kColourBright);
  }
  f->add(1, Rect{r.x + r.w * kInputsFaderDetent, mid - 5, 1, 10}, kColourRule);
  const float p = std::clamp(position, 0.0f, 1.0f);
  f->add(1, Rect{r.x, mid - 2, r.w * p, 4}, muted ? kColourDim : kColourSilver);
  f->add(2, Rect{r.x + r.w * p - 4, r.y + 2, 8, r.h - 10}, hot ? kColourBright : kColourLight);
}

void button_text(Canvas* c, const Rect& r, const char* text, int stack, bool lit, bool hot) {
  if (hot) draw_outline(c, r, kColourGrey);
  draw_text_centred(c, stack, 12, 400, text, r.x + r.w * 0.5f, r.y + r.h * 0.5f, lit ? kColourBright : kColourGrey);
}

struct RowLook {
  InputsRowRects r;
  const RigChannel* ch;  // the row's (its pair's for a second input); null: nothing to draw
  bool second, link_button;
};

RowLook row_look(const InputsPanel& p, const InputsSource& src, int i) {
  RowLook l{};
  inputs_row_rects(p.geometry, i, p.scroll, &l.r);
  const RigScene& sc = src.rig->scenes[std::clamp(src.status.scene, 0, kRigScenes - 1)];
  const int lead = inputs_lead(src, i);
  if (lead < sc.channel_count) l.ch = &sc.channels[lead];
  l.second = lead != i;
  l.link_button = (i & 1) == 0 && i + 1 < src.status.inputs;
  return l;
}

bool hot(const InputsPanel& p, InputsZone z, int i) { return p.hover.zone == z && p.hover.index == i; }

void row_boxes(Fills* f, const InputsPanel& p, const InputsSource& src, int i) {
  const RowLook l = row_look(p, src, i);
  if (!l.ch) return;
  const InputsRowRects& r = l.r;
  const RigChannel& ch = *l.ch;
  if (p.selected == i) f->add(0, r.row, kColourSurface);
  else if (p.hover.index == i && p.hover.zone != InputsZone::kScene) f->add(0, r.row, kColourRule);
  f->add(1, r.mute, ch.muted ? kMutedFill : kColourSurface);
  const RigKeeperMeters* m = src.meters;
  const bool metered = m && i < m->inputs;
  fader_boxes(f, r.fader, rig_fader_from_gain(ch.gain), metered ? &m->input[i].in : nullptr,
              metered ? &m->input[i].post : nullptr, ch.muted, hot(p, InputsZone::kFader, i));
  // Pan (or a pair's balance): a centre mark and the position.
  f->add(1, r.pan, kColourSurface);
  f->add(2, Rect{r.pan.x + r.pan.w * 0.5f, r.pan.y + 4, 1, r.pan.h - 8}, kColourRule);
  f->add(2, Rect{r.pan.x + 3 + (r.pan.w - 8) * (std::clamp(ch.pan, -1.0f, 1.0f) + 1) * 0.5f, r.pan.y + 4, 2, r.pan.h - 8},
         hot(p, InputsZone::kPan, i) ? kColourBright : kColourSilver);
  if (l.link_button) f->add(1, r.link, ch.link ? kColourOrange : kColourSurface);
  const bool clip = metered && m->input[i].clip, bad = metered && m->input[i].bad;
  f->add(1, r.clip, clip ? kColourRed : bad ? kColourOrange : kColourSurface);
}

void row_texts(Canvas* c, const InputsPanel& p, const InputsSource& src, int i) {
  const RowLook l = row_look(p, src, i);
  if (!l.ch) return;
  const InputsRowRects& r = l.r;
  char num[8];
  text_format(num, sizeof num, "%d", i + 1);
  draw_text_centred(c, kStackMono, 12, 400, num, r.number.x + r.number.w * 0.5f, r.number.y + r.number.h * 0.5f,
                    p.selected == i ? kColourBright : kColourGrey);
  draw_text(c, kStackText, 12, 400, src.labels[i], r.label.x, r.label.y + 10, l.second ? kColourGrey : kColourSilver);
  button_text(c, r.mute, "M", kStackDisplay, l.ch->muted, hot(p, InputsZone::kMute, i));
  if (l.link_button) button_text(c, r.link, "\u221E", kStackSymbols, l.ch->link, hot(p, InputsZone::kLink, i));
}

void draw_scenes(Canvas* c, const InputsPanel& p, const InputsSource& src) {
  for (int s = 0; s < kRigScenes; ++s) {
    const Rect& r = p.geometry.scenes[s];
    const bool on = src.status.scene == s && src.rig;
    const bool hot = p.hover.zone == InputsZone::kScene && p.hover.index == s;
    draw_rounded(c, r, 4, on ? kColourOrange : kColourSurface);
    if (hot) draw_outline(c, r, kColourGrey);
    const uint32_t ink = on ? kColourInk : kColourSilver;
    if (src.rig) draw_text_centred(c, kStackSymbols, 18, 400, src.rig->scenes[s].glyph, r.x + 22, r.y + r.h * 0.5f, ink);
    char num[4];
    text_format(num, sizeof num, "%d", s + 1);
    draw_text_centred(c, kStackDisplay, 16, 400, num, r.x + r.w - 18, r.y + r.h * 0.5f, ink);
  }
}

}  // namespace

Rect inputs_panel_rect(int content_w, int content_h, float width) {
  return Rect{float(content_w) - width, float(kHeaderH), float(kRigPanelWidth), float(std::max(content_h - kHeaderH, 0))};
}

bool inputs_glyph_drawable(void* canvas, const char* glyph) {
  const TextEntry* e = text_entry(static_cast<Canvas*>(canvas), kStackSymbols, 18, 400, glyph);
  return e->char_count > 0 && e->char_drawn[0] != 0x25C7;
}

void draw_inputs_panel(Canvas* c, AppState* app) {
  InputsApp& in = app->inputs;
  if (!in.keeper || app->rig_width < 1.0f) return;
  InputsPanel& p = in.panel;
  const InputsSource& src = in.source;
  inputs_panel_layout(&p, inputs_panel_rect(app->content_w, app->content_h, app->rig_width), src);
  const InputsGeometry& g = p.geometry;
  draw_fill(c, g.panel, kColourPanel);
  draw_fill(c, Rect{g.panel.x, g.panel.y, 1, g.panel.h}, kColourRule);

  // The device and its facts; a mark while a save runs.
  const RigKeeperStatus& s = src.status;
  draw_text(c, kStackDisplay, 16, 400, s.device[0] ? s.device : "NO INTERFACE", g.header.x + kInputsPad,
            g.header.y + 6, kColourLight);
  char facts[96] = "";
  if (s.state != kRigUnbound) inputs_header_facts(s, facts, sizeof facts);
  const float fw = draw_text(c, kStackMono, 11, 400, facts, g.header.x + kInputsPad, g.header.y + 28, kColourGrey);
  if (s.saving) draw_text(c, kStackSymbols, 11, 400, "\u2726", g.header.x + kInputsPad + fw + 6, g.header.y + 28, kColourOrange);
  draw_fill(c, g.options, kColourSurface);
  button_text(c, g.options, "\u2699", kStackSymbols, false, p.hover.zone == InputsZone::kHeaderOptions);
  draw_fill(c, g.close, kColourSurface);
  button_text(c, g.close, "\u00D7", kStackSymbols, false, p.hover.zone == InputsZone::kHeaderClose);

  draw_scenes(c, p, src);
  char status[160];
  inputs_status_text(p, src, double(mono_ns()) / 1e9, status, sizeof status);
  draw_text(c, kStackMono, 11, 400, status, g.status.x, g.status.y + 4, kColourLight);

  if (src.rig) {
    // Rows that fit whole; one cut by the edge waits for the scroll. Boxes first, then the texts.
    const int n = std::min(s.inputs, kRigMaxInputs);
    int first = n, last = -1;
    for (int i = 0; i < n; ++i) {
      const float top = float(i) * kInputsRowH - p.scroll;
      if (top >= -0.5f && top + kInputsRowH <= g.rows.h + 0.5f) first = std::min(first, i), last = i;
    }
    // Kept between frames (main thread only): 96 KB of boxes is not worth allocating and clearing
    // every frame.
    static Fills kept;
    Fills* const fills = &kept;
    fills->c = c;
    fills->count = 0;
    const RigScene& sc = src.rig->scenes[std::clamp(s.scene, 0, kRigScenes - 1)];
    const RigKeeperMeters* m = src.meters;
    for (int i = first; i <= last; ++i) row_boxes(fills, p, src, i);
    // The bus.
    fills->add(0, Rect{g.master.x, g.master.y, g.master.w, 1}, kColourRule);
    fader_boxes(fills, g.master_fader, rig_fader_from_gain(sc.master_gain), m ? &m->out_left : nullptr,
                m ? &m->out_right : nullptr, false, p.hover.zone == InputsZone::kMaster);
    fills->add(1, g.master_clip, m && m->out_clip ? kColourRed : kColourSurface);
    fills->flush();
    for (int i = first; i <= last; ++i) row_texts(c, p, src, i);
    draw_text(c, kStackDisplay, 14, 400, "BUS", g.master.x + kInputsPad, g.master.y + 12, kColourSilver);
  }
  draw_card(c, app, g, src);
}
