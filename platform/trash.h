// Moving a file to the desktop's Trash (the freedesktop.org layout): the home trash
// $XDG_DATA_HOME/Trash for files on the same file system, $topdir/.Trash-$uid for files on
// another one. The .trashinfo is reserved first (created exclusively), then the file is renamed
// into files/; a failed rename takes the info file back. A file is never deleted instead.
// Thread-safe: yes (two movers of one name each get a free slot).
#pragma once
#include <cstddef>

constexpr int kTrashOk = 0;
constexpr int kTrashMissing = -1;     // nothing at that path (or not a regular file or a link)
constexpr int kTrashNoPlace = -2;     // no trash folder for it could be found or made
constexpr int kTrashFailed = -3;      // the info file or the move failed; the file stays where it was

constexpr size_t kTrashPathBytes = 4096;

struct TrashResult {
  char trashed[kTrashPathBytes];  // where the file now lies (files/<name>)
  char info[kTrashPathBytes];     // its .trashinfo
  int error;                      // errno of the failure, 0 on success
};

// Moves the file or symbolic link at path (made absolute against the working folder) into the
// trash of its file system. out may be null.
int trash_file(const char* path, TrashResult* out);

// The trash folder a path would go to: the home trash when it lies on the same file system as
// the user's data folder, else "<mount point>/.Trash-<uid>". 0, or -1 when it cannot be told.
int trash_folder_for(const char* path, char* out, size_t cap);
