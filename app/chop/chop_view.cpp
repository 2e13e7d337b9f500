// The chop view and the chop buttons.
#include "app/chop/chop_view.h"

#include <algorithm>
#include <cmath>

#include "app/scope/scope_draw.h"
#include "app/scope/scope_view.h"
#include "app/shell/app_state.h"
#include "app/shell/theme.h"
#include "platform/text.h"
#include "ui/text.h"

namespace {

constexpr int kHeadlineSize = 32;
constexpr int kNameSize = 16;
constexpr int kStripTextSize = 16;
constexpr float kStripTextInset = 10.0f;
constexpr uint32_t kTopStripFill = 0xB80D0C0C;  // over the bars, so a loud file still shows under it
constexpr float kReadingTrackH = 6.0f;
constexpr float kButtonInset = 3.0f;            // each side of a chop button in its cell
constexpr float kButtonRadius = 5.0f;
constexpr int kButtonTextSize = 16;
constexpr int kButtonWeight = 700;

// The word and the name under it, centred in the view; returns the name's bottom.
float draw_centred_lines(Canvas* c, const Rect& r, const ChopViewText& t) {
  const float cx = r.x + r.w * 0.5f;
  const float cy = r.y + r.h * 0.5f;
  draw_text_centred(c, kStackDisplay, kHeadlineSize, 400, t.headline, cx, cy - 16.0f, t.headline_colour);
  draw_text_centred(c, kStackText, kNameSize, 400, t.file_name, cx, cy + 14.0f, kColourGrey);
  return cy + 24.0f;
}

// The indeterminate bar: a track a third of the view wide with a slider a twelfth wide passing
// across it 0.8 times a second.
void draw_reading_bar(Canvas* c, const Rect& r, float top, float phase) {
  const Rect track{std::round(r.x + r.w / 3.0f), std::round(top + 12.0f), std::round(r.w / 3.0f), kReadingTrackH};
  draw_rounded(c, track, 3.0f, kColourSurface);
  const float w = std::round(r.w / 12.0f);
  const float x = std::round(track.x + phase * std::max(track.w - w, 0.0f));
  draw_rounded(c, Rect{x, track.y, w, track.h}, 3.0f, kColourOrange);
}

void draw_top_strip(Canvas* c, const Rect& r, const ChopViewText& t) {
  const Rect strip{r.x, r.y, r.w, std::min(kChopTopStripH, r.h)};
  draw_fill(c, strip, kTopStripFill);
  const float cy = strip.y + strip.h * 0.5f;
  const float figures_w = text_width(c, kStackDisplay, kStripTextSize, 400, t.figures);
  const float figures_x = strip.x + strip.w - kStripTextInset - figures_w;
  draw_text_centred(c, kStackDisplay, kStripTextSize, 400, t.figures, figures_x + figures_w * 0.5f, cy, kColourLight);
  // The name gives way to the figures in a narrow view.
  const float name_w = text_width(c, kStackText, kNameSize, 400, t.file_name);
  if (strip.x + kStripTextInset + name_w < figures_x - kStripTextInset)
    draw_text_centred(c, kStackText, kNameSize, 400, t.file_name, strip.x + kStripTextInset + name_w * 0.5f, cy,
                      kColourSilver);
}

void draw_envelope(Canvas* c, const Rect& r, AppState* app) {
  ChopJob& job = app->chop;
  ChopView& v = app->chop_view;
  const int w = std::clamp(int(r.w), 1, kChopMaxColumns);
  const float* columns = chop_columns(&job, w);
  if (!columns) return;
  const TriggerPositions& p = app->sliders;
  const float o = scope_display_gain(p.scale, app->scope.fit);
  const float gain = chop_cut_from_positions(p).gain;
  const float bottom = r.y + r.h;

  for (int i = 0; i < job.take_count; ++i) {
    int first = 0, end = 0;
    chop_take_columns(job.takes[i].start, job.takes[i].end, job.block_count, w, &first, &end);
    v.spans[i] = Rect{r.x + float(first), r.y, float(end - first), r.h};
    v.ticks[i] = Rect{r.x + float(first), r.y, 1.0f, kChopTickH};
  }
  draw_fill_rects(c, v.spans, job.take_count, kChopSpanShade);

  int count[2] = {};
  int take = 0, take_first = 0, take_end = 0;
  if (job.take_count > 0) chop_take_columns(job.takes[0].start, job.takes[0].end, job.block_count, w, &take_first, &take_end);
  for (int k = 0; k < w; ++k) {
    while (take < job.take_count && k >= take_end) {
      if (++take < job.take_count)
        chop_take_columns(job.takes[take].start, job.takes[take].end, job.block_count, w, &take_first, &take_end);
    }
    const bool inside = take < job.take_count && k >= take_first;
    const float h = std::round(scope_level_height(gain * columns[k], o, r.h));
    if (h < 1.0f) continue;
    v.bars[inside][count[inside]++] = Rect{r.x + float(k), bottom - h, 1.0f, h};
  }
  draw_fill_rects(c, v.bars[0], count[0], kChopBarOutside);
  draw_fill_rects(c, v.bars[1], count[1], kChopBarInTake);

  const float line_y = draw_threshold_line(c, r, app, o, false, false);
  char label[24];
  text_format(label, sizeof label, "%.0FDB", p.threshold * 80.0f - 80.0f);
  draw_threshold_label(c, r, app, label, line_y);
  draw_gate_out_line(c, r, app, o, line_y);
}

}  // namespace

