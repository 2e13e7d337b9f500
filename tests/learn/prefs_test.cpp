// The shared preferences file against what sibling applications leave in it: version texts as
// the set-if-newer rule compares them, a newer value kept, a 300-entry file with over-long entries
// rewritten without touching a byte it does not change, failed writes that leave the file as it
// was, the lock held by another process, and the training id lists.
#include <gtest/gtest.h>

#include <unistd.h>

#include <string>
#include <vector>

#include "learn/prefs.h"
#include "learn/version.h"
#include "platform/file.h"
#include "platform/paths.h"
#include "tests/learn/learn_fixture.h"

namespace {

std::string read_key(const std::string& path, const char* key) {
  char out[kPrefsValueMax + 1];
  return prefs_read(path.c_str(), key, out, sizeof out) == 1 ? std::string(out) : std::string("(none)");
}

}  // namespace

TEST(Version, ComparesFieldByFieldThroughZerosAndRunsOfDots) {
  struct Case {
    const char *a, *b;
    int sign;
  };
  const Case cases[] = {
      {"1.3.10", "1.3.9", 1},   {"1.3.9", "1.3.10", -1},  {"1.3.10", "1.3.10", 0},
      {"01.03.010", "1.3.10", 0}, {"1..3...10", "1.3.10", 0}, {".1.3.10.", "1.3.10", 0},
      {"1.3", "1.3.0", 0},      {"1.3", "1.3.1", -1},     {"1.4", "1.3.10", 1},
      {"2", "10", -1},          {"0010", "9", 1},         {"", "1.0", -1},
      {"", "", 0},              {"0.0.00", "", 0},        {nullptr, "", 0},
      {nullptr, "0.1", -1},     {"1.3.10b", "1.3.10", 0}, {"100000000000000000000001", "100000000000000000000000", 1},
      {"1.3.10", "1.3.1.0", 1}, {"1.2.99999", "1.3", -1},
  };
  for (const Case& c : cases) {
    const int got = version_compare(c.a, c.b);
    EXPECT_EQ((got > 0) - (got < 0), c.sign) << (c.a ? c.a : "null") << " vs " << c.b;
    const int back = version_compare(c.b, c.a);
    EXPECT_EQ((back > 0) - (back < 0), -c.sign) << c.b << " vs " << (c.a ? c.a : "null");
  }
}

TEST(Prefs, SetIfNewerKeepsASiblingsNewerValueAndEveryOtherLine) {
  LearnHome home;
  const std::string path = home.prefs;
  // No file and no folder yet: the first write makes both.
  ASSERT_EQ(prefs_write_once(path.c_str(), "tolm.version_seen", "1.3.9", kPrefsSetIfNewer), kPrefsOk);
  EXPECT_EQ(read_text(path), "tolm.version_seen=1.3.9\n");

  // A sibling's file: CRLF lines, a comment, a line without "=", an empty value, no final newline.
  const std::string sibling = "# written by a sibling\r\nondel.version_seen=2.0.1\r\nnot an entry\n"
                              "tolm.version_seen=1.4.0\r\nempty=\nondel.training_done=a,b";
  write_text(path, sibling);
  ASSERT_EQ(prefs_write_once(path.c_str(), "tolm.version_seen", "1.3.10", kPrefsSetIfNewer), kPrefsOk);
  EXPECT_EQ(read_text(path), sibling);  // 1.4.0 is newer: nothing changes
  EXPECT_EQ(read_key(path, "tolm.version_seen"), "1.4.0");
  EXPECT_EQ(read_key(path, "ondel.version_seen"), "2.0.1");
  EXPECT_EQ(read_key(path, "empty"), "");
  EXPECT_EQ(read_key(path, "not an entry"), "(none)");

  // An older value is raised in place; the line keeps its CRLF, everything else its bytes.
  std::string older = sibling;
  older.replace(older.find("1.4.0"), 5, "01.3.9");
  write_text(path, older);
  ASSERT_EQ(prefs_write_once(path.c_str(), "tolm.version_seen", "1.3.10", kPrefsSetIfNewer), kPrefsOk);
  std::string expected = older;
  expected.replace(expected.find("01.3.9"), 6, "1.3.10");
  EXPECT_EQ(read_text(path), expected);
  // A new key goes at the end, after the newline the last line lacked.
  ASSERT_EQ(prefs_write_once(path.c_str(), "tolm.training_done", "first-arm", kPrefsSet), kPrefsOk);
  expected += "\ntolm.training_done=first-arm\n";
  EXPECT_EQ(read_text(path), expected);
  // Set replaces whatever is there, older or not.
  ASSERT_EQ(prefs_write_once(path.c_str(), "tolm.version_seen", "0.9", kPrefsSet), kPrefsOk);
  EXPECT_EQ(read_key(path, "tolm.version_seen"), "0.9");
  EXPECT_FALSE(access((path + ".tmp").c_str(), F_OK) == 0);

  // What the format cannot hold is refused and changes nothing.
  const std::string before = read_text(path);
  EXPECT_EQ(prefs_write_once(path.c_str(), "a=b", "x", kPrefsSet), kPrefsBadEntry);
  EXPECT_EQ(prefs_write_once(path.c_str(), "", "x", kPrefsSet), kPrefsBadEntry);
  EXPECT_EQ(prefs_write_once(path.c_str(), std::string(96, 'k').c_str(), "x", kPrefsSet), kPrefsBadEntry);
  EXPECT_EQ(prefs_write_once(path.c_str(), "k", "two\nlines", kPrefsSet), kPrefsBadEntry);
  EXPECT_EQ(prefs_write_once(path.c_str(), "k", std::string(4096, 'v').c_str(), kPrefsSet), kPrefsBadEntry);
  EXPECT_EQ(prefs_write_once(path.c_str(), std::string(95, 'k').c_str(), std::string(4095, 'v').c_str(), kPrefsSet), kPrefsOk);
  EXPECT_EQ(read_key(path, std::string(95, 'k').c_str()), std::string(4095, 'v'));
  EXPECT_EQ(read_text(path).substr(0, before.size()), before);

  // A write that fails (the disk, or another program holding the file at the move) leaves the
  // file as it was and no temporary copy behind.
  const std::string kept = read_text(path);
  for (FileFault fault : {FileFault::kWrite, FileFault::kShortWrite, FileFault::kDiskFull, FileFault::kRename,
                          FileFault::kCreate}) {
    file_fault_set(fault, 0, -1);
    EXPECT_EQ(prefs_write_once(path.c_str(), "tolm.version_seen", "9.9", kPrefsSet), kPrefsFailed);
    file_fault_clear();
    EXPECT_EQ(read_text(path), kept);
    EXPECT_FALSE(access((path + ".tmp").c_str(), F_OK) == 0);
  }
  // A folder where the file should be is not a file to rewrite.
  const std::string odd = home.dir.file("odd.ini");
  ASSERT_EQ(make_dir(odd.c_str()), 0);
  EXPECT_EQ(prefs_write_once(odd.c_str(), "k", "v", kPrefsSet), kPrefsFailed);
  EXPECT_EQ(read_key(odd, "k"), "(none)");
}

