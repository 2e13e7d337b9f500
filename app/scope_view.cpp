// The scope area: level columns, threshold and gate-out lines, hold bar, live detector, the side
// panel's values and the tape strip.
#include "app/scope_view.h"

#include <algorithm>
#include <cmath>

#include "config/settings.h"
#include "platform/text.h"
#include "ui/text.h"

namespace {

constexpr float kColumnGap = 1.0f;
constexpr float kScopePad = 4.0f;          // a full-scale column stops this far below the top
constexpr float kDetectorBarW = 4.0f;
constexpr float kHoldHandle = 9.0f;
constexpr float kTapeTickW = 2.0f, kTapeTickH = 6.0f;
constexpr uint32_t kScopeBlack = 0xFF000000;

float scale_factor(const TriggerPositions& p) { return std::pow(10.0f, (p.scale * 60.0f - 24.0f) / 20.0f); }

// The seconds of a roll control as the side panel writes them.
void format_seconds(float seconds, char* out, size_t cap, bool hold) {
  if (seconds < 1.0f) text_format(out, cap, "%.0FMS", seconds * 1000.0f);
  else text_format(out, cap, hold ? "%.1FS" : "%.2FS", seconds);
}

void format_hz(float hz, char* out, size_t cap) {
  if (hz < 1.0f) text_copy(out, cap, "OFF");
  else if (hz < 1000.0f) text_format(out, cap, "%.0FHZ", hz);
  else text_format(out, cap, "%.1FK", hz / 1000.0f);
}

float hz_fraction(float hz) { return hz < 1.0f ? 0.0f : std::clamp(std::log10(hz / 20.0f) / 3.0f, 0.0f, 1.0f); }

struct SliderRow {
  const char* label;
  char value[24];
  float fraction;
};

SliderRow slider_row(int key, const TriggerPositions& p, const Settings& s) {
  SliderRow row{};
  switch (key) {
    case 0:
      row = SliderRow{"THRESH", {}, p.threshold};
      text_format(row.value, sizeof row.value, "%.0FDB", p.threshold * 80.0f - 80.0f);
      break;
    case 1:
      row = SliderRow{"GATE OUT", {}, p.exit};
      text_format(row.value, sizeof row.value, "%+.0FDB", p.exit * 48.0f - 24.0f);
      break;
    case 2:
      row = SliderRow{"HOLD", {}, p.hold};
      format_seconds(p.hold * p.hold * p.hold, row.value, sizeof row.value, true);
      break;
    case 3:
      row = SliderRow{"PRE", {}, p.pre_roll};
      format_seconds(p.pre_roll * p.pre_roll * 2.0f, row.value, sizeof row.value, false);
      break;
    case 4:
      row = SliderRow{"POST", {}, p.post_roll};
      format_seconds(p.post_roll * p.post_roll * 4.0f, row.value, sizeof row.value, false);
      break;
    case 5:
      row = SliderRow{"LOOK", {}, p.look_back};
      format_seconds(p.look_back * p.look_back * 4.0f, row.value, sizeof row.value, false);
      break;
    case 6:
      row = SliderRow{"GAIN", {}, p.gain};
      text_format(row.value, sizeof row.value, "%.2FX", p.gain * 2.0f);
      break;
    case 7:
      row = SliderRow{"SCALE", {}, p.scale};
      text_format(row.value, sizeof row.value, "%+.0FDB", p.scale * 60.0f - 24.0f);
      break;
    case 8:
      row = SliderRow{"HPF", {}, hz_fraction(s.hpf_hz)};
      format_hz(s.hpf_hz, row.value, sizeof row.value);
      break;
    case 9:
      row = SliderRow{"LPF", {}, hz_fraction(s.lpf_hz)};
      format_hz(s.lpf_hz, row.value, sizeof row.value);
      break;
    case 10:
      row = SliderRow{"PEAK", {}, hz_fraction(s.peak_hz)};
      format_hz(s.peak_hz, row.value, sizeof row.value);
      break;
    default:
      row = SliderRow{"Q", {}, std::clamp((s.peak_q - 0.3f) / 11.7f, 0.0f, 1.0f)};
      text_format(row.value, sizeof row.value, "%.1F", s.peak_q);
      break;
  }
  row.fraction = std::clamp(row.fraction, 0.0f, 1.0f);
  return row;
}

}  // namespace

