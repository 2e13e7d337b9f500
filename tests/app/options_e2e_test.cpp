// The options panel and the overlays in the real program: keys typed with xdotool into the window
// on a display of the test's own, a JACK dummy server as the input, and what the program leaves
// behind (tolm.ini, a take file's header, the log). Also saves the pictures the panel and the
// overlays are judged by into the look folder.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "app/panels/options.h"
#include "app/panels/panel.h"
#include "tests/app/e2e_support.h"
#include "tests/support/jack.h"
#include "tests/support/temp_dir.h"

namespace {

constexpr int kRate = 48000;
constexpr int64_t kLead = kRate / 10;
constexpr double kPi = 3.141592653589793;

std::vector<float> tone(double seconds, double hz, double amplitude) {
  const int64_t n = int64_t(seconds * kRate);
  std::vector<float> s(size_t(2 * n));
  for (int64_t i = 0; i < n; ++i)
    s[size_t(2 * i)] = s[size_t(2 * i + 1)] = float(amplitude * std::sin(2 * kPi * hz * double(i) / kRate));
  return s;
}

uint32_t le32(const std::string& b, size_t at) {
  return uint32_t(uint8_t(b[at])) | uint32_t(uint8_t(b[at + 1])) << 8 | uint32_t(uint8_t(b[at + 2])) << 16 |
         uint32_t(uint8_t(b[at + 3])) << 24;
}
uint16_t le16(const std::string& b, size_t at) { return uint16_t(uint8_t(b[at]) | uint8_t(b[at + 1]) << 8); }

class OptionsE2e : public ProgramTest {
 protected:
  // A screenshot through the request file, kept as a PNG in the look folder.
  bool shoot(const std::string& png, Bitmap* out = nullptr) {
    Bitmap local;
    if (!take_screenshot(program_, out ? out : &local)) return false;
    keep_look(program_, png);
    return true;
  }

  // Waits until two screenshots in a row are the same: whatever was sliding has come to rest.
  bool settled() {
    Bitmap last, now;
    return wait_until(
        [&] {
          if (!take_screenshot(program_, &now)) return false;
          const bool same = now.argb == last.argb;
          last = now;
          return same;
        },
        10000);
  }

