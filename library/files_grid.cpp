// Bar grid arithmetic and the loop writer.
#include "library/files_grid.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "config/log.h"
#include "kit/audio_file.h"
#include "platform/file.h"
#include "platform/paths.h"
#include "platform/text.h"

namespace {

constexpr double kCountSlack = 1e-6;  // a loop count of 1.9999999 is 2

bool forbidden(unsigned char c) {
  return c < 0x20 || c == 0x7F || strchr("<>:\"/\\|?*", c) != nullptr;
}

}  // namespace

int effective_bars_per_loop(int bars_per_loop) { return bars_per_loop < 1 ? kDefaultBarsPerLoop : bars_per_loop; }

bool bar_grid_make(float bpm, double first_beat_s, int64_t frames, double rate, int bars_per_loop, int shift_beats,
                   BarGrid* out) {
  *out = BarGrid{};
  if (!(bpm > 0.0f) || !std::isfinite(bpm) || !(rate > 0.0) || frames <= 0) return false;
  const int bars = effective_bars_per_loop(bars_per_loop);
  const double beat = 60.0 / bpm;
  const double duration = double(frames) / rate;
  double offset = std::fmod(std::isfinite(first_beat_s) ? first_beat_s : 0.0, beat);
  if (offset < 0.0) offset += beat;
  const int n = kBeatsPerBar * bars;
  const double loop = n * beat;
  const int shift = ((n + shift_beats % n) % n);  // C++ keeps the sign of the remainder: a negative shift works
  double g = std::fmod(shift * beat + offset, loop);
  const bool lead_in = g > kLeadInMinSeconds;
  if (!lead_in) g = 0.0;
  const double span = std::max(0.0, duration - g);
  const int whole = int(std::floor(span / loop + kCountSlack));
  const double rest = span - whole * loop;
  const int count = whole + (lead_in ? 1 : 0) + (rest > kPartialSlackSeconds ? 1 : 0);
  if (count <= 0 || !(duration > 0.0)) return false;
  out->first_loop_start_s = g;
  out->loop_s = loop;
  out->beat_s = beat;
  out->duration_s = duration;
  out->loop_count = count;
  out->lead_in = lead_in;
  out->bpm = bpm;
  out->bars_per_loop = bars;
  return true;
}

bool bar_block(const BarGrid& g, int k, double* start_s, double* end_s) {
  if (k < 0 || k >= g.loop_count) return false;
  const int lead = g.lead_in ? 1 : 0;
  double start, end;
  if (k == 0 && g.lead_in) {
    start = 0.0;
    end = g.first_loop_start_s;
  } else {
    start = g.first_loop_start_s + (k - lead) * g.loop_s;
    end = g.first_loop_start_s + (k - lead + 1) * g.loop_s;
  }
  *start_s = std::min(start, g.duration_s);
  *end_s = std::min(end, g.duration_s);
  return true;
}

bool bar_block_partial(const BarGrid& g, int k) {
  double s = 0, e = 0;
  return bar_block(g, k, &s, &e) && e - s < g.loop_s - kPartialSlackSeconds;
}

int bar_block_at(const BarGrid& g, double seconds) {
  if (g.loop_count <= 0 || !(seconds >= 0.0) || seconds >= g.duration_s) return -1;
  if (g.lead_in && seconds < g.first_loop_start_s) return 0;
  const int lead = g.lead_in ? 1 : 0;
  const int k = lead + int(std::floor((seconds - g.first_loop_start_s) / g.loop_s));
  return std::clamp(k, 0, g.loop_count - 1);
}

void loop_length_text(const BarGrid& g, int k, char* out, size_t cap) {
  double s = 0, e = 0;
  bar_block(g, k, &s, &e);
  if (bar_block_partial(g, k)) text_format(out, cap, "%.1f beats", (e - s) / g.beat_s);
  else text_format(out, cap, "%d bar%s", g.bars_per_loop, g.bars_per_loop == 1 ? "" : "s");
}

