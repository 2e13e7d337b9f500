// The trigger equaliser: up to 12 one-pole high-pass stages, then up to 12 one-pole low-pass
// stages, then a band-pass biquad, on both channels, producing the detector level of every frame.
// It shapes only what opens the gate; the recorded signal never passes through it.
// Audio thread only; realtime-safe.
#pragma once
#include <cstdint>

constexpr int kEqMaxOrder = 12;
constexpr int kEqCascadeStages = 2 * kEqMaxOrder;  // high-pass stages, then low-pass stages

// Every one-pole stage as y = p·y_prev + q·u + r·u_prev (u = the stage's input): a high-pass
// stage is (a, a, -a), a low-pass stage (1-b, b, 0), an absent stage passes through (0, 1, 0).
struct EqCoefficients {
  bool cascade;  // any one-pole stage on
  alignas(16) float p[kEqCascadeStages], q[kEqCascadeStages], r[kEqCascadeStages];
  bool band;
  float b0, b2, a1, a2;
};

struct EqState {
  alignas(16) float y[kEqCascadeStages][2];  // each stage's last output, left and right
  alignas(16) float u[kEqCascadeStages][2];  // each stage's last input
  float band_x1[2], band_x2[2], band_y1[2], band_y2[2];
};

// Coefficients for one block. Corners below 1 Hz switch a filter off; orders are clamped 1..12;
// the low-pass stage corner is held at 0.45 x rate.
void eq_coefficients(EqCoefficients* c, float hpf_hz, int hpf_order, float lpf_hz, int lpf_order, float peak_hz,
                     float peak_q, double rate);

// The widest vector width (4, 8 or 16 lanes) this processor runs the cascade with.
int eq_widest_lanes();
// Runs the cascade with a given width from now on (tests compare the widths). Not for use while
// an audio thread runs.
void eq_use_lanes(int width);

// Runs gain x left/right through the equaliser; detect[i] = max(|left|, |right|) of frame i's
// output. scratch holds 2 x frames floats.
void eq_detect(EqState* s, const EqCoefficients& c, const float* left, const float* right, float gain, int frames,
               float* scratch, float* detect);
// The same, and the envelope of the detector level on the way: envelope_out[i] = detect[i] when
// that is greater than the envelope so far, else the envelope so far times `release`;
// *envelope carries it from block to block.
void eq_detect_follow(EqState* s, const EqCoefficients& c, const float* left, const float* right, float gain,
                      int frames, float* scratch, float* detect, float release, float* envelope,
                      float* envelope_out);
