// The broadcast station: the monitor signal as 16-bit stereo PCM at 48 kHz over TCP to at most
// eight listeners on the local network, announced by DNS-SD, with a stable identity kept in a
// small file and timing fields (frame index, station clock, latency, clock-sync replies) that let
// listeners line the stream up with their own clocks.
// Threads: the application thread calls init/start/stop/close and the setters; the audio thread
// calls station_push (through the output tap); the worker owns the sockets, the listener slots
// and the send index; Avahi's thread runs the announcement's callbacks.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <thread>

#include "capture/engine.h"

constexpr uint16_t kStationPort = 47480;
constexpr int kStationMaxListeners = 8;
constexpr int kStationRateHz = 48000;
constexpr int kStationRingFrames = 96000;       // two seconds
constexpr int kStationMessageFrames = 480;      // one audio message: 10 ms
constexpr int kStationQueueMessages = 50;       // per listener
constexpr int kStationAudioHeaderBytes = 36;
constexpr int kStationMessageBytes = kStationAudioHeaderBytes + 4 * kStationMessageFrames;  // 1,956
constexpr int kStationReceiveBytes = 1024;
constexpr int kStationMaxLength = 1020;         // a listener's length field above this drops it
constexpr int kStationScratchFrames = 8192;     // resampled frames per slice (16,384 floats)
constexpr int kStationBacklog = 4;
constexpr int kStationPollMs = 5;
constexpr int64_t kStationWindowNs = 2000000000;  // rate measuring window

// Message types.
constexpr uint8_t kLmAnnounce = 1;
constexpr uint8_t kLmAudio = 2;
constexpr uint8_t kLmState = 3;
constexpr uint8_t kLmGoodbye = 4;
constexpr uint8_t kLmHello = 16;
constexpr uint8_t kLmPing = 17;
constexpr uint8_t kLmPong = 18;
// Audio message flags.
constexpr uint16_t kLmDiscontinuity = 1;
constexpr uint16_t kLmSilence = 2;

static_assert(std::atomic<int64_t>::is_always_lock_free);
static_assert(std::atomic<double>::is_always_lock_free);

struct StationIdentity {
  char app[32];   // "tolm"
  char an[32];    // display name, "Tolm"
  char kind[16];  // "monitor"
  char tref[4];   // "in"
  char dev[64];   // the computer's name
  char sid[9];    // eight lower-case hex digits, from the sid file
  uint16_t port;  // the port asked for (0: any free one, for tests)
};

// This application's identity: tolm / Tolm / monitor / in, the host name ("PC" when it has none),
// port 47480. The sid is left for station_init.
void station_identity_default(StationIdentity* id);

struct StationListener {
  int fd;                       // -1 when the slot is free
  bool named;                   // said hello
  char an[32];                  // the hello's "an", upper-cased
  char dev[32];
  uint8_t rx[kStationReceiveBytes];
  int rx_fill;
  bool bad_hello_logged;
  uint8_t* queue;               // kStationQueueMessages slots of kStationMessageBytes
  uint16_t queue_bytes[kStationQueueMessages];
  int head, count;              // ring of queued messages
  int head_sent;                // bytes of the head message already sent
  int64_t dropped;              // messages dropped for want of room
};

struct StationDnsSd;

struct Station {
  // Fixed at init.
  StationIdentity id;
  int64_t start_ns;             // the station clock counts from here (mono_ns)
  float* ring;                  // kStationRingFrames stereo frames
  float* scratch;               // resampler output, kStationScratchFrames stereo frames
  uint8_t* queues;              // every listener's queue in one block

  // Application thread writes, anyone reads.
  std::atomic<int> running;     // on air: push writes, the worker runs
  std::atomic<int> live;        // audio arrives (else paused)
  std::atomic<int64_t> lat_ns;  // added to every time field (usually negative)
  std::atomic<int> generation;  // bumped at every start: the audio side resets its measurer
  std::atomic<int> discontinuity_request;  // taken by the worker with an exchange
  uint16_t bound_port;          // the port listened on, once started

