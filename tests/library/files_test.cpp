// The files tab's files and arithmetic: favourites and tags shared with siblings (defaults, limits,
// their lines kept, refused paths, outside changes seen by polling while our own writes are not),
// marks and bar shifts surviving failed writes, the bar grid with shifts and lead-ins, loop files,
// the item list's order and filter, and the folder tree's state string.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "kit/audio_file.h"
#include "library/files_grid.h"
#include "library/files_list.h"
#include "library/files_store.h"
#include "library/files_tree.h"
#include "platform/file.h"
#include "platform/paths.h"
#include "tests/support/temp_dir.h"

namespace {

// A home of its own: HOME, XDG_CONFIG_HOME and the shared store folder inside the temp folder.
struct Home {
  TempDir dir;
  std::string store;
  Home() {
    setenv("HOME", dir.path.c_str(), 1);
    setenv("XDG_CONFIG_HOME", dir.file(".config").c_str(), 1);
    store = dir.file(".config/Lumaro");
    std::filesystem::create_directories(store);
  }
  std::string at(const std::string& name) const { return store + "/" + name; }
};

std::string lines(const std::vector<std::string>& v) {
  std::string s;
  for (const std::string& l : v) s += l + "\n";
  return s;
}

std::vector<std::string> favourites(const SharedStore& s) {
  std::vector<std::string> v;
  for (int i = 0; i < favourites_count(&s); ++i) v.push_back(favourite_at(&s, i));
  return v;
}

// Replaces a file the way a sibling does: a new file renamed over it, with the old time kept so
// only the file's identity tells.
void sibling_replaces(const std::string& path, const std::string& text) {
  FileIdentity before{};
  ASSERT_EQ(file_identity(path.c_str(), &before), 0);
  write_text(path + ".sib", text);
  ASSERT_EQ(set_file_mtime((path + ".sib").c_str(), before.mtime_ns), 0);
  ASSERT_EQ(rename((path + ".sib").c_str(), path.c_str()), 0);
}

}  // namespace

TEST(SharedStore, FavouritesDefaultWhenMissingAndKeepTheSiblingsLines) {
  Home h;
  std::filesystem::create_directories(h.dir.file("Music"));
  std::filesystem::create_directories(h.dir.file("Downloads"));
  SharedStore s;
  shared_store_open(&s, h.store.c_str());
  EXPECT_EQ(favourites(s), (std::vector<std::string>{h.dir.path, h.dir.file("Downloads"), h.dir.file("Music"), "/"}));
  EXPECT_FALSE(path_exists(h.at("favs.ini").c_str()));  // defaults are not written until a change

  // Toggling twice restores the list, and the file holds it.
  EXPECT_TRUE(favourite_toggle(&s, "/srv/loops"));
  EXPECT_FALSE(favourite_toggle(&s, "/srv/loops"));
  EXPECT_EQ(read_text(h.at("favs.ini")), lines({h.dir.path, h.dir.file("Downloads"), h.dir.file("Music"), "/"}));
  // Paths that would break or inject a line are refused.
  for (const char* bad : {"/a\nb", "/a\tb", "/a|b", "/a\rb", "/trailing "}) EXPECT_FALSE(favourite_toggle(&s, bad)) << bad;
  EXPECT_EQ(favourites_count(&s), 4);

  // A sibling's file of 70 entries (blank lines, CRs, trailing blanks): 64 are ours, the rest stay.
  std::vector<std::string> many;
  for (int i = 0; i < 70; ++i) many.push_back("/f" + std::to_string(i));
  std::string text;
  for (int i = 0; i < 70; ++i) text += many[size_t(i)] + (i % 3 == 0 ? "\r\n" : i % 3 == 1 ? "  \n" : "\n\n");
  write_text(h.at("favs.ini"), text);
  shared_store_open(&s, h.store.c_str());
  ASSERT_EQ(favourites_count(&s), kMaxFavourites);
  EXPECT_STREQ(favourite_at(&s, 63), "/f63");
  EXPECT_EQ(favourite_at(&s, 64), nullptr);
  EXPECT_FALSE(favourite_toggle(&s, "/the-65th"));  // full
  EXPECT_TRUE(favourite_move(&s, 0, 2));            // /f0 goes third, /f1 and /f2 move up
  EXPECT_EQ(favourites(s)[0], "/f1");
  EXPECT_EQ(favourites(s)[2], "/f0");
  std::vector<std::string> expect = many;
  std::swap(expect[0], expect[1]);
  std::swap(expect[1], expect[2]);
  EXPECT_EQ(read_text(h.at("favs.ini")), lines(expect));  // /f64../f69 written back after ours
  EXPECT_FALSE(favourite_move(&s, 0, 64));
}

