// Files on POSIX descriptors. file_write loops over partial writes and EINTR; a write that
// cannot complete is a failure, never a partial success.
#include "platform/file.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/paths.h"
#include "platform/text.h"

namespace {

std::atomic<int> g_fault_kind{0};
std::atomic<int> g_fault_skip{0};
std::atomic<int> g_fault_count{0};

// True when the operation of this kind should fail now.
bool fault_hits(FileFault kind) {
  if (g_fault_kind.load(std::memory_order_acquire) != int(kind)) return false;
  if (g_fault_skip.fetch_sub(1, std::memory_order_acq_rel) > 0) return false;
  int left = g_fault_count.load(std::memory_order_acquire);
  if (left == 0) return false;
  if (left > 0) g_fault_count.fetch_sub(1, std::memory_order_acq_rel);
  return true;
}

bool write_fault_hits(FileFault* which) {
  for (FileFault k : {FileFault::kWrite, FileFault::kShortWrite, FileFault::kDiskFull})
    if (fault_hits(k)) {
      *which = k;
      return true;
    }
  return false;
}

}  // namespace

void file_fault_set(FileFault kind, int skip, int count) {
  g_fault_kind.store(0, std::memory_order_release);
  g_fault_skip.store(skip, std::memory_order_release);
  g_fault_count.store(count, std::memory_order_release);
  g_fault_kind.store(int(kind), std::memory_order_release);
}

void file_fault_clear() { g_fault_kind.store(0, std::memory_order_release); }

int file_identity(const char* path, FileIdentity* out) {
  struct stat st;
  if (stat(path, &st) != 0) return -1;
  out->device = uint64_t(st.st_dev);
  out->inode = uint64_t(st.st_ino);
  out->size_bytes = int64_t(st.st_size);
  out->mtime_ns = int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  return 0;
}

int set_file_mtime(const char* path, int64_t mtime_ns) {
  timespec times[2];
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;
  times[1].tv_sec = time_t(mtime_ns / 1000000000);
  times[1].tv_nsec = long(mtime_ns % 1000000000);
  return utimensat(AT_FDCWD, path, times, 0) == 0 ? 0 : -1;
}

int file_create(FileWriter* f, const char* path) {
  f->fd = -1;
  if (fault_hits(FileFault::kCreate)) {
    errno = EACCES;
    return -1;
  }
  int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return -1;
  f->fd = fd;
  return 0;
}

int file_create_private(FileWriter* f, const char* path) {
  f->fd = -1;
  if (fault_hits(FileFault::kCreate)) {
    errno = EACCES;
    return -1;
  }
  int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return -1;
  if (fchmod(fd, 0600) != 0) {
    close(fd);
    return -1;
  }
  f->fd = fd;
  return 0;
}

int file_create_new(FileWriter* f, const char* path) {
  f->fd = -1;
  if (fault_hits(FileFault::kCreate)) {
    errno = EACCES;
    return -1;
  }
  int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0) return -1;
  f->fd = fd;
  return 0;
}

int file_rename(const char* from, const char* to) {
  if (fault_hits(FileFault::kRename)) {
    errno = EBUSY;
    return -1;
  }
  return rename(from, to) == 0 ? 0 : -1;
}

int file_rename_new(const char* from, const char* to) {
  if (fault_hits(FileFault::kRename)) {
    errno = EBUSY;
    return -1;
  }
  if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return -1;
  // A file system without RENAME_NOREPLACE: a hard link refuses an existing name just as well.
  if (link(from, to) == 0) {
    unlink(from);
    return 0;
  }
  if (errno != EPERM && errno != ENOTSUP && errno != EOPNOTSUPP) return -1;
  // Nor hard links (FAT on a card or a stick): a check, then the rename.
  struct stat st;
  if (lstat(to, &st) == 0) {
    errno = EEXIST;
    return -1;
  }
  return rename(from, to) == 0 ? 0 : -1;
}

int file_write(FileWriter* f, const void* data, size_t bytes) {
  if (f->fd < 0) return -1;
  const char* p = static_cast<const char*>(data);
  FileFault injected = FileFault::kNone;
  if (bytes > 0 && write_fault_hits(&injected)) {
    if (injected == FileFault::kShortWrite) {
      ssize_t ignored = write(f->fd, p, bytes / 2);
      (void)ignored;
      errno = ENOSPC;
    } else {
      errno = injected == FileFault::kDiskFull ? ENOSPC : EIO;
    }
    return -1;
  }
  while (bytes > 0) {
    ssize_t n = write(f->fd, p, bytes);
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (n == 0) {
      errno = ENOSPC;
      return -1;
    }
    p += n;
    bytes -= size_t(n);
  }
  return 0;
}

int file_seek(FileWriter* f, int64_t offset_bytes) {
  if (f->fd < 0) return -1;
  return lseek(f->fd, off_t(offset_bytes), SEEK_SET) == off_t(offset_bytes) ? 0 : -1;
}

int file_sync(FileWriter* f) {
  if (f->fd < 0) return -1;
  return fsync(f->fd) == 0 ? 0 : -1;
}

