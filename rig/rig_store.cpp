// The rig store's worker and its queues. The application thread queues jobs and takes results
// under one reader-writer lock; the worker takes jobs off the queue under it and runs them
// outside it. The tracking table, the write buffer and the folder watch are the worker's alone.
// Between processes a rig's flock lock (named after its file) serialises loads, saves and the
// removal of stray temporary files; reads without the lock retry over half-written files.
#include "rig/rig_store.h"

#include <cerrno>
#include <climits>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <mutex>
#include <shared_mutex>
#include <thread>
#include <unistd.h>

#include "config/settings.h"
#include "platform/clock.h"
#include "platform/file.h"
#include "platform/lock.h"
#include "platform/paths.h"
#include "platform/shared_file.h"
#include "platform/system.h"
#include "platform/text.h"
#include "platform/thread.h"
#include "platform/watch.h"

namespace {

constexpr size_t kFileNameBytes = 64;
constexpr size_t kFilePathBytes = kPathCap + 96;
constexpr int kLockWaitMs = 2000;
constexpr int kReadAttempts = 4;         // a read that meets a held file: 4 tries, 30 ms apart
constexpr int kReadRetryMs = 30;
constexpr int kDecodeAttempts = 3;       // unlocked reads of a file that does not decode
constexpr int kDecodeRetryMs = 200;
constexpr int kRenameRetries = 5;
constexpr int kMaxDamagedSuffix = 99;
constexpr size_t kFirstWriteBytes = 98304;
constexpr size_t kWriteSlackBytes = 4096;
constexpr int kFailedWaitSleepMs = 50;
constexpr size_t kDamagedMessageBytes = 119;

struct Job {
  bool save = false;
  uint32_t ids[kRigStoreMaxJobIds] = {};
  int id_count = 0;
  char key[kRigKeyBytes] = {};
  RigDoc* doc = nullptr;  // owned
  RigChanges masks{};
  double enqueued_s = 0;
};

struct Tracking {
  char key[kRigKeyBytes];
  int64_t rev;
  char instance[kRigInstanceBytes];
  bool exists;
  FileIdentity identity;
  bool used;        // loaded or saved: worth watching
  bool good;        // the last check read it well
  bool bad_logged;  // "ignored a change" said once until a good read
  uint64_t stamp;   // least recently used goes first
};

RigDoc* new_doc() {
  RigDoc* d = static_cast<RigDoc*>(calloc(1, sizeof(RigDoc)));
  if (d) rig_reset(d);
  return d;
}

void delete_doc(RigDoc* d) {
  if (!d) return;
  rig_free(d);
  free(d);
}

void delete_job(Job* j) {
  if (!j) return;
  delete_doc(j->doc);
  delete j;
}

}  // namespace

struct RigStore {
  // Set at open, read by both threads.
  char folder[kPathCap] = {};
  char app[kRigAppBytes] = {};
  char app_version[kRigVersionBytes] = {};
  char instance[kRigInstanceBytes] = {};
  void (*log_fn)(void*, const char*) = nullptr;
  void* log_user = nullptr;
  double (*clock_fn)(void*) = nullptr;
  void* clock_user = nullptr;
  int poll_ms = 1000;
  bool no_watch = false;
  double opened_s = 0;

  // Guarded by lock.
  std::shared_mutex lock;
  std::condition_variable_any changed;  // idle, stopped
  std::deque<Job*> queue;
  Job* current = nullptr;
  std::deque<RigResult> results;
  char read_only[kRigStoreReadOnlyKeys][kRigKeyBytes] = {};
  int read_only_count = 0;
  char watched[kRigKeyBytes] = {};
  uint32_t watched_counter = 0;
  uint32_t next_id = 1;
  bool starting = true;
  bool stop = false;
  bool stopped = false;
  bool free_on_exit = false;

  // The log function is called under log_lock, and never once close has set log_detached.
  std::mutex log_lock;
  bool log_detached = false;

  // Worker only.
  Tracking tracking[kRigStoreTracked] = {};
  uint64_t tracking_stamp = 0;
  char* write_buf = nullptr;
  size_t write_cap = 0;
  FolderWatch watch;
  char watching[kRigKeyBytes] = {};
  uint32_t watching_counter = 0;

  WakeEvent wake;
  std::thread thread;

  double now_s() const { return clock_fn ? clock_fn(clock_user) : double(mono_ns()) * 1e-9; }
};

