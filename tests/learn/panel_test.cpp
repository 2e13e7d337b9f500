// The training and version-notes panel driven as the shell drives it: the start-up decision over
// the shared file and the settings, closing the notes with the lock taken or the disk failing,
// keys, clicks, the wheel and the fades, discovery, reset, the step tick-off with its toast and
// log line, and the kit's own id lists when an application gives no callbacks.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "config/log.h"
#include "config/settings.h"
#include "learn/panel.h"
#include "learn/training.h"
#include "learn/version.h"
#include "platform/file.h"
#include "tests/learn/learn_fixture.h"

namespace {

constexpr float kWinW = 1280, kWinH = 800;

std::string stored_seen(const LearnHome& home) {
  char out[64];
  return prefs_read(home.prefs.c_str(), "tolm.version_seen", out, sizeof out) == 1 ? out : "(none)";
}

struct Fixture {
  Settings settings{};
  std::unique_ptr<TrainingPanel> panel = std::make_unique<TrainingPanel>();
  explicit Fixture(const char* seen, const char* version = "1.3.10") {
    settings_defaults(&settings);
    strcpy(settings.seen_version, seen);
    EXPECT_EQ(training_panel_create(panel.get(), tolm_panel_descriptor(&settings, version)), 0);
  }
  PanelOutcome key(int k, double now, bool shift = false, bool repeat = false) {
    PanelEvent ev{PanelInput::kKey, k, shift, repeat, 0, 0, 0};
    return training_panel_event(panel.get(), ev, now);
  }
  // Lays out first, as a frame is drawn before the click that lands on it.
  PanelOutcome click(PanelRect PanelLayout::*part, double now) {
    training_panel_layout(panel.get(), kWinW, kWinH, now);
    const PanelRect r = panel->layout.*part;
    return click_at(r.x + r.w / 2, r.y + r.h / 2, now);
  }
  PanelOutcome click_tab(int tab, double now) {
    training_panel_layout(panel.get(), kWinW, kWinH, now);
    const PanelRect r = panel->layout.tab[tab];
    return click_at(r.x + r.w / 2, r.y + r.h / 2, now);
  }
  PanelOutcome click_at(float x, float y, double now) {
    training_panel_layout(panel.get(), kWinW, kWinH, now);
    PanelEvent ev{PanelInput::kClick, 0, false, false, x, y, 0};
    return training_panel_event(panel.get(), ev, now);
  }
  PanelOutcome wheel(float notches, double now) {
    PanelEvent ev{PanelInput::kWheel, 0, false, false, 640, 400, notches};
    return training_panel_event(panel.get(), ev, now);
  }
  PanelView view() {
    PanelView v;
    training_panel_view(panel.get(), &v);
    return v;
  }
};

}  // namespace

