// Drawing primitives on SDL_RenderFillRectF and SDL_RenderGeometry (rounded boxes and glows are
// triangle fans and strips with per-vertex alpha, which the software renderer also draws).
#include "app/shell/draw.h"

#include <SDL.h>

#include <algorithm>
#include <cmath>

#include "ui/text.h"

namespace {

constexpr int kCornerSteps = 6;                        // segments per rounded corner
constexpr int kRimPoints = 4 * (kCornerSteps + 1);     // points around a rounded box
constexpr float kHalfPi = 1.57079632679f;
constexpr int kFillBatch = 512;                        // boxes handed to SDL per call
constexpr int kStripMin = 16, kStripMax = 128;         // box widths filled as strips in memory

SDL_Color sdl_colour(uint32_t c, float alpha_scale = 1.0f) {
  const float a = std::clamp(float(c >> 24) * alpha_scale, 0.0f, 255.0f);
  return SDL_Color{Uint8(c & 0xFF), Uint8((c >> 8) & 0xFF), Uint8((c >> 16) & 0xFF), Uint8(std::lround(a))};
}

// Opaque colours are drawn without blending: the software renderer fills them far faster.
void set_draw_colour(Canvas* c, uint32_t colour) {
  const SDL_Color k = sdl_colour(colour);
  SDL_SetRenderDrawBlendMode(c->renderer, k.a == 255 ? SDL_BLENDMODE_NONE : SDL_BLENDMODE_BLEND);
  SDL_SetRenderDrawColor(c->renderer, k.r, k.g, k.b, k.a);
}

// SDL's software renderer at its own scale (boxes cut into strips land where the whole would).
bool strips_pay(SDL_Renderer* r) {
  SDL_RendererInfo info{};
  float sx = 0, sy = 0;
  SDL_RenderGetScale(r, &sx, &sy);
  return SDL_GetRendererInfo(r, &info) == 0 && (info.flags & SDL_RENDERER_SOFTWARE) != 0 && sx == 1.0f && sy == 1.0f;
}

// Geometry carries its alpha per vertex: always blended.
void set_geometry_blend(Canvas* c) { SDL_SetRenderDrawBlendMode(c->renderer, SDL_BLENDMODE_BLEND); }

// Points around the box r grown by `grow`, corners of radius corner + grow, clockwise from the
// top-right corner's top.
void rim(const Rect& r, float corner, float grow, SDL_FPoint* out) {
  corner = std::clamp(corner, 0.0f, std::min(r.w, r.h) * 0.5f);
  const float rad = corner + grow;
  const SDL_FPoint centres[4] = {
      {r.x + r.w - corner, r.y + corner},
      {r.x + r.w - corner, r.y + r.h - corner},
      {r.x + corner, r.y + r.h - corner},
      {r.x + corner, r.y + corner},
  };
  int n = 0;
  for (int k = 0; k < 4; ++k) {
    const float start = -kHalfPi + kHalfPi * float(k);
    for (int s = 0; s <= kCornerSteps; ++s) {
      const float a = start + kHalfPi * float(s) / kCornerSteps;
      out[n++] = SDL_FPoint{centres[k].x + std::cos(a) * rad, centres[k].y + std::sin(a) * rad};
    }
  }
}

SDL_Vertex vertex(SDL_FPoint p, SDL_Color c) { return SDL_Vertex{p, c, SDL_FPoint{0, 0}}; }

// A ring between two rims, colour fading from inner to outer.
void ring(Canvas* c, const SDL_FPoint* inner, const SDL_FPoint* outer, SDL_Color ci, SDL_Color co) {
  SDL_Vertex v[2 * kRimPoints];
  int idx[6 * kRimPoints];
  for (int i = 0; i < kRimPoints; ++i) {
    v[2 * i] = vertex(inner[i], ci);
    v[2 * i + 1] = vertex(outer[i], co);
  }
  int n = 0;
  for (int i = 0; i < kRimPoints; ++i) {
    const int j = (i + 1) % kRimPoints;
    const int a = 2 * i, b = 2 * i + 1, d = 2 * j, e = 2 * j + 1;
    idx[n++] = a, idx[n++] = b, idx[n++] = e;
    idx[n++] = a, idx[n++] = e, idx[n++] = d;
  }
  set_geometry_blend(c);
  SDL_RenderGeometry(c->renderer, nullptr, v, 2 * kRimPoints, idx, n);
}

void fan(Canvas* c, const Rect& r, const SDL_FPoint* points, SDL_Color colour) {
  SDL_Vertex v[kRimPoints + 1];
  int idx[3 * kRimPoints];
  v[0] = vertex(SDL_FPoint{r.x + r.w * 0.5f, r.y + r.h * 0.5f}, colour);
  for (int i = 0; i < kRimPoints; ++i) v[i + 1] = vertex(points[i], colour);
  int n = 0;
  for (int i = 0; i < kRimPoints; ++i) {
    idx[n++] = 0;
    idx[n++] = 1 + i;
    idx[n++] = 1 + (i + 1) % kRimPoints;
  }
  set_geometry_blend(c);
  SDL_RenderGeometry(c->renderer, nullptr, v, kRimPoints + 1, idx, n);
}

}  // namespace

