// The player pane.
#include "app/drawer/player_view.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "app/shell/app_state.h"
#include "app/shell/theme.h"
#include "platform/text.h"
#include "ui/text.h"

namespace {

constexpr uint32_t kPaneFill = 0xFF111010;
constexpr uint32_t kWaveFill = 0xFF0D0C0C;
constexpr uint32_t kWaveAhead = 0xFF6B6766;    // the waveform after the playhead
constexpr uint32_t kRegionShade = 0x331F7AF2;  // the loop region, orange at a fifth
constexpr uint32_t kSpanFill = 0x40C6C1BE;
constexpr uint32_t kOverview = 0xFF4A4646;
constexpr int kNameSize = 16;
constexpr int kLineSize = 16;

// Largest of peaks [first, end) of the 1024, at least one.
float peak_over(const float* wave, double f0, double f1) {
  int a = int(std::floor(f0 * kWavePeaks));
  int b = int(std::ceil(f1 * kWavePeaks));
  a = std::clamp(a, 0, kWavePeaks - 1);
  b = std::clamp(std::max(b, a + 1), a + 1, kWavePeaks);
  float m = 0;
  for (int i = a; i < b; ++i) m = std::max(m, wave[i]);
  return m;
}

// A right-pointing triangle or two pause bars, centred in r.
void draw_play_glyph(Canvas* c, const Rect& r, bool playing, uint32_t ink, Rect* scratch) {
  const float cx = std::round(r.x + r.w * 0.5f), cy = std::round(r.y + r.h * 0.5f);
  if (playing) {
    draw_fill(c, Rect{cx - 5, cy - 6, 3, 12}, ink);
    draw_fill(c, Rect{cx + 2, cy - 6, 3, 12}, ink);
    return;
  }
  constexpr int kW = 10;
  for (int i = 0; i < kW; ++i) {
    const float half = 6.0f * float(kW - i) / float(kW);
    scratch[i] = Rect{cx - 3 + float(i), std::round(cy - half), 1, std::max(std::round(2 * half), 1.0f)};
  }
  draw_fill_rects(c, scratch, kW, ink);
}

void draw_wave(Canvas* c, const Rect& w, AppState* app) {
  const Player& p = app->player;
  Rect* played = app->drawer_ui.bars[0];
  Rect* ahead = app->drawer_ui.bars[1];
  const int columns = std::clamp(int(w.w), 0, kDrawerScratch);
  const double head = player_playhead(&p);
  const float mid = w.y + w.h * 0.5f, half = w.h * 0.5f - 2;
  int np = 0, na = 0;
  for (int k = 0; k < columns; ++k) {
    const double f0 = p.view_start + double(k) / double(columns) * p.zoom;
    const double f1 = p.view_start + double(k + 1) / double(columns) * p.zoom;
    const float h = std::max(std::round(peak_over(p.wave, f0, f1) * half), 0.5f);
    const Rect bar{w.x + float(k), mid - h, 1, std::max(2 * h, 1.0f)};
    if (f1 <= head) played[np++] = bar;
    else ahead[na++] = bar;
  }
  draw_fill_rects(c, played, np, kColourLight);
  draw_fill_rects(c, ahead, na, kWaveAhead);
}

void draw_markers(Canvas* c, const PaneLayout& l, const Player& p) {
  double start = 0, end = 1;
  const bool region = player_region(&p, p.current_path, &start, &end);
  const Rect& w = l.wave;
  const float xs = pane_x_of(l, p, start), xe = pane_x_of(l, p, end);
  if (region) {
    const float a = std::max(xs, w.x), b = std::min(xe, w.x + w.w);
    if (b > a) draw_fill(c, Rect{a, w.y, b - a, w.h}, kRegionShade);
  }
  // The markers stand at the file's ends while no region is set; each has a flag to take it by.
  const uint32_t ink = region ? kColourOrange : kColourDim;
  for (int m = 0; m < 2; ++m) {
    const float x = std::round(m == 0 ? xs : xe - 1);
    if (x < w.x - 1 || x > w.x + w.w) continue;
    draw_fill(c, Rect{x, w.y, 1, w.h}, ink);
    draw_fill(c, Rect{m == 0 ? x : x - 5, w.y, 6, 5}, ink);
  }
}

void draw_zoom_bar(Canvas* c, const PaneLayout& l, AppState* app) {
  const Player& p = app->player;
  const Rect& z = l.zoom;
  draw_fill(c, z, kColourSurface);
  Rect* bars = app->drawer_ui.bars[0];
  const int columns = std::clamp(int(z.w), 0, kDrawerScratch);
  for (int k = 0; k < columns; ++k) {
    const float h = std::max(std::round(peak_over(p.wave, double(k) / columns, double(k + 1) / columns) * z.h), 1.0f);
    bars[k] = Rect{z.x + float(k), z.y + z.h - h, 1, h};
  }
  draw_fill_rects(c, bars, columns, kOverview);
  const Rect span = zoom_span_rect(l, p);
  draw_fill(c, span, kSpanFill);
  draw_outline(c, span, kColourSilver);
  const float head = z.x + std::round(float(player_playhead(&p)) * z.w);
  draw_fill(c, Rect{std::min(head, z.x + z.w - 1), z.y, 1, z.h}, kColourBright);
}

void draw_gain(Canvas* c, const PaneLayout& l, const Player& p) {
  char label[32];
  text_format(label, sizeof label, "GAIN %d%%", int(std::lround(p.gain * 100.0f)));
  const float lw = text_width(c, kStackDisplay, kLineSize, 400, label);
  draw_text_centred(c, kStackDisplay, kLineSize, 400, label, l.gain_label.x + l.gain_label.w - lw * 0.5f,
                    l.gain_label.y + l.gain_label.h * 0.5f, kColourGrey);
  draw_rounded(c, l.gain, 4.0f, kColourSurface);
  const float fill = std::round(std::clamp(p.gain, 0.0f, 1.0f) * l.gain.w);
  if (fill >= 1) draw_rounded(c, Rect{l.gain.x, l.gain.y, std::max(fill, 8.0f), l.gain.h}, 4.0f, kColourSilver);
  const float thumb = std::clamp(l.gain.x + fill - 3, l.gain.x, l.gain.x + l.gain.w - 6);
  draw_rounded(c, Rect{thumb, l.gain.y - 4, 6, l.gain.h + 8}, 2.0f, kColourBright);
}

}  // namespace

