// The capture routine is real-time safe: thousands of blocks that open and close takes, roll
// into new tape chunks, fold the overview and run every plug-in make no allocation, take no lock
// and — in a child process sandboxed to allow nothing else — make no system call but the clock.
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
#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <memory>
#include <new>
#include <vector>

#include "capture/engine.h"
#include "tests/capture/engine_fixture.h"

// Counting hooks: operator new is replaced here; malloc, calloc, realloc and pthread_mutex_lock
// are wrapped at link time (-Wl,--wrap=...), so calls from the capture library land here too.
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

struct Plugins {
  static int hook(void*, float* l, float* r, int n, int) {
    for (int i = 0; i < n; ++i) l[i] *= 1.0f, r[i] *= 1.0f;
    return 0;  // looks at the block, leaves the device input in place
  }
  static void tap(void* ctx, const float* stereo, int n, int) {
    auto* sum = static_cast<double*>(ctx);
    for (int i = 0; i < 2 * n; ++i) *sum += std::fabs(stereo[i]);
  }
  static void player(void*, float* l, float* r, int n, int) {
    for (int i = 0; i < n; ++i) l[i] += 0.001f, r[i] -= 0.001f;
  }
};

// Bursts and quiet at 8 kHz in 4,096-frame blocks: takes open and close, the tape rolls through
// chunks and the overview folds (more than 4,096 x 1,024 frames are recorded).
struct Workload {
  EnginePtr e = make_engine(8000);
  std::vector<float> block = std::vector<float>(2 * kMaxBlockFrames);
  std::vector<float> out = std::vector<float>(2 * kMaxBlockFrames);
  double tapped = 0;
  InputHook hook{Plugins::hook, nullptr};
  OutputTap tap{Plugins::tap, &tapped};
  PlayerMix player{Plugins::player, nullptr};
  Workload() {
    e->armed = 1, e->monitor = 1, e->normalize_monitor = 1;
    e->hpf_hz = 80, e->lpf_hz = 3000, e->peak_hz = 1000;
    e->look_back_frames = 8000, e->post_roll_frames = 2000;
    e->input_hook = &hook;
    e->output_tap = &tap;
    capture_set_player_mix(&player);
  }
  ~Workload() { capture_set_player_mix(nullptr); }
  void fill(int b) {
    const bool loud = (b % 6) < 2;
    for (int i = 0; i < kMaxBlockFrames; ++i) {
      float v = (loud ? 0.5f : 0.001f) * std::sin(0.3f * float(i) + float(b));
      block[size_t(2 * i)] = v, block[size_t(2 * i + 1)] = -v;
    }
  }
};

}  // namespace

TEST(Realtime, BlocksAllocateNothingAndTakeNoLock) {
  Workload w;
  for (int b = 0; b < 1400; ++b) {
    w.fill(b);
    if (b % 100 == 7) w.e->cull_request = 1;
    if (b % 250 == 9) w.e->seek_request = 0, w.e->play_tape = 1;
    tape_maintain(&w.e->tape, w.e->write_head.load(), kTapeAhead);  // the allocator's part
    SealedTake t;
    while (engine_next_sealed_take(w.e.get(), &t)) {
    }
    g_watching = true;
    capture_callback(w.block.data(), w.out.data(), kMaxBlockFrames, nullptr, 0, w.e.get());
    process_block(w.e.get(), w.block.data(), nullptr, 512);
    g_watching = false;
  }
  EXPECT_EQ(g_allocations.load(), 0);
  EXPECT_EQ(g_locks.load(), 0);
  EXPECT_GT(w.e->takes_closed.load(), 100);
  EXPECT_GE(w.e->overview_bucket.load(), 2048);
  EXPECT_GT(w.tapped, 0.0);
  // The hooks do see what the capture library allocates: setting up an engine counts.
  auto other = std::make_unique<CaptureEngine>();
  g_watching = true;
  ASSERT_EQ(capture_engine_init(other.get(), 8000), 0);
  g_watching = false;
  capture_engine_free(other.get());
  EXPECT_GE(g_allocations.load(), 8);
}

TEST(Realtime, BlocksMakeNoSystemCallButTheClock) {
  Workload w;
  // Everything the blocks will write into is present before the sandbox closes.
  tape_maintain(&w.e->tape, 0, 2000);
  ASSERT_EQ(w.e->tape.allocated_frontier.load(), int64_t(2000) * w.e->tape.chunk_frames);
  std::vector<std::vector<float>> blocks(6);
  for (int b = 0; b < 6; ++b) {
    w.fill(b);
    blocks[size_t(b)] = w.block;
  }
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
    for (int b = 0; b < 600; ++b)
      capture_callback(blocks[size_t(b % 6)].data(), w.out.data(), kMaxBlockFrames, nullptr, 0, w.e.get());
    syscall(SYS_exit_group, w.e->takes_closed.load() > 10 ? 0 : 5);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_FALSE(WIFSIGNALED(status)) << "killed by signal " << WTERMSIG(status) << " (a forbidden system call)";
  EXPECT_EQ(WEXITSTATUS(status), 0);
}
