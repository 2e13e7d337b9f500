// The station on loopback, heard by listeners that speak the wire format: the announce, the PCM and
// every header field of a known signal, silence, pauses, pongs ahead of audio, goodbye; a slow
// listener that loses only its own oldest messages; hostile peers (bad lengths, split and flooded
// messages, wrong magic, a ninth connection, connect-disconnect cycles) while a good listener's
// stream stays whole; the rate measurer and the resampler; the sid file; a busy port.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <thread>

#include "kit/json.h"
#include "net/dnssd.h"
#include "platform/file.h"
#include "platform/paths.h"
#include "tests/net/listener_client.h"
#include "tests/net/station_fixture.h"

namespace {

int16_t pcm(float x) {
  x = std::max(-1.0f, std::min(1.0f, x));
  return int16_t(x * 32767.0f);
}

// A stereo test signal: a sine on the left, a slower one on the right, some samples past full scale,
// and frames [silence_from, silence_to) at almost nothing.
std::vector<float> signal(int frames, int silence_from = -1, int silence_to = -1) {
  std::vector<float> s(2 * size_t(frames));
  for (int i = 0; i < frames; ++i) {
    float l = 1.2f * std::sin(0.01f * float(i)), r = 0.5f * std::sin(0.003f * float(i) + 1.0f);
    if (i >= silence_from && i < silence_to) l = 1e-5f, r = -1.5e-5f;
    s[2 * size_t(i)] = l, s[2 * size_t(i) + 1] = r;
  }
  return s;
}

// Audio messages until `frames` frames have arrived; every other message is kept in `others`.
// The wait only guards against a hang: a starved machine (sanitizers, another suite beside this
// one) was seen to leave the first message more than 3 s behind.
std::vector<LmMessage> collect_audio(ListenerClient& c, int64_t frames, std::vector<LmMessage>* others = nullptr) {
  std::vector<LmMessage> out;
  int64_t got = 0;
  LmMessage m;
  while (got < frames && c.next(&m, 20000)) {
    if (m.type == 2) {
      got += m.frames;
      out.push_back(m);
    } else if (others) {
      others->push_back(m);
    }
  }
  return out;
}

std::string announce_for(const Station& s, const char* dev_json, int64_t lat, uint64_t idx) {
  return std::string("{\"app\":\"tolm\",\"an\":\"Tolm\",\"kind\":\"monitor\",\"dev\":") + dev_json + ",\"sid\":\"" +
         s.id.sid + "\",\"codec\":\"pcm16\",\"ch\":2,\"rate\":48000,\"frames\":480,\"tref\":\"in\",\"latNs\":" +
         std::to_string(lat) + ",\"idx\":" + std::to_string(idx) + ",\"os\":\"linux\"}";
}

}  // namespace