TEST(TrainingPanel, NotesOpenByThemselvesOnceForANewerBuildAndEscRecordsIt) {
  LearnHome home;
  {
    // The first run of any version: nothing opens, this version is recorded as seen.
    Fixture f("");
    EXPECT_FALSE(training_panel_start(f.panel.get(), 1.0));
    EXPECT_FALSE(f.panel->open);
    EXPECT_EQ(stored_seen(home), "1.3.10");
    EXPECT_STREQ(f.settings.seen_version, "1.3.10");
  }
  for (const char* seen : {"1.3.10", "1.4", "01.3.10"}) {
    Fixture f(seen);
    write_text(home.prefs, "");
    EXPECT_FALSE(training_panel_start(f.panel.get(), 1.0)) << seen;
  }
  {
    // One release back: the notes open at this build's note; Esc closes and records it.
    write_text(home.prefs, "other.key=1\n");
    Fixture f("1.3.9");
    ASSERT_TRUE(training_panel_start(f.panel.get(), 1.0));
    EXPECT_TRUE(f.panel->open);
    EXPECT_TRUE(f.panel->notes_by_itself);
    PanelView v = f.view();
    EXPECT_EQ(v.tab, kPanelNotes);
    ASSERT_NE(v.note, nullptr);
    EXPECT_STREQ(v.note->title, "YOUR ROOM. YOUR COLORS.");
    EXPECT_STREQ(v.heading, "1.3.10   2026-10-08");
    EXPECT_STREQ(v.link_hint, "U: OPEN LINK   C: COPY LINK");
    EXPECT_EQ(f.key(kPanelKeyEscape, 2.0).action, kPanelClosed);
    EXPECT_FALSE(f.panel->open);
    EXPECT_EQ(read_text(home.prefs), "other.key=1\ntolm.version_seen=1.3.10\n");
    EXPECT_STREQ(f.settings.seen_version, "1.3.10");
    // The next start has nothing to tell.
    Fixture again(f.settings.seen_version);
    EXPECT_FALSE(training_panel_start(again.panel.get(), 3.0));
  }
  {
    // The shared file speaks first: a sibling session of this program saw only 1.3.8.
    write_text(home.prefs, "tolm.version_seen=1.3.8\n");
    Fixture f("1.3.10");
    EXPECT_TRUE(training_panel_start(f.panel.get(), 1.0));
  }
  {
    // A build older than the newest note in its table opens at its own note and never shows a newer one.
    write_text(home.prefs, "");
    Fixture f("1.3.8", "1.3.9");
    ASSERT_TRUE(training_panel_start(f.panel.get(), 1.0));
    EXPECT_STREQ(f.view().note->version, "1.3.9");
    EXPECT_FALSE(f.view().can_newer);
    EXPECT_TRUE(f.key(kPanelKeyRight, 1.1).consumed);
    EXPECT_STREQ(f.view().note->version, "1.3.9");
    f.key(kPanelKeyLeft, 1.2);
    EXPECT_STREQ(f.view().note->version, "1.3.8");
    EXPECT_EQ(f.view().link_hint, nullptr);
    // Seen 1.3.9 on a 1.3.9 build: nothing, whatever newer notes the table holds.
    Fixture g("1.3.9", "1.3.9");
    write_text(home.prefs, "");
    EXPECT_FALSE(training_panel_start(g.panel.get(), 1.0));
  }
  {
    // Without the shared file the application's own text is all there is.
    write_text(home.prefs, "tolm.version_seen=1.3.10\n");
    Settings s{};
    settings_defaults(&s);
    strcpy(s.seen_version, "1.3.9");
    PanelDescriptor d = tolm_panel_descriptor(&s, "1.3.10");
    d.storage_off = true;
    auto p = std::make_unique<TrainingPanel>();
    ASSERT_EQ(training_panel_create(p.get(), d), 0);
    ASSERT_TRUE(training_panel_start(p.get(), 1.0));
    EXPECT_EQ(training_panel_close(p.get(), 2.0), kPanelClosed);
    EXPECT_STREQ(s.seen_version, "1.3.10");
  }
  // A descriptor without a key or a version makes no panel; no title falls back to ZEPHA.
  Settings s{};
  PanelDescriptor d = tolm_panel_descriptor(&s, "");
  auto p = std::make_unique<TrainingPanel>();
  EXPECT_EQ(training_panel_create(p.get(), d), -1);
  d = tolm_panel_descriptor(&s, "1.3.10");
  d.app_key = nullptr;
  EXPECT_EQ(training_panel_create(p.get(), d), -1);
  d = tolm_panel_descriptor(&s, "1.3.10");
  const std::string long_key(90, 'k');  // "%s.training_unseen" would pass 95 characters
  d.app_key = long_key.c_str();
  EXPECT_EQ(training_panel_create(p.get(), d), -1);
  d = tolm_panel_descriptor(&s, "1.3.10");
  d.title = "";
  ASSERT_EQ(training_panel_create(p.get(), d), 0);
  PanelView v;
  training_panel_view(p.get(), &v);
  EXPECT_STREQ(v.title, "ZEPHA");
}

