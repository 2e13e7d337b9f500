// The foot's arithmetic and the strip's model: time left and its wording at every boundary, the
// status line's life across the tick's wrap, the state word's overrides, the layout rows, the
// button cells and the press spring.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "app/foot/foot.h"
#include "app/shell/spring.h"
#include "app/shell/theme.h"
#include "platform/text.h"

namespace {

std::string when(double seconds) {
  char out[32];
  format_time_left(seconds, out, sizeof out);
  return out;
}

CapacityInputs tape_of_hours(double hours, int64_t free_bytes) {
  CapacityInputs in{};
  in.chunk_frames = 480000;
  in.tape_chunks = int64_t(hours * 360.0);  // 10-second chunks
  in.rate = 48000;
  in.free_bytes = free_bytes;
  in.bit_depth = 16;
  return in;
}

StatusLine line(const char* text, uint32_t expiry) {
  StatusLine s{};
  text_copy(s.text, text);
  s.expiry_ms = expiry;
  return s;
}

std::string second_line(const StatusLine& s, uint32_t now) {
  char out[kStatusBytes];
  foot_second_line(s, now, "9.0 HOURS LEFT   TAPE", out, sizeof out);
  return out;
}

}  // namespace

TEST(Foot, TimeLeftWordingAtItsBoundaries) {
  EXPECT_EQ(when(172799), "48.0 HOURS");
  EXPECT_EQ(when(172800), "2.0 DAYS");
  EXPECT_EQ(when(5399), "90 MIN");
  EXPECT_EQ(when(5400), "1.5 HOURS");
  EXPECT_EQ(when(0), "0 MIN");
  EXPECT_EQ(when(31536000), "365.0 DAYS");
}

TEST(Foot, TheSmallestOfTapeDiskAndRamLimits) {
  // 10 GiB free on a 16-bit, 48 kHz session: 10 x 2^30 / 192,000 = 55,924 s, less than the tape.
  const int64_t ten_gb = int64_t(10) << 30;
  TimeLeft t = time_left(tape_of_hours(100, ten_gb));
  EXPECT_EQ(t.limit, Limit::kDisk);
  EXPECT_NEAR(t.seconds, 55924.05, 0.01);
  char text[96];
  format_capacity_line(t, ten_gb, text, sizeof text);
  EXPECT_STREQ(text, "10 GB FREE   15.5 HOURS   DISK");

  // 24 bits take half as long again.
  CapacityInputs deep = tape_of_hours(100, ten_gb);
  deep.bit_depth = 24;
  EXPECT_NEAR(time_left(deep).seconds, 55924.05 * 2.0 / 3.0, 0.01);

  // A shorter tape wins, minus what it already holds.
  CapacityInputs short_tape = tape_of_hours(2, ten_gb);
  short_tape.frames_recorded = 48000 * 600;
  t = time_left(short_tape);
  EXPECT_EQ(t.limit, Limit::kTape);
  EXPECT_DOUBLE_EQ(t.seconds, 7200.0 - 600.0);
  format_capacity_line(t, ten_gb, text, sizeof text);
  EXPECT_STREQ(text, "1.8 HOURS LEFT   TAPE");

  // A drive that reports nothing free, or an unknown figure, leaves the tape as the limit.
  EXPECT_EQ(time_left(tape_of_hours(100, 0)).limit, Limit::kTape);
  EXPECT_EQ(time_left(tape_of_hours(100, -1)).limit, Limit::kTape);

  // Holding takes in memory: RAM counts only then, and only when known.
  CapacityInputs holding = tape_of_hours(100, ten_gb);
  holding.available_memory = uint64_t(1) << 30;  // 1 GiB: 2^30 x 0.5 / 384,000 = 1,398 s
  EXPECT_EQ(time_left(holding).limit, Limit::kDisk);
  holding.holding = true;
  t = time_left(holding);
  EXPECT_EQ(t.limit, Limit::kRam);
  EXPECT_NEAR(t.seconds, 1398.1, 0.1);
  format_capacity_line(t, ten_gb, text, sizeof text);
  EXPECT_STREQ(text, "23 MIN LEFT   RAM");
  holding.available_memory = 0;
  EXPECT_EQ(time_left(holding).limit, Limit::kDisk);
}

