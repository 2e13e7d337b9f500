// The floating panels: the panel block through tolm.ini and back, the restore rules, placement
// inside the window, dragging and the title strip's buttons, and a detached panel's own window
// (SDL's offscreen video driver, so no display is needed).
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "app/panels/options.h"
#include "app/panels/panel.h"
#include "app/panels/panel_content.h"
#include "app/shell/frame.h"
#include "app/shell/route.h"
#include "app/shell/window.h"
#include "tests/app/panel_fixture.h"

TEST(Panels, BlockRoundTripThroughTolmIni) {
  PanelsApp a;
  // Nothing stored: every panel at its default place; the block written from them is stable.
  PanelSet fresh{};
  panels_init(&fresh);
  panels_restore(&fresh, a->settings);
  Settings s = a->settings;
  panels_collect(fresh, &s);
  EXPECT_EQ(s.panel[kPanelOptions][kPanelX], 60);
  EXPECT_EQ(s.panel[kPanelOptions][kPanelY], 50);
  EXPECT_EQ(s.panel[kPanelTolm][kPanelX], 90);
  EXPECT_EQ(s.panel[kPanelTolm][kPanelY], 62);
  EXPECT_EQ(s.panel[kPanelLibrary][kPanelX], 120);
  EXPECT_EQ(s.panel[kPanelLibrary][kPanelY], 74);

  // A block with every kind of value, a window on a monitor left of the main one among them.
  const int block[kPanelCount][kPanelValues] = {
      {140, 66, 1, 1, -1200, 80, 600, 560}, {300, 120, 1, 0, 0, 0, 0, 0}, {10, 20, 1, 1, 1930, -5, 700, 900}};
  memcpy(s.panel, block, sizeof block);
  const std::string path = a.home.file("tolm.ini");
  ASSERT_TRUE(write_settings_file(path.c_str(), s));
  const std::string text = read_text(path);
  EXPECT_NE(text.find("\npopt_x = 140\npopt_y = 66\npopt_open = 1\npopt_det = 1\npopt_wx = -1200\n"
                      "popt_wy = 80\npopt_ww = 600\npopt_wh = 560\npgui_x = 300\n"),
            std::string::npos)
      << text;
  Settings back;
  settings_defaults(&back);
  read_settings_text(&back, text.data(), text.size());
  PanelSet set{};
  panels_init(&set);
  panels_restore(&set, back);
  EXPECT_EQ(set.panel[kPanelOptions].x, 140);
  EXPECT_TRUE(set.panel[kPanelOptions].open);
  EXPECT_TRUE(set.panel[kPanelOptions].detached);
  EXPECT_EQ(set.panel[kPanelOptions].win_x, -1200);
  EXPECT_EQ(set.panel[kPanelLibrary].win_y, -5);
  Settings again = back;
  memset(again.panel, 0, sizeof again.panel);
  panels_collect(set, &again);
  EXPECT_EQ(memcmp(again.panel, block, sizeof block), 0);
}

TEST(Panels, RestoreRules) {
  Settings s;
  settings_defaults(&s);
  s.panel[kPanelOptions][kPanelOpen] = 1;        // open at (0, 0): restored there
  s.panel[kPanelTolm][kPanelWinW] = 700;         // only a window size: not restored
  s.panel[kPanelLibrary][kPanelOpen] = 1;        // the library only when open and detached
  s.panel[kPanelLibrary][kPanelX] = 400;
  PanelSet set{};
  panels_init(&set);
  panels_restore(&set, s);
  EXPECT_TRUE(set.panel[kPanelOptions].open);
  EXPECT_EQ(set.panel[kPanelOptions].x, 0);
  EXPECT_EQ(set.panel[kPanelOptions].y, 0);
  EXPECT_EQ(set.panel[kPanelTolm].x, 90);
  EXPECT_EQ(set.panel[kPanelTolm].win_w, 0);
  EXPECT_FALSE(set.panel[kPanelLibrary].open);
  EXPECT_EQ(set.panel[kPanelLibrary].x, 120);
  s.panel[kPanelLibrary][kPanelDetached] = 1;
  panels_restore(&set, s);
  EXPECT_TRUE(set.panel[kPanelLibrary].open);
  EXPECT_EQ(set.panel[kPanelLibrary].x, 400);
  // Only the options panel has its content here; the others are kept, not shown.
  EXPECT_TRUE(panel_has_content(kPanelOptions));
  EXPECT_FALSE(panel_has_content(kPanelTolm));
  EXPECT_FALSE(panel_has_content(kPanelLibrary));
}

