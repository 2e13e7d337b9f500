// Where each event goes: the order in which the window's frame, the floating panels, the overlays
// and the screen areas meet an input event before the main view sees what is left, and the
// desktop programs' answers handed to whoever asked. The top of the shell: it calls into every
// area's controls; nothing calls back up into it. Reads only InputEvent records, so tests drive it
// without a window. Main thread only.
#pragma once
#include "app/shell/app_state.h"
#include "app/shell/input.h"

// Called by the main loop for every polled event.
void handle_event(AppState* app, const InputEvent& ev);

// Offers the event to the receivers that come before the main view, in order: the window's own
// frame, the floating panels, the key-map overlay (while shown) and the help overlay's pointer.
// True when one of them took it; the main view must not see it then.
bool route_receivers(AppState* app, const InputEvent& ev);
// The keys of the help overlay and of the options panel, after the "anywhere" keys. True when taken.
bool route_overlay_keys(AppState* app, const InputEvent& ev);
// The main window's frame as a receiver: presses on the minimise / maximise / close buttons act,
// a double click on the title strip maximises or restores, a press on a resize edge is the
// system's. True when the frame took the event.
bool frame_take_event(AppState* app, const InputEvent& ev);

// Main loop: the desktop programs that have ended are joined and their answers acted on.
void desktop_poll(AppState* app);
