// The BROADCAST row while a firewall keeps listeners out (stand-ins for an active ufw without a
// rule and for pkexec, on a station at a free loopback port): the command asks while a request is
// up, but once the user turned one down it takes the station off air, which otherwise could never
// be turned off while blocked; quitting stops a request still up.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>

#include "app/panels/options.h"
#include "platform/clock.h"
#include "platform/paths.h"
#include "tests/app/panel_fixture.h"

namespace {

void fake_tool(const TempDir& bin, const char* name, const std::string& body) {
  write_text(bin.file(name), "#!/bin/sh\n" + body + "\n");
  chmod(bin.file(name).c_str(), 0755);
}

bool frames_until(AppState* app, int ask) {
  for (int i = 0; i < 1000; ++i, sleep_ms(10)) {
    broadcast_frame(app, tick_ms());
    if (app->broadcast.firewall.ask == ask && (ask == kAskAsking || app->broadcast.firewall.job_kind == 0)) return true;
  }
  return false;
}

}  // namespace

TEST(BroadcastRow, AsksWhileARequestIsUpGoesOffAirOnceOneWasTurnedDown) {
  TempDir root, bin;
  const std::string path = getenv("PATH");
  setenv("PATH", bin.path.c_str(), 1);
  make_dirs((root.path + "/etc/ufw").c_str());
  write_text(root.path + "/etc/ufw/ufw.conf", "ENABLED=yes\n");
  fake_tool(bin, "ufw", "exit 0");
  fake_tool(bin, "pkexec", "exit 126");  // the user dismisses the dialog
  PanelsApp app;
  StationIdentity id;
  station_identity_default(&id);
  id.port = 0;
  ASSERT_EQ(station_init(&app->broadcast.station, id, app.home.path.c_str()), 0);
  firewall_init(&app->broadcast.firewall, root.path.c_str());
  app->broadcast.set_up = true;

  option_step(app.get(), kRowBroadcast, +1);
  EXPECT_EQ(app.status(), std::string("ON AIR - ") + id.dev);
  EXPECT_TRUE(frames_until(app.get(), kAskCancelled));  // asked by itself, turned down, checked again
  char row[kOptionValueBytes];
  option_value_text(app.get(), kRowBroadcast, 520, row, sizeof row);
  EXPECT_STREQ(row, "BLOCKED BY THE FIREWALL - ALLOW");
  option_enter(app.get(), kRowBroadcast);
  EXPECT_EQ(app.status(), "OFF AIR");
  EXPECT_EQ(app->settings.broadcast, 0);

  // On again: asked once more by itself; pressing while that request is up asks, on air.
  fake_tool(bin, "pkexec", "trap 'kill $!; exit 143' TERM\n/bin/sleep 30 & wait $!\n: > '" + bin.file("ended") + "'");
  option_step(app.get(), kRowBroadcast, -1);
  EXPECT_TRUE(frames_until(app.get(), kAskAsking));
  option_step(app.get(), kRowBroadcast, +1);
  EXPECT_EQ(app.status(), "ASKING THE SYSTEM...");
  EXPECT_EQ(app->broadcast.station.running.load(), 1);
  // Quitting now stops the request, even one whose helper had not started when asked to stop.
  broadcast_shutdown(app.get());
  EXPECT_FALSE(path_exists(bin.file("ended").c_str()));
  setenv("PATH", path.c_str(), 1);
}
