// The plain input record the window backend fills from each SDL event, so the command handler and
// the views can be driven (and tested) without a window. Main thread only.
#pragma once
#include <cstdint>

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
  // The overlays' keys and the legend's other keys (lit in the key map).
  kKeyC,
  kKeyD,
  kKeyDelete,
  kKeyPageUp,
  kKeyPageDown,
  kKey1,
  kKey2,
  kKey3,
  kKey4,
  kKeyShift,  // a modifier key itself
  kKeyCtrl,
  kKeyAlt,
  // The library drawer's player and context menu.
  kKeyI,
  kKeyMenu,   // the context-menu key, or Shift+F10
  // The training panel's link and scroll keys.
  kKeyU,
  kKeyHome,
  kKeyEnd,
  // The files tab: the favourite key, the filter's Backspace and paste, the tag digits.
  kKeyF,
  kKeyV,
  kKeyBackspace,
  kKey0,
  kKey5,
  kKey6,
  kKey7,
  kKey8,
  kKey9,
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
  kWindowClose, // a floating panel's own window was closed (window_id says which)
  kText,        // typed text, UTF-8 in path
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
  char path[kPathCap];  // a dropped file, or typed text
  uint32_t window_id;  // the window it happened in: 0 = the main window, else a panel's own
  int clicks;          // presses in a row (2 = a double click)
};
