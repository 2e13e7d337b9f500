// The visualiser's triangles filled on the CPU into pixels in memory, for a renderer that fills
// triangles in memory itself and slowly (SDL's software renderer makes a temporary surface for
// every blended triangle and divides for every pixel it shades). Blends as the renderer's alpha
// blending does: colour = source x a + destination x (1 - a), alpha = a + destination alpha x
// (1 - a), on straight (not premultiplied) alpha. Any thread on its own pixels; allocates nothing.
#pragma once
#include <cstdint>

#include "visual/geometry.h"

// Pixels 0xAARRGGBB (SDL's ARGB8888), `pitch` pixels a row.
struct RasterImage {
  uint32_t* px;
  int w, h;
  int pitch;
};

// Whole triangles from v[0..count) into dst, whose pixel (0, 0) lies at (origin_x, origin_y) of
// the vertices' space; textured from `texture` (the nearest texel, modulated by the vertex colour)
// when not null. A pixel is drawn when its centre lies inside a triangle, and a centre on an edge
// two triangles share goes to one of them only, so a translucent quad shows no seam. Triangles
// with a coordinate that is not finite, or further than 4 million pixels out, are left out.
void raster_triangles(const RasterImage& dst, float origin_x, float origin_y, const StageVertex* v, int count,
                      const RasterImage* texture = nullptr);
