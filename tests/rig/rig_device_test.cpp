// The rig on a live JACK server (dummy driver, 16 inputs): the device engine binds the keeper to
// the stream it opens, the keeper loads the rig and sends the scene's mix, and what the capture
// routine records from sixteen different tones is exactly that mix. Run under ThreadSanitizer too.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "capture/device.h"
#include "platform/clock.h"
#include "rig/rig_binding.h"
#include "rig/rig_keeper.h"
#include "tests/rig/rig_store_fixture.h"
#include "tests/support/jack.h"
#include "tests/support/signal_compare.h"
#include "tests/support/temp_dir.h"

namespace {

constexpr int kInputs = 16;
constexpr double kRate = 48000;

struct EngineHolder {
  std::unique_ptr<CaptureEngine> e = std::make_unique<CaptureEngine>();
  ~EngineHolder() { engine_destroy(e.get()); }
  CaptureEngine* get() { return e.get(); }
  CaptureEngine* operator->() { return e.get(); }
};

void tick(RigKeeper* k) { rig_keeper_tick(k, double(mono_ns()) * 1e-9, rig_time_now()); }

bool tick_until(RigKeeper* k, const std::function<bool()>& pred, int timeout_ms) {
  for (int t = 0; t < timeout_ms; t += 10) {
    tick(k);
    if (pred()) return true;
    sleep_ms(10);
  }
  return false;
}

// Input k's tone: its own frequency, starting at its peak so the first frame of the mix is loud.
double tone(int k, int64_t i) { return 0.05 * std::cos(2.0 * M_PI * (210.0 + 97.0 * k) * double(i) / kRate); }

}  // namespace

