// The routing order (what an earlier receiver takes never reaches the main view), the help
// overlay's keys, the key map's legend and lit caps, and the console's geometry and log tail.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "app/foot/foot.h"
#include "app/overlays/overlay.h"
#include "app/overlays/training_view.h"
#include "app/panels/options.h"
#include "app/panels/panel.h"
#include "app/shell/header.h"
#include "app/shell/route.h"
#include "config/log.h"
#include "tests/app/panel_fixture.h"

TEST(Routing, WhatAnEarlierReceiverTakesNeverReachesTheMainView) {
  PanelsApp a;
  const float threshold = a->settings.threshold_db;

  // The key map takes every key while shown: arrows scroll it, Space does not arm.
  a.key(kKeyQuestion, kModShift);
  ASSERT_TRUE(a->key_map.open);
  a.key(kKeyUp);
  a.key(kKeySpace);
  a.key(kKeyG);
  EXPECT_FLOAT_EQ(a->settings.threshold_db, threshold);
  EXPECT_EQ(a->engine.armed.load(), 0);
  EXPECT_EQ(a->engine.gate_forced.load(), 0);
  EXPECT_EQ(a->key_map.lit_key, kKeyG);
  // A press on the button strip under its sheet presses nothing; one beside the sheet closes it.
  const Rect arm = strip_button_rect(a->ui.layout, kBtnArm, 1.0f);
  const Rect latch = strip_button_rect(a->ui.layout, kBtnLatch, 1.0f);
  a.mouse(InputKind::kMouseDown, latch.x + latch.w / 2, latch.y + latch.h / 2);
  EXPECT_TRUE(a->key_map.open);
  EXPECT_EQ(a->recorder.gate_latched, 0);
  a.mouse(InputKind::kMouseUp, latch.x + latch.w / 2, latch.y + latch.h / 2);
  a.mouse(InputKind::kMouseDown, 10, 300);
  EXPECT_FALSE(a->key_map.open);
  a.mouse(InputKind::kMouseUp, 10, 300);

  // The open options panel takes the arrows, Enter and Esc; the console stays open under Esc.
  a->console_open = true;
  a.key(kKeyComma, kModCtrl);
  a->console_open = true;
  a.key(kKeyDown);
  a.key(kKeyRight);  // INPUTS has no stepping action, and the hold slider is not reached
  EXPECT_FLOAT_EQ(a->settings.threshold_db, threshold);
  EXPECT_FLOAT_EQ(a->settings.hold_norm, 0.0f);
  EXPECT_EQ(a->options.selected, kRowInputs);
  a.key(kKeyEscape);
  EXPECT_FALSE(options_shown(a.get()));
  EXPECT_TRUE(a->console_open);
  a.key(kKeyEscape);  // now the main view's: it closes the console
  EXPECT_FALSE(a->console_open);

  // A panel over the button strip takes the press; closed, the same press holds the gate.
  a.key(kKeyComma, kModCtrl);
  const Rect gate = strip_button_rect(a->ui.layout, kBtnGate, 1.0f);
  const Rect panel = panel_rect(a->panels.panel[kPanelOptions], 960, 540);
  ASSERT_TRUE(panel.contains(gate.x + gate.w / 2, gate.y + gate.h / 2));
  a.mouse(InputKind::kMouseDown, gate.x + gate.w / 2, gate.y + gate.h / 2);
  EXPECT_EQ(a->engine.gate_forced.load(), 0);
  a.mouse(InputKind::kMouseUp, gate.x + gate.w / 2, gate.y + gate.h / 2);
  a.key(kKeyEscape);
  a.mouse(InputKind::kMouseDown, gate.x + gate.w / 2, gate.y + gate.h / 2);
  EXPECT_EQ(a->engine.gate_forced.load(), 1);
  a.mouse(InputKind::kMouseUp, gate.x + gate.w / 2, gate.y + gate.h / 2);
  EXPECT_EQ(a->engine.gate_forced.load(), 0);

  // The wheel over the panel scrolls its list, not the scope's lines.
  a.key(kKeyComma, kModCtrl);
  InputEvent wheel{};
  wheel.kind = InputKind::kWheel;
  wheel.wheel_y = -2;
  wheel.x = panel.x + 100, wheel.y = panel.y + 200;
  const float exit_db = a->settings.exit_db;
  handle_event(a.get(), wheel);
  EXPECT_GT(a->options.scroll, 0.0f);
  EXPECT_FLOAT_EQ(a->settings.exit_db, exit_db);
  a.key(kKeyEscape);

  // Pointer events of another window (a panel's own, or one already gone) never reach the main
  // view, whatever their coordinates; its keys do take the usual way.
  a.mouse(InputKind::kMouseDown, arm.x + arm.w / 2, arm.y + arm.h / 2, 77);
  EXPECT_EQ(a->engine.armed.load(), 0);
  InputEvent close{};
  close.kind = InputKind::kWindowClose;
  close.window_id = 77;
  handle_event(a.get(), close);
  EXPECT_FALSE(a->quit_requested);
  a.key(kKeyUp, 0, false, 77);
  EXPECT_FLOAT_EQ(a->settings.threshold_db, threshold + 1.0f);

  // G held, the key map opened over it, G let go: the gate lets go too.
  a->engine.armed = 1;
  a.key(kKeyG);
  EXPECT_EQ(a->engine.gate_forced.load(), 1);
  a.key(kKeyQuestion, kModShift);
  ASSERT_TRUE(a->key_map.open);
  InputEvent g_up{};
  g_up.kind = InputKind::kKeyUp;
  g_up.key = kKeyG;
  handle_event(a.get(), g_up);
  EXPECT_EQ(a->engine.gate_forced.load(), 0);
  a.key(kKeyEscape);
  a->engine.armed = 0;

  // The frame's buttons come before everything: the close button quits even under the key map.
  a.key(kKeyQuestion, kModShift);
  const Rect quit = header_item_rect(960, HeaderItem::kClose);
  a.mouse(InputKind::kMouseDown, quit.x + quit.w / 2, quit.y + quit.h / 2);
  EXPECT_TRUE(a->quit_requested);
  EXPECT_TRUE(a->key_map.open);
}

