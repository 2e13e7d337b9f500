#include "tests/sessions/session_fixture.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>

#include "capture/takes.h"
#include "config/log.h"
#include "config/status.h"
#include "platform/clock.h"
#include "platform/paths.h"
#include "sessions/session.h"
#include "sessions/take_writer.h"

namespace {

int64_t rig_clock(void* ctx) { return static_cast<RecorderRig*>(ctx)->now; }

void rig_sleep(void* ctx, int ms) {
  auto* rig = static_cast<RecorderRig*>(ctx);
  if (rig->audio_runs) rig->quiet(int64_t(rig->engine->sample_rate * ms / 1000));
}

void put(std::vector<uint8_t>& v, uint32_t x, int bytes) {
  for (int i = 0; i < bytes; ++i) v.push_back(uint8_t(x >> (8 * i)));
}

}  // namespace

std::string stamp_name(int64_t t) {
  struct tm tm;
  local_time(t, &tm);
  char s[32];
  strftime(s, sizeof s, "tolm-%H%M%S.wav", &tm);
  return s;
}

RecorderRig::RecorderRig(double rate) {
  setenv("HOME", home.path.c_str(), 1);
  unsetenv("XDG_CONFIG_HOME");
  std::filesystem::create_directories(music());
  engine = make_engine(rate);
  rec = std::make_unique<Recorder>();
  rec->engine = engine.get();
  rec->hooks.now_seconds = ClockHook{rig_clock, this};
  rec->hooks.sleep = SleepHook{rig_sleep, this};
  now = local_seconds(2026, 10, 5, 12, 44, 24);
  init_library(rec.get(), "");
}

TakeEntry RecorderRig::record_take(int64_t frames) {
  Signal s = silence(frames + int64_t(3 * engine->sample_rate));
  for (int64_t i = 0; i < frames; ++i) {
    noise = noise * 1664525u + 1013904223u;
    const float v = 0.5f * float(int32_t(noise) / 2147483648.0);
    s.set(i, v, -0.5f * v);
  }
  const int before = rec->takes.take_count;
  feed(engine.get(), s, 0, s.frames());
  collect_sealed_takes(rec.get());
  return rec->takes.take_count > before ? rec->takes.takes[rec->takes.take_count - 1] : TakeEntry{};
}

void RecorderRig::quiet(int64_t frames) { feed_silence(engine.get(), frames); }

std::vector<float> RecorderRig::tape(const TakeEntry& t) const { return tape_frames(engine.get(), t.start, t.end); }

int64_t local_seconds(int year, int month, int day, int hour, int minute, int second) {
  struct tm tm {};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  return time_from_local(&tm);
}

std::vector<float> quantized16(const std::vector<float>& tape) {
  std::vector<float> out(tape.size());
  for (size_t i = 0; i < tape.size(); ++i) {
    const double c = std::clamp(double(tape[i]), -1.0, 1.0);
    out[i] = float(int16_t(c * 32767.0)) / 32768.0f;
  }
  return out;
}

std::vector<float> wav_samples(const std::string& path, double* rate) {
  AudioBuffer b{};
  if (read_wav(path.c_str(), &b) != 0) return {};
  std::vector<float> v(b.samples, b.samples + 2 * b.frames);
  if (rate) *rate = b.sample_rate;
  free_wav(&b);
  return v;
}

std::vector<uint8_t> file_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

bool logged(const std::string& text) {
  char line[kLogLineBytes];
  for (int i = 0; i < log_line_count(); ++i)
    if (log_recent_line(i, line, sizeof line) && strstr(line, text.c_str())) return true;
  return false;
}

std::string status_text() { return status_line().text; }

std::vector<std::string> folder_names(const std::string& path) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(path, ec)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

void write_wav_file(const std::string& path, int format, int channels, int rate, int bits,
                    const std::vector<double>& samples) {
  const int bytes = bits / 8;
  std::vector<uint8_t> data;
  for (double s : samples) {
    if (format == 3) {
      float f = float(s);
      uint32_t u;
      memcpy(&u, &f, 4);
      put(data, u, 4);
    } else {
      const double scale = bits == 8 ? 127.0 : std::ldexp(1.0, bits - 1);
      put(data, uint32_t(int64_t(std::floor(s * scale + 0.5))), bytes);
    }
  }
  std::vector<uint8_t> v;
  v.insert(v.end(), {'R', 'I', 'F', 'F'});
  put(v, uint32_t(36 + data.size()), 4);
  v.insert(v.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
  put(v, 16, 4);
  put(v, uint32_t(format), 2);
  put(v, uint32_t(channels), 2);
  put(v, uint32_t(rate), 4);
  put(v, uint32_t(rate * channels * bytes), 4);
  put(v, uint32_t(channels * bytes), 2);
  put(v, uint32_t(bits), 2);
  v.insert(v.end(), {'d', 'a', 't', 'a'});
  put(v, uint32_t(data.size()), 4);
  v.insert(v.end(), data.begin(), data.end());
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(v.data()), std::streamsize(v.size()));
}
