// The device engine's mixer binding for the rig keeper.
#include "rig/rig_binding.h"

#include <cstring>

#include "platform/text.h"

static_assert(kInputNameBytes == kRigChannelNameBytes, "input names are copied whole");

namespace {

void bind_stream(void* ctx, CaptureEngine* e, const MixerStream& s) {
  RigBinding* b = static_cast<RigBinding*>(ctx);
  RigStream stream;
  rig_stream_from_mixer(s, &stream);
  RigMixMatrix start;
  rig_default_matrix(stream.api, stream.inputs, &start);
  rig_mixer_start(rig_keeper_mixer(b->keeper), stream.rate_hz, stream.inputs, rig_stream_tag(stream.key), &start);
  e->inputs_mixer.store(&b->mixer, std::memory_order_release);
  rig_keeper_bind(b->keeper, stream);
}

}  // namespace

void rig_binding_init(RigBinding* b, RigKeeper* keeper) {
  b->keeper = keeper;
  b->binding = MixerBinding{bind_stream, b};
  b->mixer = InputsMixer{rig_mixer_plugin, rig_keeper_mixer(keeper)};
}

void rig_stream_from_mixer(const MixerStream& s, RigStream* out) {
  memset(out, 0, sizeof *out);
  rig_api_name(s.host_api_type, out->api);
  text_copy(out->device, sizeof out->device, s.device ? s.device : "");
  out->inputs = s.opened_channels;
  out->device_inputs = s.device_channels;
  out->rate_hz = s.rate;
  for (int i = 0; s.input_names && i < s.opened_channels && i < kRigMaxInputs; ++i)
    memcpy(out->input_names[i], s.input_names[i], kRigChannelNameBytes);
  rig_stream_sanitize(out);
}
