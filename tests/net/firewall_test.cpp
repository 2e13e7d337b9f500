// The firewall permission over stand-ins for ufw, firewall-cmd and pkexec on PATH and rule files
// as fixtures: what lets the station's ports in and what does not, a deny that beats an allow,
// rules that cannot be read, and the asking state machine with its exit codes, its once per time
// on air and its 4-second re-check.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <string>

#include "net/firewall.h"
#include "platform/clock.h"
#include "platform/paths.h"
#include "tests/support/temp_dir.h"

namespace {

void make_executable(const std::string& path, const std::string& text) {
  write_text(path, text);
  chmod(path.c_str(), 0755);
}

// A machine of our own: /etc under root, the tools in bin (the only folder on PATH).
struct FakeSystem {
  TempDir root, bin;
  std::string saved_path = getenv("PATH") ? getenv("PATH") : "";
  FakeSystem() {
    setenv("PATH", bin.path.c_str(), 1);
    make_dirs((root.path + "/etc/ufw").c_str());
    make_dirs((root.path + "/etc/default").c_str());
  }
  ~FakeSystem() { setenv("PATH", saved_path.c_str(), 1); }
  std::string etc(const std::string& rel) const { return root.path + "/etc/" + rel; }
  void ufw(bool enabled, const char* policy, const std::string& rules) {
    make_executable(bin.file("ufw"), "#!/bin/sh\nexit 0\n");
    write_text(etc("ufw/ufw.conf"), std::string("# ufw.conf\n\nENABLED=") + (enabled ? "yes" : "no") + "\nLOGLEVEL=low\n");
    write_text(etc("default/ufw"), std::string("IPV6=yes\nDEFAULT_INPUT_POLICY=\"") + policy +
                                       "\"\nDEFAULT_OUTPUT_POLICY=\"ACCEPT\"\n");
    write_text(etc("ufw/user.rules"), "*filter\n:ufw-user-input - [0:0]\n### RULES ###\n\n" + rules + "\n### END RULES ###\n");
  }
  // firewall-cmd answering --state with `state` and --list-ports with `ports` (status `list_status`).
  void firewalld(int state, const std::string& ports, int list_status = 0) {
    make_executable(bin.file("firewall-cmd"),
                    "#!/bin/sh\ncase \"$1\" in\n--state) [ " + std::to_string(state) +
                        " = 0 ] && printf 'running\\n' || printf 'not running\\n'; exit " + std::to_string(state) +
                        ";;\n--list-ports) printf '%s\\n' '" + ports + "'; exit " + std::to_string(list_status) +
                        ";;\nesac\nexit 2\n");
  }
  // pkexec that notes its arguments in calls.txt and ends as `mode` says: a number is the exit
  // status (0 also adds the allow rule to user.rules, as the real request would), "hang" waits.
  void pkexec(const std::string& mode) {
    std::string allow = mode == "0" ? "printf '### tuple ### allow tcp 47480:47499 0.0.0.0/0 any 0.0.0.0/0 in\\n' >> '" +
                                          etc("ufw/user.rules") + "'\n"
                                    : "";
    const std::string ending = mode == "hang" ? "exec /bin/sleep 30\n" : allow + "exit " + mode + "\n";
    make_executable(bin.file("pkexec"), "#!/bin/sh\nprintf '%s|' \"$@\" >> '" + bin.file("calls.txt") +
                                            "'\nprintf '\\n' >> '" + bin.file("calls.txt") + "'\n" + ending);
  }
  std::string calls() const { return read_text(bin.file("calls.txt")); }
  int call_count() const {
    const std::string c = calls();
    return int(std::count(c.begin(), c.end(), '\n'));
  }
};

bool eventually_calls(const FakeSystem& sys, int n) {
  for (int i = 0; i < 2500 && sys.call_count() < n; ++i) sleep_ms(2);
  return sys.call_count() >= n;
}

const char* kRange = "### tuple ### allow tcp 47480:47499 0.0.0.0/0 any 0.0.0.0/0 in\n";

int check(const FakeSystem& sys, bool granted = false) {
  Firewall f;
  firewall_init(&f, sys.root.path.c_str());
  return firewall_check(&f, granted).result;
}

// Polls until no job runs (at most 5 s), the tick standing still at now.
void settle(Firewall* f, uint32_t now) {
  for (int i = 0; i < 2500; ++i) {
    firewall_poll(f, now);
    if (f->job_kind == 0) return;
    sleep_ms(2);
  }
  ADD_FAILURE() << "the firewall job did not end";
}

}  // namespace

