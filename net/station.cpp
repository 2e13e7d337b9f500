// The broadcast station: identity file, the audio side (rate measurer, resampler, ring), the
// message framing, the listeners' send queues and the worker that serves them over POSIX sockets.
// Every buffer is allocated in station_init; the audio side only reads and writes atomics and the
// ring, and the worker builds each message once into a stack buffer and copies it into the queues.
#include "net/station.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "config/log.h"
#include "kit/json.h"
#include "net/dnssd.h"
#include "platform/clock.h"
#include "platform/file.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "platform/thread.h"

namespace {

constexpr auto kRelaxed = std::memory_order_relaxed;
constexpr auto kAcquire = std::memory_order_acquire;
constexpr auto kRelease = std::memory_order_release;
constexpr float kSilenceLimit = 1.0f / 65536.0f;
constexpr int kGoodbyeFlushMs = 200;
constexpr int64_t kAcceptPauseNs = 100000000;
constexpr double kSnapRates[] = {22050, 32000, 44100, 48000, 88200, 96000, 176400, 192000};

// ---- Identity -------------------------------------------------------------------------------

bool valid_sid(const char* text, size_t bytes) {
  if (bytes < 8) return false;
  for (int i = 0; i < 8; ++i) {
    const char c = text[i];
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

bool read_sid_file(const char* path, char sid[9]) {
  char* data = nullptr;
  size_t bytes = 0;
  if (read_file_whole(path, &data, &bytes, 4096) != 0) return false;
  const bool ok = valid_sid(data, bytes);
  if (ok) {
    memcpy(sid, data, 8);
    sid[8] = 0;
  }
  free_file_data(data);
  return ok;
}

bool save_sid(const char* path, const char* sid) {
  char line[16];
  const size_t n = text_format(line, sizeof line, "%s\n", sid);
  return replace_file_whole(path, line, n) == 0;
}

uint32_t new_sid_value() {
  uint32_t x = uint32_t(getpid()) * 0x9E3779B1u ^ tick_ms() ^ uint32_t(uint64_t(mono_ns()));
  x ^= x << 13;
  x ^= x >> 17;
  x ^= x << 5;
  return x;
}

// ---- Wire -----------------------------------------------------------------------------------

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
uint32_t get_be32(const uint8_t* p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}

// Length, magic, version and type; returns the header size.
int put_header(uint8_t* m, int total_bytes, uint8_t type) {
  put_be32(m, uint32_t(total_bytes - 4));
  m[4] = 'L';
  m[5] = 'M';
  m[6] = 1;
  m[7] = type;
  return 8;
}

int build_state(uint8_t* m, bool live) {
  const char* body = live ? "{\"state\":\"live\"}" : "{\"state\":\"paused\"}";
  const int n = int(strlen(body));
  put_header(m, 8 + n, kLmState);
  memcpy(m + 8, body, size_t(n));
  return 8 + n;
}

int build_goodbye(uint8_t* m) { return put_header(m, 8, kLmGoodbye); }

// The announce: the fixed member order, every name written as an escaped JSON string.
int build_announce(const Station* s, uint8_t* m, int cap) {
  JsonWriter w;
  json_writer_start(&w, reinterpret_cast<char*>(m + 8), size_t(cap - 8));
  const auto member = [&w](const char* name) { json_write_raw(&w, name, strlen(name)); };
  member("{\"app\":");
  json_write_string(&w, s->id.app, sizeof s->id.app);
  member(",\"an\":");
  json_write_string(&w, s->id.an, sizeof s->id.an);
  member(",\"kind\":");
  json_write_string(&w, s->id.kind, sizeof s->id.kind);
  member(",\"dev\":");
  json_write_string(&w, s->id.dev, sizeof s->id.dev);
  member(",\"sid\":");
  json_write_string(&w, s->id.sid, sizeof s->id.sid);
  char rest[64];
  text_format(rest, sizeof rest, ",\"codec\":\"pcm16\",\"ch\":2,\"rate\":%d,\"frames\":%d,\"tref\":", kStationRateHz,
              kStationMessageFrames);
  member(rest);
  json_write_string(&w, s->id.tref, sizeof s->id.tref);
  member(",\"latNs\":");
  json_write_int(&w, s->lat_ns.load(kRelaxed));
  member(",\"idx\":");
  text_format(rest, sizeof rest, "%llu", static_cast<unsigned long long>(s->send_index));
  member(rest);
  member(",\"os\":\"linux\"}");
  const size_t n = json_writer_finish(&w);
  if (n + 8 >= size_t(cap)) return 0;  // cannot happen with the identity's field sizes
  put_header(m, int(8 + n), kLmAnnounce);
  return int(8 + n);
}

int build_pong(uint8_t* m, const uint8_t* ping_stamp, int64_t handled_ns, int64_t built_ns) {
  put_header(m, 32, kLmPong);
  memcpy(m + 8, ping_stamp, 8);
  put_be64(m + 16, uint64_t(handled_ns));
  put_be64(m + 24, uint64_t(built_ns));
  return 32;
}

int16_t pcm16_from_float(float x) {
  x = std::clamp(x, -1.0f, 1.0f);
  return int16_t(x * 32767.0f);  // truncated toward zero
}

// ---- Send queue -----------------------------------------------------------------------------

uint8_t* slot(StationListener* l, int i) {
  return l->queue + size_t((i % kStationQueueMessages + kStationQueueMessages) % kStationQueueMessages) *
                        size_t(kStationMessageBytes);
}

// Appends a message; a full queue first drops its oldest message that has not started going out.
void queue_append(Station* s, StationListener* l, const uint8_t* m, int bytes) {
  if (l->count == kStationQueueMessages) {
    if (l->head_sent > 0) {
      // Keep the half-sent head: it moves one slot on, over the message behind it.
      memcpy(slot(l, l->head + 1), slot(l, l->head), l->queue_bytes[l->head]);
      l->queue_bytes[(l->head + 1) % kStationQueueMessages] = l->queue_bytes[l->head];
    }
    l->head = (l->head + 1) % kStationQueueMessages;
    --l->count;
    ++l->dropped;
    s->drops.fetch_add(1, kRelaxed);
  }
  const int at = (l->head + l->count) % kStationQueueMessages;
  memcpy(slot(l, at), m, size_t(bytes));
  l->queue_bytes[at] = uint16_t(bytes);
  ++l->count;
}

// A pong goes ahead of everything not yet started; a full queue loses its newest message.
void queue_insert_front(Station* s, StationListener* l, const uint8_t* m, int bytes) {
  if (l->count == kStationQueueMessages) {
    --l->count;
    ++l->dropped;
    s->drops.fetch_add(1, kRelaxed);
  }
  const int before = (l->head + kStationQueueMessages - 1) % kStationQueueMessages;
  if (l->count > 0 && l->head_sent > 0) {
    memcpy(slot(l, before), slot(l, l->head), l->queue_bytes[l->head]);
    l->queue_bytes[before] = l->queue_bytes[l->head];
    memcpy(slot(l, l->head), m, size_t(bytes));
    l->queue_bytes[l->head] = uint16_t(bytes);
  } else {
    memcpy(slot(l, before), m, size_t(bytes));
    l->queue_bytes[before] = uint16_t(bytes);
  }
  l->head = before;
  ++l->count;
}

// ---- Listeners ------------------------------------------------------------------------------

void clear_listener(StationListener* l) {
  uint8_t* queue = l->queue;
  memset(static_cast<void*>(l), 0, sizeof *l);
  l->queue = queue;
  l->fd = -1;
}

int count_listeners(const Station* s) {
  int n = 0;
  for (const auto& l : s->listeners) n += l.fd >= 0;
  return n;
}

// Names shown in the log: upper-cased an, or "a listener" before any hello.
const char* listener_label(const StationListener* l) { return l->named && l->an[0] ? l->an : "a listener"; }

void drop_listener(Station* s, StationListener* l) {
  char label[32];
  text_copy(label, listener_label(l));
  close(l->fd);
  clear_listener(l);
  const int n = count_listeners(s);
  s->listener_count.store(n, kRelaxed);
  log_line("lmstream: %s left (%d listening)", label, n);
}

// Hostile text from the network: control characters (C0, DEL, C1) are left out.
void strip_controls(char* text) {
  char* out = text;
  for (const char* p = text; *p; ++p) {
    const auto c = uint8_t(*p);
    if (c < 0x20 || c == 0x7F) continue;
    if (c == 0xC2 && uint8_t(p[1]) >= 0x80 && uint8_t(p[1]) <= 0x9F) {
      ++p;
      continue;
    }
    *out++ = *p;
  }
  *out = 0;
}

void take_hello(StationListener* l, const uint8_t* body, int bytes) {
  JsonValue root;
  char msg[96];
  if (!json_parse(reinterpret_cast<const char*>(body), size_t(bytes), &root, msg, sizeof msg) ||
      root.kind != JsonKind::kObject) {
    if (!l->bad_hello_logged) log_line("lmstream: %s sent a hello that is not a JSON object", listener_label(l));
    l->bad_hello_logged = true;
    return;
  }
  char an[32] = "", dev[32] = "";
  JsonCursor c;
  JsonValue name, value;
  json_object_begin(root, &c);
  while (json_object_next(&c, &name, &value)) {
    if (json_string_equals(name, "an")) json_get_string(value, an, sizeof an, nullptr);
    else if (json_string_equals(name, "dev")) json_get_string(value, dev, sizeof dev, nullptr);
  }
  strip_controls(an);
  strip_controls(dev);
  for (char* p = an; *p; ++p)
    if (*p >= 'a' && *p <= 'z') *p = char(*p - 'a' + 'A');
  // A repeated hello changes nothing and says nothing, so a flood of them cannot flood the log.
  if (l->named && strcmp(an, l->an) == 0 && strcmp(dev, l->dev) == 0) return;
  text_copy(l->an, an);
  text_copy(l->dev, dev);
  l->named = true;
  if (dev[0]) log_line("lmstream: %s is listening (%s)", an, dev);
  else log_line("lmstream: %s is listening", an);
}

// Takes every complete message out of the receive buffer. false when the listener must go.
bool take_messages(Station* s, StationListener* l) {
  int at = 0;
  while (l->rx_fill - at >= 4) {
    const uint32_t length = get_be32(l->rx + at);
    if (length < 4 || length > uint32_t(kStationMaxLength)) return false;
    if (uint32_t(l->rx_fill - at - 4) < length) break;
    const uint8_t* m = l->rx + at + 4;
    const int body_bytes = int(length) - 4;
    if (m[0] == 'L' && m[1] == 'M' && m[2] == 1) {
      if (m[3] == kLmHello) {
        take_hello(l, m + 4, body_bytes);
      } else if (m[3] == kLmPing && body_bytes >= 8) {
        const int64_t handled = station_clock_ns(s);
        uint8_t pong[32];
        build_pong(pong, m + 4, handled, station_clock_ns(s));
        queue_insert_front(s, l, pong, 32);
      }
    }
    at += 4 + int(length);
  }
  if (at > 0) {
    memmove(l->rx, l->rx + at, size_t(l->rx_fill - at));
    l->rx_fill -= at;
  }
  return true;
}

// One receive into the rest of the buffer. false when the listener closed or failed.
bool receive(Station* s, StationListener* l) {
  const ssize_t got = recv(l->fd, l->rx + l->rx_fill, size_t(kStationReceiveBytes - l->rx_fill), MSG_DONTWAIT);
  if (got == 0) return false;
  if (got < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
  l->rx_fill += int(got);
  return take_messages(s, l);
}

// Sends what the socket takes from the head of the queue. false on a send error.
bool send_queue(Station* s, StationListener* l) {
  while (l->count > 0) {
    const int bytes = l->queue_bytes[l->head];
    const ssize_t sent = send(l->fd, slot(l, l->head) + l->head_sent, size_t(bytes - l->head_sent),
                              MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
    l->head_sent += int(sent);
    if (l->head_sent < bytes) return true;
    l->head = (l->head + 1) % kStationQueueMessages;
    --l->count;
    l->head_sent = 0;
  }
  (void)s;
  return true;
}

void accept_pending(Station* s) {
  for (;;) {
    const int fd = accept4(s->listen_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      // Out of descriptors: the connection waits in the backlog, and the socket is left out of
      // the wait for a while instead of waking it at once, pass after pass.
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
        s->accept_paused_until_ns = mono_ns() + kAcceptPauseNs;
      return;  // EAGAIN: none left (or a connection that died in the backlog)
    }
    StationListener* l = nullptr;
    for (auto& cand : s->listeners)
      if (cand.fd < 0) {
        l = &cand;
        break;
      }
    if (!l) {
      close(fd);
      continue;
    }
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    clear_listener(l);
    l->fd = fd;
    uint8_t m[kStationMessageBytes];
    const int n = build_announce(s, m, sizeof m);
    if (n > 0) queue_append(s, l, m, n);
    if (!s->live_announced) queue_append(s, l, m, build_state(m, false));
    const int count = count_listeners(s);
    s->listener_count.store(count, kRelaxed);
    log_line("lmstream: a listener connected (%d listening)", count);
  }
}

void queue_to_all(Station* s, const uint8_t* m, int bytes) {
  for (auto& l : s->listeners)
    if (l.fd >= 0) queue_append(s, &l, m, bytes);
}

// The station time and first frame of the last pushed block, read as one pair.
void block_pair(const Station* s, int64_t* time_ns, int64_t* frame) {
  for (;;) {
    const uint32_t a = s->block_seq.load(kAcquire);
    *time_ns = s->block_time_ns.load(kRelaxed);
    *frame = s->block_frame.load(kRelaxed);
    std::atomic_thread_fence(kAcquire);
    if ((a & 1) == 0 && s->block_seq.load(kRelaxed) == a) return;
  }
}

// The audio message of the 480 frames at ring position pos.
int build_audio(Station* s, uint8_t* m, int64_t pos) {
  const float* f[2];
  int run[2];
  const int at = int(pos % kStationRingFrames);
  run[0] = std::min(kStationMessageFrames, kStationRingFrames - at);
  run[1] = kStationMessageFrames - run[0];
  f[0] = s->ring + 2 * size_t(at);
  f[1] = s->ring;
  bool silent = true;
  for (int r = 0; r < 2 && silent; ++r)
    for (int i = 0; i < 2 * run[r]; ++i)
      if (std::fabs(f[r][i]) > kSilenceLimit) {
        silent = false;
        break;
      }
  int64_t block_time, block_frame;
  block_pair(s, &block_time, &block_frame);
  int64_t t = block_time + (pos - block_frame) * 1000000000 / kStationRateHz + s->lat_ns.load(kRelaxed);
  if (t < 0) t = 0;
  const int total = silent ? kStationAudioHeaderBytes : kStationMessageBytes;
  put_header(m, total, kLmAudio);
  m[8] = 1;  // pcm16
  m[9] = 2;  // channels
  put_be16(m + 10, uint16_t((s->discontinuity ? kLmDiscontinuity : 0) | (silent ? kLmSilence : 0)));
  put_be32(m + 12, s->sequence++);
  put_be32(m + 16, uint32_t(kStationMessageFrames));
  put_be64(m + 20, uint64_t(s->send_index));
  put_be64(m + 28, uint64_t(t));
  s->discontinuity = false;
  if (!silent) {
    uint8_t* out = m + kStationAudioHeaderBytes;
    for (int r = 0; r < 2; ++r)
      for (int i = 0; i < 2 * run[r]; ++i) {
        const auto v = uint16_t(pcm16_from_float(f[r][i]));
        *out++ = uint8_t(v);
        *out++ = uint8_t(v >> 8);
      }
  }
  return total;
}

void follow_live(Station* s) {
  const int live = s->live.load(kRelaxed) ? 1 : 0;
  if (live == s->live_announced) return;
  uint8_t m[32];
  queue_to_all(s, m, build_state(m, live));
  const int64_t now = station_clock_ns(s);
  const int64_t read_pos = s->read_pos.load(kRelaxed);
  if (live) {
    // The index keeps pace with the clock across the pause; frames that still arrived while
    // paused have moved it already.
    const int64_t paused_frames = (now - s->paused_at_ns) * kStationRateHz / 1000000000;
    const int64_t jump = paused_frames - (read_pos - s->paused_read_pos);
    if (jump > 0) s->send_index += jump;
    s->discontinuity = true;
  } else {
    s->paused_at_ns = now;
    s->paused_read_pos = read_pos;
  }
  s->live_announced = live;
  log_line("lmstream: %s", live ? "live" : "paused");
}

void send_all(Station* s) {
  for (auto& l : s->listeners)
    if (l.fd >= 0 && !send_queue(s, &l)) drop_listener(s, &l);
}

void send_audio(Station* s) {
  int64_t pos = s->read_pos.load(kRelaxed);
  while (s->write_count.load(kAcquire) - pos >= kStationMessageFrames) {
    if (s->live_announced && s->listener_count.load(kRelaxed) > 0) {
      uint8_t m[kStationMessageBytes];
      const int n = build_audio(s, m, pos);
      queue_to_all(s, m, n);
      s->frames_sent.fetch_add(kStationMessageFrames, kRelaxed);
      // Out at once, so a burst (the ring after a stall) fills the sockets before the queues.
      send_all(s);
    }
    pos += kStationMessageFrames;
    s->send_index += kStationMessageFrames;
    s->read_pos.store(pos, kRelease);  // frees the ring room for the audio side
  }
}

// Goodbye to everyone: what has not started going out is dropped, a half-sent message is
// finished, then the goodbye, for a short while at most.
void say_goodbye(Station* s) {
  uint8_t m[8];
  build_goodbye(m);
  for (auto& l : s->listeners) {
    if (l.fd < 0) continue;
    l.count = l.head_sent > 0 ? 1 : 0;
    queue_append(s, &l, m, 8);
  }
  const int64_t until = mono_ns() + int64_t(kGoodbyeFlushMs) * 1000000;
  for (;;) {
    pollfd p[kStationMaxListeners];
    int n = 0;
    for (auto& l : s->listeners) {
      if (l.fd < 0 || l.count == 0) continue;
      if (!send_queue(s, &l)) l.count = 0;
      if (l.count > 0) p[n++] = pollfd{l.fd, POLLOUT, 0};
    }
    const int64_t left_ms = (until - mono_ns()) / 1000000;
    if (n == 0 || left_ms <= 0) break;
    poll(p, nfds_t(n), int(std::min<int64_t>(left_ms, kStationPollMs)));
  }
  for (auto& l : s->listeners) {
    if (l.fd < 0) continue;
    shutdown(l.fd, SHUT_WR);
    uint8_t sink[kStationReceiveBytes];
    while (recv(l.fd, sink, sizeof sink, MSG_DONTWAIT) > 0) {
    }
    close(l.fd);
    clear_listener(&l);
  }
  s->listener_count.store(0, kRelaxed);
}

void worker_main(Station* s) {
  pollfd p[1 + kStationMaxListeners];
  StationListener* who[1 + kStationMaxListeners];
  while (s->running.load(kAcquire)) {
    int n = 0;
    const bool accepting = mono_ns() >= s->accept_paused_until_ns;
    p[n++] = pollfd{accepting ? s->listen_fd : -1, POLLIN, 0};
    for (auto& l : s->listeners)
      if (l.fd >= 0) {
        who[n] = &l;
        p[n++] = pollfd{l.fd, POLLIN, 0};
      }
    const int ready = poll(p, nfds_t(n), kStationPollMs);
    if (ready > 0) {
      for (int i = 1; i < n; ++i)
        if (p[i].revents && who[i]->fd >= 0 && !receive(s, who[i])) drop_listener(s, who[i]);
      if (p[0].revents & POLLIN) accept_pending(s);
    }
    follow_live(s);
    if (s->discontinuity_request.exchange(0, kAcquire)) s->discontinuity = true;
    send_audio(s);
    send_all(s);
  }
  say_goodbye(s);
}

// A listening socket on every address: dual-stack IPv6, else IPv4. The descriptor or -1 (errno).
int open_listener(uint16_t port) {
  const int one = 1, zero = 0;
  int fd = socket(AF_INET6, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd >= 0) {
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &zero, sizeof zero);
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_addr = in6addr_any;
    a.sin6_port = htons(port);
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && listen(fd, kStationBacklog) == 0) return fd;
    close(fd);
  }
  fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_ANY);
  a.sin_port = htons(port);
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, kStationBacklog) != 0) {
    const int err = errno;
    close(fd);
    errno = err;
    return -1;
  }
  return fd;
}

