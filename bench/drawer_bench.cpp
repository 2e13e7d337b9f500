// The library drawer's share of a frame on the software renderer (SDL's offscreen driver), open at
// its default width in a 1920 x 1080 window over a library of 512 sessions: the cards of the rows
// on show, forty takes with their thumbnails, the session map and the player pane over a loaded
// file; once standing still and once with the sessions list scrolling a row a frame (new rows,
// new texts).
#include <SDL.h>
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "app/drawer/drawer_layout.h"
#include "app/drawer/drawer_view.h"
#include "app/shell/app_state.h"
#include "platform/text.h"
#include "ui/text.h"

namespace {

constexpr int kW = 1920, kH = 1080;
constexpr int kSessions = kMaxSessions;
constexpr int kTakes = 40;

struct Bench {
  std::unique_ptr<AppState> app = std::make_unique<AppState>();
  SDL_Window* window = nullptr;
  SDL_Renderer* renderer = nullptr;
  TextRenderer* text = nullptr;
  Canvas canvas{};

  Bench() {
    setenv("SDL_VIDEODRIVER", "offscreen", 1);
    setenv("SDL_RENDER_DRIVER", "software", 1);
    SDL_Init(SDL_INIT_VIDEO);
    window = SDL_CreateWindow("bench", 0, 0, kW, kH, SDL_WINDOW_HIDDEN);
    renderer = SDL_CreateRenderer(window, -1, SDL_RENDERER_TARGETTEXTURE);
    TextRendererOptions options;
    options.font_dir = TOLM_FONT_DIR;
    text_renderer_create(renderer, &options, &text);
    canvas = Canvas{renderer, text, kW, kH};

    AppState& a = *app;
    settings_defaults(&a.settings);
    theme_resolve(a.settings, &a.theme);
    a.content_w = kW, a.content_h = kH;
    a.ui.pointer_x = a.ui.pointer_y = -1;
    a.engine.dev.duplex = 1;
    a.drawer_ui.open = a.drawer_ui.focus = true;
    a.drawer_ui.slide = 1.0f;
    a.drawer_ui.width = kDrawerDefaultW;
    a.drawer_ui.hover_row = a.drawer_ui.menu_sel = -1;
    a.lib_width = float(kDrawerDefaultW);
    layout_main(kW, kH, side_panel_width(kW - kDrawerDefaultW, 1.0f), &a.ui.layout, a.lib_width);

    // 512 sessions, newest first, each with a ready card.
    Library& lib = a.recorder.library;
    text_copy(lib.write_folder, "/nowhere/tolm");
    lib.row_count = kSessions;
    for (int i = 0; i < kSessions; ++i) {
      LibraryRow& r = lib.rows[i];
      const int day = 28 - i / 24, hour = 23 - i % 24;
      text_format(r.relative_path, sizeof r.relative_path, "2026-09-%02d/%02d%02d%02d", day, hour, i % 60, (i * 7) % 60);
      text_format(r.display_name, sizeof r.display_name, "2026-09-%02d %02d%02d%02d", day, hour, i % 60, (i * 7) % 60);
      r.take_count = 1 + i % 30;
      r.total_seconds = 4.5 * r.take_count + i % 7;
      r.start_time = 1790000000 - int64_t(i) * 3600;
      r.span_seconds = 60.0 * (1 + i % 50);
    }
    for (int i = 0; i < kCardSlots; ++i) {
      CardSlot& slot = a.drawer.cards.slots[i];
      card_key(lib.rows[i], slot.key, sizeof slot.key);
      for (int v = 0; v < kCardValues; ++v) slot.values[v] = float(0.5 + 0.45 * std::sin(i + v * 0.3));
      slot.state.store(kCardReady);
    }

    // The first session's takes, thumbnails and map.
    LibraryDrawer& d = a.drawer;
    d.session_sel = d.takes_session = 0;
    text_copy(d.selected, lib.rows[0].relative_path);
    d.seen_scan = lib.scan_serial;
    d.take_count = kTakes;
    for (int t = 0; t < kTakes; ++t) {
      text_format(d.takes[t].name, sizeof d.takes[t].name, "tolm-%02d%02d%02d.wav", 12, t / 60, t % 60);
      d.takes[t].seconds = 2.0 + t % 9;
      d.takes[t].rate = 48000;
      for (int v = 0; v < kThumbValues; ++v) d.thumbs[t][v] = float(0.5 + 0.5 * std::sin(t + v * 0.2));
      d.thumb_ready[t] = 1;
    }
    MapView& m = d.map_view;
    for (int i = 0; i < kMapPeaks; ++i) m.peaks[i] = float(0.5 + 0.5 * std::sin(i * 0.05));
    for (int i = 0; i < kMapColumns * kMapBands; ++i) m.image[i] = float((i * 37) % 100) / 100.0f;
    for (int t = 0; t < kTakes; ++t) m.starts[t] = float(t) / kTakes;
    m.take_count = kTakes;
    text_copy(m.session, lib.rows[0].relative_path);
    m.take = -1;
    m.ready = true;
    d.map_seen = 1;

    // The player with a minute of a file loaded, a quarter played.
    Player& p = a.player;
    AudioBuffer b{};
    b.channels = 2, b.sample_rate = 48000, b.frames = 48000 * 60;
    b.samples = static_cast<float*>(calloc(size_t(2 * b.frames), sizeof(float)));
    playback_install(&p.engine, &b, false);
    text_copy(p.current_path, "/nowhere/tolm/2026-09-28/235900/tolm-120000.wav");
    for (int i = 0; i < kWavePeaks; ++i) p.wave[i] = float(std::fabs(std::sin(i * 0.02)));
    p.zoom = 0.54, p.view_start = 0.1;
    playback_seek(&p.engine, 0.25);
  }
  ~Bench() {
    drawer_view_release(&app->drawer_ui);
    text_renderer_destroy(text);
    SDL_DestroyRenderer(renderer);
    SDL_DestroyWindow(window);
    SDL_Quit();
  }
  void frame() {
    draw_drawer(&canvas, app.get());
    text_end_frame(text);
    SDL_RenderFlush(renderer);  // the frame is drawn when the renderer has done every queued call
  }
};

void BM_DrawerFrame512Sessions(benchmark::State& state) {
  Bench b;
  for (auto _ : state) b.frame();
}
BENCHMARK(BM_DrawerFrame512Sessions)->Unit(benchmark::kMicrosecond);

void BM_DrawerFrameScrolling(benchmark::State& state) {
  Bench b;
  int scroll = 0;
  for (auto _ : state) {
    b.app->drawer.session_scroll = scroll;
    scroll = (scroll + 1) % (kCardSlots - 20);
    b.frame();
  }
}
BENCHMARK(BM_DrawerFrameScrolling)->Unit(benchmark::kMicrosecond);

}  // namespace
