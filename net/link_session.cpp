// The plain-function face over ableton::Link. Link reports trouble by throwing (its sockets, its
// threads); nothing thrown may leave this file, so creation catches and answers null, and the
// calls that cannot fail once an instance exists are left as they are.
#include "net/link_session.h"

#include <ableton/Link.hpp>

#include <chrono>
#include <new>

namespace {

using Micros = std::chrono::microseconds;
using State = ableton::Link::SessionState;

State default_state() {
  namespace l = ableton::link;
  return State(l::ApiState{l::Timeline{l::Tempo{120.0}, l::Beats{0.0}, Micros{0}}, l::ApiStartStopState{}}, true);
}

}  // namespace

struct LinkSession {
  explicit LinkSession(double bpm) : link(bpm) {}
  ableton::Link link;
};

struct LinkSessionState {
  State state = default_state();
};

LinkSession* link_session_create(double bpm) {
  try {
    return new LinkSession(bpm);
  } catch (...) {
    return nullptr;
  }
}

void link_session_destroy(LinkSession* link) {
  if (!link) return;
  try {
    link->link.enable(false);
  } catch (...) {
  }
  delete link;
}

void link_session_enable(LinkSession* link, bool on) {
  try {
    link->link.enable(on);
  } catch (...) {
  }
}

bool link_session_is_enabled(const LinkSession* link) { return link->link.isEnabled(); }

void link_session_enable_start_stop_sync(LinkSession* link, bool on) { link->link.enableStartStopSync(on); }

bool link_session_is_start_stop_sync_enabled(const LinkSession* link) { return link->link.isStartStopSyncEnabled(); }

int link_session_peers(const LinkSession* link) { return int(link->link.numPeers()); }

int64_t link_session_clock_us(const LinkSession* link) { return link->link.clock().micros().count(); }

LinkSessionState* link_session_state_create() { return new (std::nothrow) LinkSessionState; }

void link_session_state_destroy(LinkSessionState* state) { delete state; }

void link_session_capture_audio(const LinkSession* link, LinkSessionState* state) {
  state->state = link->link.captureAudioSessionState();
}

void link_session_commit_audio(LinkSession* link, const LinkSessionState* state) {
  link->link.commitAudioSessionState(state->state);
}

void link_session_capture_app(const LinkSession* link, LinkSessionState* state) {
  state->state = link->link.captureAppSessionState();
}

void link_session_commit_app(LinkSession* link, const LinkSessionState* state) {
  link->link.commitAppSessionState(state->state);
}

double link_state_tempo(const LinkSessionState* state) { return state->state.tempo(); }

void link_state_set_tempo(LinkSessionState* state, double bpm, int64_t at_us) {
  state->state.setTempo(bpm, Micros{at_us});
}

double link_state_beat_at_time(const LinkSessionState* state, int64_t at_us, double quantum) {
  return state->state.beatAtTime(Micros{at_us}, quantum);
}

double link_state_phase_at_time(const LinkSessionState* state, int64_t at_us, double quantum) {
  return state->state.phaseAtTime(Micros{at_us}, quantum);
}

int64_t link_state_time_at_beat(const LinkSessionState* state, double beat, double quantum) {
  return state->state.timeAtBeat(beat, quantum).count();
}

void link_state_request_beat_at_time(LinkSessionState* state, double beat, int64_t at_us, double quantum) {
  state->state.requestBeatAtTime(beat, Micros{at_us}, quantum);
}

void link_state_force_beat_at_time(LinkSessionState* state, double beat, int64_t at_us, double quantum) {
  state->state.forceBeatAtTime(beat, Micros{at_us}, quantum);
}

bool link_state_is_playing(const LinkSessionState* state) { return state->state.isPlaying(); }

void link_state_set_is_playing(LinkSessionState* state, bool playing, int64_t at_us) {
  state->state.setIsPlaying(playing, Micros{at_us});
}

int64_t link_state_time_for_is_playing(const LinkSessionState* state) {
  return state->state.timeForIsPlaying().count();
}
