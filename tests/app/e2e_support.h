// End-to-end test support: an Xvfb display of the test's own, the real program started as a user
// would (its own HOME, request folder and JACK server), xdotool to type and click, and readers for
// what the program leaves on disk (log, settings, session folders, screenshots).
#pragma once
#include <gtest/gtest.h>
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "tests/support/jack.h"
#include "tests/support/temp_dir.h"

// Runs argv (searched on PATH) with DISPLAY set, waits up to timeout_ms, returns its exit status
// (-1 when it could not run or timed out) and its standard output.
int run_command(const std::vector<std::string>& argv, const std::string& display, std::string* out = nullptr,
                int timeout_ms = 15000);

// Polls until pred() holds or timeout_ms passes.
bool wait_until(const std::function<bool()>& pred, int timeout_ms, int step_ms = 20);

struct XDisplay {
  pid_t pid = -1;
  std::string name;  // ":N"
  std::string log;   // what Xvfb said, for failure messages
  // Starts Xvfb on a free display (it picks the number), no key auto-repeat, no TCP, no reset,
  // its output kept in log_path; returns once a client has connected to it. false (with the
  // reason in log) when it did not come up within 15 s.
  bool start(const std::string& log_path, int width = 2560, int height = 1440);
  void stop();
  ~XDisplay() { stop(); }
};

struct ProgramRun {
  pid_t pid = -1;
  std::string home;      // HOME of the program
  std::string tmp;       // its TMPDIR: the request files and the screenshot live here
  std::string output;    // its stdout and stderr
  int exit_status = -2;  // once it ended: the exit code, or 128 + signal

  // Starts the program binary in `root` with HOME and TMPDIR below it, on `display`, with the
  // software renderer, plus `extra_env` ("NAME=value") and the command line `args`. The JACK
  // server is whatever JACK_DEFAULT_SERVER says.
  bool start(const std::string& binary, const std::string& root, const std::string& display,
             const std::vector<std::string>& extra_env = {}, const std::vector<std::string>& args = {});
  bool running();
  // True once the program has ended, without reaping it (for waits that must stop early).
  bool ended() const;
  // Waits for the exit; true when it ended within timeout_ms (exit_status set).
  bool wait_exit(int timeout_ms);
  void signal(int sig);
  void stop();  // SIGKILL and reap, when still running
  ~ProgramRun() { stop(); }

  std::string log() const;  // ~/.lumaro/tolm.log
  bool logged(const std::string& text) const;
  bool wait_logged(const std::string& text, int timeout_ms) const;
  int log_count(const std::string& text) const;  // how many times text stands in the log
  std::string settings_file() const;  // ~/.config/Lumaro/tolm.ini
  std::string write_folder() const;   // ~/Music/tolm
  // Session folders below the write folder ("date/time"), sorted.
  std::vector<std::string> session_folders() const;
};

// xdotool against one window on one display.
struct Desktop {
  std::string display;
  std::string window;  // window id
  // Waits for a visible window whose name matches the pattern (xdotool regex); gives up early
  // when give_up() says so (the program that would show it has ended).
  bool find(const std::string& name_pattern, int timeout_ms, const std::function<bool()>& give_up = nullptr);
  bool exists(const std::string& name_pattern) const;
  std::string name() const;
  bool focus() const;
  bool key(const std::string& keys) const;      // XTEST keys to the focused window
  bool key_down(const std::string& key) const;
  bool key_up(const std::string& key) const;
  bool click(int x, int y) const;               // window-relative
  bool move_pointer(int x, int y) const;
  bool resize(int w, int h) const;
};

// A 32-bit screenshot as the program saves it, top row first.
struct Bitmap {
  int width = 0, height = 0;
  std::vector<uint32_t> argb;
  uint32_t at(int x, int y) const { return argb[size_t(y) * size_t(width) + size_t(x)]; }
};
bool read_bmp(const std::string& path, Bitmap* out);
// Asks the program for a screenshot through its request file and reads it; false when none came
// within 10 s, or when the program left the request file behind (it deletes it on sight).
bool take_screenshot(const ProgramRun& program, Bitmap* out);
// The folder the pictures of the look are kept in (TOLM_LOOK_DIR, else the build's), made when missing.
std::string look_dir();
// Keeps the program's last screenshot in the look folder as a PNG of that name.
void keep_look(const ProgramRun& program, const std::string& png_name);

// Interleaved 16-bit PCM stereo samples of a take file and its header facts.
struct TakeFileData {
  int channels = 0, rate = 0, bits = 0;
  std::vector<int16_t> samples;
  int64_t frames() const { return channels ? int64_t(samples.size()) / channels : 0; }
};
bool read_take_file(const std::string& path, TakeFileData* out);
// Writes such a file (16-bit PCM, the channels and rate given); true when it was written whole.
bool write_take_file(const std::string& path, const TakeFileData& t);

// Names in a folder (sorted), optionally only those ending in suffix.
std::vector<std::string> folder_entries(const std::string& path, const std::string& suffix = "");

// The amplitude of one frequency in a channel of a take: a quantile (the median unless asked) over
// 100 ms Hann-windowed blocks of the take's middle half, so a period the server dropped costs one
// block, not the phase of the whole.
double tone_level(const TakeFileData& t, int channel, double hz, double quantile = 0.5);

// A key's value in a tolm.ini ("" when the key is not there).
std::string settings_value(const std::string& ini, const std::string& key);
// Feeds the program's first input from a JACK client of the test's own (its first channel); the
// rig's default mix puts it on both sides at unity.
void connect_feeder(JackFeeder* feeder);

// A test of the real program: a display of its own, a JACK server of its own, a fresh HOME.
class ProgramTest : public ::testing::Test {
 protected:
  void SetUp() override;
  // Every run ends the way a user ends it: the quit saves what is pending and the program exits
  // with 0 and no sanitizer report.
  void TearDown() override;
  // The JACK server, then the program on it (tolm.ini written first when ini is given, extra_env
  // added to its environment), its main window found and its engine started.
  void start_recorder(const std::string& ini = "", const std::vector<std::string>& extra_env = {});

  TempDir root_;
  XDisplay display_;
  JackServer jack_;
  ProgramRun program_;
  Desktop desk_;
};

// The overruns the program has logged so far ("audio: N overruns in all ...").
int64_t overruns_logged(const std::string& log);
