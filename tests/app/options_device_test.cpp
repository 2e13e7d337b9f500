// The options panel's device rows against a real JACK server (dummy driver): a rate the server
// does not run at is refused and stepped past, audio on the tape refuses any rate, a buffer the
// device refuses keeps the old size, a stream that cannot come back ends the armed session, the
// device walk skips devices that refuse, and exclusive access reopens the stream.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "app/panels/options.h"
#include "capture/device.h"
#include "platform/clock.h"
#include "sessions/session.h"
#include "tests/app/panel_fixture.h"
#include "tests/support/jack.h"

namespace {

// The panels' application on a real device, released before the rest of the fixture.
struct DeviceApp : PanelsApp {
  explicit DeviceApp(const char* device = "system") {
    ok = engine_create(&app->engine, 256, 60, device, 0, 0, false) == 0 && engine_start(&app->engine) == 0;
    app->settings.buffer_frames = app->engine.dev.buffer_frames;
  }
  ~DeviceApp() {
    device_set_open_refusal(nullptr);
    engine_destroy(&app->engine);
  }
  std::string value(int row) {
    char out[kOptionValueBytes];
    option_value_text(app.get(), row, 520, out, sizeof out);
    return out;
  }
  bool wait_head(int timeout_ms) {
    for (int t = 0; t < timeout_ms; t += 10) {
      if (app->engine.write_head.load() > 0) return true;
      sleep_ms(10);
    }
    return false;
  }
  bool ok = false;
};

int entry(const CaptureEngine& e, const char* name) {
  for (int k = 0; k < e.dev.count; ++k)
    if (strcmp(e.dev.list[k].name, name) == 0) return k;
  return -1;
}

}  // namespace

TEST(OptionsDevice, RateRefusedByTheServerIsSteppedPastAndAudioOnTheTapeRefusesAny) {
  JackServer server;
  ASSERT_TRUE(server.start(2));
  DeviceApp a;
  ASSERT_TRUE(a.ok);
  a.key(kKeyEnter);
  a->engine.armed.store(1);  // armed, nothing heard yet: the tape is empty

  // The server runs at 48000: 44100 is refused, the old rate is back and the engine armed again.
  option_step(a.get(), kRowSampleRate, +1);
  EXPECT_EQ(a.status(), "RATE REFUSED - KEPT OLD");
  EXPECT_EQ(a->settings.sample_rate, 0);
  EXPECT_EQ(a->engine.sample_rate, 48000);
  EXPECT_EQ(a->engine.running.load(), 1);
  EXPECT_EQ(a->engine.armed.load(), 1);
  EXPECT_EQ(a.value(kRowSampleRate), "48000 HZ   AUTO");
  // Right again goes on from the refused choice instead of trying it forever.
  option_step(a.get(), kRowSampleRate, +1);
  EXPECT_EQ(a.status(), "RATE CHANGED");
  EXPECT_EQ(a->settings.sample_rate, 48000);
  EXPECT_EQ(a.value(kRowSampleRate), "48000 HZ");

  // Audio on the tape: refused without touching the stream.
  a->engine.gate_forced.store(1);
  ASSERT_TRUE(a.wait_head(5000));
  void* stream = a->engine.dev.stream;
  option_step(a.get(), kRowSampleRate, -1);
  EXPECT_EQ(a.status(), "STOP THE SESSION FIRST - RATE IS SET ON AN EMPTY TAPE");
  EXPECT_EQ(a->engine.dev.stream, stream);
  EXPECT_EQ(a->settings.sample_rate, 48000);
  EXPECT_EQ(a->engine.running.load(), 1);
}

