// The window's side of the chop, driven through plain input records: Enter and Esc acting on the
// chop only in chop mode and only after the overlays and the options panel, Ctrl+O's dialog in
// and out of chop mode (a fake zenity on PATH), the two chop buttons in place of the recording
// strip, the view's texts for each state, and the sliders re-cutting the file on the next frame.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "app/chop/chop_control.h"
#include "app/chop/chop_view.h"
#include "app/overlays/overlay.h"
#include "app/panels/options.h"
#include "app/shell/app.h"
#include "app/shell/desktop.h"
#include "app/shell/route.h"
#include "app/shell/trigger.h"
#include "config/status.h"
#include "platform/clock.h"
#include "platform/text.h"
#include "sessions/reference.h"
#include "tests/app/chop_fixture.h"
#include "tests/app/desktop_wait.h"
#include "tests/sessions/session_fixture.h"

namespace {

constexpr int kFramesPerBlock = 48;

// The session folders below the write folder ("date/time" made absolute).
std::vector<std::string> sessions_in(const std::string& write_folder) {
  std::vector<std::string> out;
  for (const std::string& date : folder_names(write_folder))
    for (const std::string& time : folder_names(write_folder + "/" + date)) out.push_back(write_folder + "/" + date + "/" + time);
  return out;
}

// The one session's reference, checked to be the burst file's three takes.
void expect_burst_session(const ChopApp& c) {
  const std::vector<std::string> sessions = sessions_in(c.write_folder());
  ASSERT_EQ(sessions.size(), 1u);
  EXPECT_EQ(folder_names(sessions[0]), std::vector<std::string>{"source.ref"});
  auto ref = std::make_unique<Reference>();
  ASSERT_TRUE(read_reference(sessions[0].c_str(), ref.get()));
  EXPECT_EQ(std::string(ref->source), c.bursts);
  EXPECT_EQ(ref->rate, 48000);
  EXPECT_EQ(ref->frames, int64_t(kBurstFileBlocks) * kFramesPerBlock);
  ASSERT_EQ(ref->count, 3);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(ref->takes[i].start, int64_t(kBurstTakes[i][0]) * kFramesPerBlock) << i;
    EXPECT_EQ(ref->takes[i].end, int64_t(kBurstTakes[i][1]) * kFramesPerBlock) << i;
  }
}

void make_executable(const std::string& path, const std::string& text) {
  write_text(path, text);
  chmod(path.c_str(), 0755);
}

// A zenity that prints what the test put into bin/chosen and ends with the status in bin/status.
struct FakeZenity {
  TempDir bin;
  FakeZenity() {
    make_executable(bin.file("zenity"), "#!/bin/sh\ncat \"" + bin.file("chosen") + "\"\nexit $(cat \"" +
                                            bin.file("status") + "\")\n");
    const char* path = getenv("PATH");
    setenv("PATH", (bin.path + ":" + (path ? path : "/usr/bin:/bin")).c_str(), 1);
  }
  void answer(const std::string& chosen, int status) {
    write_text(bin.file("chosen"), chosen);
    write_text(bin.file("status"), std::to_string(status));
  }
};

// One frame of the chop view (which runs the cut) on a canvas.
void frame(Offscreen& o, ChopApp& c) {
  theme_resolve(c->settings, &c->theme);
  draw_chop_view(&o.canvas, c.a.l().scope, c.get(), tick_ms());
}

}  // namespace

