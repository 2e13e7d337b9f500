// The device engine against a real JACK server (dummy driver): the device list and the choice
// by score, all inputs or the first pair, a signal fed through JACK landing on the tape sample
// for sample across a chunk boundary, the server dying mid-take and coming back, and the
// buffer, rate and device changes with their reverts.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "capture/device.h"
#include "capture/takes.h"
#include "config/log.h"
#include "config/status.h"
#include "platform/clock.h"
#include "tests/support/jack.h"
#include "tests/support/signal_compare.h"
#include "tests/support/temp_dir.h"

namespace {

struct EngineHolder {
  std::unique_ptr<CaptureEngine> e = std::make_unique<CaptureEngine>();
  ~EngineHolder() { engine_destroy(e.get()); }
  CaptureEngine* operator->() { return e.get(); }
  CaptureEngine* get() { return e.get(); }
};

bool logged(const std::string& text, int since) {
  char buf[kLogLineBytes];
  for (int n = std::max(since, log_line_count() - kLogRingLines); n < log_line_count(); ++n)
    if (log_recent_line(n, buf, sizeof buf) && std::string(buf).find(text) != std::string::npos) return true;
  return false;
}

int find_entry(const CaptureEngine* e, const char* name) {
  for (int k = 0; k < e->dev.count; ++k)
    if (strcmp(e->dev.list[k].name, name) == 0) return k;
  return -1;
}

// Waits (real time) until the delivered-frame count moves past `frames`.
bool wait_frames(const CaptureEngine* e, int64_t frames, int timeout_ms) {
  for (int t = 0; t < timeout_ms; t += 10) {
    if (engine_frames_delivered(e) > frames) return true;
    sleep_ms(10);
  }
  return false;
}

}  // namespace

TEST(Device, JackIsFoundChosenByScoreAndOpensAllInputs) {
  JackServer server;
  ASSERT_TRUE(server.start(16));
  EngineHolder e;
  const int since = log_line_count();
  ASSERT_EQ(engine_create(e.get(), 256, kTapeAddressableMinutes, "", 0, 0, true), 0);
  const int system = find_entry(e.get(), "system [JACK]");
  ASSERT_GE(system, 0);
  EXPECT_EQ(e->dev.selected, system);  // JACK scores above any ALSA device
  EXPECT_EQ(e->dev.list[system].input_channels, 16);
  EXPECT_EQ(e->input_channels, 16);
  EXPECT_EQ(e->sample_rate, 48000);
  EXPECT_EQ(e->dev.duplex, 1);
  EXPECT_STREQ(e->dev.host_api_name, "JACK");
  EXPECT_TRUE(logged("input: [JACK] system  48000 Hz  16 ch  256 frames  duplex", since));
  EXPECT_TRUE(logged("tape: 8760 h addressable", since));
  ASSERT_EQ(engine_start(e.get()), 0);
  EXPECT_TRUE(jack_port_exists("tolm:in_16"));  // our ports carry the program's name
  EXPECT_TRUE(wait_frames(e.get(), 4800, 5000));
  EXPECT_GT(e->dev.latency_ms, 0.0);

  // A saved name matches any entry that contains it, in any case.
  EngineHolder named;
  ASSERT_EQ(engine_create(named.get(), 256, 60, "SYSTEM", 0, 0, true), 0);
  EXPECT_EQ(named->dev.selected, find_entry(named.get(), "system [JACK]"));
  // A name that matches nothing is logged and the best entry opens.
  EngineHolder unknown;
  const int before = log_line_count();
  ASSERT_EQ(engine_create(unknown.get(), 16, 60, "Focusrite", 0, 0, true), 0);
  EXPECT_TRUE(logged("device 'Focusrite' not found - falling back", before));
  EXPECT_EQ(unknown->dev.buffer_frames, 32);  // never under 32
}

TEST(Device, RefusedInputsFallBackToTheFirstPair) {
  // JACK itself never refuses a channel count: a test double of the open refuses more than two.
  static const DeviceOpenRefusal refusal{[](void*, const char*, int channels, bool) { return channels > 2; }, nullptr};
  JackServer server;
  ASSERT_TRUE(server.start(16));
  device_set_open_refusal(&refusal);
  EngineHolder e;
  const int since = log_line_count();
  ASSERT_EQ(engine_create(e.get(), 256, 60, "", 0, 0, true), 0);
  device_set_open_refusal(nullptr);
  EXPECT_EQ(e->input_channels, 2);
  EXPECT_TRUE(logged("duplex open failed: refused by the device", since));
  EXPECT_TRUE(logged("Pa_OpenStream failed: refused by the device", since));
  EXPECT_TRUE(logged("16 inputs refused - opening the first pair", since));
  ASSERT_EQ(engine_start(e.get()), 0);
  EXPECT_TRUE(wait_frames(e.get(), 2000, 5000));
}