uint16_t bound_port(int fd) {
  sockaddr_storage a{};
  socklen_t len = sizeof a;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) return 0;
  if (a.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6*>(&a)->sin6_port);
  return ntohs(reinterpret_cast<sockaddr_in*>(&a)->sin_port);
}

// ---- Audio side -----------------------------------------------------------------------------

double snap_rate(double hz) {
  for (double r : kSnapRates)
    if (hz >= r * 0.985 && hz <= r * 1.015) return r;
  return hz;
}

// Counts frames over windows of at least two seconds; a rate is adopted when two windows in a
// row agree.
void measure(Station* s, int frames, int64_t now_ns) {
  if (s->window_start_ns < 0) {
    s->window_start_ns = now_ns;
    s->window_frames = 0;
    return;
  }
  s->window_frames += frames;
  const int64_t elapsed = now_ns - s->window_start_ns;
  if (elapsed < kStationWindowNs) return;
  const double hz = snap_rate(double(s->window_frames) * 1e9 / double(elapsed));
  s->window_start_ns = now_ns;
  s->window_frames = 0;
  if (hz <= 1000) {
    s->window_last_hz = 0;
    return;
  }
  const double prev = s->window_last_hz;
  if (prev > 0 && hz >= prev * 0.995 && hz <= prev * 1.005) {
    s->adopted_hz = hz;
    s->measured_hz.store(hz, kRelaxed);
  }
  s->window_last_hz = hz;
}

