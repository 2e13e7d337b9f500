// Reading a small file that other programs share and may replace at any moment: never blocks on
// something that is not a regular file (a FIFO, a device), and never reads more than a cap.
// Thread-safe: yes.
#pragma once
#include <cstddef>
#include <cstdint>

constexpr int kSharedReadOk = 0;
constexpr int kSharedReadMissing = -1;   // no such file (or a folder on the way is missing)
constexpr int kSharedReadTooBig = -2;    // larger than max_bytes; *size_bytes holds its size
constexpr int kSharedReadNoMemory = -3;
constexpr int kSharedReadNotFile = -4;   // a folder, FIFO, socket or device
constexpr int kSharedReadFailed = -5;    // *error holds errno

// Reads the whole file into a new NUL-terminated buffer (free with free_file_data). size_bytes
// and error may be null.
int shared_file_read(const char* path, size_t max_bytes, char** data, size_t* bytes, int64_t* size_bytes,
                     int* error);