TEST(OptionsDevice, JackBufferIsTheServersAndAStreamLeftDownEndsTheSession) {
  JackServer server;
  ASSERT_TRUE(server.start(2, 48000, 128));
  DeviceApp a;
  ASSERT_TRUE(a.ok);
  ASSERT_EQ(a->settings.buffer_frames, 256);
  // The row shows what the stream runs with; stepping it changes nothing and says who decides.
  EXPECT_EQ(a.value(kRowBuffer).rfind("128 FRAMES   LATENCY ", 0), 0u) << a.value(kRowBuffer);
  void* stream = a->engine.dev.stream;
  option_step(a.get(), kRowBuffer, +1);
  EXPECT_EQ(a.status(), "SET IN THE JACK SERVER");
  EXPECT_EQ(a->settings.buffer_frames, 256);
  EXPECT_EQ(a->engine.dev.stream, stream);
  EXPECT_EQ(a.value(kRowBuffer).rfind("128 FRAMES   LATENCY ", 0), 0u) << a.value(kRowBuffer);

  // Armed, and then nothing opens any more (a rate the server refuses, and the old one too):
  // the session ends as Space would end it, and the foot says the audio is down.
  const std::string music = a.home.file("Music");
  std::filesystem::create_directories(music);
  ASSERT_EQ(set_write_folder(&a->recorder, music.c_str()), 0);
  ASSERT_EQ(arm_session(&a->recorder), 0);
  ASSERT_FALSE(std::string(a->recorder.session.folder).empty());
  static const DeviceOpenRefusal everything{[](void*, const char*, int, bool) { return true; }, nullptr};
  device_set_open_refusal(&everything);
  option_step(a.get(), kRowSampleRate, +1);
  device_set_open_refusal(nullptr);
  EXPECT_EQ(a.status(), "AUDIO DOWN - CHECK INPUT DEVICE");
  EXPECT_EQ(a->engine.running.load(), 0);
  EXPECT_EQ(a->engine.armed.load(), 0);
  EXPECT_TRUE(std::string(a->recorder.session.folder).empty());
}

TEST(OptionsDevice, DeviceWalkSkipsRefusersAndExclusiveReopens) {
  JackServer server;
  ASSERT_TRUE(server.start(2));
  JackFeeder other, third;  // JACK clients with outputs are input devices too
  ASSERT_TRUE(other.open("other", 2));
  ASSERT_TRUE(third.open("third", 2));
  DeviceApp a;
  ASSERT_TRUE(a.ok);
  const CaptureEngine& e = a->engine;
  const int system = entry(e, "system [JACK]");
  ASSERT_GE(system, 0);
  ASSERT_GE(entry(e, "other [JACK]"), 0);
  ASSERT_GE(entry(e, "third [JACK]"), 0);
  ASSERT_EQ(e.dev.selected, system);

  // "other" refuses: Right opens the next one after the current that does open.
  static const DeviceOpenRefusal other_refuses{
      [](void*, const char* device, int, bool) { return strcmp(device, "other") == 0; }, nullptr};
  device_set_open_refusal(&other_refuses);
  int expected = -1;
  for (int k = 1; k < e.dev.count && expected < 0; ++k) {
    const int i = (system + k) % e.dev.count;
    if (strcmp(e.dev.list[i].jack_client, "other") != 0) expected = i;
  }
  ASSERT_GE(expected, 0);
  const std::string name = e.dev.list[expected].name;
  option_step(a.get(), kRowInputDevice, +1);
  EXPECT_EQ(e.dev.selected, expected);
  EXPECT_EQ(std::string(a->settings.device), name);
  EXPECT_EQ(a.status(), name);
  EXPECT_EQ(e.running.load(), 1);
  // A feeder has no inputs of its own: nothing to play the monitor through.
  EXPECT_EQ(a.value(kRowInputDevice),
            name + "   " + std::to_string(expected + 1) + "/" + std::to_string(e.dev.count) + "   NO OUT");

  // Every other device refuses: the one in use stays, and the foot says so.
  static std::string keep;
  keep = e.dev.list[expected].jack_client;
  static const DeviceOpenRefusal all_but_current{
      [](void*, const char* device, int, bool) { return keep != device; }, nullptr};
  device_set_open_refusal(&all_but_current);
  option_step(a.get(), kRowInputDevice, -1);
  EXPECT_EQ(a.status(), "DEVICE REFUSED - KEPT OLD");
  EXPECT_EQ(e.dev.selected, expected);
  EXPECT_EQ(std::string(a->settings.device), name);
  EXPECT_EQ(e.running.load(), 1);
  device_set_open_refusal(nullptr);

  // Exclusive access on a device that cannot give it: the stream reopens shared and the row says
  // it was refused, rather than claiming the device.
  option_step(a.get(), kRowExclusive, +1);
  EXPECT_EQ(a->settings.exclusive, 1);
  EXPECT_EQ(a.status(), "DEVICE REFUSED");
  EXPECT_EQ(a.value(kRowExclusive), "ON   (ALSA DEVICES ONLY)");
  EXPECT_EQ(e.running.load(), 1);
  option_enter(a.get(), kRowExclusive);
  EXPECT_EQ(a->settings.exclusive, 0);
  EXPECT_EQ(a.status(), "SHARED - OTHER APPS CAN USE IT");
  EXPECT_EQ(e.running.load(), 1);
  const int64_t delivered = engine_frames_delivered(&e);
  for (int t = 0; t < 5000 && engine_frames_delivered(&e) <= delivered + 2000; t += 10) sleep_ms(10);
  EXPECT_GT(engine_frames_delivered(&e), delivered + 2000);
}