int scope_column_count(float w) { return std::clamp(int(w / 2.0f), kScopeMinColumns, kScopeMaxColumns); }

float scope_level_height(float level, float gain, float h) {
  return std::sqrt(std::min(1.0f, std::max(0.0f, gain * level))) * (h - kScopePad);
}

void draw_scope(Canvas* c, const Rect& r, const CaptureEngine* e, const TriggerPositions& p, const Theme& theme,
                ScopeView* view) {
  draw_fill(c, r, theme.background_set ? theme.slot[kSlotVisualBackground] : kScopeBlack);
  if (r.w < 2 || r.h < 8) return;
  const float bottom = r.y + r.h;
  const float o = scale_factor(p);
  const float threshold = std::pow(10.0f, (p.threshold * 80.0f - 80.0f) / 20.0f);
  const bool recording = e->recording.load(std::memory_order_relaxed) != 0;
  const float detector = e->envelope.load(std::memory_order_relaxed);

  // Columns, newest at the right edge; fewer than N gathered so far leave the left empty.
  const int n = scope_column_count(r.w);
  const int have = engine_scope_columns(e, n, view->columns);
  Rect (*bars)[kScopeColumns] = view->bars;
  Rect (*caps)[kScopeColumns] = view->caps;
  int bar_count[4] = {}, cap_count[2] = {};
  for (int j = 0; j < have; ++j) {
    const ScopeColumn& col = view->columns[j];
    const int k = n - have + j;
    const float x0 = r.x + std::floor(float(k) * r.w / float(n));
    const float x1 = r.x + std::floor(float(k + 1) * r.w / float(n));
    const float w = std::max(x1 - x0 - kColumnGap, 1.0f);
    const float h = std::round(scope_level_height(col.input_peak, o, r.h));
    if (h < 1.0f) continue;
    const bool over = col.detector_peak >= threshold;
    const int kind = col.recorded ? 3 : col.would_open ? 2 : over ? 1 : 0;
    bars[kind][bar_count[kind]++] = Rect{x0, bottom - h, w, h};
    if (col.recorded || over) {
      const int ck = col.recorded ? 0 : 1;
      caps[ck][cap_count[ck]++] = Rect{x0, bottom - h, w, std::min(4.0f, h)};
    }
  }
  const uint32_t kinds[4] = {theme.slot[kSlotWaveQuiet], theme.slot[kSlotWaveThreshold],
                             theme.slot[kSlotWaveTrigger], theme.slot[kSlotWaveRecording]};
  for (int k = 0; k < 4; ++k) draw_fill_rects(c, bars[k], bar_count[k], kinds[k]);
  draw_fill_rects(c, caps[0], cap_count[0], colour_mix(theme.slot[kSlotWaveRecording], theme.slot[kSlotHighlights], 0.35f));
  draw_fill_rects(c, caps[1], cap_count[1], colour_mix(theme.slot[kSlotWaveThreshold], theme.slot[kSlotHighlights], 0.55f));

  // Threshold line with its glow while the detector is at or over it.
  const float line_y = std::round(bottom - scope_level_height(threshold, o, r.h));
  const bool live_over = detector >= threshold;
  if (live_over) {
    draw_glow(c, Rect{r.x, line_y, r.w, 1}, 0, 8, recording ? 0xFF4D42EB : theme.slot[kSlotThresholdLine], 0.6f * 0.5f);
  }
  draw_fill(c, Rect{r.x, line_y, r.w, 1}, live_over ? 0xFFE9E5E2 : theme.slot[kSlotThresholdLine]);

  // Hold bar and its handle.
  const float hold_end = (r.w - kHoldHandle) * std::clamp(p.hold, 0.0f, 1.0f);
  if (hold_end >= 1.0f) draw_fill(c, Rect{r.x, line_y - 1, hold_end, 3}, 0xFFE9E5E2);
  draw_fill(c, Rect{r.x + hold_end, line_y - 4, kHoldHandle, kHoldHandle}, theme.slot[kSlotLiveDetector]);

  char label[48];
  const float hold_ms = p.hold * p.hold * p.hold * 1000.0f;
  text_format(label, sizeof label, "%.0FDB / %.0FMS", p.threshold * 80.0f - 80.0f, hold_ms);
  const float label_y = line_y - 18.0f - 22.0f > r.y ? line_y - 18.0f - 22.0f : r.y + 4.0f;
  draw_text(c, kStackDisplay, 22, 400, label, r.x + 8, label_y, theme.slot[kSlotThresholdLine]);

  // Gate-out line, dashed.
  const float exit_level = threshold * std::pow(10.0f, (p.exit * 48.0f - 24.0f) / 20.0f);
  float exit_y = std::round(bottom - scope_level_height(exit_level, o, r.h));
  if (std::fabs(exit_y - line_y) <= 2.0f) exit_y = line_y + 3.0f;
  exit_y = std::clamp(exit_y, r.y + 1.0f, bottom - 3.0f);
  int dash_count = 0;
  for (float x = r.x; x < r.x + r.w && dash_count < kScopeDashes; x += 10.0f)
    view->dashes[dash_count++] = Rect{x, exit_y, std::min(6.0f, r.x + r.w - x), 1};
  draw_fill_rects(c, view->dashes, dash_count, theme.slot[kSlotGateOutLine]);
  text_format(label, sizeof label, "GATE OUT %+.0FDB", p.exit * 48.0f - 24.0f);
  const float gate_label_y = exit_y + 4.0f + 14.0f < bottom ? exit_y + 4.0f : exit_y - 10.0f - 11.0f;
  draw_text(c, kStackDisplay, 11, 400, label, r.x + r.w - 112, gate_label_y, theme.slot[kSlotGateOutLine]);

  // Live detector at the right edge.
  const float dh = std::round(scope_level_height(detector, o, r.h));
  if (dh >= 1.0f) draw_fill(c, Rect{r.x + r.w - kDetectorBarW, bottom - dh, kDetectorBarW, dh}, theme.slot[kSlotLiveDetector]);
}