TEST(Station, ListenerHearsTheSignalWithEveryHeaderField) {
  StationRig rig("bench \"7\"\\\x01");
  station_set_latency(rig.s.get(), -3000000);
  ASSERT_TRUE(rig.start());
  // No daemon here: said, and the station serves all the same.
  EXPECT_TRUE(log_has("lmstream: DnsServiceRegister: 26"));
  EXPECT_TRUE(log_has("lmstream: avahi: Daemon not running"));
  EXPECT_TRUE(log_has("lmstream: station Tolm on :" + std::to_string(rig.port()) + " (sid " + rig.s->id.sid +
                      ", monitor, tref=in)"));
  ListenerClient c;
  ASSERT_TRUE(c.connect_to(rig.port(), true));  // the dual-stack socket takes IPv6 too
  LmMessage m;
  ASSERT_TRUE(c.next(&m));
  ASSERT_EQ(m.type, 1);
  // The names are escaped, never printed into the JSON.
  EXPECT_EQ(m.text(), announce_for(*rig.s, "\"bench \\\"7\\\"\\\\\\u0001\"", -3000000, 0));
  JsonValue root;
  char msg[96];
  EXPECT_TRUE(json_parse(m.text().data(), m.text().size(), &root, msg, sizeof msg)) << msg;
  EXPECT_EQ(m.total, m.text().size() + 8);
  ASSERT_TRUE(c.hello("{\"an\":\"ears\",\"dev\":\"lab\"}"));
  ASSERT_TRUE(rig.wait_listeners(1));
  ASSERT_TRUE(eventually([] { return log_has("lmstream: EARS is listening (lab)"); }));

  // Frames 4,800 to 5,759 are two whole messages of silence.
  const int kFrames = 48000;
  const std::vector<float> sig = signal(kFrames, 4800, 5760);
  rig.push(sig);
  std::vector<LmMessage> audio = collect_audio(c, kFrames);
  ASSERT_EQ(audio.size(), size_t(kFrames / 480));
  for (size_t k = 0; k < audio.size(); ++k) {
    const LmMessage& a = audio[k];
    SCOPED_TRACE(k);
    EXPECT_EQ(a.codec, 1);
    EXPECT_EQ(a.channels, 2);
    EXPECT_EQ(a.sequence, uint32_t(k));
    EXPECT_EQ(a.frames, 480u);
    EXPECT_EQ(a.index, uint64_t(480 * k));
    EXPECT_EQ(a.flags & 1, k == 0 ? 1 : 0);  // the first frame on air
    // The block clock is exact here: frame n was captured at n / 48 kHz, less the latency.
    const int64_t want = std::max<int64_t>(0, int64_t(480 * k) * 1000000000 / 48000 - 3000000);
    EXPECT_NEAR(double(a.time_ns), double(want), 2.0);
    const bool silent = k == 10 || k == 11;
    EXPECT_EQ((a.flags & 2) != 0, silent);
    if (silent) {
      EXPECT_EQ(a.total, 36u);
      EXPECT_TRUE(a.samples.empty());
      continue;
    }
    ASSERT_EQ(a.total, 1956u);
    ASSERT_EQ(a.samples.size(), 960u);
    for (size_t i = 0; i < 960; ++i)
      if (a.samples[i] != pcm(sig[960 * k + i])) {
        ADD_FAILURE() << "sample " << i << ": " << a.samples[i] << " != " << pcm(sig[960 * k + i]);
        break;
      }
  }
  EXPECT_EQ(rig.s->frames_sent.load(), kFrames);

  // Paused: the state goes out, and a listener arriving now gets the announce and then exactly
  // the 26-byte paused message.
  station_set_live(rig.s.get(), false);
  ASSERT_TRUE(c.next_of(3, &m));
  EXPECT_EQ(m.text(), "{\"state\":\"paused\"}");
  EXPECT_EQ(m.total, 26u);
  ListenerClient late;
  ASSERT_TRUE(late.connect_to(rig.port()));
  ASSERT_TRUE(late.next(&m));
  EXPECT_EQ(m.type, 1);
  EXPECT_EQ(m.text(), announce_for(*rig.s, "\"bench \\\"7\\\"\\\\\\u0001\"", -3000000, kFrames));
  ASSERT_TRUE(late.next(&m));
  EXPECT_EQ(m.type, 3);
  EXPECT_EQ(m.total, 26u);
  EXPECT_TRUE(log_has("lmstream: paused"));
  sleep_ms(300);

  // Live again: the state, then audio marked discontinuous whose index moved on with the clock.
  station_set_live(rig.s.get(), true);
  ASSERT_TRUE(c.next_of(3, &m));
  EXPECT_EQ(m.text(), "{\"state\":\"live\"}");
  rig.push(signal(4800));
  audio = collect_audio(c, 4800);
  ASSERT_EQ(audio.size(), 10u);
  EXPECT_EQ(audio[0].flags & 1, 1);
  EXPECT_EQ(audio[1].flags & 1, 0);
  EXPECT_GE(audio[0].index, uint64_t(kFrames + 48 * 300));
  EXPECT_LT(audio[0].index, uint64_t(kFrames + 48 * 3000));
  for (size_t k = 1; k < audio.size(); ++k) EXPECT_EQ(audio[k].index, audio[0].index + 480 * k);
  EXPECT_EQ(audio[0].sequence, uint32_t(kFrames / 480));

  // A ping is answered with its stamp and two station-clock readings.
  ASSERT_TRUE(c.ping(0x0102030405060708ull));
  ASSERT_TRUE(c.next_of(18, &m));
  ASSERT_EQ(m.total, 32u);
  uint64_t f[3] = {};
  for (int w = 0; w < 3; ++w)
    for (int i = 0; i < 8; ++i) f[w] = f[w] << 8 | m.body[size_t(8 * w + i)];
  EXPECT_EQ(f[0], 0x0102030405060708ull);
  EXPECT_LE(f[1], f[2]);
  EXPECT_LE(f[2], uint64_t(station_clock_ns(rig.s.get())));

  // Off air: goodbye, then the connection ends.
  station_stop(rig.s.get());
  ASSERT_TRUE(c.next_of(4, &m));
  EXPECT_EQ(m.total, 8u);
  EXPECT_TRUE(c.closed_within(1000));
  ASSERT_TRUE(late.next_of(4, &m, 1000));
  EXPECT_TRUE(log_has("lmstream: off air"));
}

