// The Link channel between two instances, each fed through its own capture engine running in real
// time: they are peers of one session with one tempo and play state; B's monitor, published
// through the output tap's fan-out, becomes A's input when A picks B's channel, and A's next take
// holds B's tone (spectrum and level, left and right apart); when B leaves, A shows
// "WAITING FOR IT" and keeps its input, and when B comes back with a fresh channel A opens it
// again. A third peer of the channel layer alone publishes a mono channel at 44.1 kHz: A hears it
// on both sides at 48 kHz, and steps its input round the microphone and both channels.
// Root only, inside a loopback-only network namespace.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <string>

#include "capture/tap_fanout.h"
#include "net/link_session.h"
#include "platform/clock.h"
#include "tests/net/link_fixture.h"
#include "tests/net/station_fixture.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

// The tone B's feeder plays: 1 kHz on the left, 1.5 kHz on the right, a quarter of full scale.
void stereo_tone(float* lr, int frames, int64_t first, double rate) {
  for (int i = 0; i < frames; ++i) {
    const double t = double(first + i) / rate;
    lr[2 * i] = float(0.25 * std::sin(2 * kPi * 1000.0 * t));
    lr[2 * i + 1] = float(0.25 * std::sin(2 * kPi * 1500.0 * t));
  }
}

// A loaded machine may let A's ring run dry for a block; A then records a block of exact silence
// and its reader waits where it was, so what remains without those runs joins up seamlessly.
std::vector<float> without_dropouts(const std::vector<float>& stereo) {
  constexpr size_t kRun = 32;  // longer than any run of zeros the 16-bit tone has itself
  std::vector<float> out;
  const size_t frames = stereo.size() / 2;
  for (size_t i = 0; i < frames;) {
    size_t j = i;
    while (j < frames && stereo[2 * j] == 0.0f && stereo[2 * j + 1] == 0.0f) ++j;
    if (j == i) j = i + 1;                // a frame with sound
    else if (j - i >= kRun) i = j;        // a dropout: left out
    out.insert(out.end(), stereo.begin() + long(2 * i), stereo.begin() + long(2 * j));
    i = j;
  }
  return out;
}

// A tone measure of each 50 ms of x, the median of them: a lost block or a stall on a loaded
// machine spoils the windows it falls in, not the verdict.
double median_of_windows(const std::vector<float>& x, const std::function<double(const std::vector<float>&)>& f) {
  constexpr size_t kWindow = 2400;
  std::vector<double> v;
  for (size_t at = 0; at + kWindow <= x.size(); at += kWindow)
    v.push_back(f(std::vector<float>(x.begin() + long(at), x.begin() + long(at + kWindow))));
  if (v.empty()) return 0;
  std::nth_element(v.begin(), v.begin() + long(v.size() / 2), v.end());
  return v[v.size() / 2];
}
double tone_median(const std::vector<float>& x, double hz) {
  return median_of_windows(x, [hz](const std::vector<float>& w) { return tone_share(w, 48000, hz); });
}
double rms_median(const std::vector<float>& x) { return median_of_windows(x, rms); }

// The loudest stretch of a take: the half second in its middle.
std::vector<float> middle(const std::vector<float>& stereo, double rate) {
  const size_t frames = stereo.size() / 2, half = size_t(rate / 4);
  const size_t mid = frames / 2;
  return std::vector<float>(stereo.begin() + 2 * (mid - half), stereo.begin() + 2 * (mid + half));
}

}  // namespace

