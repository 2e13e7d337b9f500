// The library scan (write folder -> date folders -> session folders -> rows), the takes of a
// session, take and session overviews, and deleting takes and sessions.
// Main thread, except the two overviews (files only, any thread).
#include "sessions/library_scan.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <vector>

#include "config/log.h"
#include "platform/clock.h"
#include "platform/file.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "sessions/reference.h"
#include "sessions/session_util.h"

namespace {

struct Candidate {
  char relative[kRelativeNameBytes];
  char display[kDisplayNameBytes];
  int64_t folder_time;
};

// Newest folder time first; equal times by relative path, larger first.
bool listed_before(int64_t ta, const char* ra, int64_t tb, const char* rb) {
  if (ta != tb) return ta > tb;
  return strcmp(ra, rb) > 0;
}

struct DateWalk {
  const char* write_folder;
  const char* date;
  std::vector<Candidate>* out;
};

bool visit_session_folder(const DateWalk& w, const char* name) {
  Candidate c{};
  // A relative path that does not fit would name another folder; such a folder is left out.
  if (text_format(c.relative, sizeof c.relative, "%s/%s", w.date, name) >= sizeof c.relative - 1) return true;
  text_format(c.display, sizeof c.display, "%s %s", w.date, name);
  char path[kPathCap];
  if (!path_join(path, w.write_folder, c.relative)) return true;
  c.folder_time = path_filetime(path);
  w.out->push_back(c);
  return true;
}

bool visit_date_folder(const DirEntry& entry, void* ctx) {
  if (!entry.is_dir || entry.name[0] == '.') return true;
  auto* w = static_cast<DateWalk*>(ctx);
  char date_path[kPathCap];
  if (!path_join(date_path, w->write_folder, entry.name)) return true;
  DateWalk inner{w->write_folder, entry.name, w->out};
  list_dir(
      date_path,
      [](const DirEntry& e, void* c) {
        if (!e.is_dir || e.name[0] == '.') return true;
        return visit_session_folder(*static_cast<DateWalk*>(c), e.name);
      },
      &inner);
  return true;
}

struct WavSum {
  const char* folder;
  int count;
  double seconds;
};

bool sum_wav(const DirEntry& e, void* ctx) {
  auto* s = static_cast<WavSum*>(ctx);
  // Counted as the take listing counts: a name too long for it is not one of the session's takes.
  if (e.is_dir || !is_wav_name(e.name) || strlen(e.name) >= size_t(kTakeFileNameBytes)) return true;
  ++s->count;
  char path[kPathCap + kTakeFileNameBytes];
  double seconds = 0, rate = 0;
  if (path_join(path, s->folder, e.name) && probe_wav(path, &seconds, &rate)) s->seconds += seconds;
  return true;
}

int64_t start_time_of(const char* relative) {
  int y, mo, d, h, mi, se;
  if (text_scan(relative, "%4d-%2d-%2d/%2d%2d%2d", &y, &mo, &d, &h, &mi, &se) != 6) return 0;
  struct tm tm {};
  tm.tm_year = y - 1900;
  tm.tm_mon = mo - 1;
  tm.tm_mday = d;
  tm.tm_hour = h;
  tm.tm_min = mi;
  tm.tm_sec = se;
  const int64_t t = time_from_local(&tm);
  return t < 0 ? 0 : t;
}

void fill_row(const char* write_folder, const Candidate& c, LibraryRow* row) {
  *row = LibraryRow{};
  text_copy(row->display_name, c.display);
  text_copy(row->relative_path, c.relative);
  row->folder_time = c.folder_time;
  char folder[kPathCap];
  if (!path_join(folder, write_folder, c.relative)) return;
  auto ref = std::make_unique<Reference>();
  if (read_reference(folder, ref.get())) {
    row->reference = 1;
    text_copy(row->source_name, path_name(ref->source));
    row->take_count = ref->count;
    const double rate = ref->rate > 0 ? double(ref->rate) : 48000.0;
    for (int i = 0; i < ref->count; ++i) row->total_seconds += double(ref->takes[i].end - ref->takes[i].start) / rate;
  } else {
    WavSum sum{folder, 0, 0.0};
    list_dir(folder, sum_wav, &sum);
    row->take_count = sum.count;
    row->total_seconds = sum.seconds;
  }
  row->start_time = start_time_of(c.relative);
  const int64_t folder_seconds = c.folder_time < kFiletimeEpoch1970 ? 0 : (c.folder_time - kFiletimeEpoch1970) / 10000000;
  if (row->start_time != 0 && row->start_time < folder_seconds) row->span_seconds = double(folder_seconds - row->start_time);
}

bool valid_row(const Recorder* r, int row) { return row >= 0 && row < r->library.row_count; }

// A take name from the library: one entry of the folder, never a path out of it.
bool plain_name(const char* name) {
  return name && name[0] && !strchr(name, '/') && strcmp(name, ".") != 0 && strcmp(name, "..") != 0;
}

bool delete_visit(const DirEntry& e, void* ctx) {
  if (e.is_dir || e.name[0] == '.') return true;
  char path[kPathCap + 256];
  if (path_join(path, static_cast<const char*>(ctx), e.name)) remove_file(path);
  return true;
}

}  // namespace

