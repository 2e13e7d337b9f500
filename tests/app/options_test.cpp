// The options panel without a device: navigation in display order past the headings, the value
// texts of every row in representative states, the rows that step, wrap and save at once, the
// rows whose component this build lacks, the write-folder picker through fake dialog programs on
// PATH, and which keys open and close the panel and its neighbours.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "app/overlays/overlay.h"
#include "app/overlays/training_view.h"
#include "app/panels/options.h"
#include "app/shell/header.h"
#include "config/status.h"
#include "sessions/session.h"
#include "tests/app/desktop_wait.h"
#include "tests/app/panel_fixture.h"

namespace {

std::string value(PanelsApp& a, int row, float panel_w = 520) {
  char out[kOptionValueBytes];
  option_value_text(a.get(), row, panel_w, out, sizeof out);
  return out;
}

void make_executable(const std::string& path, const std::string& text) {
  write_text(path, text);
  chmod(path.c_str(), 0755);
}

// Dialog programs on PATH that record their arguments, print `out` and exit with `status`.
struct FakeDesktop {
  TempDir bin;
  FakeDesktop() { setenv("PATH", bin.path.c_str(), 1); }
  void program(const char* name, const std::string& out, int status, const std::string& err = "") {
    make_executable(bin.file(name), "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done > \"" +
                                        bin.file("args") + "\"\nprintf '%s' '" + out + "'\nprintf '%s' '" + err +
                                        "' >&2\nexit " + std::to_string(status) + "\n");
  }
  std::string args() const { return read_text(bin.file("args")); }
};

}  // namespace

TEST(OptionsPanel, NavigationFollowsTheDisplayOrderAndNeverStopsOnAHeading) {
  const std::vector<int> shown = {0,  1,  2,  3,  4,  5,  6,  8,  9,  10, 7,  18, 31, 19, 20, 27, 28, 29,
                                  30, 36, 26, 35, 25, 21, 22, 23, 24, 32, 33, 34, 11, 12, 13, 14, 15, 16};
  std::vector<int> walked = {kRowInputDevice};
  for (int row = kRowInputDevice;;) {
    const int next = option_neighbour(row, +1);
    if (next == row) break;
    walked.push_back(row = next);
  }
  EXPECT_EQ(walked, shown);
  std::vector<int> back = {kRowWhatsNew};
  for (int row = kRowWhatsNew;;) {
    const int prev = option_neighbour(row, -1);
    if (prev == row) break;
    back.push_back(row = prev);
  }
  EXPECT_EQ(back, std::vector<int>(shown.rbegin(), shown.rend()));
  // Row 17 is the VISUALIZER heading: listed, never selectable.
  EXPECT_FALSE(option_selectable(kRowVisualizerHeading));
  int headings = 0;
  for (int i = 0; i < kOptionLines; ++i) {
    const OptionLine& l = option_lines()[i];
    if (l.kind == OptionLineKind::kHeading && l.row == kRowVisualizerHeading) {
      EXPECT_STREQ(l.label, "VISUALIZER");
    }
    headings += l.kind != OptionLineKind::kRow;
  }
  EXPECT_EQ(headings, 12);

  // The same through the keys of the open panel: Down past BROADCAST lands on SCOPE WATERFALL.
  PanelsApp a;
  a.key(kKeyEnter);
  ASSERT_TRUE(options_shown(a.get()));
  for (int i = 0; i < 6; ++i) a.key(kKeyDown);
  EXPECT_EQ(a->options.selected, kRowBitDepth);
  a.key(kKeyRight);
  EXPECT_EQ(a->settings.bit_depth, 24);
  EXPECT_EQ(a->engine.bit_depth.load(), 24);
  a.key(kKeyEnter);  // no Enter action: steps forward
  EXPECT_EQ(a->settings.bit_depth, 16);
  for (int i = 0; i < 4; ++i) a.key(kKeyDown, 0, true);  // held arrows repeat
  EXPECT_EQ(a->options.selected, kRowWaterfall);
  a.key(kKeyUp);
  EXPECT_EQ(a->options.selected, kRowBroadcast);
  for (int i = 0; i < 60; ++i) a.key(kKeyDown);
  EXPECT_EQ(a->options.selected, kRowWhatsNew);  // the end holds
  EXPECT_FLOAT_EQ(a->settings.threshold_db, -34.0f);  // none of it moved the threshold
}

