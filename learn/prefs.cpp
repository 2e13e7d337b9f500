// zephakit.ini: reading one key, rewriting one line under the named lock (tried, never waited
// on), the queue of writes that wait for it, and the training id lists.
#include "learn/prefs.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "learn/version.h"
#include "platform/file.h"
#include "platform/lock.h"
#include "platform/shared_file.h"
#include "platform/text.h"

namespace {

bool valid_key(const char* key) {
  const size_t n = key ? strlen(key) : 0;
  return n >= 1 && n <= size_t(kPrefsKeyMax) && !strpbrk(key, "=\r\n");
}

bool valid_value(const char* value) {
  return value && strlen(value) <= size_t(kPrefsValueMax) && !strpbrk(value, "\r\n");
}

// One line of the file: [start, end) without its terminator; next is where the following line starts.
struct Line {
  size_t start, end, next;
};

bool next_line(const char* text, size_t bytes, size_t at, Line* line) {
  if (at >= bytes) return false;
  const void* nl = memchr(text + at, '\n', bytes - at);
  const size_t stop = nl ? size_t(static_cast<const char*>(nl) - text) : bytes;
  line->start = at;
  line->next = nl ? stop + 1 : bytes;
  line->end = stop > at && text[stop - 1] == '\r' ? stop - 1 : stop;
  return true;
}

// The line holding key, and where its value starts; false when no line does.
bool find_key(const char* text, size_t bytes, const char* key, Line* found, size_t* value_at) {
  const size_t key_len = strlen(key);
  Line line;
  for (size_t at = 0; next_line(text, bytes, at, &line); at = line.next) {
    const void* eq = memchr(text + line.start, '=', line.end - line.start);
    if (!eq) continue;
    const size_t eq_at = size_t(static_cast<const char*>(eq) - text);
    if (eq_at - line.start == key_len && memcmp(text + line.start, key, key_len) == 0) {
      *found = line;
      *value_at = eq_at + 1;
      return true;
    }
  }
  return false;
}

// The folder part of path into out.
void folder_of(const char* path, char* out, size_t cap) {
  text_copy(out, cap, path);
  char* slash = strrchr(out, '/');
  if (slash && slash != out)
    *slash = 0;
  else if (slash)
    slash[1] = 0;
}

int write_whole(const char* path, const std::string& text) {
  char tmp[kPathCap + 8], folder[kPathCap];
  const int n = snprintf(tmp, sizeof tmp, "%s.tmp", path);
  if (n < 0 || size_t(n) >= sizeof tmp) return kPrefsFailed;
  folder_of(path, folder, sizeof folder);
  if (make_dirs(folder) != 0) return kPrefsFailed;
  FileWriter f;
  if (file_create(&f, tmp) != 0) return kPrefsFailed;
  bool ok = file_write(&f, text.data(), text.size()) == 0;
  ok = file_sync(&f) == 0 && ok;
  ok = file_close(&f) == 0 && ok;
  if (!ok || file_rename(tmp, path) != 0) {
    remove_file(tmp);
    return kPrefsFailed;
  }
  sync_dir(folder);  // the move is made; a folder that cannot be synced keeps it all the same
  return kPrefsOk;
}

// Under the lock: re-read, change one line, write the whole.
int rewrite(const char* path, const char* key, const char* value, int mode) {
  char* data = nullptr;
  size_t bytes = 0;
  const int rc = shared_file_read(path, kPrefsFileMaxBytes, &data, &bytes, nullptr, nullptr);
  if (rc != kSharedReadOk && rc != kSharedReadMissing) return kPrefsFailed;
  std::string text(data ? data : "", bytes);
  free_file_data(data);

  Line line;
  size_t value_at = 0;
  if (find_key(text.data(), text.size(), key, &line, &value_at)) {
    const std::string old(text, value_at, line.end - value_at);
    if (old == value) return kPrefsOk;
    if (mode == kPrefsSetIfNewer && version_compare(old.c_str(), value) >= 0) return kPrefsOk;
    text.replace(value_at, line.end - value_at, value);  // the line's own terminator stays
  } else {
    if (!text.empty() && text.back() != '\n') text += '\n';
    text += key;
    text += '=';
    text += value;
    text += '\n';
  }
  return write_whole(path, text);
}

bool blank(char c) { return c == ' ' || c == '\t'; }

bool valid_id(const char* id) {
  const size_t n = id ? strlen(id) : 0;
  return n >= 1 && n <= size_t(kPrefsIdMax) && !strpbrk(id, ",\r\n") && !blank(id[0]) && !blank(id[n - 1]);
}

}  // namespace

bool prefs_path(char* out, size_t cap) {
  char dir[kPathCap];
  if (!config_dir(dir, sizeof dir)) {
    if (cap) out[0] = 0;
    return false;
  }
  const int n = snprintf(out, cap, "%s/Lumaro/zephakit.ini", dir);
  if (n < 0 || size_t(n) >= cap) {
    if (cap) out[0] = 0;
    return false;
  }
  return true;
}

int prefs_read(const char* path, const char* key, char* out, size_t cap) {
  if (cap) out[0] = 0;
  if (!valid_key(key)) return 0;
  char* data = nullptr;
  size_t bytes = 0;
  const int rc = shared_file_read(path, kPrefsFileMaxBytes, &data, &bytes, nullptr, nullptr);
  if (rc == kSharedReadMissing) return 0;
  if (rc != kSharedReadOk) return -1;
  Line line;
  size_t value_at = 0;
  int found = 0;
  if (find_key(data, bytes, key, &line, &value_at)) {
    if (cap) {
      const size_t n = std::min(line.end - value_at, cap - 1);
      memcpy(out, data + value_at, n);
      out[n] = 0;
    }
    found = 1;
  }
  free_file_data(data);
  return found;
}

