// eventfd and inotify, waited for with poll.
#include "platform/watch.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

int wake_event_open(WakeEvent* e) {
  e->fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  return e->fd >= 0 ? 0 : -1;
}

void wake_event_signal(WakeEvent* e) {
  if (e->fd < 0) return;
  const uint64_t one = 1;
  ssize_t ignored = write(e->fd, &one, sizeof one);  // only fails when the counter is saturated: still set
  (void)ignored;
}

void wake_event_close(WakeEvent* e) {
  if (e->fd >= 0) close(e->fd);
  e->fd = -1;
}

int folder_watch_open(FolderWatch* w, const char* folder) {
  w->fd = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  if (w->fd < 0) return -1;
  const uint32_t mask = IN_CLOSE_WRITE | IN_MOVED_TO | IN_CREATE | IN_DELETE | IN_DELETE_SELF | IN_MOVE_SELF |
                        IN_ONLYDIR;
  if (inotify_add_watch(w->fd, folder, mask) < 0) {
    folder_watch_close(w);
    return -1;
  }
  return 0;
}

void folder_watch_close(FolderWatch* w) {
  if (w->fd >= 0) close(w->fd);
  w->fd = -1;
}

namespace {

// Reads every queued event; returns kWaitChanged / kWaitGone bits, or -1 on a read failure.
int drain(FolderWatch* w, const char* name) {
  int bits = 0;
  alignas(inotify_event) char buf[4096];
  for (;;) {
    const ssize_t n = read(w->fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN) return bits;
      return -1;
    }
    if (n == 0) return bits;
    for (ssize_t at = 0; at + ssize_t(sizeof(inotify_event)) <= n;) {
      const inotify_event* ev = reinterpret_cast<const inotify_event*>(buf + at);
      if (ev->mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED | IN_Q_OVERFLOW)) bits |= kWaitGone | kWaitChanged;
      else if (!name || (ev->len > 0 && strcmp(ev->name, name) == 0)) bits |= kWaitChanged;
      at += ssize_t(sizeof(inotify_event)) + ssize_t(ev->len);
    }
  }
}

}  // namespace

int wait_wake_or_change(WakeEvent* e, FolderWatch* w, const char* name, int timeout_ms) {
  pollfd fds[2];
  int n = 0;
  fds[n++] = pollfd{e->fd, POLLIN, 0};
  const bool watching = w && w->fd >= 0;
  if (watching) fds[n++] = pollfd{w->fd, POLLIN, 0};
  int r;
  do {
    r = poll(fds, nfds_t(n), timeout_ms < 0 ? 0 : timeout_ms);
  } while (r < 0 && errno == EINTR);
  if (r < 0) return -1;
  int bits = 0;
  if (fds[0].revents & POLLIN) {
    uint64_t count;
    while (read(e->fd, &count, sizeof count) < 0 && errno == EINTR) {
    }
    bits |= kWaitWoken;
  }
  if (fds[0].revents & (POLLERR | POLLNVAL)) return -1;
  if (watching && fds[1].revents) {
    if (fds[1].revents & (POLLERR | POLLNVAL)) return -1;
    const int got = drain(w, name);
    if (got < 0) return -1;
    bits |= got;
  }
  return bits;
}
