// The channel layer against peers played by hand from other loopback addresses: a publisher sends
// audio only to an address that echoed the token it was sent there (a subscribe naming another
// host's token is answered with that sender's own challenge, never with audio), keeps at most
// eight listeners and forgets the silent ones; a listener takes audio only from its channel's
// publisher, refuses every broken packet of a hostile one field by field, fills lost frames with
// silence and drops late ones; hostile announcements leave the list as it was, and a peer
// leaves by its own goodbye or by falling silent, not by another's. Root only, inside a
// loopback-only network namespace.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "tests/net/link_fixture.h"
#include "tests/net/station_fixture.h"

namespace {

const ChannelNetConfig kConfig{kTestChannelPort, 0};

int type_of(const std::vector<uint8_t>& d, ChannelPacket* p) {
  return d.empty() ? -100 : channel_parse(d.data(), d.size(), p);
}

// A listener played by hand: asks, takes the token from the challenge, subscribes with it.
struct HandListener {
  RawPeer peer;
  uint64_t token = 0;
  explicit HandListener(const char* ip) : peer(ip) {}
  void subscribe(uint64_t channel, const sockaddr_in& to, uint64_t with) const {
    uint8_t d[kChannelSubscribeBytes];
    peer.send(d, channel_write_subscribe(d, sizeof d, channel, with, 1234), to);
  }
  // The challenge for a subscribe with token `with`; 0 when none came.
  uint64_t challenge(uint64_t channel, const sockaddr_in& to, uint64_t with) const {
    subscribe(channel, to, with);
    ChannelPacket p;
    const int64_t end = mono_ns() + 300000000;
    while (mono_ns() < end) {
      const std::vector<uint8_t> d = peer.receive(50);
      if (type_of(d, &p) == kChannelChallenge && p.channel_id == channel) return p.token;
    }
    return 0;
  }
  bool join(uint64_t channel, const sockaddr_in& to) {
    token = challenge(channel, to, 0);
    if (token) subscribe(channel, to, token);
    return token != 0;
  }
  // Audio packets for `channel` that arrive within ms.
  int audio_within(int ms, uint64_t channel) const {
    int n = 0;
    ChannelPacket p;
    for (const auto& d : peer.drain(ms)) n += type_of(d, &p) == kChannelAudio && p.audio.channel_id == channel;
    return n;
  }
};

// A sink fed 256-frame stereo blocks in real time.
struct Feeder {
  ChannelSink* sink;
  std::atomic<int> run{1};
  std::thread t;
  explicit Feeder(ChannelSink* s) : sink(s) {
    t = std::thread([this] {
      int64_t n = 0, sent = 0;  // sent: frames published, which is what the frame index counts
      const int64_t start = mono_ns();
      while (run.load()) {
        if (int16_t* buf = channel_sink_retain(sink)) {
          for (int i = 0; i < 512; ++i) buf[i] = int16_t(sent + i / 2);
          if (channel_sink_commit(sink, 256, 2, 48000, ChannelTiming{0, 0, 4, 120})) sent += 256;
        }
        n += 256;
        const int64_t due = start + n * 1000000000 / 48000;
        while (mono_ns() < due) sleep_ms(1);
      }
    });
  }
  ~Feeder() {
    run = 0;
    t.join();
  }
};

// Calls fn every period_ms on a thread of its own while it lives.
struct Repeat {
  std::atomic<int> run{1};
  std::thread t;
  Repeat(std::function<void()> fn, int period_ms) {
    t = std::thread([this, fn, period_ms] {
      while (run.load()) {
        fn();
        sleep_ms(period_ms);
      }
    });
  }
  ~Repeat() {
    run = 0;
    t.join();
  }
};

}  // namespace

