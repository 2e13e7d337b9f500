// The channel layer's datagrams: what a hostile or broken peer may send (a rate of 0, NaN or past
// any real rate; 0 or more than 16 sample channels; more than 16 channels announced; truncated,
// padded or oversize datagrams; bad UTF-8 and control characters in names) is refused or made safe
// field by field.
#include <gtest/gtest.h>

#include <cmath>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "net/channel_wire.h"

namespace {

ChannelAnnounce announce_of(int count) {
  ChannelAnnounce a{};
  a.peer_id = 0x1122334455667788ull;
  strcpy(a.peer_name, "tolm \xC2\xB7 studio");
  a.count = count;
  for (int i = 0; i < count; ++i) {
    a.channels[i].id = 1000 + uint64_t(i);
    snprintf(a.channels[i].name, sizeof a.channels[i].name, "ch %d", i);
  }
  return a;
}

// An audio packet with any rate, channel count and frame count (the writer refuses wrong ones, so
// those fields are patched in), extra_bytes added to or taken from its end.
std::vector<uint8_t> audio_packet(double rate, int channels, int frames, int extra_bytes = 0) {
  ChannelAudio a{};
  a.channel_id = 77;
  a.sequence = 5;
  a.frame_index = 48000;
  a.time_us = 123456789;
  a.beat = 3.25;
  a.quantum = 4;
  a.tempo_bpm = 120;
  a.rate_hz = 48000;
  a.channels = 1;
  a.frames = 1;
  const size_t samples = size_t(std::max(frames, 0)) * size_t(std::max(channels, 0));
  std::vector<uint8_t> p(size_t(kChannelAudioHeaderBytes) + 2 * samples + 16);
  const size_t head = channel_write_audio_header(p.data(), p.size(), a);
  EXPECT_EQ(head, size_t(kChannelAudioHeaderBytes));
  uint64_t bits;
  memcpy(&bits, &rate, 8);
  for (int i = 0; i < 8; ++i) p[58 + size_t(i)] = uint8_t(bits >> (56 - 8 * i));
  p[66] = uint8_t(channels);
  p[68] = uint8_t(frames >> 8), p[69] = uint8_t(frames);
  for (size_t i = 0; i < samples; ++i) p[head + 2 * i] = uint8_t(i), p[head + 2 * i + 1] = uint8_t(0x80 | i);
  p.resize(size_t(std::max<long>(0, long(head + 2 * samples) + extra_bytes)));
  return p;
}

}  // namespace

