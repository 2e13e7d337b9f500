// The Link channel on the audio thread: publishing the monitor and reading the chosen channel, per
// frame (48 kHz as it comes, and 44.1 kHz resampled to 48 kHz); and a real-time run of two
// instances on loopback that reports the latency from A's publish (its capture callback) to the
// block of B's input hook that first holds the sound. Root only: the bench takes a network
// namespace of its own with only loopback up, so nothing multicasts on a real interface.
#include <benchmark/benchmark.h>

#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "net/link_channel.h"
#include "platform/clock.h"

namespace {

bool private_network() {
  static const bool ok = [] {
    if (unshare(CLONE_NEWNET) != 0) return false;
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq r{};
    strncpy(r.ifr_name, "lo", IFNAMSIZ - 1);
    bool up = fd >= 0 && ioctl(fd, SIOCGIFFLAGS, &r) == 0;
    r.ifr_flags = short(r.ifr_flags | IFF_UP);
    up = up && ioctl(fd, SIOCSIFFLAGS, &r) == 0;
    if (fd >= 0) close(fd);
    return up;
  }();
  return ok;
}

struct Channel {
  std::unique_ptr<LinkChannel> l = std::make_unique<LinkChannel>();
  bool ok;
  explicit Channel(const char* name) : ok(link_init(l.get(), name) == 0) {}
  ~Channel() {
    if (ok) link_close(l.get());
  }
};

void publish_cost(benchmark::State& state) {
  if (!private_network()) return state.SkipWithError("needs root (a network namespace of its own)");
  Channel c("tolm \xC2\xB7 bench");
  if (!c.ok || !link_set_on(c.l.get(), true)) return state.SkipWithError("link did not start");
  const int frames = int(state.range(0));
  std::vector<float> lr(2 * size_t(frames), 0.25f);
  // The sink holds 16 blocks: eight are published against the clock, then the network thread
  // empties the sink off it. Pausing the benchmark's own timers instead would cost more than a
  // block (they read the process's CPU time, a system call here) and be counted as publishing.
  constexpr int kBatch = 8;
  for (auto _ : state) {
    const int64_t start = mono_ns();
    for (int i = 0; i < kBatch; ++i) link_publish(c.l.get(), lr.data(), frames, 48000);
    state.SetIterationTime(double(mono_ns() - start) * 1e-9);
    while (channel_sink_pending(c.l->own_sink) > 0) sleep_ms(1);
  }
  if (c.l->refused.load() > 0) state.SkipWithError("blocks refused: the measure is not of publishing");
  state.counters["per_frame"] = benchmark::Counter(double(frames) * kBatch * double(state.iterations()),
                                                   benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void read_cost(benchmark::State& state, double source_hz) {
  if (!private_network()) return state.SkipWithError("needs root (a network namespace of its own)");
  Channel c("tolm \xC2\xB7 bench");
  if (!c.ok) return state.SkipWithError("link did not start");
  LinkChannel* l = c.l.get();
  const int frames = int(state.range(0));
  // The bench is the source's writer: no source is open, the reader is told one is.
  l->source_generation.fetch_add(1);
  l->source_active.store(1);
  std::vector<int16_t> feed(2 * 65536, 1000);
  std::vector<float> left(static_cast<size_t>(frames)), right(static_cast<size_t>(frames));
  link_source_block(l, feed.data(), 65536, 2, source_hz);
  link_read_input(l, left.data(), right.data(), frames, 48000);  // starts at the writer
  link_source_block(l, feed.data(), 65536, 2, source_hz);
  for (auto _ : state) {
    if (l->write_count.load() - l->read_pos < 4 * int64_t(frames) + 8) {
      state.PauseTiming();
      link_source_block(l, feed.data(), 65536, 2, source_hz);
      state.ResumeTiming();
    }
    link_read_input(l, left.data(), right.data(), frames, 48000);
    benchmark::DoNotOptimize(left.data());
  }
  l->source_active.store(0);
  state.counters["per_frame"] =
      benchmark::Counter(double(frames) * double(state.iterations()), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_LinkPublish(benchmark::State& state) { publish_cost(state); }
void BM_LinkRead48k(benchmark::State& state) { read_cost(state, 48000); }
void BM_LinkReadResampled44k(benchmark::State& state) { read_cost(state, 44100); }

// A publishes 256-frame blocks in real time, a click every 50 ms; B reads its input hook at the
// same pace. Latency: from the publish of a click to the end of B's block that holds it.
void BM_LinkLatency(benchmark::State& state) {
  if (!private_network()) return state.SkipWithError("needs root (a network namespace of its own)");
  for (auto _ : state) {
    Channel a("tolm \xC2\xB7 a"), b("tolm \xC2\xB7 b");
    if (!a.ok || !b.ok || !link_set_on(a.l.get(), true) || !link_set_on(b.l.get(), true))
      return state.SkipWithError("link did not start");
    const int64_t give_up = mono_ns() + 10000000000;
    while (link_channel_count(b.l.get()) < 1 && mono_ns() < give_up) sleep_ms(20);
    link_pick_input(b.l.get(), 1);
    link_follow_input(b.l.get());
    if (!b.l->source) return state.SkipWithError("b did not find a's channel");

    constexpr int kBlock = 256;
    const auto period = std::chrono::nanoseconds(int64_t(kBlock * 1e9 / 48000));
    std::atomic<int> run{1};
    std::atomic<int64_t> click_ns{0};
    std::thread publisher([&] {
      std::vector<float> quiet(2 * kBlock, 0.0f), click(2 * kBlock, 0.5f);
      auto due = std::chrono::steady_clock::now();
      for (int64_t n = 0; run.load(); ++n) {
        const bool is_click = n % 10 == 5 && click_ns.load() == 0;
        if (is_click) click_ns.store(mono_ns());
        link_publish(a.l.get(), (is_click ? click : quiet).data(), kBlock, 48000);
        due += period;
        std::this_thread::sleep_until(due);
      }
    });
    std::vector<int64_t> lat;
    std::vector<float> l(kBlock), r(kBlock);
    auto due = std::chrono::steady_clock::now();
    const int64_t end = mono_ns() + int64_t(state.range(0)) * 1000000000;
    while (mono_ns() < end) {
      link_read_input(b.l.get(), l.data(), r.data(), kBlock, 48000);
      const int64_t sent = click_ns.load();
      if (sent && mono_ns() - sent > 1000000000) click_ns.store(0);  // lost: the next click counts
      else if (sent && *std::max_element(l.begin(), l.end()) > 0.25f) {
        lat.push_back(mono_ns() - sent);
        click_ns.store(0);
      }
      due += period;
      std::this_thread::sleep_until(due);
    }
    run = 0;
    publisher.join();
    if (lat.empty()) return state.SkipWithError("no click arrived");
    std::sort(lat.begin(), lat.end());
    state.counters["latency_median_ms"] = double(lat[lat.size() / 2]) / 1e6;
    state.counters["latency_p99_ms"] = double(lat[lat.size() * 99 / 100]) / 1e6;
    state.counters["clicks"] = double(lat.size());
  }
}

}  // namespace

BENCHMARK(BM_LinkPublish)->Arg(64)->Arg(256)->Arg(4096)->Iterations(1000)->UseManualTime();
BENCHMARK(BM_LinkRead48k)->Arg(64)->Arg(256)->Arg(4096);
BENCHMARK(BM_LinkReadResampled44k)->Arg(64)->Arg(256)->Arg(4096);
BENCHMARK(BM_LinkLatency)->Arg(10)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
