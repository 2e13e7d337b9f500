#include "tests/library/library_fixture.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "tests/sessions/session_fixture.h"

AudioBuffer make_buffer(int channels, double rate, const std::vector<float>& samples) {
  AudioBuffer b{};
  b.channels = channels;
  b.sample_rate = rate;
  b.frames = int64_t(samples.size()) / channels;
  b.samples = static_cast<float*>(malloc(std::max<size_t>(samples.size(), 1) * sizeof(float)));
  if (!samples.empty()) memcpy(b.samples, samples.data(), samples.size() * sizeof(float));
  return b;
}

std::vector<float> ramp(int channels, int64_t frames) {
  std::vector<float> s(size_t(frames * channels));
  for (int64_t i = 0; i < frames; ++i) {
    s[size_t(i * channels)] = float(i) / float(frames);
    if (channels > 1) s[size_t(i * channels + 1)] = -float(i) / float(frames);
  }
  return s;
}

Rendered render(PlaybackEngine* e, int64_t frames, double rate, int block) {
  Rendered out;
  std::vector<float> l(static_cast<size_t>(block)), r(static_cast<size_t>(block));
  for (int64_t done = 0; done < frames; done += block) {
    const int n = int(std::min<int64_t>(block, frames - done));
    std::fill(l.begin(), l.end(), 0.0f);
    std::fill(r.begin(), r.end(), 0.0f);
    engine_render(e, l.data(), r.data(), n, rate);
    out.left.insert(out.left.end(), l.begin(), l.begin() + n);
    out.right.insert(out.right.end(), r.begin(), r.begin() + n);
  }
  return out;
}

bool pump_until(Player* p, const std::function<bool()>& done, int timeout_ms) {
  for (int t = 0; t < timeout_ms; t += 2) {
    player_update(p);
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  player_update(p);
  return done();
}

void write_take(const std::string& path, int rate, const std::vector<float>& stereo) {
  std::vector<double> s(stereo.begin(), stereo.end());
  for (double& v : s) v = std::clamp(v, -1.0, 32767.0 / 32768.0);
  write_wav_file(path, 1, 2, rate, 16, s);
}

void write_sine_take(const std::string& path, int rate, double seconds, double hz) {
  const int64_t n = int64_t(seconds * rate);
  std::vector<float> s(size_t(2 * n));
  for (int64_t i = 0; i < n; ++i) s[size_t(2 * i)] = s[size_t(2 * i + 1)] = float(0.5 * std::sin(2 * M_PI * hz * double(i) / rate));
  write_take(path, rate, s);
}
