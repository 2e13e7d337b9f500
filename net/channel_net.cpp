// The channel layer's network thread, its peer table and the sink and source records. One lock
// guards the tables; the network thread holds it while it handles what arrived, runs its timers
// and drains the sinks, so whoever takes it knows the thread is not inside a callback. The audio
// thread never takes it: a sink is a ring of blocks with two counters that only grow.
#include "net/channel_net.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>

#include "config/log.h"
#include "platform/clock.h"
#include "platform/system.h"
#include "platform/text.h"
#include "platform/thread.h"

namespace {

constexpr auto kRelaxed = std::memory_order_relaxed;
constexpr auto kAcquire = std::memory_order_acquire;
constexpr auto kRelease = std::memory_order_release;
constexpr int64_t kMsNs = 1000000;
constexpr int kMaxInterfaces = 16;
constexpr int kReceiveBytes = 2048;          // more than a datagram may be, so oversize shows
constexpr int kDatagramsPerPass = 256;       // a flood cannot starve the timers
constexpr int kBusyPollMs = 2;               // while a sink may hold blocks
constexpr int kIdlePollMs = 20;
constexpr double kResyncSeconds = 10.0;      // an index this far back is a restart, not a late packet

uint64_t mix64(uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

uint64_t random_id() {
  uint64_t v = 0;
  if (random_bytes(&v, sizeof v) != 0) v = mix64(uint64_t(mono_ns()) ^ uint64_t(getpid()));
  return v ? v : 1;
}

bool same_endpoint(const sockaddr_in& a, const sockaddr_in& b) {
  return a.sin_addr.s_addr == b.sin_addr.s_addr && a.sin_port == b.sin_port;
}

struct Peer {
  uint64_t id;
  sockaddr_in addr;         // the first address it was heard from, kept while it lives
  char name[kChannelNameBytes];
  int count;
  ChannelAnnounceEntry channels[kChannelMaxPerPeer];
  int64_t last_ns;
};

struct Subscriber {
  sockaddr_in addr;
  int64_t last_ns;
};

struct SinkSlot {
  int frames, channels;
  double rate_hz;
  ChannelTiming timing;
};

struct Stats {
  std::atomic<int64_t> rejected{0}, oversize{0}, challenges{0}, refused_listeners{0}, foreign_audio{0},
      packets_sent{0}, blocks_delivered{0}, gap_frames{0};
};

}  // namespace

struct ChannelSink {
  ChannelNet* net;
  uint64_t id;
  char name[kChannelNameBytes];
  int capacity;                       // samples a block
  int16_t* samples;                   // kChannelSinkSlots × capacity
  SinkSlot slots[kChannelSinkSlots];
  bool retained;                      // audio thread only
  std::atomic<int64_t> write_count;   // blocks committed; audio thread writes; only grows
  std::atomic<int64_t> read_count;    // blocks taken; network thread writes; only grows
  // Under the layer's lock.
  Subscriber subs[kChannelMaxSubscribers];
  int sub_count;
  uint32_t sequence;
  int64_t frame_index;                // the next block's first frame
  bool refusal_logged;
};

struct ChannelSource {
  ChannelNet* net;
  uint64_t channel_id;
  ChannelBlockFn fn;
  void* ctx;
  // Under the layer's lock.
  bool have_publisher;
  sockaddr_in publisher;
  uint64_t token;                     // 0 until the publisher's challenge came
  int64_t last_subscribe_ns;
  bool have_index;
  int64_t next_index;
};

struct ChannelNet {
  ChannelNetConfig cfg;
  uint64_t peer_id;
  uint64_t secret[2];                 // keys the subscribe tokens

  std::mutex mu;                      // everything below, except what says otherwise
  char peer_name[kChannelNameBytes];
  ChannelsChangedFn changed_fn;
  void* changed_ctx;
  Peer peers[kChannelNetMaxPeers];
  int peer_count;
  uint64_t list_print;                // fingerprint of the list last reported
  ChannelSink* sinks[kChannelNetMaxSinks];
  ChannelSource* sources[kChannelNetMaxSources];
  bool announce_due;
  int mcast_fd, audio_fd;
  std::atomic<uint16_t> audio_port;
  in_addr joined[kMaxInterfaces];
  int joined_count;
  int64_t last_scan_ns, last_announce_ns;

