// The chop under test: the scope's application record with HOME and the library in a fresh
// temporary folder, the options panel and panels set up, driven through plain input records; and
// a test file of tone bursts whose cut is known to the millisecond.
#pragma once
#include <cstdint>
#include <string>

#include "app/shell/input.h"
#include "library/chop.h"
#include "tests/app/scope_fixture.h"
#include "tests/support/temp_dir.h"

// 8 s of 48 kHz stereo float: 1 kHz bursts of 0.5 over [1.0, 1.4) s, 0.1 over [3.0, 3.5) s and 0.03
// over [5.5, 6.0) s (over the default line of -34 dB), and a hum of 0.005 over [7.2, 7.6) s (under it).
// With the default pre-roll (0.5 s) and post-roll (1 s) the takes are, in milliseconds,
// [500, 2400), [2500, 4500) and [5000, 7000).
constexpr int kBurstFileBlocks = 8000;
constexpr int kBurstTakes[3][2] = {{500, 2400}, {2500, 4500}, {5000, 7000}};
constexpr int kHumBlocks[2] = {7200, 7600};
void write_burst_file(const std::string& path);

struct ChopApp {
  TempDir home;
  ScopeApp a;
  std::string bursts;  // the burst file, in home

  ChopApp();
  AppState* operator->() { return a.app.get(); }
  AppState* get() { return a.app.get(); }

  void key(int k, int mods = 0, bool repeat = false);
  void click(float x, float y);
  void drop(const std::string& path);
  // Polls the job the way the main loop does until the reader has finished; its state.
  ChopState settle();
  // Session folders ("date/time") in the library's write folder.
  std::string write_folder() const;
};
