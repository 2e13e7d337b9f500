// The SDL window backend.
#include "app/shell/window.h"

#include <SDL.h>
#include <SDL_syswm.h>

#include <algorithm>
#include <cmath>

#include "config/log.h"
#include "platform/text.h"
#include "ui/text.h"

struct AppWindow {
  SDL_Window* window;
  SDL_Renderer* renderer;
  Canvas canvas;
  WindowCallbacks callbacks;
  SDL_threadID main_thread;
  bool watching;
  bool device_reset;  // set by the watch, taken by the main loop
  float scale;        // output pixels per window coordinate
};

namespace {

constexpr int kMaxDisplays = 16;
constexpr int kEdgeMargin = 100;      // a saved left edge lies this far inside the display
constexpr int kTopAbove = 10;         // the top may sit this far above the display's top
constexpr int kTopBelowBottom = 100;  // and must be this far above its bottom
constexpr int kBottomBelowTop = 50;   // the bottom must be this far below the display's top

bool sane_size(int w, int h) {
  return w >= kMinContentW && h >= kMinContentH && w <= kMaxContentSide && h <= kMaxContentSide;
}

void update_scale(AppWindow* w) {
  int ww = 0, wh = 0, ow = 0, oh = 0;
  SDL_GetWindowSize(w->window, &ww, &wh);
  if (SDL_GetRendererOutputSize(w->renderer, &ow, &oh) != 0 || ow <= 0 || oh <= 0) ow = ww, oh = wh;
  w->scale = ww > 0 ? float(ow) / float(ww) : 1.0f;
  w->canvas.w = ow;
  w->canvas.h = oh;
}

int watch(void* data, SDL_Event* ev) {
  auto* w = static_cast<AppWindow*>(data);
  if (ev->type == SDL_RENDER_DEVICE_RESET || ev->type == SDL_RENDER_TARGETS_RESET) {
    w->device_reset = true;
    return 0;
  }
  if (ev->type != SDL_WINDOWEVENT || SDL_ThreadID() != w->main_thread || !w->renderer) return 0;
  const Uint8 kind = ev->window.event;
  if (kind != SDL_WINDOWEVENT_EXPOSED && kind != SDL_WINDOWEVENT_MOVED && kind != SDL_WINDOWEVENT_SIZE_CHANGED)
    return 0;
  if (!window_visible(w) || !w->callbacks.redraw) return 0;
  update_scale(w);
  w->callbacks.redraw(w->callbacks.ctx);
  return 0;
}

SDL_HitTestResult hit_test(SDL_Window*, const SDL_Point* area, void* data) {
  auto* w = static_cast<AppWindow*>(data);
  if (!w->callbacks.hit) return SDL_HITTEST_NORMAL;
  switch (w->callbacks.hit(w->callbacks.ctx, float(area->x) * w->scale, float(area->y) * w->scale)) {
    case HitZone::kDrag: return SDL_HITTEST_DRAGGABLE;
    case HitZone::kTop: return SDL_HITTEST_RESIZE_TOP;
    case HitZone::kBottom: return SDL_HITTEST_RESIZE_BOTTOM;
    case HitZone::kLeft: return SDL_HITTEST_RESIZE_LEFT;
    case HitZone::kRight: return SDL_HITTEST_RESIZE_RIGHT;
    case HitZone::kTopLeft: return SDL_HITTEST_RESIZE_TOPLEFT;
    case HitZone::kTopRight: return SDL_HITTEST_RESIZE_TOPRIGHT;
    case HitZone::kBottomLeft: return SDL_HITTEST_RESIZE_BOTTOMLEFT;
    case HitZone::kBottomRight: return SDL_HITTEST_RESIZE_BOTTOMRIGHT;
    case HitZone::kNormal: break;
  }
  return SDL_HITTEST_NORMAL;
}

int key_from(SDL_Keycode k, int mods) {
  switch (k) {
    case SDLK_SPACE: return kKeySpace;
    case SDLK_a: return kKeyA;
    case SDLK_b: return kKeyB;
    case SDLK_g: return kKeyG;
    case SDLK_h: return kKeyH;
    case SDLK_l: return kKeyL;
    case SDLK_m: return kKeyM;
    case SDLK_n: return kKeyN;
    case SDLK_o: return kKeyO;
    case SDLK_p: return kKeyP;
    case SDLK_t: return kKeyT;
    case SDLK_x: return kKeyX;
    case SDLK_UP: return kKeyUp;
    case SDLK_DOWN: return kKeyDown;
    case SDLK_LEFT: return kKeyLeft;
    case SDLK_RIGHT: return kKeyRight;
    case SDLK_TAB: return kKeyTab;
    case SDLK_RETURN:
    case SDLK_KP_ENTER: return kKeyEnter;
    case SDLK_ESCAPE: return kKeyEscape;
    case SDLK_F1: return kKeyF1;
    case SDLK_F12: return kKeyF12;
    case SDLK_F10: return (mods & kModShift) ? kKeyMenu : kKeyOther;
    case SDLK_APPLICATION:
    case SDLK_MENU: return kKeyMenu;
    case SDLK_i: return kKeyI;
    case SDLK_u: return kKeyU;
    case SDLK_HOME: return kKeyHome;
    case SDLK_END: return kKeyEnd;
    case SDLK_COMMA: return kKeyComma;
    case SDLK_BACKQUOTE: return kKeyBackquote;
    case SDLK_QUESTION: return kKeyQuestion;
    case SDLK_SLASH: return (mods & kModShift) ? kKeyQuestion : kKeyOther;
    case SDLK_c: return kKeyC;
    case SDLK_d: return kKeyD;
    case SDLK_DELETE: return kKeyDelete;
    case SDLK_PAGEUP: return kKeyPageUp;
    case SDLK_PAGEDOWN: return kKeyPageDown;
    case SDLK_1:
    case SDLK_KP_1: return kKey1;
    case SDLK_2:
    case SDLK_KP_2: return kKey2;
    case SDLK_3:
    case SDLK_KP_3: return kKey3;
    case SDLK_4:
    case SDLK_KP_4: return kKey4;
    case SDLK_0: return kKey0;
    case SDLK_5: return kKey5;
    case SDLK_6: return kKey6;
    case SDLK_7: return kKey7;
    case SDLK_8: return kKey8;
    case SDLK_9: return kKey9;
    case SDLK_f: return kKeyF;
    case SDLK_v: return kKeyV;
    case SDLK_BACKSPACE: return kKeyBackspace;
    case SDLK_LSHIFT:
    case SDLK_RSHIFT: return kKeyShift;
    case SDLK_LCTRL:
    case SDLK_RCTRL: return kKeyCtrl;
    case SDLK_LALT:
    case SDLK_RALT: return kKeyAlt;
    default: break;
  }
  return kKeyOther;
}

int mods_from(Uint16 m) {
  int out = 0;
  if (m & KMOD_SHIFT) out |= kModShift;
  if (m & KMOD_CTRL) out |= kModCtrl;
  if (m & KMOD_ALT) out |= kModAlt;
  return out;
}

}  // namespace

