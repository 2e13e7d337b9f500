// The BROADCAST row against a firewall that keeps listeners out: stand-ins for ufw (active, input
// dropped, no rule) and pkexec on PATH, a station on a free loopback port. The row's command asks
// while no request was turned down, goes off air once one was (else the station could never be
// turned off while blocked), and asking again comes with the next time on air.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <string>

#include "app/panels/options.h"
#include "app/shell/broadcast.h"
#include "platform/clock.h"
#include "platform/paths.h"
#include "tests/app/panel_fixture.h"
#include "tests/net/listener_client.h"
#include "tests/support/temp_dir.h"

namespace {

void make_executable(const std::string& path, const std::string& text) {
  write_text(path, text);
  chmod(path.c_str(), 0755);
}

// ufw active with input dropped and no rule; pkexec ends as `mode` says ("hang" waits).
struct BlockingFirewall {
  TempDir root, bin;
  std::string saved_path = getenv("PATH") ? getenv("PATH") : "";
  BlockingFirewall() {
    setenv("PATH", bin.path.c_str(), 1);
    make_dirs((root.path + "/etc/ufw").c_str());
    make_dirs((root.path + "/etc/default").c_str());
    make_executable(bin.file("ufw"), "#!/bin/sh\nexit 0\n");
    write_text(root.path + "/etc/ufw/ufw.conf", "ENABLED=yes\n");
    write_text(root.path + "/etc/default/ufw", "DEFAULT_INPUT_POLICY=\"DROP\"\n");
    write_text(root.path + "/etc/ufw/user.rules", "### RULES ###\n### END RULES ###\n");
  }
  ~BlockingFirewall() { setenv("PATH", saved_path.c_str(), 1); }
  void pkexec(const std::string& mode) {
    make_executable(bin.file("pkexec"), "#!/bin/sh\nprintf 'x\\n' >> '" + bin.file("calls.txt") + "'\n" +
                                            (mode == "hang" ? "exec /bin/sleep 30\n" : "exit " + mode + "\n"));
  }
  int calls() const {
    const std::string t = read_text(bin.file("calls.txt"));
    return int(std::count(t.begin(), t.end(), '\n'));
  }
};

// The station set up as start-up does, but on a free port; freed before the record goes.
struct StationUp {
  AppState* app;
  StationUp(AppState* a, const std::string& folder, const std::string& firewall_root) : app(a) {
    StationIdentity id;
    station_identity_default(&id);
    id.port = 0;
    EXPECT_EQ(station_init(&a->broadcast.station, id, folder.c_str()), 0);
    firewall_init(&a->broadcast.firewall, firewall_root.c_str());
    a->broadcast.set_up = true;
  }
  ~StationUp() { broadcast_shutdown(app); }
};

std::string row(AppState* app) {
  char text[kOptionValueBytes];
  option_value_text(app, kRowBroadcast, 520, text, sizeof text);
  return text;
}

std::string card(AppState* app, bool* off) {
  char text[kOptionValueBytes];
  network_card_text(app, text, sizeof text, off);
  return text;
}

// Frames until the firewall's request is in the state wanted.
bool frames_until_ask(AppState* app, int state) {
  for (int i = 0; i < 1000; ++i) {
    broadcast_frame(app, tick_ms());
    if (app->broadcast.firewall.ask == state && app->broadcast.firewall.job_kind == 0) return true;
    if (state == kAskAsking && app->broadcast.firewall.ask == state) return true;
    sleep_ms(10);
  }
  return false;
}

}  // namespace

TEST(BroadcastRow, AsksWhileBlockedGoesOffAirOnceARequestWasTurnedDown) {
  BlockingFirewall fw;
  fw.pkexec("126");  // the user dismisses the dialog
  PanelsApp app;
  StationUp up(app.get(), app.home.path, fw.root.path);
  bool off = false;
  EXPECT_EQ(row(app.get()), "OFF");
  EXPECT_EQ(card(app.get(), &off), "OFF");
  EXPECT_TRUE(off);

  // On air: asked once by itself, dismissed: the row and the card say it is blocked.
  option_step(app.get(), kRowBroadcast, +1);
  const std::string dev = app->broadcast.station.id.dev;
  EXPECT_EQ(app.status(), "ON AIR - " + dev);
  EXPECT_EQ(app->settings.broadcast, 1);
  ListenerClient c;
  ASSERT_TRUE(c.connect_to(app->broadcast.station.bound_port));
  ASSERT_TRUE(frames_until_ask(app.get(), kAskCancelled));  // and the check after it
  EXPECT_EQ(fw.calls(), 1);
  EXPECT_EQ(row(app.get()), "BLOCKED BY THE FIREWALL - ALLOW");
  EXPECT_EQ(card(app.get(), &off), "BLOCKED BY THE FIREWALL - ALLOW");
  EXPECT_FALSE(off);

  // Turned down once: the command takes the station off air; the listener hears goodbye.
  option_enter(app.get(), kRowBroadcast);
  EXPECT_EQ(app.status(), "OFF AIR");
  EXPECT_EQ(app->settings.broadcast, 0);
  EXPECT_EQ(row(app.get()), "OFF");
  LmMessage m;
  ASSERT_TRUE(c.next_of(4, &m));
  broadcast_frame(app.get(), tick_ms());
  EXPECT_FALSE(app->broadcast.firewall.active);

  // On again: asked once more by itself; while that request is up, the command asks (and the
  // station stays on air) instead of going off.
  fw.pkexec("hang");
  option_step(app.get(), kRowBroadcast, -1);
  EXPECT_EQ(app.status(), "ON AIR - " + dev);
  ASSERT_TRUE(frames_until_ask(app.get(), kAskAsking));
  EXPECT_EQ(row(app.get()), "ASKING THE SYSTEM...");
  option_step(app.get(), kRowBroadcast, +1);
  EXPECT_EQ(app.status(), "ASKING THE SYSTEM...");
  EXPECT_EQ(app->settings.broadcast, 1);
  EXPECT_EQ(app->broadcast.station.running.load(), 1);
  for (int i = 0; i < 500 && fw.calls() < 2; ++i) sleep_ms(10);
  EXPECT_EQ(fw.calls(), 2);
}
