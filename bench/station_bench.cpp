// The broadcast station: the cost of a push on the audio thread per frame (written as it comes,
// and resampled from 44.1 kHz), and a real-time run with eight listeners on loopback that reports
// the worker's share of a core and the latency from the push that completes a message to the
// moment a listener has read it.
#include <benchmark/benchmark.h>

#include <pthread.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <memory>
#include <thread>
#include <vector>

#include "net/station.h"
#include "platform/clock.h"
#include "tests/net/listener_client.h"

namespace {

struct Quiet {
  Quiet() { setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/tolm-bench-bus", 1); }
};

std::vector<float> tone(int frames) {
  std::vector<float> v(2 * size_t(frames));
  for (int i = 0; i < frames; ++i) v[2 * size_t(i)] = 0.3f * std::sin(0.01f * float(i)), v[2 * size_t(i) + 1] = -v[2 * size_t(i)];
  return v;
}

// The audio side alone: a consumer that keeps up is simulated by moving the read position along.
void push_cost(benchmark::State& state, double rate) {
  Quiet q;
  auto s = std::make_unique<Station>();
  StationIdentity id;
  station_identity_default(&id);
  char folder[] = "/tmp";
  station_init(s.get(), id, folder);
  s->running.store(1);  // the push path without a worker
  const int block = int(state.range(0));
  const std::vector<float> v = tone(block);
  int64_t clock = 0, frames = 0;
  for (auto _ : state) {
    station_push_at(s.get(), v.data(), block, rate, clock);
    frames += block;
    clock = int64_t(double(frames) * 1e9 / rate);
    s->read_pos.store(s->write_count.load(std::memory_order_relaxed), std::memory_order_relaxed);
  }
  state.counters["per_frame"] = benchmark::Counter(double(frames), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  s->running.store(0);
  station_close(s.get());
}

void BM_StationPush48k(benchmark::State& state) { push_cost(state, 48000); }
void BM_StationPushResampled44k(benchmark::State& state) { push_cost(state, 44100); }
BENCHMARK(BM_StationPush48k)->Arg(64)->Arg(256)->Arg(4096);
BENCHMARK(BM_StationPushResampled44k)->Arg(64)->Arg(256)->Arg(4096);

// Ten seconds in real time: 256-frame blocks every 5.33 ms, eight listeners reading.
void BM_StationEightListeners(benchmark::State& state) {
  Quiet q;
  auto s = std::make_unique<Station>();
  StationIdentity id;
  station_identity_default(&id);
  id.port = 0;
  char folder[] = "/tmp";
  station_init(s.get(), id, folder);
  station_start(s.get());
  constexpr int kListeners = 8, kBlock = 256;
  const int seconds = int(state.range(0));
  const int64_t total = int64_t(seconds) * 48000;
  std::vector<int64_t> pushed_at(size_t(total / kBlock + 2), 0);  // mono_ns of each block's push
  std::vector<std::vector<int64_t>> latency(kListeners);
  std::vector<std::unique_ptr<ListenerClient>> clients;
  for (int i = 0; i < kListeners; ++i) {
    clients.push_back(std::make_unique<ListenerClient>());
    clients.back()->connect_to(s->bound_port);
  }
  while (s->listener_count.load() < kListeners) sleep_ms(1);
  std::atomic<bool> done{false};
  std::vector<std::thread> readers;
  for (int i = 0; i < kListeners; ++i)
    readers.emplace_back([&, i] {
      LmMessage m;
      while (!done.load()) {
        if (!clients[size_t(i)]->next(&m, 100) || m.type != 2) continue;
        const int64_t now = mono_ns();
        // The block that carried the message's last frame.
        const size_t b = size_t((int64_t(m.index) + kStationMessageFrames - 1) / kBlock);
        if (b < pushed_at.size() && pushed_at[b]) latency[size_t(i)].push_back(now - pushed_at[b]);
      }
    });
  clockid_t worker_clock;
  pthread_getcpuclockid(s->worker.native_handle(), &worker_clock);
  const std::vector<float> v = tone(kBlock);
  for (auto _ : state) {
    timespec c0, c1;
    clock_gettime(worker_clock, &c0);
    const int64_t t0 = mono_ns();
    for (int64_t b = 0; b * kBlock < total; ++b) {
      const int64_t due = t0 + b * kBlock * 1000000000 / 48000;
      while (mono_ns() < due) std::this_thread::sleep_for(std::chrono::microseconds(200));
      std::atomic_thread_fence(std::memory_order_seq_cst);
      pushed_at[size_t(b)] = mono_ns();
      std::atomic_thread_fence(std::memory_order_seq_cst);
      station_push(s.get(), v.data(), kBlock, 48000);
    }
    sleep_ms(100);
    const int64_t t1 = mono_ns();
    clock_gettime(worker_clock, &c1);
    const double cpu = double(c1.tv_sec - c0.tv_sec) * 1e9 + double(c1.tv_nsec - c0.tv_nsec);
    state.counters["worker_cpu_pct"] = 100.0 * cpu / double(t1 - t0);
  }
  done = true;
  for (auto& t : readers) t.join();
  std::vector<int64_t> all;
  for (auto& l : latency) all.insert(all.end(), l.begin(), l.end());
  std::sort(all.begin(), all.end());
  if (!all.empty()) {
    state.counters["latency_median_ms"] = double(all[all.size() / 2]) / 1e6;
    state.counters["latency_p99_ms"] = double(all[all.size() * 99 / 100]) / 1e6;
    state.counters["messages"] = double(all.size());
  }
  station_close(s.get());
}
BENCHMARK(BM_StationEightListeners)->Arg(10)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace
