// The scope's controls: the twelve side-panel sliders (their texts, fractions, setters and
// double-click defaults), the pointer on the scope (mode tabs, slider rows, tape strip, threshold
// line, EQ handles), the mouse wheel over the scope, and feeding the input's spectrum analyser.
// Every change goes through the slider positions into Settings and on to the engine at once.
// Reads plain input only, so tests drive it without a window. Main thread only.
#pragma once
#include <cstdint>

#include "app/shell/app_state.h"
#include "app/shell/input.h"

constexpr int kSliderKeys = 12;
constexpr int kSlidersPerMode = 4;
constexpr uint32_t kDoubleClickMs = 400;
constexpr uint32_t kSpectrumEveryMs = 33;
constexpr float kEqPickDistance = 60.0f;  // |dx| + |dy| to the nearest handle
constexpr int kSlopeStep = 6, kSlopeMin = 6, kSlopeMax = 72;  // dB/octave
constexpr float kSlopeSpan = 66.0f;       // slope change over the view's height less 40
constexpr float kQMin = 0.3f, kQMax = 12.0f, kQSpan = 11.7f;
constexpr float kHzMin = 20.0f, kHzMax = 20000.0f;
constexpr float kPeakDefaultQ = 2.0f;
constexpr float kTabH = 30.0f, kTabTop = 6.0f, kTabGap = 4.0f;
constexpr float kSliderRowsTop = 50.0f;   // below the scope's top
constexpr float kTrackInset = 12.0f, kTrackTop = 22.0f, kTrackH = 16.0f;

// The slider keys of each hud_mode: threshold view, trigger-EQ view, configuration view.
constexpr int kModeSliders[3][kSlidersPerMode] = {{0, 1, 2, 7}, {8, 9, 10, 11}, {3, 4, 5, 6}};
// Double-click positions of keys 0..7.
constexpr float kSliderDefaults[8] = {0.575f, 0.5f, 0.0f, 0.5f, 0.5f, 0.0f, 0.5f, 0.4f};

struct SliderText {
  const char* label;
  char value[24];
  float fraction;  // the track's fill, 0..1
};
void slider_text(const TriggerPositions& p, const Settings& s, int key, SliderText* out);

// Sets slider `key` from a fraction (clamped to 0..1) and applies it: keys 0..7 are the trigger
// positions; 8, 9, 10 the high-pass, low-pass and peak frequencies 20 x 1000^f Hz (off at the
// outer 2 %); 11 the peak Q 0.3 + 11.7 f.
void set_slider(AppState* app, int key, float fraction);
// A slider's double-click value: keys 0..7 their default, 8..10 off, 11 Q 2.
void reset_slider(AppState* app, int key);

// Side panel geometry (side: the panel; scope: the scope rectangle beside it).
Rect side_tab_rect(const Rect& side, int tab);
float side_row_height(float scope_h);
Rect side_row_rect(const Rect& side, const Rect& scope, int row);
Rect side_track_rect(const Rect& side, const Rect& scope, int row);

// EQ handles in a view rectangle: centres and whether the band is on.
struct EqHandle {
  float x, y;
  bool on;
};
void eq_handles(const Rect& view, const Settings& s, EqHandle out[3]);  // high-pass, low-pass, peak
float eq_x_from_hz(const Rect& view, float hz);

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