TEST(Station, SlowListenerLosesOnlyItsOwnOldestMessagesAndPongsJumpTheQueue) {
  StationRig rig;
  ASSERT_TRUE(rig.start());
  ListenerClient fast, slow;
  ASSERT_TRUE(fast.connect_to(rig.port()));
  ASSERT_TRUE(slow.connect_to(rig.port(), false, 4096));
  ASSERT_TRUE(rig.wait_listeners(2));

  // The fast one reads as it comes; the slow one reads nothing for 30 s of audio, more than the
  // kernel buffers for it (up to 4 MB) and its queue hold.
  const int kFrames = 48000 * 30;
  std::vector<LmMessage> fast_audio;
  std::thread reader([&] { fast_audio = collect_audio(fast, kFrames); });
  const std::vector<float> sig = signal(kFrames);
  for (int part = 0; part < kFrames / 9600; ++part) {
    rig.push(std::vector<float>(sig.begin() + part * 19200, sig.begin() + (part + 1) * 19200));
    sleep_ms(20);
    // Ten times faster than real time, but never further ahead of the sender than its ring holds:
    // what is tested is the slow listener's queue, not the ring of a starved machine.
    rig.wait_ring_room();
  }
  reader.join();
  EXPECT_EQ(rig.s->overflow.load(), 0);
  ASSERT_EQ(fast_audio.size(), size_t(kFrames / 480));
  for (size_t k = 0; k < fast_audio.size(); ++k) ASSERT_EQ(fast_audio[k].index, 480 * k) << k;
  EXPECT_TRUE(eventually([&] { return rig.s->drops.load() > 0; }));

  // The slow listener's queue is full of audio: its ping is answered before that audio.
  ASSERT_TRUE(slow.ping(42));
  sleep_ms(50);
  std::vector<LmMessage> got;
  LmMessage m;
  while (slow.next(&m, 500)) got.push_back(m);
  size_t pong_at = got.size();
  for (size_t i = 0; i < got.size(); ++i)
    if (got[i].type == 18) pong_at = i;
  ASSERT_LT(pong_at, got.size());
  const size_t after = got.size() - pong_at - 1;
  EXPECT_GE(after, 40u);  // the queue held ~50 messages of audio when the ping came
  // What it did get is in order, ends with the last message, and skipped only what it lost.
  int64_t last = -1;
  int gaps = 0;
  for (const auto& a : got)
    if (a.type == 2) {
      if (last >= 0 && int64_t(a.index) != last + 480) ++gaps;
      EXPECT_GT(int64_t(a.index), last);
      last = int64_t(a.index);
    }
  // The pong found the queue full and took the newest message's place.
  EXPECT_EQ(last, int64_t(kFrames - 960));
  EXPECT_GE(gaps, 1);
}

