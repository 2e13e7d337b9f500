// Rig files: decoding and encoding a 64-input rig (targets 0.5 ms and 0.2 ms), and how many file
// writes thirty edits made over three seconds cost (target: at most four). The mixer per frame in
// 256-frame blocks (64 inputs: 100 ns steady, 250 ns while every gain ramps; 2 inputs: 5 ns), and
// the keeper's tick bound to 64 inputs (50 us). The writes are counted
// three ways: every edit handed to the store as it happens (the store joins only saves still
// queued), the same edits saved on the rig keeper's schedule (0.15 s after the last edit, at most
// 1 s after the first unsaved one), and thirty saves queued in one burst.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/paths.h"
#include "rig/rig_doc.h"
#include "rig/rig_keeper.h"
#include "rig/rig_mixer.h"
#include "rig/rig_store.h"

namespace {

RigDoc* new_doc() {
  RigDoc* d = static_cast<RigDoc*>(calloc(1, sizeof(RigDoc)));
  rig_reset(d);
  return d;
}

void delete_doc(RigDoc* d) {
  rig_free(d);
  free(d);
}

// A 64-input rig with names, labels and every scene in use.
RigDoc* rig64() {
  RigDoc* d = new_doc();
  char names[kRigMaxInputs][kRigChannelNameBytes];
  for (int i = 0; i < kRigMaxInputs; ++i) snprintf(names[i], sizeof names[i], "capture_%d", i + 1);
  rig_init_for_device(d, "jack:system", "jack", "system", kRigMaxInputs, names, "tolm", 818538523.25);
  for (int s = 0; s < kRigScenes; ++s) {
    d->scenes[s].fresh = false;
    for (int i = 0; i < kRigMaxInputs; ++i) {
      RigChannel& c = d->scenes[s].channels[i];
      c.gain = float(i % 17) / 7.0f;
      c.pan = float(i % 9) / 4.0f - 1.0f;
      c.muted = (i + s) % 3 == 0;
      snprintf(c.label, sizeof c.label, "Mic %d \xE2\x80\x94 stand %d", i + 1, s + 1);
    }
  }
  rig_set_app_scene(d, "tolm", 1, 818538524.5);
  rig_set_app_scene(d, "other", 2, 818538525.5);
  return d;
}

std::string encoded(const RigDoc* d) {
  std::string s(rig_encode(d, nullptr, 0) + 1, '\0');
  s.resize(rig_encode(d, s.data(), s.size()));
  return s;
}

void BM_RigDecode64(benchmark::State& state) {
  RigDoc* src = rig64();
  const std::string text = encoded(src);
  RigDoc* d = new_doc();
  char msg[200];
  for (auto _ : state)
    if (rig_decode(text.data(), text.size(), d, msg, sizeof msg) != kRigDecodeOk) state.SkipWithError(msg);
  state.counters["bytes"] = double(text.size());
  delete_doc(d);
  delete_doc(src);
}
BENCHMARK(BM_RigDecode64)->Unit(benchmark::kMicrosecond);

void BM_RigEncode64(benchmark::State& state) {
  RigDoc* d = rig64();
  std::string buf(rig_encode(d, nullptr, 0) + 1, '\0');
  for (auto _ : state) benchmark::DoNotOptimize(rig_encode(d, buf.data(), buf.size()));
  delete_doc(d);
}
BENCHMARK(BM_RigEncode64)->Unit(benchmark::kMicrosecond);

int64_t rev_on_disk(const std::string& path) {
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) return -1;
  std::string text;
  char buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
  fclose(f);
  RigDoc* d = new_doc();
  char msg[200];
  const int64_t rev = rig_decode(text.data(), text.size(), d, msg, sizeof msg) <= kRigDecodeReadOnly ? d->rev : -1;
  delete_doc(d);
  return rev;
}

// mode 0: each edit saved at once; 1: the keeper's schedule; 2: thirty saves in one burst.
void BM_RigWriteCoalescing(benchmark::State& state) {
  const int mode = int(state.range(0));
  char tmp[kPathCap];
  temp_dir(tmp, sizeof tmp);
  std::string dir = std::string(tmp) + "/tolm-rig-bench-XXXXXX";
  if (!mkdtemp(dir.data())) {
    state.SkipWithError("no temporary folder");
    return;
  }
  setenv("XDG_RUNTIME_DIR", dir.c_str(), 1);
  RigStoreOptions o;
  const std::string folder = dir + "/rigs";
  o.folder = folder.c_str();
  o.app_name = "bench";
  RigStore* store = rig_store_open(o);
  RigDoc* doc = rig64();
  rig_store_load(store, doc->key, doc);
  rig_store_wait_idle(store, 5000);
  RigResult r;
  while (rig_store_next_result(store, &r)) rig_result_free(&r);
  char name[96];
  rig_file_name(doc->key, name, sizeof name);
  const std::string path = folder + "/" + name;

  int64_t writes = 0;
  for (auto _ : state) {
    const int64_t before = rev_on_disk(path);
    RigChanges pending{};
    double first_edit = -1, last_edit = -1;
    const double t0 = double(mono_ns()) * 1e-9;
    int edits = 0;
    for (;;) {
      const double now = double(mono_ns()) * 1e-9 - t0;
      if (edits < 30 && (mode == 2 || now >= edits * 0.1)) {
        RigChannel& c = doc->scenes[0].channels[edits % 8];
        c.gain = float(edits + 1) / 32.0f;
        RigChanges m{};
        m.input[0][edits % 8] = kRigInputGain;
        m.any = true;
        ++edits;
        if (mode == 1) {
          rig_changes_or(&pending, m);
          if (first_edit < 0) first_edit = now;
          last_edit = now;
        } else {
          rig_store_save(store, doc, m);
        }
      }
      if (mode == 1 && first_edit >= 0 && (now - last_edit >= 0.15 || now - first_edit >= 1.0)) {
        rig_store_save(store, doc, pending);
        pending = RigChanges{};
        first_edit = last_edit = -1;
      }
      if (edits == 30 && first_edit < 0) break;
      sleep_ms(mode == 2 ? 0 : 5);
    }
    rig_store_wait_idle(store, 10000);
    while (rig_store_next_result(store, &r)) rig_result_free(&r);
    writes = rev_on_disk(path) - before;
  }
  state.counters["writes"] = double(writes);
  state.SetLabel(mode == 0 ? "each edit saved at once" : mode == 1 ? "keeper's schedule" : "burst of 30");
  rig_store_close(store, 5000);
  delete_doc(doc);
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
}
BENCHMARK(BM_RigWriteCoalescing)->DenseRange(0, 2)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