  std::atomic<int> running;
  std::thread thread;
  Stats stats;
  // Network thread only.
  int16_t scratch[kChannelPacketBytes / 2];  // samples in host order
  ChannelPacket packet_in;
  uint8_t receive[kReceiveBytes];
};

namespace {

// ---- Tables (under the lock) --------------------------------------------------------------

uint64_t list_fingerprint(const ChannelNet* net) {
  uint64_t h = 0x243F6A8885A308D3ull;
  const auto add = [&h](const char* s) {
    for (; *s; ++s) h = mix64(h ^ uint8_t(*s));
    h = mix64(h ^ 0xFF);
  };
  for (int p = 0; p < net->peer_count; ++p) {
    const Peer& peer = net->peers[p];
    for (int c = 0; c < peer.count; ++c) {
      h = mix64(h ^ peer.channels[c].id);
      add(peer.name);
      add(peer.channels[c].name);
    }
  }
  return h;
}

void report_list(ChannelNet* net) {
  const uint64_t print = list_fingerprint(net);
  if (print == net->list_print) return;
  net->list_print = print;
  if (net->changed_fn) net->changed_fn(net->changed_ctx);
}

// Shifts the rest down, so the list keeps the order peers were first heard in.
void remove_peer(ChannelNet* net, int i) {
  for (int k = i; k < net->peer_count - 1; ++k) net->peers[k] = net->peers[k + 1];
  --net->peer_count;
}

Peer* find_peer(ChannelNet* net, uint64_t id) {
  for (int i = 0; i < net->peer_count; ++i)
    if (net->peers[i].id == id) return &net->peers[i];
  return nullptr;
}

const Peer* channel_owner(const ChannelNet* net, uint64_t channel_id) {
  for (int i = 0; i < net->peer_count; ++i)
    for (int c = 0; c < net->peers[i].count; ++c)
      if (net->peers[i].channels[c].id == channel_id) return &net->peers[i];
  return nullptr;
}

ChannelSink* find_sink(ChannelNet* net, uint64_t id) {
  for (ChannelSink* s : net->sinks)
    if (s && s->id == id) return s;
  return nullptr;
}

uint64_t token_for(const ChannelNet* net, const sockaddr_in& from, uint64_t channel_id) {
  const uint64_t where = uint64_t(ntohl(from.sin_addr.s_addr)) << 16 | ntohs(from.sin_port);
  const uint64_t t = mix64(net->secret[0] ^ mix64(where ^ mix64(channel_id ^ net->secret[1])));
  return t ? t : 1;
}

// ---- Sending ----------------------------------------------------------------------------------

void send_to(ChannelNet* net, const uint8_t* data, size_t bytes, const sockaddr_in& to) {
  if (net->audio_fd < 0) return;
  sendto(net->audio_fd, data, bytes, MSG_DONTWAIT | MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

// Multicast on every joined interface, each with its own outgoing interface.
void send_everywhere(ChannelNet* net, const uint8_t* data, size_t bytes) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(net->cfg.port);
  to.sin_addr.s_addr = htonl(net->cfg.group);
  for (int i = 0; i < net->joined_count; ++i) {
    setsockopt(net->audio_fd, IPPROTO_IP, IP_MULTICAST_IF, &net->joined[i], sizeof net->joined[i]);
    send_to(net, data, bytes, to);
  }
}

void send_announce(ChannelNet* net, int64_t now) {
  ChannelAnnounce a{};
  a.peer_id = net->peer_id;
  text_copy(a.peer_name, net->peer_name);
  for (ChannelSink* s : net->sinks) {
    if (!s) continue;
    a.channels[a.count].id = s->id;
    text_copy(a.channels[a.count].name, s->name);
    ++a.count;
  }
  uint8_t packet[kChannelPacketBytes];
  const size_t n = channel_write_announce(packet, sizeof packet, a);
  if (n) send_everywhere(net, packet, n);
  net->last_announce_ns = now;
  net->announce_due = false;
}

void send_subscribe(ChannelNet* net, ChannelSource* src, int64_t now) {
  uint8_t packet[kChannelSubscribeBytes];
  const size_t n = channel_write_subscribe(packet, sizeof packet, src->channel_id, src->token, net->peer_id);
  send_to(net, packet, n, src->publisher);
  src->last_subscribe_ns = now;
}

void send_leave(ChannelNet* net, const ChannelSource* src) {
  if (!src->have_publisher || !src->token) return;
  uint8_t packet[kChannelLeaveBytes];
  const size_t n = channel_write_leave(packet, sizeof packet, src->channel_id, src->token);
  send_to(net, packet, n, src->publisher);
}

// Every committed block goes out in packets to each listener; blocks are taken (and the frame
// index moves on) whether anyone listens or not.
void drain_sink(ChannelNet* net, ChannelSink* s) {
  int64_t r = s->read_count.load(kRelaxed);
  const int64_t w = s->write_count.load(kAcquire);
  uint8_t packet[kChannelPacketBytes];
  for (; r < w; ++r) {
    const int slot = int(r % kChannelSinkSlots);
    const SinkSlot& b = s->slots[slot];
    const int16_t* samples = s->samples + size_t(slot) * size_t(s->capacity);
    if (s->sub_count > 0) {
      const int per_packet = channel_packet_frames(b.channels);
      for (int at = 0; at < b.frames; at += per_packet) {
        ChannelAudio a{};
        a.channel_id = s->id;
        a.sequence = s->sequence++;
        a.frame_index = s->frame_index + at;
        const double offset_s = double(at) / b.rate_hz;
        a.time_us = b.timing.time_us + int64_t(std::llround(offset_s * 1e6));
        a.beat = b.timing.beat + offset_s * b.timing.tempo_bpm / 60.0;
        a.quantum = b.timing.quantum;
        a.tempo_bpm = b.timing.tempo_bpm;
        a.rate_hz = b.rate_hz;
        a.channels = b.channels;
        a.frames = std::min(per_packet, b.frames - at);
        const size_t head = channel_write_audio_header(packet, sizeof packet, a);
        const int count = a.frames * a.channels;
        const int16_t* from = samples + size_t(at) * size_t(b.channels);
        for (int i = 0; i < count; ++i) {
          const uint16_t v = uint16_t(from[i]);
          packet[head + 2 * size_t(i)] = uint8_t(v);
          packet[head + 2 * size_t(i) + 1] = uint8_t(v >> 8);
        }
        const size_t bytes = head + 2 * size_t(count);
        for (int k = 0; k < s->sub_count; ++k) send_to(net, packet, bytes, s->subs[k].addr);
        net->stats.packets_sent.fetch_add(s->sub_count, kRelaxed);
      }
    }
    s->frame_index += b.frames;
  }
  s->read_count.store(r, kRelease);
}

// ---- Receiving --------------------------------------------------------------------------------

void on_announce(ChannelNet* net, const ChannelAnnounce& a, const sockaddr_in& from, int64_t now) {
  if (a.peer_id == net->peer_id) return;
  Peer* p = find_peer(net, a.peer_id);
  if (p) {
    // A peer heard on several interfaces keeps its first address until it falls silent; another
    // address claiming its id meanwhile is ignored.
    if (!same_endpoint(p->addr, from) && now - p->last_ns < kChannelPeerExpiryMs * kMsNs) return;
  } else {
    if (net->peer_count == kChannelNetMaxPeers) {
      net->stats.rejected.fetch_add(1, kRelaxed);
      return;
    }
    p = &net->peers[net->peer_count++];
    p->id = a.peer_id;
  }
  p->addr = from;
  text_copy(p->name, a.peer_name);
  p->count = a.count;
  for (int i = 0; i < a.count; ++i) p->channels[i] = a.channels[i];
  p->last_ns = now;
}

void on_bye(ChannelNet* net, uint64_t peer_id, const sockaddr_in& from) {
  for (int i = 0; i < net->peer_count; ++i)
    if (net->peers[i].id == peer_id && same_endpoint(net->peers[i].addr, from)) {
      remove_peer(net, i);
      return;
    }
}

void on_subscribe(ChannelNet* net, const ChannelPacket& p, const sockaddr_in& from, int64_t now) {
  ChannelSink* s = find_sink(net, p.channel_id);
  if (!s) return;  // nothing said about channels that are not here
  const uint64_t expected = token_for(net, from, p.channel_id);
  if (p.token != expected) {
    // The answer is smaller than the request and goes only where the request came from: a
    // forged sender gains nothing, and audio flows only once the token comes back from there.
    uint8_t packet[kChannelChallengeBytes];
    send_to(net, packet, channel_write_challenge(packet, sizeof packet, p.channel_id, expected), from);
    net->stats.challenges.fetch_add(1, kRelaxed);
    return;
  }
  for (int k = 0; k < s->sub_count; ++k)
    if (same_endpoint(s->subs[k].addr, from)) {
      s->subs[k].last_ns = now;
      return;
    }
  if (s->sub_count == kChannelMaxSubscribers) {
    net->stats.refused_listeners.fetch_add(1, kRelaxed);
    if (!s->refusal_logged) {
      char ip[INET_ADDRSTRLEN];
      inet_ntop(AF_INET, &from.sin_addr, ip, sizeof ip);
      log_line("link: '%s' already has %d listeners - %s turned away", s->name, kChannelMaxSubscribers, ip);
      s->refusal_logged = true;
    }
    return;
  }
  s->subs[s->sub_count++] = Subscriber{from, now};
}

void on_leave(ChannelNet* net, const ChannelPacket& p, const sockaddr_in& from) {
  ChannelSink* s = find_sink(net, p.channel_id);
  if (!s || p.token != token_for(net, from, p.channel_id)) return;
  for (int k = 0; k < s->sub_count; ++k)
    if (same_endpoint(s->subs[k].addr, from)) {
      s->subs[k] = s->subs[--s->sub_count];
      return;
    }
}

ChannelSource* source_from(ChannelNet* net, uint64_t channel_id, const sockaddr_in& from) {
  for (ChannelSource* src : net->sources)
    if (src && src->channel_id == channel_id) {
      if (src->have_publisher && same_endpoint(src->publisher, from)) return src;
      net->stats.foreign_audio.fetch_add(1, kRelaxed);
      return nullptr;
    }
  return nullptr;
}

void deliver(ChannelNet* net, ChannelSource* src, const ChannelBlock& b) {
  src->fn(src->ctx, b);
  net->stats.blocks_delivered.fetch_add(1, kRelaxed);
}

void on_audio(ChannelNet* net, const ChannelAudio& a, const sockaddr_in& from) {
  ChannelSource* src = source_from(net, a.channel_id, from);
  if (!src) return;
  if (src->have_index && a.frame_index != src->next_index) {
    const int64_t behind = src->next_index - a.frame_index;
    if (behind > 0 && double(behind) < kResyncSeconds * a.rate_hz) return;  // late or repeated
    const int64_t lost = -behind;
    if (lost > 0 && lost <= kChannelGapFillFrames) {
      // Silence keeps the listener's timeline where the publisher's is.
      memset(net->scratch, 0, sizeof net->scratch);
      const int per = int(sizeof net->scratch / sizeof net->scratch[0]) / a.channels;
      ChannelBlock g{net->scratch, 0, a.channels, a.rate_hz, src->next_index,
                     ChannelTiming{a.time_us, a.beat, a.quantum, a.tempo_bpm}, true};
      for (int64_t done = 0; done < lost; done += g.frames) {
        g.frames = int(std::min<int64_t>(per, lost - done));
        g.frame_index = src->next_index + done;
        deliver(net, src, g);
      }
      net->stats.gap_frames.fetch_add(lost, kRelaxed);
    }
  }
  const int count = a.frames * a.channels;
  for (int i = 0; i < count; ++i)
    net->scratch[i] = int16_t(uint16_t(a.samples[2 * i] | a.samples[2 * i + 1] << 8));
  src->have_index = true;
  src->next_index = a.frame_index + a.frames;
  deliver(net, src,
          ChannelBlock{net->scratch, a.frames, a.channels, a.rate_hz, a.frame_index,
                       ChannelTiming{a.time_us, a.beat, a.quantum, a.tempo_bpm}, false});
}

void on_challenge(ChannelNet* net, const ChannelPacket& p, const sockaddr_in& from, int64_t now) {
  for (ChannelSource* src : net->sources)
    if (src && src->channel_id == p.channel_id && src->have_publisher && same_endpoint(src->publisher, from)) {
      if (src->token != p.token) {
        src->token = p.token;
        send_subscribe(net, src, now);
      }
      return;
    }
}

void handle(ChannelNet* net, const uint8_t* data, ssize_t n, const sockaddr_in& from, bool multicast, int64_t now) {
  if (n > kChannelPacketBytes) {
    net->stats.oversize.fetch_add(1, kRelaxed);
    net->stats.rejected.fetch_add(1, kRelaxed);
    return;
  }
  ChannelPacket& p = net->packet_in;
  const int type = channel_parse(data, size_t(n), &p);
  if (type < 0) {
    net->stats.rejected.fetch_add(1, kRelaxed);
    return;
  }
  // Announcements travel by multicast, everything else by unicast; the other way is refused.
  const bool group_type = type == kChannelAnnounce || type == kChannelBye;
  if (group_type != multicast) {
    net->stats.rejected.fetch_add(1, kRelaxed);
    return;
  }
  switch (type) {
    case kChannelAnnounce: on_announce(net, p.announce, from, now); break;
    case kChannelBye: on_bye(net, p.peer_id, from); break;
    case kChannelSubscribe: on_subscribe(net, p, from, now); break;
    case kChannelLeave: on_leave(net, p, from); break;
    case kChannelChallenge: on_challenge(net, p, from, now); break;
    case kChannelAudio: on_audio(net, p.audio, from); break;
    default: break;
  }
}

// ---- Timers -----------------------------------------------------------------------------------

// Joins the group on every IPv4 interface that is up (loopback included, so instances on one
// machine meet), and forgets interfaces that went away.
void scan_interfaces(ChannelNet* net, int64_t now) {
  net->last_scan_ns = now;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return;
  in_addr seen[kMaxInterfaces];
  int seen_count = 0;
  for (ifaddrs* a = list; a && seen_count < kMaxInterfaces; a = a->ifa_next) {
    if (!a->ifa_addr || a->ifa_addr->sa_family != AF_INET || !(a->ifa_flags & IFF_UP)) continue;
    if (!(a->ifa_flags & (IFF_MULTICAST | IFF_LOOPBACK))) continue;
    seen[seen_count++] = reinterpret_cast<const sockaddr_in*>(a->ifa_addr)->sin_addr;
  }
  freeifaddrs(list);
  ip_mreq m{};
  m.imr_multiaddr.s_addr = htonl(net->cfg.group);
  for (int i = 0; i < net->joined_count;) {
    bool still = false;
    for (int k = 0; k < seen_count; ++k) still |= seen[k].s_addr == net->joined[i].s_addr;
    if (still) {
      ++i;
      continue;
    }
    m.imr_interface = net->joined[i];
    setsockopt(net->mcast_fd, IPPROTO_IP, IP_DROP_MEMBERSHIP, &m, sizeof m);
    net->joined[i] = net->joined[--net->joined_count];
  }
  for (int k = 0; k < seen_count; ++k) {
    bool have = false;
    for (int i = 0; i < net->joined_count; ++i) have |= seen[k].s_addr == net->joined[i].s_addr;
    if (have) continue;
    m.imr_interface = seen[k];
    if (setsockopt(net->mcast_fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &m, sizeof m) == 0 || errno == EADDRINUSE) {
      net->joined[net->joined_count++] = seen[k];
      net->announce_due = true;
    }
  }
}

void run_timers(ChannelNet* net, int64_t now) {
  if (now - net->last_scan_ns >= kChannelRescanMs * kMsNs) scan_interfaces(net, now);
  if (net->announce_due || now - net->last_announce_ns >= kChannelAnnounceMs * kMsNs) send_announce(net, now);
  for (int i = 0; i < net->peer_count;)
    if (now - net->peers[i].last_ns > kChannelPeerExpiryMs * kMsNs) remove_peer(net, i);
    else ++i;
  for (ChannelSink* s : net->sinks) {
    if (!s) continue;
    for (int k = 0; k < s->sub_count;)
      if (now - s->subs[k].last_ns > kChannelSubscriberExpiryMs * kMsNs) s->subs[k] = s->subs[--s->sub_count];
      else ++k;
  }
  for (ChannelSource* src : net->sources) {
    if (!src) continue;
    const Peer* owner = channel_owner(net, src->channel_id);
    if (!owner) {
      src->have_publisher = false;
      src->token = 0;
      continue;
    }
    if (!src->have_publisher || !same_endpoint(src->publisher, owner->addr)) {
      src->have_publisher = true;
      src->publisher = owner->addr;
      src->token = 0;
      src->have_index = false;
      src->last_subscribe_ns = 0;
    }
    if (now - src->last_subscribe_ns >= kChannelKeepAliveMs * kMsNs) send_subscribe(net, src, now);
  }
}

// ---- The thread -------------------------------------------------------------------------------

void net_main(ChannelNet* net) {
  thread_set_own_name("tolm-channels");
  uint8_t* buf = net->receive;
  while (net->running.load(kAcquire)) {
    bool any_sink = false;
    {
      std::lock_guard<std::mutex> lock(net->mu);
      for (ChannelSink* s : net->sinks) any_sink |= s != nullptr;
    }
    pollfd fds[2] = {{net->mcast_fd, POLLIN, 0}, {net->audio_fd, POLLIN, 0}};
    poll(fds, 2, any_sink ? kBusyPollMs : kIdlePollMs);
    std::lock_guard<std::mutex> lock(net->mu);
    int64_t now = mono_ns();
    for (int k = 0; k < 2; ++k) {
      const int fd = k == 0 ? net->mcast_fd : net->audio_fd;
      for (int i = 0; i < kDatagramsPerPass; ++i) {
        sockaddr_in from{};
        socklen_t from_len = sizeof from;
        const ssize_t n = recvfrom(fd, buf, kReceiveBytes, MSG_DONTWAIT | MSG_TRUNC, reinterpret_cast<sockaddr*>(&from),
                                   &from_len);
        if (n < 0) break;
        if (from.sin_family != AF_INET) continue;
        handle(net, buf, n, from, k == 0, now);
      }
    }
    now = mono_ns();
    run_timers(net, now);
    for (ChannelSink* s : net->sinks)
      if (s) drain_sink(net, s);
    report_list(net);
  }
}

int open_socket(uint16_t port, bool reuse, char* msg, size_t cap) {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    text_format(msg, cap, "socket: %s", strerror(errno));
    return -1;
  }
  const int one = 1;
  if (reuse) setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_ANY);
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    text_format(msg, cap, "bind(%u): %s", unsigned(port), strerror(errno));
    close(fd);
    return -1;
  }
  return fd;
}

