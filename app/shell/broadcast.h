// The broadcast station in the program: set up at start-up on the engine's output tap, put on air
// as the settings say, told each frame whether audio arrives and what the engine's latency is,
// followed by the firewall permission while on air, toggled from the options panel, and stopped
// and freed before the engine goes. Main thread only; the station's own threads are its business.
#pragma once
#include <cstddef>
#include <cstdint>

#include "net/firewall.h"
#include "net/station.h"

struct AppState;

struct BroadcastState {
  Station station;
  Firewall firewall;
  bool set_up;          // station_init succeeded: the rows and the command can use it
  bool failed;          // station_init failed: the row says "NOT BUILT"
  int64_t told_lat_ns;  // the latency the station was last told
};

// Start-up, once the stream runs: identity folder, station_init, the latency, the station's tap in
// the fan-out, and on air when `broadcast` is on (a busy port turns it off and says so).
void broadcast_start(AppState* app);
// Once a frame: live or paused from the watchdog, the latency when the device changed it, and the
// firewall check while on air (and its reset once off air).
void broadcast_frame(AppState* app, uint32_t now_ms);
// The BROADCAST row's command: on air, off air, or (on air, listeners blocked) ask the system.
void broadcast_toggle(AppState* app, uint32_t now_ms);
// The BROADCAST row's value text.
void broadcast_row_text(const AppState* app, char* out, size_t cap);
// The device card's NETWORK value: its parts joined by three blanks, "OFF" when none applies.
// off is set when the value is "OFF" (it is drawn dimmer).
void network_card_text(const AppState* app, char* out, size_t cap, bool* off);
// Shutdown: the station's tap leaves the fan-out, a firewall request still running is ended, and
// the station goes off air (listeners get goodbye) and is freed.
void broadcast_shutdown(AppState* app);
