// The channel layer's datagrams. Header integers are big-endian, doubles travel as the big-endian
// bits of IEEE 754 binary64, samples as signed 16-bit little-endian. A parser that reads a field
// has checked first that the datagram holds it.
#include "net/channel_wire.h"

#include <cmath>
#include <cstring>

#include "kit/json.h"

namespace {

constexpr uint8_t kMagic[4] = {'t', 'z', 'c', 'h'};
constexpr uint8_t kVersion = 1;
constexpr int kNameMax = kChannelNameBytes - 1;

void put_be16(uint8_t* p, uint16_t v) {
  p[0] = uint8_t(v >> 8);
  p[1] = uint8_t(v);
}
void put_be32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (24 - 8 * i));
}
void put_be64(uint8_t* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = uint8_t(v >> (56 - 8 * i));
}
void put_double(uint8_t* p, double d) {
  uint64_t v;
  memcpy(&v, &d, 8);
  put_be64(p, v);
}
uint16_t get_be16(const uint8_t* p) { return uint16_t(p[0] << 8 | p[1]); }
uint32_t get_be32(const uint8_t* p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}
uint64_t get_be64(const uint8_t* p) {
  uint64_t v = 0;
  for (int i = 0; i < 8; ++i) v = v << 8 | p[i];
  return v;
}
double get_double(const uint8_t* p) {
  const uint64_t v = get_be64(p);
  double d;
  memcpy(&d, &v, 8);
  return d;
}

size_t put_header(uint8_t* out, uint8_t type) {
  memcpy(out, kMagic, 4);
  out[4] = kVersion;
  out[5] = type;
  return kChannelHeaderBytes;
}

// The bytes of a name as sent: at most 63, cut before a character that does not fit.
size_t name_bytes(const char* name) {
  size_t n = strnlen(name, kNameMax + 1);
  if (n > size_t(kNameMax)) {
    n = kNameMax;
    while (n > 0 && (uint8_t(name[n]) & 0xC0) == 0x80) --n;
  }
  return n;
}

// A name from the wire: 1..63 bytes; control characters and invalid UTF-8 become U+FFFD.
bool take_name(const uint8_t* src, size_t n, char out[kChannelNameBytes]) {
  if (n == 0 || n > size_t(kNameMax)) return false;
  char raw[kNameMax];
  for (size_t i = 0; i < n; ++i) {
    const uint8_t c = src[i];
    raw[i] = char(c < 0x20 || c == 0x7F ? 0xFF : c);  // 0xFF is never valid: it is replaced below
  }
  utf8_copy_valid(out, kChannelNameBytes, raw, n, nullptr);
  return out[0] != 0;
}

// Reads a length-prefixed name at *at, moving *at past it. 0 or a parse code.
int read_name(const uint8_t* data, size_t bytes, size_t* at, char out[kChannelNameBytes]) {
  if (*at >= bytes) return kChannelBadSize;
  const size_t n = data[*at];
  if (bytes - *at - 1 < n) return kChannelBadSize;
  if (!take_name(data + *at + 1, n, out)) return kChannelBadField;
  *at += 1 + n;
  return 0;
}

size_t write_name(uint8_t* out, size_t at, const char* name) {
  const size_t n = name_bytes(name);
  out[at] = uint8_t(n);
  memcpy(out + at + 1, name, n);
  return at + 1 + n;
}

int parse_announce(const uint8_t* data, size_t bytes, ChannelAnnounce* a) {
  // Every read is preceded by a check that the datagram holds it.
  if (bytes < size_t(kChannelHeaderBytes) + 8) return kChannelBadSize;
  a->peer_id = get_be64(data + 6);
  size_t at = 14;
  if (const int r = read_name(data, bytes, &at, a->peer_name)) return r;
  if (at >= bytes) return kChannelBadSize;
  const int count = data[at++];
  if (count > kChannelMaxPerPeer) return kChannelBadField;
  a->count = 0;
  for (int i = 0; i < count; ++i) {
    if (bytes - at < 8) return kChannelBadSize;
    ChannelAnnounceEntry& e = a->channels[i];
    e.id = get_be64(data + at);
    at += 8;
    if (const int r = read_name(data, bytes, &at, e.name)) return r;
    if (e.id == 0) return kChannelBadField;
    for (int j = 0; j < i; ++j)
      if (a->channels[j].id == e.id) return kChannelBadField;
    a->count = i + 1;
  }
  if (at != bytes) return kChannelBadSize;
  if (a->peer_id == 0) return kChannelBadField;
  return kChannelAnnounce;
}

int parse_audio(const uint8_t* data, size_t bytes, ChannelAudio* a) {
  if (bytes < size_t(kChannelAudioHeaderBytes)) return kChannelBadSize;
  a->channel_id = get_be64(data + 6);
  a->sequence = get_be32(data + 14);
  const uint64_t index = get_be64(data + 18);
  a->time_us = int64_t(get_be64(data + 26));
  a->beat = get_double(data + 34);
  a->quantum = get_double(data + 42);
  a->tempo_bpm = get_double(data + 50);
  a->rate_hz = get_double(data + 58);
  a->channels = data[66];
  a->frames = get_be16(data + 68);
  a->samples = data + kChannelAudioHeaderBytes;
  if (a->channels < 1 || a->channels > kChannelMaxSampleChannels || a->frames < 1) return kChannelBadField;
  if (bytes != size_t(kChannelAudioHeaderBytes) + size_t(a->frames) * size_t(a->channels) * 2) return kChannelBadSize;
  // NaN fails every comparison, so it is refused along with 0, negatives and absurd rates.
  if (!(a->rate_hz >= kChannelMinRateHz && a->rate_hz <= kChannelMaxRateHz)) return kChannelBadField;
  if (!std::isfinite(a->beat) || !std::isfinite(a->quantum) || !std::isfinite(a->tempo_bpm)) return kChannelBadField;
  if (a->channel_id == 0 || index > (uint64_t(1) << 62)) return kChannelBadField;
  a->frame_index = int64_t(index);
  return kChannelAudio;
}

}  // namespace

