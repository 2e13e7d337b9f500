// This program's training steps, chapters and version notes, the step tick-off the shell calls
// where the user first does each thing (with its toast in the foot), and the descriptor that hands
// the tables and the settings' masks to the panel. Main thread only.
#pragma once
#include <cstdint>

#include "config/settings.h"
#include "learn/panel.h"

constexpr int kTrainingSteps = 11;
constexpr int kTrainingChapters = 4;
constexpr int kVersionNotes = 30;
constexpr uint32_t kToastMs = 4500;
constexpr int kToastBytes = 48;

// Bits of train_done and train_seen.
enum TrainingStepBit : int {
  kStepFirstArm = 0,      // arming
  kStepFirstTolm = 1,     // the first take arriving from the capture engine
  kStepMoveLine = 2,      // the threshold changed by dragging or keys
  kStepFirstKeep = 3,     // a session with at least one take stopped
  kStepTriggerEq = 4,     // a trigger-EQ band changed
  kStepHandGate = 5,      // the manual gate (G or its button)
  kStepCull = 6,          // a take culled
  kStepLibraryPlay = 7,   // playing from the library (session, take or player)
  kStepContinue = 8,      // a session continued
  kStepRigOpen = 9,       // the inputs panel opened
  kStepRigScene = 10,     // a scene switched
};

extern const TrainingStep kTolmSteps[kTrainingSteps];
extern const TrainingChapter kTolmChapters[kTrainingChapters];
extern const VersionNote kTolmNotes[kVersionNotes];

// The step's title shown in the foot for 4.5 s after it is ticked off.
struct TrainingToast {
  char text[kToastBytes];
  uint32_t shown_ms;      // tick when it appeared
  bool active;
};
// The toast's text while it shows, else null.
const char* training_toast_text(const TrainingToast& toast, uint32_t now_ms);

// Ticks step `bit` off: the first time sets its bit in train_done, shows its title as the toast
// and logs "training: <id>"; true then. An unknown or already done step does nothing. The shell
// saves the settings as it does for any other change.
bool mark_step_done(Settings* s, int bit, TrainingToast* toast, uint32_t now_ms);

// The bit of a step id, or -1.
int training_step_bit(const char* step_id);

// The panel's descriptor for this program: key "tolm", title "TOLM ZEPHA", the given version,
// the settings' seen_version, the tables, and callbacks over the settings' masks (reset-all
// clears both and writes the settings file at once). The settings record must outlive the panel.
PanelDescriptor tolm_panel_descriptor(Settings* s, const char* version);
