// The rig store on a real folder: creating and loading, coalesced saves, half-written and damaged
// files, newer formats, merging onto what another writer left, change reports, stray temporary
// files, closing with work in flight, and write failures injected through the platform layer.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <thread>

#include "platform/clock.h"
#include "platform/file.h"
#include "platform/lock.h"
#include "platform/paths.h"
#include "rig/rig_store.h"
#include "tests/rig/rig_store_fixture.h"
#include "tests/support/temp_dir.h"

namespace {

constexpr char kKey[] = "jack:system";

struct DocFree {
  void operator()(RigDoc* d) const {
    rig_free(d);
    free(d);
  }
};
using Doc = std::unique_ptr<RigDoc, DocFree>;

Doc rig_for(const char* key, int inputs) {
  Doc d(static_cast<RigDoc*>(calloc(1, sizeof(RigDoc))));
  rig_init_for_device(d.get(), key, "jack", "system", inputs, nullptr, "tolm", rig_time_now());
  return d;
}

Doc decode_file(const std::string& path, int* code = nullptr) {
  Doc d(static_cast<RigDoc*>(calloc(1, sizeof(RigDoc))));
  rig_reset(d.get());
  const std::string text = read_text(path);
  char msg[200];
  const int c = rig_decode(text.data(), text.size(), d.get(), msg, sizeof msg);
  if (code) *code = c;
  return d;
}

std::string stem_of(const char* key) {
  char name[96];
  rig_file_name(key, name, sizeof name);
  std::string s = name;
  return s.substr(0, s.size() - 5);
}

// A store on a fresh folder with its own lock folder.
struct StoreTest : ::testing::Test {
  TempDir dir, run;
  LogSink log;
  std::string folder;
  std::vector<RigStore*> stores;

  StoreTest() {
    setenv("XDG_RUNTIME_DIR", run.path.c_str(), 1);
    folder = dir.path + "/Lumaro/rigs";
  }
  ~StoreTest() override {
    file_fault_clear();
    for (RigStore* s : stores) rig_store_close(s, 5000);
  }
  RigStore* open(const char* app = "tolm", int poll_ms = 0, bool no_watch = false) {
    RigStoreOptions o;
    o.folder = folder.c_str();
    o.app_name = app;
    o.app_version = "1.3.10";
    o.log = LogSink::add;
    o.log_user = &log;
    o.poll_ms = poll_ms;
    o.no_watch = no_watch;
    RigStore* s = rig_store_open(o);
    EXPECT_NE(s, nullptr);
    stores.push_back(s);
    return s;
  }
  std::string path(const char* key = kKey) { return rig_path(folder, key); }
  // Loads (creating when missing) and returns the loaded result.
  Res load(RigStore* s, const char* key = kKey, int inputs = 4) {
    Doc d = rig_for(key, inputs);
    EXPECT_NE(rig_store_load(s, key, d.get()), 0u);
    Res r = next_result(s);
    EXPECT_EQ(r.type, kRigResultLoaded) << r.message;
    return r;
  }
};

// Holds a rig's inter-process lock as another program would.
struct HeldLock {
  NamedLock lock;
  explicit HeldLock(const char* key) {
    const std::string name = "Lumaro.rig." + stem_of(key);
    EXPECT_EQ(named_lock_acquire(&lock, name.c_str(), 1000), 0);
  }
  ~HeldLock() { named_lock_release(&lock); }
  void release() { named_lock_release(&lock); }
};

RigChanges gain_of(int scene, int input) {
  RigChanges m{};
  m.input[scene][input] = kRigInputGain;
  m.any = true;
  return m;
}

}  // namespace