TEST(SharedStore, TagsReadOnlyTheirOwnLinesAndRewriteWithoutLosingOthers) {
  Home h;
  write_text(h.at("tags.ini"), "3|/music/a.wav\r\n0|/zero.wav\n4/no-bar.wav\n5|\n7|/music/b.wav  \nnot a tag\n1|/c.wav\n");
  SharedStore s;
  shared_store_open(&s, h.store.c_str());
  EXPECT_EQ(tag_of(&s, "/music/a.wav"), 3);
  EXPECT_EQ(tag_of(&s, "/music/b.wav"), 7);
  EXPECT_EQ(tag_of(&s, "/zero.wav"), 0);
  EXPECT_EQ(tag_of(&s, "/no-bar.wav"), 0);
  EXPECT_EQ(s.tags.size(), 3u);

  EXPECT_FALSE(tag_set(&s, "/music/a.wav", 10));  // above 9: ignored
  EXPECT_FALSE(tag_set(&s, "/music/a.wav", 3));   // no change, no write
  EXPECT_TRUE(tag_set(&s, "/music/a.wav", 0));    // the last entry takes its place
  EXPECT_FALSE(tag_set(&s, "/d|e.wav", 2));
  EXPECT_TRUE(tag_set(&s, "/new.wav", 9));
  EXPECT_EQ(read_text(h.at("tags.ini")),
            "1|/c.wav\n7|/music/b.wav\n9|/new.wav\n0|/zero.wav\n4/no-bar.wav\n5|\nnot a tag\n");
}

TEST(SharedStore, PollingSeesOutsideChangesButNotOurOwnWrites) {
  Home h;
  write_text(h.at("favs.ini"), "/one\n");
  write_text(h.at("tags.ini"), "2|/x.wav\n");
  SharedStore s;
  shared_store_open(&s, h.store.c_str());
  uint32_t now = 1000;
  EXPECT_FALSE(shared_store_poll(&s, now));

  // Our own writes, however quick, are not outside changes.
  favourite_toggle(&s, "/two");
  tag_set(&s, "/y.wav", 4);
  const uint32_t count = s.shared_change_count;
  EXPECT_FALSE(shared_store_poll(&s, now += 600));
  EXPECT_EQ(s.shared_change_count, count);

  // A sibling replaces favs.ini with a file of the same size and time: the identity tells.
  sibling_replaces(h.at("favs.ini"), "/one\n/six\n");
  EXPECT_FALSE(shared_store_poll(&s, now + 100));  // at most every 500 ms
  EXPECT_TRUE(shared_store_poll(&s, now += 600));
  EXPECT_EQ(favourites(s), (std::vector<std::string>{"/one", "/six"}));
  EXPECT_EQ(s.shared_change_count, count + 1);
  EXPECT_FALSE(shared_store_poll(&s, now += 600));

  // Removed tags.ini: no tags; removed favs.ini: the defaults.
  remove_file(h.at("tags.ini").c_str());
  remove_file(h.at("favs.ini").c_str());
  EXPECT_TRUE(shared_store_poll(&s, now += 600));
  EXPECT_EQ(tag_of(&s, "/x.wav"), 0);
  EXPECT_EQ(favourites(s)[0], h.dir.path);

  // A write that fails keeps the change in memory and the old file on disk, and leaves no temporary file.
  write_text(h.at("favs.ini"), "/kept\n");
  EXPECT_TRUE(shared_store_poll(&s, now += 600));
  file_fault_set(FileFault::kWrite, 0, -1);
  EXPECT_TRUE(favourite_toggle(&s, "/new"));
  file_fault_clear();
  EXPECT_EQ(favourites(s), (std::vector<std::string>{"/kept", "/new"}));
  EXPECT_EQ(read_text(h.at("favs.ini")), "/kept\n");
  EXPECT_EQ(s.write_failures, 1);
  EXPECT_FALSE(shared_store_poll(&s, now += 600));  // nothing changed on disk: the memory stays
  EXPECT_EQ(favourites(s).size(), 2u);
  int files = 0;
  for (const auto& e : std::filesystem::directory_iterator(h.store)) files += e.is_regular_file() ? 1 : 0;
  EXPECT_EQ(files, 1);  // favs.ini only
}