void format_play_time(double seconds, char* out, size_t cap) {
  if (!(seconds > 0)) seconds = 0;
  const double tenths = std::round(seconds * 10.0) / 10.0;
  const int minutes = int(tenths / 60.0);
  text_format(out, cap, "%d:%04.1F", minutes, tenths - 60.0 * minutes);
}

void pane_line(const AppState* app, char* out, size_t cap) {
  const bool can_sound = app->engine.dev.duplex != 0;
  if (app->drawer.drawer_tab == kDrawerFilesTab) player_pane_text(&app->player, true, can_sound, out, cap);
  else library_pane_text(&app->drawer, &app->recorder, &app->player, can_sound, out, cap);
}

void draw_player_pane(Canvas* c, const PaneLayout& l, AppState* app) {
  const Player& p = app->player;
  const Rect& r = l.pane;
  if (r.h < 1) return;
  draw_fill(c, r, kPaneFill);
  draw_fill(c, Rect{r.x, r.y, r.w, 1}, kColourRule);
  const bool audio = player_has_audio(&p);
  const bool playing = player_is_playing(&p);

  // Play button, name and time.
  draw_rounded(c, l.play, l.play.w * 0.5f, playing ? kColourOrange : kColourSurface);
  draw_play_glyph(c, l.play, playing, playing ? kColourInk : (audio ? kColourLight : kColourGrey),
                  app->drawer_ui.bars[1]);
  const float mid = l.title.y + l.title.h * 0.5f;
  char time[48] = "";
  if (audio) {
    char at[16], all[16];
    format_play_time(player_playhead(&p) * player_seconds(&p), at, sizeof at);
    format_play_time(player_seconds(&p), all, sizeof all);
    text_format(time, sizeof time, "%s / %s", at, all);
  }
  const float time_w = time[0] ? text_width(c, kStackDisplay, kNameSize, 400, time) : 0.0f;
  if (time[0])
    draw_text_centred(c, kStackDisplay, kNameSize, 400, time, l.title.x + l.title.w - time_w * 0.5f, mid,
                      playing ? kColourLight : kColourGrey);
  if (p.current_path[0]) {
    const char* slash = strrchr(p.current_path, '/');
    const char* name = slash ? slash + 1 : p.current_path;
    draw_clip(c, Rect{l.title.x, l.title.y, std::max(l.title.w - time_w - 16, 0.0f), l.title.h});
    const TextEntry* e = text_entry(c, kStackText, kNameSize, 400, name);
    const float ink_mid = e->ink_bottom > e->ink_top ? 0.5f * float(e->ink_top + e->ink_bottom) : 8.0f;
    draw_text(c, kStackText, kNameSize, 400, name, l.title.x, std::round(mid - ink_mid), kColourSilver);
    draw_clip(c, app->ui.layout.drawer);
  }

  // The waveform of the view.
  draw_fill(c, l.wave, kWaveFill);
  if (audio) {
    draw_markers(c, l, p);
    draw_wave(c, l.wave, app);
    const float head = pane_x_of(l, p, player_playhead(&p));
    if (head >= l.wave.x && head < l.wave.x + l.wave.w)
      draw_fill(c, Rect{std::round(head), l.wave.y, 2, l.wave.h}, kColourBright);
    if (p.decoding) {
      // A long file plays while it is read: how far the reading has come.
      const int64_t frames = playback_frames(&p.engine);
      const float f = frames > 0 ? float(double(playback_ready_frames(&p.engine)) / double(frames)) : 0.0f;
      draw_fill(c, Rect{l.wave.x, l.wave.y + l.wave.h - 2, std::round(std::clamp(f, 0.0f, 1.0f) * l.wave.w), 2},
                kColourOrange);
    }
  }
  if (audio) draw_zoom_bar(c, l, app);
  else draw_fill(c, l.zoom, kColourSurface);

  // LOOP, the pane's line, the gain.
  draw_rounded(c, l.loop, 4.0f, p.loop ? kColourOrange : kColourSurface);
  draw_text_centred(c, kStackDisplay, kLineSize, 400, "LOOP", l.loop.x + l.loop.w * 0.5f, l.loop.y + l.loop.h * 0.5f,
                    p.loop ? kColourInk : kColourGrey);
  char line[kDrawerTextBytes];
  pane_line(app, line, sizeof line);
  if (line[0] && l.text.w > 0) {
    const bool warn = app->engine.dev.duplex == 0;
    draw_clip(c, l.text);
    const float w = text_width(c, kStackDisplay, kLineSize, 400, line);
    draw_text_centred(c, kStackDisplay, kLineSize, 400, line, l.text.x + w * 0.5f, l.text.y + l.text.h * 0.5f,
                      warn ? kColourOrange : kColourSilver);
    draw_clip(c, app->ui.layout.drawer);
  }
  draw_gain(c, l, p);
}
