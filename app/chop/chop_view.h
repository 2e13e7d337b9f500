// The chop view drawn in the scope's place while a file is open for chopping (reading with its
// moving bar, the file's envelope with the takes the line cuts, or the failure), and the two chop
// buttons that replace the button strip. The job itself lives in library/chop; this is its look and
// its hit areas. Main thread only.
#pragma once
#include <cstdint>

#include "app/shell/draw.h"
#include "library/chop.h"

struct AppState;

constexpr float kChopTopStripH = 26.0f;  // file name and take figures across the view's top
constexpr float kChopTickH = 8.0f;       // a take's tick at the top of its span
constexpr uint32_t kChopSpanShade = 0xFF2B2828;
constexpr uint32_t kChopBarInTake = 0xFFE9E5E2;
constexpr uint32_t kChopBarOutside = 0xFF423F3E;
constexpr uint32_t kChopFailedText = 0xFF4D42EB;

enum ChopButton : int { kChopMake = 0, kChopCancel = 1, kChopButtons = 2 };

// Scratch of the view and the buttons' hover, kept in the application record.
struct ChopView {
  Rect bars[2][kChopMaxColumns];  // outside a take, inside one
  Rect spans[kChopMaxTakes];
  Rect ticks[kChopMaxTakes];
  float hover[kChopButtons];      // 0..1, as the strip's buttons
};

// What the view writes: the centred word ("READING", the failure; empty when ready) in its colour,
// the file's name, and for a ready job the top strip's right text.
struct ChopViewText {
  char headline[kChopMessageBytes];
  uint32_t headline_colour;
  const char* file_name;          // points into the job's source path
  char figures[kChopTextBytes];   // "%d TAKES   KEPT %s OF %s" (ready only)
};
void chop_view_text(const ChopJob* job, ChopViewText* out);

// The pixel columns [first, end) a take of blocks [start, end) covers in a view of w columns over
// n blocks (at least one column).
void chop_take_columns(int start, int end, int n, int w, int* first, int* last_exclusive);

// Draws the chop view over r, running the cut for the current slider positions first.
void draw_chop_view(Canvas* c, const Rect& r, AppState* app, uint32_t now_ms);

// ---- The chop buttons ----

// The left button is two thirds of the strip less 6 pixels, the right one the last third less 6.
Rect chop_button_rect(const MainLayout& l, int button);
// The button under (x, y), or -1.
int chop_button_at(const MainLayout& l, float x, float y);

struct ChopButtonLook {
  char label[kChopTextBytes];
  bool active;       // MAKE SESSION: ready with at least one take; CANCEL: always
  uint32_t fill, text;
};
ChopButtonLook chop_button_look(const ChopJob* job, int button);
void draw_chop_buttons(Canvas* c, const AppState* app);
