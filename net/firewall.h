// Whether listeners on other machines can reach the station through the local firewall, and asking
// the system once to let them in. The firewall is ufw (its enabled state, default input policy and
// rules, read from its files) or, where ufw is not active, a running firewalld (its state and open
// ports, through firewall-cmd); either is read into one rule model with one profile. No tool, or
// an inactive one, is "off". Checks and the request (pkexec with an argument list) run on a job
// thread of their own, so the main loop never waits for them.
// Threads: every firewall_* call belongs to the main thread; the job thread touches only its job.
#pragma once
#include <atomic>
#include <cstdint>
#include <thread>

#include "platform/paths.h"

constexpr uint16_t kFirewallPortFirst = 47480;
constexpr uint16_t kFirewallPortLast = 47499;
constexpr uint32_t kFirewallRecheckMs = 4000;

// Check results.
constexpr int kFirewallUnknown = 0;     // not checked yet
constexpr int kFirewallAllowed = 1;     // allowed on every enabled profile
constexpr int kFirewallOff = 2;         // no firewall in force
constexpr int kFirewallNotAllowed = 3;  // not (known to be) allowed
constexpr int kFirewallBlocked = 4;     // a blocking rule applies

// Ask states.
constexpr int kAskIdle = 0;
constexpr int kAskAsking = 1;
constexpr int kAskDone = 2;
constexpr int kAskCancelled = 3;  // the user dismissed the authentication dialog
constexpr int kAskFailed = 4;     // not authorised, or the request could not run

enum class FirewallTool { kNone, kUfw, kFirewalld };

// One rule of the model.
struct FirewallRule {
  bool allow;          // else block
  bool active;
  bool inbound;
  bool tcp;            // TCP or every protocol
  bool has_port;       // false: every port
  uint16_t port_lo, port_hi;
  bool app_bound;      // bound to an application
  bool app_matches;    // ...that is this program
  bool other_bound;    // bound to something else (an interface, a service)
  int profiles;        // bit set; 1 = the one profile
};

// What one check saw.
struct FirewallView {
  FirewallTool tool;
  bool enabled;
  bool rules_readable;
  int result;
};

struct Firewall {
  // Where the files and programs are looked for: "" for the system ("/etc/ufw/...", PATH and
  // /usr/sbin:/sbin); a test's folder holds etc/ufw/... and its fake programs come first on PATH.
  char root[kPathCap];

  // Main thread.
  int result;             // the last check's result
  int ask;                // ask state
  bool active;            // the station is on air
  bool asked_once;        // asked automatically since going on air
  bool granted;           // the request succeeded this time on air (rules that cannot be read then count as allowed)
  bool ask_pending;       // an ask waits for the running check
  uint32_t last_check_ms;
  FirewallTool tool;      // of the last check

  // The job: main thread starts and joins it; the thread fills the fields of its kind.
  std::thread job;
  int job_kind;                   // 0 none, 1 check, 2 ask
  std::atomic<int> job_done;      // set by the job thread as its last act
  std::atomic<int> child;         // pid of the helper program while it runs
  FirewallView job_view;          // check result (job thread writes, main thread reads after the join)
  int job_exit;                   // ask: the helper's exit code, -1 when it could not run
};

void firewall_init(Firewall* f, const char* root = nullptr);
// Ends a running job (a request still waiting for the user is stopped).
void firewall_close(Firewall* f);

// Called each frame while the station is on air and the check is not active: marks it active,
// checks, and asks once when the check finds listeners are not let in.
void firewall_activate(Firewall* f, uint32_t now_ms);
// Called each frame while off air and the check is active: allows one more automatic ask later.
void firewall_deactivate(Firewall* f);
// Each frame: collects a finished job (a request is followed by a check at once), re-checks
// every 4 s while the result is 3 or 4.
void firewall_poll(Firewall* f, uint32_t now_ms);
// Whether the broadcast command should ask rather than go off air.
bool firewall_should_ask(const Firewall* f);
// Asks the system to let the station's ports in. false when a request is already running.
bool firewall_ask(Firewall* f, uint32_t now_ms);
// "ASKING THE SYSTEM...", "BLOCKED BY THE FIREWALL - ALLOW", or "".
const char* firewall_status_text(const Firewall* f);

// The check itself, synchronous (the job runs it; tests call it directly). granted: a request
// succeeded, so rules that cannot be read count as allowing.
FirewallView firewall_check(const Firewall* f, bool granted);
// The decision, rule by rule: the enabled profiles, the profiles some rule allows, and whether a
// blocking rule applies.
struct FirewallTally {
  int enabled;
  int allowed;
  bool blocked;
};
void firewall_tally(FirewallTally* t, const FirewallRule& r);
int firewall_tally_result(const FirewallTally& t);
// One ufw rule line ("### tuple ### ...") into the model. false for a line that is not one.
bool firewall_rule_from_ufw(const char* line, FirewallRule* out);
