// Vertex ranges and render targets over the SDL renderer.
#include "app/shell/draw_geometry.h"

#include <SDL.h>

#include <cstddef>

// The visualiser writes SDL's own vertex layout, so a range goes to the renderer as it is.
static_assert(sizeof(StageVertex) == sizeof(SDL_Vertex));
static_assert(offsetof(StageVertex, r) == offsetof(SDL_Vertex, color));
static_assert(offsetof(StageVertex, u) == offsetof(SDL_Vertex, tex_coord));

void draw_vertices(Canvas* c, const StageVertex* v, int count, SDL_Texture* texture) {
  count -= count % 3;
  if (count <= 0) return;
  SDL_SetRenderDrawBlendMode(c->renderer, SDL_BLENDMODE_BLEND);
  if (texture) SDL_SetTextureBlendMode(texture, SDL_BLENDMODE_BLEND);
  SDL_RenderGeometry(c->renderer, texture, reinterpret_cast<const SDL_Vertex*>(v), count, nullptr, 0);
}

SDL_Texture* target_create(Canvas* c, int w, int h) {
  if (w <= 0 || h <= 0 || !SDL_RenderTargetSupported(c->renderer)) return nullptr;
  return SDL_CreateTexture(c->renderer, SDL_PIXELFORMAT_ARGB8888, SDL_TEXTUREACCESS_TARGET, w, h);
}

bool target_begin(Canvas* c, SDL_Texture* t) {
  if (!t || SDL_SetRenderTarget(c->renderer, t) != 0) return false;
  SDL_SetRenderDrawBlendMode(c->renderer, SDL_BLENDMODE_NONE);
  SDL_SetRenderDrawColor(c->renderer, 0, 0, 0, 0);
  SDL_RenderClear(c->renderer);
  return true;
}

void target_end(Canvas* c) { SDL_SetRenderTarget(c->renderer, nullptr); }

bool target_size(SDL_Texture* t, int* w, int* h) {
  return t && SDL_QueryTexture(t, nullptr, nullptr, w, h) == 0;
}
