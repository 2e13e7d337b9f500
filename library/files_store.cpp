// favs.ini, tags.ini, marks.ini and bars.ini: reading what siblings wrote, keeping what this
// program does not take, and replacing each file whole. The stamp of a file this program wrote is
// taken from the temporary file before it is renamed into place, so an outside write that lands
// right after ours is still told apart from our own.
#include "library/files_store.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "config/log.h"
#include "platform/shared_file.h"
#include "platform/text.h"

namespace {

FileStamp stamp_of(const char* path) {
  FileStamp s{};
  s.exists = file_identity(path, &s.id) == 0;
  return s;
}

bool same_stamp(const FileStamp& a, const FileStamp& b) {
  if (a.exists != b.exists) return false;
  if (!a.exists) return true;
  return a.id.device == b.id.device && a.id.inode == b.id.inode && a.id.size_bytes == b.id.size_bytes &&
         a.id.mtime_ns == b.id.mtime_ns;
}

void folder_of(const char* path, char* out, size_t cap) {
  text_copy(out, cap, path);
  char* slash = strrchr(out, '/');
  if (!slash) text_copy(out, cap, ".");
  else if (slash == out) slash[1] = 0;
  else *slash = 0;
}

// Writes text to a temporary file beside path and renames it over path (a link's target is
// replaced, the link stays). On failure the old file is untouched and no temporary file stays.
// The new file's stamp goes to *stamp (may be null).
bool write_whole(const char* path, const std::string& text, FileStamp* stamp) {
  char dest[kPathCap * 2];
  char resolved[4096];
  text_copy(dest, sizeof dest, path);
  if (realpath(path, resolved) && strcmp(resolved, path) != 0 && strlen(resolved) < sizeof dest)
    text_copy(dest, sizeof dest, resolved);
  char tmp[sizeof dest + 32];
  if (temporary_path(tmp, sizeof tmp, dest) != 0) return false;
  FileWriter f;
  if (file_create(&f, tmp) != 0) return false;
  bool ok = file_write(&f, text.data(), text.size()) == 0 && file_sync(&f) == 0;
  FileStamp written{};
  ok = ok && (written.exists = file_identity(tmp, &written.id) == 0);
  ok = file_close(&f) == 0 && ok;
  if (!ok || file_rename(tmp, dest) != 0) {
    remove_file(tmp);
    return false;
  }
  char folder[sizeof dest];
  folder_of(dest, folder, sizeof folder);
  sync_dir(folder);
  if (stamp) *stamp = written;
  return true;
}

// Splits text into lines at "\n", each without trailing CR and blanks (blanks only when trim).
template <typename Fn>
void for_each_line(const char* text, size_t n, bool trim_blanks, Fn fn) {
  size_t at = 0;
  while (at < n) {
    const char* nl = static_cast<const char*>(memchr(text + at, '\n', n - at));
    size_t end = nl ? size_t(nl - text) : n;
    size_t len = end - at;
    while (len > 0 && (text[at + len - 1] == '\r' || (trim_blanks && text[at + len - 1] == ' '))) --len;
    fn(text + at, len);
    at = end + 1;
  }
}

// Reads a file whole; false (and no data) when it is missing or cannot be read.
bool read_text_file(const char* path, size_t max_bytes, std::string* out) {
  char* data = nullptr;
  size_t bytes = 0;
  int64_t size = 0;
  const int rc = shared_file_read(path, max_bytes, &data, &bytes, &size, nullptr);
  if (rc != kSharedReadOk) {
    if (rc == kSharedReadTooBig) log_line("files: %s is %lld bytes - not read", path, static_cast<long long>(size));
    else if (rc != kSharedReadMissing) log_line("files: couldn't read %s", path);
    return false;
  }
  out->assign(data, bytes);
  free_file_data(data);
  return true;
}

bool add_default(SharedStore* s, const char* path) {
  if (s->favourite_count >= kMaxFavourites || !path[0] || strlen(path) >= kSharedPathBytes) return false;
  for (int i = 0; i < s->favourite_count; ++i)
    if (strcmp(s->favourites[i], path) == 0) return false;
  text_copy(s->favourites[s->favourite_count++], kSharedPathBytes, path);
  return true;
}

void default_favourites(SharedStore* s) {
  s->favourite_count = 0;
  char home[kPathCap];
  if (!home_from_environment(home, sizeof home)) text_copy(home, "/");
  add_default(s, home);
  static const char* const kFolders[][2] = {{"XDG_DESKTOP_DIR", "Desktop"},
                                             {"XDG_DOCUMENTS_DIR", "Documents"},
                                             {"XDG_DOWNLOAD_DIR", "Downloads"},
                                             {"XDG_MUSIC_DIR", "Music"}};
  for (const auto& f : kFolders) {
    char path[kPathCap];
    if (user_dir(f[0], f[1], path, sizeof path) && is_dir(path)) add_default(s, path);
  }
  if (strcmp(home, "/") != 0) add_default(s, "/");
}

void load_favourites(SharedStore* s) {
  s->favs_stamp = stamp_of(s->favs_path);  // before reading: a change during the read shows at the next poll
  s->favs_kept.clear();
  std::string text;
  if (!read_text_file(s->favs_path, kSharedFileMaxBytes, &text)) {
    default_favourites(s);
    return;
  }
  s->favourite_count = 0;
  for_each_line(text.data(), text.size(), true, [s](const char* line, size_t len) {
    if (len == 0) return;
    if (s->favourite_count < kMaxFavourites && len < kSharedPathBytes) {
      memcpy(s->favourites[s->favourite_count], line, len);
      s->favourites[s->favourite_count++][len] = 0;
    } else {
      s->favs_kept.emplace_back(line, len);
    }
  });
}

void load_tags(SharedStore* s) {
  s->tags_stamp = stamp_of(s->tags_path);
  s->tags.clear();
  s->tags_kept.clear();
  std::string text;
  if (!read_text_file(s->tags_path, kSharedFileMaxBytes, &text)) return;
  for_each_line(text.data(), text.size(), true, [s](const char* line, size_t len) {
    if (len == 0) return;
    const bool valid = len > 2 && line[0] >= '1' && line[0] <= '9' && line[1] == '|';
    if (valid && int(s->tags.size()) < kMaxTags && len - 2 < kSharedPathBytes) {
      TagEntry e{};
      memcpy(e.path, line + 2, len - 2);
      e.tag = line[0] - '0';
      s->tags.push_back(e);
    } else {
      s->tags_kept.emplace_back(line, len);  // a sibling's, or one more than this program holds
    }
  });
}

void save_favourites(SharedStore* s) {
  std::string text;
  for (int i = 0; i < s->favourite_count; ++i) text.append(s->favourites[i]).push_back('\n');
  for (const std::string& line : s->favs_kept) text.append(line).push_back('\n');
  if (!write_whole(s->favs_path, text, &s->favs_stamp)) {
    ++s->write_failures;
    log_line("files: couldn't write %s - the favourites stay as they were on disk", s->favs_path);
  }
}

void save_tags(SharedStore* s) {
  std::string text;
  for (const TagEntry& e : s->tags) {
    text.push_back(char('0' + e.tag));
    text.push_back('|');
    text.append(e.path).push_back('\n');
  }
  for (const std::string& line : s->tags_kept) text.append(line).push_back('\n');
  if (!write_whole(s->tags_path, text, &s->tags_stamp)) {
    ++s->write_failures;
    log_line("files: couldn't write %s - the tags stay as they were on disk", s->tags_path);
  }
}

void ensure_loaded(SharedStore* s) {
  if (!s->loaded) shared_store_open(s, nullptr);
}

// ---- Marks ----

Mark* find_mark(FileMarks* m, const char* path) {
  for (Mark& k : m->marks)
    if (k.path == path) return &k;
  return nullptr;
}

void save_marks(FileMarks* m) {
  std::string text;
  char line[kMarkPathBytes + 64];
  for (const Mark& k : m->marks) {
    text_format(line, sizeof line, "%.6f %.6f\t%s\n", k.start, k.end, k.path.c_str());
    text.append(line);
  }
  if (!write_whole(m->marks_path, text, nullptr)) {
    ++m->write_failures;
    log_line("files: couldn't write %s - the loop regions stay as they were on disk", m->marks_path);
  }
}

void save_shifts(FileMarks* m) {
  if (!m->bars_path[0]) return;
  std::string text;
  char line[kMarkPathBytes + 32];
  for (const BarShift& b : m->shifts) {
    text_format(line, sizeof line, "%d\t%s\n", b.beats, b.path.c_str());
    text.append(line);
  }
  if (!write_whole(m->bars_path, text, nullptr)) {
    ++m->write_failures;
    log_line("files: couldn't write %s - the bar shifts stay as they were on disk", m->bars_path);
  }
}

void load_marks(FileMarks* m) {
  m->marks.clear();
  std::string text;
  if (!read_text_file(m->marks_path, kMarksFileMaxBytes, &text)) return;
  for_each_line(text.data(), text.size(), false, [m](const char* line, size_t len) {
    const char* tab = static_cast<const char*>(memchr(line, '\t', len));
    if (!tab || tab + 1 == line + len) return;
    const std::string numbers(line, size_t(tab - line));
    double a = 0, b = 0;
    if (text_scan(numbers.c_str(), "%lf %lf", &a, &b) != 2 || !std::isfinite(a) || !std::isfinite(b)) return;
    const std::string path(tab + 1, size_t(line + len - tab - 1));
    if (path.size() >= kMarkPathBytes || find_mark(m, path.c_str())) return;
    a = std::clamp(a, 0.0, 1.0 - kMarkMinWidth);
    b = std::clamp(b, a + kMarkMinWidth, 1.0);
    if (a <= 0.0 && b >= 1.0) return;
    m->marks.push_back(Mark{path, a, b});
  });
}

void load_shifts(FileMarks* m) {
  m->shifts.clear();
  std::string text;
  if (!m->bars_path[0] || !read_text_file(m->bars_path, kMarksFileMaxBytes, &text)) return;
  for_each_line(text.data(), text.size(), false, [m](const char* line, size_t len) {
    const char* tab = static_cast<const char*>(memchr(line, '\t', len));
    if (!tab || tab + 1 == line + len) return;
    const std::string number(line, size_t(tab - line));
    char* end = nullptr;
    const long beats = strtol(number.c_str(), &end, 10);
    if (end == number.c_str() || beats == 0 || beats < -1000000 || beats > 1000000) return;
    const std::string path(tab + 1, size_t(line + len - tab - 1));
    if (path.size() >= kMarkPathBytes) return;
    for (const BarShift& b : m->shifts)
      if (b.path == path) return;
    m->shifts.push_back(BarShift{path, int(beats)});
  });
}

}  // namespace

