// The command handler driven through plain input records on an application state with a real
// capture engine (no device): the trigger keys and their clamps, what reaches Settings and the
// engine, repeats, the gate held by key and mouse together, the toggles, drops, the header's
// close button; and the window's saved-rectangle rules and title.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>

#include "app/shell/app.h"
#include "app/shell/header.h"
#include "app/shell/route.h"
#include "app/shell/window.h"
#include "config/status.h"

namespace {

struct AppFixture {
  std::unique_ptr<AppState> app = std::make_unique<AppState>();
  AppFixture() {
    status_clear();
    settings_defaults(&app->settings);
    EXPECT_EQ(capture_engine_init(&app->engine, 48000), 0);
    app->recorder.engine = &app->engine;
    app->recorder.settings = &app->settings;
    app->sliders = trigger_positions_from_settings(app->settings);
    app->content_w = 960;
    app->content_h = 540;
    layout_main(960, 540, 320, &app->ui.layout);
    app->ui.pressed_button = -1;
    strip_init(&app->ui.strip);
  }
  ~AppFixture() { capture_engine_free(&app->engine); }
  AppState* operator->() { return app.get(); }

  void key(int k, int mods = 0, bool repeat = false) {
    InputEvent ev{};
    ev.kind = InputKind::kKeyDown;
    ev.key = k;
    ev.mods = mods;
    ev.repeat = repeat;
    handle_event(app.get(), ev);
  }
  void key_up(int k) {
    InputEvent ev{};
    ev.kind = InputKind::kKeyUp;
    ev.key = k;
    handle_event(app.get(), ev);
  }
  void mouse(InputKind kind, float x, float y) {
    InputEvent ev{};
    ev.kind = kind;
    ev.button = kMouseLeft;
    ev.x = x, ev.y = y;
    handle_event(app.get(), ev);
  }
  void press_strip(int button) {
    const Rect r = strip_button_rect(app->ui.layout, button, 1.0f);
    mouse(InputKind::kMouseDown, r.x + r.w / 2, r.y + r.h / 2);
  }
  float threshold_db() const { return app->settings.threshold_db; }
  int forced() const { return app->engine.gate_forced.load(); }
};

}  // namespace

TEST(Commands, ThresholdAndHoldKeysStepClampAndReachSettingsAndEngine) {
  AppFixture a;
  EXPECT_FLOAT_EQ(a.threshold_db(), -34.0f);
  a.key(kKeyUp);
  EXPECT_NEAR(a.threshold_db(), -33.0f, 1e-4);
  EXPECT_NEAR(a->engine.open_level.load(), std::pow(10.0f, -33.0f / 20.0f), 1e-6);
  a.key(kKeyDown, kModShift);
  EXPECT_NEAR(a.threshold_db(), -38.0f, 1e-4);
  // Held arrows repeat.
  a.key(kKeyUp, 0, true);
  EXPECT_NEAR(a.threshold_db(), -37.0f, 1e-4);

  // Shift+Up from -2 dB stops at 0 dB; Down at -80 dB stays there.
  a->sliders.threshold = (-2.0f + 80.0f) / 80.0f;
  a.key(kKeyUp, kModShift);
  EXPECT_FLOAT_EQ(a.threshold_db(), 0.0f);
  a.key(kKeyUp);
  EXPECT_FLOAT_EQ(a.threshold_db(), 0.0f);
  a->sliders.threshold = 0.0f;
  a.key(kKeyDown);
  EXPECT_FLOAT_EQ(a.threshold_db(), -80.0f);

  // Right and Left move the hold position by 0.01 (Shift 0.05) within 0..1; hold = p^3 seconds.
  a.key(kKeyRight, kModShift);
  a.key(kKeyRight);
  EXPECT_NEAR(a->settings.hold_norm, 0.06f, 1e-6);
  EXPECT_EQ(a->engine.hold_frames.load(), int(0.06 * 0.06 * 0.06 * 48000));
  a.key(kKeyLeft, kModShift);
  a.key(kKeyLeft, kModShift);
  EXPECT_FLOAT_EQ(a->settings.hold_norm, 0.0f);
  a->sliders.hold = 0.99f;
  a.key(kKeyRight, kModShift);
  EXPECT_FLOAT_EQ(a->settings.hold_norm, 1.0f);
}