void draw_clear(Canvas* c, uint32_t colour) {
  set_draw_colour(c, colour | 0xFF000000u);
  SDL_RenderClear(c->renderer);
}

void draw_clip(Canvas* c, const Rect& r) {
  const int x0 = int(std::floor(r.x)), y0 = int(std::floor(r.y));
  const int x1 = int(std::ceil(r.x + r.w)), y1 = int(std::ceil(r.y + r.h));
  const SDL_Rect clip{x0, y0, std::max(x1 - x0, 0), std::max(y1 - y0, 0)};
  SDL_RenderSetClipRect(c->renderer, &clip);
}

void draw_unclip(Canvas* c) { SDL_RenderSetClipRect(c->renderer, nullptr); }

void draw_fill(Canvas* c, const Rect& r, uint32_t colour) {
  if (r.w <= 0 || r.h <= 0 || (colour >> 24) == 0) return;
  if (int(r.w) >= kStripMin && int(r.w) < kStripMax) return draw_fill_rects(c, &r, 1, colour);
  set_draw_colour(c, colour);
  const SDL_FRect f{r.x, r.y, r.w, r.h};
  SDL_RenderFillRectF(c->renderer, &f);
}

void draw_fill_rects(Canvas* c, const Rect* rects, int count, uint32_t colour) {
  if (count <= 0 || (colour >> 24) == 0) return;
  set_draw_colour(c, colour);
  // SDL's software renderer fills a row of 16 to about 128 pixels with streaming stores that
  // straddle cache lines, several times slower than the plain loop it uses for narrower rows:
  // there an opaque box of that width goes as strips. Cut where the renderer would cut (whole
  // pixels, truncated), so the strips cover exactly the box.
  int strips = -1;  // not known yet: asked only when a box is of that width
  SDL_FRect batch[kFillBatch];
  int n = 0;
  auto put = [&](const SDL_FRect& f) {
    if (n == kFillBatch) SDL_RenderFillRectsF(c->renderer, batch, n), n = 0;
    batch[n++] = f;
  };
  for (int i = 0; i < count; ++i) {
    const Rect& r = rects[i];
    const int w = int(r.w);
    if (w >= kStripMin && w < kStripMax && (colour >> 24) == 0xFF) {
      if (strips < 0) strips = strips_pay(c->renderer) ? 1 : 0;
      if (strips) {
        const int x = int(r.x);
        for (int at = 0; at < w; at += kStripMin - 1)
          put(SDL_FRect{float(x + at), r.y, float(std::min(kStripMin - 1, w - at)), r.h});
        continue;
      }
    }
    put(SDL_FRect{r.x, r.y, r.w, r.h});
  }
  if (n) SDL_RenderFillRectsF(c->renderer, batch, n);
}

void draw_line(Canvas* c, float x0, float y0, float x1, float y1, uint32_t colour) {
  set_draw_colour(c, colour);
  SDL_RenderDrawLineF(c->renderer, x0, y0, x1, y1);
}

void draw_outline(Canvas* c, const Rect& r, uint32_t colour) {
  if (r.w < 1 || r.h < 1) return;
  draw_fill(c, Rect{r.x, r.y, r.w, 1}, colour);
  draw_fill(c, Rect{r.x, r.y + r.h - 1, r.w, 1}, colour);
  if (r.h > 2) {
    draw_fill(c, Rect{r.x, r.y + 1, 1, r.h - 2}, colour);
    draw_fill(c, Rect{r.x + r.w - 1, r.y + 1, 1, r.h - 2}, colour);
  }
}

