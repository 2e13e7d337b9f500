// The library drawer in the window, driven through input records: B and the LIBRARY door, the
// keyboard following the last press, the main area moving right of the drawer, the resize edge and
// the slide, the context menu and its refusals on the recording session, a chopped file's session
// opened in the drawer; and what the drawer and its player pane draw (software renderer).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/drawer/drawer_control.h"
#include "app/drawer/drawer_layout.h"
#include "app/drawer/drawer_view.h"
#include "app/drawer/files_control.h"
#include "app/drawer/files_layout.h"
#include "app/shell/commands.h"
#include "app/shell/frame.h"
#include "app/shell/route.h"
#include "app/shell/window.h"
#include "config/settings.h"
#include "config/status.h"
#include "kit/cloud.h"
#include "platform/clock.h"
#include "platform/file.h"
#include "sessions/library_scan.h"
#include "sessions/session.h"
#include "tests/app/chop_fixture.h"
#include "tests/sessions/session_fixture.h"
#include "ui/text.h"

namespace {

constexpr int kW = 2000, kH = 540;  // a 960-wide window grown by the drawer

struct DrawerApp : ChopApp {
  DrawerApp() {
    setenv("TMPDIR", home.path.c_str(), 1);  // joined sessions stay in the test's folder
    AppState* app = get();
    app->content_w = kW, app->content_h = kH;
    app->drawer_ui.hover_row = app->drawer_ui.menu_sel = -1;
    frame(0.0f);
  }
  AppState& s() { return *get(); }
  const MainLayout& l() { return s().ui.layout; }
  DrawerLayout dl() {
    DrawerLayout out;
    drawer_layout_of(get(), &out);
    return out;
  }

  // A session folder with `takes` take files of 0.3 s of tone.
  void add_session(const std::string& rel, int takes) {
    const std::string dir = write_folder() + "/" + rel;
    ASSERT_EQ(std::system(("mkdir -p '" + dir + "'").c_str()), 0);
    std::vector<double> tone(size_t(2 * 14400));
    for (size_t i = 0; i < tone.size(); ++i) tone[i] = 0.4 * std::sin(double(i / 2) * 0.05);
    for (int t = 0; t < takes; ++t)
      write_wav_file(dir + "/tolm-1200" + std::to_string(10 + t) + ".wav", 1, 2, 48000, 16, tone);
  }
  int row_of(const std::string& rel) { return find_library_row(&s().recorder, rel.c_str()); }

  // The slide and the layout of one frame, as the main loop's animation does them.
  void frame(float dt) {
    AppState* app = get();
    drawer_animate(app, dt);
    const float drawer = std::min(app->lib_width, float(kW - kMainMinWidth));
    layout_main(kW, kH, side_panel_width(int(float(kW) - drawer), 1.0f), &app->ui.layout, app->lib_width);
  }
  void update() { drawer_update(get(), tick_ms()); }

