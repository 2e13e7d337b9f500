// source.ref: exact text, round trips at the longest path, Windows line ends, bad and surplus take
// lines; creating reference sessions within one second and failing without leaving a folder.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "platform/file.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "sessions/library_scan.h"
#include "sessions/reference.h"
#include "tests/sessions/session_fixture.h"

namespace fs = std::filesystem;

TEST(Reference, RoundTripAtTheLongestPathWithTheExactText) {
  TempDir dir;
  auto ref = std::make_unique<Reference>();
  std::string source = "/";
  while (source.size() < 259) source += "x";
  text_copy(ref->source, source.c_str());
  ref->rate = 44100;
  ref->frames = 9000000000ll;
  ref->count = kMaxReferenceTakes;
  for (int i = 0; i < ref->count; ++i) ref->takes[i] = ReferenceTake{int64_t(i) * 20000000, int64_t(i) * 20000000 + 7};
  ASSERT_EQ(write_reference(dir.path.c_str(), *ref), 0);

  const std::string text = read_text(dir.file("source.ref"));
  EXPECT_EQ(text.substr(0, 11 + 7 + 259 + 1), "tolm-ref 1\nsource=" + source + "\n");
  EXPECT_NE(text.find("\nrate=44100\nframes=9000000000\ntake=0 7\ntake=20000000 20000007\n"), std::string::npos);
  EXPECT_EQ(text.substr(text.size() - 30), "\ntake=10220000000 10220000007\n");

  auto back = std::make_unique<Reference>();
  ASSERT_TRUE(read_reference(dir.path.c_str(), back.get()));
  EXPECT_EQ(memcmp(ref.get(), back.get(), sizeof(Reference)), 0);
  EXPECT_EQ(fs::directory_iterator(dir.path)->path().filename(), "source.ref");  // no temporary left
}

TEST(Reference, ReaderForgivesLineEndsBadLinesAndSurplusTakes) {
  TempDir dir;
  std::string text = "tolm-ref 7\r\nsource=C:\\audio\\walk.wav\r\nrate=48000\r\nframes=480000\r\n"
                     "take=100 50\r\ntake=abc def\r\ntake=5\r\nnote=kept quiet\r\n\r\ntake=10 20\r\n"
                     "take=99999999999999999999 100000000000000000000\r\n";
  for (int i = 0; i < 513; ++i) text += "take=" + std::to_string(i * 100) + " " + std::to_string(i * 100 + 50) + "\n";
  write_text(dir.file("source.ref"), text);
  auto ref = std::make_unique<Reference>();
  ASSERT_TRUE(read_reference(dir.path.c_str(), ref.get()));
  EXPECT_STREQ(ref->source, "C:\\audio\\walk.wav");
  EXPECT_EQ(ref->rate, 48000);
  EXPECT_EQ(ref->frames, 480000);
  ASSERT_EQ(ref->count, kMaxReferenceTakes);
  EXPECT_EQ(ref->takes[0].start, 10);
  EXPECT_EQ(ref->takes[0].end, 20);
  EXPECT_EQ(ref->takes[1].start, 0);
  EXPECT_EQ(ref->takes[511].start, 51000);  // the 513th take line is not read

  // An over-long line is read up to its limit and does not spill into another line.
  write_text(dir.file("source.ref"), "source=/a\n" + std::string(400, 'y') + "take=1 2\ntake=3 4\n");
  ASSERT_TRUE(read_reference(dir.path.c_str(), ref.get()));
  ASSERT_EQ(ref->count, 1);
  EXPECT_EQ(ref->takes[0].start, 3);

  // Without a source line it is no reference; without the file neither.
  write_text(dir.file("source.ref"), "tolm-ref 1\nrate=1\ntake=1 2\nsource=\n");
  EXPECT_FALSE(read_reference(dir.path.c_str(), ref.get()));
  EXPECT_EQ(ref->count, 1);
  fs::remove(dir.file("source.ref"));
  EXPECT_FALSE(read_reference(dir.path.c_str(), ref.get()));
  EXPECT_EQ(ref->count, 0);
}

TEST(Reference, TwoChopsInOneSecondAndFailuresLeaveNothing) {
  RecorderRig rig;
  Recorder* r = rig.rec.get();
  const int64_t starts[] = {0, 1000}, ends[] = {500, 3000};
  char a[kRelativeNameBytes], b[kRelativeNameBytes];
  ASSERT_EQ(create_reference_session(r, "/src/one.wav", 48000, 4000, starts, ends, 2, a, sizeof a), 0);
  ASSERT_EQ(create_reference_session(r, "/src/two.wav", 48000, 4000, starts, ends, 1, b, sizeof b), 0);
  EXPECT_STREQ(a, "2026-10-05/124424");
  EXPECT_STREQ(b, "2026-10-05/124424-2");
  EXPECT_EQ(read_text(rig.write_folder() + "/2026-10-05/124424-2/source.ref"),
            "tolm-ref 1\nsource=/src/two.wav\nrate=48000\nframes=4000\ntake=0 500\n");
  EXPECT_TRUE(logged("reference session -> " + rig.write_folder() + "/2026-10-05/124424  (2 takes of /src/one.wav)"));
  EXPECT_EQ(r->library.row_count, 2);

  // Refusals: no source, no takes, a path with a line break.
  char c[kRelativeNameBytes] = "unchanged";
  EXPECT_EQ(create_reference_session(r, "", 48000, 4000, starts, ends, 2, c, sizeof c), -1);
  EXPECT_EQ(create_reference_session(r, "/src/x.wav", 48000, 4000, starts, ends, 0, c, sizeof c), -1);
  EXPECT_EQ(create_reference_session(r, "/src/x\ntake=1 2.wav", 48000, 4000, starts, ends, 1, c, sizeof c), -1);
  EXPECT_STREQ(c, "");

  // The file cannot be written: the folder (and its fresh date folder) go again.
  rig.now += 86400;
  file_fault_set(FileFault::kCreate, 0, 1);
  EXPECT_EQ(create_reference_session(r, "/src/three.wav", 48000, 4000, starts, ends, 2, c, sizeof c), -1);
  file_fault_clear();
  EXPECT_EQ(folder_names(rig.write_folder()), std::vector<std::string>{"2026-10-05"});
  // The date folder cannot be made.
  write_text(rig.write_folder() + "/2026-10-06", "in the way");
  EXPECT_EQ(create_reference_session(r, "/src/three.wav", 48000, 4000, starts, ends, 2, c, sizeof c), -1);
  EXPECT_EQ(r->library.row_count, 2);
}
