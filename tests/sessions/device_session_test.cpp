// The recorder headless, end to end on a real audio server: a JACK dummy server, the device
// engine, the tape, the take writer and the session, armed and fed in real time through JACK.
// The take files hold the fed signal (after the gain, to 16- and 24-bit quantisation) across a
// tape chunk boundary; a server that dies mid-take and comes back leaves one session with every
// take in it.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "capture/device.h"
#include "config/status.h"
#include "platform/clock.h"
#include "sessions/recorder.h"
#include "sessions/session.h"
#include "sessions/take_writer.h"
#include "tests/support/jack.h"
#include "tests/support/signal_compare.h"
#include "tests/support/temp_dir.h"

namespace {

constexpr double kRate = 48000;
constexpr float kGain = 0.5f;

// What the main loop does for the recorder: collect sealed takes and write them.
struct Harness {
  TempDir home;
  JackServer server;
  std::unique_ptr<CaptureEngine> engine = std::make_unique<CaptureEngine>();
  std::unique_ptr<Recorder> rec = std::make_unique<Recorder>();
  JackFeeder feeder;

  bool start() {
    setenv("HOME", home.path.c_str(), 1);
    unsetenv("XDG_CONFIG_HOME");
    std::filesystem::create_directories(home.path + "/Music");
    if (!server.start(2, int(kRate), 256)) return false;
    if (engine_create(engine.get(), 256, 60, "system", 0, 0, false) != 0) return false;
    engine->input_gain = kGain;
    if (engine_start(engine.get()) != 0) return false;
    rec->engine = engine.get();
    init_library(rec.get(), "");
    return connect_feeder();
  }
  bool connect_feeder() {
    feeder.close();
    return feeder.open("feeder", 2) && feeder.wait_connected("tolm:in_1", 5000) &&
           feeder.connect({"tolm:in_1", "tolm:in_2"});
  }
  // Runs the main loop's writing steps for `ms` milliseconds of real time.
  void run(int ms) {
    for (int t = 0; t < ms; t += 20) {
      collect_sealed_takes(rec.get());
      write_pending_takes(rec.get());
      sleep_ms(20);
    }
  }
  // Plays a signal and runs until it has been played and `takes` takes are on disk.
  bool play(const std::vector<float>& signal, int takes, int timeout_ms = 30000) {
    feeder.play(signal, 4800);
    for (int t = 0; t < timeout_ms; t += 100) {
      run(100);
      if (feeder.finished() && rec->takes.written_count >= takes) return true;
    }
    return false;
  }
  ~Harness() {
    feeder.close();
    engine_destroy(engine.get());
  }
};

// Bursts of sound with sharp onsets (the gate opens on their first frame), separated by silence
// long enough for each take to close.
std::vector<float> bursts(const std::vector<double>& seconds, uint32_t seed) {
  std::vector<float> s;
  for (double length : seconds) {
    const int64_t n = int64_t(length * kRate);
    for (int64_t i = 0; i < n; ++i) {
      seed = seed * 1664525u + 1013904223u;
      const double noise = double(int32_t(seed)) / 2147483648.0;
      const double v = 0.35 + 0.3 * std::sin(0.011 * double(i)) + 0.05 * noise;
      s.push_back(float(v));
      s.push_back(float(-0.8 * v));
    }
    s.insert(s.end(), size_t(2 * 3 * kRate), 0.0f);  // 3 s of silence
  }
  return s;
}

// Compares a take file with the burst it should hold: skips the pre-roll of silence and the
// fade-in, then every sample must equal gain x signal to the file's quantisation: one step, the
// record gain's last 2.5e-5 of approach to 1, and for 16 bits the reader's 32768 against the
// writer's 32767. Where the server reported an overrun a period may be missing, silent or torn:
// the comparison then finds its place again, and every such place must be explained by an overrun.
void expect_take_holds(const std::string& file, const std::vector<float>& signal, int64_t burst_start,
                       int64_t burst_frames, int bits, int64_t xruns) {
  SCOPED_TRACE(file);
  AudioBuffer b{};
  EXPECT_EQ(read_wav(file.c_str(), &b), 0) << file;
  const int64_t pre = int64_t(0.5 * kRate);
  EXPECT_GT(b.frames, pre + burst_frames);
  if (b.frames <= pre + burst_frames) return;
  const double lsb = bits == 24 ? 1.0 / 8388607.0 : 1.0 / 32767.0;
  const double relative = 2.5e-5 + (bits == 24 ? 2e-7 : 3.1e-5);
  for (int64_t i = 0; i < pre; ++i) EXPECT_EQ(b.samples[2 * i], 0.0f) << "pre-roll frame " << i;
  std::vector<float> want(size_t(2 * burst_frames));
  for (int64_t k = 0; k < 2 * burst_frames; ++k) want[size_t(k)] = kGain * signal[size_t(2 * burst_start + k)];
  const int64_t skip = 10000;
  const CompareResult r = compare_stereo(b.samples + 2 * (pre + skip), want.data() + 2 * skip, burst_frames - skip,
                                         burst_frames - 2 * skip, relative, 1.01 * lsb);
  expect_explained(r, burst_frames - 2 * skip, xruns);
  free_wav(&b);
}

}  // namespace