TEST(OptionsPanel, ValueTextsForRepresentativeStates) {
  PanelsApp a;
  EngineDevice& d = a->engine.dev;
  EXPECT_EQ(value(a, kRowInputDevice), "(none)   0/0");
  d.count = 2;
  snprintf(d.list[0].name, sizeof d.list[0].name, "system [JACK]");
  d.list[0].jack = 1;
  snprintf(d.list[1].name, sizeof d.list[1].name, "USB Mic (hw:1,0) [ALSA]");
  d.list[1].output_device = -1;
  d.selected = 0;
  snprintf(d.host_api_name, sizeof d.host_api_name, "JACK");
  EXPECT_EQ(value(a, kRowInputDevice), "system [JACK]   1/2");
  EXPECT_EQ(value(a, kRowDriverPanel), "SET IN THE JACK SERVER");
  EXPECT_EQ(value(a, kRowExclusive), "OFF   (ALSA DEVICES ONLY)");
  d.selected = 1;
  snprintf(d.host_api_name, sizeof d.host_api_name, "ALSA");
  EXPECT_EQ(value(a, kRowInputDevice), "USB Mic (hw:1,0) [ALSA]   2/2   NO OUT");
  EXPECT_EQ(value(a, kRowDriverPanel), "(JACK DEVICES ONLY)");
  EXPECT_EQ(value(a, kRowExclusive), "OFF   OTHER APPS CAN SHARE IT");
  d.exclusive = 1;
  EXPECT_EQ(value(a, kRowExclusive), "ON   REFUSED - RUNNING SHARED");
  d.exclusive_active = 1;
  EXPECT_EQ(value(a, kRowExclusive), "ON   DEVICE IS TOLM'S ALONE");

  EXPECT_EQ(value(a, kRowSampleRate), "48000 HZ   AUTO");
  a->settings.sample_rate = 48000;
  EXPECT_EQ(value(a, kRowSampleRate), "48000 HZ");
  d.buffer_frames = 256;
  d.latency_ms = 10.6666;
  EXPECT_EQ(value(a, kRowBuffer), "256 FRAMES   LATENCY 10.7 MS");
  EXPECT_EQ(value(a, kRowBitDepth), "16-BIT");
  a->settings.bit_depth = 24;
  EXPECT_EQ(value(a, kRowBitDepth), "24-BIT");
  EXPECT_EQ(value(a, kRowWaterfall), "ON");
  a->settings.scope_fall_off = 1;
  EXPECT_EQ(value(a, kRowWaterfall), "OFF");

  // What this build lacks says so.
  EXPECT_EQ(value(a, kRowInputs), "NOT AVAILABLE");
  EXPECT_EQ(value(a, kRowBroadcast), "NOT BUILT");
  EXPECT_EQ(value(a, kRowTraining), "0 / 11");
  // A Link channel that did not start is off.
  EXPECT_EQ(value(a, kRowLink), "OFF");
  EXPECT_EQ(value(a, kRowLinkInput), "MIC   (LINK IS OFF)");

  // The write folder fits (520 - 260) / 12 = 21 characters, else shows its end.
  snprintf(a->recorder.library.root, kPathCap, "/home/me/Music");
  EXPECT_EQ(value(a, kRowWriteFolder), "/home/me/Music");
  snprintf(a->recorder.library.root, kPathCap, "/media/field/recordings/2026");
  EXPECT_EQ(value(a, kRowWriteFolder), "...ld/recordings/2026");
  EXPECT_EQ(value(a, kRowWriteFolder, 800), "/media/field/recordings/2026");

  a->recorder.library.row_count = 3;
  EXPECT_EQ(value(a, kRowOpenFolder), "ENTER - 3 TOLMS");
  snprintf(a->options.last_session, kPathCap, "/home/me/Music/tolm/2026-10-05/124424");
  EXPECT_EQ(value(a, kRowOpenFolder), "ENTER - 2026-10-05/124424   (3 TOLMS)");
  EXPECT_EQ(value(a, kRowHowItWorks), "ENTER");
  EXPECT_EQ(value(a, kRowKeys), "ENTER");
  EXPECT_EQ(value(a, kRowWhatsNew), "1.3.10   2026-10-08");
  EXPECT_EQ(value(a, kRowWallSource), "INPUTS");
  a->settings.wall_source = 2;
  EXPECT_EQ(value(a, kRowWallSource), "ALL");
  a->settings.vis_color[12] = 4;  // VISUAL BACKGROUND is slot 12, row 31
  EXPECT_EQ(value(a, 31), "ORANGE");
  EXPECT_STREQ(option_label(31), "VISUAL BACKGROUND");
  EXPECT_STREQ(option_label(19), "VISUAL SURFACE");
  EXPECT_STREQ(option_label(36), "FLOOR COLOR");

  // Help lines: the system's word where the original named another, key caps for 14 and 15.
  const char* caps = nullptr;
  EXPECT_STREQ(option_help_text(kRowExclusive, &caps),
               "Takes the device from the system - lowest latency, no other app can play");
  EXPECT_STREQ(caps, "");
  EXPECT_STREQ(option_help_text(kRowOpenFolder, &caps), "Opens the last session you recorded in Files");
  option_help_text(kRowKeys, &caps);
  EXPECT_STREQ(caps, "?");
  option_help_text(kRowTraining, &caps);
  EXPECT_STREQ(caps, "T");
  EXPECT_STREQ(option_help_text(kRowWallSource, &caps),
               "Audio feeding the walls. All combines inputs and library playback.");
  EXPECT_STREQ(option_help_text(25, &caps), "Choose a color below. D restores this part's default.");
  EXPECT_STREQ(option_help_text(kRowVisualizerHeading, &caps), "");
}