TEST(Commands, RepeatsAreIgnoredAndTogglesPressTheirButtons) {
  AppFixture a;
  a.key(kKeyM);
  EXPECT_EQ(a->settings.monitor, 1);
  EXPECT_EQ(a->engine.monitor.load(), 1);
  EXPECT_FLOAT_EQ(a->ui.strip.press[kBtnMon].position, 0.84f);
  EXPECT_FLOAT_EQ(a->ui.strip.press[kBtnNorm].position, 1.0f);
  a.key(kKeyM, 0, true);  // auto-repeat: nothing
  EXPECT_EQ(a->settings.monitor, 1);
  a.key(kKeyN);
  EXPECT_EQ(a->engine.normalize_monitor.load(), 1);
  a.key(kKeyM, kModCtrl);  // not a plain key: nothing
  EXPECT_EQ(a->settings.monitor, 1);

  // Tab three times comes back to where it started.
  const int mode = a->settings.hud_mode;
  a.key(kKeyTab);
  EXPECT_EQ(a->settings.hud_mode, (mode + 1) % 3);
  a.key(kKeyTab);
  a.key(kKeyTab);
  EXPECT_EQ(a->settings.hud_mode, mode);

  a.key(kKeyH);
  EXPECT_EQ(a->settings.side_hidden, 1);
  a.key(kKeyBackquote, kModAlt);
  EXPECT_TRUE(a->console_open);
  a.key(kKeyEscape);
  EXPECT_FALSE(a->console_open);
  a.key(kKeyF12);
  EXPECT_FALSE(a->screenshot_requested);
  a.key(kKeyF12, kModCtrl);
  EXPECT_TRUE(a->screenshot_requested);

  // Nothing recorded: P does not start playback.
  a.key(kKeyP);
  EXPECT_EQ(a->engine.play_tape.load(), 0);
  a.key(kKeyA);
  EXPECT_STREQ(status_line().text, "INPUTS NOT AVAILABLE");
}

TEST(Commands, GateHeldByKeyAndMouseTogetherAndLatched) {
  AppFixture a;
  a.key(kKeyG);
  EXPECT_EQ(a.forced(), 1);
  EXPECT_FLOAT_EQ(a->ui.strip.press[kBtnGate].position, 0.84f);
  a.press_strip(kBtnGate);  // the mouse holds GATE too
  a.mouse(InputKind::kMouseUp, 0, 0);
  EXPECT_EQ(a.forced(), 1);  // G is still down
  a.key_up(kKeyG);
  EXPECT_EQ(a.forced(), 0);

  // The mouse alone holds it until the button comes up, wherever the pointer went.
  a.press_strip(kBtnGate);
  EXPECT_EQ(a.forced(), 1);
  EXPECT_EQ(a->recorder.gate_held, 1);
  a.mouse(InputKind::kMouseUp, 5, 5);
  EXPECT_EQ(a.forced(), 0);

  // Latched, key up does not release it; L again does.
  a.key(kKeyL);
  a.key(kKeyG);
  a.key_up(kKeyG);
  EXPECT_EQ(a.forced(), 1);
  a.press_strip(kBtnLatch);
  EXPECT_EQ(a->recorder.gate_latched, 0);
  EXPECT_EQ(a.forced(), 0);
}

