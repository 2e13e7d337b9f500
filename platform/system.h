// Machine facts: available physical memory, free disk space, random bytes, the host name.
// Thread-safe: yes. Realtime-safe: no.
#pragma once
#include <cstddef>
#include <cstdint>

// MemAvailable of /proc/meminfo in bytes; 0 when unknown.
uint64_t available_memory_bytes();
// Whether a buffer fed by outside input (a decoded file) may take `bytes` more: at most half of
// the memory available now, so a file that decodes to more than the machine has ends in a clean
// "out of memory" instead of the kernel ending the program. True when the figure is unknown.
bool memory_allows(uint64_t bytes);
// Test hook: report `bytes` as available (0: read /proc/meminfo again).
void available_memory_fake(uint64_t bytes);
// Bytes an unprivileged user may still write on the file system holding path; -1 when unknown.
int64_t free_disk_bytes(const char* path);
// Fills buf from the kernel's random source. 0 or -1.
int random_bytes(void* buf, size_t bytes);
// The computer's name as the network knows it (gethostname), cut to fit on a character boundary;
// "PC" when it has none. Always terminated when cap > 0.
void host_name(char* out, size_t cap);
