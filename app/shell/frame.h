// The drawn window frame, for the main window and for a detached panel's window: the header's
// items (the doors, the minimise / maximise / close buttons) and where they lie, the title strip
// and the resize edges as hit zones, and the frame buttons' glyphs. Geometry and drawing only;
// presses are the event routing's. Main thread only.
#pragma once
#include "app/shell/draw.h"
#include "app/shell/window.h"

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

enum class FrameButton { kMinimise, kMaximise, kClose, kDock, kDetach };

// One frame button's glyph centred in r, with its hover fill.
void draw_frame_button(Canvas* c, const Rect& r, FrameButton button, bool hover);

// The resize edge or corner of a w x h window under (x, y), kNormal when none is.
HitZone resize_edge_at(float w, float h, float x, float y);
