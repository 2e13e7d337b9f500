// The plain input record the window backend fills from each SDL event, so the command handler and
// the views can be driven (and tested) without a window. Main thread only.
#pragma once
#include "platform/paths.h"

// Keys the program acts on; anything else arrives as kKeyOther.
enum Key : int {
  kKeyOther = 0,
  kKeySpace,
  kKeyA,
  kKeyB,
  kKeyG,
  kKeyH,
  kKeyL,
  kKeyM,
  kKeyN,
  kKeyO,
  kKeyP,
  kKeyT,
  kKeyX,
  kKeyUp,
  kKeyDown,
  kKeyLeft,
  kKeyRight,
  kKeyTab,
  kKeyEnter,
  kKeyEscape,
  kKeyF1,
  kKeyF12,
  kKeyComma,
  kKeyBackquote,
  kKeyQuestion,
};

enum KeyMod : int {
  kModShift = 1,  // either Shift
  kModCtrl = 2,   // either Ctrl
  kModAlt = 4,    // either Alt
};

enum class InputKind {
  kNone,
  kKeyDown,
  kKeyUp,
  kMouseDown,   // x, y, button
  kMouseUp,
  kMouseMove,   // x, y
  kMouseLeave,  // the pointer left the window
  kWheel,       // wheel_x, wheel_y (notches, up positive), x, y of the pointer
  kDrop,        // path
  kQuit,        // the window's close request or SDL_QUIT
  kFocusLost,
};

constexpr int kMouseLeft = 1;
constexpr int kMouseRight = 3;

struct InputEvent {
  InputKind kind;
  int key;           // Key
  int mods;          // KeyMod bits
  bool repeat;       // an auto-repeated key press
  float x, y;        // pointer, output pixels
  int button;        // kMouseLeft, ...
  float wheel_x, wheel_y;
  char path[kPathCap];  // a dropped file
};
