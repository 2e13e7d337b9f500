// The rig keeper: joins the open audio stream to its rig. It binds to the stream's device, loads or
// creates the rig through the store, keeps the rig in memory in step with the user's edits and
// with other applications' saves, turns the selected scene into a mix matrix for the mixer, and
// turns the mixer's measurements into meters and hints. A view draws from the plain records it
// hands out (status, meters, the rig) and edits through the rig_keeper_* calls, which return
// whether anything changed; what happened meanwhile comes out as notices.
// Thread-safe: no. Every rig_keeper_* call belongs to the application's user-interface thread; the
// mixer it owns runs on the audio thread (rig_mixer.h), the store on its own worker (rig_store.h).
#pragma once
#include <cstddef>
#include <cstdint>

#include "rig/rig_doc.h"
#include "rig/rig_mixer.h"

constexpr int kRigNotices = 32;
constexpr size_t kRigNoticeTextBytes = 520;
constexpr size_t kRigErrorBytes = 160;
constexpr int kRigMaxSavesInFlight = 8;
constexpr float kRigMeterFloorDb = -200.0f;
constexpr float kRigMeterCeilingDb = 24.0f;

// Keeper states.
constexpr int kRigUnbound = 0;
constexpr int kRigLoading = 1;
constexpr int kRigBound = 2;
constexpr int kRigReadOnly = 3;

// Notice codes.
constexpr int kRigNoticeInUse = 1;        // value 1: the file was just created or a damaged one set aside;
                                          // flag: the mixer already played the defaults
constexpr int kRigNoticeScene = 2;        // value: the scene; flag: chosen here by the user; flag2: the mix differs
constexpr int kRigNoticeChanged = 3;      // another application changed the rig; text: its name
constexpr int kRigNoticeSaveFailed = 4;   // text: the store's message
constexpr int kRigNoticeSavedAgain = 5;   // saved after failures
constexpr int kRigNoticeSetAside = 6;     // a damaged rig file was set aside; text: the store's message
constexpr int kRigNoticeReadOnly = 7;     // the rig was made by a newer application
constexpr int kRigNoticeMoreInputs = 8;   // more inputs were opened on the bound device; value: the count

struct RigNotice {
  int code;
  int value;
  bool flag;
  bool flag2;
  char text[kRigNoticeTextBytes];
};

// The stream the keeper binds to. Texts are sanitised when bound (trimmed of spaces and controls
// 9..13, read as ISO-8859-1 when not valid UTF-8, cut to the field). An empty key is made from api
// and device; an empty api is the key's part before its colon.
struct RigStream {
  char key[kRigKeyBytes];
  char api[kRigApiBytes];
  char device[kRigDeviceNameBytes];
  int inputs;         // opened, 1..64
  int device_inputs;  // the device has, inputs..64
  double rate_hz;
  char input_names[kRigMaxInputs][kRigChannelNameBytes];
};

// Sanitises every text of a description and fills an empty key or api as binding does.
void rig_stream_sanitize(RigStream* s);

struct RigKeeperStatus {
  int state;                 // kRigUnbound .. kRigReadOnly
  bool bound;                // a rig is in memory (bound or read only)
  char key[kRigKeyBytes];
  char device[kRigDeviceNameBytes];
  char api[kRigApiBytes];
  int inputs;                // opened: as the mixer reports the stream, else as bound
  int device_inputs;
  double rate_hz;
  int scene;                 // selected, 0..3
  int recorded_channels;     // channels the selected scene records (a linked pair counts 2)
  bool all_muted;            // none recorded, and there are inputs
  int64_t rev;
  int hinted_input;          // a muted input that has signal while nothing else does; -1: none
  bool saving;               // the store has been busy for more than 0.12 s
  bool waiting;              // loading, and the mixer already plays the default layout
  bool fallback;             // on fresh defaults: the rig file can't be read
  bool mismatch;             // the stream is not the one the rig is bound for
  bool save_error;
  char error[kRigErrorBytes];  // the last save failure, upper case; empty while retrying without one
  char changed_by[kRigAppBytes];  // the application that last changed the rig (empty: none yet)
  double changed_at;         // when, on the keeper's clock (seconds, as given to tick)
};

// Meters in dB and as fader-law positions (0..1).
struct RigLevel {
  float db;        // kRigMeterFloorDb .. kRigMeterCeilingDb, falling 24 dB a second
  float hold_db;   // the highest level, kept 1.5 s
  float position;  // db through the fader law
  float hold_position;
};
struct RigInputMeters {
  RigLevel in;    // the input as it arrives
  RigLevel post;  // after its fader (the larger side)
  bool clip;      // latched until cleared
  bool bad;       // NaN or infinite samples seen; latched until cleared
};
struct RigKeeperMeters {
  int inputs;
  RigInputMeters input[kRigMaxInputs];
  RigLevel out_left, out_right;
  bool out_clip;        // latched until cleared
  int64_t bad_samples;  // since the stream started
};