TEST(Device, SignalFedThroughJackLandsOnTheTapeAcrossAChunk) {
  JackServer server;
  ASSERT_TRUE(server.start(2, 48000, 256));
  EngineHolder e;
  ASSERT_EQ(engine_create(e.get(), 256, 60, "system", 0, 0, false), 0);
  e->armed = 1;
  e->input_gain = 0.5f;
  ASSERT_EQ(engine_start(e.get()), 0);
  JackFeeder feeder;
  ASSERT_TRUE(feeder.open("feeder", 2));
  ASSERT_TRUE(feeder.wait_connected("tolm:in_1", 5000));
  ASSERT_TRUE(feeder.connect({"tolm:in_1", "tolm:in_2"}));
  // 11 s of sound (one take longer than a 10 s chunk), then quiet.
  const int64_t frames = 11 * 48000;
  std::vector<float> signal(size_t(2 * frames));
  for (int64_t i = 0; i < frames; ++i) {
    // A sharp onset: the very first frame is over the line, so the gate opens on it.
    signal[size_t(2 * i)] = float(0.3 + 0.4 * std::sin(0.0131 * double(i)) + 0.2 * std::sin(0.0007 * double(i)));
    signal[size_t(2 * i + 1)] = float(-0.3 - 0.4 * std::sin(0.0213 * double(i)));
  }
  feeder.play(signal, 4800);
  for (int t = 0; t < 20000 && !feeder.finished(); t += 50) sleep_ms(50);
  ASSERT_TRUE(feeder.finished());
  for (int t = 0; t < 8000 && e->takes_closed.load() < 1; t += 50) sleep_ms(50);
  ASSERT_EQ(e->takes_closed.load(), 1);
  SealedTake take;
  ASSERT_TRUE(engine_next_sealed_take(e.get(), &take));
  ASSERT_GT(take.end - take.start, frames + 24000);
  std::vector<float> tape(size_t(2 * (take.end - take.start)));
  tape_read(&e->tape, take.start, take.end - take.start, tape.data());
  // The take begins with the pre-roll of silence, then the signal at half gain; past the
  // fade-in the record gain is 1 to within 2.5e-5. A jump within the signal must be explained by
  // an overrun the server reported.
  const int64_t first = 24000;
  EXPECT_EQ(tape[0], 0.0f);
  EXPECT_NEAR(tape[size_t(2 * (first - 1))], 0.0f, 1e-9);
  std::vector<float> want(signal.size());
  for (size_t k = 0; k < signal.size(); ++k) want[k] = 0.5f * signal[k];
  const int64_t skip = 10000;
  const CompareResult r = compare_stereo(tape.data() + 2 * (first + skip), want.data() + 2 * skip, frames - skip,
                                         frames - skip - 5000, 3e-5, 1e-7);
  expect_explained(r, frames - skip - 5000, e->device_xruns.load());
  EXPECT_GT(take.start + first + frames, e->tape.chunk_frames);  // crossed into the second chunk
}