void close_sockets(ChannelNet* net) {
  if (net->mcast_fd >= 0) close(net->mcast_fd);
  if (net->audio_fd >= 0) close(net->audio_fd);
  net->mcast_fd = net->audio_fd = -1;
  net->joined_count = 0;
  net->audio_port.store(0, kRelaxed);
}

template <typename T, size_t N>
bool add_to(T* (&slots)[N], T* item) {
  for (auto& s : slots)
    if (!s) {
      s = item;
      return true;
    }
  return false;
}

template <typename T, size_t N>
void remove_from(T* (&slots)[N], T* item) {
  for (auto& s : slots)
    if (s == item) s = nullptr;
}

}  // namespace

ChannelNet* channel_net_create(const char* peer_name, const ChannelNetConfig* cfg) {
  ChannelNet* net = new (std::nothrow) ChannelNet{};
  if (!net) return nullptr;
  net->cfg.port = cfg && cfg->port ? cfg->port : kChannelPort;
  net->cfg.group = cfg && cfg->group ? cfg->group : kChannelGroup;
  net->peer_id = random_id();
  net->secret[0] = random_id();
  net->secret[1] = random_id();
  text_copy(net->peer_name, peer_name ? peer_name : "");
  net->mcast_fd = net->audio_fd = -1;
  net->list_print = list_fingerprint(net);
  return net;
}

