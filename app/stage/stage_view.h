// The spectrum corridor behind the scope and the stage the scope becomes while the library plays:
// the visualiser's geometry for the frame, drawn as vertex-coloured triangles, with the sky drawn
// into an off-screen picture first and dealt onto the view in thirty-six pieces (drawn straight
// and unshuffled where the renderer has no render targets). Where the renderer draws in memory
// (SDL's software renderer) the same triangles are filled on the CPU instead, blended the same
// way, into the view read back and the sky into pixels of its own: the renderer's own path for a
// blended triangle costs a temporary surface and a division a pixel. Main thread only.
#pragma once
#include "app/shell/draw.h"
#include "ui/pixel_layer.h"
#include "visual/stage.h"

constexpr int kStageSkyVertices = 3 * kSkyMaxTriangles;

enum class StageSkyHeld : uint8_t { kNowhere = 0, kPicture, kPixels };

struct AppState;

struct StageView {
  Visualiser vis;          // bands, band history, stage clock and this frame's geometry
  bool ready;              // vis was reset
  SDL_Texture* sky;        // the sky's off-screen picture; null until needed or after a reset
  bool no_targets;         // the renderer refused a render target: the sky is drawn unshuffled
  bool was_showing;        // the stage was up last frame (its coming and going is logged)
  char label_logged[kStageLabelBytes];  // the last finished tempo label logged

  // Drawing in memory.
  PixelLayer layer;        // the view read back, drawn into and put back
  uint32_t* sky_pixels;    // the sky at its picture's size, 0xAARRGGBB; null until needed
  int sky_pixels_w, sky_pixels_h;
  size_t sky_pixels_cap;   // pixels held, so a shrinking view keeps them
  bool no_layer;           // leave the stage to the renderer even where it draws in memory (to compare the two)
  bool layer_refused;      // reading the view back failed (logged once; each frame tries again)

  // The sky last drawn, and where it still is: a frame with the same sky leaves it be.
  StageVertex sky_drawn[kStageSkyVertices];  // before scaling to the picture
  int sky_drawn_count;
  int sky_drawn_fold;      // the deal's first alpha folded into the pixels' alpha; -1 none
  StageSkyHeld sky_held;
};

// True while the scope area shows the stage (the library is playing).
bool stage_showing(const AppState* app);
// Into the scope area r, over its background and under its columns and lines: the stage while the
// library plays, else the walls over the waterfall (nothing when the ring holds too few rows, or
// when the waterfall is off and the scope stands plain).
void draw_scope_backdrop(Canvas* c, const Rect& r, AppState* app);
// The stage built from `in` and drawn into r (the shell's input comes from the player).
void draw_stage_with(Canvas* c, const Rect& r, StageView* s, const VisualInput& in);
// Frees the sky's picture, its pixels and the read-back layer (before the renderer goes, or after
// its targets were lost: the next frame makes them afresh).
void stage_view_release(StageView* s);
