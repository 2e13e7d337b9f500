// The library on real folders: order, times and totals of the rows, hidden and unparsable folders,
// the 512-row limit, deleting takes and sessions (plain and reference), the overviews, choosing the
// write folder and seeding the first session.
#include <gtest/gtest.h>

#include <filesystem>

#include "config/settings.h"
#include "platform/clock.h"
#include "platform/file.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "sessions/library_scan.h"
#include "sessions/reference.h"
#include "sessions/session.h"
#include "sessions/session_util.h"
#include "tests/sessions/session_fixture.h"

namespace fs = std::filesystem;

namespace {

constexpr int64_t kSecond = 1000000000;

// A session folder under the write folder with 1-second 48 kHz takes, its time set afterwards.
void make_session(const std::string& wf, const std::string& rel, int takes, int64_t mtime_seconds,
                  double level = 0.25) {
  fs::create_directories(wf + "/" + rel);
  for (int i = 0; i < takes; ++i)
    write_wav_file(wf + "/" + rel + "/t" + std::to_string(i) + ".wav", 1, 2, 48000, 16,
                   std::vector<double>(96000, level));
  set_file_mtime((wf + "/" + rel).c_str(), mtime_seconds * kSecond);
}

std::vector<std::string> row_paths(const Recorder* r) {
  std::vector<std::string> v;
  for (int i = 0; i < r->library.row_count; ++i) v.push_back(r->library.rows[i].relative_path);
  return v;
}

}  // namespace

TEST(Library, RowsAreNewestFirstWithTheirTimesAndTotals) {
  RecorderRig rig;
  Recorder* r = rig.rec.get();
  const std::string wf = rig.write_folder();
  const int64_t start = local_seconds(2026, 10, 5, 12, 44, 24);
  make_session(wf, "2026-10-05/124424", 2, start + 936);
  write_wav_file(wf + "/2026-10-05/124424/half.WAV", 1, 1, 44100, 16, std::vector<double>(22050, 0.1));
  set_file_mtime((wf + "/2026-10-05/124424").c_str(), (start + 936) * kSecond);
  make_session(wf, "2026-10-06/080000", 1, start + 90000);
  make_session(wf, "2026-10-06/070000", 1, start + 90000);  // same time: the larger path first
  make_session(wf, "misc/take-a", 1, start - 100);          // names that are no date and time
  make_session(wf, "2026-10-07/empty", 0, start + 200000);  // no takes: hidden
  make_session(wf, ".trash/120000", 1, start + 300000);     // hidden folders are not sessions
  make_session(wf, "2026-10-05/.cache", 1, start + 300000);
  fs::create_directories(wf + "/2026-10-05/131313");
  write_text(wf + "/2026-10-05/131313/notes.txt", "x");
  write_text(wf + "/stray.wav", "x");
  scan_library(r);

  EXPECT_EQ(row_paths(r), (std::vector<std::string>{"2026-10-06/080000", "2026-10-06/070000", "2026-10-05/124424",
                                                    "misc/take-a"}));
  const LibraryRow& row = r->library.rows[2];
  EXPECT_STREQ(row.display_name, "2026-10-05 124424");
  EXPECT_EQ(row.take_count, 3);
  EXPECT_DOUBLE_EQ(row.total_seconds, 2.5);
  EXPECT_EQ(row.start_time, start);
  EXPECT_DOUBLE_EQ(row.span_seconds, 936.0);
  EXPECT_EQ(row.folder_time, (start + 936) * 10000000 + 116444736000000000ll);
  EXPECT_EQ(row.reference, 0);
  EXPECT_EQ(r->library.rows[3].start_time, 0);
  EXPECT_EQ(r->library.rows[3].span_seconds, 0.0);
  EXPECT_STREQ(r->library.rows[3].display_name, "misc take-a");

  // The open session is listed while empty, its name compared without case.
  text_copy(r->session.folder, (wf + "/2026-10-07/empty").c_str());
  text_copy(r->session.relative, "2026-10-07/EMPTY");
  scan_library(r);
  ASSERT_EQ(r->library.row_count, 5);
  EXPECT_STREQ(r->library.rows[0].relative_path, "2026-10-07/empty");
  EXPECT_EQ(r->library.rows[0].take_count, 0);
  EXPECT_TRUE(row_is_open_session(r, 0));
  EXPECT_FALSE(row_is_open_session(r, 1));
  char path[kPathCap];
  ASSERT_TRUE(take_file_path(r, 1, "t0.wav", path, sizeof path));
  EXPECT_EQ(std::string(path), wf + "/2026-10-06/080000/t0.wav");
  EXPECT_FALSE(take_file_path(r, 1, "../x.wav", path, sizeof path));
  EXPECT_FALSE(session_folder_path(r, 5, path, sizeof path));
}

