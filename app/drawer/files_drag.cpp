// The XDND source. The button went down in our window, so SDL's connection holds the pointer;
// that grab is let go and taken again on a connection of our own, on the root window, so every
// motion and the release come here wherever the pointer goes. The target under the pointer is
// the innermost window on the way down from the root that carries XdndAware; our own window is
// never one (its events wait for this loop to end).
#include "app/drawer/files_drag.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <poll.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "config/log.h"
#include "platform/clock.h"

namespace {

constexpr long kVersion = 5;

struct Atoms {
  Atom aware, enter, position, status, leave, drop, finished, selection, copy, uri_list, targets;
};

struct Drag {
  Display* d = nullptr;
  Window root = 0, source = 0, own = 0;
  Atoms a{};
  std::string list;      // the text/uri-list offered
  Window target = 0;     // under the pointer, 0 none
  long version = 0;      // the target's
  bool accepted = false; // its last XdndStatus
  bool waiting = false;  // a position sent, its status not yet come
  bool moved = false;    // a position to send once the status came
  int x = 0, y = 0;
};

void send(Drag& g, Window to, Atom type, long l1, long l2, long l3, long l4) {
  XEvent ev{};
  ev.xclient.type = ClientMessage;
  ev.xclient.display = g.d;
  ev.xclient.window = to;
  ev.xclient.message_type = type;
  ev.xclient.format = 32;
  ev.xclient.data.l[0] = long(g.source);
  ev.xclient.data.l[1] = l1;
  ev.xclient.data.l[2] = l2;
  ev.xclient.data.l[3] = l3;
  ev.xclient.data.l[4] = l4;
  XSendEvent(g.d, to, False, NoEventMask, &ev);
  XFlush(g.d);
}

// The XDND version a window speaks, 0 when it takes no drops.
long aware_version(Drag& g, Window w) {
  Atom type = None;
  int format = 0;
  unsigned long count = 0, after = 0;
  unsigned char* data = nullptr;
  long version = 0;
  if (XGetWindowProperty(g.d, w, g.a.aware, 0, 1, False, XA_ATOM, &type, &format, &count, &after, &data) == Success &&
      data && count == 1 && format == 32)
    version = long(*reinterpret_cast<unsigned long*>(data));
  if (data) XFree(data);
  return version;
}

Window target_at(Drag& g, int x, int y, long* version) {
  Window w = g.root, child = 0;
  int wx = 0, wy = 0;
  Window found = 0;
  for (int depth = 0; depth < 16; ++depth) {
    if (!XTranslateCoordinates(g.d, g.root, w, x, y, &wx, &wy, &child) || child == None) break;
    w = child;
    if (const long v = aware_version(g, w); v > 0) found = w, *version = v;
  }
  return found == g.own ? 0 : found;
}

void send_position(Drag& g, Time t) {
  send(g, g.target, g.a.position, 0, (long(g.x) << 16) | long(g.y & 0xFFFF), long(t), long(g.a.copy));
  g.waiting = true;
  g.moved = false;
}

void move_to(Drag& g, int x, int y, Time t) {
  g.x = x, g.y = y;
  long version = 0;
  const Window w = target_at(g, x, y, &version);
  if (w != g.target) {
    if (g.target) send(g, g.target, g.a.leave, 0, 0, 0, 0);
    g.target = w;
    g.version = std::min(version, kVersion);
    g.accepted = g.waiting = false;
    if (w) send(g, w, g.a.enter, g.version << 24, long(g.a.uri_list), 0, 0);
  }
  if (!g.target) return;
  if (g.waiting) g.moved = true;  // one position at a time: the next goes when its status came
  else send_position(g, t);
}

void answer(Drag& g, const XSelectionRequestEvent& req) {
  XEvent reply{};
  reply.xselection.type = SelectionNotify;
  reply.xselection.display = g.d;
  reply.xselection.requestor = req.requestor;
  reply.xselection.selection = req.selection;
  reply.xselection.target = req.target;
  reply.xselection.time = req.time;
  reply.xselection.property = None;
  const Atom property = req.property != None ? req.property : req.target;
  if (req.target == g.a.uri_list) {
    XChangeProperty(g.d, req.requestor, property, g.a.uri_list, 8, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(g.list.data()), int(g.list.size()));
    reply.xselection.property = property;
  } else if (req.target == g.a.targets) {
    const Atom offered[] = {g.a.targets, g.a.uri_list};
    XChangeProperty(g.d, req.requestor, property, XA_ATOM, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(offered), 2);
    reply.xselection.property = property;
  }
  XSendEvent(g.d, req.requestor, False, NoEventMask, &reply);
  XFlush(g.d);
}

// The next event before the deadline (tick_ms); false when none came.
bool next_event(Drag& g, uint32_t until_ms, XEvent* out) {
  for (;;) {
    if (XPending(g.d) > 0) {
      XNextEvent(g.d, out);
      return true;
    }
    const int32_t left = int32_t(until_ms - tick_ms());
    if (left <= 0) return false;
    pollfd p{ConnectionNumber(g.d), POLLIN, 0};
    poll(&p, 1, std::min(left, 100));
  }
}

// After the release on a target that took it: the drop, then its XdndFinished.
int finish(Drag& g, Time t) {
  send(g, g.target, g.a.drop, 0, long(t), 0, 0);
  const uint32_t until = tick_ms() + kXdndFinishMs;
  XEvent ev;
  while (next_event(g, until, &ev)) {
    if (ev.type == SelectionRequest) answer(g, ev.xselectionrequest);
    else if (ev.type == ClientMessage && ev.xclient.message_type == g.a.finished)
      return g.version < 5 || (ev.xclient.data.l[1] & 1) ? 1 : 0;
  }
  log_line("files: the drop target did not finish within %d ms", kXdndFinishMs);
  return 0;
}

}  // namespace

