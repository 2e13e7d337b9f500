// The corridor and the stage on the screen.
#include "app/stage/stage_view.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "app/shell/app_state.h"
#include "app/shell/draw_geometry.h"
#include "config/log.h"
#include "platform/clock.h"
#include "platform/text.h"
#include "ui/text.h"

namespace {

constexpr int kSkyScaleDown = 2;

StageColours stage_colours(const Theme& th) {
  StageColours k{};
  k.corridor_top = th.slot[kSlotCorridorTop];
  k.corridor_bottom = th.slot[kSlotCorridorBottom];
  k.sky_first = th.slot[kSlotSkyFirst];
  k.sky_second = th.slot[kSlotSkySecond];
  k.floor = th.slot[kSlotFloorColour];
  k.spotlights = th.slot[kSlotStageSpotlights];
  k.background = th.slot[kSlotVisualBackground];
  return k;
}

VisualInput visual_input(const AppState* app, const Rect& r) {
  const Player& p = app->player;
  VisualInput in{};
  in.x = r.x, in.y = r.y, in.w = r.w, in.h = r.h;
  in.now_s = double(mono_ns()) / 1e9;
  in.tick_ms = tick_ms();
  in.input = &app->input_spectrum;
  in.library = p.spectrum.get();
  in.library_playing = player_is_playing(&p);
  in.wall_source = app->settings.wall_source;
  in.tempo = &p.tempo;
  in.play_s = player_playhead(&p) * player_seconds(&p);
  in.frozen = app->reduce_motion;
  in.colours = stage_colours(app->theme);
  return in;
}

void draw_range(Canvas* c, const StageGeometry& g, const VertexRange& range, SDL_Texture* texture = nullptr) {
  draw_vertices(c, g.v + range.first, range.count, texture);
}

// The sky into its picture, made (again) when missing or of another size; false when the
// renderer will not have one, so the sky goes straight onto the view. The picture is half the
// view's size each way: the leaves are soft, and filling it is most of the stage's drawing.
bool sky_into_target(Canvas* c, StageView* s, StageGeometry& g) {
  if (s->no_targets) return false;
  const int want_w = std::max(1, g.sky_w / kSkyScaleDown), want_h = std::max(1, g.sky_h / kSkyScaleDown);
  int w = 0, h = 0;
  if (s->sky && (!target_size(s->sky, &w, &h) || w != want_w || h != want_h)) stage_view_release(s);
  if (!s->sky) s->sky = target_create(c, want_w, want_h);
  if (!s->sky || !target_begin(c, s->sky)) {
    s->no_targets = true;
    stage_view_release(s);
    log_line("stage: no render targets - the sky is drawn without its deal");
    return false;
  }
  const float kx = float(want_w) / float(g.sky_w), ky = float(want_h) / float(g.sky_h);
  for (int i = g.sky.first; i < g.sky.first + g.sky.count; ++i) g.v[i].x *= kx, g.v[i].y *= ky;
  draw_range(c, g, g.sky);
  target_end(c);
  return true;
}

void draw_stage(Canvas* c, const Rect& r, StageView* s) {
  StageGeometry& g = s->vis.geometry;
  const bool dealt = g.sky_w > 0 && g.sky_h > 0 && sky_into_target(c, s, g);
  draw_clip(c, r);
  draw_range(c, g, g.walls);
  if (dealt) {
    draw_range(c, g, g.pieces, s->sky);
  } else {
    // The sky's own space starts at the view's corner.
    for (int i = g.sky.first; i < g.sky.first + g.sky.count; ++i) g.v[i].x += r.x, g.v[i].y += r.y;
    draw_range(c, g, g.sky);
  }
  draw_range(c, g, g.floor);
  draw_range(c, g, g.lights);
  const StageLabel& label = g.label;
  if (label.text[0]) {
    const float w = text_width(c, kStackDisplay, label.text_size, 400, label.text);
    draw_fill(c, Rect{label.x, label.y, std::round(w + label.box_pad), label.box_h}, label.box_colour);
    draw_text(c, kStackDisplay, label.text_size, 400, label.text, label.x + label.box_pad * 0.5f, label.y + 2.0f,
              label.text_colour);
  }
  draw_unclip(c);
}

}  // namespace

void draw_stage_with(Canvas* c, const Rect& r, StageView* s, const VisualInput& in) {
  if (!s->ready) {
    visual_reset(&s->vis);
    s->ready = true;
  }
  visual_build_stage(&s->vis, in);
  draw_stage(c, r, s);
}

bool stage_showing(const AppState* app) { return player_is_playing(&app->player); }

void draw_scope_backdrop(Canvas* c, const Rect& r, AppState* app) {
  StageView* s = &app->stage;
  if (!s->ready) {
    visual_reset(&s->vis);
    s->ready = true;
  }
  const VisualInput in = visual_input(app, r);
  const bool showing = stage_showing(app);
  if (showing != s->was_showing) log_line(showing ? "stage: up while the library plays" : "stage: down");
  s->was_showing = showing;
  if (showing) {
    draw_stage_with(c, r, s, in);
    // A finished tempo and key goes into the log once (not the analysis' progress).
    const char* label = s->vis.geometry.label.text;
    if (label[0] && strncmp(label, "TEMPO", 5) != 0 && strcmp(label, s->label_logged) != 0) {
      text_copy(s->label_logged, label);
      log_line("stage: %s", label);
    }
    return;
  }
  // With the waterfall off the scope stands plain, and the inputs' ring is not fed either.
  if (app->settings.scope_fall_off != 0) return;
  visual_build_walls(&s->vis, in);
  const StageGeometry& g = s->vis.geometry;
  if (g.walls.count <= 0) return;
  draw_clip(c, r);
  draw_range(c, g, g.walls);
  draw_unclip(c);
}

void stage_view_release(StageView* s) {
  if (s->sky) picture_destroy(s->sky);
  s->sky = nullptr;
}
