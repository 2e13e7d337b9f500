// The foot's arithmetic and the button strip's model.
#include "app/foot/foot.h"

#include <algorithm>
#include <cmath>

#include "app/shell/theme.h"
#include "platform/text.h"

namespace {

constexpr double kSecondsPerDay = 86400.0;
constexpr double kDaysFrom = 2.0 * kSecondsPerDay;
constexpr double kHoursFrom = 1.5 * 3600.0;
constexpr double kBytesPerGiB = 1073741824.0;
constexpr float kButtonGap = 8.0f;  // a button is its cell less this

}  // namespace

TimeLeft time_left(const CapacityInputs& in) {
  const double rate = in.rate > 0 ? in.rate : 48000.0;
  TimeLeft t{double(in.tape_chunks * in.chunk_frames - in.frames_recorded) / rate, Limit::kTape};
  if (t.seconds < 0) t.seconds = 0;
  if (in.free_bytes > 0) {
    const int bits = in.bit_depth == 24 ? 24 : 16;
    const double disk = double(in.free_bytes) / (bits * 2 * 0.125 * rate);
    if (disk < t.seconds) t = TimeLeft{disk, Limit::kDisk};
  }
  if (in.holding && in.available_memory > 0) {
    const double ram = double(in.available_memory) * 0.5 / (rate * 8.0);
    if (ram < t.seconds) t = TimeLeft{ram, Limit::kRam};
  }
  return t;
}

void format_time_left(double seconds, char* out, size_t cap) {
  if (seconds >= kDaysFrom) text_format(out, cap, "%.1F DAYS", seconds / kSecondsPerDay);
  else if (seconds >= kHoursFrom) text_format(out, cap, "%.1F HOURS", seconds / 3600.0);
  else text_format(out, cap, "%.0F MIN", seconds / 60.0);
}

const char* limit_name(Limit limit) {
  switch (limit) {
    case Limit::kDisk: return "DISK";
    case Limit::kRam: return "RAM";
    case Limit::kTape: break;
  }
  return "TAPE";
}

void format_capacity_line(const TimeLeft& t, int64_t free_bytes, char* out, size_t cap) {
  char when[32];
  format_time_left(t.seconds, when, sizeof when);
  if (t.limit == Limit::kDisk && free_bytes >= 0)
    text_format(out, cap, "%.0F GB FREE   %s   DISK", double(free_bytes) / kBytesPerGiB, when);
  else
    text_format(out, cap, "%s LEFT   %s", when, limit_name(t.limit));
}

StateWord foot_state_word(const FootFacts& f) {
  StateWord w{};
  if (f.armed && f.recording) text_copy(w.text, "RECORDING"), w.colour = kColourRed;
  else if (f.armed) text_copy(w.text, "LISTENING"), w.colour = kColourOrange;
  else if (f.would_open) text_copy(w.text, "WOULD OPEN"), w.colour = kColourWouldOpen;
  else text_copy(w.text, "IDLE"), w.colour = kColourGrey;
  if (f.audio_down) {
    text_copy(w.text, "AUDIO DOWN"), w.colour = kColourRed;
  } else if (f.inputs_all_muted) {
    text_copy(w.text, "INPUTS MUTED"), w.colour = kColourRed;
  } else if (f.sound_on_muted > 0) {
    text_format(w.text, sizeof w.text, "SOUND ON MUTED %d", f.sound_on_muted);
    w.colour = kColourOrange;
  } else if (f.holding_unwritten) {
    char word[32];
    text_copy(word, w.text);
    text_format(w.text, sizeof w.text, "%s - RAM", word);
    w.colour = kColourRed;
  }
  return w;
}

bool foot_second_line(const StatusLine& status, uint32_t now_ms, const char* capacity, char* out, size_t cap) {
  if (status_visible(status, now_ms)) {
    text_copy(out, cap, status.text);
    return true;
  }
  text_copy(out, cap, capacity ? capacity : "");
  return false;
}

void split_minutes(double seconds, int decimals, int* minutes, double* rest) {
  // Rounded to what is shown first, so 59.996 s reads 1:00.00 and never 0:60.00.
  const double scale = std::pow(10.0, decimals);
  const double shown = std::round((seconds > 0 ? seconds : 0.0) * scale) / scale;
  *minutes = int(shown / 60.0);
  *rest = std::max(0.0, shown - 60.0 * *minutes);
}

void format_session_line(double recorded_seconds, int takes, char* out, size_t cap) {
  int minutes = 0;
  double rest = 0;
  split_minutes(recorded_seconds, 2, &minutes, &rest);
  text_format(out, cap, "%d:%05.2f   %d TAKES", minutes, rest, takes);
}

void strip_init(StripAnim* a) {
  *a = StripAnim{};
  for (Spring& s : a->press) spring_init(&s, 1.0f, kButtonSpringK, kButtonSpringZ);
}

int strip_button_at(const MainLayout& l, float x, float y) {
  const Rect& r = l.button_strip;
  if (y < r.y || y >= r.y + r.h || r.w <= 0) return -1;
  const float cell = r.w / kButtonCount;
  const int i = int(std::floor((x - r.x) / cell));
  if (i < 0 || i >= kButtonCount) return -1;
  const float left = r.x + cell * float(i) + kHoverInset;
  if (x < left || x >= left + cell - 2 * kHoverInset) return -1;
  return i;
}

Rect strip_button_rect(const MainLayout& l, int button, float press) {
  const Rect& r = l.button_strip;
  const float cell = r.w / kButtonCount;
  const float w = std::max(cell - kButtonGap, 0.0f) * press;
  const float h = r.h * press;
  const float cx = r.x + cell * (float(button) + 0.5f);
  const float cy = r.y + r.h * 0.5f;
  return Rect{cx - w * 0.5f, cy - h * 0.5f, w, h};
}

void strip_animate(StripAnim* a, const MainLayout& l, float pointer_x, float pointer_y, float dt, bool armed,
                   bool recording) {
  const int over = strip_button_at(l, pointer_x, pointer_y);
  const float step = std::min(1.0f, kHoverRate * dt);
  for (int i = 0; i < kButtonCount; ++i) {
    const float target = i == over ? 1.0f : 0.0f;
    a->hover[i] += (target - a->hover[i]) * step;
    spring_step(&a->press[i], dt);
  }
  if (armed && recording) a->pulse_phase += kPulseRate * dt;
}

float pulse_value(double phase) {
  const double f = phase - std::floor(phase);
  return float(0.6 * std::exp(-22.0 * std::fabs(f - 0.22)) + std::exp(-18.0 * f));
}