TEST(HelpOverlay, KeysScrollCloseAndHandOver) {
  PanelsApp a;
  const char* const titles[kHelpPages] = {"ARM",     "THE LINE",     "SETTINGS",   "EQ",            "BY HAND",
                                          "MONITOR", "TAPE",         "LIBRARY",    "FILES",         "WHEN IT PLAYS",
                                          "OPEN A FILE", "INPUTS",   "SCENES",     "OPTIONS",       "ON THE NETWORK",
                                          "THE FIRST ONE", "WHERE IT GOES", "THE POINTER", "THE REST"};
  for (int p = 0; p < kHelpPages; ++p) {
    EXPECT_STREQ(help_page_title(p), titles[p]);
    EXPECT_GT(strlen(help_page_text(p)), 80u) << titles[p];
  }

  a.key(kKeyComma, kModCtrl);
  a->console_open = true;
  a.key(kKeyF1);
  ASSERT_TRUE(a->help_open);
  EXPECT_FALSE(options_shown(a.get()));
  EXPECT_FALSE(a->console_open);
  // The column as a frame measured it: 2000 pixels of pages in a 400-pixel view.
  a->help.content_h = 2000;
  a->help.view_h = 400;
  const float threshold = a->settings.threshold_db;
  a.key(kKeyPageDown);
  EXPECT_FLOAT_EQ(a->help.scroll, 240);
  a.key(kKeyDown);
  EXPECT_FLOAT_EQ(a->help.scroll, 276);
  a.key(kKeyUp, 0, true);
  EXPECT_FLOAT_EQ(a->help.scroll, 240);
  EXPECT_FLOAT_EQ(a->settings.threshold_db, threshold);  // the arrows were the overlay's
  for (int i = 0; i < 10; ++i) a.key(kKeyPageDown);
  EXPECT_FLOAT_EQ(a->help.scroll, 1600);  // to the end of the column, no further
  for (int i = 0; i < 10; ++i) a.key(kKeyPageUp);
  EXPECT_FLOAT_EQ(a->help.scroll, 0);
  a.key(kKeyPageDown);
  a.key(kKeyEnter);
  EXPECT_FALSE(a->help_open);
  a.key(kKeyF1);
  EXPECT_FLOAT_EQ(a->help.scroll, 0);  // opening starts at page 0
  a.key(kKeyF1);
  a.key(kKeyF1);
  a.key(kKeyF1, 0, true);  // held: no second toggle
  EXPECT_TRUE(a->help_open);
  a.mouse(InputKind::kMouseDown, 30, 300);  // outside the sheet
  EXPECT_FALSE(a->help_open);

  // With the training panel there, Right and Left leave the overlay for its two tabs, and F1 is
  // the panel's: training, or the notes with Shift.
  training_start(a.get());
  help_open(a.get());
  a.key(kKeyRight);
  EXPECT_FALSE(a->help_open);
  EXPECT_TRUE(a->training.open);
  EXPECT_EQ(a->training.tab, kPanelTraining);
  a.key(kKeyEscape);
  EXPECT_FALSE(a->training.open);
  help_open(a.get());
  a.key(kKeyLeft);
  EXPECT_FALSE(a->help_open);
  EXPECT_EQ(a->training.tab, kPanelNotes);
  a.key(kKeyEscape);
  a.key(kKeyF1, kModShift);
  EXPECT_TRUE(a->training.open);
  EXPECT_EQ(a->training.tab, kPanelNotes);
  EXPECT_FALSE(a->help_open);
  a.key(kKeyEscape);
  a.key(kKeyF1);
  EXPECT_EQ(a->training.tab, kPanelTraining);
  EXPECT_FALSE(a->help_open);
}

