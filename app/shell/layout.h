// The rows and columns of the window: the header across the top, the main area (scope, trigger
// strip, button strip, foot) and the side panel on its right. Pure arithmetic on the content size.
// Main thread only.
#pragma once

struct Rect {
  float x, y, w, h;
  bool contains(float px, float py) const { return px >= x && px < x + w && py >= y && py < y + h; }
};

// Rows of the main area.
constexpr int kMinContentW = 800;
constexpr int kMinContentH = 480;
constexpr int kMaxContentSide = 8192;
constexpr int kHeaderH = 42;
constexpr int kTriggerStripH = 50;
constexpr int kButtonStripH = 42;
constexpr int kFootH = 42;
constexpr int kScopeShort = 188;         // scope height = H - this
constexpr int kSideGap = 4;              // between the main area and the side panel
constexpr int kSideMinWidth = 264;
constexpr int kSideDrawnWidth = 200;     // the side panel is drawn from this width on
constexpr float kSideSlideSeconds = 0.18f;

struct MainLayout {
  int content_w, content_h;
  float side_w;       // right side panel, 0 when hidden
  float main_w;       // W: content width less the side panel and its gap
  Rect header, scope, trigger_strip, button_strip, foot, side;
};

float smoothstep(float x);
// The side panel's width for a slide position s (0 hidden .. 1 shown).
float side_panel_width(int content_w, float s);
void layout_main(int content_w, int content_h, float side_w, MainLayout* out);