void window_placement(const Settings& s, const DisplayBounds* displays, int display_count, WindowPlacement* out) {
  if (!sane_size(s.win_w, s.win_h)) {
    *out = WindowPlacement{0, 0, kDefaultWindowW, kDefaultWindowH, true};
    return;
  }
  *out = WindowPlacement{s.win_x, s.win_y, s.win_w, s.win_h, true};
  for (int i = 0; i < display_count; ++i) {
    const DisplayBounds& d = displays[i];
    const bool left_inside = s.win_x > d.x + kEdgeMargin && s.win_x < d.x + d.w - kEdgeMargin;
    const bool top_inside = s.win_y > d.y - kTopAbove && s.win_y < d.y + d.h - kTopBelowBottom;
    const bool bottom_inside = s.win_y + s.win_h > d.y + kBottomBelowTop;
    if (left_inside && top_inside && bottom_inside) {
      out->centred = false;
      return;
    }
  }
}

int window_init_video() {
  SDL_SetHint(SDL_HINT_MOUSE_FOCUS_CLICKTHROUGH, "1");
  if (SDL_Init(SDL_INIT_VIDEO) != 0) {
    log_line("SDL_Init failed: %s", SDL_GetError());
    return -1;
  }
  return 0;
}

int window_open(const Settings& s, const WindowCallbacks& callbacks, AppWindow** out) {
  *out = nullptr;
  DisplayBounds displays[kMaxDisplays];
  int count = 0;
  const int n = std::min(SDL_GetNumVideoDisplays(), kMaxDisplays);
  for (int i = 0; i < n; ++i) {
    SDL_Rect r;
    if (SDL_GetDisplayBounds(i, &r) == 0) displays[count++] = DisplayBounds{r.x, r.y, r.w, r.h};
  }
  WindowPlacement p;
  window_placement(s, displays, count, &p);
  const int x = p.centred ? int(SDL_WINDOWPOS_CENTERED) : p.x;
  const int y = p.centred ? int(SDL_WINDOWPOS_CENTERED) : p.y;
  const Uint32 flags = SDL_WINDOW_BORDERLESS | SDL_WINDOW_RESIZABLE | SDL_WINDOW_ALLOW_HIGHDPI | SDL_WINDOW_HIDDEN;
  auto* w = new AppWindow{};
  w->callbacks = callbacks;
  w->main_thread = SDL_ThreadID();
  w->scale = 1.0f;
  w->window = SDL_CreateWindow("tolm ZEPHA", x, y, p.w, p.h, flags);
  if (w->window) w->renderer = SDL_CreateRenderer(w->window, -1, SDL_RENDERER_TARGETTEXTURE);
  if (!w->window || !w->renderer) {
    log_line("SDL window/renderer failed: %s", SDL_GetError());
    if (w->window) SDL_DestroyWindow(w->window);
    delete w;
    return -1;
  }
  SDL_SetWindowMinimumSize(w->window, kMinContentW, kMinContentH);
  SDL_SetRenderDrawBlendMode(w->renderer, SDL_BLENDMODE_BLEND);
  SDL_RendererInfo info;
  if (SDL_GetRendererInfo(w->renderer, &info) == 0) log_line("ui: renderer %s", info.name);
  w->canvas.renderer = w->renderer;
  window_rebuild_text(w);
  update_scale(w);
  SDL_SetWindowHitTest(w->window, hit_test, w);
  SDL_AddEventWatch(watch, w);
  w->watching = true;
  *out = w;
  return 0;
}

