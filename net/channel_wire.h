// The datagrams of the audio channel layer that instances of this program speak between them on
// the local network: announcements of a peer's name and channels (multicast, TTL 1), the
// subscribe/challenge handshake that proves a listener asked from its own address, and audio
// packets of 16-bit samples with the session's beat and time. Parsing validates every field, so
// what comes out of channel_parse can be used without further checks.
// Thread-safe: yes (pure functions). Realtime-safe: yes.
#pragma once
#include <cstddef>
#include <cstdint>

constexpr uint16_t kChannelPort = 47490;          // announcements (multicast)
constexpr uint32_t kChannelGroup = 0xEFFF4C5Au;   // 239.255.76.90, administratively scoped
constexpr int kChannelPacketBytes = 1400;         // every datagram, both ways
constexpr int kChannelNameBytes = 64;             // 63 bytes of UTF-8 and the terminator
constexpr int kChannelMaxPerPeer = 16;            // channels one announcement may carry
constexpr int kChannelMaxSampleChannels = 16;     // interleaved channels in an audio packet
constexpr double kChannelMinRateHz = 1000.0;
constexpr double kChannelMaxRateHz = 768000.0;
constexpr int kChannelHeaderBytes = 6;            // "tzch", version, type
constexpr int kChannelSubscribeBytes = 32;        // padded: a challenge is never larger than its request
constexpr int kChannelChallengeBytes = 22;
constexpr int kChannelLeaveBytes = 22;
constexpr int kChannelByeBytes = 14;
constexpr int kChannelAudioHeaderBytes = 70;
// Most frames one audio packet carries for a channel count.
constexpr int channel_packet_frames(int channels) {
  return (kChannelPacketBytes - kChannelAudioHeaderBytes) / (2 * channels);
}

enum ChannelPacketType : uint8_t {
  kChannelAnnounce = 1,   // peer → everyone (multicast): name and channels
  kChannelBye = 2,        // peer → everyone: leaving
  kChannelSubscribe = 3,  // listener → publisher: token 0 asks for a challenge, the echoed token subscribes
  kChannelChallenge = 4,  // publisher → listener: the token for that address
  kChannelAudio = 5,      // publisher → subscriber
  kChannelLeave = 6,      // listener → publisher: unsubscribe
};

// Parse results (negative: the datagram is dropped).
constexpr int kChannelBadMagic = -1;   // not ours, or another version
constexpr int kChannelBadSize = -2;    // truncated, oversize, or bytes left over
constexpr int kChannelBadField = -3;   // a count, rate, id or name out of range

struct ChannelAnnounceEntry {
  uint64_t id;                      // never 0
  char name[kChannelNameBytes];     // valid UTF-8, no control characters, never empty
};

struct ChannelAnnounce {
  uint64_t peer_id;                 // never 0
  char peer_name[kChannelNameBytes];
  int count;                        // 0..16
  ChannelAnnounceEntry channels[kChannelMaxPerPeer];
};

struct ChannelAudio {
  uint64_t channel_id;
  uint32_t sequence;                // per channel, from 0
  int64_t frame_index;              // first frame, counted from the channel's start (>= 0)
  int64_t time_us;                  // Link clock of the first frame at the publisher
  double beat, quantum, tempo_bpm;  // the session at time_us (finite; not otherwise checked)
  double rate_hz;                   // kChannelMinRateHz..kChannelMaxRateHz
  int channels;                     // 1..16
  int frames;                       // >= 1, exactly filling the packet
  const uint8_t* samples;           // frames × channels signed 16-bit little-endian, inside the datagram
};

struct ChannelPacket {
  int type;
  ChannelAnnounce announce;         // kChannelAnnounce
  uint64_t peer_id;                 // kChannelBye, kChannelSubscribe (the listener's)
  uint64_t channel_id;              // kChannelSubscribe, kChannelChallenge, kChannelLeave
  uint64_t token;                   // kChannelSubscribe, kChannelChallenge, kChannelLeave
  ChannelAudio audio;               // kChannelAudio
};

// Takes one datagram apart. Returns its type, or a negative code. Names are copied with invalid
// UTF-8 and control characters replaced by U+FFFD and cut on a character boundary.
int channel_parse(const uint8_t* data, size_t bytes, ChannelPacket* out);

// Writers: each returns the datagram's size, or 0 when it does not fit in cap or a field is out
// of range (names are cut to 63 bytes on a character boundary).
size_t channel_write_announce(uint8_t* out, size_t cap, const ChannelAnnounce& a);
size_t channel_write_bye(uint8_t* out, size_t cap, uint64_t peer_id);
size_t channel_write_subscribe(uint8_t* out, size_t cap, uint64_t channel_id, uint64_t token, uint64_t peer_id);
size_t channel_write_challenge(uint8_t* out, size_t cap, uint64_t channel_id, uint64_t token);
size_t channel_write_leave(uint8_t* out, size_t cap, uint64_t channel_id, uint64_t token);
// The header of an audio packet; the caller writes a.frames × a.channels samples after it.
size_t channel_write_audio_header(uint8_t* out, size_t cap, const ChannelAudio& a);
