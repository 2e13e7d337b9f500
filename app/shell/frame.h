// The drawn window frame, for the main window and for a detached panel's window: its buttons
// (minimise, maximise, close, dock, detach) as drawn glyphs, the title strip and the resize edges
// as hit zones, and the frame as the first receiver of pointer events in the main window (window
// buttons, a double click on the title strip, presses on the edges). Main thread only.
#pragma once
#include "app/shell/draw.h"
#include "app/shell/input.h"
#include "app/shell/window.h"

struct AppState;

enum class FrameButton { kMinimise, kMaximise, kClose, kDock, kDetach };

// One frame button's glyph centred in r, with its hover fill.
void draw_frame_button(Canvas* c, const Rect& r, FrameButton button, bool hover);

// The resize edge or corner of a w x h window under (x, y), kNormal when none is.
HitZone resize_edge_at(float w, float h, float x, float y);

// A panel window of w x h: edges resize, the title strip (kPanelTitleH high) moves it, its
// buttons are ordinary content.
HitZone panel_frame_hit(float w, float h, float x, float y);

// The main window's frame as a receiver: presses on the minimise / maximise / close buttons act,
// a double click on the title strip maximises or restores, a press on a resize edge is the
// system's. True when the frame took the event.
bool frame_take_event(AppState* app, const InputEvent& ev);
