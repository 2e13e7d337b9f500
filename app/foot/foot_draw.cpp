// The button strip and the status foot.
#include "app/foot/foot_draw.h"

#include <algorithm>
#include <cmath>

#include "app/overlays/training_view.h"
#include "app/shell/app_state.h"
#include "app/shell/theme.h"
#include "platform/text.h"
#include "ui/text.h"

namespace {

constexpr float kButtonRadius = 5.0f;
constexpr float kLitGlowRadius = 10.0f;
constexpr float kLitGlow = 0.35f;
constexpr float kBevel = 3.0f;
constexpr int kLabelSize = 16;
constexpr int kBoldWeight700 = 700;
constexpr float kPillX = 10.0f;
constexpr float kPillH = 13.0f;
constexpr int kPillTextSize = 11;
constexpr int kFootTextSize = 16;

bool session_has_audio(const AppState* app) { return app->engine.write_head.load(std::memory_order_relaxed) > 0; }

bool session_has_takes(const AppState* app) {
  return app->recorder.takes.take_count > 0 || app->engine.recording.load(std::memory_order_relaxed) != 0;
}

FootFacts foot_facts(const AppState* app) {
  const CaptureEngine& e = app->engine;
  FootFacts f{};
  f.armed = e.armed.load(std::memory_order_relaxed) != 0;
  f.recording = e.recording.load(std::memory_order_relaxed) != 0;
  f.would_open = e.would_open.load(std::memory_order_relaxed) != 0;
  f.audio_down = app->watchdog.down != 0;
  f.holding_unwritten = app->recorder.holding && recorder_has_unwritten(&app->recorder);
  inputs_foot_facts(app, &f);
  return f;
}

}  // namespace

ButtonLook strip_button_look(const AppState* app, int button) {
  const CaptureEngine& e = app->engine;
  const Recorder& r = app->recorder;
  const bool armed = e.armed.load(std::memory_order_relaxed) != 0;
  const bool recording = e.recording.load(std::memory_order_relaxed) != 0;
  ButtonLook b{"", kColourSurface, kColourWhite, false, false, false, kLitGlow};
  switch (button) {
    case kBtnArm:
      if (armed) {
        const float pulse = recording ? pulse_value(app->ui.strip.pulse_phase) : 0.0f;
        b.label = "STOP";
        b.fill = recording ? colour_mix(colour_mix(kColourRed, kColourInk, 0.25f), kColourRed, std::min(pulse, 1.0f))
                           : kColourOrange;
        b.text = kColourInk;
        b.lit = true;
        if (recording) b.glow = 0.8f * pulse + 0.35f;
      } else {
        b.label = "ARM";
        b.text = kColourOrange;
      }
      break;
    case kBtnGate:
      b.label = "GATE";
      b.bevel = true;
      b.pressed = r.gate_held != 0;
      b.lit = recording;
      b.fill = recording ? kColourRed : kColourSurface;
      b.text = recording ? kColourBright : kColourRed;
      break;
    case kBtnLatch:
      b.label = "LATCH";
      b.bevel = true;
      b.pressed = r.gate_latched != 0;
      b.lit = r.gate_latched != 0;
      b.fill = b.lit ? kColourRed : kColourSurface;
      b.text = b.lit ? kColourBright : kColourRed;
      break;
    case kBtnMon:
    case kBtnNorm: {
      const bool on = button == kBtnMon ? app->settings.monitor != 0 : app->settings.normalize_monitor != 0;
      b.label = button == kBtnMon ? "MON" : "NORM";
      b.lit = on;
      b.fill = on ? kColourSilver : kColourSurface;
      b.text = on ? kColourInk : kColourWhite;
      break;
    }
    case kBtnPlay:
      if (e.play_tape.load(std::memory_order_relaxed)) {
        b.label = "STOP";
        b.lit = true;
        b.fill = kColourLight;
        b.text = kColourInk;
      } else {
        b.label = "PLAY";
        b.text = session_has_audio(app) ? kColourLight : kColourGrey;
      }
      break;
    default:
      b.label = "CULL";
      b.text = session_has_takes(app) ? kColourOrange : kColourGrey;
      break;
  }
  return b;
}