int channel_parse(const uint8_t* data, size_t bytes, ChannelPacket* out) {
  if (bytes < size_t(kChannelHeaderBytes) || memcmp(data, kMagic, 4) != 0 || data[4] != kVersion)
    return kChannelBadMagic;
  if (bytes > size_t(kChannelPacketBytes)) return kChannelBadSize;
  out->type = data[5];
  switch (data[5]) {
    case kChannelAnnounce:
      return parse_announce(data, bytes, &out->announce);
    case kChannelBye:
      if (bytes != size_t(kChannelByeBytes)) return kChannelBadSize;
      out->peer_id = get_be64(data + 6);
      return out->peer_id ? kChannelBye : kChannelBadField;
    case kChannelSubscribe:
      if (bytes != size_t(kChannelSubscribeBytes)) return kChannelBadSize;
      out->channel_id = get_be64(data + 6);
      out->token = get_be64(data + 14);
      out->peer_id = get_be64(data + 22);
      return out->channel_id ? kChannelSubscribe : kChannelBadField;
    case kChannelChallenge:
    case kChannelLeave:
      if (bytes != size_t(kChannelChallengeBytes)) return kChannelBadSize;
      out->channel_id = get_be64(data + 6);
      out->token = get_be64(data + 14);
      return out->channel_id && out->token ? int(data[5]) : kChannelBadField;
    case kChannelAudio:
      return parse_audio(data, bytes, &out->audio);
    default:
      return kChannelBadMagic;
  }
}

size_t channel_write_announce(uint8_t* out, size_t cap, const ChannelAnnounce& a) {
  if (a.peer_id == 0 || a.count < 0 || a.count > kChannelMaxPerPeer) return 0;
  // The largest announcement fits in one datagram: 14 + 64 + 1 + 16 × 72 = 1,231 bytes.
  static_assert(kChannelHeaderBytes + 8 + 1 + kNameMax + 1 + kChannelMaxPerPeer * (8 + 1 + kNameMax) <=
                kChannelPacketBytes);
  if (cap < size_t(kChannelPacketBytes)) return 0;
  size_t at = put_header(out, kChannelAnnounce);
  put_be64(out + at, a.peer_id);
  at = write_name(out, at + 8, a.peer_name);
  out[at++] = uint8_t(a.count);
  for (int i = 0; i < a.count; ++i) {
    if (a.channels[i].id == 0) return 0;
    put_be64(out + at, a.channels[i].id);
    at = write_name(out, at + 8, a.channels[i].name);
  }
  return at;
}

size_t channel_write_bye(uint8_t* out, size_t cap, uint64_t peer_id) {
  if (cap < size_t(kChannelByeBytes)) return 0;
  put_header(out, kChannelBye);
  put_be64(out + 6, peer_id);
  return kChannelByeBytes;
}

size_t channel_write_subscribe(uint8_t* out, size_t cap, uint64_t channel_id, uint64_t token, uint64_t peer_id) {
  if (cap < size_t(kChannelSubscribeBytes)) return 0;
  put_header(out, kChannelSubscribe);
  put_be64(out + 6, channel_id);
  put_be64(out + 14, token);
  put_be64(out + 22, peer_id);
  put_be16(out + 30, 0);
  return kChannelSubscribeBytes;
}

static size_t write_id_token(uint8_t* out, size_t cap, uint8_t type, uint64_t channel_id, uint64_t token) {
  if (cap < size_t(kChannelChallengeBytes)) return 0;
  put_header(out, type);
  put_be64(out + 6, channel_id);
  put_be64(out + 14, token);
  return kChannelChallengeBytes;
}

size_t channel_write_challenge(uint8_t* out, size_t cap, uint64_t channel_id, uint64_t token) {
  return write_id_token(out, cap, kChannelChallenge, channel_id, token);
}

size_t channel_write_leave(uint8_t* out, size_t cap, uint64_t channel_id, uint64_t token) {
  return write_id_token(out, cap, kChannelLeave, channel_id, token);
}

size_t channel_write_audio_header(uint8_t* out, size_t cap, const ChannelAudio& a) {
  if (a.channels < 1 || a.channels > kChannelMaxSampleChannels || a.frames < 1 ||
      a.frames > channel_packet_frames(a.channels) || cap < size_t(kChannelAudioHeaderBytes))
    return 0;
  put_header(out, kChannelAudio);
  put_be64(out + 6, a.channel_id);
  put_be32(out + 14, a.sequence);
  put_be64(out + 18, uint64_t(a.frame_index));
  put_be64(out + 26, uint64_t(a.time_us));
  put_double(out + 34, a.beat);
  put_double(out + 42, a.quantum);
  put_double(out + 50, a.tempo_bpm);
  put_double(out + 58, a.rate_hz);
  out[66] = uint8_t(a.channels);
  out[67] = 0;
  put_be16(out + 68, uint16_t(a.frames));
  return kChannelAudioHeaderBytes;
}
