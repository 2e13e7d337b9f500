// The inputs panel of a 64-input rig on the software renderer (SDL's offscreen driver): every row
// on show with its meters moving, the scenes, the bus and the device card; and the model's share
// alone (layout, hit test and status line of a frame).
#include <SDL.h>
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "app/inputs/inputs_app.h"
#include "app/shell/app_state.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "rig/rig_doc.h"
#include "ui/text.h"

namespace {

constexpr int kInputs = 64;
constexpr int kW = 1920;
constexpr int kH = kHeaderH + 116 + kInputs * 34 + 190;  // every row fits

struct Bench {
  std::unique_ptr<AppState> app = std::make_unique<AppState>();
  std::unique_ptr<RigDoc> rig = std::make_unique<RigDoc>();
  std::unique_ptr<RigKeeperMeters> meters = std::make_unique<RigKeeperMeters>();
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
    settings_defaults(&app->settings);
    theme_resolve(app->settings, &app->theme);
    app->content_w = kW, app->content_h = kH;
    app->rig_width = float(kRigPanelWidth);

    // A keeper that is never bound (its records are replaced below by a 64-input rig).
    char folder[kPathCap];
    temp_dir(folder, sizeof folder);
    text_copy(folder + strlen(folder), sizeof folder - strlen(folder), "/tolm-inputs-bench");
    RigKeeperOptions o;
    o.folder = folder;
    o.app_name = "bench";
    InputsApp& in = app->inputs;
    in.keeper = rig_keeper_open(o);
    inputs_panel_init(&in.panel);
    in.panel.open = true;
    *rig = RigDoc{};
    rig_init_for_device(rig.get(), "alsa:bench", "alsa", "Bench 64", kInputs, nullptr, "bench", 1000.0);
    InputsSource& src = in.source;
    src.status.state = kRigBound;
    src.status.bound = true;
    src.status.inputs = src.status.device_inputs = kInputs;
    src.status.rate_hz = 48000;
    src.status.hinted_input = -1;
    text_copy(src.status.device, sizeof src.status.device, "Bench 64");
    text_copy(src.status.api, sizeof src.status.api, "alsa");
    src.rig = rig.get();
    src.meters = meters.get();
    meters->inputs = kInputs;
    for (int i = 0; i < kRigMaxInputs; ++i) src.labels[i] = i % 3 ? "" : "kick in";
    for (int i = 0; i < kInputs; ++i) rig->scenes[0].channels[i].muted = i % 4 == 3;
  }
  ~Bench() {
    rig_keeper_close(app->inputs.keeper);
    rig_free(rig.get());
    text_renderer_destroy(text);
    SDL_DestroyRenderer(renderer);
    SDL_DestroyWindow(window);
    SDL_Quit();
  }
  // Meters that move from frame to frame.
  void meter_frame(int frame) {
    for (int i = 0; i < kInputs; ++i) {
      const float p = 0.5f + 0.4f * float(std::sin(0.1 * (frame + i)));
      meters->input[i].in.position = p, meters->input[i].in.hold_position = p + 0.05f;
      meters->input[i].post.position = p * 0.9f, meters->input[i].post.hold_position = p;
    }
    meters->out_left.position = meters->out_right.position = 0.7f;
  }
};

void BM_DrawSixtyFourRows(benchmark::State& state) {
  Bench b;
  int frame = 0;
  for (auto _ : state) {
    b.meter_frame(++frame);
    draw_inputs_panel(&b.canvas, b.app.get());
    text_end_frame(b.text);
    SDL_RenderFlush(b.renderer);  // the frame is drawn when the renderer has done every queued call
  }
}
BENCHMARK(BM_DrawSixtyFourRows)->Unit(benchmark::kMicrosecond);

void BM_ModelFrameSixtyFourRows(benchmark::State& state) {
  Bench b;
  InputsApp& in = b.app->inputs;
  char status[160];
  const Rect panel = inputs_panel_rect(kW, kH, float(kRigPanelWidth));
  float y = 0;
  for (auto _ : state) {
    inputs_panel_layout(&in.panel, panel, in.source);
    y = y > kH ? 0 : y + 7;
    in.panel.hover = inputs_hit(in.panel, in.source, panel.x + 200, y);
    inputs_status_text(in.panel, in.source, 10.0, status, sizeof status);
    benchmark::DoNotOptimize(status);
  }
}
BENCHMARK(BM_ModelFrameSixtyFourRows)->Unit(benchmark::kNanosecond);

}  // namespace