TEST(Firewall, RulesReadIntoTheModelDecideWhetherListenersGetIn) {
  FakeSystem sys;
  // No tool at all, or an inactive one: off.
  EXPECT_EQ(check(sys), kFirewallOff);
  sys.ufw(false, "DROP", kRange);
  EXPECT_EQ(check(sys), kFirewallOff);

  struct Case {
    const char* policy;
    std::string rules;
    int want;
    const char* what;
  } cases[] = {
      {"DROP", "", kFirewallNotAllowed, "no rules, dropping"},
      {"DROP", kRange, kFirewallAllowed, "the whole range"},
      {"DROP", "### tuple ### allow tcp 47480 0.0.0.0/0 any 0.0.0.0/0 in\n", kFirewallNotAllowed, "one port only"},
      {"DROP", "### tuple ### allow tcp 47000:48000 0.0.0.0/0 any 192.168.1.0/24 in\n", kFirewallAllowed,
       "a wider range, from the local network"},
      {"DROP", "### tuple ### allow tcp 80,443,47480:47499 0.0.0.0/0 any 0.0.0.0/0 in\n", kFirewallAllowed, "a list"},
      {"DROP", "### tuple ### allow any any 0.0.0.0/0 any 0.0.0.0/0 in\n", kFirewallAllowed, "everything"},
      {"DROP", "### tuple ### limit_log tcp 47480:47499 0.0.0.0/0 any 0.0.0.0/0 in\n", kFirewallAllowed, "limited"},
      {"DROP", "### tuple ### allow udp 47480:47499 0.0.0.0/0 any 0.0.0.0/0 in\n", kFirewallNotAllowed, "udp"},
      {"DROP", "### tuple ### allow tcp 47480:47499 0.0.0.0/0 any 0.0.0.0/0 out\n", kFirewallNotAllowed, "outbound"},
      {"DROP", "### tuple ### allow tcp 47480:47499 0.0.0.0/0 any 0.0.0.0/0 in_eth9\n", kFirewallNotAllowed,
       "one interface"},
      {"DROP", "### tuple ### allow any 47480:47499 0.0.0.0/0 any 0.0.0.0/0 Lumaro - in\n", kFirewallNotAllowed,
       "an application profile"},
      {"DROP", "### tuple ### route:allow tcp 47480:47499 0.0.0.0/0 any 0.0.0.0/0 in\n", kFirewallNotAllowed, "routed"},
      {"DROP", std::string(kRange) + "### tuple ### deny tcp 47480 0.0.0.0/0 any 0.0.0.0/0 in\n", kFirewallBlocked,
       "a deny on the station's port beats the allow"},
      {"DROP", "### tuple ### reject tcp 47400:47500 0.0.0.0/0 any 0.0.0.0/0 in\n" + std::string(kRange),
       kFirewallBlocked, "a reject over the range"},
      {"DROP", std::string(kRange) + "### tuple ### deny tcp 22 0.0.0.0/0 any 0.0.0.0/0 in\n", kFirewallAllowed,
       "a deny elsewhere"},
      {"DROP", std::string(kRange) + "### tuple ### deny any any 0.0.0.0/0 any 10.0.0.7 in\n", kFirewallAllowed,
       "a deny of one address without a port"},
      {"ACCEPT", "", kFirewallAllowed, "accepting by default"},
      {"ACCEPT", "### tuple ### deny tcp 47480:47499 0.0.0.0/0 any 0.0.0.0/0 in\n", kFirewallBlocked,
       "accepting, but denied"},
      {"DROP", "### tuple ### allow tcp 47480:nonsense 0.0.0.0/0 any 0.0.0.0/0 in\n### tuple ### allow\n",
       kFirewallNotAllowed, "broken lines"},
  };
  for (const Case& c : cases) {
    sys.ufw(true, c.policy, c.rules);
    EXPECT_EQ(check(sys), c.want) << c.what;
  }

  // Rules that cannot be read: not known to be allowed, unless a request succeeded.
  sys.ufw(true, "DROP", kRange);
  remove_file(sys.etc("ufw/user.rules").c_str());
  make_dir(sys.etc("ufw/user.rules").c_str());  // unreadable even for root
  EXPECT_EQ(check(sys), kFirewallNotAllowed);
  EXPECT_EQ(check(sys, true), kFirewallAllowed);

  // firewalld where ufw is not active: its open ports.
  sys.ufw(false, "DROP", "");
  sys.firewalld(0, "22/tcp 47480-47499/tcp");
  EXPECT_EQ(check(sys), kFirewallAllowed);
  Firewall f;
  firewall_init(&f, sys.root.path.c_str());
  EXPECT_EQ(firewall_check(&f, false).tool, FirewallTool::kFirewalld);
  sys.firewalld(0, "47480/tcp 47480-47499/udp");
  EXPECT_EQ(check(sys), kFirewallNotAllowed);
  sys.firewalld(0, "", 1);
  EXPECT_EQ(check(sys), kFirewallNotAllowed);
  sys.firewalld(252, "");
  EXPECT_EQ(check(sys), kFirewallOff);
}