TEST(Station, HostilePeersAreDroppedOrIgnoredWhileAGoodListenerKeepsItsStream) {
  StationRig rig;
  ASSERT_TRUE(rig.start());
  ListenerClient good;
  ASSERT_TRUE(good.connect_to(rig.port()));
  ASSERT_TRUE(rig.wait_listeners(1));
  // The good listener reads on its own thread; a feeder pushes a paced signal throughout.
  std::atomic<bool> stop{false};
  std::vector<LmMessage> good_audio;
  std::thread reader([&] {
    LmMessage m;
    for (;;) {
      if (good.next(&m, 200)) {
        if (m.type == 2) good_audio.push_back(m);
      } else if (stop.load()) {
        break;
      }
    }
  });
  std::atomic<int64_t> pushed{0};
  std::thread feeder([&] {
    const std::vector<float> block = signal(480);
    while (!stop.load()) {
      rig.push(block);
      pushed += 480;
      sleep_ms(5);
      rig.wait_ring_room();
    }
  });
  struct Joiner {
    std::atomic<bool>& stop;
    std::thread& a;
    std::thread& b;
    ~Joiner() {
      stop = true;
      if (a.joinable()) a.join();
      if (b.joinable()) b.join();
    }
  } joiner{stop, feeder, reader};
  const auto hostile = [&](const std::vector<uint8_t>& bytes) {
    ListenerClient h;
    EXPECT_TRUE(h.connect_to(rig.port()));
    h.send_bytes(bytes);
    return h.closed_within(2000);
  };

  // Lengths under 4 or over 1,020 drop the listener at once.
  EXPECT_TRUE(hostile({0, 0, 0, 2, 'L', 'M'}));
  EXPECT_TRUE(hostile(lm_frame(17, std::vector<uint8_t>(1017))));  // length 1,021
  // 1,020 is still a message (a hello that is too big to be useful, but framed right).
  {
    ListenerClient h;
    ASSERT_TRUE(h.connect_to(rig.port()));
    std::string big = "{\"an\":\"" + std::string(1007, 'b') + "\"}";
    ASSERT_EQ(big.size(), 1016u);
    h.hello(big);
    h.ping(7);
    LmMessage m;
    EXPECT_TRUE(h.next_of(18, &m));
  }
  // Wrong magic and a wrong version are skipped by their length; the next message still counts.
  {
    ListenerClient h;
    ASSERT_TRUE(h.connect_to(rig.port()));
    std::vector<uint8_t> bad = lm_frame(17, std::vector<uint8_t>(8, 1));
    bad[4] = 'X';
    std::vector<uint8_t> v2 = lm_frame(17, std::vector<uint8_t>(8, 2));
    v2[6] = 2;
    h.send_bytes(bad);
    h.send_bytes(v2);
    h.ping(99);
    LmMessage m;
    ASSERT_TRUE(h.next_of(18, &m));
    EXPECT_EQ(m.body[7], 99);  // the answer is to the real ping, not to the others
    EXPECT_FALSE(h.next_of(18, &m, 300));
  }
  // A hello split across segments, then a flood of the same hello: one log line for all of it.
  // Control characters never reach the log.
  {
    ListenerClient h;
    ASSERT_TRUE(h.connect_to(rig.port()));
    const std::vector<uint8_t> hello = lm_frame(16, {'{', '"', 'a', 'n', '"', ':', '"', 's', 'p', '\\', 'u', '0',
                                                     '0', '1', 'b', 'l', 'i', 't', '"', '}'});
    h.send_bytes(std::vector<uint8_t>(hello.begin(), hello.begin() + 3));
    sleep_ms(30);
    h.send_bytes(std::vector<uint8_t>(hello.begin() + 3, hello.begin() + 11));
    sleep_ms(30);
    h.send_bytes(std::vector<uint8_t>(hello.begin() + 11, hello.end()));
    ASSERT_TRUE(eventually([] { return log_has("lmstream: SPLIT is listening"); }));
    for (int i = 0; i < 2000; ++i) h.send_bytes(hello);
    h.ping(5);
    LmMessage m;
    EXPECT_TRUE(h.next_of(18, &m));
    EXPECT_EQ(log_count("lmstream: SPLIT is listening"), 1);
    // A hello that is not JSON is refused with one line, however often it comes.
    for (int i = 0; i < 50; ++i) h.send_message(16, {'{', 'x'});
    h.ping(6);
    EXPECT_TRUE(h.next_of(18, &m));
    EXPECT_EQ(log_count("lmstream: SPLIT sent a hello that is not a JSON object"), 1);
  }
  // A truncated message and a hang-up; a flood of pings from one that never reads.
  {
    ListenerClient h;
    ASSERT_TRUE(h.connect_to(rig.port()));
    std::vector<uint8_t> part = lm_frame(16, std::vector<uint8_t>(200, 'x'));
    part.resize(50);
    h.send_bytes(part);
  }
  {
    ListenerClient h;
    ASSERT_TRUE(h.connect_to(rig.port()));
    std::vector<uint8_t> pings;
    for (int i = 0; i < 4000; ++i) {
      std::vector<uint8_t> one = lm_frame(17, std::vector<uint8_t>(8, uint8_t(i)));
      pings.insert(pings.end(), one.begin(), one.end());
    }
    h.send_bytes(pings);
    sleep_ms(200);
  }
  ASSERT_TRUE(rig.wait_listeners(1));

  // At most eight: the ninth connection is closed at once, the eight stay.
  {
    std::vector<std::unique_ptr<ListenerClient>> seven;
    for (int i = 0; i < 7; ++i) {
      seven.push_back(std::make_unique<ListenerClient>());
      ASSERT_TRUE(seven.back()->connect_to(rig.port()));
    }
    ASSERT_TRUE(rig.wait_listeners(8));
    ListenerClient ninth;
    ASSERT_TRUE(ninth.connect_to(rig.port()));
    LmMessage m;
    EXPECT_FALSE(ninth.next(&m, 300));  // no announce
    EXPECT_TRUE(ninth.closed_within(1000));
    EXPECT_EQ(rig.s->listener_count.load(), 8);
    ASSERT_TRUE(seven[0]->next(&m));
    EXPECT_EQ(m.type, 1);
  }
  // A hundred connect-disconnect cycles (paced a little: the listening backlog is 4, and a full
  // backlog only makes the kernel retry a connection a second later).
  for (int i = 0; i < 100; ++i) {
    ListenerClient h;
    ASSERT_TRUE(h.connect_to(rig.port()));
    sleep_ms(5);
  }
  ASSERT_TRUE(rig.wait_listeners(1));
  sleep_ms(100);
  stop = true;
  feeder.join();
  reader.join();

  // The good listener heard every message, in order, the whole time.
  ASSERT_GT(good_audio.size(), 50u);
  for (size_t k = 1; k < good_audio.size(); ++k) {
    ASSERT_EQ(good_audio[k].index, good_audio[k - 1].index + 480) << k;
    ASSERT_EQ(good_audio[k].sequence, good_audio[k - 1].sequence + 1) << k;
  }
  EXPECT_EQ(rig.s->overflow.load(), 0);
  EXPECT_TRUE(log_has("lmstream: a listener left ("));
}

