// The broadcast station's place in the program's life: set-up on the output tap's fan-out, the
// per-frame live flag, latency and firewall follow-up, the options command and texts, shutdown.
#include "app/shell/broadcast.h"

#include <cmath>

#include "app/shell/app_state.h"
#include "capture/tap_fanout.h"
#include "config/log.h"
#include "config/status.h"
#include "platform/text.h"

namespace {

constexpr const char* kRefused = "BROADCAST REFUSED - PORT 47480 BUSY";

bool on_air(const BroadcastState& b) { return b.set_up && b.station.running.load(std::memory_order_acquire) != 0; }

// The time field counts from capture: the device's latency, in ns, taken off.
int64_t engine_lat_ns(const AppState* app) {
  const double ms = app->engine.dev.latency_ms;
  return std::isfinite(ms) && ms > 0 ? -int64_t(std::llround(ms * 1e6)) : 0;
}

// "ON AIR - %s", or the refusal; the setting follows what happened.
bool go_on_air(AppState* app) {
  Station& s = app->broadcast.station;
  if (station_start(&s) != 0) {
    app->settings.broadcast = 0;
    status_flash(kRefused);
    return false;
  }
  app->settings.broadcast = 1;
  status_message("ON AIR - %s", s.id.dev);
  return true;
}

}  // namespace

void broadcast_start(AppState* app) {
  BroadcastState& b = app->broadcast;
  firewall_init(&b.firewall);
  char folder[kPathCap];
  station_folder(folder, sizeof folder);
  StationIdentity id;
  station_identity_default(&id);
  if (station_init(&b.station, id, folder) != 0) {
    b.failed = true;
    log_line("lmstream: set-up failed - broadcasting is not available");
    return;
  }
  b.set_up = true;
  b.told_lat_ns = engine_lat_ns(app);
  station_set_latency(&b.station, b.told_lat_ns);
  if (tap_fanout_add(&app->taps, station_output_tap(&b.station)) != 0)
    log_line("lmstream: no room on the output tap - the station hears nothing");
  if (app->settings.broadcast) go_on_air(app);
}

void broadcast_frame(AppState* app, uint32_t now_ms) {
  BroadcastState& b = app->broadcast;
  if (!b.set_up) return;
  station_set_live(&b.station, !app->watchdog.down);
  // A reopened device may run with another buffer: the time field follows it.
  const int64_t lat = engine_lat_ns(app);
  if (lat != b.told_lat_ns && app->engine.running.load(std::memory_order_acquire)) {
    b.told_lat_ns = lat;
    station_set_latency(&b.station, lat);
  }
  Firewall& f = b.firewall;
  if (on_air(b)) {
    if (!f.active) firewall_activate(&f, now_ms);
  } else if (f.active) {
    firewall_deactivate(&f);
  }
  firewall_poll(&f, now_ms);
}

void broadcast_toggle(AppState* app, uint32_t now_ms) {
  BroadcastState& b = app->broadcast;
  if (!b.set_up) {
    status_flash("NO BROADCAST IN THIS BUILD");
    return;
  }
  if (!on_air(b)) {
    go_on_air(app);
    return;
  }
  // Listeners elsewhere cannot get in: the command asks for them instead of going off air. Once
  // the user has turned a request down (or it could not run) this time on air, the command takes
  // the station off air instead, or it could never be turned off; on again asks once more.
  const Firewall& f = b.firewall;
  const bool refused = f.ask == kAskCancelled || f.ask == kAskFailed;
  if (firewall_should_ask(&f) && !refused) {
    firewall_ask(&b.firewall, now_ms);
    status_flash("ASKING THE SYSTEM...");
    return;
  }
  station_stop(&b.station);
  firewall_deactivate(&b.firewall);  // at once: on again in the same frame asks afresh
  app->settings.broadcast = 0;
  status_flash("OFF AIR");
}

void broadcast_row_text(const AppState* app, char* out, size_t cap) {
  const BroadcastState& b = app->broadcast;
  if (!b.set_up) {
    text_copy(out, cap, "NOT BUILT");
    return;
  }
  if (!on_air(b)) {
    text_copy(out, cap, "OFF");
    return;
  }
  const char* firewall = firewall_status_text(&b.firewall);
  const int listeners = b.station.listener_count.load(std::memory_order_relaxed);
  if (firewall[0]) text_copy(out, cap, firewall);
  else if (listeners > 0) text_format(out, cap, "ON AIR   %d LISTENING   %s", listeners, b.station.id.dev);
  else text_format(out, cap, "ON AIR   %s", b.station.id.dev);
}

void network_card_text(const AppState* app, char* out, size_t cap, bool* off) {
  // The Link channel's parts ("LINK %d", "IN %s") come first once it is part of the program.
  out[0] = 0;
  const BroadcastState& b = app->broadcast;
  if (on_air(b)) {
    const char* firewall = firewall_status_text(&b.firewall);
    const int listeners = b.station.listener_count.load(std::memory_order_relaxed);
    if (firewall[0]) text_copy(out, cap, firewall);
    else if (listeners > 0) text_format(out, cap, "ON AIR %d", listeners);
    else text_copy(out, cap, "ON AIR");
  }
  *off = !out[0];
  if (*off) text_copy(out, cap, "OFF");
}

void broadcast_shutdown(AppState* app) {
  BroadcastState& b = app->broadcast;
  if (!b.set_up) return;
  tap_fanout_remove(&app->taps, station_output_tap(&b.station));
  firewall_close(&b.firewall);
  station_close(&b.station);
  b.set_up = false;
}