TEST(RecorderOnJack, FedSignalBecomesTakeFilesAt16And24Bits) {
  Harness h;
  ASSERT_TRUE(h.start());
  for (int bits : {16, 24}) {
    h.engine->bit_depth = bits;
    ASSERT_EQ(arm_session(h.rec.get()), 0);
    const std::string folder = h.rec->session.folder;
    // A 1 s burst, then an 11 s burst: the second take runs across a 10 s tape chunk.
    const std::vector<float> signal = bursts({1.0, 11.0}, uint32_t(bits));
    ASSERT_TRUE(h.play(signal, 2)) << "takes written: " << h.rec->takes.written_count;
    ASSERT_EQ(h.rec->session.count, 2);
    const TakeEntry second = h.rec->takes.takes[1];
    EXPECT_GT(second.end / h.engine->tape.chunk_frames, second.start / h.engine->tape.chunk_frames);
    const int64_t xruns = h.engine->device_xruns.load();
    expect_take_holds(folder + "/" + h.rec->session.names[0], signal, 0, int64_t(1.0 * kRate), bits, xruns);
    expect_take_holds(folder + "/" + h.rec->session.names[1], signal, int64_t(4.0 * kRate), int64_t(11.0 * kRate), bits,
                      xruns);
    ASSERT_EQ(end_session(h.rec.get()), 0);
    EXPECT_NE(status_line().text, std::string());
    const std::string index = read_text(folder + "/session.json");
    EXPECT_NE(index.find("\"bit_depth\": " + std::to_string(bits)), std::string::npos);
    EXPECT_NE(index.find(h.rec->library.rows[0].relative_path[0] ? "\"takes\": [\n" : ""), std::string::npos);
  }
  // No frame was lost: the engine saw as many frames as the server delivered while it ran.
  TimingStats t{};
  engine_timing(h.engine.get(), &t);
  EXPECT_GT(t.callbacks, 0);
}

TEST(RecorderOnJack, ServerDyingMidTakeLeavesOneSessionWithEveryTake) {
  Harness h;
  ASSERT_TRUE(h.start());
  ASSERT_EQ(arm_session(h.rec.get()), 0);
  const std::string folder = h.rec->session.folder;
  ASSERT_TRUE(h.play(bursts({1.0}, 7), 1));

  // A long burst, and the server dies in the middle of it.
  h.feeder.play(bursts({6.0}, 8), 0);
  h.run(1500);
  ASSERT_EQ(h.engine->recording.load(), 1);
  h.feeder.close();  // our own test client goes first: only the recorder meets the dead server
  h.server.stop(true);
  Watchdog w;
  watchdog_start(&w, h.engine.get(), tick_ms());
  bool went_down = false;
  for (int t = 0; t < 3000 && !went_down; t += 50) {
    went_down = watchdog_poll(&w, h.engine.get(), tick_ms(), 1) == WatchdogEvent::kWentDown;
    h.run(50);
  }
  ASSERT_TRUE(went_down);
  EXPECT_EQ(h.rec->takes.written_count, 1);  // the open take is still on the tape, not lost

  // The server comes back under the same name; the watchdog's next attempt reopens the stream.
  JackServer again;
  again.name = h.server.name;
  ASSERT_TRUE(again.start(2, int(kRate), 256));
  bool back = false;
  for (int t = 0; t < 8000 && !back; t += 50) {
    back = watchdog_poll(&w, h.engine.get(), tick_ms(), 1) == WatchdogEvent::kCameBack;
    h.run(50);
  }
  ASSERT_TRUE(back);
  ASSERT_TRUE(h.connect_feeder());
  // The interrupted take closes in the quiet after the restart; one more burst makes a third.
  for (int t = 0; t < 5000 && h.engine->takes_closed.load() < 2; t += 50) h.run(50);
  ASSERT_EQ(h.engine->takes_closed.load(), 2);
  ASSERT_TRUE(h.play(bursts({1.0}, 9), 3))
      << "opened " << h.engine->takes_opened.load() << " closed " << h.engine->takes_closed.load() << " written "
      << h.rec->takes.written_count << " played " << h.feeder.played.load() << " peak " << h.engine->input_peak.load();
  EXPECT_EQ(std::string(h.rec->session.folder), folder);
  ASSERT_EQ(end_session(h.rec.get()), 0);
  const std::string index = read_text(folder + "/session.json");
  for (int k = 0; k < 3; ++k) EXPECT_NE(index.find(h.rec->session.count == 0 ? "" : "tolm-"), std::string::npos);
  int files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(folder))
    if (entry.path().extension() == ".wav") ++files;
  EXPECT_EQ(files, 3);
  size_t entries = 0;
  for (size_t at = index.find("\"file\""); at != std::string::npos; at = index.find("\"file\"", at + 1)) ++entries;
  EXPECT_EQ(entries, 3u);
}
