// A loop file dragged out of the window to another program under X11: an XDND source (version 5)
// offering the file as text/uri-list. It runs modally on a display connection of its own while
// the mouse button stays down, as the desktop's own drags do, so the window is not drawn during
// the drag (at most kXdndDragMs). Main thread only.
#pragma once
#include <cstdint>

constexpr int kXdndDragMs = 30000;      // a drag still going after this is dropped nowhere
constexpr int kXdndFinishMs = 3000;     // how long a target may take over the drop

// sdl_display and sdl_window: the window's X11 connection (Display*) and window, whose pointer
// grab the drag takes over. 1 a target took the drop, 0 nothing took it, -1 the drag could not
// start.
int xdnd_drag_uri(void* sdl_display, unsigned long sdl_window, const char* uri);
