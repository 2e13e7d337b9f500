// The real program, end to end: each test starts its own Xvfb display and JACK dummy server, runs
// the program binary with a fresh HOME, types and clicks with xdotool, feeds sound through JACK,
// and checks what the program leaves behind: take files, session.json, tolm.ini, the log,
// screenshots and its exit code.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "app/foot/foot.h"
#include "app/scope/scope_control.h"
#include "app/shell/header.h"
#include "tests/app/e2e_support.h"
#include "tests/support/jack.h"
#include "tests/support/temp_dir.h"

namespace {

constexpr int kRate = 48000;
constexpr int64_t kLead = kRate / 10;     // silence the feeder plays before each signal
constexpr int64_t kPreRoll = kRate / 2;   // the default pre-roll, 0.5 s
constexpr int64_t kPostRoll = kRate;      // the default post-roll, 1 s
constexpr double kPi = 3.141592653589793;

std::vector<float> tone(double seconds, double hz, double amplitude) {
  const int64_t n = int64_t(seconds * kRate);
  std::vector<float> s(size_t(2 * n));
  for (int64_t i = 0; i < n; ++i) s[size_t(2 * i)] = s[size_t(2 * i + 1)] = float(amplitude * std::sin(2 * kPi * hz * double(i) / kRate));
  return s;
}

// A bowed-string-like tone: 220 Hz with its first twelve harmonics, a slow swell and a little
// noise, so the spectrum views have something to show.
std::vector<float> chord(double seconds, double amplitude) {
  const int64_t n = int64_t(seconds * kRate);
  std::vector<float> s(size_t(2 * n));
  uint32_t noise = 12345;
  for (int64_t i = 0; i < n; ++i) {
    const double t = double(i) / kRate;
    double v = 0;
    for (int k = 1; k <= 12; ++k) v += std::sin(2 * kPi * 220.0 * k * t) / k;
    noise = noise * 1664525u + 1013904223u;
    v = 0.5 * v + 0.05 * (double(noise >> 8) / double(1 << 24) - 0.5);
    const float x = float(amplitude * std::sin(kPi * t / seconds) * v);
    s[size_t(2 * i)] = s[size_t(2 * i + 1)] = x;
  }
  return s;
}

std::vector<float> quiet(double seconds) { return std::vector<float>(size_t(2 * int64_t(seconds * kRate)), 0.0f); }

std::vector<float> operator+(std::vector<float> a, const std::vector<float>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// Frames the detector's envelope takes to fall from `amplitude` under the default threshold line
// (-34 dB): it releases by 0.9995 a frame.
int64_t release_frames(double amplitude) {
  return int64_t(std::ceil(std::log(std::pow(10.0, -34.0 / 20.0) / amplitude) / std::log(0.9995)));
}

// The record gain's fade-out after the gate closes: 0.9985 a frame down to 0.0005.

int64_t fade_out_frames() { return int64_t(std::ceil(std::log(0.0005) / std::log(0.9985))); }

int peak(const TakeFileData& t, int64_t from, int64_t to) {
  int m = 0;
  for (int64_t i = std::max<int64_t>(from, 0) * 2; i < std::min(to, t.frames()) * 2; ++i)
    m = std::max(m, std::abs(int(t.samples[size_t(i)])));
  return m;
}

bool file_exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

class E2e : public ProgramTest {
 protected:
  void connect_feeder() { ::connect_feeder(&feeder_); }

  // The one session folder, once it exists ("date/time"), or empty.
  std::string wait_session(int timeout_ms = 5000) {
    std::string rel;
    wait_until(
        [&] {
          const auto f = program_.session_folders();
          if (f.size() == 1) rel = f[0];
          return f.size() == 1;
        },
        timeout_ms);
    return rel;
  }

  std::string folder(const std::string& rel) const { return program_.write_folder() + "/" + rel; }

  // Waits until the feeder has played past frame `frame` of its lead and signal.
  bool wait_played(int64_t frame, int timeout_ms) {
    return wait_until([&] { return feeder_.finished() || feeder_.position.load() >= frame; }, timeout_ms, 5);
  }

  // Complete take files in a folder (the header's data size matches the file).
  std::vector<std::string> takes_in(const std::string& dir) {
    std::vector<std::string> done;
    for (const std::string& name : folder_entries(dir, ".wav")) {
      TakeFileData t;
      if (read_take_file(dir + "/" + name, &t) && t.frames() > 0) done.push_back(name);
    }
    return done;
  }

  bool screenshot(Bitmap* out) { return take_screenshot(program_, out); }

  // The layout the program draws for a window of w x h with the side panel shown.
  static MainLayout layout_for(int w, int h) {
    MainLayout l;
    layout_main(w, h, side_panel_width(w, 1.0f), &l);
    return l;
  }

  void click_strip(int button, int w = 960, int h = 540) {
    const Rect r = strip_button_rect(layout_for(w, h), button, 1.0f);
    ASSERT_TRUE(desk_.click(int(r.x + r.w / 2), int(r.y + r.h / 2)));
  }

  // Makes the session folder a plain file, so no take can be written into it.
  void block_folder(const std::string& dir) {
    ASSERT_EQ(std::system(("rm -rf '" + dir + "' && touch '" + dir + "'").c_str()), 0);
  }

  // Pixels of the foot's state pill near a colour.
  static int pill_pixels_near(const Bitmap& b, uint32_t rgb, int tolerance) {
    int n = 0;
    const int top = b.height - kFootH + 3;
    for (int y = top; y < top + 13 && y < b.height; ++y)
      for (int x = 10; x < 110 && x < b.width; ++x) {
        const uint32_t p = b.at(x, y);
        const int dr = int((p >> 16) & 0xFF) - int((rgb >> 16) & 0xFF);
        const int dg = int((p >> 8) & 0xFF) - int((rgb >> 8) & 0xFF);
        const int db = int(p & 0xFF) - int(rgb & 0xFF);
        if (std::abs(dr) <= tolerance && std::abs(dg) <= tolerance && std::abs(db) <= tolerance) ++n;
      }
    return n;
  }

  JackFeeder feeder_;
};

constexpr uint32_t kListeningRgb = 0xF27A1F;  // the LISTENING word, 0xFF1F7AF2 as 0xAABBGGRR
constexpr uint32_t kIdleRgb = 0x7A7C80;       // the IDLE word, 0xFF807C7A

TEST_F(E2e, NoInputDeviceShowsTheBoxAndExitsWithOneBeforeAnyWindow) {
  // No JACK server under this name and no sound card here: nothing can be opened.
  const std::string nobody = "JACK_DEFAULT_SERVER=tolm_e2e_nobody_" + std::to_string(getpid());
  ASSERT_TRUE(program_.start(TOLM_PROGRAM, root_.path, display_.name, {nobody, "JACK_NO_START_SERVER=1"}));
  ASSERT_TRUE(desk_.find("^tolm$", 60000)) << program_.log();  // the message box
  EXPECT_FALSE(desk_.exists("^tolm ZEPHA")) << "the main window appeared";
  EXPECT_TRUE(program_.running());  // the box holds the program until it is dismissed
  ASSERT_TRUE(desk_.key("Return"));
  ASSERT_TRUE(program_.wait_exit(15000));
  EXPECT_EQ(program_.exit_status, 1) << read_text(program_.output);
  const std::string log = program_.log();
  EXPECT_NE(log.find("no input device - nothing to listen to"), std::string::npos) << log;
  EXPECT_NE(log.find("start-up: no microphone opens - exiting"), std::string::npos) << log;
  EXPECT_EQ(log.find("ui: renderer"), std::string::npos) << "a window was made: " << log;
  EXPECT_FALSE(file_exists(program_.settings_file()));  // start-up failed before anything was saved
}

TEST_F(E2e, ArmedSoundsBecomeTakeFilesAndStopSealsTheSession) {
  ASSERT_NO_FATAL_FAILURE(start_recorder());
  ASSERT_NO_FATAL_FAILURE(connect_feeder());
  ASSERT_TRUE(desk_.key("space"));
  const std::string rel = wait_session();
  ASSERT_FALSE(rel.empty()) << program_.log();
  const std::string dir = folder(rel);
  EXPECT_TRUE(program_.wait_logged("LISTENING - SOUND OPENS THE GATE", 5000));
  const std::string empty_index = read_text(dir + "/session.json");
  EXPECT_NE(empty_index.find("\"takes\": [\n  ]"), std::string::npos) << empty_index;

  // Two sounds, 3 s apart.
  const int64_t first_end = kLead + kRate;              // 1 s at 0.5
  const int64_t second_start = first_end + 3 * kRate;
  const int64_t second_end = second_start + kRate * 8 / 10;  // 0.8 s at 0.3
  feeder_.play(tone(1.0, 440, 0.5) + quiet(3.0) + tone(0.8, 660, 0.3) + quiet(3.0), kLead);

  // Each take seals once the post-roll (after the pre-roll's delay) has passed in quiet and the
  // record gain has faded out; its file must follow within about a second.
  const int64_t first_seal = first_end + release_frames(0.5) + kPreRoll + kPostRoll + fade_out_frames();
  ASSERT_TRUE(wait_played(first_seal, 15000));
  ASSERT_TRUE(wait_until([&] { return takes_in(dir).size() == 1; }, 10000, 5)) << program_.log();
  const int64_t second_seal = second_end + release_frames(0.3) + kPreRoll + kPostRoll + fade_out_frames();
  ASSERT_TRUE(wait_played(second_seal, 15000));
  ASSERT_TRUE(wait_until([&] { return takes_in(dir).size() == 2; }, 10000, 5)) << program_.log();

  // The first take: the pre-roll's silence, the tone sample for sample at full gain, the quiet tail.
  const std::vector<std::string> names = takes_in(dir);
  TakeFileData t;
  ASSERT_TRUE(read_take_file(dir + "/" + names[0], &t));
  EXPECT_EQ(t.channels, 2);
  EXPECT_EQ(t.rate, kRate);
  EXPECT_EQ(t.bits, 16);
  const int64_t expected = kPreRoll + kRate + release_frames(0.5) + kPostRoll + fade_out_frames();
  // A period the server dropped (an overrun, which the program logs) shortens a take by a period.
  EXPECT_NEAR(double(t.frames()), double(expected), 0.01 * kRate + 256.0 * double(overruns_logged(program_.log())));
  EXPECT_LE(peak(t, 0, kPreRoll - kRate / 20), 1);
  EXPECT_NEAR(peak(t, kPreRoll + kRate / 10, kPreRoll + kRate * 9 / 10), 16384, 40);
  EXPECT_LE(peak(t, kPreRoll + kRate + kRate / 20, t.frames()), 1);
  TakeFileData u;
  ASSERT_TRUE(read_take_file(dir + "/" + names[1], &u));
  EXPECT_NEAR(peak(u, kPreRoll + kRate / 10, kPreRoll + kRate * 7 / 10), 9830, 40);

  ASSERT_TRUE(desk_.key("space"));
  ASSERT_TRUE(program_.wait_logged("SESSION ENDED - 2 TAKES -> " + rel, 5000)) << program_.log();
  const std::string index = read_text(dir + "/session.json");
  for (const std::string& name : names) EXPECT_NE(index.find("\"file\": \"" + name + "\""), std::string::npos) << index;
  EXPECT_EQ(folder_entries(dir), (std::vector<std::string>{"session.json", names[0], names[1]}));
}

TEST_F(E2e, ArmAndStopInSilenceWithTheButtonLeavesNoFolder) {
  ASSERT_NO_FATAL_FAILURE(start_recorder());
  ASSERT_NO_FATAL_FAILURE(click_strip(kBtnArm));
  const std::string rel = wait_session();
  ASSERT_FALSE(rel.empty()) << program_.log();
  EXPECT_TRUE(program_.wait_logged("LISTENING - SOUND OPENS THE GATE", 5000));
  ASSERT_NO_FATAL_FAILURE(click_strip(kBtnArm));  // now STOP
  ASSERT_TRUE(program_.wait_logged("NOTHING HEARD - EMPTY SESSION REMOVED", 5000)) << program_.log();
  EXPECT_TRUE(program_.session_folders().empty());
  EXPECT_TRUE(folder_entries(program_.write_folder()).empty());  // the date folder went with it
}

TEST_F(E2e, HeldGateRecordsSilenceFromThePreRoll) {
  // A pre-roll of 1 s and a faint hum far under the line, so the take shows what it holds.
  ASSERT_NO_FATAL_FAILURE(start_recorder("pre_roll_s = 1.000\n"));
  ASSERT_NO_FATAL_FAILURE(connect_feeder());
  feeder_.play(tone(60.0, 100, 0.004), kLead);
  ASSERT_TRUE(desk_.key("space"));
  const std::string rel = wait_session();
  ASSERT_FALSE(rel.empty());
  // The delay line fills with hum: a second and a half of it has reached the program.
  ASSERT_TRUE(wait_played(kLead + kRate * 3 / 2, 10000));
  EXPECT_TRUE(folder_entries(folder(rel), ".wav").empty());  // the hum alone opens nothing
  ASSERT_TRUE(desk_.key_down("g"));
  const int64_t down = feeder_.position.load();
  ASSERT_TRUE(wait_played(down + kRate, 10000));  // held for a second of the program's audio
  ASSERT_TRUE(desk_.key_up("g"));
  const double held = double(feeder_.position.load() - down) / kRate;
  ASSERT_TRUE(wait_until([&] { return takes_in(folder(rel)).size() == 1; }, 8000)) << program_.log();
  TakeFileData t;
  ASSERT_TRUE(read_take_file(folder(rel) + "/" + takes_in(folder(rel))[0], &t));
  // The take reaches back a full pre-roll before the key went down and runs a post-roll after.
  EXPECT_NEAR(double(t.frames()) / kRate, 1.0 + held + 1.0, 0.3);
  // What lay before the press is in it: the hum (0.004 = 131 LSB) right after the fade-in.
  EXPECT_GE(peak(t, kRate / 10, kRate / 2), 100);
  EXPECT_LE(peak(t, 0, t.frames()), 140);
}

TEST_F(E2e, CullRemovesTheNewestTakeFile) {
  ASSERT_NO_FATAL_FAILURE(start_recorder());
  ASSERT_NO_FATAL_FAILURE(connect_feeder());
  ASSERT_TRUE(desk_.key("space"));
  const std::string rel = wait_session();
  ASSERT_FALSE(rel.empty());
  const std::string dir = folder(rel);
  feeder_.play(tone(0.6, 500, 0.4) + quiet(3.0) + tone(0.6, 700, 0.4) + quiet(0.2), kLead);
  ASSERT_TRUE(wait_until([&] { return takes_in(dir).size() == 2; }, 15000)) << program_.log();
  const std::vector<std::string> names = takes_in(dir);
  ASSERT_TRUE(desk_.key("x"));
  ASSERT_TRUE(program_.wait_logged("LAST TAKE CULLED", 3000));
  ASSERT_TRUE(wait_until([&] { return !file_exists(dir + "/" + names[1]); }, 3000)) << program_.log();
  EXPECT_TRUE(file_exists(dir + "/" + names[0]));
  EXPECT_TRUE(program_.wait_logged("culled " + names[1] + " from disk", 3000));  // logged just after the delete
  ASSERT_TRUE(desk_.key("space"));
  ASSERT_TRUE(program_.wait_logged("SESSION ENDED - 1 TAKE -> " + rel, 5000)) << program_.log();
  const std::string index = read_text(dir + "/session.json");
  EXPECT_NE(index.find(names[0]), std::string::npos) << index;
  EXPECT_EQ(index.find(names[1]), std::string::npos) << index;
}

TEST_F(E2e, RequestFilesTakeScreenshotsAndOpenFiles) {
  ASSERT_NO_FATAL_FAILURE(start_recorder());
  ASSERT_NO_FATAL_FAILURE(connect_feeder());
  Bitmap idle;
  ASSERT_TRUE(screenshot(&idle)) << program_.log();
  EXPECT_EQ(idle.width, 960);
  EXPECT_EQ(idle.height, 540);
  EXPECT_GT(pill_pixels_near(idle, kIdleRgb, 30), 5);
  EXPECT_EQ(pill_pixels_near(idle, kListeningRgb, 40), 0);

  ASSERT_TRUE(desk_.key("space"));
  ASSERT_TRUE(program_.wait_logged("LISTENING - SOUND OPENS THE GATE", 5000));
  Bitmap listening;
  ASSERT_TRUE(screenshot(&listening));
  EXPECT_GT(pill_pixels_near(listening, kListeningRgb, 40), 5);

  // While recording, at 960 x 540 and at 1920 x 1080: the pictures the look is judged by.
  auto record_and_shoot = [&](const char* name, int w, int h) {
    feeder_.play(chord(1.5, 0.4) + tone(0.7, 220, 0.3) + quiet(0.4) + tone(2.5, 330, 0.45) + quiet(1.0), kLead);
    ASSERT_TRUE(wait_played(kLead + kRate * 38 / 10, 10000));
    Bitmap shot;
    ASSERT_TRUE(screenshot(&shot));
    EXPECT_EQ(shot.width, w);
    EXPECT_EQ(shot.height, h);
    // Recording: the pill's fill turns red under the light word.
    int red = 0;
    for (int y = h - kFootH + 4; y < h - kFootH + 15; ++y)
      for (int x = 11; x < 60; ++x) {
        const uint32_t p = shot.at(x, y);
        red += int((p >> 16) & 0xFF) > int((p >> 8) & 0xFF) + 40;
      }
    EXPECT_GT(red, 50) << name;
    keep_look(program_, name);
    ASSERT_TRUE(wait_until([&] { return feeder_.finished(); }, 10000));
  };
  ASSERT_NO_FATAL_FAILURE(record_and_shoot("look-960x540.png", 960, 540));
  ASSERT_TRUE(desk_.resize(1920, 1080));
  ASSERT_TRUE(wait_until([&] { Bitmap b; return screenshot(&b) && b.width == 1920 && b.height == 1080; }, 10000));
  ASSERT_NO_FATAL_FAILURE(record_and_shoot("look-1920x1080.png", 1920, 1080));

  // The trigger-EQ view with its three bands switched on from the side panel's sliders, then the
  // configuration view, each while sound comes in.
  const MainLayout big = layout_for(1920, 1080);
  ASSERT_TRUE(desk_.key("Tab"));
  // High-pass 159 Hz, low-pass 2.5 kHz, peak 889 Hz. (The grown window runs past the right edge of
  // the virtual screen, where the pointer cannot go: the clicks stay left of it.)
  const float at[3] = {0.3f, 0.7f, 0.55f};
  for (int row = 0; row < 3; ++row) {
    const Rect t = side_track_rect(big.side, big.scope, row);
    ASSERT_TRUE(desk_.click(int(t.x + at[row] * t.w), int(t.y + t.h / 2)));
  }
  // The bands reach tolm.ini: 20 x 1000^f Hz for the fraction clicked.
  const std::string ini = program_.settings_file();
  auto near = [&](const char* key, double hz) {
    const double v = std::atof(settings_value(ini, key).c_str());
    return std::fabs(std::log10(v / hz)) < 0.01;
  };
  ASSERT_TRUE(wait_until([&] { return near("hpf_hz", 158.9) && near("lpf_hz", 2524.0) && near("peak_hz", 889.2); },
                         3000))
      << read_text(ini);
  EXPECT_EQ(settings_value(ini, "hud_mode"), "1");
  ASSERT_NO_FATAL_FAILURE(record_and_shoot("look-eq-1920x1080.png", 1920, 1080));
  ASSERT_TRUE(desk_.key("Tab"));
  ASSERT_NO_FATAL_FAILURE(record_and_shoot("look-cfg-1920x1080.png", 1920, 1080));

  // The open request: the first line, trailing blanks stripped; the file is gone afterwards.
  write_text(program_.tmp + "/tolm_open_request", "/nowhere/notes.txt  \r\nsecond line\n");
  ASSERT_TRUE(program_.wait_logged("TOLM CAN'T READ THAT KIND OF FILE", 5000)) << program_.log();
  EXPECT_FALSE(file_exists(program_.tmp + "/tolm_open_request"));
  write_text(program_.tmp + "/tolm_open_request", "/nowhere/field take.flac\t \n");
  ASSERT_TRUE(program_.wait_logged("chop: reading /nowhere/field take.flac\n", 5000)) << program_.log();
  EXPECT_FALSE(file_exists(program_.tmp + "/tolm_open_request"));
  // No such file: the chop view says so.
  ASSERT_TRUE(program_.wait_logged("chop: couldn't read /nowhere/field take.flac", 5000)) << program_.log();
}

TEST_F(E2e, QuitWithUnwritableTakesIsRefusedOnceThenSaves) {
  ASSERT_NO_FATAL_FAILURE(start_recorder());
  ASSERT_NO_FATAL_FAILURE(connect_feeder());
  ASSERT_TRUE(desk_.key("space"));
  const std::string rel = wait_session();
  ASSERT_FALSE(rel.empty());
  const std::string dir = folder(rel);
  block_folder(dir);
  feeder_.play(tone(0.8, 440, 0.5) + quiet(0.2), kLead);
  ASSERT_TRUE(program_.wait_logged("DISK WRITE FAILED - HOLDING IN RAM", 10000)) << program_.log();

  program_.signal(SIGTERM);  // the desktop's quit
  ASSERT_TRUE(program_.wait_logged("1 TAKE NOT SAVED - DISK ERROR - QUIT AGAIN TO DISCARD", 10000)) << program_.log();
  EXPECT_TRUE(program_.logged("quit refused: 1 take not on disk"));
  ASSERT_TRUE(program_.wait_logged("quit: the refusal is on screen", 10000)) << program_.log();
  EXPECT_TRUE(program_.running());

  // The obstacle goes; the window's close button quits again and this time everything is written.
  ASSERT_EQ(std::remove(dir.c_str()), 0);
  const Rect close = header_item_rect(960, HeaderItem::kClose);
  ASSERT_TRUE(desk_.click(int(close.x + close.w / 2), int(close.y + close.h / 2)));
  ASSERT_TRUE(program_.wait_exit(15000)) << program_.log();
  EXPECT_EQ(program_.exit_status, 0) << read_text(program_.output);
  EXPECT_TRUE(program_.logged("SAVING 1 TAKE..."));
  const std::vector<std::string> takes = takes_in(dir);
  ASSERT_EQ(takes.size(), 1u) << program_.log();
  EXPECT_NE(read_text(dir + "/session.json").find("\"file\": \"" + takes[0] + "\""), std::string::npos);
  EXPECT_FALSE(program_.logged("discarded"));
}

TEST_F(E2e, SecondQuitDiscardsUnwritableTakes) {
  ASSERT_NO_FATAL_FAILURE(start_recorder());
  ASSERT_NO_FATAL_FAILURE(connect_feeder());
  ASSERT_TRUE(desk_.key("space"));
  const std::string rel = wait_session();
  ASSERT_FALSE(rel.empty());
  block_folder(folder(rel));
  feeder_.play(tone(0.8, 440, 0.5) + quiet(0.2), kLead);
  ASSERT_TRUE(program_.wait_logged("DISK WRITE FAILED - HOLDING IN RAM", 10000)) << program_.log();
  program_.signal(SIGTERM);
  ASSERT_TRUE(program_.wait_logged("quit refused: 1 take not on disk", 10000)) << program_.log();
  // Only a quit asked for once the refusal is on screen counts as the second.
  ASSERT_TRUE(program_.wait_logged("quit: the refusal is on screen", 10000)) << program_.log();
  program_.signal(SIGTERM);
  ASSERT_TRUE(program_.wait_exit(15000)) << program_.log();
  EXPECT_EQ(program_.exit_status, 0) << read_text(program_.output);
  EXPECT_TRUE(program_.logged("quit: 1 take discarded (disk error, second quit)"));
}

TEST_F(E2e, ThresholdKeysReachTheSettingsFileWithinASecond) {
  // Arming was learnt long ago: the arming below changes nothing in the settings.
  ASSERT_NO_FATAL_FAILURE(start_recorder("train_done = 1\n"));
  const std::string ini = program_.settings_file();
  ASSERT_TRUE(desk_.key("Up Up Up"));
  ASSERT_TRUE(wait_until([&] { return settings_value(ini, "threshold_db") == "-31.00"; }, 3000))
      << read_text(ini);
  ASSERT_TRUE(desk_.key("shift+Down"));
  ASSERT_TRUE(wait_until([&] { return settings_value(ini, "threshold_db") == "-36.00"; }, 3000)) << read_text(ini);
  ASSERT_TRUE(desk_.key("Right Right"));
  ASSERT_TRUE(wait_until([&] { return settings_value(ini, "hold_norm") == "0.0200"; }, 3000)) << read_text(ini);

  // Nothing changes: nothing is written. The window's title, set by the same once-a-second
  // check, counts the checks: recording with the gate latched, its tape clock moves each time.
  struct stat before, after;
  ASSERT_EQ(stat(ini.c_str(), &before), 0);
  ASSERT_TRUE(desk_.key("space l"));
  std::string title = desk_.name();
  for (int changes = 0; changes < 2; ++changes) {
    ASSERT_TRUE(wait_until([&] { return desk_.name() != title; }, 5000)) << title;
    title = desk_.name();
  }
  ASSERT_EQ(stat(ini.c_str(), &after), 0);
  EXPECT_EQ(before.st_mtim.tv_nsec, after.st_mtim.tv_nsec);
  EXPECT_EQ(before.st_mtim.tv_sec, after.st_mtim.tv_sec);
}

TEST_F(E2e, AudioDownAndBackFollowTheServer) {
  ASSERT_NO_FATAL_FAILURE(start_recorder());
  ASSERT_TRUE(desk_.key("space"));
  ASSERT_TRUE(program_.wait_logged("LISTENING - SOUND OPENS THE GATE", 5000));
  jack_.stop();
  ASSERT_TRUE(program_.wait_logged("AUDIO DOWN - CHECK INPUT DEVICE", 5000)) << program_.log();
  EXPECT_TRUE(program_.logged("audio down: no frames for 500 ms on system"));
  EXPECT_TRUE(wait_until([&] { return desk_.name().find("tolm ZEPHA - AUDIO DOWN - ") == 0; }, 3000)) << desk_.name();
  ASSERT_TRUE(jack_.start(2));  // the same server name comes back
  ASSERT_TRUE(program_.wait_logged("AUDIO BACK - system - LISTENING", 15000)) << program_.log();
  EXPECT_TRUE(wait_until([&] { return desk_.name().find("tolm ZEPHA - LISTENING - ") == 0; }, 3000)) << desk_.name();
}

}  // namespace
