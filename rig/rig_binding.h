// Joins the device engine's streams to a rig keeper: each stream that opens starts the keeper's
// mixer on the stream's default layout, plugs the mixer into the capture routine and binds the
// keeper to the stream's device. Main thread (the engine binds while it opens a stream, before
// the stream starts).
#pragma once
#include "capture/device.h"
#include "capture/engine.h"
#include "rig/rig_keeper.h"

struct RigBinding {
  MixerBinding binding;  // what engine_set_mixer_binding takes
  InputsMixer mixer;     // what the capture routine runs
  RigKeeper* keeper;
};

// Fills the records; then engine_set_mixer_binding(e, &b->binding), before engine_create. The
// binding must outlive the engine's streams.
void rig_binding_init(RigBinding* b, RigKeeper* keeper);
// The keeper's description of a stream the engine reports (sanitised, with its key).
void rig_stream_from_mixer(const MixerStream& s, RigStream* out);