bool storable_path(const char* path, size_t cap) {
  if (!path || !path[0]) return false;
  const size_t n = strlen(path);
  if (n >= cap || path[n - 1] == ' ') return false;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(path); *p; ++p)
    if (*p < 0x20 || *p == 0x7F || *p == '|') return false;
  return true;
}

void shared_store_folder(char* out, size_t cap) {
  char config[kPathCap];
  if (config_dir(config, sizeof config) && text_format(out, cap, "%s/%s", config, kStoreFolderName) + 1 < cap &&
      make_dirs(out) == 0)
    return;
  text_copy(out, cap, ".");
}

void shared_store_file_path(const char* name, char* out, size_t cap) {
  char folder[kPathCap];
  shared_store_folder(folder, sizeof folder);
  if (strcmp(folder, ".") == 0 || text_format(out, cap, "%s/%s", folder, name) + 1 >= cap) text_copy(out, cap, name);
}

void shared_store_open(SharedStore* s, const char* folder) {
  if (folder && folder[0]) text_copy(s->folder, folder);
  else shared_store_folder(s->folder, sizeof s->folder);
  text_format(s->favs_path, sizeof s->favs_path, "%s/%s", s->folder, kFavsFile);
  text_format(s->tags_path, sizeof s->tags_path, "%s/%s", s->folder, kTagsFile);
  load_favourites(s);
  load_tags(s);
  s->loaded = true;
  s->polled = false;
}