TEST(LinkChannel, TwoInstancesAreLinkPeersWithOneTempoAndPlayState) {
  LINK_TEST_GUARD();
  LinkRig a("tolm \xC2\xB7 a"), b("tolm \xC2\xB7 b");
  EXPECT_TRUE(log_has("link: ready as 'tolm \xC2\xB7 a' (off)"));
  EXPECT_EQ(a.session_row(), "OFF");
  EXPECT_EQ(a.input_row(), "MIC   (LINK IS OFF)");

  char msg[96];
  ASSERT_TRUE(link_toggle_command(a.get(), msg, sizeof msg));
  EXPECT_STREQ(msg, "LINK ON - TOLM IS A LINK AUDIO CHANNEL");
  ASSERT_TRUE(link_set_on(b.get(), true));
  EXPECT_TRUE(log_has("link: ON - channel 'tolm \xC2\xB7 a'"));
  ASSERT_TRUE(eventually([&] { return a->peers.load() == 1 && b->peers.load() == 1; }, 10000));
  EXPECT_TRUE(log_has("link: 1 peer, 120.0 bpm"));

  // B sets the tempo and starts playing; A follows both.
  LinkSessionState* st = link_session_state_create();
  link_session_capture_app(b->link, st);
  const int64_t now = link_session_clock_us(b->link);
  link_state_set_tempo(st, 97.0, now);
  link_state_set_is_playing(st, true, now);
  link_session_commit_app(b->link, st);
  link_session_state_destroy(st);
  EXPECT_TRUE(eventually([&] { return a.session_row() == "ON   1 PEER   97.0 BPM   PLAYING"; }, 10000))
      << a.session_row();
  EXPECT_TRUE(eventually([&] { return b.session_row() == "ON   1 PEER   97.0 BPM   PLAYING"; })) << b.session_row();
  // One timeline: the beats agree within a few hundredths.
  EXPECT_NEAR(std::fmod(a->beat.load() - b->beat.load() + 400.5, 4.0) - 0.5, 0.0, 0.2);

  // Each lists the other's channel, never its own.
  ASSERT_TRUE(a.follow_until([&] { return link_channel_count(a.get()) == 1; }));
  EXPECT_STREQ(link_channel_at(a.get(), 0)->display, "TOLM \xC2\xB7 B - TOLM \xC2\xB7 B");
  EXPECT_EQ(a.input_row(), "MIC   1 CHANNEL ON THE NETWORK");

  ASSERT_FALSE(link_toggle_command(b.get(), msg, sizeof msg));
  EXPECT_STREQ(msg, "LINK OFF");
  EXPECT_TRUE(log_has("link: off"));
  EXPECT_TRUE(eventually([&] { return a->peers.load() == 0; }, 10000));
  EXPECT_TRUE(a.follow_until([&] { return a.input_row() == "MIC   0 CHANNELS ON THE NETWORK"; }));
  EXPECT_EQ(b.session_row(), "OFF");
  link_step_command(b.get(), 1, msg, sizeof msg);
  EXPECT_STREQ(msg, "TURN ABLETON LINK ON FIRST");
}