TEST(RigFiles, NamesEveryApplicationFinds) {
  char name[96];
  rig_file_name("jack:system", name, sizeof name);
  char want[96];
  snprintf(want, sizeof want, "jack-system-%08x.json", rig_fnv1a("jack:system"));
  EXPECT_STREQ(name, want);
  rig_file_name("wasapi:Mikrofon (USB Äudio)", name, sizeof name);
  EXPECT_EQ(std::string(name).rfind("wasapi-mikrofon-usb-udio-", 0), 0u) << name;
  rig_file_name("", name, sizeof name);
  EXPECT_STREQ(name, "-811c9dc5.json");
  rig_file_name(":::", name, sizeof name);
  EXPECT_EQ(std::string(name).substr(0, 1), "-");
  // At most 40 characters of slug; a dash that would be the 40th ends it.
  rig_file_name((std::string(39, 'a') + ":bcd").c_str(), name, sizeof name);
  EXPECT_EQ(std::string(name).substr(0, 41), std::string(39, 'a') + "--");
  rig_file_name(std::string(60, 'Z').c_str(), name, sizeof name);
  EXPECT_EQ(std::string(name).substr(0, 41), std::string(40, 'z') + "-");

  setenv("XDG_CONFIG_HOME", "/somewhere/config", 1);
  char folder[kPathCap];
  rig_store_default_folder(folder, sizeof folder);
  EXPECT_STREQ(folder, "/somewhere/config/Lumaro/rigs");
  unsetenv("XDG_CONFIG_HOME");
}

TEST_F(StoreTest, CreatesThenLoadsAndStamps) {
  RigStore* s = open();
  Doc d = rig_for(kKey, 4);
  const uint32_t id = rig_store_load(s, kKey, d.get());
  ASSERT_NE(id, 0u);
  Res r = next_result(s);
  ASSERT_EQ(r.type, kRigResultLoaded) << r.message;
  EXPECT_EQ(r.job_id, id);
  EXPECT_TRUE(r.created);
  EXPECT_EQ(r.rev, 1);
  ASSERT_NE(r.doc, nullptr);
  EXPECT_STREQ(r.doc->key, kKey);
  EXPECT_STREQ(r.doc->writer.app, "tolm");
  EXPECT_STREQ(r.doc->writer.platform, "linux");
  EXPECT_STREQ(r.doc->writer.version, "1.3.10");
  EXPECT_EQ(strlen(r.doc->writer.instance), 16u);
  EXPECT_NEAR(r.doc->writer.at, rig_time_now(), 5.0);
  char name[96];
  rig_file_name(kKey, name, sizeof name);
  EXPECT_EQ(log.count(std::string("rig: created ") + name), 1);
  int code = -1;
  Doc on_disk = decode_file(path(), &code);
  EXPECT_EQ(code, kRigDecodeOk);
  EXPECT_EQ(on_disk->rev, 1);
  EXPECT_STREQ(on_disk->writer.instance, r.doc->writer.instance);

  // A second store of another program reads it as it is; no doc given builds a one-input default.
  RigStore* other = open("other");
  Res again = load(other);
  EXPECT_FALSE(again.created);
  EXPECT_EQ(again.rev, 1);
  EXPECT_EQ(again.doc->device.channels, 4);
  EXPECT_NE(rig_store_load(other, "alsa:hw:1", nullptr), 0u);
  Res fresh = next_result(other);
  ASSERT_EQ(fresh.type, kRigResultLoaded);
  EXPECT_STREQ(fresh.doc->device.api, "alsa");
  EXPECT_STREQ(fresh.doc->device.name, "hw:1");
  EXPECT_EQ(fresh.doc->device.channels, 1);
  EXPECT_STREQ(fresh.doc->scenes[0].author, "other");
  EXPECT_EQ(rig_store_load(other, "", nullptr), 0u);
  EXPECT_TRUE(rig_store_wait_idle(other, 1000));
  double age = -1;
  EXPECT_FALSE(rig_store_busy(other, &age));
  EXPECT_EQ(age, 0.0);
}

