// The rig document: one audio input device as the maker's applications share it (host API,
// device, inputs, four scenes of per-input gain, pan, mute, link and label), its JSON text
// "lumaro.rig" version 1 with every validation message, repair, comparison and merging. Members
// and channel entries this version does not know are kept as raw text and written back unchanged.
// Thread-safe: a RigDoc belongs to one thread at a time; rig_new_uuid and the random source may
// be used from any thread.
#pragma once
#include <cstddef>
#include <cstdint>

constexpr int kRigFormatVersion = 1;
constexpr int kRigScenes = 4;
constexpr int kRigMaxInputs = 64;
constexpr int kRigMaxAppScenes = 16;
constexpr size_t kRigMaxTextBytes = 1048576;  // the largest rig text read (exactly 1 MB is read)
constexpr float kRigMaxGain = 3.9810717f;     // +12 dB
constexpr char kRigFormat[] = "lumaro.rig";

// Text field sizes, NUL included.
constexpr size_t kRigKeyBytes = 200;
constexpr size_t kRigApiBytes = 16;
constexpr size_t kRigDeviceNameBytes = 128;
constexpr size_t kRigChannelNameBytes = 64;
constexpr size_t kRigAppBytes = 48;
constexpr size_t kRigUuidBytes = 37;
constexpr size_t kRigLabelBytes = 64;
constexpr size_t kRigGlyphBytes = 8;
constexpr size_t kRigPlatformBytes = 16;
constexpr size_t kRigVersionBytes = 24;
constexpr size_t kRigInstanceBytes = 17;

// Owned texts (extra_*) are raw JSON this version does not interpret, comma-separated, from
// malloc; null when there is none. rig_free releases them.
struct RigChannel {
  float gain;   // linear, 0 .. kRigMaxGain
  float pan;    // -1 .. 1
  bool muted;
  bool link;    // on an odd-numbered input (1, 3, ... from 1): joins it with the next as a pair
  char label[kRigLabelBytes];
  char id[kRigUuidBytes];
  char* extra_members;
};

struct RigScene {
  char id[kRigUuidBytes];
  char name[64];
  char glyph[kRigGlyphBytes];  // one symbol
  bool fresh;                  // never edited
  float master_gain;           // linear, 0 .. kRigMaxGain
  double updated_at;           // seconds since 2001-01-01 UTC
  char author[kRigAppBytes];   // application that last edited it
  int32_t channel_count;       // entries in use, 0..64
  RigChannel channels[kRigMaxInputs];
  char* extra_members;
  char* extra_channels;  // channel entries of other kinds, kept verbatim
};

struct RigAppScene {
  char app[kRigAppBytes];
  int32_t scene;  // 0..3
  double at;      // seconds since 2001-01-01 UTC
};

struct RigDevice {
  char api[kRigApiBytes];
  char name[kRigDeviceNameBytes];
  int32_t channels;  // inputs, 1..64
  char channel_names[kRigMaxInputs][kRigChannelNameBytes];
};

struct RigWriter {
  char app[kRigAppBytes];
  char platform[kRigPlatformBytes];
  char version[kRigVersionBytes];
  char instance[kRigInstanceBytes];
  double at;  // seconds since 2001-01-01 UTC
};

struct RigDoc {
  int32_t version;  // of the file; 1 is ours
  bool read_only;   // version > 1: a newer application wrote it
  char key[kRigKeyBytes];
  RigDevice device;
  int32_t active_scene;  // 0..3
  int32_t app_scene_count;
  RigAppScene app_scenes[kRigMaxAppScenes];
  RigScene scenes[kRigScenes];
  int64_t rev;  // raised by each save
  RigWriter writer;
  char* extra_top;
  char* extra_device;
  char* extra_scenes;  // scene elements past the fourth
};

// Decode result codes.
constexpr int kRigDecodeOk = 0;
constexpr int kRigDecodeRepaired = 1;    // read, with something dropped, defaulted or repaired
constexpr int kRigDecodeReadOnly = 2;    // read; a newer version, so read only
constexpr int kRigDecodeNotRig = 3;
constexpr int kRigDecodeUnreadable = 4;
constexpr int kRigDecodeNoMemory = 5;