void draw_side_panel(Canvas* c, const Rect& r, float scope_height, const TriggerPositions& p, const Settings& s,
                     int hud_mode) {
  draw_fill(c, r, 0xFF141313);
  draw_fill(c, Rect{r.x, r.y, 1, r.h}, 0xFF2A2727);
  if (r.w < kSideDrawnWidth) return;
  static const char* const kTabs[3] = {"THRES", "TRIG-EQ", "CFG"};
  static const int kKeys[3][4] = {{0, 1, 2, 7}, {8, 9, 10, 11}, {3, 4, 5, 6}};
  const int mode = std::clamp(hud_mode, 0, 2);
  const float tab_w = (r.w - 20.0f) / 3.0f;
  for (int t = 0; t < 3; ++t) {
    const Rect tab{r.x + 6.0f + float(t) * (tab_w + 4.0f), r.y + 6.0f, tab_w, 30.0f};
    const bool on = t == mode;
    draw_rounded(c, tab, 4.0f, on ? 0xFF2A2727 : 0xFF1A1818);
    if (on) draw_fill(c, Rect{tab.x + 8, tab.y + tab.h - 2, tab.w - 16, 2}, 0xFF1F7AF2);
    draw_text_centred(c, kStackDisplay, 16, 400, kTabs[t], tab.x + tab.w * 0.5f, tab.y + tab.h * 0.5f,
                      on ? 0xFFE9E5E2 : 0xFF807C7A);
  }
  const float row_h = std::clamp((scope_height - 54.0f) / 4.0f, 40.0f, 62.0f);
  for (int i = 0; i < 4; ++i) {
    const SliderRow row = slider_row(kKeys[mode][i], p, s);
    const float top = r.y + 50.0f + float(i) * row_h;
    if (top + 38.0f > r.y + r.h) break;
    draw_text(c, kStackDisplay, 16, 400, row.label, r.x + 12, top, 0xFF807C7A);
    const float vw = text_width(c, kStackDisplay, 16, 400, row.value);
    draw_text(c, kStackDisplay, 16, 400, row.value, r.x + r.w - 12 - vw, top, 0xFFE9E5E2);
    const Rect track{r.x + 12, top + 22, r.w - 24, 16};
    draw_rounded(c, track, 3.0f, 0xFF1A1818);
    if (row.fraction > 0) draw_rounded(c, Rect{track.x, track.y, std::max(track.w * row.fraction, 6.0f), track.h}, 3.0f, 0xFF423F3E);
    draw_fill(c, Rect{track.x + std::max(track.w * row.fraction - 2.0f, 0.0f), track.y, 2, track.h}, 0xFFC6C1BE);
  }
}