struct RigKeeperOptions {
  const char* app_name = nullptr;     // the application's name in rigs; null or empty: "app"
  const char* app_version = nullptr;
  const char* folder = nullptr;       // the rigs folder; null or empty: rig_store_default_folder
  void (*log)(void* user, const char* line) = nullptr;  // null: the process log
  void* log_user = nullptr;
  int poll_ms = 0;                    // the store's poll of the rig file (<= 0: 1000)
  bool no_watch = false;              // poll only, no folder notification
};

struct RigKeeper;

// Makes the keeper with its mixer and its store; unbound. Null only without memory (a store that
// cannot start leaves a keeper that runs on defaults).
RigKeeper* rig_keeper_open(const RigKeeperOptions& options);
// Saves what is pending (waiting up to 1 s), closes the store and frees the keeper. The audio
// stream must no longer run the keeper's mixer.
void rig_keeper_close(RigKeeper* k);
// Queues every pending save now and waits up to ms for the store; true when nothing is left
// unsaved.
bool rig_keeper_flush(RigKeeper* k, int ms);

// The mixer the capture routine runs (rig_mixer_plugin with this as its context).
RigMixer* rig_keeper_mixer(RigKeeper* k);

// Binds to a stream. The same key again refreshes the description, grows the rig to new inputs
// and sends the mix again; another key parks the rig in memory (its saves go on) and loads the
// new one. The mixer is started by the caller (rig_binding.h does both).
void rig_keeper_bind(RigKeeper* k, const RigStream& stream);
// Parks the rig, mutes the mixer and stops watching the file.
void rig_keeper_unbind(RigKeeper* k);
// The per-frame work: store results, mixer meters, load retries and the fallback, saves, meters
// and hints, the mismatch check. now_s: a monotonic clock in seconds; wall_s: seconds since
// 2001-01-01 UTC (rig_time_now). Edits are stamped with the times of the last tick.
void rig_keeper_tick(RigKeeper* k, double now_s, double wall_s);

// Edits of the selected scene; only while bound (not loading, not read only), else ignored. An
// edit of the second input of a linked pair acts on the first. Each returns whether it changed
// anything; a change is saved and mixed at once.
bool rig_keeper_set_gain(RigKeeper* k, int input, float gain);
bool rig_keeper_nudge_gain(RigKeeper* k, int input, float db);
bool rig_keeper_set_fader(RigKeeper* k, int input, float position);  // through the fader law
bool rig_keeper_set_pan(RigKeeper* k, int input, float pan);
bool rig_keeper_set_mute(RigKeeper* k, int input, bool muted);
bool rig_keeper_set_link(RigKeeper* k, int input, bool link);     // the first input of a pair
bool rig_keeper_set_master(RigKeeper* k, float gain);
bool rig_keeper_nudge_master(RigKeeper* k, float db);
bool rig_keeper_set_master_fader(RigKeeper* k, float position);
// Any scene; the first code point of the text (no controls, variation selectors or U+FFFD).
bool rig_keeper_set_glyph(RigKeeper* k, int scene, const char* glyph);
// Selects a scene; a fresh one first takes the current mix. Selecting again refreshes the time
// this application chose it.
bool rig_keeper_select_scene(RigKeeper* k, int scene);
// Copies the selected scene's mix onto another and selects that.
bool rig_keeper_copy_scene(RigKeeper* k, int scene);
// Clears latched indicators (any state): an input's clip and bad-sample flags (and its pair's),
// and the output clip.
void rig_keeper_clear_clip(RigKeeper* k, int input);
void rig_keeper_clear_out_clip(RigKeeper* k);

void rig_keeper_status(const RigKeeper* k, RigKeeperStatus* out);
// The rig in memory for reading (null when none); valid until the next keeper call.
const RigDoc* rig_keeper_rig(const RigKeeper* k);
const RigKeeperMeters* rig_keeper_meters(const RigKeeper* k);
// The selected scene's label of the input, else the rig's channel name, else the stream's input
// name; empty when none.
const char* rig_keeper_label(const RigKeeper* k, int input);
// Takes the oldest notice; false when there is none.
bool rig_keeper_next_notice(RigKeeper* k, RigNotice* out);

// The fader law: position 0..1 to gain (below 0.02 is 0; -72, -30, -12, 0 and +12 dB at 0.02,
// 0.25, 0.5, 0.75 and 1, linear in dB between), and back; levels to meter positions.
float rig_gain_from_fader(float position);
float rig_fader_from_gain(float gain);
float rig_fader_from_db(float db);
// A gain moved by db: up from 0 starts at -72 dB, crossing 0 dB stops at unity, +12 dB at most,
// below -72 dB is 0.
float rig_nudge_gain(float gain, float db);

// Sanitises a text from a device or the system into a field: trimmed of spaces and controls 9..13,
// read as ISO-8859-1 when it is not valid UTF-8, cut at a character boundary.
void rig_sanitize_text(char* out, size_t cap, const char* in);