void channel_net_destroy(ChannelNet* net) {
  if (!net) return;
  channel_net_enable(net, false, nullptr, 0);
  delete net;
}

int channel_net_enable(ChannelNet* net, bool on, char* msg, size_t msg_cap) {
  char scratch[2];
  if (!msg) msg = scratch, msg_cap = sizeof scratch;
  if (msg_cap) msg[0] = 0;
  if (on) {
    if (net->running.load()) return 0;
    std::lock_guard<std::mutex> lock(net->mu);
    net->audio_fd = open_socket(0, false, msg, msg_cap);
    if (net->audio_fd >= 0) net->mcast_fd = open_socket(net->cfg.port, true, msg, msg_cap);
    if (net->mcast_fd < 0) {
      close_sockets(net);
      return -1;
    }
    const int ttl = 1, loop = 1;
    setsockopt(net->audio_fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl);
    setsockopt(net->audio_fd, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof loop);
    sockaddr_in a{};
    socklen_t len = sizeof a;
    getsockname(net->audio_fd, reinterpret_cast<sockaddr*>(&a), &len);
    net->audio_port.store(ntohs(a.sin_port), kRelaxed);
    net->last_announce_ns = 0;
    scan_interfaces(net, mono_ns());
    net->announce_due = true;
    net->running.store(1, kRelease);
    net->thread = std::thread(net_main, net);
    return 0;
  }
  if (!net->running.load()) return 0;
  net->running.store(0, kRelease);
  if (net->thread.joinable()) net->thread.join();
  std::lock_guard<std::mutex> lock(net->mu);
  uint8_t bye[kChannelByeBytes];
  send_everywhere(net, bye, channel_write_bye(bye, sizeof bye, net->peer_id));
  for (ChannelSource* src : net->sources)
    if (src) {
      send_leave(net, src);
      src->have_publisher = false;
      src->token = 0;
      src->have_index = false;
    }
  for (ChannelSink* s : net->sinks)
    if (s) s->sub_count = 0;
  close_sockets(net);
  net->peer_count = 0;
  report_list(net);
  return 0;
}

