// Arbitrary bytes as a take file through the header probe and the reader: neither crashes or reads
// outside the file, a refusal keeps nothing, and when both accept a file they agree on its rate
// and length.
#include <unistd.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "platform/paths.h"
#include "sessions/take_writer.h"

namespace {

const char* input_path() {
  static char path[kPathCap + 32];
  if (!path[0]) {
    char tmp[kPathCap];
    temp_dir(tmp, sizeof tmp);
    snprintf(path, sizeof path, "%s/take_wav_fuzz_%d.wav", tmp, int(getpid()));
    atexit([] { remove_file(path); });
  }
  return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* path = input_path();
  FILE* f = fopen(path, "wb");
  if (!f) abort();
  if (size && fwrite(data, 1, size, f) != size) abort();
  fclose(f);

  double seconds = -1, rate = -1;
  const bool probed = probe_wav(path, &seconds, &rate);
  if (!probed && (seconds != 0 || rate != 0)) abort();
  if (probed && (!(rate > 0) || !(seconds >= 0))) abort();

  AudioBuffer b{};
  if (read_wav(path, &b) != 0) {
    if (b.samples || b.frames || b.channels) abort();
    return 0;
  }
  if (b.channels != 2 || b.frames < 0 || !(b.sample_rate > 0) || (b.frames > 0) != (b.samples != nullptr)) abort();
  if (uint64_t(b.frames) * 2 > uint64_t(size)) abort();  // never more frames than the bytes hold
  volatile float sink = 0;
  for (int64_t i = 0; i < 2 * b.frames; ++i) sink = sink + b.samples[i];
  if (probed) {
    if (rate != b.sample_rate) abort();
    if (std::fabs(seconds * rate - double(b.frames)) > 1.0 + 1e-6 * double(b.frames)) abort();
  }
  free_wav(&b);
  return 0;
}
