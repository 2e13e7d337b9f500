// The mixer's hand-overs between threads: a control thread publishing matrices, or starting
// streams, as fast as it can while an audio thread mixes one frame at a time never yields a matrix
// or a stream that is half one and half another. Run under ThreadSanitizer too.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <set>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "rig/rig_mixer.h"

namespace {

// Matrix k: every gain (a + 1) / 256 and the master (a + 1) / 128, a = k mod 251; all exact in
// binary, so a whole matrix gives exactly 64 * gain * master on each side.
float gain_of(int a) { return float(a + 1) / 256.0f; }
float master_of(int a) { return float(a + 1) / 128.0f; }

}  // namespace

TEST(RigMixerThreads, APublisherHammeringTheMatrixNeverTearsIt) {
  const int n = kRigMaxInputs;
  auto m = std::make_unique<RigMixer>();
  const uint32_t tag = 0x5151;
  // 10 Hz: a 20 ms ramp is a single frame, so every taken matrix is heard in full at once.
  rig_mixer_start(m.get(), 10, n, tag, nullptr);
  std::atomic<bool> done{false};
  std::atomic<int64_t> published{0};
  std::thread publisher([&] {
    RigMixMatrix mx{};
    mx.count = n;
    const int64_t end = mono_ns() + 600000000;  // 0.6 s
    for (int64_t k = 1; mono_ns() < end; ++k) {
      const int a = int(k % 251);
      for (int i = 0; i < n; ++i) mx.left[i] = mx.right[i] = gain_of(a);
      mx.master = master_of(a);
      rig_mixer_set(m.get(), mx, tag, 0);
      published.fetch_add(1, std::memory_order_relaxed);
      // Now and then a breath, so the reader also finds a matrix it can take whole.
      if (k % 16 == 0)
        for (const int64_t until = mono_ns() + 20000; mono_ns() < until;) {
        }
    }
    done.store(true);
  });

  std::vector<float> in(size_t(n), 1.0f);
  float l = 0, r = 0;
  int64_t blocks = 0, torn = 0, silent = 0;
  std::set<int> seen;
  RigMixerMeters mt;
  while (!done.load()) {
    rig_mixer_process(m.get(), in.data(), n, &l, &r, 1);
    rig_mixer_read(m.get(), &mt);  // this block's meters alone
    ++blocks;
    const float g = mt.peak_gain[0];
    bool same = true;
    for (int i = 1; i < n; ++i) same &= mt.peak_gain[i] == g;
    if (g == 0.0f) {  // before the first whole matrix
      same &= l == 0.0f && r == 0.0f;
      ++silent;
    } else {
      const int a = int(g * 256.0f) - 1;
      same &= a >= 0 && a < 251 && gain_of(a) == g;
      same &= l == 64.0f * g * master_of(a) && r == l;
      if (same) seen.insert(a);
    }
    torn += !same;
  }
  publisher.join();
  EXPECT_EQ(torn, 0) << "of " << blocks << " blocks";
  EXPECT_GT(published.load(), 1000);
  EXPECT_GT(blocks, 1000);
  EXPECT_GT(seen.size(), 5u);  // it really took one matrix after another (as often as the threads meet)
  EXPECT_LT(silent, blocks / 2);
}

TEST(RigMixerThreads, StreamsStartedWhileTheAudioThreadMixesAreTakenWhole) {
  // Stream A: 64 inputs with every one at unity by default; stream B: 8 inputs at a quarter. A
  // torn start would mix A's inputs by B's layout or the other way round (8 or 16, never 64 or 2).
  auto m = std::make_unique<RigMixer>();
  RigMixMatrix a{}, b{};
  a.count = 64;
  b.count = 8;
  a.master = b.master = 1.0f;
  for (int i = 0; i < 64; ++i) a.left[i] = a.right[i] = 1.0f;
  for (int i = 0; i < 8; ++i) b.left[i] = b.right[i] = 0.25f;
  std::atomic<bool> done{false};
  std::thread control([&] {
    const int64_t end = mono_ns() + 400000000;
    for (int k = 0; mono_ns() < end; ++k) {
      // Held for a second of frames (10 or 5 here), then the stream's own layout plays.
      if (k % 2) rig_mixer_start(m.get(), 10, 64, 1, &a);
      else rig_mixer_start(m.get(), 5, 8, 2, &b);
      sleep_ms(1);
    }
    done.store(true);
  });
  std::vector<float> in(64 * 12, 1.0f);
  float l[12], r[12];
  int64_t blocks = 0, wrong = 0, heard = 0;
  while (!done.load()) {
    rig_mixer_process(m.get(), in.data(), 64, l, r, 12);
    ++blocks;
    for (int f = 0; f < 12; ++f) {
      wrong += !(l[f] == r[f] && (l[f] == 0.0f || l[f] == 64.0f || l[f] == 2.0f));
      heard += l[f] != 0.0f;
    }
  }
  control.join();
  EXPECT_EQ(wrong, 0) << "of " << blocks << " blocks";
  EXPECT_GT(heard, 100);
}
