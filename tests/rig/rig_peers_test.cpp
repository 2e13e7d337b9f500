// Two real processes share one rig folder and edit different inputs of the same rig at the same
// time (30 s; TOLM_RIG_PEER_SECONDS shortens it by hand). Nothing either wrote is lost, every
// snapshot of the file on disk decodes cleanly, and each sees the other's saves as change reports.
// Then the rig keeper against such a program for a few seconds: its edits are saved through the
// store on its own schedule, the other's arrive merged, and the file ends holding both.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <thread>

#include "platform/clock.h"
#include "platform/process.h"
#include "platform/file.h"
#include "platform/shared_file.h"
#include "rig/rig_doc.h"
#include "rig/rig_keeper.h"
#include "tests/rig/rig_store_fixture.h"
#include "tests/support/temp_dir.h"

namespace {

struct PeerRun {
  std::string out;
  ProcessResult result{};
  int rc = -1;
  std::atomic<bool> done{false};
};

long value_of(const std::string& out, const std::string& name) {
  std::istringstream in(out);
  std::string word;
  long v = 0;
  for (std::string line; std::getline(in, line);) {
    std::istringstream l(line);
    if (l >> word && word == name && l >> v) return v;
  }
  return -1;
}

}  // namespace

TEST(RigPeers, TwoProcessesEditOneRigAndLoseNothing) {
  TempDir dir, run;
  setenv("XDG_RUNTIME_DIR", run.path.c_str(), 1);  // the children share our lock folder
  const char* env = getenv("TOLM_RIG_PEER_SECONDS");
  const std::string seconds = env && *env ? env : "30";
  const std::string folder = dir.path + "/rigs";
  const std::string key = "jack:system";
  const std::string path = rig_path(folder, key);

  PeerRun a, b;
  const auto start = [&](PeerRun* r, const char* name, const char* other, const char* first) {
    const char* argv[] = {TOLM_RIG_PEER, folder.c_str(), key.c_str(), name, other, first, "4", seconds.c_str(), nullptr};
    char out[16384];
    r->rc = run_process(argv, out, sizeof out, &r->result);
    r->out = out;
    r->done.store(true);
  };
  std::thread ta(start, &a, "peer-a", "peer-b", "0");
  std::thread tb(start, &b, "peer-b", "peer-a", "4");

  // Read the file as a third program would, the whole time: every snapshot is a whole rig.
  long snapshots = 0, undecodable = 0, backwards = 0;
  int64_t last_rev = 0;
  std::string first_problem;
  const int64_t end = mono_ns() + int64_t((std::atof(seconds.c_str()) + 20) * 1e9);
  RigDoc* doc = static_cast<RigDoc*>(calloc(1, sizeof(RigDoc)));
  rig_reset(doc);
  while (mono_ns() < end && !(a.done.load() && b.done.load())) {
    char* data = nullptr;
    size_t n = 0;
    if (shared_file_read(path.c_str(), kRigMaxTextBytes, &data, &n, nullptr, nullptr) == kSharedReadOk) {
      char msg[200];
      const int code = rig_decode(data, n, doc, msg, sizeof msg);
      free_file_data(data);
      ++snapshots;
      if (code != kRigDecodeOk) {
        ++undecodable;
        if (first_problem.empty()) first_problem = msg;
      } else {
        if (doc->rev < last_rev) ++backwards;
        last_rev = doc->rev;
      }
    }
    sleep_ms(5);
  }
  ta.join();
  tb.join();
  ASSERT_EQ(a.rc, kProcessOk);
  ASSERT_EQ(b.rc, kProcessOk);
  EXPECT_EQ(a.result.exit_code, 0) << a.out;
  EXPECT_EQ(b.result.exit_code, 0) << b.out;
  EXPECT_GT(snapshots, 100);
  EXPECT_EQ(undecodable, 0) << first_problem;
  EXPECT_EQ(backwards, 0);
  for (const PeerRun* p : {&a, &b}) {
    EXPECT_GT(value_of(p->out, "saved"), 10) << p->out;
    EXPECT_EQ(value_of(p->out, "failed"), 0) << p->out;
    EXPECT_EQ(value_of(p->out, "bad"), 0) << p->out;
    EXPECT_GT(value_of(p->out, "changes"), 0) << p->out;  // the other's saves came as change reports
  }

  // The file ends holding each program's last values for its own inputs.
  const std::string text = read_text(path);
  char msg[200];
  ASSERT_EQ(rig_decode(text.data(), text.size(), doc, msg, sizeof msg), kRigDecodeOk) << msg;
  int checked = 0;
  for (const PeerRun* p : {&a, &b}) {
    std::istringstream in(p->out);
    for (std::string line; std::getline(in, line);) {
      std::istringstream l(line);
      std::string word;
      int s = -1, i = -1;
      double gain = 0, pan = 0;
      if (!(l >> word >> s >> i >> gain >> pan) || word != "final") continue;
      EXPECT_EQ(doc->scenes[s].channels[i].gain, float(gain)) << "scene " << s << " input " << i;
      EXPECT_EQ(doc->scenes[s].channels[i].pan, float(pan)) << "scene " << s << " input " << i;
      ++checked;
    }
  }
  EXPECT_EQ(checked, 2 * 4 * kRigScenes);
  rig_free(doc);
  free(doc);
  RecordProperty("snapshots", std::to_string(snapshots));
  printf("snapshots read %ld, last rev %lld, saves %ld + %ld, change reports %ld + %ld\n", snapshots,
         (long long)last_rev, value_of(a.out, "saved"), value_of(b.out, "saved"), value_of(a.out, "changes"),
         value_of(b.out, "changes"));
}

