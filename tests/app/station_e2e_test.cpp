// The broadcast station in the real program: started on air from tolm.ini, heard over loopback by
// a listener that speaks the wire format (IPv6 and IPv4), fed through the engine's output tap by a
// JACK client of the test's own, paused and live again as the server goes and comes, toggled from
// the options panel with xdotool, and saying goodbye at quit. No avahi-daemon is reachable (the
// system bus points nowhere), so the announcement fails and the station serves unannounced; a
// fake pkexec first on PATH refuses any firewall request, so the machine's firewall is never
// changed.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/app/e2e_support.h"
#include "tests/net/listener_client.h"
#include "tests/support/jack.h"
#include "tests/support/signal_compare.h"
#include "tests/support/temp_dir.h"

namespace {

constexpr uint16_t kPort = 47480;
constexpr int64_t kFrames = 2 * 48000;
constexpr int64_t kLead = 4800;

class StationE2e : public ProgramTest {
 protected:
  // The program's extra environment: no system bus, and a pkexec that says "not authorised".
  std::vector<std::string> sealed_env() {
    const std::string bin = root_.path + "/bin";
    EXPECT_EQ(mkdir(bin.c_str(), 0755), 0);
    write_text(bin + "/pkexec", "#!/bin/sh\nexit 127\n");
    EXPECT_EQ(chmod((bin + "/pkexec").c_str(), 0755), 0);
    const char* path = getenv("PATH");
    return {"DBUS_SYSTEM_BUS_ADDRESS=unix:path=" + root_.path + "/no-system-bus",
            "PATH=" + bin + ":" + (path ? path : "/usr/bin:/bin")};
  }

  // The options panel's BROADCAST row, Right on it: INPUT DEVICE, six rows down to BIT DEPTH, then
  // ABLETON LINK, LINK INPUT, BROADCAST.
  void toggle_broadcast() {
    if (!options_open_) {
      ASSERT_TRUE(desk_.key("Return Down Down Down Down Down Down Down Down Down"));
    }
    options_open_ = true;
    ASSERT_TRUE(desk_.key("Right"));
  }

