// The Link channel in the program's life: started once the window shows, with the monitor handed
// to it through the engine's output-tap fan-out and its input hook in the engine; turned on after
// the stream starts when the settings say so; its input followed from the main loop; closed once
// the engine is gone. Also the options rows' actions. Main thread only.
#pragma once
#include <cstddef>
#include <cstdint>

struct AppState;

constexpr uint32_t kLinkFollowAfterMs = 100;  // the input is followed when more than this has passed

// Starts the channel under "tolm · <host name>", registers its input hook and its receiver on the
// output tap (the fan-out must be set up), and chooses the saved input. A failure is logged and
// leaves the microphone.
void app_link_start(AppState* app);
// After the stream started: turns Link on when the settings say so; `link` becomes 0 when it refuses.
void app_link_resume(AppState* app);
// From the main loop: follows the chosen input and says "INPUT - %s" when it changed.
void app_link_follow(AppState* app, uint32_t now);
// After engine_destroy: closes the channel (no callback of it runs afterwards).
void app_link_stop(AppState* app);

// The options rows ABLETON LINK (on / off) and LINK INPUT (steps the input).
void app_link_toggle(AppState* app);
void app_link_step_input(AppState* app, int dir);
void app_link_row(const AppState* app, bool input_row, char* out, size_t cap);
