// Two real processes share one rig folder and edit different inputs of the same rig at the same
// time (30 s; TOLM_RIG_PEER_SECONDS shortens it by hand). Nothing either wrote is lost, every
// snapshot of the file on disk decodes cleanly, and each sees the other's saves as change reports.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <sstream>
#include <string>
#include <thread>

#include "platform/clock.h"
#include "platform/process.h"
#include "platform/file.h"
#include "platform/shared_file.h"
#include "rig/rig_doc.h"
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