TEST(OptionsPanel, ColoursAndWallSourceWrapAndAreSavedAtOnce) {
  PanelsApp a;
  a.key(kKeyEnter);
  // To VISUAL BACKGROUND (row 31, slot 12): after SCOPE WATERFALL and WALL SOURCE.
  while (a->options.selected != 31) a.key(kKeyDown);
  a.key(kKeyLeft);
  EXPECT_EQ(a->settings.vis_color[12], 10);
  EXPECT_EQ(value(a, 31), "PINK");  // Left on DEFAULT wraps to PINK
  EXPECT_NE(a.ini().find("\nvis_color_12 = 10\n"), std::string::npos) << a.ini();  // written at once
  a.key(kKeyRight);
  EXPECT_EQ(value(a, 31), "DEFAULT");
  a.key(kKeyRight);
  a.key(kKeyRight);
  EXPECT_EQ(value(a, 31), "GRAY");
  a.key(kKeyD);  // D restores the slot's default
  EXPECT_EQ(a->settings.vis_color[12], 0);
  EXPECT_NE(a.ini().find("\nvis_color_12 = 0\n"), std::string::npos);
  for (int s = 0; s < kVisColorSlots; ++s) {
    if (s == 12) continue;
    EXPECT_EQ(a->settings.vis_color[s], 0) << s;
  }

  a.key(kKeyUp);  // VISUAL BACKGROUND -> WALL SOURCE
  EXPECT_EQ(a->options.selected, kRowWallSource);
  a.key(kKeyLeft);
  EXPECT_EQ(a->settings.wall_source, 2);
  EXPECT_NE(a.ini().find("\nwall_source = 2\n"), std::string::npos);
  a.key(kKeyRight);
  a.key(kKeyRight);
  EXPECT_EQ(value(a, kRowWallSource), "LIBRARY");
  a.key(kKeyD);  // only colour rows know D
  EXPECT_EQ(a->settings.wall_source, 1);
  // Saved at once means the last-written image follows, so the once-a-second check stays quiet.
  EXPECT_EQ(memcmp(&a->settings, &a->settings_image, sizeof(Settings)), 0);
}