TEST(ChopKeys, EnterAndEscActOnTheChopOnlyInChopModeAndAfterTheOverlays) {
  ChopApp c;
  // Outside chop mode Enter opens the options panel, and Esc closes the console.
  c.key(kKeyEnter);
  EXPECT_TRUE(options_shown(c.get()));
  c.key(kKeyEscape);
  EXPECT_FALSE(options_shown(c.get()));
  c->console_open = true;
  c.key(kKeyEscape);
  EXPECT_FALSE(c->console_open);

  // A dropped file opens the chop in the threshold view.
  c->settings.hud_mode = 2;
  c.drop(c.bursts);
  EXPECT_TRUE(chop_mode(c.get()));
  EXPECT_EQ(c->settings.hud_mode, 0);
  EXPECT_EQ(std::string(c->chop.source_path), c.bursts);
  ASSERT_EQ(c.settle(), kChopReady);
  EXPECT_EQ(c->chop.block_count, kBurstFileBlocks);

  // The options panel sees Enter first and acts on its row (HOW IT WORKS opens the help); the help
  // overlay takes Esc; with the console open Esc closes the console. The chop stays through all.
  options_open(c.get());
  c->options.selected = kRowHowItWorks;
  c.key(kKeyEnter);
  EXPECT_TRUE(c->help_open);
  EXPECT_FALSE(options_shown(c.get()));
  c.key(kKeyEscape);
  EXPECT_FALSE(c->help_open);
  c->console_open = true;
  c.key(kKeyEscape);
  EXPECT_FALSE(c->console_open);
  EXPECT_TRUE(chop_mode(c.get()));
  EXPECT_TRUE(sessions_in(c.write_folder()).empty());

  // A held Enter acts once: its repeats make nothing.
  c.key(kKeyEnter, 0, true);
  EXPECT_TRUE(chop_mode(c.get()));
  EXPECT_TRUE(sessions_in(c.write_folder()).empty());

  // Enter makes the session and the live view returns; the envelope is gone.
  c.key(kKeyEnter);
  EXPECT_FALSE(chop_mode(c.get()));
  EXPECT_EQ(status_text(), "SESSION MADE - 3 TAKES");
  expect_burst_session(c);
  EXPECT_EQ(c->chop.envelope, nullptr);
  EXPECT_EQ(c->chop.block_count, 0);
  // Out of chop mode again: Enter is the main view's.
  c.key(kKeyEnter);
  EXPECT_TRUE(options_shown(c.get()));
  options_close(c.get());

  // Esc drops a chop, also one still reading; the reader is waited for and nothing lands later.
  c.drop(c.bursts);
  ASSERT_TRUE(chop_mode(c.get()));
  c.key(kKeyEscape);
  EXPECT_FALSE(chop_mode(c.get()));
  EXPECT_FALSE(c->chop.thread.joinable());
  EXPECT_EQ(c->chop.running.load(), 0);
  EXPECT_EQ(c->chop.envelope, nullptr);
  c.settle();
  EXPECT_FALSE(chop_mode(c.get()));
  EXPECT_EQ(sessions_in(c.write_folder()).size(), 1u);
}

TEST(ChopKeys, CtrlOShowsTheDialogInAndOutOfChopMode) {
  ChopApp c;
  FakeZenity zenity;
  // Plain O is no command.
  zenity.answer(c.bursts + "\n", 0);
  c.key(kKeyO);
  EXPECT_FALSE(chop_mode(c.get()));

  c->settings.hud_mode = 1;
  c.key(kKeyO, kModCtrl);
  ASSERT_TRUE(settle_desktop(c.get()));
  ASSERT_TRUE(chop_mode(c.get()));
  EXPECT_EQ(std::string(c->chop.source_path), c.bursts);
  EXPECT_EQ(c->settings.hud_mode, 0);
  ASSERT_EQ(c.settle(), kChopReady);

  // A cancelled dialog leaves the chop on show as it was.
  zenity.answer("", 1);
  c.key(kKeyO, kModCtrl);
  ASSERT_TRUE(settle_desktop(c.get()));
  EXPECT_TRUE(chop_mode(c.get()));
  EXPECT_EQ(chop_state(&c->chop), kChopReady);
  EXPECT_EQ(std::string(c->chop.source_path), c.bursts);
  EXPECT_EQ(status_text(), "");

  // A file of a kind the reader does not take is refused; the chop on show stays.
  zenity.answer(c.home.file("notes.txt") + "\n", 0);
  c.key(kKeyO, kModCtrl);
  ASSERT_TRUE(settle_desktop(c.get()));
  EXPECT_EQ(status_text(), "TOLM CAN'T READ THAT KIND OF FILE");
  EXPECT_EQ(std::string(c->chop.source_path), c.bursts);
  EXPECT_EQ(chop_state(&c->chop), kChopReady);

  // Another file replaces it.
  const std::string other = c.home.file("second.wav");
  write_burst_file(other);
  zenity.answer(other + "\n", 0);
  c.key(kKeyO, kModCtrl);
  ASSERT_TRUE(settle_desktop(c.get()));
  EXPECT_EQ(std::string(c->chop.source_path), other);
  ASSERT_EQ(c.settle(), kChopReady);
  c.key(kKeyEscape);
  EXPECT_FALSE(chop_mode(c.get()));

  // Without any dialog program the foot says how else to open a file.
  setenv("PATH", c.home.path.c_str(), 1);
  c.key(kKeyO, kModCtrl);
  ASSERT_TRUE(settle_desktop(c.get()));
  EXPECT_EQ(status_text(), "NO FILE DIALOG - DROP A FILE ON THE WINDOW");
  EXPECT_FALSE(chop_mode(c.get()));
}

