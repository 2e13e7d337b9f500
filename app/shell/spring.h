// The spring animator behind the buttons and panels: a damped spring stepped by the frame time.
// Plain record; main thread (it belongs to the UI state).
#pragma once

constexpr float kSpringMaxStep = 0.033f;   // seconds; longer frames are stepped as this
constexpr float kButtonSpringK = 26.0f;    // the strip buttons' press springs
constexpr float kButtonSpringZ = 0.42f;
constexpr float kPanelSpringK = 22.0f;     // the one panel spring
constexpr float kPanelSpringZ = 0.9f;
constexpr float kPressDepth = 0.84f;       // where a press puts a button's spring

struct Spring {
  float position;
  float velocity;
  float target;
  float k;  // frequency
  float z;  // damping ratio
};

// Puts position and target at start, velocity at 0.
void spring_init(Spring* s, float start, float k, float z);
// One step of dt seconds (capped at kSpringMaxStep, negative counts as 0).
void spring_step(Spring* s, float dt);
// A press: the spring jumps to kPressDepth at rest and swings back to its target.
void spring_press(Spring* s);