TEST(FileMarks, RegionsAndShiftsRoundTripAndSurviveAFailedWrite) {
  Home h;
  FileMarks m;
  marks_open(&m, nullptr);
  EXPECT_EQ(std::string(m.marks_path), h.at("marks.ini"));
  EXPECT_EQ(std::string(m.bars_path), h.at("bars.ini"));
  EXPECT_TRUE(mark_set(&m, "/a b/c.wav", 0.25, 0.5));
  EXPECT_TRUE(mark_set(&m, "/d.wav", 0.9995, 0.2));  // pulled to 0.998 .. 1.0
  EXPECT_FALSE(mark_set(&m, "/d.wav", 0.998, 1.0));
  EXPECT_FALSE(mark_set(&m, "/e\t.wav", 0.1, 0.2));  // a tab would split the line
  EXPECT_TRUE(bar_shift_set(&m, "/a b/c.wav", -3));
  EXPECT_TRUE(bar_shift_set(&m, "/d.wav", 5));
  EXPECT_TRUE(bar_shift_set(&m, "/d.wav", 0));
  EXPECT_EQ(read_text(h.at("marks.ini")), "0.250000 0.500000\t/a b/c.wav\n0.998000 1.000000\t/d.wav\n");
  EXPECT_EQ(read_text(h.at("bars.ini")), "-3\t/a b/c.wav\n");

  // The whole file removes the region.
  EXPECT_TRUE(mark_set(&m, "/d.wav", 0.0, 1.0));
  double s = 0, e = 0;
  EXPECT_FALSE(mark_of(&m, "/d.wav", &s, &e));

  // An injected failure: the change stays in memory, the file on disk is the old one, whole.
  const std::string before = read_text(h.at("marks.ini"));
  for (FileFault fault : {FileFault::kWrite, FileFault::kShortWrite, FileFault::kDiskFull, FileFault::kRename}) {
    file_fault_set(fault, 0, -1);
    EXPECT_TRUE(mark_set(&m, "/a b/c.wav", 0.3, 0.6 + 0.01 * int(fault)));
    file_fault_clear();
    EXPECT_EQ(read_text(h.at("marks.ini")), before);
  }
  EXPECT_EQ(m.write_failures, 4);

  // Reading skips what it cannot use and keeps the first line of a path.
  write_text(h.at("marks.ini"), "0.1 0.2\t/one.wav\r\nno tab here\n0.3\t/half.wav\n0.1 0.2\t\n0.5 0.6\t/one.wav\nx y\t/nan.wav\n");
  write_text(h.at("bars.ini"), "2\t/one.wav\n7\t/one.wav\nx\t/bad.wav\n4\t\n0\t/zero.wav\n");
  FileMarks again;
  marks_open(&again, h.at("marks.ini").c_str());
  ASSERT_EQ(again.marks.size(), 1u);
  EXPECT_TRUE(mark_of(&again, "/one.wav", &s, &e));
  EXPECT_DOUBLE_EQ(s, 0.1);
  EXPECT_DOUBLE_EQ(e, 0.2);
  EXPECT_EQ(bar_shift_of(&again, "/one.wav"), 2);
  EXPECT_EQ(again.shifts.size(), 1u);

  // A marks file not named marks.ini keeps no bar shifts.
  FileMarks other;
  marks_open(&other, h.at("regions.txt").c_str());
  EXPECT_EQ(other.bars_path[0], 0);
  const std::string bars = read_text(h.at("bars.ini"));
  EXPECT_TRUE(bar_shift_set(&other, "/x.wav", 1));
  EXPECT_EQ(read_text(h.at("bars.ini")), bars);
}

