// A station on loopback for tests: its own folder (the sid file), any free port, no DNS-SD daemon
// unless the test brings one (the system bus points nowhere), and a feeder that pushes a signal on
// a hand-driven station clock, so the time fields are known to the nanosecond.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "net/station.h"
#include "tests/support/temp_dir.h"

struct StationRig {
  TempDir dir;
  std::unique_ptr<Station> s = std::make_unique<Station>();
  int64_t clock_ns = 0;      // the hand-driven station clock of push(): the time of the next frame
  int64_t pushed_frames = 0; // frames push() handed over

  explicit StationRig(const char* dev = "bench-7", bool own_bus = false);
  ~StationRig();
  bool start();
  uint16_t port() const { return s->bound_port; }
  // Pushes stereo frames at `rate` in blocks of `block`, each at the clock time of its first frame.
  void push(const std::vector<float>& stereo, double rate = 48000, int block = 256);
  // Waits up to timeout_ms for the worker to count n listeners.
  bool wait_listeners(int n, int timeout_ms = 3000) const;
  // Waits (up to 5 s) until the sender is within a second of what was pushed: a test clock that
  // runs ahead of real time must not overflow the two-second ring on a starved machine.
  void wait_ring_room() const;
};

// True when a log line of this run contains text (searched from the newest back).
bool log_has(const std::string& text);
// How many log lines of this run contain text.
int log_count(const std::string& text);
// Polls fn every 2 ms for up to timeout_ms.
template <typename Fn>
bool eventually(Fn fn, int timeout_ms = 3000);

#include "platform/clock.h"
template <typename Fn>
bool eventually(Fn fn, int timeout_ms) {
  for (int t = 0; t < timeout_ms; t += 2) {
    if (fn()) return true;
    sleep_ms(2);
  }
  return fn();
}