// Copies frames into the ring unless that would run more than the ring ahead of the reader.
bool ring_write(Station* s, const float* stereo, int frames) {
  const int64_t w = s->write_count.load(kRelaxed);
  if (w + frames - s->read_pos.load(kAcquire) > kStationRingFrames) {
    s->overflow.store(1, kRelaxed);
    s->discontinuity_request.store(1, kRelaxed);  // the stream has a hole: say so
    return false;
  }
  const int at = int(w % kStationRingFrames);
  const int first = std::min(frames, kStationRingFrames - at);
  memcpy(s->ring + 2 * size_t(at), stereo, 2 * size_t(first) * sizeof(float));
  memcpy(s->ring, stereo + 2 * size_t(first), 2 * size_t(frames - first) * sizeof(float));
  s->write_count.store(w + frames, kRelease);
  return true;
}

void note_block(Station* s, int64_t now_ns, int64_t first_frame) {
  const uint32_t q = s->block_seq.load(kRelaxed);
  s->block_seq.store(q + 1, kRelaxed);
  std::atomic_thread_fence(kRelease);
  s->block_time_ns.store(now_ns, kRelaxed);
  s->block_frame.store(first_frame, kRelaxed);
  s->block_seq.store(q + 2, kRelease);
}

void station_tap(void* ctx, const float* stereo, int frames, int rate) {
  station_push(static_cast<Station*>(ctx), stereo, frames, double(rate));
}

}  // namespace

