// Opened O_NONBLOCK so a FIFO put in the file's place cannot hang the reader; only regular files
// are read, and a file that grows past the cap while being read is still refused.
#include "platform/shared_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/file.h"

int shared_file_read(const char* path, size_t max_bytes, char** data, size_t* bytes, int64_t* size_bytes,
                     int* error) {
  *data = nullptr;
  *bytes = 0;
  if (size_bytes) *size_bytes = 0;
  if (error) *error = 0;
  const int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    const int err = errno;
    if (error) *error = err;
    return err == ENOENT || err == ENOTDIR ? kSharedReadMissing : kSharedReadFailed;
  }
  struct stat st;
  if (fstat(fd, &st) != 0) {
    if (error) *error = errno;
    close(fd);
    return kSharedReadFailed;
  }
  if (!S_ISREG(st.st_mode)) {
    close(fd);
    return kSharedReadNotFile;
  }
  if (size_bytes) *size_bytes = int64_t(st.st_size);
  if (uint64_t(st.st_size) > max_bytes) {
    close(fd);
    return kSharedReadTooBig;
  }
  size_t cap = size_t(st.st_size) + 1;  // one more byte tells a file that grew
  if (cap > max_bytes + 1) cap = max_bytes + 1;
  char* buf = static_cast<char*>(malloc(cap + 1));
  if (!buf) {
    close(fd);
    return kSharedReadNoMemory;
  }
  size_t got = 0;
  for (;;) {
    if (got == cap) {
      if (cap > max_bytes) break;
      size_t more = cap * 2 > max_bytes + 1 ? max_bytes + 1 : cap * 2;
      char* grown = static_cast<char*>(realloc(buf, more + 1));
      if (!grown) {
        free(buf);
        close(fd);
        return kSharedReadNoMemory;
      }
      buf = grown;
      cap = more;
    }
    const int64_t n = file_read(fd, buf + got, cap - got);  // where tests inject a failing disk
    if (n < 0) {
      if (error) *error = errno;
      free(buf);
      close(fd);
      return kSharedReadFailed;
    }
    if (n == 0) break;
    got += size_t(n);
  }
  close(fd);
  if (got > max_bytes) {
    if (size_bytes) *size_bytes = int64_t(got);
    free(buf);
    return kSharedReadTooBig;
  }
  buf[got] = 0;
  *data = buf;
  *bytes = got;
  return kSharedReadOk;
}
