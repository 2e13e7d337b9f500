// Files shared with other programs: capped reads that never block on a FIFO, exclusive creation
// that refuses links, renames that refuse to replace, the rename fault, the wake event and the
// folder watch, the timeout of a named lock and the fine wall clock.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <thread>

#include "platform/clock.h"
#include "platform/file.h"
#include "platform/lock.h"
#include "platform/paths.h"
#include "platform/shared_file.h"
#include "platform/watch.h"
#include "tests/support/temp_dir.h"

TEST(SharedFile, ReadsOnlyWholeRegularFilesUnderTheCap) {
  TempDir dir;
  char* data = nullptr;
  size_t n = 0;
  int64_t size = 0;
  int err = 0;
  write_text(dir.file("a"), "hello");
  ASSERT_EQ(shared_file_read(dir.file("a").c_str(), 5, &data, &n, &size, &err), kSharedReadOk);
  EXPECT_EQ(std::string(data, n), "hello");
  EXPECT_EQ(data[n], 0);
  free_file_data(data);
  EXPECT_EQ(shared_file_read(dir.file("a").c_str(), 4, &data, &n, &size, &err), kSharedReadTooBig);
  EXPECT_EQ(size, 5);
  EXPECT_EQ(data, nullptr);
  EXPECT_EQ(shared_file_read(dir.file("none").c_str(), 9, &data, &n, nullptr, nullptr), kSharedReadMissing);
  EXPECT_EQ(shared_file_read(dir.file("a/below").c_str(), 9, &data, &n, nullptr, nullptr), kSharedReadMissing);
  // A FIFO with no writer would block a plain open for ever; a folder is not a file either.
  ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
  EXPECT_EQ(shared_file_read(dir.file("fifo").c_str(), 9, &data, &n, nullptr, nullptr), kSharedReadNotFile);
  EXPECT_EQ(shared_file_read(dir.path.c_str(), 9, &data, &n, nullptr, nullptr), kSharedReadNotFile);
  write_text(dir.file("empty"), "");
  ASSERT_EQ(shared_file_read(dir.file("empty").c_str(), 9, &data, &n, nullptr, nullptr), kSharedReadOk);
  EXPECT_EQ(n, 0u);
  free_file_data(data);
}

TEST(SharedFile, ExclusiveCreateAndRenames) {
  TempDir dir;
  FileWriter f;
  ASSERT_EQ(file_create_new(&f, dir.file("t").c_str()), 0);
  ASSERT_EQ(file_write(&f, "new", 3), 0);
  ASSERT_EQ(file_close(&f), 0);
  EXPECT_EQ(file_create_new(&f, dir.file("t").c_str()), -1);  // exists
  EXPECT_EQ(errno, EEXIST);
  // A link planted where the file goes is not followed.
  ASSERT_EQ(symlink(dir.file("target").c_str(), dir.file("link").c_str()), 0);
  EXPECT_EQ(file_create_new(&f, dir.file("link").c_str()), -1);
  EXPECT_FALSE(is_file(dir.file("target").c_str()));

  write_text(dir.file("u"), "old");
  EXPECT_EQ(file_rename_new(dir.file("t").c_str(), dir.file("u").c_str()), -1);
  EXPECT_EQ(errno, EEXIST);
  EXPECT_EQ(read_text(dir.file("u")), "old");
  ASSERT_EQ(file_rename_new(dir.file("t").c_str(), dir.file("v").c_str()), 0);
  EXPECT_EQ(read_text(dir.file("v")), "new");
  ASSERT_EQ(file_rename(dir.file("v").c_str(), dir.file("u").c_str()), 0);
  EXPECT_EQ(read_text(dir.file("u")), "new");

  // The injected rename failure looks like a file held by another program.
  write_text(dir.file("w"), "w");
  file_fault_set(FileFault::kRename, 0, 1);
  EXPECT_EQ(file_rename(dir.file("w").c_str(), dir.file("u").c_str()), -1);
  EXPECT_EQ(errno, EBUSY);
  EXPECT_EQ(file_rename(dir.file("w").c_str(), dir.file("u").c_str()), 0);
  EXPECT_EQ(read_text(dir.file("u")), "w");
  file_fault_clear();
}

TEST(SharedFile, WakeEventAndFolderWatch) {
  TempDir dir;
  WakeEvent wake;
  FolderWatch watch;
  ASSERT_EQ(wake_event_open(&wake), 0);
  ASSERT_EQ(folder_watch_open(&watch, dir.path.c_str()), 0);
  EXPECT_EQ(wait_wake_or_change(&wake, &watch, "rig.json", 0), 0);

  // The event wakes a wait from another thread and resets itself.
  std::thread t([&] {
    sleep_ms(30);
    wake_event_signal(&wake);
  });
  const int64_t t0 = mono_ns();
  EXPECT_EQ(wait_wake_or_change(&wake, &watch, "rig.json", 5000), kWaitWoken);
  EXPECT_LT(mono_ns() - t0, int64_t(4000) * 1000000);
  t.join();
  EXPECT_EQ(wait_wake_or_change(&wake, &watch, "rig.json", 0), 0);

  // Only the named entry counts, whether written in place or moved in.
  write_text(dir.file("other.json"), "x");
  EXPECT_EQ(wait_wake_or_change(&wake, &watch, "rig.json", 100), 0);
  write_text(dir.file("rig.json.tmp"), "x");
  ASSERT_EQ(file_rename(dir.file("rig.json.tmp").c_str(), dir.file("rig.json").c_str()), 0);
  EXPECT_EQ(wait_wake_or_change(&wake, &watch, "rig.json", 1000), kWaitChanged);
  write_text(dir.file("rig.json"), "y");
  EXPECT_EQ(wait_wake_or_change(&wake, &watch, "rig.json", 1000), kWaitChanged);
  remove_file(dir.file("rig.json").c_str());
  EXPECT_EQ(wait_wake_or_change(&wake, &watch, nullptr, 1000), kWaitChanged);

  // The folder going away is reported so the watch can be made again.
  remove_file(dir.file("other.json").c_str());
  wait_wake_or_change(&wake, &watch, nullptr, 100);
  ASSERT_EQ(remove_dir(dir.path.c_str()), 0);
  EXPECT_TRUE(wait_wake_or_change(&wake, &watch, "rig.json", 1000) & kWaitGone);
  folder_watch_close(&watch);
  EXPECT_EQ(folder_watch_open(&watch, dir.path.c_str()), -1);
  ASSERT_EQ(make_dir(dir.path.c_str()), 0);
  wake_event_close(&wake);
}

TEST(SharedFile, LockTimeoutIsToldApartAndTheWallClockIsFine) {
  TempDir run;
  setenv("XDG_RUNTIME_DIR", run.path.c_str(), 1);
  NamedLock a, b;
  ASSERT_EQ(named_lock_acquire(&a, "tolm.shared", 0), 0);
  EXPECT_EQ(named_lock_acquire(&b, "tolm.shared", 20), -1);  // held on another descriptor
  EXPECT_EQ(errno, ETIMEDOUT);
  EXPECT_EQ(named_lock_acquire(&b, "no/slash", 0), -1);
  EXPECT_NE(errno, ETIMEDOUT);
  named_lock_release(&a);

  const int64_t ns = wall_ns();
  EXPECT_NEAR(double(ns) / 1e9, double(wall_seconds()), 2.0);
  int64_t later = ns;
  while (later == ns) later = wall_ns();
  EXPECT_LT(later - ns, int64_t(1000000000));  // finer than a second
}