void station_identity_default(StationIdentity* id) {
  *id = StationIdentity{};
  text_copy(id->app, "tolm");
  text_copy(id->an, "Tolm");
  text_copy(id->kind, "monitor");
  text_copy(id->tref, "in");
  char host[256] = "";
  if (gethostname(host, sizeof host - 1) != 0 || !host[0]) text_copy(host, "PC");
  // Cut on a character boundary.
  utf8_copy_valid(id->dev, sizeof id->dev, host, strlen(host), nullptr);
  id->port = kStationPort;
}

void station_folder(char* out, size_t cap) {
  char base[kPathCap];
  if (!config_dir(base, sizeof base) || text_format(out, cap, "%s/Lumaro", base) >= cap - 1 ||
      make_dirs(out) != 0)
    text_copy(out, cap, ".");
}

void station_read_sid(const char* folder, const char* app, char sid[9]) {
  char own[kPathCap * 2], shared[kPathCap * 2];
  text_format(own, sizeof own, "%s/stream.%s.sid", folder, app);
  text_format(shared, sizeof shared, "%s/stream.sid", folder);
  if (read_sid_file(own, sid)) return;
  if (read_sid_file(shared, sid)) {
    if (save_sid(own, sid)) remove_file(shared);
    return;
  }
  text_format(sid, 9, "%08x", new_sid_value());
  if (!save_sid(own, sid)) log_line("lmstream: could not save the station id to %s", own);
}