TEST(TrainingPanel, ALockHeldOverTwoSecondsKeepsTheNotesOpenUntilASecondClose) {
  LearnHome home;
  {
    // Released in time: the close waits, drawing goes on, and the panel goes once it is written.
    Fixture f("1.3.9");
    ASSERT_TRUE(training_panel_start(f.panel.get(), 10.0));
    LockHolder holder;
    EXPECT_EQ(f.key(kPanelKeyEscape, 10.0).action, kPanelSaving);
    EXPECT_TRUE(f.panel->open);
    EXPECT_EQ(training_panel_tick(f.panel.get(), 11.0), kPanelNothing);
    EXPECT_TRUE(f.panel->open);
    holder.release();
    EXPECT_EQ(training_panel_tick(f.panel.get(), 11.5), kPanelClosed);
    EXPECT_FALSE(f.panel->open);
    EXPECT_EQ(stored_seen(home), "1.3.10");
    EXPECT_STREQ(f.settings.seen_version, "1.3.10");
  }
  write_text(home.prefs, "");
  Fixture f("1.3.9");
  ASSERT_TRUE(training_panel_start(f.panel.get(), 10.0));
  LockHolder holder;
  EXPECT_EQ(f.key(kPanelKeyEscape, 10.0).action, kPanelSaving);
  EXPECT_EQ(training_panel_tick(f.panel.get(), 11.99), kPanelNothing);
  EXPECT_EQ(f.view().save_error, nullptr);
  // Held for over 2 seconds: the write gives up, the panel stays and says so.
  EXPECT_EQ(training_panel_tick(f.panel.get(), 12.0), kPanelNotSaved);
  EXPECT_TRUE(f.panel->open);
  EXPECT_STREQ(f.view().save_error, "Could not save. Try again.");
  EXPECT_STREQ(f.settings.seen_version, "1.3.9");
  // The second close closes, and tries again in the background.
  EXPECT_EQ(f.key(kPanelKeyEscape, 12.5).action, kPanelClosed);
  EXPECT_FALSE(f.panel->open);
  holder.release();
  EXPECT_EQ(training_panel_tick(f.panel.get(), 12.6), kPanelNothing);
  EXPECT_EQ(stored_seen(home), "1.3.10");
  EXPECT_STREQ(f.settings.seen_version, "1.3.10");
  EXPECT_EQ(f.view().save_error, nullptr);

  // A disk that refuses the write: the same, without any wait.
  write_text(home.prefs, "");
  Fixture g("1.3.9");
  ASSERT_TRUE(training_panel_start(g.panel.get(), 20.0));
  file_fault_set(FileFault::kRename, 0, -1);
  EXPECT_EQ(g.click(&PanelLayout::got_it, 20.5).action, kPanelNotSaved);
  EXPECT_TRUE(g.panel->open);
  EXPECT_EQ(g.click(&PanelLayout::got_it, 21.0).action, kPanelClosed);
  file_fault_clear();
  EXPECT_EQ(stored_seen(home), "(none)");
  // The notes therefore come again at the next start.
  Fixture h("1.3.9");
  EXPECT_TRUE(training_panel_start(h.panel.get(), 30.0));
}

