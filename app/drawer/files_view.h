// The files tab drawn in the drawer's body: the source buttons with their counts, the filter and
// the tempo switch; the item list (name, folder and type, size, length, age, tag, the loader's
// peaks, "DELETE..." on an armed row) or its empty texts; the folder view with the favourites
// strip, the tree and the selected file's preview; the loop panel with its buttons, tempo line,
// message and block strip; the tab's context menu. Draws from the model's fields and text helpers
// only. Main thread only.
#pragma once
#include "app/drawer/drawer_layout.h"
#include "app/shell/draw.h"

struct AppState;

void draw_files_tab(Canvas* c, const DrawerLayout& dl, AppState* app);
void draw_files_menu(Canvas* c, AppState* app);
