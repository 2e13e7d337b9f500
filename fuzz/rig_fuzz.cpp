// Arbitrary bytes as a rig file: the decoder never crashes, gives a known code with a message
// exactly when something was wrong, leaves every text field terminated and every number in range,
// and what it read encodes to a text that decodes and encodes again to the very same bytes.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "rig/rig_doc.h"

namespace {

struct DocFree {
  void operator()(RigDoc* d) const {
    rig_free(d);
    free(d);
  }
};
using Doc = std::unique_ptr<RigDoc, DocFree>;

Doc make_doc() {
  Doc d(static_cast<RigDoc*>(calloc(1, sizeof(RigDoc))));
  rig_reset(d.get());
  return d;
}

std::string encode(const RigDoc* d) {
  std::string out(rig_encode(d, nullptr, 0) + 1, '\0');
  out.resize(rig_encode(d, out.data(), out.size()));
  return out;
}

void check_ranges(const RigDoc* d) {
  if (d->version < 1 || d->rev < 0 || d->active_scene < 0 || d->active_scene > 3) abort();
  if (d->device.channels < 1 || d->device.channels > kRigMaxInputs) abort();
  if (d->app_scene_count < 0 || d->app_scene_count > kRigMaxAppScenes) abort();
  if (strnlen(d->key, sizeof d->key) == sizeof d->key) abort();
  for (const RigScene& s : d->scenes) {
    if (s.channel_count < 0 || s.channel_count > kRigMaxInputs || !s.id[0] || !s.glyph[0]) abort();
    if (!(s.master_gain >= 0 && s.master_gain <= kRigMaxGain) || !std::isfinite(s.updated_at)) abort();
    for (int i = 0; i < s.channel_count; ++i) {
      const RigChannel& c = s.channels[i];
      if (!(c.gain >= 0 && c.gain <= kRigMaxGain) || !(c.pan >= -1 && c.pan <= 1) || !c.id[0]) abort();
      if (c.link && i % 2 == 1) abort();
      if (strnlen(c.label, sizeof c.label) == sizeof c.label) abort();
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Doc doc = make_doc();
  char msg[200];
  const int code = rig_decode(reinterpret_cast<const char*>(data), size, doc.get(), msg, sizeof msg);
  if (code < kRigDecodeOk || code > kRigDecodeNoMemory) abort();
  if ((code == kRigDecodeOk) != (msg[0] == 0)) abort();
  if (code > kRigDecodeReadOnly) return 0;
  check_ranges(doc.get());
  const std::string once = encode(doc.get());
  if (once.size() > kRigMaxTextBytes) return 0;
  Doc again = make_doc();
  const int code2 = rig_decode(once.data(), once.size(), again.get(), msg, sizeof msg);
  if (code2 > kRigDecodeReadOnly || (code2 == kRigDecodeReadOnly) != (code == kRigDecodeReadOnly)) abort();
  if (encode(again.get()) != once) abort();
  Doc copy = make_doc();
  if (!rig_copy(copy.get(), again.get()) || encode(copy.get()) != once) abort();
  RigChanges diff;
  if (rig_diff(copy.get(), again.get(), &diff)) abort();
  return 0;
}