TEST(ChannelWire, HostileDatagramsAreRefusedOrMadeSafe) {
  ChannelPacket p{};
  // Rates: 0, negative, NaN, infinite, absurd; the edges of the accepted range.
  for (double rate : {0.0, -48000.0, std::nan(""), std::numeric_limits<double>::infinity(), 1e12, 999.0, 768001.0}) {
    const std::vector<uint8_t> a = audio_packet(rate, 2, 100);
    EXPECT_EQ(channel_parse(a.data(), a.size(), &p), kChannelBadField) << rate;
  }
  for (double rate : {1000.0, 768000.0}) {
    const std::vector<uint8_t> a = audio_packet(rate, 2, 100);
    EXPECT_EQ(channel_parse(a.data(), a.size(), &p), kChannelAudio) << rate;
  }
  // Sample channels: 0 and 17 refused, 1 and 16 taken.
  for (int ch : {0, 17}) {
    const std::vector<uint8_t> a = audio_packet(48000, ch, 10);
    EXPECT_EQ(channel_parse(a.data(), a.size(), &p), kChannelBadField) << ch;
  }
  EXPECT_LT(channel_parse(audio_packet(48000, 255, 2).data(), audio_packet(48000, 255, 2).size(), &p), 0);
  for (int ch : {1, 16}) {
    const std::vector<uint8_t> a = audio_packet(48000, ch, 10);
    EXPECT_EQ(channel_parse(a.data(), a.size(), &p), kChannelAudio) << ch;
  }
  // Zero frames; a sample short; a byte over; more frames than a datagram holds; header only.
  {
    std::vector<uint8_t> a = audio_packet(48000, 2, 0);
    EXPECT_NE(channel_parse(a.data(), a.size(), &p), kChannelAudio);
    a = audio_packet(48000, 2, 100, -2);
    EXPECT_EQ(channel_parse(a.data(), a.size(), &p), kChannelBadSize);
    a = audio_packet(48000, 2, 100, 1);
    EXPECT_EQ(channel_parse(a.data(), a.size(), &p), kChannelBadSize);
    a = audio_packet(48000, 2, channel_packet_frames(2) + 1);
    EXPECT_EQ(channel_parse(a.data(), a.size(), &p), kChannelBadSize);
    EXPECT_EQ(channel_parse(a.data(), kChannelAudioHeaderBytes - 1, &p), kChannelBadSize);
  }
  // NaN in the session's beat, and a frame index past any real stream.
  {
    std::vector<uint8_t> a = audio_packet(48000, 2, 10);
    for (int i = 34; i < 42; ++i) a[size_t(i)] = 0xFF;
    EXPECT_EQ(channel_parse(a.data(), a.size(), &p), kChannelBadField);
    a = audio_packet(48000, 2, 10);
    a[18] = 0x7F;
    EXPECT_EQ(channel_parse(a.data(), a.size(), &p), kChannelBadField);
  }

  std::vector<uint8_t> buf(kChannelPacketBytes + 600);
  // Announcements: 17 channels (written by hand: the writer refuses), every cut of a good one,
  // bytes left over, a repeated channel id, an empty or zero-id channel.
  ChannelAnnounce a16 = announce_of(16);
  size_t n = channel_write_announce(buf.data(), buf.size(), a16);
  ASSERT_EQ(channel_parse(buf.data(), n, &p), kChannelAnnounce);
  {
    std::vector<uint8_t> more(buf.begin(), buf.begin() + long(n));
    const size_t count_at = 6 + 8 + 1 + strlen(a16.peer_name);
    more[count_at] = 17;
    const uint8_t extra[] = {0, 0, 0, 0, 0, 0, 0, 99, 2, 'h', 'i'};
    more.insert(more.end(), extra, extra + sizeof extra);
    EXPECT_EQ(channel_parse(more.data(), more.size(), &p), kChannelBadField);
    more[count_at] = 16;
    EXPECT_EQ(channel_parse(more.data(), more.size(), &p), kChannelBadSize);
  }
  for (size_t cut = 0; cut < n; ++cut) EXPECT_LT(channel_parse(buf.data(), cut, &p), 0) << cut;
  {
    ChannelAnnounce twice = announce_of(2);
    twice.channels[1].id = twice.channels[0].id;
    n = channel_write_announce(buf.data(), buf.size(), twice);
    EXPECT_EQ(channel_parse(buf.data(), n, &p), kChannelBadField);
    ChannelAnnounce empty_name = announce_of(1);
    empty_name.channels[0].name[0] = 0;
    n = channel_write_announce(buf.data(), buf.size(), empty_name);
    EXPECT_EQ(channel_parse(buf.data(), n, &p), kChannelBadField);
    EXPECT_EQ(channel_write_bye(buf.data(), buf.size(), 0), size_t(kChannelByeBytes));
    EXPECT_EQ(channel_parse(buf.data(), kChannelByeBytes, &p), kChannelBadField);
  }
  // Names: invalid UTF-8, a lone continuation byte, an overlong form and control characters
  // become U+FFFD; the rest of the name stays.
  {
    ChannelAnnounce bad = announce_of(1);
    strcpy(bad.peer_name, "a\xFF" "b\x80" "c\xC0\xAF" "d\x1B[2Je\x7F");
    strcpy(bad.channels[0].name, "\xE2\x82");  // cut short
    n = channel_write_announce(buf.data(), buf.size(), bad);
    ASSERT_EQ(channel_parse(buf.data(), n, &p), kChannelAnnounce);
    const std::string name = p.announce.peer_name;
    EXPECT_EQ(name.find('\x1B'), std::string::npos);
    EXPECT_EQ(name.find('\x7F'), std::string::npos);
    EXPECT_EQ(name.rfind("a\xEF\xBF\xBD" "b\xEF\xBF\xBD" "c", 0), 0u) << name;
    EXPECT_NE(name.find("[2Je"), std::string::npos);
    EXPECT_STREQ(p.announce.channels[0].name, "\xEF\xBF\xBD");
  }
  // Not ours: another magic, another version, an unknown type; an oversize datagram of ours.
  {
    n = channel_write_bye(buf.data(), buf.size(), 42);
    buf[0] = 'L';
    EXPECT_EQ(channel_parse(buf.data(), n, &p), kChannelBadMagic);
    n = channel_write_bye(buf.data(), buf.size(), 42);
    buf[4] = 2;
    EXPECT_EQ(channel_parse(buf.data(), n, &p), kChannelBadMagic);
    n = channel_write_bye(buf.data(), buf.size(), 42);
    buf[5] = 99;
    EXPECT_EQ(channel_parse(buf.data(), n, &p), kChannelBadMagic);
    n = channel_write_bye(buf.data(), buf.size(), 42);
    EXPECT_EQ(channel_parse(buf.data(), kChannelPacketBytes + 1, &p), kChannelBadSize);
    // Fixed-size kinds with a byte missing or over.
    n = channel_write_subscribe(buf.data(), buf.size(), 7, 0, 9);
    EXPECT_EQ(channel_parse(buf.data(), n - 1, &p), kChannelBadSize);
    EXPECT_EQ(channel_parse(buf.data(), n + 1, &p), kChannelBadSize);
    n = channel_write_challenge(buf.data(), buf.size(), 7, 0);
    EXPECT_EQ(channel_parse(buf.data(), n, &p), kChannelBadField);  // a challenge without a token
  }
}
