// Arbitrary bytes as a session's source.ref: the reader never crashes, keeps its limits and only
// good take ranges, and what it read writes and reads back as the same record.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "platform/paths.h"
#include "sessions/reference.h"

namespace {

const char* folder() {
  static char path[kPathCap];
  if (!path[0]) {
    char tmp[kPathCap];
    temp_dir(tmp, sizeof tmp);
    snprintf(path, sizeof path, "%s/reference_fuzz_%d", tmp, int(getpid()));
    if (make_dir(path) != 0) abort();
    atexit([] {
      char file[kPathCap + 16];
      snprintf(file, sizeof file, "%s/source.ref", path);
      remove_file(file);
      remove_dir(path);
    });
  }
  return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static auto ref = std::make_unique<Reference>();
  static auto again = std::make_unique<Reference>();
  char file[kPathCap + 16];
  snprintf(file, sizeof file, "%s/source.ref", folder());
  FILE* f = fopen(file, "wb");
  if (!f) abort();
  if (size && fwrite(data, 1, size, f) != size) abort();
  fclose(f);

  const bool found = read_reference(folder(), ref.get());
  if (strnlen(ref->source, sizeof ref->source) == sizeof ref->source) abort();
  if (found != (ref->source[0] != 0)) abort();
  if (ref->count < 0 || ref->count > kMaxReferenceTakes) abort();
  for (int i = 0; i < ref->count; ++i)
    if (!(ref->takes[i].start < ref->takes[i].end)) abort();
  // A source path with a line break cannot be written back as one line; everything else can.
  if (!found || strpbrk(ref->source, "\r\n")) return 0;
  if (write_reference(folder(), *ref) != 0) abort();
  if (!read_reference(folder(), again.get())) abort();
  if (strcmp(ref->source, again->source) != 0 || ref->rate != again->rate || ref->frames != again->frames ||
      ref->count != again->count || memcmp(ref->takes, again->takes, sizeof(ReferenceTake) * size_t(ref->count)) != 0)
    abort();
  return 0;
}