TEST(Device, ServerDiesMidTakeAndComesBack) {
  JackServer server;
  ASSERT_TRUE(server.start(2));
  EngineHolder e;
  ASSERT_EQ(engine_create(e.get(), 256, 60, "system", 0, 0, false), 0);
  e->armed = 1;
  e->gate_forced = 1;  // a take is open whatever comes in
  ASSERT_EQ(engine_start(e.get()), 0);
  ASSERT_TRUE(wait_frames(e.get(), 48000, 5000));
  ASSERT_EQ(e->recording.load(), 1);
  Watchdog w;
  uint32_t now = 1000;
  watchdog_start(&w, e.get(), now);

  server.stop(true);  // pulled out
  sleep_ms(100);
  const int64_t head_at_loss = e->write_head.load();
  // Half a second without frames marks the audio down, once.
  EXPECT_EQ(watchdog_poll(&w, e.get(), now += 10, 1), WatchdogEvent::kNone);  // the last frames
  EXPECT_EQ(watchdog_poll(&w, e.get(), now += 400, 1), WatchdogEvent::kNone);
  EXPECT_EQ(watchdog_poll(&w, e.get(), now += 101, 1), WatchdogEvent::kWentDown);
  EXPECT_STREQ(status_line().text, "AUDIO DOWN - CHECK INPUT DEVICE");
  EXPECT_EQ(watchdog_poll(&w, e.get(), now += 100, 1), WatchdogEvent::kNone);
  // Reopening fails while the server is gone; the watchdog retries every 3 s.
  EXPECT_EQ(reopen_stream(e.get()), -1);
  EXPECT_EQ(watchdog_poll(&w, e.get(), now += 2000, 1), WatchdogEvent::kNone);
  EXPECT_EQ(watchdog_poll(&w, e.get(), now += 1001, 1), WatchdogEvent::kReopenFailed);
  EXPECT_EQ(e->takes_closed.load(), 0);  // the open take is kept
  EXPECT_GE(e->write_head.load(), head_at_loss);

  JackServer again;
  again.name = server.name;
  ASSERT_TRUE(again.start(2));
  EXPECT_EQ(watchdog_poll(&w, e.get(), now += 3001, 1), WatchdogEvent::kReopened);
  const int64_t delivered = engine_frames_delivered(e.get());
  ASSERT_TRUE(wait_frames(e.get(), delivered + 4800, 5000));
  EXPECT_EQ(watchdog_poll(&w, e.get(), now += 10, 1), WatchdogEvent::kCameBack);
  EXPECT_STREQ(status_line().text, "AUDIO BACK - system - LISTENING");
  // Recording goes on in the same take.
  EXPECT_EQ(e->recording.load(), 1);
  EXPECT_EQ(e->takes_opened.load(), 1);
  const int64_t head = e->write_head.load();
  sleep_ms(200);
  EXPECT_GT(e->write_head.load(), head);
}

TEST(Device, BufferRateAndDeviceChangesRevertOnFailure) {
  JackServer server;
  ASSERT_TRUE(server.start(2));
  JackFeeder other;  // a second JACK client with outputs is a second input device
  ASSERT_TRUE(other.open("other", 2));
  EngineHolder e;
  ASSERT_EQ(engine_create(e.get(), 256, 60, "system", 0, 0, false), 0);
  ASSERT_EQ(engine_start(e.get()), 0);
  const int system = e->dev.selected;
  const int second = find_entry(e.get(), "other [JACK]");
  ASSERT_GE(second, 0);

  // Buffer: the JACK server sets the period; asking for another changes nothing and says so.
  int since = log_line_count();
  void* before = e->dev.stream;
  EXPECT_EQ(e->dev.period_frames, 256);
  EXPECT_EQ(change_buffer(e.get(), 1024), -3);
  EXPECT_EQ(e->dev.stream, before);
  EXPECT_EQ(e->dev.period_frames, 256);
  EXPECT_FALSE(logged("buffer 1024 frames", since));
  EXPECT_TRUE(logged("the JACK server sets the period (256 frames)", since));
  EXPECT_EQ(e->running.load(), 1);

  // Rate: refused while the tape holds audio, without touching the stream.
  e->armed = 1, e->gate_forced = 1;
  ASSERT_TRUE(wait_frames(e.get(), engine_frames_delivered(e.get()) + 4800, 5000));
  sleep_ms(100);
  ASSERT_GT(e->write_head.load(), 0);
  void* stream = e->dev.stream;
  EXPECT_EQ(change_rate(e.get(), 44100), 1);
  EXPECT_EQ(e->dev.stream, stream);
  EXPECT_EQ(e->running.load(), 1);
  EXPECT_EQ(e->sample_rate, 48000);
  e->armed = 0, e->gate_forced = 0;

  // Device: one that will not open reverts to the old one.
  static const DeviceOpenRefusal other_refuses{
      [](void*, const char* device, int, bool) { return strcmp(device, "other") == 0; }, nullptr};
  device_set_open_refusal(&other_refuses);
  since = log_line_count();
  EXPECT_EQ(change_device(e.get(), second), -1);
  device_set_open_refusal(nullptr);
  EXPECT_TRUE(logged("device 'other [JACK]' failed to open - reverting", since));
  EXPECT_EQ(e->dev.selected, system);
  EXPECT_EQ(e->running.load(), 1);
  const int64_t delivered = engine_frames_delivered(e.get());
  EXPECT_TRUE(wait_frames(e.get(), delivered + 2000, 5000));
  // When the old one will not open again either, the audio is down and the device to come back
  // to is still the old one: the watchdog's reopen finds it.
  static const DeviceOpenRefusal all_refuse{[](void*, const char*, int, bool) { return true; }, nullptr};
  device_set_open_refusal(&all_refuse);
  since = log_line_count();
  EXPECT_EQ(change_device(e.get(), second), -1);
  EXPECT_TRUE(logged("stream reopen FAILED - audio is DOWN", since));
  EXPECT_EQ(e->running.load(), 0);
  EXPECT_STREQ(e->dev.chosen, "system [JACK]");
  device_set_open_refusal(nullptr);
  ASSERT_EQ(reopen_stream(e.get()), 0);
  EXPECT_STREQ(e->dev.device_name, "system");
  EXPECT_TRUE(wait_frames(e.get(), engine_frames_delivered(e.get()) + 2000, 5000));
  // And one that opens is taken.
  EXPECT_EQ(change_device(e.get(), second), 0);
  EXPECT_STREQ(e->dev.device_name, "other");

  // Refreshing the list sees a JACK client that came later and one that left; the selection
  // follows its entry by name and the stream keeps running.
  JackFeeder late;
  ASSERT_TRUE(late.open("late", 2));
  void* running_stream = e->dev.stream;
  engine_refresh_devices(e.get());
  EXPECT_GE(find_entry(e.get(), "late [JACK]"), 0);
  EXPECT_EQ(e->dev.selected, find_entry(e.get(), "other [JACK]"));
  EXPECT_EQ(e->dev.stream, running_stream);
  late.close();
  engine_refresh_devices(e.get());
  EXPECT_LT(find_entry(e.get(), "late [JACK]"), 0);
  EXPECT_EQ(e->running.load(), 1);
}