TEST(Commands, DropsCloseButtonAndQuit) {
  AppFixture a;
  InputEvent drop{};
  drop.kind = InputKind::kDrop;
  snprintf(drop.path, sizeof drop.path, "%s", "/home/someone/notes.pdf");
  handle_event(a.app.get(), drop);
  EXPECT_STREQ(status_line().text, "TOLM CAN'T READ THAT KIND OF FILE");
  status_clear();
  EXPECT_EQ(a->chop.mode, 0);
  snprintf(drop.path, sizeof drop.path, "%s", "/home/someone/field.M4A");
  handle_event(a.app.get(), drop);
  EXPECT_STREQ(status_line().text, "");  // taken without complaint: the chop reads it
  EXPECT_EQ(a->chop.mode, 1);
  EXPECT_STREQ(a->chop.source_path, "/home/someone/field.M4A");

  EXPECT_FALSE(a->quit_requested);
  const Rect close = header_item_rect(960, HeaderItem::kClose);
  a.mouse(InputKind::kMouseDown, close.x + 5, close.y + 5);
  EXPECT_TRUE(a->quit_requested);
  a->quit_requested = false;
  InputEvent quit{};
  quit.kind = InputKind::kQuit;
  handle_event(a.app.get(), quit);
  EXPECT_TRUE(a->quit_requested);

  a->quit_requested = false;

  // The side door toggles the side panel; the title strip drags, the edges resize.
  const Rect side = header_item_rect(960, HeaderItem::kDoorSide);
  a.mouse(InputKind::kMouseDown, side.x + 10, side.y + 10);
  EXPECT_EQ(a->settings.side_hidden, 1);
  EXPECT_EQ(frame_hit(960, 540, false, 120, 20), HitZone::kDrag);
  EXPECT_EQ(frame_hit(960, 540, false, close.x + 5, 20), HitZone::kNormal);
  EXPECT_EQ(frame_hit(960, 540, false, 959, 539), HitZone::kBottomRight);
  EXPECT_EQ(frame_hit(960, 540, true, 959, 539), HitZone::kNormal);  // maximised: no edges
  EXPECT_EQ(frame_hit(960, 540, false, 400, 300), HitZone::kNormal);
}

TEST(Commands, WindowTitleNamesTheState) {
  AppFixture a;
  char title[160];
  format_window_title(a.app.get(), title, sizeof title);
  EXPECT_STREQ(title, "tolm ZEPHA - IDLE - 0:00.0 - 0 takes");
  a->engine.armed = 1;
  a->engine.write_head = 48000LL * 75 + 9600;  // 75.2 s
  a->recorder.takes.take_count = 3;
  format_window_title(a.app.get(), title, sizeof title);
  EXPECT_STREQ(title, "tolm ZEPHA - LISTENING - 1:15.2 - 3 takes");
  a->engine.recording = 1;
  format_window_title(a.app.get(), title, sizeof title);
  EXPECT_STREQ(title, "tolm ZEPHA - RECORDING - 1:15.2 - 3 takes");
  a->engine.write_head = 48000LL * 60 - 2000;  // 59.96 s shows as the next minute
  format_window_title(a.app.get(), title, sizeof title);
  EXPECT_STREQ(title, "tolm ZEPHA - RECORDING - 1:00.0 - 3 takes");
  a->watchdog.down = 1;
  format_window_title(a.app.get(), title, sizeof title);
  EXPECT_STREQ(title, "tolm ZEPHA - AUDIO DOWN - 1:00.0 - 3 takes");
}