TEST_F(StoreTest, SavesOfOneRigCoalesceWhileTheWorkerIsBusy) {
  RigStore* s = open();
  Res loaded = load(s);
  Doc d = rig_for(kKey, 4);
  ASSERT_TRUE(rig_copy(d.get(), loaded.doc));
  std::vector<uint32_t> ids;
  {
    HeldLock held(kKey);
    d->scenes[0].channels[0].gain = 0.5f;
    ids.push_back(rig_store_save(s, d.get(), gain_of(0, 0)));  // taken at once; waits for the lock
    sleep_ms(100);
    double age = 0;
    EXPECT_TRUE(rig_store_busy(s, &age));
    EXPECT_GT(age, 0.05);
    EXPECT_FALSE(rig_store_wait_idle(s, 10));
    // 33 more: the first 32 join one queued job, the last starts another.
    for (int i = 1; i <= 33; ++i) {
      d->scenes[0].channels[1].gain = float(i) / 64;
      ids.push_back(rig_store_save(s, d.get(), gain_of(0, 1)));
    }
  }
  ASSERT_TRUE(rig_store_wait_idle(s, 5000));
  std::vector<Res> got;
  for (Res r = next_result(s, 200); r.type; r = next_result(s, 200)) got.push_back(std::move(r));
  ASSERT_EQ(got.size(), ids.size());
  for (size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(got[i].type, kRigResultSaved) << got[i].message;
    EXPECT_EQ(got[i].job_id, ids[i]);
  }
  EXPECT_EQ(got[0].rev, 2);
  EXPECT_EQ(got[0].doc->scenes[0].channels[1].gain, 1.0f);
  for (size_t i = 1; i <= 32; ++i) {
    EXPECT_EQ(got[i].rev, 3);  // one write for 32 saves, all told the same
    EXPECT_EQ(got[i].doc->scenes[0].channels[1].gain, 32.0f / 64);
    EXPECT_EQ(got[i].doc->scenes[0].channels[0].gain, 0.5f);
  }
  EXPECT_EQ(got[33].rev, 4);
  EXPECT_EQ(got[33].doc->scenes[0].channels[1].gain, 33.0f / 64);
  EXPECT_EQ(decode_file(path())->rev, 4);
}

TEST_F(StoreTest, HalfWrittenFileIsReadAgainBeforeAnythingIsSetAside) {
  Doc d = rig_for(kKey, 2);
  d->rev = 7;
  const size_t n = rig_encode(d.get(), nullptr, 0);
  std::string whole(n + 1, 0);
  rig_encode(d.get(), whole.data(), whole.size());
  whole.resize(n);
  ASSERT_EQ(make_dirs(folder.c_str()), 0);
  write_text(path(), whole.substr(0, n / 2));
  RigStore* s = open();
  ASSERT_NE(rig_store_load(s, kKey, d.get()), 0u);
  sleep_ms(100);
  replace_text(path(), whole);
  Res r = next_result(s);
  ASSERT_EQ(r.type, kRigResultLoaded) << r.message;
  EXPECT_FALSE(r.created);
  EXPECT_EQ(r.rev, 7);
  EXPECT_GE(r.elapsed_ms, 150.0);
  char name[96];
  rig_file_name(kKey, name, sizeof name);
  EXPECT_EQ(log.count(std::string("rig: ") + name + " doesn't decode (not JSON: truncated at byte " +
                      std::to_string(n / 2) + ") - reading it again"),
            1);
  EXPECT_EQ(log.count("damaged"), 0);
}

TEST_F(StoreTest, DamagedFilesAreSetAsideUnderDatedNames) {
  ASSERT_EQ(make_dirs(folder.c_str()), 0);
  write_text(path(), "{\"format\":\"lumaro.rig\",");
  RigStore* s = open();
  Doc d = rig_for(kKey, 2);
  // A save never touches a file it cannot read.
  d->rev = 1;
  Res saved = (rig_store_save(s, d.get(), gain_of(0, 0)), next_result(s));
  EXPECT_EQ(saved.type, kRigResultSaveFailed);
  EXPECT_STREQ(saved.message, "the rig file on disk is damaged (not JSON: truncated at byte 23) - left as it is");
  EXPECT_EQ(read_text(path()), "{\"format\":\"lumaro.rig\",");

  const time_t t0 = time(nullptr);
  const int64_t started = mono_ns();
  ASSERT_NE(rig_store_load(s, kKey, d.get()), 0u);
  Res r = next_result(s);
  ASSERT_EQ(r.type, kRigResultLoadedFresh) << r.message;
  EXPECT_GE(mono_ns() - started, int64_t(380) * 1000000);  // three reads, two pauses
  EXPECT_TRUE(r.created);
  int code = -1;
  EXPECT_EQ(decode_file(path(), &code)->rev, 2);
  EXPECT_EQ(code, kRigDecodeOk);
  // The damaged text is kept beside it, named after the time it was set aside.
  const std::string stem = path().substr(0, path().size() - 5);
  auto aside_name = [&](time_t t, const char* tail) {
    struct tm lt;
    localtime_r(&t, &lt);
    char buf[64];
    strftime(buf, sizeof buf, ".damaged-%Y%m%d-%H%M%S", &lt);
    return stem + buf + tail + ".json";
  };
  std::string aside;
  for (time_t t = t0; t <= time(nullptr) && aside.empty(); ++t)
    if (is_file(aside_name(t, "").c_str())) aside = aside_name(t, "");
  ASSERT_FALSE(aside.empty());
  EXPECT_EQ(read_text(aside), "{\"format\":\"lumaro.rig\",");
  EXPECT_EQ(log.count(std::string("was damaged (not JSON: truncated at byte 23) - kept it as ") +
                      path_name(aside.c_str()) + ", starting fresh"),
            1);

  // A second damaged file in the same second: "-2". The plain names of the next seconds are taken
  // beforehand so the test does not depend on the clock.
  const time_t t1 = time(nullptr);
  for (time_t t = t1; t < t1 + 6; ++t)
    if (!is_file(aside_name(t, "").c_str())) write_text(aside_name(t, ""), "placeholder");
  write_text(path(), "not json");
  ASSERT_NE(rig_store_load(s, kKey, d.get()), 0u);
  r = next_result(s);
  ASSERT_EQ(r.type, kRigResultLoadedFresh) << r.message;
  bool found = false;
  for (time_t t = t1; t < t1 + 6; ++t)
    if (is_file(aside_name(t, "-2").c_str())) found = read_text(aside_name(t, "-2")) == "not json";
  EXPECT_TRUE(found);
}

