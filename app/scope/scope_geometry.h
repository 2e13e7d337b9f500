// What the scope's view and its controls both need to know: where the side panel's tabs, rows and
// tracks lie, where the EQ handles sit, which sliders each mode shows and how a slider writes its
// value. Pure geometry and text; no state is changed here. Main thread only.
#pragma once
#include <cstdint>

#include "app/shell/layout.h"
#include "capture/engine.h"
#include "config/settings.h"

constexpr int kSliderKeys = 12;
constexpr int kSlidersPerMode = 4;
constexpr float kEqHandleMargin = 20.0f; // handles keep this far from the view's top and bottom
constexpr int kSlopeStep = 6, kSlopeMin = 6, kSlopeMax = 72;  // dB/octave
constexpr float kSlopeSpan = 66.0f;       // slope change over the view's height less 40
constexpr float kQMin = 0.3f, kQMax = 12.0f, kQSpan = 11.7f;
constexpr float kHzMin = 20.0f, kHzMax = 20000.0f;
constexpr float kTabH = 30.0f, kTabTop = 6.0f, kTabGap = 4.0f;
constexpr float kSliderRowsTop = 50.0f;   // below the scope's top
constexpr float kTrackInset = 12.0f, kTrackTop = 22.0f, kTrackH = 16.0f;

// The slider keys of each hud_mode: threshold view, trigger-EQ view, configuration view.
constexpr int kModeSliders[3][kSlidersPerMode] = {{0, 1, 2, 7}, {8, 9, 10, 11}, {3, 4, 5, 6}};

struct SliderText {
  const char* label;
  char value[24];
  float fraction;  // the track's fill, 0..1
};
void slider_text(const TriggerPositions& p, const Settings& s, int key, SliderText* out);

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
