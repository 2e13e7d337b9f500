// The stage shown while the library plays, and the corridor behind the scope: one record that
// keeps what lasts between frames (the adaptive bands, the band history, the stage clock) and the
// geometry of the frame, rebuilt whole every frame from the spectrum rings and the tempo. A view
// draws the ranges in order: walls, then the sky's pieces (or the sky itself without render
// targets), the floor, the lights, and the label's box and text.
// Main thread only; building allocates nothing.
#pragma once
#include <cstddef>
#include <cstdint>

#include "analysis/spectrum.h"
#include "analysis/tempo_key.h"
#include "visual/geometry.h"
#include "visual/walls.h"

constexpr int kStageMinSide = 64;                  // pixels; a smaller view draws nothing
constexpr int kSkyHistoryRows = 10;                // band-history rows: nine rings and the one past them
constexpr uint32_t kSkyPeriodMs = 1650;            // one band-history row per period
constexpr int kSkyFirstPushRows = 4;
constexpr int kSkyLeaves = 2;
constexpr int kSkyRings = 9;
constexpr int kSkySegments = 14;
constexpr int kSkyMaxTriangles = kSkyLeaves * kSkyRings * kSkySegments * 2 * 2;
constexpr int kShuffleSide = 6;
constexpr int kShufflePieces = kShuffleSide * kShuffleSide;
constexpr int kShuffleBeats = 16;                  // the deal changes every four bars
constexpr int kShuffleMaxTriangles = kShufflePieces * 4 * 2 * 2;  // 2 x 2 sub-quads, drawn twice
constexpr int kFloorBlocks = 3;
constexpr int kFloorRows = 22;                     // rows every 2 units along 43
constexpr int kFloorBeats = 3;                     // the floor re-deals every third beat
constexpr int kFloorMaxTriangles = kFloorRows * kFloorBlocks * 3 * 2;
constexpr int kGlowSegments = 16;
constexpr int kLightMaxTriangles = 2 * (2 * 2 + 3 * kGlowSegments);
constexpr int kStageMaxVertices =
    3 * (kWallMaxTriangles + kSkyMaxTriangles + kShuffleMaxTriangles + kFloorMaxTriangles + kLightMaxTriangles);
constexpr int kStageLabelBytes = kTempoTextBytes;

// The parts' colours for this frame, 0xAABBGGRR, resolved by the shell from the colour settings.
struct StageColours {
  uint32_t corridor_top;     // CORRIDOR TOP LIGHT
  uint32_t corridor_bottom;  // CORRIDOR BOTTOM LIGHT
  uint32_t sky_first;        // SKY FIRST LAYER
  uint32_t sky_second;       // SKY SECOND LAYER
  uint32_t floor;            // FLOOR COLOR
  uint32_t spotlights;       // STAGE SPOTLIGHTS
  uint32_t background;       // VISUAL BACKGROUND: the label's box
};

// What one frame is built from. The analysers may be null.
struct VisualInput {
  float x, y, w, h;                      // the view, pixels
  double now_s;                          // monotonic seconds
  uint32_t tick_ms;                      // the wrapping millisecond tick (band-history periods)
  const SpectrumAnalyser* input;         // the inputs' ring
  const SpectrumAnalyser* library;       // the library player's ring
  bool library_playing;
  int wall_source;                       // WallSource (settings wall_source)
  const TempoKeyAnalyser* tempo;         // the library's tempo and key
  double play_s;                         // the player's position in its file, seconds
  bool frozen;                           // reduced motion: the stage stands still
  StageColours colours;
};

// The beat as the stage counts it: the detected tempo from its first beat, else 120 per minute
// from time 0.
struct BeatClock {
  double period_s;
  double position;   // beats since the origin
  int64_t number;    // floor of position
  double phase_s;    // time into the current beat
};
BeatClock beat_clock(const TempoKeyAnalyser* tempo, double now_s);

// Band maxima of the library's recent rows, one row per 1650 ms period, newest first.
struct BandHistory {
  float rows[kSkyHistoryRows][kBandCount];
  float running[kBandCount];  // maxima since the last push
  int32_t gathered;           // rows since the last push
  bool pushed;                // the first push has happened
  uint32_t period;            // tick / 1650 at the last look
  uint64_t rows_seen;         // library rows_written already taken in
  uint32_t pushes;            // rows pushed so far; names each row for the sky's jitter
};
void band_history_reset(BandHistory* h);
// Takes in the rows the library ring gained and pushes once per period (or, the first time, once
// four rows are in; that push fills the whole history). A ring that was reset starts over.
void band_history_feed(BandHistory* h, const SpectrumAnalyser* library, const int32_t edge[kBandEdges],
                       uint32_t tick_ms);

// The 36 piece numbers in dealt order for a group of 16 beats: out[l] is the piece drawn into
// destination cell l.
void shuffle_deal(int64_t bar_group, int out[kShufflePieces]);

// The tempo label: the text (empty draws nothing), its top-left corner, and the box behind it,
// which the view makes the text's width + 12 wide.
struct StageLabel {
  char text[kStageLabelBytes];
  float x, y;
  float box_pad;          // added to the text's width
  float box_h;
  uint32_t box_colour;    // the background at alpha 0.82
  uint32_t text_colour;
  int text_size;
};

struct StageGeometry {
  StageVertex v[kStageMaxVertices];
  int count;
  VertexRange walls;       // screen space
  VertexRange sky;         // the sky texture's space, sky_w x sky_h (drawn at the view's corner without render targets)
  VertexRange pieces;      // screen space, textured from the sky texture
  VertexRange floor;
  VertexRange lights;
  int sky_w, sky_h;        // the sky texture's size; 0 when there is no sky this frame
  StageLabel label;
};

struct Visualiser {
  AdaptiveBands bands;
  WallClock wall_clock;
  BandHistory history;
  double stage_clock_s;    // the stage's own time (stands while frozen)
  double last_frame_s;     // < 0 = no frame yet
  WallRing ring;           // scratch
  StageGeometry geometry;  // the last frame built
};

// Everything to its start. The record is large (about a quarter of a megabyte): keep it off the stack.
void visual_reset(Visualiser* v);

// The corridor behind the scope: walls only, into geometry.walls (the other ranges empty).
void visual_build_walls(Visualiser* v, const VisualInput& in);

// The stage: walls, sky, pieces, floor, lights and label; nothing at all in a view under 64 x 64.
void visual_build_stage(Visualiser* v, const VisualInput& in);
