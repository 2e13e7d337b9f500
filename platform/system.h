// Machine facts: available physical memory, free disk space, random bytes.
// Thread-safe: yes. Realtime-safe: no.
#pragma once
#include <cstddef>
#include <cstdint>

// MemAvailable of /proc/meminfo in bytes; 0 when unknown.
uint64_t available_memory_bytes();
// Bytes an unprivileged user may still write on the file system holding path; -1 when unknown.
int64_t free_disk_bytes(const char* path);
// Fills buf from the kernel's random source. 0 or -1.
int random_bytes(void* buf, size_t bytes);
