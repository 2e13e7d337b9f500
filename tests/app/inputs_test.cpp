// The inputs panel's model driven as an external controller would drive it: a rig in memory that
// takes the panel's action records, input records for keys, clicks, drags and the wheel, and the
// texts the panel shows.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "app/inputs/inputs_panel.h"
#include "rig/rig_doc.h"

namespace {

constexpr int kInputs = 8;

// A controller over a rig of its own: applies every action to the selected scene (a second input
// of a linked pair acts for the first, as the keeper does) and keeps the records.
struct Controller {
  std::unique_ptr<RigDoc> rig = std::make_unique<RigDoc>();
  RigKeeperMeters meters{};
  InputsSource src{};
  InputsPanel panel{};
  std::vector<InputsAction> acts;

  explicit Controller(const char* api = "alsa", int inputs = kInputs) {
    *rig = RigDoc{};
    rig_init_for_device(rig.get(), "alsa:desk", api, "Desk", inputs, nullptr, "tolm", 1000.0);
    src.rig = rig.get(), src.meters = &meters;
    src.status.state = kRigBound, src.status.bound = true, src.status.hinted_input = -1;
    src.status.inputs = src.status.device_inputs = inputs;
    snprintf(src.status.api, sizeof src.status.api, "%s", api);
    for (int i = 0; i < kRigMaxInputs; ++i) src.labels[i] = "";
    inputs_panel_init(&panel);
    panel.open = true;
    inputs_panel_layout(&panel, Rect{1000, 42, 448, 1400}, src);
  }
  ~Controller() { rig_free(rig.get()); }

  RigScene& scene() { return rig->scenes[src.status.scene]; }
  RigChannel& ch(int i) { return scene().channels[inputs_lead(src, i)]; }
  InputsActions actions() { return InputsActions{apply, this}; }

  static void apply(void* ctx, const InputsAction& a) {
    auto* c = static_cast<Controller*>(ctx);
    c->acts.push_back(a);
    switch (a.code) {
      case InputsAct::kSetMute: c->ch(a.index).muted = a.flag; break;
      case InputsAct::kSetPan: c->ch(a.index).pan = a.value; break;
      case InputsAct::kSetFader: c->ch(a.index).gain = rig_gain_from_fader(a.value); break;
      case InputsAct::kSetLink: c->ch(a.index).link = a.flag; break;
      case InputsAct::kSelectScene: c->src.status.scene = a.index; break;
      case InputsAct::kSetGlyph: snprintf(c->rig->scenes[a.index].glyph, kRigGlyphBytes, "%s", a.text); break;
      default: break;
    }
  }