bool channel_net_enabled(const ChannelNet* net) { return net->running.load(kAcquire) != 0; }

void channel_net_set_peer_name(ChannelNet* net, const char* name) {
  std::lock_guard<std::mutex> lock(net->mu);
  text_copy(net->peer_name, name);
  net->announce_due = true;
}

void channel_net_set_changed_callback(ChannelNet* net, ChannelsChangedFn fn, void* ctx) {
  std::lock_guard<std::mutex> lock(net->mu);
  net->changed_fn = fn;
  net->changed_ctx = ctx;
}

int channel_net_channels(ChannelNet* net, ChannelInfo* out, int cap) {
  std::lock_guard<std::mutex> lock(net->mu);
  int n = 0;
  for (int p = 0; p < net->peer_count; ++p)
    for (int c = 0; c < net->peers[p].count && n < cap; ++c) {
      out[n].id = net->peers[p].channels[c].id;
      text_copy(out[n].peer_name, net->peers[p].name);
      text_copy(out[n].name, net->peers[p].channels[c].name);
      ++n;
    }
  return n;
}

int channel_net_peer_count(ChannelNet* net) {
  std::lock_guard<std::mutex> lock(net->mu);
  return net->peer_count;
}

uint16_t channel_net_audio_port(const ChannelNet* net) { return net->audio_port.load(kRelaxed); }

