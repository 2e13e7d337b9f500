// A file manager's drop, for end-to-end tests: an XDND source (version 5, text/uri-list) of the
// test's own that drops file URIs on a window of an X display, the way dragging files from a file
// manager does. xdotool can move and click but cannot drag data between programs.
#pragma once
#include <string>
#include <vector>

// Drops `uris` (each "file:///...") on window `window` (decimal id, as xdotool prints it) at
// (x, y) inside it. True once the target said it finished with the drop within timeout_ms; the
// reason in *why otherwise.
bool xdnd_drop(const std::string& display, const std::string& window, int x, int y, const std::vector<std::string>& uris,
               int timeout_ms, std::string* why);
