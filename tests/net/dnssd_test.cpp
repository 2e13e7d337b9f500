// The station's DNS-SD announcement against a real avahi-daemon on a private system bus, inside
// the test run's loopback-only network namespace: avahi-browse finds the service with its TXT
// pairs in order, a second station of the same name takes Avahi's alternative, and a daemon that
// goes away leaves the station serving. Needs root; never runs where a real interface is up.
#include <gtest/gtest.h>

#include <ifaddrs.h>
#include <net/if.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "net/dnssd.h"
#include "platform/clock.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "tests/net/listener_client.h"
#include "tests/net/station_fixture.h"

namespace {

// Why this machine cannot run the test, or "".
std::string unfit() {
  if (geteuid() != 0) return "needs root to run avahi-daemon (scripts/test runs it in a private network namespace)";
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return "cannot list the network interfaces";
  std::string why;
  for (ifaddrs* a = list; a; a = a->ifa_next)
    if ((a->ifa_flags & IFF_UP) && !(a->ifa_flags & IFF_LOOPBACK))
      why = std::string("interface ") + a->ifa_name + " is up: Avahi would announce on it; run inside a "
            "loopback-only network namespace (scripts/test)";
  freeifaddrs(list);
  if (!why.empty()) return why;
  char path[kPathCap];
  for (const char* tool : {"avahi-daemon", "dbus-daemon", "avahi-browse", "unshare"})
    if (!find_program(tool, "/usr/sbin:/sbin", path, sizeof path)) return std::string(tool) + " is not installed";
  return "";
}

pid_t spawn(const std::vector<std::string>& argv) {
  const pid_t pid = fork();
  if (pid == 0) {
    std::vector<char*> a;
    for (const auto& s : argv) a.push_back(const_cast<char*>(s.c_str()));
    a.push_back(nullptr);
    execvp(a[0], a.data());
    _exit(127);
  }
  return pid;
}

void end(pid_t* pid) {
  if (*pid <= 0) return;
  kill(*pid, SIGTERM);
  int status;
  waitpid(*pid, &status, 0);
  *pid = -1;
}

// A system bus and an avahi-daemon of this test's own, on loopback only.
struct Avahi {
  TempDir dir;
  pid_t bus = -1, daemon = -1;
  std::string bus_address = "unix:path=" + dir.file("system_bus_socket");
  bool start() {
    setenv("DBUS_SYSTEM_BUS_ADDRESS", bus_address.c_str(), 1);
    bus = spawn({"dbus-daemon", "--system", "--nofork", "--nopidfile", "--address=" + bus_address});
    if (!eventually([&] { return path_exists(dir.file("system_bus_socket").c_str()); }, 5000)) return false;
    return start_daemon();
  }
  bool start_daemon() {
    write_text(dir.file("avahi.conf"),
               "[server]\nhost-name=tolmtest-" + std::to_string(getpid()) +
                   "\nuse-ipv4=yes\nuse-ipv6=no\nallow-interfaces=lo\nratelimit-interval-usec=1000000\n"
                   "ratelimit-burst=1000\n[wide-area]\nenable-wide-area=no\n[publish]\npublish-hinfo=no\n"
                   "publish-workstation=no\n");
    // Its own /run/avahi-daemon (pid file, socket), so daemons of tests beside this one do not meet.
    mkdir("/run/avahi-daemon", 0755);
    daemon = spawn({"unshare", "-m", "sh", "-c",
                    "mount -t tmpfs tmpfs /run/avahi-daemon && exec avahi-daemon -f '" + dir.file("avahi.conf") +
                        "' --no-drop-root --no-rlimits --no-chroot"});
    return daemon > 0;
  }
  ~Avahi() {
    end(&daemon);
    end(&bus);
  }
};

// avahi-browse's resolved lines ("=;lo;IPv4;name;type;domain;host;address;port;txt").
std::vector<std::string> browse() {
  const char* argv[] = {"avahi-browse", "-rtp", "_lm-stream._tcp", nullptr};
  static char out[65536];
  ProcessResult r;
  std::vector<std::string> lines;
  if (run_process(argv, out, sizeof out, &r) != kProcessOk) return lines;
  for (const char* p = out; *p;) {
    const char* e = strchrnul(p, '\n');
    if (*p == '=') lines.emplace_back(p, e);
    p = *e ? e + 1 : e;
  }
  return lines;
}

}  // namespace

