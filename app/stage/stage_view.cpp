// The corridor and the stage on the screen.
#include "app/stage/stage_view.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

#include "app/shell/app_state.h"
#include "app/shell/draw_geometry.h"
#include "config/log.h"
#include "platform/clock.h"
#include "platform/text.h"
#include "ui/text.h"
#include "visual/raster.h"

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

// True when `held` (the picture or the pixels) already shows this frame's sky; else remembers this
// sky as the one about to be drawn there. `fold` is the deal's alpha folded into the pixels.
bool sky_unchanged(StageView* s, const StageGeometry& g, StageSkyHeld held, int fold) {
  const int count = g.sky.count;
  const StageVertex* v = g.v + g.sky.first;
  if (count > kStageSkyVertices) {
    s->sky_held = StageSkyHeld::kNowhere;
    return false;
  }
  const size_t bytes = size_t(count) * sizeof(StageVertex);
  if (s->sky_held == held && s->sky_drawn_count == count && s->sky_drawn_fold == fold &&
      std::memcmp(s->sky_drawn, v, bytes) == 0)
    return true;
  std::memcpy(s->sky_drawn, v, bytes);
  s->sky_drawn_count = count;
  s->sky_drawn_fold = fold;
  s->sky_held = held;
  return false;
}

void sky_release(StageView* s) {
  if (s->sky) picture_destroy(s->sky);
  s->sky = nullptr;
  if (s->sky_held == StageSkyHeld::kPicture) s->sky_held = StageSkyHeld::kNowhere;
}

void scale_sky(StageGeometry& g, int want_w, int want_h) {
  const float kx = float(want_w) / float(g.sky_w), ky = float(want_h) / float(g.sky_h);
  for (int i = g.sky.first; i < g.sky.first + g.sky.count; ++i) g.v[i].x *= kx, g.v[i].y *= ky;
}

// The sky into its picture, made (again) when missing or of another size, and drawn again only
// when the sky changed; false when the renderer will not have one, so the sky goes straight onto
// the view. The picture is half the view's size each way: the leaves are soft, and filling it is
// most of the stage's drawing.
bool sky_into_target(Canvas* c, StageView* s, StageGeometry& g) {
  if (s->no_targets) return false;
  const int want_w = std::max(1, g.sky_w / kSkyScaleDown), want_h = std::max(1, g.sky_h / kSkyScaleDown);
  int w = 0, h = 0;
  if (s->sky && (!target_size(s->sky, &w, &h) || w != want_w || h != want_h)) sky_release(s);
  if (!s->sky) s->sky = target_create(c, want_w, want_h);
  if (s->sky && sky_unchanged(s, g, StageSkyHeld::kPicture, -1)) return true;
  if (!s->sky || !target_begin(c, s->sky)) {
    s->no_targets = true;
    sky_release(s);
    log_line("stage: no render targets - the sky is drawn without its deal");
    return false;
  }
  scale_sky(g, want_w, want_h);
  draw_range(c, g, g.sky);
  target_end(c);
  return true;
}

void draw_with_renderer(Canvas* c, const Rect& r, StageView* s) {
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
  draw_unclip(c);
}

// ---- Drawing in memory ----

// The deal's two passes are the same triangles, the first at alpha a0 and the second at full
// alpha: over texels whose alpha t already holds both, 1 - (1 - t a0)(1 - t), the second pass
// alone blends the same at half the cost. Returns a0, or -1 when the passes are not so.
int deal_fold(const StageGeometry& g) {
  const int half = g.pieces.count / 2;
  if (half <= 0 || half % 3 != 0 || g.pieces.count != 2 * half) return -1;
  const StageVertex* first = g.v + g.pieces.first;
  const StageVertex* second = first + half;
  const uint8_t a0 = first[0].a;
  for (int i = 0; i < half; ++i) {
    const StageVertex& p = first[i];
    const StageVertex& q = second[i];
    if (p.x != q.x || p.y != q.y || p.u != q.u || p.v != q.v || p.a != a0 || q.a != 255) return -1;
    if ((p.r & p.g & p.b & q.r & q.g & q.b) != 255) return -1;
  }
  return a0;
}

void fold_alpha(const RasterImage& sky, int a0) {
  uint32_t folded[256];
  for (uint32_t t = 0; t < 256; ++t) {
    const uint32_t first = (t * uint32_t(a0) + 127) / 255;
    folded[t] = (255 - ((255 - first) * (255 - t) + 127) / 255) << 24;
  }
  for (int y = 0; y < sky.h; ++y) {
    uint32_t* row = sky.px + size_t(y) * size_t(sky.pitch);
    for (int x = 0; x < sky.w; ++x) row[x] = (row[x] & 0x00FFFFFFu) | folded[row[x] >> 24];
  }
}