int station_init(Station* s, const StationIdentity& id, const char* folder) {
  s->id = id;
  station_read_sid(folder, id.app[0] ? id.app : "app", s->id.sid);
  s->ring = static_cast<float*>(calloc(2 * size_t(kStationRingFrames), sizeof(float)));
  s->scratch = static_cast<float*>(calloc(2 * size_t(kStationScratchFrames), sizeof(float)));
  s->queues = static_cast<uint8_t*>(
      calloc(size_t(kStationMaxListeners) * kStationQueueMessages, size_t(kStationMessageBytes)));
  if (!s->ring || !s->scratch || !s->queues) {
    free(s->ring);
    free(s->scratch);
    free(s->queues);
    s->ring = s->scratch = nullptr;
    s->queues = nullptr;
    log_line("lmstream: out of memory");
    return -1;
  }
  for (int i = 0; i < kStationMaxListeners; ++i) {
    s->listeners[i].queue = s->queues + size_t(i) * kStationQueueMessages * size_t(kStationMessageBytes);
    clear_listener(&s->listeners[i]);
  }
  s->start_ns = mono_ns();
  s->running.store(0);
  s->live.store(1);
  s->lat_ns.store(0);
  s->generation.store(0);
  s->discontinuity_request.store(0);
  s->write_count.store(0);
  s->block_seq.store(0);
  s->block_time_ns.store(0);
  s->block_frame.store(0);
  s->overflow.store(0);
  s->measured_hz.store(0);
  s->read_pos.store(0);
  s->frames_sent.store(0);
  s->listener_count.store(0);
  s->drops.store(0);
  s->push_generation = -1;
  s->listen_fd = -1;
  s->dnssd = nullptr;
  s->tap = OutputTap{station_tap, s};
  return 0;
}

