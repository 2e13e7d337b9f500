// Platform layer: folders, clocks, memory and disk facts, locks across processes, file identity,
// injected write faults and the whole-file replace.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/clock.h"
#include "platform/file.h"
#include "platform/lock.h"
#include "platform/paths.h"
#include "platform/system.h"
#include "platform/text.h"
#include "tests/support/temp_dir.h"

TEST(Platform, UserFolders) {
  TempDir home;
  setenv("HOME", home.path.c_str(), 1);
  unsetenv("XDG_CONFIG_HOME");
  char out[kPathCap];
  ASSERT_TRUE(config_dir(out, sizeof out));
  EXPECT_EQ(std::string(out), home.path + "/.config");
  ASSERT_TRUE(music_dir(out, sizeof out));
  EXPECT_EQ(std::string(out), home.path + "/Music");

  ASSERT_EQ(make_dirs((home.path + "/.config").c_str()), 0);
  write_text(home.path + "/.config/user-dirs.dirs",
             "# comment\nXDG_DESKTOP_DIR=\"$HOME/Desktop\"\nXDG_MUSIC_DIR=\"$HOME/Musik\"\n");
  ASSERT_TRUE(music_dir(out, sizeof out));
  EXPECT_EQ(std::string(out), home.path + "/Musik");
  write_text(home.path + "/.config/user-dirs.dirs", "XDG_MUSIC_DIR=\"/srv/sound\"\n");
  ASSERT_TRUE(music_dir(out, sizeof out));
  EXPECT_STREQ(out, "/srv/sound");
  write_text(home.path + "/.config/user-dirs.dirs", "XDG_MUSIC_DIR=\"$HOME/\"\n");  // switched off
  ASSERT_TRUE(music_dir(out, sizeof out));
  EXPECT_EQ(std::string(out), home.path + "/Music");

  setenv("TMPDIR", home.path.c_str(), 1);
  ASSERT_TRUE(temp_dir(out, sizeof out));
  EXPECT_EQ(std::string(out), home.path);
  unsetenv("TMPDIR");
  ASSERT_TRUE(program_dir(out, sizeof out));
  EXPECT_TRUE(is_dir(out));
  EXPECT_EQ(make_dirs((home.path + "/a/b/c").c_str()), 0);
  EXPECT_TRUE(is_dir((home.path + "/a/b/c").c_str()));
  write_text(home.path + "/plain", "x");
  EXPECT_EQ(make_dirs((home.path + "/plain/sub").c_str()), -1);  // a file stands in the way
}

TEST(Platform, ClocksAndMachineFacts) {
  int64_t a = mono_ns();
  sleep_ms(20);
  int64_t b = mono_ns();
  EXPECT_GE(b - a, 19000000);
  EXPECT_GT(uptime_ms(), 0u);
  EXPECT_GT(available_memory_bytes(), 0u);
  EXPECT_GT(free_disk_bytes("/"), 0);
  EXPECT_EQ(free_disk_bytes("/no/such/folder"), -1);
  unsigned char r1[32] = {}, r2[32] = {};
  ASSERT_EQ(random_bytes(r1, sizeof r1), 0);
  ASSERT_EQ(random_bytes(r2, sizeof r2), 0);
  EXPECT_NE(memcmp(r1, r2, sizeof r1), 0);
  struct tm t;
  ASSERT_TRUE(local_time(wall_seconds(), &t));
  EXPECT_GE(t.tm_year, 125);
  EXPECT_NEAR(double(time_from_local(&t)), double(wall_seconds()), 2.0);
}

TEST(Platform, NamedLockExcludesAnotherProcess) {
  TempDir run;
  setenv("XDG_RUNTIME_DIR", run.path.c_str(), 1);
  NamedLock lock;
  ASSERT_EQ(named_lock_acquire(&lock, "tolm.test", 0), 0);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    NamedLock other;
    int first = named_lock_acquire(&other, "tolm.test", 50);   // held by the parent: times out
    int second = named_lock_acquire(&other, "tolm.test", 3000);  // released meanwhile
    _exit(first == -1 && second == 0 ? 0 : 1);
  }
  sleep_ms(300);
  named_lock_release(&lock);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(named_lock_acquire(&lock, "bad/name", 0), -1);
}

TEST(Platform, FileIdentityAndTimes) {
  TempDir dir;
  write_text(dir.file("a"), "hello");
  FileIdentity id{};
  ASSERT_EQ(file_identity(dir.file("a").c_str(), &id), 0);
  EXPECT_EQ(id.size_bytes, 5);
  ASSERT_EQ(set_file_mtime(dir.file("a").c_str(), 1234567890123456789LL), 0);
  FileIdentity id2{};
  ASSERT_EQ(file_identity(dir.file("a").c_str(), &id2), 0);
  EXPECT_EQ(id2.mtime_ns, 1234567890123456789LL);
  EXPECT_EQ(id2.inode, id.inode);
  EXPECT_EQ(file_identity(dir.file("missing").c_str(), &id), -1);
}

