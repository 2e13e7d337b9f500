// The files tab over a real player and loader: the two-step delete to the Trash (and a move that
// fails), Enter handing an item to the chop, regions kept in marks.ini only when set here, the
// folder view playing what the selection rests on with its preview and menus, and the loop panel
// on a 120 BPM click track: its grid, bar-follow that never stops at a block's end, LOOP on a
// block, a click and a drag-out that saves the block times the gain.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <functional>
#include <thread>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "config/settings.h"
#include "config/status.h"
#include "kit/audio_file.h"
#include "kit/cloud.h"
#include "library/chop.h"
#include "library/files_tab.h"
#include "library/player.h"
#include "platform/file.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "tests/library/library_fixture.h"
#include "tests/support/temp_dir.h"

namespace {

constexpr double kRate = 48000;

// A home, config, data and music folder of its own, a started player and a tab.
struct Rig {
  TempDir dir;
  Settings settings{};
  std::unique_ptr<Player> player = std::make_unique<Player>();
  std::unique_ptr<FilesTab> tab = std::make_unique<FilesTab>();
  uint32_t now = 10000;
  Rig() {
    setenv("HOME", dir.path.c_str(), 1);
    setenv("XDG_CONFIG_HOME", dir.file(".config").c_str(), 1);
    setenv("XDG_DATA_HOME", dir.file(".local/share").c_str(), 1);
    setenv("XDG_CACHE_HOME", dir.file(".cache").c_str(), 1);
    std::filesystem::create_directories(dir.file("music"));
    settings_defaults(&settings);
    EXPECT_EQ(player_start(player.get(), 1.0f, 0.0), 0);
    status_clear();
  }
  ~Rig() { files_close(tab.get(), host()); }
  FilesHost host(ChopJob* chop = nullptr) { return FilesHost{player.get(), chop, &settings, nullptr}; }
  void open() { files_open(tab.get(), host(), nullptr, nullptr); }
  void frame(uint32_t step_ms = 16, bool active = true) {
    now += step_ms;
    player_update(player.get());
    files_update(tab.get(), host(), FilesFrame{now, active, 600});
  }
  bool until(const std::function<bool()>& done, int timeout_ms = 10000) {
    for (int t = 0; t < timeout_ms; t += 2) {
      frame(2);
      if (done()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return done();
  }
  FilesAction key(int k, int mods = 0) { return files_key(tab.get(), host(), k, mods, now); }
  std::string sine(const std::string& name, double seconds) {
    const std::string path = dir.file("music/" + name);
    write_sine_take(path, int(kRate), seconds, 440);
    return path;
  }
};

// 120 BPM: a 10 ms burst of decaying noise on every beat from first_s on, in both channels.
std::string click_track(const std::string& path, double seconds, double first_s) {
  std::vector<float> s(size_t(2 * seconds * kRate));
  uint32_t noise = 12345;
  for (double beat = first_s; beat < seconds; beat += 0.5) {
    const int64_t start = int64_t(std::llround(beat * kRate));
    for (int64_t i = 0; i < int64_t(0.010 * kRate) && 2 * (start + i) + 1 < int64_t(s.size()); ++i) {
      noise = noise * 1664525u + 1013904223u;
      const float v = 0.8f * float(int32_t(noise)) / 2147483648.0f * std::exp(-float(i) / float(0.002 * kRate));
      s[size_t(2 * (start + i))] = s[size_t(2 * (start + i) + 1)] = v;
    }
  }
  write_take(path, int(kRate), s);
  return path;
}

int row_of(const FilesTab* t, const std::string& path) {
  for (size_t r = 0; r < t->list.visible.size(); ++r)
    if (t->list.items[size_t(t->list.visible[r])].path == path) return int(r);
  return -1;
}

}  // namespace

TEST(FilesTab, DeletesInTwoStepsToTheTrashOnlyWhenTheMoveSucceeds) {
  Rig rig;
  rig.open();
  const std::string a = rig.sine("a.wav", 0.5), b = rig.sine("b.wav", 0.5);
  const std::string music = rig.dir.file("music");
  const char* folder[] = {music.c_str()};
  EXPECT_EQ(files_add_paths(rig.tab.get(), rig.host(), folder, 1), 0);  // read on the worker
  ASSERT_TRUE(rig.until([&] { return rig.tab->list.items.size() == 2; }));
  char text[32];
  files_source_text(rig.tab.get(), kSourceLocal, text, sizeof text);
  EXPECT_STREQ(text, "LOCAL 2");
  // The rows in view get their lengths from the loader.
  ASSERT_TRUE(rig.until([&] { return files_list_item(&rig.tab->list, a.c_str())->info == kInfoReady; }));
  FilesRow row;
  ASSERT_TRUE(files_row(rig.tab.get(), rig.host(), row_of(rig.tab.get(), a), 0, &row));
  EXPECT_STREQ(row.length, "0:01");

  files_select_row(rig.tab.get(), row_of(rig.tab.get(), a));
  EXPECT_EQ(rig.key(kFilesKeyDelete).outcome, kFilesTaken);
  files_row(rig.tab.get(), rig.host(), row_of(rig.tab.get(), a), 0, &row);
  EXPECT_TRUE(row.armed);
  EXPECT_EQ(rig.key(kFilesKeyEscape).outcome, kFilesTaken);  // disarms
  EXPECT_EQ(rig.key(kFilesKeyEscape).outcome, kFilesNotTaken);  // then Esc is the drawer's
  EXPECT_EQ(rig.key(kFilesKeyDelete).outcome, kFilesTaken);
  const FilesAction gone = rig.key(kFilesKeyDelete);
  EXPECT_EQ(gone.outcome, kFilesDeleted);
  EXPECT_EQ(std::string(gone.path), a);
  EXPECT_FALSE(path_exists(a.c_str()));
  EXPECT_TRUE(path_exists(rig.dir.file(".local/share/Trash/files/a.wav").c_str()));
  EXPECT_NE(read_text(rig.dir.file(".local/share/Trash/info/a.wav.trashinfo")).find("Path=" + a + "\n"), std::string::npos);
  EXPECT_EQ(files_list_item(&rig.tab->list, a.c_str()), nullptr);
  EXPECT_TRUE(rig.tab->list.selected.empty());

  // b plays; its move fails: it stays listed, on disk and playing, and the foot says so.
  files_select_row(rig.tab.get(), row_of(rig.tab.get(), b));
  EXPECT_EQ(rig.key(kFilesKeySpace).outcome, kFilesPlayed);
  ASSERT_TRUE(rig.until([&] { return player_is_playing(rig.player.get()); }));
  rig.key(kFilesKeyDelete);
  file_fault_set(FileFault::kRename, 0, -1);
  EXPECT_EQ(rig.key(kFilesKeyDelete).outcome, kFilesDeleteFailed);
  file_fault_clear();
  EXPECT_STREQ(status_line().text, "COULDN'T MOVE IT TO THE TRASH");
  EXPECT_TRUE(path_exists(b.c_str()));
  EXPECT_NE(files_list_item(&rig.tab->list, b.c_str()), nullptr);
  EXPECT_TRUE(player_is_playing(rig.player.get()));
  // Deleted for real, it stops playing.
  rig.key(kFilesKeyDelete);
  EXPECT_EQ(rig.key(kFilesKeyDelete).outcome, kFilesDeleted);
  EXPECT_FALSE(player_is_playing(rig.player.get()));
  const char* title = nullptr;
  const char* line = nullptr;
  ASSERT_TRUE(files_empty(rig.tab.get(), rig.host(), &title, &line));
  EXPECT_STREQ(title, "NO ITEMS YET");
  EXPECT_STREQ(line, "Drop audio files here.");
}

TEST(FilesTab, EnterHandsTheItemToTheChop) {
  Rig rig;
  rig.open();
  const std::string a = rig.sine("chop me.wav", 0.2);
  const char* paths[] = {a.c_str()};
  files_add_paths(rig.tab.get(), rig.host(), paths, 1);
  files_select_row(rig.tab.get(), 0);
  FilesAction act = rig.key(kFilesKeyEnter);
  EXPECT_EQ(act.outcome, kFilesOpenForChop);  // no chop given: the shell's turn
  EXPECT_EQ(std::string(act.path), a);
  auto chop = std::make_unique<ChopJob>();
  act = files_key(rig.tab.get(), rig.host(chop.get()), kFilesKeyKeypadEnter, 0, rig.now);
  EXPECT_EQ(act.outcome, kFilesOpenedForChop);
  EXPECT_EQ(chop->mode, 1);
  EXPECT_STREQ(chop->source_path, a.c_str());
  leave_chop(chop.get());
}

TEST(FilesTab, RegionsSetHereAreKeptInMarksAndComeBack) {
  Rig rig;
  rig.open();
  const std::string a = rig.sine("a.wav", 1.0);
  ASSERT_TRUE(player_play_item(rig.player.get(), a.c_str(), "a"));
  ASSERT_TRUE(rig.until([&] { return player_has_audio(rig.player.get()) && !rig.player->decoding; }));
  player_move_marker(rig.player.get(), false, 0.25);
  player_move_marker(rig.player.get(), true, 0.75);
  rig.frame();
  EXPECT_EQ(read_text(rig.dir.file(".config/Lumaro/marks.ini")), "0.250000 0.750000\t" + a + "\n");
  files_loop_shift(rig.tab.get(), rig.host(), -1);
  files_loop_shift(rig.tab.get(), rig.host(), -1);
  EXPECT_EQ(read_text(rig.dir.file(".config/Lumaro/bars.ini")), "-2\t" + a + "\n");
  // The library tab's regions (a reference session's takes) are not the tab's marks.
  player_move_marker(rig.player.get(), false, 0.5);
  rig.frame(16, false);
  EXPECT_EQ(read_text(rig.dir.file(".config/Lumaro/marks.ini")), "0.250000 0.750000\t" + a + "\n");
  // The whole file removes the mark.
  player_move_marker(rig.player.get(), false, 0.0);
  player_move_marker(rig.player.get(), true, 1.0);
  rig.frame();
  EXPECT_EQ(read_text(rig.dir.file(".config/Lumaro/marks.ini")), "");
  player_move_marker(rig.player.get(), true, 0.5);
  rig.frame();

  // A new run: the tab gives the player the region back.
  Player again;
  ASSERT_EQ(player_start(&again, 1.0f, 0.0), 0);
  FilesTab tab;
  files_open(&tab, FilesHost{&again, nullptr, &rig.settings, nullptr}, nullptr, nullptr);
  double s = 0, e = 0;
  ASSERT_TRUE(player_region(&again, a.c_str(), &s, &e));
  EXPECT_DOUBLE_EQ(s, 0.0);
  EXPECT_DOUBLE_EQ(e, 0.5);
  EXPECT_EQ(bar_shift_of(&tab.marks, a.c_str()), -2);
  files_close(&tab, FilesHost{&again, nullptr, &rig.settings, nullptr});
}

TEST(FilesTab, FolderViewPlaysWhatTheSelectionRestsOnAndKeepsItsState) {
  Rig rig;
  const std::string root = rig.dir.file("music");
  std::filesystem::create_directories(root + "/set");
  const std::string song = root + "/set/song.wav";
  write_sine_take(song, int(kRate), 1.0, 220);
  write_text(root + "/notes.txt", "not audio");
  text_copy(rig.settings.files_state, (root + "|").c_str());
  rig.open();
  files_click_source(rig.tab.get(), kSourceBrowse);
  FilesTree& tree = rig.tab->tree;
  ASSERT_EQ(tree.rows.size(), 2u);  // set/, notes.txt
  EXPECT_EQ(rig.key(kFilesKeyDown).outcome, kFilesTaken);
  EXPECT_EQ(rig.key(kFilesKeyRight).outcome, kFilesTaken);  // opens set/
  rig.frame();
  EXPECT_EQ(std::string(rig.settings.files_state), root + "|" + root + "/set|" + root + "/set");
  rig.key(kFilesKeyDown);  // song.wav
  ASSERT_EQ(tree.selected, song);
  rig.frame();  // the selection comes to rest here
  rig.frame(100);
  rig.frame(40);
  EXPECT_FALSE(player_is_current(rig.player.get(), song.c_str()));  // not yet 0.15 s
  rig.frame(10);
  EXPECT_TRUE(player_is_current(rig.player.get(), song.c_str()));
  ASSERT_TRUE(rig.until([&] {
    float alpha = 0;
    const FilesPreview* v = files_preview(rig.tab.get(), rig.now, &alpha);
    return v && v->done && alpha == 1.0f;
  }));
  const FilesPreview* v = files_preview(rig.tab.get(), rig.now, nullptr);
  EXPECT_NEAR(v->seconds, 1.0, 0.01);
  EXPECT_FLOAT_EQ(*std::max_element(v->peaks, v->peaks + kPreviewBins), 1.0f);
  EXPECT_EQ(rig.tab->previews.count(song), 1u);

  // A file that is not audio opens with the desktop's handler; a folder opens and closes.
  rig.key(kFilesKeyDown);
  EXPECT_EQ(tree.selected, root + "/notes.txt");
  FilesAction act = rig.key(kFilesKeyEnter);
  EXPECT_EQ(act.outcome, kFilesOpenFile);
  EXPECT_EQ(std::string(act.path), root + "/notes.txt");
  rig.frame();
  EXPECT_EQ(files_preview(rig.tab.get(), rig.now, nullptr), nullptr);

  // Menus: the root cannot be made the root; a folder can, and can be a favourite.
  FilesMenu menu;
  files_menu_tree(rig.tab.get(), -1, &menu);
  ASSERT_EQ(menu.count, 5);
  EXPECT_STREQ(menu.items[2].label, "MAKE ROOT");
  EXPECT_FALSE(menu.items[2].enabled);
  EXPECT_STREQ(menu.items[3].label, "SHOW IN ONDEL");
  EXPECT_FALSE(menu.items[3].enabled);  // no ondel here
  files_menu_tree(rig.tab.get(), 0, &menu);
  EXPECT_STREQ(menu.items[1].label, "FAVORITE");
  files_menu_choose(rig.tab.get(), rig.host(), menu, kFilesMenuFavorite);
  EXPECT_GE(favourite_index(&rig.tab->store, (root + "/set").c_str()), 0);
  files_menu_tree(rig.tab.get(), 0, &menu);
  EXPECT_STREQ(menu.items[1].label, "UNFAVORITE");
  EXPECT_EQ(files_menu_choose(rig.tab.get(), rig.host(), menu, kFilesMenuShowInFiles).outcome, kFilesShowItem);
  files_menu_choose(rig.tab.get(), rig.host(), menu, kFilesMenuMakeRoot);
  EXPECT_EQ(tree.root, root + "/set");
  const int fav = favourite_index(&rig.tab->store, rig.dir.path.c_str());  // home is a default favourite
  ASSERT_GE(fav, 0);
  files_favourite_click(rig.tab.get(), rig.host(), fav);
  EXPECT_EQ(tree.root, rig.dir.path);
  EXPECT_EQ(std::string(rig.settings.files_state).substr(0, rig.dir.path.size() + 1), rig.dir.path + "|");
  // F toggles the root's favourite; B hides the strip.
  const int before = favourites_count(&rig.tab->store);
  rig.key(kFilesKeyF);
  EXPECT_EQ(favourites_count(&rig.tab->store), before - 1);
  rig.key(kFilesKeyB);
  EXPECT_FALSE(rig.tab->show_favourites);
}

TEST(FilesTab, LoopPanelGridFollowLoopAndDragOutOnAClickTrack) {
  Rig rig;
  rig.open();
  // The first beat a quarter second in: a lead-in block before the first full loop.
  const std::string track = click_track(rig.dir.file("music/clicks 120.wav"), 20.0, 0.25);
  files_loop_tempo(rig.tab.get(), true);
  player_set_gain(rig.player.get(), 0.5f);
  ASSERT_TRUE(player_play_item(rig.player.get(), track.c_str(), "clicks"));
  ASSERT_TRUE(rig.until([&] { return files_grid(rig.tab.get()) != nullptr; }, 20000));
  playback_pause(&rig.player->engine);
  const BarGrid g = *files_grid(rig.tab.get());
  EXPECT_NEAR(g.bpm, 120.0f, 0.5f);
  EXPECT_NEAR(g.loop_s, 8.0, 0.05);
  EXPECT_TRUE(g.lead_in);
  EXPECT_NEAR(g.first_loop_start_s, 0.25, 0.02);
  ASSERT_EQ(g.loop_count, 4);  // the lead-in, two loops, the end
  char text[64];
  files_loop_text(rig.tab.get(), rig.host(), text, sizeof text);
  char bpm[16];
  snprintf(bpm, sizeof bpm, "%.1f BPM  ", double(g.bpm));
  EXPECT_EQ(std::string(text).substr(0, strlen(bpm)), bpm);

  // Bar-follow: the block under the playhead is armed in the engine but not active while repeat
  // is off, so playback runs on through the block's end.
  PlaybackEngine* e = &rig.player->engine;
  const double first_end = g.first_loop_start_s + g.loop_s;
  player_seek(rig.player.get(), (first_end - 0.5) / g.duration_s);
  playback_play(e);
  render(e, 256, kRate);
  rig.frame();
  EXPECT_EQ(files_current_block(rig.tab.get(), rig.host()), 1);
  EXPECT_EQ(e->region_on.load(), 0);
  render(e, int64_t(1.0 * kRate), kRate);
  EXPECT_TRUE(player_is_playing(rig.player.get()));
  EXPECT_GT(double(e->published_position.load()) / kRate, first_end + 0.4);
  rig.frame();
  EXPECT_EQ(files_current_block(rig.tab.get(), rig.host()), 2);
  EXPECT_NEAR(double(e->region_start.load()) / kRate, first_end, 0.01);

  // LOOP: repeat on for the current block; playback wraps inside it.
  files_loop_button(rig.tab.get(), rig.host());
  EXPECT_TRUE(rig.tab->loop.block_repeat);
  EXPECT_EQ(e->region_on.load(), 1);
  EXPECT_EQ(e->repeat.load(), 1);
  render(e, int64_t(8.0 * kRate), kRate);
  rig.frame();
  const double at = double(e->published_position.load()) / kRate;
  EXPECT_GE(at, first_end);
  EXPECT_LT(at, first_end + g.loop_s);
  // The pane's own LOOP takes repeat back: the block lets go and the file's region (none) returns.
  player_toggle_loop(rig.player.get());
  rig.frame();
  EXPECT_FALSE(rig.tab->loop.block_repeat);
  EXPECT_EQ(e->region_on.load(), 0);
  player_toggle_loop(rig.player.get());

  // A click on block 2 plays from just after its start.
  files_loop_press(rig.tab.get(), 2, 100, 10);
  files_loop_release(rig.tab.get(), rig.host());
  EXPECT_NEAR(player_playhead(rig.player.get()) * g.duration_s, first_end + 0.003, 0.001);

  // A press that moves 6 pixels is still a press; one that leaves the window drags block 1 out.
  files_loop_press(rig.tab.get(), 1, 100, 10);
  EXPECT_EQ(files_loop_move(rig.tab.get(), rig.host(), 103, 13, false, rig.now).outcome, kFilesTaken);
  EXPECT_EQ(files_loop_move(rig.tab.get(), rig.host(), 120, 10, false, rig.now).outcome, kFilesTaken);
  const FilesAction drag = files_loop_move(rig.tab.get(), rig.host(), 120, -40, true, rig.now);
  ASSERT_EQ(drag.outcome, kFilesDragOut);
  EXPECT_EQ(std::string(drag.path), rig.dir.file("Music/Lumaro/Loops/clicks 120  bar 2  4 bars  120 bpm.wav"));
  files_drag_finished(rig.tab.get(), 1, rig.now);
  EXPECT_STREQ(files_loop_message(rig.tab.get(), rig.now + 2999), "SAVED  Music/Lumaro/Loops");
  EXPECT_EQ(files_loop_message(rig.tab.get(), rig.now + 3000), nullptr);
  files_drag_finished(rig.tab.get(), -1, rig.now);
  EXPECT_STREQ(files_loop_message(rig.tab.get(), rig.now), "CAN'T DRAG OUT");

  // The loop is the block's frames of the file times the gain.
  AudioBuffer loop{};
  char msg[96];
  ASSERT_EQ(read_audio_file(drag.path, &loop, nullptr, msg, sizeof msg), kReadOk);
  const AudioBuffer* b = playback_buffer(e);
  const int64_t first = int64_t(std::floor(kRate * g.first_loop_start_s));
  ASSERT_EQ(loop.frames, int64_t(std::floor(kRate * g.loop_s + 0.5)));
  ASSERT_EQ(loop.channels, 2);
  int64_t differ = 0;
  for (int64_t i = 0; i < loop.frames * 2; ++i) differ += loop.samples[i] != b->samples[first * 2 + i] * 0.5f;
  EXPECT_EQ(differ, 0);
  free_audio_buffer(&loop);

  // The last, partial block is saved as its "end".
  char path[kFilesActionBytes];
  ASSERT_EQ(files_save_block(rig.tab.get(), rig.host(), 3, path, sizeof path), kLoopSaved);
  EXPECT_NE(std::string(path).find("  end  "), std::string::npos);
  // Tempo off: no grid, the file's own region again.
  files_loop_tempo(rig.tab.get(), false);
  rig.frame();
  EXPECT_EQ(files_grid(rig.tab.get()), nullptr);
  EXPECT_EQ(files_save_block(rig.tab.get(), rig.host(), 0, path, sizeof path), kLoopCantWrite);
}

TEST(FilesTab, TheCloudSourceTakesATokenAndListsTheClientsEntries) {
  Rig rig;
  rig.open();
  // Nothing listens here: a sign-in fails at once instead of reaching out.
  CloudClient cloud;
  snprintf(cloud.route.host, sizeof cloud.route.host, "%s", kCloudHost);
  cloud.route.port = 9;
  snprintf(cloud.route.resolve, sizeof cloud.route.resolve, "%s:9:127.0.0.1", kCloudHost);
  cloud_start(&cloud, CloudConfig{}, "");
  FilesHost h = rig.host();
  h.cloud = &cloud;
  files_click_source(rig.tab.get(), kSourceCloud);
  const char* title = nullptr;
  const char* line = nullptr;
  ASSERT_TRUE(files_empty(rig.tab.get(), h, &title, &line));
  EXPECT_STREQ(line, "Drop audio files here, or paste a CloudKit API token to see the cloud.");
  EXPECT_FALSE(files_paste(rig.tab.get(), h, " two words "));  // not a token
  EXPECT_TRUE(files_paste(rig.tab.get(), h, "  tok-123\n"));
  ASSERT_TRUE(rig.until([&] { return cloud.busy.load() == 0; }));
  char status[kCloudStatusBytes], progress[kCloudProgressBytes];
  float fraction = 0;
  ASSERT_TRUE(files_cloud_status(rig.tab.get(), h, status, sizeof status, progress, sizeof progress, &fraction));
  EXPECT_STREQ(status, "CANNOT CONNECT");
  ASSERT_TRUE(files_empty(rig.tab.get(), h, &title, &line));
  EXPECT_STREQ(line, "Drop audio files here, or sign in to see the cloud.");
  EXPECT_STREQ(files_cloud_button_label(h), "SIGN IN");
  // A token the service did not take is replaced by the next one pasted.
  EXPECT_TRUE(files_paste(rig.tab.get(), h, "tok-456"));
  ASSERT_TRUE(rig.until([&] { return cloud.busy.load() == 0; }));
  {
    std::lock_guard<std::mutex> lk(cloud.lock);
    EXPECT_STREQ(cloud.config.api_token, "tok-456");
  }

  // Entries the client listed become the CLOUD items, newest first.
  {
    std::lock_guard<std::mutex> lk(cloud.lock);
    CloudEntry e{};
    snprintf(e.zone, sizeof e.zone, "Loops");
    snprintf(e.record_name, sizeof e.record_name, "r1");
    snprintf(e.display_name, sizeof e.display_name, "Old groove");
    e.size_bytes = 3 << 20;
    e.modified_ms = 1700000000000;
    cloud.entries.push_back(e);
    snprintf(e.record_name, sizeof e.record_name, "r2");
    snprintf(e.display_name, sizeof e.display_name, "New groove.WAV");
    snprintf(e.download_url, sizeof e.download_url, "https://%s:9/asset/${f}", kCloudHost);
    e.modified_ms = 1700000100000;
    cloud.entries.push_back(e);
    ++cloud.list_serial;
  }
  files_update(rig.tab.get(), h, FilesFrame{rig.now, true, 600});
  ASSERT_EQ(rig.tab->list.visible.size(), 2u);
  FilesRow row;
  ASSERT_TRUE(files_row(rig.tab.get(), h, 0, 1700000100 + 7200, &row));
  EXPECT_EQ(row.item->name, "New groove.WAV");
  EXPECT_STREQ(row.size, "3.0 MB");
  EXPECT_STREQ(row.age, "2 H");
  char text[32];
  files_source_text(rig.tab.get(), kSourceCloud, text, sizeof text);
  EXPECT_STREQ(text, "CLOUD 2");
  // Cloud items are not deleted from here.
  files_select_row(rig.tab.get(), 0);
  files_key(rig.tab.get(), h, kFilesKeyDelete, 0, rig.now);
  EXPECT_EQ(files_key(rig.tab.get(), h, kFilesKeyDelete, 0, rig.now).outcome, kFilesTaken);
  EXPECT_EQ(rig.tab->list.visible.size(), 2u);

  // Space fetches the item into the cache first; a fetch that fails says why and leaves nothing.
  status_clear();
  EXPECT_EQ(files_key(rig.tab.get(), h, kFilesKeySpace, 0, rig.now).outcome, kFilesTaken);
  files_row(rig.tab.get(), h, 0, 0, &row);
  EXPECT_TRUE(row.fetching);
  for (int i = 0; i < 5000 && rig.tab->fetch.running; ++i) {
    files_update(rig.tab.get(), h, FilesFrame{rig.now, true, 600});
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  EXPECT_STREQ(status_line().text, "CANNOT CONNECT");
  const std::string cache = rig.dir.file(".cache/tolm-zepha/cloud");
  EXPECT_TRUE(std::filesystem::is_empty(cache));
  // Once in the cache (named by the item's key, with its name's extension) it plays at once.
  uint64_t key = 14695981039346656037ull;
  for (unsigned char ch : std::string("cloud:private/Loops/r2")) key = (key ^ ch) * 1099511628211ull;
  char name[64];
  snprintf(name, sizeof name, "/%016llx.wav", static_cast<unsigned long long>(key));
  write_sine_take(cache + name, int(kRate), 0.5, 330);
  FilesAction played = files_key(rig.tab.get(), h, kFilesKeySpace, 0, rig.now);
  EXPECT_EQ(played.outcome, kFilesPlayed);
  EXPECT_TRUE(player_is_current(rig.player.get(), (cache + name).c_str()));
  auto chop = std::make_unique<ChopJob>();
  h.chop = chop.get();
  EXPECT_EQ(files_key(rig.tab.get(), h, kFilesKeyEnter, 0, rig.now).outcome, kFilesOpenedForChop);
  EXPECT_STREQ(chop->source_path, (cache + name).c_str());
  leave_chop(chop.get());
  cloud_shutdown(&cloud);
}