  JackFeeder feeder_;
};

// Where the options panel sits in a 960 x 540 window when it has never been moved.
Rect options_rect() {
  PanelSet set{};
  panels_init(&set);
  return panel_rect(set.panel[kPanelOptions], 960, 540);
}

// Pixels of a rectangle that are neither the window's ink nor black.
int lit_pixels(const Bitmap& b, int x0, int y0, int x1, int y1) {
  int n = 0;
  for (int y = std::max(y0, 0); y < std::min(y1, b.height); ++y)
    for (int x = std::max(x0, 0); x < std::min(x1, b.width); ++x) {
      const uint32_t p = b.at(x, y);
      n += ((p >> 16) & 0xFF) + ((p >> 8) & 0xFF) + (p & 0xFF) > 150;
    }
  return n;
}

TEST_F(OptionsE2e, EnterDownToBitDepthRightThenTheNextTakeIs24Bit) {
  ASSERT_NO_FATAL_FAILURE(start_recorder());
  const std::string ini = program_.settings_file();
  Bitmap before;
  ASSERT_TRUE(shoot("look-before-options.png", &before));
  std::remove((look_dir() + "/look-before-options.png").c_str());

  ASSERT_TRUE(desk_.key("Return"));
  ASSERT_TRUE(desk_.key("Down Down Down Down Down Down"));  // INPUT DEVICE .. BIT DEPTH
  ASSERT_TRUE(desk_.key("Right"));
  ASSERT_TRUE(wait_until([&] { return settings_value(ini, "bit_depth") == "24"; }, 3000)) << read_text(ini);
  // The panel is on screen where it opens: its card covers what the scope showed there.
  Bitmap open;
  ASSERT_TRUE(shoot("look-options.png", &open));
  const Rect r = options_rect();
  const int x = int(r.x), y = int(r.y);
  EXPECT_GT(lit_pixels(open, x, y, x + int(r.w), y + 40), lit_pixels(before, x, y, x + int(r.w), y + 40) + 200);

  // Esc closes it: Down is the threshold's again.
  ASSERT_TRUE(desk_.key("Escape"));
  ASSERT_TRUE(desk_.key("Down"));
  ASSERT_TRUE(wait_until([&] { return settings_value(ini, "threshold_db") == "-35.00"; }, 3000)) << read_text(ini);
  EXPECT_EQ(settings_value(ini, "popt_open"), "0");

  // Armed, a sound: its take file is 24-bit PCM stereo.
  ASSERT_NO_FATAL_FAILURE(connect_feeder(&feeder_));
  ASSERT_TRUE(desk_.key("space"));
  ASSERT_TRUE(program_.wait_logged("LISTENING - SOUND OPENS THE GATE", 5000)) << program_.log();
  feeder_.play(tone(0.6, 440, 0.5), kLead);
  std::string take;
  ASSERT_TRUE(wait_until(
      [&] {
        for (const std::string& rel : program_.session_folders())
          for (const std::string& name : folder_entries(program_.write_folder() + "/" + rel, ".wav")) {
            const std::string path = program_.write_folder() + "/" + rel + "/" + name;
            const std::string b = read_text(path);
            if (b.size() > 44 && le32(b, 40) > 0 && b.size() >= 44 + size_t(le32(b, 40))) take = path;
          }
        return !take.empty();
      },
      15000))
      << program_.log();
  const std::string b = read_text(take);
  ASSERT_GE(b.size(), 44u);
  EXPECT_EQ(b.substr(0, 4), "RIFF");
  EXPECT_EQ(b.substr(8, 8), "WAVEfmt ");
  EXPECT_EQ(le16(b, 20), 1);              // PCM
  EXPECT_EQ(le16(b, 22), 2);              // stereo
  EXPECT_EQ(le32(b, 24), uint32_t(kRate));
  EXPECT_EQ(le32(b, 28), uint32_t(kRate * 6));  // bytes a second
  EXPECT_EQ(le16(b, 32), 6);              // bytes a frame
  EXPECT_EQ(le16(b, 34), 24);             // bits a sample
  EXPECT_EQ(b.substr(36, 4), "data");
  EXPECT_EQ(le32(b, 40) % 6, 0u);
  // The tone's loudest sample, 0.5 of full scale, as 24-bit: 0x3FFFFF or one below.
  int32_t peak = 0;
  for (size_t at = 44; at + 3 <= b.size(); at += 3) {
    const int32_t v = int32_t(uint32_t(uint8_t(b[at])) << 8 | uint32_t(uint8_t(b[at + 1])) << 16 |
                              uint32_t(uint8_t(b[at + 2])) << 24) >> 8;
    peak = std::max(peak, std::abs(v));
  }
  EXPECT_NEAR(double(peak), 0.5 * 8388607, 200.0);
  ASSERT_TRUE(desk_.key("space"));
  ASSERT_TRUE(program_.wait_logged("SESSION ENDED - 1 TAKE", 5000)) << program_.log();
}

TEST_F(OptionsE2e, OverlaysAndADetachedPanelLookRight) {
  ASSERT_NO_FATAL_FAILURE(start_recorder());
  // Some log lines for the console to show.
  ASSERT_TRUE(desk_.key("Tab Tab Tab m m"));

  // F1 is the training panel's: the overlay opens from the options' HOW IT WORKS row.
  int rows_down = 0;
  for (int row = kRowInputDevice; row != kRowHowItWorks; row = option_neighbour(row, +1)) ++rows_down;
  ASSERT_TRUE(desk_.key("ctrl+comma"));
  for (int i = 0; i < rows_down; ++i) ASSERT_TRUE(desk_.key("Down"));
  ASSERT_TRUE(desk_.key("Return"));
  Bitmap help;
  ASSERT_TRUE(shoot("look-help.png", &help));
  ASSERT_TRUE(desk_.key("Page_Down Page_Down"));
  ASSERT_TRUE(shoot("look-help-scrolled.png"));
  ASSERT_TRUE(desk_.key("Escape"));
  // The options panel keeps its row: back to the first for what follows.
  ASSERT_TRUE(desk_.key("ctrl+comma"));
  for (int i = 0; i < rows_down; ++i) ASSERT_TRUE(desk_.key("Up"));
  ASSERT_TRUE(desk_.key("Escape"));

  ASSERT_TRUE(desk_.key("question"));
  ASSERT_TRUE(desk_.key_down("g"));
  Bitmap keys;
  ASSERT_TRUE(shoot("look-keys.png", &keys));
  ASSERT_TRUE(desk_.key_up("g"));
  ASSERT_TRUE(desk_.key("Escape"));

  ASSERT_TRUE(desk_.key("alt+grave"));
  Bitmap console;
  ASSERT_TRUE(shoot("look-console.png", &console));
  // Two thirds of 540 rows: the panel's bottom rule in 0xFFC6C1BE at y = 358..359.
  EXPECT_EQ(console.at(480, 358) & 0xFFFFFF, 0xBEC1C6u);
  EXPECT_EQ(console.at(480, 359) & 0xFFFFFF, 0xBEC1C6u);
  EXPECT_NE(console.at(480, 361) & 0xFFFFFF, 0xBEC1C6u);
  ASSERT_TRUE(desk_.key("alt+grave"));

  // The options panel pops out into a window of its own and comes back.
  ASSERT_TRUE(desk_.key("ctrl+comma"));
  ASSERT_TRUE(settled());  // it has slid into place
  const Rect r = options_rect();
  const Rect detach = panel_button_rect(r.w, PanelPart::kDetach);
  ASSERT_TRUE(desk_.click(int(r.x + detach.x + detach.w / 2), int(r.y + detach.h / 2)));
  Desktop own{display_.name, ""};
  ASSERT_TRUE(own.find("^OPTIONS - tolm$", 10000)) << program_.log();
  ASSERT_TRUE(wait_until([&] { return settings_value(program_.settings_file(), "popt_det") == "1"; }, 3000));
  ASSERT_TRUE(own.key("Down Down Down Down Down Down Right"));  // keys in its own window reach it
  ASSERT_TRUE(wait_until([&] { return settings_value(program_.settings_file(), "bit_depth") == "24"; }, 3000));
  const Rect dock = panel_button_rect(float(kPanelDefaultW[kPanelOptions]), PanelPart::kDetach);
  ASSERT_TRUE(own.click(int(dock.x + dock.w / 2), int(dock.h / 2)));
  ASSERT_TRUE(wait_until([&] { return !desk_.exists("^OPTIONS - tolm$"); }, 5000));
  ASSERT_TRUE(wait_until([&] { return settings_value(program_.settings_file(), "popt_det") == "0"; }, 3000));
  EXPECT_EQ(settings_value(program_.settings_file(), "popt_open"), "1");
  ASSERT_TRUE(shoot("look-options-back.png"));
}

}  // namespace