int window_open_panel(const char* title, int x, int y, int w, int h, const WindowCallbacks& callbacks,
                      AppWindow** out) {
  *out = nullptr;
  const Uint32 flags = SDL_WINDOW_BORDERLESS | SDL_WINDOW_RESIZABLE | SDL_WINDOW_ALLOW_HIGHDPI;
  auto* p = new AppWindow{};
  p->callbacks = callbacks;
  p->main_thread = SDL_ThreadID();
  p->scale = 1.0f;
  p->window = SDL_CreateWindow(title, x, y, w, h, flags);
  if (p->window) p->renderer = SDL_CreateRenderer(p->window, -1, SDL_RENDERER_TARGETTEXTURE);
  if (!p->window || !p->renderer) {
    log_line("ui: panel window failed: %s", SDL_GetError());
    if (p->window) SDL_DestroyWindow(p->window);
    delete p;
    return -1;
  }
  SDL_SetWindowMinimumSize(p->window, 360, 240);
  SDL_SetRenderDrawBlendMode(p->renderer, SDL_BLENDMODE_BLEND);
  p->canvas.renderer = p->renderer;
  window_rebuild_text(p);
  update_scale(p);
  SDL_SetWindowHitTest(p->window, hit_test, p);
  *out = p;
  return 0;
}

void window_close_panel(AppWindow* w) {
  if (!w) return;
  if (w->canvas.text) text_renderer_destroy(w->canvas.text);
  if (w->renderer) SDL_DestroyRenderer(w->renderer);
  if (w->window) SDL_DestroyWindow(w->window);
  delete w;
}

uint32_t window_id(const AppWindow* w) { return w && w->window ? SDL_GetWindowID(w->window) : 0; }

void window_rebuild_text(AppWindow* w) {
  if (w->canvas.text) text_renderer_destroy(w->canvas.text);
  w->canvas.text = nullptr;
  if (text_renderer_create(w->renderer, nullptr, &w->canvas.text) != 0)
    log_line("ui: text renderer failed - labels are not drawn");
}

void window_stop_watch(AppWindow* w) {
  if (!w || !w->watching) return;
  SDL_DelEventWatch(watch, w);
  w->watching = false;
}