TEST(BarGrid, BlocksFollowTempoShiftAndLeadIn) {
  BarGrid g;
  // 120 BPM, four bars a loop: 8-second loops; 20 s from a first beat at 0 makes 0-8, 8-16, 16-20.
  ASSERT_TRUE(bar_grid_make(120.0f, 0.0, 20 * 48000, 48000.0, 4, 0, &g));
  EXPECT_DOUBLE_EQ(g.loop_s, 8.0);
  EXPECT_FALSE(g.lead_in);
  ASSERT_EQ(g.loop_count, 3);
  double s = 0, e = 0;
  ASSERT_TRUE(bar_block(g, 2, &s, &e));
  EXPECT_DOUBLE_EQ(s, 16.0);
  EXPECT_DOUBLE_EQ(e, 20.0);
  EXPECT_TRUE(bar_block_partial(g, 2));
  EXPECT_FALSE(bar_block_partial(g, 1));
  char name[kLoopPathBytes];
  loop_file_name("song.wav", g, 2, name, sizeof name);
  EXPECT_STREQ(name, "song  end  8.0 beats  120 bpm.wav");
  loop_file_name("My:Loop?", g, 0, name, sizeof name);
  EXPECT_STREQ(name, "My_Loop_  bar 1  4 bars  120 bpm.wav");
  EXPECT_EQ(bar_block_at(g, 7.999), 0);
  EXPECT_EQ(bar_block_at(g, 8.0), 1);
  EXPECT_EQ(bar_block_at(g, 20.0), -1);

  // A shift of 5 beats with 16-beat loops: the first loop starts 2.5 s in, after a lead-in.
  ASSERT_TRUE(bar_grid_make(120.0f, 0.0, 20 * 48000, 48000.0, 4, 5, &g));
  EXPECT_TRUE(g.lead_in);
  EXPECT_DOUBLE_EQ(g.first_loop_start_s, 2.5);
  EXPECT_EQ(g.loop_count, 4);  // 0-2.5, 2.5-10.5, 10.5-18.5, 18.5-20
  ASSERT_TRUE(bar_block(g, 0, &s, &e));
  EXPECT_DOUBLE_EQ(e, 2.5);
  EXPECT_TRUE(bar_block_partial(g, 0));
  loop_file_name("a.flac", g, 1, name, sizeof name);
  EXPECT_STREQ(name, "a  bar 2  4 bars  120 bpm.wav");

  // Shifts of -1, 15 and -17 are the same grid; a first beat off the grid moves it by its offset.
  BarGrid a, b, c;
  ASSERT_TRUE(bar_grid_make(120.0f, 0.1, 30 * 48000, 48000.0, 4, -1, &a));
  ASSERT_TRUE(bar_grid_make(120.0f, 0.1, 30 * 48000, 48000.0, 4, 15, &b));
  ASSERT_TRUE(bar_grid_make(120.0f, 1.6, 30 * 48000, 48000.0, 4, -17, &c));
  EXPECT_NEAR(a.first_loop_start_s, 7.6, 1e-9);
  EXPECT_NEAR(b.first_loop_start_s, 7.6, 1e-9);
  EXPECT_NEAR(c.first_loop_start_s, 7.6, 1e-9);
  // A first beat within 20 ms of the start: no lead-in, the grid starts at 0.
  ASSERT_TRUE(bar_grid_make(120.0f, 0.015, 20 * 48000, 48000.0, 1, 0, &g));
  EXPECT_FALSE(g.lead_in);
  EXPECT_EQ(g.loop_count, 10);
  loop_file_name("x", g, 0, name, sizeof name);
  EXPECT_STREQ(name, "x  bar 1  1 bar  120 bpm.wav");
  // bars_per_loop below 1 counts as 4; no tempo or no audio: no grid; a sliver of a file neither.
  ASSERT_TRUE(bar_grid_make(120.0f, 0.0, 20 * 48000, 48000.0, 0, 0, &g));
  EXPECT_DOUBLE_EQ(g.loop_s, 8.0);
  EXPECT_FALSE(bar_grid_make(0.0f, 0.0, 20 * 48000, 48000.0, 4, 0, &g));
  EXPECT_FALSE(bar_grid_make(120.0f, 0.0, 0, 48000.0, 4, 0, &g));
  EXPECT_FALSE(bar_grid_make(120.0f, 0.0, 480, 48000.0, 4, 0, &g));
}

