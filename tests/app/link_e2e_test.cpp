// Two instances of the real program on Link, each on a JACK dummy server and a display of its own,
// inside a loopback-only network namespace of the test's own: they are peers at one tempo, B
// publishes its monitor, A records from B's channel (its own server's input stays silent), and A's
// take holds B's tone.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/app/e2e_support.h"
#include "tests/net/link_fixture.h"
#include "tests/support/jack.h"

namespace {

constexpr int kRate = 48000;

class LinkE2e : public ProgramTest {
 protected:
  void SetUp() override {
    LINK_TEST_GUARD();  // before anything starts: every process of the test is inside the namespace
    ProgramTest::SetUp();
  }
  void TearDown() override {
    if (b_.running()) {
      b_.signal(SIGTERM);
      EXPECT_TRUE(b_.wait_exit(20000)) << b_.log();
      EXPECT_EQ(b_.exit_status, 0) << read_text(b_.output);
    }
    ProgramTest::TearDown();
  }

  TempDir root_b_;
  XDisplay display_b_;
  JackServer jack_b_;
  ProgramRun b_;
  JackFeeder feeder_;
};

TEST_F(LinkE2e, BsToneReachesAsTakeThroughItsChannel) {
  // Both are "tolm · <host name>"; A lists B by peer and channel name, upper-case.
  char host[256] = "";
  gethostname(host, sizeof host - 1);
  std::string name = std::string("tolm \xC2\xB7 ") + host;
  for (char& c : name) c = char(std::toupper(static_cast<unsigned char>(c)));
  const std::string entry = name + " - " + name;

  ASSERT_NO_FATAL_FAILURE(start_recorder("link = 1\nlink_input = " + entry + "\n"));
  ASSERT_TRUE(display_b_.start(root_b_.path + "/xvfb.log")) << read_text(display_b_.log);
  ASSERT_TRUE(jack_b_.start(2));  // the feeder below connects to this one
  const std::string config_b = root_b_.path + "/home/.config/Lumaro";
  ASSERT_EQ(std::system(("mkdir -p '" + config_b + "'").c_str()), 0);
  write_text(config_b + "/tolm.ini", "link = 1\nmonitor = 1\nnormalize_monitor = 0\n");
  ASSERT_TRUE(b_.start(TOLM_PROGRAM, root_b_.path, display_b_.name));
  ASSERT_TRUE(b_.wait_logged("engine started", 60000)) << b_.log() << read_text(b_.output);

  ASSERT_TRUE(program_.wait_logged("link: 1 peer, 120.0 bpm", 15000)) << program_.log();
  ASSERT_TRUE(b_.wait_logged("link: 1 peer, 120.0 bpm", 15000)) << b_.log();
  ASSERT_TRUE(program_.wait_logged("link: input = " + entry, 15000)) << program_.log();

  // A listens; B's monitor carries a 1 kHz tone at half scale for two seconds.
  ASSERT_TRUE(desk_.focus());
  ASSERT_TRUE(desk_.key("space"));
  ASSERT_TRUE(program_.wait_logged("LISTENING - SOUND OPENS THE GATE", 5000)) << program_.log();
  ASSERT_NO_FATAL_FAILURE(connect_feeder(&feeder_));
  std::vector<float> tone(size_t(2 * 2 * kRate));
  for (size_t i = 0; i < tone.size(); ++i) tone[i] = 0.5f * float(std::sin(2 * M_PI * 1000.0 * double(i / 2) / kRate));
  feeder_.play(tone, kRate / 2);

  std::string dir;
  ASSERT_TRUE(wait_until([&] {
    const std::vector<std::string> sessions = program_.session_folders();
    if (sessions.empty()) return false;
    dir = program_.write_folder() + "/" + sessions.back();
    return !folder_entries(dir, ".wav").empty();
  }, 20000, 50)) << program_.log();
  TakeFileData take;
  ASSERT_TRUE(wait_until([&] { return read_take_file(dir + "/" + folder_entries(dir, ".wav")[0], &take); }, 5000));
  // Two seconds of tone with the rolls around it; the level as B played it, on both sides.
  EXPECT_GT(take.frames(), 2 * kRate) << program_.log();
  // On a starved machine either server drops cycles and the channel's packets come late: the
  // blocks those broke read low, the whole ones (the upper quartile) carry B's level.
  for (int channel = 0; channel < 2; ++channel) {
    EXPECT_NEAR(tone_level(take, channel, 1000, 0.75), 0.5, 0.05) << "channel " << channel;
    EXPECT_LT(tone_level(take, channel, 1500), 0.01) << "channel " << channel;
  }
  ASSERT_TRUE(desk_.key("space"));
  ASSERT_TRUE(program_.wait_logged("SESSION ENDED - 1 TAKE", 5000)) << program_.log();
}

}  // namespace