TEST(Foot, StatusLivesItsTimeAcrossTheTickWrap) {
  // A flash at tick 1,000 is gone at 3,500; a message at the same tick lasts until 5,000.
  const StatusLine flash = line("LAST TAKE CULLED", 1000 + kStatusFlashMs);
  EXPECT_EQ(second_line(flash, 3499), "LAST TAKE CULLED");
  EXPECT_EQ(second_line(flash, 3500), "9.0 HOURS LEFT   TAPE");
  const StatusLine message = line("RATE CHANGED", 1000 + kStatusMessageMs);
  EXPECT_EQ(second_line(message, 4999), "RATE CHANGED");
  EXPECT_EQ(second_line(message, 5000), "9.0 HOURS LEFT   TAPE");

  // Shown 1 s before the 32-bit tick wraps: still there just after the wrap, gone at its expiry.
  const uint32_t shown = 0xFFFFFFFFu - 999;
  const StatusLine across = line("AUDIO DOWN - CHECK INPUT DEVICE", shown + kStatusFlashMs);
  EXPECT_EQ(second_line(across, 0xFFFFFFF0u), "AUDIO DOWN - CHECK INPUT DEVICE");
  EXPECT_EQ(second_line(across, 5), "AUDIO DOWN - CHECK INPUT DEVICE");
  EXPECT_EQ(second_line(across, 1499), "AUDIO DOWN - CHECK INPUT DEVICE");
  EXPECT_EQ(second_line(across, 1500), "9.0 HOURS LEFT   TAPE");

  // The quit refusal stays whatever the tick says, until replaced.
  const StatusLine held = line("1 TAKE NOT SAVED - DISK ERROR - QUIT AGAIN TO DISCARD", kStatusForever);
  for (uint32_t now : {0u, 1u, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFEu, 0xFFFFFFFFu})
    EXPECT_EQ(second_line(held, now), "1 TAKE NOT SAVED - DISK ERROR - QUIT AGAIN TO DISCARD") << now;
  EXPECT_EQ(second_line(line("", kStatusForever), 7), "9.0 HOURS LEFT   TAPE");
}

TEST(Foot, StateWordAndItsOverrides) {
  FootFacts f{};
  EXPECT_STREQ(foot_state_word(f).text, "IDLE");
  EXPECT_EQ(foot_state_word(f).colour, kColourGrey);
  f.would_open = true;
  EXPECT_STREQ(foot_state_word(f).text, "WOULD OPEN");
  EXPECT_EQ(foot_state_word(f).colour, kColourWouldOpen);
  f.armed = true;  // armed: the indicator no longer speaks
  EXPECT_STREQ(foot_state_word(f).text, "LISTENING");
  EXPECT_EQ(foot_state_word(f).colour, kColourOrange);
  f.recording = true;
  EXPECT_STREQ(foot_state_word(f).text, "RECORDING");
  EXPECT_EQ(foot_state_word(f).colour, kColourRed);
  f.holding_unwritten = true;
  EXPECT_STREQ(foot_state_word(f).text, "RECORDING - RAM");
  f.sound_on_muted = 3;
  EXPECT_STREQ(foot_state_word(f).text, "SOUND ON MUTED 3");
  EXPECT_EQ(foot_state_word(f).colour, kColourOrange);
  f.inputs_all_muted = true;
  EXPECT_STREQ(foot_state_word(f).text, "INPUTS MUTED");
  f.audio_down = true;  // first match wins
  EXPECT_STREQ(foot_state_word(f).text, "AUDIO DOWN");
  EXPECT_EQ(foot_state_word(f).colour, kColourRed);

  char text[64];
  format_session_line(75.256, 3, text, sizeof text);
  EXPECT_STREQ(text, "1:15.26   3 TAKES");
  format_session_line(0, 0, text, sizeof text);
  EXPECT_STREQ(text, "0:00.00   0 TAKES");
  format_session_line(59.996, 1, text, sizeof text);  // rounds into the next minute, not 0:60.00
  EXPECT_STREQ(text, "1:00.00   1 TAKES");
  format_session_line(3599.5, 12, text, sizeof text);
  EXPECT_STREQ(text, "59:59.50   12 TAKES");
}