TEST(LoopFile, SavesTheBlockTimesTheGainAndNeverLosesAnOldLoop) {
  TempDir dir;
  // Three channels at 44.1 kHz: the loop keeps the first two.
  const double rate = 44100;
  const int64_t frames = int64_t(rate * 20);
  std::vector<float> samples(size_t(frames * 3));
  for (int64_t i = 0; i < frames; ++i)
    for (int c = 0; c < 3; ++c) samples[size_t(i * 3 + c)] = float(std::sin(0.001 * double(i) * (c + 1))) * 0.5f;
  AudioBuffer b{3, rate, frames, samples.data()};
  BarGrid g;
  ASSERT_TRUE(bar_grid_make(120.0f, 0.0, frames, rate, 4, 5, &g));
  char path[kLoopPathBytes];
  ASSERT_EQ(save_loop(b, g, 1, 0.5f, "take.wav", dir.path.c_str(), path, sizeof path), kLoopSaved);
  EXPECT_EQ(std::string(path), dir.file("take  bar 2  4 bars  120 bpm.wav"));
  AudioBuffer loop{};
  char msg[96];
  ASSERT_EQ(read_audio_file(path, &loop, nullptr, msg, sizeof msg), kReadOk);
  const int64_t first = int64_t(std::floor(rate * 2.5));
  ASSERT_EQ(loop.channels, 2);
  ASSERT_EQ(loop.frames, int64_t(std::floor(rate * 8 + 0.5)));
  EXPECT_DOUBLE_EQ(loop.sample_rate, rate);
  bool equal = true;
  for (int64_t i = 0; i < loop.frames && equal; ++i)
    for (int c = 0; c < 2; ++c) equal = equal && loop.samples[i * 2 + c] == samples[size_t((first + i) * 3 + c)] * 0.5f;
  EXPECT_TRUE(equal);
  free_audio_buffer(&loop);

  // The last block is cut at the end of the file.
  ASSERT_EQ(save_loop(b, g, 3, 1.0f, "take.wav", dir.path.c_str(), path, sizeof path), kLoopSaved);
  EXPECT_EQ(std::string(path), dir.file("take  end  3.0 beats  120 bpm.wav"));
  ASSERT_EQ(read_audio_file(path, &loop, nullptr, msg, sizeof msg), kReadOk);
  EXPECT_EQ(loop.frames, frames - int64_t(std::floor(rate * 18.5)));
  free_audio_buffer(&loop);

  // Saving over an existing loop when the write fails: the old loop stays whole.
  const std::string old = read_text(dir.file("take  bar 2  4 bars  120 bpm.wav"));
  file_fault_set(FileFault::kShortWrite, 1, 1);
  EXPECT_EQ(save_loop(b, g, 1, 1.0f, "take.wav", dir.path.c_str(), path, sizeof path), kLoopCantWrite);
  file_fault_clear();
  EXPECT_EQ(read_text(dir.file("take  bar 2  4 bars  120 bpm.wav")), old);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path), std::filesystem::directory_iterator()), 2);
  EXPECT_EQ(save_loop(b, g, 1, 1.0f, "take.wav", dir.file("missing").c_str(), path, sizeof path), kLoopNoFolder);
  EXPECT_STREQ(loop_save_message(kLoopNoFolder), "NO LOOPS FOLDER");
}

