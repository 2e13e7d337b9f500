#include "tests/app/e2e_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "tests/support/temp_dir.h"

namespace {

int64_t now_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void sleep_for_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

std::vector<char*> c_argv(const std::vector<std::string>& argv) {
  std::vector<char*> v;
  for (const std::string& a : argv) v.push_back(const_cast<char*>(a.c_str()));
  v.push_back(nullptr);
  return v;
}

// The test's environment with some names set and some removed, prepared before fork: the child of
// a threaded process may only make async-signal-safe calls before exec.
std::vector<std::string> environment_with(const std::vector<std::string>& set, const std::vector<std::string>& unset) {
  auto name_of = [](const std::string& entry) { return entry.substr(0, entry.find('=')); };
  std::vector<std::string> out;
  for (char** e = environ; *e; ++e) {
    const std::string entry = *e;
    const std::string name = name_of(entry);
    bool drop = std::find(unset.begin(), unset.end(), name) != unset.end();
    for (const std::string& s : set) drop = drop || name_of(s) == name;
    if (!drop) out.push_back(entry);
  }
  // A later setting of the same name wins.
  std::vector<std::string> names;
  for (auto it = set.rbegin(); it != set.rend(); ++it) {
    if (std::find(names.begin(), names.end(), name_of(*it)) != names.end()) continue;
    names.push_back(name_of(*it));
    out.push_back(*it);
  }
  return out;
}

std::string file_text(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

bool is_directory(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

uint32_t u32(const std::string& b, size_t at) {
  return uint32_t(uint8_t(b[at])) | uint32_t(uint8_t(b[at + 1])) << 8 | uint32_t(uint8_t(b[at + 2])) << 16 |
         uint32_t(uint8_t(b[at + 3])) << 24;
}
uint16_t u16(const std::string& b, size_t at) { return uint16_t(uint8_t(b[at]) | uint8_t(b[at + 1]) << 8); }

// The channel of a pixel under a bit mask, scaled to 0..255.
uint32_t channel(uint32_t pixel, uint32_t mask) {
  if (!mask) return 0xFF;
  int shift = 0;
  while (!((mask >> shift) & 1)) ++shift;
  const uint32_t max = mask >> shift;
  return ((pixel & mask) >> shift) * 255 / max;
}

}  // namespace

int run_command(const std::vector<std::string>& argv, const std::string& display, std::string* out, int timeout_ms) {
  std::vector<std::string> env = environment_with({"DISPLAY=" + display}, {});
  std::vector<char*> envp = c_argv(env);
  std::vector<char*> v = c_argv(argv);
  int fds[2];
  if (pipe(fds) != 0) return -1;
  const pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    close(fds[0]);
    dup2(fds[1], 1);
    const int devnull = open("/dev/null", O_WRONLY);
    if (devnull >= 0) dup2(devnull, 2);
    execvpe(v[0], v.data(), envp.data());
    _exit(127);
  }
  close(fds[1]);
  std::string text;
  const int64_t deadline = now_ms() + timeout_ms;
  for (;;) {
    pollfd p{fds[0], POLLIN, 0};
    const int left = int(std::max<int64_t>(deadline - now_ms(), 0));
    if (poll(&p, 1, left) <= 0) break;
    char buf[4096];
    const ssize_t n = read(fds[0], buf, sizeof buf);
    if (n <= 0) break;
    text.append(buf, size_t(n));
  }
  close(fds[0]);
  int status = 0;
  while (now_ms() < deadline && waitpid(pid, &status, WNOHANG) == 0) sleep_for_ms(5);
  if (waitpid(pid, &status, WNOHANG) == 0) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return -1;
  }
  if (out) *out = text;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool wait_until(const std::function<bool()>& pred, int timeout_ms, int step_ms) {
  const int64_t deadline = now_ms() + timeout_ms;
  for (;;) {
    if (pred()) return true;
    if (now_ms() >= deadline) return false;
    sleep_for_ms(step_ms);
  }
}

bool XDisplay::start(const std::string& log_path, int width, int height) {
  log = log_path;
  int fds[2];
  if (pipe(fds) != 0) return false;
  const std::string fd = std::to_string(fds[1]);
  const std::string screen = std::to_string(width) + "x" + std::to_string(height) + "x24";
  pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGTERM);  // a crashed test leaves no display behind
    close(fds[0]);
    const int out = open(log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out >= 0) dup2(out, 1), dup2(out, 2);
    // -noreset: without it the server resets whenever its last client leaves (a short-lived
    // xdotool does), and a program connecting meanwhile is dropped ("x11 not available").
    execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", screen.c_str(), "-nolisten", "tcp", "-r",
           "-noreset", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(fds[1]);
  std::string number;
  const int64_t deadline = now_ms() + 15000;
  while (now_ms() < deadline) {
    pollfd p{fds[0], POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    char c;
    if (read(fds[0], &c, 1) != 1) break;
    if (c == '\n') break;
    number += c;
  }
  close(fds[0]);
  if (number.empty()) return false;
  name = ":" + number;
  // The number it printed is only its promise: a client must get in before the display is used.
  return wait_until([&] { return run_command({"xdpyinfo"}, name, nullptr, 5000) == 0; }, int(deadline - now_ms()), 50);
}

void XDisplay::stop() {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  int status = 0;
  waitpid(pid, &status, 0);
  pid = -1;
}

bool ProgramRun::start(const std::string& binary, const std::string& root, const std::string& display,
                       const std::vector<std::string>& extra_env, const std::vector<std::string>& args) {
  home = root + "/home";
  tmp = root + "/tmp";
  output = root + "/program.out";
  mkdir(home.c_str(), 0755);
  mkdir(tmp.c_str(), 0755);
  exit_status = -2;
  std::vector<std::string> set = {
      "HOME=" + home, "TMPDIR=" + tmp, "DISPLAY=" + display, "SDL_VIDEODRIVER=x11", "SDL_RENDER_DRIVER=software",
      // No GL-backed window surface: it loads Mesa, which leaks at exit under LeakSanitizer.
      "SDL_FRAMEBUFFER_ACCELERATION=0",
      std::string("LSAN_OPTIONS=suppressions=") + TOLM_LSAN_SUPPRESSIONS + ":print_suppressions=0"};
  set.insert(set.end(), extra_env.begin(), extra_env.end());
  std::vector<std::string> env = environment_with(set, {"XDG_CONFIG_HOME", "XDG_RUNTIME_DIR", "XDG_MUSIC_DIR"});
  std::vector<char*> envp = c_argv(env);
  std::vector<std::string> command = {binary};
  command.insert(command.end(), args.begin(), args.end());
  std::vector<char*> argv = c_argv(command);
  pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGTERM);  // nor a program
    const int fd = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd >= 0) dup2(fd, 1), dup2(fd, 2);
    if (chdir(root.c_str()) != 0) _exit(126);
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  return true;
}

