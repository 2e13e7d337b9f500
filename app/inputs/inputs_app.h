// The inputs panel in the program: the rig keeper opened at start-up and bound through the device
// engine's mixer binding, ticked every frame with its notices shown as status lines, flushed when
// the window loses focus and closed at shutdown; the panel's slide, its events and its settings.
// Main thread only.
#pragma once
#include <cstdint>

#include "app/inputs/inputs_panel.h"
#include "app/shell/input.h"
#include "rig/rig_binding.h"
#include "rig/rig_keeper.h"

struct AppState;
struct Canvas;
struct FootFacts;

constexpr float kInputsSlideSeconds = 0.18f;

struct InputsApp {
  RigKeeper* keeper;      // null: no rig store (the panel is not available)
  RigBinding binding;     // the engine's mixer binding; outlives every stream
  InputsPanel panel;
  InputsSource source;    // this frame's records from the keeper
  float slide;            // 0 closed .. 1 open
  int64_t slide_ns;       // when the slide last moved (0: never)
};

// Start-up, before the engine is made: opens the keeper in the rigs folder and plugs it into the
// engine's streams; then restores the panel from the settings.
void inputs_start(AppState* app);
// Once a frame: the keeper's tick, its notices, the panel's records, slide and settings.
void inputs_frame(AppState* app);
// The A key and the INPUTS door.
void inputs_toggle(AppState* app);
// Opens the panel (closing the options panel and the help overlay), or says it is not available.
void inputs_open(AppState* app);
void inputs_close(AppState* app);
// The panel's share of the events (keys while open, the pointer over it); true when taken.
bool inputs_take_event(AppState* app, const InputEvent& ev);
// The window lost focus: pending edits are saved in the background.
void inputs_focus_lost(AppState* app);
// Shutdown, once the engine is gone: the last saves (up to a second) and the keeper closed.
void inputs_shutdown(AppState* app);
// The foot's INPUTS MUTED and SOUND ON MUTED.
void inputs_foot_facts(const AppState* app, FootFacts* f);
// The INPUTS row of the options panel: "%s   %d OF %d LIVE   SCENE %d" or "NOT AVAILABLE".
void inputs_options_text(const AppState* app, char* out, size_t cap);

// Draws the panel at the window's right edge (inputs_draw.cpp).
void draw_inputs_panel(Canvas* c, AppState* app);
// Whether the canvas's symbol fonts draw the glyph (ctx: the Canvas).
bool inputs_glyph_drawable(void* canvas, const char* glyph);
// Where the panel lies in a window of this content size, open by `width` pixels.
Rect inputs_panel_rect(int content_w, int content_h, float width);
