// tolm_feed: plays sounds and silences made at run time into the program's JACK inputs, so the
// recorder can be watched (and measured) on a machine without a microphone or a sound card.
//   tolm_feed [--busy] [--seconds N] [--seed N]
// It waits for tolm:in_1 to appear and be connected, then loops a minute of material: bursts of
// tones, chirps, plucked notes and noise, 0.3-2.5 s long, between 1.5-4 s of near-silence
// (--busy: short gaps, so the gate is open most of the time). JACK_DEFAULT_SERVER picks the server.
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "platform/clock.h"
#include "tests/support/jack.h"

namespace {

constexpr int kRate = 48000;
constexpr int kLoopSeconds = 60;
constexpr double kTwoPi = 6.283185307179586;
volatile std::sig_atomic_t g_stop = 0;

void on_signal(int) { g_stop = 1; }

struct Maker {
  std::mt19937 rng;
  double uniform(double a, double b) { return std::uniform_real_distribution<double>(a, b)(rng); }
};

// One sound of `frames` at peak `level` into left/right starting at `at`.
void add_sound(Maker& m, std::vector<float>& lr, int64_t at, int64_t frames, double level) {
  const int kind = int(m.uniform(0, 4));
  const double f0 = m.uniform(180, 900), f1 = m.uniform(300, 2400);
  const double pan = m.uniform(0.25, 0.75);
  // Karplus-Strong string for the plucked kind.
  std::vector<double> string(size_t(kRate / f0) + 2);
  for (double& s : string) s = m.uniform(-1, 1);
  size_t pos = 0;
  double lp = 0;
  for (int64_t i = 0; i < frames && at + i < int64_t(lr.size() / 2); ++i) {
    const double t = double(i) / kRate, u = double(i) / double(frames);
    const double attack = std::min(1.0, t / 0.01), release = std::min(1.0, (1.0 - u) * double(frames) / kRate / 0.05);
    double v = 0;
    switch (kind) {
      case 0:  // tone with a little vibrato
        v = std::sin(kTwoPi * f0 * t + 0.3 * std::sin(kTwoPi * 5.5 * t)) * (0.6 + 0.4 * std::exp(-3 * t));
        break;
      case 1:  // chirp
        v = std::sin(kTwoPi * (f0 * t + 0.5 * (f1 - f0) * t * t / (double(frames) / kRate)));
        break;
      case 2: {  // plucked string
        const size_t next = (pos + 1) % string.size();
        v = string[pos];
        string[pos] = 0.996 * 0.5 * (string[pos] + string[next]);
        pos = next;
        v *= 1.4;
        break;
      }
      default:  // filtered noise, like breath or a brush
        lp += 0.15 * (m.uniform(-1, 1) - lp);
        v = 2.5 * lp * (0.5 + 0.5 * std::sin(kTwoPi * 3 * t));
        break;
    }
    v *= level * attack * release;
    lr[size_t(2 * (at + i))] += float(v * (1.0 - pan) * 2.0);
    lr[size_t(2 * (at + i) + 1)] += float(v * pan * 2.0);
  }
}

std::vector<float> make_loop(Maker& m, bool busy) {
  std::vector<float> lr(size_t(2) * kRate * kLoopSeconds, 0.0f);
  // A faint room: noise 60 dB down, well under the threshold line.
  for (float& s : lr) s = float(m.uniform(-0.001, 0.001));
  int64_t at = int64_t(m.uniform(0.5, 1.5) * kRate);
  while (at < int64_t(kRate) * (kLoopSeconds - 3)) {
    const int64_t frames = int64_t(m.uniform(0.3, busy ? 4.0 : 2.5) * kRate);
    add_sound(m, lr, at, frames, std::pow(10.0, m.uniform(-20, -6) / 20.0));
    at += frames + int64_t((busy ? m.uniform(0.1, 0.6) : m.uniform(1.5, 4.0)) * kRate);
  }
  return lr;
}

}  // namespace

int main(int argc, char** argv) {
  bool busy = false;
  double seconds = 0;  // 0 = until stopped
  unsigned seed = 1;
  for (int i = 1; i < argc; ++i) {
    if (!strcmp(argv[i], "--busy")) busy = true;
    else if (!strcmp(argv[i], "--seconds") && i + 1 < argc) seconds = atof(argv[++i]);
    else if (!strcmp(argv[i], "--seed") && i + 1 < argc) seed = unsigned(atoi(argv[++i]));
    else {
      fprintf(stderr, "usage: tolm_feed [--busy] [--seconds N] [--seed N]\n");
      return 2;
    }
  }
  std::signal(SIGINT, on_signal);
  std::signal(SIGTERM, on_signal);
  JackFeeder feeder;
  if (!feeder.open("tolm_feed", 2)) {
    fprintf(stderr, "tolm_feed: no JACK server '%s'\n", getenv("JACK_DEFAULT_SERVER") ? getenv("JACK_DEFAULT_SERVER") : "default");
    return 1;
  }
  fprintf(stderr, "tolm_feed: waiting for tolm:in_1\n");
  while (!g_stop && !feeder.wait_connected("tolm:in_1", 1000)) {
  }
  if (g_stop || !feeder.connect({"tolm:in_1", "tolm:in_2"})) return g_stop ? 0 : 1;
  fprintf(stderr, "tolm_feed: playing%s\n", busy ? " (busy)" : "");
  Maker m{std::mt19937(seed)};
  const int64_t start = mono_ns();
  while (!g_stop && (seconds <= 0 || double(mono_ns() - start) / 1e9 < seconds)) {
    feeder.play(make_loop(m, busy), kRate / 10);
    while (!g_stop && !feeder.finished()) sleep_ms(50);
    // The program went away (its port is gone): wait for it to come back.
    if (!g_stop && !jack_port_exists("tolm:in_1")) {
      while (!g_stop && !feeder.wait_connected("tolm:in_1", 1000)) {
      }
      if (!g_stop) feeder.connect({"tolm:in_1", "tolm:in_2"});
    }
  }
  return 0;
}
