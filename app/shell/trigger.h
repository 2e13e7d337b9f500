// The trigger controls put to use: after any change of a trigger slider position or a
// trigger-related flag, the values go into Settings (saved by the once-a-second check) and on to
// the engine. Every control that moves a slider (keys, drags, the wheel, the options panel) ends
// here. Main thread only.
#pragma once

struct AppState;

void apply_trigger_positions(AppState* app);
