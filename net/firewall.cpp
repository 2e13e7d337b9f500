// The firewall permission: ufw's files or firewalld's open ports read into the rule model, the
// decision over it, and the check and request jobs with their state machine.
#include "net/firewall.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "config/log.h"
#include "platform/file.h"
#include "platform/process.h"
#include "platform/text.h"
#include "platform/thread.h"

namespace {

constexpr size_t kRulesFileCap = 4 << 20;
constexpr int kProfile = 1;  // the one profile these tools have
constexpr int kPkexecDismissed = 126;
constexpr int kPkexecNotAuthorised = 127;
constexpr int kJobCheck = 1;
constexpr int kJobAsk = 2;
constexpr const char* kUfwPorts = "47480:47499/tcp";
constexpr const char* kFirewalldPorts = "--add-port=47480-47499/tcp";

// The folders a user's PATH usually leaves out but the firewall tools live in.
void system_dirs(const Firewall* f, char* out, size_t cap) {
  text_format(out, cap, "%s/usr/sbin:%s/sbin", f->root, f->root);
}

bool find_tool(const Firewall* f, const char* name, char* out, size_t cap) {
  char extra[2 * kPathCap + 32];
  system_dirs(f, extra, sizeof extra);
  return find_program(name, extra, out, cap);
}

void root_path(const Firewall* f, const char* rel, char* out, size_t cap) { text_format(out, cap, "%s%s", f->root, rel); }

// The value of `key=` in a shell-style settings file, quotes taken off; false when absent.
bool setting_value(const char* text, const char* key, char* out, size_t cap) {
  const size_t key_len = strlen(key);
  for (const char* line = text; *line;) {
    const char* end = strchrnul(line, '\n');
    const char* p = line;
    while (p < end && (*p == ' ' || *p == '\t')) ++p;
    if (size_t(end - p) > key_len && strncmp(p, key, key_len) == 0 && p[key_len] == '=') {
      p += key_len + 1;
      const char* q = end;
      while (q > p && (q[-1] == ' ' || q[-1] == '\t' || q[-1] == '\r')) --q;
      if (q - p >= 2 && (*p == '"' || *p == '\'') && q[-1] == *p) ++p, --q;
      const size_t n = std::min(size_t(q - p), cap - 1);
      memcpy(out, p, n);
      out[n] = 0;
      return true;
    }
    line = *end ? end + 1 : end;
  }
  return false;
}

// 0 read, 1 missing, -1 there but unreadable.
int read_text_file(const char* path, char** data) {
  size_t bytes = 0;
  *data = nullptr;
  if (read_file_whole(path, data, &bytes, kRulesFileCap) == 0) return 0;
  return path_exists(path) ? -1 : 1;
}

// Ports "a", "a:b" (ufw) or "a-b" (firewalld) into a range.
bool parse_range(const char* s, size_t n, uint16_t* lo, uint16_t* hi) {
  char buf[32];
  if (n == 0 || n >= sizeof buf) return false;
  memcpy(buf, s, n);
  buf[n] = 0;
  unsigned a = 0, b = 0;
  char sep = 0, tail = 0;
  const int got = sscanf(buf, "%u%c%u%c", &a, &sep, &b, &tail);
  if (got == 1) b = a;
  else if (got != 3 || (sep != ':' && sep != '-')) return false;
  if (a > 65535 || b > 65535 || a > b) return false;
  *lo = uint16_t(a);
  *hi = uint16_t(b);
  return true;
}

// The tally of a port list ("80,443,47480:47499"): each entry is a rule of its own.
void tally_ports(FirewallTally* t, FirewallRule r, const char* list) {
  for (const char* p = list;;) {
    const char* end = strchrnul(p, ',');
    if (parse_range(p, size_t(end - p), &r.port_lo, &r.port_hi)) firewall_tally(t, r);
    if (!*end) break;
    p = end + 1;
  }
}

void read_ufw_rules(const char* text, FirewallTally* t) {
  for (const char* line = text; *line;) {
    const char* end = strchrnul(line, '\n');
    char buf[512];
    const size_t n = std::min(size_t(end - line), sizeof buf - 1);
    memcpy(buf, line, n);
    buf[n] = 0;
    FirewallRule r;
    if (firewall_rule_from_ufw(buf, &r)) {
      // The port field again, for lists: the model holds one range a rule.
      char action[32], proto[16], dport[128];
      if (sscanf(buf, "### tuple ### %31s %15s %127s", action, proto, dport) == 3 && strchr(dport, ','))
        tally_ports(t, r, dport);
      else
        firewall_tally(t, r);
    }
    line = *end ? end + 1 : end;
  }
}

FirewallView check_ufw(const Firewall* f, bool granted) {
  FirewallView v{FirewallTool::kUfw, true, true, kFirewallNotAllowed};
  char path[kPathCap + 64], value[32];
  char* text = nullptr;
  // A settings file that cannot be read counts as enabled: better asked than unreachable.
  root_path(f, "/etc/ufw/ufw.conf", path, sizeof path);
  if (read_text_file(path, &text) == 0 && setting_value(text, "ENABLED", value, sizeof value))
    v.enabled = text_equal_nocase(value, "yes");
  free_file_data(text);
  if (!v.enabled) {
    v.result = kFirewallOff;
    return v;
  }
  FirewallTally t{kProfile, 0, false};
  root_path(f, "/etc/default/ufw", path, sizeof path);
  if (read_text_file(path, &text) == 0 && setting_value(text, "DEFAULT_INPUT_POLICY", value, sizeof value) &&
      text_equal_nocase(value, "ACCEPT"))
    t.allowed |= kProfile;
  free_file_data(text);
  for (const char* rel : {"/etc/ufw/user.rules", "/etc/ufw/user6.rules"}) {
    root_path(f, rel, path, sizeof path);
    const int rc = read_text_file(path, &text);
    if (rc < 0) v.rules_readable = false;
    if (rc == 0) read_ufw_rules(text, &t);
    free_file_data(text);
  }
  if (!v.rules_readable) {
    v.result = granted ? kFirewallAllowed : kFirewallNotAllowed;
    return v;
  }
  v.result = firewall_tally_result(t);
  return v;
}

// firewall-cmd's answer on standard output; its exit code, or -1 when it could not run.
int run_tool(const char* program, const char* arg, char* out, size_t cap) {
  const char* argv[] = {program, arg, nullptr};
  ProcessResult r;
  if (run_process(argv, out, cap, &r) != kProcessOk) return -1;
  return r.signal ? -1 : r.exit_code;
}

FirewallView check_firewalld(const char* program, bool granted) {
  FirewallView v{FirewallTool::kFirewalld, true, true, kFirewallNotAllowed};
  char out[4096];
  const int state = run_tool(program, "--state", out, sizeof out);
  if (state != 0) {
    // 252: not running. Anything else that is not an answer counts against the station.
    v.enabled = state != 252;
    v.result = v.enabled ? kFirewallNotAllowed : kFirewallOff;
    if (v.enabled) v.rules_readable = false;
    return v;
  }
  if (run_tool(program, "--list-ports", out, sizeof out) != 0) {
    v.rules_readable = false;
    v.result = granted ? kFirewallAllowed : kFirewallNotAllowed;
    return v;
  }
  FirewallTally t{kProfile, 0, false};
  FirewallRule r{true, true, true, true, true, 0, 0, false, false, false, kProfile};
  for (char* tok = strtok(out, " \t\n"); tok; tok = strtok(nullptr, " \t\n")) {
    char* slash = strchr(tok, '/');
    if (!slash || strcmp(slash + 1, "tcp") != 0) continue;
    if (parse_range(tok, size_t(slash - tok), &r.port_lo, &r.port_hi)) firewall_tally(&t, r);
  }
  v.result = firewall_tally_result(t);
  return v;
}

void run_job(Firewall* f, int kind, bool granted) {
  if (kind == kJobCheck) {
    f->job_view = firewall_check(f, granted);
  } else {
    char ufw[kPathCap], cmd[kPathCap];
    const bool use_ufw = f->tool == FirewallTool::kUfw && find_tool(f, "ufw", ufw, sizeof ufw);
    const bool use_firewalld = !use_ufw && find_tool(f, "firewall-cmd", cmd, sizeof cmd);
    // The tool by its full path: pkexec runs it with a clean environment.
    const char* ufw_argv[] = {"pkexec", ufw, "allow", kUfwPorts, nullptr};
    const char* fwd_argv[] = {"pkexec", cmd, kFirewalldPorts, nullptr};
    ProcessResult r;
    f->job_exit = -1;
    if ((use_ufw || use_firewalld) &&
        run_process(use_ufw ? ufw_argv : fwd_argv, nullptr, 0, &r, &f->child) == kProcessOk && !r.signal)
      f->job_exit = r.exit_code;
  }
  f->job_done.store(1, std::memory_order_release);
}

bool start_job(Firewall* f, int kind) {
  if (f->job_kind != 0) return false;
  f->job_kind = kind;
  f->job_done.store(0);
  f->job = std::thread(run_job, f, kind, f->granted);
  thread_set_name(f->job, "tolm-firewall");
  return true;
}

void ask_now(Firewall* f) {
  f->ask = kAskAsking;
  log_line("firewall: asking to let TCP %u-%u in", unsigned(kFirewallPortFirst), unsigned(kFirewallPortLast));
  start_job(f, kJobAsk);
}

// After a check: asks by itself once per time on air.
void after_check(Firewall* f) {
  if (f->ask_pending) {
    f->ask_pending = false;
    ask_now(f);
    return;
  }
  if (f->active && !f->asked_once && f->ask != kAskAsking &&
      (f->result == kFirewallNotAllowed || f->result == kFirewallBlocked)) {
    f->asked_once = true;
    ask_now(f);
  }
}

void collect_job(Firewall* f, uint32_t now_ms) {
  if (f->job_kind == 0 || !f->job_done.load(std::memory_order_acquire)) return;
  f->job.join();
  const int kind = f->job_kind;
  f->job_kind = 0;
  if (kind == kJobCheck) {
    f->result = f->job_view.result;
    f->tool = f->job_view.tool;
    f->last_check_ms = now_ms;
    after_check(f);
    return;
  }
  const int code = f->job_exit;
  if (code == 0) {
    f->ask = kAskDone;
    f->granted = true;
    log_line("firewall: TCP %u-%u let in", unsigned(kFirewallPortFirst), unsigned(kFirewallPortLast));
  } else if (code == kPkexecDismissed) {
    f->ask = kAskCancelled;
    log_line("firewall: the request was dismissed");
  } else {
    f->ask = kAskFailed;
    if (code == kPkexecNotAuthorised) log_line("firewall: the request was not authorised");
    else log_line("firewall: the request failed (%d)", code);
  }
  if (f->active) start_job(f, kJobCheck);
}

}  // namespace