TEST(TrainingPanel, KeysClicksWheelAndFades) {
  LearnHome home;
  Fixture f("1.3.10");
  ASSERT_FALSE(training_panel_start(f.panel.get(), 0.0));
  // Closed: only a first F1 press is the panel's; Shift opens the notes.
  EXPECT_FALSE(f.key(kPanelKeyEscape, 1.0).consumed);
  EXPECT_FALSE(f.key(kPanelKeyF1, 1.0, false, true).consumed);
  EXPECT_FALSE(f.click_at(10, 10, 1.0).consumed);
  PanelOutcome o = f.key(kPanelKeyF1, 1.0);
  EXPECT_TRUE(o.consumed);
  EXPECT_EQ(o.action, kPanelOpened);
  EXPECT_EQ(f.view().tab, kPanelTraining);
  EXPECT_STREQ(f.view().summary, "0 / 11 discovered. No homework. No gold stars required.");

  // Opening eases in over 0.36 s.
  training_panel_layout(f.panel.get(), kWinW, kWinH, 1.0);
  const float start_y = f.panel->layout.panel.y;
  training_panel_layout(f.panel.get(), kWinW, kWinH, 1.18);
  const float mid_y = f.panel->layout.panel.y;
  training_panel_layout(f.panel.get(), kWinW, kWinH, 1.36);
  const float end_y = f.panel->layout.panel.y;
  EXPECT_GT(start_y, mid_y);
  EXPECT_GT(mid_y, end_y);
  training_panel_layout(f.panel.get(), kWinW, kWinH, 5.0);
  EXPECT_EQ(f.panel->layout.panel.y, end_y);
  EXPECT_EQ(f.panel->layout.alpha, 1.0f);

  // U and C belong to the notes tab, and only to a note with a link.
  EXPECT_FALSE(f.key(kPanelKeyU, 2.0).consumed);
  EXPECT_FALSE(f.key(kPanelKeyLeft, 2.0).consumed);
  EXPECT_TRUE(f.key(kPanelKeyTab, 2.0).consumed);
  EXPECT_EQ(f.view().tab, kPanelNotes);
  o = f.key(kPanelKeyU, 2.0);
  EXPECT_EQ(o.action, kPanelOpenLink);
  EXPECT_STREQ(o.link, kTolmNotes[0].link);
  o = f.key(kPanelKeyC, 2.0);
  EXPECT_EQ(o.action, kPanelCopyLink);
  EXPECT_STREQ(o.link, kTolmNotes[0].link);
  // Newer does nothing at the build's own note; older walks down and stops at the oldest.
  f.key(kPanelKeyRight, 2.0);
  EXPECT_EQ(f.panel->note, 0);
  f.key(kPanelKeyLeft, 2.0);
  f.key(kPanelKeyLeft, 2.0);
  EXPECT_STREQ(f.view().note->version, "1.3.8");
  EXPECT_FALSE(f.key(kPanelKeyU, 2.0).consumed);
  EXPECT_EQ(f.view().link_hint, nullptr);
  for (int i = 0; i < 40; ++i) f.click(&PanelLayout::older, 2.0);
  EXPECT_STREQ(f.view().note->version, "1.1.0");
  EXPECT_FALSE(f.view().can_older);
  EXPECT_TRUE(f.view().can_newer);
  f.click(&PanelLayout::newer, 2.0);
  EXPECT_STREQ(f.view().note->version, "1.1.1");

  // Scrolling: within the content the view reports, moves reset it to the top.
  training_panel_layout(f.panel.get(), kWinW, kWinH, 3.0);
  const float page = f.panel->layout.content.h;
  training_panel_set_content_height(f.panel.get(), page + 120);
  f.key(kPanelKeyDown, 3.0);
  EXPECT_EQ(f.panel->scroll_px, 50.0f);
  f.wheel(-1, 3.0);
  EXPECT_EQ(f.panel->scroll_px, 100.0f);
  f.key(kPanelKeyPageDown, 3.0);
  EXPECT_EQ(f.panel->scroll_px, 120.0f);
  f.key(kPanelKeyHome, 3.0);
  EXPECT_EQ(f.panel->scroll_px, 0.0f);
  f.key(kPanelKeyEnd, 3.0);
  EXPECT_EQ(f.panel->scroll_px, 120.0f);
  f.wheel(3, 3.0);
  EXPECT_EQ(f.panel->scroll_px, 0.0f);
  f.key(kPanelKeyLeft, 3.0);  // to the oldest, 1.1.0
  f.key(kPanelKeyEnd, 3.0);
  f.key(kPanelKeyLeft, 3.0);  // at the oldest: no move, the scroll stays
  EXPECT_EQ(f.panel->scroll_px, 120.0f);
  f.key(kPanelKeyRight, 3.0);
  EXPECT_EQ(f.panel->scroll_px, 0.0f);
  // A window too small for the panel still lays it out inside itself.
  training_panel_layout(f.panel.get(), 200, 150, 3.0);
  EXPECT_LE(f.panel->layout.panel.w, 200.0f);
  EXPECT_LE(f.panel->layout.panel.h, 150.0f);
  EXPECT_GE(f.panel->layout.panel.x, 0.0f);

  // Tabs by click; the reset arms on the first click, Esc disarms, Enter confirms.
  f.settings.train_done = 0x5;
  f.settings.train_seen = 0x1;
  f.click_tab(kPanelTraining, 4.0);
  EXPECT_EQ(f.view().tab, kPanelTraining);
  EXPECT_EQ(f.view().done_count, 2);
  f.click(&PanelLayout::reset, 4.0);
  EXPECT_STREQ(f.view().reset_label, "RESET? CLICK AGAIN / ENTER");
  EXPECT_TRUE(f.key(kPanelKeyEscape, 4.0).consumed);
  EXPECT_TRUE(f.panel->open);
  EXPECT_STREQ(f.view().reset_label, "RESET ALL TRAINING");
  f.click(&PanelLayout::reset, 4.0);
  EXPECT_EQ(f.key(kPanelKeyEnter, 4.0).action, kPanelReset);
  EXPECT_EQ(f.settings.train_done, 0);
  EXPECT_EQ(f.settings.train_seen, 0);
  EXPECT_EQ(f.view().done_count, 0);
  EXPECT_STREQ(f.view().summary, "0 / 11 discovered. No homework. No gold stars required.");
  char settings_path_text[kPathCap];
  settings_path(settings_path_text, sizeof settings_path_text);
  EXPECT_NE(read_text(settings_path_text).find("train_done = 0\n"), std::string::npos);  // written at once
  f.settings.train_done = 0x3;
  f.click(&PanelLayout::reset, 4.0);
  EXPECT_EQ(f.click(&PanelLayout::reset, 4.0).action, kPanelReset);
  EXPECT_EQ(f.settings.train_done, 0);

  // A click outside closes; the close fades in twelve 20 ms steps.
  EXPECT_EQ(f.click_at(2, 2, 5.0).action, kPanelClosed);
  training_panel_layout(f.panel.get(), kWinW, kWinH, 5.05);
  EXPECT_TRUE(f.panel->layout.shown);
  EXPECT_FLOAT_EQ(f.panel->layout.alpha, 1.0f - 2.0f / 12.0f);
  training_panel_layout(f.panel.get(), kWinW, kWinH, 5.239);
  EXPECT_TRUE(f.panel->layout.shown);
  training_panel_layout(f.panel.get(), kWinW, kWinH, 5.24);
  EXPECT_FALSE(f.panel->layout.shown);
  // GOT IT closes too; Shift+F1 opens straight on the notes.
  f.key(kPanelKeyF1, 6.0, true);
  EXPECT_EQ(f.view().tab, kPanelNotes);
  EXPECT_EQ(f.panel->note, 0);
  EXPECT_EQ(f.click(&PanelLayout::got_it, 6.5).action, kPanelClosed);
}

