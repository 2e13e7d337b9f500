#include "tests/net/listener_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace {

uint32_t be32(const uint8_t* p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }
uint64_t be64(const uint8_t* p) { return uint64_t(be32(p)) << 32 | be32(p + 4); }

int64_t now_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void decode_audio(LmMessage* m) {
  const auto& b = m->body;
  if (b.size() < 28) return;
  m->codec = b[0];
  m->channels = b[1];
  m->flags = uint16_t(b[2] << 8 | b[3]);
  m->sequence = be32(&b[4]);
  m->frames = be32(&b[8]);
  m->index = be64(&b[12]);
  m->time_ns = int64_t(be64(&b[20]));
  for (size_t i = 28; i + 1 < b.size(); i += 2) m->samples.push_back(int16_t(uint16_t(b[i] | b[i + 1] << 8)));
}

}  // namespace

std::vector<uint8_t> lm_frame(uint8_t type, const std::vector<uint8_t>& body) {
  const uint32_t len = uint32_t(4 + body.size());
  std::vector<uint8_t> m(8 + body.size());
  const uint8_t head[8] = {uint8_t(len >> 24), uint8_t(len >> 16), uint8_t(len >> 8), uint8_t(len), 'L', 'M', 1, type};
  std::copy(head, head + 8, m.begin());
  std::copy(body.begin(), body.end(), m.begin() + 8);
  return m;
}

bool ListenerClient::connect_to(uint16_t port, bool v6, int rcvbuf) {
  close_now();
  fd = socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  if (rcvbuf > 0) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
  int rc;
  if (v6) {
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_addr = in6addr_loopback;
    a.sin6_port = htons(port);
    rc = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  } else {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    rc = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  }
  if (rc != 0) close_now();
  pending.clear();
  return rc == 0;
}

void ListenerClient::close_now() {
  if (fd >= 0) close(fd);
  fd = -1;
}

bool ListenerClient::send_bytes(const std::vector<uint8_t>& bytes) {
  size_t at = 0;
  while (at < bytes.size()) {
    const ssize_t n = send(fd, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
    if (n <= 0) return false;
    at += size_t(n);
  }
  return true;
}

bool ListenerClient::send_message(uint8_t type, const std::vector<uint8_t>& body) {
  return send_bytes(lm_frame(type, body));
}

bool ListenerClient::hello(const std::string& json) {
  return send_message(16, std::vector<uint8_t>(json.begin(), json.end()));
}

bool ListenerClient::ping(uint64_t stamp) {
  std::vector<uint8_t> b(8);
  for (int i = 0; i < 8; ++i) b[size_t(i)] = uint8_t(stamp >> (56 - 8 * i));
  return send_message(17, b);
}

bool ListenerClient::next(LmMessage* m, int timeout_ms) {
  const int64_t until = now_ms() + timeout_ms;
  for (;;) {
    if (pending.size() >= 4) {
      const uint32_t len = be32(pending.data());
      if (pending.size() >= 4 + size_t(len) && len >= 4) {
        *m = LmMessage{};
        m->type = pending[7];
        m->total = 4 + len;
        m->body.assign(pending.begin() + 8, pending.begin() + 4 + len);
        // Magic and version are part of what is checked.
        if (pending[4] != 'L' || pending[5] != 'M' || pending[6] != 1) m->type = 0;
        pending.erase(pending.begin(), pending.begin() + 4 + len);
        if (m->type == 2) decode_audio(m);
        return true;
      }
    }
    if (fd < 0) return false;
    const int64_t left = until - now_ms();
    if (left <= 0) return false;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, int(left)) <= 0) return false;
    uint8_t buf[65536];
    const ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) return false;
    pending.insert(pending.end(), buf, buf + n);
  }
}

bool ListenerClient::next_of(uint8_t type, LmMessage* m, int timeout_ms) {
  const int64_t until = now_ms() + timeout_ms;
  while (now_ms() < until)
    if (next(m, int(until - now_ms())) && m->type == type) return true;
  return false;
}

bool ListenerClient::closed_within(int timeout_ms) {
  const int64_t until = now_ms() + timeout_ms;
  for (;;) {
    const int64_t left = until - now_ms();
    if (left <= 0) return false;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, int(left)) <= 0) return false;
    uint8_t buf[65536];
    const ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n == 0 || (n < 0 && errno == ECONNRESET)) return true;
    if (n < 0) return false;
  }
}