TEST(Window, SavedRectangleIsUsedOnlyWhenSaneAndOnADisplay) {
  const DisplayBounds one[] = {{0, 0, 1920, 1080}};
  const DisplayBounds two[] = {{0, 0, 1920, 1080}, {1920, 0, 2560, 1440}};
  Settings s{};
  WindowPlacement p;
  s.win_x = 300, s.win_y = 200, s.win_w = 1000, s.win_h = 600;
  window_placement(s, one, 1, &p);
  EXPECT_FALSE(p.centred);
  EXPECT_EQ(p.x, 300);
  EXPECT_EQ(p.w, 1000);

  // On a monitor that is no longer connected: centred, with the saved size.
  s.win_x = 2400;
  window_placement(s, two, 2, &p);
  EXPECT_FALSE(p.centred);
  window_placement(s, one, 1, &p);
  EXPECT_TRUE(p.centred);
  EXPECT_EQ(p.w, 1000);
  EXPECT_EQ(p.h, 600);

  // The edges: left more than 100 inside, top from 10 above to 100 above the bottom, bottom 50 down.
  s.win_x = 100, s.win_y = 200;
  window_placement(s, one, 1, &p);
  EXPECT_TRUE(p.centred);
  s.win_x = 1819;
  window_placement(s, one, 1, &p);
  EXPECT_FALSE(p.centred);
  s.win_x = 1820;
  window_placement(s, one, 1, &p);
  EXPECT_TRUE(p.centred);
  s.win_x = 300, s.win_y = -9;
  window_placement(s, one, 1, &p);
  EXPECT_FALSE(p.centred);
  s.win_y = -10;
  window_placement(s, one, 1, &p);
  EXPECT_TRUE(p.centred);
  s.win_y = 979;
  window_placement(s, one, 1, &p);
  EXPECT_FALSE(p.centred);
  s.win_y = 980;
  window_placement(s, one, 1, &p);
  EXPECT_TRUE(p.centred);

  // A size out of bounds is not offered at all: 960 x 540, centred.
  for (int w : {799, 8193}) {
    s.win_x = 300, s.win_y = 200, s.win_w = w, s.win_h = 600;
    window_placement(s, one, 1, &p);
    EXPECT_TRUE(p.centred);
    EXPECT_EQ(p.w, 960);
    EXPECT_EQ(p.h, 540);
  }
  s.win_w = 1000, s.win_h = 479;
  window_placement(s, one, 1, &p);
  EXPECT_EQ(p.h, 540);
  s.win_w = 800, s.win_h = 480;
  window_placement(s, one, 1, &p);
  EXPECT_FALSE(p.centred);
}

// Quitting with a take that cannot reach the disk (no write folder at all here): refused once;
// quits that queue up before the refusal is on screen do not count; one asked for afterwards
// discards; and once everything is on disk the refusal is forgotten, so a later disk error is
// refused afresh instead of discarding at once.
TEST(Commands, QuitRefusalCountsOnlyQuitsAskedForOnceItIsOnScreen) {
  AppFixture a;
  TakeList& list = a->recorder.takes;
  auto unwritable_take = [&] {
    list.takes[list.take_count] = TakeEntry{0, 480, 0};
    ++list.take_count;
    a->engine.write_head = 480;
  };
  unwritable_take();
  EXPECT_FALSE(quit_sequence(a.app.get()));
  EXPECT_STREQ(status_line().text, "1 TAKE NOT SAVED - DISK ERROR - QUIT AGAIN TO DISCARD");
  InputEvent quit{};
  quit.kind = InputKind::kQuit;
  handle_event(a.app.get(), quit);  // queued while the takes were being saved
  EXPECT_FALSE(quit_sequence(a.app.get()));
  note_frame_presented(a.app.get());  // the refusal reaches the screen
  EXPECT_FALSE(a->quit_after_refusal);
  handle_event(a.app.get(), quit);
  EXPECT_TRUE(quit_sequence(a.app.get()));

  // Saved after all (the obstacle went): the refusal is forgotten.
  AppFixture b;
  TakeList& later = b->recorder.takes;
  later.takes[0] = TakeEntry{0, 480, 0};
  later.take_count = 1;
  b->engine.write_head = 480;
  EXPECT_FALSE(quit_sequence(b.app.get()));
  note_frame_presented(b.app.get());
  later.written_count = 1;
  quit_refusal_follow(b.app.get());
  EXPECT_FALSE(b->quit_refused);
  later.takes[1] = TakeEntry{480, 960, 0};
  later.take_count = 2;
  b->engine.write_head = 960;
  handle_event(b.app.get(), quit);
  EXPECT_FALSE(quit_sequence(b.app.get())) << "a new disk error is refused, not discarded at once";
}
