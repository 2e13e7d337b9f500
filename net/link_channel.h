// The Link channel: joins the recorder to a Link session on the local network, publishes the
// monitor as an audio channel named after this machine, and can take one channel of another peer
// as the recorder's input in place of the microphone. A thread follows the session (peers, tempo,
// beat, play state) and the list of channels every 100 ms.
// Threads: link_init/link_close, on/off, picking and following the input and the texts belong to
// the application thread; link_publish (the output tap) and link_read_input (the input hook) to the
// audio thread, which never allocates, locks, waits or calls the system there; the "tolm-link"
// thread writes the session figures and the pending list; the channel layer's network thread
// writes the source ring.
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>

#include "capture/engine.h"
#include "net/channel_net.h"

struct LinkSession;
struct LinkSessionState;

constexpr int kLinkMaxChannels = 16;
constexpr int kLinkNameBytes = 64;
constexpr int kLinkDisplayBytes = 96;
constexpr int kLinkDefaultBlockFrames = 4096;
constexpr int kLinkRingFrames = 131072;
constexpr int kLinkRingWriteMaxFrames = kChannelGapFillFrames;  // most frames one source block writes
constexpr int kLinkThreadMs = 100;
constexpr int kLinkFollowMs = 101;                 // the main loop follows the input at most this often
constexpr double kLinkQuantum = 4.0;
constexpr double kLinkStartBpm = 120.0;
constexpr double kLinkDefaultEngineHz = 48000.0;

static_assert(std::atomic<double>::is_always_lock_free);
static_assert(std::atomic<float>::is_always_lock_free);
static_assert(std::atomic<ChannelSink*>::is_always_lock_free);

struct LinkChannelEntry {
  uint64_t id;
  char peer_name[kLinkNameBytes];
  char name[kLinkNameBytes];
  char display[kLinkDisplayBytes];  // "%s - %s" of the two names, upper-cased
};

// Odd while the audio thread is inside a call that may use what the application thread is about
// to take away; the application thread waits for it to move on.
struct LinkAudioGuard {
  std::atomic<uint64_t> calls;
};

struct LinkChannel {
  // Fixed at init.
  LinkSession* link;
  LinkSessionState* app_state;      // the thread's
  LinkSessionState* audio_state;    // the audio thread's
  ChannelNet* net;
  char name[kLinkNameBytes];        // peer and channel name
  int max_block_frames;
  std::atomic<float>* ring;         // kLinkRingFrames stereo frames
  OutputTap tap;                    // {link_publish}
  InputHook hook;                   // {link_read_input}

  // Application thread writes, anyone reads.
  std::atomic<int> on;
  std::atomic<ChannelSink*> sink;   // the audio thread publishes into it
  std::atomic<int> source_active;   // a source is open: the input hook replaces the microphone
  std::atomic<int> source_generation;  // bumped at every open: the reader starts at the writer

  // Application thread only.
  ChannelSink* own_sink;
  ChannelSource* source;
  uint64_t source_id;
  char source_display[kLinkDisplayBytes];  // the text the open source was chosen by
  char chosen[kLinkDisplayBytes];   // empty: the microphone
  bool waiting;                     // chosen, but not on the network
  LinkChannelEntry list[kLinkMaxChannels];
  int list_count;

  // The thread writes, anyone reads.
  std::atomic<int> peers;
  std::atomic<double> tempo_bpm;
  std::atomic<double> beat;         // at quantum 4
  std::atomic<int> playing;
  // The list travels from the thread to the application thread through one pending copy: the
  // thread fills it only while pending_ready is clear, the application thread copies it out and
  // clears the flag, so neither reads what the other is writing.
  LinkChannelEntry pending[kLinkMaxChannels];
  int pending_count;
  std::atomic<int> pending_ready;
  std::atomic<int> list_changed;    // the channel layer's callback sets it, the thread clears it

  // The source's callback writes, the audio thread reads.
  std::atomic<int64_t> claim;       // frames written once the write under way is done; only grows
  std::atomic<int64_t> write_count; // frames written into the ring; only grows
  std::atomic<double> source_hz;    // the rate the source last reported; 0 before its first block

