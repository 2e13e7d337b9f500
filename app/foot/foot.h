// The bottom of the main area and its arithmetic: the time left and what limits it, the state word
// and its colour, the status-or-capacity line, and the button strip's model (cells, press
// springs, hover, the recording pulse). No drawing here (foot_draw.cpp draws).
// Main thread only.
#pragma once
#include <cstddef>
#include <cstdint>

#include "app/shell/layout.h"
#include "app/shell/spring.h"
#include "config/status.h"

// ---- Time left ----
enum class Limit { kTape, kDisk, kRam };

struct CapacityInputs {
  int64_t tape_chunks;       // chunks the tape can address
  int64_t chunk_frames;
  int64_t frames_recorded;   // the write head
  double rate;
  int64_t free_bytes;        // on the library's drive; negative = unknown
  int bit_depth;             // 16 or 24
  bool holding;              // takes wait in memory after a write failure
  uint64_t available_memory; // bytes; 0 = unknown
};

struct TimeLeft {
  double seconds;
  Limit limit;
};

TimeLeft time_left(const CapacityInputs& in);
// "%.1F DAYS" (2 days or more), "%.1F HOURS" (1.5 hours or more), else "%.0F MIN".
void format_time_left(double seconds, char* out, size_t cap);
// The grey capacity line: "%.0F GB FREE   %s   DISK" when the disk limits and its free space is
// known, else "%s LEFT   %s" with the limit's name.
void format_capacity_line(const TimeLeft& t, int64_t free_bytes, char* out, size_t cap);
const char* limit_name(Limit limit);

// ---- State word ----
struct FootFacts {
  bool armed, recording, would_open;
  bool audio_down;
  bool inputs_all_muted;   // every rig input muted and the input is not a Link channel
  int sound_on_muted;      // 1-based input that carries sound while muted, 0 = none
  bool holding_unwritten;  // holding, with sealed takes not on disk
};

struct StateWord {
  char text[32];
  uint32_t colour;
};
StateWord foot_state_word(const FootFacts& f);

// The second line: the status message while it is live at now_ms, else the capacity line.
// Returns true when the status message is the one shown.
bool foot_second_line(const StatusLine& status, uint32_t now_ms, const char* capacity, char* out, size_t cap);

// Minutes and the seconds left over, after rounding to `decimals` places as they will be shown.
void split_minutes(double seconds, int decimals, int* minutes, double* rest);
// "%d:%05.2f   %d TAKES" with the recorded time.
void format_session_line(double recorded_seconds, int takes, char* out, size_t cap);

// ---- Button strip ----
constexpr int kButtonCount = 7;
enum StripButton : int { kBtnArm = 0, kBtnGate, kBtnLatch, kBtnMon, kBtnNorm, kBtnPlay, kBtnCull };
constexpr float kHoverRate = 14.0f;      // hover moves by min(1, 14 dt) of the way a frame
constexpr float kHoverInset = 4.0f;      // a cell's hover area is shrunk by this left and right
constexpr float kPulseRate = 2.4f;       // pulse phase advance per second while recording

struct StripAnim {
  Spring press[kButtonCount];
  float hover[kButtonCount];  // 0..1
  double pulse_phase;
};

void strip_init(StripAnim* a);
// The button under the pointer (hover area), or -1.
int strip_button_at(const MainLayout& l, float x, float y);
// The drawn button: (W / 7 - 8) x strip height, scaled by its spring and centred in its cell.
Rect strip_button_rect(const MainLayout& l, int button, float press);
// One frame of hover, springs and pulse. dt already clamped by the caller.
void strip_animate(StripAnim* a, const MainLayout& l, float pointer_x, float pointer_y, float dt, bool armed,
                   bool recording);
// The double beat: 0.6 e^(-22 |f - 0.22|) + e^(-18 f) of the phase's fractional part f.
float pulse_value(double phase);