uint64_t channel_net_peer_id(const ChannelNet* net) { return net->peer_id; }

ChannelNetStats channel_net_stats(const ChannelNet* net) {
  const Stats& s = net->stats;
  return ChannelNetStats{s.rejected.load(), s.oversize.load(), s.challenges.load(), s.refused_listeners.load(),
                         s.foreign_audio.load(), s.packets_sent.load(), s.blocks_delivered.load(),
                         s.gap_frames.load()};
}

ChannelSink* channel_sink_create(ChannelNet* net, const char* name, int capacity_samples) {
  if (capacity_samples < 1) return nullptr;
  ChannelSink* s = new (std::nothrow) ChannelSink{};
  if (!s) return nullptr;
  s->samples = static_cast<int16_t*>(calloc(size_t(kChannelSinkSlots) * size_t(capacity_samples), sizeof(int16_t)));
  if (!s->samples) {
    delete s;
    return nullptr;
  }
  s->net = net;
  s->id = random_id();
  s->capacity = capacity_samples;
  text_copy(s->name, name);
  std::lock_guard<std::mutex> lock(net->mu);
  if (!add_to(net->sinks, s)) {
    free(s->samples);
    delete s;
    return nullptr;
  }
  net->announce_due = true;
  return s;
}

void channel_sink_destroy(ChannelSink* s) {
  if (!s) return;
  {
    std::lock_guard<std::mutex> lock(s->net->mu);
    remove_from(s->net->sinks, s);
    s->net->announce_due = true;
  }
  free(s->samples);
  delete s;
}

