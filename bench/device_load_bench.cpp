// The callback's load while recording in real time: a JACK dummy server at 48 kHz with 256-frame
// periods feeds bursts and silences into an armed recorder whose takes are written to disk as
// they seal. Reports the average and worst share of each 5.33 ms period the capture callback
// used (the engine's own timing), the overruns the server reported and the frames delivered
// against the frames the wall clock says were due. With more than two inputs the server has that
// many, and every one of them goes through the rig mixer (the keeper bound to the stream, every
// input heard); the feeder plays into the first two.
//   build/release/bench/device_load_bench [seconds] [inputs]
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "capture/device.h"
#include "platform/clock.h"
#include "rig/rig_binding.h"
#include "rig/rig_keeper.h"
#include "sessions/recorder.h"
#include "sessions/session.h"
#include "sessions/take_writer.h"
#include "tests/support/jack.h"

int main(int argc, char** argv) {
  const int seconds = argc > 1 ? std::max(5, atoi(argv[1])) : 30;
  const int inputs = argc > 2 ? std::clamp(atoi(argv[2]), 2, 64) : 2;
  char home[] = "/tmp/tolm-load-XXXXXX";
  if (!mkdtemp(home)) return 1;
  setenv("HOME", home, 1);
  std::filesystem::create_directories(std::string(home) + "/Music");
  JackServer server;
  if (!server.start(inputs, 48000, 256)) {
    fprintf(stderr, "no JACK server\n");
    return 1;
  }
  auto engine = std::make_unique<CaptureEngine>();
  RigKeeper* keeper = nullptr;
  RigBinding binding{};
  const auto tick = [&] {
    if (keeper) rig_keeper_tick(keeper, double(mono_ns()) * 1e-9, rig_time_now());
  };
  if (inputs > 2) {
    const std::string rigs = std::string(home) + "/rigs";
    RigKeeperOptions o;
    o.app_name = "tolm";
    o.folder = rigs.c_str();
    o.log = [](void*, const char*) {};
    keeper = rig_keeper_open(o);
    rig_binding_init(&binding, keeper);
    engine_set_mixer_binding(engine.get(), &binding.binding);
  }
  if (engine_create(engine.get(), 256, 60, "system", 0, 0, false) != 0 || engine_start(engine.get()) != 0) return 1;
  if (keeper) {
    RigKeeperStatus st{};
    for (int i = 0; i < 500 && st.state != kRigBound; ++i, sleep_ms(10)) {
      tick();
      rig_keeper_status(keeper, &st);
    }
    for (int i = 0; i < inputs; ++i) rig_keeper_set_mute(keeper, i, false);
    rig_keeper_set_link(keeper, 0, true);  // the feeder's stereo pair
    tick();
  }
  engine->hpf_hz = 80, engine->lpf_hz = 12000, engine->peak_hz = 1500;  // the full trigger equaliser
  auto rec = std::make_unique<Recorder>();
  rec->engine = engine.get();
  init_library(rec.get(), "");
  arm_session(rec.get());
  JackFeeder feeder;
  if (!feeder.open("feeder", 2) || !feeder.wait_connected("tolm:in_1", 5000) ||
      !feeder.connect({"tolm:in_1", "tolm:in_2"}))
    return 1;
  std::vector<float> signal;
  for (int s = 0; s < seconds + 2; ++s)
    for (int i = 0; i < 48000; ++i) {
      const float v = (s % 3 == 0) ? float(0.4 * std::sin(0.05 * i)) : 0.001f;
      signal.push_back(v), signal.push_back(-v);
    }
  feeder.play(signal, 0);

  TimingStats t{};
  engine_timing(engine.get(), &t);  // start counting from here
  const int64_t frames0 = engine_frames_delivered(engine.get());
  const int64_t xruns0 = engine->device_xruns.load();
  const int64_t t0 = mono_ns();
  double busy_us = 0, audio_us = 0, worst_us = 0;
  int64_t callbacks = 0;
  for (int64_t next = t0; mono_ns() - t0 < int64_t(seconds) * 1000000000;) {
    collect_sealed_takes(rec.get());
    write_pending_takes(rec.get());
    tick();
    next += 20000000;
    const int64_t wait = (next - mono_ns()) / 1000000;
    if (wait > 0) sleep_ms(int(wait));
    if ((mono_ns() - t0) / 2000000000 != (mono_ns() - t0 - 20000000) / 2000000000) {
      engine_timing(engine.get(), &t);
      busy_us += t.busy_us, audio_us += t.audio_us, callbacks += t.callbacks;
      worst_us = std::max(worst_us, t.max_us);
    }
  }
  engine_timing(engine.get(), &t);
  busy_us += t.busy_us, audio_us += t.audio_us, callbacks += t.callbacks;
  worst_us = std::max(worst_us, t.max_us);
  const double elapsed = double(mono_ns() - t0) / 1e9;
  const int64_t delivered = engine_frames_delivered(engine.get()) - frames0;
  const double period_us = 256.0 / 48000.0 * 1e6;
  const int written = rec->takes.written_count;
  end_session(rec.get());
  printf("inputs %d%s\n", inputs, keeper ? " through the rig mixer" : "");
  printf("callbacks %lld over %.1f s\n", (long long)callbacks, elapsed);
  printf("load: average %.2f%% of each %.2f ms period, worst %.1f%%\n", 100.0 * busy_us / audio_us, period_us / 1000,
         100.0 * worst_us / period_us);
  printf("frames delivered %lld, due by the clock %.0f (%.3f%%), overruns reported %lld\n", (long long)delivered,
         elapsed * 48000, 100.0 * double(delivered) / (elapsed * 48000), (long long)(engine->device_xruns.load() - xruns0));
  printf("takes written %d\n", written);
  engine_destroy(engine.get());
  if (keeper) rig_keeper_close(keeper);  // after the stream that ran its mixer
  std::filesystem::remove_all(home);
  return 0;
}
