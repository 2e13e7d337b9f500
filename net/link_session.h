// A plain-function face over Ableton Link 3 (the C++ ableton::Link): a Link instance with its
// enable switch, peer count and clock, and session-state records captured from and committed to it
// (tempo, beat and phase at a time, play state). Everything lives in link_session.cpp, the only
// file that includes Link's headers (they take long to compile).
// Threads: create/destroy and enable on one application thread; the audio thread uses only the
// audio capture/commit pair and the session-state readers on a record of its own.
#pragma once
#include <cstdint>

struct LinkSession;       // one Link instance
struct LinkSessionState;  // a captured copy of the session: timeline and play state

// A disabled instance at `bpm` (clamped by Link to 20..999), or null when it cannot be made.
// Thread-safe: yes. Realtime-safe: no.
LinkSession* link_session_create(double bpm);
// Leaves the session (when enabled) and frees the instance. Its records stay usable on their own.
void link_session_destroy(LinkSession* link);

// Joining and leaving the session on the network. Realtime-safe: no.
void link_session_enable(LinkSession* link, bool on);
// Thread-safe and realtime-safe.
bool link_session_is_enabled(const LinkSession* link);
// Sharing start/stop with peers (off until enabled). Realtime-safe: no.
void link_session_enable_start_stop_sync(LinkSession* link, bool on);
bool link_session_is_start_stop_sync_enabled(const LinkSession* link);
// Other peers in the session. Thread-safe and realtime-safe.
int link_session_peers(const LinkSession* link);
// Link's clock (CLOCK_MONOTONIC_RAW) in microseconds. Thread-safe and realtime-safe.
int64_t link_session_clock_us(const LinkSession* link);

// A record to capture into, holding a 120 bpm timeline until the first capture; null when memory
// is short. Realtime-safe: no.
LinkSessionState* link_session_state_create();
void link_session_state_destroy(LinkSessionState* state);

// The audio thread's pair. Realtime-safe: yes; one thread at a time.
void link_session_capture_audio(const LinkSession* link, LinkSessionState* state);
void link_session_commit_audio(LinkSession* link, const LinkSessionState* state);
// Every other thread's pair. Realtime-safe: no.
void link_session_capture_app(const LinkSession* link, LinkSessionState* state);
void link_session_commit_app(LinkSession* link, const LinkSessionState* state);

// Readers and edits of a captured record; nothing reaches the session before a commit.
// Realtime-safe: yes. Times are Link clock microseconds.
double link_state_tempo(const LinkSessionState* state);
void link_state_set_tempo(LinkSessionState* state, double bpm, int64_t at_us);
double link_state_beat_at_time(const LinkSessionState* state, int64_t at_us, double quantum);
double link_state_phase_at_time(const LinkSessionState* state, int64_t at_us, double quantum);
int64_t link_state_time_at_beat(const LinkSessionState* state, double beat, double quantum);
void link_state_request_beat_at_time(LinkSessionState* state, double beat, int64_t at_us, double quantum);
void link_state_force_beat_at_time(LinkSessionState* state, double beat, int64_t at_us, double quantum);
bool link_state_is_playing(const LinkSessionState* state);
void link_state_set_is_playing(LinkSessionState* state, bool playing, int64_t at_us);
int64_t link_state_time_for_is_playing(const LinkSessionState* state);