bool firewall_rule_from_ufw(const char* line, FirewallRule* out) {
  static const char kTag[] = "### tuple ### ";
  if (strncmp(line, kTag, sizeof kTag - 1) != 0) return false;
  char tok[12][128];
  int n = 0;
  for (const char* p = line + sizeof kTag - 1; *p && n < 12;) {
    while (*p == ' ' || *p == '\t' || *p == '\r') ++p;
    if (!*p) break;
    size_t len = 0;
    while (p[len] && p[len] != ' ' && p[len] != '\t' && p[len] != '\r') ++len;
    const size_t keep = std::min(len, sizeof tok[0] - 1);
    memcpy(tok[n], p, keep);
    tok[n][keep] = 0;
    ++n;
    p += len;
  }
  // action proto dport dst sport src [dapp sapp] direction
  if (n != 7 && n != 9) return false;
  FirewallRule r{};
  const char* action = tok[0];
  r.active = true;
  r.profiles = kProfile;
  // Routed (forwarded) traffic never reaches this machine's sockets.
  const bool routed = strncmp(action, "route:", 6) == 0;
  r.allow = strncmp(action, "allow", 5) == 0 || strncmp(action, "limit", 5) == 0;
  const bool block = strncmp(action, "deny", 4) == 0 || strncmp(action, "reject", 6) == 0;
  if (!r.allow && !block && !routed) return false;
  r.tcp = strcmp(tok[1], "tcp") == 0 || strcmp(tok[1], "any") == 0;
  r.has_port = strcmp(tok[2], "any") != 0;
  if (r.has_port && !strchr(tok[2], ',') && !parse_range(tok[2], strlen(tok[2]), &r.port_lo, &r.port_hi)) return false;
  const char* dir = tok[n - 1];
  r.inbound = !routed && strncmp(dir, "in", 2) == 0;
  r.other_bound = strncmp(dir, "in_", 3) == 0;  // only on one interface
  r.app_bound = n == 9 && strcmp(tok[6], "-") != 0;  // an application profile, never this program
  r.app_matches = false;
  *out = r;
  return true;
}

