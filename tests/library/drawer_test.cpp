// The library drawer over sessions on disk: empty texts, keys, landing and playing, the joined
// session file in its private folder (a cancelled join leaves no ".part", old joined files are
// pruned, a planted link is not followed), deleting takes and sessions (the last take, the only
// session, a recording session refused), a rescan keeping the selection, pictures (cards and
// thumbnails equal to the overviews, a map over unreadable and empty takes), continuing and its
// refusals (more takes than could be loaded), the context menu, and shutdown with every job busy.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "config/status.h"
#include "library/drawer.h"
#include "platform/file.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "sessions/library_scan.h"
#include "sessions/session.h"
#include "tests/library/library_fixture.h"
#include "tests/sessions/session_fixture.h"
#include "tests/support/temp_dir.h"

namespace {

constexpr int64_t kSecond = 1000000000;

// A recorder over a temporary music folder, a player and a drawer, with TMPDIR of their own.
struct DrawerRig {
  RecorderRig rig;
  TempDir temp;
  Recorder* r = nullptr;
  std::unique_ptr<Player> p = std::make_unique<Player>();
  std::unique_ptr<LibraryDrawer> d = std::make_unique<LibraryDrawer>();
  DrawerFrame frame{true, 0, 8, 8};
  int64_t folder_time = int64_t(1790000000) * kSecond;

