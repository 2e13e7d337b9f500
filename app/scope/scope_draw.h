// Pieces the two scope views share: the per-frame display state, the background, the live
// detector bar, labels placed by their ink, and the spectrum history drawn as a picture (or as
// cells when no texture can be had). Main thread only.
#pragma once
#include <cstdint>

#include "app/shell/draw.h"
#include "app/shell/theme.h"

struct AppState;
struct SpectrumAnalyser;

constexpr uint32_t kScopeBlack = 0xFF000000;
constexpr float kDetectorBarW = 4.0f;
constexpr int kScopeLabelSingle = 15;  // display face size of the small labels (ink about 8 px)
constexpr int kScopeLabelDouble = 30;  // the threshold label, twice that
constexpr float kCellFloor = 0.02f;    // a spectrum value at or under this draws nothing

// Once a frame before a view draws: columns fetched, auto-fit stepped (and handed to the engine),
// floor level and fades advanced.
void scope_frame(AppState* app, const Rect& r);
// Slot 12 when the user chose it, else opaque black.
uint32_t scope_background(const Theme& th);
// The trigger lines both the scope and the chop view draw, for display gain o. The threshold line
// (1 pixel across the view, glowing while dragged, and while live_over: the live detector is over
// it) returns its row; its label sits 18 pixels above it. The gate-out line is dashed, moved
// 3 pixels under the threshold line when it would touch it, and kept inside the view.
float draw_threshold_line(Canvas* c, const Rect& r, const AppState* app, float o, bool live_over, bool recording);
void draw_threshold_label(Canvas* c, const Rect& r, const AppState* app, const char* label, float line_y);
void draw_gate_out_line(Canvas* c, const Rect& r, AppState* app, float o, float line_y);
// The live detector's bar at the right edge (nothing under 1 pixel).
void draw_detector_bar(Canvas* c, const Rect& r, const AppState* app, float o);
// Display-face text with its ink's top at ink_top; returns the advance.
float draw_text_ink_top(Canvas* c, int size, const char* text, float x, float ink_top, uint32_t colour);
float text_ink_height(Canvas* c, int size, const char* text);

// Spectrum cell colours: the waterfall's (WATERFALL COLOR scaled by sqrt(v) x 0.55, blue a further
// 0.75) and the trigger-EQ view's (190 v, 193 v, 198 v); the background at or under the floor.
uint32_t waterfall_texel(float v, uint32_t colour, uint32_t background);
uint32_t eq_history_texel(float v, uint32_t background);

// The background with the waterfall over it: newest row at the right edge, a row per 3-pixel
// column, bands from the bottom up.
void draw_waterfall(Canvas* c, const Rect& r, AppState* app, uint32_t background);
// The background with the history of the trigger-EQ view over it: newest row at the top, 4 pixels
// a row, bands along the frequency axis.
void draw_eq_history(Canvas* c, const Rect& r, AppState* app, uint32_t background);
// The frequency axis share the analyser's bands span: log10(top / 20) / 3 (1 at 40 kHz and up).
float spectrum_axis_share(double rate);