TEST_F(StoreTest, NewerFormatsAreNeverWritten) {
  ASSERT_EQ(make_dirs(folder.c_str()), 0);
  const std::string newer = "{\"format\":\"lumaro.rig\",\"version\":2,\"key\":\"jack:system\",\"scenes\":[{},{},{},{}],\"x\":1}";
  write_text(path(), newer);
  RigStore* s = open();
  Doc d = rig_for(kKey, 2);
  Res r = (rig_store_save(s, d.get(), gain_of(0, 0)), next_result(s));
  EXPECT_EQ(r.type, kRigResultSaveFailed);
  EXPECT_STREQ(r.message, "read only - a newer app made this file");
  EXPECT_EQ(r.decode_code, kRigDecodeReadOnly);
  EXPECT_TRUE(rig_store_read_only(s, kKey));
  EXPECT_EQ(rig_store_save(s, d.get(), gain_of(0, 0)), 0u);  // refused at once from now on
  EXPECT_EQ(read_text(path()), newer);

  RigStore* other = open("other");
  ASSERT_NE(rig_store_load(other, kKey, nullptr), 0u);
  r = next_result(other);
  ASSERT_EQ(r.type, kRigResultLoaded);
  EXPECT_EQ(r.decode_code, kRigDecodeReadOnly);
  EXPECT_TRUE(r.doc->read_only);
  EXPECT_EQ(log.count("was made by a newer app - read only"), 1);
  EXPECT_EQ(rig_store_save(other, r.doc, gain_of(0, 0)), 0u);
  EXPECT_EQ(read_text(path()), newer);
}

TEST_F(StoreTest, SavesMergeOntoWhatOthersWrote) {
  RigStore* a = open("alpha");
  RigStore* b = open("beta");
  Res la = load(a);
  Res lb = load(b);
  // Each changes its own input from the same starting point; the second save keeps the first's.
  la.doc->scenes[0].channels[0].gain = 0.25f;
  lb.doc->scenes[0].channels[3].gain = 2.0f;
  strcpy(lb.doc->scenes[1].channels[2].label, "Kick");
  RigChanges mb = gain_of(0, 3);
  mb.input[1][2] = kRigInputLabel;
  ASSERT_NE(rig_store_save(a, la.doc, gain_of(0, 0)), 0u);
  Res ra = next_result(a);
  ASSERT_EQ(ra.type, kRigResultSaved);
  ASSERT_NE(rig_store_save(b, lb.doc, mb), 0u);
  Res rb = next_result(b);
  ASSERT_EQ(rb.type, kRigResultSaved);
  EXPECT_EQ(rb.rev, 3);
  EXPECT_EQ(rb.doc->scenes[0].channels[0].gain, 0.25f);  // alpha's, kept
  EXPECT_EQ(rb.doc->scenes[0].channels[3].gain, 2.0f);
  EXPECT_STREQ(rb.doc->scenes[1].channels[2].label, "Kick");
  EXPECT_STREQ(rb.doc->scenes[0].author, "beta");
  EXPECT_NEAR(rb.doc->scenes[0].updated_at, rig_time_now(), 5.0);
  Doc disk = decode_file(path());
  EXPECT_EQ(disk->scenes[0].channels[0].gain, 0.25f);
  EXPECT_EQ(disk->scenes[0].channels[3].gain, 2.0f);
  EXPECT_STREQ(disk->writer.app, "beta");

  // A revision at the top stays there instead of overflowing.
  Doc top = decode_file(path());
  top->rev = INT64_MAX;
  const size_t n = rig_encode(top.get(), nullptr, 0);
  std::string text(n + 1, 0);
  rig_encode(top.get(), text.data(), text.size());
  text.resize(n);
  replace_text(path(), text);
  ASSERT_NE(rig_store_save(a, la.doc, gain_of(0, 0)), 0u);
  Res rt = next_result(a);
  ASSERT_EQ(rt.type, kRigResultSaved);
  EXPECT_EQ(rt.rev, INT64_MAX);
  EXPECT_EQ(decode_file(path())->rev, INT64_MAX);
}