  DrawerRig() {
    setenv("TMPDIR", temp.path.c_str(), 1);
    text_copy(d->ondel_folder, temp.path.c_str());  // none there unless a test puts one
    r = rig.rec.get();
    EXPECT_EQ(player_start(p.get(), 1.0f, 0.0), 0);
  }
  ~DrawerRig() {
    d.reset();  // jobs first, then the player
    p.reset();
    unsetenv("TMPDIR");
  }
  std::string folder(const std::string& rel) const { return rig.write_folder() + "/" + rel; }
  // A session folder holding sine takes of the given lengths, each a little newer than the last;
  // the folder is newer than every session made before it.
  void session(const std::string& rel, const std::vector<double>& seconds, double hz = 1000.0) {
    const std::string f = folder(rel);
    std::filesystem::create_directories(f);
    for (size_t i = 0; i < seconds.size(); ++i) {
      char name[48];
      snprintf(name, sizeof name, "tolm-1200%02zu.wav", i);
      write_sine_take(f + "/" + name, 48000, seconds[i], hz);
      set_file_mtime((f + "/" + name).c_str(), folder_time + int64_t(i) * kSecond);
    }
    folder_time += 100 * kSecond;
    set_file_mtime(f.c_str(), folder_time);
  }
  void update() {
    library_update(d.get(), r, p.get(), frame);
    player_update(p.get());
  }
  bool pump(const std::function<bool()>& done, int timeout_ms = 20000) {
    for (int t = 0; t < timeout_ms; t += 2) {
      update();
      if (done()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return done();
  }
  bool jobs_idle() {
    return !d->card_thread.running.load() && !d->thumb_thread.running.load() && !d->map_thread.running.load() &&
           !d->join_thread.running.load();
  }
  DrawerAction key(DrawerKey k) { return library_key(d.get(), r, p.get(), k); }
  std::string take_path(int i) const { return folder(d->selected) + "/" + d->takes[i].name; }
};

struct SeatOk {
  int calls = 0;
  static int seat(void* ctx, int64_t, const int64_t*, int, const float*, int) {
    ++static_cast<SeatOk*>(ctx)->calls;
    return 0;
  }
};

std::vector<std::string> files_under(const std::string& dir) {
  std::vector<std::string> out;
  std::error_code ec;
  for (auto& e : std::filesystem::recursive_directory_iterator(dir, ec))
    if (e.is_regular_file()) out.push_back(e.path().filename().string());
  std::sort(out.begin(), out.end());
  return out;
}

}  // namespace

TEST(Drawer, EmptyLibraryAndSessionWithoutTakes) {
  DrawerRig t;
  t.update();
  EXPECT_STREQ(drawer_list_text(t.d.get(), t.r, kDrawerSessions), "No tolms yet");
  EXPECT_EQ(drawer_list_text(t.d.get(), t.r, kDrawerTakes), nullptr);
  EXPECT_EQ(t.key(kDrawerKeyEnter).outcome, kDrawerTaken);
  EXPECT_EQ(t.key(kDrawerKeyDelete).outcome, kDrawerTaken);
  EXPECT_EQ(t.key(kDrawerKeyDown).outcome, kDrawerTaken);
  EXPECT_EQ(t.d->session_sel, 0);
  // O opens the library root when there is no session; the menu offers only what fits.
  DrawerAction a = t.key(kDrawerKeyO);
  EXPECT_EQ(a.outcome, kDrawerOpenFolder);
  EXPECT_EQ(std::string(a.path), t.rig.write_folder());
  DrawerMenu menu;
  library_menu(t.d.get(), t.r, kDrawerNoList, -1, false, &menu);
  ASSERT_EQ(menu.count, 1);
  EXPECT_STREQ(menu.items[0].label, "OPEN LOCATION");
  EXPECT_STREQ(menu.items[0].hint, "");  // hints only from the keyboard
  EXPECT_EQ(library_menu_choose(t.d.get(), t.r, t.p.get(), menu, kMenuOpenLocation).outcome, kDrawerOpenFolder);
  char text[64];
  library_pane_text(t.d.get(), t.r, t.p.get(), true, text, sizeof text);
  EXPECT_STREQ(text, "NOTHING PLAYING");
  // With no takes to stop at, Tab goes straight on to the files tab and back.
  EXPECT_EQ(t.key(kDrawerKeyTab).outcome, kDrawerTaken);
  EXPECT_EQ(t.d->drawer_tab, kDrawerFilesTab);
  EXPECT_EQ(t.key(kDrawerKeyTab).outcome, kDrawerTaken);
  EXPECT_EQ(t.d->drawer_tab, kDrawerLibraryTab);

  // The recording session is listed before its first take: no takes, "LIVE", open time counting.
  ASSERT_EQ(arm_session(t.r), 0);
  t.update();
  ASSERT_EQ(t.r->library.row_count, 1);
  EXPECT_EQ(drawer_list_text(t.d.get(), t.r, kDrawerSessions), nullptr);
  EXPECT_STREQ(drawer_list_text(t.d.get(), t.r, kDrawerTakes), "NO TAKES");
  SessionCardText card;
  session_card_text(t.r, 0, t.rig.now + 75, &card);
  EXPECT_TRUE(card.live);
  EXPECT_STREQ(card.count, "LIVE");
  EXPECT_STREQ(card.title, "2026-10-05  12:44:24");
  EXPECT_STREQ(card.line, "OPEN 1M15S   KEPT -");
  EXPECT_EQ(t.key(kDrawerKeyDelete).outcome, kDrawerTaken);
  EXPECT_EQ(status_text(), "THAT ONE IS STILL RECORDING");
  EXPECT_TRUE(is_dir(t.rig.session_folder().c_str()));
  end_session(t.r);
}

TEST(Drawer, KeysLandThePlayerOnTheSelectionAndPlay) {
  DrawerRig t;
  t.session("2026-10-05/101010", {1.0, 2.0});
  t.session("2026-10-06/090000", {0.5, 0.5, 0.5});
  scan_library(t.r);
  t.update();
  EXPECT_EQ(t.d->session_sel, 0);
  EXPECT_STREQ(t.d->selected, "2026-10-06/090000");  // newest first
  EXPECT_EQ(t.d->take_count, 3);
  EXPECT_TRUE(logged("browser: session 1/2 '2026-10-06/090000' -> 3 takes"));
  char text[64];
  library_pane_text(t.d.get(), t.r, t.p.get(), true, text, sizeof text);
  EXPECT_STREQ(text, "PICK A TAKE");
  library_pane_text(t.d.get(), t.r, t.p.get(), false, text, sizeof text);
  EXPECT_STREQ(text, "INPUT-ONLY DEVICE - NOTHING CAN PLAY");

  EXPECT_EQ(t.key(kDrawerKeyDown).outcome, kDrawerTaken);
  EXPECT_EQ(t.d->session_sel, 1);
  EXPECT_EQ(t.d->take_count, 2);
  EXPECT_TRUE(logged("browser: session 2/2 '2026-10-05/101010' -> 2 takes"));
  t.key(kDrawerKeyDown);
  EXPECT_EQ(t.d->session_sel, 1);  // the last stays the last
  t.key(kDrawerKeyTab);
  EXPECT_TRUE(t.d->takes_focus);
  // Landing on a take loads it silently: it waits at its start.
  ASSERT_TRUE(t.pump([&] { return player_has_audio(t.p.get()); }));
  EXPECT_TRUE(player_is_current(t.p.get(), t.take_path(0).c_str()));
  EXPECT_FALSE(player_is_playing(t.p.get()));
  t.key(kDrawerKeyDown);
  ASSERT_TRUE(t.pump([&] { return player_is_current(t.p.get(), t.take_path(1).c_str()) && player_has_audio(t.p.get()); }));
  EXPECT_DOUBLE_EQ(player_seconds(t.p.get()), 2.0);
  EXPECT_FALSE(player_is_playing(t.p.get()));
  t.key(kDrawerKeyUp);
  t.key(kDrawerKeyUp);
  EXPECT_EQ(t.d->take_sel, 0);
  t.key(kDrawerKeyDown);
  // Enter plays the landed take; Space pauses it; Right skips.
  ASSERT_TRUE(t.pump([&] { return player_has_audio(t.p.get()); }));
  EXPECT_EQ(t.key(kDrawerKeyEnter).outcome, kDrawerPlayed);
  EXPECT_TRUE(player_is_playing(t.p.get()));
  EXPECT_EQ(t.key(kDrawerKeySpace).outcome, kDrawerPlayed);
  EXPECT_FALSE(player_is_playing(t.p.get()));
  t.key(kDrawerKeyRight);
  EXPECT_NEAR(player_playhead(t.p.get()), 1.0, 1e-9);  // 5 s on a 2 s take: the end
  // O opens the session's folder; Tab leaves for the files tab and comes back on the sessions.
  DrawerAction a = t.key(kDrawerKeyO);
  EXPECT_EQ(a.outcome, kDrawerOpenFolder);
  EXPECT_EQ(std::string(a.path), t.folder("2026-10-05/101010"));
  t.key(kDrawerKeyTab);
  EXPECT_EQ(t.d->drawer_tab, kDrawerFilesTab);
  EXPECT_FALSE(t.d->takes_focus);
  EXPECT_EQ(t.key(kDrawerKeyDown).outcome, kDrawerNotTaken);  // the files tab's
  EXPECT_EQ(t.key(kDrawerKeyTab).outcome, kDrawerTaken);
  EXPECT_EQ(t.d->drawer_tab, kDrawerLibraryTab);
  EXPECT_EQ(t.key(kDrawerKeyEscape).outcome, kDrawerClose);
  EXPECT_EQ(t.key(kDrawerKeyB).outcome, kDrawerClose);
  EXPECT_EQ(t.key(kDrawerKeyOther).outcome, kDrawerNotTaken);
  // Scrolling: the wheel is clamped to the list, and a key brings the selection back into view.
  library_wheel(t.d.get(), t.r, kDrawerSessions, -5, 1);
  EXPECT_EQ(t.d->session_scroll, 1);
  library_wheel(t.d.get(), t.r, kDrawerSessions, 9, 1);
  EXPECT_EQ(t.d->session_scroll, 0);
}

TEST(Drawer, SessionsPlayTheirJoinedFileFromAPrivateFolder) {
  DrawerRig t;
  // Someone planted the shared folder name as a link to a folder of theirs.
  const std::string planted = t.temp.path + "/elsewhere";
  std::filesystem::create_directories(planted);
  ASSERT_EQ(symlink(planted.c_str(), (t.temp.path + "/tolm-zepha").c_str()), 0);
  t.session("2026-10-05/101010", {0.5, 0.25});
  t.session("2026-10-06/090000", std::vector<double>(40, 3.0));  // a long join
  scan_library(t.r);
  // Old joined files and a crashed join's leftovers, in the folder the drawer will use.
  const std::string root = t.temp.path + "/tolm-zepha-" + std::to_string(geteuid());
  for (int i = 0; i < 6; ++i) {
    const std::string key = root + "/0000000" + std::to_string(i);
    std::filesystem::create_directories(key);
    write_text(key + "/old " + std::to_string(i) + ".wav", std::string(1000, 'x'));
    set_file_mtime((key + "/old " + std::to_string(i) + ".wav").c_str(), (1700000000 + i) * kSecond);
  }
  write_text(root + "/00000000/crashed.wav.part", "x");
  set_file_mtime((root + "/00000000/crashed.wav.part").c_str(), 1700000000 * kSecond);

  // The long session is selected first: its join starts, then is cancelled by a move.
  t.update();
  ASSERT_TRUE(t.d->join_job != nullptr);
  const std::string first = t.d->join_job->dest;
  EXPECT_EQ(first.rfind(root + "/", 0), 0u);
  char text[64];
  float fraction = 0;
  ASSERT_TRUE(drawer_progress(t.d.get(), text, sizeof text, &fraction));
  EXPECT_EQ(std::string(text).rfind("JOINING ", 0), 0u);
  EXPECT_TRUE(std::string(text).find(" / 40") != std::string::npos);
  t.key(kDrawerKeyDown);
  ASSERT_TRUE(t.pump([&] { return t.d->last_joined[0] != 0; }));
  const std::string second = t.d->last_joined;
  EXPECT_NE(second, first);
  EXPECT_FALSE(path_exists(first.c_str()));
  EXPECT_FALSE(path_exists((first + ".part").c_str()));  // the cancelled join left nothing
  // The joined file: the takes one after another as float, in a folder only we can enter.
  std::vector<float> expected = wav_samples(t.take_path(0));
  const std::vector<float> more = wav_samples(t.take_path(1));
  expected.insert(expected.end(), more.begin(), more.end());
  EXPECT_EQ(wav_samples(second), expected);
  struct stat st;
  ASSERT_EQ(stat(root.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  EXPECT_TRUE(files_under(planted).empty());
  // Pruned: the newest few old files stay, the rest and the crashed ".part" are gone.
  const std::vector<std::string> left = files_under(root);
  EXPECT_EQ(std::count(left.begin(), left.end(), "crashed.wav.part"), 0);
  EXPECT_EQ(int(left.size()), kJoinedKeepFiles);
  EXPECT_NE(std::find(left.begin(), left.end(), path_name(second.c_str())), left.end());
  EXPECT_NE(std::find(left.begin(), left.end(), "old 5.wav"), left.end());
  EXPECT_EQ(std::find(left.begin(), left.end(), "old 0.wav"), left.end());

  // The session's file is landed on silently, and Enter plays it.
  ASSERT_TRUE(t.pump([&] { return player_is_current(t.p.get(), second.c_str()) && player_has_audio(t.p.get()); }));
  EXPECT_FALSE(player_is_playing(t.p.get()));
  EXPECT_DOUBLE_EQ(player_seconds(t.p.get()), 0.75);
  status_clear();
  EXPECT_EQ(t.key(kDrawerKeyEnter).outcome, kDrawerPlayed);
  EXPECT_TRUE(player_is_playing(t.p.get()));

  // A play asked for before the file exists is honoured when the join has made it.
  remove_file(second.c_str());
  player_open(t.p.get(), t.take_path(0).c_str(), false);
  EXPECT_EQ(t.key(kDrawerKeyEnter).outcome, kDrawerPlayed);
  ASSERT_TRUE(t.pump([&] { return path_exists(second.c_str()) && player_is_playing(t.p.get()); }));
  EXPECT_EQ(status_text(), "PLAYING 2026-10-05 101010");
}

TEST(Drawer, DeletingTakesAndSessions) {
  DrawerRig t;
  t.session("2026-10-05/101010", {0.2});
  t.session("2026-10-06/090000", {0.2, 0.3, 0.4});
  scan_library(t.r);
  t.update();
  t.key(kDrawerKeyTab);
  t.key(kDrawerKeyDown);
  t.key(kDrawerKeyDown);
  EXPECT_EQ(t.d->take_sel, 2);
  const std::string gone = t.d->takes[2].name;
  // Deleting the last take of the list selects the new last one.
  EXPECT_EQ(t.key(kDrawerKeyDelete).outcome, kDrawerDeleted);
  EXPECT_EQ(status_text(), "DELETED");
  EXPECT_EQ(t.d->take_count, 2);
  EXPECT_EQ(t.d->take_sel, 1);
  EXPECT_FALSE(path_exists(t.folder(std::string("2026-10-06/090000/") + gone).c_str()));
  EXPECT_STREQ(t.d->selected, "2026-10-06/090000");  // the session kept its place
  EXPECT_EQ(t.d->session_sel, 0);
  // The menu on a take, from the keyboard: its items with their hints.
  DrawerMenu menu;
  library_menu(t.d.get(), t.r, kDrawerTakes, 0, true, &menu);
  EXPECT_EQ(menu.take, 0);
  ASSERT_EQ(menu.count, 3);
  EXPECT_STREQ(menu.items[0].hint, "\xE2\x90\xA3");
  EXPECT_STREQ(menu.items[2].label, "DELETE TAKE");
  EXPECT_TRUE(menu.items[2].enabled);
  EXPECT_TRUE(menu.items[2].danger);
  DrawerAction a = library_menu_choose(t.d.get(), t.r, t.p.get(), menu, kMenuOpenLocation);
  EXPECT_EQ(a.outcome, kDrawerShowItem);
  EXPECT_EQ(std::string(a.path), t.take_path(0));
  EXPECT_EQ(library_menu_choose(t.d.get(), t.r, t.p.get(), menu, kMenuDeleteTake).outcome, kDrawerDeleted);
  EXPECT_EQ(t.d->take_count, 1);
  EXPECT_EQ(t.d->take_sel, 0);
  // The last take of a session takes the session with it; the selection stays in range.
  EXPECT_EQ(t.key(kDrawerKeyDelete).outcome, kDrawerDeleted);
  EXPECT_EQ(t.r->library.row_count, 1);
  EXPECT_EQ(t.d->session_sel, 0);
  EXPECT_STREQ(t.d->selected, "2026-10-05/101010");
  EXPECT_EQ(t.d->take_count, 1);
  // Deleting the only session leaves the selection at 0 over an empty list.
  t.key(kDrawerKeyTab);
  t.key(kDrawerKeyTab);
  EXPECT_FALSE(t.d->takes_focus);
  EXPECT_EQ(t.key(kDrawerKeyDelete).outcome, kDrawerDeleted);
  EXPECT_EQ(t.r->library.row_count, 0);
  EXPECT_EQ(t.d->session_sel, 0);
  EXPECT_EQ(t.d->take_count, 0);
  EXPECT_STREQ(drawer_list_text(t.d.get(), t.r, kDrawerSessions), "No tolms yet");

  // The recording session: refused from the keyboard, disabled in the menu.
  ASSERT_EQ(arm_session(t.r), 0);
  t.rig.record_take(4800);
  ASSERT_EQ(write_pending_takes(t.r), 1);
  t.update();
  ASSERT_EQ(t.d->take_count, 1);
  status_clear();
  t.key(kDrawerKeyTab);
  EXPECT_EQ(t.key(kDrawerKeyDelete).outcome, kDrawerTaken);
  EXPECT_EQ(status_text(), "THAT ONE IS STILL RECORDING");
  EXPECT_EQ(t.d->take_count, 1);
  library_menu(t.d.get(), t.r, kDrawerTakes, 0, false, &menu);
  EXPECT_STREQ(menu.items[menu.count - 1].label, "DELETE TAKE");
  EXPECT_FALSE(menu.items[menu.count - 1].enabled);
  EXPECT_EQ(library_menu_choose(t.d.get(), t.r, t.p.get(), menu, kMenuDeleteTake).outcome, kDrawerTaken);
  library_menu(t.d.get(), t.r, kDrawerSessions, 0, false, &menu);
  EXPECT_EQ(menu.take, -1);
  EXPECT_STREQ(menu.items[menu.count - 1].label, "DELETE SESSION");
  EXPECT_FALSE(menu.items[menu.count - 1].enabled);
  EXPECT_STREQ(menu.items[menu.count - 2].label, "CONTINUE");
  EXPECT_STREQ(menu.items[menu.count - 2].reason, "SESSION ACTIVE");
  EXPECT_EQ(std::count_if(menu.items, menu.items + menu.count, [](const DrawerMenuItem& i) {
              return std::string(i.label) == "OPEN IN ONDEL";
            }),
            0);  // no ondel beside the program (the test's stand-in folder)
  // A new take of the recording session reloads its takes (the row's totals changed).
  t.r->hooks.library_row_updated = RowHook{drawer_row_updated, t.d.get()};
  t.rig.now += 10;
  t.rig.record_take(4800);
  ASSERT_EQ(write_pending_takes(t.r), 1);
  t.update();
  EXPECT_EQ(t.d->take_count, 2);
  end_session(t.r);
}

TEST(Drawer, ARescanKeepsTheSelectionOnItsFolder) {
  DrawerRig t;
  t.session("2026-10-04/080000", {0.2, 0.2});
  t.session("2026-10-05/101010", {0.2, 0.2, 0.2});
  scan_library(t.r);
  t.update();
  t.key(kDrawerKeyDown);
  t.key(kDrawerKeyTab);
  t.key(kDrawerKeyDown);
  ASSERT_STREQ(t.d->selected, "2026-10-04/080000");
  // A newer session comes: the selection follows its folder down the list, the takes stay.
  t.session("2026-10-06/090000", {0.2});
  scan_library(t.r);
  t.update();
  EXPECT_EQ(t.d->session_sel, 2);
  EXPECT_STREQ(t.d->selected, "2026-10-04/080000");
  EXPECT_EQ(t.d->take_count, 2);
  EXPECT_EQ(t.d->take_sel, 1);
  // Its folder goes behind the drawer's back: the selection is clamped, the takes are the new ones.
  std::filesystem::remove_all(t.folder("2026-10-04/080000"));
  scan_library(t.r);
  t.update();
  EXPECT_EQ(t.d->session_sel, 1);
  EXPECT_STREQ(t.d->selected, "2026-10-05/101010");
  EXPECT_EQ(t.d->take_count, 3);
  EXPECT_EQ(t.d->take_sel, 0);
}

TEST(Drawer, PicturesMatchTheOverviewsAndTheMapSkipsWhatDoesNotRead) {
  DrawerRig t;
  t.session("2026-10-05/101010", {1.0, 0.0, 0.5, 2.0});
  const std::string f = t.folder("2026-10-05/101010");
  // Take 3 becomes unreadable (its header still tells its length); take 1 is empty.
  std::string bytes = read_text(f + "/tolm-120003.wav");
  bytes[20] = 9;  // an unknown format
  write_text(f + "/tolm-120003.wav", bytes);
  set_file_mtime((f + "/tolm-120003.wav").c_str(), t.folder_time);
  set_file_mtime(f.c_str(), t.folder_time);
  scan_library(t.r);
  ASSERT_TRUE(t.pump([&] {
    return drawer_map(t.d.get(), t.r) && drawer_card(t.d.get(), t.r, 0) && t.jobs_idle() && drawer_thumb(t.d.get(), 3);
  }));
  const MapView* map = drawer_map(t.d.get(), t.r);
  ASSERT_EQ(map->take_count, 4);
  // Lengths 1, 0, 0.5, 2 of 3.5 s: starts and columns in proportion; the empty take gets one.
  EXPECT_FLOAT_EQ(map->starts[1], float(1.0 / 3.5));
  EXPECT_FLOAT_EQ(map->starts[3], float(1.5 / 3.5));
  MapSpan spans[4];
  const double seconds[] = {1.0, 0.0, 0.5, 2.0};
  map_layout(seconds, 4, spans);
  EXPECT_EQ(spans[1].peak_end - spans[1].peak_first, 1);
  EXPECT_EQ(spans[1].image_end - spans[1].image_first, 1);
  // Peak columns: each the largest sample of its frames, as read whole; the unreadable take is 0.
  for (int take : {0, 2}) {
    const std::vector<float> s = wav_samples(f + "/" + t.d->takes[take].name);
    const int64_t frames = int64_t(s.size() / 2);
    const int span = spans[take].peak_end - spans[take].peak_first;
    std::vector<float> want(size_t(span), 0.0f);
    for (int64_t k = 0; k < frames; ++k) {
      float& v = want[size_t(k * span / frames)];
      v = std::max({v, std::fabs(s[size_t(2 * k)]), std::fabs(s[size_t(2 * k + 1)])});
    }
    for (int c = 0; c < span; ++c) ASSERT_EQ(map->peaks[spans[take].peak_first + c], want[size_t(c)]) << take << " " << c;
  }
  for (int c = spans[3].peak_first; c < spans[3].peak_end; ++c) ASSERT_EQ(map->peaks[c], 0.0f);
  for (int c = spans[3].image_first * kMapBands; c < spans[3].image_end * kMapBands; ++c) ASSERT_EQ(map->image[c], 0.0f);
  EXPECT_TRUE(logged("library: map of 2026-10-05/101010 - 1 take did not read"));
  // The spectrogram of a 1 kHz take: its loudest band holds 1 kHz, in every column of the take.
  const double r = 20000.0 / 20.0;
  const int band = int(std::floor(std::log(1000.0 / 20.0) / std::log(r) * kMapBands));
  for (int c = spans[0].image_first; c < spans[0].image_end; ++c) {
    const float* col = map->image + c * kMapBands;
    EXPECT_EQ(std::max_element(col, col + kMapBands) - col, band) << c;
    EXPECT_NEAR(col[band], 1.0f, 1e-3) << c;  // a steady tone: near the take's loudest value, 1
  }
  // Thumbnails are the take overviews normalised; the card is the session overview, square-rooted.
  for (int take = 0; take < 4; ++take) {
    float want[kThumbValues];
    const bool reads = take_overview((f + "/" + t.d->takes[take].name).c_str(), want, kThumbValues) == 0;
    const float top = *std::max_element(want, want + kThumbValues);
    const float* got = drawer_thumb(t.d.get(), take);
    ASSERT_NE(got, nullptr);
    for (int i = 0; i < kThumbValues; ++i)
      ASSERT_FLOAT_EQ(got[i], reads && top > 0.0001f ? want[i] / top : 0.0f) << take << " " << i;
  }
  float overview[kCardValues];
  ASSERT_EQ(session_overview(f.c_str(), overview, kCardValues), 0);
  const CardSlot* card = drawer_card(t.d.get(), t.r, 0);
  EXPECT_EQ(card->state.load(), kCardReady);
  for (int i = 0; i < kCardValues; ++i) ASSERT_FLOAT_EQ(card->values[i], std::sqrt(overview[i])) << i;
  SessionCardText text;
  session_card_text(t.r, 0, 0, &text);
  EXPECT_STREQ(text.count, "4");
  EXPECT_FALSE(text.live);
  EXPECT_STREQ(text.line, "OPEN -   KEPT 3.5S");
}

TEST(Drawer, ContinuingAndWhyItIsRefused) {
  DrawerRig t;
  SeatOk seat;
  t.r->hooks.resume = ResumeHook{SeatOk::seat, &seat};
  t.session("2026-10-05/101010", {0.2, 0.3});
  // 513 takes: one more than the drawer can hold.
  t.session("2026-10-06/090000", std::vector<double>(kDrawerMaxTakes + 1, 0.01));
  scan_library(t.r);
  t.update();
  ASSERT_EQ(t.r->library.rows[0].take_count, kDrawerMaxTakes + 1);
  EXPECT_EQ(t.d->take_count, kDrawerMaxTakes);
  EXPECT_STREQ(continue_refusal(t.d.get(), t.r), "TOO MANY TAKES TO CONTINUE");
  EXPECT_EQ(t.key(kDrawerKeyC).outcome, kDrawerTaken);
  EXPECT_EQ(status_text(), "TOO MANY TAKES TO CONTINUE");
  EXPECT_EQ(seat.calls, 0);
  const std::string index = t.folder("2026-10-06/090000/session.json");
  EXPECT_FALSE(path_exists(index.c_str()));  // nothing was rewritten

  // The other session: reading its map first, then it continues.
  t.key(kDrawerKeyDown);
  EXPECT_STREQ(continue_refusal(t.d.get(), t.r), "READING...");
  ASSERT_TRUE(t.pump([&] { return drawer_map(t.d.get(), t.r) != nullptr; }));
  EXPECT_EQ(continue_refusal(t.d.get(), t.r), nullptr);
  DrawerMenu menu;
  library_menu(t.d.get(), t.r, kDrawerSessions, 1, false, &menu);
  EXPECT_EQ(menu.items[menu.count - 2].id, kMenuContinue);
  EXPECT_TRUE(menu.items[menu.count - 2].enabled);
  EXPECT_EQ(library_menu_choose(t.d.get(), t.r, t.p.get(), menu, kMenuContinue).outcome, kDrawerContinued);
  EXPECT_EQ(seat.calls, 1);
  EXPECT_EQ(t.r->session.count, 2);
  EXPECT_EQ(std::string(t.r->session.folder), t.folder("2026-10-05/101010"));
  t.update();
  EXPECT_STREQ(continue_refusal(t.d.get(), t.r), "SESSION ACTIVE");
  t.key(kDrawerKeyUp);
  EXPECT_STREQ(continue_refusal(t.d.get(), t.r), "STOP RECORDING TO SWITCH SESSIONS");
  end_session(t.r);
}

TEST(Drawer, OpenInOndelStartsTheSiblingWithItsArguments) {
  DrawerRig t;
  t.session("2026-10-05/101010", {0.2});
  scan_library(t.r);
  // Beside the program is stood in for by a folder of the test's.
  text_copy(t.d->ondel_folder, t.temp.path.c_str());
  const std::string ondel = t.temp.path + "/" + kOndelName;
  const std::string log = t.temp.path + "/ondel.args";
  write_text(ondel, "#!/bin/sh\nprintf '%s\\n' \"$@\" > \"" + log + ".tmp\"\nmv \"" + log + ".tmp\" \"" + log + "\"\n");
  chmod(ondel.c_str(), 0755);
  t.update();
  DrawerMenu menu;
  library_menu(t.d.get(), t.r, kDrawerTakes, 0, false, &menu);
  ASSERT_EQ(menu.items[2].id, kMenuOpenInOndel);
  EXPECT_STREQ(menu.items[2].hint, "");
  library_menu_choose(t.d.get(), t.r, t.p.get(), menu, kMenuOpenInOndel);
  for (int i = 0; i < 500 && !path_exists(log.c_str()); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(read_text(log), "--root\n" + t.folder("2026-10-05/101010") + "\n--select\n" + t.take_path(0) + "\n");
  // Gone between the menu and the choice: said so.
  unlink(ondel.c_str());
  status_clear();
  library_menu_choose(t.d.get(), t.r, t.p.get(), menu, kMenuOpenInOndel);
  EXPECT_EQ(status_text(), "ONDEL DIDN'T OPEN");
}

TEST(Drawer, ShutdownWaitsForEveryJob) {
  DrawerRig t;
  t.session("2026-10-05/101010", std::vector<double>(12, 2.0));
  t.session("2026-10-06/090000", std::vector<double>(12, 2.0));
  scan_library(t.r);
  t.update();  // join, thumbnails, map and a card all start
  EXPECT_TRUE(t.d->join_thread.running.load() || t.d->join_job);
  EXPECT_TRUE(t.d->thumb_thread.thread.joinable());
  EXPECT_TRUE(t.d->map_thread.thread.joinable());
  EXPECT_TRUE(t.d->card_thread.thread.joinable());
  const std::string dest = t.d->join_job ? t.d->join_job->dest : "";
  drawer_shutdown(t.d.get());
  EXPECT_FALSE(t.d->join_thread.thread.joinable());
  EXPECT_FALSE(t.d->thumb_thread.thread.joinable());
  EXPECT_FALSE(t.d->map_thread.thread.joinable());
  EXPECT_FALSE(t.d->card_thread.thread.joinable());
  EXPECT_FALSE(path_exists((dest + ".part").c_str()));
  drawer_shutdown(t.d.get());  // again: nothing to do
}