  // Audio thread writes, the worker reads.
  std::atomic<int64_t> write_count;  // frames written into the ring; only grows
  std::atomic<uint32_t> block_seq;   // odd while the pair below is written
  std::atomic<int64_t> block_time_ns, block_frame;  // station time and first frame of the last block
  std::atomic<int> overflow;         // a block found the ring full
  std::atomic<double> measured_hz;   // the adopted measured rate (0 until two windows agree)

  // Worker writes, anyone reads.
  std::atomic<int64_t> read_pos;     // ring frames consumed; only grows
  std::atomic<int64_t> frames_sent;  // audio frames sent (480 per message built for listeners)
  std::atomic<int> listener_count;
  std::atomic<int64_t> drops;        // queued messages dropped across all listeners

  // Audio thread only.
  int push_generation;
  int64_t window_start_ns;      // -1: no window open
  int64_t window_frames;
  double window_last_hz;        // the previous window's measurement, 0 when none
  double adopted_hz;            // 0 until two windows agree
  double rs_phase;              // source position of the next output frame, from the last frame
  float rs_last[2];             // the previous push's last frame

  // Worker only.
  int listen_fd;
  int64_t send_index;           // frame index of the next audio message
  int live_announced;
  bool discontinuity;
  int64_t paused_at_ns;
  int64_t paused_read_pos;      // ring frames already consumed when the pause began
  uint32_t sequence;
  int64_t accept_paused_until_ns;  // mono_ns; out of descriptors, accepting waits till then
  StationListener listeners[kStationMaxListeners];
  std::thread worker;

  StationDnsSd* dnssd;          // application thread
  OutputTap tap;                // {station_tap, this}
};

// The folder of the station identity files: $XDG_CONFIG_HOME/Lumaro (else ~/.config/Lumaro, else
// "."), created when missing.
void station_folder(char* out, size_t cap);
// Reads the sid from "<folder>/stream.<app>.sid", taking over a valid one from the older shared
// "<folder>/stream.sid" (which is then removed), else makes and saves a new one. Always fills sid.
void station_read_sid(const char* folder, const char* app, char sid[9]);

// Fills the identity, reads or makes the sid, allocates the ring, the queues and the scratch,
// starts the station clock and marks the station live. 0, or -1 when memory is short.
// Application thread; the record must be zeroed or closed.
int station_init(Station* s, const StationIdentity& id, const char* folder);
// Opens the listening socket (dual-stack IPv6, else IPv4), starts the worker and the DNS-SD
// announcement. 0, or -1 when the port is taken ("lmstream: bind(...) failed" is logged).
int station_start(Station* s);
// Withdraws the announcement, stops the worker (listeners get goodbye) and closes the socket.
void station_stop(Station* s);
// Stops when on air and frees everything. The tap must be out of the engine's fan-out first.
void station_close(Station* s);

// Application thread; take effect on the worker's next pass.
void station_set_live(Station* s, bool live);
void station_set_latency(Station* s, int64_t lat_ns);

// Stereo frames from the audio side at the stated rate (a measured rate wins once adopted).
// Audio thread; never allocates, locks or waits.
void station_push(Station* s, const float* stereo, int frames, double rate_hz);
// The same at a given station time (ns since start), for tests that drive the clock by hand.
void station_push_at(Station* s, const float* stereo, int frames, double rate_hz, int64_t now_ns);
// The output tap that feeds station_push.
inline const OutputTap* station_output_tap(Station* s) { return &s->tap; }

// Bytes from a listener as if the worker had received them on slot `slot` (0..7), for fuzzing the
// message parser: taken apart exactly as on the network. false when the listener would be dropped
// (the slot is cleared). Only while the station is not on air.
bool station_take_bytes(Station* s, int slot, const uint8_t* data, size_t bytes);

// Station time now, in ns since station_init. Any thread.
int64_t station_clock_ns(const Station* s);
// Whether DNS-SD announced the station (set from Avahi's thread).
bool station_advertised(const Station* s);