void scan_library(Recorder* r) {
  Library& lib = r->library;
  lib.row_count = 0;
  ++lib.scan_serial;
  if (!lib.write_folder[0]) return;
  std::vector<Candidate> found;
  DateWalk walk{lib.write_folder, nullptr, &found};
  list_dir(lib.write_folder, visit_date_folder, &walk);
  // Sorted before the rows are filled, so that past 512 sessions the newest are the ones listed.
  std::sort(found.begin(), found.end(), [](const Candidate& a, const Candidate& b) {
    return listed_before(a.folder_time, a.relative, b.folder_time, b.relative);
  });
  for (const Candidate& c : found) {
    if (lib.row_count >= kMaxSessions) break;
    LibraryRow* row = &lib.rows[lib.row_count];
    fill_row(lib.write_folder, c, row);
    const bool open = r->session.folder[0] && r->session.relative[0] && text_equal_nocase(c.relative, r->session.relative);
    if (row->take_count > 0 || open) ++lib.row_count;
  }
}

int find_library_row(const Recorder* r, const char* rel) {
  if (!rel || !rel[0]) return -1;
  for (int i = 0; i < r->library.row_count; ++i)
    if (text_equal_nocase(r->library.rows[i].relative_path, rel)) return i;
  return -1;
}

bool row_is_open_session(const Recorder* r, int row) {
  return valid_row(r, row) && r->session.folder[0] && r->session.relative[0] &&
         text_equal_nocase(r->library.rows[row].relative_path, r->session.relative);
}

bool session_folder_path(const Recorder* r, int row, char* out, size_t cap) {
  if (!valid_row(r, row)) {
    if (cap) out[0] = 0;
    return false;
  }
  return path_join(out, cap, r->library.write_folder, r->library.rows[row].relative_path);
}

bool take_file_path(const Recorder* r, int row, const char* name, char* out, size_t cap) {
  char folder[kPathCap];
  if (!plain_name(name) || !session_folder_path(r, row, folder, sizeof folder)) {
    if (cap) out[0] = 0;
    return false;
  }
  return path_join(out, cap, folder, name);
}

int session_takes(const Recorder* r, int row, TakeFile* out, int capacity) {
  char folder[kPathCap];
  if (!session_folder_path(r, row, folder, sizeof folder)) return -1;
  if (r->library.rows[row].reference) {
    auto ref = std::make_unique<Reference>();
    if (read_reference(folder, ref.get())) {
      const int n = std::min(ref->count, std::max(capacity, 0));
      const double rate = ref->rate > 0 ? double(ref->rate) : 48000.0;
      for (int i = 0; i < n; ++i) {
        out[i] = TakeFile{};
        text_format(out[i].name, sizeof out[i].name, "take-%03d", i + 1);
        out[i].start = ref->takes[i].start;
        out[i].end = ref->takes[i].end;
        out[i].rate = double(ref->rate);
        out[i].seconds = double(ref->takes[i].end - ref->takes[i].start) / rate;
      }
      return n;
    }
  }
  return list_take_files(folder, out, capacity);
}