// The mixer on 256-frame blocks of noise. range(0): inputs; range(1): 1 = every gain ramps in
// every block (a new matrix each block), 0 = steady. Every other input is heard.
void BM_RigMixer(benchmark::State& state) {
  const int n = int(state.range(0));
  const bool ramping = state.range(1) != 0;
  constexpr int kBlock = 256;
  auto m = std::make_unique<RigMixer>();
  rig_mixer_start(m.get(), 48000, n, 1, nullptr);
  RigMixMatrix a{}, b{};
  a.count = b.count = n;
  a.master = 1.0f, b.master = 0.5f;
  for (int i = 0; i < n; ++i) {
    a.left[i] = i % 2 ? 0.0f : 0.7f, a.right[i] = i % 2 ? 0.0f : 0.3f;
    b.left[i] = i % 2 ? 0.0f : 0.2f, b.right[i] = i % 2 ? 0.0f : 0.9f;
  }
  std::vector<float> in(size_t(kBlock) * size_t(n));
  uint32_t seed = 7;
  for (float& v : in) {
    seed = seed * 1664525u + 1013904223u;
    v = 0.5f * float(int32_t(seed)) / 2147483648.0f;
  }
  std::vector<float> l(kBlock), r(kBlock);
  rig_mixer_set(m.get(), a, 1, 0);
  for (int i = 0; i < 100; ++i) rig_mixer_process(m.get(), in.data(), n, l.data(), r.data(), kBlock);
  int64_t blocks = 0;
  for (auto _ : state) {
    if (ramping) rig_mixer_set(m.get(), blocks % 2 ? a : b, 1, 1.0);
    rig_mixer_process(m.get(), in.data(), n, l.data(), r.data(), kBlock);
    benchmark::DoNotOptimize(l.data());
    ++blocks;
  }
  // Seconds per frame (shown with an SI prefix: "20n" is 20 ns).
  state.counters["per_frame"] =
      benchmark::Counter(double(blocks) * kBlock, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  state.SetItemsProcessed(blocks * kBlock);
}
BENCHMARK(BM_RigMixer)->Args({64, 0})->Args({64, 1})->Args({2, 0})->Args({2, 1})->Args({16, 0});

// The keeper's per-frame tick, bound to a 64-input rig whose mixer measures noise.
void BM_RigKeeperTick(benchmark::State& state) {
  char tmpl[] = "/tmp/rig_bench_XXXXXX";
  const std::string dir = mkdtemp(tmpl);
  RigKeeperOptions o;
  o.app_name = "tolm";
  o.folder = dir.c_str();
  o.log = [](void*, const char*) {};
  RigKeeper* k = rig_keeper_open(o);
  RigStream s{};
  snprintf(s.key, sizeof s.key, "jack:system");
  snprintf(s.api, sizeof s.api, "jack");
  snprintf(s.device, sizeof s.device, "system");
  s.inputs = s.device_inputs = kRigMaxInputs;
  s.rate_hz = 48000;
  RigMixMatrix start;
  rig_default_matrix("jack", kRigMaxInputs, &start);
  rig_mixer_start(rig_keeper_mixer(k), 48000, kRigMaxInputs, rig_stream_tag(s.key), &start);
  rig_keeper_bind(k, s);
  double now = 10;
  RigKeeperStatus st{};
  for (int i = 0; i < 500 && st.state != kRigBound; ++i) {
    now += 0.01;
    rig_keeper_tick(k, now, 8e8 + now);
    rig_keeper_status(k, &st);
    sleep_ms(5);
  }
  for (int i = 0; i < kRigMaxInputs; i += 3) rig_keeper_set_mute(k, i, false);
  std::vector<float> in(size_t(256) * kRigMaxInputs, 0.01f), l(256), r(256);
  for (auto _ : state) {
    state.PauseTiming();
    rig_mixer_process(rig_keeper_mixer(k), in.data(), kRigMaxInputs, l.data(), r.data(), 256);
    now += 0.016;
    state.ResumeTiming();
    rig_keeper_tick(k, now, 8e8 + now);
  }
  RigNotice n;
  while (rig_keeper_next_notice(k, &n)) {
  }
  rig_keeper_close(k);
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
}
BENCHMARK(BM_RigKeeperTick)->Unit(benchmark::kMicrosecond);

}  // namespace