void file_start_writeback(FileWriter* f, int64_t offset_bytes, int64_t bytes) {
  if (f->fd >= 0 && bytes > 0) sync_file_range(f->fd, off64_t(offset_bytes), off64_t(bytes), SYNC_FILE_RANGE_WRITE);
}

int file_close(FileWriter* f) {
  if (f->fd < 0) return -1;
  int r = close(f->fd);
  f->fd = -1;
  return r == 0 ? 0 : -1;
}

int sync_dir(const char* path) {
  if (fault_hits(FileFault::kDirSync)) {
    errno = EIO;
    return -1;
  }
  int fd = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return -1;
  int r = fsync(fd);
  close(fd);
  return r == 0 ? 0 : -1;
}

int replace_file_whole(const char* path, const void* data, size_t bytes) {
  // A symbolic link (a settings file kept elsewhere, say) stays a link: its target is replaced,
  // keeping the target's permissions.
  char target[4096];
  struct stat st;
  const char* dest = path;
  if (lstat(path, &st) == 0 && S_ISLNK(st.st_mode) && realpath(path, target)) dest = target;
  const bool existed = stat(dest, &st) == 0;
  char tmp[4096];
  if (temporary_path(tmp, sizeof tmp, dest) != 0) return -1;
  FileWriter f;
  if (file_create(&f, tmp) != 0) return -1;
  bool ok = !existed || fchmod(f.fd, st.st_mode & 07777) == 0;
  ok = ok && file_write(&f, data, bytes) == 0 && file_sync(&f) == 0;
  ok = (file_close(&f) == 0) && ok;
  if (!ok || rename(tmp, dest) != 0) {
    unlink(tmp);
    return -1;
  }
  char dir[4096];
  text_copy(dir, sizeof dir, dest);
  char* slash = strrchr(dir, '/');
  if (slash) {
    if (slash == dir) slash[1] = 0;
    else *slash = 0;
    sync_dir(dir);
  } else {
    sync_dir(".");
  }
  return 0;
}

int temporary_path(char* out, size_t cap, const char* path) {
  const int n = snprintf(out, cap, "%s.tmp-%d", path, int(getpid()));
  if (n < 0 || size_t(n) >= cap) {
    if (cap > 0) out[0] = 0;
    return -1;
  }
  return 0;
}

bool is_temporary_name(const char* name, int* pid) {
  const char* mark = strstr(name, ".tmp-");
  if (!mark || mark == name) return false;
  for (const char* later = strstr(mark + 1, ".tmp-"); later; later = strstr(later + 1, ".tmp-")) mark = later;
  const char* digits = mark + 5;
  long value = 0;
  const char* p = digits;
  for (; *p >= '0' && *p <= '9' && value < 100000000; ++p) value = value * 10 + (*p - '0');
  if (p == digits || *p) return false;
  if (pid) *pid = int(value);
  return true;
}

int sweep_temporary_files(const char* folder) {
  struct Sweep {
    const char* folder;
    int removed;
  } sweep{folder, 0};
  list_dir(
      folder,
      [](const DirEntry& e, void* ctx) {
        auto* sw = static_cast<Sweep*>(ctx);
        int pid = 0;
        if (e.is_dir || !is_temporary_name(e.name, &pid)) return true;
        // A process that still runs may be about to rename it.
        if (pid == int(getpid()) || (pid > 0 && (kill(pid_t(pid), 0) == 0 || errno == EPERM))) return true;
        char path[4096];
        if (snprintf(path, sizeof path, "%s/%s", sw->folder, e.name) < int(sizeof path) && unlink(path) == 0)
          ++sw->removed;
        return true;
      },
      &sweep);
  return sweep.removed;
}

int read_file_whole(const char* path, char** data, size_t* bytes, size_t max_bytes) {
  *data = nullptr;
  *bytes = 0;
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return -1;
  }
  if (uint64_t(st.st_size) > max_bytes) {
    close(fd);
    return -2;
  }
  size_t cap = size_t(st.st_size);
  char* buf = static_cast<char*>(malloc(cap + 1));
  if (!buf) {
    close(fd);
    return -1;
  }
  size_t got = 0;
  while (got < cap) {
    ssize_t n = read(fd, buf + got, cap - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += size_t(n);
  }
  close(fd);
  buf[got] = 0;
  *data = buf;
  *bytes = got;
  return 0;
}

void free_file_data(char* data) { free(data); }

int file_open_read(const char* path) {
  struct stat st;
  if (!path || stat(path, &st) != 0 || !(S_ISREG(st.st_mode) || S_ISFIFO(st.st_mode))) return -1;
  return open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
}

int64_t file_read(int fd, void* data, size_t bytes) {
  if (fault_hits(FileFault::kRead)) {
    errno = EIO;
    return -1;
  }
  for (;;) {
    const ssize_t n = read(fd, data, bytes);
    if (n < 0 && errno == EINTR) continue;
    return int64_t(n);
  }
}

int64_t file_read_size(int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return -1;
  return int64_t(st.st_size);
}

void file_read_close(int fd) {
  if (fd >= 0) close(fd);
}
