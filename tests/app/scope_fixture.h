// The scope under test: an application record with a real capture engine and tape (no device),
// fed known signals through the capture routine, driven through plain input records; and an
// offscreen software renderer whose pixels are read back.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "app/shell/app_state.h"
#include "app/shell/draw.h"

struct SDL_Window;
struct SDL_Renderer;
struct TextRenderer;

struct ScopeApp {
  std::unique_ptr<AppState> app;
  explicit ScopeApp(int w = 960, int h = 540);
  ~ScopeApp();
  AppState* operator->() { return app.get(); }
  // Lays the window out at w x h with the side panel fully shown (or hidden).
  void layout(int w, int h, bool side = true);
  const MainLayout& l() const { return app->ui.layout; }

  // Interleaved stereo through the capture routine in 256-frame blocks, the tape kept ahead.
  void feed(const std::vector<float>& stereo);
  void feed_tone(double seconds, double hz, double amplitude);
  void feed_silence(double seconds);
  // Writes one finished scope column the way the audio thread publishes it.
  void put_column(float peak, float detector, bool recorded, bool would_open);

  bool press(float x, float y, uint32_t tick);
  void drag(float x, float y);
  void release();
  void wheel(float x, float y, float notches_y, float notches_x = 0.0f, int mods = 0);
};

// A hidden window on SDL's offscreen driver with the software renderer and the program's fonts.
struct Offscreen {
  SDL_Window* window = nullptr;
  SDL_Renderer* renderer = nullptr;
  TextRenderer* text = nullptr;
  Canvas canvas{};
  std::vector<uint32_t> pixels;  // 0xAABBGGRR, top row first, after read()

  bool open(int w, int h);
  ~Offscreen();
  void clear();
  void read();
  uint32_t at(int x, int y) const { return pixels[size_t(y) * size_t(canvas.w) + size_t(x)]; }
  // Saves the frame as a BMP (for looking at a failing picture).
  void save(const std::string& path);
};

// Colour components of 0xAABBGGRR.
inline int red_of(uint32_t c) { return int(c & 0xFF); }
inline int green_of(uint32_t c) { return int((c >> 8) & 0xFF); }
inline int blue_of(uint32_t c) { return int((c >> 16) & 0xFF); }
inline uint32_t rgb_of(uint32_t c) { return c & 0x00FFFFFFu; }
