// The spectrum corridor: which ring of spectrum rows the walls read (the inputs', the library's,
// or both merged), the twenty adaptive bands that give the loud part of the spectrum the narrow
// bands, and the walls themselves, 44 slices deep, as triangles. Main thread only; nothing here
// allocates.
#pragma once
#include <cstdint>

#include "analysis/spectrum.h"
#include "visual/geometry.h"

constexpr int kBandCount = 20;
constexpr int kBandEdges = kBandCount + 1;
constexpr int kWallSlices = 44;
constexpr int kWallPoints = kBandCount + 1;       // across the view
constexpr int kWallRows = 2 * kWallSlices;         // rows the walls can read, newest first
constexpr int kWallMinRows = 4;                    // fewer draw no walls
constexpr int kWallMaxTriangles = (kWallSlices - 1) * kBandCount * 2;
constexpr int kWallMaxVertices = 3 * kWallMaxTriangles;
constexpr double kWallRowRiseS = 0.033;            // a new row glides in over this
constexpr double kBandSettleS = 90.0;              // long-term column levels follow over ~this
constexpr double kBandMaxStepS = 0.25;

enum WallSource : int { kWallFromInputs = 0, kWallFromLibrary = 1, kWallFromAll = 2 };

// The rows the walls read, newest first. A single source is referenced where it lies; a merged
// one is built here, each value the larger of the two rings' at the same age.
struct WallRing {
  int64_t newest;                  // row number of the newest row; -1 = empty
  int32_t count;                   // rows the ring holds (up to 720), though only kWallRows are reachable
  const float* row[kWallRows];     // row[age], null past the rows held
  float merged[kWallRows][kSpectrumBands];
};

// Picks the ring for a wall source: 0 the input ring; 1 the library ring while the library plays,
// else an empty ring; 2, while both rings hold rows and the library plays, the two merged newest
// with newest (numbered as the input ring), else the input ring. Either analyser may be null.
void wall_ring_select(WallRing* ring, const SpectrumAnalyser* input, const SpectrumAnalyser* library,
                      bool library_playing, int wall_source);
// Row `number` of the ring, or null when the ring does not hold it (or it is out of reach).
const float* wall_ring_row(const WallRing* ring, int64_t number);

// Band table that follows the sound: long-term column levels and 21 rising edges over 200 columns.
struct AdaptiveBands {
  float level[kSpectrumBands];   // long-term sqrt level per column
  double last_s;                 // time of the previous update; < 0 = never
  int32_t edge[kBandEdges];      // e0 = 0 < e1 < ... < e20 = 200
};

// Even bands, levels 0, never updated.
void bands_reset(AdaptiveBands* b);
// One frame: levels move towards sqrt of the newest row by dt / 90 (dt since the previous update,
// at most 0.25 s; none on the first), then the edges are laid out by weight. A null row moves
// nothing but still lays out the edges.
void bands_update(AdaptiveBands* b, const float* newest_row, double now_s);
// Largest value of each band's columns in a row.
void band_maxima(const float* row, const int32_t edge[kBandEdges], float out[kBandCount]);
// A band value as drawn: sqrt(v) above 0.02, else 0.
float band_shown(float v);

struct WallColours {
  uint32_t top;       // lit peaks (CORRIDOR TOP LIGHT)
  uint32_t bottom;    // the quiet ground (CORRIDOR BOTTOM LIGHT)
};

// Frame clock of the walls: when the ring's newest row arrived, for the glide.
struct WallClock {
  int64_t newest_seen;  // -1 = none yet
  double arrived_s;
};

// The walls in the view (x, y, w, h in pixels) into sink, far slices first: nothing when the ring
// holds fewer than 4 rows or the view is empty. `still` leaves out the glide between rows (reduced
// motion). Returns the triangles added.
int walls_build(VertexSink* sink, const WallRing& ring, const AdaptiveBands& bands, WallClock* clock,
                float x, float y, float w, float h, double now_s, bool still, const WallColours& colours);