TEST(Library, AtMost512SessionsAndTheNewestAreTheOnesListed) {
  RecorderRig rig;
  Recorder* r = rig.rec.get();
  const std::string wf = rig.write_folder();
  const int64_t base = local_seconds(2026, 1, 1, 0, 0, 0);
  for (int i = 0; i < 520; ++i) {
    char rel[32];
    snprintf(rel, sizeof rel, "2026-01-%02d/%06d", 1 + i % 28, i);
    fs::create_directories(wf + "/" + rel);
    write_text(wf + "/" + rel + "/x.wav", "");
    set_file_mtime((wf + "/" + rel).c_str(), (base + i) * kSecond);
  }
  scan_library(r);
  ASSERT_EQ(r->library.row_count, kMaxSessions);
  EXPECT_STREQ(r->library.rows[0].relative_path, "2026-01-16/000519");
  EXPECT_STREQ(r->library.rows[511].relative_path, "2026-01-09/000008");
}

TEST(Library, DeletingTakesKeepsTheSessionsPlaceAndTheLastTakeTakesTheSession) {
  RecorderRig rig;
  Recorder* r = rig.rec.get();
  const std::string wf = rig.write_folder();
  const int64_t t = local_seconds(2026, 10, 5, 9, 0, 0);
  make_session(wf, "2026-10-05/090000", 2, t);
  make_session(wf, "2026-10-06/090000", 1, t + 86400);
  make_session(wf, "2026-10-04/090000", 1, t - 86400);
  scan_library(r);
  ASSERT_EQ(find_library_row(r, "2026-10-05/090000"), 1);

  EXPECT_EQ(delete_take(r, 1, "t0.wav"), 1);  // the folder keeps its time and so its place
  EXPECT_TRUE(logged("deleted take t0.wav"));
  EXPECT_EQ(row_paths(r), (std::vector<std::string>{"2026-10-06/090000", "2026-10-05/090000", "2026-10-04/090000"}));
  EXPECT_EQ(r->library.rows[1].take_count, 1);
  EXPECT_EQ(path_filetime((wf + "/2026-10-05/090000").c_str()), t * 10000000 + 116444736000000000ll);

  EXPECT_EQ(delete_take(r, 1, "gone.wav"), -2);
  EXPECT_TRUE(logged("delete FAILED: " + wf + "/2026-10-05/090000/gone.wav"));
  EXPECT_EQ(delete_take(r, 1, "../../2026-10-06/090000/t0.wav"), -2);
  EXPECT_TRUE(is_file((wf + "/2026-10-06/090000/t0.wav").c_str()));

  // The last take: the session and its now empty date folder go.
  EXPECT_EQ(delete_take(r, 1, "t1.wav"), -1);
  EXPECT_TRUE(logged("deleted 2026-10-05 090000"));
  EXPECT_FALSE(path_exists((wf + "/2026-10-05").c_str()));
  EXPECT_EQ(row_paths(r), (std::vector<std::string>{"2026-10-06/090000", "2026-10-04/090000"}));

  // A whole session with other files in it; its date folder stays while another session lives there.
  make_session(wf, "2026-10-06/100000", 1, t + 90000);
  write_text(wf + "/2026-10-06/090000/session.json", "{}");
  scan_library(r);
  ASSERT_EQ(delete_session(r, find_library_row(r, "2026-10-06/090000")), 0);
  EXPECT_EQ(folder_names(wf + "/2026-10-06"), std::vector<std::string>{"100000"});
  EXPECT_EQ(delete_session(r, 7), -1);

  // The open session is not deleted under the recorder.
  ASSERT_EQ(arm_session(r), 0);
  const int open = find_library_row(r, r->session.relative);
  EXPECT_EQ(delete_session(r, open), -1);
  EXPECT_TRUE(is_dir(r->session.folder));
}

