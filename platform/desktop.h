// What the desktop says and does for the program beyond files: whether the user asked it for less
// motion, and opening a web address in the user's browser. Helpers run as child processes with
// argument lists, no shell.
// Thread-safe: yes. desktop_reduce_motion blocks while gsettings answers (call it once, at start-up).
#pragma once

constexpr int kLinkOpened = 0;
constexpr int kLinkRefused = -1;    // not an https address, or one that could break an argument list
constexpr int kLinkNoBrowser = -2;  // xdg-open is missing or could not start

// True when the desktop turned its animations off (GNOME's org.gnome.desktop.interface
// enable-animations is false); false when it says nothing, or nothing could be asked.
bool desktop_reduce_motion();

// Opens url in the desktop's browser through xdg-open, detached. Only https addresses of visible
// ASCII are passed on (no blanks or control characters); anything else is refused unopened.
int open_web_link(const char* url);