  void mouse(InputKind kind, float x, float y, int button = kMouseLeft, int clicks = 1) {
    InputEvent ev{};
    ev.kind = kind, ev.x = x, ev.y = y, ev.button = button, ev.clicks = clicks;
    handle_event(get(), ev);
  }
  void press(float x, float y, int button = kMouseLeft, int clicks = 1) {
    mouse(InputKind::kMouseDown, x, y, button, clicks);
    mouse(InputKind::kMouseUp, x, y, button);
  }
  void press_at(const Rect& r, int button = kMouseLeft) { press(r.x + r.w * 0.5f, r.y + r.h * 0.5f, button); }
};

TEST(DrawerControl, KeyboardFollowsTheLastPressAndTheMainAreaMovesRight) {
  DrawerApp d;
  AppState& s = d.s();
  for (int i = 0; i < 3; ++i) ASSERT_NO_FATAL_FAILURE(d.add_session("2026-10-05/12000" + std::to_string(i), 2));
  drawer_start(d.get());

  // B opens the drawer with the keyboard and a fresh scan; the main area starts right of it.
  d.key(kKeyB);
  EXPECT_TRUE(s.drawer_ui.open);
  EXPECT_TRUE(s.drawer_ui.focus);
  EXPECT_EQ(s.recorder.library.row_count, 3);
  d.frame(1.0f);
  d.update();
  EXPECT_EQ(s.lib_width, float(kDrawerDefaultW));
  EXPECT_EQ(d.l().scope.x, float(kDrawerDefaultW));
  EXPECT_EQ(d.l().foot.x, float(kDrawerDefaultW));

  // The arrows are the drawer's while it has the keyboard: the threshold stays.
  const float threshold = s.sliders.threshold;
  d.key(kKeyDown);
  EXPECT_EQ(s.drawer.session_sel, 1);
  EXPECT_EQ(s.sliders.threshold, threshold);

  // A press in the main area takes the keyboard back: Down moves the threshold again.
  d.press(d.l().foot.x + 300, d.l().foot.y + 30);
  EXPECT_FALSE(s.drawer_ui.focus);
  d.key(kKeyDown);
  EXPECT_EQ(s.drawer.session_sel, 1);
  EXPECT_NEAR(s.sliders.threshold, threshold - 1.0f / 80.0f, 1e-6);

  // The strip's buttons moved with the main area: ARM where it is drawn now arms.
  d.press_at(strip_button_rect(d.l(), kBtnArm, 1.0f));
  EXPECT_TRUE(s.engine.armed.load());
  d.key(kKeySpace);  // the main view's: stops the (empty) session again
  EXPECT_FALSE(s.engine.armed.load());

  // A press on a row gives the drawer the keyboard and picks the row.
  DrawerLayout dl = d.dl();
  d.press_at(drawer_row_rect(dl.sessions, s.drawer.session_scroll, 2));
  EXPECT_TRUE(s.drawer_ui.focus);
  EXPECT_EQ(s.drawer.session_sel, 2);

  // A held Delete deletes one session, not one a repeat.
  const std::string doomed = s.recorder.library.rows[2].relative_path;
  d.key(kKeyDelete);
  EXPECT_EQ(s.recorder.library.row_count, 2);
  EXPECT_FALSE(is_dir((d.write_folder() + "/" + doomed).c_str()));
  EXPECT_EQ(status_line().text, std::string("DELETED"));
  d.key(kKeyDelete, 0, true);
  EXPECT_EQ(s.recorder.library.row_count, 2);

  // Esc closes it; the LIBRARY door opens and closes it too.
  d.key(kKeyEscape);
  EXPECT_FALSE(s.drawer_ui.open);
  EXPECT_FALSE(s.drawer_ui.focus);
  d.press_at(header_item_rect(kW, HeaderItem::kDoorLibrary));
  EXPECT_TRUE(s.drawer_ui.open);
  d.press_at(header_item_rect(kW, HeaderItem::kDoorLibrary));
  EXPECT_FALSE(s.drawer_ui.open);
  // Closed, B is the main view's again and opens it.
  d.key(kKeyB);
  EXPECT_TRUE(s.drawer_ui.open);
}

TEST(DrawerControl, TheFilesTabsCloudIsTheProgramsAndAPastedTokenIsKept) {
  DrawerApp d;
  AppState& s = d.s();
  drawer_start(d.get());
  {
    std::lock_guard<std::mutex> lk(s.cloud.lock);  // loopback only: nothing listens on port 9
    snprintf(s.cloud.route.host, sizeof s.cloud.route.host, "%s", kCloudHost);
    s.cloud.route.port = 9;
    snprintf(s.cloud.route.resolve, sizeof s.cloud.route.resolve, "%s:9:127.0.0.1", kCloudHost);
  }
  d.key(kKeyB);
  d.frame(1.0f);
  d.press_at(d.dl().tab_files);
  FilesLayout fl;
  files_layout(d.dl().body, s.files, true, &fl);
  d.press_at(fl.sources[kSourceCloud]);
  ASSERT_EQ(s.files.list.source, kSourceCloud);
  const FilesHost h = files_host(&s);
  const char* title = nullptr;
  const char* line = nullptr;
  ASSERT_TRUE(files_empty(&s.files, h, &title, &line));
  EXPECT_STREQ(line, "Drop audio files here, or paste a CloudKit API token to see the cloud.");
  EXPECT_EQ(files_cloud_button_label(h), nullptr);

  // Ctrl+V over the CLOUD source: the token signs in and is kept for the next start.
  Offscreen video;  // the clipboard lives in the video subsystem
  ASSERT_TRUE(video.open(64, 64));
  ASSERT_TRUE(clipboard_set_text(" tok-77\n"));
  d.key(kKeyV, kModCtrl);
  EXPECT_STREQ(s.settings.cloud_api_token, "tok-77");
  const int64_t until = mono_ns() + 10000000000;
  while (s.cloud.busy.load() && mono_ns() < until) sleep_ms(5);
  char status[kCloudStatusBytes], progress[kCloudProgressBytes];
  float fraction = 0;
  ASSERT_TRUE(files_cloud_status(&s.files, h, status, sizeof status, progress, sizeof progress, &fraction));
  EXPECT_STREQ(status, "CANNOT CONNECT");
  EXPECT_STREQ(files_cloud_button_label(h), "SIGN IN");
  std::vector<char> text(1 << 16);
  text.resize(format_settings(s.settings, text.data(), text.size()));
  Settings again;
  settings_defaults(&again);
  read_settings_text(&again, text.data(), text.size());
  EXPECT_STREQ(again.cloud_api_token, "tok-77");
  EXPECT_STREQ(again.cloud_container, s.settings.cloud_container);
  drawer_stop(d.get());
}

TEST(DrawerControl, SlideAndResizeEdgeStayInTheirBounds) {
  DrawerApp d;
  AppState& s = d.s();
  ASSERT_NO_FATAL_FAILURE(d.add_session("2026-10-05/120000", 1));

  // Opening slides over 0.18 s: halfway the window makes room for half the drawer.
  drawer_open(d.get(), false);
  d.frame(0.09f);
  EXPECT_NEAR(s.lib_width, 0.5f * kDrawerDefaultW, 1.0f);
  d.frame(0.2f);
  EXPECT_EQ(s.lib_width, float(kDrawerDefaultW));

  // The edge: a press within 12 px left of it drags the width, never under 360.
  const float edge = d.l().drawer.x + d.l().drawer.w;
  d.mouse(InputKind::kMouseDown, edge - 3, 300);
  d.mouse(InputKind::kMouseMove, 100, 300);
  EXPECT_EQ(s.drawer_ui.width, kDrawerMinW);
  d.mouse(InputKind::kMouseMove, 1700, 300);
  EXPECT_EQ(s.drawer_ui.width, 1703);
  EXPECT_EQ(s.settings.lib_w, 1703);
  d.mouse(InputKind::kMouseUp, 1700, 300);
  d.mouse(InputKind::kMouseMove, 1800, 300);
  EXPECT_EQ(s.drawer_ui.width, 1703);  // let go: the pointer no longer drags it
  d.frame(0.016f);
  EXPECT_EQ(s.lib_width, 1703.0f);
  // The window cannot give it all: it is laid out narrower, not cut, and the main area keeps 400.
  EXPECT_EQ(d.l().drawer.w, float(kW - kMainMinWidth));
  EXPECT_EQ(d.dl().area.x, 0.0f);

  // A double click on the edge resets the width to 1040.
  const float edge2 = d.l().drawer.x + d.l().drawer.w;
  d.press(edge2 - 2, 300, kMouseLeft, 2);
  EXPECT_EQ(s.drawer_ui.width, kDrawerDefaultW);
  // Just past the grab zone a press is the drawer's content, not the edge.
  d.frame(0.016f);
  d.mouse(InputKind::kMouseDown, d.l().drawer.w - 13, 300);
  EXPECT_EQ(s.drawer_ui.drag, DrawerDrag::kNone);
  d.mouse(InputKind::kMouseUp, d.l().drawer.w - 13, 300);

  // Closing slides away; with reduce-motion it opens and closes at once.
  drawer_close(d.get());
  d.frame(0.3f);
  EXPECT_EQ(s.lib_width, 0.0f);
  EXPECT_EQ(d.l().scope.x, 0.0f);
  s.reduce_motion = true;
  drawer_open(d.get(), false);
  d.frame(0.001f);
  EXPECT_EQ(s.lib_width, float(kDrawerDefaultW));
}

TEST(DrawerMenu, ActsFromTheMouseAndTheKeyboardAndRefusesOnTheRecordingSession) {
  DrawerApp d;
  AppState& s = d.s();
  ASSERT_NO_FATAL_FAILURE(d.add_session("2026-10-05/120000", 1));
  ASSERT_NO_FATAL_FAILURE(d.add_session("2026-10-05/120500", 2));
  drawer_start(d.get());
  drawer_open(d.get(), true);
  d.frame(0.0f);
  d.update();

  // A right click on a row picks it and offers the session's items, without key hints.
  const int row = d.row_of("2026-10-05/120000");
  DrawerLayout dl = d.dl();
  d.press_at(drawer_row_rect(dl.sessions, 0, row), kMouseRight);
  ASSERT_TRUE(s.drawer_ui.menu_open);
  EXPECT_EQ(s.drawer.session_sel, row);
  std::vector<std::string> labels;
  for (int i = 0; i < s.drawer_ui.menu.count; ++i) {
    labels.push_back(s.drawer_ui.menu.items[i].label);
    EXPECT_STREQ(s.drawer_ui.menu.items[i].hint, "");
  }
  EXPECT_EQ(labels, (std::vector<std::string>{"PLAY", "OPEN LOCATION", "CONTINUE", "DELETE SESSION"}));

  // A click on DELETE SESSION deletes it; the menu is gone.
  auto item_rect = [&](int i) {
    const Rect m = drawer_menu_rect(s.drawer_ui, kW, kH);
    return Rect{m.x + 4, m.y + kMenuPad + float(i) * kMenuItemH, m.w - 8, kMenuItemH};
  };
  d.press_at(item_rect(3));
  EXPECT_FALSE(s.drawer_ui.menu_open);
  EXPECT_FALSE(is_dir((d.write_folder() + "/2026-10-05/120000").c_str()));
  EXPECT_EQ(s.recorder.library.row_count, 1);

  // While a session records, its menu refuses: DELETE SESSION is disabled and a click on it keeps it.
  command_arm_or_stop(d.get());
  ASSERT_TRUE(s.engine.armed.load());
  scan_library(&s.recorder);
  d.update();
  const std::string live = s.recorder.session.relative;
  const int live_row = d.row_of(live);
  ASSERT_GE(live_row, 0);
  d.press_at(drawer_row_rect(d.dl().sessions, 0, live_row), kMouseRight);
  ASSERT_TRUE(s.drawer_ui.menu_open);
  ASSERT_EQ(s.drawer_ui.menu.count, 4);
  EXPECT_FALSE(s.drawer_ui.menu.items[2].enabled);
  EXPECT_STREQ(s.drawer_ui.menu.items[2].reason, "SESSION ACTIVE");
  EXPECT_FALSE(s.drawer_ui.menu.items[3].enabled);
  d.press_at(item_rect(3));
  EXPECT_TRUE(is_dir(s.recorder.session.folder));
  d.key(kKeyEscape);  // the menu takes the key
  EXPECT_FALSE(s.drawer_ui.menu_open);
  command_arm_or_stop(d.get());

  // From the keyboard, on the focused take: the hints show, Down skips to the next item, Enter
  // chooses it, and the menu takes every key while it is up.
  d.update();
  d.press_at(drawer_row_rect(d.dl().sessions, 0, d.row_of("2026-10-05/120500")));
  d.update();
  d.key(kKeyTab);
  ASSERT_TRUE(s.drawer.takes_focus);
  ASSERT_EQ(s.drawer.take_count, 2);
  d.key(kKeyMenu);
  ASSERT_TRUE(s.drawer_ui.menu_open);
  EXPECT_EQ(s.drawer_ui.menu.take, 0);
  EXPECT_STREQ(s.drawer_ui.menu.items[0].hint, "\xE2\x90\xA3");
  EXPECT_STREQ(s.drawer_ui.menu.items[s.drawer_ui.menu.count - 1].label, "DELETE TAKE");
  const float threshold = s.sliders.threshold;
  d.key(kKeyDown);
  d.key(kKeyDown);
  EXPECT_EQ(s.drawer_ui.menu_sel, 2);
  EXPECT_EQ(s.sliders.threshold, threshold);
  d.key(kKeyEnter);
  EXPECT_FALSE(s.drawer_ui.menu_open);
  EXPECT_EQ(s.drawer.take_count, 1);
  int wavs = 0;
  for (const std::string& name : folder_names(d.write_folder() + "/2026-10-05/120500"))
    wavs += name.size() > 4 && name.compare(name.size() - 4, 4, ".wav") == 0;
  EXPECT_EQ(wavs, 1);
  d.key(kKeyMenu);
  d.key(kKeyEscape);
  EXPECT_FALSE(s.drawer_ui.menu_open);
  EXPECT_TRUE(s.drawer_ui.open);  // Esc closed the menu, not the drawer
}

TEST(DrawerControl, AChoppedFileBecomesASessionPickedInTheDrawer) {
  DrawerApp d;
  AppState& s = d.s();
  ASSERT_NO_FATAL_FAILURE(d.add_session("2026-10-05/120000", 1));
  d.drop(d.bursts);
  ASSERT_EQ(d.settle(), kChopReady);
  d.key(kKeyEnter);
  ASSERT_FALSE(s.chop.mode) << status_line().text;
  EXPECT_TRUE(s.drawer_ui.open);
  EXPECT_TRUE(s.drawer_ui.focus);
  EXPECT_EQ(s.drawer.drawer_tab, kDrawerLibraryTab);
  EXPECT_FALSE(s.drawer.takes_focus);
  ASSERT_EQ(s.recorder.library.row_count, 2);
  const LibraryRow& picked = s.recorder.library.rows[s.drawer.session_sel];
  EXPECT_TRUE(picked.reference);
  EXPECT_EQ(picked.take_count, 3);
}

// ---- Pixels ----

struct Shot {
  Offscreen o;
  bool ok = o.open(kW, kH);
  void draw(AppState* app) {
    o.clear();
    theme_resolve(app->settings, &app->theme);
    draw_drawer(&o.canvas, app);
    draw_drawer_menu(&o.canvas, app);
    text_end_frame(o.canvas.text);
    o.read();
  }
};

int count_near(const Offscreen& o, const Rect& r, uint32_t rgb, int tolerance) {
  int n = 0;
  for (int y = int(r.y); y < int(r.y + r.h); ++y)
    for (int x = int(r.x); x < int(r.x + r.w); ++x) {
      const uint32_t p = o.at(x, y);
      if (std::abs(red_of(p) - red_of(rgb)) <= tolerance && std::abs(green_of(p) - green_of(rgb)) <= tolerance &&
          std::abs(blue_of(p) - blue_of(rgb)) <= tolerance)
        ++n;
    }
  return n;
}

TEST(DrawerPixels, DrawsInItsPlaceWithTheFocusThePaneAndTheMenu) {
  DrawerApp d;
  AppState& s = d.s();
  Shot shot;
  ASSERT_TRUE(shot.ok);
  for (int i = 0; i < 3; ++i) ASSERT_NO_FATAL_FAILURE(d.add_session("2026-10-05/12000" + std::to_string(i), 1));
  s.engine.dev.duplex = 1;
  drawer_open(d.get(), true);
  d.frame(0.0f);
  const DrawerLayout dl = d.dl();

  // The selected row carries an orange bar while the drawer has the keyboard, a dim one after.
  const Rect sel = drawer_row_rect(dl.sessions, 0, s.drawer.session_sel);
  shot.draw(d.get());
  EXPECT_EQ(rgb_of(shot.o.at(int(sel.x) + 1, int(sel.y + sel.h / 2))), rgb_of(kColourOrange));
  // Nothing lands right of the drawer, where the main area is drawn.
  for (int y : {80, 300, 500}) EXPECT_EQ(rgb_of(shot.o.at(kDrawerDefaultW + 2, y)), rgb_of(kColourInk)) << y;
  s.drawer_ui.focus = false;
  shot.draw(d.get());
  EXPECT_EQ(rgb_of(shot.o.at(int(sel.x) + 1, int(sel.y + sel.h / 2))), rgb_of(kColourDim));

  // The pane over a loaded file: half a second loud, half a second at a quarter, the playhead at a
  // quarter, a loop region from 0.6 to 0.8 and the gain at half.
  Player& p = s.player;
  AudioBuffer b{};
  b.channels = 2, b.sample_rate = 48000, b.frames = 48000;
  b.samples = static_cast<float*>(malloc(sizeof(float) * 2 * 48000));
  for (int i = 0; i < 2 * 48000; ++i) b.samples[i] = i < 48000 ? 0.8f : 0.2f;
  playback_install(&p.engine, &b, false);
  snprintf(p.current_path, sizeof p.current_path, "%s/loaded.wav", d.home.path.c_str());
  for (int i = 0; i < kWavePeaks; ++i) p.wave[i] = i < kWavePeaks / 2 ? 1.0f : 0.25f;
  p.zoom = 1.0, p.view_start = 0.0, p.follow = false;
  playback_seek(&p.engine, 0.25);
  player_set_region(&p, p.current_path, 0.6, 0.8);
  player_set_gain(&p, 0.5f);
  shot.draw(d.get());
  const PaneLayout& pl = dl.pane;
  const Rect& w = pl.wave;
  const int tall = int(w.y + w.h / 2 - 20);  // above a quarter's bars, inside a full one's
  EXPECT_EQ(rgb_of(shot.o.at(int(w.x + 0.1f * w.w), tall)), rgb_of(kColourLight));  // played
  EXPECT_EQ(rgb_of(shot.o.at(int(w.x + 0.4f * w.w), tall)), 0x6B6766u);             // still ahead
  EXPECT_EQ(rgb_of(shot.o.at(int(w.x + 0.9f * w.w), tall)), rgb_of(0xFF0D0C0C));    // a quarter's bars are lower
  const uint32_t region = shot.o.at(int(w.x + 0.7f * w.w), tall);
  EXPECT_GT(red_of(region), green_of(region) + 15) << std::hex << region;  // shaded orange
  EXPECT_EQ(rgb_of(shot.o.at(int(pl.gain.x + 0.3f * pl.gain.w), int(pl.gain.y + pl.gain.h / 2))),
            rgb_of(kColourSilver));
  EXPECT_EQ(rgb_of(shot.o.at(int(pl.gain.x + 0.8f * pl.gain.w), int(pl.gain.y + pl.gain.h / 2))),
            rgb_of(kColourSurface));
  EXPECT_EQ(count_near(shot.o, pl.text, kColourOrange, 30), 0);

  // On an input-only stream the pane says in orange that nothing can play.
  s.engine.dev.duplex = 0;
  shot.draw(d.get());
  EXPECT_GT(count_near(shot.o, pl.text, kColourOrange, 30), 40);

  // The context menu: DELETE SESSION in red, over the rows.
  library_menu(&s.drawer, &s.recorder, kDrawerSessions, 1, false, &s.drawer_ui.menu);
  s.drawer_ui.menu_open = true;
  s.drawer_ui.menu_x = 200, s.drawer_ui.menu_y = 120;
  shot.draw(d.get());
  const Rect m = drawer_menu_rect(s.drawer_ui, kW, kH);
  const Rect danger{m.x, m.y + kMenuPad + 3 * kMenuItemH, m.w / 2, kMenuItemH};
  EXPECT_GT(count_near(shot.o, danger, kColourRed, 30), 20);

  // Halfway through closing, the drawer's right part shows up to its edge and no further.
  s.drawer_ui.menu_open = false;
  drawer_close(d.get());
  d.frame(0.09f);
  const float shown = d.l().drawer.w;
  ASSERT_GT(shown, 400.0f);
  ASSERT_LT(shown, 640.0f);
  shot.draw(d.get());
  EXPECT_EQ(rgb_of(shot.o.at(int(shown) - 1, 300)), rgb_of(kColourRule));
  for (int y : {80, 300, 500}) EXPECT_EQ(rgb_of(shot.o.at(int(shown) + 1, y)), rgb_of(kColourInk)) << y;
  // The pane slid with it: its play button sits the slid distance left of its open place.
  const float slid = float(kDrawerDefaultW) - shown;
  const Rect play = d.dl().pane.play;
  EXPECT_NEAR(play.x, pl.play.x - slid, 1.0f);
}

}  // namespace
