// Library playback is real-time safe: blocks of the capture routine with the player mixed in -
// resampling, repeating a region, a loop too short to play, seeks, new buffers and unloads
// between blocks - make no allocation, take no lock and, in a child process sandboxed to allow
// nothing else, make no system call but the clock.
#include <gtest/gtest.h>

#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <pthread.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <algorithm>
#include <new>
#include <vector>

#include "capture/engine.h"
#include "library/playback.h"
#include "tests/capture/engine_fixture.h"
#include "tests/library/library_fixture.h"

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

// The capture routine at 48 kHz with the player attached and a 44.1 kHz stereo buffer playing.
struct Workload {
  EnginePtr e = make_engine(48000);
  PlaybackEngine player;
  std::vector<float> in = std::vector<float>(2 * kMaxBlockFrames, 0.01f);
  std::vector<float> out = std::vector<float>(2 * kMaxBlockFrames);
  Workload() {
    e->monitor = 1;
    install(44100, 2, 44100 * 3);
    playback_attach(&player);
  }
  ~Workload() {
    playback_attach(nullptr);
    playback_destroy(&player);
  }
  void install(double rate, int channels, int64_t frames) {
    AudioBuffer b = make_buffer(channels, rate, ramp(channels, frames));
    playback_install(&player, &b, true);
  }
  // Between blocks, on the main thread: what the player's controls do (allowed to allocate).
  PlaybackBuffer* filling = nullptr;
  void steer(int b) {
    if (b % 40 == 0) install(b % 80 == 0 ? 22050 : 96000, 1 + b % 2, 20000 + b);
    if (b % 40 == 13) {  // a file still being read: the blocks catch up with it
      filling = playback_buffer_new(2, 48000, 50000);
      std::fill(filling->audio.samples, filling->audio.samples + 2 * 1000, 0.25f);
      filling->ready.store(1000);
      playback_install_buffer(&player, filling, true);
    }
    if (b % 40 == 15 && filling) {
      std::fill(filling->audio.samples, filling->audio.samples + 2 * 50000, 0.25f);
      filling->ready.store(50000);
      filling->complete.store(1);
      filling->writing.store(0);
      filling = nullptr;
    }
    if (b % 40 == 5) playback_set_repeat(&player, true);
    if (b % 40 == 9) playback_set_region(&player, 0.2, 0.3, true), playback_seek(&player, 0.25);
    if (b % 40 == 17) playback_set_region(&player, 0.5, 0.50001, true), playback_seek(&player, 0.5);  // too short
    if (b % 40 == 23) playback_seek(&player, 0.99), playback_set_repeat(&player, false);
    if (b % 40 == 31) playback_play(&player);
    if (b % 40 == 37) playback_unload(&player);
    playback_collect(&player);
  }
};

}  // namespace

TEST(PlaybackRealtime, BlocksWithThePlayerAllocateNothingAndTakeNoLock) {
  Workload w;
  int stalled = 0, ended = 0;
  for (int b = 0; b < 1200; ++b) {
    w.steer(b);
    tape_maintain(&w.e->tape, w.e->write_head.load(), kTapeAhead);
    const int frames = b % 3 == 0 ? kMaxBlockFrames : 97;
    g_watching = true;
    capture_callback(w.in.data(), w.out.data(), unsigned(frames), nullptr, 0, w.e.get());
    engine_render(&w.player, w.out.data(), w.out.data() + kMaxBlockFrames, 64, 44100);
    g_watching = false;
    stalled += w.player.stalled;
    ended += playback_ended(&w.player);
  }
  EXPECT_EQ(g_allocations.load(), 0);
  EXPECT_EQ(g_locks.load(), 0);
  EXPECT_GT(stalled, 0);  // the loop too short to play was met, and passed through
  EXPECT_GT(ended, 0);
  // The hooks do see what the libraries allocate: an install counts.
  g_watching = true;
  w.install(48000, 2, 100);
  g_watching = false;
  EXPECT_GE(g_allocations.load(), 1);
}

TEST(PlaybackRealtime, BlocksWithThePlayerMakeNoSystemCallButTheClock) {
  Workload w;  // not armed: the blocks write nothing to the tape
  playback_set_repeat(&w.player, true);
  fflush(nullptr);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_clock_gettime, 3, 0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_exit_group, 2, 0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_exit, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog prog{sizeof filter / sizeof filter[0], filter};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) _exit(3);
    if (syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, &prog) != 0) _exit(4);
    for (int b = 0; b < 300; ++b) {
      if (b == 100) playback_set_region(&w.player, 0.1, 0.1000001, true), playback_seek(&w.player, 0.1);
      if (b == 200) playback_set_region(&w.player, 0.1, 0.2, true), playback_seek(&w.player, 0.1);
      capture_callback(w.in.data(), w.out.data(), kMaxBlockFrames, nullptr, 0, w.e.get());
    }
    syscall(SYS_exit_group, w.player.position > 0.1 * 44100 * 3 ? 0 : 5);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_FALSE(WIFSIGNALED(status)) << "killed by signal " << WTERMSIG(status) << " (a forbidden system call)";
  EXPECT_EQ(WEXITSTATUS(status), 0);
}
