// The scope's share of a frame at 1920 x 1080 on the software renderer (SDL's offscreen driver):
// the threshold view over a full waterfall with every column recording, the trigger-EQ view with
// its three bands on, the side panel and the tape strip; and a row of the waterfall arriving.
#include <SDL.h>
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdlib>
#include <memory>
#include <vector>

#include "app/scope/scope_view.h"
#include "app/shell/app_state.h"
#include "app/stage/stage_view.h"
#include "ui/text.h"

namespace {

constexpr int kW = 1920, kH = 1080;

struct Bench {
  std::unique_ptr<AppState> app = std::make_unique<AppState>();
  SDL_Window* window = nullptr;
  SDL_Renderer* renderer = nullptr;
  TextRenderer* text = nullptr;
  Canvas canvas{};
  std::vector<float> signal = std::vector<float>(kSpectrumSize);

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

    settings_defaults(&app->settings);
    CaptureEngine& e = app->engine;
    capture_engine_init(&e, 48000);
    app->sliders = trigger_positions_from_settings(app->settings);
    engine_apply_settings(&e, app->settings, 1.0f);
    theme_resolve(app->settings, &app->theme);
    layout_main(kW, kH, side_panel_width(kW, 1.0f), &app->ui.layout);
    app->ui.pointer_x = app->ui.pointer_y = -1;
    // Every column loud and recording, the detector over the line.
    for (int i = 0; i < kScopeColumns; ++i) {
      e.column_input[i] = 0.2f + 0.3f * float(std::fabs(std::sin(i * 0.05)));
      e.column_detector[i] = 0.3f;
      e.column_recorded[i] = 1;
    }
    e.column_count = kScopeColumns;
    e.envelope = 0.3f;
    e.recording = 1;
    e.write_head = 48000 * 600;
    for (int i = 0; i < kOverviewBuckets; ++i) e.overview[i] = 0.3f;
    e.overview_bucket = 48000 * 600 / kOverviewBuckets + 1;
    // A full history of a harmonic tone with noise.
    SpectrumAnalyser* a = &app->input_spectrum;
    spectrum_reset(a);
    spectrum_set_history(a, kSpectrumRows);
    for (int r = 0; r < kSpectrumRows; ++r) feed_row(r);
  }
  ~Bench() {
    scope_view_release(&app->scope);
    capture_engine_free(&app->engine);
    text_renderer_destroy(text);
    SDL_DestroyRenderer(renderer);
    SDL_DestroyWindow(window);
    SDL_Quit();
  }
  void feed_row(int r) {
    uint32_t noise = uint32_t(r) * 2654435761u;
    for (int i = 0; i < kSpectrumSize; ++i) {
      noise = noise * 1664525u + 1013904223u;
      double v = 0;
      for (int k = 1; k <= 8; ++k) v += std::sin(2 * M_PI * 110.0 * (1 + r % 5) * k * i / 48000.0) / k;
      signal[size_t(i)] = float(0.2 * v + 0.02 * (double(noise >> 8) / double(1 << 24) - 0.5));
    }
    spectrum_feed(&app->input_spectrum, signal.data(), kSpectrumSize, 48000.0);
  }
  void end_frame() {
    text_end_frame(text);
    // The frame is drawn when the renderer has done every queued call.
    SDL_RenderFlush(renderer);
  }
};

void BM_ThresholdViewWithWaterfall(benchmark::State& state) {
  Bench b;
  const MainLayout& l = b.app->ui.layout;
  int frame = 0;
  for (auto _ : state) {
    // A new spectrum row every other frame, as at 60 frames a second with a row per 33 ms.
    if (++frame % 2 == 0) {
      state.PauseTiming();
      b.feed_row(frame);
      state.ResumeTiming();
    }
    draw_scope(&b.canvas, l.scope, b.app.get());
    b.end_frame();
  }
}
BENCHMARK(BM_ThresholdViewWithWaterfall)->Unit(benchmark::kMicrosecond);

void BM_EqViewThreeBands(benchmark::State& state) {
  Bench b;
  Settings& s = b.app->settings;
  s.hud_mode = 1, s.hpf_hz = 120, s.lpf_hz = 6000, s.peak_hz = 900, s.peak_q = 3;
  engine_apply_settings(&b.app->engine, s, 1.0f);
  const MainLayout& l = b.app->ui.layout;
  for (auto _ : state) {
    draw_eq_view(&b.canvas, l.scope, b.app.get());
    b.end_frame();
  }
}
BENCHMARK(BM_EqViewThreeBands)->Unit(benchmark::kMicrosecond);

void BM_SidePanelAndTapeStrip(benchmark::State& state) {
  Bench b;
  const MainLayout& l = b.app->ui.layout;
  for (auto _ : state) {
    draw_side_panel(&b.canvas, l.side, b.app.get());
    draw_tape_strip(&b.canvas, l.trigger_strip, b.app.get());
    b.end_frame();
  }
}
BENCHMARK(BM_SidePanelAndTapeStrip)->Unit(benchmark::kMicrosecond);

// The scope area as the stage while the library plays (walls, the sky dealt from its off-screen
// picture, floor, lights, label), with the side panel and the tape strip: what a frame of the main
// area costs then. The library's ring is the bench's input history; 120 per minute. The software
// renderer has the stage filled in memory; with argument 1 the renderer draws the triangles itself,
// as a renderer that does not draw in memory would.
void BM_StageOverTheScope(benchmark::State& state) {
  Bench b;
  b.app->stage.no_layer = state.range(0) != 0;
  const MainLayout& l = b.app->ui.layout;
  TempoKeyAnalyser tempo{};
  tempo.result.done = 1;
  tempo.result.bpm = 120.0f;
  tempo.result.key = 0;  // C major
  VisualInput in{};
  in.x = l.scope.x, in.y = l.scope.y, in.w = l.scope.w, in.h = l.scope.h;
  in.input = &b.app->input_spectrum;
  in.library = &b.app->input_spectrum;
  in.library_playing = true;
  in.wall_source = kWallFromLibrary;
  in.tempo = &tempo;
  const Theme& th = b.app->theme;
  in.colours = StageColours{th.slot[kSlotCorridorTop], th.slot[kSlotCorridorBottom], th.slot[kSlotSkyFirst],
                            th.slot[kSlotSkySecond],   th.slot[kSlotFloorColour],    th.slot[kSlotStageSpotlights],
                            th.slot[kSlotVisualBackground]};
  int frame = 0;
  for (auto _ : state) {
    ++frame;
    in.now_s = frame / 60.0;
    in.play_s = in.now_s;
    in.tick_ms = uint32_t(frame * 16);
    draw_fill(&b.canvas, l.scope, th.slot[kSlotVisualBackground]);
    draw_stage_with(&b.canvas, l.scope, &b.app->stage, in);
    draw_side_panel(&b.canvas, l.side, b.app.get());
    draw_tape_strip(&b.canvas, l.trigger_strip, b.app.get());
    b.end_frame();
  }
  stage_view_release(&b.app->stage);
}
BENCHMARK(BM_StageOverTheScope)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

}  // namespace