void loop_file_name(const char* display_name, const BarGrid& g, int k, char* out, size_t cap) {
  char name[kLoopNameChars * 4 + 1];
  // At most 199 characters (code points), never cut inside one.
  size_t bytes = 0;
  int chars = 0;
  const size_t total = strlen(display_name);
  while (bytes < total && chars < kLoopNameChars) {
    size_t step = 1;
    while (bytes + step < total && (static_cast<unsigned char>(display_name[bytes + step]) & 0xC0) == 0x80) ++step;
    bytes += step;
    ++chars;
  }
  memcpy(name, display_name, bytes);
  name[bytes] = 0;
  const char* dot = strrchr(name, '.');
  if (dot && dot != name && strlen(dot) <= size_t(kLoopExtensionChars)) name[dot - name] = 0;
  for (char* p = name; *p; ++p)
    if (forbidden(static_cast<unsigned char>(*p))) *p = '_';
  char length[32];
  loop_length_text(g, k, length, sizeof length);
  if (bar_block_partial(g, k)) text_format(out, cap, "%s  end  %s  %.0f bpm.wav", name, length, double(g.bpm));
  else text_format(out, cap, "%s  bar %d  %s  %.0f bpm.wav", name, k + 1, length, double(g.bpm));
}

bool loops_folder(char* out, size_t cap) {
  char music[kPathCap];
  if (!music_dir(music, sizeof music)) return false;
  if (text_format(out, cap, "%s/Lumaro/Loops", music) + 1 >= cap) return false;
  make_dirs(out);
  return is_dir(out);
}

int save_loop(const AudioBuffer& buffer, const BarGrid& g, int k, float gain, const char* display_name,
              const char* folder, char* path_out, size_t path_cap) {
  if (path_cap) path_out[0] = 0;
  if (!folder || !folder[0] || !is_dir(folder)) return kLoopNoFolder;
  double start_s = 0, end_s = 0;
  if (!bar_block(g, k, &start_s, &end_s) || !buffer.samples || buffer.channels <= 0 || buffer.frames <= 0 ||
      !(buffer.sample_rate > 0.0))
    return kLoopCantWrite;
  const int64_t first = std::max<int64_t>(0, int64_t(std::floor(buffer.sample_rate * start_s)));
  int64_t frames = int64_t(std::floor(buffer.sample_rate * (end_s - start_s) + 0.5));
  frames = std::min(frames, buffer.frames - first);
  if (frames <= 0) return kLoopCantWrite;
  const int out_channels = buffer.channels >= 2 ? 2 : 1;
  std::vector<float> samples;
  try {
    samples.resize(size_t(frames) * out_channels);
  } catch (const std::bad_alloc&) {
    return kLoopCantWrite;
  }
  const float* src = buffer.samples + first * buffer.channels;
  for (int64_t i = 0; i < frames; ++i)
    for (int c = 0; c < out_channels; ++c) samples[size_t(i) * out_channels + c] = src[i * buffer.channels + c] * gain;
  char name[kLoopPathBytes], path[kLoopPathBytes], tmp[kLoopPathBytes + 32];
  loop_file_name(display_name, g, k, name, sizeof name);
  if (text_format(path, sizeof path, "%s/%s", folder, name) + 1 >= sizeof path ||
      temporary_path(tmp, sizeof tmp, path) != 0)
    return kLoopCantWrite;
  if (!write_float_wav(tmp, samples.data(), out_channels, frames, buffer.sample_rate)) {
    log_line("files: couldn't write the loop %s", path);
    return kLoopCantWrite;
  }
  if (file_rename(tmp, path) != 0) {
    remove_file(tmp);
    log_line("files: couldn't put the loop in place as %s", path);
    return kLoopCantWrite;
  }
  text_copy(path_out, path_cap, path);
  return kLoopSaved;
}

const char* loop_save_message(int code) {
  switch (code) {
    case kLoopNoFolder: return "NO LOOPS FOLDER";
    case kLoopCantWrite: return "CAN'T WRITE THE LOOP";
    default: return "";
  }
}