TEST(OptionsPanel, RowsWithoutTheirComponentSaySoAndChangeNothing) {
  PanelsApp a;
  a.key(kKeyEnter);
  const Settings before = a->settings;
  option_enter(a.get(), kRowInputs);
  EXPECT_EQ(a.status(), "INPUTS NOT AVAILABLE");
  EXPECT_TRUE(options_shown(a.get()));
  // A Link channel that did not start refuses to go on, and so does its input.
  option_step(a.get(), kRowLink, +1);
  EXPECT_EQ(a.status(), "LINK REFUSED - SEE THE LOG");
  option_enter(a.get(), kRowLinkInput);
  EXPECT_EQ(a.status(), "TURN ABLETON LINK ON FIRST");
  option_step(a.get(), kRowBroadcast, -1);
  EXPECT_EQ(a.status(), "NO BROADCAST IN THIS BUILD");
  option_enter(a.get(), kRowDriverPanel);
  EXPECT_EQ(a.status(), "JACK DEVICES ONLY");  // no device selected here
  option_step(a.get(), kRowInputDevice, +1);
  EXPECT_EQ(a.status(), "NO INPUT DEVICES");
  EXPECT_EQ(memcmp(&before, &a->settings, sizeof(Settings)), 0);

  option_step(a.get(), kRowWaterfall, +1);
  EXPECT_EQ(a.status(), "SCOPE WATERFALL OFF");
  option_enter(a.get(), kRowWaterfall);
  EXPECT_EQ(a.status(), "SCOPE WATERFALL ON");
  EXPECT_EQ(a->settings.scope_fall_off, 0);

  // Audio on the tape: the rate row refuses before anything is touched, AUTO included.
  a->engine.write_head.store(4800);
  option_step(a.get(), kRowSampleRate, +1);
  EXPECT_EQ(a.status(), "STOP THE SESSION FIRST - RATE IS SET ON AN EMPTY TAPE");
  option_step(a.get(), kRowSampleRate, -1);
  EXPECT_EQ(a.status(), "STOP THE SESSION FIRST - RATE IS SET ON AN EMPTY TAPE");
  EXPECT_EQ(a->settings.sample_rate, 0);
  EXPECT_EQ(a->engine.sample_rate, 48000);
}

TEST(OptionsPanel, WriteFolderPickerChoosesCancelsAndSaysWhenThereIsNone) {
  PanelsApp a;
  const std::string old_root = a.home.file("Music");
  std::filesystem::create_directories(old_root + "/tolm");
  ASSERT_EQ(set_write_folder(&a->recorder, old_root.c_str()), 0);
  const std::string chosen = a.home.file("field");
  std::filesystem::create_directories(chosen);
  FakeDesktop desk;

  desk.program("zenity", chosen + "\n", 0);
  option_enter(a.get(), kRowWriteFolder);
  ASSERT_TRUE(settle_desktop(a.get()));
  EXPECT_EQ(desk.args(), "--file-selection\n--directory\n--title=Choose the tolm write folder\n--filename=" +
                             old_root + "/\n");
  EXPECT_EQ(a.status(), "WRITE FOLDER SET");
  EXPECT_EQ(std::string(a->settings.library_dir), chosen);
  EXPECT_EQ(std::string(a->recorder.library.write_folder), chosen + "/tolm");
  EXPECT_TRUE(std::filesystem::is_directory(chosen + "/tolm"));
  EXPECT_NE(a.ini().find("\nlibrary_dir = " + chosen + "\n"), std::string::npos) << a.ini();

  // Cancelled: nothing changes, nothing is said.
  status_clear();
  desk.program("zenity", "", 1);
  option_enter(a.get(), kRowWriteFolder);
  ASSERT_TRUE(settle_desktop(a.get()));
  EXPECT_EQ(a.status(), "");
  EXPECT_EQ(std::string(a->settings.library_dir), chosen);

  // A folder that cannot hold the write folder.
  desk.program("zenity", a.home.file("gone/away") + "\n", 0);
  option_enter(a.get(), kRowWriteFolder);
  ASSERT_TRUE(settle_desktop(a.get()));
  EXPECT_EQ(a.status(), "FOLDER NOT USABLE");
  EXPECT_EQ(std::string(a->settings.library_dir), chosen);

  // zenity cannot show itself (it then exits as a cancel does, saying why on standard error):
  // kdialog is next, with its own arguments.
  desk.program("zenity", "", 1, "(zenity:77): Gtk-WARNING **: 20:01:02.003: cannot open display: :9");
  desk.program("kdialog", old_root + "\n", 0);
  option_enter(a.get(), kRowWriteFolder);
  ASSERT_TRUE(settle_desktop(a.get()));
  EXPECT_EQ(desk.args(), "--title\nChoose the tolm write folder\n--getexistingdirectory\n" + chosen + "\n");
  EXPECT_EQ(std::string(a->settings.library_dir), old_root);

  // Neither program: the foot says where the folder can be set instead.
  std::filesystem::remove(desk.bin.file("zenity"));
  std::filesystem::remove(desk.bin.file("kdialog"));
  option_enter(a.get(), kRowWriteFolder);
  ASSERT_TRUE(settle_desktop(a.get()));
  EXPECT_EQ(a.status(), "NO FOLDER DIALOG - SET library_dir IN tolm.ini");
  EXPECT_EQ(std::string(a->settings.library_dir), old_root);
}

