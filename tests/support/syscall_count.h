// Counts the system calls one thread makes. A seccomp filter on that thread traps every call; the
// SIGSYS handler counts it while counting is on and then makes the call itself, from a small
// trampoline the filter lets through, so the thread behaves exactly as before (it may also end,
// sleep or allocate as usual). Calls the C library answers without entering the kernel (the vDSO
// clocks) are, rightly, not counted. Linux x86-64 only.
#pragma once
#include <cstdint>

// Puts the filter on the calling thread (it stays for the thread's life). false when the kernel
// or the architecture refuses.
bool syscall_count_install();
// Counting on the calling thread starts and stops.
void syscall_count_watch(bool on);
// System calls counted on this thread, and the number of the last one (-1 when none).
int64_t syscall_count();
long syscall_count_last();