void window_close(AppWindow* w) {
  if (w) {
    window_stop_watch(w);
    if (w->canvas.text) text_renderer_destroy(w->canvas.text);
    if (w->renderer) SDL_DestroyRenderer(w->renderer);
    if (w->window) SDL_DestroyWindow(w->window);
    delete w;
  }
  SDL_Quit();
}

void window_show(AppWindow* w, bool maximised) {
  SDL_ShowWindow(w->window);
  if (maximised) SDL_MaximizeWindow(w->window);
  update_scale(w);
}

bool window_visible(const AppWindow* w) {
  const Uint32 f = SDL_GetWindowFlags(w->window);
  return (f & SDL_WINDOW_SHOWN) && !(f & (SDL_WINDOW_HIDDEN | SDL_WINDOW_MINIMIZED));
}

bool window_maximised(const AppWindow* w) {
  return (SDL_GetWindowFlags(w->window) & (SDL_WINDOW_MAXIMIZED | SDL_WINDOW_FULLSCREEN)) != 0;
}

Canvas* window_canvas(AppWindow* w) {
  update_scale(w);
  return &w->canvas;
}

void window_set_title(AppWindow* w, const char* title) { SDL_SetWindowTitle(w->window, title); }

bool window_geometry(const AppWindow* w, int* x, int* y, int* width, int* height) {
  SDL_GetWindowPosition(w->window, x, y);
  SDL_GetWindowSize(w->window, width, height);
  return window_maximised(w);
}

void window_set_minimum(AppWindow* w, int width, int height) { SDL_SetWindowMinimumSize(w->window, width, height); }

void window_resize_by(AppWindow* w, int dw) {
  if (dw == 0 || window_maximised(w)) return;
  int width = 0, height = 0;
  SDL_GetWindowSize(w->window, &width, &height);
  SDL_SetWindowSize(w->window, std::max(width + dw, 1), height);
}

void window_minimise(AppWindow* w) { SDL_MinimizeWindow(w->window); }

void window_toggle_maximise(AppWindow* w) {
  if (SDL_GetWindowFlags(w->window) & SDL_WINDOW_MAXIMIZED) SDL_RestoreWindow(w->window);
  else SDL_MaximizeWindow(w->window);
}

// The window an event belongs to, as InputEvent.window_id: 0 for the main window.
static uint32_t event_window(const AppWindow* w, const SDL_Event& ev) {
  Uint32 id = 0;
  switch (ev.type) {
    case SDL_WINDOWEVENT: id = ev.window.windowID; break;
    case SDL_KEYDOWN:
    case SDL_KEYUP: id = ev.key.windowID; break;
    case SDL_MOUSEMOTION: id = ev.motion.windowID; break;
    case SDL_MOUSEBUTTONDOWN:
    case SDL_MOUSEBUTTONUP: id = ev.button.windowID; break;
    case SDL_MOUSEWHEEL: id = ev.wheel.windowID; break;
    default: return 0;
  }
  return id == 0 || id == SDL_GetWindowID(w->window) ? 0 : id;
}

