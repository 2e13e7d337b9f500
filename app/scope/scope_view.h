// The scope area: the live input as level columns over the spectrum waterfall, with the threshold
// line, the gate-out line, the hold bar and the live detector; the trigger-EQ view with its
// filter handles; the side panel's tabs and sliders; the tape strip under the scope. The view
// state (auto-fit, drag, double-click memory, spectrum pictures) lives here; the engine is read
// through its published values only. Main thread only.
#pragma once
#include <cstdint>

#include "analysis/spectrum.h"
#include "app/shell/draw.h"
#include "capture/engine.h"

struct AppState;

constexpr int kScopeMinColumns = 64;
constexpr int kScopeMaxColumns = 511;
constexpr int kTapeStripValues = 8192;   // widest tape strip drawn
constexpr int kScopeDashes = kTapeStripValues / 10 + 1;
constexpr float kScopePad = 4.0f;        // a full-scale column stops this far below the top
constexpr float kFitCeiling = 0.92f;     // the loudest column is kept under this share of the height
constexpr float kFitFall = 0.35f;        // share of the gap closed per frame when shrinking
constexpr float kFitRise = 0.012f;       // ... and when growing back
constexpr int kWaterfallRowPx = 3;       // one spectrum row per 3-pixel column
constexpr int kEqRowPx = 4;              // trigger-EQ view: 4 pixels a row
constexpr int kEqCurveStepPx = 4;        // the filter response is sampled every 4 pixels
constexpr int kEqCurvePoints = kTapeStripValues / kEqCurveStepPx + 2;

enum class ScopeDragKind { kNone, kSlider, kThreshold, kEqBand };
enum EqBand : int { kBandNone = 0, kBandHighPass = 1, kBandLowPass = 2, kBandPeak = 3 };

struct ScopeDrag {
  ScopeDragKind kind;
  int slider;            // key 0..11 while a slider is dragged
  int row;               // and its row in the side panel
  int band;              // EqBand while a handle is dragged
  float press_x, press_y;
  float hold_at_press;   // hold position when the line was taken
  float start_hz;        // band frequency when the handle was taken
  float start_shape;     // its slope (dB/octave) or Q
};

// One orientation of the spectrum history kept as a texture that mirrors the analyser's ring:
// each analyser row lands in texel column (waterfall) or texel row (trigger-EQ view) r mod 720.
struct SpectrumPicture {
  SDL_Texture* texture;
  uint64_t rows_done;    // analyser rows copied in
  uint32_t colour;       // cell colour and background the texels were made with
  uint32_t background;
  bool filled;           // every slot written at least once
};

struct ScopeView {
  // Display.
  float fit;             // auto-fit factor; 0 before the first frame (counts as 1)
  float fit_applied;     // the factor last handed to the engine
  float floor_level;     // smoothed square root of the input level
  float tape_flash;      // continue flash, 1 after a session was continued, fades to 0
  int64_t last_ns;       // previous frame, for the fades

  // Pointer.
  ScopeDrag drag;
  uint32_t click_ms;     // tick of the last slider or handle press
  int click_control;     // its slider key, or 100 + EqBand; -1 = none
  bool threshold_dragged;  // the line was dragged up or down (a lesson for the training panel)
  bool handle_moved;       // an EQ handle was moved

  // Spectrum history pictures; cells_only once a texture was refused.
  SpectrumPicture waterfall, eq_history;
  bool cells_only;

  // Scratch kept out of the stack.
  ScopeColumn columns[kScopeColumns];
  int column_have;       // columns fetched this frame
  Rect bars[4][kScopeColumns];   // quiet, at threshold, would open, recording
  Rect caps[4][kScopeColumns];
  Rect glows[4][kScopeColumns];  // one row of the glows above the caps
  Rect dashes[kScopeDashes];
  float tape[kTapeStripValues];
  Rect tape_bars[kTapeStripValues];
  float curve[2 * kEqCurvePoints];
  Rect fills[kSpectrumBands];
  float mono[kSpectrumSize];
  uint32_t texels[kSpectrumRows * kSpectrumBands];
};

// Columns shown for a scope w pixels wide: clamp(w / 2, 64, 511).
int scope_column_count(float w);
// Display height of a level for a scope of height h with display gain o.
float scope_level_height(float level, float gain, float h);
// The display gain o: the scale factor times the auto-fit factor (a non-positive one counts as 1).
float scope_display_gain(float scale_position, float fit);
// One frame of the auto-fit toward keeping the loudest column (times the scale factor) under 92 %.
float scope_fit_step(float fit, float loudest, float scale_factor);

// The threshold view (and configuration view): background, waterfall, floor glow, columns, the
// threshold line with its hold bar and label, the gate-out line and the live detector.
void draw_scope(Canvas* c, const Rect& r, AppState* app);
// The trigger-EQ view: the spectrum history, the frequency grid, the newest row, the trigger
// filters' combined response and their three handles.
void draw_eq_view(Canvas* c, const Rect& r, AppState* app);
// The trigger filters' combined gain in dB at hz, from the coefficients the engine runs with.
double eq_response_db(const EqCoefficients& c, double rate, double hz);
// The side panel: the three mode tabs and the four sliders of the current mode.
void draw_side_panel(Canvas* c, const Rect& r, AppState* app);
// The tape strip: the whole tape of the session with its take marks and the play head.
void draw_tape_strip(Canvas* c, const Rect& r, AppState* app);

// Frees the textures (before the renderer goes, or after it lost its device).
void scope_view_release(ScopeView* v);