int station_start(Station* s) {
  if (!s->ring || s->running.load()) return -1;
  const int fd = open_listener(s->id.port);
  if (fd < 0) {
    log_line("lmstream: bind(%u) failed (%d) - another station on this port?", unsigned(s->id.port), errno);
    return -1;
  }
  s->listen_fd = fd;
  s->bound_port = bound_port(fd);
  // Whatever the audio side wrote while off air is skipped: the worker starts at the write count.
  s->read_pos.store(s->write_count.load(kAcquire), kRelease);
  s->send_index = 0;
  s->sequence = 0;
  s->frames_sent.store(0);
  s->overflow.store(0);
  s->discontinuity = false;
  s->live_announced = 1;
  s->paused_at_ns = 0;
  s->paused_read_pos = 0;
  s->accept_paused_until_ns = 0;
  s->generation.fetch_add(1, kRelease);
  s->discontinuity_request.store(1, kRelease);
  s->running.store(1, kRelease);
  s->worker = std::thread(worker_main, s);
  thread_set_name(s->worker, "tolm-lmstream");
  s->dnssd = dnssd_register(s->id, s->bound_port);
  log_line("lmstream: station %s on :%u (sid %s, %s, tref=%s)", s->id.an, unsigned(s->bound_port), s->id.sid,
           s->id.kind, s->id.tref);
  return 0;
}