TEST(LinkChannel, AChannelPublishedByOneIsRecordedByTheOtherAndReopenedWhenItReturns) {
  LINK_TEST_GUARD();
  LinkRig a("tolm \xC2\xB7 a"), b("tolm \xC2\xB7 b");
  ASSERT_TRUE(link_set_on(a.get(), true));
  ASSERT_TRUE(link_set_on(b.get(), true));

  // B: its device plays the tone, its monitor goes out through the fan-out it shares with the
  // station (here a counting stand-in).
  PacedEngine eb;
  ASSERT_TRUE(eb.e);
  eb.e->monitor = 1;
  eb.e->normalize_monitor = 0;
  std::atomic<int> b_tone{1};
  eb.input = [&](float* lr, int n, int64_t first) {
    if (b_tone.load()) stereo_tone(lr, n, first, 48000);
    else std::fill(lr, lr + 2 * n, 0.0f);
  };
  TapFanout fan;
  tap_fanout_init(&fan);
  std::atomic<int64_t> station_frames{0};
  const OutputTap station{[](void* c, const float*, int n, int) { *static_cast<std::atomic<int64_t>*>(c) += n; },
                          &station_frames};
  ASSERT_EQ(tap_fanout_add(&fan, &station), 0);
  ASSERT_EQ(tap_fanout_add(&fan, link_output_tap(b.get())), 0);
  eb.e->output_tap = tap_fanout_tap(&fan);

  // A: armed, its input hook the Link channel; its microphone is a quiet hum that must not be heard.
  PacedEngine ea;
  ASSERT_TRUE(ea.e);
  ea.e->armed = 1;
  ea.e->pre_roll_frames = 4800;
  ea.e->post_roll_frames = 9600;
  ea.input = [](float* lr, int n, int64_t first) {
    for (int i = 0; i < n; ++i) lr[2 * i] = lr[2 * i + 1] = float(0.01 * std::sin(2 * kPi * 60.0 * double(first + i) / 48000));
  };
  ea.e->input_hook = link_input_hook(a.get());
  eb.start();
  ea.start();

  ASSERT_TRUE(a.follow_until([&] { return link_channel_count(a.get()) == 1; }));
  char msg[96];
  link_step_command(a.get(), 1, msg, sizeof msg);
  EXPECT_STREQ(msg, "INPUT - TOLM \xC2\xB7 B - TOLM \xC2\xB7 B");
  EXPECT_TRUE(log_has("link: input = TOLM \xC2\xB7 B - TOLM \xC2\xB7 B"));
  EXPECT_TRUE(a.follow_until([&] { return a.input_row() == "TOLM \xC2\xB7 B - TOLM \xC2\xB7 B   48000 HZ"; }))
      << a.input_row();

  // The tone opens A's gate; B falls silent and A's take is sealed after the post-roll.
  ASSERT_TRUE(eventually([&] { return ea.e->gate_open.load() == 1; }, 5000));
  sleep_ms(1500);
  b_tone = 0;
  ASSERT_TRUE(eventually([&] { return ea.e->takes_closed.load() == 1; }, 5000));
  const std::vector<SealedTake> takes = sealed_takes(ea.e.get());
  ASSERT_EQ(takes.size(), 1u);
  const std::vector<float> take = without_dropouts(tape_frames(ea.e.get(), takes[0].start, takes[0].end));
  ASSERT_GT(take.size() / 2, size_t(36000));
  const std::vector<float> steady = middle(take, 48000);
  const std::vector<float> left = side(steady, 0, 0, steady.size() / 2);
  const std::vector<float> right = side(steady, 1, 0, steady.size() / 2);
  EXPECT_GT(tone_median(left, 1000), 0.97);
  EXPECT_GT(tone_median(right, 1500), 0.97);
  EXPECT_NEAR(rms_median(left), 0.25 / std::sqrt(2.0), 0.01);
  EXPECT_NEAR(rms_median(right), 0.25 / std::sqrt(2.0), 0.01);
  EXPECT_GT(station_frames.load(), 48000);  // the station's receiver had every block too
  EXPECT_GT(b->published.load(), 100);

  // B leaves: A waits for it and keeps the Link input (silence, not its microphone's hum).
  b_tone = 1;
  ASSERT_FALSE(link_set_on(b.get(), false));
  EXPECT_TRUE(a.follow_until([&] { return a.input_row() == "TOLM \xC2\xB7 B - TOLM \xC2\xB7 B   WAITING FOR IT"; }))
      << a.input_row();
  EXPECT_TRUE(a->waiting);
  sleep_ms(1000);
  EXPECT_LT(ea.e->input_peak.load(), 0.001f);
  EXPECT_EQ(log_count("link: input = "), 1);

  // B comes back with a fresh channel of the same name: A opens it again and hears the tone.
  ASSERT_TRUE(link_set_on(b.get(), true));
  EXPECT_TRUE(a.follow_until([&] { return log_count("link: input = TOLM \xC2\xB7 B - TOLM \xC2\xB7 B") == 2; }));
  EXPECT_FALSE(a->waiting);
  EXPECT_TRUE(eventually([&] { return ea.e->input_peak.load() > 0.2f; }, 5000));

  ea.stop();
  eb.stop();
  ea.e->input_hook = nullptr;
  tap_fanout_remove(&fan, link_output_tap(b.get()));
}