bool ProgramRun::running() {
  if (pid <= 0) return false;
  int status = 0;
  const pid_t r = waitpid(pid, &status, WNOHANG);
  if (r == 0) return true;
  exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  pid = -1;
  return false;
}

bool ProgramRun::ended() const {
  if (pid <= 0) return true;
  siginfo_t info{};
  return waitid(P_PID, id_t(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid;
}

bool ProgramRun::wait_exit(int timeout_ms) {
  return wait_until([this] { return !running(); }, timeout_ms);
}

void ProgramRun::signal(int sig) {
  if (pid > 0) kill(pid, sig);
}

void ProgramRun::stop() {
  if (pid <= 0) return;
  kill(pid, SIGKILL);
  int status = 0;
  waitpid(pid, &status, 0);
  pid = -1;
}

std::string ProgramRun::log() const { return file_text(home + "/.lumaro/tolm.log"); }

bool ProgramRun::logged(const std::string& text) const { return log().find(text) != std::string::npos; }

bool ProgramRun::wait_logged(const std::string& text, int timeout_ms) const {
  // A program that has ended writes nothing more: one last look, then no more waiting.
  return wait_until([&] { return logged(text) || ended(); }, timeout_ms) && logged(text);
}

int ProgramRun::log_count(const std::string& text) const {
  const std::string text_of_log = log();
  int n = 0;
  for (size_t at = text_of_log.find(text); at != std::string::npos; at = text_of_log.find(text, at + 1)) ++n;
  return n;
}

std::string ProgramRun::settings_file() const { return home + "/.config/Lumaro/tolm.ini"; }

std::string ProgramRun::write_folder() const { return home + "/Music/tolm"; }

std::vector<std::string> ProgramRun::session_folders() const {
  std::vector<std::string> out;
  for (const std::string& date : folder_entries(write_folder()))
    for (const std::string& time : folder_entries(write_folder() + "/" + date))
      if (is_directory(write_folder() + "/" + date + "/" + time)) out.push_back(date + "/" + time);
  std::sort(out.begin(), out.end());
  return out;
}

bool Desktop::find(const std::string& pattern, int timeout_ms, const std::function<bool()>& give_up) {
  bool found = false;
  wait_until(
      [&] {
        if (give_up && give_up()) return true;
        std::string out;
        if (run_command({"xdotool", "search", "--onlyvisible", "--name", pattern}, display, &out) != 0) return false;
        std::istringstream in(out);
        std::string id;
        if (!(in >> id)) return false;
        window = id;
        found = true;
        return true;
      },
      timeout_ms, 100);
  return found;
}

bool Desktop::exists(const std::string& pattern) const {
  std::string out;
  return run_command({"xdotool", "search", "--name", pattern}, display, &out) == 0 && !out.empty();
}

std::string Desktop::name() const {
  std::string out;
  run_command({"xdotool", "getwindowname", window}, display, &out);
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return out;
}

bool Desktop::focus() const { return run_command({"xdotool", "windowfocus", "--sync", window}, display) == 0; }

bool Desktop::key(const std::string& keys) const {
  std::vector<std::string> argv = {"xdotool", "key"};
  std::istringstream in(keys);
  for (std::string k; in >> k;) argv.push_back(k);
  return focus() && run_command(argv, display) == 0;
}

bool Desktop::key_down(const std::string& k) const {
  return focus() && run_command({"xdotool", "keydown", k}, display) == 0;
}

bool Desktop::key_up(const std::string& k) const { return run_command({"xdotool", "keyup", k}, display) == 0; }

bool Desktop::click(int x, int y) const {
  return run_command({"xdotool", "mousemove", "--window", window, std::to_string(x), std::to_string(y), "click", "1"},
                     display) == 0;
}

bool Desktop::move_pointer(int x, int y) const {
  return run_command({"xdotool", "mousemove", "--window", window, std::to_string(x), std::to_string(y)}, display) == 0;
}

bool Desktop::resize(int w, int h) const {
  return run_command({"xdotool", "windowsize", window, std::to_string(w), std::to_string(h)}, display) == 0;
}

bool read_bmp(const std::string& path, Bitmap* out) {
  const std::string b = file_text(path);
  if (b.size() < 54 || b[0] != 'B' || b[1] != 'M') return false;
  const uint32_t offset = u32(b, 10);
  const uint32_t header = u32(b, 14);
  const int32_t width = int32_t(u32(b, 18));
  const int32_t height = int32_t(u32(b, 22));
  const uint16_t bpp = u16(b, 28);
  const uint32_t compression = u32(b, 30);
  if (bpp != 32 || width <= 0 || height == 0) return false;
  uint32_t rm = 0x00FF0000, gm = 0x0000FF00, bm = 0x000000FF, am = 0xFF000000;
  if (compression == 3 && header >= 52) rm = u32(b, 54), gm = u32(b, 58), bm = u32(b, 62);
  if (compression == 3 && header >= 56) am = u32(b, 66);
  const int rows = height < 0 ? -height : height;
  if (b.size() < size_t(offset) + size_t(width) * size_t(rows) * 4) return false;
  out->width = width;
  out->height = rows;
  out->argb.assign(size_t(width) * size_t(rows), 0);
  for (int y = 0; y < rows; ++y) {
    const int src_row = height < 0 ? y : rows - 1 - y;
    for (int x = 0; x < width; ++x) {
      const uint32_t p = u32(b, offset + (size_t(src_row) * size_t(width) + size_t(x)) * 4);
      out->argb[size_t(y) * size_t(width) + size_t(x)] =
          channel(p, am) << 24 | channel(p, rm) << 16 | channel(p, gm) << 8 | channel(p, bm);
    }
  }
  return true;
}

bool take_screenshot(const ProgramRun& program, Bitmap* out) {
  const std::string shot = program.tmp + "/tolm_screenshot.bmp";
  const std::string request = program.tmp + "/tolm_screenshot_request";
  std::remove(shot.c_str());
  const int before = program.log_count("screenshot -> ");
  write_text(request, "");
  if (!wait_until([&] { return program.log_count("screenshot -> ") > before; }, 10000)) return false;
  struct stat st;
  if (stat(request.c_str(), &st) == 0) return false;
  return read_bmp(shot, out);
}

std::string look_dir() {
  const char* env = getenv("TOLM_LOOK_DIR");
  const std::string dir = env && env[0] ? env : TOLM_LOOK_DIR;
  std::system(("mkdir -p '" + dir + "'").c_str());
  return dir;
}

void keep_look(const ProgramRun& program, const std::string& png_name) {
  std::system(("ffmpeg -loglevel error -y -i '" + program.tmp + "/tolm_screenshot.bmp' '" + look_dir() + "/" +
               png_name + "'")
                  .c_str());
}

bool read_take_file(const std::string& path, TakeFileData* out) {
  const std::string b = file_text(path);
  if (b.size() < 44 || b.compare(0, 4, "RIFF") != 0 || b.compare(8, 4, "WAVE") != 0) return false;
  size_t at = 12;
  bool have_format = false;
  while (at + 8 <= b.size()) {
    const std::string id = b.substr(at, 4);
    const uint32_t size = u32(b, at + 4);
    const size_t body = at + 8;
    if (id == "fmt " && size >= 16 && body + 16 <= b.size()) {
      out->channels = u16(b, body + 2);
      out->rate = int(u32(b, body + 4));
      out->bits = u16(b, body + 14);
      have_format = true;
    } else if (id == "data") {
      if (!have_format || out->bits != 16 || body + size > b.size()) return false;
      out->samples.resize(size / 2);
      for (size_t i = 0; i < out->samples.size(); ++i) out->samples[i] = int16_t(u16(b, body + 2 * i));
      return true;
    }
    at = body + size + (size & 1);
  }
  return false;
}

bool write_take_file(const std::string& path, const TakeFileData& t) {
  auto le = [](std::string* out, uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) out->push_back(char((v >> (8 * i)) & 0xFF));
  };
  const uint32_t data = uint32_t(t.samples.size() * 2);
  std::string b = "RIFF";
  le(&b, 36 + data, 4);
  b += "WAVEfmt ";
  le(&b, 16, 4);
  le(&b, 1, 2);  // PCM
  le(&b, uint32_t(t.channels), 2);
  le(&b, uint32_t(t.rate), 4);
  le(&b, uint32_t(t.rate * t.channels * 2), 4);
  le(&b, uint32_t(t.channels * 2), 2);
  le(&b, 16, 2);
  b += "data";
  le(&b, data, 4);
  for (int16_t v : t.samples) le(&b, uint16_t(v), 2);
  std::ofstream out(path, std::ios::binary);
  out.write(b.data(), std::streamsize(b.size()));
  return bool(out);
}

std::vector<std::string> folder_entries(const std::string& path, const std::string& suffix) {
  std::vector<std::string> out;
  DIR* d = opendir(path.c_str());
  if (!d) return out;
  while (dirent* e = readdir(d)) {
    const std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    if (!suffix.empty() && (name.size() < suffix.size() || name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0))
      continue;
    out.push_back(name);
  }
  closedir(d);
  std::sort(out.begin(), out.end());
  return out;
}

std::string settings_value(const std::string& ini, const std::string& key) {
  const std::string text = read_text(ini);
  const size_t at = text.find("\n" + key + " = ");
  if (at == std::string::npos) return "";
  const size_t start = at + key.size() + 4;
  return text.substr(start, text.find('\n', start) - start);
}

void connect_feeder(JackFeeder* feeder) {
  ASSERT_TRUE(feeder->open("feeder", 2));
  ASSERT_TRUE(feeder->wait_connected("tolm:in_1", 10000));
  // The rig's defaults on JACK centre each input on its own: the first input alone carries the
  // signal to both sides at unity (both would add up to twice as loud).
  ASSERT_TRUE(feeder->connect({"tolm:in_1"}));
}

void ProgramTest::SetUp() {
  ASSERT_TRUE(display_.start(root_.path + "/xvfb.log")) << "Xvfb did not come up: " << read_text(display_.log);
  desk_.display = display_.name;
}

void ProgramTest::TearDown() {
  if (!program_.running()) return;
  program_.signal(SIGTERM);
  ASSERT_TRUE(program_.wait_exit(20000)) << program_.log();
  EXPECT_EQ(program_.exit_status, 0) << read_text(program_.output);
}

void ProgramTest::start_recorder(const std::string& ini, const std::vector<std::string>& extra_env) {
  ASSERT_TRUE(jack_.start(2));
  if (!ini.empty()) {
    const std::string config = root_.path + "/home/.config/Lumaro";
    ASSERT_EQ(std::system(("mkdir -p '" + config + "'").c_str()), 0);
    write_text(config + "/tolm.ini", ini);
  }
  ASSERT_TRUE(program_.start(TOLM_PROGRAM, root_.path, display_.name, extra_env));
  ASSERT_TRUE(desk_.find("^tolm ZEPHA", 60000, [this] { return program_.ended(); }))
      << program_.log() << read_text(program_.output) << "Xvfb: " << read_text(display_.log);
  ASSERT_TRUE(program_.wait_logged("engine started", 20000)) << program_.log();
}

// The overruns the program has logged so far ("audio: N overruns in all ...").
int64_t overruns_logged(const std::string& log) {
  int64_t n = 0;
  for (size_t at = log.find("audio: "); at != std::string::npos; at = log.find("audio: ", at + 1)) {
    long long v = 0;
    if (sscanf(log.c_str() + at, "audio: %lld overrun", &v) == 1) n = std::max<int64_t>(n, v);
  }
  return n;
}

// The amplitude of one frequency in a channel of a take: the median over 100 ms Hann-windowed
// blocks of the take's middle half, so a period the server dropped costs one block, not the phase
// of the whole.
double tone_level(const TakeFileData& t, int channel, double hz, double quantile) {
  const int64_t kBlock = t.rate / 10;
  const int64_t n = t.frames();
  const double w = 2 * M_PI * hz / t.rate, coeff = 2 * std::cos(w);
  std::vector<double> blocks;
  for (int64_t from = n / 4; from + kBlock <= n - n / 4; from += kBlock) {
    double s1 = 0, s2 = 0;
    for (int64_t i = 0; i < kBlock; ++i) {
      const double hann = 0.5 - 0.5 * std::cos(2 * M_PI * double(i) / double(kBlock));
      const double s0 = hann * t.samples[size_t((from + i) * t.channels + channel)] / 32768.0 + coeff * s1 - s2;
      s2 = s1, s1 = s0;
    }
    const double power = s1 * s1 + s2 * s2 - coeff * s1 * s2;
    blocks.push_back(4 * std::sqrt(std::max(power, 0.0)) / double(kBlock));
  }
  if (blocks.empty()) return 0;
  const size_t at = std::min(blocks.size() - 1, size_t(quantile * double(blocks.size())));
  std::nth_element(blocks.begin(), blocks.begin() + at, blocks.end());
  return blocks[at];
}