TEST(Library, ReferenceSessionsListDeleteAndGiveTheirSource) {
  RecorderRig rig;
  Recorder* r = rig.rec.get();
  const int64_t starts[] = {0, 48000, 96000}, ends[] = {24000, 72000, 144000};
  char name[kRelativeNameBytes];
  ASSERT_EQ(create_reference_session(r, "/media/field/dawn chorus.flac", 0, 200000, starts, ends, 3, name, sizeof name), 0);
  const int row = find_library_row(r, name);
  ASSERT_GE(row, 0);
  const LibraryRow& lr = r->library.rows[row];
  EXPECT_EQ(lr.reference, 1);
  EXPECT_STREQ(lr.source_name, "dawn chorus.flac");
  EXPECT_EQ(lr.take_count, 3);
  EXPECT_DOUBLE_EQ(lr.total_seconds, 2.0);  // a rate that is not positive counts as 48,000

  TakeFile takes[8];
  ASSERT_EQ(session_takes(r, row, takes, 8), 3);
  EXPECT_STREQ(takes[2].name, "take-003");
  EXPECT_EQ(takes[2].start, 96000);
  EXPECT_EQ(takes[2].end, 144000);
  EXPECT_DOUBLE_EQ(takes[2].seconds, 1.0);
  char source[kPathCap];
  int rate = -1;
  int64_t frames = 0;
  ASSERT_EQ(reference_source(r, row, source, sizeof source, &rate, &frames), 0);
  EXPECT_STREQ(source, "/media/field/dawn chorus.flac");
  EXPECT_EQ(rate, 0);
  EXPECT_EQ(frames, 200000);

  char folder[kPathCap];
  ASSERT_TRUE(session_folder_path(r, row, folder, sizeof folder));
  const int64_t before = path_filetime(folder);
  EXPECT_EQ(delete_take(r, row, "take-002"), row);
  EXPECT_EQ(path_filetime(folder), before);
  Reference ref;
  ASSERT_TRUE(read_reference(folder, &ref));
  ASSERT_EQ(ref.count, 2);
  EXPECT_EQ(ref.takes[1].start, 96000);
  EXPECT_EQ(delete_take(r, row, "take-009"), -2);
  EXPECT_EQ(delete_take(r, row, "take-001"), row);
  EXPECT_EQ(delete_take(r, row, "take-001"), -1);
  EXPECT_FALSE(path_exists(folder));

  // An ordinary row has no source.
  make_session(rig.write_folder(), "2026-10-01/100000", 1, wall_seconds());
  scan_library(r);
  EXPECT_EQ(reference_source(r, 0, source, sizeof source, &rate, &frames), -1);
}

