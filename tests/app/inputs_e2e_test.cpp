// The inputs panel in the real program: a JACK dummy server of eight inputs, each fed a tone of
// its own; A opens the panel, a click on an input's mute button changes what the next take holds
// (heard in the take's spectrum) and what the rig file on disk says, and Shift+3 copies the scene.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/inputs/inputs_app.h"
#include "app/shell/app_state.h"
#include "rig/rig_doc.h"
#include "tests/app/e2e_support.h"
#include "tests/support/jack.h"

namespace {

constexpr int kInputs = 8;
constexpr int kRate = 48000;
constexpr double kPi = 3.141592653589793;
constexpr double kHz[kInputs] = {220, 330, 470, 610, 750, 890, 1030, 1170};

// Input k plays kHz[k] at 0.1 for `seconds`.
std::vector<float> tones(double seconds) {
  const int64_t n = int64_t(seconds * kRate);
  std::vector<float> s(size_t(n * kInputs));
  for (int64_t i = 0; i < n; ++i)
    for (int k = 0; k < kInputs; ++k)
      s[size_t(i * kInputs + k)] = float(0.1 * std::sin(2 * kPi * kHz[k] * double(i) / kRate));
  return s;
}

struct RigFree {
  void operator()(RigDoc* d) const {
    rig_free(d);
    delete d;
  }
};
using Rig = std::unique_ptr<RigDoc, RigFree>;

class InputsE2e : public ProgramTest {
 protected:
  void start() {
    ASSERT_TRUE(jack_.start(kInputs));
    const std::string config = root_.path + "/home/.config/Lumaro";
    ASSERT_EQ(std::system(("mkdir -p '" + config + "'").c_str()), 0);
    // The line out of reach: the tones never open the gate, only G does.
    write_text(config + "/tolm.ini", "threshold_db = 0.00\n");
    ASSERT_TRUE(program_.start(TOLM_PROGRAM, root_.path, display_.name));
    ASSERT_TRUE(desk_.find("^tolm ZEPHA", 60000, [this] { return program_.ended(); })) << program_.log();
    ASSERT_TRUE(program_.wait_logged("engine started", 20000)) << program_.log();
    ASSERT_TRUE(program_.wait_logged("rig: bound jack:system (8 of 8 inputs, 48000 Hz)", 10000)) << program_.log();
    ASSERT_TRUE(desk_.focus());
    ASSERT_TRUE(feeder_.open("feeder", kInputs));
    ASSERT_TRUE(feeder_.wait_connected("tolm:in_1", 10000));
    std::vector<std::string> ports;
    for (int k = 1; k <= kInputs; ++k) ports.push_back("tolm:in_" + std::to_string(k));
    ASSERT_TRUE(feeder_.connect(ports));
    feeder_.play(tones(120.0), kRate / 10);
  }

  std::string rigs() const { return program_.home + "/.config/Lumaro/rigs"; }

  // The rig file on disk, decoded; null while there is none or it cannot be read.
  Rig rig_on_disk() const {
    const std::vector<std::string> files = folder_entries(rigs(), ".json");
    if (files.size() != 1) return nullptr;
    const std::string text = read_text(rigs() + "/" + files[0]);
    Rig doc(new RigDoc{});
    char msg[256];
    if (text.empty() || rig_decode(text.c_str(), text.size(), doc.get(), msg, sizeof msg) > 1) return nullptr;
    return doc;
  }

  bool wait_rig(const std::function<bool(const RigDoc&)>& pred) const {
    return wait_until([&] {
      Rig r = rig_on_disk();
      return r && pred(*r);
    }, 8000, 50);
  }

  // A take made by holding G for a second of the program's audio; its file read back.
  void take(const std::string& dir, size_t nth, TakeFileData* out) {
    ASSERT_TRUE(desk_.key_down("g"));
    const int64_t down = feeder_.position.load();
    ASSERT_TRUE(wait_until([&] { return feeder_.position.load() >= down + kRate; }, 10000, 5));
    ASSERT_TRUE(desk_.key_up("g"));
    std::vector<std::string> names;
    ASSERT_TRUE(wait_until([&] {
      names.clear();
      for (const std::string& name : folder_entries(dir, ".wav")) {
        TakeFileData t;
        if (read_take_file(dir + "/" + name, &t) && t.frames() > 0) names.push_back(name);
      }
      return names.size() == nth;
    }, 10000)) << program_.log();
    ASSERT_TRUE(read_take_file(dir + "/" + names.back(), out));
  }

