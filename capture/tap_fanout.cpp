// The output tap fan-out. The entry and exit counter is sequentially consistent with the slot
// stores, so a remover that clears a slot and then sees an even count (or a count that moved on)
// knows no call can still hold the old receiver.
#include "capture/tap_fanout.h"

#include "platform/clock.h"

void tap_fanout_init(TapFanout* f) {
  for (auto& s : f->slots) s.store(nullptr);
  f->calls.store(0);
  f->tap = OutputTap{tap_fanout_run, f};
}

int tap_fanout_add(TapFanout* f, const OutputTap* receiver) {
  if (!receiver) return -1;
  for (auto& s : f->slots)
    if (s.load() == receiver) return -1;
  for (auto& s : f->slots) {
    if (s.load() == nullptr) {
      s.store(receiver);
      return 0;
    }
  }
  return -1;
}

void tap_fanout_remove(TapFanout* f, const OutputTap* receiver) {
  bool found = false;
  for (auto& s : f->slots) {
    if (s.load() == receiver) {
      s.store(nullptr);
      found = true;
    }
  }
  if (!found) return;
  const uint64_t seen = f->calls.load();
  if ((seen & 1) == 0) return;
  while (f->calls.load() == seen) sleep_ms(1);
}

void tap_fanout_run(void* fanout, const float* stereo, int frames, int rate) {
  TapFanout* f = static_cast<TapFanout*>(fanout);
  f->calls.fetch_add(1);
  for (auto& s : f->slots) {
    const OutputTap* r = s.load();
    if (r) r->fn(r->ctx, stereo, frames, rate);
  }
  f->calls.fetch_add(1);
}