void station_stop(Station* s) {
  if (!s->running.load()) return;
  dnssd_withdraw(s->dnssd);
  s->dnssd = nullptr;
  s->running.store(0, kRelease);
  if (s->worker.joinable()) s->worker.join();
  close(s->listen_fd);
  s->listen_fd = -1;
  log_line("lmstream: off air");
}

void station_close(Station* s) {
  station_stop(s);
  free(s->ring);
  free(s->scratch);
  free(s->queues);
  s->ring = s->scratch = nullptr;
  s->queues = nullptr;
  for (auto& l : s->listeners) l.queue = nullptr;
}

void station_set_live(Station* s, bool live) { s->live.store(live ? 1 : 0, kRelaxed); }

void station_set_latency(Station* s, int64_t lat_ns) { s->lat_ns.store(lat_ns, kRelaxed); }

int64_t station_clock_ns(const Station* s) { return mono_ns() - s->start_ns; }

bool station_take_bytes(Station* s, int slot, const uint8_t* data, size_t bytes) {
  if (s->running.load() || slot < 0 || slot >= kStationMaxListeners || !s->queues) return false;
  StationListener* l = &s->listeners[slot];
  while (bytes > 0) {
    const size_t n = std::min(bytes, size_t(kStationReceiveBytes - l->rx_fill));
    memcpy(l->rx + l->rx_fill, data, n);
    l->rx_fill += int(n);
    data += n;
    bytes -= n;
    if (!take_messages(s, l)) {
      clear_listener(l);
      return false;
    }
  }
  return true;
}

