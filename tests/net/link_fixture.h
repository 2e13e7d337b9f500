// Helpers for tests that start Link or the channel layer: they multicast, so they run only where no
// interface but loopback is up (the test run's network namespace), and each test process then
// takes a network namespace of its own so tests beside it in the run do not join its session.
// Also a capture engine run in real time on a thread of its own (standing in for the device's
// callback), a raw UDP endpoint for playing a hostile peer, and tone measurements.
#pragma once
#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "net/link_channel.h"
#include "tests/capture/engine_fixture.h"

// Why Link may not start in this process ("" when it may).
std::string link_unfit();
// A network namespace of this process's own with only loopback up (root). false when refused.
bool link_private_network();
#define LINK_TEST_GUARD()                                            \
  do {                                                               \
    const std::string why_unfit = link_unfit();                      \
    if (!why_unfit.empty()) GTEST_SKIP() << why_unfit;               \
    ASSERT_TRUE(link_private_network()) << "unshare(CLONE_NEWNET)";  \
  } while (0)

// A channel port for this process's tests (each process has its own namespace, so one will do).
constexpr uint16_t kTestChannelPort = 47590;

// A Link channel that closes itself.
struct LinkRig {
  std::unique_ptr<LinkChannel> l = std::make_unique<LinkChannel>();
  explicit LinkRig(const char* name, int max_block = 4096);
  ~LinkRig();
  LinkChannel* operator->() { return l.get(); }
  LinkChannel* get() { return l.get(); }
  // Polls follow_input (as the main loop does) until pred holds or timeout_ms passes.
  bool follow_until(const std::function<bool()>& pred, int timeout_ms = 5000);
  std::string input_row();
  std::string session_row();
};

// A capture engine processing 256-frame blocks in real time on its own thread. `input` fills the
// interleaved device input of each block (first frame number given); the engine's plug-ins are
// the caller's to register.
struct PacedEngine {
  EnginePtr e;
  double rate;
  int block;
  std::function<void(float* stereo, int frames, int64_t first)> input;
  std::atomic<int> run{0};
  std::atomic<int64_t> blocks{0};
  std::thread thread;
  explicit PacedEngine(double rate_hz = 48000, int block_frames = 256);
  ~PacedEngine();
  void start();
  void stop();
};

// A UDP socket bound to a loopback address of its own (127.0.0.x), for playing a peer.
struct RawPeer {
  int fd = -1;
  sockaddr_in self{};
  explicit RawPeer(const char* ip, uint16_t port = 0, bool multicast_member = false, uint16_t group_port = 0);
  ~RawPeer();
  void send(const uint8_t* data, size_t bytes, const sockaddr_in& to) const;
  void send_group(const uint8_t* data, size_t bytes, uint16_t port) const;
  // Next datagram within timeout_ms (empty on timeout); `from` filled when given.
  std::vector<uint8_t> receive(int timeout_ms, sockaddr_in* from = nullptr) const;
  // Every datagram that arrives within ms.
  std::vector<std::vector<uint8_t>> drain(int ms) const;
};
sockaddr_in loopback(uint16_t port, const char* ip = "127.0.0.1");

// The share of the signal's power at hz (Hann window, Goertzel), 0..1.
double tone_share(const std::vector<float>& x, double rate_hz, double hz);
double rms(const std::vector<float>& x);
// One side of interleaved stereo frames [from, to).
std::vector<float> side(const std::vector<float>& stereo, int ch, size_t from, size_t to);
