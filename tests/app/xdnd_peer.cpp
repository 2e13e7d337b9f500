// The XDND source: an unmapped window of its own owns the XdndSelection, sends Enter, Position
// and Drop to the target, hands the URI list over when the target asks for the selection, and
// waits for Finished. The target: XdndAware, accepts every position, asks for the selection on
// the drop and says Finished once it has read it.
#include "tests/app/xdnd_peer.h"

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

bool XdndTarget::open(const std::string& display, int x, int y, int w, int h) {
  Display* dpy = XOpenDisplay(display.c_str());
  if (!dpy) return false;
  d = dpy;
  window = XCreateSimpleWindow(dpy, DefaultRootWindow(dpy), x, y, unsigned(w), unsigned(h), 0, 0, 0xFFFFFF);
  const Atom aware = XInternAtom(dpy, "XdndAware", False);
  const long version = kXdndVersion;
  XChangeProperty(dpy, window, aware, XA_ATOM, 32, PropModeReplace, reinterpret_cast<const unsigned char*>(&version), 1);
  XSelectInput(dpy, window, PropertyChangeMask);
  XMapRaised(dpy, window);
  XMoveWindow(dpy, window, x, y);  // no window manager places it
  XSync(dpy, False);
  thread = std::thread([this] {
    Display* dp = static_cast<Display*>(d);
    const Atom position = XInternAtom(dp, "XdndPosition", False), status = XInternAtom(dp, "XdndStatus", False),
               drop = XInternAtom(dp, "XdndDrop", False), finished = XInternAtom(dp, "XdndFinished", False),
               selection = XInternAtom(dp, "XdndSelection", False), copy = XInternAtom(dp, "XdndActionCopy", False),
               uri_list = XInternAtom(dp, "text/uri-list", False), property = XInternAtom(dp, "TOLM_DROP", False);
    Window source = 0;
    while (!stop.load()) {
      XEvent ev;
      if (!next_event(dp, std::chrono::steady_clock::now() + std::chrono::milliseconds(50), &ev)) continue;
      if (ev.type == ClientMessage && ev.xclient.message_type == position) {
        source = Window(ev.xclient.data.l[0]);
        XEvent r{};
        r.xclient.type = ClientMessage;
        r.xclient.window = source;
        r.xclient.message_type = status;
        r.xclient.format = 32;
        r.xclient.data.l[0] = long(window);
        r.xclient.data.l[1] = 1;
        r.xclient.data.l[4] = long(copy);
        XSendEvent(dp, source, False, NoEventMask, &r);
        XFlush(dp);
      } else if (ev.type == ClientMessage && ev.xclient.message_type == drop) {
        source = Window(ev.xclient.data.l[0]);
        XConvertSelection(dp, selection, uri_list, property, window, Time(ev.xclient.data.l[2]));
        XFlush(dp);
      } else if (ev.type == SelectionNotify && ev.xselection.property != None) {
        Atom type = None;
        int format = 0;
        unsigned long count = 0, after = 0;
        unsigned char* data = nullptr;
        XGetWindowProperty(dp, window, property, 0, 1 << 16, True, AnyPropertyType, &type, &format, &count, &after, &data);
        {
          std::lock_guard<std::mutex> hold(lock);
          text = data ? std::string(reinterpret_cast<char*>(data), count) : std::string();
        }
        if (data) XFree(data);
        XEvent r{};
        r.xclient.type = ClientMessage;
        r.xclient.window = source;
        r.xclient.message_type = finished;
        r.xclient.format = 32;
        r.xclient.data.l[0] = long(window);
        r.xclient.data.l[1] = 1;
        r.xclient.data.l[2] = long(copy);
        XSendEvent(dp, source, False, NoEventMask, &r);
        XFlush(dp);
      }
    }
  });
  return true;
}

std::string XdndTarget::dropped() {
  std::lock_guard<std::mutex> hold(lock);
  return text;
}

void XdndTarget::close() {
  stop.store(true);
  if (thread.joinable()) thread.join();
  if (d) XCloseDisplay(static_cast<Display*>(d));
  d = nullptr;
}