int favourites_count(const SharedStore* s) { return s->favourite_count; }

const char* favourite_at(const SharedStore* s, int index) {
  return index >= 0 && index < s->favourite_count ? s->favourites[index] : nullptr;
}

int favourite_index(const SharedStore* s, const char* path) {
  if (!path) return -1;
  for (int i = 0; i < s->favourite_count; ++i)
    if (strcmp(s->favourites[i], path) == 0) return i;
  return -1;
}

bool favourite_toggle(SharedStore* s, const char* path) {
  ensure_loaded(s);
  const int at = favourite_index(s, path);
  if (at >= 0) {
    for (int i = at; i + 1 < s->favourite_count; ++i) text_copy(s->favourites[i], kSharedPathBytes, s->favourites[i + 1]);
    --s->favourite_count;
  } else {
    if (s->favourite_count >= kMaxFavourites || !storable_path(path, kSharedPathBytes)) return false;
    text_copy(s->favourites[s->favourite_count++], kSharedPathBytes, path);
  }
  ++s->shared_change_count;
  save_favourites(s);
  return at < 0;
}

bool favourite_move(SharedStore* s, int from, int to) {
  ensure_loaded(s);
  if (from < 0 || to < 0 || from >= s->favourite_count || to >= s->favourite_count) return false;
  if (from == to) return true;
  char moving[kSharedPathBytes];
  text_copy(moving, s->favourites[from]);
  const int step = from < to ? 1 : -1;
  for (int i = from; i != to; i += step) text_copy(s->favourites[i], kSharedPathBytes, s->favourites[i + step]);
  text_copy(s->favourites[to], kSharedPathBytes, moving);
  ++s->shared_change_count;
  save_favourites(s);
  return true;
}