TEST(LinkChannel, AMonoChannelAt44k1PlaysOnBothSidesAt48kAndTheInputStepsRoundTheList) {
  LINK_TEST_GUARD();
  LinkRig a("tolm \xC2\xB7 a");
  ASSERT_TRUE(link_set_on(a.get(), true));

  // A peer of the channel layer alone, with two channels: mono at 44.1 kHz and stereo at 48 kHz.
  const ChannelNetConfig cfg{kTestChannelPort, 0};
  ChannelNet* c = channel_net_create("deck", &cfg);
  ASSERT_EQ(channel_net_enable(c, true, nullptr, 0), 0);
  ChannelSink* mono = channel_sink_create(c, "mono", 4096);
  ChannelSink* stereo = channel_sink_create(c, "stereo", 4096);
  std::atomic<int> run{1}, mono_on{1};
  std::atomic<int64_t> passes{0};
  std::thread feeder([&] {
    int64_t m = 0, s = 0;
    const int64_t start = mono_ns();
    while (run.load()) {
      const double elapsed = double(mono_ns() - start) * 1e-9;
      while (mono_on.load() && double(m) < elapsed * 44100) {
        if (int16_t* buf = channel_sink_retain(mono)) {
          for (int i = 0; i < 441; ++i) buf[i] = int16_t(std::lround(16000 * std::sin(2 * kPi * 1000.0 * double(m + i) / 44100)));
          channel_sink_commit(mono, 441, 1, 44100, ChannelTiming{0, 0, 4, 120});
        }
        m += 441;
      }
      while (double(s) < elapsed * 48000) {
        if (int16_t* buf = channel_sink_retain(stereo)) {
          for (int i = 0; i < 480; ++i) buf[2 * i] = buf[2 * i + 1] = 8000;
          channel_sink_commit(stereo, 480, 2, 48000, ChannelTiming{0, 0, 4, 120});
        }
        s += 480;
      }
      passes.fetch_add(1);
      sleep_ms(2);
    }
  });

  ASSERT_TRUE(a.follow_until([&] { return link_channel_count(a.get()) == 2; }));
  EXPECT_STREQ(link_channel_at(a.get(), 0)->display, "DECK - MONO");
  EXPECT_STREQ(link_channel_at(a.get(), 1)->display, "DECK - STEREO");
  // Forward from the microphone: channel 1, channel 2, then the microphone again; backward from
  // the microphone: the last channel; backward from channel 1: the microphone.
  char msg[96];
  link_step_command(a.get(), 1, msg, sizeof msg);
  EXPECT_STREQ(msg, "INPUT - DECK - MONO");
  link_step_command(a.get(), 1, msg, sizeof msg);
  EXPECT_STREQ(msg, "INPUT - DECK - STEREO");
  link_step_command(a.get(), 1, msg, sizeof msg);
  EXPECT_STREQ(msg, "INPUT - MIC");
  std::vector<float> l(256), r(256);
  EXPECT_FALSE(link_read_input(a.get(), l.data(), r.data(), 256, 48000));
  link_step_command(a.get(), -1, msg, sizeof msg);
  EXPECT_STREQ(msg, "INPUT - DECK - STEREO");
  link_step_command(a.get(), -1, msg, sizeof msg);
  EXPECT_STREQ(msg, "INPUT - DECK - MONO");
  link_step_command(a.get(), -1, msg, sizeof msg);
  EXPECT_STREQ(msg, "INPUT - MIC");
  link_step_command(a.get(), 1, msg, sizeof msg);
  EXPECT_STREQ(msg, "INPUT - DECK - MONO");

  // A's audio callback at 48 kHz: the first block after opening is silent (the ring fills first),
  // then the 1 kHz tone on both sides, resampled (unresampled it would sound at 1,088 Hz).
  std::vector<float> got;
  ASSERT_TRUE(link_read_input(a.get(), l.data(), r.data(), 256, 48000));
  EXPECT_EQ(rms(l) + rms(r), 0.0);
  // A busy machine may let the ring run dry for a block: that block is silent and the reader waits
  // where it was, so the blocks with sound join up seamlessly.
  auto due = std::chrono::steady_clock::now();
  for (int b = 0; b < 1500 && got.size() < 2 * 256 * 375; ++b) {  // two seconds of sound
    ASSERT_TRUE(link_read_input(a.get(), l.data(), r.data(), 256, 48000));
    if (rms(l) > 0)
      for (int i = 0; i < 256; ++i) got.push_back(l[i]), got.push_back(r[i]);
    due += std::chrono::microseconds(5333);
    std::this_thread::sleep_until(due);
  }
  ASSERT_EQ(got.size(), size_t(2 * 256 * 375));
  EXPECT_EQ(a.input_row(), "DECK - MONO   44100 HZ");
  const std::vector<float> last = side(got, 0, got.size() / 2 - 48000, got.size() / 2);
  EXPECT_EQ(last, side(got, 1, got.size() / 2 - 48000, got.size() / 2));
  EXPECT_GT(tone_median(last, 1000), 0.99);
  EXPECT_LT(tone_median(last, 1088), 0.01);
  EXPECT_NEAR(rms_median(last), 16000.0 / 32768 / std::sqrt(2.0), 0.01);

  // The deck withdraws its mono channel: waiting, and still the Link input.
  mono_on = 0;
  const int64_t seen = passes.load();
  ASSERT_TRUE(eventually([&] { return passes.load() > seen + 1; }));
  channel_sink_destroy(mono);
  EXPECT_TRUE(a.follow_until([&] { return a.input_row() == "DECK - MONO   WAITING FOR IT"; })) << a.input_row();
  EXPECT_TRUE(link_read_input(a.get(), l.data(), r.data(), 256, 48000));
  EXPECT_STREQ(link_channel_at(a.get(), 0)->display, "DECK - STEREO");

  run = 0;
  feeder.join();
  channel_sink_destroy(stereo);
  channel_net_destroy(c);
}

