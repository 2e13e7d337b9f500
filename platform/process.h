// Running another program as a child process: no shell, the arguments handed over as they are,
// its standard output (and on request its standard error) captured. Used for the desktop's file
// dialogs (zenity, kdialog), which also need telling "cancelled" from "could not show at all". Or
// started detached, to live on by itself (the sibling application).
// Thread-safe: yes; a run blocks the calling thread until the child has ended, and another
// thread may stop the child meanwhile; a detached start returns once the program is executing.
#pragma once
#include <atomic>
#include <cstddef>

constexpr int kProcessOk = 0;
constexpr int kProcessFailed = -1;    // a pipe, the spawn or the wait failed
constexpr int kProcessNotFound = -2;  // no such program on PATH, or not executable

struct ProcessResult {
  int exit_code;       // the child's exit status; -1 when a signal ended it
  size_t output_bytes; // bytes the child wrote to standard output, all of them (may exceed what was kept)
  int signal;          // the signal that ended it, 0 when it exited
};

// Runs argv[0] (looked up on PATH when it holds no '/') with the null-terminated argv. Standard
// input reads /dev/null. Standard output goes into out (capacity cap, always terminated when
// cap > 0); what does not fit is read and dropped, so the child never blocks on a full pipe.
// Standard error goes the same way into err (capacity err_cap) when err is given, else nowhere. A null out sends it to /dev/null instead, so a program that starts a
// long-lived one of its own (a file manager) is not waited for through the pipe it inherits.
// While the child runs its pid is in *child (when given; 0 otherwise), for stop_process.
// Returns kProcessOk once the child has ended (its status in *result), kProcessNotFound, or
// kProcessFailed.
int run_process(const char* const argv[], char* out, size_t cap, ProcessResult* result,
                std::atomic<int>* child = nullptr, char* err = nullptr, size_t err_cap = 0);

// The executable file a program name stands for: as given when it holds a '/', else the first
// match on PATH followed by the folders in `extra` (':'-separated, may be null), such as the system
// folders a user's PATH leaves out. true with the path in out, else false.
bool find_program(const char* name, const char* extra, char* out, size_t cap);

// Asks the child a run_process is waiting for to end (SIGTERM). Nothing when none runs. The run
// does not reap the child while this signals it, so the signal never reaches a recycled pid.
void stop_process(std::atomic<int>* child);

// How a desktop dialog program ended. zenity also exits with 1, the status of a cancel, when it
// cannot reach a display at all, and kdialog then aborts: only what they say on standard error
// tells those apart from a user who closed the dialog.
enum class DialogEnd {
  kAnswered,   // exited 0: its standard output is the answer
  kCancelled,  // the user cancelled or closed it, or it was stopped (stop_process)
  kNotShown,   // it could not show itself here; another program may
};
// From a run's result and the standard error it captured (may be null). Thread-safe: yes.
DialogEnd dialog_end(const ProcessResult& result, const char* err);

// Starts argv[0] (looked up on PATH when it holds no '/') with the null-terminated argv and lets
// it go: it runs in a session of its own with standard input, output and error on /dev/null and
// none of this process's other descriptors, is never waited for, and leaves no zombie behind (an
// intermediate child that ends at once hands it to init). Returns kProcessOk once the program is
// executing, kProcessNotFound when it is missing or not executable, kProcessFailed otherwise.
int spawn_detached(const char* const argv[]);