  bool key(int k, int mods = 0) {
    InputEvent ev{};
    ev.kind = InputKind::kKeyDown, ev.key = k, ev.mods = mods;
    return inputs_key(&panel, src, actions(), ev);
  }
  bool press(float x, float y, int clicks = 1, int mods = 0) {
    InputEvent ev{};
    ev.kind = InputKind::kMouseDown, ev.button = kMouseLeft, ev.x = x, ev.y = y, ev.clicks = clicks, ev.mods = mods;
    return inputs_mouse_down(&panel, src, actions(), ev);
  }
  void move(float x, float y, bool shift = false, double t = 0) { inputs_mouse_move(&panel, src, actions(), x, y, shift, t); }
  bool wheel(float x, float y, float notches, double t, int mods = 0) {
    InputEvent ev{};
    ev.kind = InputKind::kWheel, ev.x = x, ev.y = y, ev.wheel_y = notches, ev.mods = mods;
    return inputs_wheel(&panel, src, actions(), ev, t);
  }
  InputsRowRects row(int i) {
    InputsRowRects r;
    return inputs_row_rects(panel.geometry, i, panel.scroll, &r), r;
  }
  std::string status(double now = 100.0) {
    char out[160];
    inputs_status_text(panel, src, now, out, sizeof out);
    return out;
  }
};

float mid_x(const Rect& r) { return r.x + r.w / 2; }
float mid_y(const Rect& r) { return r.y + r.h / 2; }

TEST(InputsPanel, KeysPickScenesCopyMuteNudgeAndStepTheSelection) {
  Controller c;
  // Shift+3 from scene 1 copies onto scene 3; 3 again (now in use) does nothing.
  EXPECT_TRUE(c.key(kKey3, kModShift));
  ASSERT_EQ(c.acts.size(), 1u);
  EXPECT_EQ(c.acts[0].code, InputsAct::kCopyScene);
  EXPECT_EQ(c.acts[0].index, 2);
  c.src.status.scene = 2;
  EXPECT_TRUE(c.key(kKey3));
  EXPECT_EQ(c.acts.size(), 1u);
  // With Ctrl or Alt held the keys are the program's, not the panel's.
  EXPECT_FALSE(c.key(kKey1, kModCtrl));
  EXPECT_FALSE(c.key(kKeyDown, kModAlt));
  EXPECT_EQ(c.acts.size(), 1u);

  // Enter without a selection takes the first input and mutes it; again unmutes.
  c.src.status.scene = 0;
  EXPECT_TRUE(c.key(kKeyEnter));
  EXPECT_EQ(c.panel.selected, 0);
  EXPECT_TRUE(c.ch(0).muted);
  c.key(kKeyEnter);
  EXPECT_FALSE(c.ch(0).muted);
  // Down stops at the last input; from no selection Up takes the last.
  for (int i = 0; i < kInputs + 2; ++i) c.key(kKeyDown);
  EXPECT_EQ(c.panel.selected, kInputs - 1);
  c.panel.selected = -1;
  c.key(kKeyUp);
  EXPECT_EQ(c.panel.selected, kInputs - 1);
  // Right and Left nudge by half a dB, with Shift by 3 dB.
  c.acts.clear();
  c.key(kKeyRight);
  c.key(kKeyLeft, kModShift);
  ASSERT_EQ(c.acts.size(), 2u);
  EXPECT_EQ(c.acts[0].code, InputsAct::kNudgeGain);
  EXPECT_EQ(c.acts[0].index, kInputs - 1);
  EXPECT_FLOAT_EQ(c.acts[0].value, 0.5f);
  EXPECT_FLOAT_EQ(c.acts[1].value, -3.0f);
  // Esc closes it, and a closed panel takes nothing.
  EXPECT_TRUE(c.key(kKeyEscape));
  EXPECT_FALSE(c.key(kKey2));
}

TEST(InputsPanel, FaderDragSticksAtZeroDbAndLeavesAfterSixPixels) {
  Controller c;
  c.ch(2).gain = rig_gain_from_fader(0.5f);  // -12 dB
  const Rect f = c.row(2).fader;
  const float x0 = mid_x(f);
  ASSERT_TRUE(c.press(x0, mid_y(f)));
  EXPECT_EQ(c.panel.drag, InputsDrag::kFader);
  EXPECT_EQ(c.panel.selected, 2);
  c.move(x0 + 0.1f * kInputsFaderW, 0);  // 0.6
  EXPECT_NEAR(rig_fader_from_gain(c.ch(2).gain), 0.6f, 1e-4);
  // Crossing 0.75 stops there; it stays for 6 pixels past, then the movement counts from there.
  c.move(x0 + 0.3f * kInputsFaderW, 0);
  EXPECT_FLOAT_EQ(c.ch(2).gain, 1.0f);
  const float in_x = x0 + 0.3f * kInputsFaderW;
  c.move(in_x + 6, 0);
  EXPECT_FLOAT_EQ(c.ch(2).gain, 1.0f);
  c.move(in_x + 16, 0);
  EXPECT_NEAR(rig_fader_from_gain(c.ch(2).gain), 0.75f + 10.0f / kInputsFaderW, 1e-4);
  // Shift moves a tenth as far; the position never leaves 0..1.
  c.move(in_x + 16 + 50, 0, true);
  EXPECT_NEAR(rig_fader_from_gain(c.ch(2).gain), 0.75f + 10.0f / kInputsFaderW + 5.0f / kInputsFaderW, 1e-4);
  inputs_mouse_up(&c.panel);
  // A double click puts it back at 0 dB.
  c.press(x0, mid_y(f), 2);
  EXPECT_FLOAT_EQ(c.ch(2).gain, 1.0f);
  EXPECT_EQ(c.panel.drag, InputsDrag::kNone);
}

TEST(InputsPanel, PanDragSnapsToTheCentreAndTheWheelStopsThere) {
  Controller c;
  const Rect p = c.row(0).pan;
  const float x0 = mid_x(p);
  c.press(x0, mid_y(p));
  c.move(x0 + 0.5f, 0);  // 0.025: within 0.03 of the centre
  EXPECT_EQ(c.ch(0).pan, 0.0f);
  c.move(x0 + 10, 0);
  EXPECT_FLOAT_EQ(c.ch(0).pan, 0.5f);
  c.move(x0 - 100, 0);
  c.move(x0 - 50, 0, true);  // clamped at -1, then with Shift a tenth of the 50 pixels back
  EXPECT_FLOAT_EQ(c.ch(0).pan, -0.75f);
  inputs_mouse_up(&c.panel);
  c.press(x0, mid_y(p), 2);
  EXPECT_EQ(c.ch(0).pan, 0.0f);

  // Shift+wheel down from 0.02: 0.01, then exactly 0, then -0.01.
  c.ch(0).pan = 0.02f;
  const float y = mid_y(p);
  std::vector<float> seen;
  for (int i = 0; i < 3; ++i) {
    c.wheel(x0, y, -1, 10.0 + i, kModShift);
    seen.push_back(c.ch(0).pan);
  }
  EXPECT_NEAR(seen[0], 0.01f, 1e-6);
  EXPECT_EQ(seen[1], 0.0f);
  EXPECT_FALSE(std::signbit(seen[1]));
  EXPECT_NEAR(seen[2], -0.01f, 1e-6);
  // A big step across the centre stops at it.
  c.ch(0).pan = 0.03f;
  c.wheel(x0, y, -1, 20.0);
  EXPECT_EQ(c.ch(0).pan, 0.0f);
}

TEST(InputsPanel, MuteClickPaintsItsNewStateOverTheRowsDraggedAcross) {
  Controller c;
  // Inputs 3 and up start muted: a click on 3 unmutes it, dragging down to 6 unmutes 4-6.
  ASSERT_TRUE(c.ch(2).muted);
  c.press(mid_x(c.row(2).mute), mid_y(c.row(2).mute));
  EXPECT_FALSE(c.ch(2).muted);
  c.move(mid_x(c.row(5).mute), mid_y(c.row(5).label));
  for (int i = 2; i <= 5; ++i) EXPECT_FALSE(c.ch(i).muted) << i;
  EXPECT_TRUE(c.ch(6).muted);
  // Dragged up past the first row it paints those too, without undoing the rest.
  c.ch(0).link = false;
  c.ch(0).muted = true;
  c.move(0, mid_y(c.row(0).mute));
  EXPECT_FALSE(c.ch(0).muted);
  EXPECT_FALSE(c.ch(5).muted);
  inputs_mouse_up(&c.panel);

  // A second input of a linked pair acts for its pair: its row reads and sets the first's mute.
  c.ch(0).link = true;
  c.ch(0).muted = false;
  c.press(mid_x(c.row(1).mute), mid_y(c.row(1).mute));
  inputs_mouse_up(&c.panel);
  EXPECT_TRUE(c.scene().channels[0].muted);
  // The link button answers on the first input of a pair only.
  EXPECT_EQ(inputs_hit(c.panel, c.src, mid_x(c.row(1).link), mid_y(c.row(1).link)).zone, InputsZone::kRows);
  c.press(mid_x(c.row(0).link), mid_y(c.row(0).link));
  EXPECT_FALSE(c.scene().channels[0].link);
}

TEST(InputsPanel, WheelOnRowsThatScrollAdjustsOnlyAControlRestedOn) {
  Controller c("alsa", 64);
  inputs_panel_layout(&c.panel, Rect{0, 42, 448, 700}, c.src);
  const Rect f = c.row(1).fader;
  // Fresh on the fader: the wheel scrolls, a row a notch, and goes on scrolling for 0.4 s.
  c.move(mid_x(f), mid_y(f), false, 1.0);
  c.wheel(mid_x(f), mid_y(f), -1, 1.1);
  EXPECT_FLOAT_EQ(c.panel.scroll, kInputsRowH);
  EXPECT_TRUE(c.acts.empty());
  c.move(mid_x(f), mid_y(f), false, 1.1);  // now over another row's fader
  c.wheel(mid_x(f), mid_y(f), -1, 1.45);   // rested 0.35 s, but still within the scroll's 0.4 s
  EXPECT_FLOAT_EQ(c.panel.scroll, 2 * kInputsRowH);
  c.move(mid_x(f), mid_y(f), false, 1.5);
  c.wheel(mid_x(f), mid_y(f), -1, 1.7);  // past the 0.4 s, but rested only 0.2 s
  EXPECT_TRUE(c.acts.empty());
  EXPECT_FLOAT_EQ(c.panel.scroll, 3 * kInputsRowH);
  c.move(mid_x(f), mid_y(f), false, 1.7);
  // Rested 0.25 s and the scroll's 0.4 s past: the notch goes to that fader, as dB.
  c.wheel(mid_x(f), mid_y(f), 1, 2.2);
  ASSERT_EQ(c.acts.size(), 1u);
  EXPECT_EQ(c.acts[0].code, InputsAct::kNudgeGain);
  EXPECT_EQ(c.acts[0].index, 4);
  EXPECT_FLOAT_EQ(c.acts[0].value, 0.5f);
  // Half notches add up; Shift gives a tenth of a dB.
  c.wheel(mid_x(f), mid_y(f), 0.5f, 2.3, kModShift);
  EXPECT_EQ(c.acts.size(), 1u);
  c.wheel(mid_x(f), mid_y(f), 0.5f, 2.3, kModShift);
  ASSERT_EQ(c.acts.size(), 2u);
  EXPECT_FLOAT_EQ(c.acts[1].value, 0.1f);
  // The scroll stops at the last row.
  c.wheel(mid_x(f), c.panel.geometry.rows.y + 2, -1000, 3.0);
  EXPECT_FLOAT_EQ(c.panel.scroll, 64 * kInputsRowH - c.panel.geometry.rows.h);
}

TEST(InputsPanel, SceneButtonsSelectCopyAndCycleGlyphsToFreeDrawableOnes) {
  Controller c;
  const Rect s2 = c.panel.geometry.scenes[1], s4 = c.panel.geometry.scenes[3];
  c.press(mid_x(s2), mid_y(s2));
  EXPECT_EQ(c.src.status.scene, 1);
  c.press(mid_x(s4), mid_y(s4), 1, kModShift);
  EXPECT_EQ(c.acts.back().code, InputsAct::kCopyScene);
  EXPECT_EQ(c.acts.back().index, 3);
  // The glyph after the last of the list wraps to the first free one (scene 1 holds the first).
  snprintf(c.rig->scenes[3].glyph, kRigGlyphBytes, "%s", kInputsGlyphList[kInputsGlyphs - 1]);
  c.press(mid_x(s4), mid_y(s4), 2);
  EXPECT_STREQ(c.rig->scenes[3].glyph, kInputsGlyphList[3]);  // the first three are scenes 1-3's
  // A glyph the fonts cannot draw is passed over, and so is one another scene uses.
  auto no_tent = [](void*, const char* g) { return strcmp(g, kInputsGlyphList[4]) != 0; };
  snprintf(c.rig->scenes[0].glyph, kRigGlyphBytes, "%s", kInputsGlyphList[5]);
  EXPECT_STREQ(inputs_next_glyph(c.rig.get(), 3, no_tent, nullptr), kInputsGlyphList[6]);
}

TEST(InputsPanel, TextsGainHeaderDisplayNamesAndTheStatusLineInItsOrder) {
  char t[160];
  inputs_gain_text(0.0f, t, sizeof t);
  EXPECT_STREQ(t, "OFF");
  inputs_gain_text(0.5f, t, sizeof t);
  EXPECT_STREQ(t, "\u22126.0 DB");
  inputs_gain_text(0.9999f, t, sizeof t);
  EXPECT_STREQ(t, "0.0 DB");
  inputs_gain_text(kRigMaxGain, t, sizeof t);
  EXPECT_STREQ(t, "+12.0 DB");

  RigKeeperStatus s{};
  s.inputs = 6, s.device_inputs = 8, s.rate_hz = 44100;
  snprintf(s.api, sizeof s.api, "wdmks");
  inputs_header_facts(s, t, sizeof t);
  EXPECT_STREQ(t, "6/8 IN \u00B7 44.1 KHZ \u00B7 WDM-KS");

  inputs_display_text("Mix\u00B7Desk \u2013 A\u2026B\u2192C\u00E9\x01", t, sizeof t);
  EXPECT_STREQ(t, "Mix.Desk - A...B->C??");

  Controller c;
  c.ch(0).link = true;
  c.ch(0).pan = -0.5f;
  c.src.labels[0] = "vox";
  EXPECT_EQ(c.status(), "");
  // Over the second input of a pair: the pair's name and its balance.
  c.panel.hover = InputsHit{InputsZone::kPan, 1};
  EXPECT_EQ(c.status(), "1-2 \u00B7 VOX \u00B7 BAL L 50");
  c.panel.hover = InputsHit{InputsZone::kFader, 3};
  EXPECT_EQ(c.status(), "4 \u00B7 MUTED");
  c.meters.input[3].bad = true;
  c.panel.hover = InputsHit{InputsZone::kClip, 3};
  EXPECT_EQ(c.status(), "4 \u00B7 BAD SAMPLES");
  // Another application's change outranks the hover for 2.5 s, unless a fader is dragged.
  snprintf(c.src.status.changed_by, sizeof c.src.status.changed_by, "mixr\u2013pro");
  c.src.status.changed_at = 99.0;
  EXPECT_EQ(c.status(100.0), "\u2727 CHANGED IN MIXR-PRO");
  EXPECT_EQ(c.status(101.6), "4 \u00B7 BAD SAMPLES");
  c.src.status.changed_by[0] = 0;
  c.panel.hover = InputsHit{InputsZone::kNone, -1};
  c.src.status.state = kRigReadOnly;
  c.src.status.all_muted = true;
  EXPECT_EQ(c.status(), "\u25A0 READ ONLY - MADE BY A NEWER APP");
  c.src.status.state = kRigBound;
  EXPECT_EQ(c.status(), "ALL INPUTS MUTED - NOTHING WILL RECORD");
  c.src.status.all_muted = false;
  c.src.status.hinted_input = 4;
  EXPECT_EQ(c.status(), "INPUT 5 HAS SIGNAL - IT'S MUTED");
  c.src.status.hinted_input = -1;
  c.src.status.device_inputs = 16;
  EXPECT_EQ(c.status(), "ONLY 8 OF 16 INPUTS OPENED");
  // Loading while the defaults play: JACK gives every input its own channel, ALSA a first pair.
  c.src.status.state = kRigLoading;
  c.src.status.waiting = true;
  EXPECT_EQ(c.status(), "\u25CC LOADING RIG - PLAYING 1-2 MEANWHILE");
  c.src.status.inputs = 1;
  EXPECT_EQ(c.status(), "\u25CC LOADING RIG - PLAYING 1 MEANWHILE");
  c.src.status.state = kRigUnbound;
  EXPECT_EQ(c.status(), "\u25CC NO INTERFACE");
}

}  // namespace
