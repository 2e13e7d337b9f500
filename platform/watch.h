// Waking a worker: an auto-reset wake event (eventfd) and a watch on one folder's entries
// (inotify: a file written and closed, moved in, created or deleted), waited for together.
// Thread-safe: wake_event_signal from any thread; everything else belongs to the waiting thread.
#pragma once

struct WakeEvent {
  int fd = -1;
};
int wake_event_open(WakeEvent* e);   // 0 or -1
void wake_event_signal(WakeEvent* e);
void wake_event_close(WakeEvent* e);

struct FolderWatch {
  int fd = -1;
};
// Starts watching a folder (not its subfolders). 0 or -1 (the folder is missing, or no watch
// could be had).
int folder_watch_open(FolderWatch* w, const char* folder);
void folder_watch_close(FolderWatch* w);

// Bits of wait_wake_or_change.
constexpr int kWaitWoken = 1;    // the event was signalled (and is reset)
constexpr int kWaitChanged = 2;  // an entry named `name` changed (any entry when name is null)
constexpr int kWaitGone = 4;     // the watched folder itself went away: close the watch and make it again
// Waits up to timeout_ms for the event or, when the watch is open, a change in its folder.
// Returns the bits that happened (0 on timeout), or -1 when waiting failed.
int wait_wake_or_change(WakeEvent* e, FolderWatch* w, const char* name, int timeout_ms);
