// The scope area: the live input as level columns with the threshold line and the live detector,
// the side panel's trigger values and the tape strip under the scope. Reads the engine's
// published values only. Main thread only.
#pragma once
#include "app/draw.h"
#include "app/theme.h"
#include "capture/engine.h"
#include "capture/takes.h"

constexpr int kScopeMinColumns = 64;
constexpr int kScopeMaxColumns = 511;
constexpr int kTapeStripValues = 8192;  // widest tape strip drawn

constexpr int kScopeDashes = kTapeStripValues / 10 + 1;

// The columns fetched this frame and the boxes built from them (scratch kept out of the stack).
struct ScopeView {
  ScopeColumn columns[kScopeColumns];
  Rect bars[4][kScopeColumns];  // quiet, at threshold, would open, recording
  Rect caps[2][kScopeColumns];  // recording, at threshold
  Rect dashes[kScopeDashes];
  float tape[kTapeStripValues];
  Rect tape_bars[kTapeStripValues];
};

// Columns shown for a scope w pixels wide: clamp(w / 2, 64, 511).
int scope_column_count(float w);
// Display height of a level L for a scope of height h with display gain o.
float scope_level_height(float level, float gain, float h);

void draw_scope(Canvas* c, const Rect& r, const CaptureEngine* e, const TriggerPositions& p, const Theme& theme,
                ScopeView* view);
// The side panel: the mode tabs and the four trigger values of the current mode (read-only).
void draw_side_panel(Canvas* c, const Rect& r, float scope_height, const TriggerPositions& p, const Settings& s,
                     int hud_mode);
// The tape strip: the whole tape of the session with its take marks and the play head.
void draw_tape_strip(Canvas* c, const Rect& r, const CaptureEngine* e, const TakeList& takes, ScopeView* view);
