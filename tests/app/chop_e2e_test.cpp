// Opening a file and chopping it in the real program: a WAV of three tone bursts named in the open
// request becomes the chop view, Enter makes a reference session whose takes are the bursts with
// the sliders' pre- and post-roll; a text file is refused; Ctrl+O runs the desktop's dialog (a fake
// zenity on PATH) while the window goes on, and Esc drops the chop. Each test has its own Xvfb
// display and JACK server.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "app/chop/chop_view.h"
#include "app/foot/foot.h"
#include "tests/app/e2e_support.h"
#include "tests/support/jack.h"
#include "tests/support/temp_dir.h"

namespace {

constexpr int kRate = 48000;
constexpr int kBlock = kRate / 1000;       // the chop's envelope block: a millisecond
constexpr int64_t kPreRoll = kRate / 2;    // the default pre-roll, 0.5 s
constexpr int64_t kPostRoll = kRate;       // the default post-roll, 1 s
constexpr int64_t kFileFrames = 10 * kRate;
// Bursts of a 1 kHz tone at 0.5, in frames (each a whole number of blocks).
constexpr int64_t kBursts[3][2] = {{48000, 72000}, {192000, 230400}, {336000, 364800}};

// The burst file: 16-bit stereo, silent between the bursts.
void write_bursts(const std::string& path) {
  TakeFileData t;
  t.channels = 2;
  t.rate = kRate;
  t.bits = 16;
  t.samples.assign(size_t(2 * kFileFrames), 0);
  for (const auto& b : kBursts)
    for (int64_t i = b[0]; i < b[1]; ++i) {
      const int16_t v = int16_t(std::lround(16384.0 * std::sin(2.0 * M_PI * double(i) / 48.0 + 0.3)));
      t.samples[size_t(2 * i)] = t.samples[size_t(2 * i + 1)] = v;
    }
  ASSERT_TRUE(write_take_file(path, t));
}

// The take lines of a source.ref, as frame pairs.
std::vector<std::pair<int64_t, int64_t>> take_lines(const std::string& text) {
  std::vector<std::pair<int64_t, int64_t>> out;
  for (size_t at = text.find("take="); at != std::string::npos; at = text.find("take=", at + 1)) {
    long long a = 0, b = 0;
    if (sscanf(text.c_str() + at, "take=%lld %lld", &a, &b) == 2) out.emplace_back(a, b);
  }
  return out;
}

int pixels_of(const Bitmap& b, const Rect& r, uint32_t abgr) {
  const uint32_t rgb = ((abgr & 0xFF) << 16) | (abgr & 0xFF00) | ((abgr >> 16) & 0xFF);
  int n = 0;
  for (int y = int(r.y); y < int(r.y + r.h) && y < b.height; ++y)
    for (int x = int(r.x); x < int(r.x + r.w) && x < b.width; ++x) n += (b.at(x, y) & 0xFFFFFF) == rgb;
  return n;
}

class ChopE2e : public ProgramTest {
 protected:
  void SetUp() override {
    ProgramTest::SetUp();
    files_ = root_.path + "/files";
    ASSERT_EQ(std::system(("mkdir -p '" + files_ + "'").c_str()), 0);
  }

  // Waits until the reader has read the burst file whole.
  void wait_ready(const std::string& path) {
    ASSERT_TRUE(program_.wait_logged("chop: reading " + path, 5000)) << program_.log();
    ASSERT_TRUE(program_.wait_logged("chop: " + path + " - 480000 frames at 48000 Hz, 2 channels, 10000 blocks", 10000))
        << program_.log();
  }

  bool screenshot(Bitmap* out) { return take_screenshot(program_, out); }

  static MainLayout layout_for(int w, int h) {
    MainLayout l;
    layout_main(w, h, side_panel_width(w, 1.0f), &l);
    return l;
  }