TEST(DnsSd, AnnouncedWithItsPairsRenamedOnCollisionAndServingWithoutADaemon) {
  const std::string why = unfit();
  if (!why.empty()) GTEST_SKIP() << why;
  Avahi avahi;
  ASSERT_TRUE(avahi.start());
  const std::string dev = "lab-" + std::to_string(getpid());
  StationRig rig(dev.c_str(), true);
  ASSERT_TRUE(rig.start());
  ASSERT_TRUE(eventually([&] { return station_advertised(rig.s.get()); }, 15000));
  EXPECT_TRUE(log_has("lmstream: advertised _lm-stream._tcp as Tolm - " + dev));

  // avahi-browse lists a record's pairs last first.
  const std::string pairs = "\"os=linux\" \"rate=48000\" \"ch=2\" \"codec=pcm16\" \"sid=" + std::string(rig.s->id.sid) +
                            "\" \"dev=" + dev + "\" \"kind=monitor\" \"an=Tolm\" \"app=tolm\" \"v=1\" \"lm=1\"";
  std::vector<std::string> found;
  ASSERT_TRUE(eventually([&] { return !(found = browse()).empty(); }, 10000));
  bool ours = false;
  for (const auto& l : found) {
    if (l.find(dev) == std::string::npos) continue;
    ours = true;
    EXPECT_NE(l.find(";_lm-stream._tcp;local;"), std::string::npos) << l;
    EXPECT_NE(l.find(";127.0.0.1;" + std::to_string(rig.port()) + ";"), std::string::npos) << l;
    // The instance name, with avahi-browse's escapes: a space is \032, the dot \194\183.
    EXPECT_EQ(l.find("=;lo;IPv4;Tolm\\032\\194\\183\\032" + dev + ";"), 0u) << l;
    EXPECT_NE(l.find(pairs), std::string::npos) << l << "\nwant " << pairs;
  }
  EXPECT_TRUE(ours);

  // A second station of the same name: Avahi's alternative.
  StationRig twin(dev.c_str(), true);
  ASSERT_TRUE(twin.start());
  ASSERT_TRUE(eventually([&] { return station_advertised(twin.s.get()); }, 15000));
  EXPECT_TRUE(log_has("now 'Tolm \xC2\xB7 " + dev + " #2'"));
  ASSERT_TRUE(eventually(
      [&] {
        found = browse();
        return found.size() >= 2;
      },
      10000));
  int renamed = 0;
  for (const auto& l : found) renamed += l.find("=;lo;IPv4;Tolm\\032\\194\\183\\032" + dev + "\\032\\0352;") == 0;
  EXPECT_EQ(renamed, 1);

  // The daemon goes: the failure is logged, the station keeps serving and waits for the next
  // daemon, which announces it again.
  const std::string waiting = "lmstream: avahi: Daemon not running - serving unannounced until it comes";
  const int waited = log_count(waiting);
  end(&avahi.daemon);
  ASSERT_TRUE(eventually([&] { return !station_advertised(rig.s.get()); }, 10000));
  EXPECT_TRUE(eventually([&] { return log_count(waiting) >= waited + 2; }, 10000));  // both stations
  ListenerClient c;
  ASSERT_TRUE(c.connect_to(rig.port()));
  LmMessage m;
  ASSERT_TRUE(c.next(&m));
  EXPECT_EQ(m.type, 1);
  ASSERT_TRUE(avahi.start_daemon());
  ASSERT_TRUE(eventually([&] { return station_advertised(rig.s.get()) && station_advertised(twin.s.get()); }, 15000));
  ASSERT_TRUE(eventually(
      [&] {
        found = browse();
        return found.size() >= 2;
      },
      10000));
}