int take_overview(const char* path, float* values, int n) {
  if (!values || n <= 0) return -1;
  std::fill(values, values + n, 0.0f);
  AudioBuffer b{};
  if (read_wav(path, &b) != 0) return -1;
  if (b.frames <= 0) {
    free_wav(&b);
    return -1;
  }
  const int64_t frames = b.frames;
  for (int64_t i = 0; i < frames; ++i) {
    float& v = values[i * n / frames];
    v = std::max(v, std::max(std::fabs(b.samples[2 * i]), std::fabs(b.samples[2 * i + 1])));
  }
  free_wav(&b);
  return 0;
}

int session_overview(const char* folder, float* values, int n) {
  if (!values || n <= 0) return -1;
  std::fill(values, values + n, 0.0f);
  std::vector<TakeFile> files(kMaxSessionTakes);
  const int count = list_take_files(folder, files.data(), kMaxSessionTakes);
  double total = 0;
  for (int i = 0; i < count; ++i) total += std::max(files[size_t(i)].seconds, 0.0);
  if (count <= 0 || !(total > 0)) return -1;
  double before = 0;
  for (int i = 0; i < count; ++i) {
    const double duration = std::max(files[size_t(i)].seconds, 0.0);
    const int first = int(double(n) * before / total);
    before += duration;
    if (first >= n) break;
    const int end = std::min(std::max(int(double(n) * before / total), first + 1), n);
    char path[kPathCap + kTakeFileNameBytes];
    AudioBuffer b{};
    if (!path_join(path, folder, files[size_t(i)].name) || read_wav(path, &b) != 0) continue;
    const int64_t frames = b.frames, span = end - first;
    for (int64_t k = 0; k < frames; ++k) {
      float& v = values[first + k * span / frames];
      v = std::max(v, std::max(std::fabs(b.samples[2 * k]), std::fabs(b.samples[2 * k + 1])));
    }
    free_wav(&b);
  }
  const float peak = *std::max_element(values, values + n);
  if (peak > 0.0001f)
    for (int i = 0; i < n; ++i) values[i] /= peak;
  return 0;
}

int delete_session(Recorder* r, int row) {
  char folder[kPathCap];
  if (!session_folder_path(r, row, folder, sizeof folder)) return -1;
  // The open session still has takes to write into its folder.
  if (row_is_open_session(r, row)) return -1;
  log_line("deleted %s", r->library.rows[row].display_name);
  list_dir(folder, delete_visit, folder);
  const int result = remove_dir(folder) == 0 ? 0 : -1;
  if (result == 0) remove_parent_if_empty(folder);
  scan_library(r);
  return result;
}

int delete_take(Recorder* r, int row, const char* name) {
  char folder[kPathCap];
  if (!plain_name(name) || !session_folder_path(r, row, folder, sizeof folder) || row_is_open_session(r, row))
    return -2;
  char relative[kRelativeNameBytes];
  text_copy(relative, r->library.rows[row].relative_path);
  FileIdentity folder_id{};
  const bool have_time = file_identity(folder, &folder_id) == 0;

  if (r->library.rows[row].reference) {
    auto ref = std::make_unique<Reference>();
    const int number = strncmp(name, "take-", 5) == 0 ? atoi(name + 5) : 0;
    if (!read_reference(folder, ref.get()) || number < 1 || number > ref->count) return -2;
    for (int i = number; i < ref->count; ++i) ref->takes[i - 1] = ref->takes[i];
    --ref->count;
    if (ref->count == 0) {
      delete_session(r, row);
      return -1;
    }
    if (write_reference(folder, *ref) != 0) return -2;
  } else {
    char path[kPathCap + 256];
    if (!path_join(path, folder, name) || remove_file(path) != 0) {
      log_line("delete FAILED: %s/%s", folder, name);
      return -2;
    }
    log_line("deleted take %s", name);
    if (count_wav_files(folder) <= 0) {
      delete_session(r, row);
      return -1;
    }
  }
  // The folder keeps its time, so the session keeps its place in the newest-first list.
  if (have_time) set_file_mtime(folder, folder_id.mtime_ns);
  scan_library(r);
  return find_library_row(r, relative);
}