// Change masks: per scene and input, and per scene.
constexpr uint8_t kRigInputGain = 1;
constexpr uint8_t kRigInputPan = 2;
constexpr uint8_t kRigInputMuted = 4;
constexpr uint8_t kRigInputLink = 8;
constexpr uint8_t kRigInputLabel = 16;
constexpr uint8_t kRigInputAll = 31;
constexpr uint8_t kRigSceneMasterGain = 1;
constexpr uint8_t kRigSceneGlyph = 2;
constexpr uint8_t kRigSceneName = 4;
constexpr uint8_t kRigSceneFresh = 8;
constexpr uint8_t kRigSceneReplaced = 128;  // the whole scene: every input's gain, pan, mute, link, masterGain, fresh

struct RigChanges {
  uint8_t input[kRigScenes][kRigMaxInputs];
  uint8_t scene[kRigScenes];
  bool active_scene;
  bool device;  // channels, api, name or a channel name
  bool any;
};
void rig_changes_or(RigChanges* dst, const RigChanges& src);

// Frees the extra texts and sets the document to version 1 with empty scenes named "scene %d",
// master gain 1 and each scene's default glyph.
void rig_reset(RigDoc* doc);
// A new rig for a device: channels clamped to 1..64, channel names (null = none; `channels` of
// them) made valid and cut, new ids, scene 1 in use and 2-4 fresh, inputs 1-2 live and the rest
// muted, input 1 linked to 2 (only where rig_api_links_first_pair, and with two inputs or more).
void rig_init_for_device(RigDoc* doc, const char* key, const char* api, const char* name, int channels,
                         const char (*channel_names)[kRigChannelNameBytes], const char* author, double now);
// Deep copy, extra texts included; on failure dst is cleared and false returned.
bool rig_copy(RigDoc* dst, const RigDoc* src);
void rig_free(RigDoc* doc);

// Reads a rig text into doc (freed and reset first). Returns a kRigDecode* code; msg (capacity
// msg_cap) receives the first problem as one line, empty for kRigDecodeOk.
int rig_decode(const char* text, size_t length, RigDoc* doc, char* msg, size_t msg_cap);
// Writes the rig text. Returns its full length; the buffer holds the text only when the length is
// below cap, otherwise an empty string. A null buffer measures.
size_t rig_encode(const RigDoc* doc, char* buf, size_t cap);
// Brings every field into range; true when anything changed.
bool rig_repair(RigDoc* doc);
// Adds the missing inputs (up to count, at most 64) to every scene with the new-input defaults.
bool rig_grow_inputs(RigDoc* doc, int count);
// What differs between a and b; returns out->any.
bool rig_diff(const RigDoc* a, const RigDoc* b, RigChanges* out);
// Records that app now uses scene (clamped 0..3) and makes it the active scene.
void rig_set_app_scene(RigDoc* doc, const char* app, int scene, double at);
// Takes src's later entries per application into dst; a full table only admits an entry later
// than its oldest, which goes.
void rig_merge_app_scenes(RigDoc* dst, const RigDoc* src);
// Copies onto base what the masks say ours changed; everything else stays as base has it.
// false when memory for a copied input's extra text could not be had (base stays usable).
bool rig_merge_edits(RigDoc* base, const RigDoc* ours, const RigChanges& masks);

// "api:normalised device name" into out (capacity cap); false when it does not fit in 200 bytes.
bool rig_make_key(const char* api, const char* device_name, char* out, size_t cap);
// Whether a new rig of this api links inputs 1 and 2 as a stereo pair: not on "asio" or "jack",
// whose inputs arrive as separate mono channels.
bool rig_api_links_first_pair(const char* api);
// The rig's api text for a PortAudio host API type id ("api%d" for ids not in the table).
void rig_api_name(int host_api_type, char out[kRigApiBytes]);
// 32-bit FNV-1a of a text, and the stream tag of a key (that hash, 0 replaced by 1).
uint32_t rig_fnv1a(const char* text);
uint32_t rig_stream_tag(const char* key);

// A random version-4 UUID, upper-case hexadecimal with hyphens.
void rig_new_uuid(char out[kRigUuidBytes]);
// Seeds the process's UUID source; only the first seeding (or first use) counts. true when this
// call seeded it.
bool rig_seed_random(uint64_t seed);
uint64_t rig_random64();
// Now, in seconds since 2001-01-01 00:00:00 UTC.
double rig_time_now();