TEST(ChopKeys, TheWindowGoesOnWhileTheDialogIsUpAndAQuitClosesIt) {
  ChopApp c;
  FakeZenity zenity;
  // A dialog the user leaves open.
  make_executable(zenity.bin.file("zenity"), "#!/bin/sh\nexec sleep 60\n");
  const auto t0 = std::chrono::steady_clock::now();
  c.key(kKeyO, kModCtrl);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(1));  // not waited for
  EXPECT_TRUE(desktop_dialog_up(c.get()));
  desktop_poll(c.get());
  EXPECT_TRUE(desktop_dialog_up(c.get()));
  EXPECT_FALSE(chop_mode(c.get()));

  // A second Ctrl+O opens no second dialog; the foot says why.
  c.key(kKeyO, kModCtrl);
  EXPECT_EQ(status_text(), "A DIALOG IS ALREADY OPEN");

  // Quitting closes the dialog and drops its answer.
  status_clear();
  const auto t1 = std::chrono::steady_clock::now();
  desktop_stop(c.get());
  EXPECT_LT(std::chrono::steady_clock::now() - t1, std::chrono::milliseconds(1500));
  EXPECT_FALSE(desktop_dialog_up(c.get()));
  desktop_poll(c.get());
  EXPECT_FALSE(chop_mode(c.get()));
  EXPECT_EQ(status_text(), "");

  // A dialog closed by a signal counts as cancelled: kdialog is not tried after it.
  make_executable(zenity.bin.file("kdialog"), "#!/bin/sh\necho \"" + c.bursts + "\"\n");
  make_executable(zenity.bin.file("zenity"), "#!/bin/sh\nkill -9 $$\n");
  c.key(kKeyO, kModCtrl);
  ASSERT_TRUE(settle_desktop(c.get()));
  EXPECT_FALSE(chop_mode(c.get()));
}

TEST(ChopRequests, AnEmptyOpenRequestWaitsForItsPath) {
  ChopApp c;
  TempDir requests;
  text_copy(c->request_dir, requests.path.c_str());
  const std::string request = requests.file("tolm_open_request");

  // Created, not yet written: left in place for a moment, then its path is read.
  write_text(request, "");
  poll_requests(c.get(), 5000);
  poll_requests(c.get(), 5900);
  EXPECT_TRUE(std::filesystem::exists(request));
  EXPECT_FALSE(chop_mode(c.get()));
  write_text(request, c.bursts + "\n");
  poll_requests(c.get(), 5950);
  EXPECT_FALSE(std::filesystem::exists(request));
  EXPECT_TRUE(chop_mode(c.get()));
  EXPECT_EQ(std::string(c->chop.source_path), c.bursts);

  // One that stays empty is dropped after a second, and the next empty one waits afresh.
  write_text(request, "");
  poll_requests(c.get(), 10000);
  poll_requests(c.get(), 10999);
  EXPECT_TRUE(std::filesystem::exists(request));
  poll_requests(c.get(), 11000);
  EXPECT_FALSE(std::filesystem::exists(request));
  write_text(request, "");
  poll_requests(c.get(), 11001);
  EXPECT_TRUE(std::filesystem::exists(request));
  EXPECT_EQ(std::string(c->chop.source_path), c.bursts);  // nothing else was opened
}