TEST_F(StoreTest, ChangesByOthersAreReportedOncePerRevision) {
  RigStore* a = open("alpha", 100);
  RigStore* polling = open("gamma", 100, true);  // no folder watch: polling alone
  RigStore* b = open("beta");
  Res la = load(a);
  Res lp = load(polling);
  Res lb = load(b);
  rig_store_watch(a, kKey);
  rig_store_watch(polling, kKey);
  sleep_ms(300);

  // Our own save: no change report here; the other store sees it as alpha's change.
  ASSERT_NE(rig_store_save(a, la.doc, gain_of(0, 0)), 0u);
  Res own = next_result(a);
  ASSERT_EQ(own.type, kRigResultSaved);
  Res seen = next_result(polling, 3000);
  ASSERT_EQ(seen.type, kRigResultChanged);
  EXPECT_STREQ(seen.writer_app, "alpha");
  EXPECT_EQ(seen.rev, 2);
  EXPECT_EQ(next_result(a, 500).type, 0);

  // Another program's save: reported once to each, with its name and the merged document.
  lb.doc->scenes[0].channels[2].gain = 0.75f;
  ASSERT_NE(rig_store_save(b, lb.doc, gain_of(0, 2)), 0u);
  ASSERT_EQ(next_result(b).type, kRigResultSaved);
  for (RigStore* s : {a, polling}) {
    Res c = next_result(s, 3000);
    ASSERT_EQ(c.type, kRigResultChanged);
    EXPECT_EQ(c.job_id, 0u);
    EXPECT_STREQ(c.key, kKey);
    EXPECT_STREQ(c.writer_app, "beta");
    EXPECT_EQ(c.rev, 3);
    EXPECT_EQ(c.doc->scenes[0].channels[2].gain, 0.75f);
    EXPECT_EQ(c.doc->scenes[0].channels[0].gain, la.doc->scenes[0].channels[0].gain);
  }
  EXPECT_EQ(next_result(polling, 300).type, 0);
  EXPECT_EQ(next_result(a, 300).type, 0);

  // A change that does not decode is ignored (said once), the next good one is reported.
  replace_text(path(), "{\"format\":\"lumaro.rig\"");
  sleep_ms(400);
  replace_text(path(), "{\"format\":\"lumaro.rig\"");
  sleep_ms(400);
  EXPECT_EQ(next_result(a, 10).type, 0);
  char name[96];
  rig_file_name(kKey, name, sizeof name);
  EXPECT_GE(log.count(std::string("rig: ignored a change to ") + name +
                      " that doesn't decode (not JSON: truncated at byte 22) - waiting for the next one"),
            1);
  EXPECT_LE(log.count("rig: ignored a change"), 2);  // once per store that saw it
  replace_text(path(), "{\"format\":\"lumaro.rig\",\"rev\":9,\"writer\":{\"app\":\"hand\"},\"scenes\":[{},{},{},{}]}");
  Res c = next_result(a, 3000);
  ASSERT_EQ(c.type, kRigResultChanged);
  EXPECT_STREQ(c.writer_app, "hand");
  EXPECT_EQ(c.rev, 9);
  EXPECT_EQ(c.decode_code, kRigDecodeOk);
  rig_store_watch(a, nullptr);

  // Woken every few milliseconds (a caller waiting for idle), polling alone still looks on time.
  while (next_result(polling, 300).type != 0) {
  }
  replace_text(path(), "{\"format\":\"lumaro.rig\",\"rev\":10,\"writer\":{\"app\":\"hand\"},\"scenes\":[{},{},{},{}]}");
  Res woken;
  for (const int64_t until = mono_ns() + 3000000000; !woken.type && mono_ns() < until; sleep_ms(2)) {
    rig_store_wait_idle(polling, 0);
    rig_store_next_result(polling, &woken);
  }
  EXPECT_EQ(woken.type, kRigResultChanged);
  EXPECT_EQ(woken.rev, 10);
}