int prefs_write_once(const char* path, const char* key, const char* value, int mode) {
  if (!valid_key(key) || !valid_value(value)) return kPrefsBadEntry;
  NamedLock lock;
  if (named_lock_acquire(&lock, kPrefsLockName, 0) != 0) return errno == ETIMEDOUT ? kPrefsBusy : kPrefsFailed;
  const int rc = rewrite(path, key, value, mode);
  named_lock_release(&lock);
  return rc;
}

void prefs_queue_init(PrefsQueue* q, const char* path) {
  text_copy(q->path, sizeof q->path, path ? path : "");
  for (PrefsWrite& w : q->pending) w.id = 0;
  q->next_id = 1;
}

int prefs_queue_count(const PrefsQueue* q) {
  int n = 0;
  for (const PrefsWrite& w : q->pending) n += w.id != 0;
  return n;
}

bool prefs_queue_waiting(const PrefsQueue* q, int32_t id) {
  if (id <= 0) return false;
  for (const PrefsWrite& w : q->pending)
    if (w.id == id) return true;
  return false;
}

int32_t prefs_queue_write(PrefsQueue* q, const char* key, const char* value, int mode, double now_s,
                          PrefsResult* first) {
  *first = PrefsResult{0, kPrefsOk};
  if (!valid_key(key) || !valid_value(value)) return kPrefsBadEntry;
  PrefsWrite* slot = nullptr;
  for (PrefsWrite& w : q->pending)
    if (w.id == 0) {
      slot = &w;
      break;
    }
  if (!slot) return kPrefsFull;
  const bool others_wait = prefs_queue_count(q) > 0;  // they go first: writes of one key keep their order
  slot->id = q->next_id;
  q->next_id = q->next_id == INT32_MAX ? 1 : q->next_id + 1;
  slot->mode = mode;
  slot->started_s = now_s;
  text_copy(slot->key, sizeof slot->key, key);
  text_copy(slot->value, sizeof slot->value, value);
  const int32_t id = slot->id;
  *first = PrefsResult{id, kPrefsBusy};
  if (!others_wait) {
    const int rc = prefs_write_once(q->path, key, value, mode);
    if (rc != kPrefsBusy) {
      slot->id = 0;
      first->rc = rc;
    }
  }
  return id;
}

int prefs_queue_pump(PrefsQueue* q, double now_s, PrefsResult* out, int cap) {
  int settled = 0;
  bool busy = false;  // once the lock is seen taken, the rest only watch their time
  // Oldest first: ids only grow (a wrap after 2^31 writes aside).
  int32_t order[kPrefsPending];
  int n = 0;
  for (const PrefsWrite& w : q->pending)
    if (w.id != 0) order[n++] = w.id;
  for (int i = 1; i < n; ++i)
    for (int j = i; j > 0 && order[j] < order[j - 1]; --j) std::swap(order[j], order[j - 1]);
  for (int i = 0; i < n; ++i) {
    PrefsWrite* w = nullptr;
    for (PrefsWrite& s : q->pending)
      if (s.id == order[i]) w = &s;
    int rc = kPrefsBusy;
    if (!busy) {
      rc = prefs_write_once(q->path, w->key, w->value, w->mode);
      busy = rc == kPrefsBusy;
    }
    if (rc == kPrefsBusy) {
      if (now_s - w->started_s < kPrefsLockWaitMs / 1000.0) continue;
      rc = kPrefsTimedOut;
    }
    if (settled < cap) out[settled++] = PrefsResult{w->id, rc};
    w->id = 0;
  }
  return settled;
}

void prefs_ids_parse(const char* text, PrefsIds* out) {
  out->count = 0;
  const char* p = text ? text : "";
  while (*p && out->count < kPrefsIdCount) {
    while (*p == ',' || blank(*p)) ++p;
    const char* start = p;
    while (*p && *p != ',') ++p;
    const char* end = p;
    while (end > start && blank(end[-1])) --end;
    const size_t n = size_t(end - start);
    if (n == 0 || n > size_t(kPrefsIdMax)) continue;
    char id[kPrefsIdMax + 1];
    memcpy(id, start, n);
    id[n] = 0;
    if (!prefs_ids_contains(*out, id)) text_copy(out->id[out->count++], id);
  }
}

size_t prefs_ids_format(const PrefsIds& ids, char* out, size_t cap) {
  size_t len = 0;
  if (cap == 0) return 0;
  out[0] = 0;
  for (int i = 0; i < ids.count; ++i)
    len += text_format(out + len, cap - len, i == 0 ? "%s" : ",%s", ids.id[i]);
  return len;
}

bool prefs_ids_contains(const PrefsIds& ids, const char* id) {
  for (int i = 0; i < ids.count; ++i)
    if (strcmp(ids.id[i], id) == 0) return true;
  return false;
}

bool prefs_ids_add(PrefsIds* ids, const char* id) {
  if (!valid_id(id) || ids->count >= kPrefsIdCount || prefs_ids_contains(*ids, id)) return false;
  text_copy(ids->id[ids->count++], id);
  return true;
}

bool prefs_ids_remove(PrefsIds* ids, const char* id) {
  for (int i = 0; i < ids->count; ++i)
    if (strcmp(ids->id[i], id) == 0) {
      for (int j = i + 1; j < ids->count; ++j) memcpy(ids->id[j - 1], ids->id[j], sizeof ids->id[j]);
      --ids->count;
      return true;
    }
  return false;
}
