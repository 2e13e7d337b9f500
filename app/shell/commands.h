// Input events turned into the program's commands: the routing order, the main view's keys, the
// button strip and the header's doors and window buttons, dropped files and the close request.
// Reads only InputEvent records, so tests drive it without a window. Main thread only.
#pragma once
#include "app/shell/app_state.h"
#include "app/shell/input.h"

constexpr float kThresholdStep = 1.0f / 80.0f;  // 1 dB of the threshold slider
constexpr float kHoldStep = 0.01f;
constexpr float kShiftFactor = 5.0f;

// Called by the main loop for every polled event.
void handle_event(AppState* app, const InputEvent& ev);

// After any change of a trigger position or a trigger-related flag: the values go into Settings
// (saved by the once-a-second check) and are applied to the engine.
void apply_trigger_positions(AppState* app);

// Space and the ARM button: arms, or ends the session; a session held back by a disk error is
// finished instead of arming.
void command_arm_or_stop(AppState* app);
