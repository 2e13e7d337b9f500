// The scope's controls: the twelve side-panel sliders (their texts, fractions, setters and
// double-click defaults), the pointer on the scope (mode tabs, slider rows, tape strip, threshold
// line, EQ handles), the mouse wheel over the scope, and feeding the input's spectrum analyser.
// Every change goes through the slider positions into Settings and on to the engine at once.
// Reads plain input only, so tests drive it without a window. Main thread only.
#pragma once
#include <cstdint>

#include "app/scope/scope_geometry.h"
#include "app/shell/app_state.h"
#include "app/shell/input.h"

constexpr uint32_t kDoubleClickMs = 400;
constexpr uint32_t kSpectrumEveryMs = 33;
constexpr float kEqPickDistance = 60.0f;  // |dx| + |dy| to the nearest handle
constexpr float kPeakDefaultQ = 2.0f;

// Double-click positions of keys 0..7.
constexpr float kSliderDefaults[8] = {0.575f, 0.5f, 0.0f, 0.5f, 0.5f, 0.0f, 0.5f, 0.4f};

// Sets slider `key` from a fraction (clamped to 0..1) and applies it: keys 0..7 are the trigger
// positions; 8, 9, 10 the high-pass, low-pass and peak frequencies 20 x 1000^f Hz (off at the
// outer 2 %); 11 the peak Q 0.3 + 11.7 f.
void set_slider(AppState* app, int key, float fraction);
// A slider's double-click value: keys 0..7 their default, 8..10 off, 11 Q 2.
void reset_slider(AppState* app, int key);

// The left button went down at (x, y) in the main area (after the header and the button strip
// passed on it); tick for double clicks. In chop mode a press in the view takes the threshold
// line whatever the mode tab. True when the scope, the side panel or the tape strip
// took the press.
bool scope_press(AppState* app, float x, float y, uint32_t tick);
// The pointer moved while a drag is active.
void scope_drag(AppState* app, float x, float y);
// The left button came up: every drag ends.
void scope_release(AppState* app);
// A wheel event: over the scope or the chop view (not in the trigger-EQ view) Shift moves the
// scale slider by 1 dB a notch, the plain wheel the gate-out slider by 1 dB. True when it was taken.
bool scope_wheel(AppState* app, const InputEvent& ev);

// Main loop: at most every 33 ms, while the trigger-EQ view or the waterfall is on, one row of
// the newest 8,192 input samples into the input analyser.
void scope_feed_spectrum(AppState* app, uint32_t now_ms);
