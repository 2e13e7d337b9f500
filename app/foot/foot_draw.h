// Drawing of the button strip and the status foot from the application state. Main thread only.
#pragma once
#include <cstdint>

#include "app/shell/draw.h"

struct AppState;

// The look of one strip button this frame.
struct ButtonLook {
  const char* label;
  uint32_t fill, text;
  bool lit;        // drawn with a glow
  bool bevel;      // GATE and LATCH carry a bevel
  bool pressed;    // the bevel swapped and the label dropped a pixel
  float glow;      // glow strength when lit
};
ButtonLook strip_button_look(const AppState* app, int button);

void draw_button_strip(Canvas* c, const AppState* app);
void draw_foot(Canvas* c, const AppState* app, uint32_t now_ms);