namespace {

void store_log(RigStore* s, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void store_log(RigStore* s, const char* fmt, ...) {
  char line[512];
  va_list args;
  va_start(args, fmt);
  text_vformat(line, sizeof line, fmt, args);
  va_end(args);
  std::lock_guard<std::mutex> hold(s->log_lock);
  if (s->log_fn && !s->log_detached) s->log_fn(s->log_user, line);
}

// The text for an operating system error, after the operation's own text.
void error_text(char* out, size_t cap, const char* what, int err) {
  const char* text = nullptr;
  switch (err) {
    case ENOENT: text = "not found"; break;
    case ENOTDIR: case ENETDOWN: case ENETUNREACH: case EHOSTDOWN: case EHOSTUNREACH: case ESTALE: case ENOLINK:
      text = "the folder can't be reached";
      break;
    case EACCES: case EPERM: text = "access denied"; break;
    case ENOMEM: text = "out of memory"; break;
    case EROFS: text = "the disk is write-protected"; break;
    case ENOMEDIUM: case ENXIO: case ENODEV: text = "the drive isn't ready"; break;
    case EBUSY: case ETXTBSY: case EWOULDBLOCK: text = "in use by another program"; break;
    case ENOSPC: case EDQUOT: text = "the disk is full"; break;
    default: break;
  }
  if (text) text_format(out, cap, "%s: %s", what, text);
  else text_format(out, cap, "%s: error %lu", what, (unsigned long)err);
}

bool held_elsewhere(int err) { return err == EACCES || err == EBUSY || err == EWOULDBLOCK || err == ETXTBSY; }

void stem_of(const char* file_name, char* out, size_t cap) {
  text_copy(out, cap, file_name);
  const size_t n = strlen(out);
  if (n >= 5 && strcmp(out + n - 5, ".json") == 0) out[n - 5] = 0;
}

bool take_lock(NamedLock* lock, const char* stem, int timeout_ms, char* msg, size_t cap) {
  char name[kFileNameBytes + 16];
  text_format(name, sizeof name, "Lumaro.rig.%s", stem);
  if (named_lock_acquire(lock, name, timeout_ms) == 0) return true;
  const int err = errno;
  if (msg) text_copy(msg, cap, err == ETIMEDOUT ? "the rig file is locked by another app" : "can't take the rig file's lock");
  return false;
}

// Creates the folder with its parents; a file in the way is an error. 0, or -1 with errno.
int make_folder(const char* folder) {
  if (is_dir(folder)) return 0;
  if (path_exists(folder)) {
    errno = ENOTDIR;
    return -1;
  }
  if (make_dirs(folder) == 0) return 0;
  if (errno == EEXIST) errno = ENOTDIR;  // a file stands where a folder on the way should be
  return -1;
}

enum class Read { kGood, kMissing, kTooBig, kFailed };

// Reads a rig file whole; kTooBig and kFailed come with a message.
Read read_rig(const char* path, char** data, size_t* n, char* msg, size_t cap) {
  int r = kSharedReadFailed, err = 0;
  int64_t size = 0;
  for (int attempt = 0; attempt < kReadAttempts; ++attempt) {
    if (attempt) sleep_ms(kReadRetryMs);
    r = shared_file_read(path, kRigMaxTextBytes, data, n, &size, &err);
    if (!(r == kSharedReadFailed && held_elsewhere(err))) break;
  }
  switch (r) {
    case kSharedReadOk: return Read::kGood;
    case kSharedReadMissing: return Read::kMissing;
    case kSharedReadTooBig:
      text_format(msg, cap, "bigger than 1 MB (%lld bytes)", (long long)size);
      return Read::kTooBig;
    case kSharedReadNoMemory:
      text_copy(msg, cap, "can't read the rig file: out of memory");
      return Read::kFailed;
    case kSharedReadNotFile:
      text_copy(msg, cap, "can't read the rig file: not a regular file");
      return Read::kFailed;
    default:
      error_text(msg, cap, "can't read the rig file", err);
      return Read::kFailed;
  }
}

// Renames with the retries a file held by another program deserves.
int rename_retrying(RigStore* s, const char* from, const char* to, bool replace) {
  for (int attempt = 0;; ++attempt) {
    if ((replace ? file_rename(from, to) : file_rename_new(from, to)) == 0) return 0;
    const int err = errno;
    if (!held_elsewhere(err) || attempt == kRenameRetries) {
      errno = err;
      return -1;
    }
    if (attempt == 0) store_log(s, "rig: the rig file is held open by another program - retrying the rename");
    sleep_ms((attempt * 13) % 31 + 20);
  }
}

void path_of(const RigStore* s, const char* file_name, char* out, size_t cap) {
  text_format(out, cap, "%s/%s", s->folder, file_name);
}

// Writes doc whole to "<path>.tmp" and moves it over the rig file.
bool write_rig(RigStore* s, const char* path, const RigDoc* doc, char* msg, size_t cap) {
  size_t n = rig_encode(doc, s->write_buf, s->write_cap);
  if (n >= s->write_cap) {
    const size_t want = n + kWriteSlackBytes > kFirstWriteBytes ? n + kWriteSlackBytes : kFirstWriteBytes;
    char* grown = static_cast<char*>(realloc(s->write_buf, want));
    if (!grown) {
      text_copy(msg, cap, "can't write the rig file: out of memory");
      return false;
    }
    s->write_buf = grown;
    s->write_cap = want;
    n = rig_encode(doc, s->write_buf, s->write_cap);
  }
  // Kept foreign members can make the text larger than any reader accepts: such a file would be
  // set aside as damaged by the next load, so it is not written at all.
  if (n > kRigMaxTextBytes) {
    text_format(msg, cap, "can't write the rig file: it would be bigger than 1 MB (%llu bytes)", (unsigned long long)n);
    return false;
  }
  char tmp[kFilePathBytes + 8];
  text_format(tmp, sizeof tmp, "%s.tmp", path);
  remove_file(tmp);  // a crashed writer's leftover; we hold the rig's lock
  FileWriter f;
  if (file_create_new(&f, tmp) != 0) {
    error_text(msg, cap, "can't write the rig file", errno);
    return false;
  }
  int err = 0;
  if (file_write(&f, s->write_buf, n) != 0 || file_sync(&f) != 0) err = errno ? errno : EIO;
  if (file_close(&f) != 0 && !err) err = errno ? errno : EIO;
  if (err) {
    remove_file(tmp);
    error_text(msg, cap, "can't write the rig file", err);
    return false;
  }
  if (rename_retrying(s, tmp, path, true) != 0) {
    err = errno;
    remove_file(tmp);
    error_text(msg, cap, "can't replace the rig file", err);
    return false;
  }
  sync_dir(s->folder);
  return true;
}

// Moves a damaged file aside under "<name>.damaged-YYYYMMDD-HHMMSS[-N].json".
bool set_aside(RigStore* s, const char* path, char* new_name, size_t name_cap, char* msg, size_t cap) {
  struct tm t;
  if (!local_time(wall_seconds(), &t)) memset(&t, 0, sizeof t);
  const size_t base = strlen(path) - 5;  // less ".json"
  char target[kFilePathBytes + 48];
  for (int n = 1; n <= kMaxDamagedSuffix; ++n) {
    char suffix[8] = "";
    if (n > 1) snprintf(suffix, sizeof suffix, "-%d", n);
    text_format(target, sizeof target, "%.*s.damaged-%04u%02u%02u-%02u%02u%02u%s.json", int(base), path,
                unsigned(t.tm_year + 1900), unsigned(t.tm_mon + 1), unsigned(t.tm_mday), unsigned(t.tm_hour),
                unsigned(t.tm_min), unsigned(t.tm_sec), suffix);
    if (rename_retrying(s, path, target, false) == 0) {
      text_copy(new_name, name_cap, path_name(target));
      return true;
    }
    if (errno != EEXIST) break;
  }
  error_text(msg, cap, "can't set the damaged rig file aside", errno);
  return false;
}

void stamp(RigStore* s, RigDoc* doc, const char* key, int64_t disk_rev) {
  text_copy(doc->key, key);
  doc->version = kRigFormatVersion;
  doc->read_only = false;
  int64_t base = doc->rev > disk_rev ? doc->rev : disk_rev;
  if (base < 0) base = 0;
  doc->rev = base == INT64_MAX ? INT64_MAX : base + 1;  // a revision at the top stays there
  RigWriter& w = doc->writer;
  text_copy(w.app, s->app);
  text_copy(w.platform, "linux");
  text_copy(w.version, s->app_version);
  text_copy(w.instance, s->instance);
  w.at = rig_time_now();
}

Tracking* tracking_for(RigStore* s, const char* key, bool make) {
  Tracking* free_slot = nullptr;
  Tracking* oldest = nullptr;
  for (Tracking& t : s->tracking) {
    if (t.key[0] && strcmp(t.key, key) == 0) {
      t.stamp = ++s->tracking_stamp;
      return &t;
    }
    if (!t.key[0] && !free_slot) free_slot = &t;
    if (!oldest || t.stamp < oldest->stamp) oldest = &t;
  }
  if (!make) return nullptr;
  Tracking* t = free_slot ? free_slot : oldest;
  memset(t, 0, sizeof *t);
  text_copy(t->key, key);
  t->rev = -1;
  t->stamp = ++s->tracking_stamp;
  return t;
}

void track(RigStore* s, const char* key, const char* path, const RigDoc* doc) {
  Tracking* t = tracking_for(s, key, true);
  t->rev = doc->rev;
  text_copy(t->instance, doc->writer.instance);
  t->exists = file_identity(path, &t->identity) == 0;
  t->used = true;
  t->good = true;
  t->bad_logged = false;
}

// Under the lock.
void set_read_only_locked(RigStore* s, const char* key, bool read_only) {
  int at = -1;
  for (int i = 0; i < s->read_only_count; ++i)
    if (strcmp(s->read_only[i], key) == 0) at = i;
  if (!read_only) {
    if (at < 0) return;
    for (int i = at; i + 1 < s->read_only_count; ++i) memcpy(s->read_only[i], s->read_only[i + 1], kRigKeyBytes);
    --s->read_only_count;
    return;
  }
  if (at >= 0) return;
  if (s->read_only_count == kRigStoreReadOnlyKeys) {  // the oldest goes
    for (int i = 0; i + 1 < kRigStoreReadOnlyKeys; ++i) memcpy(s->read_only[i], s->read_only[i + 1], kRigKeyBytes);
    --s->read_only_count;
  }
  text_copy(s->read_only[s->read_only_count++], kRigKeyBytes, key);
}

void set_read_only(RigStore* s, const char* key, bool read_only) {
  std::unique_lock<std::shared_mutex> hold(s->lock);
  set_read_only_locked(s, key, read_only);
}

bool is_read_only_locked(const RigStore* s, const char* key) {
  for (int i = 0; i < s->read_only_count; ++i)
    if (strcmp(s->read_only[i], key) == 0) return true;
  return false;
}

// One result per id of the job, each with its own copy of doc (may be null).
void post(RigStore* s, const Job* job, const RigResult& proto, const RigDoc* doc) {
  std::deque<RigResult> made;
  const int ids = job ? job->id_count : 1;
  for (int i = 0; i < ids; ++i) {
    RigResult r = proto;
    r.job_id = job ? job->ids[i] : 0;
    r.doc = nullptr;
    if (doc) {
      r.doc = new_doc();
      if (r.doc && !rig_copy(r.doc, doc)) {
        delete_doc(r.doc);
        r.doc = nullptr;
      }
    }
    made.push_back(r);
  }
  std::unique_lock<std::shared_mutex> hold(s->lock);
  for (RigResult& r : made) s->results.push_back(r);
}

RigResult result_of(int type, const char* key, double started_s, double now_s) {
  RigResult r{};
  r.type = type;
  text_copy(r.key, key);
  r.elapsed_ms = (now_s - started_s) * 1000.0;
  return r;
}

// Stamps and writes the job's doc as a new file (the caller holds the lock).
bool create_file(RigStore* s, const Job* job, const char* path, RigDoc* out, char* msg, size_t cap) {
  if (!rig_copy(out, job->doc)) {
    text_copy(msg, cap, "can't create the rig file: out of memory");
    return false;
  }
  stamp(s, out, job->key, -1);
  if (make_folder(s->folder) != 0) {
    error_text(msg, cap, "can't create the rigs folder", errno);
    return false;
  }
  if (!write_rig(s, path, out, msg, cap)) return false;
  store_log(s, "rig: created %s", path_name(path));
  return true;
}

void run_load(RigStore* s, Job* job) {
  const double started = s->now_s();
  char name[kFileNameBytes], stem[kFileNameBytes], path[kFilePathBytes];
  rig_file_name(job->key, name, sizeof name);
  stem_of(name, stem, sizeof stem);
  path_of(s, name, path, sizeof path);
  char msg[kRigResultMessageBytes] = "";
  RigDoc* doc = new_doc();
  int type = kRigResultLoaded, code = kRigDecodeOk;
  bool ok = false, created = false;
  if (!doc) {
    text_copy(msg, "can't load the rig: out of memory");
  } else {
    // Unlocked reads first: another program may be half-way through writing.
    bool locked_path = false;
    bool failed = false;
    for (int attempt = 0; attempt < kDecodeAttempts && !ok && !failed && !locked_path; ++attempt) {
      char* data = nullptr;
      size_t n = 0;
      char why[kRigResultMessageBytes] = "";
      const Read r = read_rig(path, &data, &n, why, sizeof why);
      if (r == Read::kFailed) {
        text_copy(msg, why);
        failed = true;
        break;
      }
      if (r == Read::kMissing) {
        locked_path = true;
        break;
      }
      if (r == Read::kGood) {
        code = rig_decode(data, n, doc, why, sizeof why);
        free_file_data(data);
        if (code <= kRigDecodeReadOnly) {
          text_copy(msg, why);
          ok = true;
          break;
        }
        if (code == kRigDecodeNoMemory) {
          text_copy(msg, "out of memory");
          failed = true;
          break;
        }
      }
      if (attempt == 0) store_log(s, "rig: %s doesn't decode (%s) - reading it again", name, why);
      if (attempt + 1 < kDecodeAttempts) sleep_ms(kDecodeRetryMs);
      else locked_path = true;
    }
    if (locked_path) {
      NamedLock lock;
      if (!take_lock(&lock, stem, kLockWaitMs, msg, sizeof msg)) {
        failed = true;
      } else {
        char* data = nullptr;
        size_t n = 0;
        char why[kRigResultMessageBytes] = "";
        Read r = read_rig(path, &data, &n, why, sizeof why);
        if (r == Read::kGood) {
          code = rig_decode(data, n, doc, why, sizeof why);
          free_file_data(data);
          if (code <= kRigDecodeReadOnly) {
            text_copy(msg, why);
            ok = true;
          } else if (code == kRigDecodeNoMemory) {
            text_copy(msg, "out of memory");
            failed = true;
          }
        } else if (r == Read::kFailed) {
          text_copy(msg, why);
          failed = true;
        }
        if (!ok && !failed && r != Read::kMissing) {
          char aside[kFileNameBytes + 48];
          if (!set_aside(s, path, aside, sizeof aside, msg, sizeof msg)) {
            failed = true;
          } else {
            store_log(s, "rig: %s was damaged (%s) - kept it as %s, starting fresh", name, why, aside);
            text_format(msg, sizeof msg, "%s was damaged (%s) - kept it as %s, starting fresh", name, why, aside);
            type = kRigResultLoadedFresh;
          }
        }
        if (!ok && !failed) {
          char why_create[kRigResultMessageBytes] = "";
          if (create_file(s, job, path, doc, why_create, sizeof why_create)) {
            ok = created = true;
            code = kRigDecodeOk;
          } else {
            text_copy(msg, why_create);
            failed = true;
          }
        }
        named_lock_release(&lock);
      }
    }
  }
  if (ok) {
    text_copy(doc->key, job->key);
    set_read_only(s, job->key, doc->read_only);
    track(s, job->key, path, doc);
    if (doc->read_only) store_log(s, "rig: %s was made by a newer app - read only", name);
    RigResult r = result_of(type, job->key, started, s->now_s());
    r.decode_code = code;
    r.rev = doc->rev;
    r.created = created;
    text_copy(r.message, msg);
    post(s, job, r, doc);
  } else {
    store_log(s, "rig: couldn't load %s - %s", name, msg[0] ? msg : "can't load the rig");
    RigResult r = result_of(kRigResultLoadFailed, job->key, started, s->now_s());
    text_copy(r.message, msg[0] ? msg : "can't load the rig");
    post(s, job, r, nullptr);
  }
  delete_doc(doc);
}

void run_save(RigStore* s, Job* job) {
  const double started = s->now_s();
  char name[kFileNameBytes], stem[kFileNameBytes], path[kFilePathBytes];
  rig_file_name(job->key, name, sizeof name);
  stem_of(name, stem, sizeof stem);
  path_of(s, name, path, sizeof path);
  char msg[kRigResultMessageBytes] = "";
  int code = kRigDecodeOk;
  RigDoc* written = nullptr;
  bool read_only;
  {
    std::shared_lock<std::shared_mutex> hold(s->lock);
    read_only = is_read_only_locked(s, job->key);
  }
  if (job->doc->read_only || read_only) {
    text_copy(msg, "read only - a newer app made this file");
    code = kRigDecodeReadOnly;
  } else if (make_folder(s->folder) != 0) {
    error_text(msg, sizeof msg, "can't create the rigs folder", errno);
  } else {
    NamedLock lock;
    if (take_lock(&lock, stem, kLockWaitMs, msg, sizeof msg)) {
      char* data = nullptr;
      size_t n = 0;
      char why[kRigResultMessageBytes] = "";
      const Read r = read_rig(path, &data, &n, why, sizeof why);
      RigDoc* ours = job->doc;
      const double now = rig_time_now();
      for (int sc = 0; sc < kRigScenes; ++sc) {
        bool touched = job->masks.scene[sc] != 0;
        for (int i = 0; !touched && i < kRigMaxInputs; ++i) touched = job->masks.input[sc][i] != 0;
        if (!touched) continue;
        ours->scenes[sc].updated_at = now;
        text_copy(ours->scenes[sc].author, s->app);
      }
      int64_t disk_rev = -1;
      if (r == Read::kFailed) {
        text_copy(msg, why);
      } else if (r == Read::kMissing) {
        written = new_doc();
        if (!written || !rig_copy(written, ours)) text_copy(msg, "out of memory");
      } else {
        RigDoc* base = new_doc();
        if (!base) {
          text_copy(msg, "out of memory");
        } else if (r == Read::kTooBig) {
          text_format(msg, sizeof msg, "the rig file on disk is damaged (%.*s) - left as it is",
                      int(kDamagedMessageBytes), why);
        } else {
          const int c = rig_decode(data, n, base, why, sizeof why);
          if (c == kRigDecodeReadOnly) {
            set_read_only(s, job->key, true);
            text_copy(msg, "read only - a newer app made this file");
            code = kRigDecodeReadOnly;
          } else if (c == kRigDecodeNoMemory) {
            text_copy(msg, "out of memory");
          } else if (c > kRigDecodeReadOnly) {
            text_format(msg, sizeof msg, "the rig file on disk is damaged (%.*s) - left as it is",
                        int(kDamagedMessageBytes), why);
          } else if (!rig_merge_edits(base, ours, job->masks)) {
            text_copy(msg, "out of memory");
          } else {
            disk_rev = base->rev;
            written = base;
            base = nullptr;
          }
        }
        delete_doc(base);
      }
      free_file_data(data);
      if (written && !msg[0]) {
        written->rev = ours->rev;
        stamp(s, written, job->key, disk_rev);
        if (!write_rig(s, path, written, msg, sizeof msg)) {
          delete_doc(written);
          written = nullptr;
        }
      } else if (written) {
        delete_doc(written);
        written = nullptr;
      }
      named_lock_release(&lock);
    }
  }
  if (written) {
    track(s, job->key, path, written);
    RigResult r = result_of(kRigResultSaved, job->key, started, s->now_s());
    r.rev = written->rev;
    post(s, job, r, written);
    delete_doc(written);
    return;
  }
  if (!msg[0]) text_copy(msg, "can't save the rig");
  store_log(s, "rig: couldn't save %s - %s", name, msg);
  RigResult r = result_of(kRigResultSaveFailed, job->key, started, s->now_s());
  r.decode_code = code;
  text_copy(r.message, msg);
  post(s, job, r, nullptr);
}

bool same_identity(const Tracking& t, bool exists, const FileIdentity& id) {
  if (t.exists != exists) return false;
  if (!exists) return true;
  return t.identity.device == id.device && t.identity.inode == id.inode && t.identity.size_bytes == id.size_bytes &&
         t.identity.mtime_ns == id.mtime_ns;
}

// Reads the watched rig when it changed (or always, with force) and reports another program's
// change once per new revision or writer.
void check_watched(RigStore* s, bool force) {
  if (!s->watching[0]) return;
  Tracking* t = tracking_for(s, s->watching, false);
  if (!t || !t->used) return;
  char name[kFileNameBytes], path[kFilePathBytes];
  rig_file_name(s->watching, name, sizeof name);
  path_of(s, name, path, sizeof path);
  FileIdentity id{};
  const bool exists = file_identity(path, &id) == 0;
  if (!force && t->good && same_identity(*t, exists, id)) return;
  if (!exists) {
    t->exists = false;
    t->good = true;
    return;
  }
  char* data = nullptr;
  size_t n = 0;
  char why[kRigResultMessageBytes] = "";
  const Read r = read_rig(path, &data, &n, why, sizeof why);
  RigDoc* doc = new_doc();
  int code = kRigDecodeUnreadable;
  if (r == Read::kGood && doc) code = rig_decode(data, n, doc, why, sizeof why);
  free_file_data(data);
  if (code > kRigDecodeReadOnly) {
    if (r == Read::kMissing) {  // gone between the look and the read
      t->exists = false;
      t->good = true;
    } else {
      if (!t->bad_logged) store_log(s, "rig: ignored a change to %s that doesn't decode (%s) - waiting for the next one",
                                    name, why);
      t->bad_logged = true;
      t->good = false;
    }
    delete_doc(doc);
    return;
  }
  t->exists = true;
  t->identity = id;
  t->good = true;
  t->bad_logged = false;
  set_read_only(s, s->watching, doc->read_only);
  const bool ours = strcmp(doc->writer.instance, s->instance) == 0;
  const bool same = doc->rev == t->rev && strcmp(doc->writer.instance, t->instance) == 0;
  t->rev = doc->rev;
  text_copy(t->instance, doc->writer.instance);
  if (!ours && !same) {
    RigResult res = result_of(kRigResultChanged, s->watching, 0, 0);
    res.decode_code = code;
    res.rev = doc->rev;
    text_copy(res.writer_app, doc->writer.app);
    if (code == kRigDecodeRepaired) text_copy(res.message, why);
    text_copy(doc->key, s->watching);
    post(s, nullptr, res, doc);
  }
  delete_doc(doc);
}

struct Sweep {
  RigStore* store;
};

bool sweep_entry(const DirEntry& e, void* ctx) {
  RigStore* s = static_cast<Sweep*>(ctx)->store;
  const size_t n = strlen(e.name);
  if (!e.is_file || n <= 9 || strcmp(e.name + n - 9, ".json.tmp") != 0) return true;
  char stem[kPathCap];
  text_format(stem, sizeof stem, "%.*s", int(n - 9), e.name);
  NamedLock lock;
  if (!take_lock(&lock, stem, 0, nullptr, 0)) return true;  // a write in progress
  char path[kFilePathBytes];
  path_of(s, e.name, path, sizeof path);
  if (remove_file(path) == 0) store_log(s, "rig: removed a stray %s.json.tmp", stem);
  named_lock_release(&lock);
  return true;
}

void destroy(RigStore* s) {
  for (Job* j : s->queue) delete_job(j);
  for (RigResult& r : s->results) rig_result_free(&r);
  folder_watch_close(&s->watch);
  wake_event_close(&s->wake);
  free(s->write_buf);
  delete s;
}

void worker(RigStore* s) {
  thread_set_own_name("tolm-rig");
  if (make_folder(s->folder) != 0)
    store_log(s, "rig: can't create the rigs folder %s - rigs stay in memory until it can be made", s->folder);
  Sweep sweep{s};
  list_dir(s->folder, sweep_entry, &sweep);
  {
    std::unique_lock<std::shared_mutex> hold(s->lock);
    s->starting = false;
  }
  s->changed.notify_all();
  // The look at the watched file keeps its own clock: wakes for jobs and waits must not put it off
  // forever, and inotify may be missing (no instances left) or miss a change.
  const int64_t poll_ns = int64_t(s->poll_ms) * 1000000;
  int64_t deadline_ns = mono_ns() + poll_ns;
  for (;;) {
    Job* job = nullptr;
    bool stop = false;
    {
      std::unique_lock<std::shared_mutex> hold(s->lock);
      if (!s->queue.empty()) {
        job = s->queue.front();
        s->queue.pop_front();
        s->current = job;
      }
      if (s->watched_counter != s->watching_counter) {
        s->watching_counter = s->watched_counter;
        text_copy(s->watching, s->watched);
      }
      stop = s->stop;
    }
    if (job) {
      if (job->save) run_save(s, job);
      else run_load(s, job);
      delete_job(job);
      bool idle;
      {
        std::unique_lock<std::shared_mutex> hold(s->lock);
        s->current = nullptr;
        idle = s->queue.empty();
      }
      if (idle) s->changed.notify_all();
      continue;
    }
    if (stop) {
      folder_watch_close(&s->watch);
      free(s->write_buf);
      s->write_buf = nullptr;
      s->write_cap = 0;
      bool free_store;
      {
        std::unique_lock<std::shared_mutex> hold(s->lock);
        s->stopped = true;
        free_store = s->free_on_exit;
      }
      s->changed.notify_all();
      if (free_store) destroy(s);
      return;
    }
    if (!s->no_watch && s->watch.fd < 0) folder_watch_open(&s->watch, s->folder);
    char name[kFileNameBytes] = "";
    if (s->watching[0]) rig_file_name(s->watching, name, sizeof name);
    const int64_t left_ms = (deadline_ns - mono_ns()) / 1000000;
    const int got = wait_wake_or_change(&s->wake, &s->watch, s->watching[0] ? name : nullptr,
                                        left_ms > 0 ? int(left_ms) : 0);
    if (got < 0) {
      folder_watch_close(&s->watch);
      sleep_ms(kFailedWaitSleepMs);
      continue;
    }
    if (got & kWaitGone) folder_watch_close(&s->watch);
    const bool due = mono_ns() >= deadline_ns;
    if (got & kWaitChanged) check_watched(s, true);
    else if (due) check_watched(s, false);
    if (due || (got & kWaitChanged)) deadline_ns = mono_ns() + poll_ns;
  }
}

uint32_t issue_id(RigStore* s) {
  const uint32_t id = s->next_id++;
  if (s->next_id == 0) s->next_id = 1;  // 0 is never an id
  return id;
}

}  // namespace

void rig_result_free(RigResult* r) {
  if (!r) return;
  delete_doc(r->doc);
  r->doc = nullptr;
}

void rig_store_default_folder(char* out, size_t cap) {
  char base[kPathCap];
  if (settings_beside_program() && program_dir(base, sizeof base)) {
    text_format(out, cap, "%s/rigs", base);
    return;
  }
  if (config_dir(base, sizeof base) && base[0]) {
    char path[kPathCap + 16];
    const size_t n = text_format(path, sizeof path, "%s/Lumaro/rigs", base);
    if (n < cap && n < sizeof path - 1) {
      text_copy(out, cap, path);
      return;
    }
  }
  text_copy(out, cap, "rigs");
}

void rig_file_name(const char* key, char* out, size_t cap) {
  char slug[41];
  size_t n = 0;
  bool gap = false;
  for (const char* p = key ? key : ""; *p && n < 40; ++p) {
    char c = *p;
    const bool alnum = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    if (!alnum) {
      gap = true;
      continue;
    }
    if (gap && n > 0) {
      slug[n++] = '-';
      if (n == 40) break;  // the slug ends with the dash
    }
    gap = false;
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    slug[n++] = c;
  }
  slug[n] = 0;
  const uint32_t h = rig_fnv1a(key ? key : "");
  text_format(out, cap, "%s-%08x.json", slug, h ? h : 1u);
}

RigStore* rig_store_open(const RigStoreOptions& o) {
  RigStore* s = new RigStore;
  if (o.folder && o.folder[0]) text_copy(s->folder, o.folder);
  else rig_store_default_folder(s->folder, sizeof s->folder);
  for (size_t n = strlen(s->folder); n > 1 && s->folder[n - 1] == '/'; --n) s->folder[n - 1] = 0;
  text_copy(s->app, o.app_name && o.app_name[0] ? o.app_name : "app");
  text_copy(s->app_version, o.app_version ? o.app_version : "");
  s->log_fn = o.log;
  s->log_user = o.log_user;
  s->clock_fn = o.clock;
  s->clock_user = o.clock_user;
  s->poll_ms = o.poll_ms > 0 ? o.poll_ms : 1000;
  s->no_watch = o.no_watch;
  s->opened_s = s->now_s();

  uint64_t seed = 0;
  if (random_bytes(&seed, sizeof seed) != 0)
    seed = (uint64_t(getpid()) << 32) ^ tick64_ms() ^ uint64_t(mono_ns());
  rig_seed_random(seed);
  const uint64_t id = rig_random64();
  snprintf(s->instance, sizeof s->instance, "%016llx", (unsigned long long)id);

  if (wake_event_open(&s->wake) != 0) {
    delete s;
    return nullptr;
  }
  try {
    s->thread = std::thread(worker, s);
  } catch (...) {
    wake_event_close(&s->wake);
    delete s;
    return nullptr;
  }
  return s;
}

uint32_t rig_store_load(RigStore* s, const char* key, const RigDoc* doc) {
  if (!s || !key || !key[0]) return 0;
  Job* job = new Job;
  job->doc = new_doc();
  if (!job->doc) {
    delete_job(job);
    return 0;
  }
  if (doc) {
    if (!rig_copy(job->doc, doc)) {
      delete_job(job);
      return 0;
    }
  } else {
    char api[kRigApiBytes] = "";
    const char* colon = strchr(key, ':');
    const char* name = colon ? colon + 1 : key;
    if (colon && size_t(colon - key) < sizeof api) snprintf(api, sizeof api, "%.*s", int(colon - key), key);
    rig_init_for_device(job->doc, key, api, name, 1, nullptr, s->app, rig_time_now());
  }
  text_copy(job->key, key);
  job->enqueued_s = s->now_s();
  uint32_t id;
  {
    std::unique_lock<std::shared_mutex> hold(s->lock);
    id = issue_id(s);
    job->ids[job->id_count++] = id;
    s->queue.push_back(job);
  }
  wake_event_signal(&s->wake);
  return id;
}

uint32_t rig_store_save(RigStore* s, const RigDoc* doc, const RigChanges& masks) {
  if (!s || !doc || !doc->key[0] || doc->read_only) return 0;
  {
    std::shared_lock<std::shared_mutex> hold(s->lock);
    if (is_read_only_locked(s, doc->key)) return 0;
  }
  RigDoc* copy = new_doc();
  if (!copy || !rig_copy(copy, doc)) {
    delete_doc(copy);
    return 0;
  }
  uint32_t id = 0;
  Job* fresh = nullptr;
  {
    std::unique_lock<std::shared_mutex> hold(s->lock);
    id = issue_id(s);
    Job* join = nullptr;
    for (Job* j : s->queue)  // queued, so not running: the worker holds the running one as current
      if (j->save && strcmp(j->key, doc->key) == 0 && j->id_count < kRigStoreMaxJobIds) join = j;
    if (join) {
      delete_doc(join->doc);
      join->doc = copy;
      rig_changes_or(&join->masks, masks);
      join->ids[join->id_count++] = id;
    } else {
      fresh = new Job;
      fresh->save = true;
      fresh->doc = copy;
      fresh->masks = masks;
      text_copy(fresh->key, doc->key);
      fresh->enqueued_s = s->now_s();
      fresh->ids[fresh->id_count++] = id;
      s->queue.push_back(fresh);
    }
  }
  wake_event_signal(&s->wake);
  return id;
}

void rig_store_watch(RigStore* s, const char* key) {
  if (!s) return;
  {
    std::unique_lock<std::shared_mutex> hold(s->lock);
    text_copy(s->watched, key ? key : "");
    ++s->watched_counter;
  }
  wake_event_signal(&s->wake);
}

bool rig_store_next_result(RigStore* s, RigResult* out) {
  if (!s) return false;
  std::unique_lock<std::shared_mutex> hold(s->lock);
  if (s->results.empty()) return false;
  *out = s->results.front();
  s->results.pop_front();
  return true;
}

bool rig_store_wait_idle(RigStore* s, int ms) {
  if (!s) return true;
  wake_event_signal(&s->wake);
  std::unique_lock<std::shared_mutex> hold(s->lock);
  const auto idle = [s] { return s->stopped || (!s->starting && !s->current && s->queue.empty()); };
  return s->changed.wait_for(hold, std::chrono::milliseconds(ms < 0 ? 0 : ms), idle);
}

bool rig_store_busy(RigStore* s, double* age_s) {
  if (age_s) *age_s = 0;
  if (!s) return false;
  const double now = s->now_s();
  std::shared_lock<std::shared_mutex> hold(s->lock);
  double oldest = now;
  bool busy = false;
  if (s->starting) {
    busy = true;
    oldest = s->opened_s;
  }
  if (s->current) {
    busy = true;
    if (s->current->enqueued_s < oldest) oldest = s->current->enqueued_s;
  }
  for (const Job* j : s->queue) {
    busy = true;
    if (j->enqueued_s < oldest) oldest = j->enqueued_s;
  }
  if (age_s && busy) *age_s = now - oldest;
  return busy;
}

bool rig_store_read_only(RigStore* s, const char* key) {
  if (!s || !key) return false;
  std::shared_lock<std::shared_mutex> hold(s->lock);
  return is_read_only_locked(s, key);
}

void rig_store_close(RigStore* s, int ms) {
  if (!s) return;
  {
    std::unique_lock<std::shared_mutex> hold(s->lock);
    s->stop = true;
  }
  wake_event_signal(&s->wake);
  {
    std::unique_lock<std::shared_mutex> hold(s->lock);
    if (!s->changed.wait_for(hold, std::chrono::milliseconds(ms < 0 ? 0 : ms), [s] { return s->stopped; })) {
      // Still busy. The worker cannot stop (and free the store) before this lock is let go, so
      // everything about the hand-over happens here.
      store_log(s, "rig: still writing at close - the store finishes in the background");
      {
        std::lock_guard<std::mutex> log_hold(s->log_lock);
        s->log_detached = true;
      }
      s->thread.detach();
      s->free_on_exit = true;
      return;
    }
  }
  s->thread.join();
  destroy(s);
}
