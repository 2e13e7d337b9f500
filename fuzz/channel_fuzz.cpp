// Arbitrary datagrams from the local network: the channel layer's parser never reads past what
// arrived, and whatever it accepts is safe to use as it is (counts and rates in range, samples
// inside the datagram, names of valid UTF-8 without control characters), and is written back
// into a datagram the parser accepts again.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "kit/json.h"
#include "net/channel_wire.h"

namespace {

void check_name(const char* name) {
  const size_t n = strnlen(name, kChannelNameBytes);
  if (n == 0 || n >= size_t(kChannelNameBytes)) abort();
  for (size_t i = 0; i < n; ++i)
    if (uint8_t(name[i]) < 0x20 || name[i] == 0x7F) abort();
  char copy[kChannelNameBytes];
  int bad = 0;
  utf8_copy_valid(copy, sizeof copy, name, n, &bad);
  if (bad != 0 || strcmp(copy, name) != 0) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A copy of exactly the datagram's size, so reading one byte past it is caught.
  std::vector<uint8_t> datagram(data, data + size);
  ChannelPacket p{};
  const int type = channel_parse(datagram.data(), datagram.size(), &p);
  if (type < 0) return 0;
  if (size > size_t(kChannelPacketBytes)) abort();
  uint8_t again[kChannelPacketBytes];
  ChannelPacket q{};
  if (type == kChannelAnnounce) {
    const ChannelAnnounce& a = p.announce;
    if (a.peer_id == 0 || a.count < 0 || a.count > kChannelMaxPerPeer) abort();
    check_name(a.peer_name);
    for (int i = 0; i < a.count; ++i) {
      if (a.channels[i].id == 0) abort();
      check_name(a.channels[i].name);
    }
    const size_t n = channel_write_announce(again, sizeof again, a);
    if (n == 0 || channel_parse(again, n, &q) != kChannelAnnounce || q.announce.count != a.count) abort();
  } else if (type == kChannelAudio) {
    const ChannelAudio& a = p.audio;
    if (a.channels < 1 || a.channels > kChannelMaxSampleChannels || a.frames < 1) abort();
    if (!(a.rate_hz >= kChannelMinRateHz && a.rate_hz <= kChannelMaxRateHz) || a.frame_index < 0) abort();
    const uint8_t* end = a.samples + size_t(a.frames) * size_t(a.channels) * 2;
    if (a.samples < datagram.data() || end != datagram.data() + size) abort();
    if (channel_write_audio_header(again, sizeof again, a) != size_t(kChannelAudioHeaderBytes)) abort();
  }
  return 0;
}