void chop_view_text(const ChopJob* job, ChopViewText* out) {
  ChopViewText& t = *out;
  t = ChopViewText{};
  t.file_name = chop_file_name(job->source_path);
  t.headline_colour = kColourLight;
  switch (chop_state(job)) {
    case kChopReading: text_copy(t.headline, "READING"); break;
    case kChopFailed:
      text_copy(t.headline, job->message);
      t.headline_colour = kChopFailedText;
      break;
    case kChopReady: chop_header_text(job, t.figures, sizeof t.figures); break;
  }
}

void chop_take_columns(int start, int end, int n, int w, int* first, int* last_exclusive) {
  if (n <= 0 || w <= 0) {
    *first = *last_exclusive = 0;
    return;
  }
  // Column k holds blocks [k n / w, (k + 1) n / w): a take covers the columns holding any of its blocks.
  const int64_t a = std::clamp<int64_t>(int64_t(start) * w / n, 0, w - 1);
  const int64_t b = std::clamp<int64_t>((int64_t(end) * w + n - 1) / n, a + 1, w);
  *first = int(a);
  *last_exclusive = int(b);
}

void draw_chop_view(Canvas* c, const Rect& r, AppState* app, uint32_t now_ms) {
  ChopJob& job = app->chop;
  draw_fill(c, r, scope_background(app->theme));
  if (r.w < 2 || r.h < 8) return;
  // The cut follows the sliders on every frame (it is memoised: unchanged sliders cost nothing).
  cut_takes(&job, app->sliders);
  ChopViewText t;
  chop_view_text(&job, &t);
  switch (chop_state(&job)) {
    case kChopReading: {
      const float below = draw_centred_lines(c, r, t);
      draw_reading_bar(c, r, below, chop_reading_phase(&job, now_ms));
      break;
    }
    case kChopFailed: draw_centred_lines(c, r, t); break;
    case kChopReady:
      draw_envelope(c, r, app);
      draw_top_strip(c, r, t);
      draw_fill_rects(c, app->chop_view.ticks, job.take_count, kColourOrange);
      break;
  }
}

Rect chop_button_rect(const MainLayout& l, int button) {
  const Rect& s = l.button_strip;
  const float split = std::round(s.w * 2.0f / 3.0f);
  const float x = button == kChopMake ? s.x : s.x + split;
  const float w = button == kChopMake ? split : s.w - split;
  return Rect{x + kButtonInset, s.y, std::max(w - 2.0f * kButtonInset, 0.0f), s.h};
}

int chop_button_at(const MainLayout& l, float x, float y) {
  for (int b = 0; b < kChopButtons; ++b)
    if (chop_button_rect(l, b).contains(x, y)) return b;
  return -1;
}

ChopButtonLook chop_button_look(const ChopJob* job, int button) {
  ChopButtonLook b{};
  if (button == kChopCancel) {
    text_copy(b.label, "CANCEL");
    b.active = true;
    b.fill = kColourSurface;
    b.text = kColourLight;
    return b;
  }
  b.active = chop_make_button(job, b.label, sizeof b.label);
  b.fill = b.active ? kColourOrange : kColourSurface;
  b.text = b.active ? kColourInk : kColourGrey;
  return b;
}

void draw_chop_buttons(Canvas* c, const AppState* app) {
  const MainLayout& l = app->ui.layout;
  for (int i = 0; i < kChopButtons; ++i) {
    const ChopButtonLook b = chop_button_look(&app->chop, i);
    const Rect r = chop_button_rect(l, i);
    if (r.w < 2 || r.h < 2) continue;
    if (b.active && i == kChopMake) draw_glow(c, r, kButtonRadius, 10.0f, b.fill, 0.35f * 0.45f);
    draw_rounded(c, r, kButtonRadius, b.fill);
    const float hover = b.active ? app->chop_view.hover[i] : 0.0f;
    if (hover > 0.01f) {
      draw_outline(c, r, colour_fade(i == kChopMake ? kColourBright : kColourSilver, hover * 0.1f));
      draw_fill(c, Rect{r.x + kButtonRadius, r.y + r.h - 2, r.w - 2 * kButtonRadius, 2},
                colour_mix(b.fill, kColourSilver, hover));
    }
    draw_text_centred(c, kStackDisplay, kButtonTextSize, kButtonWeight, b.label, r.x + r.w * 0.5f, r.y + r.h * 0.5f,
                      b.text);
  }
}