// The sky's pixels at the picture's size, made again only when they no longer fit (a view
// sliding wider each frame); false when there is no memory for them.
bool sky_pixels_fit(StageView* s, int w, int h) {
  if (s->sky_pixels && s->sky_pixels_w == w && s->sky_pixels_h == h) return true;
  if (s->sky_held == StageSkyHeld::kPixels) s->sky_held = StageSkyHeld::kNowhere;
  const size_t need = size_t(w) * size_t(h);
  if (!s->sky_pixels || s->sky_pixels_cap < need) {
    delete[] s->sky_pixels;
    s->sky_pixels_cap = need + need / 4;
    s->sky_pixels = new (std::nothrow) uint32_t[s->sky_pixels_cap];
  }
  const bool made = s->sky_pixels != nullptr;
  s->sky_pixels_w = made ? w : 0;
  s->sky_pixels_h = made ? h : 0;
  if (!made) s->sky_pixels_cap = 0;
  return made;
}

// The stage filled on the CPU over the view read back, where the renderer draws in memory; false
// when it does not or the view cannot be read back (the renderer then draws it).
bool draw_in_memory(Canvas* c, const Rect& r, StageView* s, bool walls_only) {
  if (s->no_layer || !pixel_layer_suits(c->renderer)) return false;
  StageGeometry& g = s->vis.geometry;
  if (g.count <= 0) return true;  // a view too small for the stage: nothing to read back for
  // The view as the clip rounds it, on the output.
  const int x0 = std::max(0, int(std::floor(r.x))), y0 = std::max(0, int(std::floor(r.y)));
  const int x1 = std::min(c->w, int(std::ceil(r.x + r.w))), y1 = std::min(c->h, int(std::ceil(r.y + r.h)));
  if (x1 <= x0 || y1 <= y0) return true;
  const bool dealt = !walls_only && g.sky_w > 0 && g.sky_h > 0;
  const int sky_w = std::max(1, g.sky_w / kSkyScaleDown), sky_h = std::max(1, g.sky_h / kSkyScaleDown);
  // Refused, the frame goes to the renderer and the next tries again (a resize may have caught
  // the read between sizes); the refusal is logged once.
  const bool fits = !dealt || sky_pixels_fit(s, sky_w, sky_h);
  if (!fits || !pixel_layer_read(c->renderer, &s->layer, x0, y0, x1 - x0, y1 - y0)) {
    if (!s->layer_refused)
      log_line(fits ? "stage: the view cannot be read back - the renderer draws the stage"
                    : "stage: no memory for the sky's pixels - the renderer draws the stage");
    s->layer_refused = true;
    return false;
  }
  const RasterImage view{s->layer.pixels, x1 - x0, y1 - y0, s->layer.pitch};
  auto fill = [&](const VertexRange& range, const RasterImage* texture) {
    raster_triangles(view, float(x0), float(y0), g.v + range.first, range.count, texture);
  };
  fill(g.walls, nullptr);
  if (dealt) {
    const RasterImage sky{s->sky_pixels, sky_w, sky_h, sky_w};
    const int fold = deal_fold(g);
    if (!sky_unchanged(s, g, StageSkyHeld::kPixels, fold)) {
      std::fill(sky.px, sky.px + size_t(sky_w) * size_t(sky_h), 0u);
      scale_sky(g, sky_w, sky_h);
      raster_triangles(sky, 0.0f, 0.0f, g.v + g.sky.first, g.sky.count, nullptr);
      if (fold >= 0) fold_alpha(sky, fold);
    }
    if (fold >= 0) fill(VertexRange{g.pieces.first + g.pieces.count / 2, g.pieces.count / 2}, &sky);
    else fill(g.pieces, &sky);
  }
  fill(g.floor, nullptr);
  fill(g.lights, nullptr);
  pixel_layer_write(c->renderer, &s->layer);
  return true;
}

void draw_label(Canvas* c, const Rect& r, const StageLabel& label) {
  if (!label.text[0]) return;
  draw_clip(c, r);
  const float w = text_width(c, kStackDisplay, label.text_size, 400, label.text);
  draw_fill(c, Rect{label.x, label.y, std::round(w + label.box_pad), label.box_h}, label.box_colour);
  draw_text(c, kStackDisplay, label.text_size, 400, label.text, label.x + label.box_pad * 0.5f, label.y + 2.0f,
            label.text_colour);
  draw_unclip(c);
}

void draw_stage(Canvas* c, const Rect& r, StageView* s) {
  if (!draw_in_memory(c, r, s, false)) draw_with_renderer(c, r, s);
  draw_label(c, r, s->vis.geometry.label);
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
  if (g.walls.count <= 0 || draw_in_memory(c, r, s, true)) return;
  draw_clip(c, r);
  draw_range(c, g, g.walls);
  draw_unclip(c);
}

void stage_view_release(StageView* s) {
  sky_release(s);
  pixel_layer_release(&s->layer);
  delete[] s->sky_pixels;
  s->sky_pixels = nullptr;
  s->sky_pixels_w = s->sky_pixels_h = 0;
  s->sky_pixels_cap = 0;
  s->sky_held = StageSkyHeld::kNowhere;
}
