// The XDND source: an unmapped window of its own owns the XdndSelection, sends Enter, Position
// and Drop to the target, hands the URI list over when the target asks for the selection, and
// waits for Finished.
#include "tests/app/xdnd_source.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <poll.h>

#include <chrono>
#include <cstdlib>
#include <cstring>

namespace {

constexpr long kXdndVersion = 5;

struct Atoms {
  Atom aware, enter, position, status, drop, finished, selection, copy, uri_list;
};

void send(Display* d, Window target, Atom type, const long (&l)[5]) {
  XEvent ev{};
  ev.xclient.type = ClientMessage;
  ev.xclient.display = d;
  ev.xclient.window = target;
  ev.xclient.message_type = type;
  ev.xclient.format = 32;
  for (int i = 0; i < 5; ++i) ev.xclient.data.l[i] = l[i];
  XSendEvent(d, target, False, NoEventMask, &ev);
  XFlush(d);
}

// The next event within the time left; false when none came.
bool next_event(Display* d, std::chrono::steady_clock::time_point until, XEvent* out) {
  for (;;) {
    if (XPending(d) > 0) {
      XNextEvent(d, out);
      return true;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{ConnectionNumber(d), POLLIN, 0};
    poll(&p, 1, int(left.count()));
  }
}

// Answers the target's request for the selection with the URI list.
void answer(Display* d, const Atoms& a, const XSelectionRequestEvent& req, const std::string& list) {
  XEvent reply{};
  reply.xselection.type = SelectionNotify;
  reply.xselection.display = d;
  reply.xselection.requestor = req.requestor;
  reply.xselection.selection = req.selection;
  reply.xselection.target = req.target;
  reply.xselection.time = req.time;
  reply.xselection.property = None;
  if (req.target == a.uri_list && req.property != None) {
    XChangeProperty(d, req.requestor, req.property, a.uri_list, 8, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(list.data()), int(list.size()));
    reply.xselection.property = req.property;
  }
  XSendEvent(d, req.requestor, False, NoEventMask, &reply);
  XFlush(d);
}

}  // namespace

bool xdnd_drop(const std::string& display, const std::string& window, int x, int y, const std::vector<std::string>& uris,
               int timeout_ms, std::string* why) {
  Display* d = XOpenDisplay(display.c_str());
  if (!d) {
    *why = "cannot open the display " + display;
    return false;
  }
  const Window target = Window(std::strtoul(window.c_str(), nullptr, 10));
  Atoms a{XInternAtom(d, "XdndAware", False),     XInternAtom(d, "XdndEnter", False),
          XInternAtom(d, "XdndPosition", False),  XInternAtom(d, "XdndStatus", False),
          XInternAtom(d, "XdndDrop", False),      XInternAtom(d, "XdndFinished", False),
          XInternAtom(d, "XdndSelection", False), XInternAtom(d, "XdndActionCopy", False),
          XInternAtom(d, "text/uri-list", False)};
  const Window source = XCreateSimpleWindow(d, DefaultRootWindow(d), 0, 0, 1, 1, 0, 0, 0);
  std::string list;
  for (const std::string& u : uris) list += u + "\r\n";
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  bool done = false;

  Atom type = None;
  int format = 0;
  unsigned long count = 0, after = 0;
  unsigned char* aware = nullptr;
  XGetWindowProperty(d, target, a.aware, 0, 1, False, AnyPropertyType, &type, &format, &count, &after, &aware);
  const bool takes_drops = aware && count == 1;
  if (aware) XFree(aware);
  if (!takes_drops) {
    *why = "the window is not XdndAware";
  } else {
    int root_x = 0, root_y = 0;
    Window child = 0;
    XTranslateCoordinates(d, target, DefaultRootWindow(d), x, y, &root_x, &root_y, &child);
    XSetSelectionOwner(d, a.selection, source, CurrentTime);
    send(d, target, a.enter, {long(source), kXdndVersion << 24, long(a.uri_list), 0, 0});
    send(d, target, a.position, {long(source), 0, (long(root_x) << 16) | long(root_y), CurrentTime, long(a.copy)});
    bool dropped = false;
    XEvent ev;
    while (!done && next_event(d, until, &ev)) {
      if (ev.type == SelectionRequest) {
        answer(d, a, ev.xselectionrequest, list);
      } else if (ev.type == ClientMessage && ev.xclient.message_type == a.status && !dropped) {
        if (!(ev.xclient.data.l[1] & 1)) {
          *why = "the target refused the drop";
          break;
        }
        send(d, target, a.drop, {long(source), 0, CurrentTime, 0, 0});
        dropped = true;
      } else if (ev.type == ClientMessage && ev.xclient.message_type == a.finished) {
        done = true;
      }
    }
    if (!done && why->empty()) *why = dropped ? "no XdndFinished" : "no XdndStatus";
  }
  XDestroyWindow(d, source);
  XCloseDisplay(d);
  return done;
}
