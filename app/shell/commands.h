// The main view's commands: the keys that act wherever the focus is, the main view's key map, the
// button strip and the header's doors. Each is a plain function of the application record; the
// event routing (route.h) decides who gets an event first. Main thread only.
#pragma once
#include "app/shell/app_state.h"
#include "app/shell/frame.h"
#include "app/shell/input.h"
#include "app/shell/trigger.h"

constexpr float kThresholdStep = 1.0f / 80.0f;  // 1 dB of the threshold slider
constexpr float kHoldStep = 0.01f;
constexpr float kShiftFactor = 5.0f;

// Space and the ARM button: arms, or ends the session; a session held back by a disk error is
// finished instead of arming.
void command_arm_or_stop(AppState* app);

// Ctrl+, (options), F1 (help) and Ctrl+O (open a file), wherever the focus is. True when taken.
bool anywhere_key(AppState* app, const InputEvent& ev);
// A key press nothing before the main view took.
void main_view_key(AppState* app, const InputEvent& ev);
// G let go: the gate follows what still holds it.
void gate_key_up(AppState* app);

// A strip button pressed with the mouse: its spring pressed, its command run.
void strip_command(AppState* app, int button);
// The mouse let go: a gate held with the GATE button ends with it, unless G still holds it.
void gate_mouse_up(AppState* app);
// A door of the header (the window's own buttons are the frame's).
void header_command(AppState* app, HeaderItem item);