bool station_advertised(const Station* s) { return dnssd_advertised(s->dnssd); }

void station_push(Station* s, const float* stereo, int frames, double rate_hz) {
  station_push_at(s, stereo, frames, rate_hz, station_clock_ns(s));
}

void station_push_at(Station* s, const float* stereo, int frames, double rate_hz, int64_t now_ns) {
  if (!s->running.load(kAcquire) || frames <= 0 || !stereo) return;
  const int gen = s->generation.load(kAcquire);
  if (gen != s->push_generation) {
    s->push_generation = gen;
    s->window_start_ns = -1;
    s->window_frames = 0;
    s->window_last_hz = 0;
    s->adopted_hz = 0;
    s->rs_phase = 1.0;
    s->rs_last[0] = s->rs_last[1] = 0.0f;
  }
  measure(s, frames, now_ns);
  const double rate = s->adopted_hz > 0 ? s->adopted_hz : rate_hz;
  const int64_t first = s->write_count.load(kRelaxed);

  if (rate > 47999 && rate < 48001) {
    if (!ring_write(s, stereo, frames)) return;
    s->rs_last[0] = stereo[2 * (frames - 1)];
    s->rs_last[1] = stereo[2 * (frames - 1) + 1];
    s->rs_phase = 1.0;
  } else if (rate > 0) {
    // Linear interpolation: position 0 is the previous push's last frame, k the block's frame k - 1.
    // Long blocks at low rates go out in slices of the scratch buffer.
    const double step = rate / kStationRateHz;
    double p = s->rs_phase;
    int out = 0;
    bool ok = true;
    while (p < frames && ok) {
      const int i = int(p);
      const float t = float(p - i);
      const float* a = i == 0 ? s->rs_last : stereo + 2 * (i - 1);
      const float* b = stereo + 2 * i;
      s->scratch[2 * out] = a[0] + (b[0] - a[0]) * t;
      s->scratch[2 * out + 1] = a[1] + (b[1] - a[1]) * t;
      p += step;
      if (++out == kStationScratchFrames) {
        ok = ring_write(s, s->scratch, out);
        out = 0;
      }
    }
    if (ok && out > 0) ok = ring_write(s, s->scratch, out);
    s->rs_phase = p - frames;
    s->rs_last[0] = stereo[2 * (frames - 1)];
    s->rs_last[1] = stereo[2 * (frames - 1) + 1];
    if (!ok) return;
  } else {
    return;
  }
  note_block(s, now_ns, first);
}