TEST_F(StoreTest, StrayTemporaryFilesGoUnlessAWriteHoldsThem) {
  ASSERT_EQ(make_dirs(folder.c_str()), 0);
  const std::string free_tmp = folder + "/" + stem_of("alsa:a") + ".json.tmp";
  const std::string held_tmp = folder + "/" + stem_of("alsa:b") + ".json.tmp";
  write_text(free_tmp, "half");
  write_text(held_tmp, "half");
  write_text(folder + "/.json.tmp", "too short a name");
  ASSERT_EQ(make_dir((folder + "/dir.json.tmp").c_str()), 0);
  HeldLock held("alsa:b");
  RigStore* s = open();
  ASSERT_TRUE(rig_store_wait_idle(s, 5000));
  EXPECT_FALSE(path_exists(free_tmp.c_str()));
  EXPECT_TRUE(is_file(held_tmp.c_str()));
  EXPECT_TRUE(is_file((folder + "/.json.tmp").c_str()));
  EXPECT_TRUE(is_dir((folder + "/dir.json.tmp").c_str()));
  EXPECT_EQ(log.count("rig: removed a stray " + stem_of("alsa:a") + ".json.tmp"), 1);
  EXPECT_EQ(log.count("removed a stray"), 1);
}

TEST_F(StoreTest, ClosingWithWorkInFlightFinishesInTheBackground) {
  RigStore* s = open();
  Res loaded = load(s);
  Res other = load(s, "alsa:other", 2);
  auto held_a = std::make_unique<HeldLock>(kKey);
  HeldLock held_b("alsa:other");
  loaded.doc->scenes[0].channels[0].gain = 0.125f;
  ASSERT_NE(rig_store_save(s, loaded.doc, gain_of(0, 0)), 0u);
  ASSERT_NE(rig_store_save(s, other.doc, gain_of(0, 0)), 0u);  // will time out on its lock
  sleep_ms(50);
  std::thread releaser([&] {
    sleep_ms(300);
    held_a->release();
  });
  stores.clear();
  const int64_t t0 = mono_ns();
  rig_store_close(s, 100);
  EXPECT_LT(mono_ns() - t0, int64_t(1000) * 1000000);
  const size_t lines = log.all().size();
  EXPECT_EQ(log.all().back(), "rig: still writing at close - the store finishes in the background");
  releaser.join();
  // The first save lands; the second fails on its lock after two seconds, and says nothing to a
  // log that was given back at close.
  for (int i = 0; i < 100 && decode_file(path())->rev != 2; ++i) sleep_ms(20);
  EXPECT_EQ(decode_file(path())->scenes[0].channels[0].gain, 0.125f);
  sleep_ms(2500);
  EXPECT_EQ(log.all().size(), lines);
}

