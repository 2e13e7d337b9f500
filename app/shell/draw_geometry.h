// Drawing of geometry built elsewhere (the visualiser's vertex ranges) and of off-screen targets
// it is drawn into first. SDL stays here, beside draw.cpp. Main thread only.
#pragma once
#include "app/shell/draw.h"
#include "visual/geometry.h"

// Whole triangles from v[0..count), blended, textured from `texture` when not null.
void draw_vertices(Canvas* c, const StageVertex* v, int count, SDL_Texture* texture = nullptr);

// An off-screen picture w x h to draw into; null when the renderer has no render targets or
// refuses one (the caller then draws without it).
SDL_Texture* target_create(Canvas* c, int w, int h);
// Drawing goes into t, cleared to transparent, until target_end puts it back on the window.
bool target_begin(Canvas* c, SDL_Texture* t);
void target_end(Canvas* c);
// The target's size; false for null.
bool target_size(SDL_Texture* t, int* w, int* h);
