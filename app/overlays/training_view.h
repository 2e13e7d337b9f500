// The training and version-notes panel in the window: created at start-up (where it may open by
// itself on the newest notes), opened by F1 / Shift+F1, T, the help overlay's tabs and the options
// rows, offered every event before anything else while it is up, ticked once a frame, and drawn
// over everything but the key map. The panel itself is the model in learn/. Main thread only.
#pragma once
#include "app/shell/draw.h"
#include "app/shell/input.h"

struct AppState;

// Start-up, once the window is up: the panel from this program's descriptor, and the start-up
// decision about the version notes.
void training_start(AppState* app);
// Opens on kPanelTraining or kPanelNotes (the help overlay and the key map close).
void training_open(AppState* app, int tab);
bool training_shown(const AppState* app);
// Every event first: while closed only a first F1 press is taken (Shift: the notes); while open
// its keys, clicks and the wheel. True when taken.
bool training_take_event(AppState* app, const InputEvent& ev);
// Once a frame: waiting preference writes settle, discovery runs.
void training_frame(AppState* app);
void draw_training_panel(Canvas* c, AppState* app);
// The foot's toast: the title of the step just ticked off, at the right of the foot's second line.
void draw_training_toast(Canvas* c, const Rect& foot, const AppState* app, uint32_t now_ms);
