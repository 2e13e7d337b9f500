// The three floating panels OPTIONS, TOLM and LIBRARY: where each sits inside the main window,
// whether it is open, whether it is detached into a window of its own and that window's
// rectangle, all restored from and collected into the settings' panel block; dragging by the
// title strip, the detach / dock and close buttons, the detached windows themselves and each
// panel's chrome. What a panel holds is panel_content's. Only a panel whose content exists in this
// build is shown; the others keep their stored block. Main thread only.
#pragma once
#include <cstdint>

#include "app/shell/draw.h"
#include "app/shell/input.h"
#include "app/shell/window.h"
#include "config/settings.h"

struct AppState;
struct AppWindow;

constexpr float kPanelTitleH = 30.0f;
constexpr float kPanelButtonW = 34.0f;
constexpr int kPanelOriginX = 60, kPanelOriginY = 50;  // panel i starts at (60 + 30 i, 50 + 12 i)
constexpr int kPanelStepX = 30, kPanelStepY = 12;
constexpr int kPanelDefaultW[kPanelCount] = {520, 780, 560};
constexpr int kPanelDefaultH[kPanelCount] = {506, 520, 620};
constexpr int kPanelWindowMinW = 360;   // a detached window is at least this big
constexpr int kPanelWindowMinH = 240;
constexpr int kPanelWindowMaxSide = 8192;

enum class PanelPart { kNone, kTitle, kDetach, kClose, kBody };

struct FloatingPanel {
  // As stored in the panel block.
  int x, y;                          // top-left inside the main window
  bool open;
  bool detached;
  int win_x, win_y, win_w, win_h;    // the detached window; a size of 0 = not placed yet
  // Runtime.
  int w, h;                          // size inside the main window
  AppWindow* window;                 // the detached window while it is shown
  uint32_t window_id;                // its events carry this id
  float drawn_w, drawn_h;            // the detached window's drawing size, last frame (output pixels)
  bool dragging;
  float grab_x, grab_y;              // pointer offset from the top-left while dragging
  PanelPart hover;
};

struct PanelSet {
  FloatingPanel panel[kPanelCount];
  uint32_t raised[kPanelCount];      // when each was last raised; the highest is drawn on top
  uint32_t raises;                   // counts raises
};

const char* panel_title(int index);
// Open, with its content in this build.
bool panel_shown(const AppState* app, int index);
// Whether the panel's content exists in this build (only those are shown and take events).
bool panel_has_content(int index);

// Every panel at its default place and size, closed, attached.
void panels_init(PanelSet* s);
// Takes a panel's stored values when any of x, y, open, det is non-zero (the LIBRARY panel only
// when it was both open and detached).
void panels_restore(PanelSet* s, const Settings& settings);
// Writes every panel's eight values into the block.
void panels_collect(const PanelSet& s, Settings* settings);

// The panel's rectangle in a content area of cw x ch: its own place and size, moved (and, when
// the area is smaller, cut) so it lies inside, below the header.
Rect panel_rect(const FloatingPanel& p, int cw, int ch);
// The part of a panel of size w x h at (x, y) relative to its top-left.
PanelPart panel_part_at(float w, float h, float x, float y);
Rect panel_button_rect(float w, PanelPart part);
// A panel window of w x h: edges resize, the title strip (kPanelTitleH high) moves it, its
// buttons are ordinary content.
HitZone panel_frame_hit(float w, float h, float x, float y);

// After the main window exists: panels restored open and detached get their windows. Before it
// goes: their windows are closed (the block keeps them detached).
void panels_start(AppState* app);
void panels_stop(AppState* app);
// Reads the detached windows' rectangles and writes the block into the settings.
void panels_collect_into_settings(AppState* app);

void panel_open(AppState* app, int index);
void panel_close(AppState* app, int index);
// Into a window of its own, and back into the main window.
void panel_detach(AppState* app, int index);
void panel_dock(AppState* app, int index);

// What a panel's body was given, handed back by panels_take_event for the content to act on.
enum class PanelBodyKind { kNone, kPress, kWheel };
struct PanelBodyEvent {
  PanelBodyKind kind;
  int index;      // the panel
  Rect body;      // its body (a press only), in the coordinates of x and y
  float x, y;
  float notches;  // the wheel: vertical motion, else horizontal
};

// Pointer events for the panels: presses, drags and the wheel over an attached panel, and every
// pointer and window event of a detached panel's window. True when a panel took the event; a press
// or wheel in a panel's body comes back in *body (kind kNone otherwise).
bool panels_take_event(AppState* app, const InputEvent& ev, PanelBodyEvent* body);

// A panel's chrome in r (a rounded card with a shadow inside the main window, the whole window in
// its own): title, detach or dock and close buttons. Returns the body's rectangle.
Rect draw_panel_frame(Canvas* c, const AppState* app, int index, const Rect& r, bool own_window);
// The panels shown inside the main window, bottom to top, where each is drawn this frame (the
// options panel slides in on the panel spring). Returns how many.
int panels_attached(const AppState* app, int order[kPanelCount], Rect rects[kPanelCount]);