bool window_poll(AppWindow* w, InputEvent* out) {
  SDL_Event ev;
  while (SDL_PollEvent(&ev)) {
    *out = InputEvent{};
    out->window_id = event_window(w, ev);
    switch (ev.type) {
      case SDL_QUIT:
        out->kind = InputKind::kQuit;
        return true;
      case SDL_WINDOWEVENT:
        if (ev.window.event == SDL_WINDOWEVENT_CLOSE && out->window_id != 0) out->kind = InputKind::kWindowClose;
        else if (ev.window.event == SDL_WINDOWEVENT_CLOSE) out->kind = InputKind::kQuit;
        else if (ev.window.event == SDL_WINDOWEVENT_FOCUS_LOST) out->kind = InputKind::kFocusLost;
        else if (ev.window.event == SDL_WINDOWEVENT_LEAVE) out->kind = InputKind::kMouseLeave;
        else continue;
        return true;
      case SDL_KEYDOWN:
      case SDL_KEYUP:
        out->kind = ev.type == SDL_KEYDOWN ? InputKind::kKeyDown : InputKind::kKeyUp;
        out->mods = mods_from(ev.key.keysym.mod);
        out->key = key_from(ev.key.keysym.sym, out->mods);
        out->repeat = ev.key.repeat != 0;
        return true;
      case SDL_MOUSEMOTION:
        out->kind = InputKind::kMouseMove;
        out->x = float(ev.motion.x) * w->scale;
        out->y = float(ev.motion.y) * w->scale;
        return true;
      case SDL_MOUSEBUTTONDOWN:
      case SDL_MOUSEBUTTONUP:
        out->kind = ev.type == SDL_MOUSEBUTTONDOWN ? InputKind::kMouseDown : InputKind::kMouseUp;
        out->x = float(ev.button.x) * w->scale;
        out->y = float(ev.button.y) * w->scale;
        out->button = ev.button.button == SDL_BUTTON_LEFT ? kMouseLeft
                      : ev.button.button == SDL_BUTTON_RIGHT ? kMouseRight : int(ev.button.button);
        out->mods = mods_from(Uint16(SDL_GetModState()));
        out->clicks = ev.button.clicks;
        return true;
      case SDL_MOUSEWHEEL: {
        out->kind = InputKind::kWheel;
        const float flip = ev.wheel.direction == SDL_MOUSEWHEEL_FLIPPED ? -1.0f : 1.0f;
        out->wheel_x = ev.wheel.preciseX * flip;
        out->wheel_y = ev.wheel.preciseY * flip;
        int px = 0, py = 0;
        SDL_GetMouseState(&px, &py);
        out->x = float(px) * w->scale;
        out->y = float(py) * w->scale;
        out->mods = mods_from(Uint16(SDL_GetModState()));
        return true;
      }
      case SDL_TEXTINPUT:
        out->kind = InputKind::kText;
        text_copy(out->path, ev.text.text);
        return true;
      case SDL_DROPFILE:
        out->kind = InputKind::kDrop;
        text_copy(out->path, ev.drop.file ? ev.drop.file : "");
        SDL_free(ev.drop.file);
        return true;
      default:
        break;
    }
  }
  return false;
}

bool window_take_device_reset(AppWindow* w) {
  const bool reset = w->device_reset;
  w->device_reset = false;
  return reset;
}

int window_save_screenshot(AppWindow* w, const char* path) {
  update_scale(w);
  SDL_Surface* shot = SDL_CreateRGBSurfaceWithFormat(0, w->canvas.w, w->canvas.h, 32, SDL_PIXELFORMAT_ARGB8888);
  if (!shot) return -1;
  int result = SDL_RenderReadPixels(w->renderer, nullptr, SDL_PIXELFORMAT_ARGB8888, shot->pixels, shot->pitch);
  if (result == 0) result = SDL_SaveBMP(shot, path);
  SDL_FreeSurface(shot);
  return result == 0 ? 0 : -1;
}

bool window_pointer(AppWindow* w, float* x, float* y) {
  if (!w || !w->window) return false;
  int gx = 0, gy = 0, wx = 0, wy = 0;
  SDL_GetGlobalMouseState(&gx, &gy);
  SDL_GetWindowPosition(w->window, &wx, &wy);
  *x = float(gx - wx) * w->scale;
  *y = float(gy - wy) * w->scale;
  return true;
}

bool window_x11(AppWindow* w, void** display, unsigned long* xwindow) {
#if defined(SDL_VIDEO_DRIVER_X11)
  SDL_SysWMinfo info;
  SDL_VERSION(&info.version);
  if (!w || !w->window || !SDL_GetWindowWMInfo(w->window, &info) || info.subsystem != SDL_SYSWM_X11) return false;
  *display = info.info.x11.display;
  *xwindow = info.info.x11.window;
  return true;
#else
  (void)w, (void)display, (void)xwindow;
  return false;
#endif
}

void clipboard_text(char* out, size_t cap) {
  if (cap) out[0] = 0;
  char* text = SDL_GetClipboardText();
  if (text) text_copy(out, cap, text);
  SDL_free(text);
}

bool clipboard_set_text(const char* text) { return SDL_SetClipboardText(text) == 0; }

void window_present(AppWindow* w) { SDL_RenderPresent(w->renderer); }

void show_error_box(const char* title, const char* text) {
  SDL_ShowSimpleMessageBox(SDL_MESSAGEBOX_ERROR, title, text, nullptr);
}

int window_copy_text(const char* text) { return text && SDL_SetClipboardText(text) == 0 ? 0 : -1; }
