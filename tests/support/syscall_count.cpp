#include "tests/support/syscall_count.h"

#if defined(__x86_64__)
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <ucontext.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>

// The trampoline: (nr, a1..a6) in the System V order, moved into the kernel's. The filter lets
// through exactly the calls whose return address is the label after its syscall instruction.
extern "C" long tolm_syscall_trampoline(long nr, long a1, long a2, long a3, long a4, long a5, long a6);
extern "C" char tolm_syscall_trampoline_after[];
asm(R"(
  .text
  .globl tolm_syscall_trampoline
  .type tolm_syscall_trampoline, @function
tolm_syscall_trampoline:
  mov %rdi, %rax
  mov %rsi, %rdi
  mov %rdx, %rsi
  mov %rcx, %rdx
  mov %r8, %r10
  mov %r9, %r8
  mov 8(%rsp), %r9
  syscall
  .globl tolm_syscall_trampoline_after
tolm_syscall_trampoline_after:
  ret
  .size tolm_syscall_trampoline, .-tolm_syscall_trampoline
)");

namespace {

thread_local bool t_watching = false;
thread_local int64_t t_count = 0;
thread_local long t_last = -1;

void on_sigsys(int, siginfo_t* info, void* context) {
  greg_t* g = static_cast<ucontext_t*>(context)->uc_mcontext.gregs;
  if (t_watching) {
    ++t_count;
    t_last = info->si_syscall;
  }
  g[REG_RAX] = tolm_syscall_trampoline(info->si_syscall, g[REG_RDI], g[REG_RSI], g[REG_RDX], g[REG_R10], g[REG_R8],
                                       g[REG_R9]);
}

}  // namespace

bool syscall_count_install() {
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_sigaction = on_sigsys;
  sa.sa_flags = SA_SIGINFO;
  sigemptyset(&sa.sa_mask);
  if (sigaction(SIGSYS, &sa, nullptr) != 0) return false;
  const uint64_t ip = reinterpret_cast<uint64_t>(tolm_syscall_trampoline_after);
  const uint32_t ip_lo = uint32_t(ip), ip_hi = uint32_t(ip >> 32);
  sock_filter code[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_rt_sigreturn, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, instruction_pointer)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, ip_lo, 0, 3),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, instruction_pointer) + 4),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, ip_hi, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_TRAP),
  };
  sock_fprog prog{static_cast<unsigned short>(sizeof code / sizeof code[0]), code};
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return false;
  // Without SECCOMP_FILTER_FLAG_TSYNC the filter holds for this thread alone.
  return syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, &prog) == 0;
}

void syscall_count_watch(bool on) { t_watching = on; }
int64_t syscall_count() { return t_count; }
long syscall_count_last() { return t_last; }

#else

bool syscall_count_install() { return false; }
void syscall_count_watch(bool) {}
int64_t syscall_count() { return 0; }
long syscall_count_last() { return -1; }

#endif
