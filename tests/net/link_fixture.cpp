#include "tests/net/link_fixture.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstring>

#include "platform/clock.h"

std::string link_unfit() {
  if (geteuid() != 0)
    return "needs root: Link and the channel layer run only in a private network namespace (scripts/test)";
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return "cannot list the network interfaces";
  std::string why;
  for (ifaddrs* a = list; a; a = a->ifa_next)
    if ((a->ifa_flags & IFF_UP) && !(a->ifa_flags & IFF_LOOPBACK))
      why = std::string("interface ") + a->ifa_name +
            " is up: Link would multicast on it; run inside a loopback-only network namespace (scripts/test)";
  freeifaddrs(list);
  return why;
}

bool link_private_network() {
  if (unshare(CLONE_NEWNET) != 0) return false;
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  ifreq r{};
  strncpy(r.ifr_name, "lo", IFNAMSIZ - 1);
  bool ok = ioctl(fd, SIOCGIFFLAGS, &r) == 0;
  r.ifr_flags = short(r.ifr_flags | IFF_UP);
  ok = ok && ioctl(fd, SIOCSIFFLAGS, &r) == 0;
  close(fd);
  return ok;
}

LinkRig::LinkRig(const char* name, int max_block) {
  link_init(l.get(), name, max_block, kTestChannelPort);
}

LinkRig::~LinkRig() { link_close(l.get()); }

bool LinkRig::follow_until(const std::function<bool()>& pred, int timeout_ms) {
  const int64_t end = mono_ns() + int64_t(timeout_ms) * 1000000;
  while (mono_ns() < end) {
    link_follow_input(l.get());
    if (pred()) return true;
    sleep_ms(kLinkFollowMs);
  }
  link_follow_input(l.get());
  return pred();
}

std::string LinkRig::input_row() {
  char row[160];
  link_input_row(l.get(), row, sizeof row);
  return row;
}

std::string LinkRig::session_row() {
  char row[160];
  link_session_row(l.get(), row, sizeof row);
  return row;
}

PacedEngine::PacedEngine(double rate_hz, int block_frames) : e(make_engine(rate_hz)), rate(rate_hz), block(block_frames) {}

PacedEngine::~PacedEngine() { stop(); }

void PacedEngine::start() {
  run = 1;
  thread = std::thread([this] {
    std::vector<float> in(2 * size_t(block)), out(2 * size_t(block));
    auto due = std::chrono::steady_clock::now();
    int64_t first = 0;
    while (run.load()) {
      tape_maintain(&e->tape, e->write_head.load(), kTapeAhead);
      if (input) input(in.data(), block, first);
      else std::fill(in.begin(), in.end(), 0.0f);
      process_block(e.get(), in.data(), out.data(), block);
      first += block;
      blocks.fetch_add(1);
      due += std::chrono::nanoseconds(int64_t(double(block) * 1e9 / rate));
      std::this_thread::sleep_until(due);
    }
  });
}

void PacedEngine::stop() {
  run = 0;
  if (thread.joinable()) thread.join();
}

sockaddr_in loopback(uint16_t port, const char* ip) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  inet_pton(AF_INET, ip, &a.sin_addr);
  return a;
}

RawPeer::RawPeer(const char* ip, uint16_t port, bool multicast_member, uint16_t group_port) {
  fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  const int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a = loopback(multicast_member ? group_port : port, multicast_member ? "0.0.0.0" : ip);
  bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof self;
  getsockname(fd, reinterpret_cast<sockaddr*>(&self), &len);
  if (multicast_member) {
    ip_mreq m{};
    m.imr_multiaddr.s_addr = htonl(kChannelGroup);
    inet_pton(AF_INET, "127.0.0.1", &m.imr_interface);
    setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &m, sizeof m);
  }
}

RawPeer::~RawPeer() {
  if (fd >= 0) close(fd);
}

void RawPeer::send(const uint8_t* data, size_t bytes, const sockaddr_in& to) const {
  sendto(fd, data, bytes, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

void RawPeer::send_group(const uint8_t* data, size_t bytes, uint16_t port) const {
  in_addr lo{};
  inet_pton(AF_INET, "127.0.0.1", &lo);
  setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &lo, sizeof lo);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr.s_addr = htonl(kChannelGroup);
  send(data, bytes, to);
}

std::vector<uint8_t> RawPeer::receive(int timeout_ms, sockaddr_in* from) const {
  pollfd p{fd, POLLIN, 0};
  if (poll(&p, 1, timeout_ms) <= 0) return {};
  std::vector<uint8_t> buf(4096);
  sockaddr_in f{};
  socklen_t len = sizeof f;
  const ssize_t n = recvfrom(fd, buf.data(), buf.size(), 0, reinterpret_cast<sockaddr*>(&f), &len);
  if (n < 0) return {};
  buf.resize(size_t(n));
  if (from) *from = f;
  return buf;
}

std::vector<std::vector<uint8_t>> RawPeer::drain(int ms) const {
  std::vector<std::vector<uint8_t>> all;
  const int64_t end = mono_ns() + int64_t(ms) * 1000000;
  for (int64_t now = mono_ns(); now < end; now = mono_ns()) {
    std::vector<uint8_t> d = receive(int((end - now) / 1000000) + 1);
    if (!d.empty()) all.push_back(std::move(d));
  }
  return all;
}

double tone_share(const std::vector<float>& x, double rate_hz, double hz) {
  const size_t n = x.size();
  if (n < 2) return 0;
  const double w = 2 * M_PI * hz / rate_hz;
  double re = 0, im = 0, energy = 0, window_energy = 0;
  for (size_t i = 0; i < n; ++i) {
    const double h = 0.5 - 0.5 * std::cos(2 * M_PI * double(i) / double(n - 1));
    const double v = double(x[i]) * h;
    re += v * std::cos(w * double(i));
    im -= v * std::sin(w * double(i));
    energy += v * v;
    window_energy += h * h;
  }
  if (energy <= 0) return 0;
  // A pure tone puts |X|² = (A·Σh/2)² at its bin; its windowed energy is A²·Σh²/2.
  double sum_h = 0;
  for (size_t i = 0; i < n; ++i) sum_h += 0.5 - 0.5 * std::cos(2 * M_PI * double(i) / double(n - 1));
  const double tone_power = (re * re + im * im) * 2.0 * window_energy / (sum_h * sum_h);
  return tone_power / energy;
}

double rms(const std::vector<float>& x) {
  double s = 0;
  for (float v : x) s += double(v) * v;
  return x.empty() ? 0 : std::sqrt(s / double(x.size()));
}

std::vector<float> side(const std::vector<float>& stereo, int ch, size_t from, size_t to) {
  std::vector<float> v;
  for (size_t i = from; i < to && 2 * i + 1 < stereo.size(); ++i) v.push_back(stereo[2 * i + size_t(ch)]);
  return v;
}