TEST(Firewall, AskingOncePerTimeOnAirWithTheHelpersAnswers) {
  FakeSystem sys;
  sys.ufw(true, "DROP", "");
  sys.pkexec("126");
  Firewall f;
  firewall_init(&f, sys.root.path.c_str());
  uint32_t now = 1000;
  EXPECT_STREQ(firewall_status_text(&f), "");
  EXPECT_FALSE(firewall_should_ask(&f));

  // On air: checked, not allowed, asked at once; the user dismisses the dialog.
  firewall_activate(&f, now);
  settle(&f, now);  // the check, then the request
  EXPECT_EQ(f.ask, kAskCancelled);
  EXPECT_EQ(sys.calls(), sys.bin.file("ufw") + "|allow|47480:47499/tcp|\n");
  EXPECT_EQ(f.result, kFirewallNotAllowed);
  EXPECT_STREQ(firewall_status_text(&f), "BLOCKED BY THE FIREWALL - ALLOW");
  EXPECT_TRUE(firewall_should_ask(&f));

  // Not again by itself: only re-checks, every 4 s.
  write_text(sys.etc("ufw/user.rules"), kRange);
  firewall_poll(&f, now + 3999);
  EXPECT_EQ(f.job_kind, 0);
  firewall_poll(&f, now + 4000);
  settle(&f, now + 4000);
  EXPECT_EQ(f.result, kFirewallAllowed);
  EXPECT_EQ(sys.call_count(), 1);
  EXPECT_STREQ(firewall_status_text(&f), "");
  EXPECT_FALSE(firewall_should_ask(&f));

  // Off air and on again with the port closed: one more automatic request, not authorised.
  write_text(sys.etc("ufw/user.rules"), "");
  firewall_deactivate(&f);
  EXPECT_STREQ(firewall_status_text(&f), "");
  sys.pkexec("127");
  now += 10000;
  firewall_activate(&f, now);
  settle(&f, now);
  EXPECT_EQ(f.ask, kAskFailed);
  EXPECT_EQ(sys.call_count(), 2);

  // The user asks (the broadcast command while on air); this time it goes through, adds the rule,
  // and the check that follows at once finds it.
  sys.pkexec("0");
  ASSERT_TRUE(firewall_should_ask(&f));
  ASSERT_TRUE(firewall_ask(&f, now));
  EXPECT_STREQ(firewall_status_text(&f), "ASKING THE SYSTEM...");
  settle(&f, now);  // the request, then the check
  EXPECT_EQ(f.ask, kAskDone);
  EXPECT_EQ(f.result, kFirewallAllowed);
  EXPECT_FALSE(firewall_should_ask(&f));
  EXPECT_EQ(sys.call_count(), 3);

  // A request that waits for the user: a second one is refused, closing ends it.
  sys.pkexec("hang");
  ASSERT_TRUE(firewall_ask(&f, now));
  EXPECT_FALSE(firewall_ask(&f, now));
  ASSERT_TRUE(eventually_calls(sys, 4));
  const int64_t t0 = mono_ns();
  firewall_close(&f);
  EXPECT_LT(mono_ns() - t0, int64_t(5e9));
}

TEST(Firewall, UnreadableRulesAskOncePerTimeOnAirNotEveryCheck) {
  FakeSystem sys;
  sys.ufw(true, "DROP", "");
  remove_file(sys.etc("ufw/user.rules").c_str());
  make_dir(sys.etc("ufw/user.rules").c_str());
  sys.pkexec("0");
  Firewall f;
  firewall_init(&f, sys.root.path.c_str());
  uint32_t now = 5;
  for (int air = 0; air < 2; ++air) {
    firewall_activate(&f, now);
    settle(&f, now);
    EXPECT_EQ(f.ask, kAskDone);
    // The rules still cannot be read, but the request went through: nothing is shown or asked.
    EXPECT_EQ(f.result, kFirewallAllowed);
    EXPECT_STREQ(firewall_status_text(&f), "");
    for (int i = 1; i <= 5; ++i) settle(&f, now + 4000 * uint32_t(i));
    EXPECT_EQ(sys.call_count(), air + 1);
    firewall_deactivate(&f);
    now += 60000;
  }
  // A dismissed request leaves it blocked and re-checked, without asking again.
  sys.pkexec("126");
  firewall_activate(&f, now);
  settle(&f, now);
  EXPECT_EQ(f.ask, kAskCancelled);
  for (int i = 1; i <= 5; ++i) settle(&f, now + 4000 * uint32_t(i));
  EXPECT_EQ(sys.call_count(), 3);
  EXPECT_STREQ(firewall_status_text(&f), "BLOCKED BY THE FIREWALL - ALLOW");
  firewall_close(&f);
}