TEST(Training, StepsTickOffOnceWithAToastAndDiscoveryMarksThemSeen) {
  LearnHome home;
  Fixture f("1.3.10");
  TrainingToast toast{};
  const int lines = log_line_count();
  EXPECT_TRUE(mark_step_done(&f.settings, kStepFirstArm, &toast, 0xFFFFF000u));
  EXPECT_EQ(f.settings.train_done, 1);
  EXPECT_STREQ(training_toast_text(toast, 0xFFFFF000u), "Arm it");
  EXPECT_STREQ(training_toast_text(toast, 0xFFFFF000u + 4499u), "Arm it");  // across the tick's wrap
  EXPECT_EQ(training_toast_text(toast, 0xFFFFF000u + 4500u), nullptr);
  ASSERT_EQ(log_line_count(), lines + 1);
  char line[kLogLineBytes];
  ASSERT_TRUE(log_recent_line(lines, line, sizeof line));
  EXPECT_NE(strstr(line, "training: first-arm"), nullptr) << line;
  // Again: no toast, no log line.
  toast = TrainingToast{};
  EXPECT_FALSE(mark_step_done(&f.settings, kStepFirstArm, &toast, 100));
  EXPECT_EQ(training_toast_text(toast, 100), nullptr);
  EXPECT_EQ(log_line_count(), lines + 1);
  EXPECT_FALSE(mark_step_done(&f.settings, kTrainingSteps, &toast, 100));
  EXPECT_FALSE(mark_step_done(&f.settings, -1, &toast, 100));
  EXPECT_TRUE(mark_step_done(&f.settings, kStepRigScene, &toast, 200));
  EXPECT_STREQ(training_toast_text(toast, 300), "Switch scenes");

  // Discovery, every 0.18 s while closed on the training tab: one step a turn, in table order.
  PanelView v = f.view();
  EXPECT_TRUE(v.rows[1].fresh);  // FIRST TOLM, then Arm it
  EXPECT_EQ(training_panel_tick(f.panel.get(), 10.0), kPanelNothing);
  EXPECT_EQ(f.settings.train_seen, 1);
  EXPECT_STREQ(f.panel->latest, "first-arm");
  training_panel_tick(f.panel.get(), 10.1);
  EXPECT_EQ(f.settings.train_seen, 1);
  training_panel_tick(f.panel.get(), 10.18);
  EXPECT_EQ(f.settings.train_seen, 1 | 1 << kStepRigScene);
  EXPECT_STREQ(f.panel->latest, "tolm-rig-scene");
  v = f.view();
  EXPECT_EQ(v.done_count, 2);
  int steps = 0;
  for (int i = 0; i < v.row_count; ++i)
    if (v.rows[i].kind == kRowStep) {
      ++steps;
      EXPECT_FALSE(v.rows[i].fresh);
      EXPECT_EQ(v.rows[i].latest, strcmp(v.rows[i].title, "Switch scenes") == 0);
    }
  EXPECT_EQ(steps, kTrainingSteps);
  EXPECT_EQ(v.row_count, kTrainingSteps + kTrainingChapters);
  // Open, or on the notes tab, nothing is discovered.
  mark_step_done(&f.settings, kStepCull, &toast, 400);
  training_panel_open(f.panel.get(), kPanelNotes, 11.0);
  training_panel_close(f.panel.get(), 11.1);
  training_panel_tick(f.panel.get(), 12.0);
  EXPECT_FALSE(f.settings.train_seen >> kStepCull & 1);
  f.key(kPanelKeyF1, 13.0);
  training_panel_close(f.panel.get(), 13.1);
  training_panel_tick(f.panel.get(), 14.0);
  EXPECT_TRUE(f.settings.train_seen >> kStepCull & 1);

  // The tables the panel walks: chapters cover the steps in order, notes run newest first, each
  // with one to eight lines, and only the two newest carry a link.
  int next = 0;
  for (const TrainingChapter& c : kTolmChapters) {
    EXPECT_EQ(c.first_step, next);
    next += c.step_count;
  }
  EXPECT_EQ(next, kTrainingSteps);
  for (int i = 0; i < kTrainingSteps; ++i) EXPECT_EQ(training_step_bit(kTolmSteps[i].id), i);
  EXPECT_EQ(training_step_bit("no-such-step"), -1);
  for (int i = 0; i < kVersionNotes; ++i) {
    if (i > 0) {
      EXPECT_LT(version_compare(kTolmNotes[i].version, kTolmNotes[i - 1].version), 0) << i;
    }
    EXPECT_GE(kTolmNotes[i].line_count, 1);
    EXPECT_LE(kTolmNotes[i].line_count, kNoteMaxLines);
    for (int l = 0; l < kTolmNotes[i].line_count; ++l) EXPECT_NE(kTolmNotes[i].lines[l], nullptr);
    EXPECT_EQ(kTolmNotes[i].link != nullptr, i < 2) << i;
    if (kTolmNotes[i].link) {
      EXPECT_EQ(strncmp(kTolmNotes[i].link, "https://", 8), 0);
    }
  }
}