TEST(Station, MeasuredRateWinsAndResamplingFollowsTheLine) {
  StationRig rig;
  ASSERT_TRUE(rig.start());
  Station* s = rig.s.get();
  // A ramp: source frame n holds n / 2^20 (exact in float), so linear interpolation is exact.
  const auto ramp = [](int64_t from, int frames) {
    std::vector<float> v(2 * size_t(frames));
    for (int i = 0; i < frames; ++i)
      v[2 * size_t(i)] = float(from + i) / 1048576.0f, v[2 * size_t(i) + 1] = -float(from + i) / 1048576.0f;
    return v;
  };
  // Stated as 48 kHz but delivered at 44.1 kHz (441 frames every 10 ms): written as it comes until
  // two 2 s windows agree, then resampled.
  int64_t src = 0;
  const auto feed = [&](double stated, int frames, int64_t step_ns) {
    const std::vector<float> v = ramp(src, frames);
    rig.clock_ns += step_ns;
    station_push_at(s, v.data(), frames, stated, rig.clock_ns);
    src += frames;
    // The clock here runs far ahead of the sender, which frees ring room in real time: keep
    // within a second of it (a slow machine would otherwise overflow the two-second ring).
    rig.wait_ring_room();
  };
  for (int i = 0; i < 350; ++i) feed(48000, 441, 10000000);
  EXPECT_EQ(s->measured_hz.load(), 0.0);
  for (int i = 0; i < 300 && s->measured_hz.load() == 0.0; ++i) feed(48000, 441, 10000000);
  ASSERT_EQ(s->measured_hz.load(), 44100.0);
  const int64_t w0 = s->write_count.load();
  const int64_t src0 = src;
  for (int i = 0; i < 100; ++i) feed(48000, 441, 10000000);
  const int64_t written = s->write_count.load() - w0;
  ASSERT_EQ(s->overflow.load(), 0);
  EXPECT_NEAR(double(written), 44100.0 * 48000 / 44100, 2.0);  // one second at 48 kHz
  // Each written frame lies on the source line at step 44,100 / 48,000 from the one before.
  const double step = 44100.0 / 48000.0;
  for (int64_t k = w0 + 1; k < w0 + written; ++k) {
    const float a = s->ring[2 * size_t(k % kStationRingFrames)];
    const float b = s->ring[2 * size_t((k - 1) % kStationRingFrames)];
    ASSERT_NEAR(double(a - b) * 1048576.0, step, 0.08) << k;
    ASSERT_EQ(s->ring[2 * size_t(k % kStationRingFrames) + 1], -a);
  }
  EXPECT_NEAR(double(s->ring[2 * size_t((w0 + written - 1) % kStationRingFrames)]) * 1048576.0,
              double(src - 1), 1.0);
  (void)src0;

  // A 4,096-frame block at 22,050 Hz makes 8,916 frames: all of them, in slices.
  StationRig low;
  ASSERT_TRUE(low.start());
  const std::vector<float> block = ramp(0, 4096);
  low.clock_ns += 4096LL * 1000000000 / 22050;
  station_push_at(low.s.get(), block.data(), 4096, 22050, low.clock_ns);
  const int64_t n = low.s->write_count.load();
  EXPECT_NEAR(double(n), 4096.0 * 48000 / 22050, 2.0);
  EXPECT_GT(n, kStationScratchFrames);
  EXPECT_NEAR(double(low.s->ring[2 * size_t(n - 1)]) * 1048576.0, double(n - 1) * 22050 / 48000, 0.05);
}