TEST(Foot, LayoutRowsAndTheSidePanel) {
  MainLayout l;
  layout_main(960, 540, side_panel_width(960, 1.0f), &l);
  EXPECT_FLOAT_EQ(l.side_w, 320.0f);  // a third of the width, at least 264
  EXPECT_FLOAT_EQ(l.main_w, 960.0f - 320.0f - 4.0f);
  EXPECT_FLOAT_EQ(l.scope.y, 42.0f);
  EXPECT_FLOAT_EQ(l.scope.h, 540.0f - 188.0f);
  EXPECT_FLOAT_EQ(l.trigger_strip.y, 540.0f - 142.0f);
  EXPECT_FLOAT_EQ(l.button_strip.y, 540.0f - 88.0f);
  EXPECT_FLOAT_EQ(l.foot.y, 540.0f - 42.0f);
  EXPECT_FLOAT_EQ(l.foot.h, 42.0f);
  EXPECT_FLOAT_EQ(side_panel_width(720, 1.0f), 264.0f);  // a third would be under the minimum
  EXPECT_FLOAT_EQ(side_panel_width(960, 0.5f), 160.0f);  // smoothstep(0.5) = 0.5
  EXPECT_FLOAT_EQ(side_panel_width(960, 0.0f), 0.0f);
  layout_main(960, 540, 0.0f, &l);
  EXPECT_FLOAT_EQ(l.main_w, 960.0f);  // hidden: no gap either
}

TEST(Foot, ButtonCellsHoverAndPress) {
  MainLayout l;
  layout_main(1400, 600, 0.0f, &l);  // W = 1400: cells of 200
  const float y = l.button_strip.y + 20;
  EXPECT_EQ(strip_button_at(l, 100, y), kBtnArm);
  EXPECT_EQ(strip_button_at(l, 203, y), -1);  // inside the cell's 4-pixel margin
  EXPECT_EQ(strip_button_at(l, 205, y), kBtnGate);
  EXPECT_EQ(strip_button_at(l, 1395, y), kBtnCull);
  EXPECT_EQ(strip_button_at(l, 1397, y), -1);
  EXPECT_EQ(strip_button_at(l, 100, l.button_strip.y - 1), -1);
  EXPECT_EQ(strip_button_at(l, 100, l.foot.y), -1);
  Rect r = strip_button_rect(l, kBtnMon, 1.0f);
  EXPECT_FLOAT_EQ(r.w, 192.0f);
  EXPECT_FLOAT_EQ(r.x, 604.0f);
  r = strip_button_rect(l, kBtnMon, kPressDepth);
  EXPECT_FLOAT_EQ(r.w, 192.0f * 0.84f);
  EXPECT_FLOAT_EQ(r.h, 42.0f * 0.84f);
  EXPECT_FLOAT_EQ(r.x + r.w / 2, 700.0f);  // stays centred in its cell

  // Hover eases in by min(1, 14 dt) a frame and out again; only the button under the pointer.
  StripAnim a;
  strip_init(&a);
  strip_animate(&a, l, 100, y, 0.05f, false, false);
  EXPECT_FLOAT_EQ(a.hover[kBtnArm], 0.7f);
  EXPECT_FLOAT_EQ(a.hover[kBtnGate], 0.0f);
  strip_animate(&a, l, 100, y, 0.1f, false, false);
  EXPECT_FLOAT_EQ(a.hover[kBtnArm], 1.0f);
  strip_animate(&a, l, -1, -1, 0.05f, false, false);
  EXPECT_NEAR(a.hover[kBtnArm], 0.3f, 1e-6);

  // The pulse advances only while armed and recording; its double beat peaks near 0 and 0.22.
  strip_animate(&a, l, -1, -1, 0.1f, true, false);
  EXPECT_EQ(a.pulse_phase, 0.0);
  strip_animate(&a, l, -1, -1, 0.1f, true, true);
  EXPECT_NEAR(a.pulse_phase, 0.24, 1e-6);
  EXPECT_NEAR(pulse_value(0.0), 1.0 + 0.6 * std::exp(-22 * 0.22), 1e-6);
  EXPECT_NEAR(pulse_value(1.22), 0.6 + std::exp(-18 * 0.22), 1e-5);
  EXPECT_LT(pulse_value(0.6), 0.05f);
}