TEST(TrainingPanel, WithoutCallbacksTheKitKeepsItsOwnListsInTheSharedFile) {
  LearnHome home;
  const TrainingStep steps[] = {{"a", "A", "a"}, {"b", "B", "b"}};
  const TrainingChapter chapters[] = {{"one", "ONE", steps, 0, 2}};
  PanelDescriptor d{};
  d.app_key = "sib";
  d.version = "2.0";
  d.chapters = chapters;
  d.chapter_count = 1;
  auto p = std::make_unique<TrainingPanel>();
  ASSERT_EQ(training_panel_create(p.get(), d), 0);
  EXPECT_TRUE(p->own_lists);
  EXPECT_TRUE(training_panel_mark_done(p.get(), "b", 1.0));
  EXPECT_FALSE(training_panel_mark_done(p.get(), "b", 1.0));
  EXPECT_EQ(read_text(home.prefs), "sib.training_done=b\nsib.training_unseen=b\n");
  training_panel_tick(p.get(), 2.0);  // discovered: no longer unseen
  EXPECT_STREQ(p->latest, "b");
  EXPECT_EQ(read_text(home.prefs), "sib.training_done=b\nsib.training_unseen=\n");
  // Another run of the sibling reads its lists back.
  auto q = std::make_unique<TrainingPanel>();
  ASSERT_EQ(training_panel_create(q.get(), d), 0);
  EXPECT_EQ(training_panel_done_count(q.get()), 1);
  PanelView v;
  training_panel_view(q.get(), &v);
  EXPECT_STREQ(v.summary, "1 / 2 discovered. No homework. No gold stars required.");
  EXPECT_STREQ(v.empty_text, "No version notes in this build yet.");
  training_panel_open(q.get(), kPanelTraining, 3.0);
  q->reset_armed = true;
  PanelEvent enter{PanelInput::kKey, kPanelKeyEnter, false, false, 0, 0, 0};
  EXPECT_EQ(training_panel_event(q.get(), enter, 3.0).action, kPanelReset);
  EXPECT_EQ(read_text(home.prefs), "sib.training_done=\nsib.training_unseen=\n");
  // No steps at all.
  d.chapter_count = 0;
  ASSERT_EQ(training_panel_create(q.get(), d), 0);
  training_panel_view(q.get(), &v);
  EXPECT_STREQ(v.summary, "No training steps in this build yet. You are excused from class.");
}