TEST_F(StoreTest, WriteFailuresLeaveTheFileAsItWas) {
  RigStore* s = open();
  Res loaded = load(s);
  const std::string before = read_text(path());
  const struct {
    FileFault fault;
    int count;
    const char* message;
  } cases[] = {
      {FileFault::kCreate, 1, "can't write the rig file: access denied"},
      {FileFault::kDiskFull, 1, "can't write the rig file: the disk is full"},
      {FileFault::kShortWrite, 1, "can't write the rig file: the disk is full"},
      {FileFault::kWrite, 1, "can't write the rig file: error 5"},
      {FileFault::kRename, -1, "can't replace the rig file: in use by another program"},
  };
  char name[96];
  rig_file_name(kKey, name, sizeof name);
  for (const auto& c : cases) {
    const int said = log.count(std::string("rig: couldn't save ") + name + " - " + c.message);
    file_fault_set(c.fault, 0, c.count);
    loaded.doc->scenes[0].channels[0].gain = 0.5f;
    ASSERT_NE(rig_store_save(s, loaded.doc, gain_of(0, 0)), 0u);
    Res r = next_result(s);
    file_fault_clear();
    EXPECT_EQ(r.type, kRigResultSaveFailed) << c.message;
    EXPECT_STREQ(r.message, c.message);
    EXPECT_EQ(read_text(path()), before) << c.message;
    EXPECT_FALSE(path_exists((path() + ".tmp").c_str())) << c.message;
    EXPECT_EQ(log.count(std::string("rig: couldn't save ") + name + " - " + c.message), said + 1);
  }
  EXPECT_EQ(log.count("retrying the rename"), 1);

  // A rename that fails twice is retried and lands.
  file_fault_set(FileFault::kRename, 0, 2);
  ASSERT_NE(rig_store_save(s, loaded.doc, gain_of(0, 0)), 0u);
  Res r = next_result(s);
  file_fault_clear();
  EXPECT_EQ(r.type, kRigResultSaved) << r.message;
  EXPECT_EQ(log.count("rig: the rig file is held open by another program - retrying the rename"), 2);
  EXPECT_EQ(decode_file(path())->scenes[0].channels[0].gain, 0.5f);

  // Another program's kept members fill the file to the last byte a reader takes; our longer
  // label would push it past, so nothing is written.
  Doc full = decode_file(path());
  std::string pad = "\"blob\":\"\"";
  full->extra_top = strdup(pad.c_str());
  const size_t at = rig_encode(full.get(), nullptr, 0);
  pad.insert(pad.size() - 1, kRigMaxTextBytes - at, 'b');
  free(full->extra_top);
  full->extra_top = strdup(pad.c_str());
  std::string text(kRigMaxTextBytes + 1, 0);
  ASSERT_EQ(rig_encode(full.get(), text.data(), text.size()), kRigMaxTextBytes);
  text.resize(kRigMaxTextBytes);
  replace_text(path(), text);
  strcpy(loaded.doc->scenes[0].channels[0].label, "a label of some length");
  RigChanges label{};
  label.input[0][0] = kRigInputLabel;
  ASSERT_NE(rig_store_save(s, loaded.doc, label), 0u);
  r = next_result(s);
  EXPECT_EQ(r.type, kRigResultSaveFailed);
  long long bytes = 0;
  EXPECT_EQ(sscanf(r.message, "can't write the rig file: it would be bigger than 1 MB (%lld bytes)", &bytes), 1)
      << r.message;
  EXPECT_GT(bytes, static_cast<long long>(kRigMaxTextBytes)) << r.message;  // by the label's growth and the new times' digits
  EXPECT_EQ(read_text(path()), text);
}

TEST_F(StoreTest, UnreadablePlacesFailWithoutHanging) {
  // A FIFO where the rig file should be: a plain open would wait for a writer for ever.
  ASSERT_EQ(make_dirs(folder.c_str()), 0);
  ASSERT_EQ(mkfifo(path().c_str(), 0600), 0);
  RigStore* s = open();
  ASSERT_NE(rig_store_load(s, kKey, nullptr), 0u);
  Res r = next_result(s);
  EXPECT_EQ(r.type, kRigResultLoadFailed);
  EXPECT_STREQ(r.message, "can't read the rig file: not a regular file");
  char name[96];
  rig_file_name(kKey, name, sizeof name);
  EXPECT_EQ(log.count(std::string("rig: couldn't load ") + name + " - can't read the rig file: not a regular file"), 1);

  // A rigs folder that cannot be made: the store says so and keeps working.
  write_text(dir.file("plain"), "x");
  folder = dir.file("plain") + "/rigs";
  RigStore* t = open();
  ASSERT_NE(rig_store_load(t, kKey, nullptr), 0u);
  r = next_result(t);
  EXPECT_EQ(r.type, kRigResultLoadFailed);
  EXPECT_STREQ(r.message, "can't create the rigs folder: the folder can't be reached");
  EXPECT_EQ(log.count("rig: can't create the rigs folder " + folder +
                      " - rigs stay in memory until it can be made"),
            1);
  Doc d = rig_for(kKey, 2);
  ASSERT_NE(rig_store_save(t, d.get(), gain_of(0, 0)), 0u);
  r = next_result(t);
  EXPECT_EQ(r.type, kRigResultSaveFailed);
  EXPECT_STREQ(r.message, "can't create the rigs folder: the folder can't be reached");
}