TEST(ChannelNet, AudioGoesOnlyToAnAddressThatAskedFromItselfToEightListenersAtMost) {
  LINK_TEST_GUARD();
  ChannelNet* a = channel_net_create("pub", &kConfig);
  ASSERT_EQ(channel_net_enable(a, true, nullptr, 0), 0);
  ChannelSink* sink = channel_sink_create(a, "main", 1024);
  const uint64_t id = channel_sink_id(sink);
  const sockaddr_in to = loopback(channel_net_audio_port(a));
  Feeder feed(sink);

  // Asking gets a challenge no larger than the request, and no audio.
  HandListener x2("127.0.0.2"), x3("127.0.0.3");
  const uint64_t t2 = x2.challenge(id, to, 0);
  ASSERT_NE(t2, 0u);
  EXPECT_EQ(x2.audio_within(300, id), 0);
  // Another host's token names 127.0.0.2 as the receiver: the sender gets its own challenge, and
  // neither address gets audio.
  const uint64_t t3 = x3.challenge(id, to, t2);
  EXPECT_NE(t3, 0u);
  EXPECT_NE(t3, t2);
  EXPECT_EQ(x2.audio_within(300, id), 0);
  EXPECT_EQ(x3.audio_within(1, id), 0);
  // A channel that is not here: not a word back.
  x2.subscribe(id + 1, to, 0);
  EXPECT_TRUE(x2.peer.drain(200).empty());
  // The token back from where it was sent: audio, one packet a block, as published.
  x2.subscribe(id, to, t2);
  {
    ChannelPacket p;
    std::vector<uint8_t> d;
    for (int i = 0; i < 20 && type_of(d, &p) != kChannelAudio; ++i) d = x2.peer.receive(500);
    ASSERT_EQ(type_of(d, &p), kChannelAudio);
    EXPECT_EQ(p.audio.channel_id, id);
    EXPECT_EQ(p.audio.channels, 2);
    EXPECT_EQ(p.audio.frames, 256);
    EXPECT_EQ(p.audio.rate_hz, 48000.0);
    const int16_t first = int16_t(p.audio.samples[0] | p.audio.samples[1] << 8);
    EXPECT_EQ(first, int16_t(p.audio.frame_index));
  }

  // Eight listeners at most: seven more join, the ninth is turned away (and told nothing more).
  std::vector<std::unique_ptr<HandListener>> more;
  for (int i = 10; i <= 17; ++i) more.push_back(std::make_unique<HandListener>(("127.0.0." + std::to_string(i)).c_str()));
  for (auto& h : more) ASSERT_TRUE(h->join(id, to));
  const auto keep_alive = [&](bool with_x2) {
    if (with_x2) x2.subscribe(id, to, t2);
    for (size_t i = 0; i + 1 < more.size(); ++i) more[i]->subscribe(id, to, more[i]->token);
  };
  keep_alive(true);
  EXPECT_GT(more[0]->audio_within(200, id), 10);
  EXPECT_GT(more[6]->audio_within(20, id), 10);
  EXPECT_EQ(more[7]->audio_within(20, id), 0);
  EXPECT_GE(channel_net_stats(a).refused_listeners, 1);
  EXPECT_EQ(channel_sink_listeners(sink), 8);
  EXPECT_TRUE(log_has("link: 'main' already has 8 listeners - 127.0.0.17 turned away"));

  // 127.0.0.2 falls silent: after a second it is forgotten, and the ninth finds room.
  for (int i = 0; i < 6; ++i) {
    keep_alive(false);
    sleep_ms(250);
  }
  x2.peer.drain(50);
  EXPECT_EQ(x2.audio_within(300, id), 0);
  EXPECT_EQ(channel_sink_listeners(sink), 7);
  more[7]->subscribe(id, to, more[7]->token);
  keep_alive(false);
  EXPECT_GT(more[7]->audio_within(300, id), 10);

  // Leaving with the token stops the audio at once; without it, nothing happens.
  keep_alive(false);
  uint8_t leave[kChannelLeaveBytes];
  more[1]->peer.send(leave, channel_write_leave(leave, sizeof leave, id, more[1]->token ^ 1), to);
  more[0]->peer.send(leave, channel_write_leave(leave, sizeof leave, id, more[0]->token), to);
  // Once the sink has let it go, what was already on its way is drained: until 50 ms pass without
  // a packet (a starved machine sends its backlog late), for 2 s at most.
  for (int t = 0; t < 5000 && channel_sink_listeners(sink) != 7; t += 5) sleep_ms(5);
  EXPECT_EQ(channel_sink_listeners(sink), 7);
  for (int t = 0; t < 40 && more[0]->audio_within(50, id) > 0; ++t) {
  }
  more[1]->peer.drain(20);
  EXPECT_EQ(more[0]->audio_within(200, id), 0);
  EXPECT_GT(more[1]->audio_within(200, id), 5);

  feed.run = 0;
  channel_sink_destroy(sink);
  channel_net_destroy(a);
}

