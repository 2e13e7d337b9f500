// The rig mixer is real-time safe: inside the capture routine, over 16 inputs, through holds,
// fallbacks, restarts, matrices of another rig, mute-all and ramps, it makes no allocation and
// takes no lock.
#include <gtest/gtest.h>

#include <pthread.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <new>
#include <vector>

#include "capture/engine.h"
#include "rig/rig_mixer.h"
#include "tests/capture/engine_fixture.h"

// Counting hooks: operator new is replaced here; malloc, calloc, realloc and pthread_mutex_lock
// are wrapped at link time (-Wl,--wrap=...), so calls from the libraries land here too.
namespace {
std::atomic<bool> g_watching{false};
std::atomic<int> g_allocations{0};
std::atomic<int> g_locks{0};
void note_allocation() {
  if (g_watching.load(std::memory_order_relaxed)) g_allocations.fetch_add(1);
}
}  // namespace

extern "C" {
void* __real_malloc(size_t);
void* __real_calloc(size_t, size_t);
void* __real_realloc(void*, size_t);
void __real_free(void*);
int __real_pthread_mutex_lock(pthread_mutex_t*);
void __wrap_free(void* p) { __real_free(p); }
void* __wrap_malloc(size_t n) {
  note_allocation();
  return __real_malloc(n);
}
void* __wrap_calloc(size_t n, size_t s) {
  note_allocation();
  return __real_calloc(n, s);
}
void* __wrap_realloc(void* p, size_t n) {
  note_allocation();
  return __real_realloc(p, n);
}
int __wrap_pthread_mutex_lock(pthread_mutex_t* m) {
  if (g_watching.load(std::memory_order_relaxed)) g_locks.fetch_add(1);
  return __real_pthread_mutex_lock(m);
}
}

void* operator new(size_t n) {
  note_allocation();
  if (void* p = __real_malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
void* operator new[](size_t n) { return operator new(n); }
void* operator new(size_t n, const std::nothrow_t&) noexcept {
  note_allocation();
  return __real_malloc(n ? n : 1);
}
void* operator new[](size_t n, const std::nothrow_t& t) noexcept { return operator new(n, t); }
void operator delete(void* p) noexcept { __real_free(p); }
void operator delete[](void* p) noexcept { __real_free(p); }
void operator delete(void* p, size_t) noexcept { __real_free(p); }
void operator delete[](void* p, size_t) noexcept { __real_free(p); }

namespace {

constexpr int kInputs = 16;
constexpr double kRate = 8000;

// What the keeper does between blocks: a new matrix, another rig's, mute-all, a restart.
void control_step(RigMixer* m, int b, const RigMixMatrix& start, uint32_t tag) {
  RigMixMatrix mx{};
  mx.count = kInputs;
  mx.master = 1.0f + float(b % 3) * 0.5f;
  for (int i = 0; i < kInputs; ++i) mx.left[i] = float((i + b) % 5) * 0.2f, mx.right[i] = float((i * b) % 7) * 0.1f;
  switch (b % 40) {
    case 0: rig_mixer_start(m, kRate, kInputs, tag, &start); break;  // holds, then the defaults
    case 20: rig_mixer_set(m, mx, tag, 0.5); break;                   // a long fade
    case 27: rig_mixer_set(m, mx, tag ^ 1, 0); break;                 // another rig's: silence, hold
    case 33: rig_mixer_mute(m); break;
    case 36: rig_mixer_set(m, mx, tag, 0); break;
    default: break;
  }
}

std::vector<float> inputs_block(int b) {
  std::vector<float> in(size_t(kMaxBlockFrames) * kInputs);
  for (int f = 0; f < kMaxBlockFrames; ++f)
    for (int i = 0; i < kInputs; ++i) {
      float v = 0.3f * std::sin(0.01f * float(f * (i + 1)) + float(b));
      if (f == 100 && i == 3) v = NAN;  // bad samples take the same path as good ones
      in[size_t(f * kInputs + i)] = v;
    }
  return in;
}

}  // namespace

TEST(RigRealtime, MixingInsideTheCaptureRoutineAllocatesNothingAndTakesNoLock) {
  EnginePtr e = make_engine(kRate, kInputs);
  auto mixer = std::make_unique<RigMixer>();
  const InputsMixer plugin{rig_mixer_plugin, mixer.get()};
  e->inputs_mixer = &plugin;
  e->armed = 1, e->monitor = 1;
  RigMixMatrix start;
  rig_default_matrix("alsa", kInputs, &start);
  const uint32_t tag = rig_stream_tag("alsa:x");
  std::vector<float> out(2 * kMaxBlockFrames);
  double heard = 0;
  for (int b = 0; b < 400; ++b) {
    control_step(mixer.get(), b, start, tag);
    const std::vector<float> in = inputs_block(b);
    tape_maintain(&e->tape, e->write_head.load(), kTapeAhead);
    SealedTake t;
    while (engine_next_sealed_take(e.get(), &t)) {
    }
    g_watching = true;
    capture_callback(in.data(), out.data(), kMaxBlockFrames, nullptr, 0, e.get());
    process_block(e.get(), nullptr, nullptr, 300);  // no input at all: silence
    g_watching = false;
    for (float v : out) heard += std::fabs(v);
  }
  EXPECT_EQ(g_allocations.load(), 0);
  EXPECT_EQ(g_locks.load(), 0);
  EXPECT_GT(heard, 0.0);
  RigMixerMeters m;
  rig_mixer_read(mixer.get(), &m);
  EXPECT_GT(m.bad_total, 0);
  EXPECT_EQ(m.inputs, kInputs);
  // The hooks do see what the libraries allocate: a new mixer counts.
  g_watching = true;
  delete new RigMixer{};
  g_watching = false;
  EXPECT_EQ(g_allocations.load(), 1);
}