TEST(Device, RateChangeRecreatesEngineAndTapeWhileEmpty) {
  JackServer server;
  ASSERT_TRUE(server.start(2, 44100));
  EngineHolder e;
  ASSERT_EQ(engine_create(e.get(), 256, 60, "", 0, 0, true), 0);
  ASSERT_EQ(engine_start(e.get()), 0);
  static const InputHook hook{[](void*, float*, float*, int, int) { return 0; }, nullptr};
  e->input_hook = &hook;
  // The JACK server runs at its own rate: asking for another is refused and the old is back.
  const int since = log_line_count();
  EXPECT_EQ(change_rate(e.get(), 48000), -1);
  EXPECT_TRUE(logged("rate 48000 Hz refused - restoring 44100 Hz", since));
  EXPECT_EQ(e->sample_rate, 44100);
  EXPECT_EQ(e->input_hook.load(), &hook);  // plug-ins survive the recreation
  EXPECT_EQ(e->tape.chunk_frames, 441000);
  EXPECT_EQ(e->running.load(), 1);
  EXPECT_TRUE(wait_frames(e.get(), engine_frames_delivered(e.get()) + 2000, 5000));
  EXPECT_EQ(change_rate(e.get(), 44100), 0);  // unchanged: nothing happens

  // When the old rate will not run again either, the engine is down: nothing counts as audio,
  // the watchdog never says it is back, and once the device opens again the engine is built
  // afresh at the old rate with its plug-ins.
  static const DeviceOpenRefusal all_refuse{[](void*, const char*, int, bool) { return true; }, nullptr};
  device_set_open_refusal(&all_refuse);
  EXPECT_EQ(change_rate(e.get(), 48000), -2);
  EXPECT_EQ(e->running.load(), 0);
  const int64_t frames_when_down = engine_frames_delivered(e.get());
  Watchdog w;
  uint32_t now = 1000;
  watchdog_start(&w, e.get(), now);
  EXPECT_EQ(watchdog_poll(&w, e.get(), now += 501, 0), WatchdogEvent::kWentDown);
  EXPECT_EQ(watchdog_poll(&w, e.get(), now += 3001, 0), WatchdogEvent::kReopenFailed);
  EXPECT_EQ(watchdog_poll(&w, e.get(), now += 3001, 0), WatchdogEvent::kReopenFailed);
  EXPECT_EQ(engine_frames_delivered(e.get()), frames_when_down);
  device_set_open_refusal(nullptr);
  EXPECT_EQ(watchdog_poll(&w, e.get(), now += 3001, 0), WatchdogEvent::kRebuilt);
  EXPECT_EQ(e->sample_rate, 44100);
  EXPECT_EQ(e->tape.chunk_frames, 441000);
  EXPECT_EQ(e->input_hook.load(), &hook);
  ASSERT_TRUE(wait_frames(e.get(), 2000, 5000));
  EXPECT_EQ(watchdog_poll(&w, e.get(), now += 10, 0), WatchdogEvent::kCameBack);
  EXPECT_STREQ(status_line().text, "AUDIO BACK - system");
}