TEST(Platform, PrivateFoldersRefuseWhatIsNotOurs) {
  TempDir dir;
  struct stat st;
  // Made fresh: only we may enter.
  const std::string fresh = dir.file("fresh");
  ASSERT_EQ(make_private_dir(fresh.c_str()), 0);
  ASSERT_EQ(stat(fresh.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  EXPECT_EQ(make_private_dir(fresh.c_str()), 0);  // and accepted again
  // Ours but open to others: closed.
  const std::string open = dir.file("open");
  ASSERT_EQ(mkdir(open.c_str(), 0777), 0);
  ASSERT_EQ(chmod(open.c_str(), 0777), 0);
  ASSERT_EQ(make_private_dir(open.c_str()), 0);
  ASSERT_EQ(stat(open.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  // A link someone planted under the name, even to a folder of ours: refused, its target untouched.
  const std::string target = dir.file("target"), link = dir.file("link");
  ASSERT_EQ(mkdir(target.c_str(), 0755), 0);
  ASSERT_EQ(chmod(target.c_str(), 0755), 0);
  ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
  EXPECT_EQ(make_private_dir(link.c_str()), -1);
  ASSERT_EQ(stat(target.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0755u);
  // A file under the name, and a folder of another user.
  write_text(dir.file("file"), "x");
  EXPECT_EQ(make_private_dir(dir.file("file").c_str()), -1);
  if (geteuid() == 0) {
    const std::string theirs = dir.file("theirs");
    ASSERT_EQ(mkdir(theirs.c_str(), 0777), 0);
    ASSERT_EQ(chown(theirs.c_str(), 65534, 65534), 0);
    EXPECT_EQ(make_private_dir(theirs.c_str()), -1);
  }
  EXPECT_EQ(make_private_dir(dir.file("no/such/parent").c_str()), -1);
}

TEST(Platform, InjectedFaultsAndWholeReplace) {
  TempDir dir;
  std::string path = dir.file("f");
  ASSERT_EQ(replace_file_whole(path.c_str(), "first", 5), 0);
  EXPECT_EQ(read_text(path), "first");

  // A short write is a failure, and it leaves the old file intact.
  file_fault_set(FileFault::kShortWrite, 0, 1);
  EXPECT_EQ(replace_file_whole(path.c_str(), "second", 6), -1);
  EXPECT_EQ(read_text(path), "first");
  EXPECT_EQ(replace_file_whole(path.c_str(), "second", 6), 0);  // the fault was used up
  EXPECT_EQ(read_text(path), "second");

  // The second create after one success fails; then everything works again.
  file_fault_set(FileFault::kCreate, 1, 1);
  FileWriter f;
  EXPECT_EQ(file_create(&f, dir.file("g").c_str()), 0);
  file_close(&f);
  EXPECT_EQ(file_create(&f, dir.file("h").c_str()), -1);
  EXPECT_EQ(file_create(&f, dir.file("h").c_str()), 0);
  file_close(&f);

  // A sticky full disk until cleared.
  file_fault_set(FileFault::kDiskFull, 0, -1);
  ASSERT_EQ(file_create(&f, dir.file("i").c_str()), 0);
  EXPECT_EQ(file_write(&f, "abc", 3), -1);
  EXPECT_EQ(file_write(&f, "abc", 3), -1);
  file_fault_clear();
  EXPECT_EQ(file_write(&f, "abc", 3), 0);
  EXPECT_EQ(file_close(&f), 0);

  char* data = nullptr;
  size_t bytes = 0;
  ASSERT_EQ(read_file_whole(path.c_str(), &data, &bytes, 100), 0);
  EXPECT_EQ(std::string(data, bytes), "second");
  free_file_data(data);
  EXPECT_EQ(read_file_whole(path.c_str(), &data, &bytes, 3), -2);
  EXPECT_EQ(read_file_whole(dir.file("nope").c_str(), &data, &bytes, 3), -1);
  // Replacing inside a folder that does not exist fails cleanly.
  EXPECT_EQ(replace_file_whole(dir.file("no/such").c_str(), "x", 1), -1);
}

TEST(Platform, TextHelpers) {
  char small[8];
  EXPECT_EQ(text_copy(small, "abcdefghij"), 7u);
  EXPECT_STREQ(small, "abcdefg");
  EXPECT_EQ(text_format(small, sizeof small, "%d-%s", 12, "xyzxyz"), 7u);
  EXPECT_STREQ(small, "12-xyzx");
  EXPECT_TRUE(text_contains_nocase("Focusrite USB Audio", "usb"));
  EXPECT_FALSE(text_contains_nocase("system", "usb"));
  EXPECT_TRUE(text_equal_nocase("/Music/Tolm", "/music/TOLM"));
  EXPECT_TRUE(text_starts_with_nocase("/HOME/x/y", "/home/x"));
}