TEST(Prefs, AThreeHundredEntryFileSurvivesAWrite) {
  LearnHome home;
  // 300 entries of a sibling that allows more and longer than this program writes: values past
  // 4095 characters, keys past 95, mixed line ends, and ours far down the file.
  std::vector<std::string> lines;
  for (int i = 0; i < 300; ++i) {
    std::string key = "sib" + std::to_string(i) + ".value";
    if (i == 17) key = std::string(200, 'K');
    std::string value = std::string(size_t(i * 13 % 97), char('a' + i % 26));
    if (i == 40) value = std::string(6000, 'L');
    if (i == 41) value = std::string(4095, 'M');
    if (i == 280) key = "tolm.version_seen", value = "1.3.8";
    lines.push_back(key + "=" + value + (i % 3 == 0 ? "\r\n" : "\n"));
  }
  std::string original;
  for (const std::string& l : lines) original += l;
  ASSERT_EQ(make_dirs(home.prefs.substr(0, home.prefs.rfind('/')).c_str()), 0);
  write_text(home.prefs, original);

  ASSERT_EQ(prefs_write_once(home.prefs.c_str(), "tolm.version_seen", "1.3.10", kPrefsSetIfNewer), kPrefsOk);
  ASSERT_EQ(prefs_write_once(home.prefs.c_str(), "tolm.training_unseen", "cull,continue", kPrefsSet), kPrefsOk);
  std::string expected;
  for (int i = 0; i < 300; ++i)
    expected += i == 280 ? "tolm.version_seen=1.3.10" + std::string(i % 3 == 0 ? "\r\n" : "\n") : lines[size_t(i)];
  expected += "tolm.training_unseen=cull,continue\n";
  EXPECT_EQ(read_text(home.prefs), expected);
  EXPECT_EQ(read_key(home.prefs, "sib299.value"), std::string(size_t(299 * 13 % 97), char('a' + 299 % 26)));
  EXPECT_EQ(read_key(home.prefs, "sib41.value"), std::string(4095, 'M'));
  EXPECT_EQ(read_key(home.prefs, "tolm.version_seen"), "1.3.10");
}