uint64_t channel_sink_id(const ChannelSink* s) { return s->id; }

int channel_sink_listeners(ChannelSink* s) {
  std::lock_guard<std::mutex> lock(s->net->mu);
  return s->sub_count;
}

int channel_sink_pending(const ChannelSink* s) {
  return int(s->write_count.load(kAcquire) - s->read_count.load(kAcquire));
}

int16_t* channel_sink_retain(ChannelSink* s) {
  const int64_t w = s->write_count.load(kRelaxed);
  if (w - s->read_count.load(kAcquire) >= kChannelSinkSlots) return nullptr;
  s->retained = true;
  return s->samples + size_t(w % kChannelSinkSlots) * size_t(s->capacity);
}

bool channel_sink_commit(ChannelSink* s, int frames, int channels, double rate_hz, const ChannelTiming& timing) {
  if (!s->retained) return false;
  s->retained = false;
  if (frames < 1 || channels < 1 || channels > kChannelMaxSampleChannels || int64_t(frames) * channels > s->capacity ||
      !(rate_hz >= kChannelMinRateHz && rate_hz <= kChannelMaxRateHz))
    return false;
  const int64_t w = s->write_count.load(kRelaxed);
  s->slots[w % kChannelSinkSlots] = SinkSlot{frames, channels, rate_hz, timing};
  s->write_count.store(w + 1, kRelease);
  return true;
}

ChannelSource* channel_source_open(ChannelNet* net, uint64_t channel_id, ChannelBlockFn fn, void* ctx) {
  if (!fn || channel_id == 0) return nullptr;
  ChannelSource* src = new (std::nothrow) ChannelSource{};
  if (!src) return nullptr;
  src->net = net;
  src->channel_id = channel_id;
  src->fn = fn;
  src->ctx = ctx;
  std::lock_guard<std::mutex> lock(net->mu);
  if (!add_to(net->sources, src)) {
    delete src;
    return nullptr;
  }
  return src;
}

void channel_source_close(ChannelSource* src) {
  if (!src) return;
  {
    // Callbacks run under this lock: once it is ours, none is running, and none can start for a
    // source that is no longer in the table.
    std::lock_guard<std::mutex> lock(src->net->mu);
    send_leave(src->net, src);
    remove_from(src->net->sources, src);
  }
  delete src;
}
