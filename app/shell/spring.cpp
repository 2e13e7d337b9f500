// The spring animator.
#include "app/shell/spring.h"

void spring_init(Spring* s, float start, float k, float z) {
  *s = Spring{start, 0.0f, start, k, z};
}

void spring_step(Spring* s, float dt) {
  if (!(dt > 0.0f)) return;
  if (dt > kSpringMaxStep) dt = kSpringMaxStep;
  s->velocity += dt * (-s->k * s->k * (s->position - s->target) - 2.0f * s->z * s->k * s->velocity);
  s->position += s->velocity * dt;
}

void spring_press(Spring* s) {
  s->position = kPressDepth;
  s->velocity = 0.0f;
}
