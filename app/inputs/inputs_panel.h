// The inputs panel's model: where every control lies, what the pointer is over, the drag in
// progress, the keys, the wheel and the texts (header, gain, status line). It keeps only view state;
// every edit leaves as an action record through a table of callbacks, which the program points at
// its rig keeper (an external controller can take the same records). No drawing and no SDL here
// (inputs_draw.cpp draws). Main thread only.
#pragma once
#include <cstddef>
#include <cstdint>

#include "app/shell/input.h"
#include "app/shell/layout.h"
#include "rig/rig_keeper.h"

constexpr float kInputsRowH = 34.0f;        // one input; the wheel scrolls a row per notch
constexpr float kInputsPad = 12.0f;
constexpr float kInputsHeaderH = 48.0f;     // device name and its facts
constexpr float kInputsSceneH = 34.0f;
constexpr float kInputsStatusH = 22.0f;
constexpr float kInputsMasterH = 40.0f;
constexpr float kInputsCardW = 440.0f, kInputsCardH = 128.0f;
constexpr float kInputsCardTop = 132.0f;    // the card's top, above the panel's bottom
constexpr float kInputsFaderW = 150.0f;     // the faders' track, the length a drag is measured by
constexpr float kInputsFaderDetent = 0.75f; // 0 dB on the fader law
constexpr float kInputsDetentPx = 6.0f;     // pointer travel that leaves the detent
constexpr float kInputsPanPx = 20.0f;       // pointer travel for the whole pan range's half
constexpr int kInputsGlyphs = 13;
extern const char* const kInputsGlyphList[kInputsGlyphs];

// Action codes of the records the panel sends.
enum class InputsAct : int {
  kSetGain, kNudgeGain, kSetFader, kSetPan, kSetMute, kSetLink, kSetMaster, kNudgeMaster, kSetMasterFader,
  kSelectScene, kCopyScene, kSetGlyph, kClearClip, kClearOutClip,
};
struct InputsAction {
  InputsAct code;
  int index;        // input or scene
  float value;      // gain, dB, fader position, pan
  bool flag;        // mute, link
  const char* text; // glyph
};
struct InputsActions {
  void (*act)(void* ctx, const InputsAction& a);
  void* ctx;
};
// The table that hands every action to a rig keeper.
InputsActions inputs_keeper_actions(RigKeeper* k);

enum class InputsZone : int {
  kNone, kScene, kNumber, kLabel, kMute, kFader, kPan, kLink, kClip, kMaster, kMasterClip, kHeaderClose,
  kHeaderOptions, kHeader, kRows,
};
struct InputsHit {
  InputsZone zone;
  int index;  // input (rows) or scene; -1 otherwise
};

enum class InputsDrag : int { kNone, kMutePaint, kFader, kPan, kMaster };

// The panel's rectangles for a panel placed at `panel` (output pixels).
struct InputsGeometry {
  Rect panel, header, close, options, scenes[kRigScenes], status, rows, master, master_fader, master_clip, card;
};
void inputs_geometry(const Rect& panel, InputsGeometry* out);
// The controls of input row i, scrolled by `scroll` pixels (may lie outside the rows area).
struct InputsRowRects {
  Rect row, number, label, mute, fader, pan, link, clip;
};
void inputs_row_rects(const InputsGeometry& g, int i, float scroll, InputsRowRects* out);

// What the panel reads each frame: the keeper's records (the rig may be null).
struct InputsSource {
  RigKeeperStatus status;
  const RigDoc* rig;
  const RigKeeperMeters* meters;
  const char* labels[kRigMaxInputs];  // display labels, never null
};
void inputs_source_from_keeper(RigKeeper* k, InputsSource* out);

struct InputsPanel {
  bool open;
  int selected;               // input, -1 = none
  InputsHit hover;
  InputsDrag drag;
  int drag_index;             // input dragged or the first row painted
  float drag_x;               // pointer x last taken into the value
  float drag_raw;             // the pan as dragged, before it snaps to the centre
  float drag_value;           // what was last set
  bool detent;                // the fader sits in its 0 dB detent
  float detent_x;             // pointer x where it went in
  bool paint_muted;           // the state mute painting spreads
  float scroll;               // pixels the rows are moved up
  float wheel_carry;          // fractional notches not yet used
  InputsHit rest;             // the control the pointer rests on, since rest_since_s
  double rest_since_s;
  double scrolled_until_s;    // the wheel keeps scrolling until then after a scroll
  InputsGeometry geometry;
};

void inputs_panel_init(InputsPanel* p);
// Lays the panel out at `panel`; keeps the scroll within the rows.
void inputs_panel_layout(InputsPanel* p, const Rect& panel, const InputsSource& src);
InputsHit inputs_hit(const InputsPanel& p, const InputsSource& src, float x, float y);

// Events. Each returns whether the panel took it. A glyph check may be null (every glyph drawn).
bool inputs_key(InputsPanel* p, const InputsSource& src, const InputsActions& a, const InputEvent& ev);
bool inputs_mouse_down(InputsPanel* p, const InputsSource& src, const InputsActions& a, const InputEvent& ev,
                       bool (*can_draw)(void* ctx, const char* glyph) = nullptr, void* draw_ctx = nullptr);
void inputs_mouse_move(InputsPanel* p, const InputsSource& src, const InputsActions& a, float x, float y, bool shift,
                       double now_s);
void inputs_mouse_up(InputsPanel* p);
bool inputs_wheel(InputsPanel* p, const InputsSource& src, const InputsActions& a, const InputEvent& ev, double now_s);

// The input a row acts for: the first of a linked pair for its second.
int inputs_lead(const InputsSource& src, int input);
bool inputs_pair(const InputsSource& src, int lead);  // lead heads a linked pair
// The next glyph after the scene's own that no other scene uses and can be drawn; null: none.
const char* inputs_next_glyph(const RigDoc* rig, int scene, bool (*can_draw)(void*, const char*), void* ctx);

// Texts.
void inputs_gain_text(float gain, char* out, size_t cap);
// "%d/%d IN" or "%d IN", the rate, the API upper-cased, joined by " · ".
void inputs_header_facts(const RigKeeperStatus& s, char* out, size_t cap);
// Names from other applications for display: printable ASCII; dots, dashes, ellipsis and arrow
// spelled in ASCII; anything else "?".
void inputs_display_text(const char* in, char* out, size_t cap);
// The status line, first rule that holds; empty when none does.
void inputs_status_text(const InputsPanel& p, const InputsSource& src, double now_s, char* out, size_t cap);
