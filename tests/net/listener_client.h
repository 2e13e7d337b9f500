// A listener for the broadcast station written from the wire format alone: framing (a 4-byte
// big-endian length, "LM", version 1, a type), the station's messages decoded field by field, and
// the listener's own messages, well formed or not. Loopback only. Blocking reads with a timeout.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

struct LmMessage {
  uint8_t type = 0;
  std::vector<uint8_t> body;  // after the 8-byte header
  size_t total = 0;           // bytes on the wire, length field included
  // Audio (type 2).
  uint8_t codec = 0, channels = 0;
  uint16_t flags = 0;
  uint32_t sequence = 0, frames = 0;
  uint64_t index = 0;
  int64_t time_ns = 0;
  std::vector<int16_t> samples;  // interleaved; empty for silence
  std::string text() const { return std::string(body.begin(), body.end()); }
};

struct ListenerClient {
  int fd = -1;
  std::vector<uint8_t> pending;

  // Connects to 127.0.0.1 (or ::1 with v6) at port, with a receive buffer of rcvbuf bytes when
  // given (a listener that falls behind quickly). false when refused.
  bool connect_to(uint16_t port, bool v6 = false, int rcvbuf = 0);
  void close_now();
  ~ListenerClient() { close_now(); }

  // Raw bytes out; false when the socket refused them.
  bool send_bytes(const std::vector<uint8_t>& bytes);
  bool send_message(uint8_t type, const std::vector<uint8_t>& body);
  bool hello(const std::string& json);
  bool ping(uint64_t stamp);

  // The next whole message within timeout_ms; false on timeout or when the station closed.
  bool next(LmMessage* m, int timeout_ms = 3000);
  // The next message of a type, skipping others; false on timeout.
  bool next_of(uint8_t type, LmMessage* m, int timeout_ms = 3000);
  // True when the station has closed the connection (reads to the end) within timeout_ms.
  bool closed_within(int timeout_ms);
};

std::vector<uint8_t> lm_frame(uint8_t type, const std::vector<uint8_t>& body);
