// The output tap's fan-out under a real audio-rate thread: every receiver gets every block in slot
// order, and a receiver taken out while blocks run is never called again once removal returns, so
// its context can be freed at once (the sanitizers watch the freed memory).
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "capture/tap_fanout.h"

namespace {

struct Receiver {
  std::atomic<int64_t> frames{0};
  std::atomic<int> order_errors{0};
  std::atomic<int>* last_slot;  // shared: which receiver ran last in this block
  int id;
  OutputTap tap;
  Receiver(int i, std::atomic<int>* last) : last_slot(last), id(i), tap{run, this} {}
  static void run(void* ctx, const float* stereo, int n, int rate) {
    auto* r = static_cast<Receiver*>(ctx);
    if (stereo[0] != 0.25f || rate != 48000) r->order_errors++;
    if (r->last_slot->exchange(r->id, std::memory_order_relaxed) > r->id) r->order_errors++;
    r->frames.fetch_add(n, std::memory_order_relaxed);
  }
};

}  // namespace

TEST(TapFanout, EveryReceiverGetsEveryBlockAndRemovalIsFinal) {
  TapFanout fan;
  tap_fanout_init(&fan);
  std::atomic<int> last{-1};
  std::atomic<bool> stop{false};
  std::atomic<int64_t> blocks{0};
  const OutputTap* engine_tap = tap_fanout_tap(&fan);
  std::thread audio([&] {
    std::vector<float> block(512, 0.25f);
    while (!stop.load()) {
      last.store(-1, std::memory_order_relaxed);
      engine_tap->fn(engine_tap->ctx, block.data(), 256, 48000);
      blocks++;
    }
  });

  // Two that stay; others come and go while blocks run, freed as soon as they are out.
  auto first = std::make_unique<Receiver>(0, &last);
  auto second = std::make_unique<Receiver>(2, &last);
  EXPECT_EQ(tap_fanout_add(&fan, &first->tap), 0);
  EXPECT_EQ(tap_fanout_add(&fan, &first->tap), -1);  // once only
  for (int round = 0; round < 300; ++round) {
    auto passing = std::make_unique<Receiver>(1, &last);
    EXPECT_EQ(tap_fanout_add(&fan, &passing->tap), 0);
    if (round == 0) {
      EXPECT_EQ(tap_fanout_add(&fan, &second->tap), 0);
    }
    const int64_t seen = blocks.load();
    while (blocks.load() < seen + 3) std::this_thread::yield();
    tap_fanout_remove(&fan, &passing->tap);
    const int64_t after = passing->frames.load();
    std::this_thread::yield();
    EXPECT_EQ(passing->frames.load(), after);  // never called again
    EXPECT_GT(after, 0);
    passing.reset();
  }
  // Full: four slots.
  Receiver a(1, &last), b(3, &last), c(4, &last);
  EXPECT_EQ(tap_fanout_add(&fan, &a.tap), 0);
  EXPECT_EQ(tap_fanout_add(&fan, &b.tap), 0);
  EXPECT_EQ(tap_fanout_add(&fan, &c.tap), -1);
  tap_fanout_remove(&fan, &a.tap);
  tap_fanout_remove(&fan, &b.tap);
  stop = true;
  audio.join();
  // The two that stayed saw the same blocks, in slot order.
  EXPECT_GE(first->frames.load(), second->frames.load());
  EXPECT_GT(second->frames.load(), 0);
  EXPECT_EQ(first->order_errors.load() + second->order_errors.load() + a.order_errors.load() + b.order_errors.load(), 0);
}