TEST(Spring, PressShrinksThenSpringsBackWithASlightOvershoot) {
  Spring s;
  spring_init(&s, 1.0f, kButtonSpringK, kButtonSpringZ);
  EXPECT_EQ(s.position, 1.0f);
  EXPECT_EQ(s.target, 1.0f);
  spring_press(&s);
  EXPECT_EQ(s.position, 0.84f);
  EXPECT_EQ(s.velocity, 0.0f);
  // One step by hand: v = dt (-k^2 (x - 1)), x += v dt.
  Spring one = s;
  spring_step(&one, 0.01f);
  EXPECT_NEAR(one.velocity, 0.01f * 26.0f * 26.0f * 0.16f, 1e-5);
  EXPECT_NEAR(one.position, 0.84f + one.velocity * 0.01f, 1e-6);

  float highest = 0;
  for (int i = 0; i < 120; ++i) {  // two seconds at 60 frames a second
    spring_step(&s, 1.0f / 60.0f);
    highest = std::max(highest, s.position);
  }
  EXPECT_GT(highest, 1.01f);  // it overshoots...
  EXPECT_LT(highest, 1.1f);   // ...slightly
  EXPECT_NEAR(s.position, 1.0f, 0.002f);

  // A long frame counts as 33 ms; a zero or negative one not at all.
  Spring a, b;
  spring_init(&a, 0.0f, kPanelSpringK, kPanelSpringZ);
  a.target = 1.0f;
  b = a;
  spring_step(&a, 0.5f);
  spring_step(&b, 0.033f);
  EXPECT_EQ(a.position, b.position);
  EXPECT_EQ(a.velocity, b.velocity);
  Spring c = b;
  spring_step(&c, 0.0f);
  spring_step(&c, -1.0f);
  EXPECT_EQ(c.position, b.position);
}

TEST(Theme, SlotsTakeThePaletteOrTheirDefault) {
  Settings s{};
  s.vis_color[kSlotThresholdLine] = 3;   // RED
  s.vis_color[kSlotWaveQuiet] = 11;      // out of range: default
  s.vis_color[kSlotVisualBackground] = 10;
  Theme t;
  theme_resolve(s, &t);
  EXPECT_EQ(t.slot[kSlotThresholdLine], 0xFF4D42EBu);
  EXPECT_EQ(t.slot[kSlotWaveQuiet], 0xFF423F3Eu);
  EXPECT_EQ(t.slot[kSlotVisualBackground], 0xFFB978F0u);  // PINK
  EXPECT_TRUE(t.background_set);
  EXPECT_EQ(colour_mix(0xFF000000, 0xFFFFFFFF, 0.5f), 0xFF808080u);
  EXPECT_EQ(colour_fade(0xFF123456, 0.5f), 0x80123456u);
}