int xdnd_drag_uri(void* sdl_display, unsigned long sdl_window, const char* uri) {
  Display* theirs = static_cast<Display*>(sdl_display);
  Drag g;
  g.d = XOpenDisplay(DisplayString(theirs));
  if (!g.d) {
    log_line("files: no display connection for the drag");
    return -1;
  }
  g.root = DefaultRootWindow(g.d);
  g.own = Window(sdl_window);
  g.list = std::string(uri) + "\r\n";
  const char* names[] = {"XdndAware", "XdndEnter",    "XdndPosition",   "XdndStatus",    "XdndLeave",   "XdndDrop",
                         "XdndFinished", "XdndSelection", "XdndActionCopy", "text/uri-list", "TARGETS"};
  Atom atoms[11];
  XInternAtoms(g.d, const_cast<char**>(names), 11, False, atoms);
  g.a = Atoms{atoms[0], atoms[1], atoms[2], atoms[3], atoms[4], atoms[5], atoms[6], atoms[7], atoms[8], atoms[9], atoms[10]};
  g.source = XCreateSimpleWindow(g.d, g.root, -10, -10, 1, 1, 0, 0, 0);

  // The button's implicit grab is SDL's; let it go and take the pointer here.
  XUngrabPointer(theirs, CurrentTime);
  XFlush(theirs);
  int rc = -1;
  if (XGrabPointer(g.d, g.root, False, ButtonReleaseMask | PointerMotionMask, GrabModeAsync, GrabModeAsync, None, None,
                   CurrentTime) != GrabSuccess) {
    log_line("files: the pointer could not be taken for the drag");
  } else {
    XSetSelectionOwner(g.d, g.a.selection, g.source, CurrentTime);
    log_line("files: dragging %s", uri);
    Window r = 0, c = 0;
    int rx = 0, ry = 0, wx = 0, wy = 0;
    unsigned int mask = 0;
    if (XQueryPointer(g.d, g.root, &r, &c, &rx, &ry, &wx, &wy, &mask)) move_to(g, rx, ry, CurrentTime);
    rc = 0;
    const uint32_t until = tick_ms() + kXdndDragMs;
    XEvent ev;
    bool released = false;
    while (!released && next_event(g, until, &ev)) {
      switch (ev.type) {
        case MotionNotify: move_to(g, ev.xmotion.x_root, ev.xmotion.y_root, ev.xmotion.time); break;
        case SelectionRequest: answer(g, ev.xselectionrequest); break;
        case ClientMessage:
          if (ev.xclient.message_type == g.a.status && Window(ev.xclient.data.l[0]) == g.target) {
            g.accepted = (ev.xclient.data.l[1] & 1) != 0;
            g.waiting = false;
            if (g.moved) send_position(g, CurrentTime);
          }
          break;
        case ButtonRelease:
          released = true;
          if (g.target && g.accepted) rc = finish(g, ev.xbutton.time);
          else if (g.target) send(g, g.target, g.a.leave, 0, 0, 0, 0);
          break;
        default: break;
      }
    }
    if (!released && g.target) send(g, g.target, g.a.leave, 0, 0, 0, 0);
    XUngrabPointer(g.d, CurrentTime);
  }
  XDestroyWindow(g.d, g.source);
  XCloseDisplay(g.d);
  return rc;
}