TEST(Library, TakeAndSessionOverviews) {
  TempDir dir;
  // Four frames into two values: frames 0,1 -> value 0, frames 2,3 -> value 1; the louder side wins.
  write_wav_file(dir.file("a.wav"), 3, 2, 48000, 32, {0.1, -0.3, 0.2, 0.0, -0.9, 0.5, 0.4, 0.0});
  float v[3];
  ASSERT_EQ(take_overview(dir.file("a.wav").c_str(), v, 2), 0);
  EXPECT_FLOAT_EQ(v[0], 0.3f);
  EXPECT_FLOAT_EQ(v[1], 0.9f);
  ASSERT_EQ(take_overview(dir.file("a.wav").c_str(), v, 3), 0);  // frame i -> i * 3 / 4: 0, 0, 1, 2
  EXPECT_FLOAT_EQ(v[0], 0.3f);
  EXPECT_FLOAT_EQ(v[1], 0.9f);
  EXPECT_FLOAT_EQ(v[2], 0.4f);
  write_wav_file(dir.file("empty.wav"), 1, 2, 48000, 16, {});
  EXPECT_EQ(take_overview(dir.file("empty.wav").c_str(), v, 2), -1);
  EXPECT_EQ(v[0], 0.0f);
  EXPECT_EQ(take_overview(dir.file("none.wav").c_str(), v, 2), -1);

  // A 3-second take at 0.5, a 1-second take at 0.25 and a 1 ms take at 0.125 over 8 values
  // (total 4.001 s): values 0-4, 5-6 and 7, normalised so the loudest reads 1. The tiny take still
  // gets a value of its own.
  const std::string s = dir.file("s");
  fs::create_directory(s);
  write_wav_file(s + "/1.wav", 1, 2, 1000, 16, std::vector<double>(6000, 0.5));
  write_wav_file(s + "/2.wav", 1, 2, 1000, 16, std::vector<double>(2000, 0.25));
  write_wav_file(s + "/3.wav", 1, 2, 1000, 16, std::vector<double>(2, 0.125));
  write_text(s + "/4.wav", "broken");
  for (int i = 1; i <= 4; ++i) set_file_mtime((s + "/" + std::to_string(i) + ".wav").c_str(), 1700000000 * kSecond + i);
  float o[8];
  ASSERT_EQ(session_overview(s.c_str(), o, 8), 0);
  for (int i = 0; i < 5; ++i) EXPECT_FLOAT_EQ(o[i], 1.0f) << i;
  EXPECT_FLOAT_EQ(o[5], 0.5f);
  EXPECT_FLOAT_EQ(o[6], 0.5f);
  EXPECT_FLOAT_EQ(o[7], 0.25f);
  const std::string none = dir.file("none");
  fs::create_directory(none);
  EXPECT_EQ(session_overview(none.c_str(), o, 8), -1);
}

TEST(Library, WriteFolderChoiceAndTheFirstSession) {
  RecorderRig rig;
  Recorder* r = rig.rec.get();
  EXPECT_STREQ(r->library.write_folder, rig.write_folder().c_str());
  EXPECT_TRUE(logged("write folder: " + rig.write_folder()));

  // A chosen root that does not exist (an unplugged drive) is not made; the music folder stands in.
  TempDir chosen;
  init_library(r, (chosen.path + "/unplugged").c_str());
  EXPECT_TRUE(logged("write folder unusable: " + chosen.path + "/unplugged/tolm"));
  EXPECT_FALSE(path_exists((chosen.path + "/unplugged").c_str()));
  EXPECT_STREQ(r->library.write_folder, rig.write_folder().c_str());
  // A plain file where tolm must be: refused, the previous folder stays.
  write_text(chosen.path + "/tolm", "x");
  EXPECT_EQ(set_write_folder(r, chosen.path.c_str()), -1);
  EXPECT_STREQ(r->library.write_folder, rig.write_folder().c_str());
  fs::remove(chosen.path + "/tolm");
  ASSERT_EQ(set_write_folder(r, (chosen.path + "/").c_str()), 0);
  EXPECT_STREQ(r->library.root, chosen.path.c_str());
  EXPECT_EQ(std::string(r->library.write_folder), chosen.path + "/tolm");

  // First run with the example beside the program: copied once as 2026-10-05/124424.
  TempDir program;
  fs::create_directory(program.path + "/first");
  write_wav_file(program.file("first/tolm-124425.wav"), 1, 2, 48000, 16, std::vector<double>(9600, 0.3));
  Settings settings{};
  r->settings = &settings;
  ASSERT_EQ(seed_first_session_from(r, program.path.c_str()), 0);
  EXPECT_EQ(settings.first_done, 1);
  const std::string seeded = chosen.path + "/tolm/2026-10-05/124424";
  EXPECT_TRUE(logged("first project seeded: " + seeded));
  EXPECT_EQ(file_bytes(seeded + "/tolm-124425.wav"), file_bytes(program.file("first/tolm-124425.wav")));
  ASSERT_EQ(r->library.row_count, 1);
  EXPECT_EQ(r->library.rows[0].start_time, local_seconds(2026, 10, 5, 12, 44, 24));
  // Never twice, and never into a library that has sessions.
  EXPECT_EQ(seed_first_session_from(r, program.path.c_str()), -1);
  settings.first_done = 0;
  EXPECT_EQ(seed_first_session_from(r, program.path.c_str()), -1);
  EXPECT_EQ(settings.first_done, 1);
}