TEST(FilesList, NewestFirstFilteredBySourceAndTextKeepingTheSelection) {
  TempDir dir;
  std::filesystem::create_directories(dir.file("Beats"));
  std::filesystem::create_directories(dir.file("vocals"));
  struct F {
    const char* path;
    int64_t mtime;
  } files[] = {{"Beats/kick.wav", 100}, {"Beats/Snare.flac", 300}, {"vocals/take one.mp3", 300}, {"vocals/notes.txt", 400},
               {"vocals/hum.WAV", 200}, {"Beats/.hidden.wav", 500}};
  for (const F& f : files) {
    write_text(dir.file(f.path), "x");
    set_file_mtime(dir.file(f.path).c_str(), f.mtime * 1000000000LL);
  }
  FilesList l;
  EXPECT_EQ(files_list_add_folder(&l, dir.file("Beats").c_str()), 2);   // not the hidden file
  EXPECT_EQ(files_list_add_folder(&l, dir.file("vocals").c_str()), 2);  // not the text file
  EXPECT_FALSE(files_list_add_file(&l, dir.file("Beats/kick.wav").c_str()));  // already listed
  EXPECT_EQ(files_list_add_folder(&l, dir.file("none").c_str()), -1);
  std::vector<CloudItem> cloud = {{"cloud:private/z/r1", "https://cvws.example/1", "Cloud Kick", 2048, 250}};
  files_list_set_cloud(&l, cloud);
  auto names = [&l] {
    std::vector<std::string> v;
    for (int i : l.visible) v.push_back(l.items[size_t(i)].name);
    return v;
  };
  // Newest first; equal times by name, whatever the case.
  EXPECT_EQ(names(), (std::vector<std::string>{"Snare.flac", "take one.mp3", "Cloud Kick", "hum.WAV", "kick.wav"}));
  EXPECT_EQ(files_list_count(&l, kSourceLocal), 4);
  EXPECT_EQ(files_list_count(&l, kSourceCloud), 1);

  l.selected = dir.file("vocals/hum.WAV");
  EXPECT_TRUE(files_list_set_filter(&l, "KICK"));
  EXPECT_EQ(names(), (std::vector<std::string>{"Cloud Kick", "kick.wav"}));
  EXPECT_TRUE(l.selected.empty());  // no longer visible: cleared
  l.selected = dir.file("Beats/kick.wav");
  files_list_set_filter(&l, "beats");  // the parent folder's name
  EXPECT_EQ(names(), (std::vector<std::string>{"Snare.flac", "kick.wav"}));
  EXPECT_EQ(files_list_selected_row(&l), 1);
  files_list_set_filter(&l, "wav");  // the extension, not the rest of the name
  EXPECT_EQ(names(), (std::vector<std::string>{"hum.WAV", "kick.wav"}));
  files_list_set_filter(&l, "ONE");
  EXPECT_EQ(names(), (std::vector<std::string>{"take one.mp3"}));
  files_list_set_filter(&l, "");
  files_list_set_source(&l, kSourceCloud);
  EXPECT_EQ(names(), (std::vector<std::string>{"Cloud Kick"}));
  files_list_set_source(&l, kSourceBrowse);
  EXPECT_TRUE(l.visible.empty());

  const char* title = nullptr;
  const char* line = nullptr;
  EXPECT_FALSE(files_empty_text(&l, -1, &title, &line));  // the folder view has its own
  files_list_set_source(&l, kSourceLocal);
  files_list_set_filter(&l, "zzz");
  ASSERT_TRUE(files_empty_text(&l, 1, &title, &line));
  EXPECT_STREQ(title, "NOTHING MATCHES");
  EXPECT_STREQ(line, "Clear the filter, or pick another source.");
  FilesList empty;
  files_list_rebuild(&empty);
  ASSERT_TRUE(files_empty_text(&empty, 0, &title, &line));
  EXPECT_STREQ(title, "NO ITEMS YET");
  EXPECT_STREQ(line, "Drop audio files here, or paste a CloudKit API token to see the cloud.");

  EXPECT_TRUE(files_list_remove(&l, dir.file("Beats/kick.wav").c_str()));
  EXPECT_EQ(files_list_item(&l, dir.file("Beats/kick.wav").c_str()), nullptr);
  EXPECT_NE(files_list_item(&l, dir.file("vocals/hum.WAV").c_str()), nullptr);

  char text[32];
  format_size(1023, text, sizeof text);
  EXPECT_STREQ(text, "1023 B");
  format_size(1536 * 1024, text, sizeof text);
  EXPECT_STREQ(text, "1.5 MB");
  format_duration(61.6, text, sizeof text);
  EXPECT_STREQ(text, "1:02");
  format_age(2 * 86400 + 5, text, sizeof text);
  EXPECT_STREQ(text, "2 D");
}

