// The shell's colours, 0xAABBGGRR (alpha in the top byte, red in the lowest), and the visualiser
// colour slots with their palette. Constants only; any thread.
#pragma once
#include <cstdint>

#include "config/settings.h"

// Fixed colours of the foot, the button strip and the frame.
constexpr uint32_t kColourInk = 0xFF0D0C0C;        // darkest: window background, dark text
constexpr uint32_t kColourSurface = 0xFF1A1818;    // dark fills (buttons, pill, tape strip)
constexpr uint32_t kColourPanel = 0xFF141313;      // header and side panel
constexpr uint32_t kColourRule = 0xFF2A2727;       // hairlines between areas
constexpr uint32_t kColourRed = 0xFF4D42EB;
constexpr uint32_t kColourOrange = 0xFF1F7AF2;
constexpr uint32_t kColourLight = 0xFFE9E5E2;
constexpr uint32_t kColourBright = 0xFFEBEBEB;
constexpr uint32_t kColourWhite = 0xFFF2F2F2;
constexpr uint32_t kColourSilver = 0xFFC6C1BE;
constexpr uint32_t kColourGrey = 0xFF807C7A;
constexpr uint32_t kColourDim = 0xFF4A4646;        // quiet text (perf line, door keys)
constexpr uint32_t kColourWouldOpen = 0xFFF9F7F6;
constexpr uint32_t kColourBevelLight = 0x38FFFFFF;
constexpr uint32_t kColourBevelDark = 0x8C000000;

// Visualiser colour slots (the settings' vis_color_%d), their defaults and the palette.
enum VisSlot : int {
  kSlotVisualSurface = 0,
  kSlotWaterfall = 1,
  kSlotWaveQuiet = 2,
  kSlotWaveThreshold = 3,
  kSlotWaveTrigger = 4,
  kSlotWaveRecording = 5,
  kSlotHighlights = 6,
  kSlotFloorGlow = 7,
  kSlotCorridorTop = 8,
  kSlotCorridorBottom = 9,
  kSlotSkyFirst = 10,
  kSlotSkySecond = 11,
  kSlotVisualBackground = 12,
  kSlotThresholdLine = 13,
  kSlotGateOutLine = 14,
  kSlotLiveDetector = 15,
  kSlotStageSpotlights = 16,
  kSlotFloorColour = 17,
};

constexpr uint32_t kVisSlotDefaults[kVisColorSlots] = {
    0xFF1A1818, 0xFFC6C1BE, 0xFF423F3E, 0xFFE9E5E2, 0xFFF9F7F6, 0xFF4D42EB,
    0xFFEBEBEB, 0xFFC6C1BE, 0xFFB8C70F, 0xFF3D0DDB, 0xFFFF7A29, 0xFFB85733,
    0xFF0D0C0C, 0xFFC6C1BE, 0xFF1F7AF2, 0xFFEB9E5C, 0xFFD6F2FF, 0xFF2E24FF,
};

// Choice 1..10 of a slot: WHITE, GRAY, RED, ORANGE, GOLD, GREEN, TEAL, BLUE, PURPLE, PINK.
constexpr uint32_t kVisPalette[kVisColorChoices - 1] = {
    0xFFF2F2F2, 0xFF807C7A, 0xFF4D42EB, 0xFF1F7AF2, 0xFF4BC1EB,
    0xFF7ACD50, 0xFFB9C82D, 0xFFEB9E5C, 0xFFEB69A5, 0xFFB978F0,
};

// The slots as this frame draws them: a choice 1..10 takes the palette, 0 keeps the default.
struct Theme {
  uint32_t slot[kVisColorSlots];
  bool background_set;  // the user chose a colour for VISUAL BACKGROUND
};
void theme_resolve(const Settings& s, Theme* out);

// Mixes a toward b by t (0..1), channel by channel, alpha included.
uint32_t colour_mix(uint32_t a, uint32_t b, float t);
// The colour with its alpha multiplied by f (0..1).
uint32_t colour_fade(uint32_t c, float f);