TEST(Device, NoDeviceAtAll) {
  setenv("JACK_DEFAULT_SERVER", "tolmtest_nobody_here", 1);
  setenv("JACK_NO_START_SERVER", "1", 1);
  EngineHolder e;
  const int since = log_line_count();
  // Without a server and without a sound card nothing opens; with a card ALSA may.
  const int r = engine_create(e.get(), 256, 60, "", 0, 0, true);
  if (r == 0) GTEST_SKIP() << "this machine has an ALSA input: " << e->dev.device_name;
  EXPECT_TRUE(logged("no input device - nothing to listen to", since));
}

// PortAudio's side, on an ALSA "null" device defined in a private ~/.asoundrc (no sound card is
// needed): blocks longer than the routine takes are split, not refused; buffer changes and
// their revert; and reopening while the device stays away logs the device list only once.
TEST(Device, PortAudioBuffersSplitLargeBlocksAndRevert) {
  TempDir home;
  write_text(home.path + "/.asoundrc", "pcm.tolmnull {\n  type null\n  hint { show on description \"tolm test\" }\n}\n");
  setenv("HOME", home.path.c_str(), 1);
  setenv("JACK_DEFAULT_SERVER", "tolmtest_nobody_here", 1);
  EngineHolder e;
  ASSERT_EQ(engine_create(e.get(), 8192, 60, "tolmnull", 48000, 0, false), 0);
  ASSERT_STREQ(e->dev.device_name, "tolmnull");
  ASSERT_EQ(engine_start(e.get()), 0);
  EXPECT_EQ(e->dev.period_frames, 8192);
  EXPECT_TRUE(wait_frames(e.get(), 3 * 8192, 5000)) << "blocks of 8,192 frames must be processed";

  int since = log_line_count();
  EXPECT_EQ(change_buffer(e.get(), 16), 0);  // 16 asks for 32
  EXPECT_EQ(e->dev.buffer_frames, 32);
  EXPECT_TRUE(logged("buffer 32 frames (0.7 ms)", since));
  static int refused_size = 0;
  static CaptureEngine* refusing = nullptr;
  static const DeviceOpenRefusal by_size{
      [](void*, const char*, int, bool) { return refusing && refusing->dev.buffer_frames == refused_size; }, nullptr};
  refusing = e.get();
  refused_size = 512;
  device_set_open_refusal(&by_size);
  since = log_line_count();
  EXPECT_EQ(change_buffer(e.get(), 512), -1);
  EXPECT_EQ(e->dev.buffer_frames, 32);
  EXPECT_TRUE(logged("buffer 512 refused - staying at 32 frames", since));
  EXPECT_EQ(e->running.load(), 1);

  // The device goes on refusing: each reopen tries again without logging the same list again.
  static const DeviceOpenRefusal all_refuse{[](void*, const char*, int, bool) { return true; }, nullptr};
  device_set_open_refusal(&all_refuse);
  since = log_line_count();
  for (int i = 0; i < 2; ++i) EXPECT_EQ(reopen_stream(e.get()), -1);
  EXPECT_FALSE(logged("dev  0:", since));
  device_set_open_refusal(nullptr);
  EXPECT_EQ(reopen_stream(e.get()), 0);

  // A replugged ALSA interface comes back under another card number: the same device.
  char bare[128];
  device_name_without_card("USB Audio CODEC: Audio (hw:2,0) [ALSA]", bare, sizeof bare);
  EXPECT_STREQ(bare, "USB Audio CODEC: Audio (hw) [ALSA]");
  device_name_without_card("Scarlett 18i20 USB: Audio (hw:11,0) [ALSA]", bare, sizeof bare);
  EXPECT_STREQ(bare, "Scarlett 18i20 USB: Audio (hw) [ALSA]");
  device_name_without_card("odd (hw:x) name", bare, sizeof bare);
  EXPECT_STREQ(bare, "odd (hw:x) name");
}