TEST(ChannelNet, AListenerRefusesHostilePeersAndTakesAudioOnlyFromItsPublisher) {
  LINK_TEST_GUARD();
  ChannelNet* b = channel_net_create("ear", &kConfig);
  std::atomic<int> changes{0};
  channel_net_set_changed_callback(b, [](void* c) { ++*static_cast<std::atomic<int>*>(c); }, &changes);
  ASSERT_EQ(channel_net_enable(b, true, nullptr, 0), 0);
  const sockaddr_in to_b = loopback(channel_net_audio_port(b));

  // A publisher played by hand at 127.0.0.4 with a name that is not UTF-8.
  RawPeer f("127.0.0.4");
  ChannelAnnounce an{};
  an.peer_id = 0xF00D;
  strcpy(an.peer_name, "evil\xFF\x1B");
  an.count = 1;
  an.channels[0].id = 555;
  strcpy(an.channels[0].name, "one");
  uint8_t buf[2048];
  // It announces itself every 300 ms until it says goodbye.
  const auto announce = [&] {
    uint8_t a[kChannelPacketBytes];
    f.send_group(a, channel_write_announce(a, sizeof a, an), kTestChannelPort);
  };
  auto announcer = std::make_unique<Repeat>(announce, 300);
  ChannelInfo list[20];
  ASSERT_TRUE(eventually([&] { return channel_net_channels(b, list, 20) == 1; }));
  EXPECT_STREQ(list[0].peer_name, "evil\xEF\xBF\xBD\xEF\xBF\xBD");
  EXPECT_STREQ(list[0].name, "one");
  EXPECT_GE(changes.load(), 1);

  // Hostile announcements from 127.0.0.6: 17 channels, cut short, oversize. The list stays.
  {
    RawPeer h("127.0.0.6");
    ChannelAnnounce many{};
    many.peer_id = 0xBAD;
    strcpy(many.peer_name, "many");
    many.count = 16;
    for (int i = 0; i < 16; ++i) many.channels[i].id = 900 + uint64_t(i), strcpy(many.channels[i].name, "x");
    size_t n = channel_write_announce(buf, sizeof buf, many);
    const size_t count_at = 6 + 8 + 1 + 4;
    buf[count_at] = 17;
    const uint8_t extra[] = {0, 0, 0, 0, 0, 0, 0, 99, 1, 'y'};
    memcpy(buf + n, extra, sizeof extra);
    const int64_t rejected = channel_net_stats(b).rejected;
    h.send_group(buf, n + sizeof extra, kTestChannelPort);
    buf[count_at] = 16;
    h.send_group(buf, n - 3, kTestChannelPort);
    std::vector<uint8_t> big(1500, 0);
    memcpy(big.data(), buf, n);
    h.send_group(big.data(), big.size(), kTestChannelPort);
    ASSERT_TRUE(eventually([&] { return channel_net_stats(b).rejected >= rejected + 3; }));
    EXPECT_GE(channel_net_stats(b).oversize, 1);
    sleep_ms(100);
    EXPECT_EQ(channel_net_channels(b, list, 20), 1);
  }

  // B listens to channel 555: it asks, is challenged, subscribes with the token.
  struct Heard {
    std::mutex mu;
    std::vector<ChannelBlock> blocks;
    std::vector<int16_t> samples;
  } heard;
  ChannelSource* src = channel_source_open(b, 555, [](void* c, const ChannelBlock& blk) {
    Heard* h = static_cast<Heard*>(c);
    std::lock_guard<std::mutex> lock(h->mu);
    h->blocks.push_back(blk);
    h->samples.insert(h->samples.end(), blk.samples, blk.samples + blk.frames * blk.channels);
  }, &heard);
  ASSERT_NE(src, nullptr);
  ChannelPacket p;
  sockaddr_in from{};
  std::vector<uint8_t> d;
  for (int i = 0; i < 10 && type_of(d, &p) != kChannelSubscribe; ++i) d = f.receive(500, &from);
  ASSERT_EQ(type_of(d, &p), kChannelSubscribe);
  EXPECT_EQ(p.channel_id, 555u);
  EXPECT_EQ(p.token, 0u);
  EXPECT_EQ(ntohs(from.sin_port), ntohs(to_b.sin_port));
  f.send(buf, channel_write_challenge(buf, sizeof buf, 555, 0x5EC), to_b);
  d = f.receive(500);
  ASSERT_EQ(type_of(d, &p), kChannelSubscribe);
  EXPECT_EQ(p.token, 0x5ECu);

  // Broken audio from the publisher: none of it reaches the callback.
  const auto audio = [&](int64_t index, double rate, int channels, int frames, int cut = 0) {
    ChannelAudio h{};
    h.channel_id = 555, h.frame_index = index, h.quantum = 4, h.tempo_bpm = 120, h.rate_hz = 48000;
    h.channels = 1, h.frames = 1;
    channel_write_audio_header(buf, sizeof buf, h);
    uint64_t bits;
    memcpy(&bits, &rate, 8);
    for (int i = 0; i < 8; ++i) buf[58 + i] = uint8_t(bits >> (56 - 8 * i));
    buf[66] = uint8_t(channels);
    buf[68] = uint8_t(frames >> 8), buf[69] = uint8_t(frames);
    const int samples = std::max(0, frames * channels);
    for (int i = 0; i < samples && 70 + 2 * i + 1 < int(sizeof buf); ++i) {
      const int16_t v = int16_t(index * channels + i);
      buf[70 + 2 * i] = uint8_t(v), buf[70 + 2 * i + 1] = uint8_t(uint16_t(v) >> 8);
    }
    return size_t(std::min<int>(int(sizeof buf), 70 + 2 * samples - cut));
  };
  const int64_t rejected = channel_net_stats(b).rejected;
  f.send(buf, audio(0, 0.0, 2, 100), to_b);
  f.send(buf, audio(0, std::nan(""), 2, 100), to_b);
  f.send(buf, audio(0, 1e12, 2, 100), to_b);
  f.send(buf, audio(0, 48000, 0, 100), to_b);
  f.send(buf, audio(0, 48000, 17, 10), to_b);
  f.send(buf, audio(0, 48000, 2, 100, 3), to_b);
  f.send(buf, audio(0, 48000, 2, 400), to_b);  // 1,670 bytes: oversize
  ASSERT_TRUE(eventually([&] { return channel_net_stats(b).rejected >= rejected + 7; }));
  {
    std::lock_guard<std::mutex> lock(heard.mu);
    EXPECT_TRUE(heard.blocks.empty());
  }
  // Good audio from someone else for the same channel: not taken.
  RawPeer g("127.0.0.5");
  g.send(buf, audio(0, 48000, 2, 100), to_b);
  ASSERT_TRUE(eventually([&] { return channel_net_stats(b).foreign_audio >= 1; }));

  // Good audio from the publisher, mono, with a packet lost and one arriving late.
  f.send(buf, audio(0, 44100, 1, 100), to_b);
  f.send(buf, audio(200, 44100, 1, 100), to_b);
  f.send(buf, audio(100, 44100, 1, 100), to_b);
  f.send(buf, audio(300, 44100, 1, 100), to_b);
  ASSERT_TRUE(eventually([&] { return channel_net_stats(b).blocks_delivered >= 4; }));
  sleep_ms(50);
  {
    std::lock_guard<std::mutex> lock(heard.mu);
    ASSERT_EQ(heard.blocks.size(), 4u);
    EXPECT_FALSE(heard.blocks[0].gap);
    EXPECT_TRUE(heard.blocks[1].gap);
    EXPECT_EQ(heard.blocks[1].frame_index, 100);
    EXPECT_EQ(heard.blocks[1].frames, 100);
    EXPECT_EQ(heard.blocks[2].frame_index, 200);
    EXPECT_EQ(heard.blocks[3].frame_index, 300);
    EXPECT_EQ(heard.blocks[3].rate_hz, 44100.0);
    EXPECT_EQ(heard.blocks[3].channels, 1);
    ASSERT_EQ(heard.samples.size(), 400u);
    for (int i = 0; i < 400; ++i) EXPECT_EQ(heard.samples[size_t(i)], i >= 100 && i < 200 ? 0 : i) << i;
  }
  EXPECT_EQ(channel_net_stats(b).gap_frames, 100);

  // A goodbye from another address does not end the peer; its own does; and once closed, the
  // source hears nothing more.
  g.send_group(buf, channel_write_bye(buf, sizeof buf, 0xF00D), kTestChannelPort);
  sleep_ms(100);
  EXPECT_EQ(channel_net_channels(b, list, 20), 1);
  announcer.reset();
  f.send_group(buf, channel_write_bye(buf, sizeof buf, 0xF00D), kTestChannelPort);
  EXPECT_TRUE(eventually([&] { return channel_net_channels(b, list, 20) == 0; }));
  channel_source_close(src);
  const int64_t delivered = channel_net_stats(b).blocks_delivered;
  f.send(buf, audio(400, 44100, 1, 100), to_b);
  sleep_ms(100);
  EXPECT_EQ(channel_net_stats(b).blocks_delivered, delivered);

  // A peer that falls silent is gone after two seconds.
  announce();
  ASSERT_TRUE(eventually([&] { return channel_net_channels(b, list, 20) == 1; }));
  EXPECT_TRUE(eventually([&] { return channel_net_channels(b, list, 20) == 0; }, 4000));

  channel_net_destroy(b);
}
