// Path, name and folder helpers shared by the take writer, the session logic, the library scan
// and reference sessions.
#include "sessions/session_util.h"

#include <cstdio>
#include <cstring>
#include <ctime>

#include "platform/clock.h"
#include "platform/file.h"
#include "platform/paths.h"
#include "platform/text.h"

namespace {

constexpr int kMaxFolderSuffix = 100000;  // "-2" ... tried before giving up on a second

bool count_wav_visit(const DirEntry& entry, void* ctx) {
  if (!entry.is_dir && is_wav_name(entry.name)) ++*static_cast<int*>(ctx);
  return true;
}

}  // namespace

bool path_join(char* out, size_t cap, const char* a, const char* b) {
  if (!out || cap == 0) return false;
  const size_t la = strlen(a), lb = strlen(b);
  if (la + 1 + lb >= cap) {
    out[0] = 0;
    return false;
  }
  memcpy(out, a, la);
  out[la] = '/';
  memcpy(out + la + 1, b, lb + 1);
  return true;
}

bool is_wav_name(const char* name) {
  const size_t n = strlen(name);
  return n >= 4 && text_equal_nocase(name + n - 4, ".wav");
}

int64_t filetime_from_ns(int64_t ns) { return ns / 100 + kFiletimeEpoch1970; }

int64_t path_filetime(const char* path) {
  FileIdentity id;
  if (file_identity(path, &id) != 0) return 0;
  return filetime_from_ns(id.mtime_ns);
}

int count_wav_files(const char* folder) {
  int count = 0;
  if (list_dir(folder, count_wav_visit, &count) < 0) return -1;
  return count;
}

void remove_parent_if_empty(const char* path) {
  char parent[kPathCap];
  text_copy(parent, path);
  char* slash = strrchr(parent, '/');
  if (!slash || slash == parent) return;
  *slash = 0;
  remove_dir(parent);  // fails, as it should, while anything is left in it
}

int make_session_folder(const char* write_folder, int64_t seconds, char* folder, size_t cap) {
  struct tm tm;
  if (!local_time(seconds, &tm)) {
    text_copy(folder, cap, write_folder);
    return -1;
  }
  char date[32], stamp[32];
  strftime(date, sizeof date, "%Y-%m-%d", &tm);
  strftime(stamp, sizeof stamp, "%H%M%S", &tm);
  char date_path[kPathCap];
  if (!path_join(date_path, write_folder, date)) {
    text_format(folder, cap, "%s/%s", write_folder, date);
    return -1;
  }
  if (make_dir(write_folder) != 0) {
    text_copy(folder, cap, write_folder);
    return -1;
  }
  if (make_dir(date_path) != 0) {
    text_copy(folder, cap, date_path);
    return -1;
  }
  char name[48], candidate[kPathCap];
  for (int n = 1; n <= kMaxFolderSuffix; ++n) {
    if (n == 1) text_copy(name, stamp);
    else text_format(name, sizeof name, "%s-%d", stamp, n);
    if (!path_join(candidate, date_path, name)) {
      text_format(folder, cap, "%s/%s", date_path, name);
      return -1;
    }
    if (path_exists(candidate)) continue;
    if (make_dir(candidate) != 0 || strlen(candidate) >= cap) {
      text_copy(folder, cap, candidate);
      return -1;
    }
    // The new folder's entry must survive a power cut along with the takes written into it.
    sync_dir(date_path);
    sync_dir(write_folder);
    text_copy(folder, cap, candidate);
    return 0;
  }
  text_copy(folder, cap, date_path);
  return -1;
}

void relative_session_name(const char* write_folder, const char* folder, char* out, size_t cap) {
  out[0] = 0;
  const size_t n = strlen(write_folder);
  if (n == 0 || !text_starts_with_nocase(folder, write_folder) || folder[n] != '/') return;
  const char* rest = folder + n + 1;
  if (strlen(rest) < cap) text_copy(out, cap, rest);
}