TEST(LinkChannel, TheReaderWaitsForTwoBlocksAndFindsAnOverrunItself) {
  LINK_TEST_GUARD();
  LinkRig a("tolm \xC2\xB7 a");
  // No source is open: the test is the writer. The reader follows the source generation.
  a->source_generation.fetch_add(1);
  a->source_active.store(1);
  std::vector<int16_t> ramp(2 * 4096);
  int64_t written = 0;
  const auto write = [&](int frames) {
    for (int i = 0; i < frames; ++i) {
      const int16_t v = int16_t((written + i) % 32768);
      ramp[2 * size_t(i)] = v, ramp[2 * size_t(i) + 1] = int16_t(-v);
    }
    link_source_block(a.get(), ramp.data(), frames, 2, 48000);
    written += frames;
  };
  std::vector<float> l(256), r(256);
  const auto continuous = [&](int from) {
    for (int i = from + 1; i < 256; ++i) {
      const float d = (l[size_t(i)] - l[size_t(i) - 1]) * 32768.0f;
      if (d != 1.0f && d != 1.0f - 32768.0f) return false;
      if (r[size_t(i)] != -l[size_t(i)]) return false;
    }
    return true;
  };

  // Less than twice a block buffered: silence, nothing consumed.
  ASSERT_TRUE(link_read_input(a.get(), l.data(), r.data(), 256, 48000));  // takes up the generation
  write(300);
  ASSERT_TRUE(link_read_input(a.get(), l.data(), r.data(), 256, 48000));
  EXPECT_EQ(rms(l), 0.0);
  write(300);
  ASSERT_TRUE(link_read_input(a.get(), l.data(), r.data(), 256, 48000));
  EXPECT_EQ(l[0], 0.0f);
  EXPECT_EQ(l[255] * 32768.0f, 255.0f);
  EXPECT_TRUE(continuous(0));

  // The writer runs a whole ring ahead: the reader notices, plays silence and starts again at the
  // writer, without the writer ever having touched its position.
  const int64_t before = a->read_pos;
  for (int i = 0; i < kLinkRingFrames / 4096 + 1; ++i) write(4096);
  EXPECT_EQ(a->read_pos, before);
  ASSERT_TRUE(link_read_input(a.get(), l.data(), r.data(), 256, 48000));
  EXPECT_EQ(rms(l), 0.0);
  EXPECT_EQ(a->overruns.load(), 1);
  EXPECT_EQ(a->read_pos, a->write_count.load());
  write(600);
  ASSERT_TRUE(link_read_input(a.get(), l.data(), r.data(), 256, 48000));
  EXPECT_TRUE(continuous(0));
  EXPECT_EQ(l[0] * 32768.0f, float((written - 600) % 32768));

  a->source_active.store(0);
}
