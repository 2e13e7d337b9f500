// One of two programs sharing a rig folder: it edits its own inputs of the same rig for a while,
// saving after every edit, and reports what it saw. The other program's saves must reach it as
// change reports, and nothing it reads may hold a value nobody wrote.
//   rig_peer FOLDER KEY NAME OTHER FIRST_INPUT COUNT SECONDS
// Prints "saved N", "failed N", "changes N", "bad N" and "final SCENE INPUT GAIN PAN" lines;
// exits 0 when no save failed and nothing bad was seen.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/clock.h"
#include "rig/rig_store.h"
#include "tests/rig/rig_store_fixture.h"

namespace {

constexpr int kEditMs = 25;
constexpr int kInputs = 8;

float gain_for(long n) { return float(n % 400 + 1) / 256.0f; }
float pan_for(long n) { return float((n * 7) % 201 - 100) / 100.0f; }

// A gain this program or its peer could have written (or the default).
bool plausible_gain(float g) {
  const float k = g * 256.0f;
  return g == 1.0f || (k >= 1 && k <= 400 && k == std::floor(k));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 8) {
    fprintf(stderr, "usage: rig_peer FOLDER KEY NAME OTHER FIRST_INPUT COUNT SECONDS\n");
    return 2;
  }
  const char* key = argv[2];
  const char* other = argv[4];
  const int first = atoi(argv[5]);
  const int count = atoi(argv[6]);
  const double seconds = atof(argv[7]);

  RigStoreOptions o;
  o.folder = argv[1];
  o.app_name = argv[3];
  o.app_version = "peer";
  o.poll_ms = 200;
  RigStore* store = rig_store_open(o);
  if (!store) return 3;

  RigDoc* doc = static_cast<RigDoc*>(calloc(1, sizeof(RigDoc)));
  rig_init_for_device(doc, key, "jack", "system", kInputs, nullptr, argv[3], rig_time_now());
  rig_store_load(store, key, doc);
  Res loaded = next_result(store, 10000);
  if (loaded.type != kRigResultLoaded || !loaded.doc) {
    fprintf(stderr, "%s: load failed: %s\n", argv[3], loaded.message);
    return 4;
  }
  rig_copy(doc, loaded.doc);
  rig_store_watch(store, key);

  long saved = 0, failed = 0, changes = 0, bad = 0;
  const auto drain = [&] {
    for (Res r = next_result(store, 0); r.type; r = next_result(store, 0)) {
      if (r.type == kRigResultSaved) {
        ++saved;
      } else if (r.type == kRigResultSaveFailed) {
        ++failed;
        fprintf(stderr, "%s: save failed: %s\n", argv[3], r.message);
      } else if (r.type == kRigResultChanged) {
        if (strcmp(r.writer_app, other) == 0) ++changes;
        if (r.decode_code != kRigDecodeOk || !r.doc) ++bad;
        for (int s = 0; r.doc && s < kRigScenes; ++s)
          for (int i = 0; i < r.doc->scenes[s].channel_count; ++i)
            if (!plausible_gain(r.doc->scenes[s].channels[i].gain)) ++bad;
      }
    }
  };

  const int64_t end = mono_ns() + int64_t(seconds * 1e9);
  for (long n = 1; mono_ns() < end; ++n) {
    const int scene = int(n % kRigScenes);
    const int input = first + int((n / kRigScenes) % count);
    RigChannel& c = doc->scenes[scene].channels[input];
    c.gain = gain_for(n);
    c.pan = pan_for(n);
    RigChanges masks{};
    masks.input[scene][input] = kRigInputGain | kRigInputPan;
    masks.any = true;
    if (rig_store_save(store, doc, masks) == 0) ++failed;
    drain();
    sleep_ms(kEditMs);
  }
  // The last word on our own inputs, then everything collected.
  RigChanges all{};
  for (int s = 0; s < kRigScenes; ++s)
    for (int i = first; i < first + count; ++i) all.input[s][i] = kRigInputGain | kRigInputPan;
  all.any = true;
  if (rig_store_save(store, doc, all) == 0) ++failed;
  rig_store_wait_idle(store, 10000);
  drain();
  // A change of the other's shows only where the watch reads the file between its save and ours,
  // which a starved machine can miss for a whole run: quiet now, the other's next save shows.
  for (int64_t until = mono_ns() + int64_t(10e9); changes == 0 && mono_ns() < until;) {
    sleep_ms(kEditMs);
    drain();
  }

  printf("saved %ld\nfailed %ld\nchanges %ld\nbad %ld\n", saved, failed, changes, bad);
  for (int s = 0; s < kRigScenes; ++s)
    for (int i = first; i < first + count; ++i)
      printf("final %d %d %.9g %.9g\n", s, i, double(doc->scenes[s].channels[i].gain),
             double(doc->scenes[s].channels[i].pan));
  rig_store_close(store, 5000);
  rig_free(doc);
  free(doc);
  return failed == 0 && bad == 0 ? 0 : 1;
}
