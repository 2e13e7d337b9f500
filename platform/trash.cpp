// The freedesktop.org Trash on POSIX calls. The info file goes first, with O_EXCL, so that two
// movers never share a name; the rename never replaces (RENAME_NOREPLACE), so a stray file left in
// files/ by someone else is never overwritten.
#include "platform/trash.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "platform/clock.h"
#include "platform/file.h"
#include "platform/paths.h"
#include "platform/text.h"

namespace {

constexpr int kMaxNameTries = 1000;
constexpr size_t kNameMax = NAME_MAX;  // bytes of one folder entry
constexpr const char* kInfoSuffix = ".trashinfo";

void parent_of(const char* path, char* out, size_t cap) {
  text_copy(out, cap, path);
  char* slash = strrchr(out, '/');
  if (!slash) text_copy(out, cap, ".");
  else if (slash == out) slash[1] = 0;
  else *slash = 0;
}

// The mount point the folder lies on: climb while the parent has the same device.
bool mount_point(const char* folder, dev_t device, char* out, size_t cap) {
  char at[kTrashPathBytes];
  if (!realpath(folder, at) || strlen(at) >= cap) return false;
  for (;;) {
    if (strcmp(at, "/") == 0) break;
    char up[kTrashPathBytes];
    parent_of(at, up, sizeof up);
    struct stat st;
    if (stat(up, &st) != 0 || st.st_dev != device) break;
    text_copy(at, sizeof at, up);
  }
  text_copy(out, cap, at);
  return true;
}

// A folder this user owns and that is not a link: made 0700 when missing.
bool private_folder(const char* path) { return make_private_dir(path) == 0; }

bool folder_with_parts(const char* trash) {
  char part[kTrashPathBytes];
  if (text_format(part, sizeof part, "%s/files", trash) >= sizeof part - 1 || !private_folder(part)) return false;
  if (text_format(part, sizeof part, "%s/info", trash) >= sizeof part - 1 || !private_folder(part)) return false;
  return true;
}

// The home trash's folder (not created).
bool home_trash(char* out, size_t cap) {
  char data[kPathCap];
  if (!data_dir(data, sizeof data)) return false;
  return text_format(out, cap, "%s/Trash", data) < cap - 1;
}

// Splits "name.ext" so a second "a.wav" becomes "a.2.wav": the extension stays last.
void numbered_name(const char* name, int n, size_t stem_cap, char* out, size_t cap) {
  const char* dot = strrchr(name, '.');
  if (!dot || dot == name || strlen(dot) > 8) dot = name + strlen(name);
  size_t stem = size_t(dot - name);
  if (stem > stem_cap) stem = stem_cap;
  // Never cut inside a UTF-8 sequence.
  while (stem > 0 && (static_cast<unsigned char>(name[stem]) & 0xC0) == 0x80) --stem;
  if (n <= 1) text_format(out, cap, "%.*s%s", int(stem), name, dot);
  else text_format(out, cap, "%.*s.%d%s", int(stem), name, n, dot);
}

bool write_info(FileWriter* f, const char* original, bool relative_to, const char* topdir) {
  const char* shown = original;
  if (relative_to) {
    const size_t n = strlen(topdir);
    shown = strcmp(topdir, "/") == 0 ? original + 1 : original + n + 1;
  }
  char encoded[kTrashPathBytes * 3];
  if (text_percent_encode(encoded, sizeof encoded, shown, "/") == size_t(-1)) return false;
  struct tm t{};
  if (!local_time(wall_seconds(), &t)) return false;
  char text[sizeof encoded + 96];
  const size_t len = text_format(text, sizeof text, "[Trash Info]\nPath=%s\nDeletionDate=%04d-%02d-%02dT%02d:%02d:%02d\n",
                                 encoded, t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
  return len + 1 < sizeof text && file_write(f, text, len) == 0;
}

// The path with its folder resolved (links, "..") and its own name kept: a link is trashed as
// the link, and the info file's path is relative to a mount point found the same way.
bool canonical_path(const char* path, char* out, size_t cap) {
  char absolute[kTrashPathBytes], folder[kTrashPathBytes], real[kTrashPathBytes];
  if (!absolute_path(path, absolute, sizeof absolute)) return false;
  parent_of(absolute, folder, sizeof folder);
  const char* name = path_name(absolute);
  if (!name[0] || strcmp(name, ".") == 0 || strcmp(name, "..") == 0 || !realpath(folder, real)) return false;
  const size_t n = text_format(out, cap, "%s/%s", strcmp(real, "/") == 0 ? "" : real, name);
  return n + 1 < cap;
}

int fail(TrashResult* out, int code, int error) {
  if (out) out->error = error;
  return code;
}

}  // namespace

int trash_folder_for(const char* path, char* out, size_t cap) {
  char absolute[kTrashPathBytes];
  struct stat st, home_st;
  if (!canonical_path(path, absolute, sizeof absolute) || lstat(absolute, &st) != 0) return -1;
  char home[kTrashPathBytes];
  if (!home_trash(home, sizeof home)) return -1;
  // The home trash serves its own file system; before it exists, the data folder (or the
  // nearest folder above it that exists) tells which that is.
  char probe[kTrashPathBytes];
  text_copy(probe, sizeof probe, home);
  while (stat(probe, &home_st) != 0) {
    char up[kTrashPathBytes];
    parent_of(probe, up, sizeof up);
    if (strcmp(up, probe) == 0) return -1;
    text_copy(probe, sizeof probe, up);
  }
  if (home_st.st_dev == st.st_dev) return text_copy(out, cap, home) + 1 < cap ? 0 : -1;
  char folder[kTrashPathBytes], top[kTrashPathBytes];
  parent_of(absolute, folder, sizeof folder);
  if (!mount_point(folder, st.st_dev, top, sizeof top)) return -1;
  const size_t n = text_format(out, cap, "%s/.Trash-%u", strcmp(top, "/") == 0 ? "" : top, unsigned(getuid()));
  return n + 1 < cap ? 0 : -1;
}

int trash_file(const char* path, TrashResult* out) {
  if (out) *out = TrashResult{};
  char absolute[kTrashPathBytes];
  struct stat st;
  if (!path || !canonical_path(path, absolute, sizeof absolute)) return fail(out, kTrashMissing, ENOENT);
  if (lstat(absolute, &st) != 0) return fail(out, kTrashMissing, errno);
  if (!S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode)) return fail(out, kTrashMissing, EISDIR);
  char trash[kTrashPathBytes], home[kTrashPathBytes];
  if (trash_folder_for(absolute, trash, sizeof trash) != 0 || !home_trash(home, sizeof home))
    return fail(out, kTrashNoPlace, errno);
  const bool in_home = strcmp(trash, home) == 0;
  char above[kTrashPathBytes];
  parent_of(trash, above, sizeof above);
  if (in_home && make_dirs(above) != 0) return fail(out, kTrashNoPlace, errno);
  if (!private_folder(trash) || !folder_with_parts(trash)) return fail(out, kTrashNoPlace, errno);
  // A trash on another file system must really be on it (a link to elsewhere would copy).
  struct stat trash_st;
  if (stat(trash, &trash_st) != 0 || trash_st.st_dev != st.st_dev) return fail(out, kTrashNoPlace, EXDEV);
  char top[kTrashPathBytes] = "";
  if (!in_home) parent_of(trash, top, sizeof top);

