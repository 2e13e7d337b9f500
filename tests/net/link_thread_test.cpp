// The Link channel's threads meeting: turning Link off (and closing) with a source open while its
// blocks arrive and the audio callback reads and publishes; the source ring with a writer racing
// round it while the reader reads. Under ThreadSanitizer too. Root only, inside a loopback-only
// network namespace.
#include <gtest/gtest.h>

#include <cmath>
#include <thread>

#include "platform/clock.h"
#include "tests/net/link_fixture.h"
#include "tests/net/station_fixture.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

void tone(float* lr, int frames, int64_t first) {
  for (int i = 0; i < frames; ++i) lr[2 * i] = lr[2 * i + 1] = float(0.3 * std::sin(2 * kPi * 440.0 * double(first + i) / 48000));
}

}  // namespace

TEST(LinkThread, TurningOffWithASourceOpenIsCleanAndNoBlockArrivesAfterwards) {
  LINK_TEST_GUARD();
  LinkRig a("tolm \xC2\xB7 a"), b("tolm \xC2\xB7 b");
  PacedEngine ea, eb;
  ASSERT_TRUE(ea.e && eb.e);
  eb.e->monitor = 1;
  eb.e->normalize_monitor = 0;
  eb.input = tone;
  eb.e->output_tap = link_output_tap(b.get());
  // A publishes its monitor as well, while it reads B: both audio paths run on A's callback.
  ea.e->monitor = 1;
  ea.e->output_tap = link_output_tap(a.get());
  ea.e->input_hook = link_input_hook(a.get());
  ASSERT_TRUE(link_set_on(b.get(), true));
  eb.start();
  ea.start();

  for (int round = 0; round < 4; ++round) {
    ASSERT_TRUE(link_set_on(a.get(), true));
    char msg[96];
    ASSERT_TRUE(a.follow_until([&] { return link_channel_count(a.get()) == 1; }));
    link_step_command(a.get(), 1, msg, sizeof msg);
    const int64_t heard = a->frames_received.load();
    ASSERT_TRUE(eventually([&] { return a->frames_received.load() > heard + 4800; }, 5000)) << "round " << round;
    ASSERT_TRUE(eventually([&] { return ea.e->input_peak.load() > 0.2f; }, 5000));

    // Off in the middle of the stream: the input is the microphone at once, and not one more
    // block reaches the ring.
    ASSERT_FALSE(link_set_on(a.get(), false));
    const int64_t after = a->frames_received.load();
    EXPECT_EQ(a->source_active.load(), 0);
    sleep_ms(300);
    EXPECT_EQ(a->frames_received.load(), after);
    EXPECT_EQ(a.input_row(), "MIC   (LINK IS OFF)");

    // B leaving and coming back while A's source is open does no harm either.
    if (round % 2 == 1) {
      ASSERT_TRUE(link_set_on(a.get(), true));
      ASSERT_TRUE(a.follow_until([&] { return link_channel_count(a.get()) == 1; }));
      link_step_command(a.get(), 1, msg, sizeof msg);
      link_set_on(b.get(), false);
      link_set_on(b.get(), true);
      link_set_on(a.get(), false);
    }
  }
  EXPECT_EQ(a->sink.load(), nullptr);
  EXPECT_GT(a->published.load(), 0);

  // Closing with blocks still arriving for an open source: the engines keep running until their
  // plug-ins are taken out.
  ASSERT_TRUE(link_set_on(a.get(), true));
  ASSERT_TRUE(a.follow_until([&] { return link_channel_count(a.get()) == 1; }));
  char msg[96];
  link_step_command(a.get(), 1, msg, sizeof msg);
  ASSERT_TRUE(eventually([&] { return ea.e->input_peak.load() > 0.2f; }, 5000));
  ea.e->input_hook = nullptr;
  ea.e->output_tap = nullptr;
  link_close(a.get());
  EXPECT_EQ(a->ring, nullptr);
  ea.stop();
  eb.stop();
  eb.e->output_tap = nullptr;
}

TEST(LinkThread, AWriterRacingRoundTheRingNeverHandsTheReaderATornBlock) {
  LINK_TEST_GUARD();
  LinkRig a("tolm \xC2\xB7 a");
  // No source is open: the test's thread is the writer. Its ramp repeats every 32,749 frames, a
  // prime, so frames a ring apart differ and a block mixed from two laps shows.
  constexpr int kRamp = 32749;
  a->source_generation.fetch_add(1);
  a->source_active.store(1);
  std::atomic<int> run{1};
  std::thread writer([&] {
    std::vector<int16_t> block(2 * 4096);
    int64_t n = 0;
    while (run.load()) {
      for (int i = 0; i < 4096; ++i) {
        const int16_t v = int16_t((n + i) % kRamp);
        block[2 * size_t(i)] = v, block[2 * size_t(i) + 1] = int16_t(-v);
      }
      link_source_block(a.get(), block.data(), 4096, 2, 48000);
      n += 4096;
    }
  });
  // Every block the reader plays is one continuous ramp (or silence), never two laps mixed. Long
  // blocks: a read that starts just inside the ring's safe reach outlasts a write or two.
  ASSERT_TRUE(eventually([&] { return a->write_count.load() > 0; }));
  constexpr int kFrames = 4096;
  std::vector<float> l(kFrames), r(kFrames);
  int played = 0;
  // A loaded machine plays fewer whole blocks between overruns: the time limit is generous.
  const int64_t end = mono_ns() + 8000000000;
  for (int i = 0; (played < 500 || a->overruns.load() < 10) && mono_ns() < end && !HasFailure(); ++i) {
    ASSERT_TRUE(link_read_input(a.get(), l.data(), r.data(), kFrames, 48000));
    if (l[0] == 0.0f && l[1] == 0.0f) continue;
    ++played;
    for (int k = 1; k < kFrames; ++k) {
      const float d = (l[size_t(k)] - l[size_t(k) - 1]) * 32768.0f;
      ASSERT_TRUE(d == 1.0f || d == float(1 - kRamp)) << "block " << i << " frame " << k;
      ASSERT_EQ(r[size_t(k)], -l[size_t(k)]);
    }
  }
  run = 0;
  writer.join();
  EXPECT_GT(played, 20);
  EXPECT_GT(a->overruns.load(), 0);
  a->source_active.store(0);
}
