// Files: identity and times, whole-file reading, checked writing with durable completion, a
// whole-file replace that never leaves a half-written file behind, and descriptors for streaming
// reads. Writes and streaming reads go through one place each so tests can make them fail
// (file_fault_set): a create that fails, a failing or short write, a full disk, a read that fails.
// Thread-safe: yes (each FileWriter and read descriptor belongs to one thread).
#pragma once
#include <cstddef>
#include <cstdint>

struct FileIdentity {
  uint64_t device;
  uint64_t inode;
  int64_t size_bytes;
  int64_t mtime_ns;  // last modification, nanoseconds since 1970
};

// 0 and the identity, or -1 when the path cannot be examined.
int file_identity(const char* path, FileIdentity* out);
// Sets a file's or folder's modification time (nanoseconds since 1970). 0 or -1.
int set_file_mtime(const char* path, int64_t mtime_ns);

struct FileWriter {
  int fd = -1;
};

int file_create(FileWriter* f, const char* path);                // create or truncate; 0 or -1
// Creates or truncates a file only its owner may read or write (mode 0600, also when it existed),
// for files that hold secrets. 0 or -1.
int file_create_private(FileWriter* f, const char* path);
// Creates a file that must not exist yet, never through a symbolic link (O_EXCL | O_NOFOLLOW);
// 0 or -1 with errno.
int file_create_new(FileWriter* f, const char* path);
int file_write(FileWriter* f, const void* data, size_t bytes);   // 0 only when every byte went out
int file_seek(FileWriter* f, int64_t offset_bytes);              // absolute; 0 or -1
int file_sync(FileWriter* f);                                    // fsync; 0 or -1
// Starts writing [offset, offset + bytes) back to disk without waiting, so a long file's final
// file_sync has little left to do. Advisory: failure is not an error.
void file_start_writeback(FileWriter* f, int64_t offset_bytes, int64_t bytes);
int file_close(FileWriter* f);                                   // 0 or -1; always closes
int sync_dir(const char* path);                                  // fsync a folder's entries

// Renames from over to (replacing it); 0 or -1 with errno.
int file_rename(const char* from, const char* to);
// Renames from to a name that must not exist yet; 0, or -1 with errno (EEXIST when taken).
int file_rename_new(const char* from, const char* to);

// Writes data to "<path>.tmp-<pid>", syncs it, renames it over path and syncs the folder.
// On failure the old file is untouched and no temporary file stays. 0 or -1.
int replace_file_whole(const char* path, const void* data, size_t bytes);

// The program's temporary names: "<path>.tmp-<pid>", where a file is written before it is
// renamed to its final name. temporary_path: 0, or -1 when it does not fit in cap.
int temporary_path(char* out, size_t cap, const char* path);
// True for a name of that form; *pid (when given) is the process that made it.
bool is_temporary_name(const char* name, int* pid = nullptr);
// Removes the temporary files in a folder whose process is gone (an interrupted write);
// returns how many went.
int sweep_temporary_files(const char* folder);

// Reads a whole file into a new buffer (free with free_file_data); at most max_bytes.
// 0, -1 when it cannot be opened or read, -2 when it is larger than max_bytes.
int read_file_whole(const char* path, char** data, size_t* bytes, size_t max_bytes);
void free_file_data(char* data);

// Opens a regular file or a FIFO for streaming reads, never blocking: a FIFO with no writer
// opens at once (and reads as ended), one whose writer is silent gives EAGAIN instead of waiting.
// Anything else (a folder, a device) is refused unopened. The descriptor, or -1.
int file_open_read(const char* path);
// One read of at most `bytes` (EINTR retried): the count, 0 at the end, or -1 with errno.
int64_t file_read(int fd, void* data, size_t bytes);
// Bytes in the file behind fd, or -1 for a FIFO or when unknown.
int64_t file_read_size(int fd);
void file_read_close(int fd);

// Test hook: the kind of failure injected into file_create(_new) / file_write / file_read /
// file_rename(_new) / sync_dir.
enum class FileFault {
  kNone,
  kCreate,      // file_create fails (EACCES)
  kWrite,       // file_write fails before writing anything (EIO)
  kShortWrite,  // file_write writes half of its bytes and reports the shortfall
  kDiskFull,    // file_write fails with ENOSPC
  kDirSync,     // sync_dir fails (EIO)
  kRead,        // file_read (and shared_file_read) fails (EIO), as on a failing disk or a dropped share
  kRename,      // file_rename / file_rename_new fail as if another program held the file (EBUSY)
};
// After `skip` successful operations of that kind, the next ones fail; `count` of them
// (negative = until cleared). Applies to every thread.
void file_fault_set(FileFault kind, int skip, int count);
void file_fault_clear();
