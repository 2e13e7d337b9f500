// The window backend: SDL video, the borderless window with its renderer and text renderer, the
// saved-rectangle rules, SDL events turned into InputEvent records, the event watch that redraws
// while the window is moved or resized, hit-testing for the drawn frame, screenshots and the
// start-up message box. The only file besides draw.cpp that includes SDL. Main thread only,
// except the event watch, which SDL may call on any thread (it draws only on the main thread).
#pragma once
#include "app/shell/draw.h"
#include "app/shell/input.h"
#include "config/settings.h"

struct AppWindow;

constexpr int kDefaultWindowW = 960;
constexpr int kDefaultWindowH = 540;

// Where the window opens: the saved rectangle when its size is sane and it lies on a connected
// display, else centred (with the saved size when that is sane, else 960 x 540).
struct DisplayBounds {
  int x, y, w, h;
};
struct WindowPlacement {
  int x, y, w, h;
  bool centred;
};
void window_placement(const Settings& s, const DisplayBounds* displays, int display_count, WindowPlacement* out);

// Parts of the drawn frame, for the system's move and resize handling.
enum class HitZone { kNormal, kDrag, kTop, kBottom, kLeft, kRight, kTopLeft, kTopRight, kBottomLeft, kBottomRight };

struct WindowCallbacks {
  void (*redraw)(void* ctx);                  // draw one frame now (exposed, moved, resized)
  HitZone (*hit)(void* ctx, float x, float y);  // output pixels
  void* ctx;
};

// SDL_SetHint(SDL_MOUSE_FOCUS_CLICKTHROUGH) and SDL_Init(SDL_INIT_VIDEO); logs "SDL_Init failed:
// %s" on failure. 0 or -1.
int window_init_video();
// Creates the hidden window (minimum 800 x 480), its renderer and text renderer, the hit test and
// the event watch. Logs "SDL window/renderer failed: %s" on failure. 0 or -1 (*out null).
int window_open(const Settings& s, const WindowCallbacks& callbacks, AppWindow** out);
// A floating panel's own window: borderless and resizable like the main window, drawn by the
// program (callbacks.hit names its title strip and edges), shown at once, without an event watch.
// 0 or -1 (*out null).
int window_open_panel(const char* title, int x, int y, int w, int h, const WindowCallbacks& callbacks,
                      AppWindow** out);
// Destroys a panel's window; SDL keeps running. Null is fine.
void window_close_panel(AppWindow* w);
// The id InputEvent.window_id carries for a panel window's events.
uint32_t window_id(const AppWindow* w);
// Removes the event watch (the first step of the shutdown's release of the window).
void window_stop_watch(AppWindow* w);
// Text renderer, renderer, window, then SDL_Quit. Null is fine.
void window_close(AppWindow* w);

void window_show(AppWindow* w, bool maximised);
bool window_visible(const AppWindow* w);
bool window_maximised(const AppWindow* w);
// The drawing surface sized to the current output.
Canvas* window_canvas(AppWindow* w);
void window_set_title(AppWindow* w, const char* title);
// Position and size in window coordinates; true when maximised or full-screen.
bool window_geometry(const AppWindow* w, int* x, int* y, int* width, int* height);
// Grows or shrinks the window by dw pixels (window coordinates), lowering its minimum width first.
void window_set_minimum(AppWindow* w, int width, int height);
void window_resize_by(AppWindow* w, int dw);
void window_minimise(AppWindow* w);
void window_toggle_maximise(AppWindow* w);

// The next pending event as an InputEvent; false when none is left.
bool window_poll(AppWindow* w, InputEvent* out);
// True once after the renderer lost its device (textures must be rebuilt).
bool window_take_device_reset(AppWindow* w);
// Text renderer made afresh (after a device reset).
void window_rebuild_text(AppWindow* w);

// Where the pointer is now, in output pixels of the window (outside it too): for drops, which come
// without a position while another program drags. False when it cannot be asked.
bool window_pointer(AppWindow* w, float* x, float* y);

// The X11 display (Display*) and window of the main window; false when SDL runs on anything else.
bool window_x11(AppWindow* w, void** display, unsigned long* xwindow);

// The desktop's clipboard as text: copied into out (empty when it holds none); set, true when it took it.
void clipboard_text(char* out, size_t cap);
bool clipboard_set_text(const char* text);

// Reads back the frame drawn so far as 32-bit ARGB and saves it as a BMP. 0 or -1.
int window_save_screenshot(AppWindow* w, const char* path);
void window_present(AppWindow* w);

// A modal error box (no window needed). Returns when the user closes it or at once when no
// display can show it.
void show_error_box(const char* title, const char* text);

// Puts text on the desktop's clipboard. 0 or -1.
int window_copy_text(const char* text);