  JackFeeder feeder_;
};

TEST_F(InputsE2e, AOpensThePanelAMuteClickChangesTheTakeAndTheRigFileAndShift3CopiesTheScene) {
  ASSERT_NO_FATAL_FAILURE(start());
  Bitmap before, shot;
  ASSERT_TRUE(take_screenshot(program_, &before));

  // A opens the panel: the window grows by its width so the recording area keeps its size.
  ASSERT_TRUE(desk_.key("a"));
  ASSERT_TRUE(wait_until([&] { return take_screenshot(program_, &shot) && shot.width == before.width + kRigPanelWidth; },
                         10000, 100))
      << shot.width << " after " << before.width;
  // The rig is in use (the defaults: input 1 and 2 a pair, 3 and up muted) and on disk.
  ASSERT_TRUE(wait_rig([](const RigDoc& r) { return r.device.channels == kInputs && r.scenes[0].channels[2].muted; }))
      << program_.log();
  // The screenshot shows the panel once the rows are drawn.
  ASSERT_TRUE(take_screenshot(program_, &shot));
  keep_look(program_, "look-inputs-8.png");
  const Rect panel = inputs_panel_rect(shot.width, shot.height, float(kRigPanelWidth));
  InputsGeometry g;
  inputs_geometry(panel, &g);
  InputsRowRects row3;
  inputs_row_rects(g, 2, 0.0f, &row3);
  EXPECT_EQ(shot.at(int(g.card.x + 2), int(g.card.y + 2)) & 0xFFFFFF, 0x18181Au);  // the device card

  // Input 3 unmuted by a click on its mute button: the rig file says so, the next take holds 470 Hz.
  ASSERT_TRUE(desk_.click(int(row3.mute.x + row3.mute.w / 2), int(row3.mute.y + row3.mute.h / 2)));
  ASSERT_TRUE(wait_rig([](const RigDoc& r) { return !r.scenes[0].channels[2].muted; })) << program_.log();
  ASSERT_TRUE(desk_.key("space"));
  std::string rel;
  ASSERT_TRUE(wait_until([&] {
    const auto f = program_.session_folders();
    if (f.size() == 1) rel = f[0];
    return f.size() == 1;
  }, 5000));
  const std::string dir = program_.write_folder() + "/" + rel;
  TakeFileData heard, muted;
  ASSERT_NO_FATAL_FAILURE(take(dir, 1, &heard));
  // Inputs 1, 2 and 3 each centred, the rest muted: both sides hold the three tones alike.
  const double base = tone_level(heard, 0, kHz[0]);
  EXPECT_GT(base, 0.03);
  EXPECT_NEAR(tone_level(heard, 0, kHz[2]) / base, 1.0, 0.1);
  EXPECT_NEAR(tone_level(heard, 1, kHz[2]) / base, 1.0, 0.1);
  EXPECT_NEAR(tone_level(heard, 1, kHz[1]) / base, 1.0, 0.1);
  EXPECT_LT(tone_level(heard, 0, kHz[3]) / base, 0.02);

  // Muted again by the same click: gone from the next take, and from the file.
  ASSERT_TRUE(desk_.click(int(row3.mute.x + row3.mute.w / 2), int(row3.mute.y + row3.mute.h / 2)));
  ASSERT_TRUE(wait_rig([](const RigDoc& r) { return r.scenes[0].channels[2].muted; })) << program_.log();
  ASSERT_NO_FATAL_FAILURE(take(dir, 2, &muted));
  const double still = tone_level(muted, 0, kHz[0]);
  EXPECT_GT(still, 0.03);
  EXPECT_LT(tone_level(muted, 0, kHz[2]) / still, 0.02);
  EXPECT_LT(tone_level(muted, 1, kHz[2]) / still, 0.02);

  // Input 4 unmuted in scene 1, then Shift+3: scene 3 takes scene 1's mix and is the one in use.
  InputsRowRects row4;
  inputs_row_rects(g, 3, 0.0f, &row4);
  ASSERT_TRUE(desk_.click(int(row4.mute.x + row4.mute.w / 2), int(row4.mute.y + row4.mute.h / 2)));
  ASSERT_TRUE(wait_rig([](const RigDoc& r) { return !r.scenes[0].channels[3].muted; })) << program_.log();
  ASSERT_TRUE(desk_.key("shift+3"));
  ASSERT_TRUE(wait_rig([](const RigDoc& r) {
    const RigScene& s = r.scenes[2];
    bool tolm_on_3 = false;
    for (int i = 0; i < r.app_scene_count; ++i)
      if (std::string(r.app_scenes[i].app) == "tolm") tolm_on_3 = r.app_scenes[i].scene == 2;
    return tolm_on_3 && !s.fresh && !s.channels[3].muted && s.channels[2].muted;
  })) << program_.log() << read_text(rigs() + "/" + folder_entries(rigs(), ".json")[0]);
  ASSERT_TRUE(desk_.key("space"));

  // Quit and start again: the panel is back at once, the window no wider, scene 3 lit.
  program_.signal(SIGTERM);
  ASSERT_TRUE(program_.wait_exit(20000));
  ASSERT_EQ(program_.exit_status, 0) << read_text(program_.output);
  EXPECT_EQ(settings_value(program_.settings_file(), "rig_open"), "1");
  std::remove((program_.home + "/.lumaro/tolm.log").c_str());  // so the waits below read the new run's
  ASSERT_TRUE(program_.start(TOLM_PROGRAM, root_.path, display_.name));
  ASSERT_TRUE(program_.wait_logged("rig: bound jack:system", 30000)) << program_.log();
  Bitmap again;
  ASSERT_TRUE(wait_until([&] {
    const Rect& s3 = g.scenes[2];
    return take_screenshot(program_, &again) && again.width == shot.width &&
           (again.at(int(s3.x + 5), int(s3.y + 5)) & 0xFFFFFF) == 0xF27A1Fu;  // the lit scene, orange
  }, 10000, 100)) << again.width << " after " << shot.width;
  // A closes it; the window gives the width back.
  ASSERT_TRUE(desk_.find("^tolm ZEPHA", 10000));
  ASSERT_TRUE(desk_.focus());
  ASSERT_TRUE(desk_.key("a"));
  ASSERT_TRUE(wait_until([&] { return take_screenshot(program_, &again) && again.width == before.width; }, 10000, 100));
}

}  // namespace