void firewall_tally(FirewallTally* t, const FirewallRule& r) {
  if (!r.active || !r.inbound || !r.tcp) return;
  const bool every_port = !r.has_port;
  const bool covers = every_port || (r.port_lo <= kFirewallPortFirst && r.port_hi >= kFirewallPortLast);
  const bool bound = r.app_bound || r.other_bound;
  if (!r.allow) {
    // A block on the port the station listens on stops it, whether or not it names the whole range.
    const bool hits = r.has_port && r.port_lo <= kFirewallPortFirst && r.port_hi >= kFirewallPortFirst;
    if ((r.app_matches || (hits && !bound)) && (r.profiles & t->enabled)) t->blocked = true;
    return;
  }
  if (covers && (!bound || r.app_matches)) t->allowed |= r.profiles;
}

int firewall_tally_result(const FirewallTally& t) {
  if (t.enabled == 0) return kFirewallOff;
  if (t.blocked) return kFirewallBlocked;
  return (t.allowed & t.enabled) == t.enabled ? kFirewallAllowed : kFirewallNotAllowed;
}

FirewallView firewall_check(const Firewall* f, bool granted) {
  char program[kPathCap];
  if (find_tool(f, "ufw", program, sizeof program)) {
    FirewallView v = check_ufw(f, granted);
    if (v.enabled) return v;
  }
  if (find_tool(f, "firewall-cmd", program, sizeof program)) {
    FirewallView v = check_firewalld(program, granted);
    if (v.enabled) return v;
  }
  return FirewallView{FirewallTool::kNone, false, true, kFirewallOff};
}

