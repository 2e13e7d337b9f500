// The broadcast station in the real program: on air from tolm.ini, heard on ::1 by a listener that
// speaks the wire format, fed through the engine's output tap by a JACK client of the test's own,
// and taken off air from the options panel. The system bus points nowhere (no avahi-daemon: the
// station serves unannounced) and a pkexec that refuses comes first on PATH, so the machine's
// firewall is never changed.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>

#include "tests/app/e2e_support.h"
#include "tests/net/listener_client.h"

namespace {

class StationE2e : public ProgramTest {
 protected:
  JackFeeder feeder_;
};

TEST_F(StationE2e, OnAirFromTheSettingsHeardAndTakenOffAirFromTheOptionsRow) {
  const std::string bin = root_.path + "/bin";
  ASSERT_EQ(mkdir(bin.c_str(), 0755), 0);
  write_text(bin + "/pkexec", "#!/bin/sh\nexit 127\n");
  ASSERT_EQ(chmod((bin + "/pkexec").c_str(), 0755), 0);
  ASSERT_NO_FATAL_FAILURE(start_recorder("broadcast = 1\nmonitor = 1\nnormalize_monitor = 0\n",
                                         {"DBUS_SYSTEM_BUS_ADDRESS=unix:path=" + root_.path + "/no-bus",
                                          "PATH=" + bin + ":" + getenv("PATH")}));
  char host[256] = "";
  gethostname(host, sizeof host - 1);
  ASSERT_TRUE(program_.wait_logged(std::string("ON AIR - ") + host, 5000)) << program_.log();
  ASSERT_TRUE(program_.wait_logged("lmstream: avahi: Daemon not running", 5000)) << program_.log();

  ListenerClient c;
  ASSERT_TRUE(c.connect_to(47480, true));
  LmMessage m;
  ASSERT_TRUE(c.next(&m));
  ASSERT_EQ(m.type, 1);
  EXPECT_EQ(m.text().find(std::string("{\"app\":\"tolm\",\"an\":\"Tolm\",\"kind\":\"monitor\",\"dev\":\"") + host), 0u);
  EXPECT_NE(m.text().find(",\"os\":\"linux\"}"), std::string::npos) << m.text();
  ASSERT_TRUE(c.hello("{\"an\":\"e2e\",\"dev\":\"rig\"}"));
  ASSERT_TRUE(program_.wait_logged("lmstream: E2E is listening (rig)", 5000)) << program_.log();

  // A 1 kHz tone at half scale into the monitor: the listener hears it at half scale, the frame
  // indexes without a gap.
  ASSERT_NO_FATAL_FAILURE(connect_feeder(&feeder_));
  std::vector<float> tone(2 * 48000);
  for (size_t i = 0; i < tone.size(); ++i) tone[i] = 0.5f * float(std::sin(2 * M_PI * 1000.0 * double(i / 2) / 48000));
  feeder_.play(tone, 4800);
  int64_t next_index = -1;
  int peak = 0;
  while (!feeder_.finished() && c.next(&m)) {
    if (m.type != 2) continue;
    EXPECT_TRUE(next_index < 0 || int64_t(m.index) == next_index) << m.index << " after " << next_index;
    next_index = int64_t(m.index) + 480;
    for (int16_t v : m.samples) peak = std::max(peak, std::abs(int(v)));
  }
  EXPECT_NEAR(peak, 16383, 2);

  // BROADCAST is the tenth row down the options panel: Right takes the station off air.
  ASSERT_TRUE(desk_.key("Return Down Down Down Down Down Down Down Down Down Right"));
  ASSERT_TRUE(c.next_of(4, &m)) << program_.log();
  EXPECT_EQ(m.total, 8u);
  EXPECT_TRUE(c.closed_within(3000));
  ASSERT_TRUE(program_.wait_logged("OFF AIR", 3000)) << program_.log();
  EXPECT_TRUE(wait_until([&] { return settings_value(program_.settings_file(), "broadcast") == "0"; }, 3000));
}

}  // namespace
