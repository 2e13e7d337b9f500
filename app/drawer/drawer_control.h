// The library drawer's side of the window: B and the LIBRARY door open and close it, its slide, its
// resize edge, the pointer in its lists, its map and its player pane, its keys while it holds the
// keyboard, its context menu, and what the drawer's keys and menu items leave for the shell
// (closing, showing a file or a folder in the file manager). Also the player's start and stop, the
// once-a-frame pump of the player and the drawer model with the settings they mirror, and a
// session made from a chop shown in the drawer. The models live in library/ (drawer, player);
// this is their window. Reads plain input only, so tests drive it without a window.
// Main thread only.
#pragma once
#include <cstdint>

#include "app/shell/app_state.h"
#include "app/shell/input.h"

// Opening gives the drawer the keyboard, clears its hover row and rescans the library; at_once
// skips the slide (start-up). Closing lets the keyboard go back to the main view.
void drawer_open(AppState* app, bool at_once);
void drawer_close(AppState* app);
// B in the main view and the LIBRARY door.
void drawer_toggle(AppState* app);

// Start-up: the drawer's width and tab from the settings, the player started with lib_gain and
// lib_zoom_s and made the output's mix-in, the recorder's stop_playback and library_row_updated
// hooks set. A player that cannot start is logged; the rest of the program goes on without it.
void drawer_start(AppState* app);
// Shutdown: the picture and join jobs stop and are waited for (before the settings are saved).
void drawer_stop(AppState* app);

// Once a frame (main loop): the player's results, the library's spectrum feed, the drawer model's
// update (rescans, takes, landing, joining, pictures) and the settings it mirrors (lib_gain unless
// a silent load holds the gain, lib_zoom_s, lib_tab, br_open).
void drawer_update(AppState* app, uint32_t now_ms);
// Once a frame (animation): the slide toward open or closed (at once with reduce-motion) and the
// width the window makes room for.
void drawer_animate(AppState* app, float dt);

// Routing. The resize edge: a press within 12 pixels left of the drawer's right edge drags the
// width (360 at least, at most what the window allows); a double click there resets it to 1040.
bool drawer_take_edge(AppState* app, const InputEvent& ev);
// The pointer over the drawer and its context menu: rows, tabs, the map and the player pane;
// a press outside the drawer takes the keyboard away from it. True when taken.
bool drawer_take_pointer(AppState* app, const InputEvent& ev);
// A key while the drawer holds the keyboard, or while its menu is up (the menu takes every key).
// True when taken; the rest falls through to the main view.
bool drawer_key(AppState* app, const InputEvent& ev);
// The menu key: the context menu of the focused row.
void drawer_menu_from_keyboard(AppState* app);

// What a key or a menu item left for the shell: closing the drawer, the file manager showing a
// file or a folder (on the desktop's thread), the keyboard back to the main view after continuing.
void drawer_finish(AppState* app, const DrawerAction& action);

// A session made from a chop: the drawer opens (with the keyboard) if it was closed, the library
// is rescanned and the session of that folder name (any case) is selected in the sessions list.
void drawer_show_session(AppState* app, const char* relative);