void firewall_init(Firewall* f, const char* root) {
  text_copy(f->root, root ? root : "");
  f->result = kFirewallUnknown;
  f->ask = kAskIdle;
  f->active = f->asked_once = f->granted = f->ask_pending = false;
  f->last_check_ms = 0;
  f->tool = FirewallTool::kNone;
  f->job_kind = 0;
  f->job_done.store(0);
  f->child.store(0);
  f->job_exit = -1;
}

void firewall_close(Firewall* f) {
  if (f->job_kind == 0) return;
  stop_process(&f->child);
  f->job.join();
  f->job_kind = 0;
}

void firewall_activate(Firewall* f, uint32_t now_ms) {
  if (f->active) return;
  f->active = true;
  f->last_check_ms = now_ms;
  start_job(f, kJobCheck);  // a job still running from before is collected first by the poll
}

void firewall_deactivate(Firewall* f) {
  f->active = false;
  f->asked_once = false;
  f->granted = false;
  f->ask_pending = false;
  f->result = kFirewallUnknown;
}

void firewall_poll(Firewall* f, uint32_t now_ms) {
  collect_job(f, now_ms);
  if (f->job_kind != 0 || !f->active) return;
  if (f->ask != kAskAsking && f->result == kFirewallUnknown) {
    start_job(f, kJobCheck);  // activated while another job ran
    return;
  }
  if ((f->result == kFirewallNotAllowed || f->result == kFirewallBlocked) &&
      now_ms - f->last_check_ms >= kFirewallRecheckMs) {
    f->last_check_ms = now_ms;
    start_job(f, kJobCheck);
  }
}

bool firewall_should_ask(const Firewall* f) {
  if (!f->active) return false;
  if (f->ask == kAskAsking || f->ask_pending) return true;
  return f->result == kFirewallNotAllowed || f->result == kFirewallBlocked;
}

bool firewall_ask(Firewall* f, uint32_t now_ms) {
  (void)now_ms;
  if (f->ask == kAskAsking || f->ask_pending) return false;
  if (f->job_kind == kJobCheck) {
    // The check finishing first decides nothing: the user asked.
    f->ask_pending = true;
    f->ask = kAskAsking;
    return true;
  }
  ask_now(f);
  return true;
}

const char* firewall_status_text(const Firewall* f) {
  if (f->ask == kAskAsking || f->ask_pending) return "ASKING THE SYSTEM...";
  if (f->active && (f->result == kFirewallNotAllowed || f->result == kFirewallBlocked))
    return "BLOCKED BY THE FIREWALL - ALLOW";
  return "";
}
