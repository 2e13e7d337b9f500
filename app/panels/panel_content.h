// What the floating panels hold: the options panel's body (the TOLM and LIBRARY panels have none in
// this build). Draws the panels with their content, inside the main window and in their own
// windows, and hands a press or a wheel in a panel's body to its content. Main thread only.
#pragma once
#include "app/panels/panel.h"
#include "app/shell/draw.h"

struct AppState;

// A press or wheel that panels_take_event handed back for a panel's body.
void panel_body_event(AppState* app, const PanelBodyEvent& ev);

// Attached panels into the main canvas (bottom to top).
void draw_floating_panels(Canvas* c, AppState* app);
// Each detached panel draws into and presents its own window.
void draw_detached_panels(AppState* app);
