// A rig keeper on a temporary rigs folder, driven by a hand-advanced clock, with its mixer fed
// constant inputs so a test can hear what it plays. Shared by the keeper's tests.
#pragma once
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "rig/rig_keeper.h"
#include "tests/rig/rig_store_fixture.h"
#include "tests/support/temp_dir.h"

struct DocFree {
  void operator()(RigDoc* d) const {
    rig_free(d);
    free(d);
  }
};
using Doc = std::unique_ptr<RigDoc, DocFree>;

// The rig in a file, decoded (an empty rig when it cannot be read).
Doc decode_file(const std::string& path, int* code = nullptr);
// Writes a rig as another program would.
void write_rig(const std::string& path, const RigDoc* doc);
Doc new_rig(const char* key, const char* api, int inputs, const char* author);

struct KeeperRig {
  TempDir dir, run;
  LogSink log;
  std::string folder;
  RigKeeper* k = nullptr;
  double now = 1000.0;        // the keeper's monotonic clock
  double wall = 800000000.0;  // seconds since 2001
  std::vector<RigNotice> notices;  // every notice taken so far

  KeeperRig();
  ~KeeperRig();
  void open(const char* app = "tolm", int poll_ms = 100);
  void close();
  // A stream description of a JACK-like device.
  static RigStream stream(const char* key, int inputs, int device_inputs = 0, const char* api = "jack");
  // Binds as the device engine would: the mixer starts on the stream's default layout first.
  void bind(const RigStream& s, double rate = 48000);
  // One tick dt seconds later; then the notices are collected.
  void tick(double dt = 0.02);
  // Waits (real time) for the store to finish what is queued, then ticks once.
  void settle(double dt = 0.0);
  // Ticks and settles until pred holds, up to timeout_ms of real time.
  bool until(const std::function<bool()>& pred, int timeout_ms = 5000, double dt = 0.05);
  RigKeeperStatus status() const;
  std::string path(const char* key) const { return rig_path(folder, key); }
  int count_notices(int code) const;
  const RigNotice* last_notice(int code) const;
  // Feeds the mixer `frames` frames of the constant inputs (at the bound rate) and returns the
  // last output frame.
  std::pair<float, float> play(const std::vector<float>& inputs, int frames);
};
