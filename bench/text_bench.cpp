// Text rendering on the software SDL renderer: a cached label fetched and drawn (the cost of
// every frame), the cached fetch alone, and a miss (layout, rasterising, texture upload).
#include <benchmark/benchmark.h>

#include <SDL.h>

#include <cstdio>
#include <cstdlib>

#include "ui/text.h"

namespace {

struct Screen {
  SDL_Window* window = nullptr;
  SDL_Renderer* renderer = nullptr;
  SDL_Texture* target = nullptr;
  TextRenderer* text = nullptr;

  Screen() {
    setenv("SDL_VIDEODRIVER", "offscreen", 1);
    setenv("SDL_RENDER_DRIVER", "software", 1);
    setenv("SDL_FRAMEBUFFER_ACCELERATION", "0", 1);
    SDL_Init(SDL_INIT_VIDEO);
    window = SDL_CreateWindow("bench", 0, 0, 640, 360, SDL_WINDOW_HIDDEN);
    renderer = SDL_CreateRenderer(window, -1, SDL_RENDERER_SOFTWARE | SDL_RENDERER_TARGETTEXTURE);
    target = SDL_CreateTexture(renderer, SDL_PIXELFORMAT_ARGB8888, SDL_TEXTUREACCESS_TARGET, 640, 360);
    SDL_SetRenderTarget(renderer, target);
    TextRendererOptions options;
    options.font_dir = TOLM_FONT_DIR;
    text_renderer_create(renderer, &options, &text);
  }
  ~Screen() {
    text_renderer_destroy(text);
    SDL_DestroyTexture(target);
    SDL_DestroyRenderer(renderer);
    SDL_DestroyWindow(window);
    SDL_Quit();
  }
};

constexpr const char* kLabel = "LISTENING - SOUND OPENS THE GATE";

void BM_CachedLabelDraw(benchmark::State& state) {
  Screen screen;
  for (auto _ : state) {
    const TextEntry* e = text_get(screen.text, kStackDisplay, 20, 400, kLabel, true);
    text_draw(screen.text, e, 10, 10, 0xFFFFFFFF, 1.0f);
    text_end_frame(screen.text);
  }
}
BENCHMARK(BM_CachedLabelDraw);

void BM_CachedLabelFetch(benchmark::State& state) {
  Screen screen;
  for (auto _ : state) {
    benchmark::DoNotOptimize(text_get(screen.text, kStackDisplay, 20, 400, kLabel, true));
  }
}
BENCHMARK(BM_CachedLabelFetch);

// Every fetch is a new string, so once the cache is full each one also evicts the oldest.
void BM_CacheMiss(benchmark::State& state) {
  Screen screen;
  char s[64];
  unsigned n = 0;
  for (auto _ : state) {
    snprintf(s, sizeof s, "TAKE %u - 12.4 S", n++);
    benchmark::DoNotOptimize(text_get(screen.text, kStackDisplay, 20, 400, s, true));
  }
}
BENCHMARK(BM_CacheMiss);

void BM_CacheMissMeasureOnly(benchmark::State& state) {
  Screen screen;
  char s[64];
  unsigned n = 0;
  for (auto _ : state) {
    snprintf(s, sizeof s, "TAKE %u - 12.4 S", n++);
    benchmark::DoNotOptimize(text_get(screen.text, kStackDisplay, 20, 400, s, false));
  }
}
BENCHMARK(BM_CacheMissMeasureOnly);

}  // namespace
