// The spectrum corridor behind the scope and the stage the scope becomes while the library plays:
// the visualiser's geometry for the frame, drawn as vertex-coloured triangles, with the sky drawn
// into an off-screen picture first and dealt onto the view in thirty-six pieces (drawn straight
// and unshuffled where the renderer has no render targets). Main thread only.
#pragma once
#include "app/shell/draw.h"
#include "visual/stage.h"

struct AppState;

struct StageView {
  Visualiser vis;          // bands, band history, stage clock and this frame's geometry
  bool ready;              // vis was reset
  SDL_Texture* sky;        // the sky's off-screen picture; null until needed or after a reset
  bool no_targets;         // the renderer refused a render target: the sky is drawn unshuffled
  bool was_showing;        // the stage was up last frame (its coming and going is logged)
  char label_logged[kStageLabelBytes];  // the last finished tempo label logged
};

// True while the scope area shows the stage (the library is playing).
bool stage_showing(const AppState* app);
// Into the scope area r, over its background and under its columns and lines: the stage while the
// library plays, else the walls over the waterfall (nothing when the ring holds too few rows, or
// when the waterfall is off and the scope stands plain).
void draw_scope_backdrop(Canvas* c, const Rect& r, AppState* app);
// The stage built from `in` and drawn into r (the shell's input comes from the player).
void draw_stage_with(Canvas* c, const Rect& r, StageView* s, const VisualInput& in);
// Frees the sky's picture (before the renderer goes, or after its targets were lost: the next
// frame makes it afresh).
void stage_view_release(StageView* s);