  std::string files_;
};

TEST_F(ChopE2e, RequestedFileBecomesAReferenceSessionOfItsBursts) {
  ASSERT_NO_FATAL_FAILURE(start_recorder());
  const std::string wav = files_ + "/three bursts.wav";
  write_bursts(wav);
  write_text(program_.tmp + "/tolm_open_request", wav + "\n");
  ASSERT_NO_FATAL_FAILURE(wait_ready(wav));

  // The chop view with the three takes marked, saved with the other pictures of the look.
  Bitmap shot;
  ASSERT_TRUE(wait_until([&] { return screenshot(&shot) && pixels_of(shot, layout_for(960, 540).scope, kChopSpanShade) > 0; },
                         10000));
  const MainLayout l = layout_for(960, 540);
  EXPECT_GT(pixels_of(shot, l.scope, kChopSpanShade), 10000);  // the spans
  EXPECT_GT(pixels_of(shot, l.scope, kChopBarInTake), 1000);   // the bursts' bars
  EXPECT_GT(pixels_of(shot, chop_button_rect(l, kChopMake), 0xFF1F7AF2), 2000);  // MAKE SESSION, active
  keep_look(program_, "look-chop-960x540.png");

  ASSERT_TRUE(desk_.key("Return"));
  ASSERT_TRUE(program_.wait_logged("SESSION MADE - 3 TAKES", 5000)) << program_.log();
  const std::vector<std::string> sessions = program_.session_folders();
  ASSERT_EQ(sessions.size(), 1u) << program_.log();
  const std::string dir = program_.write_folder() + "/" + sessions[0];
  EXPECT_EQ(folder_entries(dir), std::vector<std::string>{"source.ref"});
  const std::string ref = read_text(dir + "/source.ref");
  EXPECT_NE(ref.find("source=" + wav + "\n"), std::string::npos) << ref;
  EXPECT_NE(ref.find("rate=48000\nframes=480000\n"), std::string::npos) << ref;
  // Each take is its burst with the pre-roll before it and the post-roll after it (to a block).
  const auto takes = take_lines(ref);
  ASSERT_EQ(takes.size(), 3u) << ref;
  for (int i = 0; i < 3; ++i) {
    EXPECT_NEAR(double(takes[size_t(i)].first), double(kBursts[i][0] - kPreRoll), kBlock) << ref;
    EXPECT_NEAR(double(takes[size_t(i)].second), double(kBursts[i][1] + kPostRoll), kBlock) << ref;
  }

  // The live view is back: no take spans, the recording strip.
  ASSERT_TRUE(screenshot(&shot));
  EXPECT_EQ(pixels_of(shot, l.scope, kChopSpanShade), 0);
  // (ARM's orange label is all the orange left where MAKE SESSION was.)
  EXPECT_LT(pixels_of(shot, chop_button_rect(l, kChopMake), 0xFF1F7AF2), 500) << "MAKE SESSION still shown";

  // A text file through the request file is refused and starts nothing.
  write_text(program_.tmp + "/tolm_open_request", files_ + "/notes.txt\n");
  ASSERT_TRUE(program_.wait_logged("TOLM CAN'T READ THAT KIND OF FILE", 5000)) << program_.log();
  EXPECT_FALSE(program_.logged("chop: reading " + files_ + "/notes.txt"));
}

TEST_F(ChopE2e, CtrlOOpensTheDialogsChoiceAndEscDropsIt) {
  const std::string bin = root_.path + "/bin";
  const std::string wav = files_ + "/picked.wav";
  write_bursts(wav);
  ASSERT_EQ(std::system(("mkdir -p '" + bin + "'").c_str()), 0);
  // A dialog that stays up until the test answers for the user.
  const std::string go = root_.path + "/go";
  write_text(bin + "/zenity", "#!/bin/sh\nwhile [ ! -e '" + go + "' ]; do sleep 0.05; done\necho '" + wav + "'\n");
  ASSERT_EQ(std::system(("chmod 755 '" + bin + "/zenity'").c_str()), 0);
  const char* path = getenv("PATH");
  ASSERT_NO_FATAL_FAILURE(start_recorder("", {"PATH=" + bin + ":" + (path ? path : "/usr/bin:/bin")}));

  ASSERT_TRUE(desk_.key("ctrl+o"));
  // While the dialog is up the window goes on: it still answers a screenshot request.
  Bitmap shot;
  EXPECT_TRUE(screenshot(&shot)) << program_.log();
  EXPECT_FALSE(program_.logged("chop: reading"));
  write_text(go, "");
  ASSERT_NO_FATAL_FAILURE(wait_ready(wav));
  ASSERT_TRUE(desk_.key("Escape"));
  ASSERT_TRUE(program_.wait_logged("chop: dropped " + wav, 5000)) << program_.log();
  // Enter is the main view's again: it makes no session.
  ASSERT_TRUE(desk_.key("Return"));
  ASSERT_TRUE(screenshot(&shot));  // a pass of the main loop after the key: it has been handled
  EXPECT_TRUE(program_.session_folders().empty());
  EXPECT_FALSE(program_.logged("SESSION MADE"));
}

}  // namespace