int tag_of(const SharedStore* s, const char* path) {
  if (!path) return 0;
  for (const TagEntry& e : s->tags)
    if (strcmp(e.path, path) == 0) return e.tag;
  return 0;
}

bool tag_set(SharedStore* s, const char* path, int tag) {
  ensure_loaded(s);
  if (tag < 0 || tag > 9 || !path) return false;
  auto it = std::find_if(s->tags.begin(), s->tags.end(), [path](const TagEntry& e) { return strcmp(e.path, path) == 0; });
  if (tag == 0) {
    if (it == s->tags.end()) return false;
    *it = s->tags.back();  // the last takes its place
    s->tags.pop_back();
  } else if (it != s->tags.end()) {
    if (it->tag == tag) return false;
    it->tag = tag;
  } else {
    if (int(s->tags.size()) >= kMaxTags || !storable_path(path, kSharedPathBytes)) return false;
    TagEntry e{};
    text_copy(e.path, path);
    e.tag = tag;
    s->tags.push_back(e);
  }
  ++s->shared_change_count;
  save_tags(s);
  return true;
}

bool shared_store_poll(SharedStore* s, uint32_t now_ms) {
  ensure_loaded(s);
  if (s->polled && uint32_t(now_ms - s->last_poll_ms) < kSharedPollMs) return false;
  s->polled = true;
  s->last_poll_ms = now_ms;
  bool changed = false;
  if (!same_stamp(stamp_of(s->favs_path), s->favs_stamp)) {
    load_favourites(s);
    changed = true;
  }
  if (!same_stamp(stamp_of(s->tags_path), s->tags_stamp)) {
    load_tags(s);
    changed = true;
  }
  if (changed) ++s->shared_change_count;
  return changed;
}

// ---- Marks and bar shifts ----

void marks_open(FileMarks* m, const char* marks_path) {
  if (marks_path && marks_path[0]) text_copy(m->marks_path, marks_path);
  else shared_store_file_path(kMarksFile, m->marks_path, sizeof m->marks_path);
  m->bars_path[0] = 0;
  const size_t n = strlen(m->marks_path), k = strlen(kMarksFile);
  if (n >= k && strcmp(m->marks_path + n - k, kMarksFile) == 0 && (n == k || m->marks_path[n - k - 1] == '/')) {
    text_copy(m->bars_path, m->marks_path);
    text_copy(m->bars_path + n - k, sizeof m->bars_path - (n - k), kBarsFile);
  }
  m->marks.reserve(kMarksStart);
  m->shifts.reserve(kMarksStart);
  load_marks(m);
  load_shifts(m);
}

bool mark_of(const FileMarks* m, const char* path, double* start, double* end) {
  for (const Mark& k : m->marks)
    if (path && k.path == path) {
      *start = k.start;
      *end = k.end;
      return true;
    }
  return false;
}

bool mark_set(FileMarks* m, const char* path, double start, double end) {
  if (!storable_path(path, kMarkPathBytes) || std::isnan(start) || std::isnan(end)) return false;
  start = std::clamp(start, 0.0, 1.0 - kMarkMinWidth);
  end = std::clamp(end, start + kMarkMinWidth, 1.0);
  if (start <= 0.0 && end >= 1.0) return mark_clear(m, path);
  Mark* k = find_mark(m, path);
  // The file holds six decimals: a change below that is no change.
  auto same = [](double a, double b) { return std::fabs(a - b) < 5e-7; };
  if (k && same(k->start, start) && same(k->end, end)) return false;
  if (k) {
    k->start = start;
    k->end = end;
  } else {
    m->marks.push_back(Mark{path, start, end});
  }
  save_marks(m);
  return true;
}

bool mark_clear(FileMarks* m, const char* path) {
  Mark* k = path ? find_mark(m, path) : nullptr;
  if (!k) return false;
  m->marks.erase(m->marks.begin() + (k - m->marks.data()));
  save_marks(m);
  return true;
}

int bar_shift_of(const FileMarks* m, const char* path) {
  for (const BarShift& b : m->shifts)
    if (path && b.path == path) return b.beats;
  return 0;
}

bool bar_shift_set(FileMarks* m, const char* path, int beats) {
  if (!storable_path(path, kMarkPathBytes)) return false;
  auto it = std::find_if(m->shifts.begin(), m->shifts.end(), [path](const BarShift& b) { return b.path == path; });
  if (it != m->shifts.end() && it->beats == beats) return false;
  if (beats == 0) {
    if (it == m->shifts.end()) return false;
    m->shifts.erase(it);
  } else if (it != m->shifts.end()) {
    it->beats = beats;
  } else {
    m->shifts.push_back(BarShift{path, beats});
  }
  save_shifts(m);
  return true;
}