void draw_button_strip(Canvas* c, const AppState* app) {
  const UiState& ui = app->ui;
  const MainLayout& l = ui.layout;
  for (int i = 0; i < kButtonCount; ++i) {
    const ButtonLook b = strip_button_look(app, i);
    const float press = std::max(ui.strip.press[i].position, 0.0f);
    const Rect r = strip_button_rect(l, i, press);
    if (r.w < 2 || r.h < 2) continue;
    if (b.lit) draw_glow(c, r, kButtonRadius, kLitGlowRadius, b.fill, b.glow * 0.45f);
    draw_rounded(c, r, kButtonRadius, b.fill);
    if (b.bevel) {
      const uint32_t top = b.pressed ? kColourBevelDark : kColourBevelLight;
      const uint32_t bottom = b.pressed ? kColourBevelLight : kColourBevelDark;
      draw_fill(c, Rect{r.x + kButtonRadius, r.y, r.w - 2 * kButtonRadius, kBevel}, top);
      draw_fill(c, Rect{r.x, r.y + kButtonRadius, kBevel, r.h - 2 * kButtonRadius}, top);
      draw_fill(c, Rect{r.x + kButtonRadius, r.y + r.h - kBevel, r.w - 2 * kButtonRadius, kBevel}, bottom);
      draw_fill(c, Rect{r.x + r.w - kBevel, r.y + kButtonRadius, kBevel, r.h - 2 * kButtonRadius}, bottom);
    }
    const float hover = ui.strip.hover[i];
    if (hover > 0.01f) {
      draw_outline(c, r, colour_fade(b.lit ? kColourBright : kColourSilver, hover * 0.1f));
      draw_fill(c, Rect{r.x + kButtonRadius, r.y + r.h - 2, r.w - 2 * kButtonRadius, 2},
                colour_mix(b.fill, kColourSilver, hover));
    }
    if (i == kBtnCull && ui.cull_flash > 0.01f) draw_glow(c, r, kButtonRadius, 12.0f, kColourOrange, 0.5f * ui.cull_flash);
    const float drop = b.bevel && b.pressed ? 1.0f : 0.0f;
    draw_text_centred(c, kStackDisplay, kLabelSize, kBoldWeight700, b.label, r.x + r.w * 0.5f, r.y + r.h * 0.5f + drop,
                      b.text);
  }
}

void draw_foot(Canvas* c, const AppState* app, uint32_t now_ms) {
  const MainLayout& l = app->ui.layout;
  const Rect& f = l.foot;
  draw_fill(c, f, kColourInk);
  draw_fill(c, Rect{f.x, f.y, f.w, 1}, 0xFF1E1C1C);
  const CaptureEngine& e = app->engine;
  const FootFacts facts = foot_facts(app);
  const StateWord word = foot_state_word(facts);
  const float pulse = facts.armed && facts.recording ? pulse_value(app->ui.strip.pulse_phase) : 0.0f;

  // The pill.
  const float top = f.y + 3;
  const float word_w = text_width(c, kStackDisplay, kPillTextSize, kBoldWeight700, word.text);
  const Rect pill{f.x + kPillX, top, std::round(word_w + 12), kPillH};
  uint32_t fill = kColourSurface;
  if (facts.armed) {
    const float glow = facts.recording ? 0.9f * pulse + 0.35f : 0.25f;
    draw_glow(c, pill, 4.0f, 8.0f, word.colour, glow * 0.5f);
    if (facts.recording) fill = colour_mix(kColourSurface, kColourRed, 0.35f * pulse + 0.25f);
  }
  draw_rounded(c, pill, 4.0f, fill);
  draw_text_centred(c, kStackDisplay, kPillTextSize, kBoldWeight700, word.text, pill.x + 6 + word_w * 0.5f,
                    pill.y + pill.h * 0.5f, facts.armed && facts.recording ? kColourLight : word.colour);

  // Recorded time and takes.
  const double rate = e.sample_rate > 0 ? e.sample_rate : 48000.0;
  const int64_t head = e.write_head.load(std::memory_order_relaxed);
  char line[96];
  format_session_line(double(head) / rate, app->recorder.takes.take_count, line, sizeof line);
  const TextEntry* te = text_entry(c, kStackDisplay, kFootTextSize, 400, line);
  const float ink_mid = te->ink_bottom > te->ink_top ? 0.5f * float(te->ink_top + te->ink_bottom) : 8.0f;
  draw_text(c, kStackDisplay, kFootTextSize, 400, line, f.x + pill.w + 32,
            std::round(pill.y + pill.h * 0.5f - ink_mid), head > 0 ? kColourLight : kColourGrey);

  // The performance line, in the configuration view.
  if (app->settings.hud_mode == 2 && app->perf.line[0]) {
    const float w = text_width(c, kStackDisplay, kFootTextSize, 400, app->perf.line);
    draw_text(c, kStackDisplay, kFootTextSize, 400, app->perf.line, f.x + f.w - 12 - w,
              std::round(pill.y + pill.h * 0.5f - ink_mid), kColourDim);
  }

  // The status message, or what is left and what limits it.
  const CapacityCache& cap = app->capacity;
  CapacityInputs in{};
  in.tape_chunks = e.tape.slot_count;
  in.chunk_frames = e.tape.chunk_frames;
  in.frames_recorded = head;
  in.rate = rate;
  in.free_bytes = cap.have ? cap.free_bytes : -1;
  in.bit_depth = app->settings.bit_depth;
  in.holding = app->recorder.holding != 0;
  in.available_memory = cap.have ? cap.available_memory : 0;
  const TimeLeft left = time_left(in);
  char capacity[96], second[kStatusBytes];
  format_capacity_line(left, in.free_bytes, capacity, sizeof capacity);
  const bool status = foot_second_line(status_line(), now_ms, capacity, second, sizeof second);
  draw_text(c, kStackDisplay, kFootTextSize, 400, second, f.x + kPillX, f.y + 24 - 3,
            status ? kColourLight : kColourGrey);
  draw_training_toast(c, f, app, now_ms);
}
