// The station fed by the real capture engine on a JACK dummy server through the output tap's
// fan-out, beside a second receiver: a listener's PCM is the fed signal after the 16-bit
// conversion with continuous frame indexes; pulling the server pauses the stream (the watchdog
// sees no frames for 500 ms), and going off air says goodbye.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <memory>
#include <vector>

#include "capture/device.h"
#include "capture/tap_fanout.h"
#include "platform/clock.h"
#include "tests/net/listener_client.h"
#include "tests/net/station_fixture.h"
#include "tests/support/jack.h"
#include "tests/support/signal_compare.h"

namespace {

struct EngineHolder {
  std::unique_ptr<CaptureEngine> e = std::make_unique<CaptureEngine>();
  ~EngineHolder() { engine_destroy(e.get()); }
  CaptureEngine* get() { return e.get(); }
};

// The other receiver on the fan-out (where the Link channel sits): counts what it is handed.
struct Counter {
  std::atomic<int64_t> frames{0};
  static void tap(void* ctx, const float*, int n, int) { static_cast<Counter*>(ctx)->frames += n; }
};

}  // namespace

TEST(StationDevice, ListenerHearsTheFedSignalAndThePauseWhenTheServerGoes) {
  JackServer server;
  ASSERT_TRUE(server.start(2, 48000, 256));
  StationRig rig;
  ASSERT_TRUE(rig.start());
  {
    EngineHolder e;
    ASSERT_EQ(engine_create(e.get(), 256, 60, "system", 0, 0, false), 0);
    ASSERT_EQ(e.get()->dev.duplex, 1);
    e.get()->monitor = 1;  // the output is the input, unlevelled, under the limiter's ceiling
    e.get()->normalize_monitor = 0;
    e.get()->input_gain = 1.0f;
    TapFanout fan;
    tap_fanout_init(&fan);
    Counter other;
    const OutputTap other_tap{Counter::tap, &other};
    ASSERT_EQ(tap_fanout_add(&fan, station_output_tap(rig.s.get())), 0);
    ASSERT_EQ(tap_fanout_add(&fan, &other_tap), 0);
    e.get()->output_tap = tap_fanout_tap(&fan);
    ASSERT_EQ(engine_start(e.get()), 0);

    ListenerClient c;
    ASSERT_TRUE(c.connect_to(rig.port()));
    ASSERT_TRUE(rig.wait_listeners(1));
    JackFeeder feeder;
    ASSERT_TRUE(feeder.open("feeder", 2));
    ASSERT_TRUE(feeder.wait_connected("tolm:in_1", 5000));
    ASSERT_TRUE(feeder.connect({"tolm:in_1", "tolm:in_2"}));
    const int64_t frames = 3 * 48000;
    std::vector<float> signal(size_t(2 * frames));
    for (int64_t i = 0; i < frames; ++i) {
      // A sharp onset, so the first frame of the signal is found in the stream.
      signal[size_t(2 * i)] = float(0.3 + 0.4 * std::sin(0.0131 * double(i)));
      signal[size_t(2 * i + 1)] = float(-0.3 - 0.4 * std::sin(0.0213 * double(i)));
    }
    feeder.play(signal, 4800);

    // Everything the listener hears until a while after the signal ended.
    std::vector<int16_t> heard;
    int64_t next_index = -1;
    int discontinuous = 0;
    LmMessage m;
    while (heard.size() < size_t(2 * (frames + 48000)) && c.next(&m, 3000)) {
      if (m.type != 2) continue;
      if (next_index >= 0) {
        EXPECT_EQ(int64_t(m.index), next_index);
      }
      next_index = int64_t(m.index) + 480;
      discontinuous += m.flags & 1;
      if (m.flags & 2) heard.insert(heard.end(), 960, 0);
      else heard.insert(heard.end(), m.samples.begin(), m.samples.end());
    }
    ASSERT_TRUE(feeder.finished());
    EXPECT_LE(discontinuous, 1);
    size_t onset = 0;
    while (onset < heard.size() && heard[onset] == 0) ++onset;
    ASSERT_LT(onset + size_t(2 * frames), heard.size());
    std::vector<float> got(size_t(2 * frames)), want(size_t(2 * frames));
    for (size_t k = 0; k < got.size(); ++k) {
      got[k] = float(heard[onset + k]);
      const float x = std::max(-1.0f, std::min(1.0f, signal[k]));
      want[k] = float(int16_t(x * 32767.0f));
    }
    const CompareResult r = compare_stereo(got.data(), want.data(), frames, frames - 4800, 0, 0.0);
    EXPECT_FALSE(r.lost) << r.where;
    // A client late in a cycle (the server reports an overrun to every client) leaves a period
    // stale or missing: up to two places where the signal jumps, into it and out of it.
    EXPECT_LE(r.jumps, 2 * e.get()->device_xruns.load()) << "audio went missing without an overrun";
    EXPECT_LE(r.torn_frames, 1024 * e.get()->device_xruns.load()) << r.where;
    EXPECT_GT(other.frames.load(), frames);

    // The server goes: no frames for 500 ms marks the input down, and the station pauses.
    Watchdog w;
    watchdog_start(&w, e.get(), tick_ms());
    server.stop(true);
    bool paused = false;
    for (int t = 0; t < 5000 && !paused; t += 10) {
      watchdog_poll(&w, e.get(), tick_ms(), 0);
      station_set_live(rig.s.get(), !w.down);
      paused = c.next(&m, 10) && m.type == 3 && m.text() == "{\"state\":\"paused\"}";
    }
    EXPECT_TRUE(paused);
    EXPECT_TRUE(log_has("lmstream: paused"));

    // Off air: goodbye.
    station_stop(rig.s.get());
    ASSERT_TRUE(c.next_of(4, &m));
    EXPECT_EQ(m.total, 8u);
    e.get()->output_tap = nullptr;
    tap_fanout_remove(&fan, station_output_tap(rig.s.get()));
    tap_fanout_remove(&fan, &other_tap);
  }
}
