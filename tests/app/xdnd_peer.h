// The other end of a drag, for end-to-end tests: an XDND source (version 5, text/uri-list) of the
// test's own that drops file URIs on a window of an X display, the way dragging files from a file
// manager does, and an XDND target window that takes what is dropped on it. xdotool can move and
// click but cannot drag data between programs.
#pragma once
#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// Drops `uris` (each "file:///...") on window `window` (decimal id, as xdotool prints it) at
// (x, y) inside it. True once the target said it finished with the drop within timeout_ms; the
// reason in *why otherwise.
bool xdnd_drop(const std::string& display, const std::string& window, int x, int y, const std::vector<std::string>& uris,
               int timeout_ms, std::string* why);

// A mapped window at (x, y) of the screen that takes text/uri-list drops; it answers on a thread
// of its own while the test drives the pointer.
struct XdndTarget {
  bool open(const std::string& display, int x, int y, int w, int h);
  std::string dropped();  // the text of the last drop, empty until one finished
  void close();
  ~XdndTarget() { close(); }

  void* d = nullptr;  // Display*
  unsigned long window = 0;
  std::thread thread;
  std::atomic<bool> stop{false};
  std::mutex lock;
  std::string text;  // under lock
};
