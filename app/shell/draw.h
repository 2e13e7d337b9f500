// Drawing primitives over the SDL renderer: filled and rounded boxes, soft glows, lines and text
// through the cached text renderer. The views draw only through these, so SDL stays here and in
// the window backend. Colours are 0xAABBGGRR. Main thread only.
#pragma once
#include <cstddef>
#include <cstdint>

#include "app/shell/layout.h"

struct SDL_Renderer;
struct SDL_Texture;
struct TextRenderer;
struct TextEntry;

struct Canvas {
  SDL_Renderer* renderer;
  TextRenderer* text;
  int w, h;  // output pixels
};

void draw_clear(Canvas* c, uint32_t colour);
void draw_fill(Canvas* c, const Rect& r, uint32_t colour);
// Many boxes of one colour in one call (columns, bars).
void draw_fill_rects(Canvas* c, const Rect* rects, int count, uint32_t colour);
// Drawing stays inside r (output pixels, rounded outward) until draw_unclip.
void draw_clip(Canvas* c, const Rect& r);
void draw_unclip(Canvas* c);
// A one-pixel line.
void draw_line(Canvas* c, float x0, float y0, float x1, float y1, uint32_t colour);
// A one-pixel outline inside r.
void draw_outline(Canvas* c, const Rect& r, uint32_t colour);
void draw_rounded(Canvas* c, const Rect& r, float radius, uint32_t colour);
// A soft halo around r (corner radius `corner`), fading to nothing over `spread` pixels; the
// colour's alpha is multiplied by strength (0..1). The inside is filled at the same strength.
void draw_glow(Canvas* c, const Rect& r, float corner, float spread, uint32_t colour, float strength);
// A soft horizontal band whose alpha fades from `colour` at the bottom edge to 0 at the top.
void draw_fade_up(Canvas* c, const Rect& r, uint32_t colour);
// A polyline through n points (x0, y0, x1, y1, ...).
void draw_polyline(Canvas* c, const float* xy, int n, uint32_t colour);

// Pictures filled texel by texel (the spectrum history): 0xAABBGGRR texels, drawn stretched with
// the nearest texel and without blending. Create returns null when the renderer refuses and puts
// its reason into `error`.
SDL_Texture* picture_create(Canvas* c, int w, int h, char* error, size_t cap);
void picture_destroy(SDL_Texture* t);
// Replaces the w x h texels at (x, y) from `texels`, `pitch` texels a row.
void picture_update(SDL_Texture* t, int x, int y, int w, int h, const uint32_t* texels, int pitch);
// Draws the texels of src (texel units) into dst.
void picture_draw(Canvas* c, SDL_Texture* t, const Rect& src, const Rect& dst);

// Text: the pen origin is the top-left of the line box. Each returns the advance in pixels.
float draw_text(Canvas* c, int stack, int size, int weight, const char* text, float x, float y, uint32_t colour,
                float alpha = 1.0f);
// Centred on (cx, cy) by the ink of the glyphs (precise for capitals and figures).
float draw_text_centred(Canvas* c, int stack, int size, int weight, const char* text, float cx, float cy,
                        uint32_t colour, float alpha = 1.0f);
// Regular weight, its ink centred on cy, starting at x (or ending at x when right is set); the width.
float text_at(Canvas* c, int stack, int size, const char* text, float x, float cy, uint32_t colour,
              bool right = false);
// The overlap of two rectangles (empty, not negative, when they do not meet).
Rect rect_intersect(const Rect& a, const Rect& b);
// The advance without drawing.
float text_width(Canvas* c, int stack, int size, int weight, const char* text);
// The entry (rendered) for callers that place by ink; never null.
const TextEntry* text_entry(Canvas* c, int stack, int size, int weight, const char* text);
