// A rectangle of the output drawn on the CPU: its pixels are read back from the renderer into a
// streaming texture's memory, changed there, and copied back as they are. Worth it only where the
// renderer itself draws in memory (SDL's software renderer): there reading back is a copy, while
// it fills every blended triangle through a temporary surface. Main thread only, like the renderer.
#pragma once
#include <cstdint>

struct SDL_Renderer;
struct SDL_Texture;

constexpr int kPixelLayerStep = 64;  // pixels; the texture grows in steps, not every frame a view slides wider

struct PixelLayer {
  SDL_Texture* texture;  // streaming; null until the first read and after a release
  uint32_t format;       // its SDL pixel format: 0xAARRGGBB or 0x00RRGGBB texels
  int texture_w, texture_h;
  // Between a read and its write.
  uint32_t* pixels;      // the texture's memory, 0xAARRGGBB (alpha undefined without an alpha channel)
  int pitch;             // pixels a row
  int x, y, w, h;        // the rectangle read, on the output; pixels holds it from its corner
};

// True when the renderer draws in memory, so reading back costs no more than a copy.
bool pixel_layer_suits(SDL_Renderer* r);
// Reads the output's w x h pixels at (x, y), which must lie inside it, into the layer's texture
// (made again when too small) and leaves them open for changing; false when the texture cannot
// be made or opened or the renderer cannot read back: there is nothing to write then.
bool pixel_layer_read(SDL_Renderer* r, PixelLayer* l, int x, int y, int w, int h);
// Copies the changed pixels back where they were read.
void pixel_layer_write(SDL_Renderer* r, PixelLayer* l);
// Frees the texture (before the renderer goes, or after the device was reset).
void pixel_layer_release(PixelLayer* l);
