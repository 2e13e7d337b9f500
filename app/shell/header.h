// The header row and the drawn window frame: the wordmark, the doors (library, inputs, side panel,
// options), the device line, the minimise / maximise / close buttons, the resize edges and the
// hover key caps. Main thread only.
#pragma once
#include "app/shell/draw.h"
#include "app/foot/foot.h"
#include "app/shell/window.h"

struct AppState;

enum class HeaderItem { kNone, kDoorLibrary, kDoorInputs, kDoorSide, kDoorOptions, kMinimise, kMaximise, kClose };

constexpr float kWindowButtonW = 44.0f;
constexpr float kDoorW = 96.0f;
constexpr float kDoorsLeft = 168.0f;
constexpr float kResizeEdge = 6.0f;

// The header item under (x, y) for a content width (output pixels).
HeaderItem header_item_at(int content_w, float x, float y);
Rect header_item_rect(int content_w, HeaderItem item);
// What the frame is at (x, y): a resize edge, the draggable title strip or ordinary content.
HitZone frame_hit(int content_w, int content_h, bool maximised, float x, float y);

void draw_header(Canvas* c, const AppState* app);
// Key caps of whatever the pointer hovers: a strip button's key (Enter and Esc on the chop buttons)
// or a door's key.
void draw_hover_key_caps(Canvas* c, const AppState* app);
// One key cap (a tab in the label separates caps), its top-left at (x, y); returns its width.
float draw_key_cap(Canvas* c, const char* label, float x, float y, float alpha);
float key_cap_width(Canvas* c, const char* label);
