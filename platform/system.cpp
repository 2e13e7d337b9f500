// Machine facts from /proc, statvfs, getrandom and gethostname.
#include "platform/system.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/random.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace {
std::atomic<uint64_t> g_fake_available{0};
}  // namespace

void available_memory_fake(uint64_t bytes) { g_fake_available.store(bytes, std::memory_order_relaxed); }

bool memory_allows(uint64_t bytes) {
  const uint64_t available = available_memory_bytes();
  return available == 0 || bytes <= available / 2;
}

uint64_t available_memory_bytes() {
  const uint64_t fake = g_fake_available.load(std::memory_order_relaxed);
  if (fake != 0) return fake;
  FILE* f = fopen("/proc/meminfo", "rb");
  if (!f) return 0;
  char line[256];
  uint64_t kb = 0;
  while (fgets(line, sizeof line, f)) {
    unsigned long long v = 0;
    if (sscanf(line, "MemAvailable: %llu kB", &v) == 1) {
      kb = v;
      break;
    }
  }
  fclose(f);
  return kb * 1024;
}

int64_t free_disk_bytes(const char* path) {
  struct statvfs st;
  if (statvfs(path, &st) != 0) return -1;
  return int64_t(st.f_bavail) * int64_t(st.f_frsize);
}

int random_bytes(void* buf, size_t bytes) {
  char* p = static_cast<char*>(buf);
  while (bytes > 0) {
    ssize_t n = getrandom(p, bytes, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    p += n;
    bytes -= size_t(n);
  }
  return 0;
}

void host_name(char* out, size_t cap) {
  if (cap == 0) return;
  char host[256] = "";
  if (gethostname(host, sizeof host - 1) != 0 || !host[0]) strcpy(host, "PC");
  size_t n = strlen(host);
  if (n > cap - 1) {
    n = cap - 1;
    while (n > 0 && (uint8_t(host[n]) & 0xC0) == 0x80) --n;  // never half a character
  }
  memcpy(out, host, n);
  out[n] = 0;
}
