// Child processes through posix_spawnp: pipes for standard output and (when asked) standard error,
// /dev/null for input, a poll loop that drains both pipes whole, and a wait for the exit status.
// Detached programs through a double fork whose children only make async-signal-safe calls.
// Thread-safe: yes; everything here belongs to the calling thread.
#include "platform/process.h"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <linux/close_range.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <strings.h>

extern char** environ;

namespace {

constexpr size_t kDrainBytes = 4096;

// One pipe being read: what fits is kept in buf, everything is counted.
struct Drain {
  int fd;
  char* buf;
  size_t cap;
  size_t kept;
  size_t* total;  // may be null
};

// Reads the pipes to their ends together, so a child that fills one while the other is read
// never blocks.
void drain(Drain* d, int n) {
  char scratch[kDrainBytes];
  for (;;) {
    pollfd p[2];
    int open = 0;
    for (int i = 0; i < n; ++i)
      if (d[i].fd >= 0) p[open++] = pollfd{d[i].fd, POLLIN, 0};
    if (open == 0) break;
    if (poll(p, nfds_t(open), -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int k = 0; k < open; ++k) {
      if (!p[k].revents) continue;
      Drain* s = d;
      while (s->fd != p[k].fd) ++s;
      const ssize_t got = read(s->fd, scratch, sizeof scratch);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) {
        s->fd = -1;  // closed by the caller
        continue;
      }
      for (ssize_t i = 0; i < got; ++i)
        if (s->kept + 1 < s->cap) s->buf[s->kept++] = scratch[i];
      if (s->total) *s->total += size_t(got);
    }
  }
  for (int i = 0; i < n; ++i)
    if (d[i].cap > 0) d[i].buf[d[i].kept] = 0;
}

bool search_program(const char* name, const char* path, char* out, size_t cap);

// The executable file argv[0] names: as given when it holds a '/', else the first match on PATH
// (the shell's default when PATH is unset). Done before forking, so the children need no lookup.
bool resolve_program(const char* name, char* out, size_t cap) {
  const char* path = getenv("PATH");
  if (!path) path = "/usr/local/bin:/usr/bin:/bin";
  return search_program(name, path, out, cap);
}

// The same over the ':'-separated folders of path.
bool search_program(const char* name, const char* path, char* out, size_t cap) {
  struct stat st;
  const auto runnable = [&st](const char* file) {
    return stat(file, &st) == 0 && S_ISREG(st.st_mode) && access(file, X_OK) == 0;
  };
  if (strchr(name, '/')) {
    if (strlen(name) >= cap || !runnable(name)) return false;
    memcpy(out, name, strlen(name) + 1);
    return true;
  }
  const size_t name_len = strlen(name);
  for (const char* dir = path;; ++dir) {
    const char* end = strchrnul(dir, ':');
    const size_t dir_len = size_t(end - dir);
    // An empty entry is the current folder.
    const size_t need = (dir_len ? dir_len : 1) + 1 + name_len + 1;
    if (need <= cap) {
      size_t n = 0;
      if (dir_len) memcpy(out, dir, dir_len), n = dir_len;
      else out[n++] = '.';
      out[n++] = '/';
      memcpy(out + n, name, name_len + 1);
      if (runnable(out)) return true;
    }
    if (!*end) break;
    dir = end;
  }
  return false;
}

void write_errno(int fd, int err) {
  ssize_t n;
  do {
    n = write(fd, &err, sizeof err);
  } while (n < 0 && errno == EINTR);
}

}  // namespace

bool find_program(const char* name, const char* extra, char* out, size_t cap) {
  if (!name || !name[0]) return false;
  if (resolve_program(name, out, cap)) return true;
  return extra && extra[0] && !strchr(name, '/') && search_program(name, extra, out, cap);
}

