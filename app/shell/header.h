// The header row: the wordmark, the doors (library, inputs, side panel, options) with the door
// that is open lit, the device line and the window buttons; and the hover key caps over whatever
// the pointer rests on. Drawing only. Main thread only.
#pragma once
#include "app/shell/draw.h"
#include "app/shell/frame.h"

struct AppState;

void draw_header(Canvas* c, const AppState* app);
// Key caps of whatever the pointer hovers: a strip button's key (Enter and Esc on the chop buttons)
// or a door's key.
void draw_hover_key_caps(Canvas* c, const AppState* app);
