// The rig keeper's record and the helpers its two halves share (rig_keeper.cpp: binding, store
// results, loads, saves and merging; rig_keeper_edit.cpp: edits, scenes, meters, hints, status).
// Private to rig/. User-interface thread only.
#pragma once
#include <cstdint>

#include "rig/rig_keeper.h"
#include "rig/rig_store.h"

namespace rig_keeper_detail {

constexpr double kSaveQuietS = 0.15;      // after the last edit
constexpr double kSaveLatestS = 1.0;      // after the first unsaved edit
constexpr double kRetryS = 2.0;           // failed loads, saves and queueings
constexpr double kFallbackAfterS = 5.0;   // of failed loads since binding
constexpr double kMergeFadeS = 0.2;       // rigs from disk, and the first rig over the defaults
constexpr double kBusyShownS = 0.12;
constexpr double kMeterFallDbPerS = 24.0;
constexpr double kPeakHoldS = 1.5;
constexpr double kHintAfterS = 1.5;
constexpr double kHintClearS = 0.5;
constexpr float kHintMutedDb = -40.0f;    // a muted input this loud...
constexpr float kHintQuietDb = -50.0f;    // ...while no heard input reaches this
constexpr double kSceneStepS = 0.001;     // successive scene choices are at least this far apart

struct SaveJob {
  uint32_t id;
  RigChanges masks;
};

// A rig with its unsaved edits and its saves in flight: the bound one, or one parked when the
// keeper moved to another device before it was saved.
struct Slot {
  RigDoc* doc;                 // owned; null: none
  char key[kRigKeyBytes];
  RigChanges pending;          // edits not yet handed to the store
  bool dirty;                  // pending holds something
  double first_edit_s, last_edit_s;
  bool save_now;               // a scene choice, copy or glyph: no waiting
  SaveJob saves[kRigMaxSavesInFlight];
  int save_count;
  double retry_s;              // no save queued before this
  bool failing;                // saves failed since the last that landed
  bool failure_noticed;        // notice 4 given for this run of failures
};

}  // namespace rig_keeper_detail

struct RigKeeper {
  // Set at open.
  char app[kRigAppBytes];
  void (*log_fn)(void*, const char*);
  void* log_user;
  RigStore* store;  // may be null: then nothing loads or saves and the rig runs on defaults
  RigMixer* mixer;  // owned; the audio thread runs it

  // The binding.
  int state;
  bool has_stream;
  RigStream stream;
  uint32_t tag;
  rig_keeper_detail::Slot bound, parked;
  int scene;           // selected
  double scene_at;     // the at of this application's choice of it
  double last_at;      // the latest at this keeper gave
  uint32_t load_id;    // the load queued (0: none)
  bool load_failed;    // the last load failed (or could not be queued)
  bool load_fail_logged;
  double bound_s;
  double load_retry_s;
  bool fallback;
  bool audio_live;     // while loading, the mixer began playing the default layout
  bool flushing;

  // The last matrix sent.
  RigMixMatrix sent;
  uint32_t sent_tag;
  bool sent_valid;

  // Notices: positions only grow.
  RigNotice notices[kRigNotices];
  int64_t notice_read, notice_write;

  // Meters and hints.
  RigMixerMeters snapshot;
  RigKeeperMeters meters;
  double in_hold_s[kRigMaxInputs], post_hold_s[kRigMaxInputs], out_hold_s[2];
  double meter_s;       // the last meter update (negative: none yet)
  int hint;             // -1: none
  double hint_since_s;  // the hint's condition began (negative: not met)
  double hint_gone_s;   // it ended (negative: still met)

  bool mismatch, mismatch_logged;
  bool save_error;
  char error[kRigErrorBytes];
  char changed_by[kRigAppBytes];
  double changed_at;

  // The times of the last tick; edits are stamped with them.
  double now_s, wall_s;
};

namespace rig_keeper_detail {

void keeper_log(RigKeeper* k, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void push_notice(RigKeeper* k, int code, int value, bool flag, bool flag2, const char* text);
// Builds the selected scene's matrix and sends it when it or the tag differs from the last sent
// (always with force). fade_s 0 is the mixer's shortest.
void send_matrix(RigKeeper* k, double fade_s, bool force);
// The matrix the selected scene gives now.
void current_matrix(const RigKeeper* k, RigMixMatrix* out);
// An edit of the bound rig happened now.
void touch(RigKeeper* k);
// Copies the selected scene's mix onto `target` and marks it replaced whole.
void fill_scene(RigKeeper* k, int target);
int app_scene_index(const RigDoc* doc, const char* app);
// Meters, the muted-input hint (rig_keeper_edit.cpp), from the snapshot just read.
void update_meters(RigKeeper* k);
void clear_meters(RigKeeper* k);

}  // namespace rig_keeper_detail