TEST(RigPeers, TheKeeperAndAnotherProgramEditOneRigAndLoseNothing) {
  TempDir dir, run;
  setenv("XDG_RUNTIME_DIR", run.path.c_str(), 1);
  const std::string folder = dir.path + "/rigs";
  const std::string key = "jack:system";
  LogSink log;
  RigKeeperOptions o;
  o.app_name = "tolm";
  o.folder = folder.c_str();
  o.log = LogSink::add;
  o.log_user = &log;
  o.poll_ms = 100;
  RigKeeper* k = rig_keeper_open(o);
  ASSERT_NE(k, nullptr);
  RigStream s{};
  snprintf(s.key, sizeof s.key, "%s", key.c_str());
  snprintf(s.api, sizeof s.api, "jack");
  snprintf(s.device, sizeof s.device, "system");
  s.inputs = s.device_inputs = 8;
  s.rate_hz = 48000;
  rig_keeper_bind(k, s);
  const auto tick = [&] { rig_keeper_tick(k, double(mono_ns()) * 1e-9, rig_time_now()); };
  RigKeeperStatus st{};
  for (int i = 0; i < 500 && st.state != kRigBound; ++i, sleep_ms(10)) {
    tick();
    rig_keeper_status(k, &st);
  }
  ASSERT_EQ(st.state, kRigBound);

  // The other program edits inputs 5-8 of every scene, saving each edit; the keeper edits
  // inputs 1-4 of its scene every 20 ms and saves on its own schedule.
  PeerRun peer;
  std::thread tp([&] {
    const char* argv[] = {TOLM_RIG_PEER, folder.c_str(), key.c_str(), "peer-b", "tolm", "4", "4", "3", nullptr};
    char out[16384];
    peer.rc = run_process(argv, out, sizeof out, &peer.result);
    peer.out = out;
    peer.done.store(true);
  });
  float ours[4] = {1, 1, 1, 1};
  int changes = 0;
  for (long n = 1; !peer.done.load(); ++n) {
    const int input = int(n % 4);
    ours[input] = float(n % 400 + 1) / 256.0f;  // values the other program accepts as written
    rig_keeper_set_gain(k, input, ours[input]);
    tick();
    RigNotice note;
    while (rig_keeper_next_notice(k, &note)) changes += note.code == kRigNoticeChanged && strcmp(note.text, "peer-b") == 0;
    sleep_ms(20);
  }
  tp.join();
  ASSERT_EQ(peer.rc, kProcessOk);
  EXPECT_EQ(peer.result.exit_code, 0) << peer.out;
  EXPECT_GT(value_of(peer.out, "changes"), 0) << peer.out;  // our saves reached it
  // The other's last save reaches us as a change report.
  for (int i = 0; i < 100; ++i, sleep_ms(20)) tick();
  EXPECT_TRUE(rig_keeper_flush(k, 3000));
  EXPECT_GT(changes, 0);

  const std::string text = read_text(rig_path(folder, key));
  RigDoc* doc = static_cast<RigDoc*>(calloc(1, sizeof(RigDoc)));
  char msg[200];
  ASSERT_EQ(rig_decode(text.data(), text.size(), doc, msg, sizeof msg), kRigDecodeOk) << msg;
  for (int i = 0; i < 4; ++i) EXPECT_EQ(doc->scenes[0].channels[i].gain, ours[i]) << "input " << i;
  const RigDoc* mine = rig_keeper_rig(k);
  int checked = 0;
  std::istringstream in(peer.out);
  for (std::string line; std::getline(in, line);) {
    std::istringstream l(line);
    std::string word;
    int sc = -1, i = -1;
    double gain = 0, pan = 0;
    if (!(l >> word >> sc >> i >> gain >> pan) || word != "final") continue;
    EXPECT_EQ(doc->scenes[sc].channels[i].gain, float(gain)) << "scene " << sc << " input " << i;
    EXPECT_EQ(doc->scenes[sc].channels[i].pan, float(pan)) << "scene " << sc << " input " << i;
    EXPECT_EQ(mine->scenes[sc].channels[i].gain, float(gain)) << "in memory: scene " << sc << " input " << i;
    ++checked;
  }
  EXPECT_EQ(checked, 4 * kRigScenes);
  rig_free(doc);
  free(doc);
  rig_keeper_close(k);
}
