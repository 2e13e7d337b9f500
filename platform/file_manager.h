// The desktop's file manager: showing one file selected in its folder (the FileManager1 D-Bus
// call, made through gdbus or dbus-send), else opening the folder that holds it, and opening a
// folder (xdg-open). The helper programs run as child processes with argument lists, no shell.
// Thread-safe: yes; each call blocks while its helper runs (a worker thread, not the main loop).
#pragma once
#include <atomic>
#include <cstddef>

constexpr int kShownSelected = 0;  // the file manager answered the call to show the item
constexpr int kShownFolder = 1;    // the folder holding it was opened instead
constexpr int kShowFailed = -1;    // nothing could show it

// Shows path (absolute) selected in the file manager, else opens its folder. While a helper runs
// its pid is in *child (when given), so another thread can stop it with stop_process.
int show_item_in_file_manager(const char* path, std::atomic<int>* child = nullptr);

// Opens a folder in the file manager (xdg-open). 0, or -1 when it could not be opened.
int open_folder_in_file_manager(const char* folder, std::atomic<int>* child = nullptr);

// "file://" and the absolute path with every byte but letters, digits, "-._~/" percent-encoded,
// so no name can break the call's argument syntax. false (out empty) for a relative path or one
// that does not fit.
bool file_uri_from_path(const char* path, char* out, size_t cap);
