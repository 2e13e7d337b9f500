// The station's audio side is real-time safe: pushes through the output tap's fan-out, written
// as they come and resampled (long blocks at low rates in slices), with a listener connected and
// the worker running beside them, allocate nothing and take no lock on the pushing thread.
#include <gtest/gtest.h>

#include <pthread.h>

#include <cmath>
#include <cstdlib>
#include <new>
#include <vector>

#include "capture/tap_fanout.h"
#include "tests/net/listener_client.h"
#include "tests/net/station_fixture.h"

// Counting hooks for the watched thread only (the worker and Avahi's thread live their own lives):
// operator new is replaced here; malloc, calloc, realloc and pthread_mutex_lock are wrapped at
// link time.
namespace {
thread_local bool t_watching = false;
int g_allocations = 0;
int g_locks = 0;
}  // namespace

extern "C" {
void* __real_malloc(size_t);
void* __real_calloc(size_t, size_t);
void* __real_realloc(void*, size_t);
void __real_free(void*);
int __real_pthread_mutex_lock(pthread_mutex_t*);
void __wrap_free(void* p) { __real_free(p); }
void* __wrap_malloc(size_t n) {
  if (t_watching) ++g_allocations;
  return __real_malloc(n);
}
void* __wrap_calloc(size_t n, size_t s) {
  if (t_watching) ++g_allocations;
  return __real_calloc(n, s);
}
void* __wrap_realloc(void* p, size_t n) {
  if (t_watching) ++g_allocations;
  return __real_realloc(p, n);
}
int __wrap_pthread_mutex_lock(pthread_mutex_t* m) {
  if (t_watching) ++g_locks;
  return __real_pthread_mutex_lock(m);
}
}

void* operator new(size_t n) {
  if (t_watching) ++g_allocations;
  if (void* p = __real_malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
void* operator new[](size_t n) { return operator new(n); }
void operator delete(void* p) noexcept { __real_free(p); }
void operator delete[](void* p) noexcept { __real_free(p); }
void operator delete(void* p, size_t) noexcept { __real_free(p); }
void operator delete[](void* p, size_t) noexcept { __real_free(p); }

TEST(StationRealtime, PushesAllocateNothingAndTakeNoLock) {
  StationRig rig;
  ASSERT_TRUE(rig.start());
  ListenerClient c;
  ASSERT_TRUE(c.connect_to(rig.port()));
  ASSERT_TRUE(rig.wait_listeners(1));
  TapFanout fan;
  tap_fanout_init(&fan);
  ASSERT_EQ(tap_fanout_add(&fan, station_output_tap(rig.s.get())), 0);
  const OutputTap* tap = tap_fanout_tap(&fan);
  std::vector<float> block(2 * 4096);
  for (size_t i = 0; i < block.size(); ++i) block[i] = 0.3f * std::sin(0.01f * float(i));
  const int rates[] = {48000, 44100, 22050, 96000};
  const int sizes[] = {64, 256, 4096};
  int64_t frames = 0;
  for (int round = 0; round < 40; ++round) {
    const int rate = rates[round % 4], n = sizes[round % 3];
    t_watching = true;
    tap->fn(tap->ctx, block.data(), n, rate);
    t_watching = false;
    frames += n;
    LmMessage m;
    while (c.next(&m, 1)) {
    }
  }
  EXPECT_EQ(g_allocations, 0);
  EXPECT_EQ(g_locks, 0);
  EXPECT_GT(rig.s->write_count.load(), frames / 2);
  tap_fanout_remove(&fan, station_output_tap(rig.s.get()));
}
