// Running another program as a child process: no shell, the arguments handed over as they are,
// its standard output captured. Used for the desktop's file dialogs (zenity, kdialog).
// Thread-safe: yes; a run blocks the calling thread until the child has ended.
#pragma once
#include <cstddef>

constexpr int kProcessOk = 0;
constexpr int kProcessFailed = -1;    // a pipe, the spawn or the wait failed
constexpr int kProcessNotFound = -2;  // no such program on PATH, or not executable

struct ProcessResult {
  int exit_code;       // the child's exit status; -1 when a signal ended it
  size_t output_bytes; // bytes the child wrote to standard output, all of them (may exceed what was kept)
};

// Runs argv[0] (looked up on PATH when it holds no '/') with the null-terminated argv. Standard
// input reads /dev/null and standard error is discarded. Standard output goes into out (capacity
// cap, always terminated when cap > 0); what does not fit is read and dropped, so the child never
// blocks on a full pipe. Returns kProcessOk once the child has ended (its status in *result),
// kProcessNotFound, or kProcessFailed.
int run_process(const char* const argv[], char* out, size_t cap, ProcessResult* result);