  const char* name = path_name(absolute);
  size_t stem_cap = kNameMax - strlen(kInfoSuffix) - 8;
  char slot[kNameMax + 1], info[kTrashPathBytes], target[kTrashPathBytes];
  for (int n = 1; n <= kMaxNameTries; ++n) {
    numbered_name(name, n, stem_cap, slot, sizeof slot);
    text_format(info, sizeof info, "%s/info/%s%s", trash, slot, kInfoSuffix);
    text_format(target, sizeof target, "%s/files/%s", trash, slot);
    FileWriter f;
    if (file_create_new(&f, info) != 0) {
      if (errno == EEXIST) continue;
      if (errno == ENAMETOOLONG && stem_cap > 16) {
        stem_cap /= 2;
        --n;
        continue;
      }
      return fail(out, kTrashFailed, errno);
    }
    const bool written = write_info(&f, absolute, !in_home, top);
    const int write_error = errno;
    const bool closed = file_close(&f) == 0;
    if (!written || !closed) {
      remove_file(info);
      return fail(out, kTrashFailed, written ? EIO : write_error);
    }
    if (file_rename_new(absolute, target) != 0) {
      const int err = errno;
      remove_file(info);
      if (err == EEXIST) continue;  // a file without its info file holds the name: take the next
      return fail(out, kTrashFailed, err);
    }
    if (out) {
      text_copy(out->trashed, sizeof out->trashed, target);
      text_copy(out->info, sizeof out->info, info);
    }
    return kTrashOk;
  }
  return fail(out, kTrashFailed, EEXIST);
}
