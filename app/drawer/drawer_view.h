// The library drawer drawn: its tabs, the sessions column with a card for every session on show
// (title, open and kept times, the take count or LIVE, the session's waveform), the takes column
// with its reading or joining progress, the session map (peaks over the spectrogram, where each
// take starts, the selected take) and a row per take with its thumbnail, the player pane, the files
// tab's place, the resize edge and the context menu. Draws from the models' fields and text
// helpers only. Main thread only.
#pragma once
#include "app/shell/draw.h"

struct AppState;
struct DrawerUi;

// The drawer in the main layout's drawer rectangle (nothing while it is closed).
void draw_drawer(Canvas* c, AppState* app);
// The context menu, over everything but the overlays.
void draw_drawer_menu(Canvas* c, AppState* app);
// Frees the map's picture (before the renderer goes, or after it lost its device).
void drawer_view_release(DrawerUi* ui);
