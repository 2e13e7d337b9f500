#include "tests/app/scope_fixture.h"

#include <SDL.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "app/scope/scope_control.h"
#include "app/shell/route.h"
#include "ui/text.h"

namespace {
constexpr int kRate = 48000;
constexpr int kBlock = 256;
constexpr uint64_t kTapeMemory = uint64_t(512) << 20;
}  // namespace

ScopeApp::ScopeApp(int w, int h) : app(std::make_unique<AppState>()) {
  settings_defaults(&app->settings);
  CaptureEngine& e = app->engine;
  capture_engine_init(&e, kRate);
  tape_create_with_memory(&e.tape, kTapeChunkSeconds, kTapeAddressableMinutes, kTapeSpareTarget, kRate, kTapeMemory);
  tape_maintain(&e.tape, 0, kTapeAhead);
  e.input_channels = 2;
  e.running = 1;
  app->recorder.engine = &e;
  app->recorder.settings = &app->settings;
  app->sliders = trigger_positions_from_settings(app->settings);
  engine_apply_settings(&e, app->settings, 1.0f);
  app->scope.click_control = -1;
  app->ui.pointer_x = app->ui.pointer_y = -1.0f;
  theme_resolve(app->settings, &app->theme);
  layout(w, h);
}

ScopeApp::~ScopeApp() {
  scope_view_release(&app->scope);
  tape_destroy(&app->engine.tape);
  capture_engine_free(&app->engine);
}

void ScopeApp::layout(int w, int h, bool side) {
  app->content_w = w, app->content_h = h;
  layout_main(w, h, side ? side_panel_width(w, 1.0f) : 0.0f, &app->ui.layout);
}

void ScopeApp::feed(const std::vector<float>& stereo) {
  CaptureEngine& e = app->engine;
  std::vector<float> out(2 * kBlock);
  const int64_t frames = int64_t(stereo.size() / 2);
  for (int64_t at = 0; at < frames; at += kBlock) {
    const int n = int(std::min<int64_t>(kBlock, frames - at));
    tape_maintain(&e.tape, e.write_head.load(), kTapeAhead);
    process_block(&e, stereo.data() + 2 * at, out.data(), n);
  }
}

void ScopeApp::feed_tone(double seconds, double hz, double amplitude) {
  const int64_t n = int64_t(seconds * kRate);
  std::vector<float> s(size_t(2 * n));
  for (int64_t i = 0; i < n; ++i)
    s[size_t(2 * i)] = s[size_t(2 * i + 1)] = float(amplitude * std::sin(2.0 * M_PI * hz * double(i) / kRate));
  feed(s);
}

void ScopeApp::feed_silence(double seconds) { feed(std::vector<float>(size_t(2 * int64_t(seconds * kRate)), 0.0f)); }

void ScopeApp::put_column(float peak, float detector, bool recorded, bool would_open) {
  CaptureEngine& e = app->engine;
  const int64_t count = e.column_count.load();
  const int slot = int(count % kScopeColumns);
  e.column_input[slot].store(peak);
  e.column_detector[slot].store(detector);
  e.column_recorded[slot].store(recorded ? 1 : 0);
  e.column_would_open[slot].store(would_open ? 1 : 0);
  e.column_count.store(count + 1, std::memory_order_release);
}

bool ScopeApp::press(float x, float y, uint32_t tick) { return scope_press(app.get(), x, y, tick); }
void ScopeApp::drag(float x, float y) { scope_drag(app.get(), x, y); }
void ScopeApp::release() { scope_release(app.get()); }

void ScopeApp::wheel(float x, float y, float notches_y, float notches_x, int mods) {
  InputEvent ev{};
  ev.kind = InputKind::kWheel;
  ev.x = x, ev.y = y;
  ev.wheel_y = notches_y, ev.wheel_x = notches_x;
  ev.mods = mods;
  handle_event(app.get(), ev);
}

bool Offscreen::open(int w, int h) {
  setenv("SDL_VIDEODRIVER", "offscreen", 1);
  setenv("SDL_RENDER_DRIVER", "software", 1);
  setenv("SDL_FRAMEBUFFER_ACCELERATION", "0", 1);
  if (SDL_Init(SDL_INIT_VIDEO) != 0) return false;
  window = SDL_CreateWindow("scope", 0, 0, w, h, SDL_WINDOW_HIDDEN);
  if (!window) return false;
  renderer = SDL_CreateRenderer(window, -1, SDL_RENDERER_TARGETTEXTURE);
  if (!renderer) return false;
  TextRendererOptions options;
  options.font_dir = TOLM_FONT_DIR;
  text_renderer_create(renderer, &options, &text);
  canvas = Canvas{renderer, text, w, h};
  return true;
}

Offscreen::~Offscreen() {
  if (text) text_renderer_destroy(text);
  if (renderer) SDL_DestroyRenderer(renderer);
  if (window) SDL_DestroyWindow(window);
  SDL_Quit();
}

void Offscreen::clear() { draw_clear(&canvas, 0xFF0D0C0C); }

void Offscreen::read() {
  pixels.assign(size_t(canvas.w) * size_t(canvas.h), 0);
  SDL_RenderReadPixels(renderer, nullptr, SDL_PIXELFORMAT_ABGR8888, pixels.data(), canvas.w * 4);
}

void Offscreen::save(const std::string& path) {
  read();
  SDL_Surface* s = SDL_CreateRGBSurfaceWithFormatFrom(pixels.data(), canvas.w, canvas.h, 32, canvas.w * 4,
                                                      SDL_PIXELFORMAT_ABGR8888);
  if (s) {
    SDL_SaveBMP(s, path.c_str());
    SDL_FreeSurface(s);
  }
}
