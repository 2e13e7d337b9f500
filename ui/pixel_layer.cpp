// The read-back layer over SDL's renderer.
#include "ui/pixel_layer.h"

#include <SDL.h>

namespace {

// The window's own format where its pixels are laid out as the layer's (no conversion either
// way), else ARGB8888.
uint32_t layer_format(SDL_Renderer* r) {
  SDL_Window* window = SDL_RenderGetWindow(r);
  const Uint32 format = window ? SDL_GetWindowPixelFormat(window) : Uint32(SDL_PIXELFORMAT_UNKNOWN);
  return format == SDL_PIXELFORMAT_RGB888 ? format : Uint32(SDL_PIXELFORMAT_ARGB8888);
}

}  // namespace

bool pixel_layer_suits(SDL_Renderer* r) {
  SDL_RendererInfo info{};
  return r && SDL_GetRendererInfo(r, &info) == 0 && (info.flags & SDL_RENDERER_SOFTWARE) != 0;
}

bool pixel_layer_read(SDL_Renderer* r, PixelLayer* l, int x, int y, int w, int h) {
  if (!r || w <= 0 || h <= 0) return false;
  const uint32_t format = layer_format(r);
  if (l->texture && (l->texture_w < w || l->texture_h < h || l->format != format)) pixel_layer_release(l);
  if (!l->texture) {
    const int tw = (w + kPixelLayerStep - 1) / kPixelLayerStep * kPixelLayerStep;
    const int th = (h + kPixelLayerStep - 1) / kPixelLayerStep * kPixelLayerStep;
    l->texture = SDL_CreateTexture(r, format, SDL_TEXTUREACCESS_STREAMING, tw, th);
    if (!l->texture) return false;
    SDL_SetTextureBlendMode(l->texture, SDL_BLENDMODE_NONE);
    l->format = format, l->texture_w = tw, l->texture_h = th;
  }
  const SDL_Rect part{0, 0, w, h};
  void* pixels = nullptr;
  int pitch_bytes = 0;
  if (SDL_LockTexture(l->texture, &part, &pixels, &pitch_bytes) != 0) return false;
  const SDL_Rect rect{x, y, w, h};
  if (pitch_bytes % 4 != 0 || SDL_RenderReadPixels(r, &rect, format, pixels, pitch_bytes) != 0) {
    SDL_UnlockTexture(l->texture);
    return false;
  }
  l->pixels = static_cast<uint32_t*>(pixels);
  l->pitch = pitch_bytes / 4;
  l->x = x, l->y = y, l->w = w, l->h = h;
  return true;
}

void pixel_layer_write(SDL_Renderer* r, PixelLayer* l) {
  if (!l->texture || !l->pixels) return;
  SDL_UnlockTexture(l->texture);
  l->pixels = nullptr;
  const SDL_Rect src{0, 0, l->w, l->h}, dst{l->x, l->y, l->w, l->h};
  SDL_RenderCopy(r, l->texture, &src, &dst);
}

void pixel_layer_release(PixelLayer* l) {
  if (l->texture) SDL_DestroyTexture(l->texture);
  l->texture = nullptr;
  l->pixels = nullptr;
  l->texture_w = l->texture_h = 0;
}