TEST(KeyMap, LegendAsTheTableGivesItAndLitCaps) {
  const LegendSection* s = key_legend();
  const char* const titles[kLegendSections] = {"TAKE", "HEAR", "DOORS", "LIBRARY", "INPUTS"};
  const int counts[kLegendSections] = {8, 3, 10, 8, 5};
  const int columns[kLegendSections] = {0, 0, 0, 1, 1};
  for (int i = 0; i < kLegendSections; ++i) {
    EXPECT_STREQ(s[i].title, titles[i]);
    EXPECT_EQ(s[i].count, counts[i]) << titles[i];
    EXPECT_EQ(s[i].column, columns[i]) << titles[i];
  }
  EXPECT_STREQ(s[0].rows[0].keys, "\u2423");
  EXPECT_STREQ(s[0].rows[5].keys, "\u2191\t\u2193");
  EXPECT_STREQ(s[0].rows[7].text, "x5");
  EXPECT_STREQ(s[1].rows[0].text, "thres / eq / cfg");
  EXPECT_STREQ(s[2].rows[3].keys, "Ctrl\t,");
  EXPECT_STREQ(s[2].rows[5].keys, "Shift\tF1");
  EXPECT_STREQ(s[2].rows[5].text, "version notes");
  EXPECT_STREQ(s[2].rows[9].keys, "Alt\t`");
  EXPECT_STREQ(s[3].rows[3].text, "5 s");
  EXPECT_STREQ(s[4].rows[0].keys, "1\t\u2026\t4");
  EXPECT_STREQ(s[4].rows[3].keys, "\u21B5");

  // Each cap of a row lights for the key it names.
  EXPECT_TRUE(key_cap_matches("G", kKeyG, 0));
  EXPECT_FALSE(key_cap_matches("G", kKeyL, 0));
  EXPECT_TRUE(key_cap_matches("\u2193", kKeyDown, 0));
  EXPECT_TRUE(key_cap_matches("Ctrl", kKeyComma, kModCtrl));
  EXPECT_TRUE(key_cap_matches(",", kKeyComma, kModCtrl));
  EXPECT_TRUE(key_cap_matches("Shift", kKeyShift, 0));
  EXPECT_TRUE(key_cap_matches("\u2026", kKey3, 0));
  EXPECT_TRUE(key_cap_matches("\u21B5", kKeyEnter, 0));
  EXPECT_FALSE(key_cap_matches("Alt", kKeyBackquote, 0));

  PanelsApp a;
  a.key(kKeyQuestion, kModShift);
  a->key_map.content_h = 900;
  a->key_map.view_h = 380;
  a.key(kKeyDown);
  a.key(kKeyDown, 0, true);
  EXPECT_FLOAT_EQ(a->key_map.scroll, 80);
  for (int i = 0; i < 20; ++i) a.key(kKeyDown);
  EXPECT_FLOAT_EQ(a->key_map.scroll, 520);
  a.key(kKeyBackquote, kModAlt);
  EXPECT_EQ(a->key_map.lit_key, kKeyBackquote);
  EXPECT_EQ(a->key_map.lit_mods, kModAlt);
  EXPECT_FALSE(a->console_open);  // lit, not acted on
  a.key(kKeyQuestion, kModShift);
  EXPECT_FALSE(a->key_map.open);
}

TEST(Console, GeometryCounterAndTheTailAfter300Lines) {
  while (log_line_count() < 299) log_line("console test line %d", log_line_count());
  log_line("console test line 299 \u00B7 with a dot");
  ASSERT_EQ(log_line_count(), 300);
  char counter[64];
  console_counter_text(counter, sizeof counter);
  EXPECT_STREQ(counter, "300 LINES - ALT+~ TO CLOSE");

  const ConsoleGeometry g = console_geometry(960, 540);
  EXPECT_EQ(g.panel_h, 360);
  EXPECT_EQ(g.rows, 27);        // (360 - 34) / 12
  EXPECT_EQ(g.line_chars, 156);  // (960 - 20) / 6
  EXPECT_EQ(g.perf_chars, 93);   // (960 - 400) / 6
  EXPECT_EQ(console_geometry(418, 480).perf_chars, 3);  // too narrow: not drawn
  EXPECT_EQ(console_geometry(800, 481).panel_h, 320);   // integer two thirds

  static char lines[kLogRingLines][kLogLineBytes];
  int n = console_lines(g.rows, g.line_chars, lines, kLogRingLines);
  ASSERT_EQ(n, 27);
  EXPECT_NE(std::string(lines[0]).find("console test line 273"), std::string::npos) << lines[0];
  EXPECT_NE(std::string(lines[26]).find("console test line 299 \u00B7 with a dot"), std::string::npos);
  // More rows than the ring holds: lines 0..43 have left it, 44..299 are shown.
  n = console_lines(452, 0, lines, kLogRingLines);
  ASSERT_EQ(n, 256);
  EXPECT_NE(std::string(lines[0]).find("console test line 44"), std::string::npos) << lines[0];
  EXPECT_NE(std::string(lines[255]).find("console test line 299"), std::string::npos);
  // Cut by characters, never inside one: the stamp (8 + 2) and "console test line 299 " is 32.
  n = console_lines(1, 33, lines, kLogRingLines);
  ASSERT_EQ(n, 1);
  EXPECT_EQ(std::string(lines[0]).substr(10), "console test line 299 \u00B7");
}
