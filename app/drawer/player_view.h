// The player pane at the drawer's foot: the play button, the file's name and time, the waveform of
// the view with the playhead, the loop region and its markers, the zoom bar with the view's span,
// the LOOP toggle, the gain slider and the pane's line (what is being read, the warning of an
// output that cannot sound, the tempo). Draws from the player's fields only. Main thread only.
#pragma once
#include <cstddef>

#include "app/drawer/drawer_layout.h"
#include "app/shell/draw.h"

struct AppState;

// "M:SS.S" of a time in seconds.
void format_play_time(double seconds, char* out, size_t cap);
// The pane's line for the tab on show: the library's ("PICK A TAKE" and the player's texts) or the
// files tab's.
void pane_line(const AppState* app, char* out, size_t cap);

void draw_player_pane(Canvas* c, const PaneLayout& l, AppState* app);