  JackFeeder feeder_;
  bool options_open_ = false;
};

std::string host() {
  char name[256] = "";
  if (gethostname(name, sizeof name - 1) != 0 || !name[0]) return "PC";
  return name;
}

// The value of a JSON number member in the announce text; "" when absent.
std::string number_member(const std::string& json, const std::string& name) {
  const size_t at = json.find("\"" + name + "\":");
  if (at == std::string::npos) return "";
  size_t end = at + name.size() + 3;
  const size_t start = end;
  while (end < json.size() && (json[end] == '-' || (json[end] >= '0' && json[end] <= '9'))) ++end;
  return json.substr(start, end - start);
}

// The most overruns the program reported in its log.
int64_t overruns_reported(const std::string& log) {
  int64_t most = 0;
  const std::string tag = "audio: ";
  for (size_t at = log.find(tag); at != std::string::npos; at = log.find(tag, at + 1)) {
    const size_t end = log.find(" overrun", at);
    if (end != std::string::npos && end < log.find('\n', at))
      most = std::max<int64_t>(most, std::atoll(log.substr(at + tag.size(), end - at - tag.size()).c_str()));
  }
  return most;
}

void expect_announce(ListenerClient* c) {
  LmMessage m;
  ASSERT_TRUE(c->next(&m));
  ASSERT_EQ(m.type, 1);
  const std::string a = m.text();
  EXPECT_EQ(a.find("{\"app\":\"tolm\",\"an\":\"Tolm\",\"kind\":\"monitor\",\"dev\":\"" + host() + "\",\"sid\":\""), 0u)
      << a;
  EXPECT_NE(a.find("\"codec\":\"pcm16\",\"ch\":2,\"rate\":48000,\"frames\":480,\"tref\":\"in\",\"latNs\":"),
            std::string::npos)
      << a;
  EXPECT_LE(std::atoll(number_member(a, "latNs").c_str()), 0) << a;  // the device's latency taken off
  EXPECT_NE(a.find(",\"os\":\"linux\"}"), std::string::npos) << a;
}

TEST_F(StationE2e, OnAirFromTheSettingsHeardPausedToggledAndGoneAtQuit) {
  ASSERT_NO_FATAL_FAILURE(start_recorder("broadcast = 1\nmonitor = 1\nnormalize_monitor = 0\ngain = 1.000\n",
                                         sealed_env()));
  const std::string ini = program_.settings_file();
  ASSERT_TRUE(program_.wait_logged("ON AIR - " + host(), 5000)) << program_.log();
  EXPECT_TRUE(program_.logged("lmstream: station Tolm on :47480 (sid ")) << program_.log();
  ASSERT_TRUE(program_.wait_logged("lmstream: avahi: ", 5000)) << program_.log();

  // Dual stack: one listener on ::1, one on 127.0.0.1; both are announced to.
  ListenerClient c, c4;
  ASSERT_TRUE(c.connect_to(kPort, true));
  ASSERT_NO_FATAL_FAILURE(expect_announce(&c));
  ASSERT_TRUE(c.hello("{\"an\":\"e2e\",\"dev\":\"test rig\"}"));
  ASSERT_TRUE(program_.wait_logged("lmstream: E2E is listening (test rig)", 5000)) << program_.log();
  ASSERT_TRUE(c4.connect_to(kPort));
  ASSERT_NO_FATAL_FAILURE(expect_announce(&c4));
  c4.close_now();

  // The monitor through the output tap: the fed signal after the 16-bit conversion, frame indexes
  // without a gap, times never negative.
  ASSERT_NO_FATAL_FAILURE(connect_feeder(&feeder_));
  std::vector<float> signal(size_t(2 * kFrames));
  for (int64_t i = 0; i < kFrames; ++i) {
    signal[size_t(2 * i)] = float(0.3 + 0.4 * std::sin(0.0131 * double(i)));  // a sharp onset
    signal[size_t(2 * i + 1)] = float(-0.3 - 0.4 * std::sin(0.0213 * double(i)));
  }
  feeder_.play(signal, kLead);
  std::vector<int16_t> heard;
  int64_t next_index = -1;
  LmMessage m;
  while (heard.size() < size_t(2 * (kFrames + 48000)) && c.next(&m)) {
    if (m.type != 2) continue;
    if (next_index >= 0) {
      EXPECT_EQ(int64_t(m.index), next_index);
    }
    EXPECT_GE(m.time_ns, 0);
    next_index = int64_t(m.index) + 480;
    if (m.flags & 2) heard.insert(heard.end(), 960, 0);
    else heard.insert(heard.end(), m.samples.begin(), m.samples.end());
  }
  ASSERT_TRUE(feeder_.finished());
  size_t onset = 0;
  while (onset < heard.size() && heard[onset] == 0) ++onset;
  ASSERT_LT(onset + size_t(2 * kFrames), heard.size());
  std::vector<float> got(size_t(2 * kFrames)), want(size_t(2 * kFrames));
  for (size_t k = 0; k < got.size(); ++k) {
    got[k] = float(heard[onset + k]);
    want[k] = float(int16_t(std::clamp(signal[k], -1.0f, 1.0f) * 32767.0f));
  }
  const CompareResult r = compare_stereo(got.data(), want.data(), kFrames, kFrames - kLead, 0, 1.0);
  EXPECT_FALSE(r.lost) << r.where;

  // The server goes: the watchdog's "down" pauses the stream; it comes back: live again.
  feeder_.close();
  jack_.stop();
  ASSERT_TRUE(c.next_of(3, &m, 5000)) << program_.log();
  EXPECT_EQ(m.text(), "{\"state\":\"paused\"}");
  EXPECT_EQ(m.total, 26u);
  ASSERT_TRUE(jack_.start(2));
  ASSERT_TRUE(c.next_of(3, &m, 15000)) << program_.log();
  EXPECT_EQ(m.text(), "{\"state\":\"live\"}");
  ASSERT_TRUE(c.next_of(2, &m));
  EXPECT_TRUE(m.flags & 1) << "the first audio after the pause marks the discontinuity";

  // The options row takes it off air: goodbye, and the setting follows within a second.
  ASSERT_NO_FATAL_FAILURE(toggle_broadcast());
  ASSERT_TRUE(c.next_of(4, &m)) << program_.log();
  EXPECT_EQ(m.total, 8u);
  EXPECT_TRUE(c.closed_within(3000));
  ASSERT_TRUE(program_.wait_logged("OFF AIR", 3000)) << program_.log();
  EXPECT_TRUE(wait_until([&] { return settings_value(ini, "broadcast") == "0"; }, 3000)) << read_text(ini);
  ListenerClient refused;
  EXPECT_FALSE(refused.connect_to(kPort));

  // And on again: a new listener is announced to, and the quit says goodbye before the program
  // ends cleanly.
  ASSERT_NO_FATAL_FAILURE(toggle_broadcast());
  ASSERT_TRUE(wait_until([&] { return program_.log_count("ON AIR - " + host()) == 2; }, 3000)) << program_.log();
  EXPECT_TRUE(wait_until([&] { return settings_value(ini, "broadcast") == "1"; }, 3000)) << read_text(ini);
  ListenerClient again;
  ASSERT_TRUE(again.connect_to(kPort, true));
  ASSERT_NO_FATAL_FAILURE(expect_announce(&again));
  program_.signal(SIGTERM);
  ASSERT_TRUE(again.next_of(4, &m, 10000)) << program_.log();
  ASSERT_TRUE(program_.wait_exit(20000)) << program_.log();
  EXPECT_EQ(program_.exit_status, 0) << read_text(program_.output);
  EXPECT_EQ(program_.log_count("lmstream: off air"), 2) << program_.log();
  // Where the monitor skipped, the device had dropped audio before it reached the program.
  EXPECT_LE(r.jumps, overruns_reported(program_.log())) << "audio went missing without an overrun";
}

}  // namespace