TEST(Prefs, AWriteNeverWaitsForTheLockAndGivesUpAfterTwoSeconds) {
  LearnHome home;
  PrefsQueue q;
  prefs_queue_init(&q, home.prefs.c_str());
  {
    LockHolder holder;
    EXPECT_EQ(prefs_write_once(home.prefs.c_str(), "k", "v", kPrefsSet), kPrefsBusy);
    PrefsResult first;
    const int32_t a = prefs_queue_write(&q, "tolm.version_seen", "1.3.10", kPrefsSetIfNewer, 100.0, &first);
    ASSERT_GT(a, 0);
    EXPECT_EQ(first.rc, kPrefsBusy);
    // A later write of the same key queues behind it, untried, so the two keep their order.
    const int32_t b = prefs_queue_write(&q, "tolm.version_seen", "1.3.11", kPrefsSetIfNewer, 101.0, &first);
    EXPECT_EQ(first.rc, kPrefsBusy);
    PrefsResult done[kPrefsPending];
    EXPECT_EQ(prefs_queue_pump(&q, 101.99, done, kPrefsPending), 0);
    EXPECT_TRUE(prefs_queue_waiting(&q, a));
    ASSERT_EQ(prefs_queue_pump(&q, 102.0, done, kPrefsPending), 1);  // the first has waited 2 s
    EXPECT_EQ(done[0].id, a);
    EXPECT_EQ(done[0].rc, kPrefsTimedOut);
    EXPECT_TRUE(prefs_queue_waiting(&q, b));
    EXPECT_EQ(read_key(home.prefs, "tolm.version_seen"), "(none)");
    holder.release();
    ASSERT_EQ(prefs_queue_pump(&q, 102.5, done, kPrefsPending), 1);
    EXPECT_EQ(done[0].id, b);
    EXPECT_EQ(done[0].rc, kPrefsOk);
    EXPECT_EQ(prefs_queue_count(&q), 0);
  }
  EXPECT_EQ(read_key(home.prefs, "tolm.version_seen"), "1.3.11");

  // With the lock free a write settles at once; a full queue refuses more.
  PrefsResult first;
  EXPECT_GT(prefs_queue_write(&q, "x", "1", kPrefsSet, 200.0, &first), 0);
  EXPECT_EQ(first.rc, kPrefsOk);
  EXPECT_EQ(read_key(home.prefs, "x"), "1");
  LockHolder holder;
  for (int i = 0; i < kPrefsPending; ++i) EXPECT_GT(prefs_queue_write(&q, "y", "2", kPrefsSet, 300.0, &first), 0);
  EXPECT_EQ(prefs_queue_write(&q, "y", "2", kPrefsSet, 300.0, &first), kPrefsFull);
  EXPECT_EQ(prefs_queue_write(&q, "bad=key", "2", kPrefsSet, 300.0, &first), kPrefsBadEntry);
}

TEST(PrefsIds, ListsSkipBlanksCommasLongIdsAndRepeatsAndStopAtNinetySix) {
  PrefsIds ids;
  prefs_ids_parse(" first-arm, cull ,,continue,first-arm,  this-id-is-far-too-long-to-be-kept-at-all , move-line  ,", &ids);
  ASSERT_EQ(ids.count, 4);
  EXPECT_STREQ(ids.id[0], "first-arm");
  EXPECT_STREQ(ids.id[1], "cull");
  EXPECT_STREQ(ids.id[2], "continue");
  EXPECT_STREQ(ids.id[3], "move-line");
  char text[kPrefsValueMax + 1];
  prefs_ids_format(ids, text, sizeof text);
  EXPECT_STREQ(text, "first-arm,cull,continue,move-line");
  PrefsIds again;
  prefs_ids_parse(text, &again);
  EXPECT_EQ(again.count, 4);
  prefs_ids_parse("", &again);
  EXPECT_EQ(again.count, 0);
  prefs_ids_parse(nullptr, &again);
  EXPECT_EQ(again.count, 0);
  std::string many;
  for (int i = 0; i < 200; ++i) many += "s" + std::to_string(i) + ",";
  prefs_ids_parse(many.c_str(), &again);
  EXPECT_EQ(again.count, kPrefsIdCount);
  EXPECT_STREQ(again.id[95], "s95");
  EXPECT_FALSE(prefs_ids_add(&again, "s200"));  // full

  EXPECT_TRUE(prefs_ids_remove(&ids, "cull"));
  EXPECT_FALSE(prefs_ids_remove(&ids, "cull"));
  EXPECT_FALSE(prefs_ids_add(&ids, "first-arm"));
  for (const char* bad : {"", "a,b", " lead", "trail ", "x\ny", "0123456789012345678901234567890123"})
    EXPECT_FALSE(prefs_ids_add(&ids, bad)) << bad;
  EXPECT_TRUE(prefs_ids_add(&ids, "0123456789012345678901234567890"));
  prefs_ids_format(ids, text, sizeof text);
  EXPECT_STREQ(text, "first-arm,continue,move-line,0123456789012345678901234567890");
  prefs_ids_format(ids, text, 12);
  EXPECT_STREQ(text, "first-arm,c");
}