TEST(ChopButtons, TheStripHoldsMakeSessionAndCancelInChopMode) {
  ChopApp c;
  const MainLayout& l = c.a.l();
  const Rect strip = l.button_strip;
  const Rect make = chop_button_rect(l, kChopMake);
  const Rect cancel = chop_button_rect(l, kChopCancel);
  const float split = std::round(strip.w * 2.0f / 3.0f);
  EXPECT_FLOAT_EQ(make.x, strip.x + 3.0f);
  EXPECT_FLOAT_EQ(make.w, split - 6.0f);
  EXPECT_FLOAT_EQ(cancel.x, strip.x + split + 3.0f);
  EXPECT_FLOAT_EQ(cancel.x + cancel.w, strip.x + strip.w - 3.0f);
  EXPECT_FLOAT_EQ(make.h, strip.h);
  auto centre = [](const Rect& r) { return std::pair<float, float>{r.x + r.w / 2, r.y + r.h / 2}; };

  // Outside chop mode the strip is the recording strip.
  const Rect norm = strip_button_rect(l, kBtnNorm, 1.0f);
  c.click(centre(norm).first, centre(norm).second);
  EXPECT_EQ(c->settings.normalize_monitor, 1);
  c.click(centre(norm).first, centre(norm).second);
  EXPECT_EQ(c->settings.normalize_monitor, 0);

  c.drop(c.bursts);
  ASSERT_EQ(c.settle(), kChopReady);
  cut_takes(&c->chop, c->sliders);  // the view's frame
  ChopButtonLook look = chop_button_look(&c->chop, kChopMake);
  EXPECT_STREQ(look.label, "MAKE SESSION - 3 TAKES");
  EXPECT_TRUE(look.active);
  EXPECT_STREQ(chop_button_look(&c->chop, kChopCancel).label, "CANCEL");

  // The gap between the buttons lies where NORM's cell is: in chop mode a press there does nothing.
  const float gap_x = make.x + make.w + 2.0f;
  ASSERT_EQ(chop_button_at(l, gap_x, centre(make).second), -1);
  ASSERT_EQ(strip_button_at(l, gap_x, centre(make).second), int(kBtnNorm));
  c.click(gap_x, centre(make).second);
  EXPECT_EQ(c->settings.normalize_monitor, 0);
  EXPECT_TRUE(chop_mode(c.get()));

  // With the line over every burst the button says so and a press makes nothing; Enter says why.
  c->sliders.threshold = 1.0f;
  apply_trigger_positions(c.get());
  cut_takes(&c->chop, c->sliders);  // the view's next frame
  look = chop_button_look(&c->chop, kChopMake);
  EXPECT_STREQ(look.label, "NOTHING OVER THE LINE");
  EXPECT_FALSE(look.active);
  status_clear();
  c.click(centre(make).first, centre(make).second);
  EXPECT_TRUE(chop_mode(c.get()));
  EXPECT_EQ(status_text(), "");
  c.key(kKeyEnter);
  EXPECT_EQ(status_text(), "NOTHING OVER THE LINE");
  EXPECT_TRUE(chop_mode(c.get()));
  EXPECT_TRUE(sessions_in(c.write_folder()).empty());

  // Back at -34 dB: MAKE SESSION makes the session of the three takes.
  c->sliders.threshold = 0.575f;
  apply_trigger_positions(c.get());
  cut_takes(&c->chop, c->sliders);
  c.click(centre(make).first, centre(make).second);
  EXPECT_FALSE(chop_mode(c.get()));
  EXPECT_EQ(status_text(), "SESSION MADE - 3 TAKES");
  expect_burst_session(c);

  // CANCEL drops a chop and the recording strip is back.
  c.drop(c.bursts);
  ASSERT_TRUE(chop_mode(c.get()));
  c.click(centre(cancel).first, centre(cancel).second);
  EXPECT_FALSE(chop_mode(c.get()));
  c.click(centre(norm).first, centre(norm).second);
  EXPECT_EQ(c->settings.normalize_monitor, 1);
  EXPECT_EQ(sessions_in(c.write_folder()).size(), 1u);
}