void draw_rounded(Canvas* c, const Rect& r, float radius, uint32_t colour) {
  if (r.w <= 0 || r.h <= 0 || (colour >> 24) == 0) return;
  if (radius < 0.5f) {
    draw_fill(c, r, colour);
    return;
  }
  SDL_FPoint points[kRimPoints];
  rim(r, radius, 0.0f, points);
  if ((colour >> 24) != 0xFF) {
    fan(c, r, points, sdl_colour(colour));
    return;
  }
  // Opaque: the straight parts as boxes and only the corners as triangles. The software renderer
  // walks every triangle's bounding box, and a fan from the centre covers the box many times over.
  const float corner = std::clamp(radius, 0.0f, std::min(r.w, r.h) * 0.5f);
  const Rect boxes[3] = {Rect{r.x + corner, r.y, r.w - 2 * corner, r.h},
                         Rect{r.x, r.y + corner, corner, r.h - 2 * corner},
                         Rect{r.x + r.w - corner, r.y + corner, corner, r.h - 2 * corner}};
  draw_fill_rects(c, boxes, 3, colour);
  const SDL_FPoint centres[4] = {{r.x + r.w - corner, r.y + corner},
                                 {r.x + r.w - corner, r.y + r.h - corner},
                                 {r.x + corner, r.y + r.h - corner},
                                 {r.x + corner, r.y + corner}};
  const SDL_Color k = sdl_colour(colour);
  SDL_Vertex v[4 * (kCornerSteps + 2)];
  int idx[4 * kCornerSteps * 3];
  int nv = 0, ni = 0;
  for (int q = 0; q < 4; ++q) {
    const int centre = nv;
    v[nv++] = vertex(centres[q], k);
    for (int s = 0; s <= kCornerSteps; ++s) v[nv++] = vertex(points[q * (kCornerSteps + 1) + s], k);
    for (int s = 0; s < kCornerSteps; ++s) idx[ni++] = centre, idx[ni++] = centre + 1 + s, idx[ni++] = centre + 2 + s;
  }
  SDL_SetRenderDrawBlendMode(c->renderer, SDL_BLENDMODE_NONE);
  SDL_RenderGeometry(c->renderer, nullptr, v, nv, idx, ni);
}

void draw_glow(Canvas* c, const Rect& r, float corner, float spread, uint32_t colour, float strength) {
  if (r.w <= 0 || r.h <= 0 || strength <= 0.0f || spread <= 0.0f) return;
  strength = std::min(strength, 1.0f);
  SDL_FPoint inner[kRimPoints], mid[kRimPoints], outer[kRimPoints];
  rim(r, corner, 0.0f, inner);
  rim(r, corner, spread * 0.35f, mid);
  rim(r, corner, spread, outer);
  const SDL_Color full = sdl_colour(colour, strength);
  const SDL_Color half = sdl_colour(colour, strength * 0.38f);
  const SDL_Color none = sdl_colour(colour, 0.0f);
  fan(c, r, inner, full);
  ring(c, inner, mid, full, half);
  ring(c, mid, outer, half, none);
}

void draw_fade_up(Canvas* c, const Rect& r, uint32_t colour) {
  if (r.w <= 0 || r.h <= 0) return;
  const SDL_Color bottom = sdl_colour(colour), top = sdl_colour(colour, 0.0f);
  const SDL_Vertex v[4] = {
      vertex(SDL_FPoint{r.x, r.y}, top), vertex(SDL_FPoint{r.x + r.w, r.y}, top),
      vertex(SDL_FPoint{r.x + r.w, r.y + r.h}, bottom), vertex(SDL_FPoint{r.x, r.y + r.h}, bottom)};
  const int idx[6] = {0, 1, 2, 0, 2, 3};
  set_geometry_blend(c);
  SDL_RenderGeometry(c->renderer, nullptr, v, 4, idx, 6);
}

void draw_polyline(Canvas* c, const float* xy, int n, uint32_t colour) {
  if (n < 2) return;
  set_draw_colour(c, colour);
  constexpr int kBatch = 512;
  SDL_FPoint p[kBatch];
  // Batches overlap by one point so the line stays joined.
  for (int start = 0; start < n - 1;) {
    const int m = std::min(n - start, kBatch);
    for (int i = 0; i < m; ++i) p[i] = SDL_FPoint{xy[2 * (start + i)], xy[2 * (start + i) + 1]};
    SDL_RenderDrawLinesF(c->renderer, p, m);
    start += m - 1;
  }
}

