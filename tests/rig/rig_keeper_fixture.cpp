#include "tests/rig/rig_keeper_fixture.h"

#include <cstdlib>
#include <cstring>

#include "platform/clock.h"
#include "platform/file.h"
#include "rig/rig_keeper_state.h"

Doc decode_file(const std::string& path, int* code) {
  Doc d(static_cast<RigDoc*>(calloc(1, sizeof(RigDoc))));
  rig_reset(d.get());
  const std::string text = read_text(path);
  char msg[200];
  const int c = rig_decode(text.data(), text.size(), d.get(), msg, sizeof msg);
  if (code) *code = c;
  return d;
}

void write_rig(const std::string& path, const RigDoc* doc) {
  const size_t n = rig_encode(doc, nullptr, 0);
  std::string text(n + 1, 0);
  rig_encode(doc, text.data(), text.size());
  text.resize(n);
  replace_text(path, text);
}

Doc new_rig(const char* key, const char* api, int inputs, const char* author) {
  Doc d(static_cast<RigDoc*>(calloc(1, sizeof(RigDoc))));
  rig_init_for_device(d.get(), key, api, "system", inputs, nullptr, author, rig_time_now());
  return d;
}

KeeperRig::KeeperRig() {
  setenv("XDG_RUNTIME_DIR", run.path.c_str(), 1);
  folder = dir.path + "/Lumaro/rigs";
}

KeeperRig::~KeeperRig() {
  file_fault_clear();
  close();
}

void KeeperRig::open(const char* app, int poll_ms) {
  RigKeeperOptions o;
  o.app_name = app;
  o.app_version = "1.0";
  o.folder = folder.c_str();
  o.log = LogSink::add;
  o.log_user = &log;
  o.poll_ms = poll_ms;
  k = rig_keeper_open(o);
}

void KeeperRig::close() {
  if (k) rig_keeper_close(k);
  k = nullptr;
}

RigStream KeeperRig::stream(const char* key, int inputs, int device_inputs, const char* api) {
  RigStream s{};
  snprintf(s.key, sizeof s.key, "%s", key);
  snprintf(s.api, sizeof s.api, "%s", api);
  const char* colon = strchr(key, ':');
  snprintf(s.device, sizeof s.device, "%s", colon ? colon + 1 : key);
  s.inputs = inputs;
  s.device_inputs = device_inputs > 0 ? device_inputs : inputs;
  s.rate_hz = 48000;
  for (int i = 0; i < inputs; ++i) snprintf(s.input_names[i], sizeof s.input_names[i], "capture_%d", i + 1);
  return s;
}

void KeeperRig::bind(const RigStream& s, double rate) {
  RigStream clean = s;
  rig_stream_sanitize(&clean);
  RigMixMatrix start;
  rig_default_matrix(clean.api, clean.inputs, &start);
  rig_mixer_start(rig_keeper_mixer(k), rate, clean.inputs, rig_stream_tag(clean.key), &start);
  rig_keeper_bind(k, s);
}

void KeeperRig::tick(double dt) {
  now += dt;
  wall += dt;
  rig_keeper_tick(k, now, wall);
  RigNotice n;
  while (rig_keeper_next_notice(k, &n)) notices.push_back(n);
}

void KeeperRig::settle(double dt) {
  if (k->store) rig_store_wait_idle(k->store, 5000);
  tick(dt);
}

bool KeeperRig::until(const std::function<bool()>& pred, int timeout_ms, double dt) {
  const int64_t deadline = mono_ns() + int64_t(timeout_ms) * 1000000;
  for (;;) {
    settle(dt);
    if (pred()) return true;
    if (mono_ns() > deadline) return false;
    sleep_ms(5);
  }
}

RigKeeperStatus KeeperRig::status() const {
  RigKeeperStatus s;
  rig_keeper_status(k, &s);
  return s;
}

int KeeperRig::count_notices(int code) const {
  int n = 0;
  for (const RigNotice& x : notices) n += x.code == code;
  return n;
}

const RigNotice* KeeperRig::last_notice(int code) const {
  for (auto it = notices.rbegin(); it != notices.rend(); ++it)
    if (it->code == code) return &*it;
  return nullptr;
}

std::pair<float, float> KeeperRig::play(const std::vector<float>& inputs, int frames) {
  const int n = int(inputs.size());
  std::vector<float> in(size_t(256 * n)), l(256), r(256);
  for (int f = 0; f < 256; ++f)
    for (int i = 0; i < n; ++i) in[size_t(f * n + i)] = inputs[size_t(i)];
  for (int done = 0; done < frames; done += 256) {
    const int count = std::min(256, frames - done);
    rig_mixer_process(rig_keeper_mixer(k), in.data(), n, l.data(), r.data(), count);
    if (done + count >= frames) return {l[size_t(count - 1)], r[size_t(count - 1)]};
  }
  return {0.0f, 0.0f};
}