TEST(Station, SidFileIsKeptMigratedOrMade) {
  TempDir dir;
  char sid[9];
  const std::string own = dir.file("stream.tolm.sid"), shared = dir.file("stream.sid");
  // The older shared file hands its sid over and goes.
  write_text(shared, "0badc0de\nrest");
  station_read_sid(dir.path.c_str(), "tolm", sid);
  EXPECT_STREQ(sid, "0badc0de");
  EXPECT_EQ(read_text(own), "0badc0de\n");
  EXPECT_FALSE(path_exists(shared.c_str()));
  // Kept from then on.
  station_read_sid(dir.path.c_str(), "tolm", sid);
  EXPECT_STREQ(sid, "0badc0de");
  // Invalid (upper case, short) ones are replaced by a new one, which is saved.
  for (const char* bad : {"0BADC0DE\n", "abc\n", ""}) {
    write_text(own, bad);
    write_text(shared, "nothex!!");
    station_read_sid(dir.path.c_str(), "tolm", sid);
    ASSERT_EQ(strlen(sid), 8u);
    for (int i = 0; i < 8; ++i) EXPECT_TRUE(isxdigit(sid[i]) && !isupper(sid[i])) << sid;
    EXPECT_EQ(read_text(own), std::string(sid) + "\n");
    EXPECT_TRUE(path_exists(shared.c_str()));  // not valid: left alone
  }
  // The folder: XDG_CONFIG_HOME/Lumaro, made when missing.
  setenv("XDG_CONFIG_HOME", dir.file("cfg").c_str(), 1);
  char folder[kPathCap];
  station_folder(folder, sizeof folder);
  EXPECT_EQ(std::string(folder), dir.file("cfg") + "/Lumaro");
  EXPECT_TRUE(is_dir(folder));
}

