// Key caps: a key's name drawn as a small rounded cap, several caps in a row when the label holds
// tabs. Used by the header's hover caps, the key map and the options panel. Main thread only.
#pragma once
#include "app/shell/draw.h"

constexpr float kCapH = 20.0f;

// One key cap (a tab in the label separates caps), its top-left at (x, y); returns its width.
float draw_key_cap(Canvas* c, const char* label, float x, float y, float alpha);
float key_cap_width(Canvas* c, const char* label);