  // Audio thread only.
  int64_t read_pos;                 // ring frame under the reader; only grows
  double read_phase;                // 0..1 between read_pos and the next frame
  int read_generation;

  // Counters (audio thread or the source's callback write, anyone reads).
  std::atomic<int64_t> published, refused;  // blocks
  std::atomic<int64_t> overruns;            // the reader found the writer a ring ahead
  std::atomic<int64_t> frames_received;

  LinkAudioGuard publish_guard, read_guard;

  // The thread.
  std::thread thread;
  std::mutex wake_mu;
  std::condition_variable wake;
  bool stop;                        // under wake_mu
};

// "tolm · <host name>".
void link_default_name(char* out, size_t cap);

// Creates the Link session at 120 bpm, the session states, the source ring and the channel layer
// (with the announcement port `channel_port`, 0 for the standard one), leaves everything off,
// starts the thread and logs "link: ready as '%s' (off)". 0, or -1 after logging why. Application
// thread; the record must be value-initialised (LinkChannel l{}) or closed.
int link_init(LinkChannel* l, const char* name, int max_block_frames = kLinkDefaultBlockFrames,
              uint16_t channel_port = 0);
// On: publishes the channel, joins the session and the channel network ("link: ON - channel '%s'");
// false when it stays off (logged). Off: back to the microphone, leaves the session, withdraws the
// channel ("link: off"). Application thread.
bool link_set_on(LinkChannel* l, bool on);
// Steps the chosen input through the microphone and channels 1..n (forward: dir > 0).
void link_pick_input(LinkChannel* l, int dir);
// Chooses an input by its display text ("" is the microphone), as the settings keep it; the next
// follow opens it once it is on the network. The choice in force, for saving.
void link_choose_input(LinkChannel* l, const char* display);
const char* link_chosen_input(const LinkChannel* l);
// Opens, keeps or closes the source to match the choice; true when the input changed. Call it
// from the main loop at most every kLinkFollowMs.
bool link_follow_input(LinkChannel* l);
// Stops the thread, turns off and frees everything; no callback of the layer runs afterwards.
// The engine must no longer hold the tap or the hook.
void link_close(LinkChannel* l);

// The monitor tap: stereo float frames at `rate` (blocks above the maximum block are skipped).
// Audio thread.
void link_publish(LinkChannel* l, const float* stereo, int frames, double rate_hz);
// Fills left and right from the chosen channel, resampled to the engine's rate (48 kHz when 0);
// false when the microphone stays the input. Silence until twice a block is buffered. Audio thread.
bool link_read_input(LinkChannel* l, float* left, float* right, int frames, int engine_hz);
// The records to register: the tap into the output tap's fan-out, the hook into the engine.
inline const OutputTap* link_output_tap(LinkChannel* l) { return &l->tap; }
inline const InputHook* link_input_hook(LinkChannel* l) { return &l->hook; }

// The source's callback: one block of 16-bit samples into the ring. The channel layer calls it;
// tests may call it directly while no source is open.
void link_source_block(LinkChannel* l, const int16_t* samples, int frames, int channels, double rate_hz);

// The application's copy of the channel list, refreshed from the thread's pending copy.
// Application thread.
int link_channel_count(LinkChannel* l);
const LinkChannelEntry* link_channel_at(LinkChannel* l, int i);

// Texts. Application thread.
// The command that turns Link on or off: "LINK ON - TOLM IS A LINK AUDIO CHANNEL", "LINK OFF" or
// "LINK REFUSED - SEE THE LOG". Returns whether Link is on afterwards.
bool link_toggle_command(LinkChannel* l, char* msg, size_t cap);
// The command that steps the input: "TURN ABLETON LINK ON FIRST", else steps, follows and gives
// "INPUT - %s".
void link_step_command(LinkChannel* l, int dir, char* msg, size_t cap);
// "INPUT - %s" with the chosen channel's text or "MIC", for a follow that reported a change.
void link_input_message(const LinkChannel* l, char* msg, size_t cap);
// The options rows "ABLETON LINK" and "LINK INPUT" (from the list as last taken: following the
// input, picking and counting take it).
void link_session_row(const LinkChannel* l, char* out, size_t cap);
void link_input_row(const LinkChannel* l, char* out, size_t cap);
