// The files tab's side of the window: its start and stop, its once-a-frame pump, the pointer over
// its parts (source buttons, filter, tempo switch, item rows, folder tree, favourites, loop panel
// and its block strip, its context menu), its keys and typed text while the drawer holds the
// keyboard on it, files dropped on it, and what its calls leave for the shell (a file to chop, a
// file to open or show, a loop to drag out). The model lives in library/files_tab; this is its
// window. Reads plain input only, so tests drive it without a window. Main thread only.
#pragma once
#include "app/drawer/drawer_layout.h"
#include "app/shell/app_state.h"
#include "app/shell/input.h"

// The player, the settings and (when there is one) the cloud client as the tab's calls take them.
// No chop job: a file to chop comes back to the shell, which opens it as a dropped file is.
FilesHost files_host(AppState* app);

// Start-up, after the player started: the shared store, marks and bar shifts, the folder view
// from files_state. Shutdown: the preview scan, a folder read and a download stop.
void files_start(AppState* app);
void files_stop(AppState* app);

// Once a frame, after the player's update.
void files_frame(AppState* app, const DrawerLayout& dl, uint32_t now_ms);

// The pointer over the files tab's body and the loop panel (dl from drawer_layout_of). True when taken.
bool files_take_pointer(AppState* app, const DrawerLayout& dl, const InputEvent& ev);
// A key while the drawer holds the keyboard on the files tab; false leaves it to the drawer
// (Tab back to the library, Esc closing the drawer).
bool files_take_key(AppState* app, const InputEvent& ev);
// Typed text: the filter's while it is edited.
bool files_take_text(AppState* app, const InputEvent& ev);
// A file or folder dropped while the drawer shows the files tab under the pointer: listed.
bool files_take_drop(AppState* app, const InputEvent& ev);
// What a call left for the shell.
void files_finish(AppState* app, const FilesAction& a);

// A loop file handed out: an XDND drag where the window is on X11 and a target takes it, else the
// file's address on the clipboard. 1 dropped, 0 nothing taken, -1 it could not start, 2 on the
// clipboard (files_drag_finished's codes).
int files_drag_out(AppState* app, const char* path);
