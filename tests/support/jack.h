// A real audio device for integration tests: a JACK server with the dummy driver under a name
// of its own (so tests run side by side), and a small JACK client that plays a prepared signal
// into named input ports, sample for sample.
#pragma once
#include <sys/types.h>

#include <atomic>
#include <string>
#include <vector>

struct JackServer {
  std::string name;
  pid_t pid = -1;
  // Starts jackd (dummy driver) under `name` (a fresh one when empty) and waits until a client
  // can connect; sets JACK_DEFAULT_SERVER
  // for this process. false when it did not come up within 10 s.
  bool start(int inputs, int rate = 48000, int period = 256);
  // Stops it (SIGTERM, or SIGKILL with kill_hard) and waits for the process to end. A server
  // killed hard stays in JACK's shared registry (which holds only a few) until a server of the
  // same name starts again; tests that pull the plug therefore restart under the same name.
  void stop(bool kill_hard = false);
  ~JackServer() { stop(); }
};

struct JackFeeder {
  void* client = nullptr;            // jack_client_t*
  std::vector<void*> ports;          // jack_port_t* per channel
  std::vector<float> signal;         // interleaved, `channels` per frame
  int channels = 0;
  std::atomic<int64_t> position{-1}; // next frame to play; -1 = silent
  std::atomic<int64_t> played{0};

  // Opens a client called `client_name` with `channel_count` output ports "out_1"...
  bool open(const char* client_name, int channel_count);
  // Connects out_k to each target port in turn (k from 1).
  bool connect(const std::vector<std::string>& targets);
  // Waits until `port` exists and is connected to something (the reader processes audio only
  // then), up to timeout_ms.
  bool wait_connected(const std::string& port, int timeout_ms);
  // Plays `lead_frames` of silence, then the signal once, then silence. Call it while nothing
  // plays (the process thread reads the signal without a lock).
  void play(std::vector<float> interleaved, int64_t lead_frames);
  bool finished() const { return position.load() < 0 && played.load() > 0; }
  void close();
  ~JackFeeder() { close(); }
};

// A small JACK client that records what other clients play: `channel_count` input ports "in_1"...
// fed from named output ports, each frame kept while recording is on, until the buffer sized at
// open is full. The process thread writes; the test reads the frames below `count`.
struct JackCapture {
  void* client = nullptr;            // jack_client_t*
  std::vector<void*> ports;          // jack_port_t* per channel
  std::vector<float> frames;         // interleaved, `channels` per frame, sized at open
  int channels = 0;
  int64_t capacity = 0;              // frames
  std::atomic<int> recording{0};
  std::atomic<int64_t> count{0};     // frames kept (release after the samples)

  bool open(const char* client_name, int channel_count, int64_t capacity_frames);
  // Connects each source port to in_k in turn (k from 1).
  bool connect(const std::vector<std::string>& sources);
  void start() { recording.store(1, std::memory_order_release); }
  void stop() { recording.store(0, std::memory_order_release); }
  // Sample c of frame i; call for i below count.
  float at(int64_t i, int c) const { return frames[size_t(i * channels + c)]; }
  void close();
  ~JackCapture() { close(); }
};

// True when a port of that full name exists on the current server.
bool jack_port_exists(const std::string& port);