TEST(OptionsPanel, OpeningAndClosingWithTheirNeighbours) {
  PanelsApp a;
  a->console_open = true;
  a.key(kKeyEnter);  // the main view's Enter opens it and closes the console
  EXPECT_TRUE(options_shown(a.get()));
  EXPECT_FALSE(a->console_open);
  a.key(kKeyEnter);  // now Enter is the panel's: INPUT DEVICE steps (nothing to step to)
  EXPECT_TRUE(options_shown(a.get()));
  EXPECT_EQ(a.status(), "NO INPUT DEVICES");
  a.key(kKeyEscape);
  EXPECT_FALSE(options_shown(a.get()));

  // Ctrl+, toggles; either way the console and the help overlay close.
  a->console_open = true;
  a.key(kKeyComma, kModCtrl);
  EXPECT_TRUE(options_shown(a.get()));
  EXPECT_FALSE(a->console_open);
  a->help_open = true;
  a->console_open = true;
  a.key(kKeyComma, kModCtrl);
  EXPECT_FALSE(options_shown(a.get()));
  EXPECT_FALSE(a->help_open);
  EXPECT_FALSE(a->console_open);
  a.key(kKeyComma, kModCtrl, true);  // a held key does not toggle again
  EXPECT_FALSE(options_shown(a.get()));

  // F1 opens the help overlay, which closes the panel; HOW IT WORKS opens it at the top.
  a.key(kKeyComma, kModCtrl);
  a.key(kKeyF1);
  EXPECT_TRUE(a->help_open);
  EXPECT_FALSE(options_shown(a.get()));
  a.key(kKeyF1);
  EXPECT_FALSE(a->help_open);
  a.key(kKeyComma, kModCtrl);
  a->help.scroll = 500;
  option_enter(a.get(), kRowHowItWorks);
  EXPECT_TRUE(a->help_open);
  EXPECT_EQ(a->help.scroll, 0.0f);
  EXPECT_FALSE(options_shown(a.get()));
  a.key(kKeyEscape);

  // KEYS opens the key map and closes the panel; T closes both for the training panel.
  a.key(kKeyComma, kModCtrl);
  option_enter(a.get(), kRowKeys);
  EXPECT_TRUE(a->key_map.open);
  EXPECT_FALSE(options_shown(a.get()));
  a.key(kKeyEscape);
  EXPECT_FALSE(a->key_map.open);
  a.key(kKeyComma, kModCtrl);
  training_start(a.get());
  a.key(kKeyT);
  EXPECT_FALSE(options_shown(a.get()));
  EXPECT_TRUE(a->training.open);
  EXPECT_EQ(a->training.tab, kPanelTraining);
  a.key(kKeyEscape);
  // TRAINING and WHAT'S NEW open its two tabs and close the panel.
  a.key(kKeyComma, kModCtrl);
  option_enter(a.get(), kRowWhatsNew);
  EXPECT_FALSE(options_shown(a.get()));
  EXPECT_EQ(a->training.tab, kPanelNotes);
  a.key(kKeyEscape);
  a.key(kKeyComma, kModCtrl);
  option_enter(a.get(), kRowTraining);
  EXPECT_EQ(a->training.tab, kPanelTraining);
  EXPECT_TRUE(a->training.open);
  a.key(kKeyEscape);
  EXPECT_FALSE(a->training.open);

  // The header's OPTIONS door does what Ctrl+, does.
  const Rect door = header_item_rect(960, HeaderItem::kDoorOptions);
  a.mouse(InputKind::kMouseDown, door.x + 20, door.y + 20);
  EXPECT_TRUE(options_shown(a.get()));
  a.mouse(InputKind::kMouseDown, door.x + 20, door.y + 20);
  EXPECT_FALSE(options_shown(a.get()));
}