TEST(ChopView, TextsForReadingReadyAndFailed) {
  // Reading and failed, as the job stands.
  auto job = std::make_unique<ChopJob>();
  text_copy(job->source_path, "/music/field/take one.wav");
  job->mode = 1;
  ChopViewText t;
  chop_view_text(job.get(), &t);
  EXPECT_STREQ(t.headline, "READING");
  EXPECT_STREQ(t.file_name, "take one.wav");
  EXPECT_STREQ(t.figures, "");
  ChopButtonLook look = chop_button_look(job.get(), kChopMake);
  EXPECT_STREQ(look.label, "READING");
  EXPECT_FALSE(look.active);
  job->state.store(kChopFailed);
  text_copy(job->message, "COULDN'T READ IT");
  chop_view_text(job.get(), &t);
  EXPECT_STREQ(t.headline, "COULDN'T READ IT");
  EXPECT_EQ(t.headline_colour, 0xFF4D42EBu);
  EXPECT_STREQ(chop_button_look(job.get(), kChopMake).label, "NOTHING OVER THE LINE");

  // Ready: no headline, the figures of the cut.
  ChopApp c;
  c.drop(c.bursts);
  ASSERT_EQ(c.settle(), kChopReady);
  cut_takes(&c->chop, c->sliders);
  chop_view_text(&c->chop, &t);
  EXPECT_STREQ(t.headline, "");
  EXPECT_STREQ(t.file_name, "field bursts.wav");
  EXPECT_STREQ(t.figures, "3 TAKES   KEPT 5.9S OF 8.0S");

  // A file shorter than a block fails in the view and on the foot.
  const std::string tiny = c.home.file("tiny.wav");
  write_wav_file(tiny, 3, 2, 44100, 32, std::vector<double>(80, 0.5));
  c.drop(tiny);
  ASSERT_EQ(c.settle(), kChopFailed);
  chop_view_text(&c->chop, &t);
  EXPECT_STREQ(t.headline, "TOO SHORT TO CHOP");
  EXPECT_STREQ(t.file_name, "tiny.wav");
  EXPECT_EQ(status_text(), "TOO SHORT TO CHOP");

  // A dropped file of another kind is refused and changes nothing.
  status_clear();
  c.drop(c.home.file("notes.txt"));
  EXPECT_EQ(status_text(), "TOLM CAN'T READ THAT KIND OF FILE");
  EXPECT_EQ(std::string(c->chop.source_path), tiny);
  EXPECT_EQ(chop_state(&c->chop), kChopFailed);
}

TEST(ChopView, SlidersReCutTheFileOnTheNextFrame) {
  ChopApp c;
  Offscreen o;
  ASSERT_TRUE(o.open(960, 540));
  c.drop(c.bursts);
  ASSERT_EQ(c.settle(), kChopReady);
  const ChopJob& job = c->chop;
  frame(o, c);
  ASSERT_EQ(job.take_count, 3);
  const int serial = job.cut_serial;
  frame(o, c);
  EXPECT_EQ(job.cut_serial, serial);  // nothing moved: no new cut

  // Ten dB up: the 0.03 burst (-30.5 dB) falls under the line on the next frame.
  for (int i = 0; i < 10; ++i) c.key(kKeyUp);
  EXPECT_NEAR(c->settings.threshold_db, -24.0f, 1e-3);
  EXPECT_EQ(job.take_count, 3);
  frame(o, c);
  EXPECT_EQ(job.take_count, 2);

  // Look-back plays no part offline.
  const int before = job.cut_serial;
  c->sliders.look_back = 0.8f;
  apply_trigger_positions(c.get());
  frame(o, c);
  EXPECT_EQ(job.cut_serial, before);

  // Dragging the line in the chop view sets the threshold even with the trigger-EQ tab chosen: at
  // -40 dB all three bursts are over it again.
  c->settings.hud_mode = 1;
  const float hpf = c->settings.hpf_hz;
  const Rect s = c.a.l().scope;
  const float y = s.y + s.h - 0.1f * (s.h - 4.0f);  // sqrt(0.01) of the height
  c.click(s.x + 200.0f, y);
  EXPECT_NEAR(c->settings.threshold_db, -40.0f, 0.3f);
  EXPECT_EQ(c->settings.hpf_hz, hpf);
  frame(o, c);
  EXPECT_EQ(job.take_count, 3);

  // A hold of 421 ms: the 400-ms burst no longer opens a take.
  for (int i = 0; i < 15; ++i) c.key(kKeyRight, kModShift);
  EXPECT_NEAR(c->sliders.hold, 0.75f, 1e-4);
  frame(o, c);
  ASSERT_EQ(job.take_count, 2);
  EXPECT_EQ(job.takes[0].start, kBurstTakes[1][0]);

  // The wheel over the chop view moves the gate-out line, in any mode.
  c.a.wheel(s.x + 200.0f, s.y + 50.0f, 2.0f);
  EXPECT_NEAR(c->settings.exit_db, 2.0f, 1e-4);
}