TEST(Station, BusyPortRefusesTheStartAndSaysSo) {
  StationRig rig;
  // Someone holds a port on every address.
  const int blocker = socket(AF_INET6, SOCK_STREAM, 0);
  ASSERT_GE(blocker, 0);
  const int zero = 0;
  setsockopt(blocker, IPPROTO_IPV6, IPV6_V6ONLY, &zero, sizeof zero);
  sockaddr_in6 a{};
  a.sin6_family = AF_INET6;
  a.sin6_addr = in6addr_any;
  ASSERT_EQ(bind(blocker, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(listen(blocker, 1), 0);
  socklen_t len = sizeof a;
  getsockname(blocker, reinterpret_cast<sockaddr*>(&a), &len);
  const uint16_t port = ntohs(a.sin6_port);
  rig.s->id.port = port;
  EXPECT_EQ(station_start(rig.s.get()), -1);
  EXPECT_TRUE(log_has("lmstream: bind(" + std::to_string(port) + ") failed (" + std::to_string(EADDRINUSE) +
                      ") - another station on this port?"));
  EXPECT_EQ(rig.s->running.load(), 0);
  close(blocker);
  // Free again: it starts.
  EXPECT_EQ(station_start(rig.s.get()), 0);
  EXPECT_EQ(rig.port(), port);
}

TEST(Station, DnsSdInstanceNameIsCutOnACharacterBoundary) {
  char out[128];
  // Short enough: as it is.
  EXPECT_EQ(dnssd_instance_name("Tolm", "desk", out, sizeof out), 12u);
  EXPECT_STREQ(out, "Tolm \xC2\xB7 desk");
  // "Tolm · " is 8 bytes: the device part keeps 55 bytes at most, never half a character.
  std::string dev;
  for (int i = 0; i < 30; ++i) dev += "\xC3\xA9";  // é, two bytes each
  const size_t n = dnssd_instance_name("Tolm", dev.c_str(), out, sizeof out);
  EXPECT_LT(n, 64u);
  EXPECT_EQ(n, 8u + 54u);
  EXPECT_EQ(std::string(out).substr(8), dev.substr(0, 54));
}

TEST(Station, OutOfDescriptorsAListenerWaitsAndIsServedLater) {
  StationRig rig;
  ASSERT_TRUE(rig.start());
  ListenerClient good, late;
  ASSERT_TRUE(good.connect_to(rig.port()));
  ASSERT_TRUE(rig.wait_listeners(1));
  // Every descriptor this process may have is taken, but one for the late listener's socket.
  rlimit old;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old), 0);
  rlimit low = old;
  low.rlim_cur = std::min<rlim_t>(old.rlim_cur, 1024);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
  std::vector<int> fill;
  for (int fd; (fd = dup(0)) >= 0;) fill.push_back(fd);
  ASSERT_FALSE(fill.empty());
  close(fill.back());
  fill.pop_back();
  const bool connected = late.connect_to(rig.port());
  sleep_ms(300);
  const int listening = rig.s->listener_count.load();
  for (int fd : fill) close(fd);
  setrlimit(RLIMIT_NOFILE, &old);
  ASSERT_TRUE(connected);
  EXPECT_EQ(listening, 1);  // the station could not take it yet
  // Descriptors again: it is accepted and served; the first listener never noticed.
  LmMessage m;
  ASSERT_TRUE(late.next(&m));
  EXPECT_EQ(m.type, 1);
  EXPECT_TRUE(rig.wait_listeners(2));
  rig.push(signal(960));
  ASSERT_TRUE(good.next_of(2, &m));
  EXPECT_EQ(m.index, 0u);
}
