// Audio channels between instances of this program on the local network, beside the Link session
// (which carries tempo and beat only). Each instance is a peer that announces its name and its
// channels by UDP multicast (TTL 1) on a port of its own; listeners subscribe to one channel and
// receive it as unicast packets of at most 1,400 bytes, keeping the subscription alive while they
// listen. A publisher sends audio only to an address that proved it asked from itself (it echoed a
// token it could only have received there), to at most eight listeners a channel.
// Threads: the application thread creates, enables and destroys the layer and its sinks and
// sources; the audio thread only retains and commits sink buffers (lock-free); the network thread
// receives, announces, sends and calls back. Callbacks run on the network thread (the list
// callback also on the thread that disables the layer), under the layer's lock: they must not call
// back into the layer.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "net/channel_wire.h"

constexpr int kChannelNetMaxPeers = 32;
constexpr int kChannelNetMaxSinks = 4;
constexpr int kChannelNetMaxSources = 4;
constexpr int kChannelSinkSlots = 16;            // committed blocks waiting for the network thread
constexpr int kChannelMaxSubscribers = 8;        // listeners of one channel
constexpr int kChannelAnnounceMs = 500;
constexpr int kChannelPeerExpiryMs = 2000;       // a peer silent this long has left
constexpr int kChannelKeepAliveMs = 250;         // a listener's subscribe repeats this often
constexpr int kChannelSubscriberExpiryMs = 1000; // a listener silent this long has left
constexpr int kChannelRescanMs = 5000;           // interfaces looked at again
constexpr int kChannelGapFillFrames = 4096;      // lost frames up to this are replaced by silence

struct ChannelNet;
struct ChannelSink;
struct ChannelSource;

struct ChannelInfo {
  uint64_t id;
  char peer_name[kChannelNameBytes];
  char name[kChannelNameBytes];
};

// The session at a block's first frame, as the publisher saw it.
struct ChannelTiming {
  int64_t time_us;    // Link clock
  double beat;
  double quantum;
  double tempo_bpm;
};

// One block for a source's callback.
struct ChannelBlock {
  const int16_t* samples;  // frames × channels, interleaved
  int frames;
  int channels;            // 1..16
  double rate_hz;
  int64_t frame_index;     // first frame, counted from the channel's start
  ChannelTiming timing;
  bool gap;                // silence standing in for lost packets
};

using ChannelBlockFn = void (*)(void* ctx, const ChannelBlock& block);
using ChannelsChangedFn = void (*)(void* ctx);

struct ChannelNetConfig {
  uint16_t port;   // announcements; 0 = kChannelPort
  uint32_t group;  // IPv4 multicast group, host order; 0 = kChannelGroup
};

// What the network thread saw, for the log and for tests.
struct ChannelNetStats {
  int64_t rejected;            // datagrams that failed validation (oversize included)
  int64_t oversize;            // longer than 1,400 bytes
  int64_t challenges;          // subscribes answered with a challenge
  int64_t refused_listeners;   // subscribers turned away: the channel had eight
  int64_t foreign_audio;       // audio for an open source from an address that is not its publisher
  int64_t packets_sent;        // audio packets sent (one per listener)
  int64_t blocks_delivered;    // blocks handed to source callbacks (gap blocks included)
  int64_t gap_frames;          // frames of silence for lost packets
};

// A disabled layer with a fresh random peer id; null when memory is short. cfg may be null.
// Application thread.
ChannelNet* channel_net_create(const char* peer_name, const ChannelNetConfig* cfg);
// Disables the layer and frees it. Every sink and source must be destroyed first.
void channel_net_destroy(ChannelNet* net);
// Enabling opens the sockets and starts the network thread: 0, or -1 with a lower-case reason in
// msg. Disabling says goodbye, stops the thread (no callback runs afterwards, except the list
// callback from this call when the list empties), closes the sockets and forgets every peer.
int channel_net_enable(ChannelNet* net, bool on, char* msg, size_t msg_cap);
bool channel_net_enabled(const ChannelNet* net);
void channel_net_set_peer_name(ChannelNet* net, const char* name);
// Called whenever the channel list changes; fn may be null.
void channel_net_set_changed_callback(ChannelNet* net, ChannelsChangedFn fn, void* ctx);
// The channels of other peers in the order they were first heard, up to cap; returns how many.
int channel_net_channels(ChannelNet* net, ChannelInfo* out, int cap);
// Other peers heard.
int channel_net_peer_count(ChannelNet* net);
// The unicast port (subscriptions and audio) while enabled, else 0.
uint16_t channel_net_audio_port(const ChannelNet* net);
uint64_t channel_net_peer_id(const ChannelNet* net);
ChannelNetStats channel_net_stats(const ChannelNet* net);

// A published channel with room for `capacity_samples` interleaved samples a block, announced
// under `name` (a fresh random id each time); null when the layer has four or memory is short.
// Application thread.
ChannelSink* channel_sink_create(ChannelNet* net, const char* name, int capacity_samples);
// Withdraws and frees the channel. The audio thread must be done with it.
void channel_sink_destroy(ChannelSink* sink);
uint64_t channel_sink_id(const ChannelSink* sink);
int channel_sink_listeners(ChannelSink* sink);
// Committed blocks the network thread has not taken yet. Thread-safe.
int channel_sink_pending(const ChannelSink* sink);
// The next free buffer (capacity samples), or null when the network thread has fallen behind
// by kChannelSinkSlots blocks. Audio thread; lock-free, no system call.
int16_t* channel_sink_retain(ChannelSink* sink);
// Publishes the retained buffer: frames × channels samples (channels 1..16) at rate_hz. false
// (nothing published) when nothing is retained or a field is out of range. Audio thread.
bool channel_sink_commit(ChannelSink* sink, int frames, int channels, double rate_hz, const ChannelTiming& timing);

// Listens to a channel by id: the source subscribes whenever the channel's peer is heard and
// hands every block to fn on the network thread. null when the layer has four or memory is short.
// Application thread.
ChannelSource* channel_source_open(ChannelNet* net, uint64_t channel_id, ChannelBlockFn fn, void* ctx);
// Unsubscribes and frees the source; once it returns, fn is not running and never runs again.
void channel_source_close(ChannelSource* source);