int run_process(const char* const argv[], char* out, size_t cap, ProcessResult* result, std::atomic<int>* child,
                char* err, size_t err_cap) {
  if (!out) cap = 0;
  if (cap > 0) out[0] = 0;
  if (!err) err_cap = 0;
  if (err_cap > 0) err[0] = 0;
  *result = ProcessResult{-1, 0, 0};
  if (!argv || !argv[0] || !argv[0][0]) return kProcessNotFound;

  int fds[2] = {-1, -1};
  int efds[2] = {-1, -1};
  if (out && pipe2(fds, O_CLOEXEC) != 0) return kProcessFailed;
  if (err && pipe2(efds, O_CLOEXEC) != 0) {
    if (out) {
      close(fds[0]);
      close(fds[1]);
    }
    return kProcessFailed;
  }

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attr);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  if (out) posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);  // dup2 clears close-on-exec
  else posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  if (err) posix_spawn_file_actions_adddup2(&actions, efds[1], STDERR_FILENO);
  else posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  // The child starts with no blocked signals and SIGPIPE at its default, whatever this
  // process chose for itself.
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  pid_t pid = -1;
  const int spawned = posix_spawnp(&pid, argv[0], &actions, &attr, const_cast<char* const*>(argv), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  if (out) close(fds[1]);
  if (err) close(efds[1]);
  if (spawned != 0) {
    if (out) close(fds[0]);
    if (err) close(efds[0]);
    return spawned == ENOENT || spawned == EACCES || spawned == ENOEXEC || spawned == ENOTDIR ? kProcessNotFound
                                                                                              : kProcessFailed;
  }

  if (child) child->store(pid, std::memory_order_release);
  Drain pipes[2];
  int n = 0;
  if (out) pipes[n++] = Drain{fds[0], out, cap, 0, &result->output_bytes};
  if (err) pipes[n++] = Drain{efds[0], err, err_cap, 0, nullptr};
  drain(pipes, n);
  if (out) close(fds[0]);
  if (err) close(efds[0]);

  // Wait for the end without reaping, so the pid stays this child's until it has left *child.
  siginfo_t info{};
  int rc;
  do {
    rc = waitid(P_PID, id_t(pid), &info, WEXITED | WNOWAIT);
  } while (rc < 0 && errno == EINTR);
  // A stop_process holding the pid (negated) is let finish its signal first.
  if (child) {
    for (int expected = pid; !child->compare_exchange_weak(expected, 0, std::memory_order_acq_rel); expected = pid)
      sched_yield();
  }
  int status = 0;
  pid_t waited;
  do {
    waited = waitpid(pid, &status, 0);
  } while (waited < 0 && errno == EINTR);
  if (rc != 0 || waited != pid) return kProcessFailed;
  result->exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  result->signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  return kProcessOk;
}

void stop_process(std::atomic<int>* child) {
  if (!child) return;
  int pid = child->load(std::memory_order_acquire);
  // Negated while signalling: the run does not reap the child (freeing its pid) until it is back.
  if (pid <= 0 || !child->compare_exchange_strong(pid, -pid, std::memory_order_acq_rel)) return;
  kill(pid_t(pid), SIGTERM);
  child->store(pid, std::memory_order_release);
}

DialogEnd dialog_end(const ProcessResult& result, const char* err) {
  if (result.signal == 0 && result.exit_code == 0) return DialogEnd::kAnswered;
  // GTK's "cannot open display: %s" (then exit 1), Qt's "could not connect to display" and its
  // abort for want of a platform plugin; none of them is translated.
  static const char* const kNoDisplay[] = {"open display", "connect to display", "no Qt platform plugin"};
  if (err)
    for (const char* phrase : kNoDisplay)
      for (const char* p = err; *p; ++p)
        if (strncasecmp(p, phrase, strlen(phrase)) == 0) return DialogEnd::kNotShown;
  if (result.signal != 0 || result.exit_code == 1) return DialogEnd::kCancelled;
  return DialogEnd::kNotShown;  // any other status: it did not come up as a dialog
}

int spawn_detached(const char* const argv[]) {
  if (!argv || !argv[0] || !argv[0][0]) return kProcessNotFound;
  char exe[PATH_MAX];
  if (!resolve_program(argv[0], exe, sizeof exe)) return kProcessNotFound;
  // The program's exec failure travels back through this pipe; a successful exec closes it.
  int fds[2] = {-1, -1};
  if (pipe2(fds, O_CLOEXEC) != 0) return kProcessFailed;
  const int devnull = open("/dev/null", O_RDWR | O_CLOEXEC);
  if (devnull < 0) {
    close(fds[0]);
    close(fds[1]);
    return kProcessFailed;
  }
  sigset_t none;
  sigemptyset(&none);

  const pid_t middle = fork();
  if (middle == 0) {
    // From here on only async-signal-safe calls: another thread may have held any lock at the fork.
    setsid();
    const pid_t pid = fork();
    if (pid == 0) {
      dup2(devnull, STDIN_FILENO);
      dup2(devnull, STDOUT_FILENO);
      dup2(devnull, STDERR_FILENO);
      // Everything else this process had open ends at the exec; the pipe already does.
      syscall(SYS_close_range, 3u, ~0u, unsigned(CLOSE_RANGE_CLOEXEC));
      struct sigaction dfl {};
      dfl.sa_handler = SIG_DFL;
      for (int sig = 1; sig < NSIG; ++sig) sigaction(sig, &dfl, nullptr);  // ignored ones too
      sigprocmask(SIG_SETMASK, &none, nullptr);
      execv(exe, const_cast<char* const*>(argv));
      write_errno(fds[1], errno);
      _exit(127);
    }
    if (pid < 0) write_errno(fds[1], errno);
    _exit(0);
  }
  close(fds[1]);
  close(devnull);
  if (middle < 0) {
    close(fds[0]);
    return kProcessFailed;
  }
  int err = 0;
  ssize_t n;
  do {
    n = read(fds[0], &err, sizeof err);
  } while (n < 0 && errno == EINTR);
  close(fds[0]);
  int status = 0;
  while (waitpid(middle, &status, 0) < 0 && errno == EINTR) {
  }
  if (n == ssize_t(sizeof err))
    return err == ENOENT || err == EACCES || err == ENOEXEC || err == ENOTDIR ? kProcessNotFound : kProcessFailed;
  return kProcessOk;
}