SDL_Texture* picture_create(Canvas* c, int w, int h, char* error, size_t cap) {
  // The window's own format where it is a plain 32-bit one: the software renderer then stretches
  // the picture without converting every pixel, about three times faster.
  SDL_Window* window = SDL_RenderGetWindow(c->renderer);
  Uint32 format = window ? SDL_GetWindowPixelFormat(window) : Uint32(SDL_PIXELFORMAT_UNKNOWN);
  if (SDL_BYTESPERPIXEL(format) != 4 || SDL_ISPIXELFORMAT_INDEXED(format) || SDL_ISPIXELFORMAT_FOURCC(format))
    format = SDL_PIXELFORMAT_ABGR8888;
  SDL_Texture* t = SDL_CreateTexture(c->renderer, format, SDL_TEXTUREACCESS_STREAMING, w, h);
  if (!t) {
    if (error && cap) SDL_strlcpy(error, SDL_GetError(), cap);
    return nullptr;
  }
  SDL_SetTextureBlendMode(t, SDL_BLENDMODE_NONE);
  SDL_SetTextureScaleMode(t, SDL_ScaleModeNearest);
  return t;
}

void picture_destroy(SDL_Texture* t) {
  if (t) SDL_DestroyTexture(t);
}

void picture_update(SDL_Texture* t, int x, int y, int w, int h, const uint32_t* texels, int pitch) {
  if (!t || w <= 0 || h <= 0) return;
  const SDL_Rect r{x, y, w, h};
  Uint32 format = 0;
  void* pixels = nullptr;
  int locked_pitch = 0;
  if (SDL_QueryTexture(t, &format, nullptr, nullptr, nullptr) != 0) return;
  if (SDL_LockTexture(t, &r, &pixels, &locked_pitch) != 0) return;
  SDL_ConvertPixels(w, h, SDL_PIXELFORMAT_ABGR8888, texels, pitch * int(sizeof(uint32_t)), format, pixels,
                    locked_pitch);
  SDL_UnlockTexture(t);
}

void picture_draw(Canvas* c, SDL_Texture* t, const Rect& src, const Rect& dst) {
  if (!t || src.w <= 0 || src.h <= 0 || dst.w <= 0 || dst.h <= 0) return;
  const SDL_Rect s{int(src.x), int(src.y), int(src.w), int(src.h)};
  const SDL_FRect d{dst.x, dst.y, dst.w, dst.h};
  SDL_RenderCopyF(c->renderer, t, &s, &d);
}

const TextEntry* text_entry(Canvas* c, int stack, int size, int weight, const char* text) {
  return text_get(c->text, stack, size, weight, text, true);
}

float draw_text(Canvas* c, int stack, int size, int weight, const char* text, float x, float y, uint32_t colour,
                float alpha) {
  const TextEntry* e = text_get(c->text, stack, size, weight, text, true);
  text_draw(c->text, e, x, y, colour, alpha);
  return float(e->advance);
}

float text_at(Canvas* c, int stack, int size, const char* text, float x, float cy, uint32_t colour,
              bool right) {
  if (!text[0]) return 0;
  const TextEntry* e = text_entry(c, stack, size, 400, text);
  const float w = text_width(c, stack, size, 400, text);
  const float ink_mid = e->ink_bottom > e->ink_top ? 0.5f * float(e->ink_top + e->ink_bottom) : float(size) * 0.5f;
  draw_text(c, stack, size, 400, text, std::round(right ? x - w : x), std::round(cy - ink_mid), colour);
  return w;
}

Rect rect_intersect(const Rect& a, const Rect& b) {
  const float x0 = std::max(a.x, b.x), y0 = std::max(a.y, b.y);
  const float x1 = std::min(a.x + a.w, b.x + b.w), y1 = std::min(a.y + a.h, b.y + b.h);
  return Rect{x0, y0, std::max(x1 - x0, 0.0f), std::max(y1 - y0, 0.0f)};
}

float draw_text_centred(Canvas* c, int stack, int size, int weight, const char* text, float cx, float cy,
                        uint32_t colour, float alpha) {
  const TextEntry* e = text_get(c->text, stack, size, weight, text, true);
  const bool inked = e->ink_right > e->ink_left && e->ink_bottom > e->ink_top;
  const float mx = inked ? 0.5f * float(e->ink_left + e->ink_right) : 0.5f * float(e->advance);
  const float my = inked ? 0.5f * float(e->ink_top + e->ink_bottom) : 0.5f * float(e->ascent + e->descent);
  text_draw(c->text, e, std::round(cx - mx), std::round(cy - my), colour, alpha);
  return float(e->advance);
}

float text_width(Canvas* c, int stack, int size, int weight, const char* text) {
  return float(text_get(c->text, stack, size, weight, text, false)->advance);
}