TEST(Panels, PlacementDraggingAndTheTitleButtons) {
  FloatingPanel p{};
  p.x = 60, p.y = 50, p.w = 520, p.h = 506;
  Rect r = panel_rect(p, 960, 540);
  EXPECT_EQ(r.y, 42);  // under the header, cut to what is left below it
  EXPECT_EQ(r.h, 498);
  EXPECT_EQ(r.x, 60);
  p.h = 300;
  r = panel_rect(p, 960, 540);
  EXPECT_EQ(r.y, 50);  // fits: where it was put
  EXPECT_EQ(r.h, 300);
  p.x = 5000, p.y = -40;
  r = panel_rect(p, 960, 540);
  EXPECT_EQ(r.x, 440);
  EXPECT_EQ(r.y, 42);
  p.y = 900;
  EXPECT_EQ(panel_rect(p, 960, 540).y, 240);
  EXPECT_EQ(panel_part_at(520, 506, 100, 10), PanelPart::kTitle);
  EXPECT_EQ(panel_part_at(520, 506, 510, 10), PanelPart::kClose);
  EXPECT_EQ(panel_part_at(520, 506, 470, 10), PanelPart::kDetach);
  EXPECT_EQ(panel_part_at(520, 506, 470, 40), PanelPart::kBody);
  EXPECT_EQ(panel_part_at(520, 506, 520, 40), PanelPart::kNone);
  // Its own window: edges resize, the title strip moves it, its buttons are content.
  EXPECT_EQ(panel_frame_hit(520, 506, 100, 10), HitZone::kDrag);
  EXPECT_EQ(panel_frame_hit(520, 506, 510, 10), HitZone::kNormal);
  EXPECT_EQ(panel_frame_hit(520, 506, 2, 200), HitZone::kLeft);
  EXPECT_EQ(panel_frame_hit(520, 506, 519, 505), HitZone::kBottomRight);
  EXPECT_EQ(panel_frame_hit(520, 506, 100, 200), HitZone::kNormal);

  PanelsApp a;
  a.key(kKeyComma, kModCtrl);
  FloatingPanel& o = a->panels.panel[kPanelOptions];
  r = panel_rect(o, 960, 540);
  a.mouse(InputKind::kMouseDown, r.x + 100, r.y + 10);
  a.mouse(InputKind::kMouseMove, r.x + 140, r.y + 10);
  EXPECT_EQ(o.x, 100);
  EXPECT_EQ(o.y, 42);
  a.mouse(InputKind::kMouseMove, r.x + 2000, r.y + 10);  // kept inside the window
  EXPECT_EQ(o.x, 440);
  a.mouse(InputKind::kMouseUp, r.x + 2000, r.y + 10);
  EXPECT_FALSE(o.dragging);
  a.mouse(InputKind::kMouseMove, 10, 200);  // no longer dragging: the panel stays
  EXPECT_EQ(o.x, 440);
  // A click on a row selects it; a second click on it uses it.
  r = panel_rect(o, 960, 540);
  a.mouse(InputKind::kMouseDown, r.x + 100, r.y + kPanelTitleH + 6 + 32 + 26 * 6 + 13);  // the 7th row
  EXPECT_EQ(a->options.selected, kRowBitDepth);
  EXPECT_EQ(a->settings.bit_depth, 16);
  a.mouse(InputKind::kMouseDown, r.x + 100, r.y + kPanelTitleH + 6 + 32 + 26 * 6 + 13);
  EXPECT_EQ(a->settings.bit_depth, 24);
  // The close button.
  const Rect close = panel_button_rect(r.w, PanelPart::kClose);
  a.mouse(InputKind::kMouseDown, r.x + close.x + 5, r.y + 5);
  EXPECT_FALSE(options_shown(a.get()));
  EXPECT_EQ(a->engine.armed.load(), 0);
}

TEST(Panels, DetachedIntoItsOwnWindowAndBack) {
  setenv("SDL_VIDEODRIVER", "offscreen", 1);
  setenv("SDL_RENDER_DRIVER", "software", 1);
  setenv("SDL_FRAMEBUFFER_ACCELERATION", "0", 1);  // no GL framebuffer: Mesa leaks at exit
  PanelsApp a;
  ASSERT_EQ(window_init_video(), 0);
  a.key(kKeyComma, kModCtrl);
  panel_detach(a.get(), kPanelOptions);
  FloatingPanel& o = a->panels.panel[kPanelOptions];
  ASSERT_NE(o.window, nullptr);
  EXPECT_TRUE(o.detached);
  EXPECT_NE(o.window_id, 0u);
  EXPECT_EQ(o.win_w, 520);
  EXPECT_EQ(o.win_h, 506);
  draw_detached_panels(a.get());  // draws and presents into its own window
  EXPECT_EQ(o.drawn_w, 520.0f);

  // Its window's pointer events are its own: a press on its close button closes the panel; the
  // block keeps it detached, so it opens in its own window again.
  const Rect close = panel_button_rect(o.drawn_w, PanelPart::kClose);
  a.mouse(InputKind::kMouseDown, close.x + 5, 5, o.window_id);
  EXPECT_FALSE(o.open);
  EXPECT_EQ(o.window, nullptr);
  panels_collect_into_settings(a.get());
  EXPECT_EQ(a->settings.panel[kPanelOptions][kPanelDetached], 1);
  EXPECT_EQ(a->settings.panel[kPanelOptions][kPanelOpen], 0);
  a.key(kKeyComma, kModCtrl);
  ASSERT_NE(o.window, nullptr);

  // The system's close of that window closes the panel, not the program.
  InputEvent gone{};
  gone.kind = InputKind::kWindowClose;
  gone.window_id = o.window_id;
  handle_event(a.get(), gone);
  EXPECT_FALSE(o.open);
  EXPECT_FALSE(a->quit_requested);

  // The dock button brings it back into the main window.
  a.key(kKeyComma, kModCtrl);
  ASSERT_NE(o.window, nullptr);
  const Rect dock = panel_button_rect(o.drawn_w, PanelPart::kDetach);
  a.mouse(InputKind::kMouseDown, dock.x + 5, 5, o.window_id);
  EXPECT_FALSE(o.detached);
  EXPECT_EQ(o.window, nullptr);
  EXPECT_TRUE(o.open);
  panels_stop(a.get());
  window_close(nullptr);  // SDL_Quit
}
