// The window's side of opening a file and chopping it: the three ways in (a dropped file, the open
// request, Ctrl+O's dialog), Enter and Esc while the chop is on show, the two chop buttons, and the
// once-a-frame poll of the job. The job and its cut live in library/chop. Main thread only.
#pragma once
#include "app/shell/app_state.h"
#include "app/shell/input.h"

// Chop mode: the chop view and buttons replace the live ones.
inline bool chop_mode(const AppState* app) { return app->chop.mode != 0; }

// A file to chop (a drop, the open request, the dialog's choice): a type the reader does not take
// is refused on the foot; anything else drops the chop on show and starts reading this one.
void open_for_chop(AppState* app, const char* path);
// Ctrl+O: the desktop's open dialog, on a thread of its own (app/desktop); the window goes on.
void chop_open_dialog(AppState* app);
// The dialog's answer (choose_file_to_chop's), in the main loop: the chosen file is opened for
// chopping, or the foot says why not.
void chop_file_chosen(AppState* app, int chosen, const char* path);
// Enter and MAKE SESSION: the cut becomes a reference session and chop mode ends. Only a ready
// chop with takes makes one; with nothing over the line the foot says so and the chop stays.
void chop_make(AppState* app);
// Esc and CANCEL: the chop is dropped (a read in progress is stopped first) and the live view returns.
void chop_cancel(AppState* app);

// Enter and Esc in chop mode, unless the console is open (the overlays and the options panel see
// keys before this). True when taken.
bool chop_key(AppState* app, const InputEvent& ev);
// A left press in the button strip's row in chop mode: the button under it acts. True when the
// press was in the strip's row (taken, even between the buttons).
bool chop_strip_press(AppState* app, float x, float y);

// Once a frame: the job's poll (a finished reader is joined, a failed read put on the foot) and the
// chop buttons' hover.
void chop_frame(AppState* app, float dt);