TEST(FilesTree, StateStringRoundTripsAndDropsWhatCannotBeKept) {
  TempDir dir;
  std::filesystem::create_directories(dir.file("root/b/inner"));
  std::filesystem::create_directories(dir.file("root/A"));
  std::filesystem::create_directories(dir.file("root/pipe|dir"));
  write_text(dir.file("root/z.wav"), "");
  write_text(dir.file("root/b/inner/s.wav"), "");
  write_text(dir.file("root/.secret"), "");
  const std::string root = dir.file("root");
  FilesTree t;
  const std::string state = root + "|" + root + "/b/inner/s.wav|" + root + "/b|" + root + "/b/inner|" + root + "/gone";
  files_tree_load_state(&t, state.c_str());
  EXPECT_EQ(t.root, root);
  EXPECT_EQ(t.selected, root + "/b/inner/s.wav");
  std::vector<std::string> rows;
  for (const TreeRow& r : t.rows) rows.push_back(std::string(size_t(r.depth), ' ') + r.name);
  EXPECT_EQ(rows, (std::vector<std::string>{"A", "b", " inner", "  s.wav", "pipe|dir", "z.wav"}));
  char out[kFilesStateBytes];
  files_tree_state(&t, out, sizeof out);
  EXPECT_EQ(std::string(out), root + "|" + root + "/b/inner/s.wav|" + root + "/b|" + root + "/b/inner");

  // Closing b closes inner with it; Left from a file goes to its folder.
  files_tree_left(&t);
  EXPECT_EQ(t.selected, root + "/b/inner");
  files_tree_toggle(&t, 1);
  EXPECT_TRUE(t.expanded.empty());
  files_tree_toggle(&t, 3);  // "pipe|dir" opens, but is not written into the state
  files_tree_state(&t, out, sizeof out);
  EXPECT_EQ(std::string(out), root + "|" + root + "/b/inner");

  // Expanded folders past the field's room are left out whole.
  FilesTree big;
  big.root = root;
  for (int i = 0; i < 40; ++i) big.expanded.push_back(root + "/" + std::string(40, char('a' + i % 26)));
  files_tree_state(&big, out, sizeof out);
  const size_t entry = root.size() + 42;  // "|" + root + "/" + 40 letters
  EXPECT_LT(strlen(out), kFilesStateBytes);
  EXPECT_GT(strlen(out) + entry, kFilesStateBytes - 1);  // as many as fit
  EXPECT_EQ((strlen(out) - root.size() - 1) % entry, 0u);

  // Nothing usable: the default root.
  setenv("HOME", dir.path.c_str(), 1);
  setenv("XDG_CONFIG_HOME", dir.file("cfg").c_str(), 1);
  files_tree_load_state(&t, "relative|x");
  EXPECT_EQ(t.root, dir.path);  // no Music folder: home
}
