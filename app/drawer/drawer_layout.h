// The library drawer on the screen: its width and slide, where its parts lie (the tabs, the
// sessions and takes columns with their rows, the session map, the player pane with its play
// button, waveform, zoom bar, LOOP toggle and gain slider, the resize edge, the context menu), and
// the view state its drawing and its controls share (the pointer's drag, the open menu, the map's
// picture and the drawing scratch). Geometry only: nothing here changes the library or the player.
// Main thread only.
#pragma once
#include <cstdint>

#include "app/shell/layout.h"
#include "library/drawer.h"

struct AppState;
struct Player;
struct SDL_Texture;

constexpr int kDrawerMinW = 360;  // a narrower width (lib_w) means the default
constexpr int kDrawerDefaultW = 1040;
constexpr int kDrawerMaxW = kMaxContentSide - kMinContentW;
constexpr float kDrawerEdgeGrab = 12.0f;  // a press this far left of the right edge resizes
constexpr float kDrawerSlideSeconds = 0.18f;
constexpr float kDrawerTabsH = 34.0f;
constexpr float kDrawerHeadH = 28.0f;  // a column's title row
constexpr float kDrawerMapH = 64.0f;   // the session map over the takes
constexpr float kDrawerPad = 12.0f;
constexpr float kPaneH = 164.0f;       // the player pane at the drawer's foot
constexpr float kMarkerGrab = 7.0f;    // a press this close to a loop marker takes it
constexpr float kZoomEdgeGrab = 6.0f;  // ... to an edge of the zoom bar's span resizes it
constexpr float kMenuW = 340.0f;
constexpr float kMenuItemH = 28.0f;
constexpr float kMenuPad = 6.0f;
constexpr int kDrawerScratch = 8192;  // widest waveform drawn, in columns

enum class DrawerDrag { kNone, kResize, kSeek, kLoopStart, kLoopEnd, kGain, kZoomMove, kZoomStart, kZoomEnd };

// The drawer's view state (in the application record).
struct DrawerUi {
  bool open;    // open or opening
  bool focus;   // holds the keyboard (B opened it, or the pointer was last pressed in it)
  float slide;  // 0 closed .. 1 open
  int width;    // fully open, pixels; 0 = not yet taken from the settings

  // Pointer.
  DrawerDrag drag;
  float grab;                   // resize: pointer offset from the edge; zoom: from the span's start (fraction)
  double span_start, span_end;  // the zoom bar's span when an edge of it was taken
  int hover_list;               // DrawerList under the pointer
  int hover_row;                // its row, -1 = none

  // The context menu while it is up.
  bool menu_open;
  DrawerMenu menu;
  float menu_x, menu_y;  // where it was asked for
  int menu_sel;          // highlighted item, -1 = none

  // The session map's spectrogram as a picture; cells_only once the renderer refused one.
  SDL_Texture* map_texture;
  uint32_t map_drawn;  // the drawer's map_seen the texture was made from; 0 = none
  uint32_t map_ink;    // and the colour it was made with
  bool map_cells_only;

  // Scratch kept out of the stack.
  Rect bars[2][kDrawerScratch];
  uint32_t texels[kMapColumns * kMapBands];
};

// The full width of an open drawer from the lib_w setting (under 360 means 1040).
int drawer_width_from_setting(int lib_w);

struct PaneLayout {
  Rect pane;
  Rect play;              // the play / pause button
  Rect title;             // name and time
  Rect wave;              // the waveform of the view
  Rect zoom;              // the whole file, with the view's span
  Rect loop;              // the LOOP toggle
  Rect gain_label, gain;  // the gain slider's label and track
  Rect text;              // the pane's line
};

struct DrawerLayout {
  Rect area;   // the drawer at its full width (shifted left while it slides)
  Rect shown;  // what of it is on screen
  Rect edge;   // the resize grab zone at the shown right edge
  Rect tabs, tab_library, tab_files;
  Rect sessions_head, sessions;  // the sessions column's title and rows
  Rect takes_head, map, takes;   // the takes column's title, the session map and the rows
  Rect body;                     // the files tab's body (between the tabs and the pane)
  PaneLayout pane;
  int visible_sessions, visible_takes;  // whole rows that fit
};

// The drawer at full_w whose right part shows in the drawer rectangle of the main layout.
void drawer_layout(const Rect& drawer, int full_w, DrawerLayout* out);
// The same for the application's layout of this frame.
void drawer_layout_of(const AppState* app, DrawerLayout* out);
// A list's row rectangle, and the row under (x, y) (-1 when none, or past count).
Rect drawer_row_rect(const Rect& list, int scroll, int index);
int drawer_row_at(const Rect& list, int scroll, int count, float x, float y);

// The waveform's mapping: the file fraction at x, and the x of a fraction (may lie outside).
double pane_fraction_at(const PaneLayout& l, const Player& p, float x);
float pane_x_of(const PaneLayout& l, const Player& p, double fraction);
// The zoom bar's span of the view.
Rect zoom_span_rect(const PaneLayout& l, const Player& p);

// The context menu's box for the content size, and the item under (x, y) (-1 when none).
Rect drawer_menu_rect(const DrawerUi& ui, int content_w, int content_h);
int drawer_menu_item_at(const DrawerUi& ui, int content_w, int content_h, float x, float y);
