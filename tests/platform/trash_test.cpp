// The Trash: the home trash with its info files, names that are taken, a failed move that leaves
// the file where it was (and no info file), no trash to be had, and a file on another file system
// going to that file system's own trash.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/file.h"
#include "platform/paths.h"
#include "platform/trash.h"
#include "tests/support/temp_dir.h"

namespace {

// An info file as the layout wants it: the header, the percent-encoded path and a local time.
void expect_info(const std::string& info_path, const std::string& encoded_path) {
  const std::string info = read_text(info_path);
  const std::string head = "[Trash Info]\nPath=" + encoded_path + "\nDeletionDate=";
  ASSERT_EQ(info.substr(0, head.size()), head) << info;
  const std::string date = info.substr(head.size());
  int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0, used = 0;
  ASSERT_EQ(sscanf(date.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d\n%n", &y, &mo, &d, &h, &mi, &s, &used), 6) << info;
  EXPECT_EQ(size_t(used), date.size()) << info;
  EXPECT_EQ(date.size(), 20u) << info;
  EXPECT_TRUE(y >= 2024 && mo >= 1 && mo <= 12 && d >= 1 && d <= 31 && h < 24 && mi < 60 && s < 61) << info;
}

}  // namespace

TEST(Trash, MovesIntoTheHomeTrashWithAnInfoFileAndNeverReusesAName) {
  TempDir dir;
  setenv("XDG_DATA_HOME", dir.file("data").c_str(), 1);
  ASSERT_EQ(make_dir(dir.file("music").c_str()), 0);
  const std::string song = dir.file("music/my song%1.wav");
  write_text(song, "first");

  TrashResult r;
  ASSERT_EQ(trash_file(song.c_str(), &r), kTrashOk);
  const std::string trash = dir.file("data/Trash");
  EXPECT_EQ(std::string(r.trashed), trash + "/files/my song%1.wav");
  EXPECT_EQ(std::string(r.info), trash + "/info/my song%1.wav.trashinfo");
  EXPECT_FALSE(path_exists(song.c_str()));
  EXPECT_EQ(read_text(r.trashed), "first");
  expect_info(r.info, dir.path + "/music/my%20song%251.wav");
  struct stat st;
  ASSERT_EQ(stat(trash.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);

  // The same name again gets a numbered slot; an info file someone else reserved, and a file in
  // files/ that has no info file, are both left alone.
  write_text(song, "second");
  write_text(trash + "/info/my song%1.2.wav.trashinfo", "reserved");
  write_text(trash + "/files/my song%1.3.wav", "stray");
  ASSERT_EQ(trash_file(song.c_str(), &r), kTrashOk);
  EXPECT_EQ(std::string(r.trashed), trash + "/files/my song%1.4.wav");
  EXPECT_EQ(read_text(r.trashed), "second");
  EXPECT_EQ(read_text(trash + "/info/my song%1.2.wav.trashinfo"), "reserved");
  EXPECT_EQ(read_text(trash + "/files/my song%1.3.wav"), "stray");
  EXPECT_FALSE(path_exists((trash + "/info/my song%1.3.wav.trashinfo").c_str()));

  // A relative path and a link: the link goes, its target stays.
  write_text(dir.file("target.wav"), "kept");
  ASSERT_EQ(symlink(dir.file("target.wav").c_str(), dir.file("music/link.wav").c_str()), 0);
  ASSERT_EQ(chdir(dir.file("music").c_str()), 0);
  ASSERT_EQ(trash_file("./link.wav", &r), kTrashOk);
  expect_info(r.info, dir.path + "/music/link.wav");
  EXPECT_EQ(read_text(dir.file("target.wav")), "kept");
  struct stat lst;
  ASSERT_EQ(lstat(r.trashed, &lst), 0);
  EXPECT_TRUE(S_ISLNK(lst.st_mode));
}

TEST(Trash, AFailedMoveLeavesTheFileAndNoInfoFile) {
  TempDir dir;
  setenv("XDG_DATA_HOME", dir.file("data").c_str(), 1);
  const std::string song = dir.file("a.wav");
  write_text(song, "audio");
  TrashResult r;

  file_fault_set(FileFault::kRename, 0, -1);
  EXPECT_EQ(trash_file(song.c_str(), &r), kTrashFailed);
  file_fault_clear();
  EXPECT_EQ(r.error, EBUSY);
  EXPECT_EQ(read_text(song), "audio");
  EXPECT_TRUE(std::filesystem::is_empty(dir.file("data/Trash/info")));
  EXPECT_TRUE(std::filesystem::is_empty(dir.file("data/Trash/files")));

  // The info file cannot be written: nothing moves either.
  file_fault_set(FileFault::kWrite, 0, 1);
  EXPECT_EQ(trash_file(song.c_str(), &r), kTrashFailed);
  file_fault_clear();
  EXPECT_EQ(read_text(song), "audio");
  EXPECT_TRUE(std::filesystem::is_empty(dir.file("data/Trash/info")));

  EXPECT_EQ(trash_file(dir.file("none.wav").c_str(), &r), kTrashMissing);
  EXPECT_EQ(trash_file(dir.path.c_str(), &r), kTrashMissing);  // folders are not what the list deletes

  // No trash can be made (its parent is a file): the file stays.
  write_text(dir.file("blocker"), "");
  setenv("XDG_DATA_HOME", dir.file("blocker/data").c_str(), 1);
  EXPECT_EQ(trash_file(song.c_str(), &r), kTrashNoPlace);
  EXPECT_EQ(read_text(song), "audio");
}

TEST(Trash, AFileOnAnotherFileSystemGoesToThatFileSystemsTrash) {
  TempDir home;
  setenv("XDG_DATA_HOME", home.file("data").c_str(), 1);
  struct stat shm, tmp;
  if (stat("/dev/shm", &shm) != 0 || stat(home.path.c_str(), &tmp) != 0 || shm.st_dev == tmp.st_dev)
    GTEST_SKIP() << "no second file system here";
  char top_trash[kTrashPathBytes];
  snprintf(top_trash, sizeof top_trash, "/dev/shm/.Trash-%u", unsigned(getuid()));
  const bool existed = path_exists(top_trash);
  char pattern[] = "/dev/shm/tolmtest-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string folder = pattern;
  const std::string song = folder + "/loop one.wav";
  write_text(song, "on tmpfs");

  char where[kTrashPathBytes];
  ASSERT_EQ(trash_folder_for(song.c_str(), where, sizeof where), 0);
  EXPECT_STREQ(where, top_trash);
  TrashResult r;
  const int rc = trash_file(song.c_str(), &r);
  const std::string trashed = r.trashed, info = rc == kTrashOk ? read_text(r.info) : "";
  // Cleaned before asserting: this trash is shared with whatever else runs here.
  if (rc == kTrashOk) {
    unlink(r.trashed);
    unlink(r.info);
  }
  std::filesystem::remove_all(folder);
  if (!existed) std::filesystem::remove_all(top_trash);
  ASSERT_EQ(rc, kTrashOk);
  EXPECT_EQ(trashed.rfind(std::string(top_trash) + "/files/loop one", 0), 0u) << trashed;
  // Relative to the mount point, so the trash still names it when mounted elsewhere.
  EXPECT_NE(info.find("\nPath=" + folder.substr(strlen("/dev/shm/")) + "/loop%20one.wav\n"), std::string::npos) << info;
  EXPECT_FALSE(path_exists(home.file("data/Trash/files").c_str()));
}
