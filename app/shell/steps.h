// Ticking a training step off where the user first does the thing it names: the bit goes into the
// settings (saved with them within a second) and the step's title shows as the foot's toast.
// Main thread only.
#pragma once
#include "app/shell/app_state.h"
#include "learn/training.h"
#include "platform/clock.h"

// Any TrainingStepBit; a step already done does nothing.
inline void step_done(AppState* app, int bit) { mark_step_done(&app->settings, bit, &app->toast, tick_ms()); }

// The inputs panel's two steps, for its controls to call: the panel opened, a scene switched.
inline void step_inputs_opened(AppState* app) { step_done(app, kStepRigOpen); }
inline void step_scene_switched(AppState* app) { step_done(app, kStepRigScene); }
