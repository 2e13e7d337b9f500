// The Link channel's audio side is real-time safe: publishing the monitor and reading a channel of
// another instance, with both network threads and the Link session running beside them, allocate
// nothing, take no lock and make no system call on the audio thread, while the audio does arrive.
// Root only, inside a loopback-only network namespace.
#include <gtest/gtest.h>

#include <pthread.h>

#include <cmath>
#include <cstdlib>
#include <new>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "tests/net/link_fixture.h"
#include "tests/support/syscall_count.h"

// Counting hooks for the watched thread only: operator new is replaced here; malloc, calloc,
// realloc and pthread_mutex_lock are wrapped at link time.
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
void* operator new(size_t n, const std::nothrow_t&) noexcept {
  if (t_watching) ++g_allocations;
  return __real_malloc(n ? n : 1);
}
void* operator new[](size_t n, const std::nothrow_t& t) noexcept { return operator new(n, t); }
void operator delete(void* p) noexcept { __real_free(p); }
void operator delete[](void* p) noexcept { __real_free(p); }
void operator delete(void* p, size_t) noexcept { __real_free(p); }
void operator delete[](void* p, size_t) noexcept { __real_free(p); }

TEST(LinkRealtime, PublishingAndReadingAllocateNothingLockNothingAndCallNoSystem) {
  LINK_TEST_GUARD();
  LinkRig a("tolm \xC2\xB7 a", 1024), b("tolm \xC2\xB7 b", 1024);
  ASSERT_TRUE(link_set_on(a.get(), true));
  ASSERT_TRUE(link_set_on(b.get(), true));
  ASSERT_TRUE(a.follow_until([&] { return link_channel_count(a.get()) == 1; }));
  char msg[96];
  link_step_command(a.get(), 1, msg, sizeof msg);
  ASSERT_EQ(a->source_active.load(), 1);

  // One thread stands in for both audio callbacks: B publishes blocks of changing sizes (one too
  // long to publish), A reads them at 48 kHz, paced by the clock alone (sleeping is a system call).
  int64_t syscalls = -1;
  long last_syscall = -1;
  float loudest = 0;
  int64_t published_before = 0, published_long = 0, publishable = 0;
  std::thread audio([&] {
    if (!syscall_count_install()) return;
    std::vector<float> block(2 * 2048), l(2048), r(2048);
    for (size_t i = 0; i < block.size(); ++i) block[i] = 0.4f * float(std::sin(0.0573 * double(i / 2)));
    const int sizes[] = {64, 256, 1024, 2048, 256};
    const int64_t start = mono_ns();
    int64_t frames = 0;
    published_before = b->published.load();
    syscall_count_watch(true);
    t_watching = true;
    for (int round = 0; frames < 3 * 48000; ++round) {
      const int n = sizes[round % 5];
      while (mono_ns() - start < int64_t(double(frames) * 1e9 / 48000)) {
      }
      if (n > 1024) {
        const int64_t p = b->published.load();
        link_publish(b.get(), block.data(), n, 48000);
        published_long += b->published.load() - p;
      } else {
        link_publish(b.get(), block.data(), n, 48000);
        ++publishable;
      }
      link_read_input(a.get(), l.data(), r.data(), n, 48000);
      for (int i = 0; i < n; ++i) loudest = std::max(loudest, std::fabs(l[size_t(i)]));
      frames += n;
    }
    t_watching = false;
    syscall_count_watch(false);
    syscalls = syscall_count();
    last_syscall = syscall_count_last();
  });
  audio.join();
  ASSERT_GE(syscalls, 0) << "seccomp refused";
  EXPECT_EQ(g_allocations, 0);
  EXPECT_EQ(g_locks, 0);
  EXPECT_EQ(syscalls, 0) << "the last was system call " << last_syscall;
  EXPECT_EQ(published_long, 0);                     // longer than the maximum block: not published
  EXPECT_EQ(b->published.load() - published_before, publishable);
  EXPECT_EQ(b->refused.load(), 0);
  EXPECT_NEAR(loudest, 0.4f, 0.01f);                // and A heard it
}
