// source.ref: reading it line by line (forgiving: unknown and bad lines are skipped), writing it
// whole, creating a reference session folder around it and looking up a row's source.
// read/write/format run on any thread; creating and looking up run on the main thread.
#include "sessions/reference.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "config/log.h"
#include "platform/file.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "sessions/library_scan.h"
#include "sessions/session_util.h"

namespace {

constexpr size_t kReferenceTextBytes = 512 + size_t(kMaxReferenceTakes) * 48;

// One decimal integer after optional blanks, as %lld reads it; false when none or out of range.
bool parse_int64(const char** p, int64_t* out) {
  char* end = nullptr;
  errno = 0;
  const long long v = strtoll(*p, &end, 10);
  if (end == *p || errno == ERANGE) return false;
  *out = int64_t(v);
  *p = end;
  return true;
}

// Reads one line into buf (at most kReferenceLineChars characters kept; the rest of a longer
// line is passed over). false at the end of the file.
bool read_line(FILE* f, char* buf, size_t cap) {
  size_t n = 0;
  int c;
  bool any = false;
  while ((c = getc(f)) != EOF) {
    any = true;
    if (c == '\n') break;
    if (n + 1 < cap) buf[n++] = char(c);
  }
  buf[n] = 0;
  while (n > 0 && (buf[n - 1] == '\r' || buf[n - 1] == '\n')) buf[--n] = 0;
  return any;
}

}  // namespace

bool read_reference(const char* folder, Reference* ref) {
  memset(ref, 0, sizeof *ref);
  char path[kPathCap + 16];
  if (!path_join(path, folder, kReferenceFile)) return false;
  FILE* f = fopen(path, "rb");
  if (!f) return false;
  char line[kReferenceLineChars + 1];
  while (read_line(f, line, sizeof line)) {
    const char* p = line;
    int64_t a = 0, b = 0;
    if (strncmp(line, "source=", 7) == 0) {
      text_copy(ref->source, line + 7);
    } else if (strncmp(line, "rate=", 5) == 0) {
      p += 5;
      if (parse_int64(&p, &a) && a >= INT_MIN && a <= INT_MAX) ref->rate = int(a);
    } else if (strncmp(line, "frames=", 7) == 0) {
      p += 7;
      if (parse_int64(&p, &a)) ref->frames = a;
    } else if (strncmp(line, "take=", 5) == 0) {
      p += 5;
      if (ref->count < kMaxReferenceTakes && parse_int64(&p, &a) && parse_int64(&p, &b) && a < b)
        ref->takes[ref->count++] = ReferenceTake{a, b};
    }
  }
  fclose(f);
  return ref->source[0] != 0;
}

int format_reference(const Reference& ref, char* out, size_t cap) {
  size_t n = text_format(out, cap, "tolm-ref 1\nsource=%s\nrate=%d\nframes=%lld\n", ref.source, ref.rate,
                         (long long)ref.frames);
  const int count = ref.count < 0 ? 0 : (ref.count > kMaxReferenceTakes ? kMaxReferenceTakes : ref.count);
  for (int i = 0; i < count && n + 1 < cap; ++i)
    n += text_format(out + n, cap - n, "take=%lld %lld\n", (long long)ref.takes[i].start, (long long)ref.takes[i].end);
  return n + 1 < cap ? int(n) : -1;
}

int write_reference(const char* folder, const Reference& ref) {
  char path[kPathCap + 16];
  if (!path_join(path, folder, kReferenceFile)) return -1;
  char* text = static_cast<char*>(malloc(kReferenceTextBytes));
  if (!text) return -1;
  const int n = format_reference(ref, text, kReferenceTextBytes);
  const int result = n >= 0 ? replace_file_whole(path, text, size_t(n)) : -1;
  free(text);
  return result;
}

int create_reference_session(Recorder* r, const char* source, int rate, int64_t frames, const int64_t* starts,
                             const int64_t* ends, int count, char* name, size_t name_cap) {
  if (name && name_cap) name[0] = 0;
  // A path that does not fit the record, or that holds a line break, would read back as another file.
  if (!source || !source[0] || strlen(source) >= kPathCap || strpbrk(source, "\r\n") || count <= 0 || !starts || !ends ||
      !r->library.write_folder[0])
    return -1;
  char folder[kPathCap];
  if (make_session_folder(r->library.write_folder, recorder_now(r), folder, sizeof folder) != 0) {
    log_line("reference session FAILED: %s", folder);
    return -1;
  }
  auto ref = std::make_unique<Reference>();
  text_copy(ref->source, source);
  ref->rate = rate;
  ref->frames = frames;
  ref->count = count < kMaxReferenceTakes ? count : kMaxReferenceTakes;
  for (int i = 0; i < ref->count; ++i) ref->takes[i] = ReferenceTake{starts[i], ends[i]};
  if (write_reference(folder, *ref) != 0) {
    log_line("reference session FAILED: %s", folder);
    remove_dir(folder);
    remove_parent_if_empty(folder);
    return -1;
  }
  log_line("reference session -> %s  (%d takes of %s)", folder, ref->count, source);
  if (name && name_cap) relative_session_name(r->library.write_folder, folder, name, name_cap);
  scan_library(r);
  return 0;
}

int reference_source(const Recorder* r, int row, char* path, size_t path_cap, int* rate, int64_t* frames) {
  char folder[kPathCap];
  if (!session_folder_path(r, row, folder, sizeof folder) || !r->library.rows[row].reference) return -1;
  auto ref = std::make_unique<Reference>();
  if (!read_reference(folder, ref.get())) return -1;
  text_copy(path, path_cap, ref->source);
  if (rate) *rate = ref->rate;
  if (frames) *frames = ref->frames;
  return 0;
}