void draw_tape_strip(Canvas* c, const Rect& r, const CaptureEngine* e, const TakeList& takes, ScopeView* view) {
  draw_fill(c, r, 0xFF1A1818);
  const int64_t head = e->write_head.load(std::memory_order_acquire);
  if (head < 1) {
    draw_text(c, kStackText, 15, 400, "Tape empty - every capture lands here, silence dropped", r.x + 12,
              r.y + r.h / 2 - 11, 0xFF807C7A);
    return;
  }
  const int w = std::clamp(int(r.w), 1, kTapeStripValues);
  const int values = engine_overview(e, w, view->tape);
  Rect* bars = view->tape_bars;
  int count = 0;
  for (int x = 0; x < values; ++x) {
    const float v = std::clamp(view->tape[x], 0.0f, 1.0f);
    const float h = std::floor(std::sqrt(v) * (r.h - 4.0f));
    if (h < 1.0f) continue;
    bars[count++] = Rect{r.x + float(x), r.y + std::floor((r.h - h) * 0.5f), 1, h};
  }
  draw_fill_rects(c, bars, count, 0xFFC6C1BE);
  for (int i = 0; i < takes.take_count; ++i) {
    const int64_t start = takes.takes[i].start;
    if (start < 0 || start >= head) continue;
    const float x = r.x + std::floor(float(double(start) / double(head) * r.w));
    draw_fill(c, Rect{x, r.y, 1, r.h}, 0xFF0D0C0C);
    draw_fill(c, Rect{x, r.y, kTapeTickW, kTapeTickH}, 0xFF1F7AF2);
    draw_fill(c, Rect{x, r.y + r.h - kTapeTickH, kTapeTickW, kTapeTickH}, 0xFF1F7AF2);
  }
  if (e->armed.load(std::memory_order_relaxed) && e->gate_open.load(std::memory_order_relaxed))
    draw_glow(c, Rect{r.x + r.w - 3, r.y, 3, r.h}, 0, 10, 0xFF4D42EB, 0.7f);
  const int64_t play = e->play_head.load(std::memory_order_relaxed);
  const float px = r.x + std::min(float(double(play) / double(head) * r.w), r.w - 1);
  if (e->play_tape.load(std::memory_order_relaxed)) {
    draw_glow(c, Rect{px, r.y, 1, r.h}, 0, 8, 0xFFEBEBEB, 0.6f);
    draw_fill(c, Rect{px, r.y, 1, r.h}, 0xFFEBEBEB);
  } else {
    draw_fill(c, Rect{px, r.y, 1, r.h}, 0xFF807C7A);
  }
}