TEST(RigDevice, TheCaptureRoutineRecordsTheScenesMixOfSixteenInputs) {
  TempDir dir, run;
  setenv("XDG_RUNTIME_DIR", run.path.c_str(), 1);
  JackServer server;
  ASSERT_TRUE(server.start(kInputs));
  LogSink log;
  RigKeeperOptions o;
  o.app_name = "tolm";
  const std::string folder = dir.path + "/rigs";
  o.folder = folder.c_str();
  o.log = LogSink::add;
  o.log_user = &log;
  RigKeeper* k = rig_keeper_open(o);
  ASSERT_NE(k, nullptr);
  RigBinding binding;
  rig_binding_init(&binding, k);
  {
    EngineHolder e;
    engine_set_mixer_binding(e.get(), &binding.binding);
    ASSERT_EQ(engine_create(e.get(), 256, 60, "system", 0, 0, false), 0);
    EXPECT_EQ(e->inputs_mixer.load(), &binding.mixer);
    ASSERT_EQ(engine_start(e.get()), 0);
    ASSERT_TRUE(tick_until(k, [&] {
      RigKeeperStatus s;
      rig_keeper_status(k, &s);
      return s.state == kRigBound;
    }, 10000));
    RigKeeperStatus st;
    rig_keeper_status(k, &st);
    EXPECT_STREQ(st.key, "jack:system");
    EXPECT_STREQ(st.api, "jack");
    EXPECT_EQ(st.inputs, kInputs);
    EXPECT_EQ(st.device_inputs, kInputs);
    EXPECT_EQ(st.rate_hz, kRate);
    EXPECT_FALSE(st.mismatch);
    EXPECT_STREQ(rig_keeper_label(k, 2), "capture_3");  // the JACK port's own name
    EXPECT_EQ(log.count("rig: bound jack:system (16 of 16 inputs, 48000 Hz)"), 1);

    // The scene: input 1 at half gain in the middle, input 2 muted, input 3 hard left, input 4 at
    // +6 dB hard right, inputs 5+6 a pair, inputs 7-15 muted as new, input 16 at a quarter
    // panned half right; the bus at half.
    ASSERT_TRUE(rig_keeper_set_gain(k, 0, 0.5f));
    ASSERT_TRUE(rig_keeper_set_mute(k, 1, true));
    ASSERT_TRUE(rig_keeper_set_mute(k, 2, false));
    ASSERT_TRUE(rig_keeper_set_pan(k, 2, -1.0f));
    ASSERT_TRUE(rig_keeper_set_mute(k, 3, false));
    ASSERT_TRUE(rig_keeper_set_gain(k, 3, 2.0f));
    ASSERT_TRUE(rig_keeper_set_pan(k, 3, 1.0f));
    ASSERT_TRUE(rig_keeper_set_mute(k, 4, false));
    ASSERT_TRUE(rig_keeper_set_link(k, 4, true));
    ASSERT_TRUE(rig_keeper_set_mute(k, 15, false));
    ASSERT_TRUE(rig_keeper_set_gain(k, 15, 0.25f));
    ASSERT_TRUE(rig_keeper_set_pan(k, 15, 0.5f));
    ASSERT_TRUE(rig_keeper_set_master(k, 0.5f));
    sleep_ms(100);  // the 20 ms ramps run out
    tick(k);

    JackFeeder feeder;
    ASSERT_TRUE(feeder.open("feeder", kInputs));
    std::vector<std::string> targets;
    for (int i = 1; i <= kInputs; ++i) targets.push_back("tolm:in_" + std::to_string(i));
    ASSERT_TRUE(feeder.connect(targets));
    e->armed = 1;
    const int64_t frames = 2 * int64_t(kRate);
    std::vector<float> signal(size_t(frames * kInputs));
    for (int64_t i = 0; i < frames; ++i)
      for (int c = 0; c < kInputs; ++c) signal[size_t(i * kInputs + c)] = float(tone(c, i));
    feeder.play(signal, 4800);
    for (int t = 0; t < 10000 && !feeder.finished(); t += 20) {
      tick(k);
      sleep_ms(20);
    }
    ASSERT_TRUE(feeder.finished());
    // Meters while it played: input 2 was muted but measured.
    const RigKeeperMeters* m = rig_keeper_meters(k);
    EXPECT_GT(m->input[1].in.hold_db, -40.0f);
    EXPECT_EQ(m->input[1].post.hold_db, kRigMeterFloorDb);
    for (int t = 0; t < 8000 && e->takes_closed.load() < 1; t += 50) sleep_ms(50);
    ASSERT_EQ(e->takes_closed.load(), 1);
    SealedTake take;
    ASSERT_TRUE(engine_next_sealed_take(e.get(), &take));
    const int64_t first = int64_t(kRate / 2);  // the pre-roll before the onset
    ASSERT_GT(take.end - take.start, first + frames);
    std::vector<float> tape(size_t(2 * (take.end - take.start)));
    tape_read(&e->tape, take.start, take.end - take.start, tape.data());
    EXPECT_EQ(tape[0], 0.0f);

    // The mix, worked out here from the scene.
    const double c_left = std::sqrt(2.0) * std::cos(1.5 * M_PI / 4), c_right = std::sqrt(2.0) * std::cos(0.5 * M_PI / 4);
    std::vector<float> want(size_t(2 * frames));
    for (int64_t i = 0; i < frames; ++i) {
      const double l = 0.5 * tone(0, i) + std::sqrt(2.0) * tone(2, i) + tone(4, i) + 0.25 * c_left * tone(15, i);
      const double r = 0.5 * tone(0, i) + 2.0 * std::sqrt(2.0) * tone(3, i) + tone(5, i) + 0.25 * c_right * tone(15, i);
      want[size_t(2 * i)] = float(0.5 * l);
      want[size_t(2 * i + 1)] = float(0.5 * r);
    }
    const int64_t skip = 10000;  // past the take's fade-in
    const CompareResult r = compare_stereo(tape.data() + 2 * (first + skip), want.data() + 2 * skip, frames - skip,
                                           frames - skip - 5000, 3e-5, 2e-7);
    expect_explained(r, frames - skip - 5000, e->device_xruns.load());
  }
  // The rig on disk holds the scene.
  EXPECT_TRUE(rig_keeper_flush(k, 2000));
  rig_keeper_close(k);
  const std::string text = read_text(rig_path(folder, "jack:system"));
  RigDoc* doc = static_cast<RigDoc*>(calloc(1, sizeof(RigDoc)));
  char msg[200];
  ASSERT_EQ(rig_decode(text.data(), text.size(), doc, msg, sizeof msg), kRigDecodeOk) << msg;
  EXPECT_EQ(doc->device.channels, kInputs);
  EXPECT_STREQ(doc->device.channel_names[15], "capture_16");
  EXPECT_TRUE(doc->scenes[0].channels[1].muted);
  EXPECT_TRUE(doc->scenes[0].channels[4].link);
  EXPECT_EQ(doc->scenes[0].channels[15].gain, 0.25f);
  EXPECT_EQ(doc->scenes[0].master_gain, 0.5f);
  rig_free(doc);
  free(doc);
}
